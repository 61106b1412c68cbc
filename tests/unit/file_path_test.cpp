// The file path writes the new image in chunks (kernel copies, writes, and writeback started
// chunk by chunk); whatever the chunking, the file must hold exactly what the in-memory path
// builds from the same input.
#include <gtest/gtest.h>

#include <memory>

#include "pe_builder.h"
#include "resupdate/commit.h"
#include "resupdate/file_io.h"
#include "resupdate/image_editor.h"

namespace {

using tarvisk_test::Bytes;

constexpr std::size_t kMiB = std::size_t{1} << 20;

struct Case {
  const char* name;
  std::size_t overlay;   // copied from the old file by the kernel
  std::size_t manifest;  // written from memory as part of the new resource section
};

class FilePath : public ::testing::TestWithParam<Case> {};

TEST_P(FilePath, WritesWhatTheInMemoryPathBuilds) {
  tarvisk_test::PeOptions o;
  o.layout = tarvisk_test::Layout::resources_then_reloc_debug;  // moves the reloc and debug sections too
  o.resources = {tarvisk_test::manifest(1, 0, "old"), tarvisk_test::manifest(2, 0x409, "other")};
  o.overlay.resize(GetParam().overlay);
  for (std::size_t i = 0; i < o.overlay.size(); ++i) o.overlay[i] = static_cast<std::uint8_t>(i * 131 + (i >> 13));
  const Bytes original = tarvisk_test::build_pe_bytes(o);
  Bytes manifest(GetParam().manifest);
  for (std::size_t i = 0; i < manifest.size(); ++i) manifest[i] = static_cast<std::uint8_t>('a' + i % 23);
  const resupdate::ResourceKey key{resupdate::ResourceId::number(24), resupdate::ResourceId::number(1), 0};

  auto in_memory = resupdate::ImageEditor::open(std::make_shared<resupdate::MemorySource>(original), false);
  ASSERT_TRUE(in_memory) << in_memory.error().detail;
  in_memory->put(key, manifest);
  auto expected = resupdate::build_in_memory(*in_memory);
  ASSERT_TRUE(expected) << expected.error().detail;

  tarvisk_test::TempDir dir;
  const std::string path = dir.file("app.exe");
  tarvisk_test::write_file(path, original);
  {
    auto file = resupdate::FileSource::open(path);
    ASSERT_TRUE(file) << file.error().detail;
    auto editor = resupdate::ImageEditor::open(*file, false);
    ASSERT_TRUE(editor) << editor.error().detail;
    editor->put(key, manifest);
    const resupdate::Status done = resupdate::commit(*editor, **file);
    ASSERT_TRUE(done) << done.error().detail;
  }
  const Bytes written = tarvisk_test::read_file(path);
  ASSERT_EQ(written.size(), expected->size());
  EXPECT_TRUE(written == *expected) << "the file and the in-memory image differ";
}

INSTANTIATE_TEST_SUITE_P(
    Chunking, FilePath,
    ::testing::Values(Case{"small", 4096, 700}, Case{"overlay_just_under_a_chunk", 8 * kMiB - 1, 700},
                      Case{"overlay_just_over_a_chunk", 8 * kMiB + 1, 700},
                      Case{"overlay_of_several_chunks", 17 * kMiB + 5, 700},
                      Case{"resources_larger_than_a_chunk", 3 * kMiB + 3, 9 * kMiB + 7}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

}  // namespace
