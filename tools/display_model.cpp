#include "tools/display_model.h"

#include <stdio.h>

namespace {

const unsigned char kEsc = 0x1B;

// How many bytes follow each command byte.
int ArgumentCount(unsigned char command) {
  switch (command) {
    case '*':
    case '_': return 1;
    case 'l': return 2;
    default: return 0;
  }
}

}  // namespace

DisplayModel::DisplayModel(int columns, int rows)
    : columns_(columns), screen_(static_cast<size_t>(rows), std::string(static_cast<size_t>(columns), ' ')) {}

void DisplayModel::Clear() {
  for (std::string& row : screen_) row.assign(static_cast<size_t>(columns_), ' ');
  column_ = 0;
  row_ = 0;
}

void DisplayModel::Feed(const std::string& bytes) {
  for (char c : bytes) {
    if (!pending_.empty()) {
      pending_ += c;
      unsigned char command = static_cast<unsigned char>(pending_[1]);
      if (pending_.size() < 2 + static_cast<size_t>(ArgumentCount(command))) continue;
      std::string sequence = pending_;
      pending_.clear();
      Command(command, sequence.substr(2));
      continue;
    }
    if (static_cast<unsigned char>(c) == kEsc) {
      if (!text_.empty()) events_.push_back("text \"" + text_ + "\"");
      text_.clear();
      pending_ = c;
      continue;
    }
    Put(c);
  }
  if (!text_.empty() && pending_.empty()) {
    events_.push_back("text \"" + text_ + "\"");
    text_.clear();
  }
}

void DisplayModel::Command(unsigned char command, const std::string& arguments) {
  char event[64];
  switch (command) {
    case '@':
      Clear();
      closed_ = false;
      ++resets_;
      events_.push_back("reset");
      return;
    case '*':
    case '_':
      snprintf(event, sizeof event, "setting %c %d", command, static_cast<unsigned char>(arguments[0]));
      events_.push_back(event);
      return;
    case 'l': {
      int x = static_cast<unsigned char>(arguments[0]);
      int y = static_cast<unsigned char>(arguments[1]);
      snprintf(event, sizeof event, "cursor %d,%d", x, y);
      events_.push_back(event);
      if (x >= 1 && x <= columns_) column_ = x - 1;
      if (y >= 1 && y <= rows()) row_ = y - 1;
      return;
    }
    case 0x02:
      closed_ = true;
      events_.push_back("close");
      return;
    default:
      snprintf(event, sizeof event, "unknown command %02X", command);
      events_.push_back(event);
      return;
  }
}

void DisplayModel::Put(char c) {
  if (c == '\r') {
    column_ = 0;
    return;
  }
  if (c == '\n') {
    row_ = (row_ + 1) % rows();
    return;
  }
  if (static_cast<unsigned char>(c) < 0x20) return;
  text_ += c;
  screen_[static_cast<size_t>(row_)][static_cast<size_t>(column_)] = c;
  // The text runs on into the next row, and from the last row to the first.
  if (++column_ >= columns_) {
    column_ = 0;
    row_ = (row_ + 1) % rows();
  }
}

std::string DisplayModel::Render() const {
  std::string edge = "+" + std::string(static_cast<size_t>(columns_), '-') + "+\n";
  std::string out = edge;
  for (const std::string& row : screen_) out += "|" + row + "|\n";
  return out + edge;
}
