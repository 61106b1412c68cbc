// In-process costs of a manifest update on images with many resources: decoding the tree,
// encoding it again, and planning the whole new image.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"
#include "resupdate/pe_image.h"
#include "resupdate/resource_tree.h"
#include "resupdate/source.h"

namespace {

using resupdate::Bytes;
using resupdate::ResourceId;
using resupdate::ResourceKey;
namespace coff = resupdate::coff;
namespace dd = resupdate::dd;
namespace opt = resupdate::opt;
namespace scn = resupdate::scn;

constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::uint32_t kTextRva = 0x1000;
constexpr std::uint32_t kResourceRva = 0x2000;
constexpr std::uint16_t kRcData = 10;
constexpr std::uint16_t kStringTable = 6;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "tarvisk_micro: %s\n", what);
  std::abort();
}

// The mix of the 50,000-resource image, scaled to n: four in five are RCDATA items in two
// languages, the rest string tables in five.
resupdate::ResourceSet make_resources(std::size_t n) {
  std::vector<resupdate::ResourceSet::value_type> entries;
  const std::size_t tables = n / 5;
  const std::size_t items = n - tables;
  for (std::size_t i = 0; i < items; ++i) {
    const auto name = static_cast<std::uint16_t>(1 + i / 2);
    const std::uint16_t lang = i % 2 == 0 ? 0x0409 : 0x0407;
    Bytes blob(4 + (i * 7) % 61, static_cast<std::uint8_t>(i));
    entries.emplace_back(ResourceKey{ResourceId::number(kRcData), ResourceId::number(name), lang},
                         resupdate::ResourceData{std::move(blob), 0});
  }
  static constexpr std::uint16_t kLangs[] = {0x0409, 0x0407, 0x040c, 0x0410, 0x0c0a};
  for (std::size_t i = 0; i < tables; ++i) {
    const auto block = static_cast<std::uint16_t>(1 + i / 5);
    Bytes blob(16 * 2 + 16 * 2 * 7, static_cast<std::uint8_t>(i * 3));
    entries.emplace_back(
        ResourceKey{ResourceId::number(kStringTable), ResourceId::number(block), kLangs[i % 5]},
        resupdate::ResourceData{std::move(blob), 0});
  }
  auto set = resupdate::ResourceSet::from_entries(std::move(entries));
  if (!set) die("the generated resources collide");
  return std::move(set).value();
}

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A PE32+ image with one byte of code and the given resources in .rsrc, the last section.
Bytes make_image(std::size_t n) {
  const resupdate::ResourceSet set = make_resources(n);
  auto layout = resupdate::measure_tree(set);
  if (!layout) die("cannot lay out the tree");
  const Bytes none;
  const resupdate::MemorySource empty(none);
  auto tree = resupdate::encode_tree(set, *layout, resupdate::Rva{kResourceRva}, empty);
  if (!tree) die("cannot encode the tree");
  const auto tree_size = static_cast<std::uint32_t>(tree->size());
  const std::uint32_t rsrc_raw = (tree_size + kFileAlignment - 1) / kFileAlignment * kFileAlignment;
  const std::uint32_t rsrc_virtual =
      (tree_size + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment;

  Bytes img(std::size_t{2} * kFileAlignment + std::size_t{rsrc_raw}, 0);
  if (img.size() < 0x400) die("the image would not fit in memory");
  put16(img, 0, 0x5a4d);  // MZ
  put32(img, 0x3c, 0x40);
  std::memcpy(img.data() + 0x40, "PE\0\0", 4);
  const std::size_t coff_at = 0x44;
  // PE32+: the data directories follow their count.
  const std::uint32_t directories_at = opt::kNumberOfRvaAndSizes64 + 4;
  const std::uint32_t optional_size =
      directories_at + resupdate::kMaxDataDirectories * resupdate::kDataDirectorySize;
  put16(img, coff_at + coff::kMachine, 0x8664);
  put16(img, coff_at + coff::kNumberOfSections, 2);
  put16(img, coff_at + coff::kSizeOfOptionalHeader, optional_size);
  put16(img, coff_at + 18, 0x22);  // Characteristics
  const std::size_t optional_at = coff_at + coff::kHeaderSize;
  put16(img, optional_at + opt::kMagic, 0x20b);
  put32(img, optional_at + 4, kFileAlignment);  // SizeOfCode
  put32(img, optional_at + opt::kSizeOfInitializedData, rsrc_raw);
  put32(img, optional_at + opt::kAddressOfEntryPoint, kTextRva);
  put32(img, optional_at + 20, kTextRva);  // BaseOfCode
  put32(img, optional_at + 28, 0x40);      // ImageBase 0x140000000, high half
  put32(img, optional_at + opt::kSectionAlignment, kSectionAlignment);
  put32(img, optional_at + opt::kFileAlignment, kFileAlignment);
  put16(img, optional_at + 40, 6);  // MajorOperatingSystemVersion
  put16(img, optional_at + 48, 6);  // MajorSubsystemVersion
  put32(img, optional_at + opt::kSizeOfImage, kResourceRva + rsrc_virtual);
  put32(img, optional_at + opt::kSizeOfHeaders, kFileAlignment);
  put16(img, optional_at + 68, 3);       // console
  put16(img, optional_at + 70, 0x8160);  // DllCharacteristics
  put32(img, optional_at + opt::kNumberOfRvaAndSizes64, resupdate::kMaxDataDirectories);
  const std::size_t resource_directory =
      optional_at + directories_at + resupdate::kDirResource * resupdate::kDataDirectorySize;
  put32(img, resource_directory + dd::kVirtualAddress, kResourceRva);
  put32(img, resource_directory + dd::kSize, tree_size);
  const std::size_t text = optional_at + optional_size;
  std::memcpy(img.data() + text + scn::kName, ".text", 5);
  put32(img, text + scn::kVirtualSize, 1);
  put32(img, text + scn::kVirtualAddress, kTextRva);
  put32(img, text + scn::kSizeOfRawData, kFileAlignment);
  put32(img, text + scn::kPointerToRawData, kFileAlignment);
  put32(img, text + scn::kCharacteristics,
        resupdate::kScnCntCode | resupdate::kScnMemExecute | resupdate::kScnMemRead);
  const std::size_t rsrc = text + resupdate::kSectionHeaderSize;
  std::memcpy(img.data() + rsrc + scn::kName, ".rsrc", 5);
  put32(img, rsrc + scn::kVirtualSize, tree_size);
  put32(img, rsrc + scn::kVirtualAddress, kResourceRva);
  put32(img, rsrc + scn::kSizeOfRawData, rsrc_raw);
  put32(img, rsrc + scn::kPointerToRawData, 2 * kFileAlignment);
  put32(img, rsrc + scn::kCharacteristics,
        resupdate::kScnCntInitializedData | resupdate::kScnMemRead);
  img[kFileAlignment] = 0xc3;  // ret
  std::memcpy(img.data() + 2 * kFileAlignment, tree->data(), tree->size());
  return img;
}

// Images are built once per size and shared by the benchmarks.
const Bytes& image_of(std::size_t n) {
  static std::map<std::size_t, Bytes> cache;
  auto it = cache.find(n);
  if (it == cache.end()) it = cache.emplace(n, make_image(n)).first;
  return it->second;
}

void BM_DecodeTree(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Bytes& img = image_of(n);
  const resupdate::MemorySource src(img);
  auto pe = resupdate::PeImage::parse(src);
  if (!pe) die("the generated image does not parse");
  for (auto _ : state) {
    auto set = resupdate::decode_resources(*pe, src);
    if (!set || set->size() != n) die("the generated tree does not decode");
    benchmark::DoNotOptimize(set->size());
  }
  state.SetComplexityN(state.range(0));
}

void BM_EncodeTree(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Bytes& img = image_of(n);
  const resupdate::MemorySource src(img);
  auto pe = resupdate::PeImage::parse(src);
  if (!pe) die("the generated image does not parse");
  auto set = resupdate::decode_resources(*pe, src);
  if (!set) die("the generated tree does not decode");
  for (auto _ : state) {
    auto layout = resupdate::measure_tree(*set);
    if (!layout) die("cannot lay out the tree");
    auto tree = resupdate::encode_tree(*set, *layout, resupdate::Rva{kResourceRva}, src);
    if (!tree) die("cannot encode the tree");
    benchmark::DoNotOptimize(tree->data());
  }
  state.SetComplexityN(state.range(0));
}

// Opening the image, storing the manifest and laying out the new image: everything before
// the first byte is written.
void BM_PlanManifestUpdate(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Bytes& img = image_of(n);
  const Bytes manifest(1200, 'm');
  auto src = std::make_shared<resupdate::MemorySource>(img);
  for (auto _ : state) {
    auto editor = resupdate::ImageEditor::open(src, false);
    if (!editor) die("the generated image does not open");
    editor->put(ResourceKey{ResourceId::number(24), ResourceId::number(1), 0}, manifest);
    auto plan = plan_edit(*editor);
    if (!plan) die("cannot plan the new image");
    benchmark::DoNotOptimize(plan->size);
  }
  state.SetComplexityN(state.range(0));
}

}  // namespace

// Up to 50,000 as in the 50,000-resource image, and 100,000 to show the trend beyond it (names
// stay within 16 bits up to 131,000).
void sizes(benchmark::internal::Benchmark* b) {
  for (const std::int64_t n : {1000, 10000, 50000, 100000}) b->Arg(n);
  b->Complexity(benchmark::oNLogN)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_DecodeTree)->Apply(sizes);
BENCHMARK(BM_EncodeTree)->Apply(sizes);
BENCHMARK(BM_PlanManifestUpdate)->Apply(sizes);

BENCHMARK_MAIN();
