// pwhash: prints, for each password argument, the "{MD5}" form that the
// server accepts in userPassword values:
//   secret -> {MD5}Xr4ilOzQ4PCOq3aQ0qbuaQ==
#include "core/bytes.h"
#include "core/out_buffer.h"
#include "server/password.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    // The server verifies with the same function, so what is printed here
    // is exactly what it accepts.
    char text[md5_password_length + 1];
    const uint64_t n = md5_password_text(text, argv[i], cstr_length(argv[i]));
    buf_put_str(&std_out, argv[i]);
    buf_put_str(&std_out, " -> ");
    buf_put(&std_out, text, n);
    buf_put_newline_flush(&std_out);
  }
  buf_flush(&std_out);
  return 0;
}
