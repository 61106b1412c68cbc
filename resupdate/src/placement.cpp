// Placing the rebuilt resource tree. Each placement rule is one function that gives a small
// value saying where the tree goes and what moves to make room; the references into what
// moved are then fixed, the headers written and the new image emitted as pieces.
#include "placement.h"

#include <algorithm>
#include <cstring>

namespace resupdate {

namespace {

// The kernel's page, the unit a long tail is moved by (see congruent_pad).
constexpr std::uint64_t kPageSize = 0x1000;
// A tail at least this long is moved by whole pages.
constexpr std::uint64_t kCongruentTailMin = 1U << 20;
constexpr std::uint32_t kMaxDebugEntries = 4096;
constexpr std::uint64_t kAddressSpace = 0x100000000ULL;

// Narrows planned offsets and addresses to their 32-bit fields. A value that does not fit is
// remembered rather than wrapped or saturated, and the plan then fails as too large.
class Narrow {
 public:
  [[nodiscard]] std::uint32_t operator()(std::uint64_t v) noexcept {
    if (v > 0xffffffffULL) {
      ok_ = false;
      return 0;
    }
    return static_cast<std::uint32_t>(v);
  }
  [[nodiscard]] FileOffset operator()(FileOffset o) noexcept { return FileOffset{(*this)(o.value)}; }
  [[nodiscard]] bool ok() const noexcept { return ok_; }

 private:
  bool ok_ = true;
};

bool overlaps(std::uint64_t a, std::uint64_t alen, std::uint64_t b, std::uint64_t blen) {
  return a < b + blen && b < a + std::max<std::uint64_t>(alen, 1);
}

// The kernel copies a moved tail page by page. Moved by a whole number of pages, each page of
// the new file comes from one page of the old; moved by part of one, every page is assembled
// from two and takes longer to copy and to flush (a 400 MiB overlay moved by 1 KiB: 1.25 s,
// by 4 KiB: 0.95 s). So a long tail moves by whole pages; the zeros this adds (less than a
// page, a multiple of FileAlignment) go at the end of the resource section's raw data, so no
// bytes lie between sections and an overlay still starts where the last section ends.
std::uint64_t congruent_pad(std::uint64_t shift, std::uint64_t tail_len) {
  return shift != 0 && tail_len >= kCongruentTailMin ? align_up(shift, kPageSize) - shift : 0;
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
std::uint64_t virtual_size_covering(std::uint64_t tree_size, std::uint64_t raw, std::uint32_t section_alignment) {
  return raw > align_up(tree_size, section_alignment) ? raw : tree_size;
}

// True when a data directory other than `except` (and the certificate table, which holds a
// file offset) points into section `s`.
bool directory_points_into(const PeImage& img, const SectionHeader& s, std::uint32_t except) {
  const auto& dirs = img.directories();
  for (std::uint32_t i = 0; i < dirs.size(); ++i) {
    if (i == except || i == kDirSecurity || dirs[i].empty()) continue;
    if (overlaps(dirs[i].VirtualAddress, dirs[i].Size, s.VirtualAddress.value, img.extent(s))) return true;
  }
  return false;
}

bool holds_entry_point(const PeImage& img, const SectionHeader& s) {
  return img.AddressOfEntryPoint != 0 && img.contains(s, Rva{img.AddressOfEntryPoint});
}

// A section the rewrite may move: it holds only the base relocations, or it is discardable
// and nothing the loader follows points into it (the debug sections of mingw builds).
bool movable(const PeImage& img, const SectionHeader& s) {
  if ((s.Characteristics & (kScnCntCode | kScnMemExecute)) != 0 || holds_entry_point(img, s)) return false;
  const DataDirectory reloc = img.directory(kDirBaseReloc);
  const bool holds_reloc = !reloc.empty() && img.contains(s, Rva{reloc.VirtualAddress});
  if (holds_reloc) return !directory_points_into(img, s, kDirBaseReloc);
  return (s.Characteristics & kScnMemDiscardable) != 0 && !directory_points_into(img, s, kDirBaseReloc);
}

// The tree is rebuilt over a section's raw data, which must then be the section's own: file
// bytes it shares with the headers or another section would be overwritten with the tree.
bool owns_its_raw_data(const PeImage& img, std::size_t index) {
  const SectionHeader& s = img.sections()[index];
  const std::uint64_t headers_end = std::max<std::uint64_t>(img.SizeOfHeaders, img.fields().section_table_end);
  if (s.PointerToRawData.value < headers_end) return false;
  for (std::size_t i = 0; i < img.sections().size(); ++i) {
    const SectionHeader& o = img.sections()[i];
    if (i != index && o.SizeOfRawData != 0 && overlaps(o.PointerToRawData.value, o.SizeOfRawData, s.PointerToRawData.value, s.SizeOfRawData))
      return false;
  }
  return true;
}

bool sections_in_order(const std::vector<SectionHeader>& secs) {
  for (std::size_t i = 1; i < secs.size(); ++i) {
    if (secs[i].VirtualAddress <= secs[i - 1].VirtualAddress) return false;
    if (secs[i].SizeOfRawData != 0 && secs[i - 1].SizeOfRawData != 0 && secs[i].PointerToRawData.value < secs[i - 1].raw_end())
      return false;
  }
  return true;
}

// Where the debug directory's whole entries lie in the file. It is read from its section, or
// from the headers, which the loader maps as they lie. One that cannot be read in full
// cannot be fixed up, and the rewrite must not go on without it.
Result<FileExtent> debug_entries_at(const PeImage& img, const DataDirectory& dir) {
  if (dir.Size / dbg::kEntrySize > kMaxDebugEntries)
    return make_error(Errc::not_supported, "the debug directory has too many entries to fix");
  const std::uint32_t len = dir.Size - dir.Size % dbg::kEntrySize;
  if (std::uint64_t{dir.VirtualAddress} + len <= img.SizeOfHeaders && fits(dir.VirtualAddress, len, img.file_size()))
    return FileExtent{FileOffset{dir.VirtualAddress}, len, len};
  auto where = img.map(Rva{dir.VirtualAddress}, len);
  if (!where) return make_error(Errc::not_supported, "the debug directory lies in no section and cannot be fixed");
  return where;
}

// Everything from `old_start` to the end of the file moves to `new_start`, less the
// certificate table, which is cut out.
struct Tail {
  FileOffset old_start;
  FileOffset new_start;
  FileOffset cert_off;
  std::uint64_t cert_len = 0;

  [[nodiscard]] FileOffset map(FileOffset old) const {
    if (old < old_start) return old;
    std::uint64_t pos = old.value - old_start.value + new_start.value;
    if (cert_len != 0 && old.value >= cert_off.value + cert_len) pos -= cert_len;
    return FileOffset{pos};
  }
  [[nodiscard]] bool moves() const { return new_start != old_start || cert_len != 0; }
};

// Where one rule puts the tree and what it moves to make room.
struct Choice {
  Placement rule = Placement::in_place;
  bool writes_tree = true;
  std::vector<SectionHeader> sections;  // the section table afterwards, less an added section
  std::optional<std::size_t> rebuilt;   // the section whose raw data takes the tree
  std::optional<SectionHeader> added;   // or a section added for it
  Rva base{};                           // where the tree's first byte lies
  std::size_t first_moved = 0;          // sections from here on move by address_shift
  std::uint64_t address_shift = 0;
  Tail tail;
  std::int64_t init_data_delta = 0;     // change in the raw size of initialised data
  std::uint32_t size_of_headers = 0;
  std::uint64_t headers_end = 0;        // the header bytes the new image writes
  std::uint32_t symbol_table = 0;       // PointerToSymbolTable afterwards
  Narrow narrow;
};

// The new image as pieces in file order.
struct PieceList {
  const PeImage& img;
  ImagePlan& plan;

  void literal(Bytes data) {
    if (data.empty()) return;
    plan.size += data.size();
    plan.pieces.push_back(Piece{Piece::Kind::literal, {}, data.size(), std::move(data)});
  }
  void copy(std::uint64_t from, std::uint64_t to) {
    if (to <= from) return;
    plan.size += to - from;
    plan.pieces.push_back(Piece{Piece::Kind::copy, FileOffset{from}, to - from, {}});
  }
  void zeros(std::uint64_t len) {
    if (len == 0) return;
    plan.size += len;
    plan.pieces.push_back(Piece{Piece::Kind::zeros, {}, len, {}});
  }
  // Whether [at, at + len) of the new image lies wholly in one copied piece.
  [[nodiscard]] bool copied(std::uint64_t at, std::uint64_t len) const {
    std::uint64_t pos = 0;
    for (const Piece& p : plan.pieces) {
      if (at >= pos && at - pos < p.length) return p.kind == Piece::Kind::copy && len <= p.length - (at - pos);
      pos += p.length;
    }
    return false;
  }
  void tail(const Tail& t) {
    const std::uint64_t end = img.file_size();
    if (t.cert_len != 0) {
      copy(t.old_start.value, t.cert_off.value);
      copy(t.cert_off.value + t.cert_len, end);
    } else {
      copy(t.old_start.value, end);
    }
  }
};

class Planner {
 public:
  Planner(const PeImage& img, const ByteSource& src, const ResourceSet& set, std::uint64_t tree_size)
      : img_(img), src_(src), set_(set), tree_size_(tree_size), tree_raw_(align_up(tree_size, img.FileAlignment)),
        eos_(img.end_of_sections()), as_it_lies_(mapped_as_it_lies(img)) {
    const DataDirectory res = img.directory(kDirResource);
    if (res.VirtualAddress != 0) r_ = img.section_of(Rva{res.VirtualAddress});
  }

  [[nodiscard]] Result<Choice> choose() const;
  [[nodiscard]] Status move_references(Choice& c, std::vector<DataDirectory>& dirs, ImagePlan& plan) const;
  [[nodiscard]] Result<Bytes> headers(Choice& c, const std::vector<DataDirectory>& dirs, ImagePlan& plan) const;
  [[nodiscard]] Status emit(const Choice& c, Bytes headers, Bytes tree, ImagePlan& plan) const;

 private:
  [[nodiscard]] Choice start() const;
  [[nodiscard]] Choice leave_out() const;
  [[nodiscard]] bool usable(std::size_t r) const;
  [[nodiscard]] std::optional<Choice> rebuild_in_place(std::size_t r) const;
  [[nodiscard]] std::optional<Choice> grow(std::size_t r) const;
  [[nodiscard]] Result<Choice> add_section() const;
  [[nodiscard]] Status fix_debug_entries(Choice& c, ImagePlan& plan) const;
  [[nodiscard]] std::uint32_t moved_rva(Choice& c, std::uint32_t rva) const;

  const PeImage& img_;
  const ByteSource& src_;
  const ResourceSet& set_;
  std::uint64_t tree_size_;
  std::uint64_t tree_raw_;
  std::uint64_t eos_;
  bool as_it_lies_;
  std::optional<std::size_t> r_;  // the section the resource directory points into
};

Result<Choice> Planner::choose() const {
  if (!r_ && set_.empty()) return leave_out();
  if (img_.directories().size() <= kDirResource) return make_error(Errc::not_supported, "the image has no resource directory slot");
  if (r_ && usable(*r_)) {
    if (auto c = rebuild_in_place(*r_)) return std::move(*c);
    if (auto c = grow(*r_)) return std::move(*c);
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
  if (!cert.empty() && cert.VirtualAddress >= eos_ && fits(cert.VirtualAddress, cert.Size, img_.file_size())) {
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
  return !directory_points_into(img_, s, kDirResource) && (s.Characteristics & (kScnCntCode | kScnMemExecute)) == 0 &&
         !holds_entry_point(img_, s) && sections_in_order(img_.sections()) &&
         // The tree is rebuilt at the section's start, which must not lie in an earlier
         // section's extent: the loader would look for it there.
         img_.section_of(s.VirtualAddress) == r && owns_its_raw_data(img_, r);
}

// The tree fits the section's raw data and the addresses up to the next section.
std::optional<Choice> Planner::rebuild_in_place(std::size_t r) const {
  const std::uint32_t sa = img_.SectionAlignment;
  const SectionHeader& old = img_.sections()[r];
  const bool last = r + 1 == img_.sections().size();
  const std::uint64_t va_room = (last ? kAddressSpace : img_.sections()[r + 1].VirtualAddress.value) - old.VirtualAddress.value;
  if (old.SizeOfRawData == 0 || tree_size_ > old.SizeOfRawData || align_up(tree_size_, sa) > va_room) return std::nullopt;

  Choice c = start();
  c.rule = Placement::in_place;
  c.rebuilt = r;
  c.base = old.VirtualAddress;
  SectionHeader& s = c.sections[r];
  // A section followed by others keeps its extent: the loader wants no hole in the address map.
  s.VirtualSize = last ? static_cast<std::uint32_t>(tree_size_) : std::max(static_cast<std::uint32_t>(tree_size_), s.VirtualSize);
  c.tail.old_start = c.tail.new_start = FileOffset{old.raw_end()};
  if (s.SizeOfRawData > align_up(s.VirtualSize, sa)) {
    if (last && old.raw_end() == eos_) {
      // Nothing follows: the section shrinks to what its new extent maps.
      const std::uint64_t kept = align_up(s.VirtualSize, sa);
      c.init_data_delta = static_cast<std::int64_t>(kept) - static_cast<std::int64_t>(s.SizeOfRawData);
      s.SizeOfRawData = static_cast<std::uint32_t>(kept);
      c.tail.new_start = FileOffset{s.PointerToRawData.value + kept};
    } else if (align_up(s.SizeOfRawData, sa) <= va_room) {
      s.VirtualSize = s.SizeOfRawData;
    }
  }
  return c;
}

// The section grows: it is the last, or every section after it may move up to make room.
std::optional<Choice> Planner::grow(std::size_t r) const {
  const std::uint32_t fa = img_.FileAlignment;
  const std::uint32_t sa = img_.SectionAlignment;
  const auto& secs = img_.sections();
  const SectionHeader& old = secs[r];
  const bool last = r + 1 == secs.size();
  const auto after = secs.begin() + static_cast<std::ptrdiff_t>(r) + 1;
  if (old.SizeOfRawData == 0 || !std::all_of(after, secs.end(), [&](const SectionHeader& s) { return movable(img_, s); }))
    return std::nullopt;
  // Last by address but not in the file: growing it would overwrite another section.
  if (last && old.raw_end() != eos_) return std::nullopt;

  Choice c = start();
  c.rule = last ? Placement::grow_last : Placement::shift_following;
  c.rebuilt = r;
  c.base = old.VirtualAddress;
  std::uint64_t file_shift = align_up(tree_raw_ > old.SizeOfRawData ? tree_raw_ - old.SizeOfRawData : 0, fa);
  const std::uint64_t pad = as_it_lies_ ? 0 : congruent_pad(file_shift, img_.file_size() - old.raw_end());
  // Raw data the tree no longer needs stays the section's: given up, it would lie before the overlay.
  const std::uint64_t raw = std::max<std::uint64_t>(tree_raw_ + pad, old.SizeOfRawData);
  const std::uint64_t vsize = virtual_size_covering(tree_size_, raw, sa);
  std::uint64_t address_shift = 0;
  if (!last) {
    const std::uint64_t want = old.VirtualAddress.value + align_up(vsize, sa);
    address_shift = want > after->VirtualAddress.value ? align_up(want - after->VirtualAddress.value, sa) : 0;
  }
  // Where the file is mapped as it lies, file offsets and addresses move together; the file
  // moves only as far as the raw data in it needs, when no section after this one has any.
  if (as_it_lies_) {
    address_shift = align_up(std::max(file_shift, address_shift), sa);
    if (std::any_of(after, secs.end(), [](const SectionHeader& s) { return s.SizeOfRawData != 0; })) file_shift = address_shift;
  }
  file_shift += pad;
  c.init_data_delta = static_cast<std::int64_t>(raw) - static_cast<std::int64_t>(old.SizeOfRawData);
  c.sections[r].SizeOfRawData = c.narrow(raw);
  c.sections[r].VirtualSize = c.narrow(vsize);
  c.first_moved = r + 1;
  c.address_shift = address_shift;
  c.tail.old_start = FileOffset{old.raw_end()};
  c.tail.new_start = FileOffset{old.raw_end() + file_shift};
  return c;
}

// A new section after the others, its header in the room after the section table.
Result<Choice> Planner::add_section() const {
  const std::uint32_t fa = img_.FileAlignment;
  const std::uint32_t sa = img_.SectionAlignment;
  const auto& secs = img_.sections();
  const HeaderFields& f = img_.fields();
  if (secs.size() >= 0xffff) return make_error(Errc::not_supported, "the section table is full");
  Choice c = start();
  c.rule = Placement::new_section;
  std::uint64_t first_raw = img_.file_size();
  std::uint64_t first_va = kAddressSpace;
  for (const SectionHeader& s : secs) {
    if (s.SizeOfRawData != 0) first_raw = std::min<std::uint64_t>(first_raw, s.PointerToRawData.value);
    first_va = std::min<std::uint64_t>(first_va, s.VirtualAddress.value);
  }
  c.headers_end = f.section_table_end + kSectionHeaderSize;
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
    const std::uint64_t grown = align_up(c.headers_end, fa);
    if (grown > first_raw || grown > first_va) return make_error(Errc::not_supported, "no room for another section header");
    c.size_of_headers = static_cast<std::uint32_t>(grown);
  }
  std::uint64_t va_end = 0;
  for (const SectionHeader& s : secs) va_end = std::max<std::uint64_t>(va_end, s.VirtualAddress.value + img_.extent(s));
  va_end = std::max<std::uint64_t>(va_end, align_up(c.size_of_headers, sa));
  const std::uint64_t va = align_up(va_end, sa);
  std::uint64_t ptr = align_up(eos_, fa);
  if (as_it_lies_) {
    if (va < eos_) return make_error(Errc::not_supported, "the new section cannot lie at its own address in the file");
    ptr = va;
  }
  const std::uint64_t pad = as_it_lies_ ? 0 : congruent_pad(ptr + tree_raw_ - eos_, img_.file_size() - eos_);
  const std::uint64_t vsize = virtual_size_covering(tree_size_, tree_raw_ + pad, sa);
  if (va + align_up(vsize, sa) > 0xffffffffULL || ptr + tree_raw_ + pad > 0xffffffffULL)
    return make_error(Errc::file_too_large, "the image would exceed 4 GiB");
  SectionHeader added;
  std::memcpy(added.Name.data(), ".rsrc\0\0\0", added.Name.size());
  added.VirtualSize = c.narrow(vsize);
  added.VirtualAddress = Rva{c.narrow(va)};
  added.SizeOfRawData = c.narrow(tree_raw_ + pad);
  added.PointerToRawData = c.narrow(FileOffset{ptr});
  added.Characteristics = kScnCntInitializedData | kScnMemRead;
  for (SectionHeader& s : c.sections)
    if (s.name_is(".rsrc")) std::memcpy(s.Name.data(), ".oldrsrc", s.Name.size());
  c.base = added.VirtualAddress;
  c.init_data_delta = static_cast<std::int64_t>(tree_raw_ + pad);
  c.tail.old_start = FileOffset{eos_};
  c.tail.new_start = FileOffset{ptr + tree_raw_ + pad};
  c.added = added;
  return c;
}

// An address after the move: one inside a section that moved moves with it.
std::uint32_t Planner::moved_rva(Choice& c, std::uint32_t rva) const {
  for (std::size_t i = c.first_moved; i < img_.sections().size(); ++i)
    if (img_.contains(img_.sections()[i], Rva{rva})) return c.narrow(rva + c.address_shift);
  return rva;
}

// Moves the sections after the grown one, and every reference into what moved: section
// pointers, data directories, the symbol table and the debug entries.
Status Planner::move_references(Choice& c, std::vector<DataDirectory>& dirs, ImagePlan& plan) const {
  const Tail& tail = c.tail;
  for (std::size_t i = c.first_moved; i < c.sections.size(); ++i) {
    SectionHeader& s = c.sections[i];
    s.VirtualAddress = Rva{c.narrow(s.VirtualAddress.value + c.address_shift)};
    if (s.SizeOfRawData != 0) s.PointerToRawData = c.narrow(tail.map(s.PointerToRawData));
  }
  for (SectionHeader& s : c.sections) {
    if (s.PointerToRelocations.value != 0) s.PointerToRelocations = c.narrow(tail.map(s.PointerToRelocations));
    if (s.PointerToLinenumbers.value != 0) s.PointerToLinenumbers = c.narrow(tail.map(s.PointerToLinenumbers));
  }
  if (kDirSecurity < dirs.size()) dirs[kDirSecurity] = DataDirectory{};
  for (std::uint32_t i = 0; i < dirs.size(); ++i)
    if (i != kDirSecurity && i != kDirResource && !dirs[i].empty()) dirs[i].VirtualAddress = moved_rva(c, dirs[i].VirtualAddress);
  // A resource directory pointing into no section names nothing; left in place it would make
  // the new image unreadable as one that holds no resources.
  if (!c.writes_tree && img_.directory(kDirResource).VirtualAddress != 0) dirs[kDirResource] = DataDirectory{};
  const std::uint32_t symbols = img_.PointerToSymbolTable;
  c.symbol_table = symbols != 0 ? c.narrow(tail.map(FileOffset{symbols}).value) : 0;
  if (Status s = fix_debug_entries(c, plan); !s) return s;
  if (!c.narrow.ok()) return make_error(Errc::file_too_large, "an offset or address would exceed 32 bits");
  return {};
}

// The debug directory holds both RVAs and file offsets of its data. Where anything moves,
// each entry must be read and fixed: one skipped would point at whatever took its data's place.
Status Planner::fix_debug_entries(Choice& c, ImagePlan& plan) const {
  const DataDirectory dir = img_.directory(kDirDebug);
  const bool anything_moves = c.tail.moves() || (c.address_shift != 0 && c.first_moved < c.sections.size());
  if (!anything_moves || dir.Size < dbg::kEntrySize) return {};
  auto where = debug_entries_at(img_, dir);
  if (!where) return std::move(where).error();
  // Past its file-backed part the directory reads as zeros, which name no data.
  Bytes entries(where->size);
  if (Status s = src_.read(where->offset.value, std::span<std::uint8_t>(entries.data(), where->file_len)); !s)
    return make_error(Errc::not_supported, "the debug directory cannot be read to fix its offsets");
  const ByteReader er(entries);
  for (std::uint64_t at = 0; at + dbg::kEntrySize <= entries.size(); at += dbg::kEntrySize) {
    std::uint32_t rva = 0;
    std::uint32_t ptr = 0;
    (void)er.u32(at + dbg::kAddressOfRawData, rva);
    (void)er.u32(at + dbg::kPointerToRawData, ptr);
    const std::uint32_t new_rva = rva != 0 ? moved_rva(c, rva) : 0;
    const std::uint32_t new_ptr = ptr != 0 ? c.narrow(c.tail.map(FileOffset{ptr}).value) : 0;
    if (new_rva == rva && new_ptr == ptr) continue;
    if (at + dbg::kEntrySize > where->file_len)
      return make_error(Errc::not_supported, "a debug entry to fix runs past its section's raw data");
    // AddressOfRawData and PointerToRawData are adjacent: one patch holds both.
    Bytes patch(8);
    ByteWriter pw(patch);
    (void)pw.u32(0, new_rva);
    (void)pw.u32(dbg::kPointerToRawData - dbg::kAddressOfRawData, new_ptr);
    const FileOffset field{where->offset.value + at + dbg::kAddressOfRawData};
    plan.patches.push_back({c.tail.map(field).value, std::move(patch)});
  }
  return {};
}

// The headers as read, with the fields the rewrite owns written anew.
Result<Bytes> Planner::headers(Choice& c, const std::vector<DataDirectory>& dirs, ImagePlan& plan) const {
  const HeaderFields& f = img_.fields();
  const std::uint32_t sa = img_.SectionAlignment;
  Bytes out = img_.header_bytes();
  if (c.added) out.resize(static_cast<std::size_t>(c.headers_end));  // the room was checked to be zeros
  ByteWriter w(out);
  std::uint64_t init = img_.SizeOfInitializedData;
  init = c.init_data_delta < 0 ? init - std::min<std::uint64_t>(init, static_cast<std::uint64_t>(-c.init_data_delta))
                               : init + static_cast<std::uint64_t>(c.init_data_delta);
  std::vector<SectionHeader> all = c.sections;
  if (c.added) all.push_back(*c.added);
  std::uint64_t image_end = align_up(c.size_of_headers, sa);
  for (const SectionHeader& s : all)
    image_end = std::max<std::uint64_t>(image_end, s.VirtualAddress.value + align_up(s.mapped_size(), sa));
  bool ok = w.u16(f.coff + coff::kNumberOfSections, static_cast<std::uint16_t>(all.size())) &&
            w.u32(f.coff + coff::kPointerToSymbolTable, c.symbol_table) &&
            w.u32(f.optional + opt::kSizeOfInitializedData, c.narrow(init)) &&
            w.u32(f.optional + opt::kSizeOfImage, c.narrow(align_up(image_end, sa))) &&
            w.u32(f.optional + opt::kSizeOfHeaders, c.size_of_headers) && w.u32(f.optional + opt::kCheckSum, 0);
  for (std::uint32_t i = 0; ok && i < dirs.size(); ++i) {
    const std::uint64_t at = f.data_directories + std::uint64_t{i} * kDataDirectorySize;
    ok = w.u32(at + dd::kVirtualAddress, dirs[i].VirtualAddress) && w.u32(at + dd::kSize, dirs[i].Size);
  }
  for (std::size_t i = 0; ok && i < all.size(); ++i) ok = encode_section_header(all[i], out, f.section_table + i * kSectionHeaderSize);
  if (!c.narrow.ok()) return make_error(Errc::file_too_large, "an offset or address would exceed 32 bits");
  if (!ok) return make_error(Errc::internal_error, "header fields outside the headers");
  if (img_.CheckSum != 0) plan.checksum_offset = f.optional + opt::kCheckSum;
  return out;
}

// The new image in file order: headers, what lies before the tree, the tree, then the tail.
Status Planner::emit(const Choice& c, Bytes headers, Bytes tree, ImagePlan& plan) const {
  PieceList b{img_, plan};
  const std::uint64_t header_len = headers.size();
  const std::uint64_t tree_len = tree.size();
  b.literal(std::move(headers));
  if (!c.writes_tree) {
    b.copy(header_len, eos_);
  } else if (c.added) {
    b.copy(header_len, eos_);
    b.zeros(c.added->PointerToRawData.value - eos_);
    b.literal(std::move(tree));
    b.zeros(c.added->SizeOfRawData - tree_len);
  } else {
    const std::uint64_t start = img_.sections()[*c.rebuilt].PointerToRawData.value;
    const SectionHeader& now = c.sections[*c.rebuilt];
    b.copy(header_len, start);
    b.literal(std::move(tree));
    b.zeros(now.SizeOfRawData - tree_len);
    // Between the grown section and the shifted ones: zeros.
    const std::uint64_t written = start + now.SizeOfRawData;
    if (written > c.tail.new_start.value) return make_error(Errc::internal_error, "the resource section overlaps what follows");
    b.zeros(c.tail.new_start.value - written);
  }
  b.tail(c.tail);
  // A debug directory whose bytes are shared with the headers is not copied but rewritten;
  // its moved offsets would land on the new headers.
  for (const ImagePlan::Patch& q : plan.patches)
    if (!b.copied(q.offset, q.data.size()))
      return make_error(Errc::not_supported, "the debug directory lies in bytes the rewrite replaces");
  if (plan.size > 0xffffffffULL) return make_error(Errc::file_too_large, "the image would exceed 4 GiB");
  return {};
}

}  // namespace

Result<ImagePlan> plan_image(const PeImage& image, const ByteSource& src, const ResourceSet& resources) {
  auto measured = measure_tree(resources);
  if (!measured) return std::move(measured).error();
  const TreeLayout layout = measured.value();
  const Planner planner(image, src, resources, layout.total_size);

  auto choice = planner.choose();
  if (!choice) return std::move(choice).error();
  Choice& c = *choice;
  ImagePlan plan;
  plan.placement = c.rule;
  std::vector<DataDirectory> dirs = image.directories();
  if (Status s = planner.move_references(c, dirs, plan); !s) return std::move(s).error();

  // The new tree, at the address it will live at.
  Bytes tree;
  if (c.writes_tree) {
    auto encoded = encode_tree(resources, layout, c.base, src);
    if (!encoded) return std::move(encoded).error();
    tree = std::move(encoded).value();
    dirs[kDirResource] = DataDirectory{c.base.value, static_cast<std::uint32_t>(layout.total_size)};
  }
  auto headers = planner.headers(c, dirs, plan);
  if (!headers) return std::move(headers).error();
  if (Status s = planner.emit(c, std::move(headers).value(), std::move(tree), plan); !s) return std::move(s).error();
  return plan;
}

}  // namespace resupdate
