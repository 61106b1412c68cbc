// Reading the resource directory in chunks kept for the walk, or in place.
#include "tree_region.h"

#include "hex.h"
#include "tree_format.h"

namespace resupdate {

using detail::hex;

Status TreeRegion::read(std::uint32_t off, std::span<std::uint8_t> out) {
  if (!fits(off, out.size(), length_))
    return bad_tree("read at " + hex(off) + " past the resource section");
  const std::uint64_t end = std::uint64_t{off} + out.size();
  const std::uint64_t file_end =
      std::max<std::uint64_t>(off, std::min<std::uint64_t>(end, backed_));
  for (std::uint64_t pos = off; pos < file_end;) {
    auto got = bytes_at(static_cast<std::uint32_t>(pos));
    if (!got) return std::move(got).error();
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(got->size(), file_end - pos));
    std::copy_n(got->data(), n, out.begin() + static_cast<std::ptrdiff_t>(pos - off));
    pos += n;
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(file_end - off), out.end(), std::uint8_t{0});
  return {};
}

// The file-backed bytes from `off` (below backed_) to the end of what is held with them.
Result<ByteSpan> TreeRegion::bytes_at(std::uint32_t off) {
  if (off < in_place_.size()) return in_place_.subspan(off);
  const std::uint32_t first = off / kChunk * kChunk;
  const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, backed_ - first));
  const std::uint8_t*& at = chunk_at_[off / kChunk];
  in_place_ = {};  // a read may move what the source holds
  if (at == nullptr && held_bytes_ + kChunk <= kMaxChunkBytes) {
    held_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(len));  // the read fills it
    held_bytes_ += kChunk;
    if (Status s =
            src_.read(file_offset_ + first, std::span<std::uint8_t>(held_.back().get(), len));
        !s)
      return std::move(s).error();
    at = held_.back().get();
  }
  if (at != nullptr) return ByteSpan(at + (off - first), len - (off - first));
  // Past the bound: the page alone.
  const std::uint64_t page = off / kPage;
  auto it = pages_.find(page);
  if (it == pages_.end()) {
    Bytes buf(static_cast<std::size_t>(std::min<std::uint64_t>(kPage, backed_ - page * kPage)));
    if (Status s = src_.read(file_offset_ + page * kPage, buf); !s) return std::move(s).error();
    it = pages_.emplace(page, std::move(buf)).first;
  }
  return ByteSpan(it->second).subspan(static_cast<std::size_t>(off - page * kPage));
}

}  // namespace resupdate
