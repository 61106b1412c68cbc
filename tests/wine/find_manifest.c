/* Finds this program's own manifest the way the loader does and prints its size and checksum. */
#include <stdio.h>
#include <windows.h>

/* The POSIX cksum CRC, so the test compares against `cksum` on the manifest file. */
static unsigned long posix_cksum(const unsigned char *bytes, unsigned long length)
{
  unsigned long crc = 0, i, n;
  for (i = 0; i < length; i++) {
    int bit;
    crc ^= (unsigned long)bytes[i] << 24;
    for (bit = 0; bit < 8; bit++)
      crc = (crc & 0x80000000UL) ? ((crc << 1) ^ 0x04C11DB7UL) & 0xFFFFFFFFUL : (crc << 1) & 0xFFFFFFFFUL;
  }
  for (n = length; n != 0; n >>= 8) {
    int bit;
    crc ^= (n & 0xFFUL) << 24;
    for (bit = 0; bit < 8; bit++)
      crc = (crc & 0x80000000UL) ? ((crc << 1) ^ 0x04C11DB7UL) & 0xFFFFFFFFUL : (crc << 1) & 0xFFFFFFFFUL;
  }
  return ~crc & 0xFFFFFFFFUL;
}

int main(void)
{
  HRSRC found = FindResourceExA(NULL, RT_MANIFEST, MAKEINTRESOURCEA(1),
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  HGLOBAL loaded;
  const unsigned char *bytes;
  DWORD size;
  if (found == NULL) {
    printf("no manifest: error %lu\n", (unsigned long)GetLastError());
    return 2;
  }
  loaded = LoadResource(NULL, found);
  size = SizeofResource(NULL, found);
  bytes = (const unsigned char *)LockResource(loaded);
  if (bytes == NULL && size != 0) {
    printf("manifest not loadable: error %lu\n", (unsigned long)GetLastError());
    return 3;
  }
  printf("manifest %lu %lu\n", posix_cksum(bytes, size), (unsigned long)size);
  return 0;
}
