// DISPLAYDLL_Init: the driver's one-time start-up.
#include <stdio.h>
#include <string.h>

#include "diagnostics/debug_log.h"
#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "driver/port_parameters.h"
#include "driver/serial_link.h"

namespace {

void SetStatus(unsigned char* status, unsigned char value) {
  if (status != NULL) *status = value;
}

bool AsksForLog(const char* parameters) {
  size_t length = strlen(parameters);
  return length > 3 && strcmp(parameters + length - 3, "Log") == 0;
}

}  // namespace

extern "C" const char* DISPLAYDLL_CALL DISPLAYDLL_Init(int columns, int rows, const char* parameters,
                                                       unsigned char* status) {
  SetStatus(status, 1);
  // Only the first call does the work, whatever its outcome; later calls
  // answer with the driver name.
  if (CountCall(&g_driver.initCalls) > 0) return DISPLAYDLL_DriverName();
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
  if (failure != NULL) return failure;

  char line[256];
  snprintf(line, sizeof line, "%s,%d,%d,%d,%d", settings.devicePath, settings.baudRate, settings.dataBits,
           settings.parity, settings.stopBits);
  LogLine("Init", line);

  failure = OpenPort(&settings);
  if (failure != NULL) return failure;

  DISPLAYDLL_PowerResume();
  SetStatus(status, 1);
  return DISPLAYDLL_DriverName();
}
