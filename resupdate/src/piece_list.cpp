// Emitting the new image as pieces in file order.
#include "piece_list.h"

#include <utility>

namespace resupdate::placement {

void PieceList::literal(Bytes data) {
  if (data.empty()) return;
  plan.size += data.size();
  plan.pieces.push_back(Piece{Piece::Kind::literal, {}, data.size(), std::move(data), {}});
}

void PieceList::copy(std::uint64_t from, std::uint64_t to) {
  if (to <= from) return;
  plan.size += to - from;
  plan.pieces.push_back(Piece{Piece::Kind::copy, FileOffset{from}, to - from, {}, {}});
}

void PieceList::zeros(std::uint64_t len) {
  if (len == 0) return;
  plan.size += len;
  plan.pieces.push_back(Piece{Piece::Kind::zeros, {}, len, {}, {}});
}

void PieceList::kept(std::uint64_t from, std::uint64_t len) {
  kept_piece = plan.pieces.size();
  copy(from, from + len);
}

bool PieceList::copied(std::uint64_t at, std::uint64_t len) const {
  std::uint64_t pos = 0;
  for (std::size_t i = 0; i < plan.pieces.size(); ++i) {
    const Piece& p = plan.pieces[i];
    if (at >= pos && at - pos < p.length)
      return p.kind == Piece::Kind::copy && i != kept_piece && len <= p.length - (at - pos);
    pos += p.length;
  }
  return false;
}

void PieceList::literal_copy(ByteSpan bytes) {
  if (bytes.empty()) return;
  plan.size += bytes.size();
  Piece& p = plan.pieces.emplace_back();
  p.kind = Piece::Kind::literal;
  p.length = bytes.size();
  p.data.assign(bytes.begin(), bytes.end());
}

void PieceList::holding(Bytes buffer, std::size_t shown) {
  if (shown == 0 || shown > buffer.size()) return;
  plan.size += shown;
  Piece& p = plan.pieces.emplace_back();
  p.kind = Piece::Kind::literal;
  p.length = shown;
  p.data = std::move(buffer);
  p.borrowed = ByteSpan(p.data).first(shown);
}

void PieceList::borrowed(ByteSpan bytes) {
  if (bytes.empty()) return;
  plan.size += bytes.size();
  plan.pieces.push_back(Piece{Piece::Kind::literal, {}, bytes.size(), {}, bytes});
}

bool PieceList::around_borrowed(Bytes buffer, std::uint64_t start,
                                const std::vector<BorrowedBlob>& blobs) {
  if (blobs.empty()) {
    literal(std::move(buffer));
    return true;
  }
  const ByteSpan held(buffer);
  std::uint64_t pos = start;  // in the section
  std::size_t from = 0;       // in the buffer
  for (const BorrowedBlob& b : blobs) {
    if (b.at < pos || b.at - pos > held.size() - from) return false;
    const auto n = static_cast<std::size_t>(b.at - pos);
    literal_copy(held.subspan(from, n));
    borrowed(b.bytes);
    from += n;
    pos = b.at + b.bytes.size();
  }
  literal_copy(held.subspan(from));
  return true;
}

bool PieceList::tree(EncodedTree t, const TreeLayout& layout) {
  if (layout.kept_length == 0) return around_borrowed(std::move(t.before), 0, t.borrowed);
  literal(std::move(t.before));
  kept(layout.kept_from, layout.kept_length);
  const std::uint64_t after_kept = std::uint64_t{layout.kept_offset} + layout.kept_length;
  return around_borrowed(std::move(t.after), after_kept, t.borrowed);
}

void PieceList::tail(const Tail& t) {
  const std::uint64_t end = img.file_size();
  if (t.cert_len != 0) {
    copy(t.old_start.value, t.cert_off.value);
    copy(t.cert_off.value + t.cert_len, end);
  } else {
    copy(t.old_start.value, end);
  }
}

}  // namespace resupdate::placement
