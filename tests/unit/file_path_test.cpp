// The file path writes the new image in chunks (kernel copies, writes, and writeback started
// chunk by chunk); whatever the chunking, the file must hold exactly what the in-memory path
// builds from the same input.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "pe_builder.h"
#include "resupdate/file_io.h"
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"

namespace {

using tarvisk_test::Bytes;

constexpr std::size_t kMiB = std::size_t{1} << 20;

struct Case {
  const char* name;
  std::size_t overlay;    // copied from the old file by the kernel
  std::size_t manifest;   // written from memory as part of the new resource section
  std::size_t kept = 0;   // bytes of old resources, copied by the kernel where they lay together
  bool checksum = false;  // a checksum, carried over from what the file path writes
};

class FilePath : public ::testing::TestWithParam<Case> {};

TEST_P(FilePath, WritesWhatTheInMemoryPathBuilds) {
  tarvisk_test::PeOptions o;
  o.layout =
      tarvisk_test::Layout::resources_then_reloc_debug;  // moves the reloc and debug sections too
  o.resources = {tarvisk_test::manifest(1, 0, "old"), tarvisk_test::manifest(2, 0x409, "other")};
  // The manifest replaced lies last, so that no old bytes are left between those kept.
  if (GetParam().kept != 0) o.resources.pop_back();
  for (std::size_t left = GetParam().kept, i = 0; left > 0; ++i) {
    Bytes data(std::min<std::size_t>(left, 40000 + i * 7));
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<std::uint8_t>(k * 7 + i);
    left -= data.size();
    o.resources.push_back({tarvisk_test::ResId::num(10),
                           tarvisk_test::ResId::num(static_cast<std::uint16_t>(i + 1)), 0, data,
                           0});
  }
  o.checksum = GetParam().checksum;
  o.overlay.resize(GetParam().overlay);
  for (std::size_t i = 0; i < o.overlay.size(); ++i)
    o.overlay[i] = static_cast<std::uint8_t>(i * 131 + (i >> 13));
  const Bytes original = tarvisk_test::build_pe_bytes(o);
  Bytes manifest(GetParam().manifest);
  for (std::size_t i = 0; i < manifest.size(); ++i)
    manifest[i] = static_cast<std::uint8_t>('a' + i % 23);
  const resupdate::ResourceKey key{resupdate::ResourceId::number(24),
                                   resupdate::ResourceId::number(1), 0};

  auto in_memory =
      resupdate::ImageEditor::open(std::make_shared<resupdate::MemorySource>(original), false);
  ASSERT_TRUE(in_memory) << in_memory.error().detail;
  in_memory->put(key, manifest);
  auto expected = resupdate::build_in_memory(*in_memory);
  ASSERT_TRUE(expected) << expected.error().detail;
  if (GetParam().kept != 0) {
    const auto pieces = plan_edit(*in_memory).value().pieces;
    EXPECT_TRUE(std::any_of(pieces.begin(), pieces.end(), [&](const resupdate::Piece& p) {
      return p.kind == resupdate::Piece::Kind::copy && p.length >= GetParam().kept &&
             p.length < GetParam().kept + 4096;
    })) << "the old resources were not kept as they lay";
  }

  tarvisk_test::TempDir dir;
  const std::string path = dir.file("app.exe");
  tarvisk_test::write_file(path, original);
  {
    auto editor = resupdate::ImageEditor::open_file(path);
    ASSERT_TRUE(editor) << editor.error().detail;
    editor->put(key, manifest);
    const resupdate::Status done = editor->commit();
    ASSERT_TRUE(done) << done.error().detail;
  }
  const Bytes written = tarvisk_test::read_file(path);
  ASSERT_EQ(written.size(), expected->size());
  EXPECT_TRUE(written == *expected) << "the file and the in-memory image differ";
}

INSTANTIATE_TEST_SUITE_P(
    Chunking, FilePath,
    ::testing::Values(Case{"small", 4096, 700}, Case{"overlay_just_under_a_chunk", kMiB - 1, 700},
                      Case{"overlay_just_over_a_chunk", kMiB + 1, 700},
                      Case{"overlay_of_several_chunks", 17 * kMiB + 5, 700},
                      Case{"resources_larger_than_a_chunk", 3 * kMiB + 3, 9 * kMiB + 7},
                      Case{"old_resources_kept_as_they_lay", 4096, 700, 3 * kMiB + 3},
                      Case{"old_resources_kept_below_a_chunk", kMiB - 1, 9 * kMiB + 7, 70000},
                      Case{"checksum_over_a_manifest_written_from_the_editor", 4097, 300001, 0,
                           true}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

}  // namespace
