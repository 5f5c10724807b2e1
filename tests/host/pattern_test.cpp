// The host's test pattern: each page's screen on the simulated display, for
// the pages as the host builds them and for the bytes the driver sends when
// the host program draws them on a serial line.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "host/test_pattern.h"
#include "simulator/model.h"
#include "simulator/picture.h"
#include "tests/support/pty_line.h"
#include "tests/support/test_env.h"

namespace {

typedef std::vector<std::string> Screen;

std::string Range(int first, int last) {
  std::string bytes;
  for (int code = first; code <= last; ++code) bytes += static_cast<char>(code);
  return bytes;
}

// The pages of a 20 x 2 display, row by row.
const std::vector<Screen>& TwentyByTwo() {
  static const std::vector<Screen> pages = {
      {"123456789A123456789A", "123456789B123456789B"},
      {"1                  2", "3                  4"},
      {"20:" + Range(0x20, 0x2F) + " ", "30:" + Range(0x30, 0x3F) + " "},
      {"40:" + Range(0x40, 0x4F) + " ", "50:" + Range(0x50, 0x5F) + " "},
      {"60:" + Range(0x60, 0x6F) + " ", "70:" + Range(0x70, 0x7E) + "  "},
      {"80:" + Range(0x80, 0x8F) + " ", "90:" + Range(0x90, 0x9F) + " "},
      {"A0:" + Range(0xA0, 0xAF) + " ", "B0:" + Range(0xB0, 0xBF) + " "},
      {"C0:" + Range(0xC0, 0xCF) + " ", "D0:" + Range(0xD0, 0xDF) + " "},
      {"E0:" + Range(0xE0, 0xEF) + " ", "F0:" + Range(0xF0, 0xFF) + " "},
  };
  return pages;
}

// The bytes the driver sends for a page's calls (positions within the display).
std::string Bytes(const PatternPage& page) {
  std::string bytes;
  for (const PatternCall& call : page.calls) {
    bytes +=
        call.position ? std::string("\x1B\x6C") + static_cast<char>(call.x) + static_cast<char>(call.y) : call.text;
  }
  return bytes;
}

Screen Rows(const DisplayModel& display) {
  Screen rows;
  for (int row = 0; row < display.rows(); ++row) rows.push_back(display.Row(row));
  return rows;
}

// A byte no page shows.
const char kFiller = 0x7F;

// Draws the pages one after the other on a screen that starts full of
// kFiller, giving the screen after each.
std::vector<Screen> Drawn(int columns, int rows) {
  DisplayModel display(columns, rows);
  display.Feed(std::string(static_cast<size_t>(columns * rows), kFiller));
  std::vector<Screen> screens;
  for (const PatternPage& page : PatternPages(columns, rows)) {
    display.Feed(Bytes(page));
    screens.push_back(Rows(display));
  }
  return screens;
}

TEST(HostPattern, TwentyByTwoPagesNumberEveryCellReachTheCornersAndShowEveryByte) {
  EXPECT_EQ(TwentyByTwo(), Drawn(20, 2));
  const std::vector<PatternPage> pages = PatternPages(20, 2);
  ASSERT_EQ(9u, pages.size());
  EXPECT_EQ("bytes 0x20 to 0x3F, 16 a row", pages[2].title);
  EXPECT_EQ("bytes 0x60 to 0x7E, 16 a row", pages[4].title);
  EXPECT_EQ("bytes 0xE0 to 0xFF, 16 a row", pages[8].title);
  // The corners are reached by a position each, not by text running on.
  std::vector<std::pair<int, int>> positions;
  for (size_t call = pages[1].calls.size() - 8; call < pages[1].calls.size(); call += 2) {
    ASSERT_TRUE(pages[1].calls[call].position);
    positions.push_back({pages[1].calls[call].x, pages[1].calls[call].y});
    EXPECT_EQ(1u, pages[1].calls[call + 1].text.size());
  }
  EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 1}, {20, 1}, {1, 2}, {20, 2}}), positions);
}

TEST(HostPattern, PagesFollowTheGeometry) {
  // 40 x 4: the row letters run on; 16 bytes a row, four rows a page.
  const std::vector<Screen> forty = Drawn(40, 4);
  ASSERT_EQ(6u, forty.size());
  EXPECT_EQ("123456789C123456789C123456789C123456789C", forty[0][2]);
  EXPECT_EQ("1" + std::string(38, ' ') + "2", forty[1][0]);
  EXPECT_EQ(std::string(40, ' '), forty[1][1]);
  EXPECT_EQ("3" + std::string(38, ' ') + "4", forty[1][3]);
  EXPECT_EQ("50:" + Range(0x50, 0x5F) + std::string(21, ' '), forty[2][3]);
  EXPECT_EQ("60:" + Range(0x60, 0x6F) + std::string(21, ' '), forty[3][0]);
  EXPECT_EQ(std::string(40, ' '), forty[3][2]);  // the rows after 0x70 are blank
  EXPECT_EQ("F0:" + Range(0xF0, 0xFF) + std::string(21, ' '), forty[5][3]);
  // 16 x 2: 8 bytes a row after the code.
  const std::vector<Screen> sixteen = Drawn(16, 2);
  EXPECT_EQ("123456789A123456", sixteen[0][0]);
  EXPECT_EQ("20:" + Range(0x20, 0x27) + "     ", sixteen[2][0]);
  EXPECT_EQ("28:" + Range(0x28, 0x2F) + "     ", sixteen[2][1]);
  // 3 x 1: no room for the code; the corners fall on each other.
  const std::vector<Screen> tiny = Drawn(3, 1);
  EXPECT_EQ((Screen{"123"}), tiny[0]);
  EXPECT_EQ((Screen{"3 4"}), tiny[1]);
  EXPECT_EQ((Screen{" !\""}), tiny[2]);
  // No cells, no pages.
  EXPECT_TRUE(PatternPages(0, 2).empty());
  EXPECT_TRUE(PatternPages(20, 0).empty());
}

TEST(HostPattern, EveryPageCoversTheScreenAndEveryByteShowsOnce) {
  for (const auto& size : std::vector<std::pair<int, int>>{{20, 2}, {40, 4}, {16, 2}, {20, 1}, {7, 3}, {3, 2}}) {
    const int columns = size.first, rows = size.second;
    const std::vector<Screen> screens = Drawn(columns, rows);
    std::multiset<unsigned char> shown;
    for (size_t page = 0; page < screens.size(); ++page) {
      for (const std::string& row : screens[page]) {
        EXPECT_EQ(std::string::npos, row.find(kFiller)) << columns << "x" << rows << " page " << page + 1;
        if (page < 2) continue;
        const size_t start = columns >= 4 ? 3 : 0;
        if (columns >= 4 && row.find_first_not_of(' ') != std::string::npos) {
          // The code before the bytes is that of the row's first byte.
          char label[8];
          snprintf(label, sizeof label, "%02X:", static_cast<unsigned char>(row[3]));
          EXPECT_EQ(label, row.substr(0, 3)) << columns << "x" << rows << " page " << page + 1;
        }
        for (size_t cell = start; cell < row.size(); ++cell) {
          if (row[cell] != ' ') shown.insert(static_cast<unsigned char>(row[cell]));
        }
      }
    }
    // The blank, 0x20, comes first: where the first byte page's bytes begin.
    ASSERT_GT(screens.size(), 2u);
    EXPECT_EQ(columns >= 4 ? "20: " : " ", screens[2][0].substr(0, columns >= 4 ? 4 : 1)) << columns << "x" << rows;
    std::multiset<unsigned char> expected;
    for (int code = 0x21; code <= 0xFF; ++code) {
      if (code != 0x7F) expected.insert(static_cast<unsigned char>(code));
    }
    EXPECT_EQ(expected, shown) << columns << "x" << rows;
  }
}

// The host program, the native driver and a serial line: the bytes that come
// off the line, drawn by the simulated display's model.
struct HostRun {
  int status = -1;
  std::string output;
  std::string bytes;
  double seconds = 0;
};

// display_host with `init COLUMNS ROWS LINE,9600,8,N,1Log` and then `calls`.
HostRun RunHost(int columns, int rows, const std::string& calls) {
  HostRun run;
  qvtest::PtyLine line;
  const std::string temp = qvtest::MakeTempDir();
  if (line.device().empty() || temp.empty()) return run;
  const std::string command = "cd '" + temp + "' && '" QV_DISPLAY_HOST "' '" QV_LIBRARY "' init " +
                              std::to_string(columns) + " " + std::to_string(rows) + " " + line.device() +
                              ",9600,8,N,1Log " + calls + " 2>&1";
  const auto start = std::chrono::steady_clock::now();
  FILE* host = popen(command.c_str(), "r");
  if (host != nullptr) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, host)) > 0;) run.output.append(buffer, n);
    const int status = pclose(host);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.bytes = line.Read(300);
  qvtest::RemoveTree(temp);
  return run;
}

// Feeds the bytes to a display of the given size and returns how many of
// `pages` showed, in their order, at some moment; with QV_PATTERN_PICTURES
// set to a folder, writes each page's picture there (docs/pattern-N.png).
size_t PagesShown(const std::string& bytes, int columns, int rows, const std::vector<Screen>& pages,
                  DisplayModel* display) {
  *display = DisplayModel(columns, rows);
  size_t next = 0;
  const std::string pictures = qvtest::Env("QV_PATTERN_PICTURES");
  display->SetListener([&](const DisplayEvent&) {
    if (next >= pages.size() || Rows(*display) != pages[next]) return;
    ++next;
    std::string error;
    if (!pictures.empty()) {
      EXPECT_TRUE(WritePicture(*display, pictures + "/pattern-" + std::to_string(next) + ".png", &error)) << error;
    }
  });
  display->Feed(bytes);
  display->CutOff();
  return next;
}

TEST(HostPattern, TheHostDrawsEveryPageThroughTheDriver) {
  const HostRun run = RunHost(20, 2, "pattern 0 done");
  ASSERT_EQ(0, run.status) << run.output;
  DisplayModel display;
  EXPECT_EQ(9u, PagesShown(run.bytes, 20, 2, TwentyByTwo(), &display)) << run.output;
  EXPECT_TRUE(display.closed());
  EXPECT_EQ(1, display.resets());
  for (const DisplayEvent& event : display.events()) EXPECT_FALSE(event.flagged()) << event.what;
  // A line a page, no failed call.
  for (int page = 1; page <= 9; ++page) {
    EXPECT_NE(std::string::npos, run.output.find("\npattern " + std::to_string(page) + "/9: ")) << run.output;
  }
  EXPECT_NE(std::string::npos, run.output.find("pattern 5/9: bytes 0x60 to 0x7E, 16 a row\n")) << run.output;
  EXPECT_EQ(std::string::npos, run.output.find("failed")) << run.output;
}

TEST(HostPattern, TheHostDrawsOnTheGeometryOfTheFirstInitAndWaitsBetweenPages) {
  // The second init changes nothing in the driver, nor in the pattern.
  const HostRun run = RunHost(16, 2, "init 40 4 default pattern 100 done");
  ASSERT_EQ(0, run.status) << run.output;
  const std::vector<Screen> pages = {
      {"123456789A123456", "123456789B123456"},
      {"1              2", "3              4"},
      {"20:" + Range(0x20, 0x27) + "     ", "28:" + Range(0x28, 0x2F) + "     "},
  };
  DisplayModel display;
  EXPECT_EQ(3u, PagesShown(run.bytes, 16, 2, pages, &display)) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("pattern 16/16: bytes 0xF0 to 0xFF, 8 a row\n")) << run.output;
  // Each of the 16 pages stays 100 ms.
  EXPECT_GE(run.seconds, 1.6);
}

}  // namespace
