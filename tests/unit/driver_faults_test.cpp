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
#include <sys/wait.h>
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
const std::string kTimedOut = "Error writing string : This operation returned because the timeout period expired.\r\n";

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
    int after;  // calls of it that succeed first
    DWORD error;
    const char* text;
    int doneResult;  // the port stays open after a configuration failure
  } cases[] = {
      {kPlatformCreateFile, 0, ERROR_ACCESS_DENIED, "Failed to open Serial Port : Access is denied.\r\n", 0},
      {kPlatformCreateFile, 0, ERROR_FILE_NOT_FOUND,
       "Serial Port does not exist : The system cannot find the file specified.\r\n", 0},
      {kPlatformGetCommState, 0, ERROR_INVALID_HANDLE, "Failed to get Serial Port state : The handle is invalid.\r\n",
       1},
      {kPlatformSetCommState, 0, ERROR_INVALID_PARAMETER,
       "Failed to set Serial Port state : The parameter is incorrect.\r\n", 1},
      // The line read back after it was set: unknown, so not taken.
      {kPlatformGetCommState, 1, ERROR_NOT_READY, "Failed to get Serial Port state : The device is not ready.\r\n", 1},
  };
  for (const auto& c : cases) {
    FreshDriver fresh;
    Pty line;
    PlatformFailCallAfter(c.call, c.after, c.error);
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
// time-out of 10 ms a byte and 50 ms. The platform reports such a write as
// done, with fewer bytes written; the driver reports it as failed.
TEST(DriverFaults, WriteToAStalledLineEndsAtItsTimeOut) {
  FreshDriver fresh;
  Pty line;
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1Log").status);
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
    EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_Write(text.c_str()));
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, limitMs - 2) << text.size() << " bytes";
    EXPECT_LE(elapsed, limitMs + kLateMs) << text.size() << " bytes";
  }
  const std::string log = fresh.Log();
  const std::string error = " Error " + kTimedOut + "\n";
  size_t errors = 0;
  for (size_t at = log.find(error); at != std::string::npos; at = log.find(error, at + 1)) ++errors;
  EXPECT_EQ(2u, errors) << log;
  DISPLAYDLL_Done();
}

// A write the platform reports as done with fewer bytes than asked, from
// every call that writes: the host hears of it, the log says why, what went
// out stays what went out, and the next call starts afresh.
TEST(DriverFaults, AWriteCutShortIsAFailure) {
  FreshDriver fresh;
  Pty line;
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1Log").status);
  ASSERT_EQ(kInitSequence, line.Read());
  struct {
    const char* call;
    DWORD keep;
    int (*make)();
    std::string bytes;  // what the call sends whole
  } cases[] = {
      {"Write", 3, [] { return DISPLAYDLL_Write("Hello"); }, "Hello"},
      {"Write", 0, [] { return DISPLAYDLL_Write("Hello"); }, "Hello"},
      {"SetPosition", 3, [] { return DISPLAYDLL_SetPosition(2, 1); }, std::string("\x1B\x6C\x02\x01", 4)},
      {"PowerResume", 7, [] { return DISPLAYDLL_PowerResume(); }, kInitSequence},
  };
  for (const auto& c : cases) {
    const size_t logged = fresh.Log().size();
    PlatformCutNextWrite(c.keep);
    EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, c.make()) << c.call << " cut after " << c.keep;
    EXPECT_EQ(c.bytes.substr(0, c.keep), line.Read(50)) << c.call;
    const std::string added = fresh.Log().substr(logged);
    EXPECT_NE(std::string::npos, added.find(" Error " + kTimedOut + "\n")) << c.call << ":\n" << added;
    EXPECT_EQ(1, c.make()) << c.call << " after the cut";
    EXPECT_EQ(c.bytes, line.Read(50)) << c.call;
  }
  // A cut that leaves every byte is no cut, also for an empty text.
  PlatformCutNextWrite(5);
  EXPECT_EQ(1, DISPLAYDLL_Write("Hello"));
  PlatformCutNextWrite(0);
  EXPECT_EQ(1, DISPLAYDLL_Write(""));
  EXPECT_EQ("Hello", line.Read(50));

  // Done's closing command: logged, and the port is closed all the same.
  const size_t logged = fresh.Log().size();
  PlatformCutNextWrite(1);
  EXPECT_EQ(1, DISPLAYDLL_Done());
  EXPECT_EQ("\x1B", line.Read(50));
  EXPECT_EQ(" Error " + kTimedOut + "\n", fresh.Log().substr(logged + 17));
}

// The recording line the fuzz targets use: every byte a write is handed, in
// order and at once, none of it on the terminal, and the faults above still
// applying; a closed port records nothing, and once off the terminal gets
// the bytes again.
TEST(DriverFaults, TheRecordingLineKeepsExactlyWhatWasWritten) {
  struct RecordingOff {
    ~RecordingOff() { PlatformRecordWrites(false); }
  } off;
  FreshDriver fresh;
  Pty line;
  static char taken[70000];
  auto take = [](size_t size = sizeof taken) {
    const size_t total = PlatformTakeRecordedWrites(taken, size);
    return std::string(taken, total < size ? total : size);
  };
  PlatformRecordWrites(true);
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1").status);
  EXPECT_EQ(kInitSequence, take());
  EXPECT_EQ("", take()) << "a take empties the record";
  EXPECT_EQ(1, DISPLAYDLL_Write("Hello"));
  EXPECT_EQ(1, DISPLAYDLL_SetPosition(2, 1));
  EXPECT_EQ("Hello\x1B\x6C\x02\x01", take());
  PlatformCutNextWrite(2);
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_Write("Hello"));
  EXPECT_EQ("He", take());
  PlatformFailNextCall(kPlatformWriteFile, ERROR_GEN_FAILURE);
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_Write("Hello"));
  EXPECT_EQ("", take());
  // A smaller buffer gets the beginning, and the count says how much there
  // was; past the record's room the bytes are counted, not kept.
  EXPECT_EQ(1, DISPLAYDLL_Write("Hello"));
  EXPECT_EQ(5u, PlatformTakeRecordedWrites(taken, 2));
  EXPECT_EQ("He", std::string(taken, 2));
  const std::string longText(66000, 'x');
  EXPECT_EQ(1, DISPLAYDLL_Write(longText.c_str()));
  memset(taken, 0, sizeof taken);
  EXPECT_EQ(66000u, PlatformTakeRecordedWrites(taken, sizeof taken));
  EXPECT_EQ(longText.substr(0, 65536), std::string(taken, 65536));
  EXPECT_EQ('\0', taken[65536]);
  EXPECT_EQ(1, DISPLAYDLL_Done());
  EXPECT_EQ("\x1B\x02", take());
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_Write("Hello")) << "a closed port";
  EXPECT_EQ("", take());
  EXPECT_EQ("", line.Read(50)) << "bytes reached the terminal while recording";

  PlatformRecordWrites(false);
  ResetDriverForTest();
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1").status);
  EXPECT_EQ(kInitSequence, line.Read(50));
  EXPECT_EQ(0u, PlatformTakeRecordedWrites(taken, sizeof taken));
  EXPECT_EQ(1, DISPLAYDLL_Done());
}

// The sequence cut short on its way out of Init: the port is open and set,
// so Init reports success, the log holds the failure, and PowerResume sends
// the whole sequence again.
TEST(DriverFaults, SequenceCutShortInInitIsLoggedAndSentAgain) {
  FreshDriver fresh;
  Pty line;
  PlatformCutNextWrite(4);
  InitResult result = Init(line.device() + ",9600,8,N,1Log");
  EXPECT_EQ(1, result.status);
  EXPECT_EQ(std::string(DISPLAYDLL_DriverName()), result.text);
  EXPECT_EQ(kInitSequence.substr(0, 4), line.Read(50));
  const std::string log = fresh.Log();
  const std::string initLine = " Init " + line.device() + ",9600,8,0,0\n";
  const size_t at = log.find(initLine);
  ASSERT_NE(std::string::npos, at) << log;
  EXPECT_EQ(" Error " + kTimedOut + "\n", log.substr(at + initLine.size() + 17)) << log;
  EXPECT_EQ(1, DISPLAYDLL_PowerResume());
  EXPECT_EQ(kInitSequence, line.Read(50));
  EXPECT_EQ(1, DISPLAYDLL_Done());
}

// However the first Init failed, every later one answers with that failure,
// word for word, also after a failed write has composed another error text
// in the shared buffer; and it neither opens nor sends nor logs anything.
TEST(DriverFaults, AFailedFirstInitStaysTheAnswer) {
  struct {
    const char* name;
    const char* rest;  // after the device
    PlatformCall fault;
    DWORD error;
    bool portOpen;  // after the failure
  } cases[] = {
      {"parity missing", ",9600,8,,1Log", kPlatformCallCount, 0, false},
      {"port refused", ",9600,8,N,1Log", kPlatformCreateFile, ERROR_ACCESS_DENIED, false},
      {"settings refused", ",9600,8,N,1Log", kPlatformSetCommState, ERROR_INVALID_PARAMETER, true},
  };
  for (const auto& c : cases) {
    FreshDriver fresh;
    Pty line;
    if (c.fault != kPlatformCallCount) PlatformFailNextCall(c.fault, c.error);
    InitResult first = Init(line.device() + c.rest);
    ASSERT_EQ(0, first.status) << c.name;
    // A failed write between the two calls.
    PlatformFailNextCall(kPlatformWriteFile, ERROR_NOT_READY);
    EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_Write("between")) << c.name;
    const std::string logBefore = fresh.Log();
    EXPECT_NE(std::string::npos, logBefore.find(" Write between\n")) << c.name;
    for (int later = 0; later < 3; ++later) {
      InitResult again = Init(line.device() + ",9600,8,N,1Log");
      EXPECT_EQ(first.text, again.text) << c.name;
      EXPECT_EQ(0, again.status) << c.name;
    }
    EXPECT_EQ("", line.Read(50)) << c.name << ": a later Init sends nothing";
    EXPECT_EQ(logBefore, fresh.Log()) << c.name << ": a later Init logs nothing";
    // Done works on a driver whose Init failed, and Init still answers so.
    EXPECT_EQ(c.portOpen ? 1 : 0, DISPLAYDLL_Done()) << c.name;
    InitResult afterDone = Init(line.device() + ",9600,8,N,1");
    EXPECT_EQ(first.text, afterDone.text) << c.name;
    EXPECT_EQ(0, afterDone.status) << c.name;
  }
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
    tcflag_t flags;  // what the terminal is asked for
  } cases[] = {
      {",9600,8,N,1", 9600, 8, NOPARITY, ONESTOPBIT, B9600, CS8},
      {",19200,7,E,2", 19200, 7, EVENPARITY, TWOSTOPBITS, B19200, CS7 | PARENB | CSTOPB},
      {",4800,8,O,1", 4800, 8, ODDPARITY, ONESTOPBIT, B4800, CS8 | PARENB | PARODD},
      {",115200,8,M,2Log", 115200, 8, MARKPARITY, TWOSTOPBITS, B115200, CS8 | PARENB | PARODD | CMSPAR | CSTOPB},
      {",,6,S,3", 9600, 6, SPACEPARITY, ONESTOPBIT, B9600, CS6 | PARENB | CMSPAR},
      {",300,5,O,2", 300, 5, ODDPARITY, TWOSTOPBITS, B300, CS5 | PARENB | PARODD | CSTOPB},
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
    // The translation itself, as a real serial device would be asked: the
    // pseudo-terminal keeps none of the size and parity.
    const struct termios asked = PlatformLastTermios();
    EXPECT_EQ(c.flags, asked.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) << c.rest;
    EXPECT_EQ(c.speed, cfgetospeed(&asked)) << c.rest;
    EXPECT_EQ(c.speed, cfgetispeed(&asked)) << c.rest;
    EXPECT_NE(0u, asked.c_cflag & CLOCAL) << c.rest << ": no modem control lines";
    EXPECT_NE(0u, asked.c_cflag & CREAD) << c.rest;
    EXPECT_EQ(0u, asked.c_oflag & OPOST) << c.rest << ": bytes pass unchanged";
    EXPECT_EQ(0u, asked.c_lflag & (ICANON | ECHO | ISIG)) << c.rest;

    const COMMTIMEOUTS timeouts = PlatformLastCommTimeouts();
    EXPECT_EQ(50u, timeouts.ReadIntervalTimeout);
    EXPECT_EQ(10u, timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(50u, timeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(10u, timeouts.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(50u, timeouts.WriteTotalTimeoutConstant);
    EXPECT_EQ(1, DISPLAYDLL_Done());
  }
}

// A pseudo-terminal ignores character size and parity. Whatever a host
// asked of it before, the next host's line is set all the same: a second
// start-up on the same terminal, as a demo or a test run again, succeeds.
TEST(DriverFaults, APseudoTerminalTakesAnyLineAgain) {
  Pty line;
  for (const char* rest : {",9600,7,E,1", ",9600,7,E,1", ",300,5,S,1", ",300,5,S,1", ",19200,8,N,2", ",19200,8,N,2"}) {
    FreshDriver fresh;
    InitResult result = Init(line.device() + rest);
    EXPECT_EQ(1, result.status) << rest << ": " << result.text;
    EXPECT_EQ(1, DISPLAYDLL_Done()) << rest;
    line.Read(20);
  }
  // What it cannot do is still refused.
  FreshDriver fresh;
  EXPECT_EQ("Failed to set Serial Port state : The parameter is incorrect.\r\n",
            Init(line.device() + ",12345,8,N,1").text);
  EXPECT_EQ(1, DISPLAYDLL_Done());
}

// A device that reports the line as set but kept part of what it had (as
// termios allows) is refused as Windows refuses a line the port cannot take:
// the settings are read back, field by field, and a refused line puts back
// the settings the terminal had. A pseudo-terminal is held only to what it
// keeps, the speed and the stop bits; a speed within 1% of the one asked for
// passes.
TEST(DriverFaults, ALineTheDeviceDidNotTakeIsRefused) {
  const std::string refused = "Failed to set Serial Port state : The parameter is incorrect.\r\n";
  // The character size, parity and stop bits the device reports back.
  const tcflag_t kLine = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  struct {
    const char* what;
    const char* rest;
    tcflag_t mask;
    tcflag_t flags;     // under the mask
    DWORD baud;         // 0: as the device has it
    bool serialDevice;  // else a pseudo-terminal
    bool took;
  } cases[] = {
      {"as asked", ",19200,7,E,2Log", kLine, CS7 | PARENB | CSTOPB, 0, true, true},
      {"mark, as asked", ",9600,8,M,1Log", kLine, CS8 | PARENB | PARODD | CMSPAR, 0, true, true},
      {"another speed", ",19200,8,N,1Log", 0, 0, 9600, true, false},
      // A speed made from a divisor of the port's clock may be a little off.
      {"a speed made 1% fast", ",9600,8,N,1Log", 0, 0, 9696, true, true},
      {"a speed made 1% slow", ",9600,8,N,1Log", 0, 0, 9504, true, true},
      {"a speed more than 1% fast", ",9600,8,N,1Log", 0, 0, 9697, true, false},
      {"a speed more than 1% slow", ",9600,8,N,1Log", 0, 0, 9503, true, false},
      {"a fast speed 1% off", ",4000000,8,N,1Log", 0, 0, 4040000, true, true},
      {"another character size", ",9600,7,N,1Log", kLine, CS8, 0, true, false},
      {"parity where none was asked", ",9600,8,N,1Log", kLine, CS8 | PARENB, 0, true, false},
      {"no parity where odd was asked", ",9600,8,O,1Log", kLine, CS8 | PARODD, 0, true, false},
      {"even where odd was asked", ",9600,8,O,1Log", kLine, CS8 | PARENB, 0, true, false},
      {"odd where mark was asked", ",9600,8,M,1Log", kLine, CS8 | PARENB | PARODD, 0, true, false},
      {"mark where space was asked", ",9600,8,S,1Log", kLine, CS8 | PARENB | PARODD | CMSPAR, 0, true, false},
      {"two stop bits where one was asked", ",9600,8,N,1Log", kLine, CS8 | CSTOPB, 0, true, false},
      {"one stop bit where two were asked", ",9600,8,N,2Log", kLine, CS8, 0, true, false},
      // Reported as one and a half, as two stop bits after five data bits are.
      {"two stop bits after five data bits", ",9600,5,N,2Log", kLine, CS5 | CSTOPB, 0, true, true},
      {"one stop bit where two were asked after five", ",9600,5,N,2Log", kLine, CS5, 0, true, false},
      {"a kind of parity without parity", ",9600,8,N,1Log", kLine, CS8 | PARODD | CMSPAR, 0, true, true},
      {"a pseudo-terminal as it is", ",9600,7,E,1Log", 0, 0, 0, false, true},
      {"the line the terminal has already", ",2400,8,N,2Log", 0, 0, 0, false, true},
      {"a pseudo-terminal with another speed", ",19200,8,N,1Log", 0, 0, 9600, false, false},
      {"a pseudo-terminal with other stop bits", ",9600,8,N,1Log", CSTOPB, CSTOPB, 0, false, false},
  };
  for (const auto& c : cases) {
    FreshDriver fresh;
    Pty line;
    // The terminal's settings before Init: cooked, 2400 baud, two stop bits.
    struct termios set = line.Settings();
    set.c_lflag |= ICANON | ECHO;
    set.c_cflag |= CSTOPB;
    ASSERT_EQ(0, cfsetispeed(&set, B2400));
    ASSERT_EQ(0, cfsetospeed(&set, B2400));
    ASSERT_EQ(0, tcsetattr(line.device_fd(), TCSANOW, &set)) << strerror(errno);
    const struct termios before = line.Settings();
    PlatformTreatPtysAsSerial(c.serialDevice);
    PlatformAlterNextReadBack(c.mask, c.flags, c.baud);
    InitResult result = Init(line.device() + c.rest);
    const struct termios after = line.Settings();
    if (c.took) {
      EXPECT_EQ(1, result.status) << c.what << ": " << result.text;
      EXPECT_EQ(kInitSequence, line.Read(50)) << c.what;
      EXPECT_EQ(0u, after.c_lflag & (ICANON | ECHO)) << c.what << ": bytes pass unchanged";
    } else {
      EXPECT_EQ(refused, result.text) << c.what;
      EXPECT_EQ(0, result.status) << c.what;
      EXPECT_EQ("", line.Read(50)) << c.what << ": nothing is sent on a line that is not set";
      EXPECT_NE(std::string::npos, fresh.Log().find(" Error " + refused + "\n")) << c.what << ":\n" << fresh.Log();
      // Neither the line asked for nor a mix: the terminal as it was.
      EXPECT_EQ(before.c_iflag, after.c_iflag) << c.what;
      EXPECT_EQ(before.c_oflag, after.c_oflag) << c.what;
      EXPECT_EQ(before.c_cflag, after.c_cflag) << c.what;
      EXPECT_EQ(before.c_lflag, after.c_lflag) << c.what;
      EXPECT_EQ(cfgetispeed(&before), cfgetispeed(&after)) << c.what;
      EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after)) << c.what;
      EXPECT_EQ(0, memcmp(before.c_cc, after.c_cc, sizeof before.c_cc)) << c.what;
    }
    EXPECT_EQ(1, DISPLAYDLL_Done()) << c.what << ": the port stays open until Done";
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

// A host that ends without Done leaves its port to the next program, as on
// Windows, also where something else keeps the terminal open (here the
// test's own descriptor, elsewhere a relay).
TEST(DriverFaults, AHostThatEndsWithoutDoneLeavesThePortFree) {
  FreshDriver fresh;  // the host's current folder, for its log
  Pty line;
  fflush(NULL);
  const pid_t child = fork();
  ASSERT_GE(child, 0) << strerror(errno);
  if (child == 0) {
    unsigned char status = 0;
    DISPLAYDLL_Init(20, 2, (line.device() + ",9600,8,N,1").c_str(), &status);
    exit(status == 1 ? 0 : 3);  // no Done; the process ends as a host's does
  }
  int how = 0;
  ASSERT_EQ(child, waitpid(child, &how, 0));
  ASSERT_TRUE(WIFEXITED(how));
  ASSERT_EQ(0, WEXITSTATUS(how)) << "the host's Init failed";
  int exclusive = -1;
  ASSERT_EQ(0, ioctl(line.device_fd(), TIOCGEXCL, &exclusive));
  EXPECT_EQ(0, exclusive) << "the ended host's flag stayed on the terminal";
  EXPECT_EQ(1, Init(line.device() + ",9600,8,N,1").status);
  EXPECT_EQ(1, DISPLAYDLL_Done());
}

// An Init after Done opens and sends nothing, and says that the port is
// closed instead of reporting it as ready; with the log on, as an Error line.
// A Done before the first Init closes nothing and changes nothing.
TEST(DriverFaults, AnInitAfterDoneSaysThePortIsClosed) {
  const std::string closed = "Serial Port was closed by DISPLAYDLL_Done : load the library again to reopen it";
  for (const char* rest : {",9600,8,N,1Log", ",9600,8,N,1"}) {
    const bool logged = std::string(rest).find("Log") != std::string::npos;
    FreshDriver fresh;
    Pty line;
    EXPECT_EQ(0, DISPLAYDLL_Done()) << "no port yet";
    ASSERT_EQ(1, Init(line.device() + rest).status) << "a Done before Init leaves the first Init its work";
    ASSERT_EQ(kInitSequence, line.Read());
    InitResult again = Init(line.device() + rest);
    EXPECT_EQ(std::string(DISPLAYDLL_DriverName()), again.text) << "no Done yet: the port is open";
    EXPECT_EQ(1, again.status);
    EXPECT_EQ(1, DISPLAYDLL_Done());
    EXPECT_EQ("\x1B\x02", line.Read(50));
    const std::string logBefore = fresh.Log();
    for (int later = 0; later < 2; ++later) {
      InitResult afterDone = Init(line.device() + ",9600,8,N,1Log");
      EXPECT_EQ(closed, afterDone.text) << rest;
      EXPECT_EQ(0, afterDone.status) << rest;
      EXPECT_EQ(NULL, g_driver.port) << rest << ": nothing is opened";
    }
    EXPECT_EQ("", line.Read(50)) << rest << ": nothing is sent";
    const std::string added = fresh.Log().substr(logBefore.size());
    if (logged) {
      ASSERT_EQ(2 * (18 + closed.size() + 7), added.size()) << added;
      EXPECT_EQ(" Error " + closed + "\n", added.substr(17, 7 + closed.size() + 1)) << added;
    } else {
      EXPECT_EQ("", added) << "without the log suffix nothing is written";
    }
    EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_Write("late")) << rest;
  }
}

// After Done the driver's old handle may be given to the next port the
// process opens: nothing the host calls for may reach that port.
TEST(DriverFaults, OutputAfterDoneNeverReachesAReusedHandle) {
  FreshDriver fresh;
  Pty line;
  Pty other;
  ASSERT_EQ(1, Init(line.device() + ",9600,8,N,1Log").status);
  const HANDLE driverPort = g_driver.port;
  ASSERT_EQ(1, DISPLAYDLL_Done());
  HANDLE reused = CreateFileA(other.device().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, reused) << GetLastError();
  ASSERT_EQ(driverPort, reused) << "the freed handle was not given out again: the test proves nothing";
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_Write("stray"));
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_SetPosition(1, 1));
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, DISPLAYDLL_PowerResume());
  EXPECT_EQ(0, DISPLAYDLL_Done()) << "the other port is not the driver's to close";
  EXPECT_EQ("", other.Read(50));
  EXPECT_EQ(TRUE, CloseHandle(reused)) << "the other port was still open";
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

// A terminal that another program keeps to itself with the exclusive flag
// alone (no lock) is refused as Windows refuses a port in use, also to root,
// and the other program's flag stays set.
TEST(PlatformErrors, ATerminalHeldExclusivelyElsewhereIsRefused) {
  Pty line;
  ASSERT_EQ(0, ioctl(line.device_fd(), TIOCEXCL, NULL));
  SetLastError(ERROR_SUCCESS);
  HANDLE port = CreateFileA(line.device().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  EXPECT_EQ(INVALID_HANDLE_VALUE, port);
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  int exclusive = -1;
  ASSERT_EQ(0, ioctl(line.device_fd(), TIOCGEXCL, &exclusive));
  EXPECT_EQ(1, exclusive) << "the other program's flag must stay";

  // Through the driver: the error text, and Done leaves the flag alone.
  {
    FreshDriver fresh;
    InitResult result = Init(line.device() + ",9600,8,N,1");
    EXPECT_EQ("Failed to open Serial Port : Access is denied.\r\n", result.text);
    EXPECT_EQ(0, DISPLAYDLL_Done());
    ASSERT_EQ(0, ioctl(line.device_fd(), TIOCGEXCL, &exclusive));
    EXPECT_EQ(1, exclusive);
  }

  // Once the other program lets go, the port opens, and the flag it then
  // sets is its own to clear.
  ASSERT_EQ(0, ioctl(line.device_fd(), TIOCNXCL, NULL));
  port = CreateFileA(line.device().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, port) << GetLastError();
  ASSERT_EQ(0, ioctl(line.device_fd(), TIOCGEXCL, &exclusive));
  EXPECT_EQ(1, exclusive);
  EXPECT_EQ(TRUE, CloseHandle(port));
  ASSERT_EQ(0, ioctl(line.device_fd(), TIOCGEXCL, &exclusive));
  EXPECT_EQ(0, exclusive);
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
