// Files on POSIX systems: the image opened for reading, and its atomic replacement.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// What identifies the file a path named when it was opened, to notice a replacement.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint32_t mode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The image file, opened read/write (so a file we may not replace is refused at once) and
// read through positioned reads. Symbolic links are resolved to the file they name.
class FileSource final : public ByteSource {
 public:
  [[nodiscard]] static Result<std::shared_ptr<FileSource>> open(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  [[nodiscard]] std::uint64_t size() const noexcept override { return identity_.size; }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const override;
  [[nodiscard]] int native_fd() const noexcept override { return fd_; }

  // The resolved path of the file (the target of any symbolic link).
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] const FileIdentity& identity() const noexcept { return identity_; }

 private:
  FileSource(int fd, std::string path, FileIdentity id) : fd_(fd), path_(std::move(path)), identity_(id) {}
  int fd_ = -1;
  std::string path_;
  FileIdentity identity_;
};

// Writes a new file beside `original`'s path through `write`, flushes it, gives it the
// original's permission bits, lets `verify` read it back, and renames it over the original
// only if the original is still the file that was read. On any failure the temporary file is
// removed and the original is untouched.
[[nodiscard]] Status replace_atomically(const FileSource& original, const std::function<Status(ByteSink&)>& write,
                                        const std::function<Status(const ByteSource&)>& verify);

// The Windows-style code for an errno value, given what was being done.
enum class IoAction { open, read, write };
[[nodiscard]] Errc errc_from_errno(int err, IoAction action) noexcept;

}  // namespace resupdate
