// Builds small PE32 and PE32+ images in memory with the layout a test asks for.
//
// The encoding here is written independently of the resupdate core on purpose: a fault in
// the core's encoder must not be able to hide itself by also shaping the test inputs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvisk_test {

using Bytes = std::vector<std::uint8_t>;

// A resource type or name: an integer identifier or a UTF-16 string.
struct ResId {
  bool named = false;
  std::uint16_t id = 0;
  std::u16string name;

  [[nodiscard]] static ResId num(std::uint16_t n) { return ResId{false, n, {}}; }
  [[nodiscard]] static ResId str(std::u16string s) { return ResId{true, 0, std::move(s)}; }
  friend bool operator==(const ResId&, const ResId&) = default;
};

// The order the loader's binary search relies on: strings first (ordinal UTF-16, a shorter
// prefix first), then integers ascending.
[[nodiscard]] bool res_id_less(const ResId& a, const ResId& b) noexcept;

struct TestResource {
  ResId type;
  ResId name;
  std::uint16_t language = 0;
  Bytes data;
  std::uint32_t code_page = 0;
};

inline constexpr std::uint16_t kRtManifest = 24;

// A manifest-like resource at 24/name/language holding `text`.
[[nodiscard]] TestResource manifest(std::uint16_t name, std::uint16_t language,
                                    const std::string& text);
// Bytes of a short, valid application manifest (distinct per `tag`).
[[nodiscard]] Bytes manifest_bytes(const std::string& tag = "app");
// Manifests an image often carries already: 24/1/0, 24/1/1033 (code page 1252) and 24/2/0.
[[nodiscard]] std::vector<TestResource> existing_manifests();

// Which sections follow the resource section; every layout has .text first.
enum class Layout {
  no_resources,                // .text .data .reloc
  resources_last,              // .text .data .reloc .rsrc
  resources_then_reloc,        // .text .data .rsrc .reloc
  resources_then_reloc_debug,  // .text .data .rsrc .reloc /4 /19 (discardable debug sections)
  resources_then_data,         // .text .rsrc .data .reloc (.data is writable: it cannot move)
};

[[nodiscard]] const char* layout_name(Layout layout) noexcept;
inline constexpr Layout kAllLayouts[] = {
    Layout::no_resources, Layout::resources_last, Layout::resources_then_reloc,
    Layout::resources_then_reloc_debug, Layout::resources_then_data};

struct PeOptions {
  bool pe32_plus = false;
  std::uint16_t machine = 0;  // 0: 0x14c for PE32, 0x8664 for PE32+
  std::uint32_t file_alignment = 0x200;
  std::uint32_t section_alignment = 0x1000;
  std::uint32_t number_of_rva_and_sizes = 16;
  // Address space left unused before the first section. With equal alignments the sections
  // then lie above their file offsets instead of at them, as in EFI stubs.
  std::uint32_t address_gap = 0;
  // Room for one more section header before the first section's raw data. Without it the
  // first section starts right after the section table (its offset rounded to FileAlignment).
  bool header_room = true;
  // Store a correct nonzero CheckSum (otherwise 0), plus this much to make it stale.
  bool checksum = false;
  std::uint32_t checksum_error = 0;
  Layout layout = Layout::resources_last;

  // The resources to encode (any order; the builder sorts them as the loader expects).
  std::vector<TestResource> resources;
  // Bytes of padding in the resource section before the resource directory.
  std::uint32_t resource_dir_offset = 0;
  // Extra zero bytes of raw data in the resource section after the tree (room to grow in place).
  std::uint32_t resource_slack = 0;
  // Replaces the encoded resource section: called with the section's RVA, returns its bytes
  // verbatim. Data directory 2 then points at the section start (plus resource_dir_offset)
  // with the returned size (or raw_resource_dir_size when nonzero).
  std::function<Bytes(std::uint32_t rva)> raw_resource_section;
  std::uint32_t raw_resource_dir_size = 0;
  // When nonzero, the resource section's VirtualSize; bytes past its raw data then read as
  // zeros. Raw data stays the section bytes rounded up to FileAlignment.
  std::uint32_t resource_virtual_size = 0;

  // Appended after the last section's raw data (after the COFF symbol table, if any).
  Bytes overlay;
  // A COFF symbol table of this many 18-byte records plus a string table, right after the
  // sections; PointerToSymbolTable/NumberOfSymbols point at it. 0: none.
  std::uint32_t coff_symbols = 0;
  // A debug directory (data directory 6) in .text with a CodeView entry whose data is in .text,
  // plus, as linkers write them, an entry for data in the discardable debug section "/4"
  // (layout resources_then_reloc_debug) and a COFF entry for the symbol table (coff_symbols).
  bool debug_directory = false;
  // A WIN_CERTIFICATE blob holding these bytes, 8-aligned, at the very end of the file, with
  // data directory 4 giving its file offset and size. Empty: none.
  Bytes certificate;
};

struct BuiltSection {
  std::string name;
  std::uint32_t virtual_address = 0;
  std::uint32_t virtual_size = 0;
  std::uint32_t pointer_to_raw_data = 0;
  std::uint32_t size_of_raw_data = 0;
  std::uint32_t characteristics = 0;
};

// The image and where the builder put things, for tests that poke at it.
struct BuiltImage {
  Bytes bytes;
  std::vector<BuiltSection> sections;
  std::uint32_t size_of_headers = 0;
  std::uint32_t checksum_offset = 0;  // file offset of the CheckSum field
  std::uint32_t data_directories_offset = 0;
  std::uint32_t section_table_offset = 0;
  std::uint32_t entry_point = 0;
  std::optional<std::uint32_t> rsrc_rva;  // RVA of the resource section, when there is one
  std::uint64_t end_of_sections = 0;      // file offset where the sections' raw data ends
  std::uint64_t symbol_table_offset = 0;  // 0: none
  std::uint64_t overlay_offset = 0;       // start of `overlay` bytes
  std::uint64_t certificate_offset = 0;   // 0: none
  std::uint32_t certificate_size = 0;
  std::uint32_t debug_directory_rva = 0;  // 0: none
  std::uint32_t debug_entries = 0;
};

// The RVA the resource section gets under `options` (the layout does not depend on the
// resource bytes before it), so a test can build a raw section against it.
[[nodiscard]] std::uint32_t planned_rsrc_rva(const PeOptions& options);

[[nodiscard]] BuiltImage build_pe(const PeOptions& options);
[[nodiscard]] inline Bytes build_pe_bytes(const PeOptions& options) {
  return build_pe(options).bytes;
}

// Encodes a resource tree (directories, data entries, strings, then blobs 8-aligned) whose
// first byte lies at `base_rva`.
[[nodiscard]] Bytes encode_resource_section(const std::vector<TestResource>& resources,
                                            std::uint32_t base_rva);

// The PE checksum of `image`, with the field at `checksum_offset` counted as 0.
[[nodiscard]] std::uint32_t pe_checksum(const Bytes& image, std::uint64_t checksum_offset);

// Little-endian helpers for building bytes by hand.
void put16(Bytes& b, std::size_t off, std::uint16_t v);
void put32(Bytes& b, std::size_t off, std::uint32_t v);
void put64(Bytes& b, std::size_t off, std::uint64_t v);
[[nodiscard]] std::uint16_t get16(const Bytes& b, std::size_t off);
[[nodiscard]] std::uint32_t get32(const Bytes& b, std::size_t off);
[[nodiscard]] std::uint64_t get64(const Bytes& b, std::size_t off);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  // `path()/name`.
  [[nodiscard]] std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers; they throw std::runtime_error on failure (tests only).
void write_file(const std::string& path, const Bytes& bytes);
[[nodiscard]] Bytes read_file(const std::string& path);

}  // namespace tarvisk_test
