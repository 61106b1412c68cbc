// Rewrites over every builder layout: where the new tree goes, and that nothing else breaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "invariants.h"
#include "pe_builder.h"
#include "unit_support.h"

namespace tarvisk_test {
namespace {

using resupdate::Errc;
using resupdate::Placement;

struct Op {
  bool erase = false;
  TestResource resource;  // key, and for a put its bytes
};

struct Scenario {
  const char* name;
  std::vector<TestResource> base;  // what the original image holds (ignored without resources)
  bool delete_existing = false;
  std::vector<Op> ops;
  // Where set, the most the file may grow by when the data of what stays stays where it lay.
  std::size_t most_growth_kept = 0;
};

Bytes filled(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
  return b;
}

TestResource res(ResId type, ResId name, std::uint16_t lang, Bytes data,
                 std::uint32_t code_page = 0) {
  return TestResource{std::move(type), std::move(name), lang, std::move(data), code_page};
}

TestResource version_block() {
  return res(ResId::num(16), ResId::num(1), 1033, filled(0x40, 0x10), 1200);
}

std::vector<TestResource> three_manifests() {
  return {res(ResId::num(24), ResId::num(1), 0, manifest_bytes("old"), 0),
          res(ResId::num(24), ResId::num(1), 1033, manifest_bytes("en"), 1252),
          res(ResId::num(24), ResId::num(2), 0, manifest_bytes("dll"), 65001)};
}

std::vector<TestResource> many_strings(std::uint16_t n) {
  std::vector<TestResource> all;
  for (std::uint16_t lang = 1; lang <= n; ++lang)
    all.push_back(
        res(ResId::num(6), ResId::num(1), lang, filled(12, static_cast<std::uint8_t>(lang))));
  return all;
}

Op put(TestResource r) { return Op{false, std::move(r)}; }
Op erase(ResId type, ResId name, std::uint16_t lang) {
  return Op{true, res(std::move(type), std::move(name), lang, {})};
}
Op put_manifest(Bytes data) { return put(res(ResId::num(24), ResId::num(1), 0, std::move(data))); }

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"add_manifest", {version_block()}, false, {put_manifest(manifest_bytes("new"))}},
      // Same length as the "old" manifest, so the tree keeps its size.
      {"replace_manifest", three_manifests(), false, {put_manifest(manifest_bytes("new"))}},
      {"erase_entry", three_manifests(), false, {erase(ResId::num(24), ResId::num(1), 1033)}},
      {"delete_existing", three_manifests(), true, {put_manifest(manifest_bytes("new"))}},
      {"string_names",
       {res(ResId::str(u"MYTYPE"), ResId::str(u"FIRST"), 0, filled(20, 1), 0),
        res(ResId::num(24), ResId::num(1), 0, manifest_bytes("old"))},
       false,
       {put(res(ResId::str(u"MYTYPE"), ResId::str(u"ALPHA"), 1033, filled(33, 2))),
        put(res(ResId::num(24), ResId::str(u"APPMANIFEST"), 0, manifest_bytes("named"))),
        put(res(ResId::str(u"ZETA"), ResId::num(7), 0, filled(5, 3)))}},
      {"empty_resource", {version_block()}, false, {put_manifest({})}},
      // A new type grows every block of a tree of many entries: only the data entries that no
      // longer fit where they lay move, not all 8 KiB of them.
      {"tree_grows", many_strings(512), false, {put_manifest(manifest_bytes("new"))}, 0x1400},
      {"large_resource", three_manifests(), false, {put_manifest(filled(0x2345, 7))}},
  };
  return all;
}

// What the image should hold afterwards, applying the operations as the editor does.
std::vector<TestResource> expected_set(const Scenario& s, bool image_has_resources) {
  std::vector<TestResource> set;
  if (image_has_resources && !s.delete_existing) set = s.base;
  for (const Op& op : s.ops) {
    auto same = [&](const TestResource& r) {
      return r.type == op.resource.type && r.name == op.resource.name &&
             r.language == op.resource.language;
    };
    set.erase(std::remove_if(set.begin(), set.end(), same), set.end());
    if (!op.erase) set.push_back(op.resource);
  }
  return set;
}

enum class Decoration {
  plain,
  checksum_overlay,
  certificate,
  coff_symbols,
  debug_directory,
  dir_offset,
  few_directories,
  slack,
  // Either side of the tail length that is moved by whole pages.
  overlay_below_mib,
  overlay_mib,
  overlay_above_mib,
  // The tree a page into a section twice its size, as Wine's conformance test builds it.
  dir_second_page,
  // Sections above their file offsets: with equal alignments, not mapped as they lie.
  address_gap,
  // A checksum beside patched debug entries, one off by a constant, one before a long odd tail.
  checksum_debug,
  stale_checksum,
  checksum_long_tail,
};
constexpr std::size_t kMiB = 1U << 20;

const char* decoration_name(Decoration d) {
  switch (d) {
    case Decoration::plain: return "plain";
    case Decoration::checksum_overlay: return "checksum_overlay";
    case Decoration::certificate: return "certificate";
    case Decoration::coff_symbols: return "coff_symbols";
    case Decoration::debug_directory: return "debug_directory";
    case Decoration::dir_offset: return "dir_offset";
    case Decoration::few_directories: return "few_directories";
    case Decoration::slack: return "slack";
    case Decoration::overlay_below_mib: return "overlay_below_mib";
    case Decoration::overlay_mib: return "overlay_mib";
    case Decoration::overlay_above_mib: return "overlay_above_mib";
    case Decoration::dir_second_page: return "dir_second_page";
    case Decoration::address_gap: return "address_gap";
    case Decoration::checksum_debug: return "checksum_debug";
    case Decoration::stale_checksum: return "stale_checksum";
    case Decoration::checksum_long_tail: return "checksum_long_tail";
  }
  return "?";
}

struct Case {
  Layout layout = Layout::resources_last;
  bool pe32_plus = false;
  bool low_alignment = false;
  bool header_room = true;
  std::size_t scenario = 0;
  Decoration decoration = Decoration::plain;
};

PeOptions options_for(const Case& c) {
  PeOptions o;
  o.layout = c.layout;
  o.pe32_plus = c.pe32_plus;
  o.header_room = c.header_room;
  if (c.low_alignment) {
    o.file_alignment = 32;
    o.section_alignment = 32;
  }
  o.resources = scenarios()[c.scenario].base;
  switch (c.decoration) {
    case Decoration::plain: break;
    case Decoration::checksum_overlay:
      o.checksum = true;
      o.overlay = filled(300, 0x55);
      break;
    case Decoration::certificate:
      o.checksum = true;
      o.overlay = filled(13, 0x66);  // not a multiple of 8: the certificate needs padding
      o.certificate = filled(100, 0x77);
      break;
    case Decoration::coff_symbols:
      o.coff_symbols = 6;
      o.overlay = filled(5, 0x88);
      break;
    case Decoration::debug_directory:
      o.debug_directory = true;
      o.coff_symbols = 3;
      o.overlay = filled(9, 0x99);
      break;
    case Decoration::dir_offset: o.resource_dir_offset = 0x24; break;
    case Decoration::few_directories: o.number_of_rva_and_sizes = 3; break;
    case Decoration::slack: o.resource_slack = 0x400; break;
    case Decoration::overlay_below_mib: o.overlay = filled(kMiB - 1, 0x21); break;
    case Decoration::overlay_mib: o.overlay = filled(kMiB, 0x22); break;
    case Decoration::overlay_above_mib: o.overlay = filled(kMiB + 1, 0x23); break;
    case Decoration::dir_second_page:
      o.resource_dir_offset = 0x1000;
      o.resource_slack = 0x800;
      break;
    case Decoration::address_gap: o.address_gap = 0x1000; break;
    case Decoration::checksum_debug:
      o.checksum = true;
      o.debug_directory = true;
      o.coff_symbols = 3;
      o.overlay = filled(9, 0x99);
      break;
    case Decoration::stale_checksum:
      o.checksum = true;
      o.checksum_error = 0x1234;
      o.overlay = filled(301, 0x44);
      break;
    case Decoration::checksum_long_tail:
      o.checksum = true;
      o.overlay = filled(kMiB + 1, 0x24);
      break;
  }
  return o;
}

// Where the contract puts the new tree for this layout, given whether it fits the old raw data.
Placement expected_placement(Layout layout, bool fits) {
  if (layout == Layout::no_resources) return Placement::new_section;
  if (fits) return Placement::in_place;
  switch (layout) {
    case Layout::resources_last: return Placement::grow_last;
    case Layout::resources_then_reloc:
    case Layout::resources_then_reloc_debug: return Placement::shift_following;
    default: return Placement::new_section;
  }
}

class Rewrite : public ::testing::TestWithParam<Case> {};

TEST_P(Rewrite, PlacesTreeAndKeepsEverythingElse) {
  const Case c = GetParam();
  const Scenario& s = scenarios()[c.scenario];
  const BuiltImage img = build_pe(options_for(c));
  const bool has_resources = c.layout != Layout::no_resources;

  auto editor = resupdate::ImageEditor::open(view(img.bytes), s.delete_existing);
  ASSERT_TRUE(editor) << editor.error().detail;
  for (const Op& op : s.ops) {
    if (op.erase) {
      const bool existed = has_resources && !s.delete_existing;
      EXPECT_EQ(editor->erase(core_key(op.resource)), existed);
    } else {
      editor->put(core_key(op.resource), op.resource.data, op.resource.code_page);
    }
  }
  const std::vector<TestResource> want = expected_set(s, has_resources);

  // Whether the new tree fits the old section's raw data, measured with our own encoder
  // (whose blobs are 8-aligned, so it never underestimates the core's tree).
  bool fits = false;
  if (img.rsrc_rva) {
    const auto r = std::find_if(img.sections.begin(), img.sections.end(),
                                [](const BuiltSection& x) { return x.name == ".rsrc"; });
    fits = encode_resource_section(want, 0).size() <= r->size_of_raw_data;
  }
  Placement placement = expected_placement(c.layout, fits);
  // Where any old resource stays as it was, its data stays where it lay: around it when the
  // section can grow, and where it cannot, when the new data fits between what stays.
  const bool keeps =
      has_resources && !s.delete_existing &&
      std::any_of(s.base.begin(), s.base.end(), [&](const TestResource& b) {
        return !b.data.empty() && std::any_of(want.begin(), want.end(), [&](const TestResource& w) {
          return w.type == b.type && w.name == b.name && w.language == b.language &&
                 w.data == b.data;
        });
      });
  const bool can_grow = c.layout != Layout::resources_then_data;
  if (keeps && can_grow) placement = Placement::kept;

  // Erasing from an image without resources leaves nothing to place; any placement will do.
  const bool nothing_to_place = want.empty() && !img.rsrc_rva;

  auto plan = plan_edit(*editor);
  const bool kept_anyway = plan && plan->placement == Placement::kept && keeps && !can_grow;
  // Headers full up to the first section's raw data grow into the addresses below the first
  // section; only where those are full too (equal alignments, no gap) is there no room.
  const bool memory_room = !c.low_alignment || c.decoration == Decoration::address_gap;
  if (placement == Placement::new_section && !c.header_room && !memory_room && !nothing_to_place &&
      !kept_anyway) {
    ASSERT_FALSE(plan) << "planned " << placement_name(plan->placement) << " without header room";
    EXPECT_EQ(plan.error().code, Errc::not_supported) << plan.error().detail;
    auto out = resupdate::build_in_memory(*editor);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().code, Errc::not_supported);
    return;
  }
  ASSERT_TRUE(plan) << plan.error().detail;
  if (!nothing_to_place && !kept_anyway) {
    EXPECT_EQ(plan->placement, placement);
  }

  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;
  EXPECT_TRUE(invariants_hold(img.bytes, *out, want));
  if (plan->placement == Placement::kept) {
    EXPECT_TRUE(kept_where_it_lay(img.bytes, *out));
    if (s.most_growth_kept != 0) {
      EXPECT_LE(out->size(), img.bytes.size() + s.most_growth_kept);
    }
  }
  if (plan->placement == Placement::new_section && !c.header_room) {
    const std::size_t size_of_headers =
        img.data_directories_offset - (c.pe32_plus ? 112U : 96U) + 60U;
    EXPECT_GT(get32(*out, size_of_headers), img.size_of_headers)
        << "the headers had no room and did not grow";
  }

  // The same inputs give the same bytes.
  auto again = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(again) << again.error().detail;
  EXPECT_TRUE(*again == *out) << "second build differs";

  // The output is itself a sound input: storing the same manifest again changes nothing else.
  if (nothing_to_place) return;
  auto second = resupdate::ImageEditor::open(view(*out), false);
  ASSERT_TRUE(second) << second.error().detail;
  second->put(resupdate::ResourceKey{resupdate::ResourceId::number(24),
                                     resupdate::ResourceId::number(1), 0},
              manifest_bytes("new"));
  std::vector<TestResource> want2 = want;
  want2.erase(std::remove_if(want2.begin(), want2.end(),
                             [](const TestResource& r) {
                               return r.type == ResId::num(24) && r.name == ResId::num(1) &&
                                      r.language == 0;
                             }),
              want2.end());
  want2.push_back(res(ResId::num(24), ResId::num(1), 0, manifest_bytes("new")));
  auto out2 = resupdate::build_in_memory(*second);
  ASSERT_TRUE(out2) << out2.error().detail;
  EXPECT_TRUE(invariants_hold(*out, *out2, want2));
  auto plan2 = plan_edit(*second);
  ASSERT_TRUE(plan2) << plan2.error().detail;
  if (plan2->placement == Placement::kept) {
    EXPECT_TRUE(kept_where_it_lay(*out, *out2));
  }
}

// Smallest input for a fault once seen: a tree rebuilt in place that shrinks below a
// SectionAlignment boundary must not leave a hole before the next section, which the
// Windows loader refuses (section addresses must follow each other exactly).
TEST(InPlace, SmallerTreeKeepsFollowingSectionsContiguous) {
  PeOptions o;
  o.layout = Layout::resources_then_reloc;
  o.resources = {res(ResId::num(24), ResId::num(1), 0, filled(0x1800, 1))};
  const BuiltImage img = build_pe(o);
  auto editor = resupdate::ImageEditor::open(view(img.bytes), false);
  ASSERT_TRUE(editor) << editor.error().detail;
  editor->put(core_key(o.resources[0]), manifest_bytes());
  auto plan = plan_edit(*editor);
  ASSERT_TRUE(plan) << plan.error().detail;
  EXPECT_EQ(plan->placement, Placement::in_place);
  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;
  EXPECT_TRUE(
      invariants_hold(img.bytes, *out, {res(ResId::num(24), ResId::num(1), 0, manifest_bytes())}));
}

// Stores a manifest too large for the address room between .rsrc and .reloc but small
// enough for .rsrc's raw data, and checks the image that comes out.
void grow_over_the_address_room(const Bytes& bytes, const BuiltSection& rsrc,
                                const BuiltSection& reloc) {
  auto editor = resupdate::ImageEditor::open(view(bytes), false);
  ASSERT_TRUE(editor) << editor.error().detail;
  const std::uint32_t va_room = reloc.virtual_address - rsrc.virtual_address;
  ASSERT_GE(rsrc.size_of_raw_data + reloc.size_of_raw_data, va_room + 0x100);
  const TestResource grown = res(ResId::num(24), ResId::num(1), 0, filled(va_room, 3));
  editor->put(core_key(grown), grown.data);
  auto plan = plan_edit(*editor);
  ASSERT_TRUE(plan) << plan.error().detail;
  EXPECT_EQ(plan->placement, Placement::shift_following);
  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;
  EXPECT_TRUE(invariants_hold(bytes, *out, {grown}));
}

// Where the file is mapped as it lies, a grown resource section moves the sections after it as
// far in the file as in memory. A following section without raw data has nothing in the file
// to move; moving the overlay as far anyway left zeros between the sections and the overlay.
// Likewise, raw data the new tree does not need must stay the resource section's.
TEST(ShiftFollowing, SectionWithoutRawDataPutsNothingBeforeTheOverlay) {
  for (const std::uint32_t spare : {0U, 0x400U}) {
    SCOPED_TRACE("raw data beyond the tree: " + std::to_string(spare));
    PeOptions o;
    o.layout = Layout::resources_then_reloc;
    o.file_alignment = 0x200;
    o.section_alignment = 0x200;
    o.resources = {res(ResId::num(24), ResId::num(1), 0, manifest_bytes())};
    o.overlay = filled(spare + 100, 7);
    const BuiltImage img = build_pe(o);
    ASSERT_EQ(img.sections.back().name, ".reloc");
    const BuiltSection& rsrc = img.sections[img.sections.size() - 2];
    const BuiltSection& reloc = img.sections.back();
    ASSERT_EQ(rsrc.pointer_to_raw_data + rsrc.size_of_raw_data, reloc.pointer_to_raw_data);
    ASSERT_EQ(reloc.pointer_to_raw_data + reloc.size_of_raw_data, img.overlay_offset);
    // .reloc gives its raw data (and `spare` bytes of the overlay) to .rsrc, which then holds
    // more in the file than in memory.
    Bytes bytes = img.bytes;
    const std::size_t rsrc_header = img.section_table_offset + 40 * (img.sections.size() - 2);
    put32(bytes, rsrc_header + 16, rsrc.size_of_raw_data + reloc.size_of_raw_data + spare);
    put32(bytes, rsrc_header + 40 + 16, 0);
    ASSERT_NO_FATAL_FAILURE(grow_over_the_address_room(bytes, rsrc, reloc));
  }
}

// Opens `bytes`, stores `manifest` at 24/1/0 and plans the new image.
resupdate::Result<resupdate::ImagePlan> plan_manifest(const Bytes& bytes, const Bytes& manifest,
                                                      std::optional<Bytes>* out = nullptr) {
  auto editor = resupdate::ImageEditor::open(view(bytes), false);
  if (!editor) return std::move(editor).error();
  editor->put(resupdate::ResourceKey{resupdate::ResourceId::number(24),
                                     resupdate::ResourceId::number(1), 0},
              manifest);
  auto plan = plan_edit(*editor);
  if (plan && out != nullptr) {
    auto built = resupdate::build_in_memory(*editor);
    if (built) *out = std::move(*built);
  }
  return plan;
}

// Wine's conformance test puts the tree a page into a resource section twice that size, the
// last section, and stores a 14-byte manifest. The tree is rebuilt at the section start, and
// the raw data past what the new extent maps goes, so that the file ends with the extent.
TEST(InPlace, SectionLargerThanItsNewTreeShrinksWhereNothingFollows) {
  for (const bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    PeOptions o;
    o.pe32_plus = plus;
    o.layout = Layout::resources_last;
    o.resources = {res(ResId::num(24), ResId::num(1), 0, manifest_bytes("old"))};
    o.resource_dir_offset = 0x1000;
    o.resource_slack =
        0x1000 - static_cast<std::uint32_t>(encode_resource_section(o.resources, 0).size());
    const BuiltImage img = build_pe(o);
    const BuiltSection& rsrc = img.sections.back();
    ASSERT_EQ(rsrc.size_of_raw_data, 0x2000U);
    std::optional<Bytes> out;
    const Bytes manifest(14, 'm');
    auto plan = plan_manifest(img.bytes, manifest, &out);
    ASSERT_TRUE(plan) << plan.error().detail;
    EXPECT_EQ(plan->placement, Placement::in_place);
    ASSERT_TRUE(out);
    EXPECT_TRUE(
        invariants_hold(img.bytes, *out, {res(ResId::num(24), ResId::num(1), 0, manifest)}));
    const std::size_t header = img.section_table_offset + 40 * (img.sections.size() - 1);
    EXPECT_EQ(get32(*out, header + 16), 0x1000U) << "SizeOfRawData";
    EXPECT_EQ(out->size(), rsrc.pointer_to_raw_data + 0x1000U);
  }
}

// A tree exactly as long as its section's raw data is rebuilt in place; one byte longer, it
// takes the layout's other placement.
TEST(Boundary, TreeFillingItsSectionOrOneByteOver) {
  for (const Layout layout :
       {Layout::resources_last, Layout::resources_then_reloc, Layout::resources_then_data}) {
    for (const bool plus : {false, true}) {
      for (const std::uint32_t over : {0U, 1U}) {
        SCOPED_TRACE(std::string(layout_name(layout)) + (plus ? " PE32+" : " PE32") +
                     (over != 0 ? " one byte over" : " filling"));
        PeOptions o;
        o.layout = layout;
        o.pe32_plus = plus;
        o.resources = {res(ResId::num(24), ResId::num(1), 0, manifest_bytes("old"))};
        const BuiltImage img = build_pe(o);
        const auto rsrc = std::find_if(img.sections.begin(), img.sections.end(),
                                       [](const BuiltSection& x) { return x.name == ".rsrc"; });
        ASSERT_NE(rsrc, img.sections.end());
        auto editor = resupdate::ImageEditor::open(view(img.bytes), false);
        ASSERT_TRUE(editor) << editor.error().detail;
        const auto key = core_key(o.resources[0]);
        // The manifest is the only blob, and the last: the tree grows byte for byte with it.
        editor->put(key, {});
        const std::uint64_t empty = resupdate::measure_tree(editor->resources()).value().total_size;
        const Bytes manifest =
            filled(static_cast<std::size_t>(rsrc->size_of_raw_data + over - empty), 9);
        editor->put(key, manifest);
        ASSERT_EQ(resupdate::measure_tree(editor->resources()).value().total_size,
                  rsrc->size_of_raw_data + over);
        auto plan = plan_edit(*editor);
        ASSERT_TRUE(plan) << plan.error().detail;
        EXPECT_EQ(plan->placement, expected_placement(layout, over == 0));
        auto out = resupdate::build_in_memory(*editor);
        ASSERT_TRUE(out) << out.error().detail;
        EXPECT_TRUE(
            invariants_hold(img.bytes, *out, {res(ResId::num(24), ResId::num(1), 0, manifest)}));
      }
    }
  }
}

// References the rewrite cannot fix fail the whole plan rather than go out wrong: a debug
// directory that cannot be read in full where bytes move (skipped, its entries kept pointing
// at moved data), and a moved field past 32 bits (saturated, it pointed nowhere).
TEST(Refusal, ReferencesThatCannotBeFixedFailThePlan) {
  constexpr std::uint32_t kDebugEntry = 28;
  const struct {
    const char* name;
    Layout layout;  // resources_then_data adds a section, which moves the COFF symbols
    std::function<void(const BuiltImage&, Bytes&)> patch;
    Errc code;
  } rows[] = {
      {"debug directory of more than 4096 entries", Layout::resources_then_data,
       [](const BuiltImage& img, Bytes& b) {
         put32(b, img.data_directories_offset + 6 * 8 + 4, 4097 * kDebugEntry);
       },
       Errc::not_supported},
      {"debug directory running past its section", Layout::resources_then_data,
       [](const BuiltImage& img, Bytes& b) {
         put32(b, img.data_directories_offset + 6 * 8 + 4, 0x1000 + kDebugEntry);
       },
       Errc::not_supported},
      {"PointerToRelocations moved past 4 GiB", Layout::resources_last,
       [](const BuiltImage& img, Bytes& b) { put32(b, img.section_table_offset + 24, 0xffffff00); },
       Errc::file_too_large},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PeOptions o;
    o.layout = row.layout;
    o.resources = {res(ResId::num(24), ResId::num(1), 0, manifest_bytes("old"))};
    o.debug_directory = true;
    o.coff_symbols = 3;
    const BuiltImage img = build_pe(o);
    Bytes bytes = img.bytes;
    row.patch(img, bytes);
    auto plan = plan_manifest(bytes, filled(0x3000, 4));
    if (plan) {
      ADD_FAILURE() << "planned " << placement_name(plan->placement);
      continue;
    }
    EXPECT_EQ(plan.error().code, row.code) << plan.error().detail;
  }
}

// Equal small alignments do not make a file mapped as it lies: where the sections sit above
// their file offsets, an added section's raw data follows the others', with no zeros between.
TEST(NewSection, SectionsAboveTheirOffsetsGetNoZerosBeforeTheNewOne) {
  PeOptions o;
  o.layout = Layout::no_resources;
  o.file_alignment = 0x200;
  o.section_alignment = 0x200;
  o.address_gap = 0x4000;
  o.overlay = filled(7, 6);
  const BuiltImage img = build_pe(o);
  std::optional<Bytes> out;
  auto plan = plan_manifest(img.bytes, manifest_bytes(), &out);
  ASSERT_TRUE(plan) << plan.error().detail;
  EXPECT_EQ(plan->placement, Placement::new_section);
  ASSERT_TRUE(out);
  EXPECT_TRUE(
      invariants_hold(img.bytes, *out, {res(ResId::num(24), ResId::num(1), 0, manifest_bytes())}));
  const std::size_t added = img.section_table_offset + 40 * img.sections.size();
  EXPECT_EQ(get32(*out, added + 20), img.end_of_sections) << "PointerToRawData";
}

// Stored again, the same manifest gives the same bytes; two manifests of different sizes stored
// in turn settle after the first two runs into a cycle of two images no larger than those. A
// rule that freed space without reusing it, or laid out by the old image's history, would grow
// the file run by run.
TEST(Repetition, SameManifestIsByteStableAndAlternatingOnesDoNotGrow) {
  const Bytes small = manifest_bytes("stored in turn");
  const Bytes large(0x1900, 0x6b);  // no run of it is a run of the other, nor the other way round
  for (const Layout layout : kAllLayouts) {
    for (const bool plus : {false, true}) {
      SCOPED_TRACE(std::string(layout_name(layout)) + (plus ? " PE32+" : " PE32"));
      PeOptions o;
      o.layout = layout;
      o.pe32_plus = plus;
      o.resources = {version_block(), res(ResId::num(3), ResId::num(1), 0, filled(0x128, 8)),
                     res(ResId::num(24), ResId::num(1), 0, manifest_bytes("old"))};
      o.overlay = filled(0x321, 9);
      std::vector<TestResource> want = o.resources;
      if (layout == Layout::no_resources) want.clear();
      want.push_back(res(ResId::num(24), ResId::num(1), 0, {}));
      if (layout != Layout::no_resources) want.erase(want.end() - 2);
      std::vector<Bytes> runs{build_pe(o).bytes};
      for (int i = 0; i < 52; ++i) {
        const Bytes& manifest = i < 2 || i % 2 == 1 ? small : large;
        std::optional<Bytes> out;
        auto plan = plan_manifest(runs.back(), manifest, &out);
        ASSERT_TRUE(plan) << "run " << i << ": " << plan.error().detail;
        ASSERT_TRUE(out) << "run " << i;
        want.back().data = manifest;
        ASSERT_TRUE(invariants_hold(runs.back(), *out, want)) << "run " << i;
        if (plan->placement == Placement::kept) {
          EXPECT_TRUE(kept_where_it_lay(runs.back(), *out)) << "run " << i;
        }
        // The manifests stored before are gone from the file: bytes freed are zeroed or reused.
        // Storing the large one, no manifest's start is left; storing the small one, no run of
        // the large one. (A section added after .data leaves the old one its bytes, as .oldrsrc.)
        if (i >= 2 && layout != Layout::resources_then_data) {
          const Bytes gone = &manifest == &large ? Bytes(small.begin(), small.begin() + 16)
                                                 : Bytes(large.begin(), large.begin() + 64);
          EXPECT_EQ(std::search(out->begin(), out->end(), gone.begin(), gone.end()), out->end())
              << "run " << i << ": a replaced manifest's bytes are still in the image";
        }
        runs.push_back(std::move(*out));
      }
      // runs[1] and runs[2] store the small manifest; from runs[3] on, large and small alternate.
      EXPECT_TRUE(runs[2] == runs[1]) << "storing the same manifest again changed the image";
      const std::size_t bound = std::max(runs[3].size(), runs[4].size());
      for (std::size_t i = 5; i < runs.size(); ++i) {
        EXPECT_LE(runs[i].size(), bound) << "run " << i;
        EXPECT_TRUE(runs[i] == runs[i - 2])
            << "run " << i << " differs from the run with the same manifest before it";
      }
    }
  }
}

std::string describe(const Case& c) {
  std::string n = std::string(layout_name(c.layout)) + (c.pe32_plus ? "_pe32plus" : "_pe32") +
                  (c.low_alignment ? "_align32" : "") + (c.header_room ? "" : "_noroom") + "_" +
                  scenarios()[c.scenario].name;
  if (c.decoration != Decoration::plain) n += std::string("_") + decoration_name(c.decoration);
  return n;
}

std::string case_name(const ::testing::TestParamInfo<Case>& param_info) {
  return describe(param_info.param);
}

void PrintTo(const Case& c, std::ostream* os) { *os << describe(c); }

std::vector<Case> scenario_cases() {
  std::vector<Case> cases;
  for (Layout layout : kAllLayouts) {
    for (bool plus : {false, true}) {
      for (bool low : {false, true}) {
        for (std::size_t s = 0; s < scenarios().size(); ++s)
          cases.push_back(Case{layout, plus, low, true, s, {}});
        // Without header room only a new section is out of reach; growing one is not.
        for (std::size_t s : {std::size_t{0}, scenarios().size() - 1})
          cases.push_back(Case{layout, plus, low, false, s, {}});
        // Full headers, the first section a page up in memory: EFI stubs with alignments of 0x20.
        if (low) cases.push_back(Case{layout, plus, low, false, 0, Decoration::address_gap});
      }
    }
  }
  return cases;
}

std::vector<Case> decoration_cases() {
  std::vector<Case> cases;
  const std::size_t add = 0;
  const std::size_t large = scenarios().size() - 1;
  for (Layout layout : kAllLayouts) {
    for (bool plus : {false, true}) {
      for (bool low : {false, true}) {
        for (Decoration d :
             {Decoration::checksum_overlay, Decoration::certificate, Decoration::coff_symbols,
              Decoration::debug_directory, Decoration::dir_offset, Decoration::few_directories,
              Decoration::slack, Decoration::overlay_below_mib, Decoration::overlay_mib,
              Decoration::overlay_above_mib, Decoration::dir_second_page, Decoration::address_gap,
              Decoration::checksum_debug, Decoration::stale_checksum,
              Decoration::checksum_long_tail}) {
          for (std::size_t s : {add, large}) cases.push_back(Case{layout, plus, low, true, s, d});
        }
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Rewrite, ::testing::ValuesIn(scenario_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(Decorations, Rewrite, ::testing::ValuesIn(decoration_cases()), case_name);

}  // namespace
}  // namespace tarvisk_test
