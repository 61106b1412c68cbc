// Placing a rebuilt resource tree: the new image as pieces around what changed.
#pragma once

#include "resupdate/image_editor.h"

namespace resupdate {

// Lays out the image `src` holds with its resources replaced by `resources`.
[[nodiscard]] Result<ImagePlan> plan_image(const PeImage& image, const ByteSource& src, const ResourceSet& resources);

}  // namespace resupdate
