// Stores the manifest in the image through the resource-update calls.
#include <cstdio>

#include "tarvisk.h"

namespace {

void report_update_failure(DWORD code) {
  // DWORD is unsigned long on Windows and unsigned int elsewhere; the code is 32 bits on both.
  std::fprintf(stderr, "Error %x updating resource\n", static_cast<unsigned int>(code));
}

}  // namespace

bool update_manifest_resource(const char* executable_path, const manifest_payload& payload) {
  HANDLE update = BeginUpdateResourceA(executable_path, FALSE);
  if (update == nullptr) {
    std::fprintf(stderr, "Error trying to open executable image '%s'\n", executable_path);
    return false;
  }

  const bool stored = UpdateResourceA(update, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), payload.bytes,
                                      static_cast<DWORD>(payload.length)) != FALSE;
  if (!stored) report_update_failure(GetLastError());

  // Ended on both outcomes: the handle must be released exactly once. After a refused entry it
  // is discarded, since writing would rewrite the image (dropping a signature, say) for a run
  // that reports failure. Only ending the update writes the image, so its failure is a failed
  // run too; one message per run is enough.
  const bool written = EndUpdateResourceA(update, stored ? FALSE : TRUE) != FALSE;
  if (!written) {
    const DWORD code = GetLastError();
    if (stored) report_update_failure(code);
  }
  return stored && written;
}
