// What the new file keeps of the old one (owner and group where allowed, ACL, extended
// attributes), and a hostile owner of the directory swapping the image while root updates it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hostile_support.h"
#include "pe_builder.h"
#include "resupdate/file_io.h"

namespace {

using namespace tarvisk_hostile;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr gid_t kUsers = 100;

Bytes image_bytes() {
  tarvisk_test::PeOptions o;
  o.resources = {tarvisk_test::manifest(1, 0, "old")};
  return tarvisk_test::build_pe_bytes(o);
}

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// Root rewrites a set-user-ID image in a directory its owner controls; while the new file is
// written the owner puts a link to a root-owned program in its place, and (in one case) puts
// the image back before the name is checked. The new file must never take the program's
// owner, and a name that no longer leads to the unchanged file that was read stays as it is.
TEST(Ownership, ImageSwappedDuringTheUpdateIsLeftAlone) {
  if (!running_as_root())
    GTEST_SKIP() << "needs root, to give the image and its directory to another user";
  for (const bool swapped_back : {true, false}) {
    SCOPED_TRACE(swapped_back ? "image put back" : "link left in place");
    tarvisk_test::TempDir dir;
    tarvisk_test::TempDir root_dir;
    const std::string image = dir.file("app.exe");
    const std::string aside = dir.file("aside.exe");
    const std::string program = root_dir.file("program");
    const Bytes bytes = image_bytes();
    tarvisk_test::write_file(image, bytes);
    tarvisk_test::write_file(program, Bytes{'r', 'o', 'o', 't'});
    ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(::chown(image.c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(::chmod(image.c_str(), 04755), 0);
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

    auto file = resupdate::FileSource::open(image);
    ASSERT_TRUE(file) << file.error().detail;
    std::set<std::string> entries;
    // What the directory holds at that moment, less the new file where it has a name.
    const auto entries_now = [&] {
      std::set<std::string> now = entries_of(dir.path());
      std::erase_if(now, is_temporary);
      return now;
    };
    const resupdate::Status done = resupdate::replace_atomically(
        **file,
        [&](resupdate::ByteSink& sink) {
          EXPECT_EQ(std::rename(image.c_str(), aside.c_str()), 0);
          EXPECT_EQ(::symlink(program.c_str(), image.c_str()), 0);
          entries = entries_now();
          return sink.write(bytes);
        },
        [&](const resupdate::ByteSource&) {
          if (swapped_back) {
            EXPECT_EQ(::unlink(image.c_str()), 0);
            EXPECT_EQ(std::rename(aside.c_str(), image.c_str()), 0);
            entries = entries_now();
          }
          return resupdate::Status{};
        });
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().code, resupdate::Errc::sharing_violation) << done.error().detail;
    file->reset();

    EXPECT_EQ(entries_of(dir.path()), entries) << "a file was left beside the image";
    EXPECT_EQ(slurp(program), (Bytes{'r', 'o', 'o', 't'}));
    EXPECT_EQ(stat_of(program).st_uid, 0U);
    const std::string original = swapped_back ? image : aside;
    EXPECT_EQ(slurp(original), bytes);
    EXPECT_EQ(stat_of(original).st_uid, kNobody);
    EXPECT_EQ(stat_of(original).st_mode & 07777, 04755U);
    if (!swapped_back) {
      EXPECT_TRUE(S_ISLNK(stat_of(image).st_mode));
    }
  }
}

std::string command_output(const std::string& command) {
  std::string text;
  if (std::FILE* p = ::popen(command.c_str(), "r")) {
    char buf[512];
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, p)) text.append(buf, n);
    if (::pclose(p) != 0) text = "(failed)";
  }
  return text;
}

std::string attribute(const std::string& path, const char* name) {
  char value[256];
  const ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(n));
}

// A deny entry and a group entry narrowed by the mask must not become plain mode bits, which
// would let that user read the image or that group write it; and an image without an ACL, in
// a directory whose default ACL a new file inherits, must not come out with one.
TEST(Ownership, AccessListAndExtendedAttributesAreKept) {
#ifdef TARVISK_PORTABLE_POSIX
  GTEST_SKIP()
      << "portable build: POSIX has no calls for ACLs or extended attributes, so none are copied";
#endif
  struct Case {
    const char* what;
    const char* image_acl;      // setfacl -m on the image, or none
    const char* directory_acl;  // setfacl -d -m on its directory, or none
  };
  for (const Case& c : {Case{"an ACL on the image", "u:nobody:---,g:users:rw,m:r", nullptr},
                        Case{"no ACL, a default ACL on the directory", nullptr,
                             "u:nobody:rwx,g:users:---,m:rwx"}}) {
    SCOPED_TRACE(c.what);
    tarvisk_test::TempDir dir;
    const std::string image = dir.file("app.exe");
    const std::string manifest = dir.file("app.manifest");
    tarvisk_test::write_file(image, image_bytes());
    ASSERT_EQ(::chmod(image.c_str(), 0640), 0);
    tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes("new"));
    if (c.image_acl != nullptr &&
        std::system(
            ("setfacl -m " + std::string(c.image_acl) + " '" + image + "' 2>/dev/null").c_str()) !=
            0)
      GTEST_SKIP() << "cannot set an ACL here (needs setfacl from the acl package and a file "
                      "system with ACLs)";
    if (c.directory_acl != nullptr && std::system(("setfacl -d -m " + std::string(c.directory_acl) +
                                                   " '" + dir.path() + "' 2>/dev/null")
                                                      .c_str()) != 0)
      GTEST_SKIP() << "cannot set a default ACL here (needs setfacl from the acl package and a "
                      "file system with ACLs)";
    if (::setxattr(image.c_str(), "user.origin", "build 7", 7, 0) != 0)
      GTEST_SKIP() << "no user extended attributes on this file system";
    const bool trusted =
        running_as_root() && ::setxattr(image.c_str(), "trusted.origin", "signed", 6, 0) == 0;
    const std::string acl_before = command_output("getfacl --omit-header '" + image + "'");
    if (c.image_acl != nullptr) {
      ASSERT_NE(acl_before.find("user:nobody:---"), std::string::npos) << acl_before;
    }
    const mode_t mode_before = stat_of(image).st_mode;

    const Outcome run = run_tool({image, manifest});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(command_output("getfacl --omit-header '" + image + "'"), acl_before);
    EXPECT_EQ(stat_of(image).st_mode, mode_before);
    EXPECT_EQ(attribute(image, "user.origin"), "build 7");
    if (trusted) {
      EXPECT_EQ(attribute(image, "trusted.origin"), "signed");
    }
  }
}

// The tool, where another user may run it: the build tree may sit in a directory only root
// can enter.
class ToolForOthers {
 public:
  ToolForOthers() {
    ::chmod(dir_.path().c_str(), 0711);
    tarvisk_test::write_file(path(), tarvisk_test::read_file(TARVISK_EXE));
    ::chmod(path().c_str(), 0755);
  }
  [[nodiscard]] std::string path() const { return dir_.file("tarvisk"); }

 private:
  tarvisk_test::TempDir dir_;
};

// The new file has the image's owner and group, or the run fails and the image stays: a user
// keeps the group only where they belong to it, and root without CAP_CHOWN (in a container,
// or under `setpriv --bounding-set -chown`) may not hand another user's set-user-ID image
// back to them, nor make it root's own.
TEST(Ownership, GroupIsKeptWhereTheUserBelongsToIt) {
  if (!running_as_root()) GTEST_SKIP() << "needs root, to run the tool as another user";
  const ToolForOthers tool;
  struct Case {
    const char* what;
    uid_t runs_as;
    std::vector<gid_t> groups;
    bool without_chown;
    uid_t image_owner;
    gid_t image_group;
    mode_t mode;
    bool stored;
  };
  for (const Case& c :
       {Case{"member of the image's group", kNobody, {kUsers}, false, kNobody, kUsers, 0666, true},
        Case{"not a member", kNobody, {}, false, kNobody, kUsers, 0666, false},
        Case{"root without CAP_CHOWN, another user's set-user-ID image",
             0,
             {},
             true,
             kNobody,
             kNogroup,
             04755,
             false},
        Case{"root without CAP_CHOWN, root's own set-user-ID image",
             0,
             {},
             true,
             0,
             0,
             04755,
             true}}) {
    SCOPED_TRACE(c.what);
    tarvisk_test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string image = dir.file("app.exe");
    const std::string manifest = dir.file("app.manifest");
    const Bytes before = image_bytes();
    tarvisk_test::write_file(image, before);
    tarvisk_test::write_file(manifest, tarvisk_test::manifest_bytes("new"));
    ASSERT_EQ(::chown(image.c_str(), c.image_owner, c.image_group), 0);
    ASSERT_EQ(::chmod(image.c_str(), c.mode), 0);
    ASSERT_EQ(::chmod(manifest.c_str(), 0644), 0);
    const std::set<std::string> entries = entries_of(dir.path());

    const tarvisk_test::TempDir capture;
    const std::string err_path = capture.file("err");
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(null, 1);
      ::dup2(err, 2);
      // Dropped from the bounding set, CAP_CHOWN is not among root's capabilities after exec.
      if (c.without_chown && ::prctl(PR_CAPBSET_DROP, CAP_CHOWN, 0, 0, 0) != 0) ::_exit(125);
      if (c.runs_as != 0 && (::setgroups(c.groups.size(), c.groups.data()) != 0 ||
                             ::setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
                             ::setresuid(c.runs_as, c.runs_as, c.runs_as) != 0))
        ::_exit(126);
      ::execl(tool.path().c_str(), "tarvisk", image.c_str(), manifest.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const int status = wait_tool(pid);
    if (status == 125)
      GTEST_SKIP() << "cannot drop CAP_CHOWN from the bounding set here (needs CAP_SETPCAP)";
    EXPECT_EQ(stat_of(image).st_uid, c.image_owner);
    EXPECT_EQ(stat_of(image).st_gid, c.image_group);
    EXPECT_EQ(stat_of(image).st_mode & 07777, c.mode);
    EXPECT_EQ(entries_of(dir.path()), entries) << "a file was left beside the image";
    if (c.stored) {
      EXPECT_EQ(status, 0);
      EXPECT_NE(slurp(image), before);
    } else {
      EXPECT_EQ(status, 255);
      EXPECT_EQ(slurp(err_path),
                (Bytes{'E', 'r', 'r', 'o', 'r', ' ', '5', ' ', 'u', 'p', 'd', 'a', 't',
                       'i', 'n', 'g', ' ', 'r', 'e', 's', 'o', 'u', 'r', 'c', 'e', '\n'}));
      EXPECT_EQ(slurp(image), before);
    }
  }
}

}  // namespace
