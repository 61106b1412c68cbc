// Windows file access for the service: the image read through short-lived handles, and the
// new image written beside it, flushed, verified and moved over it.
#include "resupdate/file_io.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "borrowed_source.h"

namespace resupdate {

namespace {

// Longest single ReadFile/WriteFile request; their counts are 32-bit.
constexpr std::uint64_t kMaxTransfer = 1U << 30;

// Attributes the new image takes over from the original. READONLY cannot be set, or we could
// not have opened the image for writing; DIRECTORY and the like describe no regular file.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

Errc errc_from_win32(DWORD err, IoAction action) noexcept {
  switch (err) {
    case ERROR_FILE_NOT_FOUND: return Errc::file_not_found;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return Errc::path_not_found;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return Errc::access_denied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return Errc::sharing_violation;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return Errc::not_enough_memory;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return Errc::disk_full;
    case ERROR_FILE_TOO_LARGE: return Errc::file_too_large;
    default:
      return action == IoAction::read    ? Errc::read_fault
             : action == IoAction::write ? Errc::write_fault
                                         : Errc::access_denied;
  }
}

Error io_error(DWORD err, IoAction action, const std::string& what) {
  return make_error(errc_from_win32(err, action), what + ": system error " + std::to_string(err));
}

Error last_io_error(IoAction action, const std::string& what) {
  return io_error(::GetLastError(), action, what);
}

OVERLAPPED at(std::uint64_t off) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(off);
  where.OffsetHigh = static_cast<DWORD>(off >> 32);
  return where;
}

Status read_all(HANDLE file, std::uint64_t off, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const auto want = static_cast<DWORD>(std::min<std::uint64_t>(out.size() - done, kMaxTransfer));
    OVERLAPPED where = at(off + done);
    DWORD got = 0;
    if (::ReadFile(file, out.data() + done, want, &got, &where) == FALSE) {
      const DWORD err = ::GetLastError();
      if (err == ERROR_HANDLE_EOF) return make_error(Errc::read_fault, "the image ended early");
      return io_error(err, IoAction::read, "reading the image");
    }
    if (got == 0) return make_error(Errc::read_fault, "the image ended early");
    done += got;
  }
  return {};
}

Status write_all(HANDLE file, std::uint64_t off, ByteSpan data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const auto want = static_cast<DWORD>(std::min<std::uint64_t>(data.size() - done, kMaxTransfer));
    OVERLAPPED where = at(off + done);
    DWORD put = 0;
    if (::WriteFile(file, data.data() + done, want, &put, &where) == FALSE)
      return last_io_error(IoAction::write, "writing the new image");
    if (put == 0) return make_error(Errc::write_fault, "writing the new image made no progress");
    done += put;
  }
  return {};
}

// Closes the handle it holds when it goes out of scope.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE h) noexcept : h_(h) {}
  ~OwnedHandle() { close(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  [[nodiscard]] HANDLE get() const noexcept { return h_; }
  [[nodiscard]] bool valid() const noexcept { return h_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE h) noexcept {
    close();
    h_ = h;
  }
  void close() noexcept {
    if (valid()) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
  FileIdentity id;
  id.device = info.dwVolumeSerialNumber;
  id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  // FILETIME counts 100 ns steps.
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime;
  id.mtime_ns = static_cast<std::int64_t>(ticks) * 100;
  id.mode = info.dwFileAttributes;
  return id;
}

Result<FileIdentity> identity_of_path(const std::string& path) {
  // No read or write access asked, so no sharing mode of another opener can refuse us.
  OwnedHandle file(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return last_io_error(IoAction::open, "re-examining the image");
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(file.get(), &info) == FALSE)
    return last_io_error(IoAction::read, "re-examining the image");
  return identity_of(info);
}

// The path of the file behind `file`, so that a link is followed to the file it names and a
// change of the current directory cannot redirect the replacement.
std::string final_path(HANDLE file, const std::string& given) {
  std::vector<char> buf(MAX_PATH + 1, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = ::GetFinalPathNameByHandleA(file, buf.data(), static_cast<DWORD>(buf.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) break;
    if (n >= buf.size()) {
      buf.assign(static_cast<std::size_t>(n) + 1, '\0');
      continue;
    }
    std::string path(buf.data(), n);
    // "\\?\C:\dir\file" and "\\?\UNC\server\share\file": the ANSI calls take the short forms.
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + path.substr(8);
    if (path.rfind("\\\\?\\", 0) == 0 && path.size() < MAX_PATH + 4) return path.substr(4);
    return path;
  }
  std::vector<char> full(MAX_PATH + 1, '\0');
  DWORD n =
      ::GetFullPathNameA(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n >= full.size()) {
    full.assign(static_cast<std::size_t>(n) + 1, '\0');
    n = ::GetFullPathNameA(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (n == 0 || n >= full.size()) return given;
  return std::string(full.data(), n);
}

// Reads a file through a handle it does not own.
class HandleSource final : public BorrowedSource {
 public:
  HandleSource(HANDLE file, std::uint64_t size) noexcept : BorrowedSource(size), file_(file) {}

 private:
  [[nodiscard]] Status read_within(std::uint64_t off, std::span<std::uint8_t> out) const override {
    return read_all(file_, off, out);
  }

  HANDLE file_;
};

// Writes the new image through positioned writes.
class HandleSink final : public ByteSink {
 public:
  explicit HandleSink(HANDLE file) : file_(file) {}
  [[nodiscard]] Status write(ByteSpan data) override {
    if (Status s = write_all(file_, pos_, data); !s) return s;
    pos_ += data.size();
    return {};
  }
  [[nodiscard]] std::uint64_t position() const noexcept override { return pos_; }
  [[nodiscard]] Status patch(std::uint64_t off, ByteSpan data) override {
    if (!fits(off, data.size(), pos_))
      return make_error(Errc::internal_error, "patch outside the image");
    return write_all(file_, off, data);
  }

 private:
  HANDLE file_;
  std::uint64_t pos_ = 0;
};

// The temporary file beside the image; deleted unless it was moved into place.
struct TempFile {
  std::string path;
  OwnedHandle file{INVALID_HANDLE_VALUE};
  bool keep = false;
  ~TempFile() {
    file.close();
    if (!keep && !path.empty()) ::DeleteFileA(path.c_str());
  }
};

Status create_beside(const std::string& image_path, TempFile& tmp) {
  const auto slash = image_path.find_last_of("\\/");
  const std::string dir =
      slash == std::string::npos ? std::string(".") : image_path.substr(0, slash);
  const std::string base = slash == std::string::npos ? image_path : image_path.substr(slash + 1);
  // Unique among processes by the id, and among retries by the tick count and attempt.
  const std::uint64_t seed =
      (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^ ::GetTickCount64();
  for (std::uint64_t attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tarvisk-%llx",
                  static_cast<unsigned long long>(seed + attempt * 7919));
    std::string name = dir + "\\" + base + suffix;
    // No sharing: nobody else may open or touch the new image before it is in place.
    HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      tmp.path = std::move(name);
      tmp.file.reset(h);
      return {};
    }
    const DWORD err = ::GetLastError();
    if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS)
      return io_error(err, IoAction::write, "creating a file beside the image");
  }
  return make_error(Errc::write_fault, "no free name for a file beside the image");
}

}  // namespace

Result<std::shared_ptr<FileSource>> FileSource::open(const std::string& path) {
  if (path.empty()) return make_error(Errc::path_not_found, "empty path");
  // Opened for writing only to refuse at once an image we could not replace (read-only, in
  // use, no permission); a directory fails here with ERROR_ACCESS_DENIED.
  OwnedHandle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return last_io_error(IoAction::open, "opening the image");
  // Device names such as NUL or CON open like files.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK)
    return make_error(Errc::access_denied, "the image is not a regular file");
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(file.get(), &info) == FALSE)
    return last_io_error(IoAction::read, "examining the image");
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return make_error(Errc::access_denied, "the image is not a regular file");
  std::string resolved = final_path(file.get(), path);
  // No handle is kept: Windows will not move a file over one that is open, and between the
  // calls the image stays free for others, as with the system's own service.
  return std::shared_ptr<FileSource>(new FileSource(-1, std::move(resolved), identity_of(info)));
}

FileSource::~FileSource() = default;

Status FileSource::read(std::uint64_t off, std::span<std::uint8_t> out) const {
  if (!fits(off, out.size(), identity_.size))
    return make_error(Errc::read_fault, "read past the end of the image");
  OwnedHandle file(::CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr));
  if (!file.valid()) return last_io_error(IoAction::read, "reopening the image");
  return read_all(file.get(), off, out);
}

Status replace_atomically(const FileSource& original, const std::function<Status(ByteSink&)>& write,
                          const std::function<Status(const ByteSource&)>& verify) {
  const std::string& path = original.path();
  TempFile tmp;
  if (Status s = create_beside(path, tmp); !s) return s;

  HandleSink sink(tmp.file.get());
  if (Status s = write(sink); !s) return s;
  if (::FlushFileBuffers(tmp.file.get()) == FALSE)
    return last_io_error(IoAction::write, "flushing the new image");

  HandleSource written(tmp.file.get(), sink.position());
  if (Status s = verify(written); !s) return s;

  // The image must still be the file that was read: never put a stale rewrite over a newer file.
  auto now = identity_of_path(path);
  if (!now) return std::move(now).error();
  if (!(*now == original.identity()))
    return make_error(Errc::sharing_violation, "the image changed while it was being updated");

  tmp.file.close();
  const DWORD attributes = original.identity().mode & kKeptAttributes;
  if (attributes != 0) static_cast<void>(::SetFileAttributesA(tmp.path.c_str(), attributes));
  if (::MoveFileExA(tmp.path.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE)
    return last_io_error(IoAction::write, "replacing the image");
  tmp.keep = true;
  return {};
}

}  // namespace resupdate
