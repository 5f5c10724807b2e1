// Pictures of the simulated display's screen as it would look: a dot matrix of
// 5x7 cells with gaps between them, lit dots in a vacuum-fluorescent
// blue-green on dark glass and unlit dots faintly visible. SVG always; PNG
// where the build has libpng (QV_HAVE_PNG).
#ifndef QV_SIMULATOR_PICTURE_H
#define QV_SIMULATOR_PICTURE_H

#include <string>

#include "simulator/model.h"

struct Rgb {
  unsigned char r, g, b;
};
const Rgb kGlassColor = {6, 16, 15};
const Rgb kLitColor = {96, 255, 214};
const Rgb kUnlitColor = {22, 44, 41};

// Where things are in a picture of a screen of the given size, in pixels
// (SVG user units are the same).
struct PictureLayout {
  int columns;
  int rows;
  int width;
  int height;
  // The centre of dot (dotX 0..4, dotY 0..6) of the cell at column, row (counting from 1).
  int DotCenterX(int column, int dotX) const;
  int DotCenterY(int row, int dotY) const;
};
PictureLayout LayoutFor(int columns, int rows);
// The radius of a dot.
const int kDotRadius = 4;

// Whether the dot is lit on the screen as the model holds it.
bool DotLit(const DisplayModel& display, int column, int row, int dotX, int dotY);

std::string PictureSvg(const DisplayModel& display);
// True when this build can write PNG pictures.
bool CanWritePng();
// True for a file name ending in .png (in any case): such pictures are PNG, all others SVG.
bool PictureIsPng(const std::string& path);
// Writes the screen to `path`, as PNG when the name ends in .png and as SVG
// otherwise; false with *error set when it cannot.
bool WritePicture(const DisplayModel& display, const std::string& path, std::string* error);

// Draws one numbered picture per change of the screen: DIR/frame-0001.png
// and on (.svg where the build cannot write PNG). Hand it every event.
class PictureFrames {
 public:
  explicit PictureFrames(const std::string& dir) : dir_(dir) {}
  // False with *error set the first time a frame cannot be written.
  bool Add(const DisplayModel& display, const DisplayEvent& event, std::string* error);
  bool failed() const { return failed_; }

 private:
  std::string dir_;
  std::string last_;  // the screen of the last frame
  int count_ = 0;
  bool failed_ = false;
};

#endif
