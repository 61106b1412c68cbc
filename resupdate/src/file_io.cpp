// POSIX file access for the service: the image read by positioned reads, and the new image
// built unnamed in its directory, flushed, verified, named and renamed over it.
#include "resupdate/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef TARVISK_PORTABLE_POSIX
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <cerrno>
#include <string>
#include <utility>

#include "fd_io.h"
#include "file_metadata.h"
#include "new_file.h"
#include "path_walk.h"

namespace resupdate {

Result<std::shared_ptr<FileSource>> FileSource::open(const std::string& path) {
  if (path.empty()) return make_error(Errc::path_not_found, "empty path");
  auto opened = open_by_components(path);
  if (!opened) return std::move(opened).error();
  struct stat st {};
  if (::fstat(opened->file.get(), &st) != 0)
    return io_error(errno, IoAction::read, "examining the image");
  if (!S_ISREG(st.st_mode))
    return make_error(Errc::access_denied, "the image is not a regular file");
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
  if (!fits(off, out.size(), identity_.size))
    return make_error(Errc::read_fault, "read past the end of the image");
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
    return make_error(Errc::write_fault,
                      "cannot open the image's directory: errno " + std::to_string(errno));
#ifndef TARVISK_PORTABLE_POSIX
  int flags = 0;
  if (::ioctl(listing.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
      (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0)
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
    return make_error(Errc::write_fault,
                      "flushing the image's directory: errno " + std::to_string(errno));
  return {};
}

}  // namespace resupdate
