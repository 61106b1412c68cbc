/* A console program with no C runtime: writes one line and exits through kernel32. */
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

/* A pointer in writable data gives the image a base relocation on every target. */
static const char message[] = "bare program started\n";
const char *volatile greeting = message;

void entry(void)
{
  unsigned long written = 0;
  WriteFile(GetStdHandle(0xFFFFFFF5UL), greeting, sizeof message - 1, &written, 0);
  ExitProcess(0);
}
