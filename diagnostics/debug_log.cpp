#include "diagnostics/debug_log.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "driver/driver_state.h"
#include "platform/win32.h"

DebugLogState g_log = {0, 0, NULL, "", ""};

namespace {

const char kRule[] = "===================================";

// The time stamp of the second last asked for: the calendar conversion runs
// once a second, not for every line.
time_t g_stampSecond = 0;
int g_stampValid = 0;
char g_stamp[20];

const char* Stamp(void) {
  time_t now = time(NULL);
  if (g_stampValid && now == g_stampSecond) return g_stamp;
#ifdef _WIN32
  const struct tm* local = localtime(&now);
#else
  // The reentrant form reads the time-zone rules once, not on every call.
  struct tm converted;
  const struct tm* local = localtime_r(&now, &converted);
#endif
  if (local == NULL || strftime(g_stamp, sizeof g_stamp, "%H:%M:%S %d/%m/%y", local) == 0) {
    g_stamp[0] = '\0';
    g_stampValid = 0;
    return g_stamp;
  }
  g_stampSecond = now;
  g_stampValid = 1;
  return g_stamp;
}

}  // namespace

void SetDebugFlag(int value) { g_log.debugFlag = value; }

void LogOpen(void) {
  if (g_log.openCount++ != 0) return;
  CreateDirectoryA("logs", NULL);  // an existing folder is normal
  // The name gives way, not the ".log" ending, when the path is too long.
  char path[256];
  const int nameRoom = static_cast<int>(sizeof path) - 10;  // "logs", separator, ".log", NUL
  snprintf(path, sizeof path, "logs" QV_PATH_SEPARATOR_TEXT "%.*s.log", nameRoom, ModuleBaseName());
  g_log.stream = fopen(path, "w");
  if (g_log.stream == NULL) {
    fputs("Failed to open ini file", stdout);
    fflush(stdout);
    return;
  }
  LogLine(kRule, kRule);
  LogLine("Log File opened for ", ModuleBaseName());
  LogLine(kRule, kRule);
}

int LogWanted(void) {
  LogOpen();
  return g_log.debugFlag != 0 && g_log.stream != NULL;
}

void LogLine(const char* tag, const char* text) {
  if (!LogWanted()) return;
  fprintf(g_log.stream, "%s %s %s\n", Stamp(), tag != NULL ? tag : "", text != NULL ? text : "");
  fflush(g_log.stream);
}

const char* FormatLastError(const char* message) {
  DWORD code = GetLastError();
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0x0400,
                                g_log.systemText, sizeof g_log.systemText, NULL);
  if (length == 0) {
    // No description for this code: say the code, never an earlier text.
    snprintf(g_log.systemText, sizeof g_log.systemText, "error %lu", static_cast<unsigned long>(code));
  }
  snprintf(g_log.errorText, sizeof g_log.errorText, "%s : %s", message != NULL ? message : "", g_log.systemText);
  LogLine("Error", g_log.errorText);
  return g_log.errorText;
}
