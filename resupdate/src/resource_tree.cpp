// Strict decoding of an image's resource tree and its encoding in the loader's layout.
#include "resupdate/resource_tree.h"

#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <unordered_map>
#include <vector>

#include "hex.h"

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
// zeros up to `length`. Pages are read on first use, so blobs never enter memory here.
class TreeRegion {
 public:
  TreeRegion(const ByteSource& src, std::uint64_t file_offset, std::uint32_t backed, std::uint32_t length)
      : src_(src), file_offset_(file_offset), backed_(backed), length_(length) {}

  [[nodiscard]] std::uint32_t length() const noexcept { return length_; }

  [[nodiscard]] Status read(std::uint32_t off, std::span<std::uint8_t> out) {
    if (const std::uint8_t* b = at_hand(off, out.size()); b != nullptr) {
      std::copy_n(b, out.size(), out.begin());
      return {};
    }
    if (!fits(off, out.size(), length_)) return bad_tree("read at " + hex(off) + " past the resource section");
    std::size_t done = 0;
    while (done < out.size()) {
      const std::uint64_t pos = std::uint64_t{off} + done;
      const std::uint64_t page = pos / kPage;
      const std::uint64_t in_page = pos % kPage;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - done, kPage - in_page));
      auto got = page_bytes(page);
      if (!got) return std::move(got).error();
      std::copy_n(got.value()->begin() + static_cast<std::ptrdiff_t>(in_page), n, out.begin() + static_cast<std::ptrdiff_t>(done));
      done += n;
    }
    return {};
  }

  [[nodiscard]] Result<std::uint32_t> u32(std::uint32_t off) {
    std::uint8_t copy[4];
    const std::uint8_t* b = at_hand(off, 4);
    if (b == nullptr) {
      if (Status s = read(off, copy); !s) return std::move(s).error();
      b = copy;
    }
    std::uint32_t v = 0;
    (void)ByteReader(ByteSpan(b, 4)).u32(0, v);
    return v;
  }
  [[nodiscard]] Result<std::uint16_t> u16(std::uint32_t off) {
    std::uint8_t copy[2];
    const std::uint8_t* b = at_hand(off, 2);
    if (b == nullptr) {
      if (Status s = read(off, copy); !s) return std::move(s).error();
      b = copy;
    }
    std::uint16_t v = 0;
    (void)ByteReader(ByteSpan(b, 2)).u16(0, v);
    return v;
  }

 private:
  static constexpr std::uint64_t kPage = 4096;

  // Nearly every read is a field of an entry in the page the last one came from: that page is
  // at hand without a lookup. Null when [off, off + n) is not wholly in it or in the region.
  // A walk moves through the directories, the data entries and the strings at once: a few
  // such pages are kept at hand.
  [[nodiscard]] const std::uint8_t* at_hand(std::uint32_t off, std::size_t n) const noexcept {
    if (off % kPage + n > kPage || !fits(off, n, length_)) return nullptr;
    for (const Recent& r : recent_)
      if (r.bytes != nullptr && r.page == off / kPage) return r.bytes->data() + off % kPage;
    return nullptr;
  }
  const Bytes* remember(std::uint64_t page, const Bytes* bytes) noexcept {
    recent_[next_recent_] = Recent{page, bytes};
    next_recent_ = (next_recent_ + 1) % recent_.size();
    return bytes;
  }

  Result<const Bytes*> page_bytes(std::uint64_t page) {
    auto it = pages_.find(page);
    if (it != pages_.end()) return remember(page, &it->second);
    Bytes buf(kPage, 0);
    const std::uint64_t start = page * kPage;
    if (start < backed_) {
      const std::uint64_t n = std::min<std::uint64_t>(kPage, backed_ - start);
      if (Status s = src_.read(file_offset_ + start, std::span<std::uint8_t>(buf.data(), static_cast<std::size_t>(n))); !s)
        return std::move(s).error();
    }
    return remember(page, &pages_.emplace(page, std::move(buf)).first->second);
  }

  const ByteSource& src_;
  std::uint64_t file_offset_;
  std::uint32_t backed_;
  std::uint32_t length_;
  std::unordered_map<std::uint64_t, Bytes> pages_;  // its elements stay put as it grows
  struct Recent {
    std::uint64_t page = 0;
    const Bytes* bytes = nullptr;
  };
  std::array<Recent, 4> recent_{};
  std::size_t next_recent_ = 0;
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
    for (std::size_t i = static_cast<std::size_t>((std::uint64_t{off} * 0x9E3779B97F4A7C15ULL) >> 32) & mask;; i = (i + 1) & mask) {
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
    count_ = 0;
    for (std::uint32_t v : old)
      if (v != kEmpty) (void)place(v);
  }

  std::vector<std::uint32_t> slots_;
  std::size_t count_ = 0;
};

struct Decoder {
  const PeImage& image;
  TreeRegion region;
  std::vector<ResourceSet::value_type> out;  // tree order; sorted and checked at the end
  OffsetSet visited;  // directories and data entries already reached
  std::uint64_t entry_budget;                 // no more entries than the region can hold apart
  const ResourceVisitor* visit = nullptr;     // when set, takes each resource instead of `out`

  Result<ResourceId> read_id(std::uint32_t name_field, bool allow_name) {
    if ((name_field & kHighBit) == 0) {
      if (name_field > 0xffff) return bad_tree("integer identifier " + hex(name_field) + " does not fit 16 bits");
      return ResourceId::number(static_cast<std::uint16_t>(name_field));
    }
    if (!allow_name) return bad_tree("named entry where only integers are allowed");
    const std::uint32_t at = name_field & ~kHighBit;
    auto len = region.u16(at);
    if (!len) return bad_tree("resource name at " + hex(at) + " runs past the resource section");
    const std::uint64_t bytes = std::uint64_t{*len} * 2;
    if (!fits(std::uint64_t{at} + 2, bytes, region.length()))
      return bad_tree("resource name at " + hex(at) + " runs past the resource section");
    Bytes raw(static_cast<std::size_t>(bytes));
    if (Status s = region.read(at + 2, raw); !s) return std::move(s).error();
    std::u16string name(*len, u'\0');
    const ByteReader units(raw);
    for (std::size_t i = 0; i < name.size(); ++i) {
      std::uint16_t unit = 0;
      (void)units.u16(2 * i, unit);
      name[i] = static_cast<char16_t>(unit);
    }
    return ResourceId::string(std::move(name));
  }

  Status mark(std::uint32_t off, const char* what) {
    if (!visited.insert(off)) return bad_tree(std::string(what) + " at " + hex(off) + " is reached twice (a loop or a shared subtree)");
    return {};
  }

  // level 0: types, 1: names, 2: languages.
  Status directory(std::uint32_t off, int level, ResourceKey& key) {
    if (Status s = mark(off, "directory"); !s) return s;
    auto named = region.u16(off + rsrc::kNumberOfNamedEntries);
    auto ids = region.u16(off + rsrc::kNumberOfIdEntries);
    if (!named || !ids) return bad_tree("directory at " + hex(off) + " runs past the resource section");
    const std::uint64_t count = std::uint64_t{*named} + *ids;
    if (!fits(std::uint64_t{off} + kDirHeaderSize, count * kDirEntrySize, region.length()))
      return bad_tree("directory at " + hex(off) + " has more entries than the resource section holds");
    if (count > entry_budget) return bad_tree("directories hold more entries than the resource section can");
    entry_budget -= count;
    for (std::uint64_t i = 0; i < count; ++i) {
      const auto at = static_cast<std::uint32_t>(off + kDirHeaderSize + i * kDirEntrySize);
      auto name_field = region.u32(at + rsrc::kEntryName);
      auto target = region.u32(at + rsrc::kEntryOffset);
      if (!name_field || !target) return bad_tree("entry at " + hex(at) + " runs past the resource section");
      const bool is_named = (*name_field & kHighBit) != 0;
      if (is_named != (i < *named)) return bad_tree("entry at " + hex(at) + " is not in the named or integer part its directory counts");
      auto id = read_id(*name_field, level < 2);
      if (!id) return std::move(id).error();
      const bool is_dir = (*target & kHighBit) != 0;
      const std::uint32_t child = *target & ~kHighBit;
      if (level < 2) {
        if (!is_dir) return bad_tree("data entry at level " + std::to_string(level + 1) + " (entry at " + hex(at) + ")");
        (level == 0 ? key.type : key.name) = std::move(id).value();
        if (Status s = directory(child, level + 1, key); !s) return s;
      } else {
        if (is_dir) return bad_tree("a fourth directory level at " + hex(child));
        key.language = id->id;
        if (Status s = data_entry(child, key); !s) return s;
      }
    }
    return {};
  }

  Status data_entry(std::uint32_t off, const ResourceKey& key) {
    if (Status s = mark(off, "data entry"); !s) return s;
    if (!fits(off, kDataEntrySize, region.length())) return bad_tree("data entry at " + hex(off) + " runs past the resource section");
    auto rva = region.u32(off + rsrc::kDataOffsetToData);
    auto size = region.u32(off + rsrc::kDataSize);
    auto cp = region.u32(off + rsrc::kDataCodePage);
    if (!rva || !size || !cp) return bad_tree("data entry at " + hex(off) + " runs past the resource section");
    auto extent = image.map(Rva{*rva}, *size);
    if (!extent) return bad_tree("resource data at rva " + hex(*rva) + " of size " + hex(*size) + " lies in no section");
    if (visit != nullptr) return (*visit)(key, ResourceData{extent.value(), *cp});
    out.emplace_back(key, ResourceData{extent.value(), *cp});
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

  bool put16(std::uint64_t at, std::uint16_t v) { return ByteWriter(out).u16(at, v); }
  bool put32(std::uint64_t at, std::uint32_t v) { return ByteWriter(out).u32(at, v); }

  bool dir_header(std::uint32_t at, std::uint16_t named, std::uint16_t ids) {
    // Characteristics and TimeDateStamp 0, version 4.0, as resource compilers write them.
    return put32(at, 0) && put32(at + rsrc::kTimeDateStamp, 0) && put16(at + rsrc::kMajorVersion, 4) &&
           put16(at + rsrc::kMinorVersion, 0) && put16(at + rsrc::kNumberOfNamedEntries, named) &&
           put16(at + rsrc::kNumberOfIdEntries, ids);
  }

  bool name_field(const ResourceId& id, std::uint32_t at) {
    if (!id.named) return put32(at, id.id);
    const std::uint32_t s = next_string;
    if (!put16(s, static_cast<std::uint16_t>(id.name.size()))) return false;
    for (std::size_t i = 0; i < id.name.size(); ++i)
      if (!put16(s + 2 + 2 * i, static_cast<std::uint16_t>(id.name[i]))) return false;
    next_string += static_cast<std::uint32_t>(2 + 2 * id.name.size());
    return put32(at, s | kHighBit);
  }
};

// The set's shape: where each type and each name begins in it. The measuring and the encoding
// passes step through these boundaries instead of comparing neighbouring keys each time.
struct TreeShape {
  using Item = ResourceSet::value_type;

  explicit TreeShape(const ResourceSet& set) : items(set.begin(), set.end()) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      const bool new_type = i == 0 || !(items[i - 1].first.type == items[i].first.type);
      if (new_type) type_starts.push_back(name_starts.size());
      if (new_type || !(items[i - 1].first.name == items[i].first.name)) name_starts.push_back(i);
    }
    type_starts.push_back(name_starts.size());
    name_starts.push_back(items.size());
  }

  [[nodiscard]] std::size_t types() const noexcept { return type_starts.size() - 1; }
  [[nodiscard]] std::size_t names() const noexcept { return name_starts.size() - 1; }
  // Names of type t: [first_name(t), first_name(t + 1)); items of name n: [first_item(n), first_item(n + 1)).
  [[nodiscard]] std::size_t first_name(std::size_t t) const noexcept { return type_starts[t]; }
  [[nodiscard]] std::size_t first_item(std::size_t n) const noexcept { return name_starts[n]; }
  [[nodiscard]] const ResourceId& type(std::size_t t) const noexcept { return items[name_starts[type_starts[t]]].first.type; }
  [[nodiscard]] const ResourceId& name(std::size_t n) const noexcept { return items[name_starts[n]].first.name; }
  [[nodiscard]] std::size_t languages(std::size_t n) const noexcept { return name_starts[n + 1] - name_starts[n]; }

  std::span<const Item> items;
  std::vector<std::size_t> type_starts;  // index into name_starts, one per type, then one past the last
  std::vector<std::size_t> name_starts;  // index into items, one per name, then items.size()
};

}  // namespace

bool loader_less(const ResourceId& a, const ResourceId& b) noexcept {
  if (a.named != b.named) return a.named;
  if (a.named) return a.name < b.name;
  return a.id < b.id;
}

bool ResourceKeyLess::operator()(const ResourceKey& a, const ResourceKey& b) const noexcept {
  if (loader_less(a.type, b.type)) return true;
  if (loader_less(b.type, a.type)) return false;
  if (loader_less(a.name, b.name)) return true;
  if (loader_less(b.name, a.name)) return false;
  return a.language < b.language;
}

Result<ResourceSet> ResourceSet::from_entries(std::vector<value_type> entries) {
  auto less = [](const value_type& a, const value_type& b) { return ResourceKeyLess{}(a.first, b.first); };
  // A sound tree lists its entries in key order already.
  if (!std::is_sorted(entries.begin(), entries.end(), less)) std::sort(entries.begin(), entries.end(), less);
  const auto same = std::adjacent_find(entries.begin(), entries.end(),
                                       [](const value_type& a, const value_type& b) { return a.first == b.first; });
  if (same != entries.end()) return bad_tree("the same resource is listed twice");
  ResourceSet set;
  set.items_ = std::move(entries);
  // A walk leaves up to as many empty slots as entries, and the set outlives the run.
  set.items_.shrink_to_fit();
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
  // A decoded set is full to its capacity; the usual edit adds one resource to it, for which
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
                 std::vector<ResourceSet::value_type>& out) {
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
  ResourceKey key;
  if (Status st = d.directory(0, 0, key); !st) return st;
  out = std::move(d.out);
  return {};
}

}  // namespace

Result<ResourceSet> decode_resources(const PeImage& image, const ByteSource& src) {
  std::vector<ResourceSet::value_type> out;
  if (Status st = walk_tree(image, src, nullptr, out); !st) return std::move(st).error();
  return ResourceSet::from_entries(std::move(out));
}

Status visit_resources(const PeImage& image, const ByteSource& src, const ResourceVisitor& visit) {
  std::vector<ResourceSet::value_type> none;
  return walk_tree(image, src, &visit, none);
}

Result<TreeLayout> measure_tree(const ResourceSet& set) {
  const TreeShape shape(set);
  auto too_many = [](std::uint64_t n) { return n > 0xffff; };
  std::uint64_t dirs = kDirHeaderSize;  // root
  std::uint64_t strings = 0;
  std::uint64_t type_counts[2] = {0, 0};
  for (std::size_t t = 0; t < shape.types(); ++t) {
    const ResourceId& type = shape.type(t);
    type_counts[type.named ? 1 : 0] += 1;
    if (type.named) strings += 2 + 2 * std::uint64_t{type.name.size()};
    dirs += kDirEntrySize + kDirHeaderSize;
    std::uint64_t name_counts[2] = {0, 0};
    for (std::size_t n = shape.first_name(t); n < shape.first_name(t + 1); ++n) {
      const std::size_t langs = shape.languages(n);
      if (too_many(langs)) return make_error(Errc::not_supported, "too many languages under one name");
      const ResourceId& name = shape.name(n);
      name_counts[name.named ? 1 : 0] += 1;
      if (name.named) strings += 2 + 2 * std::uint64_t{name.name.size()};
      dirs += kDirEntrySize + kDirHeaderSize + kDirEntrySize * std::uint64_t{langs};
    }
    if (too_many(name_counts[0]) || too_many(name_counts[1])) return make_error(Errc::not_supported, "too many names under one type");
  }
  if (too_many(type_counts[0]) || too_many(type_counts[1])) return make_error(Errc::not_supported, "too many resource types");
  std::uint64_t blobs = 0;
  for (const auto& item : shape.items) blobs = align_up(blobs, kBlobAlignment) + item.second.size();

  const std::uint64_t data_entries = dirs;
  const std::uint64_t strings_at = data_entries + kDataEntrySize * std::uint64_t{set.size()};
  // Strings padded to 4, blobs each 8-aligned.
  const std::uint64_t data_at = align_up(align_up(strings_at + strings, 4), kBlobAlignment);
  const std::uint64_t total = data_at + blobs;
  if (data_at > kMaxTreeSize || total > 0xffffffffULL) return make_error(Errc::file_too_large, "the resources would exceed 4 GiB");
  TreeLayout l;
  l.directories_size = static_cast<std::uint32_t>(dirs);
  l.data_entries_offset = static_cast<std::uint32_t>(data_entries);
  l.strings_offset = static_cast<std::uint32_t>(strings_at);
  l.data_offset = static_cast<std::uint32_t>(data_at);
  l.total_size = total;
  return l;
}

Result<Bytes> encode_tree(const ResourceSet& set, const TreeLayout& layout, Rva base, const ByteSource& src) {
  if (std::uint64_t{base.value} + layout.total_size > 0xffffffffULL)
    return make_error(Errc::file_too_large, "the resources would run past the 4 GiB address space");
  Bytes out;
  try {
    out.assign(static_cast<std::size_t>(layout.total_size), 0);
  } catch (const std::bad_alloc&) {
    return make_error(Errc::not_enough_memory, "cannot hold the new resource section in memory");
  }
  Encoder e{set, layout, out, 0, layout.data_entries_offset, layout.strings_offset, layout.data_offset};
  const ReadAheadSource blobs(src);  // the old blobs mostly lie in tree order: read them in runs
  const TreeShape shape(set);

  // Directory positions: root, then all name directories, then all language directories.
  const std::uint64_t root_size = kDirHeaderSize + kDirEntrySize * std::uint64_t{shape.types()};
  const std::uint64_t name_dirs_size = kDirHeaderSize * std::uint64_t{shape.types()} + kDirEntrySize * std::uint64_t{shape.names()};
  std::uint64_t name_dir_at = root_size;
  std::uint64_t lang_dir_at = root_size + name_dirs_size;

  bool ok = true;
  std::uint16_t root_named = 0;
  std::uint16_t root_ids = 0;
  std::uint64_t root_entry = kDirHeaderSize;
  // Strings go in directory order: every type name, then every name at the name level.
  for (std::size_t t = 0; t < shape.types() && ok; ++t) {
    const ResourceId& type = shape.type(t);
    ok = ok && e.name_field(type, static_cast<std::uint32_t>(root_entry));
    ok = ok && e.put32(root_entry + rsrc::kEntryOffset, static_cast<std::uint32_t>(name_dir_at) | kHighBit);
    (type.named ? root_named : root_ids) += 1;
    root_entry += kDirEntrySize;

    std::uint16_t named = 0;
    std::uint16_t ids = 0;
    std::uint64_t entry = name_dir_at + kDirHeaderSize;
    for (std::size_t n = shape.first_name(t); n < shape.first_name(t + 1) && ok; ++n) {
      (shape.name(n).named ? named : ids) += 1;
      ok = ok && e.put32(entry + rsrc::kEntryOffset, static_cast<std::uint32_t>(lang_dir_at) | kHighBit);
      // name strings are written in a second pass below, to keep all type names first
      std::uint64_t lang_entry = lang_dir_at + kDirHeaderSize;
      for (std::size_t i = shape.first_item(n); i < shape.first_item(n + 1) && ok; ++i) {
        const auto& item = shape.items[i];
        ok = ok && e.put32(lang_entry + rsrc::kEntryName, item.first.language);
        ok = ok && e.put32(lang_entry + rsrc::kEntryOffset, e.next_data_entry);
        const std::uint32_t size = item.second.size();
        e.next_blob = align_up(e.next_blob, kBlobAlignment);
        ok = ok && e.put32(e.next_data_entry + rsrc::kDataOffsetToData, static_cast<std::uint32_t>(base.value + e.next_blob));
        ok = ok && e.put32(e.next_data_entry + rsrc::kDataSize, size);
        ok = ok && e.put32(e.next_data_entry + rsrc::kDataCodePage, item.second.code_page);
        ok = ok && e.put32(e.next_data_entry + rsrc::kDataReserved, 0);
        if (!ok) break;
        if (const auto* b = std::get_if<Bytes>(&item.second.bytes)) {
          std::copy(b->begin(), b->end(), out.begin() + static_cast<std::ptrdiff_t>(e.next_blob));
        } else {
          const FileExtent& fe = std::get<FileExtent>(item.second.bytes);
          std::span<std::uint8_t> dst(out.data() + e.next_blob, fe.file_len);
          if (Status s = blobs.read(fe.offset.value, dst); !s) return std::move(s).error();
        }
        e.next_blob += size;
        e.next_data_entry += kDataEntrySize;
        lang_entry += kDirEntrySize;
      }
      ok = ok && e.dir_header(static_cast<std::uint32_t>(lang_dir_at), 0, static_cast<std::uint16_t>(shape.languages(n)));
      lang_dir_at = lang_entry;
      entry += kDirEntrySize;
    }
    ok = ok && e.dir_header(static_cast<std::uint32_t>(name_dir_at), named, ids);
    name_dir_at = entry;
  }
  ok = ok && e.dir_header(0, root_named, root_ids);
  // Name-level strings, after all the type names.
  name_dir_at = root_size;
  for (std::size_t t = 0; t < shape.types() && ok; ++t) {
    std::uint64_t entry = name_dir_at + kDirHeaderSize;
    for (std::size_t n = shape.first_name(t); n < shape.first_name(t + 1); ++n) {
      ok = ok && e.name_field(shape.name(n), static_cast<std::uint32_t>(entry));
      entry += kDirEntrySize;
    }
    name_dir_at = entry;
  }
  if (!ok || e.next_data_entry != layout.strings_offset || align_up(e.next_string, 4) > layout.data_offset ||
      e.next_blob != layout.total_size)
    return make_error(Errc::internal_error, "the encoded tree does not match its layout");
  return out;
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
