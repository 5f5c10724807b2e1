// A serial line inside the test process: a raw pseudo-terminal whose device
// the driver opens while the test reads the other side, and the checks of
// the debug log's lines. Shared by the unit tests, the fault tests and the
// fuzz targets (native build only).
#ifndef QV_TESTS_SUPPORT_PTY_LINE_H
#define QV_TESTS_SUPPORT_PTY_LINE_H

#include <stddef.h>
#include <termios.h>

#include <string>
#include <vector>

namespace qvtest {

class PtyLine {
 public:
  PtyLine();  // device() is empty when no pseudo-terminal could be made
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  const std::string& device() const { return device_; }
  // The test's own descriptor of the device, kept open as a relay or a
  // monitor would keep it, and the terminal's settings seen through it.
  int device_fd() const { return device_fd_; }
  struct termios Settings() const;
  // Whatever arrives until the line has been quiet for `quietMs`.
  std::string Read(int quietMs = 200);
  // Reads until `count` bytes have come or `timeoutMs` has passed.
  std::string ReadCount(size_t count, int timeoutMs);
  // Sends bytes to the program that has the device open, as the far end of
  // the line would; false when they could not all be written.
  bool Write(const std::string& bytes);

 private:
  int master_ = -1;
  int device_fd_ = -1;
  std::string device_;
};

// One line of the debug log: its tag and text, without the time stamp.
struct LogEntry {
  std::string tag;
  std::string text;
};

// True when `text` begins with a time stamp as the log writes it: the local
// time as "HH:MM:SS dd/mm/yy" with every field in its range.
bool IsTimeStamp(const std::string& text, size_t at);

// Compares `log` from `*at` on with `entries`, each written as "<time stamp>
// <tag> <text>\n", and moves `*at` past them. Returns "" when they match,
// else what differs first.
std::string MatchLogEntries(const std::string& log, size_t* at, const std::vector<LogEntry>& entries);

}  // namespace qvtest

#endif
