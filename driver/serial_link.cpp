#include "driver/serial_link.h"

#include <string.h>

#include "diagnostics/debug_log.h"
#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "platform/win32.h"

namespace {

const DWORD kDcbLength = 28;
static_assert(sizeof(DCB) == kDcbLength, "the line settings record is 28 bytes");

// Whether the port holds the line asked for. A speed within 1% of the one
// asked for counts as held: a port that makes its speed from a divisor of its
// clock may report the speed it made, and a receiver takes that small a
// difference. The size, parity and stop bits must be as asked, except that
// two stop bits after five data bits are one and a half on a UART, and a
// port may report them so: the same setting.
bool LineHeld(const DCB* asked, const DCB* held) {
  const unsigned long long wanted = asked->BaudRate;
  const unsigned long long made = held->BaudRate;
  const unsigned long long off = wanted > made ? wanted - made : made - wanted;
  if (off * 100 > wanted) return false;
  const bool stopBitsHeld = held->StopBits == asked->StopBits ||
                            (asked->ByteSize == 5 && asked->StopBits == TWOSTOPBITS && held->StopBits == ONE5STOPBITS);
  return held->ByteSize == asked->ByteSize && held->Parity == asked->Parity && stopBitsHeld;
}

// A port that cannot make a line is meant to refuse it in SetCommState, but
// not every one does: under Wine the call succeeds whatever the port kept,
// and a UART's driver keeps its old speed where its clock cannot make the new
// one. So the line is read back. One the port does not hold is refused as a
// port refuses it, and the settings the port had before are put back, so that
// Done's closing command and the next program do not meet a mix of the two.
// Returns null, or the error text.
const char* CheckLineHeld(DCB* found) {
  DCB held;
  memset(&held, 0, sizeof held);
  held.DCBlength = kDcbLength;
  const bool read = GetCommState(g_driver.port, &held) != FALSE;
  if (read && LineHeld(&g_driver.line, &held)) return NULL;
  const DWORD error = read ? ERROR_INVALID_PARAMETER : GetLastError();
  SetCommState(g_driver.port, found);
  SetLastError(error);
  return FormatLastError(read ? "Failed to set Serial Port state" : "Failed to get Serial Port state");
}

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
  DCB found = g_driver.line;
  g_driver.line.BaudRate = static_cast<DWORD>(settings->baudRate);
  g_driver.line.ByteSize = static_cast<BYTE>(settings->dataBits & 0xFF);
  g_driver.line.Parity = static_cast<BYTE>(settings->parity);
  g_driver.line.StopBits = static_cast<BYTE>(settings->stopBits);
  if (!SetCommState(g_driver.port, &g_driver.line)) return FormatLastError("Failed to set Serial Port state");
  const char* notHeld = CheckLineHeld(&found);
  if (notHeld != NULL) return notHeld;

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
