// What pty_relay reads in /proc, from the text it read (relay_proc.h).
#include "relay_proc.h"

#include <stdio.h>
#include <string.h>

pid_t FlockHolderOf(const char* line, const LockedFile& file) {
  // "ID: TYPE MODE ACCESS PID MAJOR:MINOR:INODE START END", MAJOR and MINOR
  // in hex; a waiter's line has "->" where the type is.
  char id[32], type[16], mode[16], access[16];
  int pid = 0;
  unsigned major = 0, minor = 0;
  unsigned long long inode = 0;
  if (sscanf(line, "%31s %15s %15s %15s %d %x:%x:%llu", id, type, mode, access, &pid, &major, &minor, &inode) != 8) {
    return 0;
  }
  if (strcmp(type, "FLOCK") != 0 || pid <= 0) return 0;
  if (major != file.major || minor != file.minor || inode != file.inode) return 0;
  return pid;
}

bool ParseProcessStat(const char* text, char* state, unsigned long long* started) {
  // The name ends at the last ')': it may hold blanks and ')' of its own.
  const char* name = strchr(text, '(');
  const char* fields = strrchr(text, ')');
  if (name == nullptr || fields == nullptr || fields < name) return false;
  return sscanf(fields + 1, " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu", state,
                started) == 2;
}

bool StillRunning(char state) { return state != 'Z' && state != 'X' && state != 'x'; }

bool NamesTerminal(const char* link, const char* mount, const char* number) {
  const size_t length = strlen(mount);
  return length > 0 && *number != '\0' && strncmp(link, mount, length) == 0 && link[length] == '/' &&
         strcmp(link + length + 1, number) == 0;
}
