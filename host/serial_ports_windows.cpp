// The serial ports of a Windows machine: the COM devices among the system's
// DOS device names (QueryDosDevice), each with the device it leads to
// (\Device\Serial0 for a UART, a USB adapter's driver's own name), and under
// Wine the COM links of the prefix. Nothing is opened: opening a port changes
// its modem lines.
#include <stdlib.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/serial_ports.h"

namespace {

// The number of a name such as COM12, or 0 for any other name.
long ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 8 ||
      CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), 3, "COM", 3) != CSTR_EQUAL) {
    return 0;
  }
  if (name.find_first_not_of("0123456789", 3) != std::string::npos) return 0;
  return strtol(name.c_str() + 3, nullptr, 10);
}

std::string SystemText(DWORD code) {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  std::string result = text;
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  return result.empty() ? "error " + std::to_string(code) : result;
}

// QueryDosDevice's strings for `name` (null: every DOS device name), in a
// buffer grown until they fit; false with the system's error.
bool Query(const char* name, std::vector<char>* buffer, DWORD* error) {
  buffer->assign(1 << 16, '\0');
  for (;;) {
    const DWORD length = QueryDosDeviceA(name, buffer->data(), static_cast<DWORD>(buffer->size()));
    if (length != 0) {
      buffer->resize(length);
      return true;
    }
    *error = GetLastError();
    if (*error != ERROR_INSUFFICIENT_BUFFER || buffer->size() >= (1u << 24)) return false;
    buffer->assign(buffer->size() * 2, '\0');
  }
}

// Under Wine a prefix's COM ports are the links dosdevices/comN, and those
// Wine's device manager did not make itself are not among the DOS device
// names; Wine's kernel32 tells the Unix file behind each COM name that leads
// somewhere. Null on Windows, which has no such function.
typedef char*(CDECL* WineUnixFileName)(LPCWSTR);
WineUnixFileName WineUnixFileNameFunction() {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<WineUnixFileName>(
      reinterpret_cast<void (*)(void)>(GetProcAddress(kernel32, "wine_get_unix_file_name")));
}

// The last COM number looked for under Wine.
const long kLastCom = 256;

}  // namespace

bool ListSerialPorts(const std::string& root, SerialPortList* list, std::string* error) {
  (void)root;  // the system is asked; there is no tree to read
  std::vector<char> names;
  DWORD code = 0;
  if (!Query(nullptr, &names, &code)) {
    *error = "cannot list the DOS device names: " + SystemText(code);
    return false;
  }
  // Each COM number once, with the device its DOS name leads to.
  std::vector<std::pair<long, std::string>> found;
  auto listed = [&](long number) {
    return std::find_if(found.begin(), found.end(),
                        [&](const std::pair<long, std::string>& port) { return port.first == number; }) != found.end();
  };
  for (size_t at = 0; at < names.size() && names[at] != '\0';) {
    const std::string name = names.data() + at;
    at += name.size() + 1;
    const long number = ComNumber(name);
    if (number <= 0 || listed(number)) continue;
    std::vector<char> target;
    found.push_back(
        {number, Query(name.c_str(), &target, &code) ? std::string(target.data()) : "(" + SystemText(code) + ")"});
  }
  if (const WineUnixFileName unixFileName = WineUnixFileNameFunction()) {
    for (long number = 1; number <= kLastCom; ++number) {
      if (listed(number)) continue;
      char* path = unixFileName((L"\\\\.\\COM" + std::to_wstring(number)).c_str());
      if (path == nullptr) continue;
      found.push_back({number, std::string("Wine's link ") + path});
      HeapFree(GetProcessHeap(), 0, path);
    }
  }
  std::sort(found.begin(), found.end());
  *list = SerialPortList();
  for (const auto& entry : found) {
    SerialPort port;
    port.name = "COM" + std::to_string(entry.first);
    port.detail = entry.second;
    list->ports.push_back(port);
  }
  return true;
}
