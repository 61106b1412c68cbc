// The new image's PE checksum, carried over from the one the old image stores.
#pragma once

#include <cstdint>

#include "resupdate/plan.h"
#include "resupdate/source.h"

namespace resupdate {

// The checksum of the image `plan` describes, from the one `old` stores at the plan's
// old_checksum_offset and the bytes the plan changes: the ranges it copies unchanged and by an
// even distance are never read. A stored checksum that was right gives the right one; one off
// by k gives one off by k too, or by k and one wrap of the folded sum (k plus or minus 0xffff).
[[nodiscard]] Result<std::uint32_t> carried_checksum(const ImagePlan& plan, const ByteSource& old);

}  // namespace resupdate
