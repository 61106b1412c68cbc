// Positioned reads and writes on descriptors: the image read by offset, and the sink the new
// image is written through, which shares unchanged blocks with the old file where it can and
// otherwise keeps copies inside the kernel.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "borrowed_source.h"
#include "resupdate/file_io.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

[[nodiscard]] Error io_error(int err, IoAction action, const std::string& what);
[[nodiscard]] Status pread_all(int fd, std::uint64_t off, std::span<std::uint8_t> out);
[[nodiscard]] Status pwrite_all(int fd, std::uint64_t off, ByteSpan data);

// Closes the descriptor it holds when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The unit in which the file system behind `fd` allocates and shares blocks; 0 when unknown.
[[nodiscard]] std::uint64_t block_size_of(int fd) noexcept;

// Reads a file through a descriptor it does not own.
class FdSource final : public BorrowedSource {
 public:
  FdSource(int fd, std::uint64_t size) noexcept : BorrowedSource(size), fd_(fd) {}
  [[nodiscard]] int native_fd() const noexcept override { return fd_; }

 private:
  [[nodiscard]] Status read_within(std::uint64_t off, std::span<std::uint8_t> out) const override {
    return pread_all(fd_, off, out);
  }

  int fd_;
};

// Writes the new image through positioned writes. A range copied from a file on the same
// file system shares that file's blocks where the offsets allow it (both at the same place
// within a block); what cannot be shared is copied inside the kernel, or read and written.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) noexcept : fd_(fd), block_(block_size_of(fd)) {}
  [[nodiscard]] Status write(ByteSpan data) override;
  [[nodiscard]] Status copy_from(const ByteSource& src, std::uint64_t off,
                                 std::uint64_t len) override;
  [[nodiscard]] std::uint64_t position() const noexcept override { return pos_; }
  [[nodiscard]] Status patch(std::uint64_t off, ByteSpan data) override;
  // Sends to the disk what was written and is not on its way yet, without waiting for it: the
  // flush that follows then finds less to do.
  void start_writeback() noexcept { start_writeback(true); }

 private:
  [[nodiscard]] Status share(int in, std::uint64_t& off, std::uint64_t& len);
  [[nodiscard]] Status kernel_copy(int in, std::uint64_t& off, std::uint64_t& len);
  void start_writeback(bool all) noexcept;

  int fd_;
  std::uint64_t block_;
  std::uint64_t pos_ = 0;
  std::uint64_t flushed_ = 0;  // writeback was started (or is not wanted) below this offset
  bool can_share_ = true;
  bool kernel_copy_ = true;
};

}  // namespace resupdate
