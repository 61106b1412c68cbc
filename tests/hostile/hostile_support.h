// Shared by the hostile tests: running the tool (optionally as another user), mounting
// scratch file systems, and looking at what a run left in a directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pe_builder.h"

namespace tarvisk_hostile {

// The build that uses only POSIX calls: no unnamed files, ACLs or extended attributes.
#ifdef TARVISK_PORTABLE_POSIX
inline constexpr bool kPortable = true;
#else
inline constexpr bool kPortable = false;
#endif

using tarvisk_test::Bytes;

struct Outcome {
  int status = -1;  // exit status (255 for the tool's -1); 1000 + signal number if killed
  std::string out;
  std::string err;
};

// A user to run as instead of root, so that permission bits apply.
struct RunAs {
  uid_t uid = 65534;
  gid_t gid = 65534;
};

// Runs the built tool with these operands and waits for it.
[[nodiscard]] Outcome run_tool(const std::vector<std::string>& operands,
                               std::optional<RunAs> as = std::nullopt);

// Starts the tool without waiting; its streams go to /dev/null.
[[nodiscard]] pid_t start_tool(const std::vector<std::string>& operands);
// Waits for a started tool: its exit status, or 1000 + the signal that ended it.
[[nodiscard]] int wait_tool(pid_t pid);

// Runs `body` in a child process as `as` and hands back what it returns (0..255).
[[nodiscard]] int run_in_child(const std::function<int()>& body,
                               std::optional<RunAs> as = std::nullopt);

// The tool's messages.
[[nodiscard]] std::string image_open_line(const std::string& executable_path);
[[nodiscard]] std::string update_line(unsigned code);
[[nodiscard]] std::string success_line(const std::string& manifest_path,
                                       const std::string& executable_path);

// The names in a directory.
[[nodiscard]] std::set<std::string> entries_of(const std::string& directory);
// Whether `name` is one the tool gives its new image until the rename (`.tarvisk-` and 8 hex
// digits).
[[nodiscard]] bool is_temporary(const std::string& name);
// Names in `after` that were not in `before` (a temporary file left behind).
[[nodiscard]] std::set<std::string> added_entries(const std::set<std::string>& before,
                                                  const std::set<std::string>& after);

// A tmpfs mounted at a fresh directory and unmounted (with everything in it) on destruction.
// `mounted()` is false when this process may not mount, with the reason in `why_not()`.
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& options);
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  [[nodiscard]] bool mounted() const noexcept { return mounted_; }
  [[nodiscard]] const std::string& why_not() const noexcept { return why_not_; }
  [[nodiscard]] const std::string& path() const noexcept { return dir_; }
  [[nodiscard]] std::string file(const std::string& name) const { return dir_ + "/" + name; }
  // Makes the mount read-only (or writable again).
  [[nodiscard]] bool remount(bool read_only);

 private:
  std::string dir_;
  std::string options_;
  bool mounted_ = false;
  std::string why_not_;
};

// Fills the file system holding `path` until no byte is left, by writing the file `path`.
void fill_file_system(const std::string& path);

// A whole file, read in large pieces (the test support's reader goes byte by byte, which is
// slow for the images of hundreds of MiB used here). Throws when the file cannot be read.
[[nodiscard]] Bytes slurp(const std::string& path);

[[nodiscard]] bool running_as_root() noexcept;

// Milliseconds since `start`.
[[nodiscard]] double elapsed_ms(std::chrono::steady_clock::time_point start);

}  // namespace tarvisk_hostile
