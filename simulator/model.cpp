#include "simulator/model.h"

#include <stdio.h>

namespace {

const unsigned char kEsc = 0x1B;
// How many of the bytes after the close the event about them holds (the
// spy shows them in hex).
const size_t kIgnoredShown = 8;

// How many bytes follow each command byte.
int ArgumentCount(unsigned char command) {
  switch (command) {
    case '*':
    case '_': return 1;
    case 'l': return 2;
    default: return 0;
  }
}

// A command byte as people read it: ESC "l", or ESC 0x02 for a byte that has no letter.
std::string CommandName(unsigned char command) {
  char name[16];
  if (command >= 0x21 && command <= 0x7E && command != '"') {
    snprintf(name, sizeof name, "ESC \"%c\"", command);
  } else {
    snprintf(name, sizeof name, "ESC 0x%02X", command);
  }
  return name;
}

}  // namespace

std::string QuotedText(const std::string& bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7E) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

DisplayModel::DisplayModel(int columns, int rows)
    : columns_(columns), screen_(static_cast<size_t>(rows), std::string(static_cast<size_t>(columns), ' ')) {}

void DisplayModel::Add(DisplayEvent::Kind kind, const std::string& bytes, const std::string& what) {
  events_.push_back(DisplayEvent{kind, bytes, what});
  if (listener_) listener_(events_.back());
}

void DisplayModel::FlushText() {
  if (!text_.empty()) Add(DisplayEvent::kText, text_, "text " + QuotedText(text_));
  text_.clear();
}

void DisplayModel::Feed(const std::string& bytes) {
  for (char c : bytes) {
    // The session ended at the close: nothing after it is drawn.
    if (closed_) {
      if (ignoredUnreported_.size() < kIgnoredShown) ignoredUnreported_ += c;
      ++ignored_;
      continue;
    }
    if (!pending_.empty()) {
      pending_ += c;
      unsigned char command = static_cast<unsigned char>(pending_[1]);
      if (pending_.size() < 2 + static_cast<size_t>(ArgumentCount(command))) continue;
      std::string sequence = pending_;
      pending_.clear();
      Command(sequence);
      continue;
    }
    if (static_cast<unsigned char>(c) == kEsc) {
      FlushText();
      pending_ = c;
      continue;
    }
    Put(c);
  }
  FlushText();
}

void DisplayModel::CutOff() {
  if (pending_.empty()) return;
  char what[96];
  if (pending_.size() == 1) {
    snprintf(what, sizeof what, "cut-off sequence: ESC with no command byte");
  } else {
    unsigned char command = static_cast<unsigned char>(pending_[1]);
    snprintf(what, sizeof what, "cut-off sequence: %s with %d of its %d argument bytes", CommandName(command).c_str(),
             static_cast<int>(pending_.size()) - 2, ArgumentCount(command));
  }
  Add(DisplayEvent::kCutOff, pending_, what);
  pending_.clear();
}

void DisplayModel::ReportIgnored() {
  const size_t count = ignored_ - ignoredReported_;
  if (count == 0) return;
  Add(DisplayEvent::kIgnored, ignoredUnreported_,
      "ignored: " + std::to_string(count) + (count == 1 ? " byte" : " bytes") + " after the close");
  ignoredReported_ = ignored_;
  ignoredUnreported_.clear();
}

void DisplayModel::Command(const std::string& sequence) {
  const unsigned char command = static_cast<unsigned char>(sequence[1]);
  char what[128];
  switch (command) {
    case '@':
      for (std::string& row : screen_) row.assign(static_cast<size_t>(columns_), ' ');
      column_ = 0;
      row_ = 0;
      star_ = -1;
      underscore_ = -1;
      ++resets_;
      Add(DisplayEvent::kReset, sequence, "reset");
      return;
    case '*':
    case '_': {
      int value = static_cast<unsigned char>(sequence[2]);
      (command == '*' ? star_ : underscore_) = value;
      snprintf(what, sizeof what, "setting %c %d", command, value);
      Add(DisplayEvent::kSetting, sequence, what);
      return;
    }
    case 'l': {
      int x = static_cast<unsigned char>(sequence[2]);
      int y = static_cast<unsigned char>(sequence[3]);
      bool xFits = x >= 1 && x <= columns_;
      bool yFits = y >= 1 && y <= rows();
      if (xFits) column_ = x - 1;
      if (yFits) row_ = y - 1;
      int length = snprintf(what, sizeof what, "cursor %d,%d", x, y);
      if (!xFits || !yFits) {
        snprintf(what + length, sizeof what - static_cast<size_t>(length),
                 " (outside %dx%d: the cursor stays at %d,%d)", columns_, rows(), column_ + 1, row_ + 1);
      }
      Add(DisplayEvent::kCursor, sequence, what);
      return;
    }
    case 0x02:
      closed_ = true;
      Add(DisplayEvent::kClose, sequence, "close");
      return;
    default: Add(DisplayEvent::kUnknown, sequence, "unknown sequence " + CommandName(command)); return;
  }
}

void DisplayModel::Put(char c) {
  text_ += c;
  screen_[static_cast<size_t>(row_)][static_cast<size_t>(column_)] = c;
  // The text runs on into the next row, and from the last cell to the first.
  if (++column_ >= columns_) {
    column_ = 0;
    row_ = (row_ + 1) % rows();
  }
}

std::vector<std::string> DisplayModel::EventLines() const {
  std::vector<std::string> lines;
  for (const DisplayEvent& event : events_) lines.push_back(event.what);
  return lines;
}

std::string DisplayModel::Render() const {
  std::string edge = "+" + std::string(static_cast<size_t>(columns_), '-') + "+\n";
  std::string out = edge;
  for (const std::string& row : screen_) {
    out += '|';
    for (char c : row) out += (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) ? '?' : c;
    out += "|\n";
  }
  return out + edge;
}
