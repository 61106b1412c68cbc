// The PE checksum of a planned image, updated from the old image's by what the plan changes.
//
// The checksum is a 16-bit sum with end-around carry, which is a sum modulo 0xffff, over the
// file's little-endian words (its own field read as zero), plus the file's length. A byte at
// an even offset counts once, at an odd offset 0x100 times; since 0x100 * 0x100 is 1 modulo
// 0xffff, a range moved by an odd distance counts 0x100 times what it did, and one moved by an
// even distance counts the same. So the new sum is the old one, less the bytes the plan drops,
// plus the bytes it writes anew, and a range copied by an even distance needs no reading at all.
#include "checksum.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace resupdate {

namespace {

constexpr std::uint64_t kModulus = 0xffff;
constexpr std::uint64_t kChunk = 64U << 10;
constexpr std::uint64_t kFieldSize = 4;

// A residue modulo 0xffff.
class Residue {
 public:
  void add(std::uint64_t v) noexcept { v_ = (v_ + v % kModulus) % kModulus; }
  void subtract(std::uint64_t v) noexcept { v_ = (v_ + kModulus - v % kModulus) % kModulus; }
  [[nodiscard]] std::uint64_t value() const noexcept { return v_; }

 private:
  std::uint64_t v_ = 0;
};

std::uint64_t times(std::uint64_t a, std::uint64_t b) noexcept {
  return (a % kModulus) * (b % kModulus) % kModulus;
}

// The sum of `bytes` lying at file offset `at`, modulo 0xffff.
std::uint64_t sum_at(std::uint64_t at, ByteSpan bytes) noexcept {
  std::uint64_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += bytes[i] | (std::uint64_t{bytes[i + 1]} << 8);
  if (i < bytes.size()) sum += bytes[i];
  return (at & 1) != 0 ? times(sum, 0x100) : sum % kModulus;
}

// The sum of `old`'s bytes [off, off + len) where they lie, read a chunk at a time.
Result<std::uint64_t> old_sum(const ByteSource& old, std::uint64_t off, std::uint64_t len) {
  if (!fits(off, len, old.size()))
    return make_error(Errc::internal_error, "the plan copies past the end of the image");
  const auto buf = std::make_unique_for_overwrite<std::uint8_t[]>(
      static_cast<std::size_t>(std::min(len, kChunk)));
  Residue sum;
  for (std::uint64_t done = 0; done < len;) {
    const auto n = static_cast<std::size_t>(std::min(kChunk, len - done));
    const std::span<std::uint8_t> chunk(buf.get(), n);
    if (Status s = old.read(off + done, chunk); !s) return std::move(s).error();
    sum.add(sum_at(off + done, chunk));
    done += n;
  }
  return sum.value();
}

// Bytes [off, off + out.size()) of the planned image as its pieces lay them, before patches.
Status piece_bytes(const ImagePlan& plan, const ByteSource& old, std::uint64_t off,
                   std::span<std::uint8_t> out) {
  if (!fits(off, out.size(), plan.size))
    return make_error(Errc::internal_error, "a field lies past the planned image");
  std::uint64_t start = 0;
  for (const Piece& p : plan.pieces) {
    const std::uint64_t from = std::max(start, off);
    const std::uint64_t to = std::min(start + p.length, off + out.size());
    if (from < to) {
      const std::span<std::uint8_t> part =
          out.subspan(static_cast<std::size_t>(from - off), static_cast<std::size_t>(to - from));
      const std::uint64_t within = from - start;
      if (p.kind == Piece::Kind::copy) {
        if (Status s = old.read(p.source_offset.value + within, part); !s) return s;
      } else if (p.kind == Piece::Kind::literal && fits(within, part.size(), p.bytes().size())) {
        std::copy_n(p.bytes().begin() + static_cast<std::ptrdiff_t>(within), part.size(),
                    part.begin());
      } else {
        std::fill(part.begin(), part.end(), std::uint8_t{0});
      }
    }
    start += p.length;
  }
  return {};
}

struct Range {
  std::uint64_t off = 0;
  std::uint64_t len = 0;
};

// What the patches and the zeroed checksum field change of the pieces: each window of the new
// image they touch is laid out both ways and the difference taken.
Result<std::uint64_t> window_change(const ImagePlan& plan, const ByteSource& old,
                                    std::uint64_t field) {
  std::vector<Range> windows{{field, kFieldSize}};
  for (const ImagePlan::Patch& q : plan.patches) windows.push_back({q.offset, q.data.size()});
  std::sort(windows.begin(), windows.end(),
            [](const Range& a, const Range& b) { return a.off < b.off; });
  std::vector<Range> merged;
  for (const Range& w : windows) {
    if (!merged.empty() && w.off <= merged.back().off + merged.back().len)
      merged.back().len = std::max(merged.back().len, w.off + w.len - merged.back().off);
    else merged.push_back(w);
  }
  Residue change;
  for (const Range& w : merged) {
    if (!fits(w.off, w.len, plan.size))
      return make_error(Errc::internal_error, "a patch lies past the planned image");
    Bytes before(static_cast<std::size_t>(w.len));
    if (Status s = piece_bytes(plan, old, w.off, before); !s) return std::move(s).error();
    Bytes after = before;
    auto lay = [&](std::uint64_t at, ByteSpan data, bool zero) {
      for (std::uint64_t k = std::max(at, w.off); k < std::min(at + data.size(), w.off + w.len);
           ++k)
        after[static_cast<std::size_t>(k - w.off)] =
            zero ? 0 : data[static_cast<std::size_t>(k - at)];
    };
    for (const ImagePlan::Patch& q : plan.patches) lay(q.offset, q.data, false);
    const std::uint8_t none[kFieldSize] = {};
    lay(field, ByteSpan(none, kFieldSize), true);
    change.add(sum_at(w.off, after));
    change.subtract(sum_at(w.off, before));
  }
  return change.value();
}

// How many copied pieces take each byte of the old image: bytes no piece copies are dropped
// and bytes two pieces copy count twice. Returns the sum of the old image weighted by
// (copies - 1), reading only the bytes copied other than once.
Result<std::uint64_t> coverage_change(const ImagePlan& plan, const ByteSource& old) {
  std::vector<std::pair<std::uint64_t, int>>
      edges;  // (old offset, +1 where a copy starts, -1 where it ends)
  for (const Piece& p : plan.pieces) {
    if (p.kind != Piece::Kind::copy || p.length == 0) continue;
    if (!fits(p.source_offset.value, p.length, old.size()))
      return make_error(Errc::internal_error, "the plan copies past the end of the image");
    edges.emplace_back(p.source_offset.value, 1);
    edges.emplace_back(p.source_offset.value + p.length, -1);
  }
  edges.emplace_back(old.size(), 0);
  std::sort(edges.begin(), edges.end());
  Residue change;
  std::uint64_t at = 0;
  std::int64_t copies = 0;
  for (const auto& [off, step] : edges) {
    if (off > at && copies != 1) {
      auto sum = old_sum(old, at, off - at);
      if (!sum) return std::move(sum).error();
      if (copies == 0) change.subtract(*sum);
      else change.add(times(static_cast<std::uint64_t>(copies - 1), *sum));
    }
    at = std::max(at, off);
    copies += step;
  }
  return change.value();
}

}  // namespace

Result<std::uint32_t> carried_checksum(const ImagePlan& plan, const ByteSource& old) {
  if (!plan.checksum_offset) return make_error(Errc::internal_error, "the plan has no checksum");
  Bytes stored(kFieldSize);
  if (!fits(plan.old_checksum_offset, kFieldSize, old.size()))
    return make_error(Errc::internal_error, "the old checksum lies past the end of the image");
  if (Status s = old.read(plan.old_checksum_offset, stored); !s) return std::move(s).error();

  // change = new sum - old sum, modulo 0xffff. The old sum counts its field as zero; the
  // coverage below counts the field's stored bytes as dropped, so they are given back here.
  Residue change;
  change.add(sum_at(plan.old_checksum_offset, stored));
  std::uint64_t at = 0;
  for (const Piece& p : plan.pieces) {
    if (p.kind == Piece::Kind::literal) {
      const ByteSpan bytes = p.bytes();
      const auto held = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), p.length));
      change.add(sum_at(at, bytes.first(held)));
    }
    if (p.kind == Piece::Kind::copy && ((p.source_offset.value ^ at) & 1) != 0) {
      auto sum = old_sum(old, p.source_offset.value, p.length);
      if (!sum) return std::move(sum).error();
      change.add(
          times(*sum, 0xff));  // counted once where it lay (below), 0x100 times where it goes
    }
    at += p.length;
  }
  auto copied = coverage_change(plan, old);
  if (!copied) return std::move(copied).error();
  change.add(*copied);
  auto patched = window_change(plan, old, *plan.checksum_offset);
  if (!patched) return std::move(patched).error();
  change.add(*patched);

  // The stored value less the length is the folded sum, in 1..0xffff, when it was right; a
  // stale one is taken modulo 0xffff. The stored value then moves by as much as the folded sum
  // and the length do, so a stale checksum stays off by what it was (or by that and one wrap
  // of the folded sum, 0xffff, which cannot be told apart without reading the whole image).
  std::uint32_t stored_value = 0;
  (void)ByteReader(stored).u32(0, stored_value);
  const std::uint64_t was = std::uint32_t{stored_value - static_cast<std::uint32_t>(old.size())};
  const std::uint64_t old_fold = (was + kModulus - 1) % kModulus + 1;
  const std::uint64_t new_fold = (old_fold - 1 + change.value()) % kModulus + 1;
  return static_cast<std::uint32_t>(stored_value + plan.size - old.size() + new_fold - old_fold);
}

}  // namespace resupdate
