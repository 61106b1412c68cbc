// Strict decoding of an image's resource tree: every range checked, loops and shared subtrees
// refused.
#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <span>
#include <vector>

#include "hex.h"
#include "resupdate/resource_tree.h"
#include "tree_format.h"
#include "tree_region.h"

#if defined(__linux__) && !defined(TARVISK_PORTABLE_POSIX)
#include <sys/mman.h>
#endif

namespace resupdate {

namespace {

using detail::hex;

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
    for (std::size_t i =
             static_cast<std::size_t>((std::uint64_t{off} * 0x9E3779B97F4A7C15ULL) >> shift_);
         ; i = (i + 1) & mask) {
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
  ReachedOffsets visited;                    // directories and data entries already reached
  std::uint64_t entry_budget;                // no more entries than the region can hold apart
  const ResourceVisitor* visit = nullptr;    // when set, takes each resource instead of `out`
  std::size_t section_hint = 0;              // the section the last blob was found in
  ResourceId language_{};                    // the language entry being read
  bool ascending = true;                     // each key in `out` came after the one before

  // Reads an entry's name field into `id`, in place: most are integers, which need nothing more.
  Status read_id(std::uint32_t name_field, bool allow_name, ResourceId& id) {
    if ((name_field & kHighBit) == 0) {
      if (name_field > 0xffff)
        return bad_tree("integer identifier " + hex(name_field) + " does not fit 16 bits");
      id.named = false;
      id.id = static_cast<std::uint16_t>(name_field);
      id.name.clear();
      return {};
    }
    if (!allow_name) return bad_tree("named entry where only integers are allowed");
    const std::uint32_t at = name_field & ~kHighBit;
    std::uint16_t len = 0;
    if (!region.u16(at, len))
      return bad_tree("resource name at " + hex(at) + " runs past the resource section");
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
    return bad_tree(std::string(what) + " at " + hex(off) +
                    " is reached twice (a loop or a shared subtree)");
  }

  // level 0: types, 1: names, 2: languages.
  Status directory(std::uint32_t off, int level, ResourceKey& key) {
    if (!visited.insert(static_cast<std::size_t>(level), off))
      return reached_twice("directory", off);
    std::uint16_t named = 0;
    std::uint16_t ids = 0;
    if (!region.u16(off + rsrc::kNumberOfNamedEntries, named) ||
        !region.u16(off + rsrc::kNumberOfIdEntries, ids))
      return bad_tree("directory at " + hex(off) + " runs past the resource section");
    const std::uint64_t count = std::uint64_t{named} + ids;
    if (!fits(std::uint64_t{off} + kDirHeaderSize, count * kDirEntrySize, region.length()))
      return bad_tree("directory at " + hex(off) +
                      " has more entries than the resource section holds");
    if (count > entry_budget)
      return bad_tree("directories hold more entries than the resource section can");
    entry_budget -= count;
    for (std::uint64_t i = 0; i < count; ++i) {
      const auto at = static_cast<std::uint32_t>(off + kDirHeaderSize + i * kDirEntrySize);
      std::array<std::uint32_t, 2> fields{};  // the name and the offset
      if (!region.u32s(at, fields))
        return bad_tree("entry at " + hex(at) + " runs past the resource section");
      const std::uint32_t name_field = fields[rsrc::kEntryName / 4];
      const std::uint32_t target = fields[rsrc::kEntryOffset / 4];
      const bool is_named = (name_field & kHighBit) != 0;
      if (is_named != (i < named))
        return bad_tree("entry at " + hex(at) +
                        " is not in the named or integer part its directory counts");
      ResourceId& id = level == 0 ? key.type : level == 1 ? key.name : language_;
      if (Status s = read_id(name_field, level < 2, id); !s) return s;
      const bool is_dir = (target & kHighBit) != 0;
      const std::uint32_t child = target & ~kHighBit;
      if (level < 2) {
        if (!is_dir)
          return bad_tree("data entry at level " + std::to_string(level + 1) + " (entry at " +
                          hex(at) + ")");
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
    const auto from =
        (reinterpret_cast<std::uintptr_t>(out.data() + out.size()) + kPage - 1) & ~(kPage - 1);
    const auto to = reinterpret_cast<std::uintptr_t>(out.data() + out.size() + n) & ~(kPage - 1);
    if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#endif
  }

  Status data_entry(std::uint32_t off, const ResourceKey& key) {
    if (!visited.insert(3, off)) return reached_twice("data entry", off);
    if (!fits(off, kDataEntrySize, region.length()))
      return bad_tree("data entry at " + hex(off) + " runs past the resource section");
    std::array<std::uint32_t, 3> fields{};  // the address, the size and the code page
    if (!region.u32s(off, fields))
      return bad_tree("data entry at " + hex(off) + " runs past the resource section");
    const std::uint32_t rva = fields[rsrc::kDataOffsetToData / 4];
    const std::uint32_t size = fields[rsrc::kDataSize / 4];
    const std::uint32_t cp = fields[rsrc::kDataCodePage / 4];
    const auto extent = image.find(Rva{rva}, size, section_hint);
    if (!extent)
      return bad_tree("resource data at rva " + hex(rva) + " of size " + hex(size) +
                      " lies in no section");
    if (visit != nullptr) return (*visit)(key, ResourceData{*extent, cp});
    // Checked while the last entry is still at hand, not in another pass over the whole set.
    if (ascending && !out.empty() && !ResourceKeyLess{}(out.back().first, key)) ascending = false;
    out.emplace_back(key, ResourceData{*extent, cp});
    if (out.size() % kFaultBatch == 0) fault_in_ahead();
    return {};
  }
};

// Walks the tree that data directory 2 points to with every check, collecting its resources in
// `out` or handing each to `visit`. An image without one has nothing to walk.
Status walk_tree(const PeImage& image, const ByteSource& src, const ResourceVisitor* visit,
                 std::vector<ResourceSet::value_type>& out, bool& ascending) {
  const DataDirectory dir = image.directory(kDirResource);
  if (dir.VirtualAddress == 0) return {};
  const auto index = image.section_of(Rva{dir.VirtualAddress}, kDirHeaderSize);
  if (!index)
    return bad_tree("resource directory at rva " + hex(dir.VirtualAddress) + " lies in no section");
  const SectionHeader& s = image.sections()[*index];
  const std::uint64_t extent = image.extent(s);
  const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(
      extent - (dir.VirtualAddress - s.VirtualAddress.value), 0xffffffffULL));
  auto mapped = image.map(Rva{dir.VirtualAddress}, length);
  if (!mapped) return std::move(mapped).error();

  Decoder d{image,
            TreeRegion(src, mapped->offset.value, mapped->file_len, length),
            {},
            {},
            length / kDirEntrySize,
            visit};
  if (visit == nullptr) {
    // Room for as many resources as the file-backed bytes could describe (each needs an entry and
    // a data entry of its own there), up to a bound: never written beyond what the walk finds, the
    // rest takes no memory, and the array is not copied as it fills.
    constexpr std::uint64_t kMaxReserved = 1U << 18;
    d.out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
        mapped->file_len / (kDirEntrySize + kDataEntrySize), kMaxReserved)));
    d.fault_in_ahead();
  }
  ResourceKey key;
  if (Status st = d.directory(0, 0, key); !st) return st;
  out = std::move(d.out);
  ascending = d.ascending;
  return {};
}

}  // namespace

// Takes entries found strictly ascending as they are, without sorting or checking them again.
struct ResourceSetAccess {
  static ResourceSet adopt(std::vector<ResourceSet::value_type> entries) {
    ResourceSet set;
    set.items_ = std::move(entries);
    return set;
  }
};

Result<ResourceSet> decode_resources(const PeImage& image, const ByteSource& src) {
  std::vector<ResourceSet::value_type> out;
  bool ascending = true;
  if (Status st = walk_tree(image, src, nullptr, out, ascending); !st) return std::move(st).error();
  if (!ascending) return ResourceSet::from_entries(std::move(out));
  return ResourceSetAccess::adopt(std::move(out));
}

Status visit_resources(const PeImage& image, const ByteSource& src, const ResourceVisitor& visit) {
  std::vector<ResourceSet::value_type> none;
  bool ascending = true;
  return walk_tree(image, src, &visit, none, ascending);
}

}  // namespace resupdate
