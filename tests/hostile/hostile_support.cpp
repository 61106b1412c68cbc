// Process, mount and directory helpers for the hostile tests.
#include "hostile_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace tarvisk_hostile {

namespace {

void drop_to(const RunAs& as) {
  if (::setgroups(0, nullptr) != 0 || ::setresgid(as.gid, as.gid, as.gid) != 0 ||
      ::setresuid(as.uid, as.uid, as.uid) != 0)
    ::_exit(126);
}

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
  }
  return s;
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  return -1;
}

// The tool as another user can start it. The build tree may sit where that user cannot reach
// (a checkout under /root is mode 700), so the binary is copied once into a directory of the
// user's own in /tmp, removed when the tests end.
class ToolCopy {
 public:
  ~ToolCopy() {
    if (dir_.empty()) return;
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  const std::string& for_user(const RunAs& as) {
    if (!path_.empty()) return path_;
    std::string templ = "/tmp/tarvisk-tool-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr)
      throw std::runtime_error("cannot create a directory for the tool");
    dir_ = templ;
    path_ = dir_ + "/tarvisk";
    const Bytes tool = slurp(TARVISK_EXE);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0500);
    const bool written =
        fd >= 0 && ::write(fd, tool.data(), tool.size()) == static_cast<ssize_t>(tool.size());
    if (fd >= 0) ::close(fd);
    if (!written || ::chown(path_.c_str(), as.uid, as.gid) != 0 ||
        ::chown(dir_.c_str(), as.uid, as.gid) != 0)
      throw std::runtime_error("cannot copy the tool to " + dir_);
    return path_;
  }

 private:
  std::string dir_;
  std::string path_;
};

ToolCopy tool_copy;

}  // namespace

Outcome run_tool(const std::vector<std::string>& operands, std::optional<RunAs> as) {
  std::vector<std::string> args{as ? tool_copy.for_user(*as) : std::string(TARVISK_EXE)};
  args.insert(args.end(), operands.begin(), operands.end());
  std::vector<char*> argv = argv_of(args);
  // Both streams go to files, so a child that writes much to one never blocks on the other.
  char out_name[] = "/tmp/tarvisk-hostile-out-XXXXXX";
  char err_name[] = "/tmp/tarvisk-hostile-err-XXXXXX";
  const int out_fd = ::mkstemp(out_name);
  const int err_fd = ::mkstemp(err_name);
  if (out_fd < 0 || err_fd < 0) throw std::runtime_error("cannot create capture files");
  ::unlink(out_name);
  ::unlink(err_name);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    if (as) drop_to(*as);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  Outcome o;
  o.status = decode_status(status);
  ::lseek(out_fd, 0, SEEK_SET);
  ::lseek(err_fd, 0, SEEK_SET);
  o.out = drain(out_fd);
  o.err = drain(err_fd);
  ::close(out_fd);
  ::close(err_fd);
  return o;
}

pid_t start_tool(const std::vector<std::string>& operands) {
  std::vector<std::string> args{TARVISK_EXE};
  args.insert(args.end(), operands.begin(), operands.end());
  std::vector<char*> argv = argv_of(args);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

int wait_tool(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return decode_status(status);
}

int run_in_child(const std::function<int()>& body, std::optional<RunAs> as) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (as) drop_to(*as);
    ::_exit(body() & 0xff);
  }
  return wait_tool(pid);
}

std::string image_open_line(const std::string& executable_path) {
  return "Error trying to open executable image '" + executable_path + "'\n";
}

std::string update_line(unsigned code) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Error %x updating resource\n", code);
  return buf;
}

std::string success_line(const std::string& manifest_path, const std::string& executable_path) {
  return manifest_path + " inserted into " + executable_path + "\n";
}

std::set<std::string> entries_of(const std::string& directory) {
  std::set<std::string> names;
  DIR* d = ::opendir(directory.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.insert(n);
  }
  ::closedir(d);
  return names;
}

bool is_temporary(const std::string& name) { return name.rfind(".tarvisk-", 0) == 0; }

std::set<std::string> added_entries(const std::set<std::string>& before,
                                    const std::set<std::string>& after) {
  std::set<std::string> added;
  for (const std::string& n : after)
    if (before.count(n) == 0) added.insert(n);
  return added;
}

ScratchMount::ScratchMount(const std::string& options) : options_(options) {
  char templ[] = "/tmp/tarvisk-mount-XXXXXX";
  if (::mkdtemp(templ) == nullptr) throw std::runtime_error("cannot create a mount point");
  dir_ = templ;
  if (::mount("tarvisk-test", dir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options_.c_str()) != 0) {
    why_not_ = std::string("cannot mount a tmpfs here (") + std::strerror(errno) + "); needs root";
    return;
  }
  mounted_ = true;
  ::chmod(dir_.c_str(), 0777);
}

ScratchMount::~ScratchMount() {
  if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  ::rmdir(dir_.c_str());
}

bool ScratchMount::remount(bool read_only) {
  const unsigned long flags =
      MS_REMOUNT | MS_NOSUID | MS_NODEV | (read_only ? static_cast<unsigned long>(MS_RDONLY) : 0UL);
  return ::mount("tarvisk-test", dir_.c_str(), "tmpfs", flags, options_.c_str()) == 0;
}

void fill_file_system(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create the filler file");
  static const char block[4096] = {};
  for (std::size_t chunk = sizeof block; chunk > 0;) {
    const ssize_t n = ::write(fd, block, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) chunk /= 2;  // the last few bytes go in smaller pieces
  }
  ::fsync(fd);
  ::close(fd);
}

Bytes slurp(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot examine " + path);
  }
  Bytes out(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (done != out.size()) throw std::runtime_error("cannot read " + path);
  return out;
}

bool running_as_root() noexcept { return ::geteuid() == 0; }

double elapsed_ms(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace tarvisk_hostile
