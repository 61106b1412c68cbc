// Disks and directories that refuse the new image, and images that change under the update:
// every run fails with its code and leaves the image exactly as it was, with no file beside it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "hostile_support.h"
#include "pe_builder.h"
#include "resupdate/winapi.h"

namespace {

using namespace tarvisk_hostile;

constexpr DWORD kFileNotFound = 0x2;
constexpr DWORD kAccessDenied = 0x5;
constexpr DWORD kSharingViolation = 0x20;
constexpr DWORD kDiskFull = 0x70;

Bytes image_bytes(std::size_t overlay = 0) {
  tarvisk_test::PeOptions o;
  o.layout = tarvisk_test::Layout::resources_then_reloc;
  o.resources = {tarvisk_test::manifest(1, 0, "old"), tarvisk_test::manifest(2, 0x409, "other")};
  o.overlay.resize(overlay);
  for (std::size_t i = 0; i < overlay; ++i)
    o.overlay[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
  return tarvisk_test::build_pe_bytes(o);
}

// Begin, update the manifest, end; the last-error code of the first call that failed, or 0.
int facade_update(const std::string& path) {
  HANDLE h = BeginUpdateResourceA(path.c_str(), FALSE);
  if (h == nullptr) return static_cast<int>(GetLastError());
  const Bytes m = tarvisk_test::manifest_bytes("new");
  if (UpdateResourceA(h, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID, 0,
                      const_cast<std::uint8_t*>(m.data()), static_cast<DWORD>(m.size())) == FALSE) {
    const DWORD code = GetLastError();
    (void)EndUpdateResourceA(h, TRUE);
    return static_cast<int>(code);
  }
  if (EndUpdateResourceA(h, FALSE) == FALSE) return static_cast<int>(GetLastError());
  return 0;
}

// A user whose permission bits apply: nobody when we are root, ourselves otherwise.
std::optional<RunAs> unprivileged() {
  if (running_as_root()) return RunAs{};
  return std::nullopt;
}

// Runs both the facade and the tool against `image`, expecting `code` from the facade and
// `message` from the tool, and the image and its directory left as they were.
void expect_refused(const std::string& dir, const std::string& image, const std::string& manifest,
                    DWORD code, const std::string& message, std::optional<RunAs> as) {
  const Bytes before = slurp(image);
  const auto entries = entries_of(dir);
  const int got = run_in_child([&] { return facade_update(image); }, as);
  if (got == 126) GTEST_SKIP() << "cannot switch to an unprivileged user here";
  EXPECT_EQ(got, static_cast<int>(code)) << "facade code";
  EXPECT_EQ(slurp(image), before);
  EXPECT_EQ(entries_of(dir), entries);

  const Outcome run = run_tool({image, manifest}, as);
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.err, message);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(slurp(image), before);
  EXPECT_EQ(entries_of(dir), entries) << "a file was left beside the image";
}

// A directory the unprivileged user may enter, removed with what it holds.
struct OpenDir {
  tarvisk_test::TempDir dir;
  OpenDir() { ::chmod(dir.path().c_str(), 0777); }
  ~OpenDir() { ::chmod(dir.path().c_str(), 0700); }
};

TEST(WriteFaults, ReadOnlyImage) {
  OpenDir d;
  const std::string image = d.dir.file("app.exe");
  const std::string manifest = d.dir.file("app.manifest");
  tarvisk_test::write_file(image, image_bytes());
  tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes("new"));
  ::chmod(image.c_str(), 0444);
  ::chmod(manifest.c_str(), 0644);
  expect_refused(d.dir.path(), image, manifest, kAccessDenied, image_open_line(image),
                 unprivileged());
}

TEST(WriteFaults, DirectoryWhereNoTemporaryFileCanBeCreated) {
  OpenDir d;
  const std::string image = d.dir.file("app.exe");
  const std::string manifest = d.dir.file("app.manifest");
  tarvisk_test::write_file(image, image_bytes());
  tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes("new"));
  ::chmod(image.c_str(), 0666);
  ::chmod(manifest.c_str(), 0644);
  ::chmod(d.dir.path().c_str(), 0555);
  expect_refused(d.dir.path(), image, manifest, kAccessDenied, update_line(kAccessDenied),
                 unprivileged());
}

TEST(WriteFaults, ReadOnlyFileSystem) {
  ScratchMount m("size=4m");
  if (!m.mounted()) GTEST_SKIP() << m.why_not();
  const std::string image = m.file("app.exe");
  const std::string manifest = m.file("app.manifest");
  tarvisk_test::write_file(image, image_bytes());
  tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes("new"));
  ASSERT_TRUE(m.remount(true));
  expect_refused(m.path(), image, manifest, kAccessDenied, image_open_line(image), std::nullopt);
}

// The file system is filled after the image and the manifest are in place: `room` bytes stay free.
void full_disk(std::uint64_t room_divisor) {
  ScratchMount m("size=2m");
  if (!m.mounted()) GTEST_SKIP() << m.why_not();
  const std::string image = m.file("app.exe");
  const std::string manifest = m.file("app.manifest");
  const Bytes bytes = image_bytes(600 * 1024);
  tarvisk_test::write_file(image, bytes);
  tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes("new"));
  fill_file_system(m.file("filler"));
  if (room_divisor != 0) {
    // Free part of the space again: the new image then fails part-way through, not at once.
    struct stat st {};
    ASSERT_EQ(::stat(m.file("filler").c_str(), &st), 0);
    const auto keep =
        static_cast<off_t>(st.st_size) - static_cast<off_t>(bytes.size() / room_divisor);
    ASSERT_GT(keep, 0);
    ASSERT_EQ(::truncate(m.file("filler").c_str(), keep), 0);
  }
  expect_refused(m.path(), image, manifest, kDiskFull, update_line(kDiskFull), std::nullopt);
}

TEST(WriteFaults, FullDisk) { full_disk(0); }
TEST(WriteFaults, DiskFillingUpPartWayThroughTheNewImage) { full_disk(2); }

// The image is swapped for another file after it was read and before the new one is put in
// place: the update must fail and leave the other file alone, never a mix of the two.
class ReplacedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.file("app.exe");
    tarvisk_test::write_file(image_, image_bytes(64 * 1024));
    // An old time, so that any later write shows in the modification time.
    const timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(image_.c_str(), old_times), 0);
    tarvisk_test::PeOptions o;
    o.resources = {tarvisk_test::manifest(1, 0, "a different image")};
    other_ = tarvisk_test::build_pe_bytes(o);
  }

  // Opens and changes the update, runs `swap`, then ends it; the code End gave.
  DWORD update_around(const std::function<void()>& swap) {
    HANDLE h = BeginUpdateResourceA(image_.c_str(), FALSE);
    EXPECT_NE(h, nullptr) << GetLastError();
    if (h == nullptr) return 0;
    const Bytes m = tarvisk_test::manifest_bytes("new");
    EXPECT_TRUE(UpdateResourceA(h, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID, 0,
                                const_cast<std::uint8_t*>(m.data()), static_cast<DWORD>(m.size())));
    swap();
    entries_ = entries_of(dir_.path());
    SetLastError(0);
    EXPECT_EQ(EndUpdateResourceA(h, FALSE), FALSE);
    return GetLastError();
  }

  tarvisk_test::TempDir dir_;
  std::string image_;
  Bytes other_;
  std::set<std::string> entries_;
};

TEST_F(ReplacedImage, ByAnotherFileRenamedOverIt) {
  const DWORD code = update_around([&] {
    tarvisk_test::write_file(dir_.file("other.exe"), other_);
    ASSERT_EQ(std::rename(dir_.file("other.exe").c_str(), image_.c_str()), 0);
  });
  EXPECT_EQ(code, kSharingViolation);
  EXPECT_EQ(slurp(image_), other_);
  EXPECT_EQ(entries_of(dir_.path()), entries_);
}

TEST_F(ReplacedImage, ByOtherBytesWrittenIntoIt) {
  Bytes same_size = image_bytes(64 * 1024);
  same_size[same_size.size() - 1] ^= 0xff;  // the overlay's last byte, copied as it is
  const DWORD code = update_around([&] { tarvisk_test::write_file(image_, same_size); });
  EXPECT_EQ(code, kSharingViolation);
  EXPECT_EQ(slurp(image_), same_size);
  EXPECT_EQ(entries_of(dir_.path()), entries_);
}

// Same size, and the modification time put back as it was: only the change time tells.
TEST_F(ReplacedImage, ByOtherBytesWrittenIntoItWithTheTimesPutBack) {
  Bytes same_size = image_bytes(64 * 1024);
  same_size[same_size.size() - 1] ^= 0xff;
  const DWORD code = update_around([&] {
    tarvisk_test::write_file(image_, same_size);
    const timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes(image_.c_str(), old_times), 0);
  });
  EXPECT_EQ(code, kSharingViolation);
  EXPECT_EQ(slurp(image_), same_size);
  EXPECT_EQ(entries_of(dir_.path()), entries_);
}

TEST_F(ReplacedImage, ByNothing) {
  const DWORD code = update_around([&] { ASSERT_EQ(::unlink(image_.c_str()), 0); });
  EXPECT_EQ(code, kFileNotFound);
  EXPECT_EQ(::access(image_.c_str(), F_OK), -1);
  EXPECT_EQ(entries_of(dir_.path()), entries_);
}

// Two runs on one image at the same moment: the image ends as one whole run's output. Runs
// that happen not to overlap apply one after the other, the second to the first's output, and
// that need not be the second's output alone: a section the first grew stays grown.
TEST(Races, TwoRunsAtOnceLeaveOneRunsOutput) {
  tarvisk_test::TempDir dir;
  const Bytes original = image_bytes(8 << 20);
  const std::string image = dir.file("app.exe");
  const std::string manifest_a = dir.file("a.manifest");
  const std::string manifest_b = dir.file("b.manifest");
  tarvisk_test::write_file(manifest_a, tarvisk_test::manifest_bytes("run a"));
  tarvisk_test::write_file(manifest_b, tarvisk_test::manifest_bytes("run b, a longer one"));

  // Each run's output, alone and after the other.
  Bytes out_a;
  Bytes out_b;
  Bytes out_ab;  // b's run on a's output
  Bytes out_ba;
  struct Run {
    const Bytes* input;
    const std::string* manifest;
    Bytes* out;
  };
  for (const Run& r : {Run{&original, &manifest_a, &out_a}, Run{&original, &manifest_b, &out_b},
                       Run{&out_a, &manifest_b, &out_ab}, Run{&out_b, &manifest_a, &out_ba}}) {
    tarvisk_test::write_file(image, *r.input);
    ASSERT_EQ(run_tool({image, *r.manifest}).status, 0);
    *r.out = slurp(image);
  }
  ASSERT_NE(out_a, out_b);

  const auto entries = entries_of(dir.path());
  int a_won = 0;
  int b_won = 0;
  for (int round = 0; round < 8; ++round) {
    tarvisk_test::write_file(image, original);
    const pid_t a = start_tool({image, manifest_a});
    const pid_t b = start_tool({image, manifest_b});
    const int status_a = wait_tool(a);
    const int status_b = wait_tool(b);
    const Bytes now = slurp(image);
    if (now == out_a || now == out_ba) {
      ++a_won;
      EXPECT_EQ(status_a, 0) << "round " << round;
      if (now != out_a) {
        EXPECT_EQ(status_b, 0) << "round " << round << ": a's run found b's output";
      }
    } else if (now == out_b || now == out_ab) {
      ++b_won;
      EXPECT_EQ(status_b, 0) << "round " << round;
      if (now != out_b) {
        EXPECT_EQ(status_a, 0) << "round " << round << ": b's run found a's output";
      }
    } else {
      ADD_FAILURE() << "round " << round << ": the image is neither run's output (exit " << status_a
                    << ", " << status_b << ")";
    }
    EXPECT_TRUE(status_a == 0 || status_a == 255) << status_a;
    EXPECT_TRUE(status_b == 0 || status_b == 255) << status_b;
    EXPECT_EQ(entries_of(dir.path()), entries)
        << "round " << round << ": a file was left beside the image";
  }
  std::printf("two runs at once: a's output %d times, b's %d times\n", a_won, b_won);
}

// Updates through the library on several threads at once, each on its own images in one
// directory: every image ends as the same update made alone leaves it, holding the new
// manifest, and nothing is left beside them.
TEST(Races, UpdatesOnSeveralThreadsAtOnceEachLeaveTheirOwnImage) {
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kImagesEach = 3;
  tarvisk_test::TempDir alone;
  tarvisk_test::TempDir dir;
  const Bytes manifest = tarvisk_test::manifest_bytes("new");
  std::vector<std::string> images;
  std::vector<Bytes> expected;
  for (std::size_t i = 0; i < kThreads * kImagesEach; ++i) {
    const Bytes original = image_bytes(i * 1000);
    const std::string name = "app" + std::to_string(i) + ".exe";
    tarvisk_test::write_file(alone.file(name), original);
    ASSERT_EQ(facade_update(alone.file(name)), 0) << name;
    expected.push_back(slurp(alone.file(name)));
    ASSERT_NE(std::search(expected.back().begin(), expected.back().end(), manifest.begin(),
                          manifest.end()),
              expected.back().end())
        << name;
    images.push_back(dir.file(name));
    tarvisk_test::write_file(images.back(), original);
  }
  const auto entries = entries_of(dir.path());

  std::vector<int> codes(images.size(), -1);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < images.size(); i += kThreads) codes[i] = facade_update(images[i]);
    });
  for (std::thread& thread : threads) thread.join();

  for (std::size_t i = 0; i < images.size(); ++i) {
    EXPECT_EQ(codes[i], 0) << images[i];
    EXPECT_EQ(slurp(images[i]), expected[i]) << images[i];
  }
  EXPECT_EQ(entries_of(dir.path()), entries) << "a file was left beside an image";
}

}  // namespace
