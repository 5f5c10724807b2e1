// The spy: every byte the simulated display received, in hex, beside the
// command it decodes to and the time it came, one event a line:
//
//      0.000  1B 40                    reset
//      0.012  1B 6C 01 02              cursor 1,2
//      0.013  48 69                    text "Hi"
//      0.020  1B 41                 !! unknown sequence ESC "A"
//
// Long runs of text go on over several lines, eight bytes each. Unknown and
// cut-off sequences are flagged with "!!".
#ifndef QV_SIMULATOR_SPY_H
#define QV_SIMULATOR_SPY_H

#include <string>

#include "simulator/model.h"

// The spy's lines for one event that completed `seconds` after the first byte.
std::string SpyLines(const DisplayEvent& event, double seconds);

// Reports each of a model's events once.
class DisplaySpy {
 public:
  // The lines of the events added since the last call.
  std::string Report(const DisplayModel& display, double seconds);

 private:
  size_t reported_ = 0;
};

#endif
