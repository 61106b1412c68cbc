// POSIX file access for the service: the image read by positioned reads, and the new image
// written beside it, flushed, verified and renamed over it.
#include "resupdate/file_io.h"

#include "fd_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace resupdate {

namespace {

FileIdentity identity_of(const struct stat& st) {
  FileIdentity id;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.inode = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::uint64_t>(st.st_size);
  id.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  id.mode = static_cast<std::uint32_t>(st.st_mode);
  return id;
}

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The temporary file beside the image; removed unless it was renamed into place.
struct TempFile {
  std::string path;
  int fd = -1;
  bool keep = false;
  ~TempFile() {
    if (fd >= 0) ::close(fd);
    if (!keep && !path.empty()) ::unlink(path.c_str());
  }
};

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
  // The file a symbolic link names is the one replaced; the link itself stays.
  std::vector<char> resolved(PATH_MAX + 1, '\0');
  if (::realpath(path.c_str(), resolved.data()) == nullptr) {
    const int err = errno;
    if (err == ENOENT) {
      struct stat st {};
      const std::string parent = parent_of(path);
      if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return make_error(Errc::path_not_found, "a directory on the path does not exist");
    }
    return io_error(err, IoAction::open, "resolving the image path");
  }
  std::string real(resolved.data());
  const int fd = ::open(real.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return io_error(errno, IoAction::open, "opening the image");
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return io_error(err, IoAction::read, "examining the image");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return make_error(Errc::access_denied, "the image is not a regular file");
  }
  return std::shared_ptr<FileSource>(new FileSource(fd, std::move(real), identity_of(st)));
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

Status FileSource::read(std::uint64_t off, std::span<std::uint8_t> out) const {
  if (!fits(off, out.size(), identity_.size)) return make_error(Errc::read_fault, "read past the end of the image");
  return pread_all(fd_, off, out);
}

Status replace_atomically(const FileSource& original, const std::function<Status(ByteSink&)>& write,
                          const std::function<Status(const ByteSource&)>& verify) {
  const std::string& path = original.path();
  const std::string dir = parent_of(path);
  const auto slash = path.find_last_of('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

  TempFile tmp;
  std::string templ = dir + "/." + base + ".tarvisk-XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  tmp.fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (tmp.fd < 0) return io_error(errno, IoAction::write, "creating a file beside the image");
  tmp.path.assign(name.data());

  FdSink sink(tmp.fd);
  if (Status s = write(sink); !s) return s;
  const FileIdentity& id = original.identity();
  if (::fchmod(tmp.fd, static_cast<mode_t>(id.mode & 07777)) != 0)
    return io_error(errno, IoAction::write, "setting the new image's permissions");
  if (::geteuid() == 0) {
    struct stat st {};
    // Best effort: only root may give the file back to its owner.
    if (::stat(path.c_str(), &st) == 0 && ::fchown(tmp.fd, st.st_uid, st.st_gid) == 0) {
      (void)::fchmod(tmp.fd, static_cast<mode_t>(id.mode & 07777));
    }
  }
  if (::fsync(tmp.fd) != 0) return io_error(errno, IoAction::write, "flushing the new image");

  FdSource written(tmp.fd, sink.position());
  if (Status s = verify(written); !s) return s;

  // The image must still be the file that was read: never put a stale rewrite over a newer file.
  struct stat now {};
  if (::stat(path.c_str(), &now) != 0) return io_error(errno, IoAction::open, "re-examining the image");
  if (!(identity_of(now) == id)) return make_error(Errc::sharing_violation, "the image changed while it was being updated");

  if (::rename(tmp.path.c_str(), path.c_str()) != 0) return io_error(errno, IoAction::write, "replacing the image");
  tmp.keep = true;
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);  // make the rename itself durable
    ::close(dfd);
  }
  return {};
}

}  // namespace resupdate
