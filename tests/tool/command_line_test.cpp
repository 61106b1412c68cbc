// The command line, the success line, and paths echoed exactly as they were given.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_runner.h"

namespace tarvisk_tool_test {
namespace {

using tarvisk_test::Bytes;

TEST(CommandLine, WrongOperandCountPrintsUsageAndTouchesNothing) {
  const Workspace ws;
  const std::string missing = ws.file("missing");
  // The count is checked before anything else: a missing manifest among them draws no other
  // message.
  const std::vector<std::vector<std::string>> cases = {
      {},
      {ws.image()},
      {ws.manifest()},
      {ws.image(), ws.manifest(), ws.manifest()},
      {ws.image(), ws.manifest(), ws.image(), ws.manifest()},
      {ws.image(), missing, ""},
  };
  for (const auto& operands : cases) {
    SCOPED_TRACE(testing::PrintToString(operands));
    expect_failure(run_tarvisk(operands), usage_line());
    ws.expect_untouched();
  }
}

TEST(CommandLine, SuccessPrintsOneLineWithManifestFirst) {
  const Workspace ws;
  expect_success(run_tarvisk({ws.image(), ws.manifest()}), ws.manifest(), ws.image());
  ws.expect_manifest_stored(ws.original_manifest());
}

TEST(CommandLine, SecondRunReplacesTheFirstManifest) {
  Workspace ws;
  expect_success(run_tarvisk({ws.image(), ws.manifest()}), ws.manifest(), ws.image());
  const Bytes second = tarvisk_test::manifest_bytes("second");
  tarvisk_test::write_file(ws.manifest(), second);
  expect_success(run_tarvisk({ws.image(), ws.manifest()}), ws.manifest(), ws.image());
  ws.expect_manifest_stored(second);
}

// `tarvisk app.exe app.manifest | true`: a message into a closed pipe is lost, but neither the
// status nor what happens to the image depends on it.
TEST(CommandLine, ClosedPipeOnAStreamChangesNeitherStatusNorImage) {
  struct Case {
    const char* what;
    int stream;
    bool succeeds;
  };
  for (const Case& c : {Case{"stdout, success", 1, true}, Case{"stderr, success", 2, true},
                        Case{"stdout, failure", 1, false}, Case{"stderr, failure", 2, false}}) {
    SCOPED_TRACE(c.what);
    const Workspace ws;
    RunOptions options;
    options.broken_pipes = {c.stream};
    const Outcome outcome =
        run_tarvisk({ws.image(), c.succeeds ? ws.manifest() : ws.file("missing")}, options);
    if (c.succeeds) {
      EXPECT_EQ(outcome.status, 0);
      ws.expect_manifest_stored(ws.original_manifest());
    } else {
      EXPECT_EQ(outcome.status, 255);
      ws.expect_untouched();
    }
  }
}

TEST(CommandLine, SamePathForBothOperandsStoresTheImageInItself) {
  const Workspace ws;
  // The manifest is read whole and closed before the image is opened for update.
  expect_success(run_tarvisk({ws.image(), ws.image()}), ws.image(), ws.image());
  ws.expect_manifest_stored(ws.original_image());
}

// Paths go into the messages unchanged; a name with conversion specifiers shows whether a
// path ever reached a format string.
TEST(CommandLine, PathsAreEchoedVerbatim) {
  const std::vector<std::string> names = {
      "with space.exe",
      "percent %s %d %n %x.exe",
      "quote ' and \" marks",
      "caf\xc3\xa9 \xe2\x9c\x93.exe",
      "-dash",
  };
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    Workspace ws;
    const std::string image = ws.file(name);
    const std::string manifest = ws.file(name + ".manifest");
    tarvisk_test::write_file(image, ws.original_image());
    tarvisk_test::write_file(manifest, ws.original_manifest());

    expect_success(run_tarvisk({image, manifest}), manifest, image);
    EXPECT_TRUE(resources_in_file(image)[manifest_key()] == ws.original_manifest());

    const std::string missing = ws.file(name + ".missing");
    expect_failure(run_tarvisk({image, missing}), manifest_open_line(missing));
    expect_failure(run_tarvisk({missing, manifest}), image_open_line(missing));
  }
}

TEST(CommandLine, RelativePathsAreUsedAsGiven) {
  const Workspace ws;
  RunOptions options;
  options.working_directory = ws.dir();
  expect_success(run_tarvisk({"app.exe", "./app.manifest"}, options), "./app.manifest", "app.exe");
  ws.expect_manifest_stored(ws.original_manifest());
}

}  // namespace
}  // namespace tarvisk_tool_test
