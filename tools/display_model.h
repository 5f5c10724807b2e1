// A simulated two-line character display: it takes the bytes the driver
// sends over the serial line and keeps what the screen would show.
#ifndef QV_TOOLS_DISPLAY_MODEL_H
#define QV_TOOLS_DISPLAY_MODEL_H

#include <string>
#include <vector>

class DisplayModel {
 public:
  explicit DisplayModel(int columns = 20, int rows = 2);

  // Bytes as they come off the line; a command may be split across calls.
  void Feed(const std::string& bytes);

  const std::string& Row(int row) const { return screen_[static_cast<size_t>(row)]; }
  int rows() const { return static_cast<int>(screen_.size()); }
  int columns() const { return columns_; }
  int cursorColumn() const { return column_ + 1; }
  int cursorRow() const { return row_ + 1; }
  bool closed() const { return closed_; }
  int resets() const { return resets_; }
  // What the display did, one line each ("reset", "cursor 1,2", "text "...")
  const std::vector<std::string>& events() const { return events_; }
  // The screen in a frame, one line per row.
  std::string Render() const;

 private:
  void Command(unsigned char command, const std::string& arguments);
  void Put(char c);
  void Clear();

  int columns_;
  std::vector<std::string> screen_;
  int column_ = 0;
  int row_ = 0;
  bool closed_ = false;
  int resets_ = 0;
  std::string pending_;  // an ESC sequence not yet complete
  std::string text_;     // text since the last command, for the events
  std::vector<std::string> events_;
};

#endif
