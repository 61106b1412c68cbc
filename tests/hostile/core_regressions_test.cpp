// Faults the fuzzers found in the core, each kept as the smallest image that shows it.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "invariants.h"
#include "pe_builder.h"
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"
#include "resupdate/source.h"
#include "resupdate/winapi.h"
#include "tree_bytes.h"

namespace {

using namespace tarvisk_hostile;
using tarvisk_test::Bytes;

// Opens `image` (holding `resources_before` resources, when given), stores `manifest` at
// 24/1/0 and writes the new image in memory, which must pass the read-back check. `out` stays
// empty when the core declines the layout with not_supported, the other acceptable ending.
void store_manifest(const Bytes& image, const Bytes& manifest,
                    std::optional<std::size_t> resources_before, std::optional<Bytes>& out) {
  auto src = std::make_shared<resupdate::MemorySource>(resupdate::ByteSpan(image));
  auto editor = resupdate::ImageEditor::open(src, false);
  ASSERT_TRUE(editor) << editor.error().detail;
  if (resources_before) {
    ASSERT_EQ(editor->resources().size(), *resources_before);
  }
  editor->put(resupdate::ResourceKey{resupdate::ResourceId::number(24),
                                     resupdate::ResourceId::number(1), 0},
              manifest);
  auto plan = plan_edit(*editor);
  if (!plan) {
    EXPECT_EQ(plan.error().code, resupdate::Errc::not_supported) << plan.error().detail;
    return;
  }
  resupdate::MemorySink sink;
  ASSERT_TRUE(resupdate::write_image(*plan, editor->source(), sink));
  out = sink.take();
  const resupdate::MemorySource written{resupdate::ByteSpan(*out)};
  const resupdate::Status verified =
      resupdate::verify_image(written, *plan, editor->resources(), editor->source());
  EXPECT_TRUE(verified) << verified.error().detail;
}

// A resource whose bytes lie in its section's zero-filled tail, past the raw data that ends
// the file: it has no bytes in the file at all, and its file position (PointerToRawData plus
// its distance into the section) lies beyond the end of the file. It reads as zeros and must
// be carried through a rewrite like any other.
TEST(CoreRegressions, ResourceInTheZeroFilledTailPastTheEndOfTheFile) {
  tarvisk_test::PeOptions o;
  o.layout = tarvisk_test::Layout::resources_last;
  o.resource_virtual_size = 0x1000;
  o.raw_resource_section = [](std::uint32_t rva) {
    TreeBytes t = manifest_tree(rva);
    t.data_entry(72, rva + 0x800, 16);  // 0x800 bytes in; the raw data is 0x200 long
    return t.b;
  };
  const Bytes image = tarvisk_test::build_pe_bytes(o);

  auto src = std::make_shared<resupdate::MemorySource>(resupdate::ByteSpan(image));
  auto editor = resupdate::ImageEditor::open(src, false);
  ASSERT_TRUE(editor) << editor.error().detail;
  const resupdate::ResourceKey old_key{resupdate::ResourceId::number(24),
                                       resupdate::ResourceId::number(1), 0};
  auto old_bytes = editor->read(old_key);
  ASSERT_TRUE(old_bytes) << old_bytes.error().detail;
  EXPECT_EQ(*old_bytes, Bytes(16, 0));

  editor->put(resupdate::ResourceKey{resupdate::ResourceId::number(24),
                                     resupdate::ResourceId::number(2), 0},
              Bytes{'n', 'e', 'w'});
  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;
  EXPECT_TRUE(tarvisk_test::invariants_hold(
      image, *out,
      {tarvisk_test::TestResource{tarvisk_test::ResId::num(24), tarvisk_test::ResId::num(1), 0,
                                  Bytes(16, 0), 0},
       tarvisk_test::TestResource{tarvisk_test::ResId::num(24), tarvisk_test::ResId::num(2), 0,
                                  Bytes{'n', 'e', 'w'}, 0}}));
}

// Opened with its resources deleted, an image whose resource directory entry points into no
// section was left with that entry when nothing was added: the new image then failed its own
// read-back and the update was refused with ERROR_INTERNAL_ERROR. The entry names nothing
// and must go, so that the image reads back as holding no resources.
TEST(CoreRegressions, DanglingResourceDirectoryWithEverythingDeleted) {
  tarvisk_test::PeOptions o;
  o.layout = tarvisk_test::Layout::no_resources;
  const tarvisk_test::BuiltImage built = tarvisk_test::build_pe(o);
  Bytes image = built.bytes;
  tarvisk_test::put32(image, built.data_directories_offset + 16, 0x7fff0000U);
  tarvisk_test::put32(image, built.data_directories_offset + 20, 0x10);

  tarvisk_test::TempDir dir;
  const std::string path = dir.file("app.exe");
  tarvisk_test::write_file(path, image);
  HANDLE h = BeginUpdateResourceA(path.c_str(), TRUE);
  ASSERT_NE(h, nullptr) << GetLastError();
  ASSERT_TRUE(EndUpdateResourceA(h, FALSE)) << "error " << std::hex << GetLastError();
  const Bytes out = tarvisk_test::read_file(path);
  std::string error;
  EXPECT_TRUE(tarvisk_test::read_resources(out, &error).empty());
  EXPECT_EQ(error, "");
  EXPECT_EQ(tarvisk_test::get32(out, built.data_directories_offset + 16), 0U);
  EXPECT_EQ(tarvisk_test::get32(out, built.data_directories_offset + 20), 0U);
}

// An image with no sections whose SizeOfHeaders (0) ends before its section table: past the
// table there is only overlay. Adding a section took the overlay's first 40 bytes (zeros) for
// the new section header, yet still copied them as overlay and placed the new section's bytes
// after them instead of at its PointerToRawData; the image failed its read-back. The overlay
// is not free header room: the rewrite must either refuse or keep it whole.
TEST(CoreRegressions, OverlayIsNotTakenForSectionHeaderRoom) {
  Bytes image(0x40 + 24 + 0xe0, 0);
  image[0] = 'M';
  image[1] = 'Z';
  tarvisk_test::put32(image, 0x3c, 0x40);
  tarvisk_test::put32(image, 0x40, 0x00004550);
  tarvisk_test::put16(image, 0x44, 0x14c);  // Machine
  tarvisk_test::put16(image, 0x46, 0);      // NumberOfSections
  tarvisk_test::put16(image, 0x54, 0xe0);   // SizeOfOptionalHeader
  const std::size_t opt = 0x58;
  tarvisk_test::put16(image, opt, 0x10b);
  tarvisk_test::put32(image, opt + 32, 0x200);  // SectionAlignment
  tarvisk_test::put32(image, opt + 36, 0x200);  // FileAlignment
  tarvisk_test::put32(image, opt + 92, 16);     // NumberOfRvaAndSizes; SizeOfHeaders stays 0
  const std::size_t overlay_at = image.size();
  image.resize(overlay_at + 40, 0);
  for (int i = 0; i < 16; ++i)
    for (char c : std::string("the overlay goes on")) image.push_back(static_cast<std::uint8_t>(c));
  const Bytes overlay(image.begin() + static_cast<std::ptrdiff_t>(overlay_at), image.end());

  std::optional<Bytes> out;
  ASSERT_NO_FATAL_FAILURE(store_manifest(image, Bytes{'m'}, std::nullopt, out));
  if (!out) return;
  ASSERT_GE(out->size(), overlay.size());
  EXPECT_EQ(Bytes(out->end() - static_cast<std::ptrdiff_t>(overlay.size()), out->end()), overlay);
}

// A section before the resource section, at an address off the section alignment, whose
// mapped extent (rounded up to the alignment, as the loader maps it) covers the resource
// section's start: the loader finds that earlier section first. A tree rebuilt at the resource
// section's start was then read back through the other section and came out empty, and the
// update was refused with ERROR_INTERNAL_ERROR. The new tree must go where it reads back.
TEST(CoreRegressions, TreeIsNotPlacedWhereAnEarlierSectionShadowsIt) {
  tarvisk_test::PeOptions o;
  o.layout = tarvisk_test::Layout::resources_last;
  o.resources = {tarvisk_test::manifest(1, 0, "old")};
  o.resource_dir_offset = 0x100;  // the old tree lies past the shadowed start of its section
  const tarvisk_test::BuiltImage built = tarvisk_test::build_pe(o);
  ASSERT_TRUE(built.rsrc_rva);
  Bytes image = built.bytes;
  // .reloc, the section before .rsrc, moved up by 0x20: its extent now ends 0x20 into .rsrc.
  const std::size_t reloc_header = built.section_table_offset + 40 * (built.sections.size() - 2);
  ASSERT_EQ(built.sections[built.sections.size() - 2].name, ".reloc");
  tarvisk_test::put32(image, reloc_header + 12, *built.rsrc_rva - 0x1000 + 0x20);

  const Bytes manifest = tarvisk_test::manifest_bytes("new");
  std::optional<Bytes> out;
  ASSERT_NO_FATAL_FAILURE(store_manifest(image, manifest, 1U, out));
  if (!out) return;
  std::string error;
  const auto got = tarvisk_test::read_resources(*out, &error);
  ASSERT_EQ(got.size(), 1U) << error;
  EXPECT_EQ(got[0].data, manifest);
}

// A resource section whose raw data is also another section's (here .data's, with a section
// of no raw data between them, so neighbouring sections never overlap): rebuilt in place, the
// tree overwrote .data's bytes. The shared bytes must come through the rewrite unchanged.
TEST(CoreRegressions, RawDataSharedWithAnotherSectionIsNotOverwritten) {
  tarvisk_test::PeOptions o;
  o.layout = tarvisk_test::Layout::resources_last;
  o.resources = {tarvisk_test::manifest(1, 0, "old")};
  o.resource_slack = 0x400;  // room for the new tree in place
  const tarvisk_test::BuiltImage built = tarvisk_test::build_pe(o);
  ASSERT_EQ(built.sections.size(), 4U);
  ASSERT_EQ(built.sections[1].name, ".data");
  ASSERT_EQ(built.sections[3].name, ".rsrc");
  const tarvisk_test::BuiltSection& rsrc = built.sections[3];
  Bytes image = built.bytes;
  tarvisk_test::put32(image, built.section_table_offset + 40 * 1 + 20,
                      rsrc.pointer_to_raw_data);                            // .data
  tarvisk_test::put32(image, built.section_table_offset + 40 * 2 + 16, 0);  // .reloc: no raw data
  const auto at = static_cast<std::ptrdiff_t>(rsrc.pointer_to_raw_data);
  const auto len = static_cast<std::ptrdiff_t>(built.sections[1].size_of_raw_data);
  const Bytes shared(image.begin() + at, image.begin() + at + len);

  std::optional<Bytes> out;
  ASSERT_NO_FATAL_FAILURE(store_manifest(image, tarvisk_test::manifest_bytes("new"), 1U, out));
  ASSERT_TRUE(out);
  EXPECT_EQ(Bytes(out->begin() + at, out->begin() + at + len), shared);
}

// A first section whose raw data starts inside the headers, so that the debug directory in it
// lies in bytes the rewrite writes anew. Growing the last section moves the symbol table that
// one of its entries points at; the moved offset was patched over the new headers, and the
// update failed its read-back. It is declined instead, before anything is written.
TEST(CoreRegressions, DebugDirectoryInTheHeadersIsNotPatchedOverThem) {
  tarvisk_test::PeOptions o;
  o.layout = tarvisk_test::Layout::resources_last;
  o.debug_directory = true;
  o.coff_symbols = 3;
  o.resources = {tarvisk_test::manifest(1, 0, "old")};
  const tarvisk_test::BuiltImage built = tarvisk_test::build_pe(o);
  ASSERT_EQ(built.sections[0].name, ".text");
  Bytes image = built.bytes;
  tarvisk_test::put32(image, built.section_table_offset + 20,
                      0x10);  // .text's raw data now starts in the headers

  std::optional<Bytes> out;
  ASSERT_NO_FATAL_FAILURE(store_manifest(image, Bytes(3000, 'm'), 1U, out));
  EXPECT_FALSE(out);
}

}  // namespace
