// The serial ports this machine has, as the host's `ports` command lists
// them, with what the system says of each. The lister is one module a
// platform (serial_ports_linux.cpp, serial_ports_windows.cpp); what the
// command prints is the same everywhere.
#ifndef QV_HOST_SERIAL_PORTS_H
#define QV_HOST_SERIAL_PORTS_H

#include <string>
#include <vector>

struct SerialPort {
  std::string name;               // as a port field takes it: /dev/ttyUSB0, COM5
  std::string alias;              // the other name a port field may give it ("COM2" for /dev/ttyS1), or ""
  std::string detail;             // what the system says it is: its driver, UART or device, or ""
  std::vector<std::string> byId;  // stable names that lead to it (/dev/serial/by-id/...)
  std::string access;             // whether this user may open it, where the system tells, or ""
};

struct SerialPortList {
  std::vector<SerialPort> ports;
  // Serial devices left out because the system says no hardware is behind
  // them (a ttyS device without a UART).
  int withoutHardware = 0;
};

// Lists the ports. `root` is the folder the machine's file system is read
// from: "/" for the machine itself, or a tree made like it (dev/, sys/) for
// the tests; only Linux reads files, Windows asks the system. False with
// *error set when the list cannot be read at all.
bool ListSerialPorts(const std::string& root, SerialPortList* list, std::string* error);

// The list as the `ports` command prints it, a port a line (its stable names
// on lines of their own after it).
std::string FormatSerialPorts(const SerialPortList& list);

#endif
