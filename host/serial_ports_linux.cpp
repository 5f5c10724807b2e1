// The serial ports of a Linux machine: the devices ttyS*, ttyUSB* and ttyACM*
// in /dev, what sysfs says of each (its driver, a ttyS device's UART), the
// names in /dev/serial/by-id that lead to it, and whether this user may open
// it. Nothing is opened: opening a port changes its modem lines.
#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "host/serial_ports.h"

namespace {

// The kinds listed, in the order they are listed.
const char* const kKinds[] = {"ttyS", "ttyUSB", "ttyACM"};

// The UART types the 8250 driver reports in sysfs (its "type" file); 0 says
// that no UART answered at the port's address.
const char* const kUartTypes[] = {"", "8250", "16450", "16550", "16550A", "Cirrus", "16650", "16650V2", "16750"};

struct Device {
  size_t kind;
  long number;
  std::string name;  // ttyUSB0
};

// The kind and number of a device name such as ttyUSB0; false for any other name.
bool ReadName(const std::string& name, Device* device) {
  for (size_t kind = 0; kind < sizeof kKinds / sizeof kKinds[0]; ++kind) {
    const size_t length = strlen(kKinds[kind]);
    if (name.compare(0, length, kKinds[kind]) != 0 || name.size() == length || name.size() > length + 6) continue;
    if (name.find_first_not_of("0123456789", length) != std::string::npos) continue;
    device->kind = kind;
    device->number = strtol(name.c_str() + length, nullptr, 10);
    device->name = name;
    return true;
  }
  return false;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  for (struct dirent* entry; (entry = readdir(dir)) != nullptr;) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// The first line of a small file, or "" when it cannot be read.
std::string FirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// A link's target, or "" for no link.
std::string LinkTarget(const std::string& path) {
  char target[4096];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length <= 0 ? std::string() : std::string(target, static_cast<size_t>(length));
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The driver of the device sysfs shows at `device` ("ftdi_sio"). Since
// Linux 6.5 a UART's tty device hangs below two devices of the serial core
// (its drivers "port" and "ctrl", on the bus serial-base); the UART's own
// driver is the one above them.
std::string Driver(const std::string& device) {
  std::string at = device;
  for (int level = 0; level < 3; ++level, at += "/..") {
    const std::string target = LinkTarget(at + "/driver");
    if (target.find("/serial-base/") == std::string::npos) return BaseName(target);
  }
  return "";
}

// What sysfs says of the device: its driver and, for a ttyS device, its UART
// ("driver serial, 16550A UART"). *absent is set for a ttyS device that sysfs
// says has no UART.
std::string Detail(const std::string& root, const Device& device, bool* absent) {
  const std::string sys = root + "/sys/class/tty/" + device.name;
  const std::string driver = Driver(sys + "/device");
  std::string detail = driver.empty() ? driver : "driver " + driver;
  *absent = false;
  if (device.kind != 0) return detail;
  const std::string type = FirstLine(sys + "/type");
  if (type.empty() || type.find_first_not_of("0123456789") != std::string::npos) return detail;
  const long number = strtol(type.c_str(), nullptr, 10);
  if (number == 0) {
    *absent = true;
    return detail;
  }
  const long known = static_cast<long>(sizeof kUartTypes / sizeof kUartTypes[0]);
  const std::string uart = number < known ? std::string(kUartTypes[number]) : "type " + type;
  return (detail.empty() ? "" : detail + ", ") + uart + " UART";
}

// Whether this user may open the device for reading and writing, as the
// kernel's permission check answers (root may open every device).
std::string Access(const std::string& path) {
  if (access(path.c_str(), R_OK | W_OK) == 0) return "this user may open it";
  const int error = errno;
  std::string text = std::string("this user may not open it (") + strerror(error);
  struct stat info;
  if (error == EACCES && stat(path.c_str(), &info) == 0 &&
      (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
    const struct group* owner = getgrgid(info.st_gid);
    if (owner != nullptr) {
      text += std::string("; members of the group ") + owner->gr_name + " may: sudo usermod -aG " + owner->gr_name +
              " \"$USER\", then log in again";
    }
  }
  return text + ")";
}

}  // namespace

bool ListSerialPorts(const std::string& rootFolder, SerialPortList* list, std::string* error) {
  std::string root = rootFolder;
  while (!root.empty() && root.back() == '/') root.pop_back();
  const std::string dev = root + "/dev";
  DIR* check = opendir(dev.c_str());
  if (check == nullptr) {
    *error = "cannot read " + dev + ": " + strerror(errno);
    return false;
  }
  closedir(check);

  std::vector<Device> devices;
  for (const std::string& name : Entries(dev)) {
    Device device;
    struct stat info;
    if (ReadName(name, &device) && stat((dev + "/" + name).c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
      devices.push_back(device);
    }
  }
  std::sort(devices.begin(), devices.end(),
            [](const Device& a, const Device& b) { return a.kind != b.kind ? a.kind < b.kind : a.number < b.number; });

  *list = SerialPortList();
  const std::vector<std::string> byId = Entries(dev + "/serial/by-id");
  for (const Device& device : devices) {
    SerialPort port;
    bool absent = false;
    port.detail = Detail(root, device, &absent);
    if (absent) {
      ++list->withoutHardware;
      continue;
    }
    port.name = "/dev/" + device.name;
    // The native build's COMn is /dev/ttyS(n-1).
    if (device.kind == 0 && device.number < 256) port.alias = "COM" + std::to_string(device.number + 1);
    for (const std::string& name : byId) {
      if (BaseName(LinkTarget(dev + "/serial/by-id/" + name)) == device.name)
        port.byId.push_back("/dev/serial/by-id/" + name);
    }
    port.access = Access(dev + "/" + device.name);
    list->ports.push_back(port);
  }
  return true;
}
