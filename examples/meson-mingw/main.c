/* Example: a Windows console program that reports the manifest the build gave it. */
#include <windows.h>

static void say(HANDLE out, const char *text, DWORD length) {
  DWORD written = 0;
  WriteFile(out, text, length, &written, NULL);
}

static void say_line(HANDLE out, const char *text) {
  say(out, text, (DWORD)lstrlenA(text));
}

int main(void) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  char line[96];

  /* Where the loader itself looks for a program's manifest: type 24, name 1. */
  HRSRC info = FindResourceA(NULL, MAKEINTRESOURCEA(CREATEPROCESS_MANIFEST_RESOURCE_ID), MAKEINTRESOURCEA(24));
  if (info == NULL) {
    say_line(out, "no manifest found\r\n");
    return 1;
  }
  HGLOBAL loaded = LoadResource(NULL, info);
  const char *bytes = loaded != NULL ? (const char *)LockResource(loaded) : NULL;
  DWORD size = SizeofResource(NULL, info);
  if (bytes == NULL) {
    say_line(out, "manifest found but not loadable\r\n");
    return 1;
  }

  /* The active code page shows one manifest setting taking effect (65001 with UTF-8). */
  wsprintfA(line, "found manifest of %lu bytes, active code page %u\r\n", (unsigned long)size, GetACP());
  say_line(out, line);
  /* The bytes exactly as stored, with no newline translation, so they can be compared. */
  say(out, bytes, size);
  return 0;
}
