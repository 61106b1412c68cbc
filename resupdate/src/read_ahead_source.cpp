// Reading ahead of small forward reads, in a few windows that follow forward streams.
#include "resupdate/read_ahead_source.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace resupdate {

Status ReadAheadSource::read(std::uint64_t off, std::span<std::uint8_t> out) const {
  if (!fits(off, out.size(), inner_.size()))
    return make_error(Errc::read_fault, "read past the end of the image");
  ++clock_;
  if (Window* w = holding(off, out.size()); w != nullptr) {
    if (!out.empty())
      std::memcpy(out.data(), w->bytes.data() + static_cast<std::size_t>(off - w->start),
                  out.size());
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
    w = &*std::min_element(windows_.begin(), windows_.end(), [](const Window& a, const Window& b) {
      return a.last_use < b.last_use;
    });
    w->next_len = kMinWindow;
  }
  const std::uint64_t len =
      std::min(std::max<std::uint64_t>(w->next_len, out.size()), inner_.size() - off);
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

ReadAheadSource::Window* ReadAheadSource::holding(std::uint64_t off,
                                                  std::uint64_t len) const noexcept {
  for (Window& w : windows_)
    if (off >= w.start && fits(off - w.start, len, w.bytes.size())) return &w;
  return nullptr;
}

}  // namespace resupdate
