// Fuzz target: any parameter string through a fresh first DISPLAYDLL_Init.
// The driver is put back to its at-load state before each input, and every
// port it opens is a pseudo-terminal of ours whatever the string names, so
// that the whole start-up runs (line settings, time-outs, the initialisation
// sequence) without reaching a real device. Checks the answer, the status
// byte, the bytes on the line and the log's lines.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "driver/display_driver.h"
#include "driver/port_parameters.h"
#include "platform/posix/fault_injection.h"
#include "tests/support/driver_reset.h"
#include "tests/support/pty_line.h"

namespace {

const std::string kInitSequence("\x1B\x40\x1B\x2A\x04\x1B\x5F\x00", 8);
const std::string kClosing("\x1B\x02", 2);

[[noreturn]] void Fail(const std::string& what, const std::string& parameters) {
  fprintf(stderr, "fuzz_init: %s\n  parameters: \"%s\"\n", what.c_str(), parameters.c_str());
  abort();
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The failure texts Init may answer with, by their fixed beginnings.
bool IsFailureText(const std::string& text) {
  if (text == kDataBitsIncorrect || text == kParityIncorrect) return true;
  for (const char* message : {"Failed to get Serial Port state : ", "Failed to set Serial Port state : ",
                              "Error setting timeout values : "}) {
    if (StartsWith(text, message)) return true;
  }
  return false;
}

// With the parameters free of line breaks, every line of the log is a
// stamped "Init" or "Error" line, or the empty line that ends an error text.
void CheckLogLines(const std::string& log, const std::string& parameters) {
  size_t start = 0;
  bool afterError = false;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) Fail("the log ends in the middle of a line", parameters);
    const std::string line = log.substr(start, end - start);
    start = end + 1;
    if (line.empty() && afterError) {
      afterError = false;
      continue;
    }
    if (!qvtest::IsTimeStamp(line, 0) || line.size() < 18 || line[17] != ' ') {
      Fail("a log line without its time stamp: \"" + line + "\"", parameters);
    }
    const std::string rest = line.substr(18);
    const std::string rule(35, '=');
    if (!StartsWith(rest, "Init ") && !StartsWith(rest, "Error ") && !StartsWith(rest, rule) &&
        !StartsWith(rest, "Log File opened for  ")) {
      Fail("a log line with an unknown tag: \"" + line + "\"", parameters);
    }
    afterError = StartsWith(rest, "Error ") && !rest.empty() && rest.back() == '\r';
  }
}

struct Setting {
  FreshDriver driver;  // a temporary current folder, for the log
  qvtest::PtyLine line;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setting* setting = new Setting;
  // The host hands over a C string: it ends at the first NUL.
  const std::string parameters(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  const std::string leftover = setting->line.Read(0);
  if (!leftover.empty()) Fail("bytes on the line before Init", parameters);

  ResetDriverForTest();
  PlatformRedirectPorts(setting->line.device().c_str());
  unsigned char status = 0xEE;
  const char* answer = DISPLAYDLL_Init(20, 2, parameters.c_str(), &status);
  if (answer == NULL) Fail("Init answered with a null text", parameters);
  const std::string text = answer;
  const std::string name = DISPLAYDLL_DriverName();

  if (status == 1) {
    if (text != name) Fail("status 1 with the answer \"" + text + "\"", parameters);
    const std::string sent = setting->line.ReadCount(kInitSequence.size(), 2000);
    if (sent != kInitSequence) Fail("the initialisation sequence did not reach the line whole", parameters);
  } else {
    if (status != 0) Fail("a status byte of " + std::to_string(status), parameters);
    if (!IsFailureText(text)) Fail("the failure text \"" + text + "\"", parameters);
  }
  // The port stays open after a failed configuration: Done closes it.
  const int closed = DISPLAYDLL_Done();
  if (status == 1 && closed != 1) Fail("Done did not close the port Init opened", parameters);
  if (closed == 1 && setting->line.ReadCount(kClosing.size(), 2000) != kClosing) {
    Fail("Done sent no closing command", parameters);
  }
  // A second Init changes nothing and reports success.
  status = 0xEE;
  if (DISPLAYDLL_Init(20, 2, parameters.c_str(), &status) != name || status != 1) {
    Fail("a later Init did not answer with the driver name", parameters);
  }

  const std::string log = setting->driver.Log();
  const bool logged = parameters.size() > 3 && parameters.compare(parameters.size() - 3, 3, "Log") == 0;
  if (!logged && !log.empty()) Fail("a log without \"Log\" in the parameters", parameters);
  if (logged && parameters.find_first_of("\r\n") == std::string::npos) CheckLogLines(log, parameters);
  PlatformRedirectPorts(NULL);
  return 0;
}
