// The whole driver in this process, on a pseudo-terminal, with the faults that
// only the platform layer can make: a port that refuses its time-outs, a
// failing write, an opening refused for another reason than a missing device.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "diagnostics/debug_log.h"
#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "platform/posix/fault_injection.h"
#include "tests/support/driver_reset.h"
#include "tests/support/pty_line.h"

namespace {

const std::string kInitSequence("\x1B\x40\x1B\x2A\x04\x1B\x5F\x00", 8);

// A pseudo-terminal: the driver opens the device, the test reads the master.
using Pty = qvtest::PtyLine;

struct InitResult {
  std::string text;
  int status;
};

InitResult Init(const std::string& parameters) {
  unsigned char status = 0xEE;
  std::string text = DISPLAYDLL_Init(20, 2, parameters.c_str(), &status);
  return {text, status};
}

TEST(DriverFaults, TimeOutsRefusedLeaveThePortOpenAndSendNothing) {
  FreshDriver fresh;
  Pty line;
  ASSERT_FALSE(line.device().empty());
  PlatformFailNextCall(kPlatformSetCommTimeouts, ERROR_GEN_FAILURE);
  InitResult result = Init(line.device() + ",9600,8,N,1Log");
  EXPECT_EQ("Error setting timeout values : A device attached to the system is not functioning.\r\n", result.text);
  EXPECT_EQ(0, result.status);
  EXPECT_EQ("", line.Read());
  EXPECT_NE(std::string::npos, fresh.Log().find(" Error " + result.text + "\n")) << fresh.Log();
  EXPECT_EQ(1, DISPLAYDLL_Done()) << "the port stayed open until Done";
}

TEST(DriverFaults, EachConfigurationStepReportsItsOwnMessage) {
  struct {
    PlatformCall call;
    DWORD error;
    const char* text;
    int doneResult;  // the port stays open after a configuration failure
  } cases[] = {
      {kPlatformCreateFile, ERROR_ACCESS_DENIED, "Failed to open Serial Port : Access is denied.\r\n", 0},
      {kPlatformCreateFile, ERROR_FILE_NOT_FOUND,
       "Serial Port does not exist : The system cannot find the file specified.\r\n", 0},
      {kPlatformGetCommState, ERROR_INVALID_HANDLE, "Failed to get Serial Port state : The handle is invalid.\r\n", 1},
      {kPlatformSetCommState, ERROR_INVALID_PARAMETER,
       "Failed to set Serial Port state : The parameter is incorrect.\r\n", 1},
  };
  for (const auto& c : cases) {
    FreshDriver fresh;
    Pty line;
    PlatformFailNextCall(c.call, c.error);
    InitResult result = Init(line.device() + ",9600,8,N,1");
    EXPECT_EQ(c.text, result.text);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", line.Read(50));
    EXPECT_EQ(c.doneResult, DISPLAYDLL_Done()) << c.text;
  }
}

TEST(DriverFaults, SequenceWriteFailingAfterConfigurationStillReportsSuccess) {
  FreshDriver fresh;
  Pty line;
  PlatformFailNextCall(kPlatformWriteFile, ERROR_NOT_READY);
  InitResult result = Init(line.device() + ",9600,8,N,1Log");
  EXPECT_EQ(std::string(DISPLAYDLL_DriverName()), result.text);
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos, fresh.Log().find(" Error Error writing string : The device is not ready.\r\n\n"))
      << fresh.Log();
  // The next write goes through again.
  EXPECT_EQ(1, DISPLAYDLL_PowerResume());
  EXPECT_EQ(kInitSequence, line.Read());
  EXPECT_EQ(1, DISPLAYDLL_Done());
}

TEST(DriverFaults, WriteFailureIsNonzeroButNotSuccess) {
  FreshDriver fresh;
  Pty line;
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1Log").status);
  line.Read();
  PlatformFailNextCall(kPlatformWriteFile, ERROR_SEM_TIMEOUT);
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_Write("lost"));
  EXPECT_NE(0, DISPLAYDLL_WRITE_FAILED);
  EXPECT_NE(1, DISPLAYDLL_WRITE_FAILED);
  EXPECT_EQ(1, DISPLAYDLL_Write("kept"));
  EXPECT_EQ("kept", line.Read());
  const std::string log = fresh.Log();
  EXPECT_NE(std::string::npos, log.find(" Write lost\n")) << log;
  EXPECT_NE(std::string::npos,
            log.find(" Error Error writing string : The semaphore timeout period has expired.\r\n\n"))
      << log;
  DISPLAYDLL_Done();
}

TEST(DriverFaults, DataBitsReachThePortAsTheirLowByte) {
  FreshDriver fresh;
  Pty line;
  InitResult result = Init(line.device() + ",9600,300,N,1Log");
  EXPECT_EQ(44, g_driver.line.ByteSize);
  EXPECT_EQ("Failed to set Serial Port state : The parameter is incorrect.\r\n", result.text);
  EXPECT_NE(std::string::npos, fresh.Log().find(" Init " + line.device() + ",9600,300,0,0\n")) << fresh.Log();
  DISPLAYDLL_Done();
}

// A display that takes nothing in: the write gives up after the time-out
// (10 ms a byte and 50 ms) and, as on Windows, reports success.
TEST(DriverFaults, WriteToAStalledLineEndsAtItsTimeOut) {
  FreshDriver fresh;
  Pty line;
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1").status);
  int fill = open(line.device().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fill, 0);
  char block[1024] = {};
  for (;;) {
    if (write(fill, block, sizeof block) > 0 || errno == EINTR) continue;
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
    break;
  }
  close(fill);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1, DISPLAYDLL_Write("stalled"));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(5)) << "the write must not wait for ever";
  DISPLAYDLL_Done();
}

TEST(DriverFaults, OutputBeforeInitFailsQuietly) {
  FreshDriver fresh;
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_SetPosition(1, 1));
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_PowerResume());
  EXPECT_EQ(0, DISPLAYDLL_Done());
  EXPECT_EQ("", fresh.Log()) << "the log is created, with the flag off it stays empty";
}

}  // namespace
