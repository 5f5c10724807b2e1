#include "host/driver_loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <stdio.h>
#endif

namespace {

struct EntryPoint {
  const char* name;
  int argumentBytes;
};
const EntryPoint kEntryPoints[] = {
    {"DefaultParameters", 0}, {"Done", 0},        {"DriverName", 0}, {"Init", 16},
    {"PowerResume", 0},       {"SetPosition", 8}, {"Usage", 0},      {"Write", 4},
};

}  // namespace

DriverLibrary::~DriverLibrary() { Unload(); }

std::string DriverLibrary::ExportName(const std::string& shortName, bool decorated) {
  std::string name = "DISPLAYDLL_" + shortName;
  if (!decorated) return name;
  for (const EntryPoint& entry : kEntryPoints) {
    if (shortName == entry.name) return name + "@" + std::to_string(entry.argumentBytes);
  }
  return name;
}

#ifdef _WIN32

bool DriverLibrary::Load(const std::string& path) {
  Unload();
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (handle_ != nullptr) return true;
  const DWORD code = GetLastError();
  char buffer[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer, sizeof buffer,
                 nullptr);
  std::string text = buffer;
  // The system's text ends in a line break; "%1" in it stands for the file.
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  const size_t insert = text.find("%1");
  if (insert != std::string::npos) text.replace(insert, 2, path);
  if (text.empty()) text = "no description";
  error_ = "cannot load " + path + ": " + text + " (error " + std::to_string(code) + ")";
  if (code == ERROR_BAD_EXE_FORMAT) {
    // A DLL built for the other kind of Windows program.
    error_ += sizeof(void*) == 8 ? "; a 64-bit host needs the 64-bit DLL (x64\\QV-731.dll in the package)"
                                 : "; a 32-bit host needs the 32-bit DLL (QV-731.dll at the top of the package, "
                                   "not the one in x64\\)";
  }
  return false;
}

void DriverLibrary::Unload() {
  if (handle_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

void* DriverLibrary::Find(const std::string& exportName) {
  if (handle_ == nullptr) return nullptr;
  FARPROC found = GetProcAddress(reinterpret_cast<HMODULE>(handle_), exportName.c_str());
  if (found == nullptr) error_ = "no export named " + exportName;
  return reinterpret_cast<void*>(found);
}

#else

bool DriverLibrary::Load(const std::string& path) {
  Unload();
  // A bare file name would send dlopen searching the library path.
  std::string where = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ != nullptr) return true;
  // dlerror() names the file first; the path is said once.
  std::string text = dlerror();
  if (text.compare(0, where.size() + 2, where + ": ") == 0) text.erase(0, where.size() + 2);
  error_ = "cannot load " + path + ": " + text;
  // A Windows DLL starts with "MZ": it is for the Windows programs.
  char start[2] = {0, 0};
  FILE* file = fopen(where.c_str(), "rb");
  if (file != nullptr) {
    if (fread(start, 1, 2, file) == 2 && start[0] == 'M' && start[1] == 'Z') {
      error_ += "; it is a Windows DLL, and this host is a native program: it needs the native build of the library";
    }
    fclose(file);
  }
  return false;
}

void DriverLibrary::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

void* DriverLibrary::Find(const std::string& exportName) {
  if (handle_ == nullptr) return nullptr;
  void* found = dlsym(handle_, exportName.c_str());
  if (found == nullptr) error_ = "no export named " + exportName;
  return found;
}

#endif
