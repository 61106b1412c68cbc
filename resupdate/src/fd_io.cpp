// Positioned reads and writes on descriptors, and the sink that shares or copies unchanged ranges.
#include "fd_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifndef TARVISK_PORTABLE_POSIX
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace resupdate {

namespace {

// Copies and writeback hints go in chunks of this size: the disk writes each finished chunk
// while the next one is copied or written, so the final flush has little left to do. Steps of
// 8 MiB left the disk idle until an image of a few MB was written in full.
constexpr std::uint64_t kWritebackChunk = std::uint64_t{1} << 20;

#ifndef TARVISK_PORTABLE_POSIX
// Refusals that mean "not between these files" rather than a failing disk: the file system
// cannot share or copy in the kernel (ext4, tmpfs, another file system, an old kernel), and
// the plain read and write path does the job instead.
bool refused(int err) noexcept {
  return err == EOPNOTSUPP || err == ENOTSUP || err == EXDEV || err == EINVAL || err == ENOTTY ||
         err == EBADF || err == ENOSYS || err == EPERM;
}
#endif

}  // namespace

Error io_error(int err, IoAction action, const std::string& what) {
  return make_error(errc_from_errno(err, action), what + ": errno " + std::to_string(err));
}

Status pread_all(int fd, std::uint64_t off, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(off + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error(errno, IoAction::read, "reading the image");
    }
    if (n == 0) return make_error(Errc::read_fault, "the image ended early");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Status pwrite_all(int fd, std::uint64_t off, ByteSpan data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(off + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error(errno, IoAction::write, "writing the new image");
    }
    if (n == 0) return make_error(Errc::write_fault, "writing the new image made no progress");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::uint64_t block_size_of(int fd) noexcept {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_blksize <= 0) return 0;
  const auto bs = static_cast<std::uint64_t>(st.st_blksize);
  return (bs & (bs - 1)) == 0 ? bs : 0;  // only a power of two can be an alignment
}

Status FdSink::write(ByteSpan data) {
  if (Status s = pwrite_all(fd_, pos_, data); !s) return s;
  pos_ += data.size();
  start_writeback(false);
  return {};
}

Status FdSink::copy_from(const ByteSource& src, std::uint64_t off, std::uint64_t len) {
  if (!fits(off, len, src.size()))
    return make_error(Errc::read_fault, "copy past the end of the image");
#ifdef TARVISK_PORTABLE_POSIX
  // Only POSIX calls: every range is read and written.
  return ByteSink::copy_from(src, off, len);
#else
  const int in = src.native_fd();
  // Blocks are shared whole: only where source and destination sit at the same place within a
  // block. The unaligned head is copied, so that both then start on a block boundary.
  if (in >= 0 && can_share_ && block_ != 0 && off % block_ == pos_ % block_) {
    std::uint64_t head = std::min(len, (block_ - off % block_) % block_);
    len -= head;
    if (Status s = kernel_copy(in, off, head); !s) return s;
    if (head != 0) {
      if (Status s = ByteSink::copy_from(src, off, head); !s) return s;
      off += head;
    }
    // A shared range ends on a block boundary, or at the end of the source.
    std::uint64_t body = off + len == src.size() ? len : len - len % block_;
    len -= body;
    if (Status s = share(in, off, body); !s) return s;
    len += body;  // whatever could not be shared is copied below
  }
  if (in >= 0) {
    if (Status s = kernel_copy(in, off, len); !s) return s;
  }
  if (len == 0) return {};
  // Whatever the kernel would not share or copy.
  return ByteSink::copy_from(src, off, len);
#endif
}

#ifndef TARVISK_PORTABLE_POSIX
Status FdSink::share(int in, std::uint64_t& off, std::uint64_t& len) {
  if (len == 0) return {};
  // What was written from memory so far goes to the disk now; the shared range itself is no
  // dirty data, and no writeback hint may be issued over it.
  start_writeback(true);
  file_clone_range range{};
  range.src_fd = in;
  range.src_offset = off;
  range.src_length = len;
  range.dest_offset = pos_;
  for (;;) {
    if (::ioctl(fd_, FICLONERANGE, &range) == 0) break;
    if (errno == EINTR) continue;
    if (refused(errno)) {
      can_share_ = false;
      return {};
    }
    return io_error(errno, IoAction::write, "sharing the image's blocks");
  }
  pos_ += len;
  off += len;
  len = 0;
  flushed_ = pos_;
  return {};
}

Status FdSink::kernel_copy(int in, std::uint64_t& off, std::uint64_t& len) {
  while (len > 0 && kernel_copy_) {
    auto in_off = static_cast<loff_t>(off);
    auto out_off = static_cast<loff_t>(pos_);
    const ssize_t n = ::copy_file_range(
        in, &in_off, fd_, &out_off, static_cast<std::size_t>(std::min(len, kWritebackChunk)), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (refused(errno)) {
        kernel_copy_ = false;  // not between these files: fall back to reading and writing
        break;
      }
      return io_error(errno, IoAction::write, "copying the image");
    }
    if (n == 0) return make_error(Errc::read_fault, "the image ended early");
    off += static_cast<std::uint64_t>(n);
    len -= static_cast<std::uint64_t>(n);
    pos_ += static_cast<std::uint64_t>(n);
    start_writeback(false);
  }
  return {};
}
#endif

Status FdSink::patch(std::uint64_t off, ByteSpan data) {
  if (!fits(off, data.size(), pos_))
    return make_error(Errc::internal_error, "patch outside the image");
  return pwrite_all(fd_, off, data);
}

// A large image then costs about its write time instead of copy plus write.
void FdSink::start_writeback([[maybe_unused]] bool all) noexcept {
#if defined(SYNC_FILE_RANGE_WRITE) && !defined(TARVISK_PORTABLE_POSIX)
  if (pos_ == flushed_ || (!all && pos_ - flushed_ < kWritebackChunk)) return;
  (void)::sync_file_range(fd_, static_cast<off_t>(flushed_), static_cast<off_t>(pos_ - flushed_),
                          SYNC_FILE_RANGE_WRITE);
#endif
  flushed_ = pos_;
}

}  // namespace resupdate
