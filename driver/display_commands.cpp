// The entry points that talk to the display: each sends its bytes in one write.
#include <stdio.h>
#include <string.h>

#include "diagnostics/debug_log.h"
#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "driver/serial_link.h"
#include "platform/win32.h"

namespace {

const unsigned char kInitialisation[8] = {0x1B, 0x40, 0x1B, 0x2A, 0x04, 0x1B, 0x5F, 0x00};
const unsigned char kClosing[2] = {0x1B, 0x02};
const unsigned char kPositionCommand = 0x6C;

char g_staging[256];  // a text with its NUL, up to 255 text bytes

}  // namespace

extern "C" int DISPLAYDLL_CALL DISPLAYDLL_PowerResume(void) {
  return PortWrite(kInitialisation, sizeof kInitialisation);
}

extern "C" int DISPLAYDLL_CALL DISPLAYDLL_SetPosition(int x, int y) {
  int column = x & 0xFF;
  int row = y & 0xFF;
  if (LogWanted()) {
    char line[32];
    snprintf(line, sizeof line, "x=%d, y=%d", column, row);
    LogLine("SetPosition", line);
  }
  if (row > g_driver.rows) row = 1;
  if (column > g_driver.columns) column = 1;
  const unsigned char command[4] = {0x1B, kPositionCommand, static_cast<unsigned char>(column),
                                    static_cast<unsigned char>(row)};
  return PortWrite(command, sizeof command);
}

extern "C" int DISPLAYDLL_CALL DISPLAYDLL_Write(const char* text) {
  if (text == NULL) text = "";
  size_t length = strlen(text);
  // A text too long for the staging buffer goes out whole from the host's
  // own storage: nothing the host sent is cut.
  const char* bytes = text;
  if (length < sizeof g_staging) {
    memcpy(g_staging, text, length + 1);
    bytes = g_staging;
  }
  LogLine("Write", text);
  return PortWrite(bytes, length);
}

extern "C" int DISPLAYDLL_CALL DISPLAYDLL_Done(void) {
  PortWrite(kClosing, sizeof kClosing);
  BOOL closed = FALSE;
  if (g_driver.port == NULL || g_driver.port == INVALID_HANDLE_VALUE) {
    // No port was opened: there is nothing to close, and saying so is not a
    // success.
    SetLastError(ERROR_INVALID_HANDLE);
  } else {
    closed = CloseHandle(g_driver.port);
  }
  // The handle may be given to something else now: later writes must fail as
  // writes before Init do, never reach it.
  g_driver.port = NULL;
  return closed;
}
