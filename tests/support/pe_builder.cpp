// The test image builder: headers, sections, resource tree and trailing data, encoded by hand.
#include "pe_builder.h"

#include <stdlib.h>  // mkdtemp

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace tarvisk_test {

namespace {

constexpr std::uint32_t kPeHeaderSize = 24;  // "PE\0\0" and the COFF file header
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kDefaultLfanew = 0x80;
constexpr std::uint32_t kSymbolSize = 18;

constexpr std::uint32_t kTextFlags = 0x60000020;   // code, execute, read
constexpr std::uint32_t kDataFlags = 0xC0000040;   // initialised data, read, write
constexpr std::uint32_t kRelocFlags = 0x42000040;  // initialised data, discardable, read
constexpr std::uint32_t kRsrcFlags = 0x40000040;   // initialised data, read
constexpr std::uint32_t kDebugFlags = 0x42100040;  // as mingw marks its DWARF sections

std::uint32_t align(std::uint32_t v, std::uint32_t a) { return a == 0 ? v : (v + a - 1) / a * a; }

void put_bytes(Bytes& b, std::size_t off, const void* src, std::size_t len) {
  if (off + len > b.size()) throw std::logic_error("pe_builder: store past the buffer");
  const auto* p = static_cast<const std::uint8_t*>(src);
  std::copy(p, p + len, b.begin() + static_cast<std::ptrdiff_t>(off));
}

void put_name(Bytes& b, std::size_t off, const std::string& name) {
  if (name.size() > 8) throw std::invalid_argument("pe_builder: section name longer than 8 bytes");
  put_bytes(b, off, name.data(), name.size());
}

// Appends `v` to `b` in little-endian order.
void append16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void append32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void append64(Bytes& b, std::uint64_t v) {
  append32(b, static_cast<std::uint32_t>(v));
  append32(b, static_cast<std::uint32_t>(v >> 32));
}
void append_str(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
void pad_to(Bytes& b, std::size_t multiple, std::uint8_t fill = 0) {
  while (b.size() % multiple != 0) b.push_back(fill);
}

// A recognisable, position-dependent filler so a misplaced copy shows up as a mismatch.
Bytes pattern(std::size_t len, std::uint8_t seed) {
  Bytes b(len);
  for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

struct Section {
  std::string name;
  Bytes data;
  std::uint32_t characteristics = 0;
  std::uint32_t va = 0;
  std::uint32_t raw_ptr = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t virtual_size = 0;
};

enum class Kind { text, data, reloc, rsrc, debug1, debug2 };

std::vector<Kind> sections_of(Layout layout) {
  switch (layout) {
    case Layout::no_resources: return {Kind::text, Kind::data, Kind::reloc};
    case Layout::resources_last: return {Kind::text, Kind::data, Kind::reloc, Kind::rsrc};
    case Layout::resources_then_reloc: return {Kind::text, Kind::data, Kind::rsrc, Kind::reloc};
    case Layout::resources_then_reloc_debug:
      return {Kind::text, Kind::data, Kind::rsrc, Kind::reloc, Kind::debug1, Kind::debug2};
    case Layout::resources_then_data: return {Kind::text, Kind::rsrc, Kind::data, Kind::reloc};
  }
  return {};
}

// The long names the "/4" and "/19" section names refer to: offsets into the string table.
const char* const kDebugLongNames[] = {".debug_aranges", ".debug_info"};

struct HeaderGeometry {
  std::uint32_t e_lfanew = kDefaultLfanew;
  std::uint32_t optional_size = 0;
  std::uint32_t section_table = 0;
  std::uint32_t size_of_headers = 0;
};

std::uint32_t directories_offset(bool plus) { return plus ? 112 : 96; }

HeaderGeometry geometry(const PeOptions& o, std::size_t section_count) {
  HeaderGeometry g;
  g.optional_size = directories_offset(o.pe32_plus) + 8 * o.number_of_rva_and_sizes;
  const std::uint32_t rest = kPeHeaderSize + g.optional_size +
                             kSectionHeaderSize * static_cast<std::uint32_t>(section_count);
  if (o.header_room) {
    g.e_lfanew = kDefaultLfanew;
    g.size_of_headers = align(g.e_lfanew + rest + kSectionHeaderSize, o.file_alignment);
  } else {
    // Slide the PE header so the section table ends exactly on a FileAlignment boundary:
    // the first section's raw data then starts right after the last section header.
    g.e_lfanew = align(0x40 + rest, o.file_alignment) - rest;
    g.size_of_headers = g.e_lfanew + rest;
  }
  g.section_table = g.e_lfanew + kPeHeaderSize + g.optional_size;
  return g;
}

std::uint64_t image_base(bool plus) { return plus ? 0x140000000ULL : 0x400000ULL; }

struct TextInfo {
  std::uint32_t import_dir = 0;  // offsets inside .text
  std::uint32_t import_size = 0;
  std::uint32_t iat = 0;
  std::uint32_t iat_size = 0;
  std::uint32_t codeview = 0;  // CodeView record
  std::uint32_t codeview_size = 0;
  std::uint32_t debug_dir = 0;
};

constexpr std::uint32_t kDebugEntrySize = 28;

// Entry code, then an import table for KERNEL32!ExitProcess laid out as a linker would.
Bytes make_text(bool plus, std::uint32_t va, std::uint32_t debug_entries, TextInfo& info) {
  Bytes t;
  if (plus) {
    t = {0x48, 0x83, 0xEC, 0x28, 0x31, 0xC0,
         0x48, 0x83, 0xC4, 0x28, 0xC3};  // sub rsp; xor eax; add rsp; ret
  } else {
    t = {0x55, 0x8B, 0xEC, 0x31,
         0xC0, 0x5D, 0xC3};  // push ebp; mov ebp,esp; xor eax,eax; pop ebp; ret
  }
  pad_to(t, 32, 0xCC);
  const std::uint32_t thunk = plus ? 8 : 4;
  info.import_dir = static_cast<std::uint32_t>(t.size());
  info.import_size = 40;
  const std::uint32_t ilt = info.import_dir + 40;
  info.iat = ilt + 2 * thunk;
  info.iat_size = 2 * thunk;
  const std::uint32_t hint_name = info.iat + 2 * thunk;
  const std::uint32_t dll_name = hint_name + 2 + 12;  // hint, "ExitProcess\0"
  // Descriptor: OriginalFirstThunk, TimeDateStamp, ForwarderChain, Name, FirstThunk.
  append32(t, va + ilt);
  append32(t, 0);
  append32(t, 0);
  append32(t, va + dll_name);
  append32(t, va + info.iat);
  t.resize(t.size() + 20);  // the terminating null descriptor
  for (int table = 0; table < 2; ++table) {
    if (plus) {
      append64(t, va + hint_name);
      append64(t, 0);
    } else {
      append32(t, va + hint_name);
      append32(t, 0);
    }
  }
  append16(t, 0x167);
  append_str(t, "ExitProcess");
  t.push_back(0);
  append_str(t, "KERNEL32.dll");
  t.push_back(0);
  pad_to(t, 16, 0);
  if (debug_entries != 0) {
    // "RSDS", a GUID, the age, and the PDB path, as in an MSVC or lld image.
    info.codeview = static_cast<std::uint32_t>(t.size());
    append_str(t, "RSDS");
    const Bytes guid = pattern(16, 0xA0);
    t.insert(t.end(), guid.begin(), guid.end());
    append32(t, 1);
    append_str(t, "C:\\build\\tarvisk_test.pdb");
    t.push_back(0);
    info.codeview_size = static_cast<std::uint32_t>(t.size()) - info.codeview;
    pad_to(t, 4, 0);
    info.debug_dir = static_cast<std::uint32_t>(t.size());
    t.resize(t.size() + kDebugEntrySize * debug_entries, 0);  // filled once the layout is known
    pad_to(t, 16, 0);
  }
  return t;
}

// Two absolute pointers (to the entry point and into itself), which the relocations cover.
Bytes make_data(bool plus, std::uint32_t va, std::uint32_t entry) {
  Bytes d;
  const std::uint64_t base = image_base(plus);
  if (plus) {
    append64(d, base + entry);
    append64(d, base + va + 0x20);
  } else {
    append32(d, static_cast<std::uint32_t>(base + entry));
    append32(d, static_cast<std::uint32_t>(base + va + 0x20));
  }
  const Bytes tail = pattern(0x40 - d.size(), 0x31);
  d.insert(d.end(), tail.begin(), tail.end());
  return d;
}

// Base-relocation blocks for the given pointer RVAs, one block per 4 KiB page.
Bytes make_reloc(bool plus, const std::vector<std::uint32_t>& rvas) {
  Bytes r;
  const std::uint16_t type = plus ? 10 : 3;  // IMAGE_REL_BASED_DIR64 / HIGHLOW
  std::size_t i = 0;
  while (i < rvas.size()) {
    const std::uint32_t page = rvas[i] & ~0xFFFU;
    std::vector<std::uint16_t> entries;
    while (i < rvas.size() && (rvas[i] & ~0xFFFU) == page) {
      entries.push_back(static_cast<std::uint16_t>((static_cast<std::uint32_t>(type) << 12) |
                                                   (rvas[i] & 0xFFFU)));
      ++i;
    }
    if (entries.size() % 2 != 0) entries.push_back(0);  // IMAGE_REL_BASED_ABSOLUTE pads to 4
    append32(r, page);
    append32(r, static_cast<std::uint32_t>(8 + 2 * entries.size()));
    for (std::uint16_t e : entries) append16(r, e);
  }
  return r;
}

struct LangNode {
  std::uint16_t language = 0;
  const TestResource* resource = nullptr;
};
struct NameNode {
  ResId id;
  std::vector<LangNode> langs;
};
struct TypeNode {
  ResId id;
  std::vector<NameNode> names;
};

std::vector<TypeNode> group(const std::vector<TestResource>& resources) {
  std::vector<TypeNode> types;
  for (const TestResource& r : resources) {
    auto t =
        std::find_if(types.begin(), types.end(), [&](const TypeNode& n) { return n.id == r.type; });
    if (t == types.end()) t = types.insert(types.end(), TypeNode{r.type, {}});
    auto n = std::find_if(t->names.begin(), t->names.end(),
                          [&](const NameNode& x) { return x.id == r.name; });
    if (n == t->names.end()) n = t->names.insert(t->names.end(), NameNode{r.name, {}});
    for (const LangNode& l : n->langs) {
      if (l.language == r.language)
        throw std::invalid_argument("pe_builder: duplicate resource key");
    }
    n->langs.push_back(LangNode{r.language, &r});
  }
  for (TypeNode& t : types) {
    for (NameNode& n : t.names) {
      std::sort(n.langs.begin(), n.langs.end(),
                [](const LangNode& a, const LangNode& b) { return a.language < b.language; });
    }
    std::sort(t.names.begin(), t.names.end(),
              [](const NameNode& a, const NameNode& b) { return res_id_less(a.id, b.id); });
  }
  std::sort(types.begin(), types.end(),
            [](const TypeNode& a, const TypeNode& b) { return res_id_less(a.id, b.id); });
  return types;
}

std::uint32_t dir_size(std::size_t entries) { return 16 + 8 * static_cast<std::uint32_t>(entries); }

void put_directory(Bytes& b, std::uint32_t off, std::uint16_t named, std::uint16_t ids) {
  put32(b, off, 0);       // Characteristics
  put32(b, off + 4, 0);   // TimeDateStamp
  put16(b, off + 8, 4);   // MajorVersion
  put16(b, off + 10, 0);  // MinorVersion
  put16(b, off + 12, named);
  put16(b, off + 14, ids);
}

template <class Node>
std::pair<std::uint16_t, std::uint16_t> count_kinds(const std::vector<Node>& nodes) {
  std::uint16_t named = 0;
  for (const Node& n : nodes) named = static_cast<std::uint16_t>(named + (n.id.named ? 1 : 0));
  return {named, static_cast<std::uint16_t>(nodes.size() - named)};
}

}  // namespace

bool res_id_less(const ResId& a, const ResId& b) noexcept {
  if (a.named != b.named) return a.named;
  if (a.named) return a.name < b.name;  // std::u16string compares code units ordinally
  return a.id < b.id;
}

const char* layout_name(Layout layout) noexcept {
  switch (layout) {
    case Layout::no_resources: return "no_resources";
    case Layout::resources_last: return "resources_last";
    case Layout::resources_then_reloc: return "resources_then_reloc";
    case Layout::resources_then_reloc_debug: return "resources_then_reloc_debug";
    case Layout::resources_then_data: return "resources_then_data";
  }
  return "?";
}

Bytes manifest_bytes(const std::string& tag) {
  const std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
      "  <assemblyIdentity type=\"win32\" name=\"Tarvisk.Test." +
      tag +
      "\" version=\"1.0.0.0\"/>\r\n"
      "</assembly>\r\n";
  return Bytes(text.begin(), text.end());
}

std::vector<TestResource> existing_manifests() {
  return {
      TestResource{ResId::num(kRtManifest), ResId::num(1), 0, manifest_bytes("exe"), 0},
      TestResource{ResId::num(kRtManifest), ResId::num(1), 1033, manifest_bytes("exe.en"), 1252},
      TestResource{ResId::num(kRtManifest), ResId::num(2), 0, manifest_bytes("dll"), 0}};
}

TestResource manifest(std::uint16_t name, std::uint16_t language, const std::string& text) {
  return TestResource{ResId::num(kRtManifest), ResId::num(name), language,
                      Bytes(text.begin(), text.end()), 0};
}

Bytes encode_resource_section(const std::vector<TestResource>& resources, std::uint32_t base_rva) {
  const std::vector<TypeNode> types = group(resources);

  // Pass 1: offsets of every part, in the order Windows lays them out.
  std::uint32_t cursor = dir_size(types.size());
  std::vector<std::uint32_t> name_dirs;
  for (const TypeNode& t : types) {
    name_dirs.push_back(cursor);
    cursor += dir_size(t.names.size());
  }
  std::vector<std::vector<std::uint32_t>> lang_dirs(types.size());
  for (std::size_t ti = 0; ti < types.size(); ++ti) {
    for (const NameNode& n : types[ti].names) {
      lang_dirs[ti].push_back(cursor);
      cursor += dir_size(n.langs.size());
    }
  }
  const std::uint32_t data_entries = cursor;
  std::uint32_t leaves = 0;
  for (const TypeNode& t : types) {
    for (const NameNode& n : t.names) leaves += static_cast<std::uint32_t>(n.langs.size());
  }
  cursor += 16 * leaves;
  std::vector<std::uint32_t> type_strings(types.size(), 0);
  std::vector<std::vector<std::uint32_t>> name_strings(types.size());
  for (std::size_t ti = 0; ti < types.size(); ++ti) {
    if (types[ti].id.named) {
      type_strings[ti] = cursor;
      cursor += 2 + 2 * static_cast<std::uint32_t>(types[ti].id.name.size());
    }
    for (const NameNode& n : types[ti].names) {
      name_strings[ti].push_back(cursor);
      if (n.id.named) cursor += 2 + 2 * static_cast<std::uint32_t>(n.id.name.size());
    }
  }
  cursor = align(cursor, 4);
  std::vector<std::uint32_t> blobs;
  std::uint32_t end = cursor;
  for (const TypeNode& t : types) {
    for (const NameNode& n : t.names) {
      for (const LangNode& l : n.langs) {
        cursor = align(cursor, 8);
        blobs.push_back(cursor);
        cursor += static_cast<std::uint32_t>(l.resource->data.size());
        end = cursor;
      }
    }
  }

  // Pass 2: emit into a buffer of exactly that size.
  Bytes out(end, 0);
  auto put_string = [&out](std::uint32_t off, const std::u16string& s) {
    put16(out, off, static_cast<std::uint16_t>(s.size()));
    for (std::size_t i = 0; i < s.size(); ++i)
      put16(out, off + 2 + 2 * i, static_cast<std::uint16_t>(s[i]));
  };
  const auto [root_named, root_ids] = count_kinds(types);
  put_directory(out, 0, root_named, root_ids);
  std::uint32_t leaf = 0;
  for (std::size_t ti = 0; ti < types.size(); ++ti) {
    const TypeNode& t = types[ti];
    const std::uint32_t entry = dir_size(0) + 8 * static_cast<std::uint32_t>(ti);
    if (t.id.named) {
      put_string(type_strings[ti], t.id.name);
      put32(out, entry, 0x80000000U | type_strings[ti]);
    } else {
      put32(out, entry, t.id.id);
    }
    put32(out, entry + 4, 0x80000000U | name_dirs[ti]);
    const auto [named, ids] = count_kinds(t.names);
    put_directory(out, name_dirs[ti], named, ids);
    for (std::size_t ni = 0; ni < t.names.size(); ++ni) {
      const NameNode& n = t.names[ni];
      const std::uint32_t nentry = name_dirs[ti] + dir_size(0) + 8 * static_cast<std::uint32_t>(ni);
      if (n.id.named) {
        put_string(name_strings[ti][ni], n.id.name);
        put32(out, nentry, 0x80000000U | name_strings[ti][ni]);
      } else {
        put32(out, nentry, n.id.id);
      }
      put32(out, nentry + 4, 0x80000000U | lang_dirs[ti][ni]);
      put_directory(out, lang_dirs[ti][ni], 0, static_cast<std::uint16_t>(n.langs.size()));
      for (std::size_t li = 0; li < n.langs.size(); ++li) {
        const LangNode& l = n.langs[li];
        const std::uint32_t lentry =
            lang_dirs[ti][ni] + dir_size(0) + 8 * static_cast<std::uint32_t>(li);
        const std::uint32_t data_entry = data_entries + 16 * leaf;
        put32(out, lentry, l.language);
        put32(out, lentry + 4, data_entry);
        put32(out, data_entry, base_rva + blobs[leaf]);
        put32(out, data_entry + 4, static_cast<std::uint32_t>(l.resource->data.size()));
        put32(out, data_entry + 8, l.resource->code_page);
        put32(out, data_entry + 12, 0);
        if (!l.resource->data.empty())
          put_bytes(out, blobs[leaf], l.resource->data.data(), l.resource->data.size());
        ++leaf;
      }
    }
  }
  return out;
}

std::uint32_t planned_rsrc_rva(const PeOptions& options) {
  PeOptions probe = options;
  probe.raw_resource_section = [](std::uint32_t) { return Bytes(16, 0); };
  const BuiltImage img = build_pe(probe);
  if (!img.rsrc_rva) throw std::invalid_argument("pe_builder: layout has no resource section");
  return *img.rsrc_rva;
}

BuiltImage build_pe(const PeOptions& o) {
  if (o.file_alignment == 0 || o.section_alignment == 0 || o.file_alignment > o.section_alignment) {
    throw std::invalid_argument("pe_builder: bad alignments");
  }
  if (o.number_of_rva_and_sizes > 16)
    throw std::invalid_argument("pe_builder: more than 16 directories");
  const bool plus = o.pe32_plus;
  const std::vector<Kind> kinds = sections_of(o.layout);
  const HeaderGeometry g = geometry(o, kinds.size());

  BuiltImage img;
  img.size_of_headers = g.size_of_headers;
  img.section_table_offset = g.section_table;
  img.data_directories_offset = g.e_lfanew + kPeHeaderSize + directories_offset(plus);
  img.checksum_offset = g.e_lfanew + kPeHeaderSize + 64;

  // Sections in order; each one's contents may depend on the RVAs of those before it.
  std::vector<Section> sections;
  TextInfo text;
  const bool has_debug_sections = o.layout == Layout::resources_then_reloc_debug;
  const std::uint32_t debug_entries =
      o.debug_directory ? 1U + (has_debug_sections ? 1U : 0U) + (o.coff_symbols != 0 ? 1U : 0U)
                        : 0U;
  std::uint32_t data_va = 0;
  std::uint32_t reloc_size = 0;
  std::uint32_t rsrc_dir_rva = 0;
  std::uint32_t rsrc_dir_size = 0;
  std::uint32_t va =
      align(g.size_of_headers, o.section_alignment) + align(o.address_gap, o.section_alignment);
  std::uint32_t raw = align(g.size_of_headers, o.file_alignment);
  for (Kind k : kinds) {
    Section s;
    s.va = va;
    switch (k) {
      case Kind::text:
        s.name = ".text";
        s.data = make_text(plus, va, debug_entries, text);
        s.characteristics = kTextFlags;
        img.entry_point = va;
        break;
      case Kind::data:
        s.name = ".data";
        s.data = make_data(plus, va, img.entry_point);
        s.characteristics = kDataFlags;
        data_va = va;
        break;
      case Kind::reloc:
        s.name = ".reloc";
        s.data = make_reloc(plus, {data_va, data_va + (plus ? 8U : 4U)});
        reloc_size = static_cast<std::uint32_t>(s.data.size());
        s.characteristics = kRelocFlags;
        break;
      case Kind::rsrc: {
        s.name = ".rsrc";
        s.characteristics = kRsrcFlags;
        img.rsrc_rva = va;
        rsrc_dir_rva = va + o.resource_dir_offset;
        if (o.raw_resource_section) {
          s.data = o.raw_resource_section(va);
          rsrc_dir_size =
              o.raw_resource_dir_size != 0
                  ? o.raw_resource_dir_size
                  : static_cast<std::uint32_t>(s.data.size()) -
                        std::min<std::uint32_t>(o.resource_dir_offset,
                                                static_cast<std::uint32_t>(s.data.size()));
        } else {
          s.data = pattern(o.resource_dir_offset, 0xE1);
          const Bytes tree = encode_resource_section(o.resources, rsrc_dir_rva);
          rsrc_dir_size = static_cast<std::uint32_t>(tree.size());
          s.data.insert(s.data.end(), tree.begin(), tree.end());
          s.data.resize(s.data.size() + o.resource_slack, 0);
        }
        break;
      }
      case Kind::debug1:
        s.name = "/4";
        s.data = pattern(0x30, 0x51);
        s.characteristics = kDebugFlags;
        break;
      case Kind::debug2:
        s.name = "/19";
        s.data = pattern(0x50, 0x71);
        s.characteristics = kDebugFlags;
        break;
    }
    s.virtual_size = static_cast<std::uint32_t>(s.data.size());
    if (k == Kind::rsrc && o.resource_virtual_size != 0) s.virtual_size = o.resource_virtual_size;
    s.raw_size = align(static_cast<std::uint32_t>(s.data.size()), o.file_alignment);
    s.raw_ptr = s.raw_size == 0 ? 0 : raw;
    raw += s.raw_size;
    va += align(std::max<std::uint32_t>(s.virtual_size, 1), o.section_alignment);
    sections.push_back(std::move(s));
  }
  const std::uint32_t size_of_image = va;
  img.end_of_sections = raw;

  // Trailing data: COFF symbols and strings, the overlay, then the certificate.
  Bytes tail;
  if (o.coff_symbols != 0) {
    img.symbol_table_offset = raw;
    Bytes strings(4, 0);
    for (const char* n : kDebugLongNames) {
      append_str(strings, n);
      strings.push_back(0);
    }
    for (std::uint32_t i = 0; i < o.coff_symbols; ++i) {
      Bytes rec(kSymbolSize, 0);
      if (i % 2 == 0) {
        const std::string n = "_s" + std::to_string(i);
        put_name(rec, 0, n.substr(0, 8));
      } else {
        // A long name: zeros, then the offset into the string table.
        put32(rec, 4, static_cast<std::uint32_t>(strings.size()));
        append_str(strings, "_a_rather_long_symbol_name_" + std::to_string(i));
        strings.push_back(0);
      }
      put32(rec, 8, i * 4);  // Value
      put16(rec, 12, 1);     // SectionNumber: .text
      put16(rec, 14, 0x20);  // Type: function
      rec[16] = 2;           // StorageClass: external
      tail.insert(tail.end(), rec.begin(), rec.end());
    }
    put32(strings, 0, static_cast<std::uint32_t>(strings.size()));
    tail.insert(tail.end(), strings.begin(), strings.end());
  }
  img.overlay_offset = raw + tail.size();
  tail.insert(tail.end(), o.overlay.begin(), o.overlay.end());
  if (!o.certificate.empty()) {
    while ((raw + tail.size()) % 8 != 0) tail.push_back(0);
    img.certificate_offset = raw + tail.size();
    Bytes cert;
    append32(cert, static_cast<std::uint32_t>(8 + o.certificate.size()));  // dwLength
    append16(cert, 0x0200);                                                // WIN_CERT_REVISION_2_0
    append16(cert, 0x0002);  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
    cert.insert(cert.end(), o.certificate.begin(), o.certificate.end());
    pad_to(cert, 8);
    img.certificate_size = static_cast<std::uint32_t>(cert.size());
    tail.insert(tail.end(), cert.begin(), cert.end());
  }

  Bytes& b = img.bytes;
  b.assign(raw + tail.size(), 0);

  // DOS header and stub.
  b[0] = 'M';
  b[1] = 'Z';
  put16(b, 2, 0x90);
  put16(b, 4, 3);
  put16(b, 8, 4);
  put16(b, 0x0C, 0xFFFF);
  put16(b, 0x10, 0xB8);
  put16(b, 0x18, 0x40);
  put32(b, 0x3C, g.e_lfanew);
  const std::string stub = "This program cannot be run in DOS mode.\r\r\n$";
  const Bytes stub_code = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09,
                           0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
  std::size_t stub_room = g.e_lfanew - 0x40;
  if (stub_room >= stub_code.size()) {
    put_bytes(b, 0x40, stub_code.data(), stub_code.size());
    put_bytes(b, 0x40 + stub_code.size(), stub.data(),
              std::min(stub.size(), stub_room - stub_code.size()));
  }

  // PE signature and COFF file header.
  const std::uint32_t pe = g.e_lfanew;
  b[pe] = 'P';
  b[pe + 1] = 'E';
  const std::uint16_t machine = o.machine != 0 ? o.machine : (plus ? 0x8664 : 0x14C);
  put16(b, pe + 4, machine);
  put16(b, pe + 6, static_cast<std::uint16_t>(sections.size()));
  put32(b, pe + 8, 0);  // TimeDateStamp: deterministic
  put32(b, pe + 12, static_cast<std::uint32_t>(img.symbol_table_offset));
  put32(b, pe + 16, o.coff_symbols);
  put16(b, pe + 20, static_cast<std::uint16_t>(g.optional_size));
  put16(b, pe + 22, plus ? 0x0022 : 0x0102);  // executable; large-address-aware / 32-bit machine

  // Optional header.
  const std::uint32_t opt = pe + kPeHeaderSize;
  std::uint32_t size_of_code = 0;
  std::uint32_t size_of_init = 0;
  for (const Section& s : sections) {
    if ((s.characteristics & 0x20) != 0) size_of_code += s.raw_size;
    if ((s.characteristics & 0x40) != 0) size_of_init += s.raw_size;
  }
  put16(b, opt, plus ? 0x20B : 0x10B);
  b[opt + 2] = 2;  // linker version
  b[opt + 3] = 38;
  put32(b, opt + 4, size_of_code);
  put32(b, opt + 8, size_of_init);
  put32(b, opt + 16, img.entry_point);
  put32(b, opt + 20, sections.front().va);  // BaseOfCode
  if (plus) {
    put64(b, opt + 24, image_base(true));
  } else {
    put32(b, opt + 24, data_va);  // BaseOfData
    put32(b, opt + 28, static_cast<std::uint32_t>(image_base(false)));
  }
  put32(b, opt + 32, o.section_alignment);
  put32(b, opt + 36, o.file_alignment);
  put16(b, opt + 40, 4);  // MajorOperatingSystemVersion
  put16(b, opt + 48, 5);  // MajorSubsystemVersion
  put16(b, opt + 50, plus ? 2 : 1);
  put32(b, opt + 56, size_of_image);
  put32(b, opt + 60, g.size_of_headers);
  put16(b, opt + 68, 3);  // console subsystem
  put16(b, opt + 70, static_cast<std::uint16_t>(plus ? 0x0160 : 0x0140));
  if (plus) {
    put64(b, opt + 72, 0x200000);
    put64(b, opt + 80, 0x1000);
    put64(b, opt + 88, 0x100000);
    put64(b, opt + 96, 0x1000);
    put32(b, opt + 108, o.number_of_rva_and_sizes);
  } else {
    put32(b, opt + 72, 0x200000);
    put32(b, opt + 76, 0x1000);
    put32(b, opt + 80, 0x100000);
    put32(b, opt + 84, 0x1000);
    put32(b, opt + 92, o.number_of_rva_and_sizes);
  }
  // Only directories the image declares get written; the rest stay outside the header.
  auto set_dir = [&](std::uint32_t index, std::uint32_t addr, std::uint32_t size) {
    if (index >= o.number_of_rva_and_sizes) return;
    put32(b, img.data_directories_offset + 8 * index, addr);
    put32(b, img.data_directories_offset + 8 * index + 4, size);
  };
  const std::uint32_t text_va = sections.front().va;
  set_dir(1, text_va + text.import_dir, text.import_size);
  if (img.rsrc_rva) set_dir(2, rsrc_dir_rva, rsrc_dir_size);
  if (img.certificate_offset != 0) {
    if (o.number_of_rva_and_sizes <= 4)
      throw std::invalid_argument("pe_builder: certificate needs directory 4");
    set_dir(4, static_cast<std::uint32_t>(img.certificate_offset), img.certificate_size);
  }
  for (const Section& s : sections) {
    if (s.name == ".reloc") set_dir(5, s.va, reloc_size);
  }
  set_dir(12, text_va + text.iat, text.iat_size);
  // Section table and raw data.
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    const std::size_t h = g.section_table + kSectionHeaderSize * i;
    put_name(b, h, s.name);
    put32(b, h + 8, s.virtual_size);
    put32(b, h + 12, s.va);
    put32(b, h + 16, s.raw_size);
    put32(b, h + 20, s.raw_ptr);
    put32(b, h + 36, s.characteristics);
    if (!s.data.empty()) put_bytes(b, s.raw_ptr, s.data.data(), s.data.size());
    img.sections.push_back(
        BuiltSection{s.name, s.va, s.virtual_size, s.raw_ptr, s.raw_size, s.characteristics});
  }
  if (!tail.empty()) put_bytes(b, raw, tail.data(), tail.size());

  if (debug_entries != 0) {
    img.debug_directory_rva = text_va + text.debug_dir;
    img.debug_entries = debug_entries;
    set_dir(6, img.debug_directory_rva, kDebugEntrySize * debug_entries);
    struct Entry {
      std::uint32_t type, size, rva, ptr;
    };
    std::vector<Entry> entries = {
        {2, text.codeview_size, text_va + text.codeview, sections.front().raw_ptr + text.codeview}};
    if (has_debug_sections) {
      const Section& dbg = sections[4];  // "/4"
      entries.push_back({2, 0x18, dbg.va + 8, dbg.raw_ptr + 8});
    }
    if (o.coff_symbols != 0) {
      // The COFF entry has no address: the symbol table is not mapped.
      entries.push_back({1,
                         static_cast<std::uint32_t>(img.overlay_offset - img.symbol_table_offset),
                         0, static_cast<std::uint32_t>(img.symbol_table_offset)});
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::size_t e = sections.front().raw_ptr + text.debug_dir + kDebugEntrySize * i;
      put32(b, e + 12, entries[i].type);
      put32(b, e + 16, entries[i].size);
      put32(b, e + 20, entries[i].rva);
      put32(b, e + 24, entries[i].ptr);
    }
  }

  if (o.checksum)
    put32(b, img.checksum_offset, pe_checksum(b, img.checksum_offset) + o.checksum_error);
  return img;
}

std::uint32_t pe_checksum(const Bytes& image, std::uint64_t checksum_offset) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < image.size(); i += 2) {
    if (i >= checksum_offset && i < checksum_offset + 4) continue;
    std::uint32_t word = image[i];
    if (i + 1 < image.size()) word |= static_cast<std::uint32_t>(image[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + image.size());
}

void put16(Bytes& b, std::size_t off, std::uint16_t v) {
  const std::uint8_t raw[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
  put_bytes(b, off, raw, 2);
}
void put32(Bytes& b, std::size_t off, std::uint32_t v) {
  put16(b, off, static_cast<std::uint16_t>(v));
  put16(b, off + 2, static_cast<std::uint16_t>(v >> 16));
}
void put64(Bytes& b, std::size_t off, std::uint64_t v) {
  put32(b, off, static_cast<std::uint32_t>(v));
  put32(b, off + 4, static_cast<std::uint32_t>(v >> 32));
}
std::uint16_t get16(const Bytes& b, std::size_t off) {
  if (off + 2 > b.size()) throw std::out_of_range("get16 past the end");
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
std::uint32_t get32(const Bytes& b, std::size_t off) {
  return get16(b, off) | (static_cast<std::uint32_t>(get16(b, off + 2)) << 16);
}
std::uint64_t get64(const Bytes& b, std::size_t off) {
  return get32(b, off) | (static_cast<std::uint64_t>(get32(b, off + 4)) << 32);
}

TempDir::TempDir() {
  const char* env = std::getenv("TMPDIR");
  std::string base = env != nullptr && *env != '\0' ? env : "/tmp";
  std::string templ = base + "/tarvisk-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr)
    throw std::runtime_error("cannot create a temporary directory under " + base);
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create " + path);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tarvisk_test
