// What a file is and who may use it: its identity as read, and the owner, group, mode,
// extended attributes and ACL the new image takes over from the old one.
#pragma once

#include <sys/stat.h>

#include "resupdate/file_io.h"
#include "resupdate/result.h"

namespace resupdate {

[[nodiscard]] FileIdentity identity_of(const struct stat& st);

// Owner, group, attributes and permission bits of the file `id` describes (open as `from`)
// given to `to`: access_denied where the owner or group cannot be given, since a file of
// someone else's would change who may use the image.
[[nodiscard]] Status copy_metadata(int from, int to, const FileIdentity& id);

}  // namespace resupdate
