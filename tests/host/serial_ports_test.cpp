// The ports command's lister on a made-up Linux machine: a tree with /dev,
// /dev/serial/by-id and the sysfs files the lister reads, as the kernel
// lays them out. The lister says whether this user may open each device;
// run as root, it is asked by an ordinary user (nobody), as root may open
// every device.
#include "host/serial_ports.h"

#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_env.h"

namespace {

enum Kind { kFile, kFolder, kLink };

struct TreeEntry {
  Kind kind;
  const char* path;
  const char* content;  // a file's text, a link's target
  mode_t mode;          // a file's
};

const TreeEntry kMachine[] = {
    {kFile, "dev/ttyS0", "", 0666},
    {kFile, "dev/ttyS1", "", 0666},
    {kFile, "dev/ttyS2", "", 0666},  // no UART behind it
    {kFile, "dev/ttyS10", "", 0666},
    {kFolder, "dev/ttyS3", "", 0},  // not a device
    {kFile, "dev/tty1", "", 0666},
    {kFile, "dev/ttyUSBx", "", 0666},
    {kFile, "dev/ttyUSB1", "", 0060},  // the group's alone
    {kFile, "dev/ttyUSB0", "", 0666},
    {kFile, "dev/ttyACM0", "", 0},
    {kLink, "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K-if00-port0", "../../ttyUSB0", 0},
    {kLink, "dev/serial/by-id/usb-Arduino_Uno_7523-if00", "../../ttyACM0", 0},
    {kLink, "dev/serial/by-id/usb-FTDI_Second_Name-if00-port0", "../../ttyUSB0", 0},
    {kLink, "dev/serial/by-id/usb-Gone-if00-port0", "../../ttyUSB7", 0},
    // A UART before Linux 6.5: its platform driver right behind the tty.
    {kFile, "sys/class/tty/ttyS0/type", "4\n", 0644},
    {kLink, "sys/class/tty/ttyS0/device/driver", "../../../../bus/platform/drivers/serial8250", 0},
    // Since 6.5: the serial core's port and controller devices between.
    {kLink, "sys/devices/pnp0/00:01/driver", "../../../bus/pnp/drivers/serial", 0},
    {kLink, "sys/devices/pnp0/00:01/00:01:0/driver", "../../../../bus/serial-base/drivers/ctrl", 0},
    {kLink, "sys/devices/pnp0/00:01/00:01:0/00:01:0.0/driver", "../../../../../bus/serial-base/drivers/port", 0},
    {kLink, "sys/class/tty/ttyS1/device", "../../../devices/pnp0/00:01/00:01:0/00:01:0.0", 0},
    {kFile, "sys/class/tty/ttyS1/type", "99\n", 0644},
    {kFile, "sys/class/tty/ttyS2/type", "0\n", 0644},
    {kLink, "sys/class/tty/ttyUSB0/device/driver", "../../../../bus/usb-serial/drivers/ftdi_sio", 0},
    {kLink, "sys/class/tty/ttyACM0/device/driver", "../../../../bus/usb/drivers/cdc_acm", 0},
    {kFolder, "bare/dev", "", 0},  // a machine without serial ports
};

bool MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// The tree under `root`; "" or what could not be made.
std::string MakeTree(const std::string& root) {
  for (const TreeEntry& entry : kMachine) {
    const std::string path = root + "/" + entry.path;
    bool made = MakeParents(path);
    if (entry.kind == kFolder) made = made && mkdir(path.c_str(), 0755) == 0;
    if (entry.kind == kLink) made = made && symlink(entry.content, path.c_str()) == 0;
    if (entry.kind == kFile) {
      made = made && qvtest::WriteWholeFile(path, entry.content) && chmod(path.c_str(), entry.mode) == 0;
    }
    if (!made) return path + ": " + strerror(errno);
  }
  return "";
}

// The list as the command prints it, or the lister's error; made by an
// ordinary user when this one is root.
std::string Listed(const std::string& root) {
  auto list = [&root]() {
    SerialPortList ports;
    std::string error;
    return ListSerialPorts(root, &ports, &error) ? FormatSerialPorts(ports) : "error: " + error;
  };
  if (geteuid() != 0) return list();
  const struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return "no user nobody to ask";
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    std::string text = "cannot become nobody";
    if (setgroups(0, nullptr) == 0 && setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0) text = list();
    const bool written = write(pipeEnds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    _exit(written ? 0 : 1);
  }
  close(pipeEnds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return text;
}

// A folder an ordinary user can reach when this one is root.
std::string MakeReachableTempDir() {
  if (geteuid() != 0) return qvtest::MakeTempDir();
  char pattern[] = "/tmp/qv-ports-XXXXXX";
  if (mkdtemp(pattern) == nullptr || chmod(pattern, 0755) != 0) return "";
  return pattern;
}

TEST(SerialPorts, LinuxDevicesWithTheirDriversStableNamesAndAccess) {
  const std::string root = MakeReachableTempDir();
  ASSERT_FALSE(root.empty());
  const std::string made = MakeTree(root);
  struct stat usb1;
  const bool statted = stat((root + "/dev/ttyUSB1").c_str(), &usb1) == 0;
  const std::string listed = Listed(root + "/");
  const std::string bare = Listed(root + "/bare");
  SerialPortList none;
  std::string error;
  const bool missing = ListSerialPorts(root + "/no-such-machine", &none, &error);
  qvtest::RemoveTree(root);
  ASSERT_EQ("", made);
  ASSERT_TRUE(statted);
  const struct group* group = getgrgid(usb1.st_gid);
  ASSERT_NE(nullptr, group);
  const std::string name = group->gr_name;
  EXPECT_EQ(
      "/dev/ttyS0 (COM1): driver serial8250, 16550A UART; this user may open it\n"
      "/dev/ttyS1 (COM2): driver serial, type 99 UART; this user may open it\n"
      "/dev/ttyS10 (COM11): this user may open it\n"
      "/dev/ttyUSB0: driver ftdi_sio; this user may open it\n"
      "  also /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K-if00-port0\n"
      "  also /dev/serial/by-id/usb-FTDI_Second_Name-if00-port0\n"
      "/dev/ttyUSB1: this user may not open it (Permission denied; members of the group " +
          name + " may: sudo usermod -aG " + name +
          " \"$USER\", then log in again)\n"
          "/dev/ttyACM0: driver cdc_acm; this user may not open it (Permission denied)\n"
          "  also /dev/serial/by-id/usb-Arduino_Uno_7523-if00\n"
          "(1 more serial device has no hardware behind it)\n",
      listed);
  EXPECT_EQ("no serial ports found\n", bare);
  EXPECT_FALSE(missing);
  EXPECT_EQ("cannot read " + root + "/no-such-machine/dev: No such file or directory", error);
  SerialPortList absent;
  absent.withoutHardware = 31;
  EXPECT_EQ("no serial ports found\n(31 more serial devices have no hardware behind them)\n",
            FormatSerialPorts(absent));
}

}  // namespace
