// The read-back check that stands between a written image and the rename over the original:
// it must pass a faithful image and catch every kind of damage to what was written from memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "pe_builder.h"
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"

namespace {

using tarvisk_test::Bytes;

struct Written {
  Bytes original;
  std::unique_ptr<resupdate::ImageEditor> editor;
  resupdate::ImagePlan plan;
  Bytes image;
};

// Stores a 5000-byte manifest (so the section grows and the blob is written from memory) in an
// image with a checksum and a debug directory, and keeps everything the check needs.
Written write_manifest(tarvisk_test::Layout layout) {
  Written w;
  tarvisk_test::PeOptions o;
  o.layout = layout;
  o.checksum = true;
  o.debug_directory = true;
  o.resources = tarvisk_test::existing_manifests();
  w.original = tarvisk_test::build_pe_bytes(o);
  auto src = std::make_shared<resupdate::MemorySource>(w.original);
  auto editor = resupdate::ImageEditor::open(src, false);
  EXPECT_TRUE(editor.ok()) << editor.error().detail;
  w.editor = std::make_unique<resupdate::ImageEditor>(std::move(editor).value());
  Bytes manifest(5000);
  for (std::size_t i = 0; i < manifest.size(); ++i) manifest[i] = static_cast<std::uint8_t>(i * 7);
  w.editor->put({resupdate::ResourceId::number(24), resupdate::ResourceId::number(1), 0}, manifest);
  auto plan = plan_edit(*w.editor);
  EXPECT_TRUE(plan.ok()) << plan.error().detail;
  w.plan = std::move(plan).value();
  resupdate::MemorySink sink;
  EXPECT_TRUE(resupdate::write_image(w.plan, w.editor->source(), sink).ok());
  w.image = sink.take();
  return w;
}

resupdate::Status verify(const Written& w, const Bytes& image) {
  resupdate::MemorySource written(image);
  return resupdate::verify_image(written, w.plan, w.editor->resources(), w.editor->source());
}

class VerifyImage : public ::testing::TestWithParam<tarvisk_test::Layout> {};

TEST_P(VerifyImage, PassesTheImageAsWrittenAndCatchesDamage) {
  const Written w = write_manifest(GetParam());
  ASSERT_TRUE(verify(w, w.image).ok()) << verify(w, w.image).error().detail;

  const resupdate::PeImage img =
      resupdate::PeImage::parse(resupdate::MemorySource(w.image)).value();
  const auto& secs = img.sections();
  std::size_t rsrc = 0;
  for (std::size_t i = 0; i < secs.size(); ++i)
    if (secs[i].name_is(".rsrc")) rsrc = i;
  const auto manifest_blob_end =
      static_cast<std::uint32_t>(secs[rsrc].PointerToRawData.value + secs[rsrc].VirtualSize - 1);

  struct Damage {
    const char* what;
    std::uint64_t offset;
  };
  const Damage damages[] = {
      {"a section header field", img.fields().section_table + 8},
      {"the resource directory",
       static_cast<std::uint32_t>(secs[rsrc].PointerToRawData.value + 14)},
      {"the last resource blob", manifest_blob_end},
      {"the resource data directory", img.fields().data_directories + 2 * 8 + 4},
      {"the checksum", img.fields().optional + resupdate::opt::kCheckSum + 1},
  };
  for (const Damage& d : damages) {
    Bytes broken = w.image;
    broken[d.offset] ^= 0x5a;
    const resupdate::Status s = verify(w, broken);
    EXPECT_FALSE(s.ok()) << "damage to " << d.what << " passed the check";
    if (!s.ok()) {
      EXPECT_EQ(s.error().code, resupdate::Errc::internal_error) << d.what;
    }
  }
  Bytes shorter(w.image.begin(), w.image.end() - 1);
  EXPECT_FALSE(verify(w, shorter).ok()) << "a truncated image passed the check";
}

// Blobs kept as they lay are copied, not written from memory, and not read back: the check
// proves them the intended bytes by where they are copied from, and reads them where that
// differs, as it would from a planner that put them in the wrong place.
TEST(VerifyImage, KeptBlobsCopiedFromElsewhereAreCaught) {
  tarvisk_test::PeOptions o;
  for (std::uint16_t i = 0; i < 20; ++i) {
    Bytes data(4000 + i);
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<std::uint8_t>(k * 31 + i);
    o.resources.push_back({tarvisk_test::ResId::num(10), tarvisk_test::ResId::num(i), 0, data, 0});
  }
  const Bytes original = tarvisk_test::build_pe_bytes(o);
  auto editor =
      resupdate::ImageEditor::open(std::make_shared<resupdate::MemorySource>(original), false)
          .value();
  editor.put({resupdate::ResourceId::number(24), resupdate::ResourceId::number(1), 0},
             Bytes(300, 'm'));
  auto check = [&](const resupdate::ImagePlan& plan) {
    resupdate::MemorySink sink;
    EXPECT_TRUE(resupdate::write_image(plan, editor.source(), sink).ok());
    return resupdate::verify_image(resupdate::MemorySource(sink.bytes()), plan, editor.resources(),
                                   editor.source());
  };
  resupdate::ImagePlan plan = plan_edit(editor).value();
  ASSERT_TRUE(check(plan).ok());
  // The copied piece that starts past the headers and ends before the file does is the kept blobs.
  const auto kept =
      std::find_if(plan.pieces.begin() + 1, plan.pieces.end() - 1, [](const resupdate::Piece& p) {
        return p.kind == resupdate::Piece::Kind::copy && p.length > 64000;
      });
  ASSERT_NE(kept, plan.pieces.end() - 1);
  kept->source_offset.value += 8;
  const resupdate::Status moved = check(plan);
  ASSERT_FALSE(moved.ok());
  EXPECT_EQ(moved.error().detail, "a written resource's bytes differ from the ones intended");
}

INSTANTIATE_TEST_SUITE_P(Layouts, VerifyImage,
                         ::testing::Values(tarvisk_test::Layout::resources_last,
                                           tarvisk_test::Layout::resources_then_reloc,
                                           tarvisk_test::Layout::resources_then_data),
                         [](const auto& p) {
                           return std::string(tarvisk_test::layout_name(p.param));
                         });

}  // namespace
