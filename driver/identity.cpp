// The entry points that say who the driver is; they never touch the port.
#include <stdio.h>

#include "driver/display_driver.h"
#include "driver/driver_state.h"
#include "driver/version.h"

namespace {

const char kUsage[] = "QV-731 usage: COM3,9600,8,N,1";
const char kDefaultParameters[] = "COM3,9600,8,N,1";
char g_driverName[96];

// The name gives way, so that " v" and the version always fit.
const int kNameRoom = static_cast<int>(sizeof g_driverName) - static_cast<int>(sizeof " v" QV_VERSION_TEXT);

}  // namespace

extern "C" const char* DISPLAYDLL_CALL DISPLAYDLL_Usage(void) { return kUsage; }

extern "C" const char* DISPLAYDLL_CALL DISPLAYDLL_DefaultParameters(void) { return kDefaultParameters; }

extern "C" const char* DISPLAYDLL_CALL DISPLAYDLL_DriverName(void) {
  snprintf(g_driverName, sizeof g_driverName, "%.*s v%s", kNameRoom, ModuleBaseName(), QV_VERSION_TEXT);
  return g_driverName;
}
