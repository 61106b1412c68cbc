// Tarvisk's entry: checks the command line and runs the load and the update in order.
#include <cstdio>
#include <cstdlib>

#include "tarvisk.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("Usage: Tarvisk <executable> <manifest>\n", stderr);
    return -1;
  }
  const char* executable_path = argv[1];
  const char* manifest_path = argv[2];

  // The manifest is read and closed before the image is opened, so both operands may name
  // the same file.
  manifest_payload payload{};
  if (!load_manifest(manifest_path, payload)) return -1;

  const bool updated = update_manifest_resource(executable_path, payload);
  std::free(payload.bytes);
  if (!updated) return -1;

  std::printf("%s inserted into %s\n", manifest_path, executable_path);
  return 0;
}
