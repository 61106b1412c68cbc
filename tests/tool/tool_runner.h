// Runs the built tarvisk executable as a user would and inspects what it left behind.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pe_builder.h"

namespace tarvisk_tool_test {

using tarvisk_test::Bytes;

// What one run of the tool gave: its exit status and the two streams, captured apart.
struct Outcome {
  int status = -1;  // exit status (255 for the tool's -1); 1000 + signal number if killed
  std::string out;
  std::string err;
};

struct RunOptions {
  // Caps the child's address space, so that large allocations fail for real.
  std::optional<std::uint64_t> address_space_limit;
  // Runs the tool from this directory, for relative paths.
  std::string working_directory;
  // Standard input comes from this file instead of /dev/null.
  std::string standard_input;
  // These of descriptors 0, 1 and 2 are closed when the tool starts.
  std::vector<int> closed_streams;
  // These of descriptors 1 and 2 are pipes whose reading end is already closed.
  std::vector<int> broken_pipes;
  // A run still going after this long is ended by SIGALRM (status 1014); 0 for no limit.
  unsigned time_limit_seconds = 0;
};

// Runs the tool with exactly these operands (argv[1..]).
[[nodiscard]] Outcome run_tarvisk(const std::vector<std::string>& operands,
                                  const RunOptions& options = {});

// The exact lines the tool writes.
[[nodiscard]] std::string usage_line();
[[nodiscard]] std::string manifest_open_line(const std::string& manifest_path);
[[nodiscard]] std::string alloc_line(std::int64_t length);
[[nodiscard]] std::string manifest_read_line(const std::string& manifest_path);
[[nodiscard]] std::string image_open_line(const std::string& executable_path);
[[nodiscard]] std::string update_line(std::uint32_t code);
[[nodiscard]] std::string success_line(const std::string& manifest_path,
                                       const std::string& executable_path);

// The names in a directory, to notice a temporary file left behind.
[[nodiscard]] std::set<std::string> entries_of(const std::string& directory);

// A resource key written as "type/name/language" (strings in quotes), for readable diffs.
using ResourceListing = std::map<std::string, Bytes>;

// The resources of a PE image as the core reads them back; fails the test if it cannot.
[[nodiscard]] ResourceListing resources_in(const Bytes& image);
[[nodiscard]] ResourceListing resources_in_file(const std::string& path);
// The resources a builder image holds, keyed the same way.
[[nodiscard]] ResourceListing listing_of(const std::vector<tarvisk_test::TestResource>& resources);
[[nodiscard]] std::string manifest_key();

// One line per resource with its size and a hash of its bytes: compares whole sets while
// keeping a failure message short.
[[nodiscard]] std::string describe(const ResourceListing& listing);

// An image with one ordinary resource besides any manifest: a string table entry.
[[nodiscard]] tarvisk_test::PeOptions ordinary_image();

// A fresh directory holding an image ("app.exe") and a manifest ("app.manifest").
class Workspace {
 public:
  explicit Workspace(const tarvisk_test::PeOptions& options = ordinary_image(),
                     Bytes manifest = tarvisk_test::manifest_bytes());

  [[nodiscard]] const std::string& dir() const noexcept { return dir_.path(); }
  [[nodiscard]] std::string file(const std::string& name) const { return dir_.file(name); }
  [[nodiscard]] const std::string& image() const noexcept { return image_path_; }
  [[nodiscard]] const std::string& manifest() const noexcept { return manifest_path_; }
  // The bytes written before the run.
  [[nodiscard]] const Bytes& original_image() const noexcept { return image_; }
  [[nodiscard]] const Bytes& original_manifest() const noexcept { return manifest_; }
  // The resources the image holds before the run.
  [[nodiscard]] const ResourceListing& original_resources() const noexcept { return resources_; }

  // Creates `name` in the directory and counts it among the entries that must stay.
  std::string add_directory(const std::string& name);
  std::string add_symlink(const std::string& target, const std::string& name);

  void replace_image(const Bytes& bytes);
  void replace_manifest(const Bytes& bytes);

  // Fails the test unless the image, the manifest and the directory are as they were.
  void expect_untouched() const;
  // Fails the test unless the image holds its old resources with `manifest` at 24/1/0, keeps
  // every invariant of a sound rewrite, and nothing but the image changed in the directory.
  void expect_manifest_stored(const Bytes& manifest) const;

 private:
  tarvisk_test::TempDir dir_;
  std::string image_path_;
  std::string manifest_path_;
  Bytes image_;
  Bytes manifest_;
  ResourceListing resources_;
  std::set<std::string> entries_;
};

// Expectations on one run's streams and status.
void expect_failure(const Outcome& outcome, const std::string& message);
void expect_success(const Outcome& outcome, const std::string& manifest_path,
                    const std::string& executable_path);

// True when the tests run with sanitizers, which do not survive an address-space cap.
[[nodiscard]] bool sanitized_build() noexcept;
// Why the tool cannot be run under an address-space cap here, or null when it can: the
// sanitizers' shadow memory does not fit under one, and an emulator would be capped itself.
[[nodiscard]] const char* why_no_address_space_cap() noexcept;

}  // namespace tarvisk_tool_test
