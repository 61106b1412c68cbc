// The resource tree: strict decoding from an image, and encoding in the layout and order the
// Windows loader expects.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "resupdate/byte_io.h"
#include "resupdate/pe_image.h"
#include "resupdate/resource_set.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// Offsets inside the resource tree's records: a directory's header, its entries, and the
// data entries the last level points to.
namespace rsrc {
inline constexpr std::uint32_t kDirectorySize = 16;
inline constexpr std::uint32_t kMajorVersion = 8;
inline constexpr std::uint32_t kNumberOfNamedEntries = 12;
inline constexpr std::uint32_t kNumberOfIdEntries = 14;
inline constexpr std::uint32_t kEntrySize = 8;
inline constexpr std::uint32_t kEntryName = 0;
inline constexpr std::uint32_t kEntryOffset = 4;
inline constexpr std::uint32_t kDataEntrySize = 16;
inline constexpr std::uint32_t kDataOffsetToData = 0;
inline constexpr std::uint32_t kDataSize = 4;
inline constexpr std::uint32_t kDataCodePage = 8;
inline constexpr std::uint32_t kDataReserved = 12;
}  // namespace rsrc

// Reads the tree that data directory 2 points to. Exactly three levels, every range
// checked, loops and shared subtrees refused. An image without one yields an empty set.
[[nodiscard]] Result<ResourceSet> decode_resources(const PeImage& image, const ByteSource& src);

// Walks the tree as decode_resources does, with the same checks, but hands each resource to
// `visit` in the order the tree lists them instead of collecting them: a check that compares
// the tree with a set it already holds needs no second set. Stops at the first error `visit`
// returns.
using ResourceVisitor = std::function<Status(const ResourceKey&, const ResourceData&)>;
[[nodiscard]] Status visit_resources(const PeImage& image, const ByteSource& src,
                                     const ResourceVisitor& visit);

// Sizes of an encoded tree, computed before any byte is written.
struct TreeLayout {
  std::uint32_t directories_size = 0;  // all directories and their entries
  std::uint32_t types = 0;             // directories at the name level (one per type)
  std::uint32_t names = 0;             // directories at the language level (one per name)
  std::uint32_t data_entries_offset = 0;
  std::uint32_t strings_offset = 0;
  std::uint32_t data_offset = 0;  // first blob, after the strings padded to 4 and then to 8
  std::uint64_t total_size = 0;   // tree and blobs, before section alignment
  // Blobs kept as they lie in the source: `kept_length` bytes from `kept_from` there, placed at
  // `kept_offset` (as far past data_offset as keeps them at the same place modulo 8), hold every
  // resource whose bytes the source holds in full, 4-byte aligned; the other blobs follow them.
  // None when 0.
  std::uint64_t kept_from = 0;
  std::uint64_t kept_length = 0;
  std::uint32_t kept_offset = 0;
};

// Lays the tree out with each blob 8-aligned, in the set's order. With `keep_at_least`, the
// blobs of the source keep their layout instead, when they lie together there in at least that
// many bytes, taking no more room than laid out anew would (so the tree is no larger once
// aligned to 8, and nothing but alignment lies between them): the writer copies them whole.
[[nodiscard]] Result<TreeLayout> measure_tree(const ResourceSet& set,
                                              std::uint64_t keep_at_least = 0);

// Encodes `set` as a resource section whose first byte lies at `base`. Blobs that refer
// to the source image are read from `src` straight into the output.
[[nodiscard]] Result<Bytes> encode_tree(const ResourceSet& set, const TreeLayout& layout, Rva base,
                                        const ByteSource& src);

// A large resource held in memory, left out of the encoded buffers so that its bytes are not
// held twice: written from where `set` holds them, at offset `at` of the section.
struct BorrowedBlob {
  std::uint64_t at = 0;
  ByteSpan bytes;
};

// The section encode_tree gives, less its kept blobs: the bytes before them and after them.
// Where the layout keeps none, `before` is the whole section. With `borrow`, in-memory blobs
// of kBorrowFrom bytes or more are left out too (of `after` where blobs are kept, else of
// `before`), listed in section order; they refer to `set`, which must outlive them unchanged.
inline constexpr std::uint64_t kBorrowFrom = 64U << 10;
struct EncodedTree {
  Bytes before;
  Bytes after;
  std::vector<BorrowedBlob> borrowed;
};
[[nodiscard]] Result<EncodedTree> encode_tree_around_kept(const ResourceSet& set,
                                                          const TreeLayout& layout, Rva base,
                                                          const ByteSource& src,
                                                          bool borrow = false);

// How much further from the root than encode_directory writes them each block of the tree lies
// (the directories after the root, the data entries, the name strings), modulo 2^32: the caller
// keeps every block within 2 GiB of the root. The data entries from `rest_from` bytes into
// their block on lie `rest_entries` further instead.
struct TreeBias {
  std::uint32_t directories = 0;
  std::uint32_t data_entries = 0;
  std::uint32_t strings = 0;
  std::uint32_t rest_from = 0xffffffffU;
  std::uint32_t rest_entries = 0;
};

// The tree's directories, data entries and strings alone (layout.data_offset bytes), its root
// at `base`, with each resource's data entry pointing at `placed` (its RVA, in the set's order):
// for blobs that stay where they lay, wherever that is. The blocks after the root are written
// in their usual order but name each other where `bias` puts them.
[[nodiscard]] Result<Bytes> encode_directory(const ResourceSet& set, const TreeLayout& layout,
                                             Rva base, const std::vector<std::uint32_t>& placed,
                                             TreeBias bias = {});

// Bytes of the root directory with its entries, the part of the tree that starts its section.
[[nodiscard]] std::uint64_t root_directory_size(const TreeLayout& layout) noexcept;

}  // namespace resupdate
