// Faults the fuzzers found in the core, each kept as the smallest image that shows it.
#include <gtest/gtest.h>

#include <memory>

#include "invariants.h"
#include "pe_builder.h"
#include "resupdate/image_editor.h"
#include "resupdate/source.h"
#include "tree_bytes.h"

namespace {

using namespace tarvisk_hostile;
using tarvisk_test::Bytes;

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
  const resupdate::ResourceKey old_key{resupdate::ResourceId::number(24), resupdate::ResourceId::number(1), 0};
  auto old_bytes = editor->read(old_key);
  ASSERT_TRUE(old_bytes) << old_bytes.error().detail;
  EXPECT_EQ(*old_bytes, Bytes(16, 0));

  editor->put(resupdate::ResourceKey{resupdate::ResourceId::number(24), resupdate::ResourceId::number(2), 0}, Bytes{'n', 'e', 'w'});
  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;
  EXPECT_TRUE(tarvisk_test::invariants_hold(
      image, *out, {tarvisk_test::TestResource{tarvisk_test::ResId::num(24), tarvisk_test::ResId::num(1), 0, Bytes(16, 0), 0},
                    tarvisk_test::TestResource{tarvisk_test::ResId::num(24), tarvisk_test::ResId::num(2), 0, Bytes{'n', 'e', 'w'}, 0}}));
}

}  // namespace
