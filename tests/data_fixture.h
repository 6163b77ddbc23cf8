// Data files for tests, built in code with the data file writer.
#ifndef FERROWYN_TESTS_DATA_FIXTURE_H_
#define FERROWYN_TESTS_DATA_FIXTURE_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fixture {

struct entry {
  std::string dn;
  // (attribute, value) pairs in order; at least one objectClass.
  std::vector<std::pair<std::string, std::string>> values;
};

struct options {
  std::vector<std::string> nocase;                     // case-insensitive attributes
  std::vector<std::pair<std::string, int>> sorted;     // attribute, block type (-1, 0, 1)
  std::vector<std::pair<std::string, uint32_t>> hash;  // attribute, bucket count (0: auto)
  std::string acl;                                     // ACL block contents, empty: none
};

// Writes the entries as a data file at path. Returns "" on success, else the
// writer's error message.
std::string write_data_file(const std::string& path, const std::vector<entry>& entries,
                            const options& opts = {});

}  // namespace fixture

#endif  // FERROWYN_TESTS_DATA_FIXTURE_H_
