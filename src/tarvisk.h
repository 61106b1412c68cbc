// Tarvisk: stores a manifest file's bytes as an executable image's RT_MANIFEST resource.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(TARVISK_OWN_SERVICE)
#include <windows.h>
#else
#include <resupdate/winapi.h>
#endif

// The manifest file's whole content. `bytes` is a malloc'd block that is never null, even for
// an empty file, because the update call tells "store empty bytes" from "delete" by the pointer.
struct manifest_payload {
  unsigned char* bytes;
  std::int32_t length;
};

// Reads the file at `manifest_path` whole into `payload`. On failure it has written its
// message to stderr, closed the file and released the block, and `payload` is left untouched.
[[nodiscard]] bool load_manifest(const char* manifest_path, manifest_payload& payload);

// Stores the payload as resource type 24, name 1, language 0 of the image at
// `executable_path`. On failure it has written its message to stderr. The payload stays
// with the caller.
[[nodiscard]] bool update_manifest_resource(const char* executable_path,
                                            const manifest_payload& payload);
