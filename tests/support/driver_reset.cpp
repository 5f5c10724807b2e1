#include "tests/support/driver_reset.h"

#include <stdio.h>

#include "diagnostics/debug_log.h"
#include "driver/driver_state.h"
#include "platform/posix/fault_injection.h"
#include "tests/support/test_env.h"

void ResetDriverForTest() {
  if (g_driver.port != NULL && g_driver.port != INVALID_HANDLE_VALUE) CloseHandle(g_driver.port);
  g_driver = kDriverStateAtLoad;
  if (g_log.stream != NULL) fclose(g_log.stream);
  g_log = DebugLogState{0, 0, NULL, "", "", 0, 0, ""};
  PlatformClearFaults();
}

FreshDriver::FreshDriver() : home_(qvtest::CurrentDir()), dir_(qvtest::MakeTempDir()) {
  qvtest::ChangeDir(dir_);
  ResetDriverForTest();
}

FreshDriver::~FreshDriver() {
  ResetDriverForTest();  // closes the log before its folder goes
  qvtest::ChangeDir(home_);
  qvtest::RemoveTree(dir_);
}

std::string FreshDriver::Log() const {
  std::string contents;
  std::string path = dir_ + "/logs/" + ModuleBaseName() + ".log";
  return qvtest::ReadWholeFile(path, &contents) ? contents : "(no log file)";
}
