// Runs the built tarvisk executable with its streams captured to files.
#include "tool_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "invariants.h"
#include "resupdate/pe_image.h"
#include "resupdate/resource_tree.h"
#include "resupdate/source.h"

namespace tarvisk_tool_test {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string u16_to_text(const std::u16string& s) {
  std::string text;
  for (char16_t c : s) text += c < 0x80 ? static_cast<char>(c) : '?';
  return text;
}

std::string id_text(bool named, std::uint16_t id, const std::u16string& name) {
  if (!named) return std::to_string(id);
  // Appended in place: g++ 12 sees a possible overlap (-Wrestrict) in `"\"" + text + "\""`.
  std::string text = "\"";
  text += u16_to_text(name);
  text += '"';
  return text;
}

std::string key_text(const resupdate::ResourceKey& key) {
  return id_text(key.type.named, key.type.id, key.type.name) + "/" +
         id_text(key.name.named, key.name.id, key.name.name) + "/" + std::to_string(key.language);
}

std::uint64_t fnv1a(const Bytes& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (std::uint8_t b : bytes) hash = (hash ^ b) * 0x100000001b3ULL;
  return hash;
}

ResourceListing read_back(const resupdate::ByteSource& source) {
  ResourceListing listing;
  auto image = resupdate::PeImage::parse(source);
  if (!image) {
    ADD_FAILURE() << "the image does not parse: " << image.error().detail;
    return listing;
  }
  auto set = resupdate::decode_resources(*image, source);
  if (!set) {
    ADD_FAILURE() << "the resource tree does not decode: " << set.error().detail;
    return listing;
  }
  for (const auto& [key, data] : *set) {
    auto bytes = data.load(source);
    if (!bytes) {
      ADD_FAILURE() << "resource " << key_text(key) << " does not load: " << bytes.error().detail;
      continue;
    }
    listing[key_text(key)] = std::move(*bytes);
  }
  return listing;
}

// In a cross build the tool is started through its emulator: without a binfmt_misc entry
// the kernel cannot exec a program for another processor. CMake's list separator is '|' here.
std::vector<std::string> tool_command() {
  std::vector<std::string> command;
#ifdef TARVISK_EMULATOR
  const std::string emulator = TARVISK_EMULATOR;
  std::size_t start = 0;
  for (std::size_t bar = emulator.find('|'); bar != std::string::npos;
       bar = emulator.find('|', start)) {
    command.push_back(emulator.substr(start, bar - start));
    start = bar + 1;
  }
  command.push_back(emulator.substr(start));
#endif
  command.emplace_back(TARVISK_EXE);
  return command;
}

}  // namespace

Outcome run_tarvisk(const std::vector<std::string>& operands, const RunOptions& options) {
  tarvisk_test::TempDir capture;
  const std::string out_path = capture.file("stdout");
  const std::string err_path = capture.file("stderr");

  std::vector<std::string> args = tool_command();
  args.insert(args.end(), operands.begin(), operands.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int in = open(
        options.standard_input.empty() ? "/dev/null" : options.standard_input.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
      _exit(126);
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0)
      _exit(124);
    if (options.address_space_limit) {
      const rlimit limit{*options.address_space_limit, *options.address_space_limit};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
    }
    for (const int fd : options.closed_streams) close(fd);
    for (const int fd : options.broken_pipes) {
      int ends[2];
      if (pipe(ends) != 0 || close(ends[0]) != 0 || dup2(ends[1], fd) < 0) _exit(123);
      close(ends[1]);
    }
    if (options.time_limit_seconds != 0) alarm(options.time_limit_seconds);
    execv(argv[0], argv.data());
    _exit(127);
  }

  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  Outcome outcome;
  if (WIFEXITED(wait_status)) {
    outcome.status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    outcome.status = 1000 + WTERMSIG(wait_status);
  }
  outcome.out = slurp(out_path);
  outcome.err = slurp(err_path);
  return outcome;
}

std::string usage_line() { return "Usage: Tarvisk <executable> <manifest>\n"; }
std::string manifest_open_line(const std::string& manifest_path) {
  return "Error trying to open manifest file '" + manifest_path + "'\n";
}
std::string alloc_line(std::int64_t length) {
  return "Error allocing " + std::to_string(length) + " bytes\n";
}
std::string manifest_read_line(const std::string& manifest_path) {
  return "Error reading manifest file '" + manifest_path + "'\n";
}
std::string image_open_line(const std::string& executable_path) {
  return "Error trying to open executable image '" + executable_path + "'\n";
}
std::string update_line(std::uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", code);
  return "Error " + std::string(hex) + " updating resource\n";
}
std::string success_line(const std::string& manifest_path, const std::string& executable_path) {
  return manifest_path + " inserted into " + executable_path + "\n";
}

std::set<std::string> entries_of(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.insert(entry.path().filename());
  return names;
}

ResourceListing resources_in(const Bytes& image) {
  const resupdate::MemorySource source(image);
  return read_back(source);
}

ResourceListing resources_in_file(const std::string& path) {
  return resources_in(tarvisk_test::read_file(path));
}

ResourceListing listing_of(const std::vector<tarvisk_test::TestResource>& resources) {
  ResourceListing listing;
  for (const auto& r : resources) {
    const std::string key = id_text(r.type.named, r.type.id, r.type.name) + "/" +
                            id_text(r.name.named, r.name.id, r.name.name) + "/" +
                            std::to_string(r.language);
    listing[key] = r.data;
  }
  return listing;
}

std::string manifest_key() { return "24/1/0"; }

std::string describe(const ResourceListing& listing) {
  std::ostringstream text;
  for (const auto& [key, bytes] : listing) {
    text << key << ": " << bytes.size() << " bytes, fnv " << std::hex << fnv1a(bytes) << std::dec
         << "\n";
  }
  return text.str();
}

tarvisk_test::PeOptions ordinary_image() {
  tarvisk_test::PeOptions options;
  options.layout = tarvisk_test::Layout::resources_last;
  // A string table block whose first string is "Hello" (length-prefixed UTF-16).
  const Bytes block{5, 0, 'H', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                    0, 0, 0,   0, 0,   0, 0,   0, 0,   0, 0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  options.resources.push_back(tarvisk_test::TestResource{
      tarvisk_test::ResId::num(6), tarvisk_test::ResId::num(1), 1033, block, 0});
  return options;
}

Workspace::Workspace(const tarvisk_test::PeOptions& options, Bytes manifest)
    : image_path_(dir_.file("app.exe")), manifest_path_(dir_.file("app.manifest")) {
  replace_image(tarvisk_test::build_pe_bytes(options));
  replace_manifest(manifest);
}

std::string Workspace::add_directory(const std::string& name) {
  const std::string path = file(name);
  std::filesystem::create_directory(path);
  entries_ = entries_of(dir());
  return path;
}

std::string Workspace::add_symlink(const std::string& target, const std::string& name) {
  const std::string path = file(name);
  std::filesystem::create_symlink(target, path);
  entries_ = entries_of(dir());
  return path;
}

void Workspace::replace_image(const Bytes& bytes) {
  image_ = bytes;
  tarvisk_test::write_file(image_path_, image_);
  resources_.clear();
  // Images made to be refused have no resources worth listing.
  const resupdate::MemorySource source(image_);
  auto image = resupdate::PeImage::parse(source);
  if (image && resupdate::decode_resources(*image, source).ok()) resources_ = read_back(source);
  entries_ = entries_of(dir());
}

void Workspace::replace_manifest(const Bytes& bytes) {
  manifest_ = bytes;
  tarvisk_test::write_file(manifest_path_, manifest_);
  entries_ = entries_of(dir());
}

void Workspace::expect_untouched() const {
  EXPECT_TRUE(tarvisk_test::read_file(image_path_) == image_) << "the image changed";
  EXPECT_TRUE(tarvisk_test::read_file(manifest_path_) == manifest_) << "the manifest changed";
  EXPECT_EQ(entries_of(dir()), entries_)
      << "files appeared in or vanished from the image's directory";
}

void Workspace::expect_manifest_stored(const Bytes& manifest) const {
  std::string error;
  std::vector<tarvisk_test::TestResource> intended = tarvisk_test::read_resources(image_, &error);
  ASSERT_EQ(error, "") << "the original image's resources do not read";
  std::erase_if(intended, [](const tarvisk_test::TestResource& r) {
    return r.type == tarvisk_test::ResId::num(24) && r.name == tarvisk_test::ResId::num(1) &&
           r.language == 0;
  });
  intended.push_back(tarvisk_test::TestResource{tarvisk_test::ResId::num(24),
                                                tarvisk_test::ResId::num(1), 0, manifest, 0});
  EXPECT_TRUE(
      tarvisk_test::invariants_hold(image_, tarvisk_test::read_file(image_path_), intended));
  EXPECT_EQ(entries_of(dir()), entries_)
      << "files appeared in or vanished from the image's directory";
}

void expect_failure(const Outcome& outcome, const std::string& message) {
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, message);
}

void expect_success(const Outcome& outcome, const std::string& manifest_path,
                    const std::string& executable_path) {
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, success_line(manifest_path, executable_path));
  EXPECT_EQ(outcome.err, "");
}

bool sanitized_build() noexcept {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || \
    __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

const char* why_no_address_space_cap() noexcept {
  if (sanitized_build())
    return "the sanitizers' shadow memory does not fit under an address-space cap";
#ifdef TARVISK_EMULATOR
  return "the cap would hold the emulator, whose own mappings do not fit under it";
#else
  return nullptr;
#endif
}

}  // namespace tarvisk_tool_test
