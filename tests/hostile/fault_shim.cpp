// Preloaded into the tool to make one of its file calls fail, or to send it a signal there:
//   TARVISK_FAULT_CALL   read, write, copy, flush, metadata, create, link, rename or dirflush
//                        (metadata: mode, extended attributes and ACL; the change of owner is
//                        left alone, since the update may go on without it)
//   TARVISK_FAULT_AT     which call of that kind (1 for the first)
//   TARVISK_FAULT_ERRNO  the error it fails with
//   TARVISK_FAULT_SIGNAL a signal to raise in that call instead, before the call itself runs
//   TARVISK_FAULT_PAUSE  a file to create in that call instead; the call then waits until the
//                        file is gone (at most 30 s) and runs, so a test can act in between
//   TARVISK_FAULT_MISSING     calls an older kernel or another file system lacks, each with the
//                        error it fails with, as "copy:38,tmpfile:21": copy (copy_file_range),
//                        writeback (sync_file_range), tmpfile (opening with O_TMPFILE), clone
//                        (the FICLONE and FICLONERANGE ioctls), emptypath (linkat with
//                        AT_EMPTY_PATH), flags (the FS_IOC_GETFLAGS ioctl), proc (any path
//                        under /proc, as in a chroot without it), exchange (renameat2 with
//                        RENAME_EXCHANGE)
//   TARVISK_FAULT_LOG    a file that gets a line for each call refused as missing
//   TARVISK_FAULT_MEASURE     the length a seek to a regular file's end reports, as a /proc
//                        file reports 0 whatever it holds (the position is set to it)
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
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
  static const char* const kinds[] = {"read",   "write", "copy",   "flush",   "metadata",
                                      "create", "link",  "rename", "dirflush"};
  const char* wanted = std::getenv("TARVISK_FAULT_CALL");
  if (wanted == nullptr || std::strcmp(wanted, kind) != 0) return false;
  std::size_t k = 0;
  while (std::strcmp(kinds[k], kind) != 0) ++k;
  if (++seen[k] != number_from("TARVISK_FAULT_AT")) return false;
  if (const long sig = number_from("TARVISK_FAULT_SIGNAL"); sig != 0) {
    ::raise(static_cast<int>(sig));
    return false;
  }
  if (const char* pause = std::getenv("TARVISK_FAULT_PAUSE"); pause != nullptr) {
    const int saved = errno;
    const int fd = ::open(pause, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    for (int waited = 0; waited < 30000 && ::access(pause, F_OK) == 0; ++waited) ::usleep(1000);
    errno = saved;
    return false;
  }
  errno = static_cast<int>(number_from("TARVISK_FAULT_ERRNO"));
  return true;
}

// The error `call` fails with when it is to seem missing, else 0.
int missing(const char* call) {
  const char* list = std::getenv("TARVISK_FAULT_MISSING");
  if (list == nullptr) return 0;
  const std::size_t n = std::strlen(call);
  for (const char* p = list; (p = std::strstr(p, call)) != nullptr; p += n) {
    if ((p != list && p[-1] != ',') || p[n] != ':') continue;
    if (const char* log = std::getenv("TARVISK_FAULT_LOG"); log != nullptr) {
      const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) {
        (void)!::write(fd, call, n);
        (void)!::write(fd, "\n", 1);
        ::close(fd);
      }
    }
    return static_cast<int>(std::strtol(p + n + 1, nullptr, 10));
  }
  return 0;
}

// Fails with the error for a missing /proc when `path` is under it and that is asked for.
bool refused_in_proc(const char* path) {
  if (std::strncmp(path, "/proc/", 6) != 0) return false;
  const int err = missing("proc");
  if (err != 0) errno = err;
  return err != 0;
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

off64_t lseek64(int fd, off64_t off, int whence) {
  const auto real = next<off64_t (*)(int, off64_t, int)>("lseek64");
  struct stat st {};
  if (const char* measure = std::getenv("TARVISK_FAULT_MEASURE");
      measure != nullptr && whence == SEEK_END && off == 0 && ::fstat(fd, &st) == 0 &&
      S_ISREG(st.st_mode))
    return real(fd, std::strtoll(measure, nullptr, 10), SEEK_SET);
  return real(fd, off, whence);
}
off_t lseek(int fd, off_t off, int whence) { return lseek64(fd, off, whence); }

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
  if (strike("write")) return -1;
  return next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, buf, n, off);
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) { return pwrite64(fd, buf, n, off); }

ssize_t copy_file_range(int in, off64_t* in_off, int out, off64_t* out_off, size_t n,
                        unsigned flags) {
  if (const int err = missing("copy"); err != 0) {
    errno = err;
    return -1;
  }
  if (strike("copy")) return -1;
  return next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range")(
      in, in_off, out, out_off, n, flags);
}

int sync_file_range(int fd, off64_t off, off64_t n, unsigned flags) {
  if (const int err = missing("writeback"); err != 0) {
    errno = err;
    return -1;
  }
  return next<int (*)(int, off64_t, off64_t, unsigned)>("sync_file_range")(fd, off, n, flags);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const char* kind = request == FICLONE || request == FICLONERANGE ? "clone"
                     : request == FS_IOC_GETFLAGS                  ? "flags"
                                                                   : "";
  if (const int err = *kind != '\0' ? missing(kind) : 0; err != 0) {
    errno = err;
    return -1;
  }
  return next<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, arg);
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
int fremovexattr(int fd, const char* name) {
  if (strike("metadata")) return -1;
  return next<int (*)(int, const char*)>("fremovexattr")(fd, name);
}
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (strike("metadata")) return -1;
  return next<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value,
                                                                                size, flags);
}

int openat64(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, unsigned));
    va_end(ap);
    if (const int err = (flags & O_TMPFILE) == O_TMPFILE ? missing("tmpfile") : 0; err != 0) {
      errno = err;
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

int fstatat(int dir, const char* path, struct stat* st, int flags) {
  if (refused_in_proc(path)) return -1;
  return next<int (*)(int, const char*, struct stat*, int)>("fstatat")(dir, path, st, flags);
}
int fstatat64(int dir, const char* path, struct stat64* st, int flags) {
  if (refused_in_proc(path)) return -1;
  return next<int (*)(int, const char*, struct stat64*, int)>("fstatat64")(dir, path, st, flags);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  if (refused_in_proc(from)) return -1;
  if (const int err = (flags & AT_EMPTY_PATH) != 0 ? missing("emptypath") : 0; err != 0) {
    errno = err;
    return -1;
  }
  if (strike("link")) return -1;
  return next<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir,
                                                                          to, flags);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  if (strike("rename")) return -1;
  return next<int (*)(int, const char*, int, const char*)>("renameat")(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  if (const int err = (flags & RENAME_EXCHANGE) != 0 ? missing("exchange") : 0; err != 0) {
    errno = err;
    return -1;
  }
  if (strike("rename")) return -1;
  return next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
      from_dir, from, to_dir, to, flags);
}

}  // extern "C"
