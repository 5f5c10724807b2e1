#include "host/driver_loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
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
  if (handle_ == nullptr) error_ = "cannot load " + path + ": error " + std::to_string(GetLastError());
  return handle_ != nullptr;
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
  if (handle_ == nullptr) error_ = dlerror();
  return handle_ != nullptr;
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
