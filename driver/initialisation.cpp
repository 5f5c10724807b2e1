// DISPLAYDLL_Init: the driver's one-time start-up.
#include <stdio.h>
#include <string.h>

#include "diagnostics/debug_log.h"
#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "driver/port_parameters.h"
#include "driver/serial_link.h"

namespace {

// The answer to an Init after DISPLAYDLL_Done: the port is closed, and only a
// fresh load of the library opens it again.
const char kClosedByDone[] = "Serial Port was closed by DISPLAYDLL_Done : load the library again to reopen it";

void SetStatus(unsigned char* status, unsigned char value) {
  if (status != NULL) *status = value;
}

static_assert(sizeof g_driver.initFailure >= sizeof g_log.errorText, "a composed error text fits whole");

// The first call's failure stays the answer to every later call, which
// would otherwise report success on a driver that has no port.
const char* Failed(const char* failure) {
  snprintf(g_driver.initFailure, sizeof g_driver.initFailure, "%s", failure);
  return failure;
}

bool AsksForLog(const char* parameters) {
  size_t length = strlen(parameters);
  return length > 3 && strcmp(parameters + length - 3, "Log") == 0;
}

}  // namespace

extern "C" const char* DISPLAYDLL_CALL DISPLAYDLL_Init(int columns, int rows, const char* parameters,
                                                       unsigned char* status) {
  SetStatus(status, 1);
  // Only the first call does the work, whatever its outcome. Later calls open
  // and send nothing: they answer as the first call did, with the driver name
  // or with its failure text, word for word; once DISPLAYDLL_Done has closed
  // the port, they say so instead of reporting a port that is gone as ready.
  // A host that wants to start again calls DISPLAYDLL_Done and loads the
  // library anew.
  if (CountCall(&g_driver.initCalls) > 0) {
    if (g_driver.initFailure[0] != '\0') {
      SetStatus(status, 0);
      return g_driver.initFailure;
    }
    // A first call that succeeded left the port open; only Done clears it.
    if (g_driver.port == NULL) {
      SetStatus(status, 0);
      LogLine("Error", kClosedByDone);
      return kClosedByDone;
    }
    return DISPLAYDLL_DriverName();
  }
  SetStatus(status, 0);

  if (parameters == NULL) parameters = "";
  if (AsksForLog(parameters)) SetDebugFlag(1);
  LogOpen();
  LogLine("Init", "Called ");

  // The geometry is kept even when the rest fails.
  g_driver.columns = columns & 0xFF;
  g_driver.rows = rows & 0xFF;

  PortSettings settings;
  const char* failure = ParsePortParameters(parameters, &settings);
  if (failure != NULL) return Failed(failure);

  char line[256];
  snprintf(line, sizeof line, "%s,%d,%d,%d,%d", settings.devicePath, settings.baudRate, settings.dataBits,
           settings.parity, settings.stopBits);
  LogLine("Init", line);

  failure = OpenPort(&settings);
  if (failure != NULL) return Failed(failure);

  // The port is open and set: a failed sequence is in the log, and
  // DISPLAYDLL_PowerResume sends it again.
  DISPLAYDLL_PowerResume();
  SetStatus(status, 1);
  return DISPLAYDLL_DriverName();
}
