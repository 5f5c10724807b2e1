#include "simulator/picture.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "simulator/font.h"

#ifdef QV_HAVE_PNG
#include <png.h>
#endif

namespace {

const int kMargin = 30;
const int kDotPitch = 10;
const int kCellGap = 10;  // between cells, on top of the dot pitch
const int kRowGap = 20;
const int kGlowReach = 5;  // how far beyond its edge a lit dot glows

int CellWidth() { return kGlyphWidth * kDotPitch + kCellGap; }
int CellHeight() { return kGlyphHeight * kDotPitch + kRowGap; }

std::string Hex(Rgb color) {
  char text[8];
  snprintf(text, sizeof text, "#%02x%02x%02x", color.r, color.g, color.b);
  return text;
}

bool EndsWith(const std::string& text, const char* tail) {
  size_t length = strlen(tail);
  if (text.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[text.size() - length + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != tail[i]) return false;
  }
  return true;
}

bool WriteFile(const std::string& path, const std::string& content, std::string* error) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  bool written = fwrite(content.data(), 1, content.size(), file) == content.size();
  if (fclose(file) != 0) written = false;
  if (!written) *error = path + ": cannot write the picture";
  return written;
}

#ifdef QV_HAVE_PNG
// The screen as rows of RGB pixels.
std::vector<unsigned char> Raster(const DisplayModel& display, const PictureLayout& layout) {
  const size_t width = static_cast<size_t>(layout.width);
  std::vector<float> pixels(width * static_cast<size_t>(layout.height) * 3);
  for (size_t i = 0; i < pixels.size(); i += 3) {
    pixels[i] = kGlassColor.r;
    pixels[i + 1] = kGlassColor.g;
    pixels[i + 2] = kGlassColor.b;
  }
  for (int row = 1; row <= layout.rows; ++row) {
    for (int column = 1; column <= layout.columns; ++column) {
      for (int dotY = 0; dotY < kGlyphHeight; ++dotY) {
        for (int dotX = 0; dotX < kGlyphWidth; ++dotX) {
          const bool lit = DotLit(display, column, row, dotX, dotY);
          const Rgb color = lit ? kLitColor : kUnlitColor;
          const int cx = layout.DotCenterX(column, dotX);
          const int cy = layout.DotCenterY(row, dotY);
          const int reach = kDotRadius + (lit ? kGlowReach : 1);
          for (int y = cy - reach; y <= cy + reach; ++y) {
            for (int x = cx - reach; x <= cx + reach; ++x) {
              if (x < 0 || y < 0 || x >= layout.width || y >= layout.height) continue;
              float distance = sqrtf(static_cast<float>((x - cx) * (x - cx) + (y - cy) * (y - cy)));
              float cover = kDotRadius + 0.5f - distance;
              cover = cover < 0 ? 0 : (cover > 1 ? 1 : cover);
              float glow = 0;
              if (lit && distance > kDotRadius) {
                float beyond = (distance - kDotRadius) / 2.5f;
                glow = 0.3f * expf(-beyond * beyond) * (1 - cover);
              }
              float* pixel = &pixels[(static_cast<size_t>(y) * width + static_cast<size_t>(x)) * 3];
              const float channels[3] = {static_cast<float>(color.r), static_cast<float>(color.g),
                                         static_cast<float>(color.b)};
              for (int c = 0; c < 3; ++c) {
                pixel[c] = pixel[c] * (1 - cover) + channels[c] * cover + channels[c] * glow;
                if (pixel[c] > 255) pixel[c] = 255;
              }
            }
          }
        }
      }
    }
  }
  std::vector<unsigned char> bytes(pixels.size());
  for (size_t i = 0; i < pixels.size(); ++i) bytes[i] = static_cast<unsigned char>(pixels[i] + 0.5f);
  return bytes;
}

// libpng reports failures by jumping back to the setjmp below; nothing with a
// destructor lives between the two.
bool WritePngRows(FILE* file, int width, int height, png_bytep* rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool WritePng(const DisplayModel& display, const std::string& path, std::string* error) {
  const PictureLayout layout = LayoutFor(display.columns(), display.rows());
  std::vector<unsigned char> pixels = Raster(display, layout);
  std::vector<png_bytep> rows(static_cast<size_t>(layout.height));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = &pixels[y * static_cast<size_t>(layout.width) * 3];
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  bool written = WritePngRows(file, layout.width, layout.height, rows.data());
  if (fclose(file) != 0) written = false;
  if (!written) *error = path + ": cannot write the picture";
  return written;
}
#endif

}  // namespace

int PictureLayout::DotCenterX(int column, int dotX) const {
  return kMargin + (column - 1) * CellWidth() + dotX * kDotPitch + kDotPitch / 2;
}

int PictureLayout::DotCenterY(int row, int dotY) const {
  return kMargin + (row - 1) * CellHeight() + dotY * kDotPitch + kDotPitch / 2;
}

PictureLayout LayoutFor(int columns, int rows) {
  PictureLayout layout;
  layout.columns = columns;
  layout.rows = rows;
  layout.width = 2 * kMargin + columns * CellWidth() - kCellGap;
  layout.height = 2 * kMargin + rows * CellHeight() - kRowGap;
  return layout;
}

bool DotLit(const DisplayModel& display, int column, int row, int dotX, int dotY) {
  unsigned char byte = static_cast<unsigned char>(display.Row(row - 1)[static_cast<size_t>(column - 1)]);
  return GlyphDot(byte, dotX, dotY);
}

std::string PictureSvg(const DisplayModel& display) {
  const PictureLayout layout = LayoutFor(display.columns(), display.rows());
  char line[256];
  snprintf(line, sizeof line,
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n",
           layout.width, layout.height, layout.width, layout.height);
  std::string svg = line;
  svg +=
      "<defs><filter id=\"glow\" x=\"-1\" y=\"-1\" width=\"3\" height=\"3\">"
      "<feGaussianBlur stdDeviation=\"2\" result=\"blur\"/>"
      "<feMerge><feMergeNode in=\"blur\"/><feMergeNode in=\"SourceGraphic\"/></feMerge></filter></defs>\n";
  snprintf(line, sizeof line, "<rect width=\"100%%\" height=\"100%%\" fill=\"%s\"/>\n", Hex(kGlassColor).c_str());
  svg += line;
  for (int pass = 0; pass < 2; ++pass) {
    const bool lit = pass == 1;
    snprintf(line, sizeof line, "<g fill=\"%s\"%s>\n", Hex(lit ? kLitColor : kUnlitColor).c_str(),
             lit ? " filter=\"url(#glow)\"" : "");
    svg += line;
    for (int row = 1; row <= layout.rows; ++row) {
      for (int column = 1; column <= layout.columns; ++column) {
        for (int dotY = 0; dotY < kGlyphHeight; ++dotY) {
          for (int dotX = 0; dotX < kGlyphWidth; ++dotX) {
            if (DotLit(display, column, row, dotX, dotY) != lit) continue;
            snprintf(line, sizeof line, "<circle cx=\"%d\" cy=\"%d\" r=\"%d\"/>\n", layout.DotCenterX(column, dotX),
                     layout.DotCenterY(row, dotY), kDotRadius);
            svg += line;
          }
        }
      }
    }
    svg += "</g>\n";
  }
  return svg + "</svg>\n";
}

bool CanWritePng() {
#ifdef QV_HAVE_PNG
  return true;
#else
  return false;
#endif
}

bool PictureIsPng(const std::string& path) { return EndsWith(path, ".png"); }

bool WritePicture(const DisplayModel& display, const std::string& path, std::string* error) {
  if (!PictureIsPng(path)) return WriteFile(path, PictureSvg(display), error);
#ifdef QV_HAVE_PNG
  return WritePng(display, path, error);
#else
  *error = path + ": this build writes SVG pictures only (name the file .svg)";
  return false;
#endif
}

bool PictureFrames::Add(const DisplayModel& display, const DisplayEvent& event, std::string* error) {
  if (!event.changesScreen()) return true;
  std::string screen;
  for (int row = 0; row < display.rows(); ++row) screen += display.Row(row);
  if (count_ > 0 && screen == last_) return true;
  last_ = screen;
  char name[32];
  snprintf(name, sizeof name, "/frame-%04d.%s", ++count_, CanWritePng() ? "png" : "svg");
  if (WritePicture(display, dir_ + name, error) || failed_) return true;
  failed_ = true;
  return false;
}
