// The driver's process-wide state, shared by the entry points.
#ifndef QV_DRIVER_DRIVER_STATE_H
#define QV_DRIVER_DRIVER_STATE_H

#include "platform/win32.h"

struct DriverState {
  int columns;
  int rows;
  HANDLE port;
  DCB line;
  COMMTIMEOUTS timeouts;
  int initCalls;
  // The first Init's failure text, kept for the later calls; empty when the
  // first call succeeded or has not come yet.
  char initFailure[1120];
};

// Columns 20, rows 2, no port, counters 0, until the library is unloaded.
extern const DriverState kDriverStateAtLoad;
extern DriverState g_driver;

// Calls of ModuleBaseName so far; the first one fills the cache.
extern int g_moduleNameCalls;

// Reads a once-only call counter and counts this call. The counter stops at
// its largest value instead of wrapping round to 0, so only the very first
// call ever reads 0, however long the host runs.
int CountCall(int* counter);

// The library's own file name without folder and without its last four
// characters, computed on the first call and cached for good.
const char* ModuleBaseName(void);

// The module-name rule alone: the name in `path` after the last `separator`,
// with the path cut four characters before its end. Copies at most
// `size` - 1 characters into `name` and returns how many it copied.
size_t ModuleBaseNameFromPath(const char* path, char separator, char* name, size_t size);

#endif
