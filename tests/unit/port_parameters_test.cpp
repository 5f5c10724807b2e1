#include "driver/port_parameters.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "diagnostics/debug_log.h"
#include "tests/support/driver_reset.h"

namespace {

struct ParseCase {
  const char* parameters;
  const char* failure;  // null: parses
  const char* path;
  int baud, dataBits, parity, stopBits;
};

ParseCase Fails(const char* parameters, const char* failure) { return {parameters, failure, "", 0, 0, 0, 0}; }

std::ostream& operator<<(std::ostream& out, const ParseCase& c) { return out << '"' << c.parameters << '"'; }

class Parse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Parse, GivesSettingsOrFailure) {
  const ParseCase& c = GetParam();
  FreshDriver fresh;
  PortSettings settings;
  memset(&settings, 0x5A, sizeof settings);
  const char* failure = ParsePortParameters(c.parameters, &settings);
  if (c.failure != nullptr) {
    ASSERT_NE(nullptr, failure);
    EXPECT_STREQ(c.failure, failure);
    return;
  }
  ASSERT_EQ(nullptr, failure) << failure;
  EXPECT_STREQ(c.path, settings.devicePath);
  EXPECT_EQ(c.baud, settings.baudRate);
  EXPECT_EQ(c.dataBits, settings.dataBits);
  EXPECT_EQ(c.parity, settings.parity);
  EXPECT_EQ(c.stopBits, settings.stopBits);
}

INSTANTIATE_TEST_SUITE_P(DefaultForm, Parse,
                         ::testing::Values(ParseCase{"default", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"defaults", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"default,COM9,300,5,E,2", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"defaultLog", nullptr, "COM3", 9600, 8, 0, 0},
                                           Fails("Default", "Data bits Incorrect?"),
                                           Fails("defaul", "Data bits Incorrect?")));

INSTANTIATE_TEST_SUITE_P(Fields, Parse,
                         ::testing::Values(ParseCase{"COM3,9600,8,N,1", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM12,19200,7,E,2", nullptr, "\\\\.\\COM12", 19200, 7, 2, 2},
                                           ParseCase{"LPT12,9600,8,N,1", nullptr, "\\\\.\\COM12", 9600, 8, 0, 0},
                                           ParseCase{"COM9,9600,8,N,1", nullptr, "COM9", 9600, 8, 0, 0},
                                           ParseCase{"COM10,9600,8,N,1", nullptr, "\\\\.\\COM10", 9600, 8, 0, 0},
                                           ParseCase{"COM,9600,8,N,1", nullptr, "COM", 9600, 8, 0, 0},
                                           ParseCase{"COM-12,9600,8,N,1", nullptr, "COM-12", 9600, 8, 0, 0},
                                           ParseCase{"COM99999999999,9600,8,N,1", nullptr, "\\\\.\\COM2147483647", 9600,
                                                     8, 0, 0},
                                           ParseCase{",9600,8,N,1", nullptr, "", 9600, 8, 0, 0},
                                           ParseCase{"COM3,,8,N,1", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,abc,8,N,1", nullptr, "COM3", 0, 8, 0, 0},
                                           ParseCase{"COM3, -5,8,N,1", nullptr, "COM3", -5, 8, 0, 0},
                                           ParseCase{"COM3,99999999999,8,N,1", nullptr, "COM3", INT_MAX, 8, 0, 0},
                                           ParseCase{"COM3,-99999999999,8,N,1", nullptr, "COM3", INT_MIN, 8, 0, 0},
                                           ParseCase{"COM3,9600,300,N,1", nullptr, "COM3", 9600, 300, 0, 0},
                                           ParseCase{"COM3,9600,x,N,1", nullptr, "COM3", 9600, 0, 0, 0}));

INSTANTIATE_TEST_SUITE_P(ParityAndStopBits, Parse,
                         ::testing::Values(ParseCase{"COM3,9600,8,O,1", nullptr, "COM3", 9600, 8, 1, 0},
                                           ParseCase{"COM3,9600,8,Even,1", nullptr, "COM3", 9600, 8, 2, 0},
                                           ParseCase{"COM3,9600,8,M,1", nullptr, "COM3", 9600, 8, 3, 0},
                                           ParseCase{"COM3,9600,8,S,1", nullptr, "COM3", 9600, 8, 4, 0},
                                           ParseCase{"COM3,9600,8,n,1", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,e,1", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,X,1", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,N", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,N,", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,N,2", nullptr, "COM3", 9600, 8, 0, 2},
                                           ParseCase{"COM3,9600,8,N, 2", nullptr, "COM3", 9600, 8, 0, 2},
                                           ParseCase{"COM3,9600,8,N,3", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,N,-2", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,N,1Log", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,N,2Log", nullptr, "COM3", 9600, 8, 0, 2},
                                           ParseCase{"COM3,9600,8,N,1,5", nullptr, "COM3", 9600, 8, 0, 0},
                                           ParseCase{"COM3,9600,8,N,2,2,2", nullptr, "COM3", 9600, 8, 0, 2}));

INSTANTIATE_TEST_SUITE_P(
    Failures, Parse,
    ::testing::Values(Fails("COM3,9600,,N,1", "Data bits Incorrect?"), Fails("COM3,9600,8,,1", "Parity Incorrect?"),
                      Fails("COM3,9600,,,1", "Data bits Incorrect?"),  // data bits are tested first
                      Fails("COM4", "Data bits Incorrect?"), Fails("COM4,", "Data bits Incorrect?"),
                      Fails("COM4,9600", "Data bits Incorrect?"), Fails("COM4,9600,8", "Parity Incorrect?"),
                      Fails("COM4,9600,8,", "Parity Incorrect?"), Fails("", "Data bits Incorrect?"),
                      Fails("Log", "Data bits Incorrect?")));

TEST(ParseLog, ProgressLinesShowThePortBeforeAndAfterTheRewrite) {
  struct {
    const char* parameters;
    std::vector<std::string> lines;
  } cases[] = {
      {"COM3,9600,8,N,1", {"Init port=COM3, num=3", "Init port=COM3, num=3"}},
      {"COM12,19200,7,E,2", {"Init port=COM12, num=12", "Init port=\\\\.\\COM12, num=12"}},
      {"COM,9600,8,N,1", {"Init port=COM, num=0", "Init port=COM, num=0"}},
      {"%s%n%x,9600,8,N,1", {"Init port=%s%n%x, num=0", "Init port=%s%n%x, num=0"}},
      {"COM4", {"Init port=COM4, num=4", "Init port=COM4, num=4"}},
      {"default", {}},
  };
  for (const auto& c : cases) {
    FreshDriver fresh;
    SetDebugFlag(1);
    LogOpen();
    PortSettings settings;
    ParsePortParameters(c.parameters, &settings);
    std::string log = fresh.Log();
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < log.size(); start = end + 1) {
      end = log.find('\n', start);
      lines.push_back(log.substr(start + 18, end - start - 18));  // past the time stamp
    }
    ASSERT_GE(lines.size(), 3u) << log;
    lines.erase(lines.begin(), lines.begin() + 3);  // the banner
    EXPECT_EQ(c.lines, lines) << c.parameters;
  }
}

TEST(ParseLimits, NullStringReadsAsEmpty) {
  FreshDriver fresh;
  PortSettings settings;
  EXPECT_STREQ("Data bits Incorrect?", ParsePortParameters(nullptr, &settings));
}

TEST(ParseLimits, OverlongFieldsAreCutAndTheNextFieldStillFollowsTheirComma) {
  FreshDriver fresh;
  const std::string port = "COM5" + std::string(96, 'x');
  PortSettings settings;
  ASSERT_EQ(nullptr, ParsePortParameters((port + ",19200,7,O,2").c_str(), &settings));
  EXPECT_EQ(port.substr(0, 79), settings.devicePath);
  EXPECT_EQ(19200, settings.baudRate);
  EXPECT_EQ(7, settings.dataBits);
  EXPECT_EQ(1, settings.parity);
  EXPECT_EQ(2, settings.stopBits);

  ASSERT_EQ(nullptr, ParsePortParameters(("COM3," + std::string(200, '7') + ",8,E,2").c_str(), &settings));
  EXPECT_EQ(INT_MAX, settings.baudRate);
  EXPECT_EQ(8, settings.dataBits);
  EXPECT_EQ(2, settings.parity);
}

// Whatever the host sends, the parser stays inside its buffers and gives
// settings within their ranges (run under the sanitizers too).
TEST(ParseLimits, RandomStringsStayInBounds) {
  FreshDriver fresh;
  SetDebugFlag(1);
  std::mt19937 random(731);
  const char alphabet[] = "COMLPTNEOSMdefault0123456789,,,,  -+%sLog\\.";
  for (int round = 0; round < 3000; ++round) {
    std::string text(random() % 300, ' ');
    for (char& c : text) c = alphabet[random() % (sizeof alphabet - 1)];
    PortSettings settings;
    const char* failure = ParsePortParameters(text.c_str(), &settings);
    if (failure != nullptr) {
      EXPECT_TRUE(strcmp(failure, kDataBitsIncorrect) == 0 || strcmp(failure, kParityIncorrect) == 0);
      continue;
    }
    EXPECT_LT(strlen(settings.devicePath), kFieldSize) << text;
    EXPECT_TRUE(settings.parity >= 0 && settings.parity <= 4) << text;
    EXPECT_TRUE(settings.stopBits == 0 || settings.stopBits == 2) << text;
  }
}

TEST(CopyField, CopiesUpToTheDelimiterAndCountsTheWholeField) {
  char field[8];
  EXPECT_EQ(4u, CopyField(field, sizeof field, "COM3,9600", ','));
  EXPECT_STREQ("COM3", field);
  EXPECT_EQ(0u, CopyField(field, sizeof field, ",9600", ','));
  EXPECT_STREQ("", field);
  EXPECT_EQ(0u, CopyField(field, sizeof field, "", ','));
  EXPECT_STREQ("", field);
  EXPECT_EQ(12u, CopyField(field, sizeof field, "123456789012,x", ','));
  EXPECT_STREQ("1234567", field) << "cut to the buffer, NUL included";
  EXPECT_EQ(3u, CopyField(field, 1, "abc", ','));
  EXPECT_STREQ("", field);
}

TEST(TextToInt, ConvertsLikeTheStandardConversionButSaturates) {
  struct {
    const char* text;
    int value;
  } cases[] = {
      {"9600", 9600},
      {"  +42x", 42},
      {"\t7", 7},
      {"-0", 0},
      {"", 0},
      {"abc", 0},
      {"+-3", 0},
      {"- 3", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"99999999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-2147483649", INT_MIN},
      {"1Log", 1},
      {"0x10", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, TextToInt(c.text)) << '"' << c.text << '"';
}

}  // namespace
