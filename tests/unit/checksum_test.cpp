// The checksum carried over from the old image's against a full sum of the new one, on plans
// no placement rule would make: pieces copied twice, dropped, moved by odd distances, patched.
#include <gtest/gtest.h>

#include <random>

#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"

namespace {

using resupdate::Bytes;
using resupdate::ImagePlan;
using resupdate::Piece;

std::uint32_t full_sum(const Bytes& image, std::uint64_t field) {
  resupdate::PeChecksum sum(field);
  sum.update(image);
  return sum.finish();
}

std::uint32_t get32(const Bytes& b, std::uint64_t at) {
  std::uint32_t v = 0;
  EXPECT_TRUE(resupdate::ByteReader(b).u32(at, v));
  return v;
}

void put32(Bytes& b, std::uint64_t at, std::uint32_t v) {
  ASSERT_TRUE(resupdate::ByteWriter(b).u32(at, v));
}

// Counts the bytes read through it.
class CountingSource final : public resupdate::ByteSource {
 public:
  explicit CountingSource(const Bytes& b) : inner_(resupdate::ByteSpan(b)) {}
  [[nodiscard]] std::uint64_t size() const noexcept override { return inner_.size(); }
  [[nodiscard]] resupdate::Status read(std::uint64_t off,
                                       std::span<std::uint8_t> out) const override {
    read_ += out.size();
    return inner_.read(off, out);
  }
  mutable std::uint64_t read_ = 0;

 private:
  resupdate::MemorySource inner_;
};

void add(ImagePlan& plan, Piece p) {
  plan.size += p.length;
  plan.pieces.push_back(std::move(p));
}

TEST(CarriedChecksum, MatchesAFullSumOnRandomPlansAndKeepsAStaleOneAsStale) {
  std::mt19937_64 rng(24);
  auto below = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
  for (int round = 0; round < 3000; ++round) {
    Bytes old(8 + below(3000));
    for (auto& b : old) b = static_cast<std::uint8_t>(rng());
    const std::uint64_t old_field = below(old.size() - 3);
    // Stale by a little either way, or by anything.
    const std::uint32_t error = round % 3 == 0 ? 0
                                : round % 3 == 1
                                    ? static_cast<std::uint32_t>(below(0x6000)) - 0x3000
                                    : static_cast<std::uint32_t>(rng());
    put32(old, old_field, full_sum(old, old_field) + error);

    ImagePlan plan;
    for (std::uint64_t n = 1 + below(6); n-- > 0;) {
      const std::uint64_t len = below(200);
      switch (below(3)) {
        case 0: {
          Bytes data(len);
          for (auto& b : data) b = static_cast<std::uint8_t>(rng());
          add(plan, Piece{Piece::Kind::literal, {}, len, std::move(data), {}});
          break;
        }
        case 1: {
          const std::uint64_t from = below(old.size());
          add(plan, Piece{Piece::Kind::copy,
                          resupdate::FileOffset{from},
                          below(old.size() - from + 1),
                          {},
                          {}});
          break;
        }
        default: add(plan, Piece{Piece::Kind::zeros, {}, len, {}, {}});
      }
    }
    // Bytes the field cannot cover all of: a sum of nothing but zeros folds to 0, which no
    // image has, and which the carried sum, kept in 1..0xffff, does not give.
    add(plan, Piece{Piece::Kind::literal, {}, 8, Bytes{'M', 'Z', 1, 2, 3, 4, 5, 6}, {}});
    plan.checksum_offset = below(plan.size - 3);
    plan.old_checksum_offset = old_field;
    for (std::uint64_t n = below(3); n-- > 0;)
      plan.patches.push_back({below(plan.size - 7), Bytes{1, 2, 3, 4, 5, 6, 7, 8}});

    const resupdate::MemorySource src{resupdate::ByteSpan(old)};
    resupdate::MemorySink sink;
    ASSERT_TRUE(write_image(plan, src, sink));
    const Bytes& out = sink.bytes();
    const std::uint32_t is_off =
        get32(out, *plan.checksum_offset) - full_sum(out, *plan.checksum_offset);
    const auto moved = static_cast<std::int32_t>(is_off - error);
    if (error == 0) ASSERT_EQ(is_off, 0U) << "round " << round;
    else
      ASSERT_TRUE(moved == 0 || moved == 0xffff || moved == -0xffff)
          << "round " << round << ": off by " << is_off << " instead of " << error;
  }
}

// Ranges copied by an even distance are not read: a long overlay moved by a page costs nothing.
TEST(CarriedChecksum, ReadsOnlyWhatTheRewriteChanges) {
  Bytes old(1U << 20);
  for (std::size_t i = 0; i < old.size(); ++i)
    old[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
  put32(old, 0xd8, full_sum(old, 0xd8));
  ImagePlan plan;
  add(plan, Piece{Piece::Kind::literal, {}, 0x400, Bytes(0x400, 0x5a), {}});
  add(plan, Piece{Piece::Kind::copy, resupdate::FileOffset{0x400}, 0x8000, {}, {}});
  add(plan, Piece{Piece::Kind::zeros, {}, 0x1000, {}, {}});
  add(plan, Piece{Piece::Kind::copy, resupdate::FileOffset{0x10000}, old.size() - 0x10000, {}, {}});
  plan.checksum_offset = 0xd8;
  plan.old_checksum_offset = 0xd8;

  const CountingSource src(old);
  auto sum = image_checksum(plan, src);
  ASSERT_TRUE(sum) << sum.error().detail;
  EXPECT_LE(src.read_, 0x400 + (0x10000 - 0x8400) + 4)
      << "the old headers, the dropped range and the stored field";
  resupdate::MemorySink sink;
  ASSERT_TRUE(write_image(plan, src, sink, *sum));
  EXPECT_EQ(*sum, full_sum(sink.bytes(), 0xd8));
}

}  // namespace
