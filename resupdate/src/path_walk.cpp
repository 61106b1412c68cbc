// Walking the image's path: each directory opened from the one before, links read and
// followed here, up to the kernel's own limit.
#include "path_walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <utility>
#include <vector>

namespace resupdate {

namespace {

#ifndef TARVISK_PORTABLE_POSIX
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

// The path's components, last first, so that a link's target can be pushed in its place.
void push_components(const std::string& path, std::vector<std::string>& pending) {
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    if (end > begin && path.compare(begin, end - begin, ".") != 0)
      pending.push_back(path.substr(begin, end - begin));
    if (slash == std::string::npos) break;
    end = slash;
  }
}

std::string joined(const std::string& dir, const std::string& name) {
  if (dir == "/") return "/" + name;
  return dir + "/" + name;
}

}  // namespace

Result<OpenedImage> open_by_components(const std::string& path) {
  OpenedImage o;
  const bool absolute = path[0] == '/';
  o.dir.reset(::open(absolute ? "/" : ".", kDirectoryOnly | O_CLOEXEC));
  if (o.dir.get() < 0)
    return io_error(errno, IoAction::open, "opening the start of the image path");
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
        if (err == ENOENT)
          return make_error(Errc::path_not_found, "a directory on the path does not exist");
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
    if (n < 0)
      return io_error(errno == EINVAL ? ELOOP : errno, IoAction::open,
                      "reading a link on the image path");
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

}  // namespace resupdate
