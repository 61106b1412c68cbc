// Each file call of the update failing in turn, signals arriving in the middle of it, a file-size
// limit and an append-only directory: one line, the old image (or, once it is renamed, the new
// one) and never a file left beside it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostile_support.h"
#include "invariants.h"
#include "pe_builder.h"

namespace {

using namespace tarvisk_hostile;

// The environment of the runs started while this lives: the shim preloaded, and told what to do.
class Fault {
 public:
  Fault(const std::string& call, int at) {
    ::setenv("LD_PRELOAD", TARVISK_FAULT_SHIM, 1);
    // A sanitizer runtime wants to be first among the libraries; the shim does not touch memory.
    ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    ::setenv("TARVISK_FAULT_CALL", call.c_str(), 1);
    ::setenv("TARVISK_FAULT_AT", std::to_string(at).c_str(), 1);
  }
  ~Fault() {
    for (const char* name : {"LD_PRELOAD", "ASAN_OPTIONS", "TARVISK_FAULT_CALL", "TARVISK_FAULT_AT",
                             "TARVISK_FAULT_ERRNO", "TARVISK_FAULT_SIGNAL", "TARVISK_FAULT_MISSING",
                             "TARVISK_FAULT_LOG", "TARVISK_FAULT_PAUSE", "TARVISK_FAULT_MEASURE"})
      ::unsetenv(name);
  }
  Fault(const Fault&) = delete;
  Fault& operator=(const Fault&) = delete;
  Fault& error(int err) {
    ::setenv("TARVISK_FAULT_ERRNO", std::to_string(err).c_str(), 1);
    return *this;
  }
  Fault& signal(int sig) {
    ::setenv("TARVISK_FAULT_SIGNAL", std::to_string(sig).c_str(), 1);
    return *this;
  }
  Fault& without_unnamed_files() {
    ::setenv("TARVISK_FAULT_MISSING", ("tmpfile:" + std::to_string(EOPNOTSUPP)).c_str(), 1);
    return *this;
  }
  // A seek to a regular file's end reports `length`, whatever the file holds.
  Fault& measured_as(std::uint64_t length) {
    ::setenv("TARVISK_FAULT_MEASURE", std::to_string(length).c_str(), 1);
    return *this;
  }
  // Calls that seem missing, as "copy:38,tmpfile:21"; each one refused gets a line in `log`.
  Fault& missing(const std::string& calls, const std::string& log) {
    ::setenv("TARVISK_FAULT_MISSING", calls.c_str(), 1);
    ::setenv("TARVISK_FAULT_LOG", log.c_str(), 1);
    return *this;
  }
};

// An image whose update copies a long overlay and carries an attribute to copy, with the bytes
// a successful run gives.
class Scene {
 public:
  Scene() {
    tarvisk_test::PeOptions o;
    o.layout = tarvisk_test::Layout::resources_then_reloc;
    o.resources = {tarvisk_test::manifest(1, 0, "old")};
    o.overlay.resize(256 * 1024);
    for (std::size_t i = 0; i < o.overlay.size(); ++i)
      o.overlay[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
    old_ = tarvisk_test::build_pe_bytes(o);
    tarvisk_test::write_file(manifest(), tarvisk_test::manifest_bytes("new"));
    reset();
    if (run_tool({image(), manifest()}).status != 0)
      throw std::runtime_error("the update fails without faults");
    new_ = slurp(image());
    reset();
    entries_ = entries_of(dir_.path());
  }
  void reset() {
    tarvisk_test::write_file(image(), old_);
    (void)::setxattr(image().c_str(), "user.origin", "test", 4, 0);
  }
  [[nodiscard]] std::string image() const { return dir_.file("app.exe"); }
  [[nodiscard]] std::string manifest() const { return dir_.file("app.manifest"); }
  [[nodiscard]] const std::string& dir() const { return dir_.path(); }
  [[nodiscard]] const Bytes& old_image() const { return old_; }
  [[nodiscard]] const Bytes& new_image() const { return new_; }
  [[nodiscard]] bool nothing_left() const { return entries_of(dir_.path()) == entries_; }

 private:
  tarvisk_test::TempDir dir_;
  Bytes old_;
  Bytes new_;
  std::set<std::string> entries_;
};

bool one_failure_line(const std::string& err, const std::string& image) {
  return err == image_open_line(image) ||
         std::regex_match(err, std::regex("Error [1-9a-f][0-9a-f]* updating resource\n"));
}

// Every call of each kind fails in turn, until the run has made fewer calls of it than that.
TEST(FileFaults, EachCallFailingInTurn) {
  Scene scene;
  std::vector<const char*> calls{"read",   "write",  "flush",   "metadata",
                                 "create", "rename", "dirflush"};
  if (kPortable) {
    std::printf(
        "portable build: no kernel copy and no unnamed file to name, so no copy or link calls to "
        "fail\n");
  } else {
    calls.insert(calls.end(), {"copy", "link"});
  }
  for (const char* call : calls) {
    for (const int err : {EIO, ENOSPC}) {
      int failed = 0;
      for (int at = 1; at <= 400; ++at) {
        SCOPED_TRACE(std::string(call) + " #" + std::to_string(at) + " failing with errno " +
                     std::to_string(err));
        Outcome run;
        {
          Fault fault(call, at);
          fault.error(err);
          run = run_tool({scene.image(), scene.manifest()});
        }
        EXPECT_TRUE(scene.nothing_left()) << "a file was left beside the image";
        if (run.status == 0) {
          EXPECT_EQ(slurp(scene.image()), scene.new_image());
          scene.reset();
          break;
        }
        ++failed;
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(one_failure_line(run.err, scene.image())) << run.err;
        // Only the flush after the rename comes too late to keep the old image.
        if (std::string(call) == "dirflush") {
          EXPECT_EQ(run.err, update_line(0x1d));
          EXPECT_EQ(slurp(scene.image()), scene.new_image());
          scene.reset();
        } else {
          EXPECT_EQ(slurp(scene.image()), scene.old_image());
        }
      }
      EXPECT_GT(failed, 0) << call << " was never called";
    }
  }
}

// The sanitizers catch the signals of faults themselves and report them as crashes.
bool sanitized_build() noexcept {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// Every catchable signal whose default ends the run, and a few the run ignores.
std::vector<int> catchable_signals() {
  std::vector<int> sigs{SIGINT,   SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,   SIGALRM,
                        SIGXCPU,  SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT, SIGRTMIN,
                        SIGRTMAX, SIGPIPE,   SIGXFSZ, SIGCHLD, SIGURG,  SIGWINCH};
  if (!sanitized_build())
    sigs.insert(sigs.end(), {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS});
  return sigs;
}

// Signals the tool ignores, or whose default is to be ignored: the run goes on to its end.
bool ends_the_run(int sig) {
  return sig != SIGPIPE && sig != SIGXFSZ && sig != SIGCHLD && sig != SIGURG && sig != SIGWINCH;
}

// A signal in the middle of the update, with or without unnamed files: the name the new file
// has (if any) goes with the run. SIGKILL gives no chance to remove a name, so it is only
// sent while the new file has none. Every other signal is held from the moment the new file
// has a name until the name is gone, so whatever it does then leaves nothing behind.
TEST(FileFaults, SignalsInTheMiddleLeaveNothingBehind) {
  Scene scene;
  // Signals that dump core would leave a core file wherever the run started.
  const rlimit no_core{0, 0};
  ASSERT_EQ(::setrlimit(RLIMIT_CORE, &no_core), 0);
  struct Case {
    int sig;
    bool unnamed;
  };
  std::vector<Case> cases{Case{SIGKILL, true}};
  for (const int sig : catchable_signals()) {
    cases.push_back(Case{sig, true});
    cases.push_back(Case{sig, false});
  }
  if (kPortable)
    std::printf("portable build: no unnamed files, so only the runs with a named one\n");
  for (const Case c : cases) {
    if (kPortable && c.unnamed) continue;
    for (const char* call : {"write", "flush", "link", "rename"}) {
      if (c.sig == SIGKILL && std::string(call) != "write" && std::string(call) != "flush")
        continue;
      if (!c.unnamed && std::string(call) == "link") continue;
      SCOPED_TRACE(std::string(strsignal(c.sig)) + " in " + call +
                   (c.unnamed ? "" : " without unnamed files"));
      Outcome run;
      {
        Fault fault(call, 1);
        fault.signal(c.sig);
        if (!c.unnamed) fault.without_unnamed_files();
        run = run_tool({scene.image(), scene.manifest()});
      }
      EXPECT_TRUE(scene.nothing_left()) << "a file was left beside the image";
      if (!ends_the_run(c.sig)) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(slurp(scene.image()), scene.new_image());
        scene.reset();
        continue;
      }
      EXPECT_EQ(run.status, 1000 + c.sig);
      // Naming and renaming are not interrupted once begun: the signal waits for the rename.
      const bool renamed = std::string(call) == "link" || std::string(call) == "rename";
      EXPECT_EQ(slurp(scene.image()), renamed ? scene.new_image() : scene.old_image());
      scene.reset();
    }
  }
}

// Another file renamed onto the image's name after the last check and before the new image
// takes it: the exchange brings that file out, sees it is not the image that was read, and
// puts it back.
TEST(FileFaults, FileRenamedOntoTheImageAtTheLastStepIsPutBack) {
  if (kPortable)
    GTEST_SKIP() << "portable build: POSIX has no exchange of two names, so the rename replaces "
                    "what it finds";
  Scene scene;
  const std::string other = scene.dir() + "/other.exe";
  const std::string pause = scene.dir() + "/paused";
  const Bytes other_bytes{'o', 't', 'h', 'e', 'r'};
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed new file" : "without unnamed files");
    tarvisk_test::write_file(other, other_bytes);
    pid_t pid = -1;
    {
      Fault fault("rename", 1);
      ::setenv("TARVISK_FAULT_PAUSE", pause.c_str(), 1);
      if (!unnamed) fault.without_unnamed_files();
      pid = start_tool({scene.image(), scene.manifest()});
      ::unsetenv("TARVISK_FAULT_PAUSE");
    }
    for (int waited = 0; waited < 20000 && ::access(pause.c_str(), F_OK) != 0; ++waited)
      ::usleep(1000);
    ASSERT_EQ(::access(pause.c_str(), F_OK), 0) << "the run never reached the exchange";
    ASSERT_EQ(std::rename(other.c_str(), scene.image().c_str()), 0);
    ASSERT_EQ(::unlink(pause.c_str()), 0);
    EXPECT_EQ(wait_tool(pid), 255);
    EXPECT_EQ(slurp(scene.image()), other_bytes);
    EXPECT_TRUE(scene.nothing_left()) << "a file was left beside the image";
    scene.reset();
  }
}

// A manifest that measures shorter than it is, as /proc files do, is read to its end: what it
// holds is stored, and past 2 GiB it fails as one that measures 2 GiB or more.
TEST(FileFaults, ManifestMeasuredShortIsReadToItsEnd) {
  Scene scene;
  const tarvisk_test::TempDir elsewhere;
  const std::string manifest = elsewhere.file("measured-short.manifest");
  struct Case {
    std::uint64_t size;
    std::uint64_t measured;
  };
  for (const Case c : {Case{300000, 0}, Case{300000, 4096}, Case{0x80000000ULL + 16, 12345}}) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes measured as " + std::to_string(c.measured));
    scene.reset();
    Bytes bytes;
    if (c.size < (1U << 20)) {
      bytes.resize(c.size);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
      tarvisk_test::write_file(manifest, bytes);
    } else {
      tarvisk_test::write_file(manifest, Bytes{'<', '?'});
      ASSERT_EQ(::truncate(manifest.c_str(), static_cast<off_t>(c.size)), 0)
          << std::strerror(errno);
    }
    Fault fault("none", 0);
    fault.measured_as(c.measured);
    const Outcome run = run_tool({scene.image(), manifest});
    if (bytes.empty()) {
      EXPECT_EQ(run.status, 255);
      EXPECT_EQ(run.err, "Error allocing -1 bytes\n");
      EXPECT_EQ(slurp(scene.image()), scene.old_image());
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      const auto stored = tarvisk_test::read_resources(slurp(scene.image()));
      EXPECT_TRUE(std::any_of(stored.begin(), stored.end(),
                              [&](const tarvisk_test::TestResource& r) {
                                return r.type ==
                                           tarvisk_test::ResId::num(tarvisk_test::kRtManifest) &&
                                       r.name == tarvisk_test::ResId::num(1) && r.language == 0 &&
                                       r.data == bytes;
                              }))
          << "the manifest's bytes are not stored at 24/1/0";
    }
    EXPECT_TRUE(scene.nothing_left());
  }
}

TEST(FileFaults, FileSizeLimitIsAFileTooLarge) {
  Scene scene;
  const int ok = run_in_child([&] {
    const rlimit limit{128 * 1024, 128 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    const Outcome run = run_tool({scene.image(), scene.manifest()});
    return run.status == 255 && run.out.empty() && run.err == update_line(0xdf) ? 0 : 1;
  });
  EXPECT_EQ(ok, 0) << "not one 'Error df updating resource' line and exit 255";
  EXPECT_EQ(slurp(scene.image()), scene.old_image());
  EXPECT_TRUE(scene.nothing_left()) << "a file was left beside the image";
}

// A name made in an append-only directory could never be removed again.
TEST(FileFaults, AppendOnlyDirectoryIsRefusedWithoutANameMade) {
  if (kPortable)
    GTEST_SKIP() << "portable build: POSIX has no call that reads a directory's append-only flag";
  Scene scene;
  const int dir = ::open(scene.dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  int flags = 0;
  if (::ioctl(dir, FS_IOC_GETFLAGS, &flags) != 0) {
    ::close(dir);
    GTEST_SKIP() << "this file system has no append-only flag";
  }
  const int append_only = flags | FS_APPEND_FL;
  if (::ioctl(dir, FS_IOC_SETFLAGS, &append_only) != 0) {
    ::close(dir);
    GTEST_SKIP() << "cannot make a directory append-only here (" << std::strerror(errno)
                 << "); needs root";
  }
  const Outcome run = run_tool({scene.image(), scene.manifest()});
  const bool left = !scene.nothing_left();
  (void)::ioctl(dir, FS_IOC_SETFLAGS, &flags);
  ::close(dir);
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.err, update_line(0x5));
  EXPECT_EQ(slurp(scene.image()), scene.old_image());
  EXPECT_FALSE(left) << "a file was left beside the image";
}

// Calls an older kernel or another file system lacks: the update takes the roads the portable
// build always takes, gives the same bytes and leaves nothing behind.
TEST(FileFaults, MissingLinuxCallsGiveTheSameImage) {
  Scene scene;
  const tarvisk_test::TempDir logs;
  const auto as = [](const char* call, int err) {
    return std::string(call) + ":" + std::to_string(err);
  };
  struct Case {
    const char* what;
    std::string missing;
    std::vector<std::string> refused;  // the calls this run must reach, and be refused
  };
  const std::string all = as("copy", ENOSYS) + "," + as("writeback", ENOSYS) + "," +
                          as("tmpfile", EISDIR) + "," + as("clone", EOPNOTSUPP) + "," +
                          as("flags", ENOTTY) + "," + as("emptypath", ENOENT) + "," +
                          as("proc", ENOENT) + "," + as("exchange", EINVAL);
  // sync_file_range comes only every 8 MiB and block cloning is not made here: refused if reached.
  const Case cases[] = {
      {"no copy_file_range", as("copy", ENOSYS), {"copy"}},
      {"copy_file_range across file systems", as("copy", EXDEV), {"copy"}},
      {"copy_file_range refusing these files", as("copy", EINVAL), {"copy"}},
      {"copy_file_range not for this file system", as("copy", EOPNOTSUPP), {"copy"}},
      {"no sync_file_range", as("writeback", ENOSYS), {}},
      {"a kernel without O_TMPFILE", as("tmpfile", EISDIR), {"tmpfile"}},
      {"a file system without unnamed files", as("tmpfile", EOPNOTSUPP), {"tmpfile"}},
      {"O_TMPFILE refused as unknown", as("tmpfile", EINVAL), {"tmpfile"}},
      {"no block cloning", as("clone", EOPNOTSUPP), {}},
      {"linkat refusing AT_EMPTY_PATH", as("emptypath", ENOENT), {"emptypath"}},
      {"AT_EMPTY_PATH without the capability", as("emptypath", EPERM), {"emptypath"}},
      {"AT_EMPTY_PATH refused and no /proc",
       as("emptypath", EPERM) + "," + as("proc", ENOENT),
       {"proc"}},
      {"no inode flags", as("flags", ENOTTY), {"flags"}},
      {"a file system that cannot exchange two names", as("exchange", EINVAL), {"exchange"}},
      {"a kernel without renameat2", as("exchange", ENOSYS), {"exchange"}},
      {"all of them at once", all, {"copy", "tmpfile", "flags", "exchange"}},
  };
  if (kPortable) std::printf("portable build: none of these calls is made, so none is refused\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string log = logs.file("refused");
    ::unlink(log.c_str());
    Outcome run;
    {
      Fault fault("none", 0);
      fault.missing(c.missing, log);
      run = run_tool({scene.image(), scene.manifest()});
    }
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(slurp(scene.image()), scene.new_image());
    EXPECT_TRUE(scene.nothing_left()) << "a file was left beside the image";
    if (!kPortable) {
      const Bytes lines = ::access(log.c_str(), F_OK) == 0 ? tarvisk_test::read_file(log) : Bytes{};
      const std::string refused(lines.begin(), lines.end());
      for (const std::string& call : c.refused)
        EXPECT_NE(refused.find(call + "\n"), std::string::npos) << call << " was not reached";
    }
    scene.reset();
  }
}

}  // namespace
