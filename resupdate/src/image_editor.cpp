// Opening an image for a resource edit, writing the planned image as pieces copied from the
// old one around what changed, and reading the written image back.
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"
#include "resupdate/read_ahead_source.h"
#include "resupdate/resource_tree.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "checksum.h"
#include "rewrite.h"

namespace resupdate {

namespace {

// Reads and comparisons go through buffers of this size.
constexpr std::uint64_t kStreamChunk = 64U << 10;

// The planned image as a source: pieces held in memory are served from there and copied ranges
// from the old image, with the patches on top and, when known, the checksum in its field.
class PlannedSource final : public ByteSource {
 public:
  PlannedSource(const ImagePlan& plan, const ByteSource& src, std::optional<std::uint32_t> checksum)
      : plan_(plan), src_(src), checksum_(checksum) {
    if (checksum_) (void)ByteWriter(checksum_field_).u32(0, *checksum_);
    starts_.reserve(plan.pieces.size());
    std::uint64_t at = 0;
    for (const Piece& p : plan.pieces) {
      starts_.push_back(at);
      at += p.length;
    }
  }
  [[nodiscard]] std::uint64_t size() const noexcept override { return plan_.size; }
  [[nodiscard]] Status read(std::uint64_t off, std::span<std::uint8_t> out) const override {
    if (!fits(off, out.size(), plan_.size))
      return make_error(Errc::read_fault, "read past the end of the image");
    const std::uint64_t end = off + out.size();
    auto i = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), off) -
                                      starts_.begin());
    for (std::uint64_t pos = off; pos < end; ++i) {
      const Piece& p = plan_.pieces[i - 1];
      const std::uint64_t within = pos - starts_[i - 1];
      const std::uint64_t n = std::min(p.length - within, end - pos);
      std::span<std::uint8_t> part =
          out.subspan(static_cast<std::size_t>(pos - off), static_cast<std::size_t>(n));
      switch (p.kind) {
        case Piece::Kind::literal:
          std::memcpy(part.data(), p.bytes().data() + within, part.size());
          break;
        case Piece::Kind::zeros: std::fill(part.begin(), part.end(), std::uint8_t{0}); break;
        case Piece::Kind::copy:
          if (Status s = src_.read(p.source_offset.value + within, part); !s) return s;
          break;
      }
      pos += n;
    }
    for (const ImagePlan::Patch& q : plan_.patches) put(off, out, q.offset, q.data);
    if (plan_.checksum_offset && checksum_) put(off, out, *plan_.checksum_offset, checksum_field_);
    return {};
  }
  // Where in the source [off, off + len) is copied from, when it is copied whole from one place
  // with no patch or checksum over it.
  [[nodiscard]] std::optional<std::uint64_t> copied_from(std::uint64_t off,
                                                         std::uint64_t len) const noexcept {
    if (len == 0 || !fits(off, len, plan_.size)) return std::nullopt;
    const auto i = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), off) -
                                            starts_.begin()) -
                   1;
    const Piece& p = plan_.pieces[i];
    const std::uint64_t within = off - starts_[i];
    if (p.kind != Piece::Kind::copy || len > p.length - within) return std::nullopt;
    auto over = [&](std::uint64_t at, std::uint64_t n) { return at < off + len && off < at + n; };
    for (const ImagePlan::Patch& q : plan_.patches)
      if (over(q.offset, q.data.size())) return std::nullopt;
    if (plan_.checksum_offset && over(*plan_.checksum_offset, 4)) return std::nullopt;
    return p.source_offset.value + within;
  }
  // The rest of the piece held in memory that `off` lies in, up to the first patch or checksum.
  [[nodiscard]] ByteSpan view(std::uint64_t off) const noexcept override {
    if (off >= plan_.size) return {};
    const auto i = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), off) -
                                            starts_.begin()) -
                   1;
    const Piece& p = plan_.pieces[i];
    const std::uint64_t within = off - starts_[i];
    const std::uint64_t held = std::min<std::uint64_t>(p.length, p.bytes().size());
    if (p.kind != Piece::Kind::literal || within >= held) return {};
    std::uint64_t end = off + (held - within);
    auto cut_at = [&](std::uint64_t at, std::uint64_t n) {
      if (at + n > off && at < end) end = std::max(at, off);
    };
    for (const ImagePlan::Patch& q : plan_.patches) cut_at(q.offset, q.data.size());
    if (plan_.checksum_offset && checksum_) cut_at(*plan_.checksum_offset, 4);
    return ByteSpan(p.bytes().data() + within, static_cast<std::size_t>(end - off));
  }

 private:
  // Lays the bytes meant for [at, at + data.size()) over the part of them `out` holds.
  static void put(std::uint64_t off, std::span<std::uint8_t> out, std::uint64_t at, ByteSpan data) {
    const std::uint64_t from = std::max(at, off);
    const std::uint64_t to = std::min(at + data.size(), off + out.size());
    for (std::uint64_t k = from; k < to; ++k)
      out[static_cast<std::size_t>(k - off)] = data[static_cast<std::size_t>(k - at)];
  }

  const ImagePlan& plan_;
  const ByteSource& src_;
  std::optional<std::uint32_t> checksum_;
  Bytes checksum_field_ = Bytes(4);  // the checksum as stored, when known
  std::vector<std::uint64_t> starts_;
};

ByteSpan held(const ByteSource& src, std::uint64_t off) { return src.view(off); }
ByteSpan held(const ReadAheadSource& src, std::uint64_t off) { return src.held(off); }

// The `n` bytes at `off` of `src`: where it holds them in memory, else read into `buf`. Valid
// until `src` is next read.
template <class Source>
Result<ByteSpan> bytes_at(const Source& src, std::uint64_t off, std::size_t n, std::uint8_t* buf) {
  if (const ByteSpan h = held(src, off); h.size() >= n) return h.first(n);
  if (Status s = src.read(off, std::span<std::uint8_t>(buf, n)); !s) return std::move(s).error();
  return ByteSpan(buf, n);
}

// Bytes [off, off + n) of a resource whose file extent lies in `src`, as bytes_at.
template <class Source>
Result<ByteSpan> resource_bytes(const ResourceData& r, const Source& src, std::uint64_t off,
                                std::size_t n, std::uint8_t* buf) {
  if (const auto* b = std::get_if<Bytes>(&r.bytes)) {
    if (!fits(off, n, b->size()))
      return make_error(Errc::internal_error, "read past the end of a resource");
    return ByteSpan(b->data() + off, n);
  }
  const FileExtent& e = std::get<FileExtent>(r.bytes);
  if (fits(off, n, e.file_len)) return bytes_at(src, e.offset.value + off, n, buf);
  if (Status s = r.read(src, off, std::span<std::uint8_t>(buf, n)); !s) return std::move(s).error();
  return ByteSpan(buf, n);
}

}  // namespace

Result<ImageEditor> ImageEditor::open(std::shared_ptr<const ByteSource> src, bool delete_existing) {
  if (!src) return make_error(Errc::invalid_parameter, "no image");
  auto image = PeImage::parse(*src);
  if (!image) return std::move(image).error();
  ResourceSet set;
  if (!delete_existing) {
    auto decoded = decode_resources(*image, *src);
    if (!decoded) return std::move(decoded).error();
    set = std::move(decoded).value();
  }
  return ImageEditor(std::move(src), std::move(image).value(), std::move(set));
}

void ImageEditor::put(const ResourceKey& key, Bytes data, std::uint32_t code_page) {
  resources_.insert_or_assign(key, ResourceData{std::move(data), code_page});
}

bool ImageEditor::erase(const ResourceKey& key) { return resources_.erase(key) != 0; }

Result<Bytes> ImageEditor::read(const ResourceKey& key) const {
  auto it = resources_.find(key);
  if (it == resources_.end()) return make_error(Errc::file_not_found, "no such resource");
  return it->second.load(*src_);
}

Result<ImagePlan> plan_edit(const ImageEditor& editor, std::uint64_t block_size, bool borrow) {
  return plan_image(editor.image(), editor.source(), editor.resources(), block_size, borrow);
}

Status write_image(const ImagePlan& plan, const ByteSource& src, ByteSink& sink,
                   std::optional<std::uint32_t> checksum) {
  const std::uint64_t start = sink.position();
  for (const Piece& p : plan.pieces) {
    Status s;
    switch (p.kind) {
      case Piece::Kind::literal: s = sink.write(p.bytes()); break;
      case Piece::Kind::copy: s = sink.copy_from(src, p.source_offset.value, p.length); break;
      case Piece::Kind::zeros: s = sink.write_zeros(p.length); break;
    }
    if (!s) return s;
  }
  if (sink.position() - start != plan.size)
    return make_error(Errc::internal_error, "the image written differs in size from its plan");
  for (const ImagePlan::Patch& p : plan.patches)
    if (Status s = sink.patch(start + p.offset, p.data); !s) return s;
  if (plan.checksum_offset) {
    if (!checksum) {
      auto sum = image_checksum(plan, src);
      if (!sum) return std::move(sum).error();
      checksum = *sum;
    }
    Bytes field(4);
    (void)ByteWriter(field).u32(0, *checksum);
    if (Status s = sink.patch(start + *plan.checksum_offset, field); !s) return s;
  }
  return {};
}

Result<std::uint32_t> image_checksum(const ImagePlan& plan, const ByteSource& src) {
  return carried_checksum(plan, src);
}

Result<Bytes> build_in_memory(const ImageEditor& editor) {
  auto plan = plan_edit(editor);
  if (!plan) return std::move(plan).error();
  MemorySink sink;
  if (Status s = write_image(*plan, editor.source(), sink); !s) return std::move(s).error();
  return sink.take();
}

Status verify_image(const ByteSource& written, const ImagePlan& plan, const ResourceSet& expected,
                    const ByteSource& expected_src, std::optional<std::uint32_t> checksum) {
  auto fail = [](std::string what) { return make_error(Errc::internal_error, std::move(what)); };
  if (written.size() != plan.size) return fail("the written image has the wrong size");
  if (plan.checksum_offset && !checksum) {
    auto sum = image_checksum(plan, expected_src);
    if (!sum) return std::move(sum).error();
    checksum = *sum;
  }
  const PlannedSource intended(plan, expected_src, checksum);
  // Compared a bounded chunk at a time, so a large resource section is never held twice more;
  // bytes held in memory are compared where they lie.
  const auto want_buf = std::make_unique_for_overwrite<std::uint8_t[]>(kStreamChunk);
  const auto have_buf = std::make_unique_for_overwrite<std::uint8_t[]>(kStreamChunk);
  auto same = [&](std::uint64_t off, std::uint64_t len) -> Result<bool> {
    for (std::uint64_t done = 0; done < len;) {
      const auto n = static_cast<std::size_t>(std::min(kStreamChunk, len - done));
      auto want = bytes_at(intended, off + done, n, want_buf.get());
      if (!want) return std::move(want).error();
      if (Status s = written.read(off + done, std::span<std::uint8_t>(have_buf.get(), n)); !s)
        return std::move(s).error();
      if (std::memcmp(want->data(), have_buf.get(), n) != 0) return false;
      done += n;
    }
    return true;
  };

  // What was written from memory must read back byte for byte, with the patches and the
  // checksum on it; the copied ranges are not re-read.
  std::uint64_t at = 0;
  for (const Piece& p : plan.pieces) {
    if (p.kind == Piece::Kind::literal) {
      auto ok = same(at, p.length);
      if (!ok) return std::move(ok).error();
      if (!*ok) return fail("the headers or resource section did not read back");
    }
    at += p.length;
  }
  for (const ImagePlan::Patch& q : plan.patches) {
    auto ok = same(q.offset, q.data.size());
    if (!ok) return std::move(ok).error();
    if (!*ok) return fail("a patched field did not read back");
  }
  if (plan.checksum_offset) {
    auto ok = same(*plan.checksum_offset, 4);
    if (!ok) return std::move(ok).error();
    if (!*ok) return fail("the checksum did not read back as computed");
  }

  // What was written from memory is the plan's: the tree is read from there, and resource
  // data that lies outside it (some packers put it elsewhere) from the old image.
  auto image = PeImage::parse(intended);
  if (!image) return fail("the written image does not parse: " + image.error().detail);
  // The tree is walked in its own order, which must be the loader's: entry by entry it must
  // list the intended resources in turn.
  const ReadAheadSource want_src(expected_src);
  auto e = expected.begin();
  bool stopped = false;  // by a difference or a failed read here, not by the walk's own checks
  Status walked = visit_resources(
      *image, intended, [&](const ResourceKey& key, const ResourceData& got) -> Status {
        stopped = true;
        if (e == expected.end())
          return fail("the written image holds a different set of resources");
        if (!(key == e->first) || got.code_page != e->second.code_page ||
            got.size() != e->second.size())
          return fail("a written resource differs from the one intended");
        const std::uint64_t size = e->second.size();
        // Bytes the new image copies from where the intended ones lie are the same bytes.
        const auto* want_at = std::get_if<FileExtent>(&e->second.bytes);
        const auto* got_at = std::get_if<FileExtent>(&got.bytes);
        const bool same_place =
            want_at != nullptr && got_at != nullptr && want_at->file_len == size &&
            got_at->file_len == size &&
            intended.copied_from(got_at->offset.value, size) == want_at->offset.value;
        for (std::uint64_t off = 0; off < size && !same_place;) {
          const auto n = static_cast<std::size_t>(std::min(kStreamChunk, size - off));
          auto want = resource_bytes(e->second, want_src, off, n, want_buf.get());
          if (!want) return std::move(want).error();
          auto have = resource_bytes(got, intended, off, n, have_buf.get());
          if (!have) return std::move(have).error();
          if (std::memcmp(want->data(), have->data(), n) != 0)
            return fail("a written resource's bytes differ from the ones intended");
          off += n;
        }
        ++e;
        stopped = false;
        return {};
      });
  if (!walked)
    return stopped ? walked
                   : fail("the written resource tree does not read back: " + walked.error().detail);
  if (e != expected.end()) return fail("the written image holds a different set of resources");
  return {};
}

}  // namespace resupdate
