#include "server/password.h"

#include <crypt.h>
#include <openssl/md5.h>

#include "core/base64.h"
#include "core/bytes.h"

namespace {

constexpr char md5_prefix[] = "{MD5}";
constexpr uint64_t md5_prefix_length = sizeof md5_prefix - 1;
// Room for the crypt(3) key: passwords up to 99 bytes and the NUL.
constexpr uint64_t crypt_key_size = 100;
// A traditional DES crypt(3) result: two salt and eleven hash characters.
constexpr uint64_t des_crypt_length = 13;

// crypt(3) keeps its result in a static buffer, which is safe here: each
// connection is served by a process of its own, the tracing build serves
// one connection at a time, and no thread ever checks a password (the
// caller compares the result before the next call).
// cppcheck-suppress cryptCalled
const char* system_crypt(const char* key, const char* setting) { return crypt(key, setting); }

// The stored form is MD5 (RFC 1321) because that is what existing
// directories hold; OpenSSL marks its MD5_* interface deprecated in favour
// of EVP, which would buy nothing here and allocates.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void md5_digest(const char* bytes, uint64_t n, unsigned char digest[MD5_DIGEST_LENGTH]) {
  MD5_CTX ctx;
  MD5_Init(&ctx);
  if (n > 0) MD5_Update(&ctx, bytes, n);
  MD5_Final(digest, &ctx);
}
#pragma GCC diagnostic pop

// Letters, digits and dashes: what scheme names ("SSHA512", "PBKDF2-SHA256")
// and crypt(3) identifiers ("6", "2b", "y") are made of.
bool scheme_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// The length of a non-empty run of scheme characters at text that ends in
// `close`, the closing character included; 0 when there is none.
uint64_t scheme_name_length(const char* text, char close) {
  uint64_t i = 0;
  while (scheme_char(text[i])) ++i;
  return i > 0 && text[i] == close ? i + 1 : 0;
}

}  // namespace

bool in_hashed_form(const char* stored) {
  if (stored[0] == '{') return scheme_name_length(stored + 1, '}') != 0;
  if (stored[0] == '$') return scheme_name_length(stored + 1, '$') != 0;
  return false;
}

password_crypt_fn password_crypt = system_crypt;

uint64_t md5_password_text(char* dest, const char* bytes, uint64_t n) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  md5_digest(bytes, n, digest);
  copy_bytes(dest, md5_prefix_length, md5_prefix);
  const int64_t encoded =
      base64_encode(dest + md5_prefix_length, reinterpret_cast<const char*>(digest), sizeof digest);
  const uint64_t length = md5_prefix_length + static_cast<uint64_t>(encoded);
  dest[length] = '\0';
  return length;
}

int check_password(const char* stored, counted_str password) {
  const uint64_t n = password.len;

  if (starts_with(stored, md5_prefix)) {
    char text[md5_password_length + 1];
    md5_password_text(text, password.bytes, n);
    if (compare_text(text, stored) == 0) return 1;
  }

  const uint64_t stored_length = cstr_length(stored);
  if (n < crypt_key_size && (starts_with(stored, "$1$") || stored_length == des_crypt_length)) {
    // crypt(3) takes a NUL-terminated key, so a password holding a NUL
    // byte reaches it cut short there.
    char key[crypt_key_size];
    if (n > 0) copy_bytes(key, n, password.bytes);
    key[n] = '\0';
    const char* hashed = password_crypt(key, stored);
    clear_bytes(key, sizeof key);  // a clear password is not left on the stack
    if (hashed != nullptr && compare_text(hashed, stored) == 0) return 1;
  }

  // A value in a hashed form is never also a clear password: accepting it
  // as one would let anyone who learns the hash (readable in a backup, an
  // LDIF export, another server) bind with it. That holds for the schemes
  // verified above and as much for those that are not, whose values so
  // accept no password at all. (A 13-byte value without a scheme mark may
  // be a DES crypt or a clear password; there is no telling, so it is
  // tried as both.)
  if (in_hashed_form(stored)) return 0;
  if (n == stored_length && (n == 0 || compare_bytes(password.bytes, n, stored) == 0)) return 1;
  return 0;
}
