#include "tools/display_terminal_view.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "tools/display_font.h"

namespace {

const char kGlass[] = "\x1b[38;2;96;255;214;48;2;6;16;15m";
const char kPlain[] = "\x1b[0m";

std::string Setting(const DisplayModel& display, char which) {
  int value = display.setting(which);
  return value < 0 ? std::string("not set") : std::to_string(value);
}

}  // namespace

bool TerminalTakesAnsi(FILE* out) {
#ifdef _WIN32
  if (!_isatty(_fileno(out))) return false;
  HANDLE console = GetStdHandle(out == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(console, &mode)) return false;
  const DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return (mode & kVirtualTerminal) != 0 || SetConsoleMode(console, mode | kVirtualTerminal) != 0;
#else
  return isatty(fileno(out)) != 0;
#endif
}

void TerminalView::Draw(const DisplayModel& display) {
  std::string out;
  if (drawnLines_ > 0) out += "\x1b[" + std::to_string(drawnLines_) + "A";
  out += "\r\x1b[J";
  for (; reported_ < display.events().size(); ++reported_) {
    const DisplayEvent& event = display.events()[reported_];
    if (event.flagged()) out += "display: " + event.what + "\n";
  }
  const std::string edge = "+" + std::string(static_cast<size_t>(display.columns()), '-') + "+\n";
  out += edge;
  for (int row = 0; row < display.rows(); ++row) {
    out += std::string("|") + kGlass;
    for (int column = 0; column < display.columns(); ++column) {
      unsigned char cell = static_cast<unsigned char>(display.Row(row)[static_cast<size_t>(column)]);
      bool cursor = !display.closed() && row + 1 == display.cursorRow() && column + 1 == display.cursorColumn();
      if (cursor) out += "\x1b[4m";
      if (InFont(cell)) {
        out += static_cast<char>(cell);
      } else {
        out += "\x1b[7m?\x1b[27m";
      }
      if (cursor) out += "\x1b[24m";
    }
    out += std::string(kPlain) + "|\n";
  }
  out += edge;
  std::string last = display.events().empty() ? std::string("nothing yet") : display.events().back().what;
  if (last.size() > 70) last = last.substr(0, 67) + "...";
  out += "cursor " + std::to_string(display.cursorColumn()) + "," + std::to_string(display.cursorRow()) +
         "  setting * " + Setting(display, '*') + "  setting _ " + Setting(display, '_') + "\nlast: " + last + "\n";
  drawnLines_ = display.rows() + 4;
  fputs(out.c_str(), out_);
  fflush(out_);
}
