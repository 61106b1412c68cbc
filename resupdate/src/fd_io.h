// Positioned reads and writes on descriptors: the image read by offset, and the sink the new
// image is written through, which keeps copies of unchanged ranges inside the kernel.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <span>
#include <string>

#include "resupdate/file_io.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

[[nodiscard]] Error io_error(int err, IoAction action, const std::string& what);
[[nodiscard]] Status pread_all(int fd, std::uint64_t off, std::span<std::uint8_t> out);
[[nodiscard]] Status pwrite_all(int fd, std::uint64_t off, ByteSpan data);

// Reads a file through a descriptor it does not own.
class FdSource final : public ByteSource {
 public:
  FdSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  [[nodiscard]] std::uint64_t size() const noexcept override { return size_; }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const override {
    if (!fits(off, out.size(), size_)) return make_error(Errc::read_fault, "read past the end of the file");
    return pread_all(fd_, off, out);
  }
  [[nodiscard]] int native_fd() const noexcept override { return fd_; }

 private:
  int fd_;
  std::uint64_t size_;
};

// Writes the new image through positioned writes; copies stay in the kernel where it can.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  [[nodiscard]] Status write(ByteSpan data) override {
    if (Status s = pwrite_all(fd_, pos_, data); !s) return s;
    pos_ += data.size();
    start_writeback();
    return {};
  }
  [[nodiscard]] Status copy_from(const ByteSource& src, std::uint64_t off, std::uint64_t len) override {
    if (!fits(off, len, src.size())) return make_error(Errc::read_fault, "copy past the end of the image");
#ifndef TARVISK_PORTABLE_POSIX
    const int in = src.native_fd();
    while (in >= 0 && len > 0 && kernel_copy_) {
      auto in_off = static_cast<loff_t>(off);
      auto out_off = static_cast<loff_t>(pos_);
      const ssize_t n = ::copy_file_range(in, &in_off, fd_, &out_off, static_cast<std::size_t>(std::min<std::uint64_t>(len, kWritebackChunk)), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) {
          kernel_copy_ = false;  // not between these files: fall back to reading and writing
          break;
        }
        return io_error(errno, IoAction::write, "copying the image");
      }
      if (n == 0) return make_error(Errc::read_fault, "the image ended early");
      off += static_cast<std::uint64_t>(n);
      len -= static_cast<std::uint64_t>(n);
      pos_ += static_cast<std::uint64_t>(n);
      start_writeback();
    }
    if (len == 0) return {};
#endif
    // Whatever the kernel would not copy, and everything where only POSIX calls are used.
    return ByteSink::copy_from(src, off, len);
  }
  [[nodiscard]] std::uint64_t position() const noexcept override { return pos_; }
  [[nodiscard]] Status patch(std::uint64_t off, ByteSpan data) override {
    if (!fits(off, data.size(), pos_)) return make_error(Errc::internal_error, "patch outside the image");
    return pwrite_all(fd_, off, data);
  }
  [[nodiscard]] Status read_back(std::uint64_t off, std::span<std::uint8_t> out) const override {
    if (!fits(off, out.size(), pos_)) return make_error(Errc::internal_error, "read back outside the image");
    return pread_all(fd_, off, out);
  }

 private:
  // The disk writes each finished chunk while the next one is copied, so the final flush has
  // little left to do; a large image then costs about its write time instead of copy plus write.
  void start_writeback() noexcept {
#if defined(SYNC_FILE_RANGE_WRITE) && !defined(TARVISK_PORTABLE_POSIX)
    if (pos_ - flushed_ < kWritebackChunk) return;
    (void)::sync_file_range(fd_, static_cast<off_t>(flushed_), static_cast<off_t>(pos_ - flushed_), SYNC_FILE_RANGE_WRITE);
    flushed_ = pos_;
#endif
  }

  static constexpr std::uint64_t kWritebackChunk = std::uint64_t{8} << 20;
  int fd_;
  std::uint64_t pos_ = 0;
#ifndef TARVISK_PORTABLE_POSIX
  std::uint64_t flushed_ = 0;
  bool kernel_copy_ = true;
#endif
};

}  // namespace resupdate
