// Laying a resource tree out before any byte of it is written.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "resupdate/resource_tree.h"
#include "tree_format.h"

namespace resupdate {

namespace {

// The blobs' room, gathered in one pass over the set: laid out anew, and kept where they lie.
struct BlobRoom {
  std::uint64_t laid_out = 0;            // each 8-aligned, in the set's order
  std::uint64_t lo = ~std::uint64_t{0};  // the stretch of the source the keepable ones span
  std::uint64_t hi = 0;
  std::vector<std::uint32_t> others;  // sizes of the rest, in the set's order

  void add(const ResourceData& d) {
    const std::uint32_t size = d.size();
    laid_out = align_up(laid_out, kBlobAlignment) + size;
    if (!keepable(d)) {
      others.push_back(size);
      return;
    }
    const FileExtent& e = std::get<FileExtent>(d.bytes);
    lo = std::min(lo, e.offset.value);
    hi = std::max(hi, e.offset.value + e.size);
  }
};

// Keeps the source's blobs as they lie when the stretch from the first to the end of the last
// takes no more room than laying each out 8-aligned would: the tree is then no larger, once its
// end is aligned to 8 as raw data is (so the same placement holds it), and nothing but what
// alignment pads can lie between the blobs, so no byte of another resource comes along.
void keep_blobs(const BlobRoom& room, std::uint64_t at_least, TreeLayout& l) {
  if (room.hi <= room.lo || room.hi - room.lo < at_least) return;
  // At the same place modulo 8, each blob keeps its alignment; the others follow, 8-aligned.
  const std::uint64_t kept_at = l.data_offset + room.lo % kBlobAlignment;
  std::uint64_t total = kept_at + (room.hi - room.lo);
  for (const std::uint32_t size : room.others) total = align_up(total, kBlobAlignment) + size;
  if (total > align_up(l.total_size, kBlobAlignment)) return;
  l.kept_from = room.lo;
  l.kept_length = room.hi - room.lo;
  l.kept_offset = static_cast<std::uint32_t>(kept_at);
  l.total_size = total;
}

}  // namespace

Result<TreeLayout> measure_tree(const ResourceSet& set, std::uint64_t keep_at_least) {
  BlobRoom room;
  auto too_many = [](std::uint64_t n) { return n > 0xffff; };
  std::uint64_t dirs = kDirHeaderSize;  // root
  std::uint64_t strings = 0;
  std::uint64_t type_counts[2] = {0, 0};
  std::uint64_t name_counts[2] = {0, 0};  // of the type being measured
  std::uint64_t languages = 0;            // of the name being measured
  std::uint64_t types = 0;
  std::uint64_t names = 0;
  const char* refused = nullptr;  // the first count found too large, in the loader's order
  auto refuse = [&](bool over, const char* what) {
    if (over && refused == nullptr) refused = what;
  };
  // Each name's and each type's counts are complete when the next one begins, or at the end.
  auto end_name = [&] { refuse(too_many(languages), "too many languages under one name"); };
  auto end_type = [&] {
    refuse(too_many(name_counts[0]) || too_many(name_counts[1]), "too many names under one type");
  };
  in_tree_order(set, [&](const ResourceSet::value_type& item, bool new_type, bool new_name) {
    if (new_name && names != 0) end_name();
    if (new_type && types != 0) end_type();
    if (new_type) {
      const ResourceId& type = item.first.type;
      type_counts[type.named ? 1 : 0] += 1;
      if (type.named) strings += 2 + 2 * std::uint64_t{type.name.size()};
      dirs += kDirEntrySize + kDirHeaderSize;
      name_counts[0] = name_counts[1] = 0;
      ++types;
    }
    if (new_name) {
      const ResourceId& name = item.first.name;
      name_counts[name.named ? 1 : 0] += 1;
      if (name.named) strings += 2 + 2 * std::uint64_t{name.name.size()};
      dirs += kDirEntrySize + kDirHeaderSize;
      languages = 0;
      ++names;
    }
    ++languages;
    dirs += kDirEntrySize;
    room.add(item.second);
  });
  if (names != 0) end_name();
  if (types != 0) end_type();
  refuse(too_many(type_counts[0]) || too_many(type_counts[1]), "too many resource types");
  if (refused != nullptr) return make_error(Errc::not_supported, refused);
  const std::uint64_t blobs = room.laid_out;

  const std::uint64_t data_entries = dirs;
  const std::uint64_t strings_at = data_entries + kDataEntrySize * std::uint64_t{set.size()};
  // Strings padded to 4, blobs each 8-aligned.
  const std::uint64_t data_at = align_up(align_up(strings_at + strings, 4), kBlobAlignment);
  const std::uint64_t total = data_at + blobs;
  if (data_at > kMaxTreeSize || total > 0xffffffffULL)
    return make_error(Errc::file_too_large, "the resources would exceed 4 GiB");
  TreeLayout l;
  l.directories_size = static_cast<std::uint32_t>(dirs);
  l.types = static_cast<std::uint32_t>(types);
  l.names = static_cast<std::uint32_t>(names);
  l.data_entries_offset = static_cast<std::uint32_t>(data_entries);
  l.strings_offset = static_cast<std::uint32_t>(strings_at);
  l.data_offset = static_cast<std::uint32_t>(data_at);
  l.total_size = total;
  if (keep_at_least != 0) keep_blobs(room, keep_at_least, l);
  return l;
}

std::uint64_t root_directory_size(const TreeLayout& layout) noexcept {
  return kDirHeaderSize + kDirEntrySize * std::uint64_t{layout.types};
}

}  // namespace resupdate
