// Small glue between the test builder's resource keys and the core's.
#pragma once

#include <memory>
#include <ostream>

#include "pe_builder.h"
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"
#include "resupdate/resource_tree.h"
#include "resupdate/source.h"

namespace tarvisk_test {

[[nodiscard]] inline resupdate::ResourceId to_core(const ResId& id) {
  return id.named ? resupdate::ResourceId::string(id.name) : resupdate::ResourceId::number(id.id);
}

[[nodiscard]] inline resupdate::ResourceKey core_key(const TestResource& r) {
  return resupdate::ResourceKey{to_core(r.type), to_core(r.name), r.language};
}

// The image stays owned by the caller; the source only views it.
[[nodiscard]] inline std::shared_ptr<const resupdate::ByteSource> view(const Bytes& image) {
  return std::make_shared<resupdate::MemorySource>(resupdate::ByteSpan(image));
}

// The same bytes read as a file would be, a copy at a time: the decoder cannot walk them in place.
class CopyingSource final : public resupdate::ByteSource {
 public:
  explicit CopyingSource(const Bytes& image) noexcept : inner_(resupdate::ByteSpan(image)) {}
  [[nodiscard]] std::uint64_t size() const noexcept override { return inner_.size(); }
  [[nodiscard]] resupdate::Status read(std::uint64_t off,
                                       std::span<std::uint8_t> out) const override {
    return inner_.read(off, out);
  }

 private:
  resupdate::MemorySource inner_;
};

[[nodiscard]] inline std::shared_ptr<const resupdate::ByteSource> copying_view(const Bytes& image) {
  return std::make_shared<CopyingSource>(image);
}

[[nodiscard]] inline const char* placement_name(resupdate::Placement p) {
  switch (p) {
    case resupdate::Placement::in_place: return "in_place";
    case resupdate::Placement::grow_last: return "grow_last";
    case resupdate::Placement::shift_following: return "shift_following";
    case resupdate::Placement::new_section: return "new_section";
    case resupdate::Placement::kept: return "kept";
  }
  return "?";
}

}  // namespace tarvisk_test

namespace resupdate {
// Lets gtest print placements and error codes by name or number instead of raw bytes.
inline void PrintTo(Placement p, std::ostream* os) { *os << tarvisk_test::placement_name(p); }
inline void PrintTo(Errc e, std::ostream* os) {
  *os << "0x" << std::hex << static_cast<std::uint32_t>(e) << std::dec;
}
}  // namespace resupdate
