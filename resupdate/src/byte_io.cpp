// Bounded little-endian writer.
#include "resupdate/byte_io.h"

#include <algorithm>

namespace resupdate {

bool ByteWriter::bytes(std::uint64_t off, ByteSpan src) noexcept {
  if (!fits(off, src.size(), out_.size())) return false;
  std::copy(src.begin(), src.end(), out_.begin() + static_cast<std::ptrdiff_t>(off));
  return true;
}

}  // namespace resupdate
