// Puts the driver's process-wide state back to how a fresh load finds it, so
// that tests linked with the driver can each start from the beginning.
#ifndef QV_TESTS_SUPPORT_DRIVER_RESET_H
#define QV_TESTS_SUPPORT_DRIVER_RESET_H

#include <string>

void ResetDriverForTest();

// A fresh temporary folder as the current directory (where the log goes),
// and the driver reset; the destructor returns to the previous folder.
class FreshDriver {
 public:
  FreshDriver();
  ~FreshDriver();
  const std::string& dir() const { return dir_; }
  // The debug log's contents ("(no log file)" when there is none).
  std::string Log() const;

 private:
  std::string home_;
  std::string dir_;
};

#endif
