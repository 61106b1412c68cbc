// Fuzz target: the resource-tree decoder on arbitrary section bytes, and the encoder's round
// trip on every tree the decoder accepts.
#include <string>

#include "fuzz_support.h"
#include "resupdate/pe_image.h"
#include "resupdate/resource_tree.h"
#include "resupdate/source.h"

using namespace resupdate;
using tarvisk_fuzz::violated;

namespace {

// Trees whose blobs add up to more than this are decoded but not re-encoded: a few bytes of
// input may describe gigabytes of zero-filled data, which is legal but slow to copy.
constexpr std::uint64_t kMaxEncoded = 8U << 20;

Bytes host_image(const Bytes& section) {
  tarvisk_test::PeOptions o = tarvisk_fuzz::tree_host();
  o.raw_resource_section = [&](std::uint32_t) { return section; };
  return tarvisk_test::build_pe_bytes(o);
}

// The same bytes read a copy at a time, as from a file: the decoder then reads the tree by
// chunks instead of where it lies.
class CopyingSource final : public ByteSource {
 public:
  explicit CopyingSource(const Bytes& image) noexcept : inner_(ByteSpan(image)) {}
  [[nodiscard]] std::uint64_t size() const noexcept override { return inner_.size(); }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const override {
    return inner_.read(off, out);
  }

 private:
  MemorySource inner_;
};

// Decodes the tree of a host image; the host itself must always parse.
Result<ResourceSet> decode(const ByteSource& src) {
  auto img = PeImage::parse(src);
  if (!img) violated("the host image does not parse: " + img.error().detail);
  return decode_resources(*img, src);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes image = host_image(Bytes(data, data + size));
  const MemorySource src{ByteSpan(image)};
  auto set = decode(src);
  // Read as from a file, the tree must decode the same, or fail the same way.
  const auto copied = decode(CopyingSource(image));
  if (set.ok() != copied.ok() || (!set && set.error().detail != copied.error().detail))
    violated("the tree decodes differently read in place and read by copies");
  if (!set) {
    if (set.error().code != Errc::invalid_data)
      violated("decoding failed with an unexpected code: " + set.error().detail);
    return 0;
  }
  if (set->size() != copied->size())
    violated("read by copies, the tree holds a different number of resources");
  for (auto a = set->begin(), b = copied->begin(); a != set->end(); ++a, ++b) {
    const auto& x = std::get<FileExtent>(a->second.bytes);
    const auto& y = std::get<FileExtent>(b->second.bytes);
    if (!(a->first == b->first) || a->second.code_page != b->second.code_page ||
        x.offset.value != y.offset.value || x.file_len != y.file_len || x.size != y.size)
      violated("read by copies, the tree holds different resources");
  }

  std::uint64_t total = 0;
  for (const auto& [key, res] : *set) {
    const auto& extent = std::get<FileExtent>(res.bytes);
    if (!fits(extent.offset.value, extent.file_len, image.size()) || extent.file_len > extent.size)
      violated("a decoded resource lies outside the file");
    total += res.size();
  }
  if (total > kMaxEncoded) return 0;

  // Encoding what was decoded and decoding it again must give the same resources, with the
  // old blobs kept as they lie wherever they can be (odd-sized inputs) or laid out anew.
  auto layout = measure_tree(*set, size % 2);
  if (!layout) return 0;  // more entries than one directory can count
  static const std::uint32_t base = tarvisk_test::planned_rsrc_rva(tarvisk_fuzz::tree_host());
  auto tree = encode_tree(*set, *layout, Rva{base}, src);
  if (!tree) violated("encoding a decoded tree failed: " + tree.error().detail);
  if (tree->size() != layout->total_size)
    violated("the encoded tree differs in size from its layout");
  const Bytes again = host_image(*tree);
  const MemorySource src2{ByteSpan(again)};
  auto set2 = decode(src2);
  if (!set2) violated("a re-encoded tree does not decode: " + set2.error().detail);
  if (set2->size() != set->size()) violated("re-encoding changed the number of resources");
  auto a = set->begin();
  for (auto b = set2->begin(); b != set2->end(); ++a, ++b) {
    if (!(a->first == b->first)) violated("re-encoding changed a key or the order of keys");
    if (a->second.code_page != b->second.code_page) violated("re-encoding changed a code page");
    auto x = a->second.load(src);
    auto y = b->second.load(src2);
    if (!x || !y || *x != *y) violated("re-encoding changed a resource's bytes");
  }
  return 0;
}
