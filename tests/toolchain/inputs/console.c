/* A mingw console program that reads its own string table and manifest at run time. */
#include <stdio.h>
#include <windows.h>

int main(void)
{
  HMODULE self = GetModuleHandleA(NULL);
  char text[64] = "";
  int length = LoadStringA(self, 1, text, (int)sizeof text);
  HRSRC manifest = FindResourceExA(self, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1),
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  printf("started string=%d:%s manifest=%lu\n", length, text,
         manifest ? (unsigned long)SizeofResource(self, manifest) : 0UL);
  return 0;
}
