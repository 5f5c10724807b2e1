// Loading and unloading run none of the driver's logic; the host calls
// DISPLAYDLL_Done before it unloads the library.
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
