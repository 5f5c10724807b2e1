// The simulated display's character set: a 5x7 dot font for the bytes 0x20 to
// 0x7E, and a placeholder glyph for every other byte.
#ifndef QV_SIMULATOR_FONT_H
#define QV_SIMULATOR_FONT_H

const int kGlyphWidth = 5;
const int kGlyphHeight = 7;

// True for the bytes the font draws (0x20..0x7E).
bool InFont(unsigned char byte);
// The glyph's dots, kGlyphHeight rows of kGlyphWidth characters from the top
// left, '#' lit and '.' dark; the placeholder for bytes outside the font.
const char* GlyphRows(unsigned char byte);
// Whether the dot at column x (0..4), row y (0..6) of the byte's glyph is lit.
bool GlyphDot(unsigned char byte, int x, int y);

#endif
