// The parameter string: "COM3,9600,8,N,1" (port, baud rate, data bits,
// parity, stop bits), or "default" for that same line.
#ifndef QV_DRIVER_PORT_PARAMETERS_H
#define QV_DRIVER_PORT_PARAMETERS_H

#include <stddef.h>

const size_t kFieldSize = 80;  // each field is read into a buffer of this size

struct PortSettings {
  char devicePath[kFieldSize];
  int baudRate;
  int dataBits;  // only its low byte reaches the port
  int parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stopBits;  // 0 one stop bit, 2 two stop bits
};

extern const char kDataBitsIncorrect[];  // "Data bits Incorrect?"
extern const char kParityIncorrect[];    // "Parity Incorrect?"

// Fills `settings` and returns null, or returns one of the two failure texts
// above. A null string reads as an empty one. Writes the "port=..." progress
// lines to the debug log.
const char* ParsePortParameters(const char* parameters, PortSettings* settings);

// Copies the characters of `source` up to the first `delimiter` or the end of
// the text into `destination` (at most `size` - 1 of them, then a NUL) and
// returns the field's full length in `source`, so that the next field begins
// one character after it even when this one was cut.
size_t CopyField(char* destination, size_t size, const char* source, char delimiter);

// Standard decimal conversion (leading blanks, a sign, digits up to the first
// non-digit, 0 when there are none) that saturates at the limits of a 32-bit
// integer instead of overflowing.
int TextToInt(const char* text);

#endif
