// The Windows-shaped calls over the core: handles, argument rules and the last-error code.
#include "resupdate/winapi.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_set>

#include "resupdate/image_editor.h"

using resupdate::Errc;

namespace {

thread_local DWORD g_last_error = 0;

struct PendingUpdate {
  std::optional<resupdate::ImageEditor> editor;  // opened on the file it replaces
};

// Live handles, so a handle already ended (or never issued) is refused instead of followed.
std::mutex g_handles_mutex;
std::unordered_set<PendingUpdate*>& live_handles() {
  static std::unordered_set<PendingUpdate*> handles;
  return handles;
}

bool is_live(PendingUpdate* p) {
  std::lock_guard<std::mutex> lock(g_handles_mutex);
  return live_handles().count(p) != 0;
}

BOOL fail(Errc code) {
  g_last_error = static_cast<DWORD>(code);
  return FALSE;
}

// An integer identifier, "#123", or a string stored upper-cased.
std::optional<resupdate::ResourceId> resource_id(LPCSTR s) {
  if (s == nullptr) return std::nullopt;
  if (IS_INTRESOURCE(s))
    return resupdate::ResourceId::number(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(s)));
  if (s[0] == '#') {
    const std::size_t n = std::strlen(s + 1);
    if (n == 0 || n > 5) return std::nullopt;
    unsigned long v = 0;
    for (std::size_t i = 1; i <= n; ++i) {
      if (s[i] < '0' || s[i] > '9') return std::nullopt;
      v = v * 10 + static_cast<unsigned long>(s[i] - '0');
    }
    if (v > 0xffff) return std::nullopt;
    return resupdate::ResourceId::number(static_cast<WORD>(v));
  }
  return resupdate::ResourceId::string(resupdate::resource_string_from_narrow(s));
}

}  // namespace

DWORD GetLastError() { return g_last_error; }
void SetLastError(DWORD dwErrCode) { g_last_error = dwErrCode; }

HANDLE BeginUpdateResourceA(LPCSTR pFileName, BOOL bDeleteExistingResources) {
  if (pFileName == nullptr) {
    fail(Errc::invalid_parameter);
    return nullptr;
  }
  try {
    auto editor = resupdate::ImageEditor::open_file(pFileName, bDeleteExistingResources != FALSE);
    if (!editor) {
      fail(editor.error().code);
      return nullptr;
    }
    auto update = std::make_unique<PendingUpdate>();
    update->editor.emplace(std::move(editor).value());
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    live_handles().insert(update.get());
    return update.release();
  } catch (const std::bad_alloc&) {
    fail(Errc::not_enough_memory);
    return nullptr;
  }
}

BOOL UpdateResourceA(HANDLE hUpdate, LPCSTR lpType, LPCSTR lpName, WORD wLanguage, LPVOID lpData,
                     DWORD cb) {
  auto* update = static_cast<PendingUpdate*>(hUpdate);
  if (update == nullptr || !is_live(update)) return fail(Errc::invalid_handle);
  const auto type = resource_id(lpType);
  const auto name = resource_id(lpName);
  if (!type || !name) return fail(Errc::invalid_parameter);
  const resupdate::ResourceKey key{*type, *name, wLanguage};
  if (lpData == nullptr) {
    if (cb != 0) return fail(Errc::invalid_parameter);
    update->editor->erase(key);
    return TRUE;
  }
  try {
    const auto* bytes = static_cast<const std::uint8_t*>(lpData);
    update->editor->put(key, resupdate::Bytes(bytes, bytes + cb));
  } catch (const std::bad_alloc&) {
    return fail(Errc::not_enough_memory);
  }
  return TRUE;
}

BOOL EndUpdateResourceA(HANDLE hUpdate, BOOL fDiscard) {
  auto* raw = static_cast<PendingUpdate*>(hUpdate);
  {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    if (raw == nullptr || live_handles().erase(raw) == 0) return fail(Errc::invalid_handle);
  }
  const std::unique_ptr<PendingUpdate> update(raw);
  if (fDiscard != FALSE) return TRUE;
  const resupdate::Status done = update->editor->commit();
  if (!done) return fail(done.error().code);
  return TRUE;
}
