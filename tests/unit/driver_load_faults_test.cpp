// Faults under load, the whole driver in this process on a pseudo-terminal:
// thousands of logged calls, a folder where no log can be made, and a host
// process killed while it writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "tests/support/driver_reset.h"
#include "tests/support/pty_line.h"
#include "tests/support/test_env.h"

namespace {

using qvtest::LogEntry;

const std::string kRule(35, '=');

std::vector<LogEntry> OpeningEntries(const std::string& device) {
  return {{kRule, kRule},
          {"Log File opened for ", ModuleBaseName()},
          {kRule, kRule},
          {"Init", "Called "},
          {"Init", "port=" + device + ", num=0"},
          {"Init", "port=" + device + ", num=0"},
          {"Init", device + ",9600,8,0,0"}};
}

std::string Position(int x, int y) { return std::string("\x1B\x6C") + static_cast<char>(x) + static_cast<char>(y); }

TEST(LoadFaults, TenThousandLoggedCallsLeaveEveryLineComplete) {
  FreshDriver fresh;
  qvtest::PtyLine line;
  ASSERT_FALSE(line.device().empty());
  unsigned char status = 0;
  DISPLAYDLL_Init(20, 2, (line.device() + ",9600,8,N,1Log").c_str(), &status);
  ASSERT_EQ(1, status);
  line.ReadCount(8, 2000);
  std::vector<LogEntry> expected = OpeningEntries(line.device());
  std::string sent;
  std::string received;
  for (int i = 0; i < 10000; ++i) {
    if (i % 2 == 0) {
      int x = 1 + i % 20;
      int y = 1 + i / 2 % 2;
      ASSERT_EQ(1, DISPLAYDLL_SetPosition(x, y)) << i;
      expected.push_back({"SetPosition", "x=" + std::to_string(x) + ", y=" + std::to_string(y)});
      sent += Position(x, y);
    } else {
      const std::string text = "call " + std::to_string(i) + " of 10000";
      ASSERT_EQ(1, DISPLAYDLL_Write(text.c_str())) << i;
      expected.push_back({"Write", text});
      sent += text;
    }
    // Keep the line moving: a pseudo-terminal holds only so much.
    if (i % 200 == 199) received += line.ReadCount(sent.size() - received.size(), 2000);
  }
  received += line.ReadCount(sent.size() - received.size(), 2000);
  EXPECT_TRUE(sent == received) << "the bytes on the line differ from those sent";
  const std::string log = fresh.Log();
  size_t at = 0;
  EXPECT_EQ("", qvtest::MatchLogEntries(log, &at, expected));
  EXPECT_EQ(log.size(), at) << "the log goes on after the last call's line";
  EXPECT_EQ(1, DISPLAYDLL_Done());
}

TEST(LoadFaults, NoLogCanBeCreatedYetEveryCallWorks) {
  FreshDriver fresh;
  // A file where the log folder should be: neither it nor the log can be made.
  ASSERT_TRUE(qvtest::WriteWholeFile("logs", "not a folder"));
  qvtest::PtyLine line;
  testing::internal::CaptureStdout();
  unsigned char status = 0;
  std::string name = DISPLAYDLL_Init(20, 2, (line.device() + ",9600,8,N,1Log").c_str(), &status);
  std::string sent;
  std::string received = line.ReadCount(8, 2000);
  int failures = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string text = "row " + std::to_string(i);
    failures += DISPLAYDLL_SetPosition(1, 1 + i % 2) != 1;
    failures += DISPLAYDLL_Write(text.c_str()) != 1;
    failures += i % 100 == 0 && DISPLAYDLL_PowerResume() != 1;
    sent += Position(1, 1 + i % 2) + text;
    if (i % 100 == 0) sent += std::string("\x1B\x40\x1B\x2A\x04\x1B\x5F\x00", 8);
    if (i % 200 == 199) received += line.ReadCount(8 + sent.size() - received.size(), 2000);
  }
  received += line.ReadCount(8 + sent.size() - received.size(), 2000);
  EXPECT_EQ(1, DISPLAYDLL_Done());
  EXPECT_EQ("Failed to open ini file", testing::internal::GetCapturedStdout()) << "one message, once";
  EXPECT_EQ(1, status);
  EXPECT_EQ(DISPLAYDLL_DriverName(), name);
  EXPECT_EQ(0, failures);
  EXPECT_TRUE(received.size() >= 8 && received.substr(8) == sent) << "the bytes on the line differ from those sent";
}

// A host process killed at a random moment, again and again: every call that
// had returned has its whole line in the log; only the call under way may
// have lost its line.
TEST(LoadFaults, KilledHostKeepsTheLinesOfEveryReturnedCall) {
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 5; ++round) {
    FreshDriver fresh;
    qvtest::PtyLine line;
    ASSERT_FALSE(line.device().empty());
    // How many calls had returned, seen by this process after the kill.
    auto* returned = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void*>(returned));
    new (returned) std::atomic<int>(-1);
    fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      unsigned char status = 0;
      DISPLAYDLL_Init(20, 2, (line.device() + ",9600,8,N,1Log").c_str(), &status);
      if (status != 1) _exit(1);
      returned->store(0);
      for (int i = 0;; ++i) {
        DISPLAYDLL_Write(("call " + std::to_string(i)).c_str());
        returned->store(i + 1);
      }
    }
    // From the driver's start on, a random time while the line keeps moving.
    for (int waited = 0; returned->load() < 0 && waited < 5000; waited += 1) qvtest::SleepMs(1);
    const int waitMs = std::uniform_int_distribution<int>(0, 200)(random);
    for (int waited = 0; waited < waitMs; waited += 2) {
      line.Read(0);
      qvtest::SleepMs(2);
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the host ended by itself, status " << status;
    const int calls = returned->load();
    munmap(returned, sizeof(std::atomic<int>));
    ASSERT_GE(calls, 0) << "the driver did not start";
    std::vector<LogEntry> expected = OpeningEntries(line.device());
    for (int i = 0; i < calls; ++i) expected.push_back({"Write", "call " + std::to_string(i)});
    const std::string log = fresh.Log();
    size_t at = 0;
    EXPECT_EQ("", qvtest::MatchLogEntries(log, &at, expected)) << "after " << calls << " calls";
    // What follows can only be the line of the call under way, maybe cut.
    const std::string rest = log.substr(at);
    const std::string next = " Write call " + std::to_string(calls) + "\n";
    EXPECT_TRUE(rest.empty() || (rest.size() <= 17 + next.size() && rest.find('\n') >= rest.size() - 1))
        << "after " << calls << " calls the log goes on with: " << rest;
  }
}

}  // namespace
