#include "simulator/spy.h"

#include <stdio.h>

namespace {

const size_t kBytesPerLine = 8;

}  // namespace

std::string SpyLines(const DisplayEvent& event, double seconds) {
  std::string out;
  for (size_t start = 0; start == 0 || start < event.bytes.size(); start += kBytesPerLine) {
    std::string hex;
    for (size_t i = start; i < event.bytes.size() && i < start + kBytesPerLine; ++i) {
      char byte[4];
      snprintf(byte, sizeof byte, "%s%02X", hex.empty() ? "" : " ", static_cast<unsigned char>(event.bytes[i]));
      hex += byte;
    }
    char line[96];
    if (start == 0) {
      snprintf(line, sizeof line, "%10.3f  %-23s %s ", seconds, hex.c_str(), event.flagged() ? "!!" : "  ");
      out += line + event.what + "\n";
    } else {
      snprintf(line, sizeof line, "%10s  %s\n", "", hex.c_str());
      out += line;
    }
  }
  return out;
}

std::string DisplaySpy::Report(const DisplayModel& display, double seconds) {
  std::string out;
  for (; reported_ < display.events().size(); ++reported_) out += SpyLines(display.events()[reported_], seconds);
  return out;
}
