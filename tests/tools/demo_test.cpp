// The demo as a user runs it (the native build, so that it needs no Wine):
// the simulated display's final screen is what the demo's calls wrote, its
// picture exists and decodes to that screen, and the debug log holds the calls.
// What it shows stays in build/demo/, and it leaves nothing in the temporary
// folder.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/picture.h"
#include "tests/support/png_decode.h"
#include "tests/support/test_env.h"

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

TEST(Demo, FinalScreenPictureAndLog) {
  const std::string temp = qvtest::MakeTempDir();
  ASSERT_FALSE(temp.empty());
  const std::string command =
      "cd '" QV_SOURCE_DIR "' && TMPDIR='" + temp + "' bash tools/demo.sh --native </dev/null 2>&1";
  std::string output;
  FILE* demo = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, demo);
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, demo)) > 0;) output.append(buffer, n);
  const int status = pclose(demo);
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
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(temp)) left.push_back(entry.path().string());
  std::filesystem::remove_all(temp);

  EXPECT_EQ(0, status) << output;
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

}  // namespace
