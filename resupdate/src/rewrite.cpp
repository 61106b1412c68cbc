// Fixing up what a placement moved, writing the new headers and emitting the new image as
// pieces: the steps every placement rule shares.
#include <algorithm>
#include <iterator>

#include "piece_list.h"
#include "placement.h"
#include "rewrite.h"

namespace resupdate {

namespace placement {

namespace {

constexpr std::uint32_t kMaxDebugEntries = 4096;
// Old blobs lying together in at least this many bytes keep their layout and are copied whole,
// by the kernel where it can, rather than read into the new tree one by one.
constexpr std::uint64_t kKeepBlobsFrom = 64U << 10;

// Where the debug directory's whole entries lie in the file. It is read from its section, or
// from the headers, which the loader maps as they lie. One that cannot be read in full
// cannot be fixed up, and the rewrite must not go on without it.
Result<FileExtent> debug_entries_at(const PeImage& img, const DataDirectory& dir) {
  if (dir.Size / dbg::kEntrySize > kMaxDebugEntries)
    return make_error(Errc::not_supported, "the debug directory has too many entries to fix");
  const std::uint32_t len = dir.Size - dir.Size % dbg::kEntrySize;
  if (std::uint64_t{dir.VirtualAddress} + len <= img.SizeOfHeaders &&
      fits(dir.VirtualAddress, len, img.file_size()))
    return FileExtent{FileOffset{dir.VirtualAddress}, len, len};
  auto where = img.map(Rva{dir.VirtualAddress}, len);
  if (!where)
    return make_error(Errc::not_supported,
                      "the debug directory lies in no section and cannot be fixed");
  return where;
}

// The steps every placement rule shares: fixing up what the chosen rule moved, writing the new
// headers and emitting the new image.
class Rewrite {
 public:
  // With `borrow`, large in-memory resources are written from `set` itself (see plan_image).
  Rewrite(const PeImage& img, const ByteSource& src, const ResourceSet& set, bool borrow)
      : img_(img), src_(src), set_(set), eos_(img.end_of_sections()), borrow_(borrow) {}

  [[nodiscard]] Status move_references(Choice& c, std::vector<DataDirectory>& dirs,
                                       ImagePlan& plan) const;
  [[nodiscard]] Result<Bytes> headers(Choice& c, const std::vector<DataDirectory>& dirs,
                                      ImagePlan& plan) const;
  [[nodiscard]] Status emit(const Choice& c, Bytes headers, EncodedTree tree,
                            const TreeLayout& layout, ImagePlan& plan) const;

 private:
  [[nodiscard]] Status emit_kept(const Choice& c, EncodedTree tree, ImagePlan& plan) const;
  [[nodiscard]] Status fix_debug_entries(Choice& c, ImagePlan& plan) const;
  [[nodiscard]] Result<std::uint32_t> moved_rva(const Choice& c, std::uint32_t rva) const;

  const PeImage& img_;
  const ByteSource& src_;
  const ResourceSet& set_;
  std::uint64_t eos_;
  bool borrow_;
};

}  // namespace

// An address after the move: one inside a section that moved moves with it.
Result<std::uint32_t> Rewrite::moved_rva(const Choice& c, std::uint32_t rva) const {
  for (std::size_t i = c.first_moved; i < img_.sections().size(); ++i)
    if (img_.contains(img_.sections()[i], Rva{rva})) return narrow32(rva + c.address_shift);
  return rva;
}

namespace {
// A file offset after the move, narrowed to its 32-bit field.
Result<std::uint32_t> moved_offset(const Tail& tail, FileOffset old) {
  return narrow32(tail.map(old).value);
}
}  // namespace

// Moves the sections after the grown one, and every reference into what moved: section
// pointers, data directories, the symbol table and the debug entries.
Status Rewrite::move_references(Choice& c, std::vector<DataDirectory>& dirs,
                                ImagePlan& plan) const {
  const Tail& tail = c.tail;
  for (std::size_t i = 0; i < c.sections.size(); ++i) {
    SectionHeader& s = c.sections[i];
    const bool moved = i >= c.first_moved;
    if (moved) {
      auto address = narrow32(s.VirtualAddress.value + c.address_shift);
      if (!address) return std::move(address).error();
      s.VirtualAddress = Rva{*address};
    }
    if (s.SizeOfRawData != 0 && (moved || tail.head_shift != 0)) {
      auto raw = moved_offset(tail, s.PointerToRawData);
      if (!raw) return std::move(raw).error();
      s.PointerToRawData = FileOffset{*raw};
    }
  }
  for (SectionHeader& s : c.sections) {
    for (FileOffset* field : {&s.PointerToRelocations, &s.PointerToLinenumbers}) {
      if (field->value == 0) continue;
      auto moved = moved_offset(tail, *field);
      if (!moved) return std::move(moved).error();
      *field = FileOffset{*moved};
    }
  }
  if (kDirSecurity < dirs.size()) dirs[kDirSecurity] = DataDirectory{};
  for (std::uint32_t i = 0; i < dirs.size(); ++i) {
    if (i == kDirSecurity || i == kDirResource || dirs[i].empty()) continue;
    auto address = moved_rva(c, dirs[i].VirtualAddress);
    if (!address) return std::move(address).error();
    dirs[i].VirtualAddress = *address;
  }
  // A resource directory pointing into no section names nothing; left in place it would make
  // the new image unreadable as one that holds no resources.
  if (!c.writes_tree && img_.directory(kDirResource).VirtualAddress != 0)
    dirs[kDirResource] = DataDirectory{};
  const std::uint32_t symbols = img_.PointerToSymbolTable;
  if (symbols != 0) {
    auto moved = moved_offset(tail, FileOffset{symbols});
    if (!moved) return std::move(moved).error();
    c.symbol_table = *moved;
  } else {
    c.symbol_table = 0;
  }
  return fix_debug_entries(c, plan);
}

// The debug directory holds both RVAs and file offsets of its data. Where anything moves,
// each entry must be read and fixed: one skipped would point at whatever took its data's place.
Status Rewrite::fix_debug_entries(Choice& c, ImagePlan& plan) const {
  const DataDirectory dir = img_.directory(kDirDebug);
  const bool anything_moves =
      c.tail.moves() || (c.address_shift != 0 && c.first_moved < c.sections.size());
  if (!anything_moves || dir.Size < dbg::kEntrySize) return {};
  auto where = debug_entries_at(img_, dir);
  if (!where) return std::move(where).error();
  // Past its file-backed part the directory reads as zeros, which name no data.
  Bytes entries(where->size);
  if (Status s =
          src_.read(where->offset.value, std::span<std::uint8_t>(entries.data(), where->file_len));
      !s)
    return make_error(Errc::not_supported, "the debug directory cannot be read to fix its offsets");
  const ByteReader er(entries);
  for (std::uint64_t at = 0; at + dbg::kEntrySize <= entries.size(); at += dbg::kEntrySize) {
    std::uint32_t rva = 0;
    std::uint32_t ptr = 0;
    (void)er.u32(at + dbg::kAddressOfRawData, rva);
    (void)er.u32(at + dbg::kPointerToRawData, ptr);
    std::uint32_t new_rva = 0;
    if (rva != 0) {
      auto moved = moved_rva(c, rva);
      if (!moved) return std::move(moved).error();
      new_rva = *moved;
    }
    std::uint32_t new_ptr = 0;
    if (ptr != 0) {
      auto moved = moved_offset(c.tail, FileOffset{ptr});
      if (!moved) return std::move(moved).error();
      new_ptr = *moved;
    }
    if (new_rva == rva && new_ptr == ptr) continue;
    if (at + dbg::kEntrySize > where->file_len)
      return make_error(Errc::not_supported,
                        "a debug entry to fix runs past its section's raw data");
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
Result<Bytes> Rewrite::headers(Choice& c, const std::vector<DataDirectory>& dirs,
                               ImagePlan& plan) const {
  const HeaderFields& f = img_.fields();
  const std::uint32_t sa = img_.SectionAlignment;
  Bytes out = img_.header_bytes();
  if (c.added)
    out.resize(static_cast<std::size_t>(c.headers_end));  // the room was checked to be zeros
  if (!c.carried.empty()) {
    // Sized for it when the headers grew.
    const std::size_t at = static_cast<std::size_t>(f.section_table_end) + kSectionHeaderSize;
    if (!fits(at, c.carried.size(), out.size()))
      return make_error(Errc::internal_error, "the headers have no room for what they carry");
    std::copy(c.carried.begin(), c.carried.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
  }
  ByteWriter w(out);
  std::uint64_t init = img_.SizeOfInitializedData;
  init = c.init_data_delta < 0
             ? init - std::min<std::uint64_t>(init, static_cast<std::uint64_t>(-c.init_data_delta))
             : init + static_cast<std::uint64_t>(c.init_data_delta);
  std::vector<SectionHeader> all = c.sections;
  if (c.added) all.push_back(*c.added);
  std::uint64_t image_end = align_up(c.size_of_headers, sa);
  for (const SectionHeader& s : all)
    image_end =
        std::max<std::uint64_t>(image_end, s.VirtualAddress.value + align_up(s.mapped_size(), sa));
  auto init32 = narrow32(init);
  if (!init32) return std::move(init32).error();
  auto image_size = narrow32(align_up(image_end, sa));
  if (!image_size) return std::move(image_size).error();
  const auto outside = [] {
    return make_error(Errc::internal_error, "header fields outside the headers");
  };
  if (!w.u16(f.coff + coff::kNumberOfSections, static_cast<std::uint16_t>(all.size())))
    return outside();
  if (!w.u32(f.coff + coff::kPointerToSymbolTable, c.symbol_table)) return outside();
  if (!w.u32(f.optional + opt::kSizeOfInitializedData, *init32)) return outside();
  if (!w.u32(f.optional + opt::kSizeOfImage, *image_size)) return outside();
  if (!w.u32(f.optional + opt::kSizeOfHeaders, c.size_of_headers)) return outside();
  if (!w.u32(f.optional + opt::kCheckSum, 0)) return outside();
  for (std::uint32_t i = 0; i < dirs.size(); ++i) {
    const std::uint64_t at = f.data_directories + std::uint64_t{i} * kDataDirectorySize;
    if (!w.u32(at + dd::kVirtualAddress, dirs[i].VirtualAddress)) return outside();
    if (!w.u32(at + dd::kSize, dirs[i].Size)) return outside();
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (!encode_section_header(all[i], out, f.section_table + i * kSectionHeaderSize))
      return outside();
  }
  if (img_.CheckSum != 0) {
    plan.checksum_offset = f.optional + opt::kCheckSum;
    plan.old_checksum_offset = f.optional + opt::kCheckSum;
  }
  return out;
}

// The new image in file order: headers, what lies before the tree, the tree, then the tail.
Status Rewrite::emit(const Choice& c, Bytes headers, EncodedTree tree, const TreeLayout& layout,
                     ImagePlan& plan) const {
  PieceList b{img_, plan};
  const std::uint64_t header_len = headers.size();
  const std::uint64_t tree_len = c.writes_tree ? layout.total_size : 0;
  b.literal(std::move(headers));
  if (!c.writes_tree) {
    b.copy(header_len, eos_);
  } else if (c.added) {
    const Tail& t = c.tail;
    if (t.head_shift != 0) {
      // The grown headers, then every section's raw data as far up.
      b.zeros(t.head_from.value + t.head_shift - header_len);
      b.copy(t.head_from.value, eos_);
    } else {
      b.copy(header_len, eos_);
    }
    b.zeros(c.added->PointerToRawData.value - (eos_ + t.head_shift));
    if (!b.tree(std::move(tree), layout))
      return make_error(Errc::internal_error, "a borrowed blob lies outside the tree");
    b.zeros(c.added->SizeOfRawData - tree_len);
  } else {
    const std::uint64_t start = img_.sections()[*c.rebuilt].PointerToRawData.value;
    const SectionHeader& now = c.sections[*c.rebuilt];
    b.copy(header_len, start);
    if (c.kept) {
      if (Status s = emit_kept(c, std::move(tree), plan); !s) return s;
      b.zeros(now.SizeOfRawData - c.kept->used_end);
    } else {
      if (!b.tree(std::move(tree), layout))
        return make_error(Errc::internal_error, "a borrowed blob lies outside the tree");
      b.zeros(now.SizeOfRawData - tree_len);
    }
    // Between the grown section and the shifted ones: zeros.
    const std::uint64_t written = start + now.SizeOfRawData;
    if (written > c.tail.new_start.value)
      return make_error(Errc::internal_error, "the resource section overlaps what follows");
    b.zeros(c.tail.new_start.value - written);
  }
  b.tail(c.tail);
  // A debug directory whose bytes are shared with the headers is not copied but rewritten;
  // its moved offsets would land on the new headers.
  for (const ImagePlan::Patch& q : plan.patches)
    if (!b.copied(q.offset, q.data.size()))
      return make_error(Errc::not_supported,
                        "the debug directory lies in bytes the rewrite replaces");
  // The file itself may pass 4 GiB (an installer's payload): no field holds its size, and
  // every field that points into it was narrowed with a check above.
  return {};
}

// The resource section laid out around the data that stays: the old bytes copied where they
// lay, the directories and the other blobs where the layout put them, zeros between.
Status Rewrite::emit_kept(const Choice& c, EncodedTree tree, ImagePlan& plan) const {
  PieceList b{img_, plan};
  const KeptLayout& k = *c.kept;
  const std::uint64_t start = img_.sections()[*c.rebuilt].PointerToRawData.value;
  // The blocks of the tree that lie as encoded from the section's start (the root, and those
  // that still follow it) are written from the encoded bytes themselves, and any other block
  // from its place in them.
  std::uint64_t leading = 0;
  std::size_t leading_blocks = 0;
  for (const KeptSegment& s : k.segments) {
    if (s.kind == KeptSegment::Kind::blob || s.kind == KeptSegment::Kind::old_bytes ||
        s.at != leading || s.from != leading)
      break;
    leading += s.length;
    ++leading_blocks;
  }
  const ByteSpan encoded(tree.before);  // stays where it is when the piece takes the buffer
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < k.segments.size(); ++i) {
    const KeptSegment& s = k.segments[i];
    if (i > 0 && i < leading_blocks) continue;  // written with the root
    if (s.at < at) return make_error(Errc::internal_error, "the kept layout overlaps itself");
    b.zeros(s.at - at);
    at = s.at + s.length;
    if (s.kind == KeptSegment::Kind::old_bytes) {
      b.copy(start + s.at, start + at);
      continue;
    }
    if (s.kind != KeptSegment::Kind::blob) {
      // A block of the tree, or part of one, from where it follows the root in the encoded bytes.
      if (!fits(s.from, s.length, encoded.size()))
        return make_error(Errc::internal_error, "the tree does not match its layout");
      if (i == 0 && leading_blocks != 0) {
        at = leading;
        b.holding(std::move(tree.before), static_cast<std::size_t>(leading));
      } else {
        b.borrowed(
            encoded.subspan(static_cast<std::size_t>(s.from), static_cast<std::size_t>(s.length)));
      }
      continue;
    }
    const ResourceData& d =
        std::next(set_.begin(), static_cast<std::ptrdiff_t>(s.resource))->second;
    // A large resource held in memory is written from the editor's copy where the caller
    // keeps the editor alive and unchanged while the plan is written.
    if (const auto* held = std::get_if<Bytes>(&d.bytes);
        held != nullptr && borrow_ && held->size() >= kBorrowFrom) {
      b.borrowed(ByteSpan(*held));
      continue;
    }
    const auto* e = std::get_if<FileExtent>(&d.bytes);
    if (e != nullptr && e->file_len == e->size) {
      b.copy(e->offset.value, e->offset.value + e->size);
      continue;
    }
    auto bytes = d.load(src_);
    if (!bytes) return std::move(bytes).error();
    b.literal(std::move(bytes).value());
  }
  if (at != k.used_end)
    return make_error(Errc::internal_error, "the kept layout does not end where measured");
  return {};
}

}  // namespace placement

Result<ImagePlan> plan_image(const PeImage& image, const ByteSource& src,
                             const ResourceSet& resources, std::uint64_t block_size, bool borrow) {
  auto measured = measure_tree(resources, placement::kKeepBlobsFrom);
  if (!measured) return std::move(measured).error();
  const TreeLayout layout = measured.value();
  const placement::Planner planner(image, src, resources, layout, block_size);
  const placement::Rewrite rewrite(image, src, resources, borrow);

  auto choice = planner.choose();
  if (!choice) return std::move(choice).error();
  placement::Choice& c = *choice;
  ImagePlan plan;
  plan.placement = c.rule;
  std::vector<DataDirectory> dirs = image.directories();
  if (Status s = rewrite.move_references(c, dirs, plan); !s) return std::move(s).error();

  // The new tree, at the address it will live at.
  EncodedTree tree;
  if (c.kept) {
    auto directory = encode_directory(resources, layout, c.base, c.kept->rvas, c.kept->bias);
    if (!directory) return std::move(directory).error();
    tree.before = std::move(directory).value();
    auto used = placement::narrow32(c.kept->used_end);
    if (!used) return std::move(used).error();
    dirs[kDirResource] = DataDirectory{c.base.value, *used};
  } else if (c.writes_tree) {
    auto encoded = encode_tree_around_kept(resources, layout, c.base, src, borrow);
    if (!encoded) return std::move(encoded).error();
    tree = std::move(encoded).value();
    dirs[kDirResource] = DataDirectory{c.base.value, static_cast<std::uint32_t>(layout.total_size)};
  }
  auto headers = rewrite.headers(c, dirs, plan);
  if (!headers) return std::move(headers).error();
  Status emitted = rewrite.emit(c, std::move(headers).value(), std::move(tree), layout, plan);
  if (!emitted) return std::move(emitted).error();
  return plan;
}

}  // namespace resupdate
