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
// that died, the relay clears a flag whose holder is gone: no process but the
// relay has the terminal open any more.
//
//   pty_relay DIR NAME_A:NAME_B [NAME_A:NAME_B]...
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct End {
  std::string name;
  std::string device;  // the pseudo-terminal's device file
  int master = -1;
  int slave = -1;  // held open so the line stays up while programs come and go
  // The last process found holding the terminal, checked first next time.
  std::string holder;  // /proc/PID/fd/N
};

struct Pair {
  End ends[2];
  bool cut = false;
};

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
    "\n"
    "It runs until SIGINT (Ctrl-C), SIGTERM or SIGHUP, or until the program that\n"
    "started it ends, and then removes its links and DIR/ready.\n"
    "\n"
    "Exit status: 0 when stopped, 1 when a pseudo-terminal or a link cannot be\n"
    "made, 2 for a wrong command line.\n";

volatile sig_atomic_t g_stop = 0;

void Stop(int) { g_stop = 1; }

bool OpenEnd(const std::string& dir, End* end) {
  char device[256];
  if (openpty(&end->master, &end->slave, device, nullptr, nullptr) != 0) {
    perror("pty_relay: openpty");
    return false;
  }
  end->device = device;
  end->holder.clear();
  struct termios tio;
  tcgetattr(end->slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(end->slave, TCSANOW, &tio);
  std::string link = dir + "/" + end->name;
  unlink(link.c_str());
  if (symlink(device, link.c_str()) != 0) {
    perror("pty_relay: symlink");
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
    close(end.master);
    close(end.slave);
    end.master = end.slave = -1;
  }
  pair->cut = true;
}

bool LinksTo(const std::string& link, const std::string& device) {
  char target[256];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  return device == target;
}

// Whether a process holds a lock on the end's terminal (flock, which the
// relay itself never takes). A host of the driver that is alive holds one for
// as long as it has the line; the kernel's table of locks names it, also
// where that process's descriptors cannot be read.
bool Locked(const End& end) {
  struct stat device;
  if (fstat(end.slave, &device) != 0) return false;
  FILE* locks = fopen("/proc/locks", "r");
  if (locks == nullptr) return false;
  bool locked = false;
  char line[256];
  while (!locked && fgets(line, sizeof line, locks) != nullptr) {
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF"; "->" marks a waiter.
    if (strstr(line, "->") != nullptr || strstr(line, " FLOCK ") == nullptr) continue;
    if (sscanf(line, "%*s %*s %*s %*s %*d %x:%x:%lu", &major, &minor, &inode) != 3) continue;
    locked = major == major(device.st_dev) && minor == minor(device.st_dev) && inode == device.st_ino;
  }
  fclose(locks);
  return locked;
}

// Whether a process other than the relay has the end's terminal open: one
// that holds its lock, or one whose descriptors show it. A process whose
// descriptors cannot be read (another user's, where the relay is not root's,
// or one that hides them) and that holds no lock is taken not to.
bool HeldByAnotherProcess(End* end) {
  if (!end->holder.empty() && LinksTo(end->holder, end->device)) return true;
  end->holder.clear();
  if (Locked(*end)) return true;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return true;  // cannot tell: leave the flag
  const std::string self = std::to_string(getpid());
  bool held = false;
  for (struct dirent* process = readdir(processes); process != nullptr && !held; process = readdir(processes)) {
    const char* pid = process->d_name;
    if (pid[0] < '0' || pid[0] > '9' || self == pid) continue;
    const std::string fds = std::string("/proc/") + pid + "/fd";
    DIR* open = opendir(fds.c_str());
    if (open == nullptr) continue;  // gone, or not ours to read
    for (struct dirent* fd = readdir(open); fd != nullptr; fd = readdir(open)) {
      if (fd->d_name[0] == '.') continue;
      const std::string link = fds + "/" + fd->d_name;
      if (LinksTo(link, end->device)) {
        end->holder = link;
        held = true;
        break;
      }
    }
    closedir(open);
  }
  closedir(processes);
  return held;
}

// Clears the exclusive flag of an end whose holder has died.
void FreeIfHolderGone(End* end) {
  int exclusive = 0;
  if (ioctl(end->slave, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) {
    end->holder.clear();
    return;
  }
  if (!HeldByAnotherProcess(end)) ioctl(end->slave, TIOCNXCL, nullptr);
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
        FreeIfHolderGone(&pair.ends[e]);
        if (Exists(dir + "/stall-" + pair.ends[e].name)) continue;
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
