// Reading records of the loaded data file in place.
//
// These run for every candidate of every search, so they read words
// straight from the mapping and keep no state. The file was checked when it
// was loaded; nothing here checks bounds again.
#include "store/record.h"

#include <cstdint>

#include "core/bytes.h"
#include "core/out_buffer.h"
#include "store/compare.h"
#include "store/data_file.h"

// Record layout: pair count, reserved word, DN, first objectClass value,
// then (attribute, value) pairs of 8 bytes each.
static constexpr uint64_t kDnField = 8;
static constexpr uint64_t kObjectClassField = 12;
static constexpr uint64_t kFirstPair = 16;

uint32_t record_offset(uint32_t i) {
  return data_word(data_store.indices_offset + uint64_t{4} * i);
}

uint32_t record_value(uint32_t record, uint32_t attribute) {
  if (attribute == data_store.dn_name) return data_word(record + kDnField);
  if (attribute == data_store.object_class_name) return data_word(record + kObjectClassField);
  const uint64_t pairs = data_word(record);
  const uint64_t end = record + 8 * pairs;
  for (uint64_t p = record + kFirstPair; p < end; p += 8) {
    if (data_word(p) == attribute) return data_word(p + 4);
  }
  return 0;
}

int record_has_attribute(uint32_t record, uint32_t attribute) {
  if (attribute == data_store.dn_name || attribute == data_store.object_class_name) return 1;
  const uint64_t pairs = data_word(record);
  const uint64_t end = record + 8 * pairs;
  for (uint64_t p = record + kFirstPair; p < end; p += 8) {
    if (data_word(p) == attribute) return 1;
  }
  return 0;
}

static uint32_t record_dn(uint32_t i) { return data_word(record_offset(i) + kDnField); }

// The strings of record i lie from its DN up to (not including) the next
// record's DN; those of the last record end at record 0's first objectClass
// value, where the strings shared between records begin.
int64_t findrec(uint32_t v) {
  const uint32_t count = data_store.record_count;
  if (count != 0) {
    uint32_t lo = 0;
    uint32_t hi = count - 1;
    while (hi >= lo) {
      const uint32_t mid = static_cast<uint32_t>((uint64_t{lo} + hi) / 2);
      if (record_dn(mid) > v) {
        // Record mid starts after v; below record 0 nothing owns it.
        if (mid == 0) break;
        hi = mid - 1;
        continue;
      }
      const uint32_t upper = mid + 1 < count ? record_dn(mid + 1)
                                             : data_word(record_offset(0) + kObjectClassField);
      if (upper > v) return mid;
      lo = mid + 1;
    }
  }
  static constexpr char kFailed[] = "findrec failed!\n";
  buf_put_flush(&std_err, kFailed, sizeof kFailed - 1);
  return -1;
}

int64_t find_attribute_nocase(counted_str description) {
  const auto fold = [](unsigned char c) -> unsigned char {
    return static_cast<unsigned>(c - 'A') < 26u ? static_cast<unsigned char>(c + 32) : c;
  };
  // The empty description equals only an empty name, which the table
  // never holds (names are non-empty texts).
  if (description.len == 0) return -1;
  const unsigned char first = fold(static_cast<unsigned char>(description.bytes[0]));
  const uint64_t names = data_header_size + uint64_t{data_store.size_of_string_table};
  for (uint32_t i = 0; i < data_store.attribute_count; ++i) {
    const char* name = data_store.base + data_word(names + 4 * uint64_t{i});
    if (fold(static_cast<unsigned char>(name[0])) != first) continue;
    if (cmp_value_nocase(description, name) == 0) return i;
  }
  return -1;
}

uint32_t attribute_type_offset(counted_str description) {
  const counted_str type{attribute_type_length(description.bytes, description.len),
                         description.bytes};
  const int64_t at = find_attribute_nocase(type);
  if (at < 0) return 0;
  const uint64_t names = data_header_size + uint64_t{data_store.size_of_string_table};
  return data_word(names + uint64_t{4} * static_cast<uint64_t>(at));
}
