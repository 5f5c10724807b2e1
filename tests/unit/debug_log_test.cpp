#include "diagnostics/debug_log.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <regex>
#include <string>

#include "driver/driver_state.h"
#include "platform/win32.h"
#include "tests/support/driver_reset.h"
#include "tests/support/test_env.h"

// The clock the log reads, for the tests: the link sends the driver's calls
// of time() here (tests/unit/CMakeLists.txt); 0 means the real clock.
time_t g_fakeNow = 0;
extern "C" time_t __real_time(time_t* now);
extern "C" time_t __wrap_time(time_t* now) {
  if (g_fakeNow == 0) return __real_time(now);
  if (now != nullptr) *now = g_fakeNow;
  return g_fakeNow;
}

namespace {

const std::string kRule(35, '=');

TEST(DebugLog, BannerAndLinesWithTimeStamps) {
  FreshDriver fresh;
  SetDebugFlag(1);
  LogOpen();
  LogLine("Write", "100% %s %n done");
  // Flushed at once: the line is in the file while the log stays open.
  const std::string log = fresh.Log();
  const std::string stamp = "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-3][0-9]/[01][0-9]/[0-9][0-9] ";
  const std::regex expected(stamp + kRule + " " + kRule + "\n" +                         //
                            stamp + "Log File opened for  " + ModuleBaseName() + "\n" +  //
                            stamp + kRule + " " + kRule + "\n" +                         //
                            stamp + "Write 100% %s %n done\n");
  EXPECT_TRUE(std::regex_match(log, expected)) << log;
}

// The stamp is the local time of the line, hours:minutes:seconds then
// day/month/two-digit year, taken from the clock around the call.
TEST(DebugLog, TimeStampIsTheLocalTimeOfTheLine) {
  // A zone far from UTC, so that universal time cannot pass for local time.
  const std::string savedZone = qvtest::Env("TZ");
  const bool hadZone = getenv("TZ") != nullptr;
  setenv("TZ", "QVT-5:30", 1);
  tzset();
  {
    FreshDriver fresh;
    SetDebugFlag(1);
    LogOpen();
    const size_t banner = fresh.Log().size();
    const time_t before = time(nullptr);
    LogLine("Write", "now");
    const time_t after = time(nullptr);
    const std::string line = fresh.Log().substr(banner);
    std::string candidates;
    for (time_t t = before; t <= after; ++t) {
      struct tm local;
      ASSERT_NE(nullptr, localtime_r(&t, &local));
      char stamp[64];
      snprintf(stamp, sizeof stamp, "%02d:%02d:%02d %02d/%02d/%02d", local.tm_hour, local.tm_min, local.tm_sec,
               local.tm_mday, local.tm_mon + 1, local.tm_year % 100);
      candidates += std::string(stamp) + " Write now\n";
      if (line == std::string(stamp) + " Write now\n") break;
      if (t == after) ADD_FAILURE() << "got " << line << "expected one of\n" << candidates;
    }
  }
  {
    // Each line carries its own second, also when many come in one second,
    // and a later day its own date. 1700000000 is 22:13:20 on 14 November
    // 2023 in universal time, 03:43:20 on the 15th five and a half hours east.
    FreshDriver fresh;
    SetDebugFlag(1);
    LogOpen();
    const size_t banner = fresh.Log().size();
    const struct {
      time_t now;
      const char* stamp;
    } lines[] = {
        {1700000000, "03:43:20 15/11/23"}, {1700000000, "03:43:20 15/11/23"}, {1700000001, "03:43:21 15/11/23"},
        {1700000061, "03:44:21 15/11/23"}, {1700086461, "03:44:21 16/11/23"}, {1704047400, "00:00:00 01/01/24"},
        {1700000001, "03:43:21 15/11/23"},
    };
    std::string expected;
    for (const auto& line : lines) {
      g_fakeNow = line.now;
      LogLine("Write", "tick");
      expected += std::string(line.stamp) + " Write tick\n";
    }
    g_fakeNow = 0;
    EXPECT_EQ(expected, fresh.Log().substr(banner));
  }
  if (hadZone) {
    setenv("TZ", savedZone.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(DebugLog, WithTheFlagOffTheFileIsEmptiedAndStaysEmpty) {
  FreshDriver fresh;
  ASSERT_TRUE(qvtest::MakeDir("logs"));
  ASSERT_TRUE(qvtest::WriteWholeFile("logs/" + std::string(ModuleBaseName()) + ".log", "old lines\n"));
  LogLine("Init", "Called ");
  EXPECT_EQ("", fresh.Log());
}

TEST(DebugLog, OpensOncePerProcess) {
  FreshDriver fresh;
  SetDebugFlag(1);
  LogLine("Init", "first");
  LogOpen();
  LogOpen();
  LogLine("Init", "second");
  const std::string log = fresh.Log();
  EXPECT_NE(std::string::npos, log.find("Init first\n")) << log;
  EXPECT_NE(std::string::npos, log.find("Init second\n")) << log;
  EXPECT_EQ(log.find("Log File opened for"), log.rfind("Log File opened for")) << "one banner";
}

TEST(DebugLog, FlagSetAfterOpeningGivesLinesButNoBanner) {
  FreshDriver fresh;
  LogLine("Write", "before");
  SetDebugFlag(1);
  LogLine("Write", "after");
  const std::string log = fresh.Log();
  EXPECT_EQ(18u + strlen("Write after\n"), log.size()) << log;
  EXPECT_EQ("Write after\n", log.substr(18));
}

TEST(DebugLog, UncreatableLogIsReportedOnceAndTheDriverGoesOn) {
  FreshDriver fresh;
  // A file where the folder should be: neither folder nor log can be made.
  ASSERT_TRUE(qvtest::WriteWholeFile("logs", "not a folder"));
  SetDebugFlag(1);
  testing::internal::CaptureStdout();
  LogOpen();
  LogLine("Init", "Called ");
  LogOpen();
  SetLastError(ERROR_FILE_NOT_FOUND);
  const std::string text = FormatLastError("Serial Port does not exist");
  EXPECT_EQ("Failed to open ini file", testing::internal::GetCapturedStdout());
  EXPECT_EQ("Serial Port does not exist : The system cannot find the file specified.\r\n", text);
}

TEST(ErrorText, ComposedFromARealPlatformFailureAndLogged) {
  FreshDriver fresh;
  SetDebugFlag(1);
  HANDLE file = CreateFileA("/no/such/folder/port", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_EQ(INVALID_HANDLE_VALUE, file);
  const char* text = FormatLastError("Serial Port does not exist");
  EXPECT_STREQ("Serial Port does not exist : The system cannot find the file specified.\r\n", text);
  // The description's own line break, then the line's: an empty line follows.
  const std::string log = fresh.Log();
  EXPECT_NE(std::string::npos, log.find(" Error Serial Port does not exist : The system cannot find the file "
                                        "specified.\r\n\n"))
      << log;
}

TEST(ErrorText, CodeWithoutDescriptionNeverReusesAnEarlierOne) {
  FreshDriver fresh;
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_STREQ("Failed to open Serial Port : Access is denied.\r\n", FormatLastError("Failed to open Serial Port"));
  SetLastError(1234);
  EXPECT_STREQ("Error writing string : error 1234", FormatLastError("Error writing string"));
  SetLastError(0xE0000001u);
  EXPECT_STREQ("Error writing string : error 3758096385", FormatLastError("Error writing string"));
}

TEST(ErrorText, TwoInARowShareOneBuffer) {
  FreshDriver fresh;
  SetLastError(ERROR_INVALID_HANDLE);
  const char* first = FormatLastError("Failed to get Serial Port state");
  SetLastError(ERROR_INVALID_PARAMETER);
  const char* second = FormatLastError("Failed to set Serial Port state");
  EXPECT_EQ(first, second);
  EXPECT_STREQ("Failed to set Serial Port state : The parameter is incorrect.\r\n", first);
}

TEST(ErrorText, LongMessagesAreCutToTheBuffer) {
  FreshDriver fresh;
  SetDebugFlag(1);
  const std::string message(5000, 'm');
  SetLastError(ERROR_NOT_READY);
  const char* text = FormatLastError(message.c_str());
  EXPECT_EQ(sizeof g_log.errorText - 1, strlen(text));
  EXPECT_EQ(message.substr(0, sizeof g_log.errorText - 1), text);
}

}  // namespace
