// What the end-to-end tests need from the system they run on: temporary
// folders, files, the far end of a serial line. One copy for Windows (and
// Wine) and for POSIX.
#ifndef QV_TESTS_SUPPORT_TEST_ENV_H
#define QV_TESTS_SUPPORT_TEST_ENV_H

#include <string>

namespace qvtest {

std::string Env(const char* name);  // empty when unset
std::string MakeTempDir();
// Removes a folder and everything in it; true when it is gone.
bool RemoveTree(const std::string& path);
std::string CurrentDir();
bool ChangeDir(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
bool CopyFileTo(const std::string& from, const std::string& to);
bool Exists(const std::string& path);
bool ReadWholeFile(const std::string& path, std::string* contents);
// A text file read back with the platform's text-mode line ends turned into
// "\n" (on Windows "\r\n" is how the C library stores "\n").
bool ReadTextFile(const std::string& path, std::string* contents);
bool CreateEmptyFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& contents);
bool MakeDir(const std::string& path);
// The platform's description of a Windows error code, line break included.
std::string SystemDescription(unsigned code);
void SleepMs(int milliseconds);

// The far end of a serial line: what the display would receive.
class PeerPort {
 public:
  PeerPort() = default;
  ~PeerPort();
  PeerPort(const PeerPort&) = delete;
  PeerPort& operator=(const PeerPort&) = delete;

  bool Open(const std::string& name);
  void Close();
  // Reads until `count` bytes have come or `timeoutMs` has passed.
  std::string Read(size_t count, int timeoutMs);
  // Reads whatever comes until the line has been quiet for `quietMs`.
  std::string ReadUntilQuiet(int quietMs);

 private:
  std::string ReadSome();
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// What a port holds of a line that a pseudo-terminal keeps too: its speed and
// its stop bits, as another program reads and sets them while the port is
// free. False where the port cannot be opened or the speed is not one of the
// usual ones (1200 to 115200).
struct PortSpeed {
  unsigned baud;
  bool twoStopBits;
};
bool ReadPortSpeed(const std::string& port, PortSpeed* speed);
bool SetPortSpeed(const std::string& port, const PortSpeed& speed);

// Opens a port the way another program would that keeps it to itself;
// returns false where the platform cannot (closed by the destructor).
class PortHolder {
 public:
  ~PortHolder();
  bool Hold(const std::string& name);
#ifndef _WIN32
  // Keeps the terminal to itself with its exclusive flag alone, no lock.
  bool HoldExclusive(const std::string& name);
  // Whether the terminal's exclusive flag is still set.
  bool StillExclusive() const;
#endif

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
  bool exclusive_ = false;
#endif
};

}  // namespace qvtest

#endif
