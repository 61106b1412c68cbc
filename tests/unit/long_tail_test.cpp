// A tail of a MiB or more (an installer's overlay) moves by whole pages, or by whole file
// system blocks where those are larger, when the resources grow; the extra zeros must stay
// inside the resource section so that the overlay still starts where the last section ends,
// which is where self-extracting programs look for it.
#include <gtest/gtest.h>

#include <memory>

#include "invariants.h"
#include "pe_builder.h"
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"

namespace {

using tarvisk_test::Bytes;

struct Case {
  const char* name;
  tarvisk_test::Layout layout;
  resupdate::Placement placement;
  // The language the new manifest goes to: 1033 replaces the old one, so nothing stays where
  // it lay and the section is repacked; 0 adds one beside it, which stays.
  std::uint16_t language = 1033;
};

class LongTail : public ::testing::TestWithParam<Case> {};

TEST_P(LongTail, OverlayFollowsTheLastSectionAndMovesByWholePages) {
  tarvisk_test::PeOptions o;
  o.layout = GetParam().layout;
  o.resources = {tarvisk_test::manifest(1, 1033, "old")};
  o.overlay.resize((3U << 20) / 2);
  for (std::size_t i = 0; i < o.overlay.size(); ++i)
    o.overlay[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const tarvisk_test::BuiltImage built = tarvisk_test::build_pe(o);

  auto editor =
      resupdate::ImageEditor::open(std::make_shared<resupdate::MemorySource>(built.bytes), false);
  ASSERT_TRUE(editor) << editor.error().detail;
  const Bytes manifest(0x1a00, 0x3c);  // past the old section's raw data, not a page multiple
  editor->put(
      {resupdate::ResourceId::number(24), resupdate::ResourceId::number(1), GetParam().language},
      manifest);
  auto plan = plan_edit(*editor);
  ASSERT_TRUE(plan) << plan.error().detail;
  EXPECT_EQ(plan->placement, GetParam().placement);
  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;

  std::vector<tarvisk_test::TestResource> intended;
  if (GetParam().language != 1033) intended = o.resources;
  intended.push_back(tarvisk_test::TestResource{
      tarvisk_test::ResId::num(24), tarvisk_test::ResId::num(1), GetParam().language, manifest, 0});
  EXPECT_TRUE(tarvisk_test::invariants_hold(built.bytes, *out, intended));

  const resupdate::MemorySource written(*out);
  const resupdate::PeImage img = resupdate::PeImage::parse(written).value();
  const std::uint64_t overlay_at = img.end_of_sections();
  ASSERT_EQ(out->size() - overlay_at, o.overlay.size());
  EXPECT_TRUE(std::equal(o.overlay.begin(), o.overlay.end(),
                         out->begin() + static_cast<std::ptrdiff_t>(overlay_at)));
  EXPECT_EQ((overlay_at - built.overlay_offset) % 0x1000, 0U)
      << "the overlay moved by part of a page";
  EXPECT_GT(overlay_at, built.overlay_offset);

  // On a file system with blocks larger than a page, by whole blocks, so they can be shared;
  // a block size no file system shares by (not a power of two, or a preferred I/O size of
  // MiBs) leaves whole pages.
  for (const std::uint64_t block :
       {std::uint64_t{0x10000}, std::uint64_t{0x3000}, std::uint64_t{4} << 20}) {
    auto blocked = plan_edit(*editor, block);
    ASSERT_TRUE(blocked) << blocked.error().detail;
    resupdate::MemorySink sink;
    ASSERT_TRUE(resupdate::write_image(*blocked, editor->source(), sink));
    EXPECT_TRUE(tarvisk_test::invariants_hold(built.bytes, sink.bytes(), intended)) << block;
    const std::uint64_t at =
        resupdate::PeImage::parse(resupdate::MemorySource(sink.bytes())).value().end_of_sections();
    const std::uint64_t unit = block == 0x10000 ? block : 0x1000;
    EXPECT_EQ((at - built.overlay_offset) % unit, 0U) << "block size " << block;
    EXPECT_EQ(sink.bytes().size() - at, o.overlay.size()) << block;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Placements, LongTail,
    ::testing::Values(
        Case{"grow_last", tarvisk_test::Layout::resources_last, resupdate::Placement::grow_last},
        Case{"shift_following", tarvisk_test::Layout::resources_then_reloc_debug,
             resupdate::Placement::shift_following},
        Case{"new_section", tarvisk_test::Layout::resources_then_data,
             resupdate::Placement::new_section},
        Case{"kept_last", tarvisk_test::Layout::resources_last, resupdate::Placement::kept, 0},
        Case{"kept_shift_following", tarvisk_test::Layout::resources_then_reloc_debug,
             resupdate::Placement::kept, 0}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
