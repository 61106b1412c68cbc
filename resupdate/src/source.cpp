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
  if (!fits(off, len, src.size())) return make_error(Errc::read_fault, "range past the end of the file");
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
  if (!fits(off, out.size(), data_.size())) return make_error(Errc::read_fault, "read past the end of the image");
  if (!out.empty()) std::memcpy(out.data(), data_.data() + off, out.size());
  return {};
}

Status ReadAheadSource::read(std::uint64_t off, std::span<std::uint8_t> out) const {
  if (!fits(off, out.size(), inner_.size())) return make_error(Errc::read_fault, "read past the end of the image");
  ++clock_;
  if (Window* w = holding(off, out.size()); w != nullptr) {
    if (!out.empty()) std::memcpy(out.data(), w->bytes.data() + static_cast<std::size_t>(off - w->start), out.size());
    w->last_use = clock_;
    return {};
  }
  if (out.size() >= kMaxWindow) return inner_.read(off, out);
  // A read at or not far past the end of a window continues that stream: read further ahead.
  Window* w = nullptr;
  for (Window& c : windows_)
    if (!c.bytes.empty() && off >= c.start && off - c.start <= c.bytes.size() + c.next_len) w = &c;
  if (w != nullptr) {
    w->next_len = std::min(w->next_len * 2, kMaxWindow);
  } else {
    w = &*std::min_element(windows_.begin(), windows_.end(),
                           [](const Window& a, const Window& b) { return a.last_use < b.last_use; });
    w->next_len = kMinWindow;
  }
  const std::uint64_t len = std::min(std::max<std::uint64_t>(w->next_len, out.size()), inner_.size() - off);
  try {
    w->bytes.resize(static_cast<std::size_t>(len));
  } catch (const std::bad_alloc&) {
    w->bytes.clear();
    return inner_.read(off, out);
  }
  if (Status s = inner_.read(off, w->bytes); !s) {
    w->bytes.clear();
    return s;
  }
  w->start = off;
  w->last_use = clock_;
  if (!out.empty()) std::memcpy(out.data(), w->bytes.data(), out.size());
  return {};
}

ByteSpan ReadAheadSource::held(std::uint64_t off) const noexcept {
  Window* w = holding(off, 1);
  if (w == nullptr) return {};
  w->last_use = ++clock_;
  return ByteSpan(w->bytes).subspan(static_cast<std::size_t>(off - w->start));
}

ReadAheadSource::Window* ReadAheadSource::holding(std::uint64_t off, std::uint64_t len) const noexcept {
  for (Window& w : windows_)
    if (off >= w.start && fits(off - w.start, len, w.bytes.size())) return &w;
  return nullptr;
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
  if (!fits(off, len, src.size())) return make_error(Errc::read_fault, "copy past the end of the image");
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
  if (!fits(off, data.size(), bytes_.size())) return make_error(Errc::internal_error, "patch outside the image");
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(off));
  return {};
}

}  // namespace resupdate
