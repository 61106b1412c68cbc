// Laying a resource section out around the resource data that stays where it lay.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "resupdate/resource_tree.h"

namespace resupdate::placement {

// One stretch of the laid-out section, `at` bytes from the section's start.
struct KeptSegment {
  enum class Kind { old_bytes, root, directories, data_entries, strings, blob };
  Kind kind = Kind::old_bytes;
  std::uint64_t at = 0;
  std::uint64_t length = 0;
  std::size_t resource = 0;  // for a blob: its index in the set's order
  std::uint64_t from = 0;    // for a block of the tree: where it starts in encode_directory's bytes
};

// The root directory starts the section, as readers that take the section's first byte for it
// (llvm-readobj) need; each further block of the tree follows it, or lies where there is room
// for it, so a tree that grows moves only the blocks that no longer fit. The data entries,
// each named on its own, may lie in two parts: those that still fit where they lay, and the
// rest.
struct KeptLayout {
  TreeBias bias;                      // where each block lies, past where it follows the root
  std::vector<std::uint32_t> rvas;    // each resource's data, in the set's order
  std::vector<KeptSegment> segments;  // ascending, not overlapping; zeros lie between them
  std::uint64_t used_end = 0;         // the end of the last segment
};

// The resource section's raw data: `raw_len` bytes at `raw_at` in the file, mapped at `va`.
struct SectionSpan {
  std::uint64_t raw_at = 0;
  std::uint64_t raw_len = 0;
  std::uint32_t va = 0;
};

// Keeps the data of every resource that lies whole and 4-byte aligned in the section where it
// lies, and puts the blocks of the tree `tree` measures and every other blob first into the room
// between what stays, then past it. Nothing when no resource's data can stay, or when kept data
// leaves no room for the root at the start.
[[nodiscard]] std::optional<KeptLayout> lay_out_around_kept(const ResourceSet& set,
                                                            const SectionSpan& section,
                                                            const TreeLayout& tree);

}  // namespace resupdate::placement
