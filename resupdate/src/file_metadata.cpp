// The old image's owner, group, extended attributes, ACL and mode, given to the new one.
#include "file_metadata.h"

#include <sys/types.h>
#include <unistd.h>
#ifndef TARVISK_PORTABLE_POSIX
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fd_io.h"

namespace resupdate {

namespace {

#ifndef TARVISK_PORTABLE_POSIX
// Linux's limits on one attribute's value and on the list of names.
constexpr std::size_t kAttributeValueMax = 65536;
constexpr std::size_t kAttributeListMax = 65536;
constexpr const char* kAccessAcl = "system.posix_acl_access";
#endif

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

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
                      "the new image cannot be given the image's owner and group: errno " +
                          std::to_string(errno));
  return {};
}

}  // namespace

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

// In the order that keeps each: a change of owner clears the set-user-ID bit and file
// capabilities, so those come after it.
Status copy_metadata(int from, int to, const FileIdentity& id) {
  if (Status s = give_owner(to, id); !s) return s;
  if (Status s = copy_attributes(from, to); !s) return s;
  if (::fchmod(to, static_cast<mode_t>(id.mode & 07777)) != 0)
    return io_error(errno, IoAction::write, "setting the new image's permissions");
  return {};
}

}  // namespace resupdate
