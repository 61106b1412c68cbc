// Files on POSIX systems: the image opened for reading, and its atomic replacement.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// What identifies the file a path named when it was opened, to notice a replacement or a
// write into it (a write restoring the modification time still moves the change time), and
// the owner the new file is given back to.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  std::uint32_t mode = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The image file, opened read/write (so a file we may not replace is refused at once) and
// read through positioned reads. Symbolic links are resolved to the file they name, one
// component at a time, so a path longer than PATH_MAX is followed too. The directory that
// holds the file is kept open: every later step works relative to it, never by path again.
class FileSource final : public ByteSource {
 public:
  [[nodiscard]] static Result<std::shared_ptr<FileSource>> open(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  [[nodiscard]] std::uint64_t size() const noexcept override { return identity_.size; }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const override;
  [[nodiscard]] int native_fd() const noexcept override { return fd_; }

  // A path of the file: the target of a symbolic link the path ended in, not the link. Only
  // for messages on POSIX systems, where the file is never looked up by it again.
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] const FileIdentity& identity() const noexcept { return identity_; }
  // The directory holding the file (-1 where the platform has no such descriptor), and the
  // file's name in it.
  [[nodiscard]] int directory_fd() const noexcept { return dir_fd_; }
  [[nodiscard]] const std::string& name() const noexcept { return name_; }

 private:
  FileSource(int fd, std::string path, FileIdentity id)
      : fd_(fd), path_(std::move(path)), identity_(id) {}
  FileSource(int fd, int dir_fd, std::string name, std::string path, FileIdentity id)
      : fd_(fd), dir_fd_(dir_fd), name_(std::move(name)), path_(std::move(path)), identity_(id) {}
  int fd_ = -1;
  int dir_fd_ = -1;
  std::string name_;
  std::string path_;
  FileIdentity identity_;
};

// Writes a new file in `original`'s directory through `write`, gives it the original's owner
// and group (on POSIX systems access_denied where it cannot, rather than a file of another
// owner), extended attributes, access ACL (and no ACL where the original has none) and
// permission bits, lets `verify` read it back and flushes it (on Linux the disk writes it
// while `verify` reads; on Windows the flush comes first), and puts it in place of the
// original only if the original's name still refers to the file that was read, unchanged
// (else sharing_violation). On Linux that is an exchange, and a file that comes out other than
// the one read is put back (sharing_violation); elsewhere, and where the file system cannot
// exchange, a rename. The new file has no name until that moment where the file system
// allows, and signals are held while it has one, so on any failure, signal or limit nothing
// is left beside the original, which is untouched. After the rename the directory is flushed;
// if that fails the result is write_fault with the new image already in place.
[[nodiscard]] Status replace_atomically(const FileSource& original,
                                        const std::function<Status(ByteSink&)>& write,
                                        const std::function<Status(const ByteSource&)>& verify);

// The Windows-style code for an errno value, given what was being done.
enum class IoAction { open, read, write };
[[nodiscard]] Errc errc_from_errno(int err, IoAction action) noexcept;

}  // namespace resupdate
