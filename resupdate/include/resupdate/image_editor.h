// Editing an image's resources: open, inspect, change, and write the new image.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "resupdate/pe_image.h"
#include "resupdate/resource_set.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

class FileSource;

class ImageEditor {
 public:
  // Validates the image in `src` and reads its resources (none when delete_existing).
  [[nodiscard]] static Result<ImageEditor> open(std::shared_ptr<const ByteSource> src,
                                                bool delete_existing);
  // Opens the image file at `path` and reads its resources as open() does. The file is opened
  // read/write, so one that could not be replaced is refused at once (access_denied); the
  // editor keeps it open for commit().
  [[nodiscard]] static Result<ImageEditor> open_file(const std::string& path,
                                                     bool delete_existing = false);

  [[nodiscard]] const PeImage& image() const noexcept { return image_; }
  [[nodiscard]] const ResourceSet& resources() const noexcept { return resources_; }
  [[nodiscard]] const ByteSource& source() const noexcept { return *src_; }

  // Adds or replaces the resource at `key`.
  void put(const ResourceKey& key, Bytes data, std::uint32_t code_page = 0);
  // Removes the resource at `key`; false when there was none.
  bool erase(const ResourceKey& key);
  // Reads a resource's bytes.
  [[nodiscard]] Result<Bytes> read(const ResourceKey& key) const;

  // Writes the edited image over the file open_file() opened, all or nothing: the new image goes
  // to a temporary file beside it, is read back with the same strict reader (its resources must
  // be exactly the editor's) and renamed over the original. On any failure the file is left
  // exactly as it was. An editor opened on another source yields Errc::invalid_parameter.
  [[nodiscard]] Status commit() const;

 private:
  ImageEditor(std::shared_ptr<const ByteSource> src, PeImage image, ResourceSet set)
      : src_(std::move(src)), image_(std::move(image)), resources_(std::move(set)) {}

  std::shared_ptr<const ByteSource> src_;
  std::shared_ptr<const FileSource> file_;  // the file commit() replaces, when opened on one
  PeImage image_;
  ResourceSet resources_;
};

}  // namespace resupdate
