// The debug log (logs/<module base name>.log) and the error texts built from
// the platform's own descriptions of its last error.
#ifndef QV_DIAGNOSTICS_DEBUG_LOG_H
#define QV_DIAGNOSTICS_DEBUG_LOG_H

#include <stdio.h>
#include <time.h>

struct DebugLogState {
  int debugFlag;  // nonzero: log lines are written
  int openCount;  // the file is opened by the first LogOpen only
  FILE* stream;   // null while no log file is open
  char errorText[1120];
  char systemText[1024];
  time_t stampSecond;  // the second the time stamp below was made for
  int stampValid;
  char stamp[20];  // "HH:MM:SS dd/mm/yy"
};

extern DebugLogState g_log;

// Switches line writing on (the host asked for a log); nothing clears it.
void SetDebugFlag(int value);

// Creates the logs folder and opens the log file, emptying an earlier one, on
// the first call; later calls do nothing. With the debug flag set, writes the
// banner.
void LogOpen(void);

// Opens the log as LogLine does and tells whether LogLine would write a line
// now, so that a caller can leave out formatting a text nobody will read.
int LogWanted(void);

// Writes "<time stamp> <tag> <text>" when the debug flag is set and the log
// file is open, and flushes it at once. Both texts are written as they stand.
void LogLine(const char* tag, const char* text);

// Composes "<message> : <platform's description of its last error>", logs it
// under "Error" and returns it. The buffer is shared: each call overwrites the
// text the previous one returned.
const char* FormatLastError(const char* message);

#endif
