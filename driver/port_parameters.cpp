#include "driver/port_parameters.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "diagnostics/debug_log.h"

const char kDataBitsIncorrect[] = "Data bits Incorrect?";
const char kParityIncorrect[] = "Parity Incorrect?";

namespace {

const char kDefaultForm[] = "default";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads the next comma-separated field, which begins at `*position`; a field
// that begins past the end of the text is empty.
void NextField(const char* text, size_t textLength, size_t* position, char* field) {
  if (*position > textLength) {
    field[0] = '\0';
    return;
  }
  *position += CopyField(field, kFieldSize, text + *position, ',') + 1;
}

void LogPort(const PortSettings* settings, int portNumber) {
  char line[256];
  snprintf(line, sizeof line, "port=%s, num=%d", settings->devicePath, portNumber);
  LogLine("Init", line);
}

}  // namespace

size_t CopyField(char* destination, size_t size, const char* source, char delimiter) {
  size_t length = 0;
  while (source[length] != '\0' && source[length] != delimiter) ++length;
  if (size == 0) return length;
  size_t kept = length < size - 1 ? length : size - 1;
  memcpy(destination, source, kept);
  destination[kept] = '\0';
  return length;
}

int TextToInt(const char* text) {
  const char* p = text;
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > limit) value = limit;  // saturate, and keep reading the digits
  }
  return static_cast<int>(negative ? -value : value);
}

const char* ParsePortParameters(const char* parameters, PortSettings* settings) {
  const char* text = parameters != NULL ? parameters : "";
  if (strncmp(text, kDefaultForm, sizeof kDefaultForm - 1) == 0) {
    snprintf(settings->devicePath, sizeof settings->devicePath, "%s", "COM3");
    settings->baudRate = 9600;
    settings->dataBits = 8;
    settings->parity = 0;
    settings->stopBits = 0;
    return NULL;
  }
  const size_t textLength = strlen(text);
  size_t position = 0;
  char field[kFieldSize];

  NextField(text, textLength, &position, settings->devicePath);
  // The port number is read from the field's fourth character on; a field of
  // three characters or fewer names no number.
  int portNumber = strlen(settings->devicePath) > 3 ? TextToInt(settings->devicePath + 3) : 0;
  LogPort(settings, portNumber);
  if (portNumber > 9) {
    snprintf(settings->devicePath, sizeof settings->devicePath, "\\\\.\\COM%d", portNumber);
  }
  LogPort(settings, portNumber);

  NextField(text, textLength, &position, field);
  settings->baudRate = field[0] == '\0' ? 9600 : TextToInt(field);

  NextField(text, textLength, &position, field);
  if (field[0] == '\0') return kDataBitsIncorrect;
  settings->dataBits = TextToInt(field);

  NextField(text, textLength, &position, field);
  if (field[0] == '\0') return kParityIncorrect;
  switch (field[0]) {
    case 'O': settings->parity = 1; break;
    case 'E': settings->parity = 2; break;
    case 'M': settings->parity = 3; break;
    case 'S': settings->parity = 4; break;
    default: settings->parity = 0; break;
  }

  NextField(text, textLength, &position, field);
  settings->stopBits = field[0] != '\0' && TextToInt(field) == 2 ? 2 : 0;
  return NULL;
}
