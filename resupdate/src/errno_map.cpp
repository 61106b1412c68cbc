// The one map from errno values to the service's error codes, on every platform.
#include <cerrno>

#include "resupdate/file_io.h"

namespace resupdate {

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
#ifdef EDQUOT
    case EDQUOT:
#endif
    case ENOSPC: return Errc::disk_full;
    case EFBIG: return Errc::file_too_large;
    case ENAMETOOLONG:
    case ELOOP: return Errc::path_not_found;
    default: break;
  }
  if (action == IoAction::read) return Errc::read_fault;
  if (action == IoAction::write) return Errc::write_fault;
  return Errc::access_denied;
}

}  // namespace resupdate
