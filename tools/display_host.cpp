// A small host for the display driver: loads the library file given by path,
// looks each entry point up by name and calls them in the order given on the
// command line, printing every result.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include "tools/driver_loader.h"

namespace {

const char kHelp[] =
    "usage: display_host [--decorated] LIBRARY COMMAND [ARGUMENTS] [COMMAND [ARGUMENTS]]...\n"
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
    "  write TEXT                 DISPLAYDLL_Write; TEXT may hold \\n \\r \\t \\\\ and \\xHH\n"
    "  resume                     DISPLAYDLL_PowerResume\n"
    "  done                       DISPLAYDLL_Done\n"
    "  wait MILLISECONDS          pause between calls\n"
    "\n"
    "A command may also be given as an export name, looked up exactly as written:\n"
    "DISPLAYDLL_Init@16 20 2 default, DISPLAYDLL_Usage@0, DISPLAYDLL_DriverName.\n"
    "--decorated looks the short commands up under their decorated names\n"
    "(DISPLAYDLL_Usage@0); the native build has the plain names only.\n"
    "\n"
    "Texts are printed in double quotes with line breaks shown as \\r and \\n.\n"
    "Exit status: 0 when every call was made (and Init reported success),\n"
    "1 when Init reported failure, 2 for a wrong command line or a missing export,\n"
    "3 when the library cannot be loaded.\n";

struct Command {
  const char* word;
  const char* entry;  // entry point, without DISPLAYDLL_
  int arguments;
};
const Command kCommands[] = {
    {"usage", "Usage", 0},          {"defaults", "DefaultParameters", 0},
    {"name", "DriverName", 0},      {"init", "Init", 3},
    {"position", "SetPosition", 2}, {"write", "Write", 1},
    {"resume", "PowerResume", 0},   {"done", "Done", 0},
};

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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p != '\\' || p[1] == '\0') {
      out += *p;
      continue;
    }
    ++p;
    switch (*p) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x':
        if (HexDigit(p[1]) >= 0 && HexDigit(p[2]) >= 0) {
          out += static_cast<char>(HexDigit(p[1]) * 16 + HexDigit(p[2]));
          p += 2;
        } else {
          out += "\\x";
        }
        break;
      default: out += *p; break;
    }
  }
  return out;
}

// A whole number in decimal, as a user writes it: "08" is 8 and "010" is 10.
bool ReadInt(const char* text, int* value) {
  char* end = nullptr;
  errno = 0;
  long number = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || number < INT_MIN || number > INT_MAX) return false;
  *value = static_cast<int>(number);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int next = 1;
  bool decorated = false;
  for (; next < argc && argv[next][0] == '-'; ++next) {
    if (strcmp(argv[next], "--help") == 0 || strcmp(argv[next], "-h") == 0) {
      fputs(kHelp, stdout);
      return 0;
    }
    if (strcmp(argv[next], "--decorated") == 0) {
      decorated = true;
    } else {
      return Fail(std::string("unknown option ") + argv[next] + " (see --help)");
    }
  }
  if (next >= argc) return Fail("no library given (see --help)");
  const char* libraryPath = argv[next++];

  DriverLibrary library;
  if (!library.Load(libraryPath)) {
    fprintf(stderr, "display_host: %s\n", library.error().c_str());
    return 3;
  }
  int status = 0;
  while (next < argc) {
    const char* word = argv[next++];
    const Command* command = nullptr;
    std::string exportName;
    for (const Command& candidate : kCommands) {
      std::string plain = DriverLibrary::ExportName(candidate.entry, false);
      if (strcmp(word, candidate.word) == 0) {
        exportName = DriverLibrary::ExportName(candidate.entry, decorated);
      } else if (strncmp(word, plain.c_str(), plain.size()) == 0 &&
                 (word[plain.size()] == '\0' || word[plain.size()] == '@')) {
        exportName = word;
      } else {
        continue;
      }
      command = &candidate;
      break;
    }
    if (command == nullptr && strcmp(word, "wait") == 0) {
      int milliseconds = 0;
      if (next >= argc || !ReadInt(argv[next], &milliseconds)) return Fail("wait needs MILLISECONDS");
      ++next;
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      continue;
    }
    if (command == nullptr) return Fail(std::string("unknown command ") + word + " (see --help)");
    if (argc - next < command->arguments) return Fail(std::string(word) + " needs more arguments (see --help)");
    void* address = library.Find(exportName);
    if (address == nullptr) return Fail(library.error());

    printf("%s: ", exportName.c_str());
    const std::string entry = command->entry;
    if (entry == "Init") {
      int columns = 0;
      int rows = 0;
      if (!ReadInt(argv[next], &columns) || !ReadInt(argv[next + 1], &rows)) {
        return Fail("init needs COLUMNS ROWS PARAMETERS");
      }
      unsigned char initStatus = 0xEE;
      const char* result = reinterpret_cast<InitCall>(address)(columns, rows, argv[next + 2], &initStatus);
      PrintText(result);
      printf(" status=%d\n", initStatus);
      if (initStatus != 1) status = 1;
    } else if (entry == "SetPosition") {
      int x = 0;
      int y = 0;
      if (!ReadInt(argv[next], &x) || !ReadInt(argv[next + 1], &y)) return Fail("position needs X Y");
      printf("%d\n", reinterpret_cast<PositionCall>(address)(x, y));
    } else if (entry == "Write") {
      std::string text = Unescape(argv[next]);
      printf("%d\n", reinterpret_cast<WriteCall>(address)(text.c_str()));
    } else if (entry == "PowerResume" || entry == "Done") {
      printf("%d\n", reinterpret_cast<PlainCall>(address)());
    } else {
      PrintText(reinterpret_cast<TextCall>(address)());
      putchar('\n');
    }
    fflush(stdout);
    next += command->arguments;
  }
  return status;
}
