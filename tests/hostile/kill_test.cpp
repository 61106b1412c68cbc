// The tool killed with SIGKILL at staggered moments while it rewrites a large image: the
// image is always either the old one or the complete new one, byte for byte, and the new file
// being written has no name to leave behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "hostile_support.h"
#include "pe_builder.h"

namespace {

using namespace tarvisk_hostile;

constexpr std::size_t kOverlay = 256U << 20;  // an installer-sized payload after the sections
constexpr int kTrials = 24;

// Overlay bytes that differ at every position, so a misplaced or partial copy cannot match.
void append_overlay(Bytes& image, std::size_t size) {
  const std::size_t start = image.size();
  image.resize(start + size);
  std::uint64_t x = 0x9e3779b97f4a7c15ULL;
  for (std::size_t i = start; i + 8 <= image.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(image.data() + i, &x, 8);
  }
}

// What a file holds, compared with two reference files piece by piece (the images are too
// large to read whole on every trial).
enum class Match { first, second, neither };

Match compare(const std::string& path, const std::string& first, const std::string& second) {
  const int fds[3] = {::open(path.c_str(), O_RDONLY | O_CLOEXEC),
                      ::open(first.c_str(), O_RDONLY | O_CLOEXEC),
                      ::open(second.c_str(), O_RDONLY | O_CLOEXEC)};
  bool same[2] = {true, true};
  struct stat st[3]{};
  for (int i = 0; i < 3; ++i) {
    if (fds[i] < 0 || ::fstat(fds[i], &st[i]) != 0) same[0] = same[1] = false;
  }
  if (same[0]) same[0] = st[0].st_size == st[1].st_size;
  if (same[1]) same[1] = st[0].st_size == st[2].st_size;
  std::vector<char> buf[3];
  for (auto& b : buf) b.resize(4U << 20);
  while (same[0] || same[1]) {
    ssize_t n[3] = {};
    for (int i = 0; i < 3; ++i) n[i] = ::read(fds[i], buf[i].data(), buf[i].size());
    for (int k = 0; k < 2; ++k)
      same[k] = same[k] && n[0] == n[k + 1] &&
                std::memcmp(buf[0].data(), buf[k + 1].data(),
                            static_cast<std::size_t>(std::max<ssize_t>(n[0], 0))) == 0;
    if (n[0] <= 0) break;
  }
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
  return same[0] ? Match::first : same[1] ? Match::second : Match::neither;
}

// Puts a copy of `from` at `to`, copied inside the kernel.
void copy_file(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1U << 30, 0);
    ASSERT_GE(n, 0) << std::strerror(errno);
    if (n == 0) break;
  }
  ::close(in);
  ::close(out);
}

TEST(Kill, AtAnyMomentLeavesTheOldImageOrTheNewOne) {
  // A tmpfs of its own where this may mount, so the test neither fills nor waits on a disk.
  ScratchMount mount("size=1200m");
  std::unique_ptr<tarvisk_test::TempDir> fallback;
  std::string dir = mount.path();
  if (!mount.mounted()) {
    fallback = std::make_unique<tarvisk_test::TempDir>();
    dir = fallback->path();
    std::printf("no tmpfs (%s); working in %s\n", mount.why_not().c_str(), dir.c_str());
  }
  const std::string image = dir + "/app.exe";
  const std::string manifest = dir + "/app.manifest";

  tarvisk_test::PeOptions o;
  o.layout = tarvisk_test::Layout::resources_then_reloc_debug;
  o.resources = {tarvisk_test::manifest(1, 0, "old"), tarvisk_test::manifest(1, 0x409, "english")};
  Bytes old_image = tarvisk_test::build_pe_bytes(o);
  append_overlay(old_image, kOverlay);
  tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes("new"));

  // The complete new image, and how long a whole run takes.
  const std::string old_copy = dir + "/old.bin";
  const std::string new_copy = dir + "/new.bin";
  tarvisk_test::write_file(old_copy, old_image);
  const std::size_t image_size = old_image.size();
  old_image = Bytes{};
  copy_file(old_copy, image);
  const auto start = std::chrono::steady_clock::now();
  const Outcome full = run_tool({image, manifest});
  const double full_ms = elapsed_ms(start);
  ASSERT_EQ(full.status, 0) << full.err;
  ASSERT_EQ(std::rename(image.c_str(), new_copy.c_str()), 0);
  copy_file(old_copy, image);
  ASSERT_EQ(compare(image, old_copy, new_copy), Match::first);

  int kept_old = 0;
  int became_new = 0;
  int killed_mid_run = 0;
  int left_behind = 0;
  int left_finished = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    // From at once to a little past the whole run's length.
    const double delay_ms = full_ms * 1.2 * trial / (kTrials - 1);
    const pid_t pid = start_tool({image, manifest});
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(delay_ms));
    ::kill(pid, SIGKILL);
    const int status = wait_tool(pid);

    int left = 0;
    for (const std::string& name : entries_of(dir)) {
      if (!is_temporary(name)) continue;
      // The finished image has a name for the two system calls between naming it and the
      // rename; a SIGKILL there cannot be caught, and leaves it whole. Nothing else may stay.
      const std::string path = dir + "/" + name;
      if (compare(path, new_copy, new_copy) == Match::first) {
        ++left_finished;
      } else {
        ++left;
      }
      ::unlink(path.c_str());
    }
    left_behind += left;
    killed_mid_run += status == 1000 + SIGKILL && delay_ms > full_ms * 0.1 ? 1 : 0;

    switch (compare(image, old_copy, new_copy)) {
      case Match::first: ++kept_old; break;
      case Match::second:
        ++became_new;
        copy_file(old_copy, image);
        break;
      case Match::neither:
        ADD_FAILURE() << "trial " << trial << " (killed after " << delay_ms << " ms, status "
                      << status << "): the image is neither the old one nor the new one";
        copy_file(old_copy, image);
        break;
    }
  }
  std::printf(
      "%d kill trials over a %.0f ms run of a %zu MiB image: %d left the old image, %d the new "
      "one, "
      "%d were killed in the middle of the run, %d files were left behind, %d finished images "
      "were left under their temporary name\n",
      kTrials, full_ms, image_size >> 20, kept_old, became_new, killed_mid_run, left_behind,
      left_finished);
  EXPECT_EQ(kept_old + became_new, kTrials);
#ifdef TARVISK_PORTABLE_POSIX
  // A kill gives no chance to remove a name, and without unnamed files the new file has one from
  // the start: what is left is counted above, not failed.
  std::printf("portable build: no unnamed files, so a killed run may leave its new file behind\n");
#else
  EXPECT_EQ(left_behind, 0);
#endif
  // Without this the kills may all have landed before or after the interesting part.
  EXPECT_GT(killed_mid_run, 0);
  for (const std::string& f : {image, manifest, old_copy, new_copy}) ::unlink(f.c_str());
}

}  // namespace
