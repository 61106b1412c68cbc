// A source that reads ahead of small forward reads.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "resupdate/byte_io.h"
#include "resupdate/result.h"
#include "resupdate/source.h"

namespace resupdate {

// Serves small reads that move forward through a source from a few larger reads, so walking
// thousands of resource blobs costs a handful of system calls instead of one each. Several
// forward streams are followed at once (a tree in key order visits blobs stored language by
// language in a few interleaved runs); each stream's window doubles while it keeps moving
// forward and starts again at a page otherwise, so an unordered walk costs no more than
// reading page by page. Not for concurrent use.
class ReadAheadSource final : public ByteSource {
 public:
  explicit ReadAheadSource(const ByteSource& inner) noexcept : inner_(inner) {}
  [[nodiscard]] std::uint64_t size() const noexcept override { return inner_.size(); }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const override;
  [[nodiscard]] int native_fd() const noexcept override { return inner_.native_fd(); }
  // The rest of the window that holds `off`, if one does; valid until the next read.
  [[nodiscard]] ByteSpan held(std::uint64_t off) const noexcept;

 private:
  static constexpr std::uint64_t kMinWindow = 4096;
  static constexpr std::uint64_t kMaxWindow = 64 * 1024;
  static constexpr std::size_t kStreams = 8;
  struct Window {
    Bytes bytes;
    std::uint64_t start = 0;
    std::uint64_t next_len = kMinWindow;
    std::uint64_t last_use = 0;
  };
  // The first window that holds [off, off + len), if one does.
  [[nodiscard]] Window* holding(std::uint64_t off, std::uint64_t len) const noexcept;

  const ByteSource& inner_;
  mutable std::array<Window, kStreams> windows_{};
  mutable std::uint64_t clock_ = 0;
};

}  // namespace resupdate
