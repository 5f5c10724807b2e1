// The whole driver in this process, on a pseudo-terminal, with the faults that
// only the platform layer can make: a port that refuses its time-outs, a
// failing write, an opening refused for another reason than a missing device.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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

// A display that takes nothing in: a write of n bytes gives up after its
// time-out of 10 ms a byte and 50 ms and, as on Windows, reports success.
TEST(DriverFaults, WriteToAStalledLineEndsAtItsTimeOut) {
  FreshDriver fresh;
  Pty line;
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1").status);
  // Fill the line until it takes nothing more, also after the terminal has
  // moved what it had to the far end's side, down to the last byte.
  char block[1024] = {};
  for (size_t size = sizeof block; size > 0; size /= 8) {
    for (int refusals = 0; refusals < 10;) {
      if (write(line.device_fd(), block, size) > 0 || errno == EINTR) {
        refusals = 0;
        continue;
      }
      ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
      ++refusals;
      usleep(2000);
    }
  }
  // Two lengths pin down both the constant and the multiplier. A busy
  // machine may wake the write late, never early.
  const int kLateMs = 500;  // also under valgrind and the sanitizers
  for (const std::string& text : {std::string("x"), std::string(30, 'y')}) {
    const int limitMs = 10 * static_cast<int>(text.size()) + 50;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, DISPLAYDLL_Write(text.c_str()));
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, limitMs - 2) << text.size() << " bytes";
    EXPECT_LE(elapsed, limitMs + kLateMs) << text.size() << " bytes";
  }
  DISPLAYDLL_Done();
}

// What the parameter string asks of the line is what the platform is handed,
// field by field; the pseudo-terminal itself keeps the speed and the stop
// bits (it ignores the character size and parity).
TEST(DriverFaults, LineSettingsAndTimeOutsReachThePlatform) {
  struct {
    const char* rest;
    DWORD baud;
    int byteSize, parity, stopBits;
    speed_t speed;
  } cases[] = {
      {",9600,8,N,1", 9600, 8, NOPARITY, ONESTOPBIT, B9600},
      {",19200,7,E,2", 19200, 7, EVENPARITY, TWOSTOPBITS, B19200},
      {",4800,8,O,1", 4800, 8, ODDPARITY, ONESTOPBIT, B4800},
      {",115200,8,M,2Log", 115200, 8, MARKPARITY, TWOSTOPBITS, B115200},
      {",,6,S,3", 9600, 6, SPACEPARITY, ONESTOPBIT, B9600},
  };
  for (const auto& c : cases) {
    FreshDriver fresh;
    Pty line;
    ASSERT_EQ(1, Init(line.device() + c.rest).status) << c.rest;
    const DCB dcb = PlatformLastCommState();
    EXPECT_EQ(28u, dcb.DCBlength) << c.rest;
    EXPECT_EQ(c.baud, dcb.BaudRate) << c.rest;
    EXPECT_EQ(c.byteSize, dcb.ByteSize) << c.rest;
    EXPECT_EQ(c.parity, dcb.Parity) << c.rest;
    EXPECT_EQ(c.stopBits, dcb.StopBits) << c.rest;
    EXPECT_EQ(1u, dcb.fBinary) << c.rest << ": the fields read from the port are kept";
    const struct termios tio = line.Settings();
    EXPECT_EQ(c.speed, cfgetospeed(&tio)) << c.rest;
    EXPECT_EQ(c.stopBits == TWOSTOPBITS, (tio.c_cflag & CSTOPB) != 0) << c.rest;

    const COMMTIMEOUTS timeouts = PlatformLastCommTimeouts();
    EXPECT_EQ(50u, timeouts.ReadIntervalTimeout);
    EXPECT_EQ(10u, timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(50u, timeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(10u, timeouts.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(50u, timeouts.WriteTotalTimeoutConstant);
    EXPECT_EQ(1, DISPLAYDLL_Done());
  }
}

// Done gives the device back: no exclusive flag and no lock stay on it, also
// while something else (here the test's own descriptor) keeps it open, so
// any program may open it next.
TEST(DriverFaults, DoneGivesTheDeviceBack) {
  FreshDriver fresh;
  Pty line;
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1").status);
  int exclusive = -1;
  ASSERT_EQ(0, ioctl(line.device_fd(), TIOCGEXCL, &exclusive));
  EXPECT_EQ(1, exclusive) << "while the driver has it, the port is its own";
  EXPECT_EQ(1, DISPLAYDLL_Done());
  ASSERT_EQ(0, ioctl(line.device_fd(), TIOCGEXCL, &exclusive));
  EXPECT_EQ(0, exclusive) << "the exclusive flag must go with the port";
  int other = open(line.device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0) << strerror(errno);
  EXPECT_EQ(0, flock(other, LOCK_EX | LOCK_NB)) << "the lock must go with the port";
  close(other);
}

// The once-only counters stop at their largest value: however long a host
// runs, the log is not opened (and emptied) again, Init does no second start-up
// and the module name stays cached.
TEST(DriverFaults, OnceOnlyCountersNeverComeRoundAgain) {
  FreshDriver fresh;
  Pty line;
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1Log").status);
  EXPECT_EQ(kInitSequence, line.Read());
  const std::string name = ModuleBaseName();
  g_log.openCount = INT_MAX - 1;
  g_driver.initCalls = INT_MAX - 1;
  g_moduleNameCalls = INT_MAX - 1;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(1, DISPLAYDLL_SetPosition(2, 1));
    InitResult again = Init("/nonexistent/port,9600,8,N,1Log");
    EXPECT_EQ(1, again.status);
    EXPECT_EQ(std::string(DISPLAYDLL_DriverName()), again.text);
    EXPECT_EQ(name, ModuleBaseName());
  }
  EXPECT_EQ(INT_MAX, g_log.openCount);
  EXPECT_EQ(INT_MAX, g_driver.initCalls);
  EXPECT_EQ(INT_MAX, g_moduleNameCalls);
  const std::string position("\x1B\x6C\x02\x01", 4);
  EXPECT_EQ(position + position + position, line.Read()) << "only the positions, no second start-up";
  const std::string log = fresh.Log();
  EXPECT_EQ(log.find("Log File opened for"), log.rfind("Log File opened for")) << log;
  EXPECT_NE(std::string::npos, log.find(" Init Called \n")) << log;
  size_t positions = 0;
  for (size_t at = log.find(" SetPosition x=2, y=1\n"); at != std::string::npos;
       at = log.find(" SetPosition", at + 1)) {
    ++positions;
  }
  EXPECT_EQ(3u, positions) << log;
  EXPECT_EQ(1, DISPLAYDLL_Done());
}

// Every system error that opening, configuring or writing a port can give
// becomes the error Windows gives in the same situation, with its text.
TEST(PlatformErrors, SystemErrorsBecomeWindowsErrors) {
  struct {
    int error;
    DWORD code;
  } cases[] = {
      {ENOENT, 2},      {ENXIO, 2},    {ENODEV, 2},     {ENOTDIR, 3},  {ENAMETOOLONG, 206}, {ELOOP, 1921},
      {EMFILE, 4},      {ENFILE, 4},   {EACCES, 5},     {EPERM, 5},    {EBUSY, 5},          {EROFS, 5},
      {EISDIR, 5},      {ETXTBSY, 32}, {EAGAIN, 170},   {EBADF, 6},    {ENOMEM, 8},         {EFAULT, 998},
      {EIO, 21},        {EPIPE, 109},  {ENOSPC, 112},   {EDQUOT, 112}, {EFBIG, 223},        {EINTR, 995},
      {ENOTTY, 1},      {EINVAL, 87},  {EOVERFLOW, 87}, {ERANGE, 87},  {EOPNOTSUPP, 50},    {ENOSYS, 50},
      {ETIMEDOUT, 121}, {EEXIST, 183}, {0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.code, PlatformErrorFromErrno(c.error)) << strerror(c.error);
    char text[1024] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, c.code, 0x0400,
                                  text, sizeof text, NULL);
    EXPECT_GT(length, 2u) << "no description for " << c.code;
    EXPECT_EQ("\r\n", std::string(text).substr(length >= 2 ? length - 2 : 0)) << c.code;
  }
}

// A closed handle is gone for good, and its place is free for the next
// opening: a long test run (or host) never runs out of ports.
TEST(PlatformErrors, AClosedHandleIsInvalidAndItsPlaceFree) {
  Pty line;
  for (int i = 0; i < 40; ++i) {
    HANDLE port = CreateFileA(line.device().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, port) << "opening " << i << ": error " << GetLastError();
    ASSERT_EQ(TRUE, CloseHandle(port));
    EXPECT_EQ(FALSE, CloseHandle(port));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    DWORD written = 0;
    EXPECT_EQ(FALSE, WriteFile(port, "x", 1, &written, NULL)) << "a write on a closed handle";
  }
}

TEST(PlatformErrors, AFolderGivenAsThePortIsRefusedAsOnWindows) {
  FreshDriver fresh;
  InitResult result = Init(fresh.dir() + ",9600,8,N,1");
  EXPECT_EQ("Failed to open Serial Port : Access is denied.\r\n", result.text);
  EXPECT_EQ(0, result.status);
}

TEST(DriverFaults, OutputBeforeInitFailsQuietly) {
  FreshDriver fresh;
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_SetPosition(1, 1));
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_PowerResume());
  EXPECT_EQ(0, DISPLAYDLL_Done());
  EXPECT_EQ("", fresh.Log()) << "the log is created, with the flag off it stays empty";
}

}  // namespace
