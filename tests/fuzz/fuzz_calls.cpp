// Fuzz target: random sequences of entry-point calls with random arguments
// (texts of any bytes and length, geometry and coordinates over the whole
// 32-bit range) against a pseudo-terminal port whose writes are recorded as
// they happen, the driver reset to its at-load state before each input. After
// every call it checks the answer, that the bytes on the line are exactly
// those the call asked for, and that the log holds exactly the call's lines,
// each well formed.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "tests/fuzz/fuzz_model.h"
#include "tests/support/driver_reset.h"
#include "tests/support/pty_line.h"

namespace {

using qvtest::LogEntry;

const std::string kInitSequence("\x1B\x40\x1B\x2A\x04\x1B\x5F\x00", 8);
const std::string kClosing("\x1B\x02", 2);
const std::string kRule(35, '=');
const LogEntry kClosedPortError = {"Error", "Error writing string : The handle is invalid.\r\n"};

struct Setting {
  FreshDriver driver;  // a temporary current folder, for the log
  qvfuzz::Line line;
};

// What one input has done so far, and what it expects.
struct Run {
  Setting* setting;
  bool logging;
  bool open;  // the port is open (until Done)
  int columns;
  int rows;
  size_t logAt;  // how much of the log the checks have read
  std::string calls;

  [[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "fuzz_calls: %s\n  calls so far: %s\n", what.c_str(), calls.c_str());
    abort();
  }

  // The bytes on the line and the new lines of the log, after one call.
  void Expect(const std::string& bytes, const std::vector<LogEntry>& entries) {
    // The platform recorded each write as it happened: what the call sent
    // is all there, and nothing more can come later.
    const std::string sent = setting->line.TakeSent();
    if (sent != bytes) {
      Fail("expected " + std::to_string(bytes.size()) + " bytes on the line, received " + std::to_string(sent.size()) +
           (sent.size() == bytes.size() ? " that differ" : ""));
    }
    const std::string log = setting->driver.Log();
    if (!logging) {
      if (!log.empty()) Fail("log lines with the log off");
      return;
    }
    std::string problem = qvtest::MatchLogEntries(log, &logAt, entries);
    if (!problem.empty()) Fail(problem);
    if (logAt != log.size()) Fail("more in the log than the call's lines: \"" + log.substr(logAt) + "\"");
  }

  // An output call's answer: 1 while the port is open, the failure value
  // (and an "Error" line) once it is closed.
  void ExpectWrite(int result, const std::string& bytes, std::vector<LogEntry> entries) {
    if (open) {
      if (result != 1) Fail("an output call failed on an open port: " + std::to_string(result));
      Expect(bytes, entries);
    } else {
      if (result != DISPLAYDLL_WRITE_FAILED) Fail("an output call on a closed port answered " + std::to_string(result));
      entries.push_back(kClosedPortError);
      Expect("", entries);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setting* setting = new Setting;
  FuzzedDataProvider input(data, size);
  Run run{setting, false, false, 0, 0, 0, ""};
  if (!setting->line.TakeSent().empty()) run.Fail("bytes on the line before Init");
  if (!setting->line.ReachedTerminal().empty()) run.Fail("bytes reached the terminal past the record");

  ResetDriverForTest();
  run.logging = input.ConsumeBool();
  const int columns = input.ConsumeIntegral<int>();
  const int rows = input.ConsumeIntegral<int>();
  run.calls = "Init(" + std::to_string(columns) + ", " + std::to_string(rows) + (run.logging ? ", Log)" : ")");
  const std::string device = setting->line.device();
  unsigned char status = 0xEE;
  const std::string name =
      DISPLAYDLL_Init(columns, rows, (device + ",9600,8,N,1" + (run.logging ? "Log" : "")).c_str(), &status);
  if (status != 1 || name != DISPLAYDLL_DriverName()) run.Fail("Init failed: " + name);
  const qvfuzz::InitAnswer first = {name, status, {}};
  run.open = true;
  run.columns = columns & 0xFF;
  run.rows = rows & 0xFF;
  run.Expect(kInitSequence, {{kRule, kRule},
                             {"Log File opened for ", ModuleBaseName()},
                             {kRule, kRule},
                             {"Init", "Called "},
                             {"Init", "port=" + device + ", num=0"},
                             {"Init", "port=" + device + ", num=0"},
                             {"Init", device + ",9600,8,0,0"}});

  for (int calls = 0; calls < 64 && input.remaining_bytes() > 0; ++calls) {
    switch (input.ConsumeIntegralInRange(0, 6)) {
      case 0: {
        const int x = input.ConsumeIntegral<int>();
        const int y = input.ConsumeIntegral<int>();
        run.calls += ", SetPosition(" + std::to_string(x) + ", " + std::to_string(y) + ")";
        const int column = x & 0xFF;
        const int row = y & 0xFF;
        std::string bytes = "\x1B\x6C";
        bytes += static_cast<char>(column > run.columns ? 1 : column);
        bytes += static_cast<char>(row > run.rows ? 1 : row);
        run.ExpectWrite(DISPLAYDLL_SetPosition(x, y), bytes,
                        {{"SetPosition", "x=" + std::to_string(column) + ", y=" + std::to_string(row)}});
        break;
      }
      case 1: {
        // Any bytes and any length; the host's text ends at its first NUL.
        const std::string text = input.ConsumeRandomLengthString(4096);
        run.calls += ", Write(" + std::to_string(text.size()) + " bytes)";
        const std::string asked = text.c_str();
        run.ExpectWrite(DISPLAYDLL_Write(text.c_str()), asked, {{"Write", asked}});
        break;
      }
      case 2: {
        run.calls += ", Write(null)";
        run.ExpectWrite(DISPLAYDLL_Write(nullptr), "", {{"Write", ""}});
        break;
      }
      case 3: {
        run.calls += ", PowerResume()";
        run.ExpectWrite(DISPLAYDLL_PowerResume(), kInitSequence, {});
        break;
      }
      case 4: {
        run.calls += ", Done()";
        const int closed = DISPLAYDLL_Done();
        if (closed != (run.open ? 1 : 0)) run.Fail("Done answered " + std::to_string(closed));
        if (run.open) {
          run.Expect(kClosing, {});
        } else {
          run.Expect("", {kClosedPortError});
        }
        run.open = false;
        break;
      }
      case 5: {
        // A later Init, whatever its arguments, opens and sends nothing.
        const std::string parameters = input.ConsumeRandomLengthString(200);
        run.calls += ", Init(again)";
        const qvfuzz::InitAnswer later = qvfuzz::LaterInit(first, !run.open, run.logging);
        status = 0xEE;
        const std::string answer =
            DISPLAYDLL_Init(input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(), parameters.c_str(), &status);
        if (answer != later.text || status != later.status) run.Fail("a later Init answered \"" + answer + "\"");
        run.Expect("", later.lines);
        break;
      }
      default: {
        run.calls += ", identity";
        if (std::string(DISPLAYDLL_Usage()) != "QV-731 usage: COM3,9600,8,N,1" ||
            std::string(DISPLAYDLL_DefaultParameters()) != "COM3,9600,8,N,1" ||
            std::string(DISPLAYDLL_DriverName()) != name) {
          run.Fail("an identity text changed");
        }
        run.Expect("", {});
        break;
      }
    }
  }
  if (run.open) {
    if (DISPLAYDLL_Done() != 1) run.Fail("the final Done failed");
    run.Expect(kClosing, {});
  }
  return 0;
}
