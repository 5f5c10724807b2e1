// Fuzz target: any parameter string through a fresh first DISPLAYDLL_Init.
// The driver is put back to its at-load state before each input, and every
// port it opens is a pseudo-terminal of ours whatever the string names, so
// that the whole start-up runs (line settings, time-outs, the initialisation
// sequence) without reaching a real device; what it writes is recorded as it
// happens. Checks the answer and the status byte against the string's own
// reading, the bytes on the line after each call, a second Init, and every
// line of the log, whole.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "driver/port_parameters.h"
#include "platform/posix/fault_injection.h"
#include "tests/fuzz/fuzz_model.h"
#include "tests/support/driver_reset.h"
#include "tests/support/pty_line.h"

namespace {

using qvtest::LogEntry;

const std::string kInitSequence("\x1B\x40\x1B\x2A\x04\x1B\x5F\x00", 8);
const std::string kClosing("\x1B\x02", 2);
const std::string kRule(35, '=');
const std::string kNoPort = "Error writing string : The handle is invalid.\r\n";

[[noreturn]] void Fail(const std::string& what, const std::string& parameters) {
  fprintf(stderr, "fuzz_init: %s\n  parameters: \"%s\"\n", what.c_str(), parameters.c_str());
  abort();
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The failure texts of opening and setting up the port, by their fixed
// beginnings; the platform's description follows.
bool IsPortFailure(const std::string& text) {
  for (const char* message : {"Failed to get Serial Port state : ", "Failed to set Serial Port state : ",
                              "Error setting timeout values : "}) {
    if (StartsWith(text, message)) return true;
  }
  return false;
}

// The decimal reading of a field: leading blanks, a sign, digits, held at
// the limits of a 32-bit integer.
int Number(const std::string& text) {
  long long value = strtoll(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// What the parameter string should give, worked out here on its own terms:
// the log lines of the parsing and the settings, or the failure text.
struct Expected {
  std::vector<LogEntry> lines;  // the parsing's lines, and the settings' line
  std::string failure;          // empty when the string parses
  // What the port is asked for, and whether the platform refuses it.
  int baud = 9600, dataBits = 8, parity = 0, stopBits = 0;
  bool refused = false;
};

// A line the POSIX layer can set: a speed termios has, 5 to 8 data bits
// (the low byte of the number asked for). Parity and stop codes are always
// ones it knows.
bool PortTakes(int baud, int dataBits) {
  const int size = dataBits & 0xFF;
  return PlatformTakesSpeed(static_cast<DWORD>(baud)) && size >= 5 && size <= 8;
}

Expected Parse(const std::string& parameters) {
  Expected expected;
  if (StartsWith(parameters, "default")) {
    expected.lines.push_back({"Init", "COM3,9600,8,0,0"});
    return expected;
  }
  // Five comma-separated fields; each is kept to 79 characters.
  std::vector<std::string> fields;
  size_t at = 0;
  for (int i = 0; i < 5; ++i) {
    if (at > parameters.size()) {
      fields.push_back("");
      continue;
    }
    size_t comma = parameters.find(',', at);
    if (comma == std::string::npos) comma = parameters.size();
    fields.push_back(parameters.substr(at, comma - at).substr(0, kFieldSize - 1));
    at = comma + 1;
  }
  std::string device = fields[0];
  const int number = device.size() > 3 ? Number(device.substr(3)) : 0;
  expected.lines.push_back({"Init", "port=" + device + ", num=" + std::to_string(number)});
  if (number > 9) device = "\\\\.\\COM" + std::to_string(number);
  expected.lines.push_back({"Init", "port=" + device + ", num=" + std::to_string(number)});
  const int baud = fields[1].empty() ? 9600 : Number(fields[1]);
  if (fields[2].empty()) {
    expected.failure = kDataBitsIncorrect;
    return expected;
  }
  if (fields[3].empty()) {
    expected.failure = kParityIncorrect;
    return expected;
  }
  const std::string parityLetters = "OEMS";
  const size_t letter = parityLetters.find(fields[3][0]);
  expected.baud = baud;
  expected.dataBits = Number(fields[2]);
  expected.parity = letter == std::string::npos ? 0 : static_cast<int>(letter) + 1;
  expected.stopBits = !fields[4].empty() && Number(fields[4]) == 2 ? 2 : 0;
  expected.refused = !PortTakes(expected.baud, expected.dataBits);
  expected.lines.push_back({"Init", device + "," + std::to_string(baud) + "," + std::to_string(expected.dataBits) +
                                        "," + std::to_string(expected.parity) + "," +
                                        std::to_string(expected.stopBits)});
  return expected;
}

struct Setting {
  FreshDriver driver;  // a temporary current folder, for the log
  qvfuzz::Line line;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setting* setting = new Setting;
  // The host hands over a C string: it ends at the first NUL.
  const std::string parameters(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  if (!setting->line.TakeSent().empty()) Fail("bytes on the line before Init", parameters);
  if (!setting->line.ReachedTerminal().empty()) Fail("bytes reached the terminal past the record", parameters);

  ResetDriverForTest();
  unsigned char status = 0xEE;
  const char* answer = DISPLAYDLL_Init(20, 2, parameters.c_str(), &status);
  if (answer == NULL) Fail("Init answered with a null text", parameters);
  const std::string text = answer;
  const std::string name = DISPLAYDLL_DriverName();
  const Expected expected = Parse(parameters);

  bool started = false;
  if (!expected.failure.empty()) {
    if (text != expected.failure || status != 0) Fail("the answer \"" + text + "\"", parameters);
  } else {
    // Every port opens (on our pseudo-terminal), and is handed the line the
    // string asks for, which the platform sets or refuses.
    const DCB dcb = PlatformLastCommState();
    if (dcb.BaudRate != static_cast<DWORD>(expected.baud) || dcb.ByteSize != (expected.dataBits & 0xFF) ||
        dcb.Parity != expected.parity || dcb.StopBits != expected.stopBits) {
      Fail("the port was handed " + std::to_string(dcb.BaudRate) + "," + std::to_string(dcb.ByteSize) + "," +
               std::to_string(dcb.Parity) + "," + std::to_string(dcb.StopBits),
           parameters);
    }
    if (expected.refused) {
      if (status != 0 || text != "Failed to set Serial Port state : The parameter is incorrect.\r\n") {
        Fail("settings the port cannot take answered \"" + text + "\"", parameters);
      }
    } else {
      if (status != 1 || text != name) Fail("the answer \"" + text + "\"", parameters);
      started = true;
    }
  }
  // The initialisation sequence whole, and only when the port took the line.
  if (setting->line.TakeSent() != (started ? kInitSequence : "")) {
    Fail(started ? "the initialisation sequence did not reach the line whole" : "bytes on the line after a failed Init",
         parameters);
  }
  // The port stays open after a failed configuration: Done closes it. With
  // no port, its closing command fails, and composes another error text.
  const bool portOpen = status == 1 || IsPortFailure(text);
  const int closed = DISPLAYDLL_Done();
  if (closed != (portOpen ? 1 : 0)) Fail("Done answered " + std::to_string(closed), parameters);
  if (setting->line.TakeSent() != (portOpen ? kClosing : "")) {
    Fail(portOpen ? "Done sent no closing command" : "Done sent bytes with no port open", parameters);
  }
  // A second Init opens and sends nothing, and answers as the rule for a
  // later Init says, after Done's failed write too.
  const bool logged = parameters.size() > 3 && parameters.compare(parameters.size() - 3, 3, "Log") == 0;
  const qvfuzz::InitAnswer later = qvfuzz::LaterInit({text, status, {}}, true, logged);
  unsigned char again = 0xEE;
  const std::string second = DISPLAYDLL_Init(20, 2, "COM3,9600,8,N,1Log", &again);
  if (second != later.text || again != later.status) Fail("a later Init answered \"" + second + "\"", parameters);
  if (!setting->line.TakeSent().empty()) Fail("bytes on the line after Done", parameters);

  // Every line of the log, whole. The parameters may hold any byte, line
  // breaks too: the lines are compared as written, not split at breaks.
  const std::string log = setting->driver.Log();
  if (!logged) {
    if (!log.empty()) Fail("a log without \"Log\" in the parameters", parameters);
  } else {
    std::vector<LogEntry> lines = {
        {kRule, kRule}, {"Log File opened for ", ModuleBaseName()}, {kRule, kRule}, {"Init", "Called "}};
    lines.insert(lines.end(), expected.lines.begin(), expected.lines.end());
    // A failure to open or set up the port is logged with the very text
    // Init answered; a failed closing command is logged as it happens.
    if (IsPortFailure(text)) lines.push_back({"Error", text});
    if (!portOpen) lines.push_back({"Error", kNoPort});
    lines.insert(lines.end(), later.lines.begin(), later.lines.end());
    size_t at = 0;
    const std::string problem = qvtest::MatchLogEntries(log, &at, lines);
    if (!problem.empty()) Fail(problem, parameters);
    if (at != log.size()) Fail("more in the log than expected: \"" + log.substr(at) + "\"", parameters);
  }
  return 0;
}
