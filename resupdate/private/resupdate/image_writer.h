// Writing an edited image: its plan, the pieces written to a sink, the checksum, and the check
// that what was written reads back as planned.
#pragma once

#include <cstdint>
#include <optional>

#include "resupdate/image_editor.h"
#include "resupdate/plan.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// Lays out the editor's new image (see placement.cpp for the rules). `block_size` is the block
// of the file system the new image goes to (0 when unknown): a long tail then moves by whole
// blocks, so that they can be shared. With `borrow`, large resources put in the editor are
// written from where it holds them rather than from a copy in the plan, which must then not
// outlive the editor or a change to it.
[[nodiscard]] Result<ImagePlan> plan_edit(const ImageEditor& editor, std::uint64_t block_size = 0,
                                          bool borrow = false);

// The PE checksum of the planned image, carried over from the one `src` stores: only what the
// plan changes is read (the old resource section, the dropped certificate, ranges moved by an
// odd distance), never the ranges it copies unchanged. It is right where the stored one was
// right, and off by as much where that was off.
[[nodiscard]] Result<std::uint32_t> image_checksum(const ImagePlan& plan, const ByteSource& src);

// Writes a planned image to a sink: the pieces, then the patches and the checksum, which is
// computed here unless the caller already has it from image_checksum.
[[nodiscard]] Status write_image(const ImagePlan& plan, const ByteSource& src, ByteSink& sink,
                                 std::optional<std::uint32_t> checksum = std::nullopt);

// Builds the whole new image in memory (tests, fuzzing).
[[nodiscard]] Result<Bytes> build_in_memory(const ImageEditor& editor);

// Checks that every piece the plan wrote from memory, every patch and the checksum read back
// from `written` byte for byte, and that the tree the plan holds decodes to exactly the
// resources `expected` (read from `expected_src`). The copied ranges of `written` are not read:
// where they share blocks with the source, reading them would cost as much as a copy. The
// checksum is computed from the plan unless the caller passes the one image_checksum gave.
[[nodiscard]] Status verify_image(const ByteSource& written, const ImagePlan& plan,
                                  const ResourceSet& expected, const ByteSource& expected_src,
                                  std::optional<std::uint32_t> checksum = std::nullopt);

}  // namespace resupdate
