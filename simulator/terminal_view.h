// The live view: when the simulator's output is a terminal, the simulated
// screen is drawn in place and redrawn as bytes arrive (with ANSI sequences,
// on Windows with the console's own calls). Lit characters are blue-green on
// dark, the cursor's cell is underlined, bytes outside the font show as a
// reverse-video "?", and flagged sequences (unknown, cut off) are printed
// above the screen, where they stay.
#ifndef QV_SIMULATOR_TERMINAL_VIEW_H
#define QV_SIMULATOR_TERMINAL_VIEW_H

#include <stdio.h>

#include <string>

#include "simulator/model.h"

// True when `out` is a terminal (on Windows, a console) the view can draw on.
bool TerminalCanShowLive(FILE* out);

class TerminalView {
 public:
  explicit TerminalView(FILE* out) : out_(out) {}
  // Replaces the last drawing with the screen as it is now.
  void Draw(const DisplayModel& display);

 private:
  FILE* out_;
  int drawnLines_ = 0;
  size_t reported_ = 0;
};

#endif
