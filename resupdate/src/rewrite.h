// Planning the new image: the tree measured, placed by the placement rules, and the image
// around it fixed up and emitted as pieces.
#pragma once

#include <cstdint>

#include "resupdate/pe_image.h"
#include "resupdate/plan.h"
#include "resupdate/resource_tree.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// Lays out the image `src` holds with its resources replaced by `resources`, for a file system
// whose block is `block_size` bytes (0 when unknown). With `borrow`, large in-memory resources
// are written from `resources` itself, which must then outlive the plan unchanged.
[[nodiscard]] Result<ImagePlan> plan_image(const PeImage& image, const ByteSource& src,
                                           const ResourceSet& resources,
                                           std::uint64_t block_size = 0, bool borrow = false);

}  // namespace resupdate
