// POSIX file access for the service: the image read by positioned reads, and the new image
// written beside it, flushed, verified and renamed over it.
#include "resupdate/file_io.h"

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

Error io_error(int err, IoAction action, const std::string& what) {
  return make_error(errc_from_errno(err, action), what + ": errno " + std::to_string(err));
}

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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
#ifdef SYNC_FILE_RANGE_WRITE
    if (pos_ - flushed_ < kWritebackChunk) return;
    (void)::sync_file_range(fd_, static_cast<off_t>(flushed_), static_cast<off_t>(pos_ - flushed_), SYNC_FILE_RANGE_WRITE);
    flushed_ = pos_;
#endif
  }

  static constexpr std::uint64_t kWritebackChunk = std::uint64_t{8} << 20;
  int fd_;
  std::uint64_t pos_ = 0;
  std::uint64_t flushed_ = 0;
  bool kernel_copy_ = true;
};

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
