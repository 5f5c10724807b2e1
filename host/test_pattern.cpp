#include "host/test_pattern.h"

#include <stdio.h>

namespace {

void Position(PatternPage* page, int x, int y) { page->calls.push_back(PatternCall{true, x, y, std::string()}); }

void Write(PatternPage* page, const std::string& text) { page->calls.push_back(PatternCall{false, 0, 0, text}); }

// Each row written whole from its first cell, blanks after its text.
void Rows(PatternPage* page, const std::vector<std::string>& rows, int columns) {
  for (size_t row = 0; row < rows.size(); ++row) {
    std::string text = rows[row].substr(0, static_cast<size_t>(columns));
    text.resize(static_cast<size_t>(columns), ' ');
    Position(page, 1, static_cast<int>(row) + 1);
    Write(page, text);
  }
}

PatternPage Cells(int columns, int rows) {
  PatternPage page;
  page.title = "every cell numbered: the last digit of its column, the row's letter in columns 10, 20, ...";
  std::vector<std::string> lines;
  for (int row = 1; row <= rows; ++row) {
    std::string line;
    for (int column = 1; column <= columns; ++column) {
      line += column % 10 == 0 ? static_cast<char>('A' + (row - 1) % 26) : static_cast<char>('0' + column % 10);
    }
    lines.push_back(line);
  }
  Rows(&page, lines, columns);
  return page;
}

PatternPage Corners(int columns, int rows) {
  PatternPage page;
  page.title = "the four corners, each reached by position: 1 top left, 2 top right, 3 bottom left, 4 bottom right";
  Rows(&page, std::vector<std::string>(static_cast<size_t>(rows)), columns);
  const struct {
    int x, y;
    const char* mark;
  } kCorners[] = {{1, 1, "1"}, {columns, 1, "2"}, {1, rows, "3"}, {columns, rows, "4"}};
  for (const auto& corner : kCorners) {
    Position(&page, corner.x, corner.y);
    Write(&page, corner.mark);
  }
  return page;
}

// The bytes first to last, a display row at a time, as many pages as they need.
void Bytes(int first, int last, int columns, int rows, std::vector<PatternPage>* pages) {
  const bool labelled = columns >= 4;
  int perRow = labelled ? 16 : columns;
  while (labelled && perRow > columns - 3) perRow /= 2;
  std::vector<std::string> lines;
  for (int start = first; start <= last; start += perRow) {
    char label[8] = "";
    if (labelled) snprintf(label, sizeof label, "%02X:", static_cast<unsigned>(start));
    std::string line = label;
    for (int code = start; code < start + perRow && code <= last; ++code) line += static_cast<char>(code);
    lines.push_back(line);
  }
  for (size_t top = 0; top < lines.size(); top += static_cast<size_t>(rows)) {
    std::vector<std::string> shown(static_cast<size_t>(rows));
    for (size_t row = 0; row < shown.size() && top + row < lines.size(); ++row) shown[row] = lines[top + row];
    const int from = first + static_cast<int>(top) * perRow;
    int to = from + rows * perRow - 1;
    if (to > last) to = last;
    char title[64];
    snprintf(title, sizeof title, "bytes 0x%02X to 0x%02X, %d a row", static_cast<unsigned>(from),
             static_cast<unsigned>(to), perRow);
    PatternPage page;
    page.title = title;
    Rows(&page, shown, columns);
    pages->push_back(page);
  }
}

}  // namespace

std::vector<PatternPage> PatternPages(int columns, int rows) {
  std::vector<PatternPage> pages;
  if (columns < 1 || rows < 1 || columns > 255 || rows > 255) return pages;
  pages.push_back(Cells(columns, rows));
  pages.push_back(Corners(columns, rows));
  Bytes(0x20, 0x7E, columns, rows, &pages);
  Bytes(0x80, 0xFF, columns, rows, &pages);
  return pages;
}
