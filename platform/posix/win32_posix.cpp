// The Win32 calls the driver uses, on POSIX: serial ports through termios,
// Windows error numbers and descriptions, the module path through the dynamic
// loader, and directory creation.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/fault_injection.h"
#include "platform/posix/win32_api.h"

static_assert(sizeof(DCB) == 28, "DCB must have the Windows layout");

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct Fault {
  bool armed;
  int skip;  // calls that still succeed first
  DWORD error;
};
Fault g_faults[kPlatformCallCount];
// The next write sends at most this many bytes and reports success.
bool g_cutArmed = false;
DWORD g_cutKeep = 0;
DCB g_lastCommState;
COMMTIMEOUTS g_lastCommTimeouts;
struct termios g_lastTermios;
// The next read-back of the line settings after a SetCommState, changed as a
// device would that kept part of what it had.
bool g_readBackArmed = false;
bool g_readBackDue = false;
tcflag_t g_readBackMask = 0;
tcflag_t g_readBackFlags = 0;
DWORD g_readBackBaud = 0;

bool TakeFault(PlatformCall call) {
  if (!g_faults[call].armed) return false;
  if (g_faults[call].skip > 0) {
    --g_faults[call].skip;
    return false;
  }
  g_faults[call].armed = false;
  t_lastError = g_faults[call].error;
  return true;
}

}  // namespace

// What Windows reports in the same situation: every error that opening,
// configuring or writing a terminal (or whatever path the host named instead)
// can give has its own entry.
DWORD PlatformErrorFromErrno(int code) {
  switch (code) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENXIO:
    case ENODEV: return ERROR_FILE_NOT_FOUND;  // no such device: Windows' missing COM port
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EBUSY:  // a terminal another program holds exclusively
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;  // Windows opens no folder as a file
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EAGAIN: return ERROR_BUSY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EFAULT: return ERROR_NOACCESS;
    case EIO: return ERROR_NOT_READY;  // the line was cut or the device went away
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EINTR: return ERROR_OPERATION_ABORTED;
    case ENOTTY: return ERROR_INVALID_FUNCTION;  // not a serial port
    case EINVAL:
    case EOVERFLOW:
    case ERANGE: return ERROR_INVALID_PARAMETER;
    case EOPNOTSUPP:
    case ENOSYS: return ERROR_NOT_SUPPORTED;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    default: return ERROR_GEN_FAILURE;
  }
}

namespace {

BOOL Fail(DWORD error) {
  t_lastError = error;
  return FALSE;
}

BOOL FailErrno() { return Fail(PlatformErrorFromErrno(errno)); }

// Open serial ports. A handle is the address of its slot.
struct Port {
  bool used;
  bool exclusive;  // we set the terminal's exclusive flag
  int fd;
  COMMTIMEOUTS timeouts;
  // The settings the handle's first GetCommState found, and the record it
  // reported for them: handed back to SetCommState after another line was
  // set, that record puts the terminal back as it was, whole, as on Windows,
  // where the record is all there is of a port's line.
  bool found;
  DCB foundRecord;
  struct termios foundSettings;
  // The character size and parity of the last line set: a pseudo-terminal
  // holds none of its own, so these are what it reports.
  bool lineSet;
  tcflag_t sizeAndParity;
};
const int kMaxPorts = 16;
Port g_ports[kMaxPorts];

// When a process ends, Windows closes the handles it left open, and its ports
// are free again. A terminal's exclusive flag outlives the process for as
// long as anything else keeps the terminal open (a relay, a monitor), and
// would refuse every later program: a host that ends without closing its
// port gives back the flags it set.
struct GiveBackAtExit {
  ~GiveBackAtExit() {
    for (const Port& port : g_ports) {
      if (port.used && port.exclusive) ioctl(port.fd, TIOCNXCL, NULL);
    }
  }
} g_giveBackAtExit;

Port* PortFromHandle(HANDLE handle) {
  for (int i = 0; i < kMaxPorts; ++i) {
    if (handle == &g_ports[i] && g_ports[i].used) return &g_ports[i];
  }
  return NULL;
}

// "COM3" and "\\.\COM3" name the third serial port, /dev/ttyS2; any other
// name is a device path as written.
void DevicePathFor(const char* name, char* path, size_t size) {
  const char* device = name;
  if (strncmp(device, "\\\\.\\", 4) == 0) device += 4;
  if (strncasecmp(device, "COM", 3) == 0 && device[3] >= '1' && device[3] <= '9') {
    char* end = NULL;
    long number = strtol(device + 3, &end, 10);
    if (*end == '\0' && number >= 1 && number <= 256) {
      snprintf(path, size, "/dev/ttyS%ld", number - 1);
      return;
    }
  }
  snprintf(path, size, "%s", name);
}

struct Speed {
  DWORD baud;
  speed_t code;
};
const Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(DWORD baud, speed_t* code) {
  for (const Speed& speed : kSpeeds) {
    if (speed.baud == baud) {
      *code = speed.code;
      return true;
    }
  }
  return false;
}

// A pseudo-terminal has no character size or parity: the kernel keeps it at
// 8 bits without parity, and the C library then reports the settings as
// refused, or not, depending on the terminal's earlier state. It reports the
// size and parity of the line last set through the handle instead, so that
// the line reads back as it was set; what it does keep (the speed, the stop
// bits) reads back as it is. A real serial device reports all it holds.
bool g_ptysAsSerial = false;  // a test's stand-in for a real serial device

bool IsPseudoTerminal(int fd) {
  if (g_ptysAsSerial) return false;
  struct stat device;
  if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  const unsigned kind = major(device.st_rdev);
  return kind >= 136 && kind <= 143;  // the pseudo-terminal devices
}

DWORD BaudFromCode(speed_t code) {
  for (const Speed& speed : kSpeeds) {
    if (speed.code == code) return speed.baud;
  }
  return 0;
}

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Description {
  DWORD code;
  const char* text;
};
// The platform's own descriptions end with a line break.
const Description kDescriptions[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_NOT_READY, "The device is not ready.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_BUSY, "The requested resource is in use.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.\r\n"},
};

}  // namespace

void PlatformFailNextCall(PlatformCall call, DWORD error) { PlatformFailCallAfter(call, 0, error); }

void PlatformFailCallAfter(PlatformCall call, int calls, DWORD error) {
  if (static_cast<int>(call) >= 0 && call < kPlatformCallCount) {
    g_faults[call].armed = true;
    g_faults[call].skip = calls;
    g_faults[call].error = error;
  }
}

void PlatformCutNextWrite(DWORD keep) {
  g_cutArmed = true;
  g_cutKeep = keep;
}

void PlatformAlterNextReadBack(tcflag_t mask, tcflag_t flags, DWORD baud) {
  g_readBackArmed = true;
  g_readBackMask = mask;
  g_readBackFlags = flags;
  g_readBackBaud = baud;
}

void PlatformTreatPtysAsSerial(bool on) { g_ptysAsSerial = on; }

void PlatformClearFaults(void) {
  memset(g_faults, 0, sizeof g_faults);
  g_cutArmed = false;
  g_cutKeep = 0;
  g_readBackArmed = false;
  g_readBackDue = false;
  g_readBackMask = 0;
  g_readBackFlags = 0;
  g_readBackBaud = 0;
  g_ptysAsSerial = false;
  memset(&g_lastCommState, 0, sizeof g_lastCommState);
  memset(&g_lastCommTimeouts, 0, sizeof g_lastCommTimeouts);
  memset(&g_lastTermios, 0, sizeof g_lastTermios);
}

struct termios PlatformLastTermios(void) {
  return g_lastTermios;
}

DCB PlatformLastCommState(void) { return g_lastCommState; }

bool PlatformTakesSpeed(DWORD baud) {
  speed_t code;
  return SpeedCode(baud, &code);
}

COMMTIMEOUTS PlatformLastCommTimeouts(void) { return g_lastCommTimeouts; }

namespace {
char g_redirect[1024];  // empty: ports open as named
}  // namespace

void PlatformRedirectPorts(const char* device) {
  snprintf(g_redirect, sizeof g_redirect, "%s", device != NULL ? device : "");
}

int PlatformPortDescriptor(HANDLE handle) {
  Port* port = PortFromHandle(handle);
  return port != NULL ? port->fd : -1;
}

// The recording line: while it is on, WriteFile keeps what it is handed here
// instead of sending it to the port's device.
namespace {
const size_t kRecordRoom = 65536;
bool g_recording = false;
char g_record[kRecordRoom];
size_t g_recorded = 0;  // bytes handed over since the last take, also those past the room

BOOL RecordWrite(const void* buffer, DWORD count, LPDWORD written) {
  const size_t room = kRecordRoom - (g_recorded < kRecordRoom ? g_recorded : kRecordRoom);
  if (count > 0 && room > 0) memcpy(g_record + (kRecordRoom - room), buffer, count < room ? count : room);
  g_recorded += count;
  if (written != NULL) *written = count;
  t_lastError = ERROR_SUCCESS;
  return TRUE;
}
}  // namespace

void PlatformRecordWrites(bool on) {
  g_recording = on;
  g_recorded = 0;
}

size_t PlatformTakeRecordedWrites(char* bytes, size_t size) {
  const size_t kept = g_recorded < kRecordRoom ? g_recorded : kRecordRoom;
  if (bytes != NULL && kept > 0 && size > 0) memcpy(bytes, g_record, kept < size ? kept : size);
  const size_t recorded = g_recorded;
  g_recorded = 0;
  return recorded;
}

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
  if (TakeFault(kPlatformCreateFile)) return INVALID_HANDLE_VALUE;
  if (fileName == NULL || disposition != OPEN_EXISTING) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Port* port = NULL;
  for (int i = 0; i < kMaxPorts && port == NULL; ++i) {
    if (!g_ports[i].used) port = &g_ports[i];
  }
  if (port == NULL) {
    Fail(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  char path[1024];
  DevicePathFor(fileName, path, sizeof path);
  if (g_redirect[0] != '\0') snprintf(path, sizeof path, "%s", g_redirect);
  int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  bool reads = (access & GENERIC_READ) != 0;
  bool writes = (access & GENERIC_WRITE) != 0;
  flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  int fd = open(path, flags);
  if (fd < 0) {
    FailErrno();
    return INVALID_HANDLE_VALUE;
  }
  bool exclusive = false;
  if (shareMode == 0) {
    // No sharing: a port held by another program (or by another handle of
    // ours) cannot be opened again, also not by root, whom the terminal's
    // exclusive flag alone does not stop.
    int held = 0;
    if ((isatty(fd) && ioctl(fd, TIOCGEXCL, &held) == 0 && held != 0) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      Fail(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    // The flag was clear: setting it makes it ours to clear at CloseHandle.
    // (Another program of root's that sets it between our look and ours
    // would lose it at our CloseHandle; the ioctls leave no way to do both
    // at once.)
    exclusive = isatty(fd) && ioctl(fd, TIOCEXCL, NULL) == 0;
  }
  port->used = true;
  port->exclusive = exclusive;
  port->fd = fd;
  memset(&port->timeouts, 0, sizeof port->timeouts);
  port->found = false;
  port->lineSet = false;
  t_lastError = ERROR_SUCCESS;
  return port;
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
  if (TakeFault(kPlatformGetCommState)) return FALSE;
  Port* port = PortFromHandle(file);
  if (port == NULL) return Fail(ERROR_INVALID_HANDLE);
  if (dcb == NULL) return Fail(ERROR_INVALID_PARAMETER);
  struct termios tio;
  if (tcgetattr(port->fd, &tio) != 0) return FailErrno();
  const struct termios held = tio;
  const tcflag_t kSizeAndParity = CSIZE | PARENB | PARODD | CMSPAR;
  if (port->lineSet && IsPseudoTerminal(port->fd)) {
    tio.c_cflag = (tio.c_cflag & ~kSizeAndParity) | port->sizeAndParity;
  }
  const bool altered = g_readBackDue;
  if (altered) {
    g_readBackDue = false;
    tio.c_cflag = (tio.c_cflag & ~g_readBackMask) | (g_readBackFlags & g_readBackMask);
  }
  memset(dcb, 0, sizeof *dcb);
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = BaudFromCode(cfgetospeed(&tio));
  dcb->fBinary = 1;
  switch (tio.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
  }
  if ((tio.c_cflag & PARENB) == 0) {
    dcb->Parity = NOPARITY;
  } else if (tio.c_cflag & CMSPAR) {
    dcb->Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  dcb->fParity = (tio.c_cflag & PARENB) ? 1 : 0;
  // Two stop bits after five data bits are one and a half on a UART, and
  // Windows and Wine report them so.
  if ((tio.c_cflag & CSTOPB) == 0) {
    dcb->StopBits = ONESTOPBIT;
  } else {
    dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  dcb->XonChar = 0x11;
  dcb->XoffChar = 0x13;
  if (altered && g_readBackBaud != 0) dcb->BaudRate = g_readBackBaud;
  if (!port->found) {
    port->found = true;
    port->foundRecord = *dcb;
    port->foundSettings = held;
  }
  return TRUE;
}

namespace {

// Puts back the settings the terminal had before a line it refused, then
// fails with `error`.
BOOL RefuseLine(int fd, const struct termios& before, DWORD error) {
  tcsetattr(fd, TCSANOW, &before);
  return Fail(error);
}

}  // namespace

BOOL SetCommState(HANDLE file, LPDCB dcb) {
  if (dcb != NULL) g_lastCommState = *dcb;
  if (TakeFault(kPlatformSetCommState)) return FALSE;
  Port* port = PortFromHandle(file);
  if (port == NULL) return Fail(ERROR_INVALID_HANDLE);
  if (dcb == NULL) return Fail(ERROR_INVALID_PARAMETER);
  if (port->lineSet && memcmp(dcb, &port->foundRecord, sizeof *dcb) == 0) {
    // The record the port was found with, after another line: the port as
    // it was, whole.
    if (tcsetattr(port->fd, TCSANOW, &port->foundSettings) != 0) return FailErrno();
    port->lineSet = false;
    return TRUE;
  }
  speed_t speed;
  if (!SpeedCode(dcb->BaudRate, &speed)) return Fail(ERROR_INVALID_PARAMETER);
  tcflag_t size;
  switch (dcb->ByteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return Fail(ERROR_INVALID_PARAMETER);
  }
  tcflag_t parity;
  switch (dcb->Parity) {
    case NOPARITY: parity = 0; break;
    case ODDPARITY: parity = PARENB | PARODD; break;
    case EVENPARITY: parity = PARENB; break;
    case MARKPARITY: parity = PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: parity = PARENB | CMSPAR; break;
    default: return Fail(ERROR_INVALID_PARAMETER);
  }
  tcflag_t stop;
  switch (dcb->StopBits) {
    case ONESTOPBIT: stop = 0; break;
    case TWOSTOPBITS: stop = CSTOPB; break;
    // The same setting, as the port reports two stop bits after five data bits.
    case ONE5STOPBITS:
      if (size != CS5) return Fail(ERROR_INVALID_PARAMETER);  // termios has no 1.5 stop bits otherwise
      stop = CSTOPB;
      break;
    default: return Fail(ERROR_INVALID_PARAMETER);
  }
  struct termios tio;
  if (tcgetattr(port->fd, &tio) != 0) return FailErrno();
  // A line the device refuses leaves the port as it was, as on Windows:
  // termios may already have applied part of it.
  const struct termios before = tio;
  // Bytes pass unchanged: no line-end translation, echo or signals.
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  tio.c_cflag |= size | parity | stop | CLOCAL | CREAD;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return FailErrno();
  g_lastTermios = tio;
  const bool pseudoTerminal = IsPseudoTerminal(port->fd);
  if (tcsetattr(port->fd, TCSANOW, &tio) != 0 && (errno != EINVAL || !pseudoTerminal)) {
    return RefuseLine(port->fd, before, PlatformErrorFromErrno(errno));
  }
  port->lineSet = true;
  port->sizeAndParity = size | parity;
  if (g_readBackArmed) {
    g_readBackArmed = false;
    g_readBackDue = true;
  }
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  if (timeouts != NULL) g_lastCommTimeouts = *timeouts;
  if (TakeFault(kPlatformSetCommTimeouts)) return FALSE;
  Port* port = PortFromHandle(file);
  if (port == NULL) return Fail(ERROR_INVALID_HANDLE);
  if (timeouts == NULL) return Fail(ERROR_INVALID_PARAMETER);
  port->timeouts = *timeouts;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED) {
  if (written != NULL) *written = 0;
  if (TakeFault(kPlatformWriteFile)) return FALSE;
  if (g_cutArmed) {
    // As a write whose time-out ran out after `g_cutKeep` bytes.
    g_cutArmed = false;
    if (g_cutKeep < count) count = g_cutKeep;
  }
  Port* port = PortFromHandle(file);
  if (port == NULL) return Fail(ERROR_INVALID_HANDLE);
  if (buffer == NULL && count > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (g_recording) return RecordWrite(buffer, count, written);
  // A write may take at most multiplier * count + constant milliseconds;
  // when it runs out, the bytes written so far count as the write.
  // The clock is read only once the line makes the write wait.
  const COMMTIMEOUTS& limits = port->timeouts;
  bool timed = limits.WriteTotalTimeoutMultiplier != 0 || limits.WriteTotalTimeoutConstant != 0;
  long long deadline = -1;
  const char* bytes = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < count) {
    ssize_t n = write(port->fd, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FailErrno();
    int wait = -1;
    if (timed) {
      if (deadline < 0) {
        deadline = NowMs() + static_cast<long long>(limits.WriteTotalTimeoutMultiplier) * count +
                   limits.WriteTotalTimeoutConstant;
      }
      long long left = deadline - NowMs();
      if (left <= 0) break;
      wait = static_cast<int>(left);
    }
    struct pollfd ready = {port->fd, POLLOUT, 0};
    int polled = poll(&ready, 1, wait);
    if (polled < 0 && errno != EINTR) return FailErrno();
    if (polled > 0 && (ready.revents & (POLLERR | POLLNVAL))) return Fail(ERROR_NOT_READY);
  }
  if (written != NULL) *written = done;
  t_lastError = ERROR_SUCCESS;
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  Port* port = PortFromHandle(object);
  if (port == NULL) return Fail(ERROR_INVALID_HANDLE);
  // Give the device back as it was: the exclusive flag stays on a terminal
  // for as long as anything keeps it open (a relay, a monitor, the far end of
  // a pseudo-terminal pair), and would lock every other program out. Only a
  // flag this handle set is cleared.
  if (port->exclusive) ioctl(port->fd, TIOCNXCL, NULL);
  flock(port->fd, LOCK_UN);
  close(port->fd);
  port->exclusive = false;
  port->used = false;
  port->fd = -1;
  return TRUE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list*) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == NULL || size == 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  for (const Description& description : kDescriptions) {
    if (description.code != messageId) continue;
    size_t length = strlen(description.text);
    if (length >= size) {
      t_lastError = ERROR_INSUFFICIENT_BUFFER;
      return 0;
    }
    memcpy(buffer, description.text, length + 1);
    return static_cast<DWORD>(length);
  }
  t_lastError = ERROR_MR_MID_NOT_FOUND;
  return 0;
}

SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length) {
  Dl_info found;
  if (info == NULL || length < sizeof *info || dladdr(address, &found) == 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  memset(info, 0, sizeof *info);
  long page = sysconf(_SC_PAGESIZE);
  uintptr_t start = reinterpret_cast<uintptr_t>(address);
  if (page > 0) start -= start % static_cast<uintptr_t>(page);
  info->BaseAddress = reinterpret_cast<LPVOID>(start);
  info->AllocationBase = found.dli_fbase;
  info->RegionSize = page > 0 ? static_cast<SIZE_T>(page) : 0;
  return sizeof *info;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  if (fileName == NULL || size == 0) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  char path[4096];
  path[0] = '\0';
  Dl_info found;
  if (module != NULL && dladdr(module, &found) != 0 && found.dli_fbase == module && found.dli_fname != NULL) {
    snprintf(path, sizeof path, "%s", found.dli_fname);
  }
  if (path[0] == '\0') {
    // The main program: the loader names it with an empty text.
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) {
      FailErrno();
      fileName[0] = '\0';
      return 0;
    }
    path[n] = '\0';
  }
  size_t length = strlen(path);
  if (length >= size) {
    memcpy(fileName, path, size - 1);
    fileName[size - 1] = '\0';
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  memcpy(fileName, path, length + 1);
  return static_cast<DWORD>(length);
}

BOOL CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES) {
  if (pathName == NULL) return Fail(ERROR_INVALID_PARAMETER);
  if (mkdir(pathName, 0777) != 0) return FailErrno();
  return TRUE;
}
