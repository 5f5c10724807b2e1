// The simulated display as a program on a pseudo-terminal line: how it ends
// when a signal stops it, and the options it refuses before it starts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_line.h"
#include "tests/support/test_env.h"

namespace {

// The simulator, started with `arguments`, its output going to `output`.
pid_t Start(const std::vector<std::string>& arguments, const std::string& output) {
  std::vector<char*> argv;
  std::string program = QV_DISPLAY_SIM;
  argv.push_back(&program[0]);
  std::vector<std::string> copies(arguments);
  for (std::string& argument : copies) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) _exit(126);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// The program's exit status, or -1 when it did not exit by itself within
// `timeoutMs` (it is then killed) or ended by a signal.
int WaitFor(pid_t pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    qvtest::SleepMs(20);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether `text` appears in the file within `timeoutMs`.
bool Appears(const std::string& path, const std::string& text, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string contents;
  do {
    if (qvtest::ReadWholeFile(path, &contents) && contents.find(text) != std::string::npos) return true;
    qvtest::SleepMs(20);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

std::string Contents(const std::string& path) {
  std::string contents;
  qvtest::ReadWholeFile(path, &contents);
  return contents;
}

TEST(SimulatorProgram, SigintAndSigtermEndTheSessionWritingThePictureAndFrames) {
  for (int number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(number == SIGINT ? "SIGINT" : "SIGTERM");
    const std::string dir = qvtest::MakeTempDir();
    ASSERT_FALSE(dir.empty());
    qvtest::PtyLine line;
    ASSERT_FALSE(line.device().empty());
    const std::string output = dir + "/output.txt";
    // No time limit: the signal is the only way to stop.
    const pid_t pid =
        Start({"--spy", "--picture", dir + "/screen.svg", "--frames", dir + "/frames", line.device(), "0"}, output);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(Appears(output, "display: listening on", 10000)) << Contents(output);
    EXPECT_TRUE(line.Write(std::string("\x1B\x40Hi", 4)));
    EXPECT_TRUE(Appears(output, "text \"Hi\"", 10000)) << Contents(output);
    kill(pid, number);
    const int status = WaitFor(pid, 10000);
    const std::string printed = Contents(output);
    const std::string picture = Contents(dir + "/screen.svg");
    const bool blank = qvtest::Exists(dir + "/frames/frame-0001.png") || qvtest::Exists(dir + "/frames/frame-0001.svg");
    const bool hi = qvtest::Exists(dir + "/frames/frame-0002.png") || qvtest::Exists(dir + "/frames/frame-0002.svg");
    EXPECT_TRUE(qvtest::RemoveTree(dir));

    EXPECT_EQ(128 + number, status) << printed;
    EXPECT_NE(std::string::npos,
              printed.find(std::string("display: stopped by ") + (number == SIGINT ? "SIGINT" : "SIGTERM") +
                           " before a closing command came"))
        << printed;
    EXPECT_NE(std::string::npos, printed.find("display: picture of the screen in")) << printed;
    EXPECT_EQ(0u, picture.find("<svg ")) << picture.substr(0, 200);
    EXPECT_TRUE(blank);
    EXPECT_TRUE(hi);
  }
}

// Runs the simulator to its end; its exit status, and what it printed in *printed.
int RunToEnd(const std::vector<std::string>& arguments, const std::string& output, std::string* printed) {
  const int status = WaitFor(Start(arguments, output), 10000);
  *printed = Contents(output);
  return status;
}

TEST(SimulatorProgram, OptionsItCannotHonourAreWrongCommandLines) {
  const std::string dir = qvtest::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  qvtest::PtyLine line;
  ASSERT_FALSE(line.device().empty());
  const std::string output = dir + "/output.txt";
  const std::string file = dir + "/a-file";
  ASSERT_TRUE(qvtest::CreateEmptyFile(file));

  // A file where the frames' folder should be: refused before the line is
  // opened (a line that does not exist would give 3).
  std::string framesRefusal, baudRefusal, accepted;
  const int framesStatus = RunToEnd({"--frames", file, dir + "/no-such-line"}, output, &framesRefusal);
  // A speed the line cannot be set to, on a line that can be used.
  const int baudStatus = RunToEnd({"--baud", "1000", line.device()}, output, &baudRefusal);
  // A speed it can set: the session runs to its time limit of 1 s.
  const int acceptedStatus = RunToEnd({"--baud", "19200", line.device(), "1"}, output, &accepted);
  EXPECT_TRUE(qvtest::RemoveTree(dir));

  EXPECT_EQ(2, framesStatus) << framesRefusal;
  EXPECT_NE(std::string::npos, framesRefusal.find("--frames needs a folder it can write in: " + file)) << framesRefusal;
  EXPECT_EQ(2, baudStatus) << baudRefusal;
  EXPECT_NE(std::string::npos,
            baudRefusal.find("--baud needs one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200"))
      << baudRefusal;
  EXPECT_EQ(1, acceptedStatus) << accepted;
  EXPECT_NE(std::string::npos, accepted.find("display: no closing command came")) << accepted;
}

}  // namespace
