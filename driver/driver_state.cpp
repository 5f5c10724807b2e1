#include "driver/driver_state.h"

#include <limits.h>
#include <string.h>

const DriverState kDriverStateAtLoad = {20, 2, NULL, DCB(), COMMTIMEOUTS(), 0, ""};
DriverState g_driver = kDriverStateAtLoad;

int g_moduleNameCalls = 0;

namespace {
char g_moduleName[256];
}  // namespace

int CountCall(int* counter) {
  int calls = *counter;
  if (calls < INT_MAX) *counter = calls + 1;
  return calls;
}

size_t ModuleBaseNameFromPath(const char* path, char separator, char* name, size_t size) {
  if (size == 0) return 0;
  size_t length = strlen(path);
  size_t start = 0;
  for (size_t i = length; i > 0; --i) {
    if (path[i - 1] == separator) {
      start = i;
      break;
    }
  }
  // The cut falls four characters before the end of the whole path: when it
  // falls in the folder part, the file name keeps all its characters.
  size_t end = length;
  if (length >= 4 && length - 4 >= start) end = length - 4;
  size_t count = end - start;
  if (count > size - 1) count = size - 1;
  memcpy(name, path + start, count);
  name[count] = '\0';
  return count;
}

const char* ModuleBaseName(void) {
  if (CountCall(&g_moduleNameCalls) != 0) return g_moduleName;
  // The module that holds our own static storage is this library, whoever
  // loaded it.
  char path[1024];
  path[0] = '\0';
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(&g_moduleNameCalls, &region, sizeof region) != 0) {
    DWORD length = GetModuleFileNameA(static_cast<HMODULE>(region.AllocationBase), path, sizeof path);
    if (length == 0) path[0] = '\0';
    path[sizeof path - 1] = '\0';
  }
  ModuleBaseNameFromPath(path, QV_PATH_SEPARATOR, g_moduleName, sizeof g_moduleName);
  return g_moduleName;
}
