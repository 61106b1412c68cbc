// The new image as a plan: the pieces it is written from, in file order, and what the writer
// patches afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "resupdate/byte_io.h"

namespace resupdate {

// One piece of the new image: bytes from memory, a range copied from the source, or zeros.
struct Piece {
  enum class Kind { literal, copy, zeros };
  Kind kind = Kind::zeros;
  FileOffset source_offset;  // for copy
  std::uint64_t length = 0;
  Bytes data;         // for literal
  ByteSpan borrowed;  // for literal instead of `data`: a resource's bytes in the editor
  [[nodiscard]] ByteSpan bytes() const noexcept {
    return borrowed.empty() ? ByteSpan(data) : borrowed;
  }
};

// How the new resources were placed; reported for tests and diagnostics. `kept`: the data of
// the resources that were there stays where it lay, the rest around it in the same section.
enum class Placement { in_place, grow_last, shift_following, new_section, kept };

// The new image, described without holding the copied ranges in memory.
struct ImagePlan {
  std::vector<Piece> pieces;
  std::uint64_t size = 0;
  Placement placement = Placement::in_place;
  // Small overwrites of copied ranges (moved debug-directory offsets), applied in order.
  struct Patch {
    std::uint64_t offset = 0;
    Bytes data;
  };
  std::vector<Patch> patches;
  // When set, the checksum of the finished image goes at this offset; it is carried over from
  // the one the old image stores at old_checksum_offset.
  std::optional<std::uint64_t> checksum_offset;
  std::uint64_t old_checksum_offset = 0;
};

}  // namespace resupdate
