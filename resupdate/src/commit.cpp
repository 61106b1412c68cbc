// Editing an image file: opening it for the editor, and writing the edited image back over it
// (plan, write beside, verify, rename).
#include "resupdate/file_io.h"
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"

#ifndef _WIN32
#include "fd_io.h"
#endif

#include <new>
#include <optional>

namespace resupdate {

#ifdef _WIN32
namespace {
// Blocks are not shared between files here: a long tail moves by pages.
std::uint64_t block_size_of(int) noexcept { return 0; }
}  // namespace
#endif

Result<ImageEditor> ImageEditor::open_file(const std::string& path, bool delete_existing) {
  auto file = FileSource::open(path);
  if (!file) return std::move(file).error();
  std::shared_ptr<const FileSource> opened = std::move(file).value();
  auto editor = open(opened, delete_existing);
  if (!editor) return std::move(editor).error();
  editor->file_ = std::move(opened);
  return editor;
}

Status ImageEditor::commit() const {
  // The plan copies unchanged ranges from the editor's source by offset; writing them over a
  // different file would splice two images together.
  if (!file_ || src_.get() != file_.get()) {
    return make_error(Errc::invalid_parameter, "editor was not opened on a file");
  }
  const ImageEditor& editor = *this;
  const FileSource& file = *file_;
  try {
    // The editor outlives the plan here, so the manifest is not held a second time in it.
    auto plan = plan_edit(editor, block_size_of(file.native_fd()), true);
    if (!plan) return std::move(plan).error();
    // Computed once for both the writer and the check.
    std::optional<std::uint32_t> checksum;
    if (plan->checksum_offset) {
      auto sum = image_checksum(*plan, editor.source());
      if (!sum) return std::move(sum).error();
      checksum = *sum;
    }
    return replace_atomically(
        file, [&](ByteSink& sink) { return write_image(*plan, editor.source(), sink, checksum); },
        [&](const ByteSource& written) {
          return verify_image(written, *plan, editor.resources(), editor.source(), checksum);
        });
  } catch (const std::bad_alloc&) {
    return make_error(Errc::not_enough_memory, "out of memory while writing the image");
  }
}

}  // namespace resupdate
