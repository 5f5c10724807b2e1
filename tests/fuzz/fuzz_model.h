// What both fuzz targets share: the line they drive the driver over, read
// exactly, and the rule for the answer of a later DISPLAYDLL_Init.
#ifndef QV_TESTS_FUZZ_FUZZ_MODEL_H
#define QV_TESTS_FUZZ_FUZZ_MODEL_H

#include <stddef.h>

#include <string>
#include <vector>

#include "platform/posix/fault_injection.h"
#include "tests/support/pty_line.h"

namespace qvfuzz {

// A pseudo-terminal that every port opening goes to, whatever the name: the
// port opens, takes its settings and closes as on a real line, while what
// the driver writes is recorded in memory by the platform as it happens. So
// "nothing was sent" holds the moment a call returns, with no wait for the
// terminal to pass bytes on.
class Line {
 public:
  Line() {
    PlatformRedirectPorts(pty_.device().c_str());
    PlatformRecordWrites(true);
  }
  ~Line() {
    PlatformRecordWrites(false);
    PlatformRedirectPorts(NULL);
  }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  const std::string& device() const { return pty_.device(); }

  // Everything written since the last look, and the record emptied. More
  // than the record holds reads as a text no comparison can match.
  std::string TakeSent() {
    static char bytes[65536];
    const size_t total = PlatformTakeRecordedWrites(bytes, sizeof bytes);
    std::string sent(bytes, total < sizeof bytes ? total : sizeof bytes);
    if (total > sizeof bytes) sent += "\n(and " + std::to_string(total - sizeof bytes) + " bytes past the record)";
    return sent;
  }

  // Bytes that reached the terminal itself, past the record: none should.
  std::string ReachedTerminal() { return pty_.Read(0); }

 private:
  qvtest::PtyLine pty_;
};

// What an Init answers, and the log lines it adds.
struct InitAnswer {
  std::string text;
  unsigned char status;
  std::vector<qvtest::LogEntry> lines;
};

// A later Init opens and sends nothing, whatever its arguments. Its answer
// follows from the first call's, from whether DISPLAYDLL_Done has come
// since, and from whether the first call turned the log on: a failed first
// call stays the answer, word for word; after Done, a first call that
// succeeded gives way to the closed port's text, status 0, and an Error line
// when the log is on; else the driver name again, with nothing logged.
inline InitAnswer LaterInit(const InitAnswer& first, bool afterDone, bool logging) {
  if (first.status != 1 || !afterDone) return {first.text, first.status, {}};
  const std::string closed = "Serial Port was closed by DISPLAYDLL_Done : load the library again to reopen it";
  InitAnswer answer = {closed, 0, {}};
  if (logging) answer.lines.push_back({"Error", closed});
  return answer;
}

}  // namespace qvfuzz

#endif
