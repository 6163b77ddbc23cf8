// Reading records of the loaded data file in place.
//
// A record is designated by its record offset (file offset of its first
// word) or its record number; an attribute by its name offset in the
// attribute table. All of these read data_store and trust the file, which
// load_data_file checked.
#ifndef FERROWYN_STORE_RECORD_H_
#define FERROWYN_STORE_RECORD_H_

#include <cstdint>

#include "core/counted_str.h"

// Word i of the record offset table. REQUIRES: i < record_count.
uint32_t record_offset(uint32_t i);
// String offset of the first value of the attribute in the record, or 0.
// dn gives the record's DN; objectClass its first objectClass value only.
uint32_t record_value(uint32_t record, uint32_t attribute);
// 1 if the record has the attribute (always for dn and objectClass), else 0.
int record_has_attribute(uint32_t record, uint32_t attribute);
// The number of the record that owns the string at offset v (a DN or a
// per-record value), found by binary search over the records' DN offsets.
// -1 with "findrec failed!\n" on std_err when no record owns it.
int64_t findrec(uint32_t v);
// The position in the attribute table of the first name equal to the
// description without regard to ASCII case, or -1. Every request resolves
// its names this way, so names whose first letter differs are passed over
// without a comparison.
int64_t find_attribute_nocase(counted_str description);
// The attribute table's name offset of a description's type (the part
// before any ";" options, compared without case), or 0 when the table does
// not know it: how ACL entries and records name attributes.
uint32_t attribute_type_offset(counted_str description);

#endif  // FERROWYN_STORE_RECORD_H_
