// Loads the manifest file whole, as raw bytes, into a heap block.
#define _FILE_OFFSET_BITS 64  // 64-bit stream positions on 32-bit POSIX systems too

#include <algorithm>
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
  if (file != nullptr && _fstat64(_fileno(file), &info) == 0 &&
      (info.st_mode & _S_IFMT) == _S_IFDIR) {
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
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || flags == -1 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
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
std::int64_t stream_position(std::FILE* file) {
  return static_cast<std::int64_t>(lseek(fileno(file), 0, SEEK_CUR));
}
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

// The payload's block while it fills: `capacity` bytes allocated, `length` of them read.
struct Block {
  unsigned char* bytes = nullptr;
  std::size_t length = 0;
  std::size_t capacity = 0;
};

enum class ReadEnd { done, read_error, too_long, no_memory };

// Reads on to the file's end, growing the block past the measured length where the file holds
// more: a /proc file measures 0 whatever it holds, and a file may grow after it was measured.
// The block is exactly as large as the file wherever the measure was right. `asked` is the
// size a failed allocation asked for.
ReadEnd read_to_end(std::FILE* file, Block& block, std::size_t& asked) {
  constexpr auto kMaxLength = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  for (;;) {
    const std::size_t room = block.capacity - block.length;
    const std::size_t n = room == 0 ? 0 : std::fread(block.bytes + block.length, 1, room, file);
    block.length += n;
    if (n < room) return std::ferror(file) != 0 ? ReadEnd::read_error : ReadEnd::done;
    const int next = std::fgetc(file);
    if (next == EOF) return std::ferror(file) != 0 ? ReadEnd::read_error : ReadEnd::done;
    if (block.length >= kMaxLength) return ReadEnd::too_long;
    asked = block.capacity < kMaxLength / 2 ? std::max<std::size_t>(block.capacity * 2, 4096)
                                            : kMaxLength;
    void* grown = std::realloc(block.bytes, asked);
    if (grown == nullptr) return ReadEnd::no_memory;
    block.bytes = static_cast<unsigned char*>(grown);
    block.capacity = asked;
    block.bytes[block.length++] = static_cast<unsigned char>(next);
  }
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
  Block block;
  if (length >= 0)
    block.bytes = static_cast<unsigned char*>(
        std::malloc(length > 0 ? static_cast<std::size_t>(length) : 1U));
  if (block.bytes == nullptr) {
    std::fprintf(stderr, "Error allocing %d bytes\n", static_cast<int>(length));
    std::fclose(file);
    return false;
  }
  block.capacity = static_cast<std::size_t>(length);

  std::rewind(file);
  std::size_t asked = 0;
  const ReadEnd end = read_to_end(file, block, asked);
  if (end == ReadEnd::too_long || end == ReadEnd::no_memory) {
    std::fprintf(stderr, "Error allocing %d bytes\n",
                 end == ReadEnd::too_long ? -1 : static_cast<int>(asked));
    std::fclose(file);
    std::free(block.bytes);
    return false;
  }
  // A file that shrank since it was measured, or one whose size the system only guesses
  // (as with many special files), must not be stored with a tail of uninitialised bytes.
  if (end == ReadEnd::read_error || block.length < static_cast<std::size_t>(length)) {
    std::fprintf(stderr, "Error reading manifest file '%s'\n", manifest_path);
    std::fclose(file);
    std::free(block.bytes);
    return false;
  }
  std::fclose(file);
  // Grown by doubling: what was never filled goes back before the update copies the bytes.
  if (block.capacity > block.length && block.length > 0) {
    if (void* fitted = std::realloc(block.bytes, block.length))
      block.bytes = static_cast<unsigned char*>(fitted);
  }

  payload.bytes = block.bytes;
  payload.length = static_cast<std::int32_t>(block.length);
  return true;
}
