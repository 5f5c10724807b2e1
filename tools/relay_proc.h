// What pty_relay reads in /proc to find the program that holds a line, as
// pure functions of the text it read: a line of /proc/locks, the text of
// /proc/PID/stat, and the text of a descriptor's link (/proc/PID/fd/N). No
// file is opened or looked at here.
#ifndef QV_TOOLS_RELAY_PROC_H
#define QV_TOOLS_RELAY_PROC_H

#include <sys/types.h>

// The file a lock is on: its device (major and minor of st_dev) and inode.
struct LockedFile {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned long long inode = 0;
};

// The process that holds a flock on FILE, as the line of /proc/locks says
// ("1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF"); 0 for a line of any
// other lock, a lock on another file, one waited for ("1: -> FLOCK ..."), or
// a line it cannot read.
pid_t FlockHolderOf(const char* line, const LockedFile& file);

// A process's state and start time (the 22nd field, in clock ticks since
// boot) from the text of /proc/PID/stat ("PID (NAME) STATE ..."), whose NAME
// may hold blanks and parentheses; false where the text has no such fields.
bool ParseProcessStat(const char* text, char* state, unsigned long long* started);

// Whether a process in that state still runs (a zombie has closed its files).
bool StillRunning(char state);

// Whether a descriptor's link text names the terminal NUMBER of the devpts
// mount MOUNT ("/dev/pts" and "7": "/dev/pts/7"), and nothing else: not a
// file of that name on another file system, which the relay must not look
// at (a file system that never answers would stop it).
bool NamesTerminal(const char* link, const char* mount, const char* number);

#endif  // QV_TOOLS_RELAY_PROC_H
