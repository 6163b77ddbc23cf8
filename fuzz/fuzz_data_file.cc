// The data file: check_data_file over any bytes, and for every file it
// and the loader accept, every reader of the file (fuzz/data_readers.h).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/data_readers.h"
#include "fuzz/fuzz_support.h"

namespace {
std::string data_file;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_output();
  data_file = fuzz_scratch_path("data");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  if (!data_file_loads(bytes, size)) return 0;
  FUZZ_CHECK(fuzz_write_file(data_file, data, size));
  exercise_data_file(data_file, bytes, size, false);
  return 0;
}
