/* A host written in C99 on the driver's header alone: it loads the library
 * at run time, looks all eight entry points up through the header's
 * PFN_DISPLAYDLL_ types and prints the three texts that need no port.
 *   c_host LIBRARY */
#include <stdio.h>
#include <string.h>

#include "driver/display_driver.h"

#ifdef _WIN32
#include <windows.h>

static HMODULE library;

static int Load(const char* path) {
  library = LoadLibraryA(path);
  return library != NULL;
}

typedef void (*AnyCall)(void);
static AnyCall Find(const char* name) { return (AnyCall)GetProcAddress(library, name); }
#else
#include <dlfcn.h>

static void* library;

static int Load(const char* path) {
  library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  return library != NULL;
}

/* ISO C has no conversion from an object pointer to a function pointer: the
 * address dlsym gives is copied into a function pointer of the same size. */
typedef void (*AnyCall)(void);
static AnyCall Find(const char* name) {
  void* address = dlsym(library, name);
  AnyCall call = NULL;
  if (address != NULL && sizeof address == sizeof call) memcpy(&call, &address, sizeof call);
  return call;
}
#endif

int main(int argc, char** argv) {
  PFN_DISPLAYDLL_Usage usage;
  PFN_DISPLAYDLL_DefaultParameters defaults;
  PFN_DISPLAYDLL_DriverName driverName;
  PFN_DISPLAYDLL_Init init;
  PFN_DISPLAYDLL_Write write_text;
  PFN_DISPLAYDLL_SetPosition set_position;
  PFN_DISPLAYDLL_PowerResume power_resume;
  PFN_DISPLAYDLL_Done done;
  if (argc != 2) {
    fputs("usage: c_host LIBRARY\n", stderr);
    return 2;
  }
  if (!Load(argv[1])) {
    fprintf(stderr, "c_host: cannot load %s\n", argv[1]);
    return 3;
  }
  usage = (PFN_DISPLAYDLL_Usage)Find("DISPLAYDLL_Usage");
  defaults = (PFN_DISPLAYDLL_DefaultParameters)Find("DISPLAYDLL_DefaultParameters");
  driverName = (PFN_DISPLAYDLL_DriverName)Find("DISPLAYDLL_DriverName");
  init = (PFN_DISPLAYDLL_Init)Find("DISPLAYDLL_Init");
  write_text = (PFN_DISPLAYDLL_Write)Find("DISPLAYDLL_Write");
  set_position = (PFN_DISPLAYDLL_SetPosition)Find("DISPLAYDLL_SetPosition");
  power_resume = (PFN_DISPLAYDLL_PowerResume)Find("DISPLAYDLL_PowerResume");
  done = (PFN_DISPLAYDLL_Done)Find("DISPLAYDLL_Done");
  if (usage == NULL || defaults == NULL || driverName == NULL || init == NULL || write_text == NULL ||
      set_position == NULL || power_resume == NULL || done == NULL) {
    fputs("c_host: an entry point is missing\n", stderr);
    return 2;
  }
  printf("usage: %s\n", usage());
  printf("defaults: %s\n", defaults());
  printf("name: %s\n", driverName());
  return 0;
}
