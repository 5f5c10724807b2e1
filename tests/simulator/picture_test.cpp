// The simulated display's pictures: the font table, and the PNG decoded back
// with libpng, checked dot by dot at known places of a known screen.
#include "simulator/picture.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "simulator/font.h"
#include "simulator/model.h"
#include "tests/support/test_env.h"

#ifdef QV_HAVE_PNG
#include "tests/support/png_decode.h"
#endif

namespace {

TEST(DisplayFont, EveryByteHasSevenRowsOfFiveDots) {
  for (int byte = 0; byte < 256; ++byte) {
    const char* rows = GlyphRows(static_cast<unsigned char>(byte));
    ASSERT_EQ(static_cast<size_t>(kGlyphWidth * kGlyphHeight), strlen(rows)) << "byte " << byte;
    EXPECT_EQ(strlen(rows), strspn(rows, "#.")) << "byte " << byte;
  }
  // Blank is dark; everything else in the font lights something, and no
  // printable character looks like the placeholder.
  EXPECT_EQ(std::string(35, '.'), GlyphRows(' '));
  for (int byte = 0x21; byte <= 0x7E; ++byte) {
    EXPECT_NE(nullptr, strchr(GlyphRows(static_cast<unsigned char>(byte)), '#')) << "byte " << byte;
    EXPECT_STRNE(GlyphRows(0x01), GlyphRows(static_cast<unsigned char>(byte))) << "byte " << byte;
  }
  EXPECT_STREQ(GlyphRows(0x00), GlyphRows(0xFF));
  EXPECT_TRUE(GlyphDot('T', 0, 0));
  EXPECT_TRUE(GlyphDot('T', 2, 6));
  EXPECT_FALSE(GlyphDot('T', 0, 6));
  EXPECT_FALSE(GlyphDot('T', 5, 0));
}

#ifdef QV_HAVE_PNG
TEST(DisplayPicture, PngShowsLitAndUnlitDotsWhereTheScreenHasThem) {
  DisplayModel display(20, 2);
  // "H" at 1,1, a byte outside the font at 2,1, "T" at 20,2.
  display.Feed(std::string("H\x01", 2) + std::string("\x1B\x6C\x14\x02", 4) + "T");
  const std::string dir = qvtest::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string path = dir + "/screen.png";
  std::string error;
  ASSERT_TRUE(WritePicture(display, path, &error)) << error;
  DecodedPng png;
  bool decoded = DecodePng(path, &png);
  unlink(path.c_str());
  rmdir(dir.c_str());
  ASSERT_TRUE(decoded);

  const PictureLayout layout = LayoutFor(20, 2);
  ASSERT_EQ(layout.width, png.width);
  ASSERT_EQ(layout.height, png.height);
  auto dot = [&](int column, int row, int x, int y) {
    return png.At(layout.DotCenterX(column, x), layout.DotCenterY(row, y));
  };
  // H: both uprights and the bar lit, the rest of the top row dark.
  EXPECT_TRUE(LooksLit(dot(1, 1, 0, 0)));
  EXPECT_TRUE(LooksLit(dot(1, 1, 4, 6)));
  EXPECT_TRUE(LooksLit(dot(1, 1, 2, 3)));
  EXPECT_TRUE(LooksUnlit(dot(1, 1, 2, 0)));
  EXPECT_TRUE(LooksUnlit(dot(1, 1, 2, 6)));
  // The placeholder's chequer.
  EXPECT_TRUE(LooksLit(dot(2, 1, 0, 0)));
  EXPECT_TRUE(LooksUnlit(dot(2, 1, 1, 0)));
  EXPECT_TRUE(LooksLit(dot(2, 1, 1, 1)));
  // T in the last cell; blank cells are all unlit dots.
  EXPECT_TRUE(LooksLit(dot(20, 2, 2, 6)));
  EXPECT_TRUE(LooksUnlit(dot(20, 2, 0, 6)));
  for (int y = 0; y < kGlyphHeight; ++y) {
    for (int x = 0; x < kGlyphWidth; ++x) EXPECT_TRUE(LooksUnlit(dot(10, 1, x, y))) << x << "," << y;
  }
  // Glass between dots, between cells and in the margin.
  EXPECT_TRUE(LooksLikeGlass(png.At(1, 1)));
  EXPECT_TRUE(
      LooksLikeGlass(png.At((layout.DotCenterX(10, 1) + layout.DotCenterX(10, 2)) / 2, layout.DotCenterY(1, 3))));
  EXPECT_TRUE(
      LooksLikeGlass(png.At((layout.DotCenterX(10, 4) + layout.DotCenterX(11, 0)) / 2, layout.DotCenterY(1, 3))));
  EXPECT_TRUE(
      LooksLikeGlass(png.At(layout.DotCenterX(10, 2), (layout.DotCenterY(1, 6) + layout.DotCenterY(2, 0)) / 2)));
}
#endif

TEST(DisplayPicture, SvgDrawsEveryDotAndWrongPathsFail) {
  DisplayModel display(2, 1);
  display.Feed("I");
  const std::string svg = PictureSvg(display);
  const PictureLayout layout = LayoutFor(2, 1);
  // 2 cells of 35 dots; "I" lights 11 of them, drawn after the unlit ones.
  size_t circles = 0;
  for (size_t at = svg.find("<circle"); at != std::string::npos; at = svg.find("<circle", at + 1)) ++circles;
  EXPECT_EQ(70u, circles);
  const std::string lit = svg.substr(svg.find("filter=\"url(#glow)\""));
  size_t litCircles = 0;
  for (size_t at = lit.find("<circle"); at != std::string::npos; at = lit.find("<circle", at + 1)) ++litCircles;
  EXPECT_EQ(11u, litCircles);
  char centre[64];
  snprintf(centre, sizeof centre, "cx=\"%d\" cy=\"%d\"", layout.DotCenterX(1, 2), layout.DotCenterY(1, 3));
  EXPECT_NE(std::string::npos, lit.find(centre));
  std::string error;
  EXPECT_FALSE(WritePicture(display, "/nonexistent-folder/screen.svg", &error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent-folder/screen.svg")) << error;
}

TEST(DisplayPicture, OneFramePerChangeOfTheScreen) {
  const std::string dir = qvtest::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  DisplayModel display;
  PictureFrames frames(dir);
  std::string error;
  display.SetListener([&](const DisplayEvent& event) { EXPECT_TRUE(frames.Add(display, event, &error)) << error; });
  // Reset (a blank screen), "Hi", then settings, a cursor move and "Hi" over
  // itself: nothing new to see.
  display.Feed(std::string("\x1B\x40Hi\x1B\x2A\x04\x1B\x6C\x01\x01Hi", 13));
  display.Feed("!");
  const char* extension = CanWritePng() ? "png" : "svg";
  std::vector<bool> found;
  for (int n = 1; n <= 4; ++n) {
    const std::string path = dir + "/frame-000" + std::to_string(n) + "." + extension;
    found.push_back(qvtest::Exists(path));
    unlink(path.c_str());
  }
  rmdir(dir.c_str());
  EXPECT_EQ((std::vector<bool>{true, true, true, false}), found);
  EXPECT_FALSE(frames.failed());
}

}  // namespace
