// The invariant checker itself: every rewrite test leans on it, so it must notice damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "invariants.h"
#include "pe_builder.h"

namespace tarvisk_test {
namespace {

PeOptions decorated() {
  PeOptions o;
  o.layout = Layout::resources_then_reloc;
  o.checksum = true;
  o.overlay = Bytes(20, 0x5A);
  o.coff_symbols = 2;
  o.debug_directory = true;
  o.resources = {TestResource{ResId::num(24), ResId::num(1), 0, manifest_bytes(), 0},
                 TestResource{ResId::str(u"T"), ResId::num(2), 1033, Bytes{1, 2, 3}, 1252}};
  return o;
}

TEST(Checker, AcceptsUnchangedImages) {
  for (Layout layout : kAllLayouts) {
    for (bool plus : {false, true}) {
      PeOptions o = decorated();
      o.layout = layout;
      o.pe32_plus = plus;
      if (layout == Layout::no_resources) o.resources.clear();
      const Bytes img = build_pe_bytes(o);
      EXPECT_TRUE(invariants_hold(img, img, o.resources))
          << layout_name(layout) << (plus ? " PE32+" : " PE32");
    }
  }
}

struct Damage {
  const char* name;
  std::function<void(BuiltImage&, std::vector<TestResource>&)> apply;
  const char* expect;  // a phrase the report must contain
};

std::size_t section_header(const BuiltImage& img, std::size_t index) {
  return img.section_table_offset + 40 * index;
}

const std::vector<Damage>& damages() {
  static const std::vector<Damage> all = {
      {"code_byte",
       [](BuiltImage& i, auto&) { i.bytes[i.sections[0].pointer_to_raw_data + 1] ^= 1; },
       "section 0 (.text): contents changed"},
      {"data_byte",
       [](BuiltImage& i, auto&) { i.bytes[i.sections[1].pointer_to_raw_data + 0x30] ^= 1; },
       "(.data): contents changed"},
      {"checksum",
       [](BuiltImage& i, auto&) {
         put32(i.bytes, i.checksum_offset, get32(i.bytes, i.checksum_offset) + 1);
       },
       "CheckSum"},
      {"overlay_byte_lost", [](BuiltImage& i, auto&) { i.bytes.pop_back(); }, "overlay not kept"},
      {"size_of_image",
       [](BuiltImage& i, auto&) { put32(i.bytes, i.checksum_offset - 8, 0x100000); },
       "SizeOfImage"},
      {"resource_bytes", [](BuiltImage&, std::vector<TestResource>& r) { r[0].data[3] ^= 1; },
       "differ"},
      {"resource_missing",
       [](BuiltImage&, std::vector<TestResource>& r) {
         r.push_back(TestResource{ResId::num(24), ResId::num(1), 1033, {}, 0});
       },
       "missing"},
      {"resource_unexpected", [](BuiltImage&, std::vector<TestResource>& r) { r.pop_back(); },
       "unexpected resource"},
      {"code_page", [](BuiltImage&, std::vector<TestResource>& r) { r[1].code_page = 0; },
       "code page"},
      {"section_gap",
       [](BuiltImage& i, auto&) {
         const std::size_t h = section_header(i, 3) + 12;
         put32(i.bytes, h, get32(i.bytes, h) + 0x1000);
       },
       "contiguous"},
      {"unaligned_raw_pointer",
       [](BuiltImage& i, auto&) {
         const std::size_t h = section_header(i, 1) + 20;
         put32(i.bytes, h, get32(i.bytes, h) + 4);
       },
       "PointerToRawData not aligned"},
      {"dos_stub", [](BuiltImage& i, auto&) { i.bytes[0x50] ^= 1; }, "DOS header"},
      {"two_rsrc",
       [](BuiltImage& i, auto&) {
         const std::string name = ".rsrc";
         std::copy(name.begin(), name.end(),
                   i.bytes.begin() + static_cast<std::ptrdiff_t>(section_header(i, 1)));
       },
       "sections named .rsrc"},
      {"import_directory_moved",
       [](BuiltImage& i, auto&) {
         put32(i.bytes, i.data_directories_offset + 8,
               get32(i.bytes, i.data_directories_offset + 8) + 4);
       },
       "data directory 1"},
      {"debug_pointer_stale",
       [](BuiltImage& i, auto&) {
         const BuiltSection& text = i.sections[0];
         const std::size_t entry1 =
             text.pointer_to_raw_data + (i.debug_directory_rva - text.virtual_address) + 28;
         put32(i.bytes, entry1 + 24, get32(i.bytes, entry1 + 24) + 0x10);
       },
       "debug entry 1: PointerToRawData"},
      {"debug_address_stale",
       [](BuiltImage& i, auto&) {
         const BuiltSection& text = i.sections[0];
         const std::size_t entry0 =
             text.pointer_to_raw_data + (i.debug_directory_rva - text.virtual_address);
         put32(i.bytes, entry0 + 20, get32(i.bytes, entry0 + 20) + 4);
       },
       "debug entry 0: AddressOfRawData"},
      {"symbol_pointer_stale",
       [](BuiltImage& i, auto&) {
         const std::size_t coff = get32(i.bytes, 0x3C) + 4;
         put32(i.bytes, coff + 8, get32(i.bytes, coff + 8) + 0x200);
       },
       "PointerToSymbolTable"},
  };
  return all;
}

class CheckerDamage : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CheckerDamage, IsReported) {
  const Damage& d = damages()[GetParam()];
  const PeOptions o = decorated();
  const BuiltImage original = build_pe(o);
  BuiltImage damaged = original;
  std::vector<TestResource> intended = o.resources;
  d.apply(damaged, intended);
  const std::vector<std::string> v = check_invariants(original.bytes, damaged.bytes, intended);
  std::string all;
  for (const std::string& s : v) all += s + "\n";
  EXPECT_NE(all.find(d.expect), std::string::npos) << "expected \"" << d.expect << "\" in:\n"
                                                   << all;
}

INSTANTIATE_TEST_SUITE_P(Damages, CheckerDamage, ::testing::Range<std::size_t>(0, damages().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& param_info) {
                           return std::string(damages()[param_info.param].name);
                         });

// A certificate may go, with the padding that aligned it, but nothing else of the overlay.
TEST(Checker, CertificateRemovalRules) {
  PeOptions o;
  o.overlay = Bytes{1, 2, 3};
  o.certificate = Bytes(40, 0xC5);
  const BuiltImage signed_image = build_pe(o);
  ASSERT_NE(signed_image.certificate_offset, 0U);

  Bytes stripped(
      signed_image.bytes.begin(),
      signed_image.bytes.begin() + static_cast<std::ptrdiff_t>(signed_image.certificate_offset));
  put32(stripped, signed_image.data_directories_offset + 32, 0);
  put32(stripped, signed_image.data_directories_offset + 36, 0);
  EXPECT_TRUE(invariants_hold(signed_image.bytes, stripped, o.resources));

  Bytes unpadded(stripped.begin(),
                 stripped.begin() + static_cast<std::ptrdiff_t>(signed_image.overlay_offset + 3));
  EXPECT_TRUE(invariants_hold(signed_image.bytes, unpadded, o.resources));

  Bytes short_overlay(stripped.begin(), stripped.begin() + static_cast<std::ptrdiff_t>(
                                                               signed_image.overlay_offset + 2));
  EXPECT_FALSE(invariants_hold(signed_image.bytes, short_overlay, o.resources));

  Bytes dangling = stripped;
  put32(dangling, signed_image.data_directories_offset + 32,
        static_cast<std::uint32_t>(signed_image.certificate_offset));
  put32(dangling, signed_image.data_directories_offset + 36, signed_image.certificate_size);
  EXPECT_FALSE(invariants_hold(signed_image.bytes, dangling, o.resources));
}

}  // namespace
}  // namespace tarvisk_test
