// Writes the test support's images to a directory, so that builds for other processors can be
// run over the very same files as the native build and their outputs compared byte for byte.
#include <cstddef>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "pe_builder.h"

namespace {

using tarvisk_test::Bytes;
using tarvisk_test::Layout;
using tarvisk_test::PeOptions;
using tarvisk_test::ResId;
using tarvisk_test::TestResource;

struct Named {
  std::string name;
  Bytes bytes;
};

// Named types and names as well as integers, so that the sorted order of strings, their
// UTF-16 encoding and the code pages all pass through the byte order of the host.
std::vector<TestResource> mixed_resources() {
  std::vector<TestResource> resources = tarvisk_test::existing_manifests();
  resources.push_back(
      TestResource{ResId::str(u"MYTYPE"), ResId::str(u"SECOND"), 1033, Bytes(37, 0xa5), 1252});
  resources.push_back(
      TestResource{ResId::str(u"MYTYPE"), ResId::str(u"FIRST"), 0, Bytes{1, 2, 3}, 0});
  resources.push_back(TestResource{ResId::num(6), ResId::num(1), 1033, Bytes(42, 0x11), 0});
  resources.push_back(
      TestResource{ResId::num(10), ResId::num(0x7fff), 0x0407, Bytes(70000, 0x3c), 0});
  return resources;
}

// Every layout in both formats, each with the extras a real image carries that a rewrite must
// fix up or keep: checksum, COFF symbols, debug directory, overlay and certificate.
void sound_images(std::vector<Named>& out) {
  for (const Layout layout : tarvisk_test::kAllLayouts) {
    for (const bool plus : {false, true}) {
      const std::string stem =
          std::string(tarvisk_test::layout_name(layout)) + (plus ? "-pe32plus" : "-pe32");
      PeOptions o;
      o.pe32_plus = plus;
      o.layout = layout;
      if (layout != Layout::no_resources) o.resources = mixed_resources();
      out.push_back({stem, tarvisk_test::build_pe_bytes(o)});

      PeOptions extras = o;
      extras.checksum = true;
      extras.coff_symbols = 5;
      extras.debug_directory = true;
      extras.overlay = Bytes(3000, 0x5a);
      extras.certificate = Bytes(100, 0xce);
      out.push_back({stem + "-extras", tarvisk_test::build_pe_bytes(extras)});

      PeOptions roomy = o;
      roomy.resource_slack = 0x3000;
      roomy.file_alignment = 0x1000;
      out.push_back({stem + "-slack", tarvisk_test::build_pe_bytes(roomy)});

      PeOptions cramped = o;
      cramped.header_room = false;
      out.push_back({stem + "-no-header-room", tarvisk_test::build_pe_bytes(cramped)});
    }
  }
  PeOptions efi;
  efi.pe32_plus = true;
  efi.file_alignment = 0x1000;
  efi.address_gap = 0x4000;
  efi.number_of_rva_and_sizes = 6;
  efi.resources = mixed_resources();
  out.push_back({"efi-like", tarvisk_test::build_pe_bytes(efi)});
}

// Images the tool must refuse: cut short at the places its reader checks, and trees whose
// fields point outside their section.
void hostile_images(std::vector<Named>& out) {
  PeOptions o;
  o.resources = mixed_resources();
  const tarvisk_test::BuiltImage built = tarvisk_test::build_pe(o);
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{63},
                                   std::size_t{0x80}, std::size_t{built.section_table_offset},
                                   std::size_t{built.size_of_headers}, built.bytes.size() - 1}) {
    out.push_back(
        {"cut-at-" + std::to_string(length),
         Bytes(built.bytes.begin(), built.bytes.begin() + static_cast<std::ptrdiff_t>(length))});
  }
  Bytes far_header = built.bytes;
  tarvisk_test::put32(far_header, 0x3c, 0xfffffff0);
  out.push_back({"header-past-the-end", far_header});

  PeOptions garbage = o;
  garbage.raw_resource_section = [](std::uint32_t) {
    Bytes tree(64, 0xff);
    tarvisk_test::put16(tree, 14, 1);  // one integer entry pointing far outside
    return tree;
  };
  out.push_back({"tree-pointing-outside", tarvisk_test::build_pe_bytes(garbage)});

  PeOptions looped = o;
  looped.raw_resource_section = [](std::uint32_t) {
    Bytes tree(32, 0);
    tarvisk_test::put16(tree, 14, 1);
    tarvisk_test::put32(tree, 16, 24);
    tarvisk_test::put32(tree, 20, 0x80000000U);  // a subdirectory that is the root again
    return tree;
  };
  out.push_back({"tree-in-a-loop", tarvisk_test::build_pe_bytes(looped)});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dump_images <directory>\n");
    return 2;
  }
  try {
    std::filesystem::create_directories(argv[1]);
    std::vector<Named> images;
    sound_images(images);
    hostile_images(images);
    for (const Named& image : images)
      tarvisk_test::write_file(std::string(argv[1]) + "/" + image.name + ".exe", image.bytes);
    std::printf("%zu images\n", images.size());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dump_images: %s\n", e.what());
    return 1;
  }
  return 0;
}
