// POSIX file access for the service: the image read by positioned reads, and the new image
// built unnamed in its directory, flushed, verified, named and renamed over it.
#include "resupdate/file_io.h"

#include "fd_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifndef TARVISK_PORTABLE_POSIX
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace resupdate {

namespace {

#ifndef TARVISK_PORTABLE_POSIX
// Linux's limits on one attribute's value and on the list of names.
constexpr std::size_t kAttributeValueMax = 65536;
constexpr std::size_t kAttributeListMax = 65536;
constexpr const char* kAccessAcl = "system.posix_acl_access";
// A directory opened only to be walked through: no read permission needed, as in a lookup.
constexpr int kDirectoryOnly = O_PATH | O_DIRECTORY;
#elif defined(O_SEARCH)
constexpr int kDirectoryOnly = O_SEARCH | O_DIRECTORY;
#else
// Without O_SEARCH every directory on the path must be readable, not just searchable.
constexpr int kDirectoryOnly = O_RDONLY | O_DIRECTORY;
#endif
// As the kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

FileIdentity identity_of(const struct stat& st) {
  FileIdentity id;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.inode = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::uint64_t>(st.st_size);
  id.mtime_ns = nanoseconds(st.st_mtim);
  id.ctime_ns = nanoseconds(st.st_ctim);
  id.mode = static_cast<std::uint32_t>(st.st_mode);
  id.owner = static_cast<std::uint32_t>(st.st_uid);
  id.group = static_cast<std::uint32_t>(st.st_gid);
  return id;
}

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

// The path's components, last first, so that a link's target can be pushed in its place.
void push_components(const std::string& path, std::vector<std::string>& pending) {
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    if (end > begin && path.compare(begin, end - begin, ".") != 0) pending.push_back(path.substr(begin, end - begin));
    if (slash == std::string::npos) break;
    end = slash;
  }
}

std::string joined(const std::string& dir, const std::string& name) {
  if (dir == "/") return "/" + name;
  return dir + "/" + name;
}

// The image, opened read/write, and its directory, reached one component at a time: the
// kernel never sees more than one name at once, so the path's length is not limited, and the
// last component is opened without following a link, so a link read here is the one followed.
struct Opened {
  UniqueFd file;
  UniqueFd dir;
  std::string name;
  std::string path;
};

Result<Opened> open_by_components(const std::string& path) {
  Opened o;
  const bool absolute = path[0] == '/';
  o.dir.reset(::open(absolute ? "/" : ".", kDirectoryOnly | O_CLOEXEC));
  if (o.dir.get() < 0) return io_error(errno, IoAction::open, "opening the start of the image path");
  std::string dir_path = absolute ? "/" : ".";
  std::vector<std::string> pending;
  push_components(path, pending);
  // A trailing slash asks for a directory, which an image never is.
  bool last_is_directory = path.back() == '/';
  int links = 0;
  while (!pending.empty()) {
    const std::string part = std::move(pending.back());
    pending.pop_back();
    if (!pending.empty() || last_is_directory) {
      const int next = ::openat(o.dir.get(), part.c_str(), kDirectoryOnly | O_CLOEXEC);
      if (next < 0) {
        const int err = errno;
        if (err == ENOENT) return make_error(Errc::path_not_found, "a directory on the path does not exist");
        return io_error(err, IoAction::open, "opening a directory on the image path");
      }
      o.dir.reset(next);
      dir_path = joined(dir_path, part);
      continue;
    }
    const int fd = ::openat(o.dir.get(), part.c_str(), O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      o.file.reset(fd);
      o.name = part;
      o.path = joined(dir_path, part);
      return o;
    }
    const int err = errno;
    if (err != ELOOP || part == "..") return io_error(err, IoAction::open, "opening the image");
    // A symbolic link: the file it names is the one replaced, and the link stays.
    std::vector<char> target(PATH_MAX);
    const ssize_t n = ::readlinkat(o.dir.get(), part.c_str(), target.data(), target.size());
    if (n < 0) return io_error(errno == EINVAL ? ELOOP : errno, IoAction::open, "reading a link on the image path");
    if (++links > kMaxLinks || static_cast<std::size_t>(n) >= target.size())
      return make_error(Errc::path_not_found, "too many symbolic links on the image path");
    if (n == 0) return make_error(Errc::file_not_found, "an empty symbolic link");
    const std::string next(target.data(), static_cast<std::size_t>(n));
    if (next[0] == '/') {
      o.dir.reset(::open("/", kDirectoryOnly | O_CLOEXEC));
      if (o.dir.get() < 0) return io_error(errno, IoAction::open, "opening the root directory");
      // Not `dir_path = "/"`: g++ 12 sees a false overlap in that assignment (-Wrestrict).
      dir_path.clear();
      dir_path.push_back('/');
    }
    last_is_directory = next.back() == '/';
    push_components(next, pending);
  }
  // Nothing but directories: "/", ".", "dir/" and the like.
  return make_error(Errc::access_denied, "the image path names a directory");
}

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
    const auto mix = static_cast<std::uint32_t>(now.tv_nsec) ^ (static_cast<std::uint32_t>(::getpid()) << 12);
    for (std::size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(mix >> (8 * i));
  }
  char name[24];
  std::snprintf(name, sizeof name, ".tarvisk-%02x%02x%02x%02x", random[0], random[1], random[2], random[3]);
  return name;
}

// Every catchable signal held back while the new file has a name, so that whatever a
// signal does by default (end the run, dump core) can only happen once that name is gone:
// nothing is left behind, and no handler or state outside the run is needed to clean up.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    ::sigfillset(&all);
    (void)::pthread_sigmask(SIG_BLOCK, &all, &old_);
  }
  ~SignalsHeld() { (void)::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

  // A signal that arrived while held and whose default action will end the process once it
  // is let through. One the process ignores or handles, or whose default is to be ignored or
  // to stop, does not count: the run goes on after it.
  [[nodiscard]] bool fatal_pending() const {
    sigset_t pending;
    if (::sigpending(&pending) != 0) return false;
    for (int sig = 1; sig < NSIG; ++sig) {
      if (::sigismember(&pending, sig) != 1 || ::sigismember(&old_, sig) == 1) continue;
      if (sig == SIGCHLD || sig == SIGCONT || sig == SIGURG || sig == SIGWINCH || sig == SIGTSTP || sig == SIGTTIN ||
          sig == SIGTTOU)
        continue;
      struct sigaction now {};
      if (::sigaction(sig, nullptr, &now) != 0 || now.sa_handler != SIG_DFL) continue;
      return true;
    }
    return false;
  }

 private:
  sigset_t old_;
};

// The new image. It is created unnamed where the file system allows, and named only for the
// exchange at the end; elsewhere it is named from the start. Signals are held for as long as
// it has a name, and the name is removed on every way out but the one that puts it in place.
class NewFile {
 public:
  explicit NewFile(int dir) : dir_(dir) {}
  ~NewFile() { remove_name(); }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  [[nodiscard]] Status create() {
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
      const int fd = ::openat(dir_, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
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

  [[nodiscard]] int fd() const noexcept { return fd_.get(); }

  // Puts the new file in place of `target`, which must still be the file `id` describes. An
  // unnamed file gets a name first.
  [[nodiscard]] Status replace(const std::string& target, const FileIdentity& id) {
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

 private:
  void remove_name() noexcept {
    if (!name_.empty()) (void)::unlinkat(dir_, name_.c_str(), 0);
    name_.clear();
    held_.reset();
  }

  // The checks before this one leave a moment in which another file can be renamed onto the
  // image's name. Exchanging, rather than renaming over it, keeps what comes out, so it can
  // be checked and put back.
  [[nodiscard]] Status exchange(const std::string& target, const FileIdentity& id) {
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
                            "another file took the image's name and could not be put back: errno " + std::to_string(err));
        }
        return make_error(Errc::sharing_violation, "another file took the image's name before the exchange");
      }
      // What came out is the old image, and its last name here goes.
      const int removed = ::unlinkat(dir_, name_.c_str(), 0);
      const int err = errno;
      name_.clear();
      if (removed != 0) return io_error(err, IoAction::write, "removing the old image after the exchange");
      return {};
    }
    const int err = errno;
    if (err == ENOENT) return make_error(Errc::sharing_violation, "the image's name went away before the exchange");
    // File systems that cannot exchange take the plain rename.
    if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) return io_error(err, IoAction::write, "replacing the image");
#else
    (void)id;
#endif
    if (::renameat(dir_, name_.c_str(), dir_, target.c_str()) != 0)
      return io_error(errno, IoAction::write, "replacing the image");
    return {};
  }

  [[nodiscard]] Status give_name() {
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
  struct ProcLink {
    char path[32];
  };
  [[nodiscard]] ProcLink link_in_proc() const {
    ProcLink link{};
    std::snprintf(link.path, sizeof link.path, "/proc/self/fd/%d", fd_.get());
    return link;
  }

  // The link in /proc leads to this very file, so it can be named through it.
  [[nodiscard]] bool reachable_in_proc() const {
    struct stat by_link {};
    struct stat by_fd {};
    return ::fstatat(AT_FDCWD, link_in_proc().path, &by_link, 0) == 0 && ::fstat(fd_.get(), &by_fd) == 0 &&
           by_link.st_dev == by_fd.st_dev && by_link.st_ino == by_fd.st_ino;
  }
#endif

  int dir_;
  UniqueFd fd_;
  std::string name_;
  std::optional<SignalsHeld> held_;
};

#ifdef TARVISK_PORTABLE_POSIX
// POSIX has no calls for extended attributes or ACLs; each system names them its own way.
Status copy_attributes(int, int) { return {}; }
#else
// Copies the extended attributes and the access ACL. A file system without them has none to
// copy. What only a privileged caller may set (security.*) is skipped when refused; an ACL or
// a user's attribute that cannot be copied fails the update, since the new file would give
// wider access or lose what the user set. A new file in a directory with a default ACL
// inherits an access ACL the image may not have had: that one is removed.
Status copy_attributes(int from, int to) {
  std::vector<char> names(kAttributeListMax);
  const ssize_t listed = ::flistxattr(from, names.data(), names.size());
  if (listed < 0) {
    if (errno == ENOTSUP) return {};
    return io_error(errno, IoAction::read, "listing the image's extended attributes");
  }
  std::vector<char> value(kAttributeValueMax);
  bool had_acl = false;
  for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
    const std::size_t length = ::strnlen(names.data() + at, static_cast<std::size_t>(listed) - at);
    const std::string name(names.data() + at, length);
    at += length + 1;
    const bool is_acl = name == kAccessAcl;
    const bool optional = name.rfind("security.", 0) == 0;
    if (!is_acl && name.rfind("system.", 0) == 0) continue;
    const ssize_t n = ::fgetxattr(from, name.c_str(), value.data(), value.size());
    if (n < 0) {
      if (errno == ENODATA) continue;  // removed since it was listed
      return io_error(errno, IoAction::read, "reading the image's extended attribute " + name);
    }
    if (::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(n), 0) != 0) {
      const int err = errno;
      if (optional && (err == EPERM || err == EACCES || err == ENOTSUP)) continue;
      return io_error(err, IoAction::write, "copying the extended attribute " + name);
    }
    had_acl = had_acl || is_acl;
  }
  if (!had_acl && ::fremovexattr(to, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP)
    return io_error(errno, IoAction::write, "removing the inherited access ACL");
  return {};
}
#endif

// The original's owner and group, or failure: a file of someone else's, or in another group,
// would change who may use the image, and a set-ID bit on it would hand that file the
// original owner's rights. Nothing is changed where the new file already has both.
Status give_owner(int to, const FileIdentity& id) {
  struct stat now {};
  if (::fstat(to, &now) != 0) return io_error(errno, IoAction::write, "examining the new image");
  const bool other_owner = static_cast<std::uint32_t>(now.st_uid) != id.owner;
  const bool other_group = static_cast<std::uint32_t>(now.st_gid) != id.group;
  if (!other_owner && !other_group) return {};
  const auto owner = other_owner ? static_cast<uid_t>(id.owner) : static_cast<uid_t>(-1);
  const auto group = other_group ? static_cast<gid_t>(id.group) : static_cast<gid_t>(-1);
  if (::fchown(to, owner, group) != 0)
    return make_error(Errc::access_denied,
                      "the new image cannot be given the image's owner and group: errno " + std::to_string(errno));
  return {};
}

// Owner, group, attributes and permission bits, in the order that keeps each: a change of
// owner clears the set-user-ID bit and file capabilities, so those come after it.
Status copy_metadata(int from, int to, const FileIdentity& id) {
  if (Status s = give_owner(to, id); !s) return s;
  if (Status s = copy_attributes(from, to); !s) return s;
  if (::fchmod(to, static_cast<mode_t>(id.mode & 07777)) != 0)
    return io_error(errno, IoAction::write, "setting the new image's permissions");
  return {};
}

}  // namespace

Errc errc_from_errno(int err, IoAction action) noexcept {
  switch (err) {
    case ENOENT: return Errc::file_not_found;
    case ENOTDIR: return Errc::path_not_found;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return Errc::access_denied;
    case ETXTBSY:
    case EBUSY:
    case EWOULDBLOCK: return Errc::sharing_violation;
    case ENOMEM: return Errc::not_enough_memory;
    case ENOSPC:
    case EDQUOT: return Errc::disk_full;
    case EFBIG: return Errc::file_too_large;
    case ENAMETOOLONG:
    case ELOOP: return Errc::path_not_found;
    default: return action == IoAction::read ? Errc::read_fault : action == IoAction::write ? Errc::write_fault
                                                                                            : Errc::access_denied;
  }
}

Result<std::shared_ptr<FileSource>> FileSource::open(const std::string& path) {
  if (path.empty()) return make_error(Errc::path_not_found, "empty path");
  auto opened = open_by_components(path);
  if (!opened) return std::move(opened).error();
  struct stat st {};
  if (::fstat(opened->file.get(), &st) != 0) return io_error(errno, IoAction::read, "examining the image");
  if (!S_ISREG(st.st_mode)) return make_error(Errc::access_denied, "the image is not a regular file");
  const int fd = opened->file.release();
  const int dir = opened->dir.release();
  return std::shared_ptr<FileSource>(
      new FileSource(fd, dir, std::move(opened->name), std::move(opened->path), identity_of(st)));
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

Status FileSource::read(std::uint64_t off, std::span<std::uint8_t> out) const {
  if (!fits(off, out.size(), identity_.size)) return make_error(Errc::read_fault, "read past the end of the image");
  return pread_all(fd_, off, out);
}

Status replace_atomically(const FileSource& original, const std::function<Status(ByteSink&)>& write,
                          const std::function<Status(const ByteSource&)>& verify) {
  const int dir = original.directory_fd();
  // Opened first, for the flush after the rename: a directory that cannot be flushed fails the
  // update before anything is made. A name that cannot be removed again (in an append-only
  // directory) must not be made at all.
  const UniqueFd listing(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listing.get() < 0)
    return make_error(Errc::write_fault, "cannot open the image's directory: errno " + std::to_string(errno));
#ifndef TARVISK_PORTABLE_POSIX
  int flags = 0;
  if (::ioctl(listing.get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0)
    return make_error(Errc::access_denied, "the image's directory is append-only or immutable");
#endif

  NewFile file(dir);
  if (Status s = file.create(); !s) return s;

  FdSink sink(file.fd());
  if (Status s = write(sink); !s) return s;
  // The disk writes the new image while it is read back, so the flush mostly waits for less.
  sink.start_writeback();
  // Everything comes from the descriptor that was read, never from the name again: by now the
  // name may lead somewhere else.
  const FileIdentity& id = original.identity();
  if (Status s = copy_metadata(original.native_fd(), file.fd(), id); !s) return s;
  FdSource written(file.fd(), sink.position());
  if (Status s = verify(written); !s) return s;
  if (::fsync(file.fd()) != 0) return io_error(errno, IoAction::write, "flushing the new image");

  // The name must still refer to the file that was read, unchanged: never put a stale rewrite
  // over a newer file, nor over whatever a link put in its place.
  struct stat now {};
  if (::fstatat(dir, original.name().c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
    return io_error(errno, IoAction::open, "re-examining the image");
  if (!(identity_of(now) == id))
    return make_error(Errc::sharing_violation, "the image changed while it was being updated");

  if (Status s = file.replace(original.name(), id); !s) return s;
  // The image is already the new one; a failed flush means the rename may not survive a crash.
  if (::fsync(listing.get()) != 0)
    return make_error(Errc::write_fault, "flushing the image's directory: errno " + std::to_string(errno));
  return {};
}

}  // namespace resupdate
