// Reads a PNG file back with libpng, for the tests of the simulated display's pictures.
#ifndef QV_TESTS_SUPPORT_PNG_DECODE_H
#define QV_TESTS_SUPPORT_PNG_DECODE_H

#include <png.h>
#include <string.h>

#include <string>
#include <vector>

#include "simulator/picture.h"

struct DecodedPng {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;
  Rgb At(int x, int y) const {
    size_t i = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
    return Rgb{rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

// The file as 8-bit RGB, through libpng's simplified interface.
inline bool DecodePng(const std::string& path, DecodedPng* out) {
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->rgb.resize(PNG_IMAGE_SIZE(image));
  return png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr) != 0;
}

// What a dot's centre looks like: lit blue-green, unlit faint, or bare glass.
inline bool LooksLit(Rgb c) { return c.g > 200 && c.b > 150 && c.r < 160; }
inline bool LooksUnlit(Rgb c) { return c.g > 25 && c.g < 80 && c.r < 40; }
inline bool LooksLikeGlass(Rgb c) { return c.g < 25 && c.r < 15; }

#endif
