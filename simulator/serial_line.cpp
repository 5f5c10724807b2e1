#include "simulator/serial_line.h"

#ifdef _WIN32
#include <string.h>
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

const int kSpeeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

}  // namespace

bool SerialLine::CanSet(int baud) {
  for (int speed : kSpeeds) {
    if (speed == baud) return true;
  }
  return false;
}

std::string SerialLine::Speeds() {
  std::string list;
  for (int speed : kSpeeds) list += (list.empty() ? "" : ", ") + std::to_string(speed);
  return list;
}

#ifdef _WIN32

namespace {

std::string LastError(const std::string& what) { return what + ": error " + std::to_string(GetLastError()); }

}  // namespace

SerialLine::~SerialLine() {
  if (handle_ != nullptr) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool SerialLine::Open(const std::string& name, int baud, std::string* error) {
  if (!CanSet(baud)) {
    *error = std::to_string(baud) + " baud is not a speed this simulator can set";
    return false;
  }
  // COM10 and above are reachable only by their device path; it works for every port.
  std::string path = name.compare(0, 4, "\\\\.\\") == 0 ? name : "\\\\.\\" + name;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = LastError("cannot open " + name);
    return false;
  }
  handle_ = handle;
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) {
    *error = LastError("cannot read the settings of " + name);
    return false;
  }
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  if (!SetCommState(handle, &dcb)) {
    *error = LastError("cannot set " + name + " to " + std::to_string(baud) + " baud, 8-N-1");
    return false;
  }
  return true;
}

bool SerialLine::Read(int milliseconds, std::string* bytes, std::string* error) {
  HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  if (milliseconds != timeoutMs_) {
    // Return as soon as a byte is there, or after the time with none.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, static_cast<DWORD>(milliseconds), 0, 0};
    if (!SetCommTimeouts(handle, &timeouts)) {
      *error = LastError("cannot set the line's time-outs");
      return false;
    }
    timeoutMs_ = milliseconds;
  }
  char buffer[512];
  DWORD count = 0;
  if (!ReadFile(handle, buffer, sizeof buffer, &count, nullptr)) {
    *error = LastError("cannot read the line");
    return false;
  }
  bytes->append(buffer, count);
  return true;
}

#else

namespace {

bool Speed(int baud, speed_t* speed) {
  static const struct {
    int baud;
    speed_t speed;
  } kTermiosSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& entry : kTermiosSpeeds) {
    if (entry.baud == baud) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

}  // namespace

SerialLine::~SerialLine() {
  if (fd_ >= 0) close(fd_);
}

bool SerialLine::Open(const std::string& name, int baud, std::string* error) {
  speed_t speed;
  if (!Speed(baud, &speed)) {
    *error = std::to_string(baud) + " baud is not a speed this simulator can set";
    return false;
  }
  fd_ = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) {
    *error = name + ": " + strerror(errno);
    return false;
  }
  struct termios tio;
  if (isatty(fd_) && tcgetattr(fd_, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
      *error = name + ": cannot set the line: " + strerror(errno);
      return false;
    }
  }
  return true;
}

bool SerialLine::Read(int milliseconds, std::string* bytes, std::string* error) {
  struct pollfd ready = {fd_, POLLIN, 0};
  int found = poll(&ready, 1, milliseconds);
  if (found < 0 && errno != EINTR) {
    *error = std::string("cannot wait for the line: ") + strerror(errno);
    return false;
  }
  if (found <= 0) return true;
  char buffer[512];
  ssize_t n = read(fd_, buffer, sizeof buffer);
  if (n > 0) {
    bytes->append(buffer, static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  // A hung-up line stays ready with nothing to read.
  *error = n == 0 ? std::string("the line was hung up") : std::string("cannot read the line: ") + strerror(errno);
  return false;
}

#endif
