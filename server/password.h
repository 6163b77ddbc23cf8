// Stored password forms and their verification.
//
// A userPassword value is told apart by its text:
//   "{MD5}" + base64 of the MD5 digest of the password (what pwhash prints);
//   a crypt(3) result: it begins with "$1$" (MD5-crypt) or is exactly 13
//   characters long (traditional DES, which reads only the first 8
//   characters of a password);
//   any other value in a hashed form (in_hashed_form: "{SSHA}...",
//   "{CRYPT}$6$...", "$6$...", "$y$...", "$2b$...") is a scheme the server
//   cannot verify, and accepts no password at all;
//   anything else is the password itself, in clear text.
// A value in a hashed form never accepts its own text as the password. A
// 13-character value that crypt(3) does not accept is compared as clear
// text: it may as well be a clear password of that length.
#ifndef FERROWYN_SERVER_PASSWORD_H_
#define FERROWYN_SERVER_PASSWORD_H_

#include <cstdint>

#include "core/counted_str.h"

// Length of the "{MD5}" form: the five-character prefix and 24 base64
// characters (16 digest bytes, "=" padded).
constexpr uint64_t md5_password_length = 29;

// Writes the "{MD5}" form of n password bytes into dest, followed by a NUL;
// dest needs md5_password_length + 1 bytes. Returns md5_password_length.
uint64_t md5_password_text(char* dest, const char* bytes, uint64_t n);

// True when the stored text (NUL-terminated) begins with a scheme mark:
// "{" + letters, digits or dashes + "}" (RFC 2307 style), or "$" + the
// same + "$" (crypt(3) style). Such a value is never a clear password.
bool in_hashed_form(const char* stored);

// 1 when the supplied password is accepted by the stored text (a
// NUL-terminated text), else 0. A stored "{MD5}" or "$1$" value accepts
// only the password it is the hash of; a value in any other hashed form
// accepts none. Allocates nothing: the crypt(3) key is a bounded stack
// buffer, so passwords of 100 bytes or more never reach crypt(3) and can
// match a DES crypt value only as its clear text.
int check_password(const char* stored, counted_str password);

// The crypt(3) that check_password calls; a setting it cannot handle may
// give null, which counts as no match. Replaceable so that tests can
// exercise that case, which the system's library does not produce.
using password_crypt_fn = const char* (*)(const char* key, const char* setting);
extern password_crypt_fn password_crypt;

#endif  // FERROWYN_SERVER_PASSWORD_H_
