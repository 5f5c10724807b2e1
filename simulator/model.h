// The simulated display's reading of the command set: it takes the bytes that
// come off the serial line and keeps what the screen shows, the cursor, the
// settings and one event for every command or run of text.
//
//   ESC "@"        clears the screen, sends the cursor home (1,1) and puts
//                  both settings back to "not set";
//   ESC "*" n      recorded as setting * = n;
//   ESC "_" n      recorded as setting _ = n;
//   ESC "l" x y    moves the cursor to column x, row y, counting from 1. A
//                  value of 0 or beyond the geometry leaves that coordinate
//                  where it was (the event says so);
//   ESC 0x02       ends the session (closed() turns true): bytes after it
//                  are not read, only counted, and ReportIgnored() reports
//                  them in one event;
//   ESC and any other byte: an unknown sequence, reported and skipped (the
//                  two bytes);
//   any other byte is a character at the cursor, which then moves one cell
//   right; after the last cell of a row it goes to the first cell of the next
//   row, and after the last cell of the screen back to 1,1. Bytes outside
//   0x20..0x7E are characters too and show as the placeholder glyph.
// A sequence whose bytes stop coming is reported as cut off when CutOff() is
// called (at the end of the input, or when the line stays quiet).
#ifndef QV_SIMULATOR_MODEL_H
#define QV_SIMULATOR_MODEL_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct DisplayEvent {
  enum Kind { kReset, kSetting, kCursor, kText, kClose, kUnknown, kCutOff, kIgnored };
  Kind kind;
  std::string bytes;  // the bytes it was made of, as received
  std::string what;   // "reset", "setting * 4", "cursor 3,2", "text \"Hi\"", ...
  bool flagged() const { return kind == kUnknown || kind == kCutOff || kind == kIgnored; }
  bool changesScreen() const { return kind == kReset || kind == kText; }
};

class DisplayModel {
 public:
  explicit DisplayModel(int columns = 20, int rows = 2);

  // Bytes as they come off the line; a command may be split across calls.
  // Text is reported up to the end of each call.
  void Feed(const std::string& bytes);
  // Reports a sequence still waiting for bytes as cut off and drops it.
  void CutOff();
  // Reports the bytes that came after the close and were not read, in one
  // event holding the first few of them (none when there were none).
  void ReportIgnored();
  // How many bytes came after the close.
  size_t ignored() const { return ignored_; }
  // Called with each event as it is recorded, the screen then showing what
  // the event left on it.
  void SetListener(std::function<void(const DisplayEvent&)> listener) { listener_ = std::move(listener); }
  bool midSequence() const { return !pending_.empty(); }

  // The bytes shown in a row (columns() of them, blanks where nothing was written).
  const std::string& Row(int row) const { return screen_[static_cast<size_t>(row)]; }
  int rows() const { return static_cast<int>(screen_.size()); }
  int columns() const { return columns_; }
  int cursorColumn() const { return column_ + 1; }
  int cursorRow() const { return row_ + 1; }
  // The last value sent for setting '*' or '_', or -1 when none was sent since the last reset.
  int setting(char which) const { return which == '*' ? star_ : underscore_; }
  bool closed() const { return closed_; }
  int resets() const { return resets_; }
  const std::vector<DisplayEvent>& events() const { return events_; }
  // The events as the simulator prints them ("reset", "cursor 1,2", ...).
  std::vector<std::string> EventLines() const;
  // The screen in a frame, one line per row; bytes outside the font show as '?'.
  std::string Render() const;

 private:
  void Command(const std::string& sequence);
  void Put(char c);
  void FlushText();
  void Add(DisplayEvent::Kind kind, const std::string& bytes, const std::string& what);

  int columns_;
  std::vector<std::string> screen_;
  int column_ = 0;
  int row_ = 0;
  int star_ = -1;
  int underscore_ = -1;
  bool closed_ = false;
  int resets_ = 0;
  std::string pending_;            // an ESC sequence not yet complete
  std::string text_;               // text since the last command, for the events
  size_t ignored_ = 0;             // bytes after the close
  std::string ignoredUnreported_;  // the first few of those not yet reported
  size_t ignoredReported_ = 0;
  std::vector<DisplayEvent> events_;
  std::function<void(const DisplayEvent&)> listener_;
};

// A text in double quotes, with bytes outside 0x20..0x7E as \xHH and " and \ escaped.
std::string QuotedText(const std::string& bytes);

#endif
