// An image's resources: their keys (type, name, language), their bytes, and the set of them in
// the loader's order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "resupdate/byte_io.h"
#include "resupdate/pe_image.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// A type or name: an integer identifier or a string (stored upper-cased by the facade).
struct ResourceId {
  bool named = false;
  std::uint16_t id = 0;
  std::u16string name;

  [[nodiscard]] static ResourceId number(std::uint16_t n) { return ResourceId{false, n, {}}; }
  [[nodiscard]] static ResourceId string(std::u16string s) {
    return ResourceId{true, 0, std::move(s)};
  }
  friend bool operator==(const ResourceId&, const ResourceId&) = default;
};

// The loader's order inside a directory: named entries first, by ordinal comparison of
// UTF-16 code units (a shorter prefix first), then integer entries ascending.
[[nodiscard]] bool loader_less(const ResourceId& a, const ResourceId& b) noexcept;

struct ResourceKey {
  ResourceId type;
  ResourceId name;
  std::uint16_t language = 0;
  friend bool operator==(const ResourceKey&, const ResourceKey&) = default;
};

struct ResourceKeyLess {
  [[nodiscard]] bool operator()(const ResourceKey& a, const ResourceKey& b) const noexcept;
};

// A resource's bytes: held in memory, or a range of the source image that is copied
// only when the new image is written.
struct ResourceData {
  std::variant<Bytes, FileExtent> bytes;
  std::uint32_t code_page = 0;

  [[nodiscard]] std::uint32_t size() const noexcept;
  [[nodiscard]] Result<Bytes> load(const ByteSource& src) const;
  // Reads bytes [off, off + out.size()) of the resource.
  [[nodiscard]] Status read(const ByteSource& src, std::uint64_t off,
                            std::span<std::uint8_t> out) const;
};

// An image's resources in the loader's order, held in one sorted array. The encoder and the
// read-back check walk it front to back; in a node-based map each step of such a walk missed
// the cache once the set outgrew it, some 10,000 resources.
class ResourceSet {
 public:
  using value_type = std::pair<ResourceKey, ResourceData>;
  using const_iterator = std::vector<value_type>::const_iterator;

  ResourceSet() = default;
  // Entries in any order; refused (invalid_data) when two share a key.
  [[nodiscard]] static Result<ResourceSet> from_entries(std::vector<value_type> entries);

  [[nodiscard]] const_iterator begin() const noexcept { return items_.begin(); }
  [[nodiscard]] const_iterator end() const noexcept { return items_.end(); }
  [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }
  [[nodiscard]] bool empty() const noexcept { return items_.empty(); }
  [[nodiscard]] const_iterator find(const ResourceKey& key) const noexcept;

  // Adding or removing a resource moves the ones after it: a set of many thousands is best
  // built whole with from_entries.
  // Adds the resource, or replaces the one with its key; true when it was added.
  bool insert_or_assign(const ResourceKey& key, ResourceData data);
  // Removes the resource with this key; how many were removed (0 or 1).
  std::size_t erase(const ResourceKey& key);
  // The resource with this key, added empty if it was not there.
  [[nodiscard]] ResourceData& operator[](const ResourceKey& key);

 private:
  // Where `key` is, or would go to keep the order.
  [[nodiscard]] std::size_t position(const ResourceKey& key) const noexcept;
  [[nodiscard]] bool holds_at(std::size_t at, const ResourceKey& key) const noexcept;
  void make_room();
  // The tree's decoder, which hands over the entries as they are when it found them strictly
  // ascending.
  friend struct ResourceSetAccess;
  std::vector<value_type> items_;
};

// Converts a narrow resource string to its stored UTF-16 form (upper-cased ASCII,
// other bytes taken as Latin-1, as the ANSI facade would on a Western code page).
[[nodiscard]] std::u16string resource_string_from_narrow(const std::string& s);

}  // namespace resupdate
