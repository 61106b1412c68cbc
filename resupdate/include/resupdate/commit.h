// Writing an edited image back over the file it was read from, all or nothing.
#pragma once

#include "resupdate/file_io.h"
#include "resupdate/image_editor.h"
#include "resupdate/result.h"

namespace resupdate {

// Lays out the editor's new image, writes it to a temporary file beside `file`, reads it back
// with the same strict reader (its resources must be exactly the editor's), and renames it over
// the original. On any failure the original file is left exactly as it was.
//
// `editor` must have been opened on `file` itself: the new image copies its unchanged ranges
// from there. Any other source yields Errc::invalid_parameter.
[[nodiscard]] Status commit(const ImageEditor& editor, const FileSource& file);

}  // namespace resupdate
