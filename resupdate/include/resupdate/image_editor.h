// Editing an image's resources: open, inspect, change, and write the new image.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "resupdate/pe_image.h"
#include "resupdate/resource_tree.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

class ImageEditor {
 public:
  // Validates the image in `src` and reads its resources (none when delete_existing).
  [[nodiscard]] static Result<ImageEditor> open(std::shared_ptr<const ByteSource> src, bool delete_existing);

  [[nodiscard]] const PeImage& image() const noexcept { return image_; }
  [[nodiscard]] const ResourceSet& resources() const noexcept { return resources_; }
  [[nodiscard]] const ByteSource& source() const noexcept { return *src_; }

  // Adds or replaces the resource at `key`.
  void put(const ResourceKey& key, Bytes data, std::uint32_t code_page = 0);
  // Removes the resource at `key`; false when there was none.
  bool erase(const ResourceKey& key);
  // Reads a resource's bytes.
  [[nodiscard]] Result<Bytes> read(const ResourceKey& key) const;

 private:
  ImageEditor(std::shared_ptr<const ByteSource> src, PeImage image, ResourceSet set)
      : src_(std::move(src)), image_(std::move(image)), resources_(std::move(set)) {}

  std::shared_ptr<const ByteSource> src_;
  PeImage image_;
  ResourceSet resources_;
};

}  // namespace resupdate
