// The programs that check_pty_relay.sh puts on a relay's line:
//
//   relay_probe hold LINE [exclusive] [lock] [say] [helper] [keeper]
//       opens LINE, sets its exclusive flag and takes its lock as asked,
//       writes "last words" to it if asked, prints "held" and keeps the line
//       until it is killed. With helper, the lock is taken by a child process
//       that then ends (the kernel's table of locks names it still). With
//       keeper, a child process keeps the line and the probe closes its own
//       descriptor: it holds the lock without having the line open, until
//       SIGUSR1 makes it end the keeper (the line's last descriptor and the
//       lock go) and print "dropped"; it lives on until it is killed;
//   relay_probe flag LINE
//       prints the line's exclusive flag, 1 or 0, or "busy" where LINE cannot
//       be opened because the flag is set (the user is not root);
//   relay_probe pass LINE PEER
//       ends with status 0 when bytes written to LINE arrive at PEER within a
//       second;
//   relay_probe expect PEER TEXT
//       ends with status 0 when TEXT arrives at PEER within a second;
//   relay_probe pty N
//       opens pseudo-terminals until one is number N (in the devpts instance
//       of /dev/ptmx), prints "held" and keeps them until it is killed.
//
// Status 2 for a wrong command line, 1 for anything else that fails.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

const char kLastWords[] = "last words";

int Open(const char* line) { return open(line, O_RDWR | O_NOCTTY | O_NONBLOCK); }

int Held() {
  printf("held\n");
  fflush(stdout);
  for (;;) pause();
}

// Takes the lock on FD in a child process that ends at once.
bool LockByHelper(int fd) {
  const pid_t helper = fork();
  if (helper == 0) _exit(flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
  int status = 0;
  return helper > 0 && waitpid(helper, &status, 0) == helper && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Hands FD to a child process that keeps it, closes the probe's own, and
// ends the child on SIGUSR1.
int HandToKeeper(int fd) {
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, nullptr);
  const pid_t keeper = fork();
  if (keeper < 0) {
    perror("relay_probe: fork");
    return 1;
  }
  if (keeper == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;) pause();
  }
  close(fd);
  printf("held\n");
  fflush(stdout);
  int received = 0;
  sigwait(&usr1, &received);
  kill(keeper, SIGKILL);
  waitpid(keeper, nullptr, 0);
  printf("dropped\n");
  fflush(stdout);
  for (;;) pause();
}

int Hold(int argc, char** argv) {
  bool exclusive = false, lock = false, say = false, helper = false, keeper = false;
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "exclusive") == 0) {
      exclusive = true;
    } else if (strcmp(argv[i], "lock") == 0) {
      lock = true;
    } else if (strcmp(argv[i], "say") == 0) {
      say = true;
    } else if (strcmp(argv[i], "helper") == 0) {
      helper = true;
    } else if (strcmp(argv[i], "keeper") == 0) {
      keeper = true;
    } else {
      return 2;
    }
  }
  const int fd = Open(argv[2]);
  if (fd < 0) {
    perror("relay_probe: open");
    return 1;
  }
  if (lock && !(helper ? LockByHelper(fd) : flock(fd, LOCK_EX | LOCK_NB) == 0)) {
    perror("relay_probe: flock");
    return 1;
  }
  if (exclusive && ioctl(fd, TIOCEXCL, nullptr) != 0) {
    perror("relay_probe: TIOCEXCL");
    return 1;
  }
  if (say && write(fd, kLastWords, strlen(kLastWords)) != static_cast<ssize_t>(strlen(kLastWords))) {
    perror("relay_probe: write");
    return 1;
  }
  return keeper ? HandToKeeper(fd) : Held();
}

int Flag(const char* line) {
  const int fd = Open(line);
  if (fd < 0 && errno == EBUSY) {
    printf("busy\n");
    return 0;
  }
  int exclusive = 0;
  if (fd < 0 || ioctl(fd, TIOCGEXCL, &exclusive) != 0) {
    perror("relay_probe: flag");
    return 1;
  }
  printf("%d\n", exclusive != 0 ? 1 : 0);
  close(fd);
  return 0;
}

// Whether TEXT arrives at the descriptor within a second.
bool Arrives(int to, const std::string& text, const char* peer) {
  std::string received;
  struct pollfd ready = {to, POLLIN, 0};
  while (received.size() < text.size() && poll(&ready, 1, 1000) == 1) {
    char buffer[64];
    const ssize_t n = read(to, buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  if (received == text) return true;
  fprintf(stderr, "relay_probe: %s received \"%s\", not \"%s\"\n", peer, received.c_str(), text.c_str());
  return false;
}

int Pass(const char* line, const char* peer) {
  const int from = Open(line);
  const int to = Open(peer);
  if (from < 0 || to < 0) {
    perror("relay_probe: pass");
    return 1;
  }
  const std::string sent = "through the line";
  if (write(from, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) return 1;
  return Arrives(to, sent, peer) ? 0 : 1;
}

int Expect(const char* peer, const char* text) {
  const int to = Open(peer);
  if (to < 0) {
    perror("relay_probe: expect");
    return 1;
  }
  return Arrives(to, text, peer) ? 0 : 1;
}

int Pty(const char* number) {
  const std::string wanted = std::string("/dev/pts/") + number;
  for (int made = 0; made < 4096; ++made) {
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      perror("relay_probe: openpty");
      return 1;
    }
    if (wanted == name) return Held();
  }
  fprintf(stderr, "relay_probe: no %s\n", wanted.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
  const std::string command = argc > 2 ? argv[1] : "";
  if (command == "hold") return Hold(argc, argv);
  if (command == "flag" && argc == 3) return Flag(argv[2]);
  if (command == "pass" && argc == 4) return Pass(argv[2], argv[3]);
  if (command == "expect" && argc == 4) return Expect(argv[2], argv[3]);
  if (command == "pty" && argc == 3) return Pty(argv[2]);
  fprintf(stderr,
          "usage: relay_probe hold LINE [exclusive] [lock] [say] [helper] [keeper] | flag LINE | pass LINE PEER | "
          "expect PEER TEXT"
          " | pty N\n");
  return 2;
}
