// Loads the manifest file whole, as raw bytes, into a heap block.
#define _FILE_OFFSET_BITS 64  // 64-bit stream positions on 32-bit POSIX systems too

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <sys/stat.h>
#include <sys/types.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "tarvisk.h"

namespace {

#ifdef _WIN32
std::FILE* open_manifest(const char* path, bool& measurable) {
  std::FILE* file = std::fopen(path, "rb");
  struct _stat64 info {};
  // Some C libraries open a directory for reading and fail only at the first read.
  if (file != nullptr && _fstat64(_fileno(file), &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFDIR) {
    std::fclose(file);
    return nullptr;
  }
  measurable = file != nullptr && (info.st_mode & _S_IFMT) == _S_IFREG;
  return file;
}
bool seek_to_end(std::FILE* file) { return _fseeki64(file, 0, SEEK_END) == 0; }
std::int64_t stream_position(std::FILE* file) { return _ftelli64(file); }
#else
// Opening never waits: a FIFO with no writer would otherwise hold the run forever. Only a
// regular file has a length that can be measured before it is read.
std::FILE* open_manifest(const char* path, bool& measurable) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  measurable = S_ISREG(info.st_mode);
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}
// Asked of the descriptor: the C library answers a seek to the end from the size fstat
// reports, which is 0 for /proc files whatever they hold.
bool seek_to_end(std::FILE* file) { return lseek(fileno(file), 0, SEEK_END) >= 0; }
std::int64_t stream_position(std::FILE* file) { return static_cast<std::int64_t>(lseek(fileno(file), 0, SEEK_CUR)); }
#endif

// The length travels as a signed 32-bit count, so a file of 2 GiB or more cannot be
// measured: it gets the same -1 as a failed position query instead of a truncated length.
// Special files (/dev/zero, most of /proc) refuse the seek or report no length at all; their
// length is unmeasurable too, not zero.
std::int32_t measure(std::FILE* file, bool measurable) {
  if (!measurable || !seek_to_end(file)) return -1;
  const std::int64_t position = stream_position(file);
  if (position < 0 || position > std::numeric_limits<std::int32_t>::max()) return -1;
  return static_cast<std::int32_t>(position);
}

}  // namespace

bool load_manifest(const char* manifest_path, manifest_payload& payload) {
  bool measurable = false;
  std::FILE* file = open_manifest(manifest_path, measurable);
  if (file == nullptr) {
    std::fprintf(stderr, "Error trying to open manifest file '%s'\n", manifest_path);
    return false;
  }

  const std::int32_t length = measure(file, measurable);
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
