// Resource keys in the loader's order, a resource's bytes, and the sorted set of them.
#include <algorithm>
#include <new>
#include <string>

#include "resupdate/resource_set.h"

namespace resupdate {

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
  auto less = [](const value_type& a, const value_type& b) {
    return ResourceKeyLess{}(a.first, b.first);
  };
  // A sound tree lists its entries in key order already: one pass finds them strictly ascending,
  // and so each key once.
  if (std::adjacent_find(entries.begin(), entries.end(),
                         [&](const value_type& a, const value_type& b) { return !less(a, b); }) !=
      entries.end()) {
    std::sort(entries.begin(), entries.end(), less);
    const auto same = std::adjacent_find(
        entries.begin(), entries.end(),
        [](const value_type& a, const value_type& b) { return a.first == b.first; });
    if (same != entries.end())
      return make_error(Errc::invalid_data, "the same resource is listed twice");
  }
  ResourceSet set;
  // Kept at the capacity the walk left: those slots were never written, so they take no memory
  // until used, and the usual edit adds one resource, which would otherwise copy the whole set.
  set.items_ = std::move(entries);
  return set;
}

std::size_t ResourceSet::position(const ResourceKey& key) const noexcept {
  const auto it = std::lower_bound(
      items_.begin(), items_.end(), key,
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
  if (Status s = src.read(e.offset.value, std::span<std::uint8_t>(out.data(), e.file_len)); !s)
    return std::move(s).error();
  return out;
}

Status ResourceData::read(const ByteSource& src, std::uint64_t off,
                          std::span<std::uint8_t> out) const {
  if (!fits(off, out.size(), size()))
    return make_error(Errc::internal_error, "read past the end of a resource");
  if (const auto* b = std::get_if<Bytes>(&bytes)) {
    std::copy_n(b->begin() + static_cast<std::ptrdiff_t>(off), out.size(), out.begin());
    return {};
  }
  // The file holds the first file_len bytes; the rest reads as zeros, as the loader maps it.
  const FileExtent& e = std::get<FileExtent>(bytes);
  const std::uint64_t backed =
      off < e.file_len ? std::min<std::uint64_t>(out.size(), e.file_len - off) : 0;
  if (backed != 0) {
    if (Status s = src.read(e.offset.value + off, out.first(static_cast<std::size_t>(backed))); !s)
      return s;
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(backed), out.end(), std::uint8_t{0});
  return {};
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
