// Encoding a resource set as a resource section, in the layout and order the loader expects.
#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "resupdate/read_ahead_source.h"
#include "resupdate/resource_tree.h"
#include "tree_format.h"

namespace resupdate {

namespace {

// A store the layout has no room for, or a walk that ends elsewhere than the layout said: the
// layout and the set disagree.
Error layout_mismatch() {
  return make_error(Errc::internal_error, "the encoded tree does not match its layout");
}

// Stores the tree's records into a buffer laid out before any byte is written.
struct Encoder {
  Bytes& out;
  std::uint32_t next_data_entry;
  std::uint32_t next_string;
  std::uint64_t next_blob;
  // Added to the offsets written into the tree, block by block: each block after the root
  // then lies that far from where it is written, the root alone where it is.
  TreeBias bias;

  Status put16(std::uint64_t at, std::uint16_t v) {
    if (!ByteWriter(out).u16(at, v)) return layout_mismatch();
    return {};
  }
  Status put32(std::uint64_t at, std::uint32_t v) {
    if (!ByteWriter(out).u32(at, v)) return layout_mismatch();
    return {};
  }
  // A record's 32-bit fields in a row, under one bounds check.
  template <std::size_t N>
  Status put32s(std::uint64_t at, const std::array<std::uint32_t, N>& v) {
    if (!ByteWriter(out).u32s(at, v)) return layout_mismatch();
    return {};
  }

  Status dir_header(std::uint32_t at, std::uint16_t named, std::uint16_t ids) {
    // Characteristics and TimeDateStamp 0, version 4.0, as resource compilers write them; the
    // 16-bit fields go two to a 32-bit one.
    static_assert(rsrc::kMajorVersion == 8 && rsrc::kNumberOfNamedEntries == 12 &&
                  rsrc::kNumberOfIdEntries == 14);
    return put32s<4>(at, {0, 0, 4, named | (std::uint32_t{ids} << 16)});
  }

  Status name_field(const ResourceId& id, std::uint32_t at) {
    if (!id.named) return put32(at, id.id);
    const std::uint32_t s = next_string;
    if (Status stored = put16(s, static_cast<std::uint16_t>(id.name.size())); !stored) {
      return stored;
    }
    for (std::size_t i = 0; i < id.name.size(); ++i) {
      const auto unit = static_cast<std::uint16_t>(id.name[i]);
      if (Status stored = put16(s + 2 + 2 * i, unit); !stored) return stored;
    }
    next_string += static_cast<std::uint32_t>(2 + 2 * id.name.size());
    return put32(at, (s + bias.strings) | kHighBit);
  }
};

// The large in-memory blobs, at the places the encoder below gives them: laid out anew, in
// tree order, each 8-aligned, from the end of the kept ones (or the start of the data).
std::vector<BorrowedBlob> borrowed_blobs(const ResourceSet& set, const TreeLayout& layout,
                                         bool keeps, std::uint64_t kept_end) {
  std::vector<BorrowedBlob> borrowed;
  std::uint64_t next = keeps ? kept_end : layout.data_offset;
  in_tree_order(set, [&](const ResourceSet::value_type& item, bool, bool) {
    if (keeps && keepable(item.second)) return;
    next = align_up(next, kBlobAlignment);
    const auto* b = std::get_if<Bytes>(&item.second.bytes);
    if (b != nullptr && b->size() >= kBorrowFrom) {
      borrowed.push_back(BorrowedBlob{next, ByteSpan(*b)});
    }
    next += item.second.size();
  });
  return borrowed;
}

// How the section is written: where its buffers are and which blobs it leaves out.
struct SectionParts {
  EncodedTree& parts;
  const std::vector<std::uint32_t>* placed;  // the blobs' addresses, when only the head is written
  bool keeps;                                // the layout's kept blobs stay where they lie
  bool split;                                // and are left out, between `before` and `after`
};

// Writes the tree while walking the set in its order: the directories where the layout puts
// them (the root, then every name directory, then every language directory), each resource's
// data entry and, unless only the head is written, its blob.
class TreeWriter {
 public:
  TreeWriter(const TreeLayout& layout, Rva base, const ByteSource& src, SectionParts section,
             TreeBias bias)
      : layout_(layout),
        base_(base),
        section_(section),
        kept_end_(std::uint64_t{layout.kept_offset} + layout.kept_length),
        encoder_{section.parts.before, layout.data_entries_offset, layout.strings_offset,
                 section.keeps ? kept_end_ : layout.data_offset, bias},
        blobs_(src),
        name_dirs_end_(root_directory_size(layout) + kDirHeaderSize * std::uint64_t{layout.types} +
                       kDirEntrySize * std::uint64_t{layout.names}),
        name_dir_at_(root_directory_size(layout)),
        lang_dir_at_(name_dirs_end_) {}

  Status add(const ResourceSet::value_type& item, bool new_type, bool new_name);
  // Writes what only the whole walk gives (the last directories' headers, the root's, the names
  // at the name level) and checks that the walk ended where the layout said.
  Status finish();

 private:
  [[nodiscard]] bool head_only() const noexcept { return section_.placed != nullptr; }
  Status close_name();
  Status close_type();
  Status open_type(const ResourceId& type);
  Status open_name(const ResourceId& name);
  Result<std::uint64_t> kept_blob_at(const FileExtent& extent, std::uint32_t size) const;
  Status write_blob(const ResourceData& data, std::uint64_t at);
  bool borrowed_here(std::uint64_t at, const Bytes* b);
  std::uint8_t* blob_at(std::uint64_t at, std::uint64_t n);

  const TreeLayout& layout_;
  Rva base_;
  SectionParts section_;
  std::uint64_t kept_end_;
  Encoder encoder_;
  const ReadAheadSource blobs_;  // the old blobs mostly lie in tree order: read them in runs
  std::uint64_t name_dirs_end_;
  std::uint64_t name_dir_at_;
  std::uint64_t lang_dir_at_;
  std::uint64_t name_entry_ = 0;           // the next entry of the name directory being written
  std::uint64_t lang_entry_ = 0;           // and of the language directory
  std::uint16_t root_counts_[2] = {0, 0};  // integer and named entries
  std::uint16_t name_counts_[2] = {0, 0};
  std::uint16_t languages_ = 0;
  std::uint64_t root_entry_ = kDirHeaderSize;
  // Strings go in directory order: every type name, then every name at the name level, which
  // are written once all type names are.
  std::vector<std::pair<std::uint32_t, const ResourceId*>> named_names_;
  std::size_t index_ = 0;  // of the resource being written, in the set's order
  // Blobs come in section order: `skipped_` counts the borrowed bytes before the current one,
  // which its buffer does not hold.
  std::size_t next_borrowed_ = 0;
  std::uint64_t skipped_ = 0;
};

Status TreeWriter::close_name() {
  Status header = encoder_.dir_header(static_cast<std::uint32_t>(lang_dir_at_), 0, languages_);
  lang_dir_at_ = lang_entry_;
  return header;
}

Status TreeWriter::close_type() {
  Status header = encoder_.dir_header(static_cast<std::uint32_t>(name_dir_at_), name_counts_[1],
                                      name_counts_[0]);
  name_dir_at_ = name_entry_;
  return header;
}

Status TreeWriter::open_type(const ResourceId& type) {
  if (Status s = encoder_.name_field(type, static_cast<std::uint32_t>(root_entry_)); !s) return s;
  const auto name_dir = static_cast<std::uint32_t>(name_dir_at_ + encoder_.bias.directories);
  if (Status s = encoder_.put32(root_entry_ + rsrc::kEntryOffset, name_dir | kHighBit); !s) {
    return s;
  }
  root_counts_[type.named ? 1 : 0] += 1;
  root_entry_ += kDirEntrySize;
  name_entry_ = name_dir_at_ + kDirHeaderSize;
  name_counts_[0] = name_counts_[1] = 0;
  return {};
}

Status TreeWriter::open_name(const ResourceId& name) {
  name_counts_[name.named ? 1 : 0] += 1;
  if (name.named) {
    named_names_.emplace_back(static_cast<std::uint32_t>(name_entry_), &name);
  } else if (Status s = encoder_.put32(name_entry_, name.id); !s) {
    return s;
  }
  const auto lang_dir = static_cast<std::uint32_t>(lang_dir_at_ + encoder_.bias.directories);
  if (Status s = encoder_.put32(name_entry_ + rsrc::kEntryOffset, lang_dir | kHighBit); !s) {
    return s;
  }
  name_entry_ += kDirEntrySize;
  lang_entry_ = lang_dir_at_ + kDirHeaderSize;
  languages_ = 0;
  return {};
}

Result<std::uint64_t> TreeWriter::kept_blob_at(const FileExtent& extent, std::uint32_t size) const {
  const std::uint64_t from = extent.offset.value;
  if (from < layout_.kept_from || from - layout_.kept_from + size > layout_.kept_length) {
    return make_error(Errc::internal_error, "a kept blob lies outside the kept bytes");
  }
  return layout_.kept_offset + (from - layout_.kept_from);
}

bool TreeWriter::borrowed_here(std::uint64_t at, const Bytes* b) {
  const std::vector<BorrowedBlob>& borrowed = section_.parts.borrowed;
  while (next_borrowed_ < borrowed.size() && borrowed[next_borrowed_].at < at) {
    skipped_ += borrowed[next_borrowed_++].bytes.size();
  }
  return b != nullptr && next_borrowed_ < borrowed.size() && borrowed[next_borrowed_].at == at &&
         borrowed[next_borrowed_].bytes.data() == b->data();
}

// Where a blob of `n` bytes at `at` in the section goes; null when the layout has no room there.
std::uint8_t* TreeWriter::blob_at(std::uint64_t at, std::uint64_t n) {
  Bytes& before = section_.parts.before;
  Bytes& after = section_.parts.after;
  if (section_.split && at >= kept_end_) {
    const std::uint64_t in_after = at - kept_end_ - skipped_;
    return fits(in_after, n, after.size()) ? after.data() + in_after : nullptr;
  }
  if (at < skipped_) return nullptr;
  const bool before_kept = !section_.split || at + n <= layout_.kept_offset;
  return fits(at - skipped_, n, before.size()) && before_kept ? before.data() + (at - skipped_)
                                                              : nullptr;
}

Status TreeWriter::write_blob(const ResourceData& data, std::uint64_t at) {
  const std::uint32_t size = data.size();
  if (borrowed_here(at, std::get_if<Bytes>(&data.bytes))) {
    encoder_.next_blob += size;
    return {};
  }
  std::uint8_t* dst = blob_at(at, size);
  if (dst == nullptr) {
    return make_error(Errc::internal_error, "a blob lies outside the tree's layout");
  }
  if (const auto* b = std::get_if<Bytes>(&data.bytes)) {
    std::copy(b->begin(), b->end(), dst);
  } else {
    const FileExtent& extent = std::get<FileExtent>(data.bytes);
    const std::span<std::uint8_t> file_bytes(dst, extent.file_len);
    if (Status read = blobs_.read(extent.offset.value, file_bytes); !read) return read;
  }
  encoder_.next_blob += size;
  return {};
}

Status TreeWriter::add(const ResourceSet::value_type& item, bool new_type, bool new_name) {
  const ResourceData& data = item.second;
  const std::uint32_t size = data.size();
  const bool kept = section_.keeps && keepable(data);
  // A kept blob's place is checked before any of its records is written: of the two faults
  // that the same resource could show, this one is reported.
  std::uint64_t at = 0;
  if (kept) {
    auto where = kept_blob_at(std::get<FileExtent>(data.bytes), size);
    if (!where) return std::move(where).error();
    at = *where;
  }
  if (new_name && name_entry_ != 0) {
    if (Status s = close_name(); !s) return s;
  }
  if (new_type && name_entry_ != 0) {
    if (Status s = close_type(); !s) return s;
  }
  if (new_type) {
    if (Status s = open_type(item.first.type); !s) return s;
  }
  if (new_name) {
    if (Status s = open_name(item.first.name); !s) return s;
  }
  static_assert(rsrc::kEntryName == 0 && rsrc::kEntryOffset == 4);
  const TreeBias& bias = encoder_.bias;
  const std::uint32_t entry = encoder_.next_data_entry;
  const bool rest = entry - layout_.data_entries_offset >= bias.rest_from;
  const std::uint32_t entry_field = entry + (rest ? bias.rest_entries : bias.data_entries);
  if (Status s = encoder_.put32s<2>(lang_entry_, {item.first.language, entry_field}); !s) return s;
  std::uint32_t rva = 0;
  if (head_only()) {
    rva = (*section_.placed)[index_++];
  } else {
    if (!kept) at = encoder_.next_blob = align_up(encoder_.next_blob, kBlobAlignment);
    rva = static_cast<std::uint32_t>(base_.value + at);
  }
  static_assert(rsrc::kDataOffsetToData == 0 && rsrc::kDataSize == 4 && rsrc::kDataCodePage == 8 &&
                rsrc::kDataReserved == 12);
  if (Status s = encoder_.put32s<4>(entry, {rva, size, data.code_page, 0}); !s) return s;
  if (!head_only() && !kept) {
    if (Status s = write_blob(data, at); !s) return s;
  }
  encoder_.next_data_entry += kDataEntrySize;
  lang_entry_ += kDirEntrySize;
  ++languages_;
  return {};
}

Status TreeWriter::finish() {
  if (name_entry_ != 0) {
    if (Status s = close_name(); !s) return s;
    if (Status s = close_type(); !s) return s;
  }
  if (Status s = encoder_.dir_header(0, root_counts_[1], root_counts_[0]); !s) return s;
  for (const auto& [entry, name] : named_names_) {
    if (Status s = encoder_.name_field(*name, entry); !s) return s;
  }
  const bool blobs_end_at_total = head_only() || encoder_.next_blob == layout_.total_size;
  if (name_dir_at_ != name_dirs_end_ || lang_dir_at_ != layout_.data_entries_offset ||
      encoder_.next_data_entry != layout_.strings_offset ||
      align_up(encoder_.next_string, 4) > layout_.data_offset || !blobs_end_at_total) {
    return layout_mismatch();
  }
  return {};
}

// The section in one buffer, or in two around the kept blobs when `leave_out_kept`; with
// `borrow`, less the large in-memory blobs as well. Given `placed`, the blobs' addresses, only
// the directories, data entries and strings are written.
Result<EncodedTree> encode(const ResourceSet& set, const TreeLayout& layout, Rva base,
                           const ByteSource& src, bool leave_out_kept, bool borrow,
                           const std::vector<std::uint32_t>* placed = nullptr, TreeBias bias = {}) {
  const bool head_only = placed != nullptr;
  if (head_only && placed->size() != set.size()) {
    return make_error(Errc::internal_error, "a blob without its address");
  }
  const std::uint64_t written_size = head_only ? layout.data_offset : layout.total_size;
  if (std::uint64_t{base.value} + written_size > 0xffffffffULL) {
    return make_error(Errc::file_too_large, "the resources would run past the 4 GiB address space");
  }
  const std::uint64_t kept_end = std::uint64_t{layout.kept_offset} + layout.kept_length;
  const bool keeps = !head_only && layout.kept_length != 0;
  if (keeps && (layout.kept_offset < layout.data_offset || kept_end > layout.total_size)) {
    return make_error(Errc::internal_error, "the kept blobs lie outside the tree's layout");
  }
  const bool split = keeps && leave_out_kept;
  EncodedTree parts;
  std::uint64_t left_out = 0;
  try {
    if (borrow && leave_out_kept && !head_only) {
      parts.borrowed = borrowed_blobs(set, layout, keeps, kept_end);
    }
    for (const BorrowedBlob& b : parts.borrowed) left_out += b.bytes.size();
    // Every borrowed blob lies after the kept ones, so in `after` when there are kept ones.
    const std::uint64_t before_size = head_only ? layout.data_offset
                                      : split   ? layout.kept_offset
                                                : layout.total_size - left_out;
    parts.before.assign(static_cast<std::size_t>(before_size), 0);
    if (split) {
      parts.after.assign(static_cast<std::size_t>(layout.total_size - kept_end - left_out), 0);
    }
  } catch (const std::bad_alloc&) {
    return make_error(Errc::not_enough_memory, "cannot hold the new resource section in memory");
  }
  if (keeps && !split) {
    const std::span<std::uint8_t> kept(parts.before.data() + layout.kept_offset,
                                       static_cast<std::size_t>(layout.kept_length));
    if (Status s = src.read(layout.kept_from, kept); !s) return std::move(s).error();
  }
  TreeWriter writer(layout, base, src, SectionParts{parts, placed, keeps, split}, bias);
  Status walked =
      in_tree_order(set, [&](const ResourceSet::value_type& item, bool new_type, bool new_name) {
        return writer.add(item, new_type, new_name);
      });
  if (!walked) return std::move(walked).error();
  if (Status finished = writer.finish(); !finished) return std::move(finished).error();
  return parts;
}

}  // namespace

Result<Bytes> encode_tree(const ResourceSet& set, const TreeLayout& layout, Rva base,
                          const ByteSource& src) {
  auto parts = encode(set, layout, base, src, false, false);
  if (!parts) return std::move(parts).error();
  return std::move(parts->before);
}

Result<EncodedTree> encode_tree_around_kept(const ResourceSet& set, const TreeLayout& layout,
                                            Rva base, const ByteSource& src, bool borrow) {
  return encode(set, layout, base, src, true, borrow);
}

Result<Bytes> encode_directory(const ResourceSet& set, const TreeLayout& layout, Rva base,
                               const std::vector<std::uint32_t>& placed, TreeBias bias) {
  const MemorySource none{ByteSpan{}};
  auto parts = encode(set, layout, base, none, false, false, &placed, bias);
  if (!parts) return std::move(parts).error();
  return std::move(parts->before);
}

}  // namespace resupdate
