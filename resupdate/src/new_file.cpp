// Creating the new image, naming it, and exchanging or renaming it over the old one.
#include "new_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifndef TARVISK_PORTABLE_POSIX
#include <linux/fs.h>
#include <sys/random.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace resupdate {

namespace {

// Bytes from the system's random source; false where none can be had (a chroot without /dev).
bool random_bytes(unsigned char (&out)[4]) {
#ifdef TARVISK_PORTABLE_POSIX
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool got = ::read(fd, out, sizeof out) == static_cast<ssize_t>(sizeof out);
  ::close(fd);
  return got;
#else
  return ::getrandom(out, sizeof out, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof out);
#endif
}

// A short name for the new file, whatever the image's name is, so it fits any directory.
std::string temporary_name() {
  unsigned char random[4] = {};
  if (!random_bytes(random)) {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto mix =
        static_cast<std::uint32_t>(now.tv_nsec) ^ (static_cast<std::uint32_t>(::getpid()) << 12);
    for (std::size_t i = 0; i < sizeof random; ++i)
      random[i] = static_cast<unsigned char>(mix >> (8 * i));
  }
  char name[24];
  std::snprintf(name, sizeof name, ".tarvisk-%02x%02x%02x%02x", random[0], random[1], random[2],
                random[3]);
  return name;
}

}  // namespace

Status NewFile::create() {
#ifndef TARVISK_PORTABLE_POSIX
  fd_.reset(::openat(dir_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd_.get() >= 0) {
    // Without /proc (a bare chroot) most callers could write it in full and never name it.
    if (reachable_in_proc()) return {};
    fd_.reset(-1);
  } else if (const int err = errno; err != EOPNOTSUPP && err != EISDIR && err != EINVAL) {
    // A kernel older than unnamed files sees a directory opened for writing (EISDIR).
    return io_error(err, IoAction::write, "creating the new image");
  }
#endif
  // No unnamed files here: a named one from the start.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporary_name();
    held_.emplace();
    const int fd =
        ::openat(dir_, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_.reset(fd);
      name_ = name;
      return {};
    }
    const int err = errno;
    held_.reset();
    if (err != EEXIST) return io_error(err, IoAction::write, "creating a file beside the image");
  }
  return make_error(Errc::write_fault, "no free name for the new image");
}

Status NewFile::replace(const std::string& target, const FileIdentity& id) {
  if (!held_) held_.emplace();
  // A signal that came while a named file was written ends the run here, before the image
  // changes, as it would have without the name to look after.
  if (held_->fatal_pending()) {
    remove_name();
    return make_error(Errc::write_fault, "a signal arrived while the new image was written");
  }
  if (name_.empty()) {
    if (Status s = give_name(); !s) return s;
  }
  if (Status s = exchange(target, id); !s) return s;
  name_.clear();
  held_.reset();
  return {};
}

void NewFile::remove_name() noexcept {
  if (!name_.empty()) (void)::unlinkat(dir_, name_.c_str(), 0);
  name_.clear();
  held_.reset();
}

// The checks before this one leave a moment in which another file can be renamed onto the
// image's name. Exchanging, rather than renaming over it, keeps what comes out, so it can be
// checked and put back.
Status NewFile::exchange(const std::string& target, const FileIdentity& id) {
#if !defined(TARVISK_PORTABLE_POSIX) && defined(RENAME_EXCHANGE)
  if (::renameat2(dir_, name_.c_str(), dir_, target.c_str(), RENAME_EXCHANGE) == 0) {
    struct stat out {};
    const bool same = ::fstatat(dir_, name_.c_str(), &out, AT_SYMLINK_NOFOLLOW) == 0 &&
                      static_cast<std::uint64_t>(out.st_dev) == id.device &&
                      static_cast<std::uint64_t>(out.st_ino) == id.inode;
    if (!same) {
      if (::renameat2(dir_, name_.c_str(), dir_, target.c_str(), RENAME_EXCHANGE) != 0) {
        // The other file is under our name now; removing that name would lose it.
        const int err = errno;
        name_.clear();
        return make_error(Errc::sharing_violation,
                          "another file took the image's name and could not be put back: errno " +
                              std::to_string(err));
      }
      return make_error(Errc::sharing_violation,
                        "another file took the image's name before the exchange");
    }
    // What came out is the old image, and its last name here goes.
    const int removed = ::unlinkat(dir_, name_.c_str(), 0);
    const int err = errno;
    name_.clear();
    if (removed != 0)
      return io_error(err, IoAction::write, "removing the old image after the exchange");
    return {};
  }
  const int err = errno;
  if (err == ENOENT)
    return make_error(Errc::sharing_violation, "the image's name went away before the exchange");
  // File systems that cannot exchange take the plain rename.
  if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP)
    return io_error(err, IoAction::write, "replacing the image");
#else
  (void)id;
#endif
  if (::renameat(dir_, name_.c_str(), dir_, target.c_str()) != 0)
    return io_error(errno, IoAction::write, "replacing the image");
  return {};
}

Status NewFile::give_name() {
#ifdef TARVISK_PORTABLE_POSIX
  return make_error(Errc::internal_error, "an unnamed file where there are none");
#else
  const ProcLink proc = link_in_proc();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporary_name();
    // Linking by the descriptor itself needs a capability most callers lack; the link in
    // /proc names the same file.
    int rc = ::linkat(fd_.get(), "", dir_, name.c_str(), AT_EMPTY_PATH);
    if (rc != 0 && (errno == ENOENT || errno == EPERM || errno == EACCES))
      rc = ::linkat(AT_FDCWD, proc.path, dir_, name.c_str(), AT_SYMLINK_FOLLOW);
    if (rc == 0) {
      name_ = name;
      return {};
    }
    if (errno != EEXIST) return io_error(errno, IoAction::write, "naming the new image");
  }
  return make_error(Errc::write_fault, "no free name for the new image");
#endif
}

#ifndef TARVISK_PORTABLE_POSIX
NewFile::ProcLink NewFile::link_in_proc() const {
  ProcLink link{};
  std::snprintf(link.path, sizeof link.path, "/proc/self/fd/%d", fd_.get());
  return link;
}

// The link in /proc leads to this very file, so it can be named through it.
bool NewFile::reachable_in_proc() const {
  struct stat by_link {};
  struct stat by_fd {};
  return ::fstatat(AT_FDCWD, link_in_proc().path, &by_link, 0) == 0 &&
         ::fstat(fd_.get(), &by_fd) == 0 && by_link.st_dev == by_fd.st_dev &&
         by_link.st_ino == by_fd.st_ino;
}
#endif

}  // namespace resupdate
