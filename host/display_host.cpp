// A small host for the display driver: loads the library file given by path,
// looks each entry point up by name and calls them in the order given on the
// command line or in a script, printing every result.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/driver_loader.h"
#include "host/script_reader.h"
#include "host/serial_ports.h"
#include "host/test_pattern.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

const char kUsage[] =
    "usage: display_host [--decorated] LIBRARY COMMAND [ARGUMENTS] [COMMAND [ARGUMENTS]]...\n"
    "       display_host [--decorated] LIBRARY --script FILE\n"
    "       display_host ports\n";

const char kHelp[] =
    "\n"
    "Loads the display driver LIBRARY (for example QV-731.dll) and calls its entry\n"
    "points in the order given, printing each result.\n"
    "\n"
    "Commands:\n"
    "  usage                      DISPLAYDLL_Usage\n"
    "  defaults                   DISPLAYDLL_DefaultParameters\n"
    "  name                       DISPLAYDLL_DriverName\n"
    "  init COLUMNS ROWS PARAMS   DISPLAYDLL_Init, e.g. init 20 2 COM3,9600,8,N,1Log;\n"
    "                             prints the returned text and the status byte\n"
    "  position X Y               DISPLAYDLL_SetPosition (columns and rows count from 1)\n"
    "  write TEXT                 DISPLAYDLL_Write; TEXT may hold \\n \\r \\t \\\\ \\\" and \\xHH\n"
    "                             and no other escape; no NUL (\\x00), where the\n"
    "                             driver's texts end\n"
    "  resume                     DISPLAYDLL_PowerResume\n"
    "  done                       DISPLAYDLL_Done\n"
    "  wait MILLISECONDS          pause between calls\n"
    "  pattern MILLISECONDS       draw test pages with DISPLAYDLL_SetPosition and\n"
    "                             DISPLAYDLL_Write, each shown MILLISECONDS (0: no\n"
    "                             pause): every cell numbered, the four corners, the\n"
    "                             bytes 0x20-0x7E and 0x80-0xFF; on the geometry of\n"
    "                             the first init (20 2 before any)\n"
    "\n"
    "A command may also be given as an export name, looked up exactly as written:\n"
    "DISPLAYDLL_Init@16 20 2 default, DISPLAYDLL_Usage@0, DISPLAYDLL_DriverName.\n"
    "--decorated looks the short commands up under their decorated names\n"
    "(DISPLAYDLL_Usage@0); the native build has the plain names only.\n"
    "\n"
    "--script FILE reads the calls from FILE, or with - from standard input: one\n"
    "call a line, in the same words as on the command line (write \"two words\"\n"
    "in double quotes); # at the start of a word begins a comment. Every line is\n"
    "checked first, and no call is made while any line is wrong; each error names\n"
    "its line. When standard input is a terminal, --script - shows a prompt and\n"
    "makes each call as it is typed, reporting a wrong line and reading on.\n"
    "\n"
    "ports lists the serial ports this machine has, with what the system says of\n"
    "each: on Windows the COM devices and the devices they lead to; on Linux the\n"
    "ttyS, ttyUSB and ttyACM devices (ttyS ones only where a UART answers), each\n"
    "with its driver, its names in /dev/serial/by-id and whether this user may\n"
    "open it. No port is opened.\n"
    "\n"
    "Texts are printed in double quotes with line breaks shown as \\r and \\n.\n"
    "Exit status:\n"
    "  0  every call was made, and none reported a failure\n"
    "  1  Init reported failure\n"
    "  2  a wrong command line, a wrong script line or a missing export (typed\n"
    "     calls: any wrong line)\n"
    "  3  the library cannot be loaded\n"
    "  4  Init did not fail (it succeeded, or was not called), but a later call\n"
    "     did: position, write or resume returned -1, done returned 0, or a\n"
    "     call of pattern failed; the display did not take everything\n"
    "  5  ports: the system's list of ports cannot be read\n";

int Fail(const std::string& message) {
  fprintf(stderr, "display_host: %s\n", message.c_str());
  return 2;
}

void PrintText(const char* text) {
  if (text == nullptr) {
    fputs("(null)", stdout);
    return;
  }
  putchar('"');
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p == '\r') {
      fputs("\\r", stdout);
    } else if (*p == '\n') {
      fputs("\\n", stdout);
    } else if (*p == '"' || *p == '\\') {
      printf("\\%c", *p);
    } else if (*p < 0x20 || *p == 0x7F) {
      printf("\\x%02X", *p);
    } else {
      putchar(*p);
    }
  }
  putchar('"');
}

// The display's geometry as the driver keeps it: from the first Init, only
// the low bytes; 20 x 2 before it.
int displayColumns = 20;
int displayRows = 2;
bool initCalled = false;

void Pause(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// What a call came to, for the exit status.
enum class Outcome { kDone, kInitFailed, kOutputFailed };

// Draws the test pattern's pages, each shown for `milliseconds`, printing a
// line a page; false when any of its calls failed.
bool RunPattern(DriverLibrary* library, const HostCall& call) {
  const PFN_DISPLAYDLL_SetPosition setPosition =
      reinterpret_cast<PFN_DISPLAYDLL_SetPosition>(library->Find(call.exports[0]));
  const PFN_DISPLAYDLL_Write writeText = reinterpret_cast<PFN_DISPLAYDLL_Write>(library->Find(call.exports[1]));
  const std::vector<PatternPage> pages = PatternPages(displayColumns, displayRows);
  if (pages.empty()) {
    printf("pattern: a display of %d x %d has no cells to draw\n", displayColumns, displayRows);
    fflush(stdout);
  }
  bool allTaken = true;
  for (size_t number = 0; number < pages.size(); ++number) {
    const PatternPage& page = pages[number];
    int failed = 0;
    for (const PatternCall& step : page.calls) {
      const int result = step.position ? setPosition(step.x, step.y) : writeText(step.text.c_str());
      if (result == DISPLAYDLL_WRITE_FAILED) ++failed;
    }
    printf("pattern %d/%d: %s", static_cast<int>(number) + 1, static_cast<int>(pages.size()), page.title.c_str());
    if (failed > 0) {
      printf(" (%d of its %d calls failed)", failed, static_cast<int>(page.calls.size()));
      allTaken = false;
    }
    putchar('\n');
    fflush(stdout);
    Pause(call.numbers[0]);
  }
  return allTaken;
}

// Prints an output call's result and tells whether the call failed: -1 for
// SetPosition, Write and PowerResume; 0 for Done.
Outcome Output(int result, int failure) {
  printf("%d\n", result);
  return result == failure ? Outcome::kOutputFailed : Outcome::kDone;
}

// Makes one call and prints its result.
Outcome Run(DriverLibrary* library, const HostCall& call) {
  if (call.pattern) return RunPattern(library, call) ? Outcome::kDone : Outcome::kOutputFailed;
  if (call.command == nullptr) {
    Pause(call.numbers[0]);
    return Outcome::kDone;
  }
  void* address = library->Find(call.exportName);
  printf("%s: ", call.exportName.c_str());
  const std::string entry = call.command->entry;
  Outcome outcome = Outcome::kDone;
  if (entry == "Init") {
    unsigned char initStatus = 0xEE;
    const char* result = reinterpret_cast<PFN_DISPLAYDLL_Init>(address)(call.numbers[0], call.numbers[1],
                                                                        call.arguments[2].c_str(), &initStatus);
    PrintText(result);
    printf(" status=%d\n", initStatus);
    if (!initCalled) {
      displayColumns = call.numbers[0] & 0xFF;
      displayRows = call.numbers[1] & 0xFF;
      initCalled = true;
    }
    if (initStatus != 1) outcome = Outcome::kInitFailed;
  } else if (entry == "SetPosition") {
    outcome = Output(reinterpret_cast<PFN_DISPLAYDLL_SetPosition>(address)(call.numbers[0], call.numbers[1]),
                     DISPLAYDLL_WRITE_FAILED);
  } else if (entry == "Write") {
    outcome = Output(reinterpret_cast<PFN_DISPLAYDLL_Write>(address)(call.text.c_str()), DISPLAYDLL_WRITE_FAILED);
  } else if (entry == "PowerResume") {
    outcome = Output(reinterpret_cast<PFN_DISPLAYDLL_PowerResume>(address)(), DISPLAYDLL_WRITE_FAILED);
  } else if (entry == "Done") {
    outcome = Output(reinterpret_cast<PFN_DISPLAYDLL_Done>(address)(), 0);
  } else {
    // Usage, DefaultParameters and DriverName: a text and no arguments.
    PrintText(reinterpret_cast<PFN_DISPLAYDLL_DriverName>(address)());
    putchar('\n');
  }
  fflush(stdout);
  return outcome;
}

// The exit status of the calls made: Init's failure comes before a later
// call's, which says that the display did not take everything.
struct Statuses {
  bool initFailed = false;
  bool outputFailed = false;
  void Add(Outcome outcome) {
    if (outcome == Outcome::kInitFailed) initFailed = true;
    if (outcome == Outcome::kOutputFailed) outputFailed = true;
  }
  int Status() const { return initFailed ? 1 : outputFailed ? 4 : 0; }
};

// Where a call came from, for its errors: "script.txt:3: " or nothing.
std::string Where(const std::string& script, int line) {
  return line > 0 ? script + ":" + std::to_string(line) + ": " : std::string();
}

// Checks that the library has every call's export; prints what is missing.
bool ExportsFound(DriverLibrary* library, const std::vector<HostCall>& calls, const std::string& script) {
  bool found = true;
  for (const HostCall& call : calls) {
    for (const std::string& name : call.exports) {
      if (library->Find(name) != nullptr) continue;
      fprintf(stderr, "display_host: %s%s\n", Where(script, call.line).c_str(), library->error().c_str());
      found = false;
    }
  }
  return found;
}

bool StdinIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(fileno(stdin)) != 0;
#endif
}

bool ReadAll(FILE* file, std::string* text) {
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
  return ferror(file) == 0;
}

// Calls typed one at a time: a mistake is reported and the next line read.
int RunTyped(DriverLibrary* library, bool decorated) {
  bool wrongLine = false;
  Statuses statuses;
  char buffer[4096];
  std::string line;
  int number = 0;
  for (;;) {
    printf("display_host> ");
    fflush(stdout);
    line.clear();
    bool gotLine = false;
    while (fgets(buffer, sizeof buffer, stdin) != nullptr) {
      gotLine = true;
      line += buffer;
      if (!line.empty() && line.back() == '\n') break;
    }
    if (!gotLine) break;
    ++number;
    bool hasCall = false;
    HostCall call;
    std::string error;
    if (!ReadScriptLine(line, decorated, &hasCall, &call, &error)) {
      fprintf(stderr, "display_host: stdin:%d: %s\n", number, error.c_str());
      wrongLine = true;
      continue;
    }
    if (!hasCall) continue;
    call.line = number;
    if (!ExportsFound(library, std::vector<HostCall>{call}, "stdin")) {
      wrongLine = true;
      continue;
    }
    statuses.Add(Run(library, call));
  }
  putchar('\n');
  return wrongLine ? 2 : statuses.Status();
}

// The ports command.
int ListPorts() {
  SerialPortList list;
  std::string error;
  if (!ListSerialPorts("/", &list, &error)) {
    fprintf(stderr, "display_host: ports: %s\n", error.c_str());
    return 5;
  }
  fputs(FormatSerialPorts(list).c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int next = 1;
  bool decorated = false;
  const char* script = nullptr;
  const char* libraryPath = nullptr;
  // Options may come before and after LIBRARY; the calls follow them.
  for (; next < argc; ++next) {
    const std::string word = argv[next];
    if (word == "--help" || word == "-h") {
      fputs(kUsage, stdout);
      fputs(kHelp, stdout);
      return 0;
    } else if (word == "--decorated") {
      decorated = true;
    } else if (word == "--script") {
      if (next + 1 >= argc) return Fail("--script needs a FILE, or - for standard input");
      script = argv[++next];
    } else if (word.size() > 1 && word[0] == '-') {
      return Fail("unknown option " + word + " (see --help)");
    } else if (libraryPath == nullptr) {
      libraryPath = argv[next];
    } else {
      break;
    }
  }
  if (libraryPath == nullptr) return Fail("no library given (see --help)");
  if (strcmp(libraryPath, "ports") == 0 && script == nullptr) {
    if (next < argc) return Fail("ports takes no arguments");
    return ListPorts();
  }
  if (script == nullptr && next >= argc) {
    fputs(kUsage, stderr);
    fputs("display_host: no calls given (see --help)\n", stderr);
    return 2;
  }
  if (script != nullptr && next < argc) return Fail("calls come either on the command line or in a script, not both");

  // Every call is read, and every mistake reported, before the first is made.
  std::vector<HostCall> calls;
  std::string scriptName = "";
  bool typed = false;
  if (script == nullptr) {
    std::vector<std::string> words(argv + next, argv + argc);
    for (size_t word = 0; word < words.size();) {
      HostCall call;
      std::string error;
      if (!ReadCall(words, &word, decorated, &call, &error)) return Fail(error);
      calls.push_back(call);
    }
  } else if (strcmp(script, "-") == 0 && StdinIsTerminal()) {
    typed = true;
  } else {
    const bool fromStdin = strcmp(script, "-") == 0;
    scriptName = fromStdin ? "stdin" : script;
    FILE* file = fromStdin ? stdin : fopen(script, "rb");
    if (file == nullptr) return Fail(std::string("cannot read ") + script + ": " + strerror(errno));
    std::string text;
    bool read = ReadAll(file, &text);
    if (!fromStdin) fclose(file);
    if (!read) return Fail(std::string("cannot read ") + scriptName);
    std::vector<std::string> errors;
    if (!ReadScript(scriptName, text, decorated, &calls, &errors)) {
      for (const std::string& error : errors) fprintf(stderr, "display_host: %s\n", error.c_str());
      return 2;
    }
  }

  DriverLibrary library;
  if (!library.Load(libraryPath)) {
    fprintf(stderr, "display_host: %s\n", library.error().c_str());
    return 3;
  }
  if (typed) return RunTyped(&library, decorated);
  if (!ExportsFound(&library, calls, scriptName)) return 2;
  Statuses statuses;
  for (const HostCall& call : calls) statuses.Add(Run(&library, call));
  return statuses.Status();
}
