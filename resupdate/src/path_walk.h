// Resolving the image's path one component at a time, following symbolic links ourselves.
#pragma once

#include <string>

#include "fd_io.h"
#include "resupdate/result.h"

namespace resupdate {

// The image, opened read/write, and the directory that holds it.
struct OpenedImage {
  UniqueFd file;
  UniqueFd dir;
  std::string name;  // the file's name in `dir`
  std::string path;  // a path of the file, for messages: a link's target, not the link
};

// Opens the image at `path` (not empty), reaching its directory one component at a time: the
// kernel never sees more than one name at once, so the path's length is not limited, and the
// last component is opened without following a link, so a link read here is the one followed.
[[nodiscard]] Result<OpenedImage> open_by_components(const std::string& path);

}  // namespace resupdate
