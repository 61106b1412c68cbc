// Loads the manifest file whole, as raw bytes, into a heap block.
#define _FILE_OFFSET_BITS 64  // 64-bit stream positions on 32-bit POSIX systems too

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <sys/stat.h>
#include <sys/types.h>

#include "tarvisk.h"

namespace {

#ifdef _WIN32
void seek_to_end(std::FILE* file) { static_cast<void>(_fseeki64(file, 0, SEEK_END)); }
std::int64_t stream_position(std::FILE* file) { return _ftelli64(file); }
bool is_directory(std::FILE* file) {
  struct _stat64 info {};
  return _fstat64(_fileno(file), &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFDIR;
}
#else
void seek_to_end(std::FILE* file) { static_cast<void>(fseeko(file, 0, SEEK_END)); }
std::int64_t stream_position(std::FILE* file) { return static_cast<std::int64_t>(ftello(file)); }
bool is_directory(std::FILE* file) {
  struct stat info {};
  return fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
}
#endif

// The length travels as a signed 32-bit count, so a file of 2 GiB or more cannot be
// measured: it gets the same -1 as a failed position query instead of a truncated length.
std::int32_t measure(std::FILE* file) {
  seek_to_end(file);
  const std::int64_t position = stream_position(file);
  if (position < 0 || position > std::numeric_limits<std::int32_t>::max()) return -1;
  return static_cast<std::int32_t>(position);
}

}  // namespace

bool load_manifest(const char* manifest_path, manifest_payload& payload) {
  std::FILE* file = std::fopen(manifest_path, "rb");
  // Some C libraries open a directory for reading and fail only at the first read.
  if (file != nullptr && is_directory(file)) {
    std::fclose(file);
    file = nullptr;
  }
  if (file == nullptr) {
    std::fprintf(stderr, "Error trying to open manifest file '%s'\n", manifest_path);
    return false;
  }

  const std::int32_t length = measure(file);
  // One byte for an empty file, because malloc(0) may return null and the payload's block
  // must exist whatever its length.
  unsigned char* bytes = nullptr;
  if (length >= 0) bytes = static_cast<unsigned char*>(std::malloc(length > 0 ? static_cast<std::size_t>(length) : 1U));
  if (bytes == nullptr) {
    std::fprintf(stderr, "Error allocing %d bytes\n", static_cast<int>(length));
    std::fclose(file);
    return false;
  }

  std::rewind(file);
  const std::size_t wanted = static_cast<std::size_t>(length);
  // A file that shrank since it was measured, or one whose size the system only guesses
  // (as with many special files), must not be stored with a tail of uninitialised bytes.
  if (std::fread(bytes, 1, wanted, file) != wanted) {
    std::fprintf(stderr, "Error reading manifest file '%s'\n", manifest_path);
    std::fclose(file);
    std::free(bytes);
    return false;
  }
  std::fclose(file);

  payload.bytes = bytes;
  payload.length = length;
  return true;
}
