// Rewrites on file systems that share blocks between files (XFS with reflink, btrfs), each
// loop-mounted for the test: the unchanged ranges are shared, not copied, yet the new image is
// byte for byte what the in-memory path builds, the old image keeps its bytes, and a kill at
// any moment leaves the old image or the new one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "hostile_support.h"
#include "resupdate/file_io.h"
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"

namespace {

using namespace tarvisk_hostile;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// A file system of its own, made in a sparse file and loop-mounted; unmounted, detached and
// removed on destruction, whatever the test did.
class LoopMount {
 public:
  explicit LoopMount(const std::string& fs) {
    if (!running_as_root()) {
      why_not_ = "loop mounts need root";
      return;
    }
    const std::string mkfs = fs == "xfs" ? "mkfs.xfs -q -f -m reflink=1" : "mkfs.btrfs -q -f";
    if (std::system(
            ("command -v " + mkfs.substr(0, mkfs.find(' ')) + " >/dev/null 2>&1").c_str()) != 0) {
      why_not_ = mkfs.substr(0, mkfs.find(' ')) + " is not installed";
      return;
    }
    char templ[] = "/var/tmp/tarvisk-loop-XXXXXX";
    if (::mkdtemp(templ) == nullptr) {
      why_not_ = "cannot create a directory for the file system";
      return;
    }
    base_ = templ;
    const std::string backing = base_ + "/fs.img";
    dir_ = base_ + "/mnt";
    const std::string make = "truncate -s 1G " + backing + " && " + mkfs + " " + backing +
                             " >/dev/null 2>&1 && mkdir " + dir_ + " && mount -o loop " + backing +
                             " " + dir_ + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
      why_not_ = "cannot make and loop-mount a " + fs + " file system here";
      return;
    }
    mounted_ = true;
  }
  ~LoopMount() {
    // The loop device goes with the last unmount (mount -o loop sets it to clear itself).
    if (mounted_ && ::umount2(dir_.c_str(), 0) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
    if (!base_.empty()) (void)std::system(("rm -rf " + base_).c_str());
  }
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;

  [[nodiscard]] bool mounted() const noexcept { return mounted_; }
  [[nodiscard]] const std::string& why_not() const noexcept { return why_not_; }
  [[nodiscard]] std::string file(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string base_;
  std::string dir_;
  bool mounted_ = false;
  std::string why_not_;
};

// Bytes of `path` that the file system reports as shared with another file.
std::uint64_t shared_bytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  constexpr std::size_t kExtents = 512;
  std::vector<std::uint64_t> buf((sizeof(fiemap) + kExtents * sizeof(fiemap_extent)) / 8);
  std::uint64_t shared = 0;
  for (std::uint64_t start = 0;;) {
    std::fill(buf.begin(), buf.end(), 0);
    auto* fm = reinterpret_cast<fiemap*>(buf.data());
    fm->fm_start = start;
    fm->fm_length = ~std::uint64_t{0} - start;
    fm->fm_flags = FIEMAP_FLAG_SYNC;
    fm->fm_extent_count = kExtents;
    if (::ioctl(fd, FS_IOC_FIEMAP, fm) != 0 || fm->fm_mapped_extents == 0) break;
    bool last = false;
    for (std::uint32_t i = 0; i < fm->fm_mapped_extents; ++i) {
      const fiemap_extent& e = fm->fm_extents[i];
      if ((e.fe_flags & FIEMAP_EXTENT_SHARED) != 0) shared += e.fe_length;
      start = e.fe_logical + e.fe_length;
      last = last || (e.fe_flags & FIEMAP_EXTENT_LAST) != 0;
    }
    if (last) break;
  }
  ::close(fd);
  return shared;
}

// Overlay bytes that differ at every position, so a misplaced or partial copy cannot match.
Bytes image_with_overlay(std::size_t overlay, bool checksum) {
  tarvisk_test::PeOptions o;
  o.layout =
      tarvisk_test::Layout::resources_then_reloc_debug;  // the reloc and debug sections move too
  o.checksum = checksum;
  o.resources = {tarvisk_test::manifest(1, 0, "old"), tarvisk_test::manifest(2, 0x409, "other")};
  o.overlay.resize(overlay);
  std::uint64_t x = 0x9e3779b97f4a7c15ULL;
  for (std::size_t i = 0; i < o.overlay.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    o.overlay[i] = static_cast<std::uint8_t>(x);
  }
  return tarvisk_test::build_pe_bytes(o);
}

// Where the file systems must be there (CI sets TARVISK_LOOP_MOUNTS_REQUIRED=1), a missing
// one is a fault, not a skip.
bool loop_mounts_required() {
  const char* v = std::getenv("TARVISK_LOOP_MOUNTS_REQUIRED");
  return v != nullptr && std::string(v) == "1";
}

const resupdate::ResourceKey kManifestKey{resupdate::ResourceId::number(24),
                                          resupdate::ResourceId::number(1), 0};

struct Case {
  const char* name;
  std::size_t overlay;
};

class SharedBlocks : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    mounts_ = new std::map<std::string, std::unique_ptr<LoopMount>>();
  }
  static void TearDownTestSuite() {
    delete mounts_;
    mounts_ = nullptr;
  }
  // One file system of each kind for the whole suite: making one takes a while.
  static const LoopMount& mount(const std::string& fs) {
    auto& m = (*mounts_)[fs];
    if (!m) m = std::make_unique<LoopMount>(fs);
    return *m;
  }
  static std::map<std::string, std::unique_ptr<LoopMount>>* mounts_;
};
std::map<std::string, std::unique_ptr<LoopMount>>* SharedBlocks::mounts_ = nullptr;

TEST_P(SharedBlocks, NewImageIsTheInMemoryOneAndTheOldKeepsItsBytes) {
  const LoopMount& fs = mount(GetParam());
  if (!fs.mounted()) {
    if (loop_mounts_required()) FAIL() << fs.why_not();
    GTEST_SKIP() << fs.why_not();
  }
  const std::size_t block = 4096;  // both file systems as made here
  const Case cases[] = {{"4 KiB", 4096},
                        {"a block less one", block - 1},
                        {"a block and one", block + 1},
                        {"1 MiB less one", kMiB - 1},
                        {"1 MiB and one", kMiB + 1},
                        {"17 MiB", 17 * kMiB}};
  const Bytes manifest = tarvisk_test::manifest_bytes(std::string(3000, 'm'));
  for (const Case& c : cases) {
    for (const bool checksum : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (checksum ? ", with a checksum" : ""));
      const Bytes original = image_with_overlay(c.overlay, checksum);
      auto in_memory =
          resupdate::ImageEditor::open(std::make_shared<resupdate::MemorySource>(original), false);
      ASSERT_TRUE(in_memory) << in_memory.error().detail;
      in_memory->put(kManifestKey, manifest);
      auto expected = resupdate::build_in_memory(*in_memory);
      ASSERT_TRUE(expected) << expected.error().detail;

      const std::string path = fs.file("app.exe");
      const std::string other_link = fs.file("app.old");
      tarvisk_test::write_file(path, original);
      ASSERT_EQ(::link(path.c_str(), other_link.c_str()), 0) << std::strerror(errno);
      {
        auto file = resupdate::FileSource::open(path);
        ASSERT_TRUE(file) << file.error().detail;
        auto editor = resupdate::ImageEditor::open(*file, false);
        ASSERT_TRUE(editor) << editor.error().detail;
        editor->put(kManifestKey, manifest);
        auto plan = plan_edit(*editor);
        ASSERT_TRUE(plan) << plan.error().detail;
        bool checked_before_rename = false;
        const resupdate::Status done = resupdate::replace_atomically(
            **file,
            [&](resupdate::ByteSink& sink) {
              return resupdate::write_image(*plan, editor->source(), sink);
            },
            [&](const resupdate::ByteSource& written) {
              // Written and flushed, not yet renamed: the old file must not have changed.
              checked_before_rename = true;
              EXPECT_TRUE(slurp(other_link) == original)
                  << "the old image changed while the new one was written";
              return resupdate::verify_image(written, *plan, editor->resources(), editor->source());
            });
        ASSERT_TRUE(done) << done.error().detail;
        EXPECT_TRUE(checked_before_rename);
      }
      const Bytes written = slurp(path);
      ASSERT_EQ(written.size(), expected->size());
      EXPECT_TRUE(written == *expected) << "the file and the in-memory image differ";
      EXPECT_TRUE(slurp(other_link) == original)
          << "the old image changed when the new one replaced it";
      // Both start their overlays at the same place within a block from 1 MiB on: all but the
      // unaligned ends of the overlay are shared (not in the portable build, which copies).
      if (c.overlay >= 17 * kMiB && !kPortable) {
        EXPECT_GE(shared_bytes(path), c.overlay - 2 * block);
      }
      // Writing into the new image must not show through in the old one.
      const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      const Bytes scribble(8192, 0xee);
      ASSERT_EQ(::pwrite(fd, scribble.data(), scribble.size(),
                         static_cast<off_t>(written.size() - scribble.size())),
                static_cast<ssize_t>(scribble.size()));
      ::fsync(fd);
      ::close(fd);
      EXPECT_TRUE(slurp(other_link) == original) << "a write to the new image reached the old one";
      ::unlink(path.c_str());
      ::unlink(other_link.c_str());
    }
  }
}

// Killed at staggered moments while it shares a large overlay: the image is always the old one
// or the complete new one.
TEST_P(SharedBlocks, KillLeavesTheOldImageOrTheNewOne) {
  const LoopMount& fs = mount(GetParam());
  if (!fs.mounted()) {
    if (loop_mounts_required()) FAIL() << fs.why_not();
    GTEST_SKIP() << fs.why_not();
  }
  constexpr int kTrials = 16;
  const std::string image = fs.file("app.exe");
  const std::string manifest = fs.file("app.manifest");
  const Bytes old_image = image_with_overlay(96 * kMiB, false);
  tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes("new"));
  tarvisk_test::write_file(image, old_image);
  ::sync();  // the old image's blocks are shared only once they are on the disk
  const auto start = std::chrono::steady_clock::now();
  const Outcome full = run_tool({image, manifest});
  const double full_ms = elapsed_ms(start);
  ASSERT_EQ(full.status, 0) << full.err;
  const Bytes new_image = slurp(image);
  ASSERT_FALSE(new_image == old_image);

  int kept_old = 0;
  int became_new = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    tarvisk_test::write_file(image, old_image);
    ::sync();
    const double delay_ms = full_ms * 1.2 * trial / (kTrials - 1);
    const pid_t pid = start_tool({image, manifest});
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(delay_ms));
    ::kill(pid, SIGKILL);
    (void)wait_tool(pid);
    const Bytes now = slurp(image);
    if (now == old_image) {
      ++kept_old;
    } else if (now == new_image) {
      ++became_new;
    } else {
      ADD_FAILURE() << "trial " << trial << " (killed after " << delay_ms
                    << " ms): neither the old image nor the new one";
    }
    // The finished image has a name for the two system calls between naming it and the rename;
    // a SIGKILL there leaves it whole. Nothing else may stay, except in the portable build,
    // whose new file has a name from the start that a kill gives no chance to remove.
    const std::string dir = image.substr(0, image.rfind('/'));
    for (const std::string& name : entries_of(dir)) {
      if (!is_temporary(name)) continue;
      if (!kPortable && slurp(dir + "/" + name) != new_image)
        ADD_FAILURE() << "trial " << trial << ": " << name << " left behind";
      ::unlink((dir + "/" + name).c_str());
    }
  }
  std::printf("%s: %d kills over a %.1f ms run: %d left the old image, %d the new one\n",
              GetParam(), kTrials, full_ms, kept_old, became_new);
  EXPECT_EQ(kept_old + became_new, kTrials);
  ::unlink(image.c_str());
  ::unlink(manifest.c_str());
}

// An installer-sized payload takes the file past 4 GiB: no field holds the file's size, so the
// image is rewritten as any other, in every placement, and the payload's last bytes end up as
// far along as the image grew. A sparse file, whose holes are shared as cheaply as its blocks.
TEST_P(SharedBlocks, ImagePastFourGiBIsRewritten) {
  const LoopMount& fs = mount(GetParam());
  if (!fs.mounted()) {
    if (loop_mounts_required()) FAIL() << fs.why_not();
    GTEST_SKIP() << fs.why_not();
  }
  if (kPortable)
    GTEST_SKIP() << "portable build: it copies with reads and writes, so the sparse 5 GiB would be "
                    "written in full, "
                    "more than the scratch file system holds";
  constexpr std::uint64_t kSize = std::uint64_t{5} << 30;
  const Bytes marker{'e', 'n', 'd', ' ', 'o', 'f', ' ', 'p', 'a', 'y', 'l', 'o', 'a', 'd'};
  const std::string image = fs.file("big.exe");
  const std::string manifest = fs.file("app.manifest");
  const Bytes manifest_bytes = tarvisk_test::manifest_bytes(std::string(9000, 'm'));
  tarvisk_test::write_file(manifest, manifest_bytes);
  for (const tarvisk_test::Layout layout :
       {tarvisk_test::Layout::resources_last, tarvisk_test::Layout::resources_then_reloc,
        tarvisk_test::Layout::resources_then_data}) {
    SCOPED_TRACE(tarvisk_test::layout_name(layout));
    tarvisk_test::PeOptions o;
    o.layout = layout;
    o.resources = {tarvisk_test::manifest(1, 0, "old")};
    tarvisk_test::write_file(image, tarvisk_test::build_pe_bytes(o));
    const int fd = ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kSize)), 0) << std::strerror(errno);
    ASSERT_EQ(::pwrite(fd, marker.data(), marker.size(), static_cast<off_t>(kSize - marker.size())),
              static_cast<ssize_t>(marker.size()));
    ::close(fd);

    const Outcome run = run_tool({image, manifest});
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat st {};
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    EXPECT_GE(size, kSize);
    Bytes tail(marker.size());
    const int in = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    EXPECT_EQ(::pread(in, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())),
              static_cast<ssize_t>(tail.size()));
    ::close(in);
    EXPECT_EQ(tail, marker);
    auto file = resupdate::FileSource::open(image);
    ASSERT_TRUE(file) << file.error().detail;
    auto editor = resupdate::ImageEditor::open(*file, false);
    ASSERT_TRUE(editor) << editor.error().detail;
    auto stored = editor->read(kManifestKey);
    ASSERT_TRUE(stored) << stored.error().detail;
    EXPECT_EQ(*stored, manifest_bytes);
    ::unlink(image.c_str());
  }
  ::unlink(manifest.c_str());
}

INSTANTIATE_TEST_SUITE_P(FileSystems, SharedBlocks, ::testing::Values("xfs", "btrfs"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
