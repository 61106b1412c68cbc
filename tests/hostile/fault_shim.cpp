// Preloaded into the tool to make one of its file calls fail, or to send it a signal there:
//   TARVISK_FAULT_CALL   read, write, copy, flush, metadata, create, link, rename or dirflush
//                        (metadata: mode, extended attributes and ACL; the change of owner is
//                        left alone, since the update may go on without it)
//   TARVISK_FAULT_AT     which call of that kind (1 for the first)
//   TARVISK_FAULT_ERRNO  the error it fails with
//   TARVISK_FAULT_SIGNAL a signal to raise in that call instead, before the call itself runs
//   TARVISK_FAULT_NO_TMPFILE  when set, the file system seems to have no unnamed files
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

long number_from(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? 0 : std::strtol(v, nullptr, 10);
}

// True when this call is to fail (errno is set); a signal is raised here instead if asked for.
bool strike(const char* kind) {
  static long seen[16];
  static const char* const kinds[] = {"read", "write", "copy", "flush", "metadata", "create", "link", "rename", "dirflush"};
  const char* wanted = std::getenv("TARVISK_FAULT_CALL");
  if (wanted == nullptr || std::strcmp(wanted, kind) != 0) return false;
  std::size_t k = 0;
  while (std::strcmp(kinds[k], kind) != 0) ++k;
  if (++seen[k] != number_from("TARVISK_FAULT_AT")) return false;
  if (const long sig = number_from("TARVISK_FAULT_SIGNAL"); sig != 0) {
    ::raise(static_cast<int>(sig));
    return false;
  }
  errno = static_cast<int>(number_from("TARVISK_FAULT_ERRNO"));
  return true;
}

bool is_directory(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

extern "C" {

ssize_t pread64(int fd, void* buf, size_t n, off64_t off) {
  if (strike("read")) return -1;
  return next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64")(fd, buf, n, off);
}
ssize_t pread(int fd, void* buf, size_t n, off_t off) { return pread64(fd, buf, n, off); }

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
  if (strike("write")) return -1;
  return next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, buf, n, off);
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) { return pwrite64(fd, buf, n, off); }

ssize_t copy_file_range(int in, off64_t* in_off, int out, off64_t* out_off, size_t n, unsigned flags) {
  if (strike("copy")) return -1;
  return next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range")(in, in_off, out, out_off, n, flags);
}

int fsync(int fd) {
  if (strike(is_directory(fd) ? "dirflush" : "flush")) return -1;
  return next<int (*)(int)>("fsync")(fd);
}

int fchmod(int fd, mode_t mode) {
  if (strike("metadata")) return -1;
  return next<int (*)(int, mode_t)>("fchmod")(fd, mode);
}
ssize_t flistxattr(int fd, char* list, size_t size) {
  if (strike("metadata")) return -1;
  return next<ssize_t (*)(int, char*, size_t)>("flistxattr")(fd, list, size);
}
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
  if (strike("metadata")) return -1;
  return next<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr")(fd, name, value, size);
}
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (strike("metadata")) return -1;
  return next<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value, size, flags);
}

int openat64(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, unsigned));
    va_end(ap);
    if ((flags & O_TMPFILE) == O_TMPFILE && std::getenv("TARVISK_FAULT_NO_TMPFILE") != nullptr) {
      errno = EOPNOTSUPP;
      return -1;
    }
    if (strike("create")) return -1;
  }
  return next<int (*)(int, const char*, int, ...)>("openat64")(dir, path, flags, mode);
}
int openat(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, unsigned));
    va_end(ap);
  }
  return openat64(dir, path, flags, mode);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  if (strike("link")) return -1;
  return next<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir, to, flags);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  if (strike("rename")) return -1;
  return next<int (*)(int, const char*, int, const char*)>("renameat")(from_dir, from, to_dir, to);
}

}  // extern "C"
