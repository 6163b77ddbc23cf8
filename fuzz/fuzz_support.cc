#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/out_buffer.h"

namespace {

int64_t discard(int, char*, uint64_t count, out_buffer*) { return static_cast<int64_t>(count); }

std::string* capture_sink = nullptr;

int64_t capture(int, char* bytes, uint64_t count, out_buffer*) {
  if (capture_sink != nullptr) capture_sink->append(bytes, count);
  return static_cast<int64_t>(count);
}

std::string scratch_dir;
std::vector<std::string> scratch_files;

void remove_scratch_dir() {
  for (const std::string& f : scratch_files) unlink(f.c_str());
  if (!scratch_dir.empty()) rmdir(scratch_dir.c_str());
}

// The real standard error while fd 2 is muted, else -1; and /dev/null.
int real_stderr = -1;
int dev_null = -1;

}  // namespace

void fuzz_mute_fd2_begin() {
  if (real_stderr < 0) {
    real_stderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    dev_null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (real_stderr < 0 || dev_null < 0) fuzz_fail("cannot set up muting of fd 2");
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(real_stderr)));
  }
  dup2(dev_null, 2);
}

void fuzz_mute_fd2_end() {
  if (real_stderr >= 0) dup2(real_stderr, 2);
}

void fuzz_quiet_output() {
  buf_flush(&std_out);
  buf_flush(&std_err);
  std_out.io_op = discard;
  std_err.io_op = discard;
}

void fuzz_capture_std_out(std::string* sink) {
  buf_flush(&std_out);
  capture_sink = sink;
  std_out.io_op = sink != nullptr ? capture : discard;
}

std::string fuzz_scratch_path(const char* name) {
  if (scratch_dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") +
                          "/ferrowyn-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fuzz_fail("cannot make a scratch directory");
    scratch_dir = pattern;
    std::atexit(remove_scratch_dir);
  }
  std::string path = scratch_dir + "/" + name;
  scratch_files.push_back(path);
  return path;
}

bool fuzz_write_file(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0;
}

void fuzz_fail(const char* what) {
  fuzz_mute_fd2_end();
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}
