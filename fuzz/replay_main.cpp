// Replays fuzz inputs through a target without libFuzzer: the generated seeds, then every
// file in the directories or files named on the command line.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

int usage() {
  std::fputs("usage: replay [--image-seeds | --tree-seeds] [file-or-directory...]\n", stderr);
  return 2;
}

void run(const std::string& name, const tarvisk_fuzz::Bytes& bytes) {
  std::fprintf(stderr, "replaying %s (%zu bytes)\n", name.c_str(), bytes.size());
  // A copy of exactly the input's size, so a read past its end is seen by the sanitizers.
  std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
}

tarvisk_fuzz::Bytes slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return tarvisk_fuzz::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--image-seeds" || arg == "--tree-seeds") {
      const auto seeds =
          arg == "--image-seeds" ? tarvisk_fuzz::image_seeds() : tarvisk_fuzz::tree_seeds();
      for (const auto& seed : seeds) run("seed " + seed.name, seed.bytes), ++count;
      continue;
    }
    if (!arg.empty() && arg[0] == '-') return usage();
    const fs::path path(arg);
    std::vector<fs::path> files;
    if (fs::is_directory(path)) {
      for (const auto& entry : fs::directory_iterator(path))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
          files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(path)) {
      files.push_back(path);
    } else {
      std::fprintf(stderr, "replay: no such file or directory: %s\n", arg.c_str());
      return 2;
    }
    for (const auto& file : files) run(file.string(), slurp(file)), ++count;
  }
  std::printf("replayed %zu inputs, no failure\n", count);
  return 0;
}
