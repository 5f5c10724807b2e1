// Loads a display-driver library file and looks its entry points up by name,
// for the host program and the end-to-end tests; the entry points' types
// (PFN_DISPLAYDLL_Init, ...) are the ones the driver's header gives hosts.
#ifndef QV_HOST_DRIVER_LOADER_H
#define QV_HOST_DRIVER_LOADER_H

#include <string>

#include "driver/display_driver.h"

class DriverLibrary {
 public:
  DriverLibrary() = default;
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;

  // Loads the file at `path`; false with error() set when it cannot.
  bool Load(const std::string& path);
  void Unload();
  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

  // The address exported under exactly this name, or null (error() says why).
  void* Find(const std::string& exportName);

  // The export name of an entry point ("Init" gives DISPLAYDLL_Init, or
  // DISPLAYDLL_Init@16 when decorated).
  static std::string ExportName(const std::string& shortName, bool decorated);

 private:
  void* handle_ = nullptr;
  std::string error_;
};

#endif
