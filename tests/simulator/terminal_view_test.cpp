// The live view on terminals of a given size: what it prints is played on a
// small terminal of that size (lines wrap at its width, the cursor moves up
// and the screen is cleared as ANSI sequences ask), and what the terminal
// then shows is checked.
#include "simulator/terminal_view.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "simulator/session.h"
#include "tests/support/captured_output.h"

namespace {

// A terminal as the view draws on it: its lines, and those scrolled off its top.
class Terminal {
 public:
  Terminal(int columns, int rows)
      : columns_(columns), screen_(static_cast<size_t>(rows), std::string(static_cast<size_t>(columns), ' ')) {}

  void Play(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
        size_t end = i + 2;
        while (end < bytes.size() && !(bytes[end] >= '@' && bytes[end] <= '~')) ++end;
        if (end >= bytes.size()) break;
        Sequence(bytes.substr(i + 2, end - i - 2), bytes[end]);
        i = end;
      } else if (c == '\r') {
        column_ = 0;
        wrapping_ = false;
      } else if (c == '\n') {  // the terminal's output turns "\n" into CR LF
        column_ = 0;
        wrapping_ = false;
        LineFeed();
      } else {
        if (wrapping_) {
          column_ = 0;
          wrapping_ = false;
          LineFeed();
        }
        screen_[static_cast<size_t>(row_)][static_cast<size_t>(column_)] = c;
        if (column_ + 1 == columns_) {
          wrapping_ = true;  // the next character goes on the next line
        } else {
          ++column_;
        }
      }
    }
  }

  // Every line, those scrolled off first, without blanks at their ends, up
  // to the last that holds anything.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines = scrolled_;
    lines.insert(lines.end(), screen_.begin(), screen_.end());
    for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
  }

 private:
  void LineFeed() {
    if (row_ + 1 < static_cast<int>(screen_.size())) {
      ++row_;
      return;
    }
    scrolled_.push_back(screen_.front());
    screen_.erase(screen_.begin());
    screen_.push_back(std::string(static_cast<size_t>(columns_), ' '));
  }

  void Sequence(const std::string& parameters, char command) {
    if (command == 'A') {
      const int count = parameters.empty() ? 1 : atoi(parameters.c_str());
      row_ = row_ > count ? row_ - count : 0;
      wrapping_ = false;
    } else if (command == 'J') {
      screen_[static_cast<size_t>(row_)].replace(static_cast<size_t>(column_), std::string::npos,
                                                 static_cast<size_t>(columns_ - column_), ' ');
      for (size_t row = static_cast<size_t>(row_) + 1; row < screen_.size(); ++row) {
        screen_[row].assign(static_cast<size_t>(columns_), ' ');
      }
    }  // colours ("m") change nothing here
  }

  int columns_;
  std::vector<std::string> screen_;
  std::vector<std::string> scrolled_;
  int row_ = 0;
  int column_ = 0;
  bool wrapping_ = false;
};

// A session of a 20x2 display shown live on a terminal of the given size:
// a reset, an unknown sequence, then one character at a time.
std::string LiveSession(TerminalSize size) {
  Session session(20, 2, 0);
  qvtest::CapturedOutput out;
  LiveOutput output(out.file(), size);
  output.Update(session, 0, false);
  session.Receive("\x1B@\x1BZ", 0.1);
  output.Update(session, 0.1, true);
  const std::string text = "Hello, narrow world";
  for (size_t i = 0; i < text.size(); ++i) {
    session.Receive(text.substr(i, 1), 0.2 + 0.01 * static_cast<double>(i));
    output.Update(session, 0.2 + 0.01 * static_cast<double>(i), true);
  }
  session.Receive("\x1B\x02", 1);
  output.Update(session, 1, true);
  session.Finish();
  output.Finish(session, 1);
  return out.Text();
}

size_t Count(const std::vector<std::string>& lines, const std::string& wanted) {
  size_t count = 0;
  for (const std::string& line : lines) count += line == wanted ? 1 : 0;
  return count;
}

TEST(LiveView, RedrawsInPlaceOnTerminalsNarrowerThanItsStatusLines) {
  const std::string edge = "+" + std::string(20, '-') + "+";
  // 80 columns hold every line; at 30 and 22 the status lines would wrap.
  for (int columns : {80, 30, 22}) {
    SCOPED_TRACE(testing::Message() << columns << " columns");
    Terminal terminal(columns, 10);
    terminal.Play(LiveSession(TerminalSize{columns, 10}));
    const std::vector<std::string> lines = terminal.Lines();
    std::string shown;
    for (const std::string& line : lines) shown += line + "\n";
    // The flagged sequence, where it was printed (wrapped on a narrow
    // terminal), then one frame, the last: nothing left of earlier drawings.
    ASSERT_GE(lines.size(), 7u) << shown;
    const size_t frame = lines.size() - 6;
    std::string above;
    for (size_t i = 0; i < frame; ++i) {
      above += lines[i];
      if (i + 1 < frame) above.resize(above.size() + static_cast<size_t>(columns) - lines[i].size(), ' ');
    }
    EXPECT_EQ("display: unknown sequence ESC \"Z\"", above) << shown;
    EXPECT_EQ(2u, Count(lines, edge)) << shown;
    EXPECT_EQ(edge, lines[frame]) << shown;
    EXPECT_EQ("|Hello, narrow world |", lines[frame + 1]) << shown;
    EXPECT_EQ("|                    |", lines[frame + 2]) << shown;
    EXPECT_EQ(edge, lines[frame + 3]) << shown;
    EXPECT_EQ(0u, lines[frame + 4].find("cursor 20,1")) << shown;
    EXPECT_EQ(0u, lines[frame + 5].find("last: close")) << shown;
  }
}

TEST(LiveView, EventLinesWhenTheFrameDoesNotFit) {
  // Narrower than the frame, or too low for it and its status lines.
  for (const TerminalSize& size : {TerminalSize{21, 24}, TerminalSize{80, 6}}) {
    SCOPED_TRACE(testing::Message() << size.columns << "x" << size.rows);
    const std::string printed = LiveSession(size);
    EXPECT_EQ(std::string::npos, printed.find('\x1b')) << printed;
    EXPECT_EQ(0u,
              printed.find("display: the terminal is too small for a live view of 20x2: one line per event follows\n"
                           "display: reset\n"
                           "display: unknown sequence ESC \"Z\"\n"))
        << printed;
    EXPECT_NE(std::string::npos, printed.find("display: close\n+--------------------+\n|Hello, narrow world |\n"))
        << printed;
  }
  EXPECT_TRUE(TerminalView(stdout, TerminalSize{22, 7}).Fits(DisplayModel(20, 2)));
  EXPECT_FALSE(TerminalView(stdout, TerminalSize{22, 6}).Fits(DisplayModel(20, 2)));
}

}  // namespace
