// Loading the manifest: open failures, sizes the 32-bit length cannot carry, short reads,
// and bytes of any kind stored exactly.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace tarvisk_tool_test {
namespace {

using tarvisk_test::Bytes;

// A file of `size` bytes that takes no disk space.
void make_sparse(const std::string& path, std::uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const int rc = ftruncate(fd, static_cast<off_t>(size));
  close(fd);
  ASSERT_EQ(rc, 0) << "cannot make a sparse file of " << size << " bytes here";
}

TEST(ManifestLoad, UnopenableManifestIsReportedBeforeTheImageIsTouched) {
  Workspace ws;
  ws.add_directory("folder");
  struct Case {
    const char* what;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"missing file", ws.file("missing.manifest")},
      {"directory", ws.file("folder")},
      {"directory with a trailing slash", ws.file("folder") + "/"},
      {"missing directory on the path", ws.file("nowhere/app.manifest")},
      {"regular file used as a directory", ws.manifest() + "/app.manifest"},
      {"empty path", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expect_failure(run_tarvisk({ws.image(), c.path}), manifest_open_line(c.path));
    ws.expect_untouched();
    // The manifest is loaded first, so a missing image does not change the message.
    expect_failure(run_tarvisk({ws.file("missing.exe"), c.path}), manifest_open_line(c.path));
  }
}

TEST(ManifestLoad, UnreadableManifestIsAnOpenFailure) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  const Workspace ws;
  ASSERT_EQ(chmod(ws.manifest().c_str(), 0), 0);
  expect_failure(run_tarvisk({ws.image(), ws.manifest()}), manifest_open_line(ws.manifest()));
  ASSERT_EQ(chmod(ws.manifest().c_str(), 0644), 0);
  ws.expect_untouched();
}

// The length is a signed 32-bit count: from 2 GiB on it cannot be measured, and past 4 GiB
// a truncated position would look like a small, valid length.
TEST(ManifestLoad, ManifestOf2GiBOrMoreIsAFailedMeasurement) {
  const Workspace ws;
  const std::vector<std::uint64_t> sizes = {0x80000000ULL, 0xC0000000ULL, 0x100000010ULL,
                                            0x180000000ULL};
  for (const std::uint64_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string big = ws.file("big.manifest");
    make_sparse(big, size);
    expect_failure(run_tarvisk({ws.image(), big}), alloc_line(-1));
    std::filesystem::remove(big);
    ws.expect_untouched();
  }
}

TEST(ManifestLoad, AllocationFailureReportsTheMeasuredLength) {
  if (const char* why = why_no_address_space_cap()) GTEST_SKIP() << why;
  const Workspace ws;
  const std::string big = ws.file("big.manifest");
  make_sparse(big, 0x60000000);  // 1.5 GiB, under the 2 GiB limit but over the cap below
  RunOptions options;
  options.address_space_limit = 512ULL << 20;
  expect_failure(run_tarvisk({ws.image(), big}, options), alloc_line(0x60000000));
  std::filesystem::remove(big);
  ws.expect_untouched();
}

// Special files whose reported size exceeds what a read delivers (sysfs attributes claim a
// page) are the one reliable way to make the read fall short of the measured length.
std::string short_read_file() {
  const char* candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled",
                              "/sys/kernel/profiling", "/sys/power/state",
                              "/sys/kernel/mm/transparent_hugepage/defrag"};
  for (const char* path : candidates) {
    struct stat info {};
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) continue;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad() || static_cast<std::uint64_t>(info.st_size) <= content.str().size()) continue;
    return path;
  }
  return {};
}

TEST(ManifestLoad, ShortReadIsAFailureAndTheImageIsNeverOpened) {
  const std::string path = short_read_file();
  if (path.empty()) GTEST_SKIP() << "no file here reads shorter than its size";
  const Workspace ws;
  expect_failure(run_tarvisk({ws.image(), path}), manifest_read_line(path));
  ws.expect_untouched();
  expect_failure(run_tarvisk({ws.file("missing.exe"), path}), manifest_read_line(path));
}

// Files with no length to measure: a seek to their end is refused, or they are not regular
// files at all. Opening one must not wait either, as a FIFO with no writer would.
TEST(ManifestLoad, SpecialFilesAreAFailedMeasurementAndNeverWaitedOn) {
  const Workspace ws;
  const std::string fifo = ws.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  RunOptions options;
  options.time_limit_seconds = 20;
  for (const std::string& path : {std::string("/proc/self/status"), std::string("/dev/zero"),
                                  std::string("/dev/urandom"), fifo}) {
    SCOPED_TRACE(path);
    expect_failure(run_tarvisk({ws.image(), path}, options), alloc_line(-1));
  }
  std::filesystem::remove(fifo);
  ws.expect_untouched();
}

// Regular files that measure 0 by seeking to their end, whatever they hold: read to their end,
// what they hold is stored. The tool's own command line is known exactly, and a long image
// path makes it long enough for the block to grow more than once; so is the host name.
TEST(ManifestLoad, ProcFilesThatMeasureZeroAreReadToTheirEnd) {
  const Workspace ws;
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  struct Case {
    std::string path;
    std::string expected;  // the stored bytes, or empty where they vary from run to run
  };
  std::string long_image = ws.dir() + "/";
  for (int i = 0; i < 6000; ++i) long_image += "./";
  long_image += "app.exe";
  const std::string cmdline =
      std::string(TARVISK_EXE) + '\0' + long_image + '\0' + "/proc/self/cmdline" + '\0';
  for (const Case& c : {Case{"/proc/sys/kernel/hostname", std::string(host) + "\n"},
                        Case{"/proc/self/cmdline", cmdline}, Case{"/proc/self/environ", ""}}) {
    SCOPED_TRACE(c.path);
    struct stat info {};
    ASSERT_EQ(stat(c.path.c_str(), &info), 0);
    ASSERT_EQ(info.st_size, 0) << "no longer a file that measures 0";
    const std::string image = c.path == "/proc/self/cmdline" ? long_image : ws.image();
    expect_success(run_tarvisk({image, c.path}), c.path, image);
    const Bytes stored = resources_in_file(ws.image())[manifest_key()];
    const std::string text(stored.begin(), stored.end());
    if (!c.expected.empty()) {
      EXPECT_EQ(text, c.expected);
    }
    EXPECT_FALSE(text.empty() && c.path != "/proc/self/environ");
  }
}

TEST(ManifestLoad, StandardInputFromARegularFileIsStored) {
  const Workspace ws;
  RunOptions options;
  options.standard_input = ws.manifest();
  expect_success(run_tarvisk({ws.image(), "/dev/stdin"}, options), "/dev/stdin", ws.image());
  ws.expect_manifest_stored(ws.original_manifest());
}

Bytes from_text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(ManifestLoad, AnyBytesAreStoredUnchanged) {
  Bytes every_byte;
  for (int round = 0; round < 3; ++round) {
    for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<std::uint8_t>(b));
  }
  Bytes large(3 * 1024 * 1024 + 7);
  std::uint32_t state = 12345;
  for (auto& b : large) {
    state = state * 1103515245U + 12345U;
    b = static_cast<std::uint8_t>(state >> 16);
  }
  struct Case {
    const char* what;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"one byte", {0x0a}},
      {"CRLF and a UTF-8 byte-order mark",
       from_text("\xef\xbb\xbf<?xml version=\"1.0\"?>\r\n<assembly manifestVersion=\"1.0\"/>\r\n")},
      {"UTF-16LE with a byte-order mark",
       {0xff, 0xfe, '<', 0, 'a', 0, '/', 0, '>', 0, '\r', 0, '\n', 0}},
      {"a lone CR, a NUL and a Ctrl-Z", from_text(std::string("a\rb\0c\x1a"
                                                              "d",
                                                              7))},
      {"every byte value", every_byte},
      {"three mebibytes of noise", large},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Workspace ws(ordinary_image(), c.bytes);
    expect_success(run_tarvisk({ws.image(), ws.manifest()}), ws.manifest(), ws.image());
    ws.expect_manifest_stored(c.bytes);
  }
}

}  // namespace
}  // namespace tarvisk_tool_test
