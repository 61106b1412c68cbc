// Positioned reads and writes on descriptors.
#include "fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace resupdate {

Error io_error(int err, IoAction action, const std::string& what) {
  return make_error(errc_from_errno(err, action), what + ": errno " + std::to_string(err));
}

Status pread_all(int fd, std::uint64_t off, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(off + done));
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
    const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(off + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error(errno, IoAction::write, "writing the new image");
    }
    if (n == 0) return make_error(Errc::write_fault, "writing the new image made no progress");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace resupdate
