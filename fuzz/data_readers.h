// Every reader of a data file, run over one file by the data-file and
// LDIF-import fuzz targets.
//
// load_data_file and load_acl_block end the process on a file they refuse,
// by design. The targets therefore ask the predicates below first and call
// the loaders only for files they will accept; a loader that exits anyway
// is a disagreement between the two, which libFuzzer reports as a crash.
#ifndef FERROWYN_FUZZ_DATA_READERS_H_
#define FERROWYN_FUZZ_DATA_READERS_H_

#include <cstdint>
#include <string>

// True when load_data_file returns for a file of these bytes:
// check_data_file accepts it and its attribute table has "dn" and
// "objectClass".
bool data_file_loads(const char* base, uint64_t size);

// The offset of the file's ACL block (the first block of type 2 in the
// chain), 0 when it has none. REQUIRES: data_file_loads.
uint64_t find_acl_block(const char* base, uint64_t size);

// True when load_acl_block returns for the block at offset `block` of these
// bytes: every check it makes, made without ending the process.
bool acl_block_loads(const char* base, uint64_t size, uint64_t block);

// Loads the file at path, which holds exactly these bytes
// (REQUIRES: data_file_loads), and runs every reader over it: record
// access for every record, findrec, the index lookups of every block with
// values taken from the file, DN lookup, filter matching and index
// evaluation, the ACL loader with ACL checks when the block loads, and the
// printing paths of dataprint, ldifexport and aclprint. After the load the
// readers read the fuzzer's heap copy of the bytes, so that AddressSanitizer
// sees any read past the end of the file.
//
// built_by_writer: the file came from the data file writer, so it follows
// every placement and order rule; then the lookups must also find what
// they are meant to (every record matching a filter is a candidate of the
// index, lookupdn finds each record by its DN, findrec finds each DN's
// record), and a failure is reported as a crash.
void exercise_data_file(const std::string& path, const char* bytes, uint64_t size,
                        bool built_by_writer);

// Runs ldifexport over the bytes (REQUIRES: data_file_loads) and returns
// what it wrote.
std::string export_ldif(const char* bytes, uint64_t size);

#endif  // FERROWYN_FUZZ_DATA_READERS_H_
