#include "driver/serial_link.h"

#include "diagnostics/debug_log.h"
#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "platform/win32.h"

namespace {

const DWORD kDcbLength = 28;
static_assert(sizeof(DCB) == kDcbLength, "the line settings record is 28 bytes");

}  // namespace

const char* OpenPort(const PortSettings* settings) {
  g_driver.port = CreateFileA(settings->devicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (g_driver.port == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return FormatLastError("Serial Port does not exist");
    return FormatLastError("Failed to open Serial Port");
  }

  g_driver.line.DCBlength = kDcbLength;
  if (!GetCommState(g_driver.port, &g_driver.line)) return FormatLastError("Failed to get Serial Port state");
  g_driver.line.BaudRate = static_cast<DWORD>(settings->baudRate);
  g_driver.line.ByteSize = static_cast<BYTE>(settings->dataBits & 0xFF);
  g_driver.line.Parity = static_cast<BYTE>(settings->parity);
  g_driver.line.StopBits = static_cast<BYTE>(settings->stopBits);
  if (!SetCommState(g_driver.port, &g_driver.line)) return FormatLastError("Failed to set Serial Port state");

  g_driver.timeouts.ReadIntervalTimeout = 50;
  g_driver.timeouts.ReadTotalTimeoutMultiplier = 10;
  g_driver.timeouts.ReadTotalTimeoutConstant = 50;
  g_driver.timeouts.WriteTotalTimeoutMultiplier = 10;
  g_driver.timeouts.WriteTotalTimeoutConstant = 50;
  if (!SetCommTimeouts(g_driver.port, &g_driver.timeouts)) return FormatLastError("Error setting timeout values");
  return NULL;
}

int PortWrite(const void* bytes, size_t count) {
  DWORD written = 0;
  BOOL result = WriteFile(g_driver.port, bytes, static_cast<DWORD>(count), &written, NULL);
  if (result && written == count) return result;
  // A serial write that runs out of time reports success with what it managed
  // to send: the rest is lost, and a command cut in the middle makes the
  // display take the next bytes as its arguments. That is a failed write.
  if (result) SetLastError(ERROR_TIMEOUT);
  FormatLastError("Error writing string");
  return DISPLAYDLL_WRITE_FAILED;
}
