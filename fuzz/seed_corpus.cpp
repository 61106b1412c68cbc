// Writes the seed corpora: whole images for the image and round-trip targets, resource
// sections for the tree target.
#include <cstdio>
#include <string>

#include "fuzz_support.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: fuzz_seeds <image-corpus-dir> <tree-corpus-dir>\n", stderr);
    return 2;
  }
  try {
    for (const auto& seed : tarvisk_fuzz::image_seeds())
      tarvisk_test::write_file(std::string(argv[1]) + "/seed-" + seed.name, seed.bytes);
    for (const auto& seed : tarvisk_fuzz::tree_seeds())
      tarvisk_test::write_file(std::string(argv[2]) + "/seed-" + seed.name, seed.bytes);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
