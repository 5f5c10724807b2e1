// The demo as a user runs it (the native build, so that it needs no Wine):
// the simulated display's final screen is what the demo's calls wrote, its
// picture exists and decodes to that screen, and the debug log holds the calls.
// What it shows stays in build/demo/, and it leaves nothing in the temporary
// folder. With --port and --line on a relay's line: the line asked for, what
// the display should show, and a line cut mid-demo said in words and status.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/picture.h"
#include "tests/support/png_decode.h"
#include "tests/support/test_env.h"

#ifndef QV_PTY_RELAY
#error QV_PTY_RELAY names the line relay
#endif

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The text after `prefix` on the first line that starts with it, up to `end`.
std::string After(const std::vector<std::string>& lines, const std::string& prefix, char end) {
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      std::string rest = line.substr(prefix.size());
      return rest.substr(0, rest.find(end));
    }
  }
  return "";
}

struct DemoRun {
  int status = -1;
  std::string output;
  std::vector<std::string> left;  // what it left in its temporary folder
};

// tools/demo.sh --native with `options`; `onLine` sees each line of its
// output as it comes.
DemoRun RunDemo(const std::string& options, const std::function<void(const std::string&)>& onLine = nullptr) {
  DemoRun run;
  const std::string temp = qvtest::MakeTempDir();
  if (temp.empty()) return run;
  const std::string command =
      "cd '" QV_SOURCE_DIR "' && TMPDIR='" + temp + "' bash tools/demo.sh --native " + options + " </dev/null 2>&1";
  FILE* demo = popen(command.c_str(), "r");
  if (demo != nullptr) {
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, demo) != nullptr) {
      run.output += buffer;
      if (onLine) onLine(buffer);
    }
    run.status = pclose(demo);
    run.status = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
  }
  for (const auto& entry : std::filesystem::directory_iterator(temp)) run.left.push_back(entry.path().string());
  std::filesystem::remove_all(temp);
  return run;
}

// The demo's last lines, from the one that names the build it ran.
std::string LastWords(const std::string& output) {
  const size_t at = output.rfind("\n== the demo ran ");
  return at == std::string::npos ? "" : output.substr(at + 1);
}

TEST(Demo, FinalScreenPictureAndLog) {
  const DemoRun run = RunDemo("");
  const std::string& output = run.output;
  const int status = run.status;
  const std::vector<std::string> left = run.left;
  const std::vector<std::string> lines = Lines(output);

  // The last frame the display showed.
  std::vector<std::string> frame;
  for (const std::string& line : lines) {
    if (line.size() == 22 && line[0] == '|' && line[21] == '|') frame.push_back(line.substr(1, 20));
  }
  const std::string picture = After(lines, "== the picture of the display: ", ' ');
  const std::string logPath = After(lines, "== the driver's debug log (", ')');
  DecodedPng png;
  const bool decoded = DecodePng(picture, &png);
  std::string log;
  const bool logRead = qvtest::ReadWholeFile(logPath, &log);

  EXPECT_EQ(0, status) << output;
  EXPECT_EQ(
      "== the demo ran the native (Linux) build of QV-731.dll, because --native asked for it\n"
      "== the display took every call at 9600,8,N,1; it should have shown\n"
      "     Hello from QV-731\n"
      "     20 columns, 2 rows\n"
      "   and, after the power resume cleared it, should now show\n"
      "     Hello again after a\n"
      "     power resume\n",
      LastWords(output));
  EXPECT_TRUE(left.empty()) << "left in the temporary folder: " << left.front();
  EXPECT_EQ(QV_SOURCE_DIR "/build/demo/display.png", picture) << output;
  EXPECT_EQ(QV_SOURCE_DIR "/build/demo/logs/QV-731.log", logPath) << output;
  ASSERT_GE(frame.size(), 2u) << output;
  EXPECT_EQ("Hello again after a ", frame[frame.size() - 2]);
  EXPECT_EQ("power resume        ", frame[frame.size() - 1]);
  EXPECT_NE(std::string::npos, output.find("display: closed by the driver")) << output;

  ASSERT_TRUE(decoded) << "picture: \"" << picture << "\"\n" << output;
  const PictureLayout layout = LayoutFor(20, 2);
  ASSERT_EQ(layout.width, png.width);
  ASSERT_EQ(layout.height, png.height);
  auto dot = [&](int column, int row, int x, int y) {
    return png.At(layout.DotCenterX(column, x), layout.DotCenterY(row, y));
  };
  EXPECT_TRUE(LooksLit(dot(1, 1, 0, 0)));     // H
  EXPECT_TRUE(LooksUnlit(dot(1, 1, 2, 0)));   // between its uprights
  EXPECT_TRUE(LooksLit(dot(1, 2, 0, 2)));     // p
  EXPECT_TRUE(LooksUnlit(dot(1, 2, 0, 0)));   // above its bowl
  EXPECT_TRUE(LooksUnlit(dot(20, 1, 2, 3)));  // the blank after "a"

  ASSERT_TRUE(logRead) << "log: \"" << logPath << "\"\n" << output;
  for (const char* expected : {"Init Called", "SetPosition x=1, y=1", "Write Hello from QV-731", "SetPosition x=1, y=2",
                               "Write 20 columns, 2 rows", "Write Hello again after a", "Write power resume"}) {
    EXPECT_NE(std::string::npos, log.find(expected)) << expected << "\n" << log;
  }

  // The package README's sample log starts as the real one does: the
  // banner's three lines and Init's first, each behind its time stamp (the
  // README leaves out the blank that ends "Init Called ").
  std::string readme;
  ASSERT_TRUE(qvtest::ReadWholeFile(QV_SOURCE_DIR "/docs/package/README.txt", &readme));
  std::vector<std::string> sample;
  for (const std::string& line : Lines(readme)) {
    if (line.size() > 20 && line.compare(0, 2, "  ") == 0 && line[4] == ':' && line[13] == '/') {
      sample.push_back(line.substr(2 + 18));
    }
  }
  const std::vector<std::string> logLines = Lines(log);
  ASSERT_GE(sample.size(), 4u) << readme;
  ASSERT_GE(logLines.size(), 4u) << log;
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(logLines[i].substr(18), sample[i] + (i == 3 ? " " : "")) << "line " << i + 1 << " of\n" << log;
  }
}

// A relay's line for the demo's --port: the relay in a folder of its own,
// stopped and removed at the end.
class RelayLine {
 public:
  RelayLine() : dir_(qvtest::MakeTempDir()) {
    if (dir_.empty()) return;
    pid_ = fork();
    if (pid_ == 0) {
      execl(QV_PTY_RELAY, QV_PTY_RELAY, dir_.c_str(), "com5:com6", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100 && !qvtest::Exists(dir_ + "/ready"); ++i) qvtest::SleepMs(50);
  }
  ~RelayLine() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    qvtest::RemoveTree(dir_);
  }
  bool ready() const { return !dir_.empty() && qvtest::Exists(dir_ + "/ready"); }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

TEST(Demo, ARealPortAtTheLineGivenAndWhatItShouldShow) {
  RelayLine line;
  ASSERT_TRUE(line.ready());
  const DemoRun run = RunDemo("--port " + line.dir() + "/com5 --line 19200,7,E,2");
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_TRUE(run.left.empty()) << "left in the temporary folder: " << run.left.front();
  // The driver logs parity and stop bits as the platform's codes: even is 2, two stop bits 2.
  std::string log;
  ASSERT_TRUE(qvtest::ReadWholeFile(QV_SOURCE_DIR "/build/demo/logs/QV-731.log", &log)) << run.output;
  EXPECT_NE(std::string::npos, log.find(" Init " + line.dir() + "/com5,19200,7,2,2\n")) << log;
  // What the display got waits in the line for the far end.
  qvtest::PeerPort display;
  ASSERT_TRUE(display.Open(line.dir() + "/com6"));
  const std::string bytes = display.ReadUntilQuiet(300);
  EXPECT_NE(std::string::npos, bytes.find("Hello again after a")) << bytes;
  EXPECT_EQ(
      "== the demo ran the native (Linux) build of QV-731.dll, because --native asked for it\n"
      "== the display on " +
          line.dir() +
          "/com5 took every call at 19200,7,E,2; it should have shown\n"
          "     Hello from QV-731\n"
          "     20 columns, 2 rows\n"
          "   and, after the power resume cleared it, should now show\n"
          "     Hello again after a\n"
          "     power resume\n"
          "   Nothing, or characters that are not these, mean another port or a line other than 19200,7,E,2.\n",
      LastWords(run.output));
}

TEST(Demo, ALineCutAfterInitIsSaidInWordsAndStatus) {
  RelayLine line;
  ASSERT_TRUE(line.ready());
  // Cut once the first text went out; the power resume comes 300 ms later.
  bool cut = false;
  const DemoRun run = RunDemo("--port " + line.dir() + "/com5", [&](const std::string& text) {
    if (!cut && text.compare(0, 18, "DISPLAYDLL_Write: ") == 0)
      cut = qvtest::CreateEmptyFile(line.dir() + "/hangup-com5");
  });
  ASSERT_TRUE(cut) << run.output;
  EXPECT_EQ(4, run.status) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("\nDISPLAYDLL_PowerResume: -1\n")) << run.output;
  const std::string last = LastWords(run.output);
  EXPECT_NE(std::string::npos,
            last.find("== the display on " + line.dir() + "/com5 did not take every call: after Init succeeded,"))
      << run.output;
  EXPECT_EQ(std::string::npos, last.find("should now show")) << run.output;
}

}  // namespace
