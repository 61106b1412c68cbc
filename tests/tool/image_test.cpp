// The executable image: every layout the update handles, images it must refuse, and the
// guarantee that a failed run leaves the image exactly as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace tarvisk_tool_test {
namespace {

using tarvisk_test::Bytes;
using tarvisk_test::Layout;
using tarvisk_test::PeOptions;
using tarvisk_test::ResId;
using tarvisk_test::TestResource;

constexpr std::uint32_t kErrorNotSupported = 0x32;

// Resources that a careless rewrite could lose or merge with the new manifest: other
// manifests under another name or language, a named type, and the entry being replaced.
std::vector<TestResource> busy_resources() {
  return {
      tarvisk_test::manifest(1, 0, "old manifest at the same key"),
      tarvisk_test::manifest(2, 0, "isolation-aware manifest"),
      tarvisk_test::manifest(1, 1033, "manifest in another language"),
      TestResource{ResId::str(u"MYDATA"), ResId::str(u"Blob"), 0, Bytes{1, 2, 3, 4, 5}, 0},
      TestResource{ResId::num(16), ResId::num(1), 1033, Bytes(92, 0x5a), 1200},
  };
}

class EveryLayout : public testing::TestWithParam<std::tuple<Layout, bool>> {};

TEST_P(EveryLayout, ManifestIsStoredAndOtherResourcesStay) {
  const auto [layout, pe32_plus] = GetParam();
  PeOptions options;
  options.layout = layout;
  options.pe32_plus = pe32_plus;
  if (layout != Layout::no_resources) options.resources = busy_resources();
  // Small enough to fit where the old tree was, and large enough to force the image to grow.
  for (const std::size_t size : {std::size_t{40}, std::size_t{9000}}) {
    SCOPED_TRACE(size);
    const Bytes manifest(size, 'm');
    const Workspace ws(options, manifest);
    expect_success(run_tarvisk({ws.image(), ws.manifest()}), ws.manifest(), ws.image());
    ws.expect_manifest_stored(manifest);
  }
}

INSTANTIATE_TEST_SUITE_P(Tool, EveryLayout,
                         testing::Combine(testing::ValuesIn(tarvisk_test::kAllLayouts),
                                          testing::Bool()),
                         [](const testing::TestParamInfo<EveryLayout::ParamType>& param) {
                           return std::string(tarvisk_test::layout_name(std::get<0>(param.param))) +
                                  (std::get<1>(param.param) ? "_pe32plus" : "_pe32");
                         });

// A directory whose only resource entry leads back to the root directory.
Bytes looping_tree(std::uint32_t) {
  Bytes section(512, 0);
  tarvisk_test::put16(section, 14, 1);            // NumberOfIdEntries
  tarvisk_test::put32(section, 16, 24);           // type 24
  tarvisk_test::put32(section, 20, 0x80000000U);  // subdirectory at offset 0: the root itself
  return section;
}

// A well-formed tree whose one data entry points far outside the image.
Bytes dangling_data(std::uint32_t rva) {
  Bytes section = tarvisk_test::encode_resource_section({tarvisk_test::manifest(1, 0, "x")}, rva);
  tarvisk_test::put32(section, 72, 0x7fff0000U);  // the data entry's OffsetToData
  section.resize(512, 0);
  return section;
}

TEST(ImageOpen, ImagesThatCannotBeOpenedForUpdateAreLeftAlone) {
  const Bytes valid = tarvisk_test::build_pe_bytes(ordinary_image());
  struct Case {
    const char* what;
    Bytes bytes;
  };
  std::vector<Case> cases = {
      {"empty file", {}},
      {"text, not an image", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}},
      {"MZ and nothing more", Bytes{'M', 'Z'}},
      {"headers only", Bytes(valid.begin(), valid.begin() + 0x200)},
      {"cut through the last section", Bytes(valid.begin(), valid.end() - 100)},
  };
  Bytes bad_signature = valid;
  bad_signature[tarvisk_test::get32(valid, 0x3c)] = 'X';
  cases.push_back({"PE signature damaged", bad_signature});
  PeOptions looping = ordinary_image();
  looping.raw_resource_section = looping_tree;
  cases.push_back({"resource tree with a loop", tarvisk_test::build_pe_bytes(looping)});
  PeOptions dangling = ordinary_image();
  dangling.raw_resource_section = dangling_data;
  cases.push_back({"resource data outside the image", tarvisk_test::build_pe_bytes(dangling)});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Workspace ws;
    ws.replace_image(c.bytes);
    expect_failure(run_tarvisk({ws.image(), ws.manifest()}), image_open_line(ws.image()));
    ws.expect_untouched();
  }
}

TEST(ImageOpen, PathsThatNameNoImageFileAreReported) {
  Workspace ws;
  ws.add_directory("folder");
  for (const std::string& path :
       {ws.file("missing.exe"), ws.file("folder"), ws.file("nowhere/app.exe"),
        ws.manifest() + "/app.exe", std::string()}) {
    SCOPED_TRACE(path);
    expect_failure(run_tarvisk({path, ws.manifest()}), image_open_line(path));
    ws.expect_untouched();
  }
}

TEST(ImageOpen, ReadOnlyImageIsRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write to any file";
  const Workspace ws;
  ASSERT_EQ(chmod(ws.image().c_str(), 0444), 0);
  expect_failure(run_tarvisk({ws.image(), ws.manifest()}), image_open_line(ws.image()));
  ws.expect_untouched();
}

// Where the new resources cannot be placed: a writable section follows them (or there are
// none) and the section table has no room for one more header. This is only known once the
// update is written, so it is the failure of ending the update.
TEST(ResourceStore, ImageWithNoRoomIsReportedOnceAndLeftAlone) {
  for (const Layout layout : {Layout::resources_then_data, Layout::no_resources}) {
    for (const bool pe32_plus : {false, true}) {
      SCOPED_TRACE(std::string(tarvisk_test::layout_name(layout)) +
                   (pe32_plus ? " PE32+" : " PE32"));
      PeOptions options = ordinary_image();
      options.layout = layout;
      options.pe32_plus = pe32_plus;
      options.header_room = false;
      // Equal alignments: the first section starts where the headers end in memory too, so the
      // headers cannot grow there either.
      options.file_alignment = options.section_alignment = 0x200;
      if (layout == Layout::no_resources) options.resources.clear();
      const Workspace ws(options, Bytes(4096, 'm'));
      expect_failure(run_tarvisk({ws.image(), ws.manifest()}), update_line(kErrorNotSupported));
      ws.expect_untouched();
    }
  }
}

// The update call copies the bytes it is given, so under a cap with room for the tool's own
// copy but not for a second one, the entry is refused. The update is then ended without
// writing: a rewrite with the old resources would still drop a signature for a failed run.
// With standard error closed, the message must not find the image behind descriptor 2.
TEST(ResourceStore, RefusedEntryIsReportedOnceAndTheImageIsLeftAlone) {
  if (const char* why = why_no_address_space_cap()) GTEST_SKIP() << why;
  constexpr std::uint32_t kErrorNotEnoughMemory = 8;
  PeOptions signed_image = ordinary_image();
  signed_image.certificate = Bytes(512, 0x5c);
  for (const bool stderr_closed : {false, true}) {
    SCOPED_TRACE(stderr_closed ? "standard error closed" : "standard error open");
    const Workspace ws(signed_image, Bytes(64U << 20, 'm'));
    RunOptions options;
    options.address_space_limit = 112ULL << 20;
    if (stderr_closed) options.closed_streams = {2};
    const Outcome outcome = run_tarvisk({ws.image(), ws.manifest()}, options);
    expect_failure(outcome, stderr_closed ? "" : update_line(kErrorNotEnoughMemory));
    ws.expect_untouched();
  }
}

TEST(ResourceStore, UnwritableDirectoryFailsWhenTheUpdateIsWritten) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write to any directory";
  const Workspace ws;
  ASSERT_EQ(chmod(ws.dir().c_str(), 0555), 0);
  const Outcome outcome = run_tarvisk({ws.image(), ws.manifest()});
  ASSERT_EQ(chmod(ws.dir().c_str(), 0755), 0);
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(outcome.out, "");
  EXPECT_TRUE(
      std::regex_match(outcome.err, std::regex("Error [1-9a-f][0-9a-f]* updating resource\n")))
      << outcome.err;
  ws.expect_untouched();
}

TEST(ResourceStore, SymbolicLinkStaysAndItsTargetIsUpdated) {
  Workspace ws;
  const std::string link = ws.add_symlink("app.exe", "link.exe");
  expect_success(run_tarvisk({link, ws.manifest()}), ws.manifest(), link);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::read_symlink(link), "app.exe");
  ws.expect_manifest_stored(ws.original_manifest());
}

TEST(ResourceStore, PermissionBitsAreKept) {
  const Workspace ws;
  ASSERT_EQ(chmod(ws.image().c_str(), 0751), 0);
  expect_success(run_tarvisk({ws.image(), ws.manifest()}), ws.manifest(), ws.image());
  struct stat info {};
  ASSERT_EQ(stat(ws.image().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0751U);
}

// The new file's name is short whatever the image's is, and the image is reached through
// directory descriptors, so neither a name of NAME_MAX bytes nor a path past PATH_MAX stops it.
TEST(ResourceStore, LongestNameAndPathLongerThanPathMax) {
  Workspace ws;
  const std::string longest = ws.file(std::string(251, 'n') + ".exe");
  tarvisk_test::write_file(longest, ws.original_image());
  ResourceListing expected = ws.original_resources();
  expected[manifest_key()] = ws.original_manifest();
  expect_success(run_tarvisk({longest, ws.manifest()}), ws.manifest(), longest);
  EXPECT_EQ(describe(resources_in_file(longest)), describe(expected));
  std::filesystem::remove(longest);
  ws.expect_untouched();

  // Forty directories of 120 bytes each: about 4.9 KiB, made and read through descriptors.
  const std::string part(120, 'd');
  std::vector<int> dirs{open(ws.dir().c_str(), O_PATH | O_DIRECTORY)};
  std::string deep = ws.dir();
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(mkdirat(dirs.back(), part.c_str(), 0755), 0);
    dirs.push_back(openat(dirs.back(), part.c_str(), O_PATH | O_DIRECTORY));
    deep += "/" + part;
  }
  deep += "/app.exe";
  ASSERT_GT(deep.size(), std::size_t{PATH_MAX});
  const int out = openat(dirs.back(), "app.exe", O_WRONLY | O_CREAT | O_EXCL, 0755);
  ASSERT_GE(out, 0);
  const Bytes& bytes = ws.original_image();
  ASSERT_EQ(write(out, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(out);

  expect_success(run_tarvisk({deep, ws.manifest()}), ws.manifest(), deep);
  const int in = openat(dirs.back(), "app.exe", O_RDONLY);
  ASSERT_GE(in, 0);
  Bytes stored(1U << 20);
  const ssize_t n = read(in, stored.data(), stored.size());
  close(in);
  ASSERT_GT(n, 0);
  stored.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(describe(resources_in(stored)), describe(expected));
  EXPECT_EQ(entries_of(ws.dir() + "/" + part).size(), 1U);

  // Taken down from the inside out, since the whole path is too long to name.
  ASSERT_EQ(unlinkat(dirs.back(), "app.exe", 0), 0);
  for (std::size_t i = dirs.size() - 1; i > 0; --i) {
    close(dirs[i]);
    ASSERT_EQ(unlinkat(dirs[i - 1], part.c_str(), AT_REMOVEDIR), 0);
  }
  close(dirs[0]);
}

TEST(BundledExample, HelloTakesItsManifest) {
  const std::string example = TARVISK_SOURCE_DIR "/examples/hello";
  Workspace ws;
  ws.replace_image(tarvisk_test::read_file(example + "/hello.exe"));
  ws.replace_manifest(tarvisk_test::read_file(example + "/app.manifest"));
  ASSERT_EQ(ws.original_resources().count("6/1/1033"), 1U) << describe(ws.original_resources());
  expect_success(run_tarvisk({ws.image(), ws.manifest()}), ws.manifest(), ws.image());
  ws.expect_manifest_stored(ws.original_manifest());
}

}  // namespace
}  // namespace tarvisk_tool_test
