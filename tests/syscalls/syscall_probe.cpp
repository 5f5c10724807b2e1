// Calls the library's output entry points between markers that strace shows,
// so that tests/syscalls/check_syscalls.sh can count the system calls each
// makes. The line is a pseudo-terminal of its own; nothing else runs between
// the markers.
//
//   syscall_probe LIBRARY on|off COUNT
#include <fcntl.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "host/driver_loader.h"
#include "tests/support/test_env.h"

namespace {

// A failed write to no descriptor: visible to strace, harmless otherwise.
void Marker(const char* text) {
  ssize_t ignored = write(-1, text, strlen(text));
  (void)ignored;
}

void Drain(int master) {
  char buffer[4096];
  while (read(master, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: syscall_probe LIBRARY on|off COUNT\n");
    return 2;
  }
  const bool log = strcmp(argv[2], "on") == 0;
  const int count = atoi(argv[3]);
  int master = -1;
  int slave = -1;
  char device[256];
  if (openpty(&master, &slave, device, nullptr, nullptr) != 0) {
    perror("syscall_probe: openpty");
    return 1;
  }
  fcntl(master, F_SETFL, O_NONBLOCK);
  // The log goes to a folder of our own, removed at the end.
  const std::string home = qvtest::CurrentDir();
  const std::string dir = qvtest::MakeTempDir();
  if (dir.empty() || !qvtest::ChangeDir(dir)) return 1;
  int status = 1;
  {
    DriverLibrary library;
    if (!library.Load(argv[1])) {
      fprintf(stderr, "syscall_probe: %s\n", library.error().c_str());
      return 1;
    }
    auto init = reinterpret_cast<PFN_DISPLAYDLL_Init>(library.Find("DISPLAYDLL_Init"));
    auto writeText = reinterpret_cast<PFN_DISPLAYDLL_Write>(library.Find("DISPLAYDLL_Write"));
    auto position = reinterpret_cast<PFN_DISPLAYDLL_SetPosition>(library.Find("DISPLAYDLL_SetPosition"));
    auto resume = reinterpret_cast<PFN_DISPLAYDLL_PowerResume>(library.Find("DISPLAYDLL_PowerResume"));
    auto done = reinterpret_cast<PFN_DISPLAYDLL_Done>(library.Find("DISPLAYDLL_Done"));
    unsigned char ready = 0;
    init(20, 2, (std::string(device) + ",9600,8,N,1" + (log ? "Log" : "")).c_str(), &ready);
    if (ready == 1) {
      status = 0;
      Drain(master);
      Marker("begin Write");
      for (int i = 0; i < count; ++i) status |= writeText("twenty bytes of text") != 1;
      Marker("end Write");
      Drain(master);
      Marker("begin SetPosition");
      for (int i = 0; i < count; ++i) status |= position(1 + i % 20, 1 + i % 2) != 1;
      Marker("end SetPosition");
      Drain(master);
      Marker("begin PowerResume");
      for (int i = 0; i < count; ++i) status |= resume() != 1;
      Marker("end PowerResume");
      Drain(master);
      done();
    } else {
      fprintf(stderr, "syscall_probe: the driver could not open %s\n", device);
    }
  }
  qvtest::ChangeDir(home);
  std::string removal = "rm -rf '" + dir + "'";
  if (system(removal.c_str()) != 0) status = 1;
  close(slave);
  close(master);
  return status;
}
