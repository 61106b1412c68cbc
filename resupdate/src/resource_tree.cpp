// Strict decoding of an image's resource tree and its encoding in the loader's layout.
#include "resupdate/resource_tree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "hex.h"

#if defined(__linux__) && !defined(TARVISK_PORTABLE_POSIX)
#include <sys/mman.h>
#endif

namespace resupdate {

namespace {

using rsrc::kDataEntrySize;
constexpr std::uint32_t kDirHeaderSize = rsrc::kDirectorySize;
constexpr std::uint32_t kDirEntrySize = rsrc::kEntrySize;
constexpr std::uint32_t kHighBit = 0x80000000U;
constexpr std::uint32_t kBlobAlignment = 8;
constexpr std::uint32_t kMaxTreeSize = 0x7fffffffU;  // offsets inside the tree keep the high bit for flags

using detail::hex;

Error bad_tree(std::string detail) { return make_error(Errc::invalid_data, std::move(detail)); }

// The resource directory's bytes as the loader maps them: file-backed for `backed` bytes, then
// zeros up to `length`. A source that holds them in memory is read in place. Otherwise they are
// read as first used, in chunks of 64 KiB kept for the walk, so blobs never enter memory here
// beyond the chunks the tree shares with them; past a bound, further reads go page by page.
class TreeRegion {
 public:
  TreeRegion(const ByteSource& src, std::uint64_t file_offset, std::uint32_t backed, std::uint32_t length)
      : src_(src), file_offset_(file_offset), backed_(backed), length_(length), in_place_(src.view(file_offset)) {
    in_place_ = in_place_.first(std::min<std::size_t>(in_place_.size(), backed));
    if (in_place_.size() < backed) chunk_at_.assign(static_cast<std::size_t>((std::uint64_t{backed} + kChunk - 1) / kChunk), nullptr);
  }

  [[nodiscard]] std::uint32_t length() const noexcept { return length_; }

  [[nodiscard]] Status read(std::uint32_t off, std::span<std::uint8_t> out) {
    if (!fits(off, out.size(), length_)) return bad_tree("read at " + hex(off) + " past the resource section");
    const std::uint64_t end = std::uint64_t{off} + out.size();
    const std::uint64_t file_end = std::max<std::uint64_t>(off, std::min<std::uint64_t>(end, backed_));
    for (std::uint64_t pos = off; pos < file_end;) {
      auto got = bytes_at(static_cast<std::uint32_t>(pos));
      if (!got) return std::move(got).error();
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(got->size(), file_end - pos));
      std::copy_n(got->data(), n, out.begin() + static_cast<std::ptrdiff_t>(pos - off));
      pos += n;
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(file_end - off), out.end(), std::uint8_t{0});
    return {};
  }

  // Little-endian fields; false when they lie past the region or cannot be read.
  [[nodiscard]] bool u32(std::uint32_t off, std::uint32_t& v) {
    std::uint8_t b[4];
    return field(off, b) && ByteReader(b).u32(0, v);
  }
  [[nodiscard]] bool u16(std::uint32_t off, std::uint16_t& v) {
    std::uint8_t b[2];
    return field(off, b) && ByteReader(b).u16(0, v);
  }
  // `N` fields of 32 bits in a row from `off`: from one place where they are held together.
  template <std::size_t N>
  [[nodiscard]] bool u32s(std::uint32_t off, std::array<std::uint32_t, N>& v) {
    if (const std::uint8_t* p = held(off, 4 * N)) {
      const ByteReader fields(ByteSpan(p, 4 * N));
      for (std::size_t i = 0; i < N; ++i) (void)fields.u32(4 * i, v[i]);
      return true;
    }
    for (std::size_t i = 0; i < N; ++i)
      if (!u32(static_cast<std::uint32_t>(off + 4 * i), v[i])) return false;
    return true;
  }

 private:
  static constexpr std::uint32_t kChunk = 64U << 10;
  static constexpr std::uint64_t kPage = 4096;
  static constexpr std::uint64_t kMaxChunkBytes = 32ULL << 20;

  // Bytes [off, off + n) where they are already held together, or null.
  [[nodiscard]] const std::uint8_t* held(std::uint32_t off, std::uint32_t n) const noexcept {
    if (fits(off, n, in_place_.size())) return in_place_.data() + off;
    if (fits(off, n, backed_) && off % kChunk + n <= kChunk) {
      const std::uint8_t* c = chunk_at_[off / kChunk];
      return c != nullptr ? c + off % kChunk : nullptr;
    }
    return nullptr;
  }

  template <std::size_t N>
  [[nodiscard]] bool field(std::uint32_t off, std::uint8_t (&b)[N]) {
    if (const std::uint8_t* p = held(off, N)) {
      std::copy_n(p, N, b);
      return true;
    }
    return read(off, std::span<std::uint8_t>(b, N)).ok();
  }

  // The file-backed bytes from `off` (below backed_) to the end of what is held with them.
  Result<ByteSpan> bytes_at(std::uint32_t off) {
    if (off < in_place_.size()) return in_place_.subspan(off);
    const std::uint32_t first = off / kChunk * kChunk;
    const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, backed_ - first));
    const std::uint8_t*& at = chunk_at_[off / kChunk];
    in_place_ = {};  // a read may move what the source holds
    if (at == nullptr && held_bytes_ + kChunk <= kMaxChunkBytes) {
      held_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(len));  // the read fills it
      held_bytes_ += kChunk;
      if (Status s = src_.read(file_offset_ + first, std::span<std::uint8_t>(held_.back().get(), len)); !s)
        return std::move(s).error();
      at = held_.back().get();
    }
    if (at != nullptr) return ByteSpan(at + (off - first), len - (off - first));
    // Past the bound: the page alone.
    const std::uint64_t page = off / kPage;
    auto it = pages_.find(page);
    if (it == pages_.end()) {
      Bytes buf(static_cast<std::size_t>(std::min<std::uint64_t>(kPage, backed_ - page * kPage)));
      if (Status s = src_.read(file_offset_ + page * kPage, buf); !s) return std::move(s).error();
      it = pages_.emplace(page, std::move(buf)).first;
    }
    return ByteSpan(it->second).subspan(static_cast<std::size_t>(off - page * kPage));
  }

  const ByteSource& src_;
  std::uint64_t file_offset_;
  std::uint32_t backed_;
  std::uint32_t length_;
  ByteSpan in_place_;                          // what the source holds in memory from the start
  std::vector<const std::uint8_t*> chunk_at_;  // each chunk's bytes once read, by chunk number
  std::vector<std::unique_ptr<std::uint8_t[]>> held_;  // the chunks read
  std::uint64_t held_bytes_ = 0;
  std::unordered_map<std::uint64_t, Bytes> pages_;
};

// The directories and data entries already reached, in one flat open-addressed table: a tree of
// 50,000 resources reaches some 100,000 of them, and a node-based set spent more time
// allocating and freeing its nodes than the walk itself took.
class OffsetSet {
 public:
  // False when `off` was already in the set.
  bool insert(std::uint32_t off) {
    if ((count_ + 1) * 4 > slots_.size() * 3) grow();
    return place(off);
  }

 private:
  // Offsets come from 31-bit fields (the high bit marks a directory): none is all ones.
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};

  bool place(std::uint32_t off) {
    const std::size_t mask = slots_.size() - 1;
    // The product's top bits: offsets are multiples of 8 or 16, which its low bits would keep.
    for (std::size_t i = static_cast<std::size_t>((std::uint64_t{off} * 0x9E3779B97F4A7C15ULL) >> shift_);; i = (i + 1) & mask) {
      if (slots_[i] == off) return false;
      if (slots_[i] == kEmpty) {
        slots_[i] = off;
        ++count_;
        return true;
      }
    }
  }
  void grow() {
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(64, old.size() * 2), kEmpty);
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
    count_ = 0;
    for (std::uint32_t v : old)
      if (v != kEmpty) (void)place(v);
  }

  std::vector<std::uint32_t> slots_;
  std::size_t count_ = 0;
  unsigned shift_ = 64;
};

// The directories and data entries already reached, by kind (a directory level, or data
// entries). A tree as resource compilers lay it out reaches each kind's records in ascending
// order, so each kind is kept as an ascending array: an offset past its kind's last is new
// unless another kind's array holds it. The first offset out of order moves every one into the
// table above, which takes them in any order.
class ReachedOffsets {
 public:
  static constexpr std::size_t kKinds = 4;

  // False when `off` was already reached, as any kind.
  bool insert(std::size_t kind, std::uint32_t off) {
    if (!table_) {
      std::vector<std::uint32_t>& mine = sorted_[kind];
      if (mine.empty() || off > mine.back()) {
        for (std::size_t k = 0; k < kKinds; ++k) {
          const std::vector<std::uint32_t>& other = sorted_[k];
          if (k != kind && !other.empty() && off >= other.front() && off <= other.back() &&
              std::binary_search(other.begin(), other.end(), off))
            return false;
        }
        mine.push_back(off);
        return true;
      }
      table_.emplace();
      for (std::vector<std::uint32_t>& v : sorted_) {
        for (const std::uint32_t seen : v) (void)table_->insert(seen);
        v = {};
      }
    }
    return table_->insert(off);
  }

 private:
  std::array<std::vector<std::uint32_t>, kKinds> sorted_;
  std::optional<OffsetSet> table_;
};

struct Decoder {
  const PeImage& image;
  TreeRegion region;
  std::vector<ResourceSet::value_type> out;  // tree order; sorted and checked at the end
  ReachedOffsets visited;  // directories and data entries already reached
  std::uint64_t entry_budget;                 // no more entries than the region can hold apart
  const ResourceVisitor* visit = nullptr;     // when set, takes each resource instead of `out`
  std::size_t section_hint = 0;               // the section the last blob was found in
  ResourceId language_{};                     // the language entry being read
  bool ascending = true;                      // each key in `out` came after the one before

  // Reads an entry's name field into `id`, in place: most are integers, which need nothing more.
  Status read_id(std::uint32_t name_field, bool allow_name, ResourceId& id) {
    if ((name_field & kHighBit) == 0) {
      if (name_field > 0xffff) return bad_tree("integer identifier " + hex(name_field) + " does not fit 16 bits");
      id.named = false;
      id.id = static_cast<std::uint16_t>(name_field);
      id.name.clear();
      return {};
    }
    if (!allow_name) return bad_tree("named entry where only integers are allowed");
    const std::uint32_t at = name_field & ~kHighBit;
    std::uint16_t len = 0;
    if (!region.u16(at, len)) return bad_tree("resource name at " + hex(at) + " runs past the resource section");
    const std::uint64_t bytes = std::uint64_t{len} * 2;
    if (!fits(std::uint64_t{at} + 2, bytes, region.length()))
      return bad_tree("resource name at " + hex(at) + " runs past the resource section");
    Bytes raw(static_cast<std::size_t>(bytes));
    if (Status s = region.read(at + 2, raw); !s) return s;
    std::u16string name(len, u'\0');
    const ByteReader units(raw);
    for (std::size_t i = 0; i < name.size(); ++i) {
      std::uint16_t unit = 0;
      (void)units.u16(2 * i, unit);
      name[i] = static_cast<char16_t>(unit);
    }
    id = ResourceId::string(std::move(name));
    return {};
  }

  static Error reached_twice(const char* what, std::uint32_t off) {
    return bad_tree(std::string(what) + " at " + hex(off) + " is reached twice (a loop or a shared subtree)");
  }

  // level 0: types, 1: names, 2: languages.
  Status directory(std::uint32_t off, int level, ResourceKey& key) {
    if (!visited.insert(static_cast<std::size_t>(level), off)) return reached_twice("directory", off);
    std::uint16_t named = 0;
    std::uint16_t ids = 0;
    if (!region.u16(off + rsrc::kNumberOfNamedEntries, named) || !region.u16(off + rsrc::kNumberOfIdEntries, ids))
      return bad_tree("directory at " + hex(off) + " runs past the resource section");
    const std::uint64_t count = std::uint64_t{named} + ids;
    if (!fits(std::uint64_t{off} + kDirHeaderSize, count * kDirEntrySize, region.length()))
      return bad_tree("directory at " + hex(off) + " has more entries than the resource section holds");
    if (count > entry_budget) return bad_tree("directories hold more entries than the resource section can");
    entry_budget -= count;
    for (std::uint64_t i = 0; i < count; ++i) {
      const auto at = static_cast<std::uint32_t>(off + kDirHeaderSize + i * kDirEntrySize);
      std::array<std::uint32_t, 2> fields{};  // the name and the offset
      if (!region.u32s(at, fields)) return bad_tree("entry at " + hex(at) + " runs past the resource section");
      const std::uint32_t name_field = fields[rsrc::kEntryName / 4];
      const std::uint32_t target = fields[rsrc::kEntryOffset / 4];
      const bool is_named = (name_field & kHighBit) != 0;
      if (is_named != (i < named)) return bad_tree("entry at " + hex(at) + " is not in the named or integer part its directory counts");
      ResourceId& id = level == 0 ? key.type : level == 1 ? key.name : language_;
      if (Status s = read_id(name_field, level < 2, id); !s) return s;
      const bool is_dir = (target & kHighBit) != 0;
      const std::uint32_t child = target & ~kHighBit;
      if (level < 2) {
        if (!is_dir) return bad_tree("data entry at level " + std::to_string(level + 1) + " (entry at " + hex(at) + ")");
        if (Status s = directory(child, level + 1, key); !s) return s;
      } else {
        if (is_dir) return bad_tree("a fourth directory level at " + hex(child));
        key.language = language_.id;
        if (Status s = data_entry(child, key); !s) return s;
      }
    }
    return {};
  }

  // The set's memory is asked for a batch at a time ahead of the walk, not a page at a time as
  // it is first written: a fault per page cost as much as decoding the entries on it.
  static constexpr std::size_t kFaultBatch = 2048;
  void fault_in_ahead() {
#if defined(__linux__) && !defined(TARVISK_PORTABLE_POSIX) && defined(MADV_POPULATE_WRITE)
    constexpr std::uintptr_t kPage = 4096;
    const std::size_t n = std::min(kFaultBatch, out.capacity() - out.size());
    const auto from = (reinterpret_cast<std::uintptr_t>(out.data() + out.size()) + kPage - 1) & ~(kPage - 1);
    const auto to = reinterpret_cast<std::uintptr_t>(out.data() + out.size() + n) & ~(kPage - 1);
    if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#endif
  }

  Status data_entry(std::uint32_t off, const ResourceKey& key) {
    if (!visited.insert(3, off)) return reached_twice("data entry", off);
    if (!fits(off, kDataEntrySize, region.length())) return bad_tree("data entry at " + hex(off) + " runs past the resource section");
    std::array<std::uint32_t, 3> fields{};  // the address, the size and the code page
    if (!region.u32s(off, fields)) return bad_tree("data entry at " + hex(off) + " runs past the resource section");
    const std::uint32_t rva = fields[rsrc::kDataOffsetToData / 4];
    const std::uint32_t size = fields[rsrc::kDataSize / 4];
    const std::uint32_t cp = fields[rsrc::kDataCodePage / 4];
    const auto extent = image.find(Rva{rva}, size, section_hint);
    if (!extent) return bad_tree("resource data at rva " + hex(rva) + " of size " + hex(size) + " lies in no section");
    if (visit != nullptr) return (*visit)(key, ResourceData{*extent, cp});
    // Checked while the last entry is still at hand, not in another pass over the whole set.
    if (ascending && !out.empty() && !ResourceKeyLess{}(out.back().first, key)) ascending = false;
    out.emplace_back(key, ResourceData{*extent, cp});
    if (out.size() % kFaultBatch == 0) fault_in_ahead();
    return {};
  }
};

// Builds the tree in a buffer laid out before any byte is written.
struct Encoder {
  const ResourceSet& set;
  const TreeLayout& layout;
  Bytes& out;
  std::uint32_t next_dir;
  std::uint32_t next_data_entry;
  std::uint32_t next_string;
  std::uint64_t next_blob;
  // Added to the offsets written into the tree, block by block: each block after the root
  // then lies that far from where it is written, the root alone where it is.
  TreeBias bias;

  bool put16(std::uint64_t at, std::uint16_t v) { return ByteWriter(out).u16(at, v); }
  bool put32(std::uint64_t at, std::uint32_t v) { return ByteWriter(out).u32(at, v); }
  // A record's 32-bit fields in a row, under one bounds check.
  template <std::size_t N>
  bool put32s(std::uint64_t at, const std::array<std::uint32_t, N>& v) {
    if (!fits(at, 4 * N, out.size())) return false;
    std::uint8_t* p = out.data() + at;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p, v.data(), 4 * N);
    } else {
      for (std::size_t i = 0; i < N; ++i) (void)ByteWriter(out).u32(at + 4 * i, v[i]);
    }
    return true;
  }

  bool dir_header(std::uint32_t at, std::uint16_t named, std::uint16_t ids) {
    // Characteristics and TimeDateStamp 0, version 4.0, as resource compilers write them; the
    // 16-bit fields go two to a 32-bit one.
    static_assert(rsrc::kMajorVersion == 8 && rsrc::kNumberOfNamedEntries == 12 && rsrc::kNumberOfIdEntries == 14);
    return put32s<4>(at, {0, 0, 4, named | (std::uint32_t{ids} << 16)});
  }

  bool name_field(const ResourceId& id, std::uint32_t at) {
    if (!id.named) return put32(at, id.id);
    const std::uint32_t s = next_string;
    if (!put16(s, static_cast<std::uint16_t>(id.name.size()))) return false;
    for (std::size_t i = 0; i < id.name.size(); ++i)
      if (!put16(s + 2 + 2 * i, static_cast<std::uint16_t>(id.name[i]))) return false;
    next_string += static_cast<std::uint32_t>(2 + 2 * id.name.size());
    return put32(at, (s + bias.strings) | kHighBit);
  }
};

// Steps through the set once, in order, saying where each type and each name begins: a set of
// many resources outgrows the caches, so whatever a pass needs of each resource it takes then,
// comparing neighbours while both are at hand.
template <class Step>
void in_tree_order(const ResourceSet& set, Step&& step) {
  // Integer identifiers, by far the most common, are compared without their (empty) names.
  auto same = [](const ResourceId& a, const ResourceId& b) {
    return a.named == b.named && a.id == b.id && (!a.named || a.name == b.name);
  };
  const ResourceSet::value_type* prev = nullptr;
  for (const auto& item : set) {
    const bool new_type = prev == nullptr || !same(prev->first.type, item.first.type);
    step(item, new_type, new_type || !same(prev->first.name, item.first.name));
    prev = &item;
  }
}

// Whether all of a resource's bytes lie in the source, 4-byte aligned as the loader expects
// (kept at the same place modulo 8, they stay so), so that they can stay as they lie there.
bool keepable(const ResourceData& d) noexcept {
  const auto* e = std::get_if<FileExtent>(&d.bytes);
  return e != nullptr && e->size != 0 && e->file_len == e->size && e->offset.value % 4 == 0;
}

// The blobs' room, gathered in one pass over the set: laid out anew, and kept where they lie.
struct BlobRoom {
  std::uint64_t laid_out = 0;         // each 8-aligned, in the set's order
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

bool loader_less(const ResourceId& a, const ResourceId& b) noexcept {
  if (a.named != b.named) return a.named;
  if (a.named) return a.name < b.name;
  return a.id < b.id;
}

bool ResourceKeyLess::operator()(const ResourceKey& a, const ResourceKey& b) const noexcept {
  // Most keys are integers throughout: compared at once, without the general order's calls.
  if (!(a.type.named || b.type.named || a.name.named || b.name.named)) {
    if (a.type.id != b.type.id) return a.type.id < b.type.id;
    if (a.name.id != b.name.id) return a.name.id < b.name.id;
    return a.language < b.language;
  }
  if (loader_less(a.type, b.type)) return true;
  if (loader_less(b.type, a.type)) return false;
  if (loader_less(a.name, b.name)) return true;
  if (loader_less(b.name, a.name)) return false;
  return a.language < b.language;
}

Result<ResourceSet> ResourceSet::from_entries(std::vector<value_type> entries) {
  auto less = [](const value_type& a, const value_type& b) { return ResourceKeyLess{}(a.first, b.first); };
  // A sound tree lists its entries in key order already: one pass finds them strictly ascending,
  // and so each key once.
  if (std::adjacent_find(entries.begin(), entries.end(), [&](const value_type& a, const value_type& b) { return !less(a, b); }) !=
      entries.end()) {
    std::sort(entries.begin(), entries.end(), less);
    const auto same = std::adjacent_find(entries.begin(), entries.end(),
                                         [](const value_type& a, const value_type& b) { return a.first == b.first; });
    if (same != entries.end()) return bad_tree("the same resource is listed twice");
  }
  ResourceSet set;
  // Kept at the capacity the walk left: those slots were never written, so they take no memory
  // until used, and the usual edit adds one resource, which would otherwise copy the whole set.
  set.items_ = std::move(entries);
  return set;
}

std::size_t ResourceSet::position(const ResourceKey& key) const noexcept {
  const auto it = std::lower_bound(items_.begin(), items_.end(), key,
                                   [](const value_type& a, const ResourceKey& k) { return ResourceKeyLess{}(a.first, k); });
  return static_cast<std::size_t>(it - items_.begin());
}

bool ResourceSet::holds_at(std::size_t at, const ResourceKey& key) const noexcept {
  return at < items_.size() && items_[at].first == key;
}

ResourceSet::const_iterator ResourceSet::find(const ResourceKey& key) const noexcept {
  const std::size_t at = position(key);
  return holds_at(at, key) ? begin() + static_cast<std::ptrdiff_t>(at) : end();
}

void ResourceSet::make_room() {
  // A set full to its capacity gains an eighth: the usual edit adds one resource, for which
  // doubling the array would hold a second set's worth of memory for the rest of the run.
  if (items_.size() == items_.capacity()) items_.reserve(items_.size() + items_.size() / 8 + 1);
}

bool ResourceSet::insert_or_assign(const ResourceKey& key, ResourceData data) {
  const std::size_t at = position(key);
  if (holds_at(at, key)) {
    items_[at].second = std::move(data);
    return false;
  }
  make_room();
  items_.emplace(items_.begin() + static_cast<std::ptrdiff_t>(at), key, std::move(data));
  return true;
}

bool ResourceSet::emplace(const ResourceKey& key, ResourceData data) {
  const std::size_t at = position(key);
  if (holds_at(at, key)) return false;
  make_room();
  items_.emplace(items_.begin() + static_cast<std::ptrdiff_t>(at), key, std::move(data));
  return true;
}

std::size_t ResourceSet::erase(const ResourceKey& key) {
  const std::size_t at = position(key);
  if (!holds_at(at, key)) return 0;
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(at));
  return 1;
}

ResourceData& ResourceSet::operator[](const ResourceKey& key) {
  const std::size_t at = position(key);
  if (!holds_at(at, key)) {
    make_room();
    items_.emplace(items_.begin() + static_cast<std::ptrdiff_t>(at), key, ResourceData{});
  }
  return items_[at].second;
}

std::uint32_t ResourceData::size() const noexcept {
  if (const auto* b = std::get_if<Bytes>(&bytes)) return static_cast<std::uint32_t>(b->size());
  return std::get<FileExtent>(bytes).size;
}

Result<Bytes> ResourceData::load(const ByteSource& src) const {
  if (const auto* b = std::get_if<Bytes>(&bytes)) return *b;
  const FileExtent& e = std::get<FileExtent>(bytes);
  Bytes out;
  try {
    out.assign(e.size, 0);
  } catch (const std::bad_alloc&) {
    return make_error(Errc::not_enough_memory, "cannot hold a resource in memory");
  }
  if (Status s = src.read(e.offset.value, std::span<std::uint8_t>(out.data(), e.file_len)); !s) return std::move(s).error();
  return out;
}

Status ResourceData::read(const ByteSource& src, std::uint64_t off, std::span<std::uint8_t> out) const {
  if (!fits(off, out.size(), size())) return make_error(Errc::internal_error, "read past the end of a resource");
  if (const auto* b = std::get_if<Bytes>(&bytes)) {
    std::copy_n(b->begin() + static_cast<std::ptrdiff_t>(off), out.size(), out.begin());
    return {};
  }
  // The file holds the first file_len bytes; the rest reads as zeros, as the loader maps it.
  const FileExtent& e = std::get<FileExtent>(bytes);
  const std::uint64_t backed = off < e.file_len ? std::min<std::uint64_t>(out.size(), e.file_len - off) : 0;
  if (backed != 0) {
    if (Status s = src.read(e.offset.value + off, out.first(static_cast<std::size_t>(backed))); !s) return s;
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(backed), out.end(), std::uint8_t{0});
  return {};
}

namespace {

// Walks the tree that data directory 2 points to with every check, collecting its resources in
// `out` or handing each to `visit`. An image without one has nothing to walk.
Status walk_tree(const PeImage& image, const ByteSource& src, const ResourceVisitor* visit,
                 std::vector<ResourceSet::value_type>& out, bool& ascending) {
  const DataDirectory dir = image.directory(kDirResource);
  if (dir.VirtualAddress == 0) return {};
  const auto index = image.section_of(Rva{dir.VirtualAddress}, kDirHeaderSize);
  if (!index) return bad_tree("resource directory at rva " + hex(dir.VirtualAddress) + " lies in no section");
  const SectionHeader& s = image.sections()[*index];
  const std::uint64_t extent = image.extent(s);
  const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(extent - (dir.VirtualAddress - s.VirtualAddress.value), 0xffffffffULL));
  auto mapped = image.map(Rva{dir.VirtualAddress}, length);
  if (!mapped) return std::move(mapped).error();

  Decoder d{image, TreeRegion(src, mapped->offset.value, mapped->file_len, length), {}, {}, length / kDirEntrySize, visit};
  if (visit == nullptr) {
    // Room for as many resources as the file-backed bytes could describe (each needs an entry and
    // a data entry of its own there), up to a bound: never written beyond what the walk finds, the
    // rest takes no memory, and the array is not copied as it fills.
    constexpr std::uint64_t kMaxReserved = 1U << 18;
    d.out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(mapped->file_len / (kDirEntrySize + kDataEntrySize), kMaxReserved)));
    d.fault_in_ahead();
  }
  ResourceKey key;
  if (Status st = d.directory(0, 0, key); !st) return st;
  out = std::move(d.out);
  ascending = d.ascending;
  return {};
}

}  // namespace

Result<ResourceSet> decode_resources(const PeImage& image, const ByteSource& src) {
  std::vector<ResourceSet::value_type> out;
  bool ascending = true;
  if (Status st = walk_tree(image, src, nullptr, out, ascending); !st) return std::move(st).error();
  if (!ascending) return ResourceSet::from_entries(std::move(out));
  ResourceSet set;
  set.items_ = std::move(out);
  return set;
}

Status visit_resources(const PeImage& image, const ByteSource& src, const ResourceVisitor& visit) {
  std::vector<ResourceSet::value_type> none;
  bool ascending = true;
  return walk_tree(image, src, &visit, none, ascending);
}

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
  auto end_type = [&] { refuse(too_many(name_counts[0]) || too_many(name_counts[1]), "too many names under one type"); };
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
  if (data_at > kMaxTreeSize || total > 0xffffffffULL) return make_error(Errc::file_too_large, "the resources would exceed 4 GiB");
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

namespace {

// The large in-memory blobs, at the places the encoder below gives them: laid out anew, in
// tree order, each 8-aligned, from the end of the kept ones (or the start of the data).
std::vector<BorrowedBlob> borrowed_blobs(const ResourceSet& set, const TreeLayout& layout, bool keeps,
                                         std::uint64_t kept_end) {
  std::vector<BorrowedBlob> borrowed;
  std::uint64_t next = keeps ? kept_end : layout.data_offset;
  in_tree_order(set, [&](const ResourceSet::value_type& item, bool, bool) {
    if (keeps && keepable(item.second)) return;
    next = align_up(next, kBlobAlignment);
    const auto* b = std::get_if<Bytes>(&item.second.bytes);
    if (b != nullptr && b->size() >= kBorrowFrom) borrowed.push_back(BorrowedBlob{next, ByteSpan(*b)});
    next += item.second.size();
  });
  return borrowed;
}

// The section in one buffer, or in two around the kept blobs when `leave_out_kept`; with
// `borrow`, less the large in-memory blobs as well. Given `placed`, the blobs' addresses, only
// the directories, data entries and strings are written.
Result<EncodedTree> encode(const ResourceSet& set, const TreeLayout& layout, Rva base, const ByteSource& src,
                           bool leave_out_kept, bool borrow, const std::vector<std::uint32_t>* placed = nullptr,
                           TreeBias bias = {}) {
  const bool head_only = placed != nullptr;
  if (head_only && placed->size() != set.size()) return make_error(Errc::internal_error, "a blob without its address");
  if (std::uint64_t{base.value} + (head_only ? layout.data_offset : layout.total_size) > 0xffffffffULL)
    return make_error(Errc::file_too_large, "the resources would run past the 4 GiB address space");
  const std::uint64_t kept_end = std::uint64_t{layout.kept_offset} + layout.kept_length;
  const bool keeps = !head_only && layout.kept_length != 0;
  if (keeps && (layout.kept_offset < layout.data_offset || kept_end > layout.total_size))
    return make_error(Errc::internal_error, "the kept blobs lie outside the tree's layout");
  const bool split = keeps && leave_out_kept;
  EncodedTree parts;
  std::uint64_t left_out = 0;
  try {
    if (borrow && leave_out_kept && !head_only) parts.borrowed = borrowed_blobs(set, layout, keeps, kept_end);
    for (const BorrowedBlob& b : parts.borrowed) left_out += b.bytes.size();
    // Every borrowed blob lies after the kept ones, so in `after` when there are kept ones.
    const std::uint64_t before_size = head_only ? layout.data_offset
                                      : split   ? layout.kept_offset
                                                : layout.total_size - left_out;
    parts.before.assign(static_cast<std::size_t>(before_size), 0);
    if (split) parts.after.assign(static_cast<std::size_t>(layout.total_size - kept_end - left_out), 0);
  } catch (const std::bad_alloc&) {
    return make_error(Errc::not_enough_memory, "cannot hold the new resource section in memory");
  }
  Bytes& out = parts.before;
  if (keeps && !split) {
    std::span<std::uint8_t> kept(out.data() + layout.kept_offset, static_cast<std::size_t>(layout.kept_length));
    if (Status s = src.read(layout.kept_from, kept); !s) return std::move(s).error();
  }
  // Blobs come in section order: `skipped` counts the borrowed bytes before the current one,
  // which its buffer does not hold.
  std::size_t next_borrowed = 0;
  std::uint64_t skipped = 0;
  auto borrowed_here = [&](std::uint64_t at, const Bytes* b) {
    while (next_borrowed < parts.borrowed.size() && parts.borrowed[next_borrowed].at < at)
      skipped += parts.borrowed[next_borrowed++].bytes.size();
    return b != nullptr && next_borrowed < parts.borrowed.size() && parts.borrowed[next_borrowed].at == at &&
           parts.borrowed[next_borrowed].bytes.data() == b->data();
  };
  // Where a blob of `n` bytes at `at` in the section goes; null when the layout has no room there.
  auto blob_at = [&](std::uint64_t at, std::uint64_t n) -> std::uint8_t* {
    if (split && at >= kept_end)
      return fits(at - kept_end - skipped, n, parts.after.size()) ? parts.after.data() + (at - kept_end - skipped) : nullptr;
    if (at < skipped) return nullptr;
    return fits(at - skipped, n, out.size()) && (!split || at + n <= layout.kept_offset) ? out.data() + (at - skipped) : nullptr;
  };
  Encoder e{set, layout, out, 0, layout.data_entries_offset, layout.strings_offset, keeps ? kept_end : layout.data_offset, bias};
  const ReadAheadSource blobs(src);  // the old blobs mostly lie in tree order: read them in runs

  // Directory positions: root, then all name directories, then all language directories.
  const std::uint64_t root_size = root_directory_size(layout);
  const std::uint64_t name_dirs_end = root_size + kDirHeaderSize * std::uint64_t{layout.types} + kDirEntrySize * std::uint64_t{layout.names};
  std::uint64_t name_dir_at = root_size;
  std::uint64_t lang_dir_at = name_dirs_end;
  std::uint64_t name_entry = 0;  // the next entry of the name directory being written
  std::uint64_t lang_entry = 0;  // and of the language directory
  std::uint16_t root_counts[2] = {0, 0};  // integer and named entries
  std::uint16_t name_counts[2] = {0, 0};
  std::uint16_t languages = 0;
  std::uint64_t root_entry = kDirHeaderSize;
  // Strings go in directory order: every type name, then every name at the name level, which
  // are written once all type names are.
  std::vector<std::pair<std::uint32_t, const ResourceId*>> named_names;
  bool ok = true;
  Status failed;
  std::size_t index = 0;  // of the resource being written, in the set's order
  auto close_name = [&] {
    ok = ok && e.dir_header(static_cast<std::uint32_t>(lang_dir_at), 0, languages);
    lang_dir_at = lang_entry;
  };
  auto close_type = [&] {
    ok = ok && e.dir_header(static_cast<std::uint32_t>(name_dir_at), name_counts[1], name_counts[0]);
    name_dir_at = name_entry;
  };
  in_tree_order(set, [&](const ResourceSet::value_type& item, bool new_type, bool new_name) {
    if (!ok || !failed) return;
    if (new_name && name_entry != 0) close_name();
    if (new_type && name_entry != 0) close_type();
    if (new_type) {
      const ResourceId& type = item.first.type;
      ok = ok && e.name_field(type, static_cast<std::uint32_t>(root_entry));
      ok = ok && e.put32(root_entry + rsrc::kEntryOffset, static_cast<std::uint32_t>(name_dir_at + bias.directories) | kHighBit);
      root_counts[type.named ? 1 : 0] += 1;
      root_entry += kDirEntrySize;
      name_entry = name_dir_at + kDirHeaderSize;
      name_counts[0] = name_counts[1] = 0;
    }
    if (new_name) {
      const ResourceId& name = item.first.name;
      name_counts[name.named ? 1 : 0] += 1;
      if (name.named) named_names.emplace_back(static_cast<std::uint32_t>(name_entry), &name);
      else ok = ok && e.put32(name_entry, name.id);
      ok = ok && e.put32(name_entry + rsrc::kEntryOffset, static_cast<std::uint32_t>(lang_dir_at + bias.directories) | kHighBit);
      name_entry += kDirEntrySize;
      lang_entry = lang_dir_at + kDirHeaderSize;
      languages = 0;
    }
    static_assert(rsrc::kEntryName == 0 && rsrc::kEntryOffset == 4);
    const bool rest = e.next_data_entry - layout.data_entries_offset >= bias.rest_from;
    ok = ok && e.put32s<2>(lang_entry, {item.first.language, e.next_data_entry + (rest ? bias.rest_entries : bias.data_entries)});
    const std::uint32_t size = item.second.size();
    const bool kept = keeps && keepable(item.second);
    std::uint64_t at = 0;
    if (head_only) {
      static_assert(rsrc::kDataOffsetToData == 0 && rsrc::kDataSize == 4 && rsrc::kDataCodePage == 8 && rsrc::kDataReserved == 12);
      ok = ok && e.put32s<4>(e.next_data_entry, {(*placed)[index++], size, item.second.code_page, 0});
      e.next_data_entry += kDataEntrySize;
      lang_entry += kDirEntrySize;
      ++languages;
      return;
    }
    if (kept) {
      const FileExtent& fe = std::get<FileExtent>(item.second.bytes);
      if (fe.offset.value < layout.kept_from || fe.offset.value - layout.kept_from + size > layout.kept_length) {
        failed = make_error(Errc::internal_error, "a kept blob lies outside the kept bytes");
        return;
      }
      at = layout.kept_offset + (fe.offset.value - layout.kept_from);
    } else {
      at = e.next_blob = align_up(e.next_blob, kBlobAlignment);
    }
    static_assert(rsrc::kDataOffsetToData == 0 && rsrc::kDataSize == 4 && rsrc::kDataCodePage == 8 && rsrc::kDataReserved == 12);
    ok = ok && e.put32s<4>(e.next_data_entry, {static_cast<std::uint32_t>(base.value + at), size, item.second.code_page, 0});
    if (!ok) return;
    if (!kept && borrowed_here(at, std::get_if<Bytes>(&item.second.bytes))) {
      e.next_blob += size;
    } else if (!kept) {
      std::uint8_t* dst = blob_at(at, size);
      if (dst == nullptr) {
        failed = make_error(Errc::internal_error, "a blob lies outside the tree's layout");
        return;
      }
      if (const auto* b = std::get_if<Bytes>(&item.second.bytes)) {
        std::copy(b->begin(), b->end(), dst);
      } else {
        const FileExtent& fe = std::get<FileExtent>(item.second.bytes);
        if (Status read = blobs.read(fe.offset.value, std::span<std::uint8_t>(dst, fe.file_len)); !read) {
          failed = std::move(read);
          return;
        }
      }
      e.next_blob += size;
    }
    e.next_data_entry += kDataEntrySize;
    lang_entry += kDirEntrySize;
    ++languages;
  });
  if (!failed) return std::move(failed).error();
  if (name_entry != 0) {
    close_name();
    close_type();
  }
  ok = ok && e.dir_header(0, root_counts[1], root_counts[0]);
  for (const auto& [entry, name] : named_names) ok = ok && e.name_field(*name, entry);
  if (!ok || name_dir_at != name_dirs_end || lang_dir_at != layout.data_entries_offset ||
      e.next_data_entry != layout.strings_offset || align_up(e.next_string, 4) > layout.data_offset ||
      (!head_only && e.next_blob != layout.total_size))
    return make_error(Errc::internal_error, "the encoded tree does not match its layout");
  return parts;
}

}  // namespace

Result<Bytes> encode_tree(const ResourceSet& set, const TreeLayout& layout, Rva base, const ByteSource& src) {
  auto parts = encode(set, layout, base, src, false, false);
  if (!parts) return std::move(parts).error();
  return std::move(parts->before);
}

Result<EncodedTree> encode_tree_around_kept(const ResourceSet& set, const TreeLayout& layout, Rva base,
                                            const ByteSource& src, bool borrow) {
  return encode(set, layout, base, src, true, borrow);
}

std::uint64_t root_directory_size(const TreeLayout& layout) noexcept {
  return kDirHeaderSize + kDirEntrySize * std::uint64_t{layout.types};
}

Result<Bytes> encode_directory(const ResourceSet& set, const TreeLayout& layout, Rva base,
                               const std::vector<std::uint32_t>& placed, TreeBias bias) {
  const MemorySource none{ByteSpan{}};
  auto parts = encode(set, layout, base, none, false, false, &placed, bias);
  if (!parts) return std::move(parts).error();
  return std::move(parts->before);
}

std::u16string resource_string_from_narrow(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
  }
  return out;
}

}  // namespace resupdate
