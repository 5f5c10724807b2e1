#include "simulator/model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/spy.h"

namespace {

const std::string kInit("\x1B\x40\x1B\x2A\x04\x1B\x5F\x00", 8);

std::string Bytes(const char* bytes, size_t count) { return std::string(bytes, count); }

TEST(DisplayModel, ShowsTextWhereTheCursorWasSent) {
  DisplayModel display;
  display.Feed(kInit + "Hello" + Bytes("\x1B\x6C\x03\x02", 4) + "world" + Bytes("\x1B\x02", 2));
  EXPECT_EQ("Hello               ", display.Row(0));
  EXPECT_EQ("  world             ", display.Row(1));
  EXPECT_TRUE(display.closed());
  EXPECT_EQ((std::vector<std::string>{"reset", "setting * 4", "setting _ 0", "text \"Hello\"", "cursor 3,2",
                                      "text \"world\"", "close"}),
            display.EventLines());
  EXPECT_EQ(4, display.setting('*'));
  EXPECT_EQ(0, display.setting('_'));
  // Every byte received belongs to exactly one event.
  std::string all;
  for (const DisplayEvent& event : display.events()) all += event.bytes;
  EXPECT_EQ(kInit + "Hello" + Bytes("\x1B\x6C\x03\x02", 4) + "world" + Bytes("\x1B\x02", 2), all);
}

TEST(DisplayModel, CommandsSplitAcrossReadsAndTextRunningOn) {
  DisplayModel display;
  // 25 characters from 1,1 fill row 1 and run on into row 2; the cursor then goes home.
  const std::string bytes = kInit + std::string(25, 'x') + Bytes("\x1B\x6C\x01\x01", 4) + "ab";
  for (char c : bytes) display.Feed(std::string(1, c));
  EXPECT_EQ("ab" + std::string(18, 'x'), display.Row(0));
  EXPECT_EQ(std::string(5, 'x') + std::string(15, ' '), display.Row(1));
  EXPECT_EQ(1, display.resets());
  EXPECT_FALSE(display.closed());
  // After the last cell of the screen the next character goes to 1,1.
  DisplayModel wrap(3, 2);
  wrap.Feed("abcdefg");
  EXPECT_EQ("gbc", wrap.Row(0));
  EXPECT_EQ("def", wrap.Row(1));
  EXPECT_EQ(2, wrap.cursorColumn());
  EXPECT_EQ(1, wrap.cursorRow());
}

TEST(DisplayModel, ResetClearsHomesAndForgetsSettings) {
  DisplayModel display;
  display.Feed(kInit + Bytes("\x1B\x6C\x05\x02", 4) + "xy" + Bytes("\x1B\x2A\x09", 3) + Bytes("\x1B\x40", 2) + "A");
  EXPECT_EQ("A" + std::string(19, ' '), display.Row(0));
  EXPECT_EQ(std::string(20, ' '), display.Row(1));
  EXPECT_EQ(2, display.cursorColumn());
  EXPECT_EQ(-1, display.setting('*'));
  EXPECT_EQ(-1, display.setting('_'));
  EXPECT_EQ(2, display.resets());
}

TEST(DisplayModel, CursorOutsideTheGeometryKeepsThatCoordinate) {
  DisplayModel display;
  display.Feed(Bytes("\x1B\x6C\x04\x02", 4) + Bytes("\x1B\x6C\x00\x01", 4) + "a" + Bytes("\x1B\x6C\x15\x00", 4) + "b" +
               Bytes("\x1B\x6C\x14\x03", 4) + "c");
  EXPECT_EQ("   ab" + std::string(14, ' ') + "c", display.Row(0));
  EXPECT_EQ(std::string(20, ' '), display.Row(1));
  EXPECT_EQ("cursor 0,1 (outside 20x2: the cursor stays at 4,1)", display.EventLines()[1]);
  EXPECT_EQ("cursor 20,3 (outside 20x2: the cursor stays at 20,1)", display.EventLines()[5]);
}

TEST(DisplayModel, UnknownAndCutOffSequencesAreReportedNotDropped) {
  DisplayModel display;
  // An unknown command takes its two bytes only; what follows is text again.
  display.Feed(Bytes("\x1B\x41xy\x1B\x03z", 7) + Bytes("\x1B\x6C\x02", 3));
  EXPECT_TRUE(display.midSequence());
  display.CutOff();
  EXPECT_FALSE(display.midSequence());
  EXPECT_EQ((std::vector<std::string>{"unknown sequence ESC \"A\"", "text \"xy\"", "unknown sequence ESC 0x03",
                                      "text \"z\"", "cut-off sequence: ESC \"l\" with 1 of its 2 argument bytes"}),
            display.EventLines());
  EXPECT_TRUE(display.events()[0].flagged());
  EXPECT_TRUE(display.events()[4].flagged());
  EXPECT_EQ(Bytes("\x1B\x6C\x02", 3), display.events()[4].bytes);
  EXPECT_EQ("xyz                 ", display.Row(0));
  // A lone ESC at the end, and bytes after a cut-off start afresh.
  display.Feed("\x1B");
  display.CutOff();
  display.Feed("q");
  EXPECT_EQ("cut-off sequence: ESC with no command byte", display.EventLines()[5]);
  EXPECT_EQ("xyzq                ", display.Row(0));
  display.CutOff();  // nothing pending: no event
  EXPECT_EQ(7u, display.events().size());
}

TEST(DisplayModel, BytesOutsideTheFontAreCharactersShownAsPlaceholders) {
  DisplayModel display(6, 1);
  // Arguments may be any byte, ESC included: ESC * ESC is a setting of 27.
  display.Feed(
      Bytes("\x1B\x2A\x1B"
            "a\r\n\x7F\xB0\"",
            9));
  EXPECT_EQ(27, display.setting('*'));
  EXPECT_EQ(Bytes("a\r\n\x7F\xB0\"", 6), display.Row(0));
  EXPECT_EQ("text \"a\\x0D\\x0A\\x7F\\xB0\\\"\"", display.EventLines()[1]);
  EXPECT_EQ("+------+\n|a????\"|\n+------+\n", display.Render());
}

TEST(DisplaySpy, EveryByteInHexBesideItsDecodingAndTime) {
  DisplayModel display;
  DisplaySpy spy;
  display.Feed(kInit + Bytes("\x1B\x6C\x01\x02", 4));
  EXPECT_EQ(
      "     0.000  1B 40                      reset\n"
      "     0.000  1B 2A 04                   setting * 4\n"
      "     0.000  1B 5F 00                   setting _ 0\n"
      "     0.000  1B 6C 01 02                cursor 1,2\n",
      spy.Report(display, 0));
  // Nothing new, nothing printed; text over eight bytes goes on over more lines.
  EXPECT_EQ("", spy.Report(display, 0.5));
  display.Feed("Hello, \"QV\"");
  EXPECT_EQ(
      "     1.250  48 65 6C 6C 6F 2C 20 22    text \"Hello, \\\"QV\\\"\"\n"
      "            51 56 22\n",
      spy.Report(display, 1.25));
  display.Feed(Bytes("\x1B\x41\x1B\x6C", 4));
  display.CutOff();
  // After the close: the count, and the first eight bytes in hex.
  display.Feed(Bytes("\x1B\x02", 2) + "Goodbye!?");
  display.ReportIgnored();
  EXPECT_EQ(
      "    12.346  1B 41                   !! unknown sequence ESC \"A\"\n"
      "    12.346  1B 6C                   !! cut-off sequence: ESC \"l\" with 0 of its 2 argument bytes\n"
      "    12.346  1B 02                      close\n"
      "    12.346  47 6F 6F 64 62 79 65 21 !! ignored: 9 bytes after the close\n",
      spy.Report(display, 12.3456));
}

}  // namespace
