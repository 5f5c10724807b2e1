#include "diagnostics/debug_log.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "driver/driver_state.h"
#include "platform/win32.h"

DebugLogState g_log = {0, 0, NULL, "", "", 0, 0, ""};

namespace {

const char kRule[] = "===================================";

// The time stamp of the second last asked for (kept in g_log): the calendar
// conversion runs once a second, not for every line.
const char* Stamp(void) {
  char* const stamp = g_log.stamp;
  time_t now = time(NULL);
  if (g_log.stampValid && now == g_log.stampSecond) return stamp;
#ifdef _WIN32
  const struct tm* local = localtime(&now);
#else
  // The reentrant form reads the time-zone rules once, not on every call.
  struct tm converted;
  const struct tm* local = localtime_r(&now, &converted);
#endif
  if (local == NULL || strftime(stamp, sizeof g_log.stamp, "%H:%M:%S %d/%m/%y", local) == 0) {
    stamp[0] = '\0';
    g_log.stampValid = 0;
    return stamp;
  }
  g_log.stampSecond = now;
  g_log.stampValid = 1;
  return stamp;
}

}  // namespace

void SetDebugFlag(int value) { g_log.debugFlag = value; }

void LogOpen(void) {
  if (CountCall(&g_log.openCount) != 0) return;
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
