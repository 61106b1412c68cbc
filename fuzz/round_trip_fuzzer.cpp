// Fuzz target: the whole update on an image in memory (open, change the resources, write),
// with the written image read back by the core, checked by the invariant checker, and its
// carried checksum held against a full sum.
#include <string>

#include "fuzz_support.h"
#include "invariants.h"
#include "resupdate/image_editor.h"
#include "resupdate/image_writer.h"
#include "resupdate/source.h"

using namespace resupdate;
using tarvisk_fuzz::violated;

namespace {

// Images whose resources or output are larger than this are planned but not written: a few
// bytes of headers may legally describe gigabytes of zero-filled sections.
constexpr std::uint64_t kMaxResources = 2U << 20;
constexpr std::uint64_t kMaxImage = 4U << 20;
// The invariant checker copies a whole section for every range it compares.
constexpr std::uint64_t kMaxCheckedSection = 1U << 20;

std::uint32_t fnv1a(const std::uint8_t* data, std::size_t size) {
  std::uint32_t h = 2166136261U;
  for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619U;
  return h;
}

tarvisk_test::ResId to_test(const ResourceId& id) {
  return id.named ? tarvisk_test::ResId::str(id.name) : tarvisk_test::ResId::num(id.id);
}

// Failures a rewrite may report for an image it accepted: no layout fits, or too large.
bool acceptable_refusal(Errc code) {
  return code == Errc::not_supported || code == Errc::file_too_large ||
         code == Errc::not_enough_memory;
}

std::uint32_t full_checksum(const Bytes& image, std::uint64_t field) {
  PeChecksum sum(field);
  sum.update(image);
  return sum.finish();
}

std::uint32_t u32_at(const Bytes& image, std::uint64_t at) {
  std::uint32_t v = 0;
  (void)ByteReader(image).u32(at, v);
  return v;
}

// The checksum carried over from the old image's is right where that was right and off by as
// much (or by that and one wrap of the folded sum) where it was off, whatever the image: a full
// sum of both tells.
void check_carried_checksum(const Bytes& original, const Bytes& output, const ImagePlan& plan) {
  const std::uint32_t was_off = u32_at(original, plan.old_checksum_offset) -
                                full_checksum(original, plan.old_checksum_offset);
  const std::uint32_t is_off =
      u32_at(output, *plan.checksum_offset) - full_checksum(output, *plan.checksum_offset);
  const auto moved = static_cast<std::int32_t>(is_off - was_off);
  if (was_off == 0 ? is_off != 0 : moved != 0 && moved != 0xffff && moved != -0xffff)
    violated("the checksum is off by " + std::to_string(is_off) + ", the old one by " +
             std::to_string(was_off));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes original(data, data + size);
  auto src = std::make_shared<MemorySource>(ByteSpan(original));
  // The change depends on the input, so that one corpus explores adds, replacements and
  // removals, integer and string keys, empty and odd-sized blobs, and emptied trees.
  const std::uint32_t h = fnv1a(data, size);
  const bool delete_existing = (h & 0x80000) != 0;
  auto opened = ImageEditor::open(src, delete_existing);
  if (!opened) {
    const Errc code = opened.error().code;
    if (code != Errc::bad_exe_format && code != Errc::file_invalid && code != Errc::invalid_data)
      violated("open failed with an unexpected code: " + opened.error().detail);
    return 0;
  }
  ImageEditor& editor = *opened;

  if ((h & 0x40000) != 0) {
    while (!editor.resources().empty()) (void)editor.erase(editor.resources().begin()->first);
  }
  const ResourceKey manifest{ResourceId::number(24), ResourceId::number(1), 0};
  if ((h & 0x140000) != 0x140000)
    editor.put(manifest, Bytes(h % 301, static_cast<std::uint8_t>(h >> 8)));
  if ((h & 0x10000) != 0)
    editor.put(ResourceKey{ResourceId::string(u"FUZZ"), ResourceId::string(u"Z"), 7},
               Bytes{1, 2, 3});
  if ((h & 0x20000) != 0 && editor.resources().size() > 1) {
    const ResourceKey first = editor.resources().begin()->first;
    if (!editor.erase(first)) violated("a listed resource could not be erased");
  }

  std::uint64_t total = 0;
  for (const auto& entry : editor.resources()) total += entry.second.size();
  if (total > kMaxResources) return 0;

  auto plan = plan_edit(editor);
  if (!plan) {
    if (!acceptable_refusal(plan.error().code))
      violated("planning failed with an unexpected code: " + plan.error().detail);
    return 0;
  }
  if (plan->size > kMaxImage) return 0;
  MemorySink sink;
  if (Status s = write_image(*plan, editor.source(), sink); !s)
    violated("writing a planned image failed: " + s.error().detail);
  const Bytes output = sink.take();
  const MemorySource written{ByteSpan(output)};
  if (plan->checksum_offset) check_carried_checksum(original, output, *plan);
  if (Status s = verify_image(written, *plan, editor.resources(), editor.source()); !s)
    violated("the written image does not verify: " + s.error().detail);

  std::vector<tarvisk_test::TestResource> intended;
  for (const auto& [key, res] : editor.resources()) {
    auto bytes = res.load(editor.source());
    if (!bytes) violated("an accepted resource cannot be loaded: " + bytes.error().detail);
    intended.push_back({to_test(key.type), to_test(key.name), key.language,
                        std::move(bytes).value(), res.code_page});
  }

  // The invariant checker holds an image to the rules a linker's output keeps. An input that
  // breaks them already (overlapping sections, an unaligned table, a tree in the middle of
  // its section) cannot be held to them after the rewrite; the resources still must be right.
  // (With delete_existing the old tree was never read, and may not be readable.)
  std::vector<tarvisk_test::TestResource> before;
  const auto reopened = ImageEditor::open(src, false);
  // The resources the change removed were never measured: gigabytes of them may be zero-filled.
  std::uint64_t total_before = 0;
  if (reopened) {
    for (const auto& entry : reopened->resources()) total_before += entry.second.size();
  }
  if (reopened && total_before <= kMaxResources) {
    for (const auto& [key, res] : reopened->resources()) {
      auto bytes = res.load(*src);
      if (!bytes) violated("a decoded resource cannot be loaded: " + bytes.error().detail);
      before.push_back({to_test(key.type), to_test(key.name), key.language,
                        std::move(bytes).value(), res.code_page});
    }
  }
  // The checker maps each section whole in memory, once per range it compares, so images with
  // large sections (often megabytes of zeros) are left to the core's own read-back.
  bool small_sections = true;
  for (const SectionHeader& s : editor.image().sections())
    small_sections = small_sections && s.mapped_size() <= kMaxCheckedSection;
  // Held against itself, an image with a certificate table breaks the two rules about it
  // (the table must go); those say nothing about how well-formed it is.
  // A directory lying over the headers the rewrite must patch (a bound import table at rva 0,
  // say) cannot keep its contents; the checker would rightly see them change.
  bool clear_headers = true;
  const std::uint64_t patched_end = editor.image().fields().section_table_end + kSectionHeaderSize;
  for (const DataDirectory& d : editor.image().directories())
    clear_headers = clear_headers && (d.empty() || d.VirtualAddress >= patched_end);
  // The checker expects a COFF symbol table past the sections to move exactly as far as the
  // sections' end does; one that lies past a certificate (which the rewrite cuts out) or past
  // the end of the file moves otherwise, and rightly so.
  const PeImage& img = editor.image();
  const DataDirectory cert = img.directory(kDirSecurity);
  const bool plain_symbols = img.PointerToSymbolTable < img.file_size() &&
                             (cert.empty() || img.PointerToSymbolTable < cert.VirtualAddress);
  // A section named .rsrc that does not hold the resource directory is renamed when a new
  // one is added (one .rsrc only), which the checker allows only to the section holding it.
  const DataDirectory res = img.directory(kDirResource);
  const auto r = res.VirtualAddress != 0 ? img.section_of(Rva{res.VirtualAddress}) : std::nullopt;
  bool named_rsrc_holds_tree = true;
  for (std::size_t i = 0; i < img.sections().size(); ++i)
    named_rsrc_holds_tree =
        named_rsrc_holds_tree && (!img.sections()[i].name_is(".rsrc") || r == i);
  bool well_formed = small_sections && clear_headers && plain_symbols && named_rsrc_holds_tree &&
                     reopened.ok() && total_before <= kMaxResources;
  for (const std::string& v : well_formed
                                  ? tarvisk_test::check_invariants(original, original, before)
                                  : std::vector<std::string>{})
    well_formed =
        well_formed && (v.starts_with("certificate table") || v.starts_with("overlay not kept"));
  std::vector<std::string> broken;
  if (well_formed) {
    broken = tarvisk_test::check_invariants(original, output, intended);
  } else {
    std::string error;
    const auto got = tarvisk_test::read_resources(output, &error);
    if (!error.empty()) broken.push_back("the written tree does not read back: " + error);
    else if (got.size() != intended.size())
      broken.push_back("the written image holds a different number of resources");
  }
  if (!broken.empty()) {
    std::string all;
    for (const std::string& b : broken) all += "\n  - " + b;
    violated("invariants broken by a rewrite:" + all);
  }
  return 0;
}
