// Writing an edited image back over its file: plan, write beside, verify, rename.
#include "resupdate/commit.h"

#include <new>

namespace resupdate {

Status commit(const ImageEditor& editor, const FileSource& file) {
  // The plan copies unchanged ranges from the editor's source by offset; writing them over a
  // different file would splice two images together.
  if (&editor.source() != &file) return make_error(Errc::invalid_parameter, "editor was not opened on this file");
  try {
    auto plan = editor.plan();
    if (!plan) return std::move(plan).error();
    return replace_atomically(
        file, [&](ByteSink& sink) { return write_image(*plan, editor.source(), sink); },
        [&](const ByteSource& written) { return verify_image(written, *plan, editor.resources(), editor.source()); });
  } catch (const std::bad_alloc&) {
    return make_error(Errc::not_enough_memory, "out of memory while writing the image");
  }
}

}  // namespace resupdate
