// The library through its exported entry points only, as a host sees it: one
// suite, built natively against the native library and for Windows, run under
// Wine against QV-731.dll. A serial port here is one end of a null-modem pair
// of pseudo-terminals (set up by tests/with_ports.sh); the test reads the
// other end and so sees exactly the bytes a display would receive.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "host/driver_loader.h"
#include "tests/support/test_env.h"
#ifndef _WIN32
#include "tests/support/pty_line.h"
#endif

using qvtest::Env;

namespace {

const char kVersion[] = "1.0.30.174";
const std::string kInitSequence("\x1B\x40\x1B\x2A\x04\x1B\x5F\x00", 8);
const std::string kClosing("\x1B\x02", 2);
const std::string kClosedByDone = "Serial Port was closed by DISPLAYDLL_Done : load the library again to reopen it";
const int kQuietMs = 300;

#ifdef _WIN32
const bool kWindows = true;
#else
const bool kWindows = false;
#endif

std::string Position(int x, int y) { return std::string("\x1B\x6C") + static_cast<char>(x) + static_cast<char>(y); }

// One copy of the library, loaded from its own folder under the file name
// asked for, with that folder as the current directory (where the log goes).
class Driver {
 public:
  explicit Driver(const std::string& fileName = "QV-731.dll", bool decorated = false) : decorated_(decorated) {
    home_ = qvtest::CurrentDir();
    dir_ = qvtest::MakeTempDir();
    std::string source = Env("QV_TEST_LIBRARY");
    std::string copy = qvtest::JoinPath(dir_, fileName);
    if (dir_.empty() || source.empty() || !qvtest::CopyFileTo(source, copy)) {
      problem_ = "cannot copy the library (" + source + ") to " + copy;
      return;
    }
    qvtest::ChangeDir(dir_);
    // Windows appends ".dll" to a file name without a dot; a final dot stops it.
    loadPath_ = copy;
    if (kWindows && fileName.find('.') == std::string::npos) loadPath_ += ".";
    if (!library_.Load(loadPath_)) problem_ = library_.error();
  }
  ~Driver() {
    library_.Unload();
    qvtest::ChangeDir(home_);
    // On Windows the log, open until the process ends, stays behind for the
    // harness to remove (see qvtest::MakeTempDir).
    if (!dir_.empty()) qvtest::RemoveTree(dir_);
  }

  // Null with problem() set when the library is missing or lacks the export.
  template <typename Call>
  Call Entry(const char* shortName) {
    void* address = library_.Find(DriverLibrary::ExportName(shortName, decorated_));
    if (address == nullptr && problem_.empty()) problem_ = library_.error();
    return reinterpret_cast<Call>(address);
  }

  // Unloads the library and loads the same file again, as a host does that
  // starts the driver anew.
  bool Reload() {
    library_.Unload();
    if (library_.Load(loadPath_)) return true;
    problem_ = library_.error();
    return false;
  }

  const std::string& problem() const { return problem_; }
  bool ok() const { return problem_.empty(); }

  std::string Usage() { return Text<PFN_DISPLAYDLL_Usage>("Usage"); }
  std::string DefaultParameters() { return Text<PFN_DISPLAYDLL_DefaultParameters>("DefaultParameters"); }
  std::string DriverName() { return Text<PFN_DISPLAYDLL_DriverName>("DriverName"); }
  std::string Init(int columns, int rows, const char* parameters, int* status) {
    unsigned char byte = 0xEE;
    const char* text = Entry<PFN_DISPLAYDLL_Init>("Init")(columns, rows, parameters, &byte);
    if (status != nullptr) *status = byte;
    return text != nullptr ? text : "(null)";
  }
  int Write(const char* text) { return Entry<PFN_DISPLAYDLL_Write>("Write")(text); }
  int SetPosition(int x, int y) { return Entry<PFN_DISPLAYDLL_SetPosition>("SetPosition")(x, y); }
  int PowerResume() { return Entry<PFN_DISPLAYDLL_PowerResume>("PowerResume")(); }
  int Done() { return Entry<PFN_DISPLAYDLL_Done>("Done")(); }

  std::string Log(const std::string& baseName = "QV-731") {
    std::string contents;
    if (!qvtest::ReadTextFile(qvtest::JoinPath(qvtest::JoinPath(dir_, "logs"), baseName + ".log"), &contents)) {
      return "(no log file)";
    }
    return contents;
  }
  bool HasLog(const std::string& baseName = "QV-731") {
    return qvtest::Exists(qvtest::JoinPath(qvtest::JoinPath(dir_, "logs"), baseName + ".log"));
  }

 private:
  template <typename Call>
  std::string Text(const char* shortName) {
    const char* text = Entry<Call>(shortName)();
    return text != nullptr ? text : "(null)";
  }

  bool decorated_;
  std::string home_;
  std::string dir_;
  std::string loadPath_;
  std::string problem_;
  DriverLibrary library_;
};

// The log's lines without their time stamps ("HH:MM:SS dd/mm/yy "), after
// checking that each one has it.
std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    start = end + 1;
    bool stamped = line.size() >= 18 && line[2] == ':' && line[5] == ':' && line[8] == ' ' && line[11] == '/' &&
                   line[14] == '/' && line[17] == ' ';
    if (line.empty()) {
      lines.push_back(line);  // the empty line after an error text
    } else {
      lines.push_back(stamped ? line.substr(18) : "(unstamped) " + line);
    }
  }
  return lines;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The port number the driver reads from a port field: the number from its
// fourth character on, 0 for a field of three characters or fewer.
int PortNumber(const std::string& port) { return port.size() > 3 ? atoi(port.c_str() + 3) : 0; }

const char* kRule = "=================================== ===================================";

#define REQUIRE_DRIVER(driver) ASSERT_TRUE((driver).ok()) << (driver).problem()

// A line pair of the null-modem set-up, or a skip where there is none.
#define REQUIRE_ENV(name, variable)       \
  const std::string variable = Env(name); \
  if (variable.empty()) GTEST_SKIP() << name << " is not set: run through tests/with_ports.sh"

// Starts the driver on the test's line, or ends the test where it cannot.
#define START_ON_LINE(driver) \
  Start(driver);              \
  if (HasFatalFailure()) return

// Opens the far end of a line pair, or skips the test where there is none.
#define OPEN_LINE(port, peer) \
  OpenLine(port, peer);       \
  if (IsSkipped() || HasFatalFailure()) return

class Line : public ::testing::Test {
 protected:
  void OpenLine(const char* portVariable, const char* peerVariable) {
    port_ = Env(portVariable);
    std::string peer = Env(peerVariable);
    if (port_.empty() || peer.empty()) GTEST_SKIP() << portVariable << " is not set: run through tests/with_ports.sh";
    ASSERT_TRUE(peer_.Open(peer)) << "cannot open the far end " << peer;
    peer_.ReadUntilQuiet(50);  // whatever an earlier test left on the line
  }
  std::string Parameters(const std::string& rest) const { return port_ + rest; }
  // Starts the driver on this line with the log on, and checks that the
  // initialisation sequence reached the far end.
  void Start(Driver& driver) {
    int status = -1;
    driver.Init(20, 2, Parameters(",9600,8,N,1Log").c_str(), &status);
    ASSERT_EQ(1, status);
    EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size(), kQuietMs)));
  }

  std::string port_;
  qvtest::PeerPort peer_;
};

// ---------------------------------------------------------------- identity

TEST(Identity, AnswersWithFixedTextsAndNameFromFile) {
  Driver driver;
  REQUIRE_DRIVER(driver);
  EXPECT_EQ("QV-731 usage: COM3,9600,8,N,1", driver.Usage());
  EXPECT_EQ("COM3,9600,8,N,1", driver.DefaultParameters());
  EXPECT_EQ(std::string("QV-731 v") + kVersion, driver.DriverName());
  EXPECT_FALSE(driver.HasLog()) << "identity calls must not open the log";
}

TEST(Identity, DecoratedNamesGiveTheSameTexts) {
  if (!kWindows) GTEST_SKIP() << "the native library has the plain names only";
  Driver plain;
  Driver decorated("QV-731.dll", true);
  REQUIRE_DRIVER(plain);
  REQUIRE_DRIVER(decorated);
  EXPECT_EQ(plain.Usage(), decorated.Usage());
  EXPECT_EQ(plain.DefaultParameters(), decorated.DefaultParameters());
  EXPECT_EQ(plain.DriverName(), decorated.DriverName());
  // The two names of every entry point lead to the same code.
  DriverLibrary library;
  ASSERT_TRUE(library.Load(Env("QV_TEST_LIBRARY"))) << library.error();
  for (const char* name :
       {"Usage", "DefaultParameters", "DriverName", "Init", "Write", "SetPosition", "PowerResume", "Done"}) {
    void* plainAddress = library.Find(DriverLibrary::ExportName(name, false));
    void* decoratedAddress = library.Find(DriverLibrary::ExportName(name, true));
    EXPECT_NE(nullptr, plainAddress) << name;
    EXPECT_EQ(plainAddress, decoratedAddress) << name;
  }
}

struct FileNameCase {
  const char* fileName;
  const char* baseName;
};

class DriverNameFromFile : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(DriverNameFromFile, CutsFourCharactersFromTheFileName) {
  Driver driver(GetParam().fileName);
  REQUIRE_DRIVER(driver);
  EXPECT_EQ(std::string(GetParam().baseName) + " v" + kVersion, driver.DriverName());
  EXPECT_EQ("QV-731 usage: COM3,9600,8,N,1", driver.Usage()) << "the usage text does not follow the file name";
}

INSTANTIATE_TEST_SUITE_P(Identity, DriverNameFromFile,
                         ::testing::Values(FileNameCase{"Other.dll", "Other"}, FileNameCase{"Other.dl", "Othe"},
                                           FileNameCase{"Q.dl", ""}, FileNameCase{"abc", "abc"},
                                           FileNameCase{"display driver.dll", "display driver"}));

TEST(Identity, LogIsNamedAfterTheFile) {
  Driver driver("Other.dll");
  REQUIRE_DRIVER(driver);
  int status = -1;
  driver.Init(20, 2, "COM3,9600,,N,1Log", &status);
  EXPECT_EQ(0, status);
  std::vector<std::string> lines = LogLines(driver.Log("Other"));
  ASSERT_GE(lines.size(), 3u) << driver.Log("Other");
  EXPECT_EQ(kRule, lines[0]);
  EXPECT_EQ("Log File opened for  Other", lines[1]);
  EXPECT_EQ(kRule, lines[2]);
  EXPECT_EQ(std::string("Other v") + kVersion, driver.DriverName());
}

// ------------------------------------------------------ the whole job on a line

TEST_F(Line, InitSendsTheSequenceAndLogsItsSteps) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  Driver driver;
  REQUIRE_DRIVER(driver);
  int status = -1;
  EXPECT_EQ(std::string("QV-731 v") + kVersion, driver.Init(20, 2, Parameters(",9600,8,N,1Log").c_str(), &status));
  EXPECT_EQ(1, status);
  EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size() + 1, kQuietMs)));

  const std::string port = "port=" + port_ + ", num=" + std::to_string(PortNumber(port_));
  std::vector<std::string> expected = {
      kRule,          "Log File opened for  QV-731",  kRule, "Init Called ", "Init " + port,
      "Init " + port, "Init " + port_ + ",9600,8,0,0"};
  EXPECT_EQ(expected, LogLines(driver.Log()));
  EXPECT_EQ(1, driver.Done());
}

TEST_F(Line, CommandsSendExactBytes) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  Driver driver;
  REQUIRE_DRIVER(driver);
  int status = -1;
  driver.Init(20, 2, Parameters(",9600,8,N,1Log").c_str(), &status);
  ASSERT_EQ(1, status);
  peer_.Read(kInitSequence.size(), kQuietMs);

  struct {
    int x, y;
    int sentX, sentY;
  } positions[] = {{1, 1, 1, 1}, {20, 2, 20, 2},   {21, 3, 1, 1},         {0, 0, 0, 0},     {21, 2, 1, 2},
                   {5, 3, 5, 1}, {0x115, 1, 1, 1}, {0x214, 0x102, 20, 2}, {255, 255, 1, 1}, {-1, 2, 1, 2}};
  for (const auto& p : positions) {
    EXPECT_EQ(1, driver.SetPosition(p.x, p.y)) << p.x << "," << p.y;
    EXPECT_EQ(Hex(Position(p.sentX, p.sentY)), Hex(peer_.Read(4, kQuietMs))) << p.x << "," << p.y;
  }

  EXPECT_EQ(1, driver.Write("Hello, display"));
  EXPECT_EQ("Hello, display", peer_.Read(14, kQuietMs));

  // Every byte but NUL goes out as it is: no translation of line ends or
  // anything else.
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(1, driver.Write(all.c_str()));
  EXPECT_EQ(Hex(all), Hex(peer_.Read(all.size(), 2000)));

  // Longer than the staging buffer: still whole, nothing cut.
  std::string longText;
  for (int i = 0; i < 300; ++i) longText += static_cast<char>('A' + i % 26);
  EXPECT_EQ(1, driver.Write(longText.c_str()));
  EXPECT_EQ(longText, peer_.Read(longText.size() + 1, 2000));

  EXPECT_EQ(1, driver.Write(""));
  EXPECT_EQ(1, driver.Write(nullptr));
  EXPECT_EQ("", peer_.ReadUntilQuiet(kQuietMs)) << "an empty text sends nothing";

  EXPECT_EQ(1, driver.PowerResume());
  EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size() + 1, kQuietMs)));

  EXPECT_EQ(1, driver.Done());
  EXPECT_EQ(Hex(kClosing), Hex(peer_.Read(kClosing.size() + 1, kQuietMs)));

  std::vector<std::string> lines = LogLines(driver.Log());
  auto has = [&lines](const std::string& line) {
    for (const std::string& l : lines) {
      if (l == line) return true;
    }
    return false;
  };
  EXPECT_TRUE(has("SetPosition x=21, y=3")) << "the requested, uncorrected values";
  EXPECT_TRUE(has("SetPosition x=21, y=1")) << "0x115 counts as 21";
  EXPECT_TRUE(has("SetPosition x=255, y=2")) << "-1 counts as its low byte";
  EXPECT_TRUE(has("Write Hello, display"));
  EXPECT_TRUE(has("Write " + longText)) << "a long text is logged whole";
  EXPECT_TRUE(has("Write ")) << "an empty text is logged too";
}

TEST_F(Line, GeometryComesFromTheLowBytesOfInit) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  // The low byte counts as a value from 0 to 255: 200 columns let every
  // position up to 200 pass.
  struct {
    int columns, rows;  // as the host passes them
    int lastX, lastY;   // the last position that passes unchanged
  } cases[] = {{0x1200 + 40, 0x300 + 4, 40, 4}, {200, 2, 200, 2}, {0xFF, 0x180, 255, 128}};
  for (const auto& c : cases) {
    Driver driver;
    REQUIRE_DRIVER(driver);
    int status = -1;
    driver.Init(c.columns, c.rows, Parameters(",9600,8,N,1").c_str(), &status);
    ASSERT_EQ(1, status);
    peer_.Read(kInitSequence.size(), kQuietMs);
    driver.SetPosition(c.lastX, c.lastY);
    EXPECT_EQ(Hex(Position(c.lastX, c.lastY)), Hex(peer_.Read(4, kQuietMs))) << c.columns << "x" << c.rows;
    if (c.lastX < 255) {
      driver.SetPosition(c.lastX + 1, c.lastY + 1);
      EXPECT_EQ(Hex(Position(1, 1)), Hex(peer_.Read(4, kQuietMs))) << c.columns << "x" << c.rows;
    }
    driver.Done();
    peer_.Read(kClosing.size(), kQuietMs);
  }
}

TEST_F(Line, DoneClosesTheLineForGood) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  Driver driver;
  REQUIRE_DRIVER(driver);
  int status = -1;
  const std::string name = driver.Init(20, 2, Parameters(",9600,8,N,1Log").c_str(), &status);
  ASSERT_EQ(1, status);
  peer_.Read(kInitSequence.size(), kQuietMs);

  EXPECT_NE(0, driver.Done());
  EXPECT_EQ(Hex(kClosing), Hex(peer_.Read(kClosing.size() + 1, kQuietMs)));

  // Nothing reaches the line after Done; the failures are only logged.
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.Write("late"));
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.SetPosition(1, 1));
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.PowerResume());
  EXPECT_EQ(0, driver.Done()) << "a second Done finds no port";
  // A later Init opens nothing again, and says why instead of reporting a
  // closed port as ready; so does every one after it.
  for (int later = 0; later < 2; ++later) {
    status = -1;
    EXPECT_EQ(kClosedByDone, driver.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status));
    EXPECT_EQ(0, status);
  }
  EXPECT_EQ("", Hex(peer_.ReadUntilQuiet(kQuietMs)));
  EXPECT_EQ(name, driver.DriverName()) << "the name is the same as ever";

  std::vector<std::string> lines = LogLines(driver.Log());
  ASSERT_GE(lines.size(), 13u) << driver.Log();
  // The two later Inits, each an Error line of its own.
  EXPECT_EQ("Error " + kClosedByDone, lines[lines.size() - 2]);
  EXPECT_EQ("Error " + kClosedByDone, lines[lines.size() - 1]);
  // Before them: Write, its error and the empty line after it; SetPosition,
  // error, empty line; PowerResume and the closing write of Done only fail.
  std::vector<std::string> tail(lines.end() - 12, lines.end() - 2);
  const std::string error = "Error Error writing string : ";
  EXPECT_EQ("Write late", tail[0]);
  EXPECT_EQ(0u, tail[1].find(error)) << tail[1];
  EXPECT_EQ("", tail[2]);
  EXPECT_EQ("SetPosition x=1, y=1", tail[3]);
  EXPECT_EQ(0u, tail[4].find(error)) << tail[4];
  EXPECT_EQ("", tail[5]);
  EXPECT_EQ(0u, tail[6].find(error)) << tail[6];
  EXPECT_EQ("", tail[7]);
  EXPECT_EQ(0u, tail[8].find(error)) << tail[8];
  EXPECT_EQ("", tail[9]);
  // The error text ends with the platform's own line break.
  EXPECT_EQ("\r", tail[1].substr(tail[1].size() - 1)) << tail[1];

  // Loaded anew, the library opens the port again.
  ASSERT_TRUE(driver.Reload()) << driver.problem();
  status = -1;
  EXPECT_EQ(name, driver.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status));
  EXPECT_EQ(1, status);
  EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size(), kQuietMs)));
  EXPECT_EQ(1, driver.Done());
  EXPECT_EQ(Hex(kClosing), Hex(peer_.Read(kClosing.size(), kQuietMs)));
}

TEST_F(Line, HighPortNumbersUseTheDevicePathForm) {
  OPEN_LINE("QV_TEST_HIGH_PORT", "QV_TEST_HIGH_PEER");
  Driver driver;
  REQUIRE_DRIVER(driver);
  // The host writes COM12; the driver opens \\.\COM12.
  int status = -1;
  driver.Init(20, 2, "COM12,19200,8,N,2Log", &status);
  EXPECT_EQ(1, status);
  EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size() + 1, kQuietMs)));
  std::vector<std::string> lines = LogLines(driver.Log());
  ASSERT_EQ(7u, lines.size()) << driver.Log();
  EXPECT_EQ("Init port=COM12, num=12", lines[4]);
  EXPECT_EQ("Init port=\\\\.\\COM12, num=12", lines[5]);
  EXPECT_EQ("Init \\\\.\\COM12,19200,8,0,2", lines[6]);
  driver.Done();
}

TEST_F(Line, DefaultFormOpensCom3) {
  OPEN_LINE("QV_TEST_DEFAULT_PORT", "QV_TEST_DEFAULT_PEER");
  Driver driver;
  REQUIRE_DRIVER(driver);
  int status = -1;
  driver.Init(20, 2, "defaultLog", &status);
  EXPECT_EQ(1, status);
  EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size() + 1, kQuietMs)));
  std::vector<std::string> lines = LogLines(driver.Log());
  ASSERT_EQ(5u, lines.size()) << driver.Log();
  EXPECT_EQ("Init COM3,9600,8,0,0", lines[4]) << "the default form writes no port lines";
  driver.Done();
}

// ------------------------------------------------------------------- faults

struct Failure {
  std::string text;
  int status;
};

Failure InitWith(Driver& driver, const std::string& parameters) {
  Failure result;
  result.status = -1;
  result.text = driver.Init(20, 2, parameters.c_str(), &result.status);
  return result;
}

// The "Error" line of a failure: its text, then the empty line that the
// platform's line break leaves.
void ExpectErrorLogged(Driver& driver, const std::string& text) {
  ASSERT_FALSE(text.empty());
  ASSERT_EQ('\n', text.back()) << "the platform's description ends with a line break";
  std::vector<std::string> lines = LogLines(driver.Log());
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i] + "\n" == "Error " + text) {
      EXPECT_EQ("", lines[i + 1]) << "an empty line follows the error";
      return;
    }
  }
  ADD_FAILURE() << "no \"Error " << text << "\" line in:\n" << driver.Log();
}

TEST(Faults, MissingPort) {
  REQUIRE_ENV("QV_TEST_MISSING_PORT", port);
  Driver driver;
  REQUIRE_DRIVER(driver);
  Failure failure = InitWith(driver, port + ",9600,8,N,1Log");
  EXPECT_EQ(0, failure.status);
  EXPECT_EQ(0u, failure.text.find("Serial Port does not exist : ")) << failure.text;
  EXPECT_EQ(qvtest::SystemDescription(2), failure.text.substr(29)) << failure.text;
  ExpectErrorLogged(driver, failure.text);
  EXPECT_EQ(0, driver.Done()) << "no port was opened";
}

TEST(Faults, NotASerialPort) {
  REQUIRE_ENV("QV_TEST_NOT_SERIAL_PORT", port);
  Driver driver;
  REQUIRE_DRIVER(driver);
  Failure failure = InitWith(driver, port + ",9600,8,N,1Log");
  EXPECT_EQ(0, failure.status);
  EXPECT_EQ(0u, failure.text.find("Failed to get Serial Port state : ")) << failure.text;
  EXPECT_GT(failure.text.size(), 36u) << "with the platform's description";
  ExpectErrorLogged(driver, failure.text);
  EXPECT_NE(0, driver.Done()) << "the port stayed open until Done";
}

TEST_F(Line, SettingsRefused) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  Driver driver;
  REQUIRE_DRIVER(driver);
  // 300 data bits reach the port as 44, its low byte; the log shows 300.
  Failure failure = InitWith(driver, Parameters(",9600,300,N,1Log"));
  EXPECT_EQ(0, failure.status);
  EXPECT_EQ(0u, failure.text.find("Failed to set Serial Port state : ")) << failure.text;
  ExpectErrorLogged(driver, failure.text);
  std::vector<std::string> lines = LogLines(driver.Log());
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ("Init " + port_ + ",9600,300,0,0", lines[6]);
  EXPECT_EQ("", Hex(peer_.ReadUntilQuiet(kQuietMs))) << "no sequence after a failure";
  EXPECT_NE(0, driver.Done()) << "the port stayed open until Done";
}

// The driver reads the line back and refuses one the port does not hold,
// putting back the line the port had. A pseudo-terminal holds a speed and
// stop bits but no character size or parity: Wine reads it back as 8 bits
// without parity, so there a line of another size or with parity is refused,
// while natively the port reports the size and parity it was given. What the
// terminal holds afterwards is the line asked for, or the one it had.
TEST_F(Line, ALineThePortDoesNotHoldIsRefusedAndTheOldOnePutBack) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  const struct {
    const char* rest;
    qvtest::PortSpeed asked;
    bool heldUnderWine;
  } cases[] = {
      {",19200,8,N,1Log", {19200, false}, true},  {",57600,8,N,2Log", {57600, true}, true},
      {",19200,7,N,1Log", {19200, false}, false}, {",19200,8,E,1Log", {19200, false}, false},
      {",38400,7,O,1Log", {38400, false}, false},
  };
  const qvtest::PortSpeed kBefore = {2400, true};
  for (const auto& c : cases) {
    ASSERT_TRUE(qvtest::SetPortSpeed(port_, kBefore)) << port_;
    Driver driver;
    REQUIRE_DRIVER(driver);
    Failure failure = InitWith(driver, Parameters(c.rest));
    const bool held = c.heldUnderWine || !kWindows;
    if (held) {
      EXPECT_EQ(1, failure.status) << c.rest << ": " << failure.text;
      EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size(), kQuietMs))) << c.rest;
    } else {
      EXPECT_EQ(0, failure.status) << c.rest;
      EXPECT_EQ("Failed to set Serial Port state : " + qvtest::SystemDescription(87), failure.text) << c.rest;
      ExpectErrorLogged(driver, failure.text);
      EXPECT_EQ("", Hex(peer_.ReadUntilQuiet(kQuietMs))) << c.rest << ": nothing goes out on a line not set";
    }
    EXPECT_NE(0, driver.Done()) << c.rest << ": the port stays open until Done";
    peer_.ReadUntilQuiet(50);
    qvtest::PortSpeed after = {0, false};
    ASSERT_TRUE(qvtest::ReadPortSpeed(port_, &after)) << c.rest;
    const qvtest::PortSpeed expected = held ? c.asked : kBefore;
    EXPECT_EQ(expected.baud, after.baud) << c.rest;
    EXPECT_EQ(expected.twoStopBits, after.twoStopBits) << c.rest;
  }
}

// Under Wine too: it takes any speed on a pseudo-terminal, and the line read
// back refuses it.
TEST_F(Line, BaudRateRefused) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  Driver driver;
  REQUIRE_DRIVER(driver);
  Failure failure = InitWith(driver, Parameters(",12345,8,N,1"));
  EXPECT_EQ(0, failure.status);
  EXPECT_EQ("Failed to set Serial Port state : " + qvtest::SystemDescription(87), failure.text);
  EXPECT_NE(0, driver.Done());
}

TEST_F(Line, PortHeldByAnotherProgram) {
  if (kWindows) GTEST_SKIP() << "Wine does not refuse a second opening of a serial port";
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  qvtest::PortHolder holder;
  ASSERT_TRUE(holder.Hold(port_));
  Driver driver;
  REQUIRE_DRIVER(driver);
  Failure failure = InitWith(driver, Parameters(",9600,8,N,1Log"));
  EXPECT_EQ(0, failure.status);
  EXPECT_EQ("Failed to open Serial Port : " + qvtest::SystemDescription(5), failure.text);
  ExpectErrorLogged(driver, failure.text);
  EXPECT_EQ(0, driver.Done());
}

// Another program keeps the port to itself with the terminal's exclusive
// flag alone: the driver is refused as on Windows, whoever runs it, and
// leaves the other program's flag as it found it.
TEST_F(Line, PortHeldExclusivelyByAnotherProgram) {
  if (kWindows) GTEST_SKIP() << "Wine does not refuse a second opening of a serial port";
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
#ifndef _WIN32
  Driver driver;
  REQUIRE_DRIVER(driver);
  qvtest::PortHolder holder;
  ASSERT_TRUE(holder.HoldExclusive(port_));
  Failure failure = InitWith(driver, Parameters(",9600,8,N,1Log"));
  EXPECT_EQ(0, failure.status);
  EXPECT_EQ("Failed to open Serial Port : " + qvtest::SystemDescription(5), failure.text);
  ExpectErrorLogged(driver, failure.text);
  EXPECT_EQ(0, driver.Done());
  EXPECT_TRUE(holder.StillExclusive()) << "the driver cleared a flag it had not set";
  EXPECT_EQ("", Hex(peer_.ReadUntilQuiet(kQuietMs)));
  EXPECT_TRUE(holder.StillExclusive()) << "the flag of a program that is alive must stay";
#endif
}

#ifndef _WIN32
// Whether the terminal's exclusive flag is set: 1 or 0, -1 where it cannot
// be told. An ordinary user cannot open a terminal with the flag set at all.
int ExclusiveFlag(const std::string& port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == EBUSY ? 1 : -1;
  int exclusive = -1;
  if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
  close(fd);
  return exclusive;
}

// A host in a process of its own, killed when the test ends however it ends.
struct ChildHost {
  pid_t pid = -1;
  ~ChildHost() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
};

// A host that dies, however it dies, leaves the line free for the next one
// at once, as Windows frees the ports of a process that ended; while it
// lives, the line is its own, also against root, and also where its
// descriptors cannot be read (as another user's cannot).
TEST_F(Line, AHostThatDiedLeavesTheLineFree) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  // Another terminal, locked by a program that lives on (this test) when the
  // host dies: its lock is not the host's.
  qvtest::PtyLine other;
  ASSERT_FALSE(other.device().empty()) << "no pseudo-terminal for the other lock";
  ASSERT_EQ(0, flock(other.device_fd(), LOCK_EX | LOCK_NB));
  for (int signal : {SIGKILL, SIGTERM, SIGINT}) {
    Driver host;  // loaded here, started in the child
    REQUIRE_DRIVER(host);
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    fflush(nullptr);
    ChildHost child;
    child.pid = fork();
    ASSERT_GE(child.pid, 0);
    if (child.pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
      alarm(60);
      prctl(PR_SET_DUMPABLE, 0);  // its descriptors hidden from other processes
      close(ready[0]);
      int status = -1;
      host.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status);
      const char answer = static_cast<char>(status);
      if (write(ready[1], &answer, 1) != 1) _exit(3);
      for (;;) pause();  // holds the line until it is killed
    }
    close(ready[1]);
    struct pollfd started = {ready[0], POLLIN, 0};
    char answer = 0;
    const bool answered = poll(&started, 1, 10000) == 1 && read(ready[0], &answer, 1) == 1;
    close(ready[0]);
    ASSERT_TRUE(answered && answer == 1) << "the host did not start on the line";
    EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size(), kQuietMs)));

    // A second host is refused while the first lives, also a while later,
    // and the first one's flag stays.
    Driver next;
    REQUIRE_DRIVER(next);
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (attempt > 0) {
        qvtest::SleepMs(100);
        ASSERT_TRUE(next.Reload()) << next.problem();
      }
      int status = -1;
      EXPECT_EQ("Failed to open Serial Port : " + qvtest::SystemDescription(5),
                next.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status))
          << "signal " << signal << ", attempt " << attempt;
      EXPECT_EQ(0, status);
      EXPECT_EQ(1, ExclusiveFlag(port_)) << "signal " << signal << ": the live host lost its flag";
    }

    ASSERT_EQ(0, kill(child.pid, signal));
    int how = 0;
    ASSERT_EQ(child.pid, waitpid(child.pid, &how, 0));
    child.pid = -1;
    ASSERT_TRUE(WIFSIGNALED(how)) << signal;
    EXPECT_EQ(signal, WTERMSIG(how));

    // The line is free at once, and the next host gets it.
    const auto died = std::chrono::steady_clock::now();
    long long waitedMs = 0;
    int flag = 1;
    while ((flag = ExclusiveFlag(port_)) != 0 && waitedMs < 2000) {
      qvtest::SleepMs(5);
      waitedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - died).count();
    }
    ASSERT_EQ(0, flag) << "signal " << signal << ": the dead host's line stayed locked";
    EXPECT_LT(waitedMs, 500) << "signal " << signal << ": the line was freed late";
    ASSERT_TRUE(next.Reload()) << next.problem();
    int status = -1;
    next.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status);
    EXPECT_EQ(1, status) << "signal " << signal;
    EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size(), kQuietMs)));
    EXPECT_EQ(1, next.Done());
    EXPECT_EQ(Hex(kClosing), Hex(peer_.Read(kClosing.size(), kQuietMs)));
  }
}

// Another program than a host of the driver that keeps the line to itself
// with the exclusive flag, in a process of its own: with a lock or without,
// with its descriptors hidden from other processes (not dumpable) or not. On
// the word it closes the line without clearing the flag and lives on. Its
// lock may be taken by a helper process of its own that then ends, as a
// daemon's parent does: the kernel's table of locks goes on naming the
// helper.
enum class Lock { kNone, kOwn, kByAHelperThatEnds };
class OtherHolder {
 public:
  ~OtherHolder() {
    Kill();
    if (told_ >= 0) close(told_);
    if (answers_ >= 0) close(answers_);
  }

  // Returns once the program holds the line.
  bool Start(const std::string& port, Lock lock, bool hidden) {
    int told[2], answers[2];
    if (pipe(told) != 0) return false;
    if (pipe(answers) != 0) {
      close(told[0]);
      close(told[1]);
      return false;
    }
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
      alarm(60);
      if (hidden) prctl(PR_SET_DUMPABLE, 0);
      close(told[1]);
      close(answers[0]);
      const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      bool held = fd >= 0 && ioctl(fd, TIOCEXCL, NULL) == 0;
      if (held && lock == Lock::kOwn) held = flock(fd, LOCK_EX | LOCK_NB) == 0;
      if (held && lock == Lock::kByAHelperThatEnds) {
        // The helper lives long enough for the relay to see its lock.
        const pid_t helper = fork();
        if (helper == 0) _exit(flock(fd, LOCK_EX | LOCK_NB) == 0 && usleep(150 * 1000) == 0 ? 0 : 3);
        int how = 0;
        held = helper > 0 && waitpid(helper, &how, 0) == helper && WIFEXITED(how) && WEXITSTATUS(how) == 0;
      }
      char answer = held ? 1 : 0;
      if (write(answers[1], &answer, 1) != 1) _exit(3);
      if (read(told[0], &answer, 1) == 1) {
        close(fd);  // the flag stays: the relay keeps the terminal open
        if (write(answers[1], &answer, 1) != 1) _exit(3);
      }
      for (;;) pause();
    }
    close(told[0]);
    close(answers[1]);
    told_ = told[1];
    answers_ = answers[0];
    return pid_ > 0 && Answered();
  }

  // Closes the line, leaving the flag set; returns once it is closed.
  bool LetGo() {
    const char word = 1;
    return write(told_, &word, 1) == 1 && Answered();
  }

  bool Alive() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;  // died, and reaped
    return pid_ > 0;
  }

  // Kills the program (it cannot clear its flag) and waits for its end.
  void Kill() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  bool Answered() {
    struct pollfd ready = {answers_, POLLIN, 0};
    char answer = 0;
    return poll(&ready, 1, 10000) == 1 && read(answers_, &answer, 1) == 1 && answer == 1;
  }

  pid_t pid_ = -1;
  int told_ = -1;
  int answers_ = -1;
};

// Waits up to 2 s for the line's flag to be cleared; the milliseconds it
// took, or -1 when it stayed.
long long MsUntilFree(const std::string& port) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const long long waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (ExclusiveFlag(port) == 0) return waited;
    if (waited >= 2000) return -1;
    qvtest::SleepMs(5);
  }
}

// A program that closes the line and lives on, and has not cleared its flag,
// leaves the line free: the relay remembers the holder it found, by its
// descriptor or by its lock, and sees that it no longer holds the line.
TEST_F(Line, AHolderThatLetsGoOfTheLineAndLivesOnLeavesItFree) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  struct Kind {
    Lock lock;
    bool hidden;
    const char* name;
  };
  for (const Kind& kind :
       {Kind{Lock::kNone, false, "found by its descriptor"}, Kind{Lock::kOwn, true, "found by its lock"}}) {
    OtherHolder holder;
    ASSERT_TRUE(holder.Start(port_, kind.lock, kind.hidden)) << kind.name << ": the holder did not take the line";
    qvtest::SleepMs(100);  // the relay has seen it
    EXPECT_EQ(1, ExclusiveFlag(port_)) << kind.name << ": the live holder lost its flag";
    ASSERT_TRUE(holder.LetGo()) << kind.name;
    const long long waitedMs = MsUntilFree(port_);
    EXPECT_TRUE(holder.Alive()) << kind.name;
    ASSERT_GE(waitedMs, 0) << kind.name << ": the line stayed locked after its holder closed it";
    EXPECT_LT(waitedMs, 500) << kind.name << ": the line was freed late";
  }
}

// A program the relay cannot look into (its descriptors hidden, where the
// relay is not root's) that holds the line with the exclusive flag and no
// lock keeps it: the relay does not take a holder it cannot see for one that
// is gone. Once that program has died the line is free again.
//
// The same for one whose lock the relay saw, taken by a helper process that
// has ended since: the lock names a process that is gone, while the holder
// it cannot see lives on.
TEST_F(Line, AHolderTheRelayCannotSeeKeepsTheLine) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  for (Lock lock : {Lock::kNone, Lock::kByAHelperThatEnds}) {
    const char* kind = lock == Lock::kNone ? "no lock" : "a lock by a helper that ended";
    OtherHolder holder;
    ASSERT_TRUE(holder.Start(port_, lock, true)) << kind << ": the holder did not take the line";
    int elapsedMs = 0;
    for (int ms : {50, 150, 350}) {
      qvtest::SleepMs(ms - elapsedMs);
      elapsedMs = ms;
      EXPECT_EQ(1, ExclusiveFlag(port_)) << kind << ": after about " << ms << " ms the live holder's flag was gone";
    }
    EXPECT_TRUE(holder.Alive()) << kind;
    holder.Kill();
    const long long waitedMs = MsUntilFree(port_);
    ASSERT_GE(waitedMs, 0) << kind << ": the dead holder's line stayed locked";
    EXPECT_LT(waitedMs, 500) << kind << ": the line was freed late";
  }
  // A host of the driver meanwhile is refused, and gets the line once the
  // holder has died.
  OtherHolder holder;
  ASSERT_TRUE(holder.Start(port_, Lock::kNone, true)) << "the holder did not take the line";
  Driver next;
  REQUIRE_DRIVER(next);
  int status = -1;
  EXPECT_EQ("Failed to open Serial Port : " + qvtest::SystemDescription(5),
            next.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status));
  EXPECT_EQ(0, status);
  EXPECT_TRUE(holder.Alive());

  holder.Kill();
  const long long waitedMs = MsUntilFree(port_);
  ASSERT_GE(waitedMs, 0) << "the dead holder's line stayed locked";
  EXPECT_LT(waitedMs, 500) << "the line was freed late";
  ASSERT_TRUE(next.Reload()) << next.problem();
  next.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status);
  EXPECT_EQ(1, status);
  EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size(), kQuietMs)));
  EXPECT_EQ(1, next.Done());
  EXPECT_EQ(Hex(kClosing), Hex(peer_.Read(kClosing.size(), kQuietMs)));
}
#endif

TEST_F(Line, WriteAfterTheLineIsCut) {
  OPEN_LINE("QV_TEST_HANGUP_PORT", "QV_TEST_HANGUP_PEER");
  const std::string hangup = Env("QV_TEST_HANGUP_FILE");
  ASSERT_FALSE(hangup.empty());
  Driver driver;
  REQUIRE_DRIVER(driver);
  START_ON_LINE(driver);
  peer_.Close();
  ASSERT_TRUE(qvtest::CreateEmptyFile(hangup));
  qvtest::SleepMs(300);  // the relay looks for the file every 20 ms
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.Write("lost"));
  std::vector<std::string> lines = LogLines(driver.Log());
  ASSERT_GE(lines.size(), 3u) << driver.Log();
  EXPECT_EQ("Write lost", lines[lines.size() - 3]);
  EXPECT_EQ(0u, lines[lines.size() - 2].find("Error Error writing string : ")) << driver.Log();
  EXPECT_EQ("", lines.back());
  driver.Done();
}

// A display that takes nothing in (its flow control holds): the line fills,
// and from then on every call that writes fails, with its "Error" line,
// instead of losing its bytes unseen.
TEST_F(Line, AStalledLineFailsEveryCall) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  const std::string stall = Env("QV_TEST_STALL_FILE");
  ASSERT_FALSE(stall.empty());
  Driver driver;
  REQUIRE_DRIVER(driver);
  START_ON_LINE(driver);
  // The line moves again however the test ends: later tests use it too.
  struct Unstall {
    std::string file;
    ~Unstall() { remove(file.c_str()); }
  } unstall{stall};
  ASSERT_TRUE(qvtest::CreateEmptyFile(stall));
  qvtest::SleepMs(200);  // the relay looks for the file every 20 ms

  // Fill the line, in ever smaller texts down to one byte, until it takes
  // no more. Each text either goes whole or fails.
  int sent = 0;
  size_t sentBytes = 0;
  for (size_t size : {200u, 20u, 1u}) {
    const std::string text(size, 'z');
    int result = 1;
    for (int calls = 0; calls < 5000 && result == 1; ++calls) {
      result = driver.Write(text.c_str());
      if (result == 1) {
        ++sent;
        sentBytes += size;
      }
    }
    ASSERT_EQ(DISPLAYDLL_WRITE_FAILED, result) << "the line never filled with texts of " << size;
  }
  const size_t full = LogLines(driver.Log()).size();

  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.SetPosition(2, 1));
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.PowerResume());
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.Write("late"));
  EXPECT_EQ(1, driver.Done()) << "the port is closed all the same";

  remove(stall.c_str());
  // What the line held arrives once it moves: every text that went through,
  // then at most the beginnings of the failed ones and of the commands.
  const std::string held = peer_.ReadUntilQuiet(kQuietMs);
  ASSERT_GE(held.size(), sentBytes);
  EXPECT_EQ(std::string(sentBytes, 'z'), held.substr(0, sentBytes));

  // The description ends with its own line break: the line ends in "\r",
  // and an empty line follows.
  std::string error = "Error Error writing string : " + qvtest::SystemDescription(1460);
  ASSERT_EQ("\r\n", error.substr(error.size() - 2));
  error.pop_back();
  std::vector<std::string> lines = LogLines(driver.Log());
  ASSERT_EQ(full + 10, lines.size()) << driver.Log();
  // SetPosition, PowerResume, Write and the closing command of Done.
  const std::vector<std::string> expected = {"SetPosition x=2, y=1", error, "", error, "",
                                             "Write late",           error, "", error, ""};
  EXPECT_EQ(expected, std::vector<std::string>(lines.end() - 10, lines.end()))
      << "after " << sent << " texts went through";
  // The texts that filled the line failed with the same words.
  int errors = 0;
  for (const std::string& line : lines) {
    if (line.find("Error ") != 0) continue;
    ++errors;
    EXPECT_EQ(error, line);
  }
  EXPECT_EQ(3 + 4, errors) << driver.Log();
}

// A first Init that failed stays failed: a later one, even with the right
// parameters, opens nothing, sends nothing and answers with the first
// failure, also after a failed write has composed another error text. A host
// that wants to try again calls Done and loads the library anew.
TEST_F(Line, AFailedFirstInitStaysFailedUntilTheLibraryIsLoadedAgain) {
  OPEN_LINE("QV_TEST_PORT", "QV_TEST_PEER");
  REQUIRE_ENV("QV_TEST_MISSING_PORT", missing);
  for (const std::string& wrong : {missing + ",9600,8,N,1Log", Parameters(",9600,8,,1Log")}) {
    Driver driver;
    REQUIRE_DRIVER(driver);
    Failure first = InitWith(driver, wrong);
    ASSERT_EQ(0, first.status) << wrong;
    EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.Write("between")) << wrong;
    const std::string log = driver.Log();
    EXPECT_NE(std::string::npos, log.find("Error Error writing string : ")) << log;

    Failure again = InitWith(driver, Parameters(",9600,8,N,1Log"));
    EXPECT_EQ(first.text, again.text) << wrong;
    EXPECT_EQ(0, again.status) << wrong;
    EXPECT_EQ("", Hex(peer_.ReadUntilQuiet(kQuietMs))) << wrong << ": nothing sent";
    EXPECT_EQ(log, driver.Log()) << wrong << ": nothing logged";
    EXPECT_EQ(0, driver.Done()) << wrong << ": no port was opened";

    // Loaded anew, the library starts afresh.
    ASSERT_TRUE(driver.Reload()) << driver.problem();
    int status = -1;
    EXPECT_EQ(std::string("QV-731 v") + kVersion, driver.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status));
    EXPECT_EQ(1, status) << wrong;
    EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size(), kQuietMs))) << wrong;
    EXPECT_EQ(1, driver.Done());
    EXPECT_EQ(Hex(kClosing), Hex(peer_.Read(kClosing.size(), kQuietMs)));
  }
}

TEST(Faults, ParameterFailuresOpenNothing) {
  struct {
    const char* parameters;
    const char* text;
  } cases[] = {
      {"COM3,9600,,N,1Log", "Data bits Incorrect?"},
      {"COM3,9600,8,,1Log", "Parity Incorrect?"},
      {"COM4", "Data bits Incorrect?"},
      {"Log", "Data bits Incorrect?"},
      {"Default", "Data bits Incorrect?"},
      {"", "Data bits Incorrect?"},
  };
  for (const auto& c : cases) {
    Driver driver;
    REQUIRE_DRIVER(driver);
    Failure failure = InitWith(driver, c.parameters);
    EXPECT_EQ(c.text, failure.text) << c.parameters;
    EXPECT_EQ(0, failure.status) << c.parameters;
    // A later call opens nothing and says the same.
    Failure later = InitWith(driver, "COM99,9600,8,N,1");
    EXPECT_EQ(c.text, later.text) << c.parameters;
    EXPECT_EQ(0, later.status) << c.parameters;
    EXPECT_EQ(0, driver.Done()) << c.parameters << ": no port may be open";
  }
}

TEST(Faults, NullPointersFromTheHost) {
  Driver driver;
  REQUIRE_DRIVER(driver);
  // A null parameter string reads as an empty one; a null status is skipped.
  EXPECT_EQ("Data bits Incorrect?", std::string(driver.Entry<PFN_DISPLAYDLL_Init>("Init")(20, 2, nullptr, nullptr)));
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.Write(nullptr)) << "no port is open";
  EXPECT_EQ("Data bits Incorrect?", std::string(driver.Entry<PFN_DISPLAYDLL_Init>("Init")(20, 2, nullptr, nullptr)));
}

TEST(DebugLog, WithoutLogSuffixTheFileIsEmptied) {
  Driver driver;
  REQUIRE_DRIVER(driver);
  // An old log is emptied, and nothing is written without "Log".
  ASSERT_TRUE(qvtest::MakeDir("logs"));
  ASSERT_TRUE(qvtest::WriteWholeFile(qvtest::JoinPath("logs", "QV-731.log"), "an old log\n"));
  int status = -1;
  driver.Init(20, 2, "COM3,9600,8,,1", &status);
  EXPECT_TRUE(driver.HasLog());
  EXPECT_EQ("", driver.Log());
}

// Only the three letters "Log", in that case, at the end of a longer string
// switch the log on.
TEST(DebugLog, OnlyAnExactLogSuffixSwitchesTheLogOn) {
  struct {
    const char* parameters;
    bool logs;
  } cases[] = {
      {"COM3,9600,8,,1Log", true},
      {"COM3,9600,8,,1log", false},
      {"COM3,9600,8,,1LOG", false},
      {"Log", false},
      {"xLog", true},
      {"COM3,9600,8,,1Logs", false},
  };
  for (const auto& c : cases) {
    Driver driver;
    REQUIRE_DRIVER(driver);
    int status = -1;
    driver.Init(20, 2, c.parameters, &status);
    EXPECT_EQ(0, status) << c.parameters;
    EXPECT_TRUE(driver.HasLog()) << c.parameters;
    const std::string log = driver.Log();
    if (c.logs) {
      EXPECT_NE(std::string::npos, log.find("Log File opened for  QV-731")) << c.parameters << ":\n" << log;
    } else {
      EXPECT_EQ("", log) << c.parameters;
    }
  }
}

TEST(DebugLog, OutputBeforeInitOpensTheLogWithoutBanner) {
  Driver driver;
  REQUIRE_DRIVER(driver);
  EXPECT_EQ(DISPLAYDLL_WRITE_FAILED, driver.Write("early"));
  EXPECT_TRUE(driver.HasLog());
  int status = -1;
  driver.Init(20, 2, "COM3,9600,8,,1Log", &status);
  EXPECT_EQ(0, status);
  // The log was opened before the debug flag was set: no banner, and the
  // lines of Init follow.
  std::vector<std::string> lines = LogLines(driver.Log());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("Init Called ", lines[0]) << driver.Log();
}

}  // namespace

// ------------------------------------------------------ faults under load

namespace {

// The relay plugs the hang-up line in again once its file is gone.
void PlugInAgain(const std::string& hangupFile) {
  remove(hangupFile.c_str());
  qvtest::SleepMs(300);  // the relay looks every 20 ms
}

}  // namespace

// The display unplugged in the middle of a stream of calls and plugged back
// in: the calls go on failing promptly with their "Error" lines, nothing
// crashes, and a host that starts the driver again finds the display.
TEST_F(Line, DisplayUnpluggedAndPluggedBackIn) {
  const std::string hangup = Env("QV_TEST_HANGUP_FILE");
  if (hangup.empty()) GTEST_SKIP() << "QV_TEST_HANGUP_FILE is not set: run through tests/with_ports.sh";
  PlugInAgain(hangup);  // an earlier test may have left the line cut
  OPEN_LINE("QV_TEST_HANGUP_PORT", "QV_TEST_HANGUP_PEER");
  {
    Driver driver;
    REQUIRE_DRIVER(driver);
    START_ON_LINE(driver);
    for (int i = 0; i < 50; ++i) {
      ASSERT_EQ(1, driver.SetPosition(1, 1 + i % 2));
      ASSERT_EQ(1, driver.Write("before"));
      EXPECT_EQ(Hex(Position(1, 1 + i % 2) + "before"), Hex(peer_.Read(10, kQuietMs))) << i;
    }
    peer_.Close();
    ASSERT_TRUE(qvtest::CreateEmptyFile(hangup));
    // Calls go on while the line goes down, and after: none may hang.
    auto slowest = std::chrono::steady_clock::duration::zero();
    int failed = 0;
    int calls = 0;
    for (; calls < 2000 && failed < 100; ++calls) {
      auto start = std::chrono::steady_clock::now();
      int result = calls % 3 == 0   ? driver.SetPosition(2, 1)
                   : calls % 3 == 1 ? driver.Write("during")
                                    : driver.PowerResume();
      slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
      if (result == DISPLAYDLL_WRITE_FAILED) {
        ++failed;
      } else {
        ASSERT_EQ(1, result) << "call " << calls;
        ASSERT_EQ(0, failed) << "a write went through after the line was cut";
        qvtest::SleepMs(1);
      }
    }
    EXPECT_EQ(100, failed) << "the writes did not fail once the line was cut";
    EXPECT_LT(slowest, std::chrono::seconds(2)) << "a call on the cut line took long";
    std::vector<std::string> lines = LogLines(driver.Log());
    int errors = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find("Error ") != 0) continue;
      ++errors;
      EXPECT_EQ(0u, lines[i].find("Error Error writing string : ")) << lines[i];
      EXPECT_TRUE(i + 1 < lines.size() && lines[i + 1].empty()) << "no empty line after " << lines[i];
    }
    EXPECT_EQ(failed, errors) << driver.Log();
    EXPECT_EQ(1, driver.Done()) << "the port stays the driver's until Done";
  }
  PlugInAgain(hangup);
  OPEN_LINE("QV_TEST_HANGUP_PORT", "QV_TEST_HANGUP_PEER");
  Driver again;
  REQUIRE_DRIVER(again);
  int status = -1;
  again.Init(20, 2, Parameters(",9600,8,N,1").c_str(), &status);
  ASSERT_EQ(1, status);
  EXPECT_EQ(Hex(kInitSequence), Hex(peer_.Read(kInitSequence.size(), kQuietMs)));
  EXPECT_EQ(1, again.Write("back again"));
  EXPECT_EQ("back again", peer_.Read(10, kQuietMs));
  EXPECT_EQ(1, again.Done());
}
