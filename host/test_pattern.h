// The host's test pattern: pages that show, cell by cell, whether a display
// takes what the driver sends. Each page is drawn with the driver's own calls
// (SetPosition and Write) and covers the whole screen, so that nothing of the
// page before it stays:
//
//   cells    every cell shows the last digit of its column, except columns
//            10, 20, 30, ..., which show the row's letter (A for row 1, B for
//            row 2, ... after Z again A): "123456789A123456789A" on the first
//            row of 20 columns. A lost byte leaves the row's last cell blank,
//            a wrong geometry breaks or merges the rows.
//   corners  a blank screen with 1 in the top left, 2 in the top right, 3 in
//            the bottom left and 4 in the bottom right corner, each reached by
//            a position of its own.
//   bytes    every printable byte, 0x20 to 0x7E, and then every byte from 0x80
//            to 0xFF, a row at a time: the row's first code in hex and a colon,
//            then the bytes from that code on ("20: !\"#$%&'()*+,-./"). A row
//            holds 16 bytes when the display has 19 columns or more, else 8, 4,
//            2 or 1; a display of fewer than 4 columns shows the bytes without
//            their code. As many pages as the rows need.
#ifndef QV_HOST_TEST_PATTERN_H
#define QV_HOST_TEST_PATTERN_H

#include <string>
#include <vector>

// One driver call of a page: SetPosition(x, y) when `position`, else Write(text).
struct PatternCall {
  bool position;
  int x;
  int y;
  std::string text;
};

struct PatternPage {
  std::string title;  // what the page shows, as the host prints it
  std::vector<PatternCall> calls;
};

// The pages for a display of `columns` x `rows` (each 1 to 255); none for a
// display without cells.
std::vector<PatternPage> PatternPages(int columns, int rows);

#endif
