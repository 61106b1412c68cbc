// Laying a resource section out around the resource data that stays where it lay. Programs
// find their own resources by file offsets recorded when they were built (an installer patches
// its uninstaller's icon there), so data that need not move stays at its offset and address.
#include "kept_layout.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace resupdate::placement {

namespace {

constexpr std::uint64_t kBlobAlignment = 8;
constexpr std::uint64_t kOpenEnd = std::numeric_limits<std::uint64_t>::max();
// First fit tries every gap for every new blob; past this many tries new blobs go at the end,
// so a set built in memory around many kept blobs is not laid out in quadratic time.
constexpr std::uint64_t kMaxFitTries = 1U << 22;
constexpr std::uint64_t kMaxTreeOffset = 0x7fffffffU;

struct Span {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// A resource whose data stays: all of it in the section's raw data, 4-byte aligned in memory
// as the loader expects of every blob.
std::optional<Span> stays_at(const ResourceData& d, const SectionSpan& s) {
  const auto* e = std::get_if<FileExtent>(&d.bytes);
  if (e == nullptr || e->size == 0 || e->file_len != e->size) return std::nullopt;
  if (e->offset.value < s.raw_at || !fits(e->offset.value - s.raw_at, e->size, s.raw_len))
    return std::nullopt;
  const std::uint64_t at = e->offset.value - s.raw_at;
  if ((s.va + at) % 4 != 0) return std::nullopt;
  return Span{at, at + e->size};
}

// Sorts spans by where they begin, all inside a section's raw data (below 4 GiB). Blobs lie in
// the file in a few interleaved runs, not in tree order; with tens of thousands of them, four
// counting passes over the bytes of the start take a fraction of what a comparison sort does.
void sort_by_begin(std::vector<Span>& spans) {
  if (std::is_sorted(spans.begin(), spans.end(),
                     [](const Span& a, const Span& b) { return a.begin < b.begin; }))
    return;
  std::vector<Span> other(spans.size());
  for (unsigned shift = 0; shift < 32; shift += 8) {
    std::size_t count[257] = {};
    for (const Span& s : spans) ++count[((s.begin >> shift) & 0xff) + 1];
    for (std::size_t i = 1; i < 257; ++i) count[i] += count[i - 1];
    for (const Span& s : spans) other[count[(s.begin >> shift) & 0xff]++] = s;
    spans.swap(other);
  }
}

// Runs of kept data, ascending. Runs closer than a blob's alignment are one: the bytes between
// them could hold nothing, and copied whole they cost one piece instead of two.
std::vector<Span> merge_runs(std::vector<Span> kept) {
  sort_by_begin(kept);
  std::vector<Span> runs;
  for (const Span& k : kept) {
    if (!runs.empty() && k.begin < runs.back().end + kBlobAlignment) {
      runs.back().end = std::max(runs.back().end, k.end);
      continue;
    }
    runs.push_back(k);
  }
  return runs;
}

// The room around the runs, the last gap open past the section's end. The gaps depend only on
// what stays, so storing the same resources again lays them out the same way.
class Gaps {
 public:
  explicit Gaps(const std::vector<Span>& runs) {
    std::uint64_t from = 0;
    for (const Span& r : runs) {
      if (r.begin > from) gaps_.push_back({from, r.begin});
      from = r.end;
    }
    gaps_.push_back({from, kOpenEnd});
  }

  // First fit, 8-aligned.
  std::uint64_t take(std::uint64_t len, bool first_fit) {
    std::size_t i = first_fit ? 0 : gaps_.size() - 1;
    for (; i < gaps_.size(); ++i) {
      if (holds(gaps_[i], len)) return take_from(gaps_[i], len);
    }
    return kOpenEnd;  // unreachable: the last gap is open
  }
  // First fit, 8-aligned, in a gap before the open end; nothing where none has room.
  std::optional<std::uint64_t> take_inside(std::uint64_t len) {
    for (std::size_t i = 0; i + 1 < gaps_.size(); ++i) {
      if (holds(gaps_[i], len)) return take_from(gaps_[i], len);
    }
    return std::nullopt;
  }
  // As many whole `unit`s of `len` as the first gap before the open end with room for one
  // holds, 8-aligned: where they go, and how many bytes they are. Nothing where none has room.
  std::optional<Span> take_part(std::uint64_t len, std::uint64_t unit) {
    for (std::size_t i = 0; i + 1 < gaps_.size(); ++i) {
      Span& g = gaps_[i];
      if (!holds(g, unit)) continue;
      const std::uint64_t room = g.end - align_up(g.begin, kBlobAlignment);
      const std::uint64_t n = std::min(len, room - room % unit);
      const std::uint64_t at = take_from(g, n);
      return Span{at, at + n};
    }
    return std::nullopt;
  }
  [[nodiscard]] std::size_t count() const noexcept { return gaps_.size(); }

 private:
  static bool holds(const Span& g, std::uint64_t len) {
    const std::uint64_t at = align_up(g.begin, kBlobAlignment);
    return at <= g.end && len <= g.end - at;
  }
  static std::uint64_t take_from(Span& g, std::uint64_t len) {
    const std::uint64_t at = align_up(g.begin, kBlobAlignment);
    g.begin = at + len;
    return at;
  }

  std::vector<Span> gaps_;
};

}  // namespace

std::optional<KeptLayout> lay_out_around_kept(const ResourceSet& set, const SectionSpan& section,
                                              const TreeLayout& tree) {
  KeptLayout l;
  l.rvas.assign(set.size(), 0);
  std::vector<Span> kept;
  kept.reserve(set.size());
  std::vector<std::size_t> moved;
  std::size_t i = 0;
  for (const auto& item : set) {
    if (auto at = stays_at(item.second, section)) {
      kept.push_back(*at);
      l.rvas[i] = static_cast<std::uint32_t>(section.va + at->begin);
    } else {
      moved.push_back(i);
    }
    ++i;
  }
  if (kept.empty()) return std::nullopt;
  const std::vector<Span> runs = merge_runs(std::move(kept));
  for (const Span& r : runs)
    l.segments.push_back({KeptSegment::Kind::old_bytes, r.begin, r.end - r.begin, 0, 0});

  Gaps gaps(runs);
  const bool first_fit = gaps.count() * (moved.size() + 1) <= kMaxFitTries;
  const std::uint64_t root_size = root_directory_size(tree);
  if (root_size > tree.data_entries_offset || gaps.take(root_size, true) != 0) return std::nullopt;
  l.segments.push_back({KeptSegment::Kind::root, 0, root_size, 0, 0});
  // Each block in turn, first fit; the blocks' sizes are multiples of 8 (the strings padded), so
  // where the room at the start holds the whole tree, each follows the one before directly.
  // Where the data entries no longer fit in the room they had (a tree grown by a few entries),
  // as many as fit stay there and only the rest go elsewhere, rather than all past the data.
  const auto place = [&](KeptSegment::Kind kind, std::uint64_t from, std::uint64_t len,
                         std::uint64_t at) {
    // Offsets inside the tree keep their high bit for flags: past 2 GiB no entry can name it.
    if (at + len > kMaxTreeOffset) return false;
    if (len != 0) l.segments.push_back({kind, at, len, 0, from});
    return true;
  };
  // A block may come to lie before where it follows the root: the offsets the encoder adds
  // the bias to wrap round to it in 32 bits.
  const auto bias_of = [](std::uint64_t at, std::uint64_t from) {
    return static_cast<std::uint32_t>(at - from);
  };
  const std::uint64_t dirs_len = tree.data_entries_offset - root_size;
  const std::uint64_t dirs_at = gaps.take(dirs_len, true);
  if (!place(KeptSegment::Kind::directories, root_size, dirs_len, dirs_at)) return std::nullopt;
  l.bias.directories = bias_of(dirs_at, root_size);

  const std::uint64_t entries_from = tree.data_entries_offset;
  const std::uint64_t entries_len = tree.strings_offset - entries_from;
  // A gap that held them all would have been taken whole, so a part is always less than all.
  const std::optional<std::uint64_t> entries_at = gaps.take_inside(entries_len);
  const std::optional<Span> part =
      entries_at ? std::nullopt : gaps.take_part(entries_len, rsrc::kDataEntrySize);
  if (part) {
    const std::uint64_t n = part->end - part->begin;
    const std::uint64_t rest_at = gaps.take(entries_len - n, true);
    if (!place(KeptSegment::Kind::data_entries, entries_from, n, part->begin) ||
        !place(KeptSegment::Kind::data_entries, entries_from + n, entries_len - n, rest_at))
      return std::nullopt;
    l.bias.data_entries = bias_of(part->begin, entries_from);
    l.bias.rest_from = static_cast<std::uint32_t>(n);
    l.bias.rest_entries = bias_of(rest_at, entries_from + n);
  } else {
    const std::uint64_t at = entries_at ? *entries_at : gaps.take(entries_len, true);
    if (!place(KeptSegment::Kind::data_entries, entries_from, entries_len, at)) return std::nullopt;
    l.bias.data_entries = bias_of(at, entries_from);
  }

  const std::uint64_t strings_len = tree.data_offset - tree.strings_offset;
  const std::uint64_t strings_at = gaps.take(strings_len, true);
  if (!place(KeptSegment::Kind::strings, tree.strings_offset, strings_len, strings_at))
    return std::nullopt;
  l.bias.strings = bias_of(strings_at, tree.strings_offset);
  for (const std::size_t m : moved) {
    const std::uint64_t len = std::next(set.begin(), static_cast<std::ptrdiff_t>(m))->second.size();
    const std::uint64_t at = gaps.take(len, first_fit);
    // Past 4 GiB no RVA can name it; the planner refuses the section as too large.
    l.rvas[m] = static_cast<std::uint32_t>(std::min<std::uint64_t>(section.va + at, 0xffffffffULL));
    if (len != 0) l.segments.push_back({KeptSegment::Kind::blob, at, len, m, 0});
  }
  std::sort(l.segments.begin(), l.segments.end(),
            [](const KeptSegment& a, const KeptSegment& b) { return a.at < b.at; });
  for (const KeptSegment& s : l.segments) l.used_end = std::max(l.used_end, s.at + s.length);
  return l;
}

}  // namespace resupdate::placement
