/* Tarvisk's bundled example: a console program that prints its own manifest resource. */

/* Built without a C library or Windows SDK headers, so the few kernel32 calls are declared
   here by hand. */
typedef void *HANDLE;
typedef unsigned long DWORD;
typedef int BOOL;

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define RT_MANIFEST ((const char *)24)
#define MANIFEST_ID ((const char *)1)

__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE file, const void *data, DWORD size, DWORD *written,
                                               void *overlapped);
__declspec(dllimport) HANDLE __stdcall FindResourceA(HANDLE module, const char *name, const char *type);
__declspec(dllimport) HANDLE __stdcall LoadResource(HANDLE module, HANDLE info);
__declspec(dllimport) void *__stdcall LockResource(HANDLE loaded);
__declspec(dllimport) DWORD __stdcall SizeofResource(HANDLE module, HANDLE info);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);

static void say(HANDLE out, const char *text) {
  DWORD length = 0;
  DWORD written = 0;
  while (text[length] != '\0') ++length;
  WriteFile(out, text, length, &written, 0);
}

void __stdcall start(void) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE info = FindResourceA(0, MANIFEST_ID, RT_MANIFEST);
  DWORD written = 0;
  say(out, "Hello from the Tarvisk example.\r\n");
  if (info == 0) {
    say(out, "I have no manifest yet.\r\n");
    ExitProcess(1);
  }
  say(out, "My manifest:\r\n");
  WriteFile(out, LockResource(LoadResource(0, info)), SizeofResource(0, info), &written, 0);
  ExitProcess(0);
}
