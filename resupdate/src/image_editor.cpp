// Opening an image for a resource edit, writing the planned image as pieces copied from the
// old one around what changed, and reading the written image back.
#include "resupdate/image_editor.h"

#include <algorithm>

#include "placement.h"

namespace resupdate {

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

Result<ImagePlan> ImageEditor::plan() const { return plan_image(image_, *src_, resources_); }

Status write_image(const ImagePlan& plan, const ByteSource& src, ByteSink& sink) {
  const std::uint64_t start = sink.position();
  for (const Piece& p : plan.pieces) {
    Status s;
    switch (p.kind) {
      case Piece::Kind::literal: s = sink.write(p.data); break;
      case Piece::Kind::copy: s = sink.copy_from(src, p.source_offset.value, p.length); break;
      case Piece::Kind::zeros: s = sink.write_zeros(p.length); break;
    }
    if (!s) return s;
  }
  if (sink.position() - start != plan.size) return make_error(Errc::internal_error, "the image written differs in size from its plan");
  for (const ImagePlan::Patch& p : plan.patches)
    if (Status s = sink.patch(start + p.offset, p.data); !s) return s;
  if (plan.checksum_offset) {
    PeChecksum sum(*plan.checksum_offset);
    Bytes buf(static_cast<std::size_t>(std::min<std::uint64_t>(plan.size, 1U << 20)));
    for (std::uint64_t at = 0; at < plan.size;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), plan.size - at));
      if (Status s = sink.read_back(start + at, std::span<std::uint8_t>(buf.data(), n)); !s) return s;
      sum.update(ByteSpan(buf.data(), n));
      at += n;
    }
    Bytes field(4);
    (void)ByteWriter(field).u32(0, sum.finish());
    if (Status s = sink.patch(start + *plan.checksum_offset, field); !s) return s;
  }
  return {};
}

Result<Bytes> build_in_memory(const ImageEditor& editor) {
  auto plan = editor.plan();
  if (!plan) return std::move(plan).error();
  MemorySink sink;
  if (Status s = write_image(*plan, editor.source(), sink); !s) return std::move(s).error();
  return sink.take();
}

Status verify_image(const ByteSource& written, const ImagePlan& plan, const ResourceSet& expected,
                    const ByteSource& expected_src) {
  auto fail = [](std::string what) { return make_error(Errc::internal_error, std::move(what)); };
  if (written.size() != plan.size) return fail("the written image has the wrong size");
  // Compared a bounded chunk at a time, so a large resource section is never held twice more.
  constexpr std::uint64_t kChunk = 1U << 20;
  Bytes want;
  Bytes have;

  // What was written from memory must read back byte for byte (the copied ranges are not re-read).
  // Patches and the checksum land on top of literal pieces too: expect them there.
  std::uint64_t at = 0;
  for (const Piece& p : plan.pieces) {
    for (std::uint64_t done = 0; p.kind == Piece::Kind::literal && done < p.length; done += want.size()) {
      const std::uint64_t pos = at + done;
      const auto n = static_cast<std::size_t>(std::min(kChunk, p.length - done));
      want.assign(p.data.begin() + static_cast<std::ptrdiff_t>(done), p.data.begin() + static_cast<std::ptrdiff_t>(done + n));
      have.resize(n);
      if (Status s = written.read(pos, have); !s) return s;
      auto overlay = [&](std::uint64_t off, std::uint64_t len, const std::uint8_t* bytes) {
        const std::uint64_t from = std::max(off, pos);
        const std::uint64_t to = std::min(off + len, pos + n);
        for (std::uint64_t k = from; k < to; ++k) want[static_cast<std::size_t>(k - pos)] = bytes[k - off];
      };
      for (const ImagePlan::Patch& q : plan.patches) overlay(q.offset, q.data.size(), q.data.data());
      if (plan.checksum_offset) {
        const std::uint64_t c = *plan.checksum_offset;
        for (std::uint64_t k = std::max(c, pos); k < std::min(c + 4, pos + n); ++k)
          want[static_cast<std::size_t>(k - pos)] = have[static_cast<std::size_t>(k - pos)];
      }
      if (want != have) return fail("the headers or resource section did not read back");
    }
    at += p.length;
  }
  for (const ImagePlan::Patch& q : plan.patches) {
    have.resize(q.data.size());
    if (Status s = written.read(q.offset, have); !s) return s;
    if (have != q.data) return fail("a patched field did not read back");
  }

  auto image = PeImage::parse(written);
  if (!image) return fail("the written image does not parse: " + image.error().detail);
  auto got = decode_resources(*image, written);
  if (!got) return fail("the written resource tree does not read back: " + got.error().detail);
  if (got->size() != expected.size()) return fail("the written image holds a different set of resources");
  // Both walks follow tree order, which is (nearly) file order: read ahead instead of once per blob.
  const ReadAheadSource want_src(expected_src);
  const ReadAheadSource have_src(written);
  auto g = got->begin();
  for (auto e = expected.begin(); e != expected.end(); ++e, ++g) {
    if (!(g->first == e->first) || g->second.code_page != e->second.code_page || g->second.size() != e->second.size())
      return fail("a written resource differs from the one intended");
    const std::uint64_t size = e->second.size();
    for (std::uint64_t off = 0; off < size; off += want.size()) {
      const auto n = static_cast<std::size_t>(std::min(kChunk, size - off));
      want.resize(n);
      have.resize(n);
      if (Status s = e->second.read(want_src, off, want); !s) return s;
      if (Status s = g->second.read(have_src, off, have); !s) return s;
      if (want != have) return fail("a written resource's bytes differ from the ones intended");
    }
  }
  return {};
}

}  // namespace resupdate
