// Placing a rebuilt resource tree: the value a placement rule gives, and the planner whose
// rules choose it; rewrite.cpp then fixes up what moved and emits the new image.
#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "kept_layout.h"
#include "resupdate/pe_image.h"
#include "resupdate/plan.h"
#include "resupdate/resource_tree.h"

namespace resupdate::placement {

// Whether [a, a + alen) and [b, b + blen) share a byte; an empty first range counts as one byte.
inline bool overlaps(std::uint64_t a, std::uint64_t alen, std::uint64_t b, std::uint64_t blen) {
  return a < b + blen && b < a + std::max<std::uint64_t>(alen, 1);
}

// Narrows a planned offset, address or size to its 32-bit field; one that does not fit fails
// the plan as too large rather than being wrapped or saturated.
[[nodiscard]] Result<std::uint32_t> narrow32(std::uint64_t v);

// Everything from `old_start` to the end of the file moves to `new_start`, less the
// certificate table, which is cut out. Where the headers grow, the sections' raw data from
// `head_from` up to `old_start` moves by `head_shift` too.
struct Tail {
  FileOffset old_start;
  FileOffset new_start;
  FileOffset cert_off;
  std::uint64_t cert_len = 0;
  FileOffset head_from;
  std::uint64_t head_shift = 0;

  [[nodiscard]] FileOffset map(FileOffset old) const {
    if (old < old_start)
      return head_shift != 0 && old >= head_from ? FileOffset{old.value + head_shift} : old;
    std::uint64_t pos = old.value - old_start.value + new_start.value;
    if (cert_len != 0 && old.value >= cert_off.value + cert_len) pos -= cert_len;
    return FileOffset{pos};
  }
  [[nodiscard]] bool moves() const {
    return new_start != old_start || cert_len != 0 || head_shift != 0;
  }
};

// Where one rule puts the tree and what it moves to make room.
struct Choice {
  Placement rule = Placement::in_place;
  bool writes_tree = true;
  std::vector<SectionHeader> sections;  // the section table afterwards, less an added section
  std::optional<std::size_t> rebuilt;   // the section whose raw data takes the tree
  std::optional<SectionHeader> added;   // or a section added for it
  std::optional<KeptLayout> kept;       // the rebuilt section laid out around data that stays
  Rva base{};                           // where the tree's first byte lies
  std::size_t first_moved = 0;          // sections from here on move by address_shift
  std::uint64_t address_shift = 0;
  Tail tail;
  std::int64_t init_data_delta = 0;  // change in the raw size of initialised data
  std::uint32_t size_of_headers = 0;
  std::uint64_t headers_end = 0;   // the header bytes the new image writes
  Bytes carried;                   // what followed the section table, after the added header
  std::uint32_t symbol_table = 0;  // PointerToSymbolTable afterwards
};

// The image being planned for and the tree's size; one method per placement rule.
class Planner {
 public:
  Planner(const PeImage& img, const ByteSource& src, const ResourceSet& set,
          const TreeLayout& layout, std::uint64_t block_size);

  [[nodiscard]] Result<Choice> choose() const;

 private:
  [[nodiscard]] Choice start() const;
  [[nodiscard]] Choice leave_out() const;
  [[nodiscard]] bool usable(std::size_t r) const;
  [[nodiscard]] Result<std::optional<Choice>> keep_where_it_lay(std::size_t r) const;
  [[nodiscard]] std::optional<Choice> rebuild_in_place(std::size_t r, std::uint64_t size) const;
  [[nodiscard]] Result<std::optional<Choice>> grow(std::size_t r, std::uint64_t size) const;
  [[nodiscard]] Result<Choice> add_section() const;
  [[nodiscard]] Status header_room_in_file(Choice& c, std::uint64_t first_raw,
                                           std::uint64_t first_va) const;
  [[nodiscard]] Status make_header_room(Choice& c, std::uint64_t first_raw,
                                        std::uint64_t first_va) const;

  const PeImage& img_;
  const ByteSource& src_;
  const ResourceSet& set_;
  std::uint64_t tree_size_;
  const TreeLayout& layout_;
  std::uint64_t eos_;
  bool as_it_lies_;
  std::uint64_t unit_;            // a long tail moves by whole units of this (see congruent_pad)
  std::optional<std::size_t> r_;  // the section the resource directory points into
};

}  // namespace resupdate::placement
