// Inputs the service must refuse with the right code, and odd but valid trees it must accept.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "invariants.h"
#include "pe_builder.h"
#include "unit_support.h"

namespace tarvisk_test {
namespace {

using resupdate::Errc;

// A resource section laid out by hand. Offsets are relative to the section start.
class RawTree {
 public:
  explicit RawTree(std::size_t size) : b_(size, 0) {}
  RawTree& dir(std::uint32_t off, std::uint16_t named, std::uint16_t ids) {
    put16(b_, off + 8, 4);
    put16(b_, off + 12, named);
    put16(b_, off + 14, ids);
    return *this;
  }
  // An entry whose target is a subdirectory (high bit) or a data entry.
  RawTree& entry(std::uint32_t off, std::uint32_t name, std::uint32_t target, bool subdir) {
    put32(b_, off, name);
    put32(b_, off + 4, subdir ? (0x80000000U | target) : target);
    return *this;
  }
  RawTree& data(std::uint32_t off, std::uint32_t rva, std::uint32_t size) {
    put32(b_, off, rva);
    put32(b_, off + 4, size);
    return *this;
  }
  RawTree& string(std::uint32_t off, std::uint16_t len) {
    put16(b_, off, len);
    return *this;
  }
  [[nodiscard]] Bytes bytes() const { return b_; }

 private:
  Bytes b_;
};

// A well-formed 24/1/0 tree of `size` bytes; cases break one thing in it.
// root 0, type entry 16, name dir 24, name entry 40, lang dir 48, lang entry 64, data entry 72.
RawTree sound_tree(std::uint32_t rva, std::size_t size = 128) {
  RawTree t(size);
  t.dir(0, 0, 1).entry(16, 24, 24, true);
  t.dir(24, 0, 1).entry(40, 1, 48, true);
  t.dir(48, 0, 1).entry(64, 0, 72, false);
  t.data(72, rva + 88, 8);
  return t;
}

struct Malformed {
  const char* name;
  std::function<Bytes(std::uint32_t rva)> section;
};

const std::vector<Malformed>& malformed_trees() {
  static const std::vector<Malformed> all = {
      {"loop_to_root",
       [](std::uint32_t rva) { return sound_tree(rva).entry(40, 1, 0, true).bytes(); }},
      {"loop_to_self",
       [](std::uint32_t rva) { return sound_tree(rva).entry(16, 24, 0, true).bytes(); }},
      {"shared_subtree",
       [](std::uint32_t rva) {
         // Two types whose entries lead to the same name directory.
         RawTree t(160);
         t.dir(0, 0, 2).entry(16, 3, 32, true).entry(24, 24, 32, true);
         t.dir(32, 0, 1).entry(48, 1, 56, true);
         t.dir(56, 0, 1).entry(72, 0, 80, false);
         t.data(80, rva + 96, 8);
         return t.bytes();
       }},
      {"fourth_level",
       [](std::uint32_t rva) {
         RawTree t = sound_tree(rva, 160);
         t.entry(64, 0, 96, true);  // the language entry names a directory
         t.dir(96, 0, 1).entry(112, 0, 72, false);
         return t.bytes();
       }},
      {"data_entry_at_level_1",
       [](std::uint32_t rva) { return sound_tree(rva).entry(16, 24, 72, false).bytes(); }},
      {"data_entry_at_level_2",
       [](std::uint32_t rva) { return sound_tree(rva).entry(40, 1, 72, false).bytes(); }},
      {"id_count_past_the_end",
       [](std::uint32_t rva) { return sound_tree(rva).dir(0, 0, 200).bytes(); }},
      {"named_count_past_the_end",
       [](std::uint32_t rva) { return sound_tree(rva).dir(48, 0xFFFF, 1).bytes(); }},
      {"counts_overflow_16_bits",
       [](std::uint32_t rva) { return sound_tree(rva).dir(24, 0xFFFF, 0xFFFF).bytes(); }},
      {"string_past_the_end",
       [](std::uint32_t rva) {
         RawTree t = sound_tree(rva);
         t.entry(40, 0x80000000U | 124, 48, true)
             .string(124, 0x40);  // 128 bytes of text in a 128-byte section
         return t.dir(24, 1, 0).bytes();
       }},
      {"string_offset_past_the_end",
       [](std::uint32_t rva) {
         return sound_tree(rva).dir(0, 1, 0).entry(16, 0x80000000U | 0x7000, 24, true).bytes();
       }},
      {"subdirectory_past_the_end",
       [](std::uint32_t rva) { return sound_tree(rva).entry(16, 24, 0x10000, true).bytes(); }},
      {"data_entry_past_the_end",
       [](std::uint32_t rva) { return sound_tree(rva).entry(64, 0, 124, false).bytes(); }},
      {"data_rva_outside_any_section",
       [](std::uint32_t rva) { return sound_tree(rva).data(72, 0x7FFF0000, 16).bytes(); }},
      {"data_size_past_the_section",
       [](std::uint32_t rva) { return sound_tree(rva).data(72, rva + 88, 0x100000).bytes(); }},
      {"data_rva_wraps",
       [](std::uint32_t rva) { return sound_tree(rva).data(72, 0xFFFFFFF0, 0x20).bytes(); }},
      {"directory_overlaps_itself",
       [](std::uint32_t rva) { return sound_tree(rva).entry(16, 24, 8, true).bytes(); }},
      {"data_entry_on_a_directory",
       [](std::uint32_t rva) {
         // The language entry names its own directory as its data entry, whose first fields
         // (unread in a directory) hold a sound blob's address and size.
         return sound_tree(rva).data(48, rva + 88, 8).entry(64, 0, 48, false).bytes();
       }},
      {"shared_subtree_laid_out_backwards",
       [](std::uint32_t rva) {
         // Type 3's name directory lies after type 24's, and both lead to one language directory.
         RawTree t(160);
         t.dir(0, 0, 2).entry(16, 3, 64, true).entry(24, 24, 32, true);
         t.dir(64, 0, 1).entry(80, 1, 96, true);
         t.dir(32, 0, 1).entry(48, 1, 96, true);
         t.dir(96, 0, 1).entry(112, 0, 120, false);
         t.data(120, rva + 136, 8);
         return t.bytes();
       }},
      {"same_resource_twice",
       [](std::uint32_t rva) {
         // Language 0 listed twice under 24/1, with two data entries of their own.
         RawTree t(160);
         t.dir(0, 0, 1).entry(16, 24, 24, true);
         t.dir(24, 0, 1).entry(40, 1, 48, true);
         t.dir(48, 0, 2).entry(64, 0, 80, false).entry(72, 0, 96, false);
         t.data(80, rva + 112, 8).data(96, rva + 120, 8);
         return t.bytes();
       }},
  };
  return all;
}

class MalformedTree : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

// Walked where the bytes lie in memory, and copied out a chunk at a time as from a file.
TEST_P(MalformedTree, RefusedAsInvalidData) {
  const auto [index, plus] = GetParam();
  PeOptions o;
  o.pe32_plus = plus;
  o.file_alignment = o.section_alignment = 32;  // the section ends where the bytes end
  o.raw_resource_section = malformed_trees()[index].section;
  const Bytes img = build_pe_bytes(o);
  for (const auto& src : {view(img), copying_view(img)}) {
    auto editor = resupdate::ImageEditor::open(src, false);
    ASSERT_FALSE(editor) << "a malformed tree was accepted";
    EXPECT_EQ(editor.error().code, Errc::invalid_data) << editor.error().detail;
  }
}

// Asked to drop the old resources, the service has no reason to read them at all.
TEST_P(MalformedTree, IgnoredWhenDeletingExisting) {
  const auto [index, plus] = GetParam();
  PeOptions o;
  o.pe32_plus = plus;
  o.file_alignment = o.section_alignment = 32;
  o.raw_resource_section = malformed_trees()[index].section;
  const Bytes img = build_pe_bytes(o);
  auto editor = resupdate::ImageEditor::open(view(img), true);
  ASSERT_TRUE(editor) << editor.error().detail;
  const TestResource m{ResId::num(24), ResId::num(1), 0, manifest_bytes(), 0};
  editor->put(core_key(m), m.data);
  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;
  EXPECT_TRUE(invariants_hold(img, *out, {m}));
}

INSTANTIATE_TEST_SUITE_P(
    Trees, MalformedTree,
    ::testing::Combine(::testing::Range<std::size_t>(0, malformed_trees().size()),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<std::size_t, bool>>& param_info) {
      return std::string(malformed_trees()[std::get<0>(param_info.param)].name) +
             (std::get<1>(param_info.param) ? "_pe32plus" : "_pe32");
    });

// Odd trees that Windows loads, so the service must read them completely.
TEST(OddTrees, DataOutsideTheResourceSection) {
  PeOptions o;
  const BuiltImage probe = build_pe([] {
    PeOptions p;
    p.raw_resource_section = [](std::uint32_t) { return Bytes(16, 0); };
    return p;
  }());
  const BuiltSection data = probe.sections[1];
  ASSERT_EQ(data.name, ".data");
  o.raw_resource_section = [&](std::uint32_t rva) {
    return sound_tree(rva, 88).data(72, data.virtual_address + 8, 24).bytes();
  };
  const BuiltImage img = build_pe(o);
  const Bytes want(img.bytes.begin() + data.pointer_to_raw_data + 8,
                   img.bytes.begin() + data.pointer_to_raw_data + 32);
  std::string error;
  const std::vector<TestResource> got = read_resources(img.bytes, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(got.size(), 1U);
  EXPECT_EQ(got[0].data, want);

  // Rewriting keeps the bytes, wherever they now live.
  auto editor = resupdate::ImageEditor::open(view(img.bytes), false);
  ASSERT_TRUE(editor) << editor.error().detail;
  const TestResource m{ResId::num(24), ResId::num(2), 0, manifest_bytes(), 0};
  editor->put(core_key(m), m.data);
  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;
  EXPECT_TRUE(invariants_hold(img.bytes, *out, {got[0], m}));
}

// Directories out of the loader's order: read whole, and written back in order.
TEST(OddTrees, EntriesOutOfLoaderOrder) {
  PeOptions o;
  o.raw_resource_section = [](std::uint32_t rva) {
    RawTree t(264);
    t.dir(0, 0, 2).entry(16, 24, 32, true).entry(24, 3, 56, true);             // types 24, 3
    t.dir(32, 0, 1).entry(48, 1, 88, true);                                    // 24: name 1
    t.dir(56, 0, 2).entry(72, 7, 112, true).entry(80, 2, 144, true);           // 3: names 7, 2
    t.dir(88, 0, 1).entry(104, 0, 168, false);                                 // 24/1: language 0
    t.dir(112, 0, 2).entry(128, 0x409, 184, false).entry(136, 0, 200, false);  // 3/7: 0x409, 0
    t.dir(144, 0, 1).entry(160, 0, 216, false);                                // 3/2: language 0
    // Sizes 8 to 5 tell the blobs apart.
    t.data(168, rva + 232, 8)
        .data(184, rva + 240, 7)
        .data(200, rva + 248, 6)
        .data(216, rva + 256, 5);
    return t.bytes();
  };
  const Bytes img = build_pe_bytes(o);
  auto editor = resupdate::ImageEditor::open(view(img), false);
  ASSERT_TRUE(editor) << editor.error().detail;
  std::vector<std::tuple<std::uint16_t, std::uint16_t, std::uint16_t, std::uint32_t>> order;
  for (const auto& [key, data] : editor->resources())
    order.emplace_back(key.type.id, key.name.id, key.language, data.size());
  const decltype(order) want = {{3, 2, 0, 5}, {3, 7, 0, 6}, {3, 7, 0x409, 7}, {24, 1, 0, 8}};
  EXPECT_EQ(order, want);

  std::string error;
  std::vector<TestResource> intended = read_resources(img, &error);
  ASSERT_EQ(error, "");
  const TestResource m{ResId::num(24), ResId::num(1), 0, manifest_bytes(), 0};
  std::erase_if(intended, [&](const TestResource& r) { return core_key(r) == core_key(m); });
  intended.push_back(m);
  editor->put(core_key(m), m.data);
  auto out = resupdate::build_in_memory(*editor);
  ASSERT_TRUE(out) << out.error().detail;
  EXPECT_TRUE(invariants_hold(img, *out, intended));
}

// Directories laid out against the order the walk reaches them, as no compiler lays them out:
// read whole from memory and from a file alike.
TEST(OddTrees, DirectoriesLaidOutBackwards) {
  PeOptions o;
  o.file_alignment = o.section_alignment = 32;
  o.raw_resource_section = [](std::uint32_t rva) {
    RawTree t(192);
    t.dir(0, 0, 2).entry(16, 3, 64, true).entry(24, 24, 32, true);
    t.dir(64, 0, 1).entry(80, 1, 136, true);
    t.dir(32, 0, 1).entry(48, 1, 96, true);
    t.dir(136, 0, 1).entry(152, 0, 160, false);
    t.dir(96, 0, 1).entry(112, 0, 120, false);
    t.data(160, rva + 176, 4).data(120, rva + 184, 8);
    return t.bytes();
  };
  const Bytes img = build_pe_bytes(o);
  for (const auto& src : {view(img), copying_view(img)}) {
    auto editor = resupdate::ImageEditor::open(src, false);
    ASSERT_TRUE(editor) << editor.error().detail;
    std::vector<std::tuple<std::uint16_t, std::uint32_t>> got;
    for (const auto& [key, data] : editor->resources()) got.emplace_back(key.type.id, data.size());
    EXPECT_EQ(got, (decltype(got){{3, 4}, {24, 8}}));
  }
}

// A tree spread over more of the section than the decoder keeps in chunks (32 MiB), each
// directory straddling a 64 KiB boundary: read whole, the same from memory and from a file.
TEST(OddTrees, TreeSpreadWide) {
  constexpr std::uint32_t kTypes = 600;
  constexpr std::uint32_t kStride = 64U << 10;
  PeOptions o;
  o.file_alignment = o.section_alignment = 32;
  o.raw_resource_section = [&](std::uint32_t rva) {
    RawTree t(std::size_t{kStride} * (kTypes + 1));
    t.dir(0, 0, kTypes);
    for (std::uint32_t i = 0; i < kTypes; ++i) {
      const std::uint32_t at = kStride * (i + 1) - 12;
      t.entry(16 + 8 * i, i + 1, at, true);
      t.dir(at, 0, 1).entry(at + 16, 1, at + 24, true);
      t.dir(at + 24, 0, 1).entry(at + 40, 0, at + 48, false);
      t.data(at + 48, rva + at + 64, 1 + i % 7);
    }
    return t.bytes();
  };
  const Bytes img = build_pe_bytes(o);
  std::vector<std::vector<std::tuple<std::uint16_t, std::uint32_t, std::uint64_t>>> seen;
  for (const auto& src : {view(img), copying_view(img)}) {
    auto editor = resupdate::ImageEditor::open(src, false);
    ASSERT_TRUE(editor) << editor.error().detail;
    auto& got = seen.emplace_back();
    for (const auto& [key, data] : editor->resources())
      got.emplace_back(key.type.id, data.size(),
                       std::get<resupdate::FileExtent>(data.bytes).offset.value);
  }
  ASSERT_EQ(seen[0].size(), kTypes);
  EXPECT_EQ(seen[0], seen[1]);
}

TEST(OddTrees, TreeEndsInZerosPastTheRawData) {
  PeOptions o;
  o.file_alignment = o.section_alignment = 32;
  // 96 raw bytes (88 rounded up to 32); the 16-byte blob at 88 runs 8 bytes past them.
  o.raw_resource_section = [](std::uint32_t rva) {
    RawTree t = sound_tree(rva, 88);
    return t.data(72, rva + 88, 16).bytes();
  };
  o.resource_virtual_size = 0x1000;
  const Bytes img = build_pe_bytes(o);
  std::string error;
  const std::vector<TestResource> got = read_resources(img, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(got.size(), 1U);
  EXPECT_EQ(got[0].data, Bytes(16, 0));
}

TEST(OddTrees, EmptyRootInsideVirtualSize) {
  PeOptions o;
  o.raw_resource_section = [](std::uint32_t) { return Bytes(8, 0); };  // half a directory header
  o.raw_resource_dir_size = 16;
  o.resource_virtual_size = 0x1000;
  o.file_alignment = o.section_alignment = 32;
  const Bytes img = build_pe_bytes(o);
  auto editor = resupdate::ImageEditor::open(view(img), false);
  ASSERT_TRUE(editor) << editor.error().detail;
  EXPECT_TRUE(editor->resources().empty());
}

// Files that are not usable PE images at all.
struct NotAnImage {
  const char* name;
  std::function<Bytes()> bytes;
  Errc code;
};

Bytes sound_image() {
  PeOptions o;
  o.resources = {TestResource{ResId::num(24), ResId::num(1), 0, manifest_bytes(), 0}};
  return build_pe_bytes(o);
}

Bytes patched(std::size_t off, std::uint32_t v, int width) {
  Bytes b = sound_image();
  if (width == 2) put16(b, off, static_cast<std::uint16_t>(v));
  else put32(b, off, v);
  return b;
}

Bytes truncated(std::size_t len) {
  Bytes b = sound_image();
  b.resize(len);
  return b;
}

const std::vector<NotAnImage>& not_images() {
  constexpr std::size_t pe = 0x80;      // e_lfanew of builder images with header room
  constexpr std::size_t opt = pe + 24;  // optional header
  static const std::vector<NotAnImage> all = {
      {"empty", [] { return Bytes(); }, Errc::file_invalid},
      {"text",
       [] {
         const std::string s = "just some text, not an image\n";
         return Bytes(s.begin(), s.end());
       },
       Errc::bad_exe_format},
      {"one_byte", [] { return Bytes{'M'}; }, Errc::bad_exe_format},
      {"mz_only", [] { return truncated(2); }, Errc::bad_exe_format},
      {"lfanew_past_the_end", [] { return patched(0x3C, 0x7FFFFFF0, 4); }, Errc::bad_exe_format},
      {"no_pe_signature", [] { return patched(pe, 0x00004551, 4); }, Errc::bad_exe_format},
      {"bad_magic", [] { return patched(opt, 0x10C, 2); }, Errc::bad_exe_format},
      {"zero_file_alignment", [] { return patched(opt + 36, 0, 4); }, Errc::bad_exe_format},
      {"odd_section_alignment", [] { return patched(opt + 32, 0x1001, 4); }, Errc::bad_exe_format},
      {"optional_header_too_small", [] { return patched(pe + 20, 8, 2); }, Errc::bad_exe_format},
      {"truncated_in_coff_header", [] { return truncated(pe + 10); }, Errc::bad_exe_format},
      {"truncated_in_section_table", [] { return truncated(opt + 224 + 20); },
       Errc::bad_exe_format},
      {"truncated_in_section_data", [] { return truncated(0x500); }, Errc::bad_exe_format},
  };
  return all;
}

class NotImage : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NotImage, Refused) {
  const NotAnImage& c = not_images()[GetParam()];
  const Bytes img = c.bytes();
  auto editor = resupdate::ImageEditor::open(view(img), false);
  ASSERT_FALSE(editor);
  EXPECT_EQ(editor.error().code, c.code) << editor.error().detail;
}

INSTANTIATE_TEST_SUITE_P(Inputs, NotImage, ::testing::Range<std::size_t>(0, not_images().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& param_info) {
                           return std::string(not_images()[param_info.param].name);
                         });

}  // namespace
}  // namespace tarvisk_test
