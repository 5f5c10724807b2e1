// The live view: when the simulator's output is a terminal, the simulated
// screen is drawn in place and redrawn as bytes arrive (with ANSI sequences,
// on Windows with the console's own calls). Lit characters are blue-green on
// dark, the cursor's cell is underlined, bytes outside the font show as a
// reverse-video "?", and flagged sequences (unknown, cut off) are printed
// above the screen, where they stay.
//
// Each redraw goes back up over the lines of the last drawing, so every line
// of the frame must take one line of the terminal: the two status lines are
// cut to the terminal's width, and a frame wider or taller than the terminal
// does not fit (the simulator then prints event lines instead).
#ifndef QV_SIMULATOR_TERMINAL_VIEW_H
#define QV_SIMULATOR_TERMINAL_VIEW_H

#include <stdio.h>

#include <string>

#include "simulator/model.h"

// True when `out` is a terminal (on Windows, a console) the view can draw on.
bool TerminalCanShowLive(FILE* out);

// A terminal's size in characters; 0 for "ask the terminal".
struct TerminalSize {
  int columns = 0;
  int rows = 0;
};
// The size of the terminal `out` shows on: 80x24 when it does not say.
TerminalSize SizeOfTerminal(FILE* out);

class TerminalView {
 public:
  // `size` fixes the terminal's size; by default it is asked at every drawing.
  explicit TerminalView(FILE* out, TerminalSize size = TerminalSize()) : out_(out), size_(size) {}
  // Whether the frame of this display fits on the terminal as it is now.
  bool Fits(const DisplayModel& display) const;
  // Replaces the last drawing with the screen as it is now.
  void Draw(const DisplayModel& display);
  // How many of the display's events the drawings have taken in.
  size_t reported() const { return reported_; }

 private:
  TerminalSize Size() const;
  FILE* out_;
  TerminalSize size_;
  int drawnLines_ = 0;
  size_t reported_ = 0;
};

#endif
