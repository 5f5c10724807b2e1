#include "host/serial_ports.h"

std::string FormatSerialPorts(const SerialPortList& list) {
  std::string text;
  for (const SerialPort& port : list.ports) {
    text += port.name;
    if (!port.alias.empty()) text += " (" + port.alias + ")";
    std::string about = port.detail;
    if (!port.access.empty()) about += (about.empty() ? "" : "; ") + port.access;
    if (!about.empty()) text += ": " + about;
    text += "\n";
    for (const std::string& name : port.byId) text += "  also " + name + "\n";
  }
  if (list.ports.empty()) text += "no serial ports found\n";
  if (list.withoutHardware > 0) {
    text += "(" + std::to_string(list.withoutHardware) + " more serial device" +
            (list.withoutHardware == 1 ? " has no hardware behind it)\n" : "s have no hardware behind them)\n");
  }
  return text;
}
