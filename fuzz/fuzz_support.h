// What the fuzz targets share: the hook each defines, seed images, and a loud failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pe_builder.h"

// Defined by every target; libFuzzer calls it, and so does the replay driver in ordinary builds.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace tarvisk_fuzz {

using tarvisk_test::Bytes;

struct Seed {
  std::string name;
  Bytes bytes;
};

// Whole images from the test image builder: every layout, PE32 and PE32+, with and without
// overlays, symbols, certificates, checksums and spare header room.
[[nodiscard]] std::vector<Seed> image_seeds();

// Resource sections (tree and blobs) for the tree target, encoded for the host image below.
[[nodiscard]] std::vector<Seed> tree_seeds();

// The image the tree target wraps around its input: the input becomes the resource section.
[[nodiscard]] tarvisk_test::PeOptions tree_host();

// Reports a broken property and aborts, so both libFuzzer and the replay driver see a crash.
[[noreturn]] void violated(const std::string& what);

}  // namespace tarvisk_fuzz
