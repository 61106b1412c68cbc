// The resource directory's bytes, read for the tree's decoder as it walks them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "resupdate/byte_io.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// The resource directory's bytes as the loader maps them: file-backed for `backed` bytes, then
// zeros up to `length`. A source that holds them in memory is read in place. Otherwise they are
// read as first used, in chunks of 64 KiB kept for the walk, so blobs never enter memory here
// beyond the chunks the tree shares with them; past a bound, further reads go page by page.
class TreeRegion {
 public:
  TreeRegion(const ByteSource& src, std::uint64_t file_offset, std::uint32_t backed,
             std::uint32_t length)
      : src_(src),
        file_offset_(file_offset),
        backed_(backed),
        length_(length),
        in_place_(src.view(file_offset)) {
    in_place_ = in_place_.first(std::min<std::size_t>(in_place_.size(), backed));
    if (in_place_.size() < backed)
      chunk_at_.assign(static_cast<std::size_t>((std::uint64_t{backed} + kChunk - 1) / kChunk),
                       nullptr);
  }

  [[nodiscard]] std::uint32_t length() const noexcept { return length_; }

  [[nodiscard]] Status read(std::uint32_t off, std::span<std::uint8_t> out);

  // Little-endian fields; false when they lie past the region or cannot be read.
  [[nodiscard]] bool u32(std::uint32_t off, std::uint32_t& v) {
    std::uint8_t b[4];
    return field(off, b) && ByteReader(b).u32(0, v);
  }
  [[nodiscard]] bool u16(std::uint32_t off, std::uint16_t& v) {
    std::uint8_t b[2];
    return field(off, b) && ByteReader(b).u16(0, v);
  }
  // `N` fields of 32 bits in a row from `off`: from one place where they are held together.
  template <std::size_t N>
  [[nodiscard]] bool u32s(std::uint32_t off, std::array<std::uint32_t, N>& v) {
    if (const std::uint8_t* p = held(off, 4 * N)) {
      const ByteReader fields(ByteSpan(p, 4 * N));
      for (std::size_t i = 0; i < N; ++i) (void)fields.u32(4 * i, v[i]);
      return true;
    }
    for (std::size_t i = 0; i < N; ++i)
      if (!u32(static_cast<std::uint32_t>(off + 4 * i), v[i])) return false;
    return true;
  }

 private:
  static constexpr std::uint32_t kChunk = 64U << 10;
  static constexpr std::uint64_t kPage = 4096;
  static constexpr std::uint64_t kMaxChunkBytes = 32ULL << 20;

  // Bytes [off, off + n) where they are already held together, or null.
  [[nodiscard]] const std::uint8_t* held(std::uint32_t off, std::uint32_t n) const noexcept {
    if (fits(off, n, in_place_.size())) return in_place_.data() + off;
    if (fits(off, n, backed_) && off % kChunk + n <= kChunk) {
      const std::uint8_t* c = chunk_at_[off / kChunk];
      return c != nullptr ? c + off % kChunk : nullptr;
    }
    return nullptr;
  }

  template <std::size_t N>
  [[nodiscard]] bool field(std::uint32_t off, std::uint8_t (&b)[N]) {
    if (const std::uint8_t* p = held(off, N)) {
      std::copy_n(p, N, b);
      return true;
    }
    return read(off, std::span<std::uint8_t>(b, N)).ok();
  }

  // The file-backed bytes from `off` (below backed_) to the end of what is held with them.
  [[nodiscard]] Result<ByteSpan> bytes_at(std::uint32_t off);

  const ByteSource& src_;
  std::uint64_t file_offset_;
  std::uint32_t backed_;
  std::uint32_t length_;
  ByteSpan in_place_;                          // what the source holds in memory from the start
  std::vector<const std::uint8_t*> chunk_at_;  // each chunk's bytes once read, by chunk number
  std::vector<std::unique_ptr<std::uint8_t[]>> held_;  // the chunks read
  std::uint64_t held_bytes_ = 0;
  std::unordered_map<std::uint64_t, Bytes> pages_;
};

}  // namespace resupdate
