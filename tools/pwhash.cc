// pwhash: prints, for each password argument, the "{MD5}" form that the
// server accepts in userPassword values:
//   secret -> {MD5}Xr4ilOzQ4PCOq3aQ0qbuaQ==
#include <openssl/md5.h>

#include "core/base64.h"
#include "core/bytes.h"
#include "core/out_buffer.h"

// The digest is MD5 (RFC 1321) because that is the stored form the server
// verifies; OpenSSL marks its one-shot MD5 interface deprecated in favour of
// EVP, which would buy nothing here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static void md5(const char* bytes, uint64_t n, unsigned char digest[MD5_DIGEST_LENGTH]) {
  MD5_CTX ctx;
  MD5_Init(&ctx);
  MD5_Update(&ctx, bytes, n);
  MD5_Final(digest, &ctx);
}
#pragma GCC diagnostic pop

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    md5(argv[i], cstr_length(argv[i]), digest);
    char text[24];
    int64_t n = base64_encode(text, reinterpret_cast<const char*>(digest), sizeof digest);
    buf_put_str(&std_out, argv[i]);
    buf_put_str(&std_out, " -> {MD5}");
    buf_put(&std_out, text, static_cast<uint64_t>(n));
    buf_put_newline_flush(&std_out);
  }
  buf_flush(&std_out);
  return 0;
}
