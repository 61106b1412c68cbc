// Room for one more section header: in the headers as they lie in the file, or by growing them
// into the addresses below the first section and moving the raw data up.
#include <algorithm>

#include "placement.h"

namespace resupdate::placement {

// Room for one more section header in the headers as they lie in the file: after the section
// table, before the first section's raw data and address, SizeOfHeaders growing only into
// unused bytes.
Status Planner::header_room_in_file(Choice& c, std::uint64_t first_raw,
                                    std::uint64_t first_va) const {
  const HeaderFields& f = img_.fields();
  // Past the end of the headers and of every section's raw data lies the overlay, which is
  // kept whole, never taken for header room.
  if (c.headers_end > first_raw || c.headers_end > first_va || c.headers_end > eos_)
    return make_error(Errc::not_supported, "no room for another section header");
  if (c.headers_end > img_.header_bytes().size()) {
    // The room lies past what was read as headers; it must be unused (zero) bytes.
    auto room = read_bytes(src_, f.section_table_end, kSectionHeaderSize);
    if (!room) return std::move(room).error();
    if (std::any_of(room->begin(), room->end(), [](std::uint8_t b) { return b != 0; }))
      return make_error(Errc::not_supported, "the space after the section table is in use");
  }
  if (c.headers_end > c.size_of_headers) {
    const std::uint64_t grown = align_up(c.headers_end, img_.FileAlignment);
    if (grown > first_raw || grown > first_va)
      return make_error(Errc::not_supported, "no room for another section header");
    c.size_of_headers = static_cast<std::uint32_t>(grown);
  }
  return {};
}

// SizeOfHeaders grows by whole FileAlignment units into the addresses below the first section,
// and every section's raw data, the overlay and what points into them move up as far: packers
// and EFI stubs fill their headers exactly but start the first section a page up.
Status Planner::make_header_room(Choice& c, std::uint64_t first_raw, std::uint64_t first_va) const {
  const std::uint32_t fa = img_.FileAlignment;
  const std::uint64_t table_end = img_.fields().section_table_end;
  if (as_it_lies_ || first_raw < table_end)
    return make_error(Errc::not_supported, "no room for another section header");
  // What lies between the section table and the first section's raw data (a packer's own
  // record) moves along after the new header; nothing the loader follows may point into it.
  auto room = read_bytes(src_, table_end, first_raw - table_end);
  if (!room) return std::move(room).error();
  const auto last =
      std::find_if(room->rbegin(), room->rend(), [](std::uint8_t b) { return b != 0; });
  const auto used =
      static_cast<std::size_t>(last.base() - room->begin());  // up to its last byte in use
  const auto& dirs = img_.directories();
  for (std::uint32_t i = 0; i < dirs.size() && used != 0; ++i) {
    if (i != kDirSecurity && !dirs[i].empty() &&
        overlaps(dirs[i].VirtualAddress, dirs[i].Size, table_end, used))
      return make_error(Errc::not_supported, "the space after the section table is in use");
  }
  const std::uint64_t grown = align_up(c.headers_end + used, fa);
  if (grown > first_va || grown > 0xffffffffULL)
    return make_error(Errc::not_supported, "no room for another section header");
  room->resize(used);
  c.carried = std::move(room).value();
  c.headers_end += used;  // the new header, then the record it displaced
  if (grown <= first_raw) {
    // The file had room all along, behind the record: only the record moves.
    c.size_of_headers = std::max(c.size_of_headers, static_cast<std::uint32_t>(grown));
    return {};
  }
  c.size_of_headers = static_cast<std::uint32_t>(grown);
  c.tail.head_from = FileOffset{first_raw};
  c.tail.head_shift = align_up(grown - first_raw, fa);
  return {};
}
}  // namespace resupdate::placement
