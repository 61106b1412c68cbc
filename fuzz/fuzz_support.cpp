// Seed images for the fuzz targets, made with the test image builder.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace tarvisk_fuzz {

using tarvisk_test::Layout;
using tarvisk_test::PeOptions;
using tarvisk_test::ResId;
using tarvisk_test::TestResource;

namespace {

// A mix the decoder must sort and the encoder must keep apart: integer and string types and
// names, several languages under one name, an empty blob and an odd-sized one.
std::vector<TestResource> varied_resources() {
  std::vector<TestResource> r;
  r.push_back(tarvisk_test::manifest(1, 0, "first"));
  r.push_back(tarvisk_test::manifest(1, 0x409, "english"));
  r.push_back(TestResource{ResId::num(6), ResId::num(7), 0x409, Bytes{1, 0, 'A', 0}, 1252});
  r.push_back(TestResource{ResId::str(u"MUI"), ResId::num(1), 0, Bytes(13, 0x5a), 0});
  r.push_back(TestResource{ResId::str(u"TYPELIB"), ResId::str(u"A"), 0, Bytes{}, 0});
  r.push_back(TestResource{ResId::num(10), ResId::str(u"CONFIG"), 7, Bytes{'x', 'y', 'z'}, 0});
  return r;
}

std::string layout_tag(const PeOptions& o) {
  return std::string(o.pe32_plus ? "pe32plus-" : "pe32-") + tarvisk_test::layout_name(o.layout);
}

}  // namespace

void violated(const std::string& what) {
  std::fprintf(stderr, "tarvisk fuzz: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::vector<Seed> image_seeds() {
  std::vector<Seed> seeds;
  auto add = [&](const std::string& name, const PeOptions& o) {
    seeds.push_back(Seed{name, tarvisk_test::build_pe_bytes(o)});
  };
  for (bool plus : {false, true}) {
    for (Layout layout : tarvisk_test::kAllLayouts) {
      PeOptions o;
      o.pe32_plus = plus;
      o.layout = layout;
      if (layout != Layout::no_resources) o.resources = varied_resources();
      add(layout_tag(o), o);
    }
    PeOptions o;
    o.pe32_plus = plus;
    o.resources = {tarvisk_test::manifest(1, 0, "only")};
    o.overlay = Bytes(48, 0xcc);
    o.coff_symbols = 3;
    o.checksum = true;
    add(layout_tag(o) + "-overlay-symbols-checksum", o);

    o = PeOptions{};
    o.pe32_plus = plus;
    o.layout = Layout::resources_then_data;
    o.header_room = false;
    o.resources = varied_resources();
    o.certificate = Bytes(24, 0x3c);
    add(layout_tag(o) + "-no-room-certificate", o);

    // Section and file alignment equal and small: the file is mapped as it lies.
    o = PeOptions{};
    o.pe32_plus = plus;
    o.file_alignment = 0x200;
    o.section_alignment = 0x200;
    o.layout = Layout::resources_then_reloc;
    o.resources = varied_resources();
    add(layout_tag(o) + "-mapped-as-is", o);

    o = PeOptions{};
    o.pe32_plus = plus;
    o.number_of_rva_and_sizes = 3;
    o.resource_dir_offset = 0x20;
    o.resource_slack = 0x400;
    o.resources = varied_resources();
    add(layout_tag(o) + "-three-directories-offset-tree", o);
  }
  return seeds;
}

PeOptions tree_host() {
  PeOptions o;
  o.layout = Layout::resources_last;
  return o;
}

std::vector<Seed> tree_seeds() {
  const std::uint32_t rva = tarvisk_test::planned_rsrc_rva(tree_host());
  std::vector<Seed> seeds;
  seeds.push_back(Seed{"empty-root", tarvisk_test::encode_resource_section({}, rva)});
  seeds.push_back(Seed{
      "manifest", tarvisk_test::encode_resource_section({tarvisk_test::manifest(1, 0, "m")}, rva)});
  seeds.push_back(Seed{"varied", tarvisk_test::encode_resource_section(varied_resources(), rva)});
  return seeds;
}

}  // namespace tarvisk_fuzz
