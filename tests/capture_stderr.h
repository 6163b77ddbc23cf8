// Captures what a piece of code writes on file descriptor 2.
#ifndef FERROWYN_TESTS_CAPTURE_STDERR_H_
#define FERROWYN_TESTS_CAPTURE_STDERR_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "core/out_buffer.h"

// Runs f with descriptor 2 sent to a temporary file and gives back what was
// written there (std_err is flushed before descriptor 2 is restored).
template <typename F>
std::string capture_stderr(F f) {
  char path[] = "/tmp/ferrowyn-stderr-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  unlink(path);
  const int saved = dup(2);
  dup2(fd, 2);
  f();
  buf_flush(&std_err);
  dup2(saved, 2);
  close(saved);
  std::string out;
  char chunk[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<size_t>(n));
  close(fd);
  return out;
}

#endif  // FERROWYN_TESTS_CAPTURE_STDERR_H_
