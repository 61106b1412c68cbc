// What the tree's decoder, layout and encoder share: the sizes and flags of its records, the
// error for a malformed tree, and the walk over a set in the tree's order.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "resupdate/resource_tree.h"

namespace resupdate {

inline constexpr std::uint32_t kDirHeaderSize = rsrc::kDirectorySize;
inline constexpr std::uint32_t kDirEntrySize = rsrc::kEntrySize;
inline constexpr std::uint32_t kDataEntrySize = rsrc::kDataEntrySize;
inline constexpr std::uint32_t kHighBit = 0x80000000U;
inline constexpr std::uint32_t kBlobAlignment = 8;
// Offsets inside the tree keep the high bit for flags.
inline constexpr std::uint32_t kMaxTreeSize = 0x7fffffffU;

[[nodiscard]] inline Error bad_tree(std::string detail) {
  return make_error(Errc::invalid_data, std::move(detail));
}

// Steps through the set once, in order, saying where each type and each name begins: a set of
// many resources outgrows the caches, so whatever a pass needs of each resource it takes then,
// comparing neighbours while both are at hand. A step that returns a Status stops the walk at
// its first failure, which the walk returns.
template <class Step>
auto in_tree_order(const ResourceSet& set, Step&& step) {
  // Integer identifiers, by far the most common, are compared without their (empty) names.
  auto same = [](const ResourceId& a, const ResourceId& b) {
    return a.named == b.named && a.id == b.id && (!a.named || a.name == b.name);
  };
  using StepResult = std::invoke_result_t<Step&, const ResourceSet::value_type&, bool, bool>;
  const ResourceSet::value_type* prev = nullptr;
  for (const auto& item : set) {
    const bool new_type = prev == nullptr || !same(prev->first.type, item.first.type);
    const bool new_name = new_type || !same(prev->first.name, item.first.name);
    if constexpr (std::is_same_v<StepResult, Status>) {
      if (Status s = step(item, new_type, new_name); !s) return s;
    } else {
      step(item, new_type, new_name);
    }
    prev = &item;
  }
  if constexpr (std::is_same_v<StepResult, Status>) return Status{};
}

// Whether all of a resource's bytes lie in the source, 4-byte aligned as the loader expects
// (kept at the same place modulo 8, they stay so), so that they can stay as they lie there.
[[nodiscard]] inline bool keepable(const ResourceData& d) noexcept {
  const auto* e = std::get_if<FileExtent>(&d.bytes);
  return e != nullptr && e->size != 0 && e->file_len == e->size && e->offset.value % 4 == 0;
}

}  // namespace resupdate
