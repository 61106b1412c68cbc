// Where image bytes come from and where a new image goes: files or memory.
#pragma once

#include <cstdint>
#include <span>

#include "resupdate/byte_io.h"
#include "resupdate/result.h"

namespace resupdate {

// Random-access, read-only bytes of an image. Reads outside size() fail.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  [[nodiscard]] virtual std::uint64_t size() const noexcept = 0;
  // Fills `out` with the bytes at [off, off + out.size()).
  [[nodiscard]] virtual Status read(std::uint64_t off, std::span<std::uint8_t> out) const = 0;
  // The descriptor behind the bytes, when there is one, so copies can stay in the kernel.
  [[nodiscard]] virtual int native_fd() const noexcept { return -1; }
  // The bytes from `off` on that the source already holds in one piece of memory, valid until it
  // is next read or destroyed; empty when it holds none there. Lets a walk over many small
  // fields skip copying them.
  [[nodiscard]] virtual ByteSpan view(std::uint64_t off) const noexcept {
    (void)off;
    return {};
  }
};

// Reads `len` bytes at `off` into a new vector, refusing ranges outside the source.
[[nodiscard]] Result<Bytes> read_bytes(const ByteSource& src, std::uint64_t off, std::uint64_t len);

// An image held in memory (tests, fuzzing, callers that already have the bytes).
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(ByteSpan data) noexcept : data_(data) {}
  [[nodiscard]] std::uint64_t size() const noexcept override { return data_.size(); }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const override;
  [[nodiscard]] ByteSpan view(std::uint64_t off) const noexcept override {
    return off < data_.size() ? data_.subspan(static_cast<std::size_t>(off)) : ByteSpan{};
  }

 private:
  ByteSpan data_;
};

// Sequential output of a new image.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  [[nodiscard]] virtual Status write(ByteSpan data) = 0;
  [[nodiscard]] virtual Status write_zeros(std::uint64_t len);
  // Appends src[off, off + len). The default reads through a bounded buffer.
  [[nodiscard]] virtual Status copy_from(const ByteSource& src, std::uint64_t off,
                                         std::uint64_t len);
  [[nodiscard]] virtual std::uint64_t position() const noexcept = 0;
  // Overwrites bytes already written.
  [[nodiscard]] virtual Status patch(std::uint64_t off, ByteSpan data) = 0;
};

class MemorySink final : public ByteSink {
 public:
  [[nodiscard]] Status write(ByteSpan data) override;
  [[nodiscard]] Status patch(std::uint64_t off, ByteSpan data) override;
  [[nodiscard]] std::uint64_t position() const noexcept override { return bytes_.size(); }
  [[nodiscard]] const Bytes& bytes() const noexcept { return bytes_; }
  [[nodiscard]] Bytes take() noexcept { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

}  // namespace resupdate
