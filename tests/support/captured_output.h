// What a program part prints to a FILE*, caught in memory (POSIX: native
// tests only).
#ifndef QV_TESTS_SUPPORT_CAPTURED_OUTPUT_H
#define QV_TESTS_SUPPORT_CAPTURED_OUTPUT_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace qvtest {

class CapturedOutput {
 public:
  CapturedOutput() : file_(open_memstream(&buffer_, &size_)) {}
  ~CapturedOutput() {
    fclose(file_);
    free(buffer_);
  }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  FILE* file() { return file_; }
  // Everything printed so far.
  std::string Text() {
    fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
};

}  // namespace qvtest

#endif
