/* The display driver's entry points, for hosts written in C or C++.
 *
 * The host loads QV-731.dll, calls DISPLAYDLL_Init once with the display's
 * geometry and a parameter string such as "COM3,9600,8,N,1" (append "Log" for
 * a debug log in logs\QV-731.log), then positions the cursor and writes text,
 * and calls DISPLAYDLL_Done before it unloads the library. Every text the
 * library returns lives in the library's own storage: read or copy it before
 * the next call, and never free it. Calls must come one at a time. */
#ifndef QV_DRIVER_DISPLAY_DRIVER_H
#define QV_DRIVER_DISPLAY_DRIVER_H

#if defined(_WIN32)
#define DISPLAYDLL_CALL __stdcall
#else
#define DISPLAYDLL_CALL
#endif

/* Returned by DISPLAYDLL_Write, DISPLAYDLL_SetPosition and
 * DISPLAYDLL_PowerResume when the port write failed, also when it sent only
 * part of the bytes before its time-out (a display that takes nothing in). It
 * is nonzero, as a host that tests the result for zero expects, but differs
 * from the value of a successful write (1). The failure itself is in the
 * debug log. */
#define DISPLAYDLL_WRITE_FAILED (-1)

#ifdef __cplusplus
extern "C" {
#endif

/* "QV-731 usage: COM3,9600,8,N,1" */
const char* DISPLAYDLL_CALL DISPLAYDLL_Usage(void);
/* "COM3,9600,8,N,1" */
const char* DISPLAYDLL_CALL DISPLAYDLL_DefaultParameters(void);
/* The library's file name without its extension, " v" and the version. */
const char* DISPLAYDLL_CALL DISPLAYDLL_DriverName(void);
/* Opens and sets up the display, once per process. Returns the driver name
 * and sets *status to 1 on success; returns a failure text and sets *status
 * to 0 on failure. Later calls open and send nothing and answer as the first
 * one did: the driver name with status 1, or the first call's failure text
 * with status 0. Once DISPLAYDLL_Done has closed the port a first call
 * opened, they answer with status 0 and a text that says so. To start again
 * (after a failure, or to apply new settings), call DISPLAYDLL_Done, unload
 * the library and load it again. Only the low bytes of columns and rows
 * count. */
const char* DISPLAYDLL_CALL DISPLAYDLL_Init(int columns, int rows, const char* parameters, unsigned char* status);
/* Sends the text's bytes unchanged. */
int DISPLAYDLL_CALL DISPLAYDLL_Write(const char* text);
/* Moves the cursor; columns and rows count from 1, values beyond the display
 * become 1. Only the low bytes count. */
int DISPLAYDLL_CALL DISPLAYDLL_SetPosition(int x, int y);
/* Sends the display's initialisation sequence again. */
int DISPLAYDLL_CALL DISPLAYDLL_PowerResume(void);
/* Sends the closing command and closes the port; returns nonzero when the
 * port was open and is now closed. */
int DISPLAYDLL_CALL DISPLAYDLL_Done(void);

/* The entry points' types, for a host that loads the library at run time and
 * looks each one up by name; the calling convention is part of each type:
 *   HMODULE dll = LoadLibraryA("QV-731.dll");
 *   PFN_DISPLAYDLL_Init init = (PFN_DISPLAYDLL_Init)(void (*)(void))GetProcAddress(dll, "DISPLAYDLL_Init");
 * (the cast through void (*)(void) keeps GCC's -Wcast-function-type quiet). */
typedef const char*(DISPLAYDLL_CALL* PFN_DISPLAYDLL_Usage)(void);
typedef const char*(DISPLAYDLL_CALL* PFN_DISPLAYDLL_DefaultParameters)(void);
typedef const char*(DISPLAYDLL_CALL* PFN_DISPLAYDLL_DriverName)(void);
typedef const char*(DISPLAYDLL_CALL* PFN_DISPLAYDLL_Init)(int columns, int rows, const char* parameters,
                                                          unsigned char* status);
typedef int(DISPLAYDLL_CALL* PFN_DISPLAYDLL_Write)(const char* text);
typedef int(DISPLAYDLL_CALL* PFN_DISPLAYDLL_SetPosition)(int x, int y);
typedef int(DISPLAYDLL_CALL* PFN_DISPLAYDLL_PowerResume)(void);
typedef int(DISPLAYDLL_CALL* PFN_DISPLAYDLL_Done)(void);

#ifdef __cplusplus
}
#endif

#endif
