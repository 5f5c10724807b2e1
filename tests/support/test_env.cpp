#include "tests/support/test_env.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace qvtest {

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

void SleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

bool ReadWholeFile(const std::string& path, std::string* contents) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  contents->clear();
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) contents->append(buffer, n);
  fclose(file);
  return true;
}

bool ReadTextFile(const std::string& path, std::string* contents) {
  std::string raw;
  if (!ReadWholeFile(path, &raw)) return false;
#ifdef _WIN32
  contents->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    *contents += raw[i];
  }
#else
  *contents = raw;
#endif
  return true;
}

bool CreateEmptyFile(const std::string& path) { return WriteWholeFile(path, ""); }

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  return fclose(file) == 0 && written;
}

bool Exists(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  fclose(file);
  return true;
}

bool CopyFileTo(const std::string& from, const std::string& to) {
  std::string contents;
  return ReadWholeFile(from, &contents) && WriteWholeFile(to, contents);
}

std::string PeerPort::ReadUntilQuiet(int quietMs) {
  std::string received;
  auto quietSince = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(quietMs)) {
    std::string more = ReadSome();
    if (more.empty()) {
      SleepMs(5);
      continue;
    }
    received += more;
    quietSince = std::chrono::steady_clock::now();
  }
  return received;
}

std::string PeerPort::Read(size_t count, int timeoutMs) {
  std::string received;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::string more = ReadSome();
    if (more.empty()) {
      SleepMs(5);
      continue;
    }
    received += more;
  }
  return received;
}

PeerPort::~PeerPort() { Close(); }

#ifdef _WIN32

std::string MakeTempDir() {
  static unsigned counter = 0;
  // The library keeps its log open until the process ends, and Windows
  // deletes no open file: the test harness names a folder of its own, which
  // it removes once the program has ended.
  char base[MAX_PATH];
  const std::string harness = Env("QV_TEST_TEMP");
  if (!harness.empty() && harness.size() + 1 < sizeof base) {
    snprintf(base, sizeof base, "%s\\", harness.c_str());
  } else {
    GetTempPathA(sizeof base, base);
  }
  for (;;) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%sqv-test-%lu-%u", base, GetCurrentProcessId(), ++counter);
    if (CreateDirectoryA(path, nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return "";
  }
}

bool RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return RemoveDirectoryA(path.c_str()) != 0 || GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::string CurrentDir() {
  char path[MAX_PATH];
  DWORD n = GetCurrentDirectoryA(sizeof path, path);
  return std::string(path, n);
}

bool ChangeDir(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

bool MakeDir(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

std::string SystemDescription(unsigned code) {
  char text[1024];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x0400, text,
                           sizeof text, nullptr);
  return std::string(text, n);
}

bool PeerPort::Open(const std::string& name) {
  Close();
  HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // Reads return at once with whatever has come.
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(handle, &timeouts);
  handle_ = handle;
  return true;
}

void PeerPort::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

std::string PeerPort::ReadSome() {
  char buffer[512];
  DWORD n = 0;
  if (handle_ == nullptr || !::ReadFile(static_cast<HANDLE>(handle_), buffer, sizeof buffer, &n, nullptr)) return "";
  return std::string(buffer, n);
}

PortHolder::~PortHolder() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

bool PortHolder::Hold(const std::string& name) {
  HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  handle_ = handle;
  return true;
}

bool ReadPortSpeed(const std::string& port, PortSpeed* speed) {
  HANDLE handle = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DCB line = {};
  line.DCBlength = sizeof line;
  const bool read = GetCommState(handle, &line) != 0;
  CloseHandle(handle);
  speed->baud = line.BaudRate;
  speed->twoStopBits = line.StopBits == TWOSTOPBITS;
  return read;
}

bool SetPortSpeed(const std::string& port, const PortSpeed& speed) {
  HANDLE handle = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DCB line = {};
  line.DCBlength = sizeof line;
  bool set = GetCommState(handle, &line) != 0;
  line.BaudRate = speed.baud;
  line.StopBits = speed.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
  set = set && SetCommState(handle, &line) != 0;
  CloseHandle(handle);
  return set;
}

#else

std::string MakeTempDir() {
  std::string base = Env("TMPDIR");
  if (base.empty()) base = "/tmp";
  std::string pattern = base + "/qv-test-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return "";
  return pattern;
}

bool RemoveTree(const std::string& path) {
  if (path.empty()) return false;
  DIR* dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (struct dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      struct stat info;
      if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        RemoveTree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  return rmdir(path.c_str()) == 0 || errno == ENOENT;
}

std::string CurrentDir() {
  char path[4096];
  return getcwd(path, sizeof path) != nullptr ? path : "";
}

bool ChangeDir(const std::string& path) { return chdir(path.c_str()) == 0; }

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "/" + name; }

bool MakeDir(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

std::string SystemDescription(unsigned code) {
  // The descriptions of the library's POSIX layer, which copies Windows'.
  switch (code) {
    case 2: return "The system cannot find the file specified.\r\n";
    case 5: return "Access is denied.\r\n";
    case 6: return "The handle is invalid.\r\n";
    case 87: return "The parameter is incorrect.\r\n";
    case 1460: return "This operation returned because the timeout period expired.\r\n";
    default: return "";
  }
}

bool PeerPort::Open(const std::string& name) {
  Close();
  fd_ = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  return fd_ >= 0;
}

void PeerPort::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string PeerPort::ReadSome() {
  char buffer[512];
  if (fd_ < 0) return "";
  ssize_t n = read(fd_, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

PortHolder::~PortHolder() {
  if (fd_ < 0) return;
  // The flag outlives this descriptor while the relay keeps the line open.
  if (exclusive_) ioctl(fd_, TIOCNXCL, NULL);
  close(fd_);
}

bool PortHolder::Hold(const std::string& name) {
  fd_ = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return false;
  return flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

bool PortHolder::HoldExclusive(const std::string& name) {
  fd_ = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return false;
  exclusive_ = ioctl(fd_, TIOCEXCL, NULL) == 0;
  return exclusive_;
}

bool PortHolder::StillExclusive() const {
  int flag = 0;
  return fd_ >= 0 && ioctl(fd_, TIOCGEXCL, &flag) == 0 && flag != 0;
}

namespace {

const struct {
  unsigned baud;
  speed_t code;
} kPortSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

}  // namespace

bool ReadPortSpeed(const std::string& port, PortSpeed* speed) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct termios line;
  const bool read = tcgetattr(fd, &line) == 0;
  close(fd);
  if (!read) return false;
  speed->twoStopBits = (line.c_cflag & CSTOPB) != 0;
  for (const auto& known : kPortSpeeds) {
    if (known.code != cfgetospeed(&line)) continue;
    speed->baud = known.baud;
    return true;
  }
  return false;
}

bool SetPortSpeed(const std::string& port, const PortSpeed& speed) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct termios line;
  bool set = tcgetattr(fd, &line) == 0;
  if (speed.twoStopBits) {
    line.c_cflag |= CSTOPB;
  } else {
    line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  }
  bool known = false;
  for (const auto& each : kPortSpeeds) {
    if (each.baud != speed.baud) continue;
    known = cfsetispeed(&line, each.code) == 0 && cfsetospeed(&line, each.code) == 0;
  }
  set = set && known && tcsetattr(fd, TCSANOW, &line) == 0;
  close(fd);
  return set;
}

#endif

}  // namespace qvtest
