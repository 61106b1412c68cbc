// In-memory sources and sinks, and the generic copy through a bounded buffer.
#include "resupdate/source.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace resupdate {

namespace {
constexpr std::uint64_t kCopyChunk = 1U << 20;
}

Result<Bytes> read_bytes(const ByteSource& src, std::uint64_t off, std::uint64_t len) {
  if (!fits(off, len, src.size()))
    return make_error(Errc::read_fault, "range past the end of the file");
  Bytes out;
  try {
    out.resize(static_cast<std::size_t>(len));
  } catch (const std::bad_alloc&) {
    return make_error(Errc::not_enough_memory, "cannot hold the range in memory");
  }
  if (Status s = src.read(off, out); !s) return std::move(s).error();
  return out;
}

Status MemorySource::read(std::uint64_t off, std::span<std::uint8_t> out) const {
  if (!fits(off, out.size(), data_.size()))
    return make_error(Errc::read_fault, "read past the end of the image");
  if (!out.empty()) std::memcpy(out.data(), data_.data() + off, out.size());
  return {};
}

Status ByteSink::write_zeros(std::uint64_t len) {
  static const std::uint8_t zeros[4096] = {};
  while (len > 0) {
    const std::uint64_t n = std::min<std::uint64_t>(len, sizeof zeros);
    if (Status s = write(ByteSpan(zeros, static_cast<std::size_t>(n))); !s) return s;
    len -= n;
  }
  return {};
}

Status ByteSink::copy_from(const ByteSource& src, std::uint64_t off, std::uint64_t len) {
  if (!fits(off, len, src.size()))
    return make_error(Errc::read_fault, "copy past the end of the image");
  Bytes buf(static_cast<std::size_t>(std::min(len, kCopyChunk)));
  while (len > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(len, buf.size()));
    std::span<std::uint8_t> chunk(buf.data(), n);
    if (Status s = src.read(off, chunk); !s) return s;
    if (Status s = write(chunk); !s) return s;
    off += n;
    len -= n;
  }
  return {};
}

Status MemorySink::write(ByteSpan data) {
  try {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  } catch (const std::bad_alloc&) {
    return make_error(Errc::not_enough_memory, "cannot grow the image in memory");
  }
  return {};
}

Status MemorySink::patch(std::uint64_t off, ByteSpan data) {
  if (!fits(off, data.size(), bytes_.size()))
    return make_error(Errc::internal_error, "patch outside the image");
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(off));
  return {};
}

}  // namespace resupdate
