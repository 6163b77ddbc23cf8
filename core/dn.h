// DN normalisation shared by the server and the LDIF readers.
#ifndef FERROWYN_CORE_DN_H_
#define FERROWYN_CORE_DN_H_

#include <cstdint>

// Normalises len bytes of src into dest and returns the new length (never
// longer than len; a negative len gives 0). dest may equal src: the output is
// produced front to back. Attribute types are lowercased ("A"-"Z" only),
// values keep their case, ";" becomes ",", and spaces right after a
// separator are dropped.
int32_t canonical_dn(char* dest, const char* src, int32_t len);

#endif  // FERROWYN_CORE_DN_H_
