// Bounded little-endian reading and writing over byte spans, and the offset types.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace resupdate {

// True when [off, off + len) lies inside [0, size). Written so it cannot overflow.
[[nodiscard]] constexpr bool fits(std::uint64_t off, std::uint64_t len,
                                  std::uint64_t size) noexcept {
  return len <= size && off <= size - len;
}

[[nodiscard]] constexpr std::uint64_t align_up(std::uint64_t value,
                                               std::uint64_t alignment) noexcept {
  return alignment == 0 ? value : (value + alignment - 1) / alignment * alignment;
}

[[nodiscard]] constexpr bool is_power_of_two(std::uint64_t v) noexcept {
  return v != 0 && (v & (v - 1)) == 0;
}

// An address relative to the image base, as the loader maps it.
struct Rva {
  std::uint32_t value = 0;
  friend constexpr bool operator==(Rva, Rva) = default;
  friend constexpr auto operator<=>(Rva, Rva) = default;
};

// A position in the file on disk.
struct FileOffset {
  std::uint64_t value = 0;
  friend constexpr bool operator==(FileOffset, FileOffset) = default;
  friend constexpr auto operator<=>(FileOffset, FileOffset) = default;
};

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// Stores `values` little-endian at `p`, one after another: in one copy where the host is
// little-endian, byte by byte elsewhere. `p` must have room for all of them.
inline void store_le32s(std::uint8_t* p, std::span<const std::uint32_t> values) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(p, values.data(), 4 * values.size());
  } else {
    for (const std::uint32_t v : values) {
      p[0] = static_cast<std::uint8_t>(v);
      p[1] = static_cast<std::uint8_t>(v >> 8);
      p[2] = static_cast<std::uint8_t>(v >> 16);
      p[3] = static_cast<std::uint8_t>(v >> 24);
      p += 4;
    }
  }
}

// Reads fixed-size little-endian fields at absolute positions of a span.
// Every read is checked; a read outside the span yields false and leaves `out` unchanged.
class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) noexcept : data_(data) {}

  [[nodiscard]] std::size_t size() const noexcept { return data_.size(); }
  [[nodiscard]] bool has(std::uint64_t off, std::uint64_t len) const noexcept {
    return fits(off, len, data_.size());
  }

  [[nodiscard]] bool u8(std::uint64_t off, std::uint8_t& out) const noexcept {
    if (!has(off, 1)) return false;
    out = data_[static_cast<std::size_t>(off)];
    return true;
  }
  [[nodiscard]] bool u16(std::uint64_t off, std::uint16_t& out) const noexcept {
    if (!has(off, 2)) return false;
    const auto i = static_cast<std::size_t>(off);
    out = static_cast<std::uint16_t>(data_[i] | (data_[i + 1] << 8));
    return true;
  }
  [[nodiscard]] bool u32(std::uint64_t off, std::uint32_t& out) const noexcept {
    if (!has(off, 4)) return false;
    const auto i = static_cast<std::size_t>(off);
    out = static_cast<std::uint32_t>(data_[i]) | (static_cast<std::uint32_t>(data_[i + 1]) << 8) |
          (static_cast<std::uint32_t>(data_[i + 2]) << 16) |
          (static_cast<std::uint32_t>(data_[i + 3]) << 24);
    return true;
  }

 private:
  ByteSpan data_;
};

// Little-endian stores into a byte vector at absolute positions. Callers lay out
// the buffer first; a store outside it is a programming error and reports false.
class ByteWriter {
 public:
  explicit ByteWriter(Bytes& out) noexcept : out_(out) {}

  // Each store goes through one pointer taken first: a byte stored through the vector itself
  // might change the vector, so the compiler would reload it before every byte.
  [[nodiscard]] bool u16(std::uint64_t off, std::uint16_t v) noexcept {
    if (!fits(off, 2, out_.size())) return false;
    std::uint8_t* p = out_.data() + off;
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    return true;
  }
  [[nodiscard]] bool u32(std::uint64_t off, std::uint32_t v) noexcept {
    return u32s(off, std::array<std::uint32_t, 1>{v});
  }
  // A record's 32-bit fields in a row, under one bounds check.
  template <std::size_t N>
  [[nodiscard]] bool u32s(std::uint64_t off, const std::array<std::uint32_t, N>& v) noexcept {
    if (!fits(off, 4 * N, out_.size())) return false;
    store_le32s(out_.data() + off, v);
    return true;
  }

 private:
  Bytes& out_;
};

}  // namespace resupdate
