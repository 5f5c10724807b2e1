#include "simulator/terminal_view.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <vector>

#include "simulator/font.h"

namespace {

// How a piece of the drawing looks.
enum class Style { kPlain, kLit, kLitCursor, kPlaceholder, kPlaceholderCursor };
struct Span {
  Style style;
  std::string text;
};

// Adds text to the drawing, in one piece with the last when they look the same.
void Add(std::vector<Span>* spans, Style style, const std::string& text) {
  if (!spans->empty() && spans->back().style == style) {
    spans->back().text += text;
  } else {
    spans->push_back(Span{style, text});
  }
}

std::string Setting(const DisplayModel& display, char which) {
  int value = display.setting(which);
  return value < 0 ? std::string("not set") : std::to_string(value);
}

#ifdef _WIN32
// The console's own calls: they work on every Windows console, and under Wine.
WORD Attributes(Style style, WORD plain) {
  const WORD kLit = FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY;
  const WORD kUnderline = 0x8000;  // COMMON_LVB_UNDERSCORE
  switch (style) {
    case Style::kLit: return kLit;
    case Style::kLitCursor: return kLit | kUnderline;
    case Style::kPlaceholder: return BACKGROUND_GREEN | BACKGROUND_BLUE;
    case Style::kPlaceholderCursor: return BACKGROUND_GREEN | BACKGROUND_BLUE | kUnderline;
    default: return plain;
  }
}

void Emit(FILE* out, const std::vector<Span>& spans, int linesUp) {
  fflush(out);
  HANDLE console = GetStdHandle(out == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  static WORD plain = 0;
  static bool plainKnown = false;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(console, &info)) return;
  if (!plainKnown) {
    plain = info.wAttributes;
    plainKnown = true;
  }
  COORD top = {0, static_cast<SHORT>(info.dwCursorPosition.Y > linesUp ? info.dwCursorPosition.Y - linesUp : 0)};
  DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwCursorPosition.Y - top.Y + 1);
  DWORD done = 0;
  FillConsoleOutputCharacterA(console, ' ', cells, top, &done);
  FillConsoleOutputAttribute(console, plain, cells, top, &done);
  SetConsoleCursorPosition(console, top);
  for (const Span& span : spans) {
    SetConsoleTextAttribute(console, Attributes(span.style, plain));
    WriteConsoleA(console, span.text.data(), static_cast<DWORD>(span.text.size()), &done, nullptr);
  }
  SetConsoleTextAttribute(console, plain);
}
#else
// ANSI: lit characters blue-green on dark, the cursor's cell underlined, the placeholder in reverse video.
void Emit(FILE* out, const std::vector<Span>& spans, int linesUp) {
  std::string text;
  if (linesUp > 0) text += "\x1b[" + std::to_string(linesUp) + "A";
  text += "\r\x1b[J";
  for (const Span& span : spans) {
    switch (span.style) {
      case Style::kPlain: text += "\x1b[0m"; break;
      case Style::kLit: text += "\x1b[0;38;2;96;255;214;48;2;6;16;15m"; break;
      case Style::kLitCursor: text += "\x1b[0;4;38;2;96;255;214;48;2;6;16;15m"; break;
      case Style::kPlaceholder: text += "\x1b[0;7;38;2;96;255;214;48;2;6;16;15m"; break;
      case Style::kPlaceholderCursor: text += "\x1b[0;4;7;38;2;96;255;214;48;2;6;16;15m"; break;
    }
    text += span.text;
  }
  text += "\x1b[0m";
  fputs(text.c_str(), out);
  fflush(out);
}
#endif

}  // namespace

TerminalSize SizeOfTerminal(FILE* out) {
  TerminalSize size;
#ifdef _WIN32
  // Lines wrap at the width of the console's buffer.
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(out == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), &info)) {
    size.columns = info.dwSize.X;
    size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  }
#else
  struct winsize window;
  if (ioctl(fileno(out), TIOCGWINSZ, &window) == 0) {
    size.columns = window.ws_col;
    size.rows = window.ws_row;
  }
#endif
  if (size.columns <= 0) size.columns = 80;
  if (size.rows <= 0) size.rows = 24;
  return size;
}

bool TerminalCanShowLive(FILE* out) {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  return _isatty(_fileno(out)) &&
         GetConsoleScreenBufferInfo(GetStdHandle(out == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), &info);
#else
  return isatty(fileno(out)) != 0;
#endif
}

TerminalSize TerminalView::Size() const { return size_.columns > 0 ? size_ : SizeOfTerminal(out_); }

bool TerminalView::Fits(const DisplayModel& display) const {
  const TerminalSize size = Size();
  // The frame, its two status lines and the line the cursor waits on.
  return display.columns() + 2 <= size.columns && display.rows() + 5 <= size.rows;
}

void TerminalView::Draw(const DisplayModel& display) {
  // A line as long as the terminal is wide would leave the cursor waiting to
  // wrap, so each status line keeps one column free.
  const size_t width = static_cast<size_t>(Size().columns - 1);
  auto fitted = [width](std::string line) {
    if (line.size() > width) line = width > 3 ? line.substr(0, width - 3) + "..." : line.substr(0, width);
    return line + "\n";
  };
  std::vector<Span> spans;
  std::string plain;
  for (; reported_ < display.events().size(); ++reported_) {
    const DisplayEvent& event = display.events()[reported_];
    if (event.flagged()) plain += "display: " + event.what + "\n";
  }
  const std::string edge = "+" + std::string(static_cast<size_t>(display.columns()), '-') + "+\n";
  plain += edge;
  for (int row = 0; row < display.rows(); ++row) {
    Add(&spans, Style::kPlain, plain + "|");
    plain.clear();
    for (int column = 0; column < display.columns(); ++column) {
      unsigned char cell = static_cast<unsigned char>(display.Row(row)[static_cast<size_t>(column)]);
      bool cursor = !display.closed() && row + 1 == display.cursorRow() && column + 1 == display.cursorColumn();
      Style style = InFont(cell) ? (cursor ? Style::kLitCursor : Style::kLit)
                                 : (cursor ? Style::kPlaceholderCursor : Style::kPlaceholder);
      Add(&spans, style, std::string(1, InFont(cell) ? static_cast<char>(cell) : '?'));
    }
    plain = "|\n";
  }
  plain += edge;
  const std::string last = display.events().empty() ? std::string("nothing yet") : display.events().back().what;
  plain += fitted("cursor " + std::to_string(display.cursorColumn()) + "," + std::to_string(display.cursorRow()) +
                  "  setting * " + Setting(display, '*') + "  setting _ " + Setting(display, '_'));
  plain += fitted("last: " + last);
  Add(&spans, Style::kPlain, plain);
  Emit(out_, spans, drawnLines_);
  drawnLines_ = display.rows() + 4;
}
