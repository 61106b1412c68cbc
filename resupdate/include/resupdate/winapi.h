// The Windows-shaped resource-update calls, for systems that have no such service.
// Declares the same names, types and macros as <windows.h> for what the tool uses.
#pragma once

#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using HANDLE = void*;
using LPVOID = void*;
using LPSTR = char*;
using LPCSTR = const char*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE(i) MAKEINTRESOURCEA(i)
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)
#define RT_MANIFEST MAKEINTRESOURCE(24)
#define CREATEPROCESS_MANIFEST_RESOURCE_ID MAKEINTRESOURCE(1)
#define LANG_NEUTRAL 0x00
#define SUBLANG_NEUTRAL 0x00
#define MAKELANGID(p, s) (static_cast<WORD>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p)))

// Opens `pFileName` for a resource update; NULL on failure (see GetLastError).
HANDLE BeginUpdateResourceA(LPCSTR pFileName, BOOL bDeleteExistingResources);
// Adds, replaces or (with lpData NULL and cb 0) deletes one resource in the pending update.
BOOL UpdateResourceA(HANDLE hUpdate, LPCSTR lpType, LPCSTR lpName, WORD wLanguage, LPVOID lpData,
                     DWORD cb);
// Writes the pending update (unless fDiscard) and frees the handle in every case.
BOOL EndUpdateResourceA(HANDLE hUpdate, BOOL fDiscard);
// The code of the last failure in this thread.
DWORD GetLastError();
// Sets the code GetLastError returns.
void SetLastError(DWORD dwErrCode);
