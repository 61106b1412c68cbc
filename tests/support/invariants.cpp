// The invariant checker: a small header parser of its own and the rules every rewrite keeps.
#include "invariants.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>

#include "resupdate/pe_image.h"
#include "resupdate/resource_tree.h"
#include "resupdate/source.h"

namespace tarvisk_test {

namespace {

constexpr std::uint32_t kScnInitializedData = 0x40;

struct Sec {
  std::string name;
  std::uint32_t VirtualSize = 0;
  std::uint32_t VirtualAddress = 0;
  std::uint32_t SizeOfRawData = 0;
  std::uint32_t PointerToRawData = 0;
  std::uint32_t Characteristics = 0;

  [[nodiscard]] std::uint32_t mapped() const {
    return VirtualSize != 0 ? VirtualSize : SizeOfRawData;
  }
};

struct Dir {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
  [[nodiscard]] bool empty() const { return rva == 0 && size == 0; }
};

struct Pe {
  bool plus = false;
  std::uint32_t e_lfanew = 0;
  std::uint16_t machine = 0;
  std::uint32_t PointerToSymbolTable = 0;
  std::uint32_t NumberOfSymbols = 0;
  std::uint32_t SizeOfInitializedData = 0;
  std::uint32_t AddressOfEntryPoint = 0;
  std::uint32_t SectionAlignment = 0;
  std::uint32_t FileAlignment = 0;
  std::uint32_t SizeOfImage = 0;
  std::uint32_t SizeOfHeaders = 0;
  std::uint32_t CheckSum = 0;
  std::uint64_t checksum_offset = 0;
  std::uint32_t NumberOfRvaAndSizes = 0;
  std::uint64_t section_table_end = 0;
  std::vector<Dir> dirs;  // always 16; absent ones empty
  std::vector<Sec> secs;

  [[nodiscard]] Dir dir(std::size_t i) const { return dirs[i]; }
  [[nodiscard]] std::uint64_t end_of_sections() const {
    std::uint64_t end = SizeOfHeaders;
    for (const Sec& s : secs) {
      if (s.SizeOfRawData != 0)
        end = std::max<std::uint64_t>(end, std::uint64_t{s.PointerToRawData} + s.SizeOfRawData);
    }
    return end;
  }
  [[nodiscard]] std::optional<std::size_t> section_of(std::uint32_t rva, std::uint32_t len) const {
    for (std::size_t i = 0; i < secs.size(); ++i) {
      const std::uint64_t va = secs[i].VirtualAddress;
      if (rva >= va && std::uint64_t{rva} + len <= va + secs[i].mapped()) return i;
    }
    return std::nullopt;
  }
};

bool has(const Bytes& b, std::uint64_t off, std::uint64_t len) {
  return len <= b.size() && off <= b.size() - len;
}

std::string hex(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::optional<Pe> parse(const Bytes& b, std::string& error) {
  Pe pe;
  if (!has(b, 0, 64) || b[0] != 'M' || b[1] != 'Z') {
    error = "no MZ header";
    return std::nullopt;
  }
  pe.e_lfanew = get32(b, 0x3C);
  if (!has(b, pe.e_lfanew, 24) || get32(b, pe.e_lfanew) != 0x00004550) {
    error = "no PE signature";
    return std::nullopt;
  }
  const std::uint64_t coff = pe.e_lfanew + 4ULL;
  pe.machine = get16(b, coff);
  const std::uint16_t nsec = get16(b, coff + 2);
  pe.PointerToSymbolTable = get32(b, coff + 8);
  pe.NumberOfSymbols = get32(b, coff + 12);
  const std::uint16_t opt_size = get16(b, coff + 16);
  const std::uint64_t opt = coff + 20;
  if (!has(b, opt, opt_size) || opt_size < 96) {
    error = "optional header truncated";
    return std::nullopt;
  }
  const std::uint16_t magic = get16(b, opt);
  if (magic != 0x10B && magic != 0x20B) {
    error = "bad optional header magic";
    return std::nullopt;
  }
  pe.plus = magic == 0x20B;
  const std::uint64_t dirs_at = opt + (pe.plus ? 112 : 96);
  pe.SizeOfInitializedData = get32(b, opt + 8);
  pe.AddressOfEntryPoint = get32(b, opt + 16);
  pe.SectionAlignment = get32(b, opt + 32);
  pe.FileAlignment = get32(b, opt + 36);
  pe.SizeOfImage = get32(b, opt + 56);
  pe.SizeOfHeaders = get32(b, opt + 60);
  pe.CheckSum = get32(b, opt + 64);
  pe.checksum_offset = opt + 64;
  pe.NumberOfRvaAndSizes = get32(b, opt + (pe.plus ? 108 : 92));
  if (pe.SectionAlignment == 0 || pe.FileAlignment == 0) {
    error = "zero alignment";
    return std::nullopt;
  }
  if (dirs_at + 8ULL * pe.NumberOfRvaAndSizes > opt + opt_size || pe.NumberOfRvaAndSizes > 16) {
    error = "data directories do not fit the optional header";
    return std::nullopt;
  }
  pe.dirs.assign(16, Dir{});
  for (std::uint32_t i = 0; i < pe.NumberOfRvaAndSizes; ++i) {
    pe.dirs[i] = Dir{get32(b, dirs_at + 8 * i), get32(b, dirs_at + 8 * i + 4)};
  }
  const std::uint64_t table = opt + opt_size;
  pe.section_table_end = table + 40ULL * nsec;
  if (!has(b, table, 40ULL * nsec)) {
    error = "section table past the end of the file";
    return std::nullopt;
  }
  for (std::uint16_t i = 0; i < nsec; ++i) {
    const std::uint64_t h = table + 40ULL * i;
    Sec s;
    for (std::size_t k = 0; k < 8 && b[h + k] != 0; ++k)
      s.name.push_back(static_cast<char>(b[h + k]));
    s.VirtualSize = get32(b, h + 8);
    s.VirtualAddress = get32(b, h + 12);
    s.SizeOfRawData = get32(b, h + 16);
    s.PointerToRawData = get32(b, h + 20);
    s.Characteristics = get32(b, h + 36);
    pe.secs.push_back(s);
  }
  return pe;
}

// A section's bytes as the loader maps them: raw data, then zeros up to the mapped size.
Bytes mapped_section(const Bytes& b, const Sec& s) {
  Bytes out(s.mapped(), 0);
  const std::uint64_t raw = std::min<std::uint64_t>(s.SizeOfRawData, s.mapped());
  for (std::uint64_t i = 0; i < raw && s.PointerToRawData + i < b.size(); ++i)
    out[i] = b[s.PointerToRawData + i];
  return out;
}

// An RVA range as mapped, or nothing when it is not inside one section (or the headers).
std::optional<Bytes> mapped_range(const Bytes& b, const Pe& pe, std::uint32_t rva,
                                  std::uint32_t len) {
  if (std::uint64_t{rva} + len <= pe.SizeOfHeaders) {
    if (!has(b, rva, len)) return std::nullopt;
    return Bytes(b.begin() + rva, b.begin() + rva + len);
  }
  const auto idx = pe.section_of(rva, len);
  if (!idx) return std::nullopt;
  const Bytes whole = mapped_section(b, pe.secs[*idx]);
  const std::uint32_t off = rva - pe.secs[*idx].VirtualAddress;
  return Bytes(whole.begin() + off, whole.begin() + off + len);
}

std::string key_of(const ResId& id) {
  if (!id.named) return std::to_string(id.id);
  std::string s = "\"";
  for (char16_t c : id.name) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return s + "\"";
}

ResId from_core(const resupdate::ResourceId& id) {
  return id.named ? ResId::str(id.name) : ResId::num(id.id);
}

bool key_less(const TestResource& a, const TestResource& b) {
  if (!(a.type == b.type)) return res_id_less(a.type, b.type);
  if (!(a.name == b.name)) return res_id_less(a.name, b.name);
  return a.language < b.language;
}

bool same_key(const TestResource& a, const TestResource& b) {
  return a.type == b.type && a.name == b.name && a.language == b.language;
}

class Checker {
 public:
  Checker(const Bytes& original, const Bytes& output, const std::vector<TestResource>& intended)
      : orig_bytes_(original), out_bytes_(output), intended_(intended) {}

  std::vector<std::string> run() {
    std::string error;
    auto orig = parse(orig_bytes_, error);
    if (!orig) {
      fail("original image does not parse: " + error);
      return v_;
    }
    auto out = parse(out_bytes_, error);
    if (!out) {
      fail("output image does not parse: " + error);
      return v_;
    }
    o_ = std::move(*orig);
    n_ = std::move(*out);
    check_headers();
    check_section_table();
    check_directories_inside_sections();
    check_resources();
    match_sections();
    check_unchanged_sections();
    check_directories_kept();
    check_overlay();
    check_debug_entries();
    check_checksum();
    return v_;
  }

 private:
  void fail(std::string message) { v_.push_back(std::move(message)); }

  // Where a symbol table before the sections' end should lie afterwards: one inside a
  // section's raw data moves with it (headers that grew move the raw data up), any other stays.
  [[nodiscard]] std::uint64_t symbols_moved_with_raw_data() const {
    const std::uint64_t at = o_.PointerToSymbolTable;
    for (std::size_t i = 0; i < o_.secs.size() && i < n_.secs.size(); ++i) {
      const Sec& o = o_.secs[i];
      if (o.SizeOfRawData != 0 && at >= o.PointerToRawData &&
          at - o.PointerToRawData < o.SizeOfRawData)
        return at - o.PointerToRawData + n_.secs[i].PointerToRawData;
    }
    return at;
  }

  void check_headers() {
    if (o_.plus != n_.plus) fail("optional header magic changed");
    if (o_.machine != n_.machine) fail("Machine changed");
    if (o_.e_lfanew != n_.e_lfanew ||
        !std::equal(orig_bytes_.begin(), orig_bytes_.begin() + o_.e_lfanew, out_bytes_.begin())) {
      fail("DOS header or stub changed");
    }
    if (o_.SectionAlignment != n_.SectionAlignment || o_.FileAlignment != n_.FileAlignment)
      fail("alignments changed");
    if (o_.NumberOfRvaAndSizes != n_.NumberOfRvaAndSizes) fail("NumberOfRvaAndSizes changed");
    if (o_.AddressOfEntryPoint != n_.AddressOfEntryPoint) fail("AddressOfEntryPoint changed");
    if (n_.section_table_end > n_.SizeOfHeaders) fail("section table runs past SizeOfHeaders");
    if (o_.SizeOfHeaders % o_.FileAlignment == 0 && n_.SizeOfHeaders % n_.FileAlignment != 0) {
      fail("SizeOfHeaders " + hex(n_.SizeOfHeaders) + " not a multiple of FileAlignment");
    }
    if (n_.SizeOfHeaders < o_.SizeOfHeaders) fail("SizeOfHeaders shrank");
  }

  void check_section_table() {
    const auto& s = n_.secs;
    if (s.empty()) {
      fail("output has no sections");
      return;
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
      const std::string at = "section " + std::to_string(i) + " (" + s[i].name + ")";
      if (s[i].VirtualAddress % n_.SectionAlignment != 0) fail(at + ": VirtualAddress not aligned");
      if (s[i].PointerToRawData % n_.FileAlignment != 0)
        fail(at + ": PointerToRawData not aligned");
      if (s[i].SizeOfRawData % n_.FileAlignment != 0) fail(at + ": SizeOfRawData not aligned");
      if (!has(out_bytes_, s[i].PointerToRawData, s[i].SizeOfRawData))
        fail(at + ": raw data past the end of the file");
      if (s[i].SizeOfRawData != 0 && s[i].PointerToRawData < n_.SizeOfHeaders)
        fail(at + ": raw data inside the headers");
      if (i == 0) {
        if (s[i].VirtualAddress < n_.SizeOfHeaders)
          fail(at + ": VirtualAddress inside the headers");
        continue;
      }
      const std::uint64_t expect_va =
          s[i - 1].VirtualAddress + align_up(s[i - 1].mapped(), n_.SectionAlignment);
      if (s[i].VirtualAddress != expect_va) {
        fail(at + ": VirtualAddress " + hex(s[i].VirtualAddress) + ", expected " + hex(expect_va) +
             " (contiguous after the previous section)");
      }
      if (s[i].SizeOfRawData != 0) {
        // Raw ranges ascend and do not overlap: compare with the last section that had raw data.
        for (std::size_t j = i; j-- > 0;) {
          if (s[j].SizeOfRawData == 0) continue;
          if (s[i].PointerToRawData < std::uint64_t{s[j].PointerToRawData} + s[j].SizeOfRawData) {
            fail(at + ": raw data overlaps or precedes section " + std::to_string(j));
          }
          break;
        }
      }
    }
    // A section the rewrite touched maps all its raw data: bytes past its extent would lie
    // beyond SizeOfImage or inside the next section's addresses.
    for (std::size_t i = 0; i < s.size(); ++i) {
      const bool touched = i >= o_.secs.size() || s[i].VirtualSize != o_.secs[i].VirtualSize ||
                           s[i].SizeOfRawData != o_.secs[i].SizeOfRawData ||
                           s[i].PointerToRawData != o_.secs[i].PointerToRawData ||
                           s[i].VirtualAddress != o_.secs[i].VirtualAddress;
      const std::uint64_t extent = align_up(s[i].mapped(), n_.SectionAlignment);
      if (touched && s[i].SizeOfRawData > extent) {
        fail("section " + std::to_string(i) + " (" + s[i].name + "): SizeOfRawData " +
             hex(s[i].SizeOfRawData) + " past its mapped extent " + hex(extent));
      }
    }
    const std::uint64_t image_end =
        align_up(std::uint64_t{s.back().VirtualAddress} + s.back().mapped(), n_.SectionAlignment);
    if (n_.SizeOfImage != image_end)
      fail("SizeOfImage " + hex(n_.SizeOfImage) + ", expected " + hex(image_end));
    std::size_t rsrc = 0;
    for (const Sec& x : s) rsrc += x.name == ".rsrc" ? 1U : 0U;
    bool orig_had_rsrc = false;
    for (const Sec& x : o_.secs) orig_had_rsrc = orig_had_rsrc || x.name == ".rsrc";
    // A rewrite that neither had nor adds resources has no reason to add a section.
    const bool none_needed = intended_.empty() && !orig_had_rsrc && n_.dir(2).empty();
    if (rsrc != 1 && !(none_needed && rsrc == 0))
      fail(std::to_string(rsrc) + " sections named .rsrc, expected 1");

    // SizeOfInitializedData is kept as the sum of initialised-data raw sizes when it was one.
    auto init_sum = [](const Pe& pe) {
      std::uint64_t sum = 0;
      for (const Sec& x : pe.secs)
        sum += (x.Characteristics & kScnInitializedData) != 0 ? x.SizeOfRawData : 0;
      return sum;
    };
    if (o_.SizeOfInitializedData == init_sum(o_) && n_.SizeOfInitializedData != init_sum(n_)) {
      fail("SizeOfInitializedData " + hex(n_.SizeOfInitializedData) + ", expected " +
           hex(init_sum(n_)));
    }
  }

  static std::uint64_t align_up(std::uint64_t v, std::uint64_t a) {
    return a == 0 ? v : (v + a - 1) / a * a;
  }

  void check_directories_inside_sections() {
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 4 || n_.dir(i).empty()) continue;
      const Dir d = n_.dir(i);
      if (i == 11 && std::uint64_t{d.rva} + d.size <= n_.SizeOfHeaders)
        continue;  // bound imports live in the headers
      if (!n_.section_of(d.rva, d.size)) {
        fail("data directory " + std::to_string(i) + " (" + hex(d.rva) + ", " + hex(d.size) +
             ") not inside one section");
      }
    }
    const Dir r = n_.dir(2);
    if (!r.empty()) {
      const auto idx = n_.section_of(r.rva, r.size);
      if (idx && n_.secs[*idx].name != ".rsrc")
        fail("resource directory lies in " + n_.secs[*idx].name + ", not .rsrc");
      // The loader does not care, but a rebuilt tree always starts its section: readers such as
      // llvm-readobj take the section's first byte for its root.
      const bool rebuilt = r.rva != o_.dir(2).rva || r.size != o_.dir(2).size ||
                           mapped_range(orig_bytes_, o_, r.rva, r.size) !=
                               mapped_range(out_bytes_, n_, r.rva, r.size);
      if (idx && rebuilt && n_.secs[*idx].VirtualAddress != r.rva) {
        fail("resource directory not at the start of its section");
      }
    }
  }

  void check_resources() {
    std::string error;
    std::vector<TestResource> got = read_resources(out_bytes_, &error);
    if (!error.empty()) {
      fail("resource tree does not read back: " + error);
      return;
    }
    std::vector<TestResource> want = intended_;
    std::sort(want.begin(), want.end(), key_less);
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < want.size() || j < got.size()) {
      if (j == got.size() || (i < want.size() && key_less(want[i], got[j]))) {
        fail("resource " + describe_key(want[i].type, want[i].name, want[i].language) + " missing");
        ++i;
      } else if (i == want.size() || key_less(got[j], want[i])) {
        fail("unexpected resource " + describe_key(got[j].type, got[j].name, got[j].language));
        ++j;
      } else {
        const std::string k = describe_key(want[i].type, want[i].name, want[i].language);
        if (want[i].data != got[j].data) {
          fail("resource " + k + " holds " + std::to_string(got[j].data.size()) +
               " bytes that differ from the " + std::to_string(want[i].data.size()) + " intended");
        }
        if (want[i].code_page != got[j].code_page) {
          fail("resource " + k + " code page " + std::to_string(got[j].code_page) + ", expected " +
               std::to_string(want[i].code_page));
        }
        ++i;
        ++j;
      }
    }
  }

  // Pairs each original section with its counterpart in the output. Sections keep their
  // order; a new resource section can only be appended.
  void match_sections() {
    const Dir r = o_.dir(2);
    if (!r.empty()) r_index_ = o_.section_of(r.rva, std::max<std::uint32_t>(r.size, 1));
    if (n_.secs.size() != o_.secs.size() && n_.secs.size() != o_.secs.size() + 1) {
      fail("output has " + std::to_string(n_.secs.size()) + " sections, original " +
           std::to_string(o_.secs.size()));
    }
    if (n_.secs.size() == o_.secs.size() + 1 && n_.secs.back().name != ".rsrc") {
      fail("the added section is named " + n_.secs.back().name + ", not .rsrc");
    }
  }

  [[nodiscard]] bool moved_allowed(std::size_t i) const { return r_index_ && i > *r_index_; }

  void check_unchanged_sections() {
    const std::size_t count = std::min(o_.secs.size(), n_.secs.size());
    std::optional<std::int64_t> delta;
    for (std::size_t i = 0; i < count; ++i) {
      const Sec& a = o_.secs[i];
      const Sec& b = n_.secs[i];
      const bool is_r = r_index_ && *r_index_ == i;
      if (is_r && b.name == ".rsrc") continue;  // rebuilt in place
      const std::string at = "section " + std::to_string(i) + " (" + a.name + ")";
      // The old resource section kept under another name must keep its bytes.
      if (!is_r && a.name != b.name) fail(at + " renamed to " + b.name);
      if (a.VirtualSize != b.VirtualSize) fail(at + ": VirtualSize changed");
      if (a.Characteristics != b.Characteristics) fail(at + ": Characteristics changed");
      if (masked(mapped_section(orig_bytes_, a), a.VirtualAddress, o_, orig_bytes_) !=
          masked(mapped_section(out_bytes_, b), b.VirtualAddress, n_, out_bytes_)) {
        fail(at + ": contents changed");
      }
      const std::int64_t d = std::int64_t{b.VirtualAddress} - std::int64_t{a.VirtualAddress};
      if (!moved_allowed(i)) {
        if (d != 0)
          fail(at + ": moved from " + hex(a.VirtualAddress) + " to " + hex(b.VirtualAddress));
      } else if (delta && *delta != d) {
        fail(at + ": moved by a different distance than the sections before it");
      } else {
        delta = d;
      }
      if (d != 0 && !movable(a)) fail(at + ": moved, but code may refer to it");
    }
    const std::uint32_t entry = o_.AddressOfEntryPoint;
    if (entry != 0) {
      const auto a = mapped_range(orig_bytes_, o_, entry, 1);
      const auto idx = o_.section_of(entry, 1);
      if (a && idx) {
        const std::uint32_t len = std::min<std::uint32_t>(
            16, o_.secs[*idx].VirtualAddress + o_.secs[*idx].mapped() - entry);
        if (mapped_range(orig_bytes_, o_, entry, len) != mapped_range(out_bytes_, n_, entry, len)) {
          fail("bytes at the entry point changed");
        }
      }
    }
  }

  // Sections a rewrite may shift: relocations only, or discardable with no directory inside.
  [[nodiscard]] bool movable(const Sec& s) const {
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 4 || i == 5 || o_.dir(i).empty()) continue;
      const std::uint64_t lo = o_.dir(i).rva;
      if (lo < std::uint64_t{s.VirtualAddress} + s.mapped() &&
          lo + o_.dir(i).size > s.VirtualAddress)
        return false;
    }
    const Dir rel = o_.dir(5);
    const bool holds_reloc = !rel.empty() && rel.rva >= s.VirtualAddress &&
                             rel.rva < std::uint64_t{s.VirtualAddress} + s.mapped();
    return holds_reloc || (s.Characteristics & 0x02000000U) != 0;
  }

  void check_directories_kept() {
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 2 || i == 4) continue;
      const Dir a = o_.dir(i);
      const Dir b = n_.dir(i);
      const std::string at = "data directory " + std::to_string(i);
      if (a.empty()) {
        if (!b.empty()) fail(at + " appeared");
        continue;
      }
      if (a.size != b.size) fail(at + ": size changed");
      const auto oi = o_.section_of(a.rva, a.size);
      if (!oi || !moved_allowed(*oi)) {
        if (a.rva != b.rva) fail(at + ": moved from " + hex(a.rva) + " to " + hex(b.rva));
      }
      auto before = mapped_range(orig_bytes_, o_, a.rva, a.size);
      auto after = mapped_range(out_bytes_, n_, b.rva, b.size);
      if (before) before = masked(*before, a.rva, o_, orig_bytes_);
      if (after) after = masked(*after, b.rva, n_, out_bytes_);
      if (before && (!after || *before != *after)) fail(at + ": contents changed");
    }
    if (n_.NumberOfRvaAndSizes <= 4) return;
    const Dir cert = o_.dir(4);
    if (!cert.empty() && !n_.dir(4).empty()) fail("certificate table entry not cleared");
  }

  void check_overlay() {
    const std::uint64_t o_end = o_.end_of_sections();
    const std::uint64_t n_end = n_.end_of_sections();
    Bytes want;
    if (o_end < orig_bytes_.size())
      want.assign(orig_bytes_.begin() + static_cast<std::ptrdiff_t>(o_end), orig_bytes_.end());
    std::size_t cert_padding = 0;
    const Dir cert = o_.dir(4);
    if (!cert.empty() && cert.rva >= o_end && has(orig_bytes_, cert.rva, cert.size)) {
      const std::uint64_t rel = cert.rva - o_end;
      want.erase(want.begin() + static_cast<std::ptrdiff_t>(rel),
                 want.begin() + static_cast<std::ptrdiff_t>(rel + cert.size));
      // Zeros that only aligned the certificate to 8 may go with it.
      while (cert_padding < 7 && cert_padding < rel && want[rel - cert_padding - 1] == 0)
        ++cert_padding;
    }
    Bytes got;
    if (n_end < out_bytes_.size())
      got.assign(out_bytes_.begin() + static_cast<std::ptrdiff_t>(n_end), out_bytes_.end());
    bool ok = got == want;
    for (std::size_t p = 1; !ok && p <= cert_padding; ++p) {
      const std::uint64_t rel = cert.rva - o_end;
      Bytes trimmed = want;
      trimmed.erase(trimmed.begin() + static_cast<std::ptrdiff_t>(rel - p),
                    trimmed.begin() + static_cast<std::ptrdiff_t>(rel));
      ok = got == trimmed;
    }
    if (!ok) {
      fail("overlay not kept: " + std::to_string(got.size()) +
           " bytes after the sections, expected " + std::to_string(want.size()));
    }
    if (o_.PointerToSymbolTable != 0 && o_.PointerToSymbolTable >= o_end) {
      const std::uint64_t expect = n_end + (o_.PointerToSymbolTable - o_end);
      if (n_.PointerToSymbolTable != expect) {
        fail("PointerToSymbolTable " + hex(n_.PointerToSymbolTable) + ", expected " + hex(expect));
      }
    } else if (n_.PointerToSymbolTable != symbols_moved_with_raw_data()) {
      fail("PointerToSymbolTable changed");
    }
    if (o_.NumberOfSymbols != n_.NumberOfSymbols) fail("NumberOfSymbols changed");
  }

  struct DebugEntry {
    std::uint32_t field_rva = 0;  // RVA of AddressOfRawData, followed by PointerToRawData
    std::uint32_t size = 0;
    std::uint32_t rva = 0;
    std::uint32_t ptr = 0;
  };

  // The debug directory's entries: they are the one place that may legitimately change
  // inside an unmoved section, because they hold addresses and file offsets of moved data.
  static std::vector<DebugEntry> debug_entries(const Pe& pe, const Bytes& b) {
    std::vector<DebugEntry> out;
    const Dir d = pe.dir(6);
    if (d.empty() || d.size < 28 || d.size > 28 * 1024) return out;
    const auto bytes = mapped_range(b, pe, d.rva, d.size);
    if (!bytes) return out;
    for (std::uint32_t at = 0; at + 28 <= d.size; at += 28) {
      out.push_back(DebugEntry{d.rva + at + 20, get32(*bytes, at + 16), get32(*bytes, at + 20),
                               get32(*bytes, at + 24)});
    }
    return out;
  }

  static Bytes masked(Bytes mapped, std::uint32_t base, const Pe& pe, const Bytes& b) {
    for (const DebugEntry& e : debug_entries(pe, b)) {
      for (std::uint32_t k = 0; k < 8; ++k) {
        const std::uint64_t at = std::uint64_t{e.field_rva} + k;
        if (at >= base && at - base < mapped.size()) mapped[at - base] = 0;
      }
    }
    return mapped;
  }

  void check_debug_entries() {
    const std::vector<DebugEntry> a = debug_entries(o_, orig_bytes_);
    const std::vector<DebugEntry> b = debug_entries(n_, out_bytes_);
    if (a.size() != b.size()) {
      fail("debug directory has " + std::to_string(b.size()) + " entries, expected " +
           std::to_string(a.size()));
      return;
    }
    // Data that lies in the headers, up to the room for one more section header, cannot keep
    // its bytes: the rewrite writes those anew (there, addresses and file offsets agree).
    const auto in_headers = [&](std::uint32_t at) { return at < o_.section_table_end + 40; };
    // Nor can data that runs from the sections into what follows them, which moves apart.
    const std::uint64_t sections_end = o_.end_of_sections();
    const auto straddles = [&](const DebugEntry& e) {
      return e.ptr < sections_end && std::uint64_t{e.ptr} + e.size > sections_end;
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
      const std::string at = "debug entry " + std::to_string(i);
      if (a[i].rva != 0) {
        // An address that led past every section may come to lie in a section the rewrite adds.
        const auto before = mapped_range(orig_bytes_, o_, a[i].rva, a[i].size);
        if (before && !in_headers(a[i].rva) &&
            before != mapped_range(out_bytes_, n_, b[i].rva, b[i].size)) {
          fail(at + ": AddressOfRawData " + hex(b[i].rva) + " does not lead to its data");
        }
      } else if (b[i].rva != 0) {
        fail(at + ": AddressOfRawData appeared");
      }
      if (a[i].ptr != 0 && !in_headers(a[i].ptr) && !straddles(a[i])) {
        const bool same =
            has(orig_bytes_, a[i].ptr, a[i].size) && has(out_bytes_, b[i].ptr, a[i].size) &&
            std::equal(orig_bytes_.begin() + a[i].ptr, orig_bytes_.begin() + a[i].ptr + a[i].size,
                       out_bytes_.begin() + b[i].ptr);
        if (!same) fail(at + ": PointerToRawData " + hex(b[i].ptr) + " does not lead to its data");
      } else if (a[i].ptr == 0 && b[i].ptr != 0) {
        fail(at + ": PointerToRawData appeared");
      }
    }
  }

  void check_checksum() {
    if (o_.CheckSum == 0) {
      if (n_.CheckSum != 0) fail("CheckSum was 0 and became " + hex(n_.CheckSum));
      return;
    }
    // Kept as valid as it was: right where it was right, off by as much where it was off (or
    // by that and one wrap of the folded 16-bit sum).
    const std::uint32_t right = pe_checksum(out_bytes_, n_.checksum_offset);
    const std::uint32_t was_off = o_.CheckSum - pe_checksum(orig_bytes_, o_.checksum_offset);
    const std::uint32_t is_off = n_.CheckSum - right;
    const auto moved = static_cast<std::int32_t>(is_off - was_off);
    if (was_off == 0 ? is_off != 0 : moved != 0 && moved != 0xffff && moved != -0xffff)
      fail("CheckSum " + hex(n_.CheckSum) + ", expected " + hex(right) +
           (was_off == 0 ? "" : " off as much as before"));
  }

  const Bytes& orig_bytes_;
  const Bytes& out_bytes_;
  const std::vector<TestResource>& intended_;
  Pe o_;
  Pe n_;
  std::optional<std::size_t> r_index_;
  std::vector<std::string> v_;
};

}  // namespace

std::string describe_key(const ResId& type, const ResId& name, std::uint16_t language) {
  return key_of(type) + "/" + key_of(name) + "/" + std::to_string(language);
}

std::vector<TestResource> read_resources(const Bytes& image, std::string* error) {
  auto fail = [&](const resupdate::Error& e) {
    if (error != nullptr)
      *error = e.detail.empty() ? "error " + hex(static_cast<std::uint32_t>(e.code)) : e.detail;
    return std::vector<TestResource>{};
  };
  const resupdate::MemorySource src{resupdate::ByteSpan(image)};
  auto pe = resupdate::PeImage::parse(src);
  if (!pe) return fail(pe.error());
  auto set = resupdate::decode_resources(*pe, src);
  if (!set) return fail(set.error());
  std::vector<TestResource> out;
  for (const auto& [key, data] : *set) {
    auto bytes = data.load(src);
    if (!bytes) return fail(bytes.error());
    out.push_back(TestResource{from_core(key.type), from_core(key.name), key.language,
                               std::move(*bytes), data.code_page});
  }
  std::sort(out.begin(), out.end(), key_less);
  for (std::size_t i = 1; i < out.size(); ++i) {
    if (same_key(out[i - 1], out[i])) {
      if (error != nullptr)
        *error = "duplicate key " + describe_key(out[i].type, out[i].name, out[i].language);
      return {};
    }
  }
  if (error != nullptr) error->clear();
  return out;
}

::testing::AssertionResult kept_where_it_lay(const Bytes& original, const Bytes& output) {
  const resupdate::MemorySource a{resupdate::ByteSpan(original)};
  const resupdate::MemorySource b{resupdate::ByteSpan(output)};
  auto pa = resupdate::PeImage::parse(a);
  auto pb = resupdate::PeImage::parse(b);
  if (!pa || !pb) return ::testing::AssertionFailure() << "an image does not parse";
  auto before = resupdate::decode_resources(*pa, a);
  auto after = resupdate::decode_resources(*pb, b);
  if (!before || !after) return ::testing::AssertionFailure() << "a resource tree does not read";
  const auto idx = pa->section_of(resupdate::Rva{pa->directory(2).VirtualAddress});
  if (!idx) return ::testing::AssertionSuccess();
  const resupdate::SectionHeader& rs = pa->sections()[*idx];
  if (*idx >= pb->sections().size() || pb->sections()[*idx].VirtualAddress != rs.VirtualAddress ||
      pb->sections()[*idx].PointerToRawData != rs.PointerToRawData)
    return ::testing::AssertionFailure() << "the resource section moved";
  std::ostringstream moved;
  for (const auto& [key, data] : *before) {
    const auto* e = std::get_if<resupdate::FileExtent>(&data.bytes);
    if (e == nullptr || e->size == 0 || e->file_len != e->size ||
        e->offset.value < rs.PointerToRawData.value || e->offset.value + e->size > rs.raw_end() ||
        (e->offset.value - rs.PointerToRawData.value + rs.VirtualAddress.value) % 4 != 0)
      continue;
    const auto now = after->find(key);
    if (now == after->end() || now->second.load(b).value() != data.load(a).value())
      continue;  // erased or replaced
    const auto* f = std::get_if<resupdate::FileExtent>(&now->second.bytes);
    if (f == nullptr || f->offset != e->offset)
      moved << "\n  - " << describe_key(from_core(key.type), from_core(key.name), key.language)
            << " moved from " << hex(e->offset.value) << " to "
            << (f != nullptr ? hex(f->offset.value) : std::string("memory"));
  }
  if (moved.str().empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "resource data did not stay where it lay:" << moved.str();
}

std::vector<std::string> check_invariants(const Bytes& original, const Bytes& output,
                                          const std::vector<TestResource>& intended) {
  return Checker(original, output, intended).run();
}

::testing::AssertionResult invariants_hold(const Bytes& original, const Bytes& output,
                                           const std::vector<TestResource>& intended) {
  const std::vector<std::string> v = check_invariants(original, output, intended);
  if (v.empty()) return ::testing::AssertionSuccess();
  std::ostringstream msg;
  msg << v.size() << " invariant(s) broken:";
  for (const std::string& s : v) msg << "\n  - " << s;
  return ::testing::AssertionFailure() << msg.str();
}

}  // namespace tarvisk_test
