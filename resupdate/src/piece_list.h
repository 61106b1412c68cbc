// The new image as it is emitted: pieces in file order, each new bytes, a range copied from the
// old image, or zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "placement.h"
#include "resupdate/byte_io.h"
#include "resupdate/pe_image.h"
#include "resupdate/plan.h"
#include "resupdate/resource_tree.h"

namespace resupdate::placement {

// The new image as pieces in file order.
struct PieceList {
  const PeImage& img;
  ImagePlan& plan;
  std::size_t kept_piece = ~std::size_t{0};

  void literal(Bytes data);
  void copy(std::uint64_t from, std::uint64_t to);
  void zeros(std::uint64_t len);
  // The tree's kept blobs: copied, but from where they lay in the old tree, not from where
  // the new image puts them.
  void kept(std::uint64_t from, std::uint64_t len);
  // Whether [at, at + len) of the new image lies wholly in one piece copied from the same place.
  [[nodiscard]] bool copied(std::uint64_t at, std::uint64_t len) const;
  void literal_copy(ByteSpan bytes);
  // The first `shown` bytes of `buffer`, which the piece keeps whole: later pieces may borrow
  // the rest of it, where it stays while the plan lives.
  void holding(Bytes buffer, std::size_t shown);
  void borrowed(ByteSpan bytes);
  // `buffer`, which holds the section from `start` on less the borrowed blobs, with each of
  // those in its place.
  [[nodiscard]] bool around_borrowed(Bytes buffer, std::uint64_t start,
                                     const std::vector<BorrowedBlob>& blobs);
  // The new tree: what was encoded in memory around the blobs kept from the old one, with the
  // borrowed ones (all after the kept ones) in their places.
  [[nodiscard]] bool tree(EncodedTree t, const TreeLayout& layout);
  void tail(const Tail& t);
};

}  // namespace resupdate::placement
