// Placing the rebuilt resource tree. Each placement rule is one function that gives a small
// value saying where the tree goes and what moves to make room (rewrite.cpp then fixes up what
// moved, writes the headers and emits the new image).
#include <algorithm>
#include <cstring>

#include "placement.h"

namespace resupdate::placement {

namespace {

// The kernel's page, the least unit a long tail is moved by (see congruent_pad).
constexpr std::uint64_t kPageSize = 0x1000;
// A block size past this is taken for a preferred I/O size, not a unit of sharing.
constexpr std::uint64_t kMaxMoveUnit = 64 * 1024;
// A tail at least this long is moved by whole units.
constexpr std::uint64_t kCongruentTailMin = 1U << 20;
constexpr std::uint64_t kAddressSpace = 0x100000000ULL;

// The kernel copies a moved tail page by page. Moved by a whole number of pages, each page of
// the new file comes from one page of the old; moved by part of one, every page is assembled
// from two and takes longer to copy and to flush. Where the file system shares blocks between
// files, a tail moved by whole blocks keeps its blocks and is not copied at all. So a long tail
// moves by whole units (the larger of a page and the file system's block); the zeros this adds
// (less than a unit, a multiple of FileAlignment) go at the end of the resource section's raw
// data, so no bytes lie between sections and an overlay still starts where the last section
// ends.
std::uint64_t congruent_pad(std::uint64_t shift, std::uint64_t tail_len, std::uint64_t unit) {
  return shift != 0 && tail_len >= kCongruentTailMin ? align_up(shift, unit) - shift : 0;
}

// The unit a long tail moves by: a page, or the file system's block where that is larger.
std::uint64_t move_unit(std::uint64_t block_size) {
  const bool usable =
      block_size > kPageSize && block_size <= kMaxMoveUnit && (block_size & (block_size - 1)) == 0;
  return usable ? block_size : kPageSize;
}

// The loader maps a file as it lies when each section's raw data sits at its own RVA; only
// then must a grown or added section keep file offset and address equal. The alignments alone
// do not say so: EFI stubs have equal small alignments but sections far above their offsets.
bool mapped_as_it_lies(const PeImage& img) {
  return std::all_of(img.sections().begin(), img.sections().end(), [](const SectionHeader& s) {
    return s.SizeOfRawData == 0 || s.PointerToRawData.value == s.VirtualAddress.value;
  });
}

// The size a section's header must give to map its raw data: padding kept in the file must lie
// inside the mapped extent, or SizeOfImage would end before the section's bytes do.
std::uint64_t virtual_size_covering(std::uint64_t tree_size, std::uint64_t raw,
                                    std::uint32_t section_alignment) {
  return raw > align_up(tree_size, section_alignment) ? raw : tree_size;
}

// True when a data directory other than `except` (and the certificate table, which holds a
// file offset) points into section `s`.
bool directory_points_into(const PeImage& img, const SectionHeader& s, std::uint32_t except) {
  const auto& dirs = img.directories();
  for (std::uint32_t i = 0; i < dirs.size(); ++i) {
    if (i == except || i == kDirSecurity || dirs[i].empty()) continue;
    if (overlaps(dirs[i].VirtualAddress, dirs[i].Size, s.VirtualAddress.value, img.extent(s)))
      return true;
  }
  return false;
}

bool holds_entry_point(const PeImage& img, const SectionHeader& s) {
  return img.AddressOfEntryPoint != 0 && img.contains(s, Rva{img.AddressOfEntryPoint});
}

// A section the rewrite may move: it holds only the base relocations, or it is discardable
// and nothing the loader follows points into it (the debug sections of mingw builds).
bool movable(const PeImage& img, const SectionHeader& s) {
  if ((s.Characteristics & (kScnCntCode | kScnMemExecute)) != 0 || holds_entry_point(img, s))
    return false;
  const DataDirectory reloc = img.directory(kDirBaseReloc);
  const bool holds_reloc = !reloc.empty() && img.contains(s, Rva{reloc.VirtualAddress});
  if (holds_reloc) return !directory_points_into(img, s, kDirBaseReloc);
  return (s.Characteristics & kScnMemDiscardable) != 0 &&
         !directory_points_into(img, s, kDirBaseReloc);
}

// The tree is rebuilt over a section's raw data, which must then be the section's own: file
// bytes it shares with the headers or another section would be overwritten with the tree.
bool owns_its_raw_data(const PeImage& img, std::size_t index) {
  const SectionHeader& s = img.sections()[index];
  const std::uint64_t headers_end =
      std::max<std::uint64_t>(img.SizeOfHeaders, img.fields().section_table_end);
  if (s.PointerToRawData.value < headers_end) return false;
  for (std::size_t i = 0; i < img.sections().size(); ++i) {
    const SectionHeader& o = img.sections()[i];
    if (i != index && o.SizeOfRawData != 0 &&
        overlaps(o.PointerToRawData.value, o.SizeOfRawData, s.PointerToRawData.value,
                 s.SizeOfRawData))
      return false;
  }
  return true;
}

bool sections_in_order(const std::vector<SectionHeader>& secs) {
  for (std::size_t i = 1; i < secs.size(); ++i) {
    if (secs[i].VirtualAddress <= secs[i - 1].VirtualAddress) return false;
    if (secs[i].SizeOfRawData != 0 && secs[i - 1].SizeOfRawData != 0 &&
        secs[i].PointerToRawData.value < secs[i - 1].raw_end())
      return false;
  }
  return true;
}
}  // namespace

Result<std::uint32_t> narrow32(std::uint64_t v) {
  if (v > 0xffffffffULL) {
    return make_error(Errc::file_too_large, "an offset or address would exceed 32 bits");
  }
  return static_cast<std::uint32_t>(v);
}

Planner::Planner(const PeImage& img, const ByteSource& src, const ResourceSet& set,
                 const TreeLayout& layout, std::uint64_t block_size)
    : img_(img),
      src_(src),
      set_(set),
      tree_size_(layout.total_size),
      layout_(layout),
      eos_(img.end_of_sections()),
      as_it_lies_(mapped_as_it_lies(img)),
      unit_(move_unit(block_size)) {
  const DataDirectory res = img.directory(kDirResource);
  if (res.VirtualAddress != 0) r_ = img.section_of(Rva{res.VirtualAddress});
}

Result<Choice> Planner::choose() const {
  if (!r_ && set_.empty()) return leave_out();
  if (img_.directories().size() <= kDirResource)
    return make_error(Errc::not_supported, "the image has no resource directory slot");
  if (r_ && usable(*r_)) {
    auto kept = keep_where_it_lay(*r_);
    if (!kept) return std::move(kept).error();
    if (*kept) return std::move(**kept);
    if (auto c = rebuild_in_place(*r_, tree_size_)) return std::move(*c);
    auto grown = grow(*r_, tree_size_);
    if (!grown) return std::move(grown).error();
    if (*grown) return std::move(**grown);
  }
  return add_section();
}

// Nothing moved yet; the certificate table, which cannot stay valid once the image changes,
// is cut from the overlay.
Choice Planner::start() const {
  Choice c;
  c.sections = img_.sections();
  c.first_moved = c.sections.size();
  c.size_of_headers = img_.SizeOfHeaders;
  c.headers_end = img_.fields().section_table_end;
  const DataDirectory cert = img_.directory(kDirSecurity);
  if (!cert.empty() && cert.VirtualAddress >= eos_ &&
      fits(cert.VirtualAddress, cert.Size, img_.file_size())) {
    c.tail.cert_off = FileOffset{cert.VirtualAddress};
    c.tail.cert_len = cert.Size;
  }
  return c;
}

// No resources, and none before: only the headers change.
Choice Planner::leave_out() const {
  Choice c = start();
  c.writes_tree = false;
  c.tail.old_start = c.tail.new_start = FileOffset{eos_};
  return c;
}

// A section we may rewrite from its start: it holds resources and nothing else that is reached.
bool Planner::usable(std::size_t r) const {
  const SectionHeader& s = img_.sections()[r];
  return !directory_points_into(img_, s, kDirResource) &&
         (s.Characteristics & (kScnCntCode | kScnMemExecute)) == 0 && !holds_entry_point(img_, s) &&
         sections_in_order(img_.sections()) &&
         // The tree is rebuilt at the section's start, which must not lie in an earlier
         // section's extent: the loader would look for it there.
         img_.section_of(s.VirtualAddress) == r && owns_its_raw_data(img_, r);
}

// The data of the resources there stays where it lay, the tree and new data around it: in its
// section's raw data, or past it where the section can grow. Only where neither holds do the
// rules after this one repack the section.
Result<std::optional<Choice>> Planner::keep_where_it_lay(std::size_t r) const {
  const SectionHeader& old = img_.sections()[r];
  const SectionSpan span{old.PointerToRawData.value,
                         std::min<std::uint64_t>(old.SizeOfRawData, img_.extent(old)),
                         old.VirtualAddress.value};
  auto kept = lay_out_around_kept(set_, span, layout_);
  if (!kept) return std::optional<Choice>{};
  auto c = rebuild_in_place(r, kept->used_end);
  if (!c) {
    auto grown = grow(r, kept->used_end);
    if (!grown) return std::move(grown).error();
    c = std::move(*grown);
  }
  if (!c) return std::optional<Choice>{};
  c->rule = Placement::kept;
  c->base = old.VirtualAddress;
  c->kept = std::move(kept);
  return c;
}

// The tree of `size` bytes fits the section's raw data and the addresses up to the next section.
std::optional<Choice> Planner::rebuild_in_place(std::size_t r, std::uint64_t size) const {
  const std::uint32_t sa = img_.SectionAlignment;
  const SectionHeader& old = img_.sections()[r];
  const bool last = r + 1 == img_.sections().size();
  const std::uint64_t va_room =
      (last ? kAddressSpace : img_.sections()[r + 1].VirtualAddress.value) -
      old.VirtualAddress.value;
  if (old.SizeOfRawData == 0 || size > old.SizeOfRawData || align_up(size, sa) > va_room)
    return std::nullopt;

  Choice c = start();
  c.rule = Placement::in_place;
  c.rebuilt = r;
  c.base = old.VirtualAddress;
  SectionHeader& s = c.sections[r];
  // A section followed by others keeps its extent: the loader wants no hole in the address map.
  s.VirtualSize = last ? static_cast<std::uint32_t>(size)
                       : std::max(static_cast<std::uint32_t>(size), s.VirtualSize);
  c.tail.old_start = c.tail.new_start = FileOffset{old.raw_end()};
  if (s.SizeOfRawData > align_up(s.VirtualSize, sa)) {
    if (last && old.raw_end() == eos_) {
      // Nothing follows: the section shrinks to what its new extent maps.
      const std::uint64_t kept = align_up(s.VirtualSize, sa);
      c.init_data_delta =
          static_cast<std::int64_t>(kept) - static_cast<std::int64_t>(s.SizeOfRawData);
      s.SizeOfRawData = static_cast<std::uint32_t>(kept);
      c.tail.new_start = FileOffset{s.PointerToRawData.value + kept};
    } else if (align_up(s.SizeOfRawData, sa) <= va_room) {
      s.VirtualSize = s.SizeOfRawData;
    } else {
      // Raw data past the addresses up to the next section, with more raw data after it: no
      // extent can cover it here, so another rule places the tree.
      return std::nullopt;
    }
  }
  return c;
}

// The section grows: it is the last, or every section after it may move up to make room.
Result<std::optional<Choice>> Planner::grow(std::size_t r, std::uint64_t size) const {
  const std::uint32_t fa = img_.FileAlignment;
  const std::uint64_t tree_raw = align_up(size, fa);
  const std::uint32_t sa = img_.SectionAlignment;
  const auto& secs = img_.sections();
  const SectionHeader& old = secs[r];
  const bool last = r + 1 == secs.size();
  const auto after = secs.begin() + static_cast<std::ptrdiff_t>(r) + 1;
  if (old.SizeOfRawData == 0 ||
      !std::all_of(after, secs.end(), [&](const SectionHeader& s) { return movable(img_, s); }))
    return std::optional<Choice>{};
  // Last by address but not in the file: growing it would overwrite another section.
  if (last && old.raw_end() != eos_) return std::optional<Choice>{};

  Choice c = start();
  c.rule = last ? Placement::grow_last : Placement::shift_following;
  c.rebuilt = r;
  c.base = old.VirtualAddress;
  std::uint64_t file_shift =
      align_up(tree_raw > old.SizeOfRawData ? tree_raw - old.SizeOfRawData : 0, fa);
  const std::uint64_t pad =
      as_it_lies_ ? 0 : congruent_pad(file_shift, img_.file_size() - old.raw_end(), unit_);
  // Raw data the tree no longer needs stays the section's: given up, it would lie before the
  // overlay.
  const std::uint64_t raw = std::max<std::uint64_t>(tree_raw + pad, old.SizeOfRawData);
  const std::uint64_t vsize = virtual_size_covering(size, raw, sa);
  std::uint64_t address_shift = 0;
  if (!last) {
    const std::uint64_t want = old.VirtualAddress.value + align_up(vsize, sa);
    address_shift =
        want > after->VirtualAddress.value ? align_up(want - after->VirtualAddress.value, sa) : 0;
  }
  // Where the file is mapped as it lies, file offsets and addresses move together; the file
  // moves only as far as the raw data in it needs, when no section after this one has any.
  if (as_it_lies_) {
    address_shift = align_up(std::max(file_shift, address_shift), sa);
    if (std::any_of(after, secs.end(), [](const SectionHeader& s) { return s.SizeOfRawData != 0; }))
      file_shift = address_shift;
  }
  file_shift += pad;
  c.init_data_delta = static_cast<std::int64_t>(raw) - static_cast<std::int64_t>(old.SizeOfRawData);
  auto raw32 = narrow32(raw);
  if (!raw32) return std::move(raw32).error();
  auto vsize32 = narrow32(vsize);
  if (!vsize32) return std::move(vsize32).error();
  c.sections[r].SizeOfRawData = *raw32;
  c.sections[r].VirtualSize = *vsize32;
  c.first_moved = r + 1;
  c.address_shift = address_shift;
  c.tail.old_start = FileOffset{old.raw_end()};
  c.tail.new_start = FileOffset{old.raw_end() + file_shift};
  return std::optional<Choice>(std::move(c));
}

// A new section after the others, its header in the room after the section table.
Result<Choice> Planner::add_section() const {
  const std::uint32_t fa = img_.FileAlignment;
  const std::uint32_t sa = img_.SectionAlignment;
  const std::uint64_t tree_raw = align_up(tree_size_, fa);
  const auto& secs = img_.sections();
  const HeaderFields& f = img_.fields();
  if (secs.size() >= 0xffff) return make_error(Errc::not_supported, "the section table is full");
  Choice c = start();
  c.rule = Placement::new_section;
  std::uint64_t first_raw = img_.file_size();
  std::uint64_t first_va = kAddressSpace;
  for (const SectionHeader& s : secs) {
    if (s.SizeOfRawData != 0)
      first_raw = std::min<std::uint64_t>(first_raw, s.PointerToRawData.value);
    first_va = std::min<std::uint64_t>(first_va, s.VirtualAddress.value);
  }
  c.headers_end = f.section_table_end + kSectionHeaderSize;
  if (Status in_file = header_room_in_file(c, first_raw, first_va); !in_file) {
    // The file has no room before the first section's raw data, but memory may: the raw data
    // moves up instead. Without raw data to move, the overlay would have to, and it stays.
    if (first_raw >= eos_) return std::move(in_file).error();
    if (Status s = make_header_room(c, first_raw, first_va); !s) return std::move(s).error();
  }
  std::uint64_t va_end = 0;
  for (const SectionHeader& s : secs)
    va_end = std::max<std::uint64_t>(va_end, s.VirtualAddress.value + img_.extent(s));
  va_end = std::max<std::uint64_t>(va_end, align_up(c.size_of_headers, sa));
  const std::uint64_t va = align_up(va_end, sa);
  std::uint64_t ptr = align_up(eos_ + c.tail.head_shift, fa);
  if (as_it_lies_) {
    if (va < eos_)
      return make_error(Errc::not_supported,
                        "the new section cannot lie at its own address in the file");
    ptr = va;
  }
  const std::uint64_t pad =
      as_it_lies_ ? 0 : congruent_pad(ptr + tree_raw - eos_, img_.file_size() - eos_, unit_);
  if (c.tail.head_shift != 0)
    c.headers_end = c.size_of_headers;  // the grown headers are written whole
  const std::uint64_t vsize = virtual_size_covering(tree_size_, tree_raw + pad, sa);
  if (va + align_up(vsize, sa) > 0xffffffffULL || ptr + tree_raw + pad > 0xffffffffULL)
    return make_error(Errc::file_too_large, "the image would exceed 4 GiB");
  SectionHeader added;
  std::memcpy(added.Name.data(), ".rsrc\0\0\0", added.Name.size());
  auto vsize32 = narrow32(vsize);
  if (!vsize32) return std::move(vsize32).error();
  auto va32 = narrow32(va);
  if (!va32) return std::move(va32).error();
  auto raw32 = narrow32(tree_raw + pad);
  if (!raw32) return std::move(raw32).error();
  auto ptr32 = narrow32(ptr);
  if (!ptr32) return std::move(ptr32).error();
  added.VirtualSize = *vsize32;
  added.VirtualAddress = Rva{*va32};
  added.SizeOfRawData = *raw32;
  added.PointerToRawData = FileOffset{*ptr32};
  added.Characteristics = kScnCntInitializedData | kScnMemRead;
  for (SectionHeader& s : c.sections)
    if (s.name_is(".rsrc")) std::memcpy(s.Name.data(), ".oldrsrc", s.Name.size());
  c.base = added.VirtualAddress;
  c.init_data_delta = static_cast<std::int64_t>(tree_raw + pad);
  c.tail.old_start = FileOffset{eos_};
  c.tail.new_start = FileOffset{ptr + tree_raw + pad};
  c.added = added;
  return c;
}

}  // namespace resupdate::placement
