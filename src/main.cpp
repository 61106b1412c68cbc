// Tarvisk's entry: checks the command line and runs the load and the update in order.
#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "tarvisk.h"

namespace {

#ifndef _WIN32
// A closed standard stream would lend its number to the next file opened, the image among
// them, and a message meant for the stream would then be written into the image.
bool standard_streams_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is the one just found closed.
    if (open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  if (!standard_streams_open()) return -1;
  // Past a file-size limit the write then fails and is reported, instead of the signal
  // ending the run without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  // A closed pipe on stdout or stderr only loses the message: the status stays the run's own,
  // and the update is not cut short.
  std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef __GLIBC__
  // One short run: memory freed on the way is taken again from the heap, not handed back to
  // the system and asked for anew, page fault by page fault (an image of many resources frees
  // and takes megabytes as it is decoded, planned and checked).
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  if (argc != 3) {
    std::fputs("Usage: Tarvisk <executable> <manifest>\n", stderr);
    return -1;
  }
  const char* executable_path = argv[1];
  const char* manifest_path = argv[2];

  // The manifest is read and closed before the image is opened, so both operands may name
  // the same file.
  manifest_payload payload{};
  if (!load_manifest(manifest_path, payload)) return -1;

  const bool updated = update_manifest_resource(executable_path, payload);
  std::free(payload.bytes);
  if (!updated) return -1;

  std::printf("%s inserted into %s\n", manifest_path, executable_path);
  return 0;
}
