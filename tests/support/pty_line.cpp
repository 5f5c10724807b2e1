#include "tests/support/pty_line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

namespace qvtest {

PtyLine::PtyLine() {
  char name[256];
  if (openpty(&master_, &device_fd_, name, nullptr, nullptr) != 0) return;
  struct termios tio;
  tcgetattr(device_fd_, &tio);
  cfmakeraw(&tio);
  tcsetattr(device_fd_, TCSANOW, &tio);
  device_ = name;
  fcntl(master_, F_SETFL, O_NONBLOCK);
  fcntl(device_fd_, F_SETFL, O_NONBLOCK);
}

PtyLine::~PtyLine() {
  if (master_ >= 0) close(master_);
  if (device_fd_ >= 0) close(device_fd_);
}

struct termios PtyLine::Settings() const {
  struct termios tio = {};
  tcgetattr(device_fd_, &tio);
  return tio;
}

std::string PtyLine::Read(int quietMs) {
  std::string received;
  for (;;) {
    struct pollfd ready = {master_, POLLIN, 0};
    if (poll(&ready, 1, quietMs) <= 0) return received;
    char buffer[4096];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return received;
    received.append(buffer, static_cast<size_t>(n));
  }
}

bool PtyLine::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EAGAIN) {
      struct pollfd ready = {master_, POLLOUT, 0};
      if (poll(&ready, 1, 1000) <= 0) return false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string PtyLine::ReadCount(size_t count, int timeoutMs) {
  std::string received;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (received.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd ready = {master_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    size_t wanted = count - received.size() < sizeof buffer ? count - received.size() : sizeof buffer;
    ssize_t n = read(master_, buffer, wanted);
    if (n <= 0) {
      // No side of the line is open: nothing more can come.
      if ((ready.revents & POLLHUP) != 0) break;
      continue;
    }
    received.append(buffer, static_cast<size_t>(n));
  }
  return received;
}

namespace {

bool Digits(const std::string& text, size_t at, int low, int high) {
  if (at + 2 > text.size()) return false;
  char a = text[at];
  char b = text[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return false;
  int value = (a - '0') * 10 + (b - '0');
  return value >= low && value <= high;
}

}  // namespace

bool IsTimeStamp(const std::string& text, size_t at) {
  // 0123456789012345678
  // HH:MM:SS dd/mm/yy
  if (at + 17 > text.size()) return false;
  return Digits(text, at, 0, 23) && text[at + 2] == ':' && Digits(text, at + 3, 0, 59) && text[at + 5] == ':' &&
         Digits(text, at + 6, 0, 60) && text[at + 8] == ' ' && Digits(text, at + 9, 1, 31) && text[at + 11] == '/' &&
         Digits(text, at + 12, 1, 12) && text[at + 14] == '/' && Digits(text, at + 15, 0, 99);
}

std::string MatchLogEntries(const std::string& log, size_t* at, const std::vector<LogEntry>& entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string expected = " " + entries[i].tag + " " + entries[i].text + "\n";
    const std::string where = "log entry " + std::to_string(i + 1) + " of " + std::to_string(entries.size()) +
                              " at offset " + std::to_string(*at) + ": ";
    if (!IsTimeStamp(log, *at)) return where + "no time stamp before \"" + entries[i].tag + "\"";
    if (log.compare(*at + 17, expected.size(), expected) != 0) {
      return where + "expected \"" + expected + "\", found \"" + log.substr(*at + 17, expected.size()) + "\"";
    }
    *at += 17 + expected.size();
  }
  return "";
}

}  // namespace qvtest
