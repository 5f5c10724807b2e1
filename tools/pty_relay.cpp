// A null-modem cable made of pseudo-terminals, for the end-to-end tests and
// the demo: for each pair NAME_A:NAME_B it opens two pseudo-terminals, links
// DIR/NAME_A and DIR/NAME_B to their device files and copies every byte
// written to one to the other. Creating DIR/hangup-NAME cuts that pair: its
// pseudo-terminals are closed, so a program still holding one of them sees
// its writes fail. Removing the file plugs the pair in again, on new
// pseudo-terminals behind the same links. While DIR/stall-NAME exists, the
// relay takes nothing more from NAME's side, as a display whose flow control
// holds: what a program writes to NAME waits in the line until it is full,
// and goes on once the file is removed. DIR/ready appears once every link is
// in place. Stopped by SIGINT, SIGTERM or SIGHUP, it removes its links and
// DIR/ready.
//
// A program that keeps a line to itself sets the terminal's exclusive flag,
// and the flag stays as long as the terminal is open, here for as long as the
// relay runs. As the serial hardware's driver frees the port of a program
// that died, the relay frees a line whose flag nobody holds any more. It
// looks for the holder by its lock or by its descriptors, remembers the one
// it finds, and while that one lives only it is looked at. It does not guess:
// where it finds none (the holder gone, or one it cannot see: another user's
// process where the relay is not root's, one that hides its descriptors and
// holds no lock, one in another PID namespace, one whose lock names a parent
// that has ended) it lets go of its own descriptor of the terminal, so that
// the far side of the pseudo-terminal tells it (a hang-up) when no process
// has the terminal open any more, and frees the line only then.
//
//   pty_relay DIR NAME_A:NAME_B [NAME_A:NAME_B]...
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "relay_proc.h"

namespace {

// A process seen holding an end's terminal, remembered so that the next
// passes only check that it still does.
struct Holder {
  pid_t pid = 0;  // 0: none
  // Its descriptor of the terminal; -1 for one found by its lock whose
  // descriptors cannot be read (another user's, or one that hides them).
  int fd = -1;
  unsigned long long started = 0;  // its start time, for one known by its lock alone
  long long lockSeenMs = 0;        // when /proc/locks last showed its lock
};

struct End {
  std::string name;
  std::string device;  // the pseudo-terminal's device file, /dev/pts/N
  std::string mount;   // the devpts mount it is in, /dev/pts
  std::string number;  // N, the device's name in its devpts instance
  dev_t devpts = 0;    // the devpts instance the device is in (st_dev)
  dev_t rdev = 0;      // the device itself (st_rdev)
  ino_t inode = 0;
  int master = -1;
  // Held open so the line stays up while programs come and go; closed (-1)
  // while the relay waits for the last program to close a terminal whose
  // flag's holder it does not find.
  int slave = -1;
  bool released = false;
  Holder holder;
};

struct Pair {
  End ends[2];
  bool cut = false;
};

// A holder known by its lock alone has /proc/locks read again this often,
// to see that it still holds the lock.
const long long kLockCheckMs = 100;

const char kHelp[] =
    "usage: pty_relay DIR NAME_A:NAME_B [NAME_A:NAME_B]...\n"
    "\n"
    "A null-modem cable made of pseudo-terminals. For each pair NAME_A:NAME_B it\n"
    "opens two pseudo-terminals, links DIR/NAME_A and DIR/NAME_B to their device\n"
    "files and copies every byte written to one to the other. DIR must exist;\n"
    "DIR/ready appears once every link is in place.\n"
    "\n"
    "While DIR/hangup-NAME exists, the pair with the end NAME is cut: its\n"
    "pseudo-terminals are closed, so a program still holding one sees its writes\n"
    "fail. Removing the file plugs the pair in again, on new pseudo-terminals\n"
    "behind the same links.\n"
    "While DIR/stall-NAME exists, the relay takes nothing more from NAME's side,\n"
    "as a display whose flow control holds: what a program writes to NAME waits\n"
    "in the line until it is full, and goes on once the file is removed.\n"
    "\n"
    "A program that keeps NAME to itself sets the terminal's exclusive flag. When\n"
    "that program is gone, however it ended, the relay clears the flag, as a\n"
    "serial port is freed when its program dies: the next program can open NAME.\n"
    "It does not guess. It looks for the holder by its lock or by its\n"
    "descriptors and remembers it. Where it finds none (the holder gone, or one\n"
    "it cannot see: another user's program where the relay is not root's, one\n"
    "that hides its descriptors and holds no lock, one in another PID namespace)\n"
    "the flag stays for as long as any program has NAME open: the relay closes\n"
    "its own descriptor of NAME's terminal and frees the line when the terminal\n"
    "tells it that no program has it open any more. Not being root's, it cannot\n"
    "open that terminal again while the flag is set, and puts a new one behind\n"
    "the link, once what the last program wrote has gone on (after the stall,\n"
    "if NAME's side is stalled). Bytes still waiting there for NAME are lost,\n"
    "as a serial port drops them when its last program closes it.\n"
    "\n"
    "It runs until SIGINT (Ctrl-C), SIGTERM or SIGHUP, or until the program that\n"
    "started it ends, and then removes its links and DIR/ready.\n"
    "\n"
    "Exit status: 0 when stopped, 1 when a pseudo-terminal or a link cannot be\n"
    "made, 2 for a wrong command line.\n";

volatile sig_atomic_t g_stop = 0;

void Stop(int) { g_stop = 1; }

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Makes a new pseudo-terminal for the end and puts its link in place at
// once (a program that opens the link meanwhile finds the old terminal or
// the new one, never none).
bool OpenEnd(const std::string& dir, End* end) {
  char device[256];
  if (openpty(&end->master, &end->slave, device, nullptr, nullptr) != 0) {
    perror("pty_relay: openpty");
    return false;
  }
  struct stat info;
  if (fstat(end->slave, &info) != 0) {
    perror("pty_relay: fstat");
    return false;
  }
  end->device = device;
  const char* number = strrchr(device, '/');
  end->mount.assign(device, number != nullptr ? static_cast<size_t>(number - device) : 0);
  end->number = number != nullptr ? number + 1 : device;
  end->devpts = info.st_dev;
  end->rdev = info.st_rdev;
  end->inode = info.st_ino;
  end->released = false;
  end->holder = Holder();
  struct termios tio;
  tcgetattr(end->slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(end->slave, TCSANOW, &tio);
  const std::string link = dir + "/" + end->name;
  const std::string fresh = dir + "/." + end->name + ".new";
  unlink(fresh.c_str());
  if (symlink(device, fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0) {
    perror("pty_relay: symlink");
    unlink(fresh.c_str());
    return false;
  }
  return true;
}

// Removes the links of every end made so far, and DIR/ready: nothing is left
// pointing at pseudo-terminals that are gone.
void RemoveLinks(const std::string& dir, const std::vector<Pair>& pairs) {
  for (const Pair& pair : pairs) {
    for (const End& end : pair.ends) {
      struct stat info;
      const std::string link = dir + "/" + end.name;
      if (!end.name.empty() && lstat(link.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) unlink(link.c_str());
    }
  }
  unlink((dir + "/ready").c_str());
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

void Cut(Pair* pair) {
  for (End& end : pair->ends) {
    if (end.master >= 0) close(end.master);
    if (end.slave >= 0) close(end.slave);
    end.master = end.slave = -1;
  }
  pair->cut = true;
}

std::string DescriptorPath(pid_t pid, int fd) { return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd); }

// Whether the descriptor LINK (/proc/PID/fd/N) leads to the end's terminal:
// the device itself (st_rdev) in the relay's devpts instance (st_dev), not a
// terminal of the same number in another instance (which has the same
// st_rdev). Only a descriptor whose link names the device in the devpts
// mount is looked at, so that no other file system is asked (one that never
// answers would stop the relay); reading the link asks none.
bool LeadsTo(const std::string& link, const End& end) {
  char target[256];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  if (!NamesTerminal(target, end.mount.c_str(), end.number.c_str())) return false;
  struct stat info;
  return stat(link.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == end.rdev &&
         info.st_dev == end.devpts;
}

// The descriptor by which process PID has the end's terminal open, -1 for
// none and where its descriptors cannot be read.
int DescriptorOf(pid_t pid, const End& end) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* open = opendir(fds.c_str());
  if (open == nullptr) return -1;  // gone, or not ours to read
  int found = -1;
  for (struct dirent* fd = readdir(open); fd != nullptr && found < 0; fd = readdir(open)) {
    if (fd->d_name[0] < '0' || fd->d_name[0] > '9') continue;
    if (LeadsTo(fds + "/" + fd->d_name, end)) found = atoi(fd->d_name);
  }
  closedir(open);
  return found;
}

// Whether process PID still runs (a zombie has closed its files), and when
// it started, from /proc/PID/stat, which every user may read.
bool Running(pid_t pid, unsigned long long* started) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  char text[1024];
  size_t n = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[n] = '\0';
  char state = 0;
  return ParseProcessStat(text, &state, started) && StillRunning(state);
}

// The process that holds a lock on the end's terminal (flock, which the
// relay itself never takes), 0 for none. A host of the driver that is alive
// holds one for as long as it has the line; the kernel's table of locks
// names it, also where that process's descriptors cannot be read.
pid_t LockHolder(const End& end) {
  FILE* locks = fopen("/proc/locks", "r");
  if (locks == nullptr) return 0;
  LockedFile terminal;
  terminal.major = major(end.devpts);
  terminal.minor = minor(end.devpts);
  terminal.inode = end.inode;
  pid_t holder = 0;
  char line[256];
  while (holder == 0 && fgets(line, sizeof line, locks) != nullptr) holder = FlockHolderOf(line, terminal);
  fclose(locks);
  return holder;
}

// Whether the remembered holder still has the end's terminal: its descriptor
// still leads there, or, for one known by its lock alone, it still runs and
// (looked at again every kLockCheckMs) still holds the lock.
bool StillHolds(End* end, long long now) {
  Holder& holder = end->holder;
  if (holder.fd >= 0) return LeadsTo(DescriptorPath(holder.pid, holder.fd), *end);
  unsigned long long started = 0;
  if (!Running(holder.pid, &started) || started != holder.started) return false;
  if (now - holder.lockSeenMs < kLockCheckMs) return true;
  holder.lockSeenMs = now;
  return LockHolder(*end) == holder.pid;
}

// Looks for a process other than the relay that has the end's terminal
// open, and remembers it: the one that holds its lock, or one whose
// descriptors show it.
bool FindHolder(End* end, long long now) {
  Holder found;
  found.pid = LockHolder(*end);
  if (found.pid > 0) {
    found.fd = DescriptorOf(found.pid, *end);
    found.lockSeenMs = now;
    if (found.fd >= 0 || Running(found.pid, &found.started)) {
      end->holder = found;
      return true;
    }
  }
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return false;
  const pid_t self = getpid();
  for (struct dirent* process = readdir(processes); process != nullptr; process = readdir(processes)) {
    if (process->d_name[0] < '0' || process->d_name[0] > '9') continue;
    const pid_t pid = atoi(process->d_name);
    if (pid == self) continue;
    const int fd = DescriptorOf(pid, *end);
    if (fd >= 0) {
      end->holder = Holder();
      end->holder.pid = pid;
      end->holder.fd = fd;
      break;
    }
  }
  closedir(processes);
  return end->holder.pid > 0;
}

// Frees the line of an end whose flag's holder has gone. Where it finds no
// holder, the relay does not guess that there is none (one it cannot see may
// live on): it closes its own descriptor of the terminal and waits for the
// last program to close it (FreeWhenClosed).
void FreeIfHolderGone(End* end) {
  int exclusive = 0;
  if (ioctl(end->slave, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
    end->holder = Holder();
    return;
  }
  const long long now = NowMs();
  if (end->holder.pid > 0 && StillHolds(end, now)) return;
  end->holder = Holder();
  if (FindHolder(end, now)) return;
  close(end->slave);
  end->slave = -1;
  end->released = true;
}

// Whether no program has the end's terminal open: with the relay's own
// descriptor closed, its master side then reads as hung up.
bool NobodyHasIt(const End& end) {
  struct pollfd side = {end.master, POLLIN, 0};
  return poll(&side, 1, 0) == 1 && (side.revents & POLLHUP) != 0;
}

bool WriteAll(int fd, const char* bytes, ssize_t count) {
  while (count > 0) {
    ssize_t n = write(fd, bytes, static_cast<size_t>(count));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= n;
  }
  return true;
}

// For an end the relay let go of: once no program has its terminal open,
// the relay opens it again and clears its flag, or, where it may not open a
// terminal whose flag is set (not being root's), forwards what the last
// program wrote (after the stall, if NAME's side is stalled) and puts a new
// pseudo-terminal behind the link. False when no new one can be made.
bool FreeWhenClosed(const std::string& dir, Pair* pair, int e, bool stalled) {
  End& end = pair->ends[e];
  if (!NobodyHasIt(end)) return true;
  const int fd = open(end.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0 && info.st_rdev == end.rdev && info.st_dev == end.devpts) {
    ioctl(fd, TIOCNXCL, nullptr);
    end.slave = fd;
    end.released = false;
    end.holder = Holder();
    return true;
  }
  if (fd >= 0) close(fd);
  if (!NobodyHasIt(end)) return true;  // opened meanwhile, by a program that may
  // As a serial port's last closing waits until its output has gone, what
  // the last program wrote goes on first, once the line takes it again.
  if (stalled) return true;
  char buffer[4096];
  for (;;) {
    struct pollfd side = {end.master, POLLIN, 0};
    if (poll(&side, 1, 0) != 1 || (side.revents & POLLIN) == 0) break;
    const ssize_t count = read(end.master, buffer, sizeof buffer);
    if (count <= 0) break;
    WriteAll(pair->ends[1 - e].master, buffer, count);
  }
  // The old terminal goes once the link leads to the new one: its number is
  // not free for another program's terminal while the link still names it.
  const int old = end.master;
  const bool opened = OpenEnd(dir, &end);
  close(old);
  return opened;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kHelp, stdout);
    return 0;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: pty_relay DIR NAME_A:NAME_B [NAME_A:NAME_B]... (see --help)\n");
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGTERM);  // go when the test that started us goes
  signal(SIGTERM, Stop);
  signal(SIGINT, Stop);
  signal(SIGHUP, Stop);
  const std::string dir = argv[1];
  std::vector<Pair> pairs(static_cast<size_t>(argc - 2));
  for (int i = 2; i < argc; ++i) {
    const char* colon = strchr(argv[i], ':');
    if (colon == nullptr) {
      fprintf(stderr, "pty_relay: %s is not NAME_A:NAME_B\n", argv[i]);
      RemoveLinks(dir, pairs);
      return 2;
    }
    Pair& pair = pairs[static_cast<size_t>(i - 2)];
    pair.ends[0].name.assign(argv[i], static_cast<size_t>(colon - argv[i]));
    pair.ends[1].name = colon + 1;
    for (End& end : pair.ends) {
      if (!OpenEnd(dir, &end)) {
        RemoveLinks(dir, pairs);
        return 1;
      }
    }
  }
  FILE* ready = fopen((dir + "/ready").c_str(), "w");
  if (ready != nullptr) fclose(ready);

  std::vector<struct pollfd> polled;
  std::vector<std::pair<size_t, int>> owners;
  char buffer[4096];
  while (!g_stop) {
    polled.clear();
    owners.clear();
    for (size_t p = 0; p < pairs.size(); ++p) {
      Pair& pair = pairs[p];
      // Not NAME.hangup: Windows reads "com7.hangup" as the device COM7.
      bool hungUp = Exists(dir + "/hangup-" + pair.ends[0].name) || Exists(dir + "/hangup-" + pair.ends[1].name);
      if (pair.cut && !hungUp) {
        bool opened = true;
        for (End& end : pair.ends) opened = opened && OpenEnd(dir, &end);
        if (!opened) {
          RemoveLinks(dir, pairs);
          return 1;
        }
        pair.cut = false;
      }
      if (pair.cut) continue;
      if (hungUp) {
        Cut(&pair);
        continue;
      }
      for (int e = 0; e < 2; ++e) {
        End& end = pair.ends[e];
        const bool stalled = Exists(dir + "/stall-" + end.name);
        if (!end.released) {
          FreeIfHolderGone(&end);
        } else if (!FreeWhenClosed(dir, &pair, e, stalled)) {
          RemoveLinks(dir, pairs);
          return 1;
        }
        if (stalled) continue;
        polled.push_back({pair.ends[e].master, POLLIN, 0});
        owners.emplace_back(p, e);
      }
    }
    int n = poll(polled.data(), polled.size(), 20);
    if (n <= 0) continue;
    for (size_t i = 0; i < polled.size(); ++i) {
      if ((polled[i].revents & POLLIN) == 0) continue;
      Pair& pair = pairs[owners[i].first];
      int from = owners[i].second;
      ssize_t count = read(pair.ends[from].master, buffer, sizeof buffer);
      if (count > 0) WriteAll(pair.ends[1 - from].master, buffer, count);
    }
  }
  for (Pair& pair : pairs) {
    if (!pair.cut) Cut(&pair);
  }
  RemoveLinks(dir, pairs);
  return 0;
}
