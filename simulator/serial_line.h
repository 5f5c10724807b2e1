// The simulated display's end of a serial line: natively a device path (a
// serial port such as /dev/ttyUSB1, or one end of a pseudo-terminal pair), on
// Windows a COM port (COM6, \\.\COM12). The line is set to raw 8-N-1 at the
// given speed.
#ifndef QV_SIMULATOR_SERIAL_LINE_H
#define QV_SIMULATOR_SERIAL_LINE_H

#include <string>

class SerialLine {
 public:
  SerialLine() = default;
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // Whether the line can be set to this speed, and the speeds it can be set
  // to ("1200, 2400, ..."): the same in every build.
  static bool CanSet(int baud);
  static std::string Speeds();

  // False with *error set when the line cannot be opened or set up.
  bool Open(const std::string& name, int baud, std::string* error);
  // Waits up to `milliseconds` for bytes and appends what came to *bytes
  // (nothing when none came); false with *error set when the line failed.
  bool Read(int milliseconds, std::string* bytes, std::string* error);

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
  int timeoutMs_ = -1;
#else
  int fd_ = -1;
#endif
};

#endif
