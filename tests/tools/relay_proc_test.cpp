// The relay's reading of /proc on made-up text: lines of /proc/locks, the
// text of /proc/PID/stat and descriptors' link texts.
#include "relay_proc.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A made-up text as a test's name: its line end written out.
std::ostream& Quoted(std::ostream& out, const std::string& text) {
  out << '"';
  for (char c : text) {
    if (c == '\n') {
      out << "\\n";
    } else {
      out << c;
    }
  }
  return out << '"';
}

// The relay's terminal as /proc/locks names it: device 00:1a (hex), inode 3.
LockedFile Terminal() {
  LockedFile file;
  file.major = 0x00;
  file.minor = 0x1a;
  file.inode = 3;
  return file;
}

struct LockCase {
  const char* line;
  pid_t holder;  // 0: not a holder of the terminal's lock
};

std::ostream& operator<<(std::ostream& out, const LockCase& c) { return Quoted(out, c.line); }

class LockLine : public ::testing::TestWithParam<LockCase> {};

TEST_P(LockLine, NamesTheTerminalsHolderOnly) {
  EXPECT_EQ(GetParam().holder, FlockHolderOf(GetParam().line, Terminal()));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LockLine,
    ::testing::Values(LockCase{"1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF\n", 1234},
                      LockCase{"17: FLOCK  ADVISORY  READ 99 00:1a:3 0 EOF", 99},
                      // one waiting for the lock holds nothing
                      LockCase{"1: -> FLOCK  ADVISORY  WRITE 1235 00:1a:3 0 EOF\n", 0},
                      // the same inode on another device, another minor, another major
                      LockCase{"2: FLOCK  ADVISORY  WRITE 1234 00:1b:3 0 EOF\n", 0},
                      LockCase{"2: FLOCK  ADVISORY  WRITE 1234 00:a1:3 0 EOF\n", 0},
                      LockCase{"2: FLOCK  ADVISORY  WRITE 1234 01:1a:3 0 EOF\n", 0},
                      // another terminal of the same devpts instance, also one whose number starts the same
                      LockCase{"3: FLOCK  ADVISORY  WRITE 1234 00:1a:4 0 EOF\n", 0},
                      LockCase{"3: FLOCK  ADVISORY  WRITE 1234 00:1a:31 0 EOF\n", 0},
                      // other kinds of lock on the terminal
                      LockCase{"4: POSIX  ADVISORY  WRITE 1234 00:1a:3 0 EOF\n", 0},
                      LockCase{"4: OFDLCK ADVISORY  WRITE -1 00:1a:3 0 EOF\n", 0},
                      LockCase{"5: LEASE  ACTIVE    READ 1234 00:1a:3 0 EOF\n", 0},
                      // no process (a lock of another PID namespace reads as 0 or -1)
                      LockCase{"6: FLOCK  ADVISORY  WRITE 0 00:1a:3 0 EOF\n", 0},
                      LockCase{"6: FLOCK  ADVISORY  WRITE -1 00:1a:3 0 EOF\n", 0},
                      // lines it cannot read
                      LockCase{"7: FLOCK  ADVISORY  WRITE 1234\n", 0}, LockCase{"", 0},
                      LockCase{"7: FLOCK  ADVISORY  WRITE 1234 00-1a-3 0 EOF\n", 0}));

TEST(LockLine, ReadsTheDeviceInHexAndLargeInodes) {
  LockedFile file;
  file.major = 0xfd;
  file.minor = 0x01;
  file.inode = 4294967301ULL;
  EXPECT_EQ(42, FlockHolderOf("1: FLOCK  ADVISORY  WRITE 42 fd:01:4294967301 0 EOF\n", file));
  EXPECT_EQ(0, FlockHolderOf("1: FLOCK  ADVISORY  WRITE 42 253:1:4294967301 0 EOF\n", file));
}

// A line of /proc/PID/stat: the process's NAME in parentheses, its STATE and
// its start time as field 22, with the fields between and after as the
// kernel writes them.
std::string StatLine(const std::string& name, char state, const char* started) {
  std::string line = "4711 (" + name + ") " + state;
  for (int field = 4; field <= 21; ++field) line += " " + std::to_string(field * 11);
  return line + " " + started + " 8949760 385 18446744073709551615 1 1 0 0 0 0 0 4096 0 0 0 17 1 0 0 0 0 0\n";
}

struct StatCase {
  std::string text;
  bool parses;
  char state;
  unsigned long long started;
};

std::ostream& operator<<(std::ostream& out, const StatCase& c) { return Quoted(out, c.text); }

class ProcessStat : public ::testing::TestWithParam<StatCase> {};

TEST_P(ProcessStat, GivesStateAndStartTime) {
  const StatCase& c = GetParam();
  char state = '?';
  unsigned long long started = 7;
  ASSERT_EQ(c.parses, ParseProcessStat(c.text.c_str(), &state, &started));
  if (!c.parses) return;
  EXPECT_EQ(c.state, state);
  EXPECT_EQ(c.started, started);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ProcessStat,
    ::testing::Values(StatCase{StatLine("display_host", 'S', "123456"), true, 'S', 123456},
                      StatCase{StatLine("wine64-preload", 'R', "18446744073709551615"), true, 'R',
                               18446744073709551615ULL},
                      // blanks and parentheses in the name, which is the program's to choose
                      StatCase{StatLine("my host", 'S', "900"), true, 'S', 900},
                      StatCase{StatLine("a) R 1 2 3 (b", 'Z', "901"), true, 'Z', 901},
                      StatCase{StatLine(") S 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5", 'D', "902"), true, 'D', 902},
                      StatCase{StatLine("", 'T', "903"), true, 'T', 903},
                      // texts without the fields
                      StatCase{"4711 (display_host) S 1 2 3\n", false, 0, 0},
                      StatCase{"4711 display_host S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20\n", false, 0, 0},
                      StatCase{"", false, 0, 0}));

TEST(ProcessStat, ZombiesAndTheDeadNoLongerRun) {
  for (char state : {'R', 'S', 'D', 'T', 't', 'I', 'W', 'P'}) EXPECT_TRUE(StillRunning(state)) << state;
  for (char state : {'Z', 'X', 'x'}) EXPECT_FALSE(StillRunning(state)) << state;
}

struct LinkCase {
  const char* link;
  bool names;
};

std::ostream& operator<<(std::ostream& out, const LinkCase& c) { return Quoted(out, c.link); }

class LinkText : public ::testing::TestWithParam<LinkCase> {};

// The relay's terminal is /dev/pts/7.
TEST_P(LinkText, NamesOnlyTheTerminalInTheDevptsMount) {
  EXPECT_EQ(GetParam().names, NamesTerminal(GetParam().link, "/dev/pts", "7"));
}

INSTANTIATE_TEST_SUITE_P(Links, LinkText,
                         ::testing::Values(LinkCase{"/dev/pts/7", true},
                                           // other terminals
                                           LinkCase{"/dev/pts/17", false}, LinkCase{"/dev/pts/70", false},
                                           LinkCase{"/dev/pts/ptmx", false}, LinkCase{"/dev/ptmx", false},
                                           LinkCase{"/dev/tty7", false},
                                           // files named like the terminal elsewhere: not asked about at all
                                           LinkCase{"/home/user/fuse/7", false}, LinkCase{"/run/pts/7", false},
                                           LinkCase{"/dev/ptsx/7", false}, LinkCase{"/dev/pts/sub/7", false},
                                           LinkCase{"/dev/pts//7", false}, LinkCase{"7", false}, LinkCase{"/7", false},
                                           // what the kernel writes for a deleted file, a pipe, a socket
                                           LinkCase{"/dev/pts/7 (deleted)", false}, LinkCase{"pipe:[7]", false},
                                           LinkCase{"socket:[7]", false}, LinkCase{"", false}));

TEST(LinkText, NoMountOrNumberNamesNothing) {
  EXPECT_FALSE(NamesTerminal("/7", "", "7"));
  EXPECT_FALSE(NamesTerminal("/dev/pts/", "/dev/pts", ""));
  EXPECT_TRUE(NamesTerminal("/run/devpts/12", "/run/devpts", "12"));
}

}  // namespace
