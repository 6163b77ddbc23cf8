// Helpers shared by the fuzz targets.
#ifndef FERROWYN_FUZZ_FUZZ_SUPPORT_H_
#define FERROWYN_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Output through std_out and std_err is dropped without a system call:
// the readers print a lot, and only crashes matter here. diag_line still
// writes to fd 2.
void fuzz_quiet_output();

// Route std_out into *sink (appended) instead; null drops it again.
void fuzz_capture_std_out(std::string* sink);

// Some readers write straight to fd 2 (for instance a line for every
// filter item the matchers do not support), which would flood the fuzzer's
// log. Between begin and end fd 2 goes to /dev/null; sanitizer reports and
// fuzz_fail messages still reach the real standard error.
void fuzz_mute_fd2_begin();
void fuzz_mute_fd2_end();

// The path of a scratch file `name` in this process's own temporary
// directory (made on first use under $TMPDIR or /tmp, removed at exit).
std::string fuzz_scratch_path(const char* name);

// Replaces the file at path with exactly these bytes; false on failure.
bool fuzz_write_file(const std::string& path, const uint8_t* data, size_t size);

// Ends the process with a message on stderr and abort(), which libFuzzer
// reports as a crash with the input that caused it. For broken properties
// (round trips that do not round-trip), not for memory errors.
[[noreturn]] void fuzz_fail(const char* what);
#define FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : fuzz_fail(__FILE__ ": check failed: " #cond))

#endif  // FERROWYN_FUZZ_FUZZ_SUPPORT_H_
