// Opening an image for a resource edit, placing the rebuilt resource section, and writing
// the new image as pieces copied from the old one around what changed.
#include "resupdate/image_editor.h"

#include <algorithm>
#include <cstring>

namespace resupdate {

namespace {

constexpr std::uint32_t kDebugEntrySize = 28;
constexpr std::uint32_t kDebugAddressOfRawData = 20;
constexpr std::uint32_t kDebugPointerToRawData = 24;
// Below a page, the loader maps the file as it lies: each section's file offset must equal its RVA.
constexpr std::uint32_t kPageSize = 0x1000;
// A tail at least this long is moved by whole pages (see congruent_pad).
constexpr std::uint64_t kCongruentTailMin = 1U << 20;

std::uint32_t clamp32(std::uint64_t v) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xffffffffULL)); }

std::uint64_t section_extent(const PeImage& img, const SectionHeader& s) {
  return std::min<std::uint64_t>(align_up(s.mapped_size(), img.SectionAlignment), 0x100000000ULL - s.VirtualAddress);
}

bool overlaps(std::uint64_t a, std::uint64_t alen, std::uint64_t b, std::uint64_t blen) {
  return a < b + blen && b < a + std::max<std::uint64_t>(alen, 1);
}

// True when a data directory other than `except` (and the certificate table, which holds a
// file offset) points into section `s`.
bool directory_points_into(const PeImage& img, const SectionHeader& s, std::uint32_t except) {
  const auto& dirs = img.directories();
  for (std::uint32_t i = 0; i < dirs.size(); ++i) {
    if (i == except || i == kDirSecurity || dirs[i].empty()) continue;
    if (overlaps(dirs[i].VirtualAddress, dirs[i].Size, s.VirtualAddress, section_extent(img, s))) return true;
  }
  return false;
}

bool holds_entry_point(const PeImage& img, const SectionHeader& s) {
  return img.AddressOfEntryPoint != 0 && img.AddressOfEntryPoint >= s.VirtualAddress &&
         img.AddressOfEntryPoint - s.VirtualAddress < section_extent(img, s);
}

// A section the rewrite may move: it holds only the base relocations, or it is discardable
// and nothing the loader follows points into it (the debug sections of mingw builds).
bool movable(const PeImage& img, const SectionHeader& s) {
  if ((s.Characteristics & (kScnCntCode | kScnMemExecute)) != 0 || holds_entry_point(img, s)) return false;
  const DataDirectory reloc = img.directory(kDirBaseReloc);
  const bool holds_reloc = !reloc.empty() && reloc.VirtualAddress >= s.VirtualAddress &&
                           reloc.VirtualAddress - s.VirtualAddress < section_extent(img, s);
  if (holds_reloc) return !directory_points_into(img, s, kDirBaseReloc);
  return (s.Characteristics & kScnMemDiscardable) != 0 && !directory_points_into(img, s, kDirBaseReloc);
}

// The kernel copies a moved tail page by page. Moved by a whole number of pages, each page of
// the new file comes from one page of the old; moved by part of one, every page is assembled
// from two and takes longer to copy and to flush (a 400 MiB overlay moved by 1 KiB: 1.25 s,
// by 4 KiB: 0.95 s). Where the file system shares blocks between files, a tail moved by whole
// blocks keeps its blocks and is not copied at all. So a long tail moves by whole units of
// `unit` (the larger of a page and the file system's block); the zeros this adds (less than a
// unit, a multiple of FileAlignment) go at the end of the resource section's raw data, so no
// bytes lie between sections and an overlay still starts where the last section ends.
std::uint64_t congruent_pad(std::uint64_t shift, std::uint64_t tail_len, std::uint64_t unit) {
  return shift != 0 && tail_len >= kCongruentTailMin ? align_up(shift, unit) - shift : 0;
}

// The unit a long tail moves by: a page, or the file system's block where that is larger. A
// block size past kMaxMoveUnit is taken for a preferred I/O size, not a sharing unit.
std::uint64_t move_unit(std::uint64_t block_size) {
  constexpr std::uint64_t kMaxMoveUnit = 64 * 1024;
  const bool usable = block_size > kPageSize && block_size <= kMaxMoveUnit && (block_size & (block_size - 1)) == 0;
  return usable ? block_size : kPageSize;
}

// The tree is rebuilt over a section's raw data, which must then be the section's own: file
// bytes it shares with the headers or another section would be overwritten with the tree.
bool owns_its_raw_data(const PeImage& img, std::size_t index) {
  const SectionHeader& s = img.sections()[index];
  const std::uint64_t headers_end = std::max<std::uint64_t>(img.SizeOfHeaders, img.fields().section_table_end);
  if (s.PointerToRawData < headers_end) return false;
  for (std::size_t i = 0; i < img.sections().size(); ++i) {
    const SectionHeader& o = img.sections()[i];
    if (i != index && o.SizeOfRawData != 0 && overlaps(o.PointerToRawData, o.SizeOfRawData, s.PointerToRawData, s.SizeOfRawData))
      return false;
  }
  return true;
}

bool sections_in_order(const std::vector<SectionHeader>& secs, std::size_t from) {
  for (std::size_t i = from + 1; i < secs.size(); ++i) {
    if (secs[i].VirtualAddress <= secs[i - 1].VirtualAddress) return false;
    if (secs[i].SizeOfRawData != 0 && secs[i - 1].SizeOfRawData != 0 &&
        secs[i].PointerToRawData < std::uint64_t{secs[i - 1].PointerToRawData} + secs[i - 1].SizeOfRawData)
      return false;
  }
  return true;
}

// Everything from `old_start` to the end of the file moves to `new_start`, less the
// certificate table, which is cut out.
struct Tail {
  std::uint64_t old_start = 0;
  std::uint64_t new_start = 0;
  std::uint64_t cert_off = 0;
  std::uint64_t cert_len = 0;

  [[nodiscard]] std::uint64_t map(std::uint64_t old) const {
    if (old < old_start) return old;
    std::uint64_t pos = old - old_start + new_start;
    if (cert_len != 0 && old >= cert_off + cert_len) pos -= cert_len;
    return pos;
  }
};

struct PlanBuilder {
  const PeImage& img;
  ImagePlan plan;

  void literal(Bytes data) {
    if (data.empty()) return;
    plan.size += data.size();
    plan.pieces.push_back(Piece{Piece::Kind::literal, 0, data.size(), std::move(data)});
  }
  void copy(std::uint64_t from, std::uint64_t to) {
    if (to <= from) return;
    plan.size += to - from;
    plan.pieces.push_back(Piece{Piece::Kind::copy, from, to - from, {}});
  }
  void zeros(std::uint64_t len) {
    if (len == 0) return;
    plan.size += len;
    plan.pieces.push_back(Piece{Piece::Kind::zeros, 0, len, {}});
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
      copy(t.old_start, t.cert_off);
      copy(t.cert_off + t.cert_len, end);
    } else {
      copy(t.old_start, end);
    }
  }
};


// Reads, comparisons and checksums go through buffers of this size.
constexpr std::uint64_t kStreamChunk = 256U << 10;

// The planned image as a source: pieces held in memory are served from there and copied ranges
// from the old image, with the patches on top and, when known, the checksum in its field.
class PlannedSource final : public ByteSource {
 public:
  PlannedSource(const ImagePlan& plan, const ByteSource& src, std::optional<std::uint32_t> checksum)
      : plan_(plan), src_(src), checksum_(checksum) {
    starts_.reserve(plan.pieces.size());
    std::uint64_t at = 0;
    for (const Piece& p : plan.pieces) {
      starts_.push_back(at);
      at += p.length;
    }
  }
  [[nodiscard]] std::uint64_t size() const noexcept override { return plan_.size; }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const override {
    if (!fits(off, out.size(), plan_.size)) return make_error(Errc::read_fault, "read past the end of the image");
    const std::uint64_t end = off + out.size();
    auto i = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), off) - starts_.begin());
    for (std::uint64_t pos = off; pos < end; ++i) {
      const Piece& p = plan_.pieces[i - 1];
      const std::uint64_t within = pos - starts_[i - 1];
      const std::uint64_t n = std::min(p.length - within, end - pos);
      std::span<std::uint8_t> part = out.subspan(static_cast<std::size_t>(pos - off), static_cast<std::size_t>(n));
      switch (p.kind) {
        case Piece::Kind::literal:
          std::memcpy(part.data(), p.data.data() + within, part.size());
          break;
        case Piece::Kind::zeros: std::fill(part.begin(), part.end(), std::uint8_t{0}); break;
        case Piece::Kind::copy:
          if (Status s = src_.read(p.source_offset + within, part); !s) return s;
          break;
      }
      pos += n;
    }
    for (const ImagePlan::Patch& q : plan_.patches) put(off, out, q.offset, q.data);
    if (plan_.checksum_offset && checksum_) {
      std::uint8_t field[4];
      for (int k = 0; k < 4; ++k) field[k] = static_cast<std::uint8_t>(*checksum_ >> (8 * k));
      put(off, out, *plan_.checksum_offset, field);
    }
    return {};
  }

 private:
  // Lays the bytes meant for [at, at + data.size()) over the part of them `out` holds.
  static void put(std::uint64_t off, std::span<std::uint8_t> out, std::uint64_t at, ByteSpan data) {
    const std::uint64_t from = std::max(at, off);
    const std::uint64_t to = std::min(at + data.size(), off + out.size());
    for (std::uint64_t k = from; k < to; ++k) out[static_cast<std::size_t>(k - off)] = data[static_cast<std::size_t>(k - at)];
  }

  const ImagePlan& plan_;
  const ByteSource& src_;
  std::optional<std::uint32_t> checksum_;
  std::vector<std::uint64_t> starts_;
};
}  // namespace

Result<ImageEditor> ImageEditor::open(std::shared_ptr<const ByteSource> src, bool delete_existing) {
  if (!src) return make_error(Errc::invalid_parameter, "no image");
  auto image = PeImage::parse(*src);
  if (!image) return std::move(image).error();
  ResourceSet set;
  if (!delete_existing) {
    auto decoded = decode_resources(*image, *src);
    if (!decoded) return std::move(decoded).error();
    set = std::move(decoded).value();
  }
  return ImageEditor(std::move(src), std::move(image).value(), std::move(set));
}

void ImageEditor::put(const ResourceKey& key, Bytes data, std::uint32_t code_page) {
  resources_.insert_or_assign(key, ResourceData{std::move(data), code_page});
}

bool ImageEditor::erase(const ResourceKey& key) { return resources_.erase(key) != 0; }

Result<Bytes> ImageEditor::read(const ResourceKey& key) const {
  auto it = resources_.find(key);
  if (it == resources_.end()) return make_error(Errc::file_not_found, "no such resource");
  return it->second.load(*src_);
}

Result<ImagePlan> ImageEditor::plan(std::uint64_t block_size) const {
  const std::uint64_t unit = move_unit(block_size);
  const PeImage& img = image_;
  std::vector<SectionHeader> secs = img.sections();
  std::vector<DataDirectory> dirs = img.directories();
  const HeaderFields& f = img.fields();
  const std::uint32_t FA = img.FileAlignment;
  const std::uint32_t SA = img.SectionAlignment;
  const bool file_is_mapped_as_is = SA < kPageSize;
  const std::uint64_t eos = img.end_of_sections();
  const DataDirectory old_res = img.directory(kDirResource);

  auto measured = measure_tree(resources_);
  if (!measured) return std::move(measured).error();
  const TreeLayout layout = measured.value();
  const std::uint64_t new_size = layout.total_size;
  const std::uint64_t new_raw = align_up(new_size, FA);

  // The certificate table is cut from the overlay: it cannot stay valid once the image changes.
  Tail tail;
  if (kDirSecurity < dirs.size() && !dirs[kDirSecurity].empty()) {
    const DataDirectory c = dirs[kDirSecurity];
    if (c.VirtualAddress >= eos && fits(c.VirtualAddress, c.Size, img.file_size())) {
      tail.cert_off = c.VirtualAddress;
      tail.cert_len = c.Size;
    }
    dirs[kDirSecurity] = DataDirectory{};
  }

  std::optional<std::size_t> r;
  if (old_res.VirtualAddress != 0) r = img.section_of(Rva{old_res.VirtualAddress});
  const bool nothing_to_write = !r && resources_.empty();
  if (!nothing_to_write && dirs.size() <= kDirResource)
    return make_error(Errc::not_supported, "the image has no resource directory slot");

  // A section we may rewrite from its start: it holds resources and nothing else that is reached.
  const bool r_usable = r && !directory_points_into(img, secs[*r], kDirResource) &&
                        (secs[*r].Characteristics & (kScnCntCode | kScnMemExecute)) == 0 &&
                        !holds_entry_point(img, secs[*r]) && sections_in_order(secs, 0) &&
                        // The tree is rebuilt at R's start, which must not lie in an earlier
                        // section's extent: the loader would look for it there.
                        img.section_of(Rva{secs[*r].VirtualAddress}) == r && owns_its_raw_data(img, *r);

  PlanBuilder b{img, {}};
  Rva base{};
  std::uint64_t df = 0;
  std::uint64_t dv = 0;
  std::size_t first_moved = secs.size();
  std::int64_t init_data_delta = 0;
  bool add_section = false;
  SectionHeader added;

  if (nothing_to_write) {
    b.plan.placement = Placement::in_place;
    tail.old_start = tail.new_start = eos;
    // A resource directory pointing into no section names nothing; left in place it would make
    // the new image unreadable as one that holds no resources.
    if (old_res.VirtualAddress != 0) dirs[kDirResource] = DataDirectory{};
  } else if (r_usable) {
    SectionHeader& R = secs[*r];
    const bool last = *r + 1 == secs.size();
    const std::uint64_t va_room = last ? 0x100000000ULL - R.VirtualAddress
                                       : std::uint64_t{secs[*r + 1].VirtualAddress} - R.VirtualAddress;
    const std::uint64_t old_raw_end = std::uint64_t{R.PointerToRawData} + R.SizeOfRawData;
    base = Rva{R.VirtualAddress};
    if (R.SizeOfRawData != 0 && new_size <= R.SizeOfRawData && align_up(new_size, SA) <= va_room) {
      b.plan.placement = Placement::in_place;
      // A section followed by others keeps its extent: the loader wants no hole in the address map.
      R.VirtualSize = last ? static_cast<std::uint32_t>(new_size)
                           : std::max(static_cast<std::uint32_t>(new_size), R.VirtualSize);
      tail.old_start = tail.new_start = old_raw_end;
    } else if (R.SizeOfRawData != 0 && (last || std::all_of(secs.begin() + static_cast<std::ptrdiff_t>(*r) + 1, secs.end(),
                                                           [&](const SectionHeader& s) { return movable(img, s); }))) {
      if (last && old_raw_end != eos) {
        // Last by address but not in the file: growing it would overwrite another section.
        add_section = true;
      } else {
        b.plan.placement = last ? Placement::grow_last : Placement::shift_following;
        df = align_up(new_raw > R.SizeOfRawData ? new_raw - R.SizeOfRawData : 0, FA);
        if (!last) {
          const std::uint64_t want = std::uint64_t{R.VirtualAddress} + align_up(new_size, SA);
          dv = want > secs[*r + 1].VirtualAddress ? align_up(want - secs[*r + 1].VirtualAddress, SA) : 0;
        }
        // Where the file is mapped as it lies, file offsets and addresses move together; the
        // file moves only as far as the raw data in it needs, when no section after R has any.
        if (file_is_mapped_as_is) {
          dv = align_up(std::max(df, dv), SA);
          if (std::any_of(secs.begin() + static_cast<std::ptrdiff_t>(*r) + 1, secs.end(),
                          [](const SectionHeader& s) { return s.SizeOfRawData != 0; }))
            df = dv;
        }
        const std::uint64_t pad = file_is_mapped_as_is ? 0 : congruent_pad(df, img.file_size() - old_raw_end, unit);
        df += pad;
        // Raw data the tree no longer needs stays R's: given up, it would lie before the overlay.
        const std::uint64_t raw = std::max<std::uint64_t>(new_raw + pad, R.SizeOfRawData);
        init_data_delta = static_cast<std::int64_t>(raw) - static_cast<std::int64_t>(R.SizeOfRawData);
        R.SizeOfRawData = static_cast<std::uint32_t>(raw);
        R.VirtualSize = static_cast<std::uint32_t>(new_size);
        first_moved = *r + 1;
        tail.old_start = old_raw_end;
        tail.new_start = old_raw_end + df;
      }
    } else {
      add_section = true;
    }
  } else {
    add_section = true;
  }

  // Header space: one more section header must fit before the first section's raw data.
  std::uint64_t header_end = f.section_table_end;
  std::uint32_t size_of_headers = img.SizeOfHeaders;
  if (add_section) {
    b.plan.placement = Placement::new_section;
    if (secs.size() >= 0xffff) return make_error(Errc::not_supported, "the section table is full");
    std::uint64_t first_raw = img.file_size();
    std::uint64_t first_va = 0x100000000ULL;
    for (const SectionHeader& s : secs) {
      if (s.SizeOfRawData != 0) first_raw = std::min<std::uint64_t>(first_raw, s.PointerToRawData);
      first_va = std::min<std::uint64_t>(first_va, s.VirtualAddress);
    }
    header_end = f.section_table_end + kSectionHeaderSize;
    // Past the end of the headers and of every section's raw data lies the overlay, which is
    // kept whole, never taken for header room.
    if (header_end > first_raw || header_end > first_va || header_end > eos)
      return make_error(Errc::not_supported, "no room for another section header");
    if (header_end > img.header_bytes().size()) {
      // The room lies past what was read as headers; it must be unused (zero) bytes.
      auto room = read_bytes(*src_, f.section_table_end, kSectionHeaderSize);
      if (!room) return std::move(room).error();
      if (std::any_of(room->begin(), room->end(), [](std::uint8_t c) { return c != 0; }))
        return make_error(Errc::not_supported, "the space after the section table is in use");
    }
    if (header_end > size_of_headers) {
      const std::uint64_t grown = align_up(header_end, FA);
      if (grown > first_raw || grown > first_va) return make_error(Errc::not_supported, "no room for another section header");
      size_of_headers = static_cast<std::uint32_t>(grown);
    }
    std::uint64_t va_end = 0;
    for (const SectionHeader& s : secs) va_end = std::max<std::uint64_t>(va_end, s.VirtualAddress + section_extent(img, s));
    va_end = std::max<std::uint64_t>(va_end, align_up(size_of_headers, SA));
    const std::uint64_t va = align_up(va_end, SA);
    std::uint64_t ptr = align_up(eos, FA);
    if (file_is_mapped_as_is) {
      if (va < eos) return make_error(Errc::not_supported, "the new section cannot lie at its own address in the file");
      ptr = va;
    }
    if (va + align_up(new_size, SA) > 0xffffffffULL || ptr + new_raw > 0xffffffffULL)
      return make_error(Errc::file_too_large, "the image would exceed 4 GiB");
    std::memcpy(added.Name.data(), ".rsrc\0\0\0", 8);
    added.VirtualSize = static_cast<std::uint32_t>(new_size);
    added.VirtualAddress = static_cast<std::uint32_t>(va);
    const std::uint64_t pad = file_is_mapped_as_is ? 0 : congruent_pad(ptr + new_raw - eos, img.file_size() - eos, unit);
    added.SizeOfRawData = static_cast<std::uint32_t>(new_raw + pad);
    added.PointerToRawData = static_cast<std::uint32_t>(ptr);
    added.Characteristics = kScnCntInitializedData | kScnMemRead;
    for (SectionHeader& s : secs)
      if (s.name_is(".rsrc")) std::memcpy(s.Name.data(), ".oldrsrc", 8);
    base = Rva{added.VirtualAddress};
    init_data_delta = static_cast<std::int64_t>(new_raw + pad);
    tail.old_start = eos;
    tail.new_start = ptr + new_raw + pad;
  }

  // Move the following sections and everything that points at them.
  for (std::size_t i = first_moved; i < secs.size(); ++i) {
    secs[i].VirtualAddress = clamp32(secs[i].VirtualAddress + dv);
    if (secs[i].SizeOfRawData != 0) secs[i].PointerToRawData = clamp32(tail.map(secs[i].PointerToRawData));
  }
  for (SectionHeader& s : secs) {
    if (s.PointerToRelocations != 0) s.PointerToRelocations = clamp32(tail.map(s.PointerToRelocations));
    if (s.PointerToLinenumbers != 0) s.PointerToLinenumbers = clamp32(tail.map(s.PointerToLinenumbers));
  }
  auto moved_rva = [&](std::uint32_t rva) -> std::uint32_t {
    for (std::size_t i = first_moved; i < img.sections().size(); ++i) {
      const SectionHeader& s = img.sections()[i];
      if (rva >= s.VirtualAddress && rva - s.VirtualAddress < section_extent(img, s)) return clamp32(rva + dv);
    }
    return rva;
  };
  for (std::uint32_t i = 0; i < dirs.size(); ++i)
    if (i != kDirSecurity && i != kDirResource && !dirs[i].empty()) dirs[i].VirtualAddress = moved_rva(dirs[i].VirtualAddress);

  // The debug directory holds both RVAs and file offsets of its data.
  const DataDirectory dbg = img.directory(kDirDebug);
  if (!dbg.empty() && dbg.Size >= kDebugEntrySize && dbg.Size / kDebugEntrySize <= 4096) {
    Bytes entries(dbg.Size - dbg.Size % kDebugEntrySize);
    if (img.read(*src_, Rva{dbg.VirtualAddress}, entries)) {
      auto where = img.map(Rva{dbg.VirtualAddress}, static_cast<std::uint32_t>(entries.size()));
      ByteReader er(entries);
      for (std::uint64_t at = 0; where && at + kDebugEntrySize <= entries.size(); at += kDebugEntrySize) {
        std::uint32_t rva = 0;
        std::uint32_t ptr = 0;
        (void)er.u32(at + kDebugAddressOfRawData, rva);
        (void)er.u32(at + kDebugPointerToRawData, ptr);
        const std::uint32_t new_rva = rva != 0 ? moved_rva(rva) : 0;
        const std::uint32_t new_ptr = ptr != 0 ? clamp32(tail.map(ptr)) : 0;
        if ((new_rva == rva && new_ptr == ptr) || at + kDebugEntrySize > where->file_len) continue;
        Bytes patch(8);
        ByteWriter pw(patch);
        (void)pw.u32(0, new_rva);
        (void)pw.u32(4, new_ptr);
        b.plan.patches.push_back({tail.map(where->offset.value + at + kDebugAddressOfRawData), std::move(patch)});
      }
    }
  }

  // The new tree, at the address it will live at.
  Bytes tree;
  if (!nothing_to_write) {
    auto encoded = encode_tree(resources_, layout, base, *src_);
    if (!encoded) return std::move(encoded).error();
    tree = std::move(encoded).value();
    dirs[kDirResource] = DataDirectory{base.value, static_cast<std::uint32_t>(new_size)};
  }

  // Headers.
  Bytes headers = img.header_bytes();
  if (add_section) {
    headers.resize(static_cast<std::size_t>(header_end));  // the room was checked to be zeros
  }
  {
    ByteWriter w(headers);
    std::uint64_t init = img.SizeOfInitializedData;
    init = init_data_delta < 0 ? init - std::min<std::uint64_t>(init, static_cast<std::uint64_t>(-init_data_delta))
                               : init + static_cast<std::uint64_t>(init_data_delta);
    std::vector<SectionHeader> all = secs;
    if (add_section) all.push_back(added);
    std::uint64_t image_end = align_up(size_of_headers, SA);
    for (const SectionHeader& s : all)
      image_end = std::max<std::uint64_t>(image_end, s.VirtualAddress + align_up(s.mapped_size(), SA));
    bool ok = w.u16(f.coff + coff::kNumberOfSections, static_cast<std::uint16_t>(all.size())) &&
              w.u32(f.coff + coff::kPointerToSymbolTable,
                    img.PointerToSymbolTable != 0 ? clamp32(tail.map(img.PointerToSymbolTable)) : 0) &&
              w.u32(f.optional + opt::kSizeOfInitializedData, clamp32(init)) &&
              w.u32(f.optional + opt::kSizeOfImage, clamp32(align_up(image_end, SA))) &&
              w.u32(f.optional + opt::kSizeOfHeaders, size_of_headers) && w.u32(f.optional + opt::kCheckSum, 0);
    for (std::uint32_t i = 0; ok && i < dirs.size(); ++i) {
      ok = w.u32(f.data_directories + std::uint64_t{i} * kDataDirectorySize, dirs[i].VirtualAddress) &&
           w.u32(f.data_directories + std::uint64_t{i} * kDataDirectorySize + 4, dirs[i].Size);
    }
    for (std::size_t i = 0; ok && i < all.size(); ++i) {
      const std::uint64_t at = f.section_table + i * kSectionHeaderSize;
      ok = fits(at, kSectionHeaderSize, headers.size());
      if (ok) encode_section_header(all[i], std::span<std::uint8_t, kSectionHeaderSize>(headers.data() + at, kSectionHeaderSize));
    }
    if (!ok) return make_error(Errc::internal_error, "header fields outside the headers");
    if (img.CheckSum != 0) b.plan.checksum_offset = f.optional + opt::kCheckSum;
  }

  // Emit the pieces in file order.
  const std::uint64_t header_len = headers.size();
  b.literal(std::move(headers));
  if (nothing_to_write) {
    b.copy(header_len, eos);
  } else if (add_section) {
    b.copy(header_len, eos);
    b.zeros(added.PointerToRawData - eos);
    const std::uint64_t tree_len = tree.size();
    b.literal(std::move(tree));
    b.zeros(added.SizeOfRawData - tree_len);
  } else {
    const SectionHeader& R = img.sections()[*r];
    b.copy(header_len, R.PointerToRawData);
    const std::uint64_t tree_len = tree.size();
    b.literal(std::move(tree));
    b.zeros(secs[*r].SizeOfRawData - tree_len);
    // Between the grown section and the shifted ones: zeros.
    const std::uint64_t written = std::uint64_t{R.PointerToRawData} + secs[*r].SizeOfRawData;
    if (written > tail.new_start) return make_error(Errc::internal_error, "the resource section overlaps what follows");
    b.zeros(tail.new_start - written);
  }
  b.tail(tail);
  // A debug directory whose bytes are shared with the headers is not copied but rewritten;
  // its moved offsets would land on the new headers.
  for (const ImagePlan::Patch& q : b.plan.patches)
    if (!b.copied(q.offset, q.data.size()))
      return make_error(Errc::not_supported, "the debug directory lies in bytes the rewrite replaces");
  if (b.plan.size > 0xffffffffULL) return make_error(Errc::file_too_large, "the image would exceed 4 GiB");
  return std::move(b.plan);
}

Status write_image(const ImagePlan& plan, const ByteSource& src, ByteSink& sink, std::optional<std::uint32_t> checksum) {
  const std::uint64_t start = sink.position();
  for (const Piece& p : plan.pieces) {
    Status s;
    switch (p.kind) {
      case Piece::Kind::literal: s = sink.write(p.data); break;
      case Piece::Kind::copy: s = sink.copy_from(src, p.source_offset, p.length); break;
      case Piece::Kind::zeros: s = sink.write_zeros(p.length); break;
    }
    if (!s) return s;
  }
  if (sink.position() - start != plan.size) return make_error(Errc::internal_error, "the image written differs in size from its plan");
  for (const ImagePlan::Patch& p : plan.patches)
    if (Status s = sink.patch(start + p.offset, p.data); !s) return s;
  if (plan.checksum_offset) {
    if (!checksum) {
      auto sum = image_checksum(plan, src);
      if (!sum) return std::move(sum).error();
      checksum = *sum;
    }
    std::uint8_t field[4];
    for (int i = 0; i < 4; ++i) field[i] = static_cast<std::uint8_t>(*checksum >> (8 * i));
    if (Status s = sink.patch(start + *plan.checksum_offset, field); !s) return s;
  }
  return {};
}

Result<std::uint32_t> image_checksum(const ImagePlan& plan, const ByteSource& src) {
  if (!plan.checksum_offset) return make_error(Errc::internal_error, "the plan has no checksum");
  const PlannedSource planned(plan, src, std::nullopt);  // the field itself counts as zero
  PeChecksum sum(*plan.checksum_offset);
  Bytes buf(static_cast<std::size_t>(std::min<std::uint64_t>(plan.size, kStreamChunk)));
  for (std::uint64_t at = 0; at < plan.size;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), plan.size - at));
    std::span<std::uint8_t> chunk(buf.data(), n);
    if (Status s = planned.read(at, chunk); !s) return std::move(s).error();
    sum.update(chunk);
    at += n;
  }
  return sum.finish();
}

Result<Bytes> build_in_memory(const ImageEditor& editor) {
  auto plan = editor.plan();
  if (!plan) return std::move(plan).error();
  MemorySink sink;
  if (Status s = write_image(*plan, editor.source(), sink); !s) return std::move(s).error();
  return sink.take();
}

Status verify_image(const ByteSource& written, const ImagePlan& plan, const ResourceSet& expected,
                    const ByteSource& expected_src, std::optional<std::uint32_t> checksum) {
  auto fail = [](std::string what) { return make_error(Errc::internal_error, std::move(what)); };
  if (written.size() != plan.size) return fail("the written image has the wrong size");
  if (plan.checksum_offset && !checksum) {
    auto sum = image_checksum(plan, expected_src);
    if (!sum) return std::move(sum).error();
    checksum = *sum;
  }
  const PlannedSource intended(plan, expected_src, checksum);
  // Compared a bounded chunk at a time, so a large resource section is never held twice more.
  Bytes want;
  Bytes have;
  auto same = [&](std::uint64_t off, std::uint64_t len) -> Result<bool> {
    for (std::uint64_t done = 0; done < len;) {
      const auto n = static_cast<std::size_t>(std::min(kStreamChunk, len - done));
      want.resize(n);
      have.resize(n);
      if (Status s = intended.read(off + done, want); !s) return std::move(s).error();
      if (Status s = written.read(off + done, have); !s) return std::move(s).error();
      if (want != have) return false;
      done += n;
    }
    return true;
  };

  // What was written from memory must read back byte for byte, with the patches and the
  // checksum on it; the copied ranges are not re-read.
  std::uint64_t at = 0;
  for (const Piece& p : plan.pieces) {
    if (p.kind == Piece::Kind::literal) {
      auto ok = same(at, p.length);
      if (!ok) return std::move(ok).error();
      if (!*ok) return fail("the headers or resource section did not read back");
    }
    at += p.length;
  }
  for (const ImagePlan::Patch& q : plan.patches) {
    auto ok = same(q.offset, q.data.size());
    if (!ok) return std::move(ok).error();
    if (!*ok) return fail("a patched field did not read back");
  }
  if (plan.checksum_offset) {
    auto ok = same(*plan.checksum_offset, 4);
    if (!ok) return std::move(ok).error();
    if (!*ok) return fail("the checksum did not read back as computed");
  }

  // What was written from memory is the plan's: the tree is read from there, and resource
  // data that lies outside it (some packers put it elsewhere) from the old image.
  auto image = PeImage::parse(intended);
  if (!image) return fail("the written image does not parse: " + image.error().detail);
  // The tree is walked in its own order, which must be the loader's: entry by entry it must
  // list the intended resources in turn.
  const ReadAheadSource want_src(expected_src);
  auto e = expected.begin();
  bool stopped = false;  // by a difference or a failed read here, not by the walk's own checks
  Status walked = visit_resources(*image, intended, [&](const ResourceKey& key, const ResourceData& got) -> Status {
    stopped = true;
    if (e == expected.end()) return fail("the written image holds a different set of resources");
    if (!(key == e->first) || got.code_page != e->second.code_page || got.size() != e->second.size())
      return fail("a written resource differs from the one intended");
    const std::uint64_t size = e->second.size();
    for (std::uint64_t off = 0; off < size; off += want.size()) {
      const auto n = static_cast<std::size_t>(std::min(kStreamChunk, size - off));
      want.resize(n);
      have.resize(n);
      if (Status s = e->second.read(want_src, off, want); !s) return s;
      if (Status s = got.read(intended, off, have); !s) return s;
      if (want != have) return fail("a written resource's bytes differ from the ones intended");
    }
    ++e;
    stopped = false;
    return {};
  });
  if (!walked) return stopped ? walked : fail("the written resource tree does not read back: " + walked.error().detail);
  if (e != expected.end()) return fail("the written image holds a different set of resources");
  return {};
}

}  // namespace resupdate
