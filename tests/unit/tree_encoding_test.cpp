// The core's resource tree encoding: exact offsets, directory order and headers, and that
// it reads back what an independent encoder wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "invariants.h"
#include "pe_builder.h"
#include "resupdate/resource_tree.h"
#include "unit_support.h"

namespace tarvisk_test {
namespace {

using resupdate::ResourceData;
using resupdate::ResourceId;
using resupdate::ResourceKey;
using resupdate::ResourceSet;

constexpr std::uint32_t kBase = 0x3000;

Bytes encode(const ResourceSet& set, resupdate::TreeLayout* layout_out = nullptr) {
  auto layout = resupdate::measure_tree(set);
  EXPECT_TRUE(layout) << layout.error().detail;
  if (!layout) return {};
  const resupdate::MemorySource nothing{resupdate::ByteSpan{}};
  auto bytes = resupdate::encode_tree(set, *layout, resupdate::Rva{kBase}, nothing);
  EXPECT_TRUE(bytes) << bytes.error().detail;
  if (layout_out != nullptr) *layout_out = *layout;
  return bytes ? *bytes : Bytes{};
}

void add(ResourceSet& set, const TestResource& r) {
  set[core_key(r)] = ResourceData{r.data, r.code_page};
}

class ManifestOnly : public ::testing::TestWithParam<std::size_t> {};

// With only 24/1/0 the positions are fixed: a loader-compatible tree has no freedom here.
TEST_P(ManifestOnly, FixedOffsets) {
  const std::size_t n = GetParam();
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 3 + 1);
  ResourceSet set;
  add(set, TestResource{ResId::num(24), ResId::num(1), 0, data, 0});
  resupdate::TreeLayout layout;
  const Bytes t = encode(set, &layout);
  ASSERT_GE(t.size(), 88 + n);
  EXPECT_EQ(layout.total_size, 88 + n);
  EXPECT_EQ(layout.data_offset, 88U);

  auto dir = [&](std::size_t off, std::uint16_t ids) {
    EXPECT_EQ(get32(t, off), 0U) << "Characteristics at " << off;
    EXPECT_EQ(get32(t, off + 4), 0U) << "TimeDateStamp at " << off;
    EXPECT_EQ(get16(t, off + 8), 4U) << "MajorVersion at " << off;
    EXPECT_EQ(get16(t, off + 10), 0U) << "MinorVersion at " << off;
    EXPECT_EQ(get16(t, off + 12), 0U) << "named entries at " << off;
    EXPECT_EQ(get16(t, off + 14), ids) << "id entries at " << off;
  };
  dir(0, 1);
  EXPECT_EQ(get32(t, 16), 24U);
  EXPECT_EQ(get32(t, 20), 0x80000000U | 24);
  dir(24, 1);
  EXPECT_EQ(get32(t, 40), 1U);
  EXPECT_EQ(get32(t, 44), 0x80000000U | 48);
  dir(48, 1);
  EXPECT_EQ(get32(t, 64), 0U);
  EXPECT_EQ(get32(t, 68), 72U);
  EXPECT_EQ(get32(t, 72), kBase + 88);
  EXPECT_EQ(get32(t, 76), n);
  EXPECT_EQ(get32(t, 80), 0U);
  EXPECT_EQ(get32(t, 84), 0U);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), t.begin() + 88));
  // Anything past the blob is padding the encoder chose; it must be zeros.
  EXPECT_TRUE(std::all_of(t.begin() + static_cast<std::ptrdiff_t>(88 + n), t.end(),
                          [](std::uint8_t b) { return b == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ManifestOnly, ::testing::Values(0, 1, 5, 300, 4096));

// A generic walk of an encoded tree that records what order and where everything sits.
struct Walk {
  const Bytes& t;
  std::vector<std::uint32_t> dirs;
  std::vector<std::uint32_t> data_entries;
  std::vector<std::uint32_t> strings;
  std::vector<std::uint32_t> blobs;
  std::vector<std::vector<ResId>> orders;  // entries of each directory, in stored order
  std::vector<TestResource> leaves;

  ResId id_at(std::uint32_t field) {
    if ((field & 0x80000000U) == 0) return ResId::num(static_cast<std::uint16_t>(field));
    const std::uint32_t off = field & 0x7FFFFFFFU;
    strings.push_back(off);
    std::u16string s;
    for (std::uint16_t i = 0; i < get16(t, off); ++i)
      s.push_back(static_cast<char16_t>(get16(t, off + 2 + 2U * i)));
    return ResId::str(s);
  }

  void dir(std::uint32_t off, int level, std::vector<ResId> path) {
    dirs.push_back(off);
    EXPECT_EQ(get16(t, off + 8), 4U) << "MajorVersion of the directory at " << off;
    EXPECT_EQ(get32(t, off), 0U);
    EXPECT_EQ(get32(t, off + 4), 0U);
    const std::uint16_t named = get16(t, off + 12);
    const std::uint16_t ids = get16(t, off + 14);
    std::vector<ResId> order;
    for (std::uint32_t i = 0; i < std::uint32_t{named} + ids; ++i) {
      const std::uint32_t e = off + 16 + 8 * i;
      const ResId id = id_at(get32(t, e));
      EXPECT_EQ(id.named, i < named) << "entry " << i << " of the directory at " << off;
      order.push_back(id);
      const std::uint32_t target = get32(t, e + 4);
      std::vector<ResId> p = path;
      p.push_back(id);
      if (level < 2) {
        ASSERT_NE(target & 0x80000000U, 0U) << "level " << level << " entry must name a directory";
        dir(target & 0x7FFFFFFFU, level + 1, p);
      } else {
        ASSERT_EQ(target & 0x80000000U, 0U) << "language entry must name a data entry";
        data_entries.push_back(target);
        const std::uint32_t rva = get32(t, target);
        const std::uint32_t size = get32(t, target + 4);
        blobs.push_back(rva - kBase);
        Bytes d(t.begin() + (rva - kBase), t.begin() + (rva - kBase + size));
        leaves.push_back(TestResource{p[0], p[1], id.id, d, get32(t, target + 8)});
      }
    }
    orders.push_back(order);
  }
};

TEST(TreeEncoding, LoaderOrderAndSectionLayout) {
  const std::vector<TestResource> input = {
      {ResId::num(24), ResId::num(1), 0, manifest_bytes("a"), 0},
      {ResId::num(3), ResId::num(7), 1033, Bytes(5, 1), 1252},
      {ResId::str(u"ZED"), ResId::num(2), 0, Bytes(3, 2), 0},
      {ResId::str(u"ABC"), ResId::str(u"b"), 0, Bytes(6, 3), 0},
      {ResId::str(u"ABC"), ResId::str(u"B"), 9, Bytes(1, 4), 0},
      {ResId::str(u"ABC"), ResId::num(1), 0, Bytes(2, 5), 0},
      {ResId::str(u"AB"), ResId::str(u"\u00e9"), 0, Bytes(7, 6), 0},
      {ResId::str(u"AB"), ResId::str(u"z"), 0, Bytes(), 0},
      {ResId::num(24), ResId::num(1), 1033, manifest_bytes("b"), 0},
      {ResId::num(24), ResId::num(1), 7, manifest_bytes("c"), 0},
  };
  ResourceSet set;
  for (const TestResource& r : input) add(set, r);
  resupdate::TreeLayout layout;
  const Bytes t = encode(set, &layout);
  ASSERT_FALSE(t.empty());

  Walk w{t, {}, {}, {}, {}, {}, {}};
  w.dir(0, 0, {});
  // Root: named types first, ordinal UTF-16 ("AB" before "ABC" before "ZED"), then ids.
  const std::vector<ResId> root = {ResId::str(u"AB"), ResId::str(u"ABC"), ResId::str(u"ZED"),
                                   ResId::num(3), ResId::num(24)};
  EXPECT_TRUE(w.orders.back() == root);
  // Names of "ABC": "B" (0x42) before "b" (0x62), then id 1. Names of "AB": "z" before U+00E9.
  EXPECT_TRUE(std::find(w.orders.begin(), w.orders.end(),
                        std::vector<ResId>{ResId::str(u"B"), ResId::str(u"b"), ResId::num(1)}) !=
              w.orders.end());
  EXPECT_TRUE(std::find(w.orders.begin(), w.orders.end(),
                        std::vector<ResId>{ResId::str(u"z"), ResId::str(u"\u00e9")}) !=
              w.orders.end());
  EXPECT_TRUE(std::find(w.orders.begin(), w.orders.end(),
                        std::vector<ResId>{ResId::num(0), ResId::num(7), ResId::num(1033)}) !=
              w.orders.end());

  // Every part in its region: directories, data entries, strings (padded to 4), blobs (8-aligned).
  const std::uint32_t dirs_end = *std::max_element(w.dirs.begin(), w.dirs.end());
  const std::uint32_t entries_begin =
      *std::min_element(w.data_entries.begin(), w.data_entries.end());
  const std::uint32_t entries_end =
      *std::max_element(w.data_entries.begin(), w.data_entries.end()) + 16;
  EXPECT_EQ(w.data_entries.size(), input.size());
  EXPECT_LT(dirs_end, entries_begin);
  EXPECT_EQ(entries_begin, layout.data_entries_offset);
  EXPECT_EQ(entries_end, layout.strings_offset);
  for (std::uint32_t s : w.strings) {
    EXPECT_GE(s, layout.strings_offset);
    EXPECT_LT(s, layout.data_offset);
  }
  EXPECT_EQ(layout.data_offset % 8, 0U);
  for (std::uint32_t b : w.blobs) {
    EXPECT_GE(b, layout.data_offset);
    EXPECT_EQ(b % 8, 0U);
  }

  // And the walk found exactly the input.
  std::vector<TestResource> got = w.leaves;
  ASSERT_EQ(got.size(), input.size());
  for (const TestResource& want : input) {
    const auto it = std::find_if(got.begin(), got.end(), [&](const TestResource& g) {
      return g.type == want.type && g.name == want.name && g.language == want.language;
    });
    ASSERT_NE(it, got.end()) << describe_key(want.type, want.name, want.language);
    EXPECT_EQ(it->data, want.data) << describe_key(want.type, want.name, want.language);
    EXPECT_EQ(it->code_page, want.code_page) << describe_key(want.type, want.name, want.language);
  }
}

// Blobs the source holds lie at `at` in it (out of the set's order), with `size` bytes of
// which the file holds `file_len`; one more resource is held in memory.
struct KeptCase {
  const char* name;
  std::vector<std::uint32_t> at;
  std::vector<std::uint32_t> size;
  std::uint32_t partial = ~0U;  // the one only partly in the file (its first half)
  std::uint64_t keep_at_least = 1;
  bool kept;
};

class KeptBlobs : public ::testing::TestWithParam<KeptCase> {};

// Kept or not, the section holds every resource's own bytes; kept, the blobs of the source
// lie as they lay, and the section is what lies around them plus those bytes.
TEST_P(KeptBlobs, KeepsOnlyBlobsPackedTogetherAndEncodesTheSameResources) {
  const KeptCase& c = GetParam();
  Bytes file(0x3000);
  for (std::size_t i = 0; i < file.size(); ++i)
    file[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
  const resupdate::MemorySource src(file);
  ResourceSet set;
  std::vector<TestResource> input;
  for (std::size_t i = 0; i < c.at.size(); ++i) {
    const std::uint32_t backed = i == c.partial ? c.size[i] / 2 : c.size[i];
    Bytes want(file.begin() + c.at[i], file.begin() + c.at[i] + backed);
    want.resize(c.size[i]);
    input.push_back({ResId::num(10), ResId::num(static_cast<std::uint16_t>(100 - i)), 0, want, 0});
    set[core_key(input.back())] =
        ResourceData{resupdate::FileExtent{resupdate::FileOffset{c.at[i]}, backed, c.size[i]}, 0};
  }
  // Large enough to be written from where the set holds it, not from the encoded buffers.
  input.push_back({ResId::num(24), ResId::num(1), 0,
                   manifest_bytes(std::string(resupdate::kBorrowFrom, 'k')), 0});
  add(set, input.back());

  const auto compact = resupdate::measure_tree(set).value();
  const auto layout = resupdate::measure_tree(set, c.keep_at_least).value();
  ASSERT_EQ(layout.kept_length != 0, c.kept);
  EXPECT_LE(layout.total_size, (compact.total_size + 7) / 8 * 8);
  if (c.kept) {
    EXPECT_EQ(layout.kept_offset % 8, layout.kept_from % 8);
  }
  const Bytes t = resupdate::encode_tree(set, layout, resupdate::Rva{kBase}, src).value();
  ASSERT_EQ(t.size(), layout.total_size);
  Walk w{t, {}, {}, {}, {}, {}, {}};
  w.dir(0, 0, {});
  ASSERT_EQ(w.leaves.size(), input.size());
  for (const TestResource& want : input) {
    const auto it = std::find_if(w.leaves.begin(), w.leaves.end(), [&](const TestResource& g) {
      return g.name == want.name && g.type == want.type;
    });
    ASSERT_NE(it, w.leaves.end());
    EXPECT_EQ(it->data, want.data) << describe_key(want.type, want.name, want.language);
  }
  const auto parts =
      resupdate::encode_tree_around_kept(set, layout, resupdate::Rva{kBase}, src).value();
  Bytes joined = parts.before;
  joined.insert(joined.end(), file.begin() + static_cast<std::ptrdiff_t>(layout.kept_from),
                file.begin() + static_cast<std::ptrdiff_t>(layout.kept_from + layout.kept_length));
  joined.insert(joined.end(), parts.after.begin(), parts.after.end());
  EXPECT_EQ(joined, t);
  // Less the manifest too, which goes back in at its place.
  const auto lent =
      resupdate::encode_tree_around_kept(set, layout, resupdate::Rva{kBase}, src, true).value();
  ASSERT_EQ(lent.borrowed.size(), 1U);
  Bytes rejoined = lent.before;
  rejoined.insert(
      rejoined.end(), file.begin() + static_cast<std::ptrdiff_t>(layout.kept_from),
      file.begin() + static_cast<std::ptrdiff_t>(layout.kept_from + layout.kept_length));
  rejoined.insert(rejoined.end(), lent.after.begin(), lent.after.end());
  const resupdate::BorrowedBlob& b = lent.borrowed[0];
  ASSERT_LE(b.at, rejoined.size());
  rejoined.insert(rejoined.begin() + static_cast<std::ptrdiff_t>(b.at), b.bytes.begin(),
                  b.bytes.end());
  EXPECT_EQ(rejoined, t);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, KeptBlobs,
    ::testing::Values(
        KeptCase{"packed_out_of_order", {0x1010, 0x1000, 0x1028}, {0x13, 0x10, 0x40}, ~0U, 1, true},
        KeptCase{"start_4_past_8_kept_modulo_8", {0x1004, 0x1008}, {0x4, 0x8}, ~0U, 1, true},
        KeptCase{"start_not_4_aligned", {0x1003, 0x101b}, {0x11, 0x1d}, ~0U, 1, false},
        KeptCase{"dead_bytes_between", {0x1000, 0x1020}, {0x10, 0x10}, ~0U, 1, false},
        KeptCase{"fewer_bytes_than_asked", {0x1000, 0x1010}, {0x10, 0x10}, ~0U, 0x21, false},
        KeptCase{
            "partly_in_the_file_follows", {0x1000, 0x1010, 0x2000}, {0x10, 0x10, 0x30}, 2, 1, true},
        KeptCase{"larger_than_the_tree_would_be", {0x1007}, {0x8}, ~0U, 1, false}),
    [](const auto& p) { return std::string(p.param.name); });

// The core's decoder reads trees written by the builder's independent encoder, across
// formats, alignments and key kinds, and the invariant checker agrees the image is sound.
class DecodeBuilt : public ::testing::TestWithParam<std::tuple<bool, bool, std::uint32_t>> {};

TEST_P(DecodeBuilt, ReadsIndependentEncoding) {
  const auto [plus, low, dir_offset] = GetParam();
  PeOptions o;
  o.pe32_plus = plus;
  if (low) o.file_alignment = o.section_alignment = 32;
  o.resource_dir_offset = dir_offset;
  o.resources = {{ResId::num(24), ResId::num(1), 0, manifest_bytes("x"), 0},
                 {ResId::num(24), ResId::num(1), 1033, manifest_bytes("y"), 1252},
                 {ResId::num(24), ResId::num(2), 0, manifest_bytes("z"), 0},
                 {ResId::str(u"TYPE"), ResId::str(u"NAME"), 0x0409, Bytes(17, 9), 65001},
                 {ResId::num(10), ResId::str(u"\u00c9T\u00c9"), 0, Bytes(), 0}};
  const Bytes img = build_pe_bytes(o);
  std::string error;
  const std::vector<TestResource> got = read_resources(img, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(got.size(), o.resources.size());
  EXPECT_TRUE(invariants_hold(img, img, o.resources));
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodeBuilt,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(),
                                            ::testing::Values(0U, 0x30U)));

}  // namespace
}  // namespace tarvisk_test
