// The stored password forms: the "{MD5}" text, and which supplied
// passwords each stored value accepts.
#include "server/password.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

counted_str bytes_of(const std::string& s) { return counted_str{s.size(), s.data()}; }

TEST(Md5PasswordText, DigestsTheGivenBytesIntoTheStoredForm) {
  // Digests from RFC 1321's test suite, a common password, and bytes that
  // hold a NUL (the length counts, not the text).
  const struct {
    std::string bytes;
    const char* text;
  } cases[] = {
      {"", "{MD5}1B2M2Y8AsgTpgAmY7PhCfg=="},
      {"abc", "{MD5}kAFQmDzST7DWlj99KOF/cg=="},
      {"message digest", "{MD5}+WtpfXy3k41SWi8xqvFh0A=="},
      {"secret", "{MD5}Xr4ilOzQ4PCOq3aQ0qbuaQ=="},
      {std::string("a\0b", 3), "{MD5}cDUPYCe843E/a3ZHMIQwmw=="},
      {std::string(100, 'a'), "{MD5}NqksyUqeD6IfYl+L+wB63w=="},
  };
  for (const auto& c : cases) {
    char out[md5_password_length + 2];
    out[md5_password_length + 1] = '#';
    EXPECT_EQ(md5_password_text(out, c.bytes.data(), c.bytes.size()), md5_password_length);
    EXPECT_STREQ(out, c.text) << c.bytes;
    EXPECT_EQ(out[md5_password_length + 1], '#') << "wrote past the NUL";
  }
}

// Stored values, each with the passwords it must accept and refuse.
const std::string md5_secret = "{MD5}Xr4ilOzQ4PCOq3aQ0qbuaQ==";
const std::string md5crypt_secret = "$1$abcdefgh$cHJi5PXp/ki/ktXzqlk6I1";
const std::string des_secret = "abNANd1rDfiNc";
const std::string a99 = std::string(99, 'a');
const std::string a100 = std::string(100, 'a');

struct password_case {
  const char* why;
  std::string stored;
  std::string supplied;
  int accepted;
};

const password_case cases[] = {
    // {MD5}
    {"md5 of the password", md5_secret, "secret", 1},
    {"md5 of another password", md5_secret, "Secret", 0},
    {"md5: the stored hash sent as password is refused", md5_secret, md5_secret, 0},
    {"md5 with trailing text", md5_secret + "x", "secret", 0},
    {"md5 prefix is case-sensitive: {md5} is plain text", "{md5}Xr4ilOzQ4PCOq3aQ0qbuaQ==", "secret",
     0},
    {"{md5} value is its own plain password", "{md5}Xr4ilOzQ4PCOq3aQ0qbuaQ==",
     "{md5}Xr4ilOzQ4PCOq3aQ0qbuaQ==", 1},
    {"md5 of the empty password", "{MD5}1B2M2Y8AsgTpgAmY7PhCfg==", "", 1},
    // MD5-crypt
    {"md5-crypt of the password", md5crypt_secret, "secret", 1},
    {"md5-crypt of another password", md5crypt_secret, "secreT", 0},
    {"md5-crypt: the stored hash sent as password is refused", md5crypt_secret, md5crypt_secret, 0},
    {"md5-crypt: a NUL cuts the key", md5crypt_secret, std::string("secret\0tail", 11), 1},
    {"md5-crypt: 99 bytes reach crypt", "$1$saltsalt$HRGdvxoMUysgIhevHQPd/1", a99, 1},
    {"md5-crypt: 100 bytes never reach crypt", "$1$saltsalt$qBcnIlWAJZ/sYLOaQoS7c.", a100, 0},
    // Traditional DES crypt: recognised by its 13 characters.
    {"des crypt of the password", des_secret, "secret", 1},
    {"des crypt of another password", des_secret, "secre", 0},
    {"des crypt: stored text sent as password", des_secret, des_secret, 1},
    {"13 characters that are no crypt result, as plain text", "not-a-crypt!!", "not-a-crypt!!",
     1},
    {"13 characters that are no crypt result, other password", "not-a-crypt!!", "not-a-crypt!",
     0},
    {"14 characters are not taken for des crypt", des_secret + "x", "secret", 0},
    // Plain text
    {"plain equal", "hunter2", "hunter2", 1},
    {"plain, supplied is a prefix", "hunter2", "hunter", 0},
    {"plain, supplied is longer", "hunter2", "hunter22", 0},
    {"plain, same length, one byte differs", "hunter2", "hunter3", 0},
    {"plain is case-sensitive", "hunter2", "HUNTER2", 0},
    {"plain, password with a NUL never equals a text", "ab", std::string("a\0", 2), 0},
    {"empty stored, empty supplied", "", "", 1},
    {"empty stored, something supplied", "", "x", 0},
    {"something stored, empty supplied", "x", "", 0},
};

TEST(CheckPassword, AcceptsExactlyThePasswordsOfEachStoredForm) {
  for (const password_case& c : cases) {
    EXPECT_EQ(check_password(c.stored.c_str(), bytes_of(c.supplied)), c.accepted) << c.why;
  }
}

TEST(CheckPassword, EmptyPasswordWithoutBytesIsHandled) {
  EXPECT_EQ(check_password("", counted_str{0, nullptr}), 1);
  EXPECT_EQ(check_password(md5_secret.c_str(), counted_str{0, nullptr}), 0);
  EXPECT_EQ(check_password("{MD5}1B2M2Y8AsgTpgAmY7PhCfg==", counted_str{0, nullptr}), 1);
  EXPECT_EQ(check_password(des_secret.c_str(), counted_str{0, nullptr}), 0);
}

// A crypt(3) that records what it was given and answers as told.
struct crypt_call {
  std::string key;
  std::string setting;
};
std::vector<crypt_call> crypt_calls;
const char* crypt_answer = nullptr;

const char* fake_crypt(const char* key, const char* setting) {
  crypt_calls.push_back({key, setting});
  return crypt_answer;
}

class CheckPasswordCrypt : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = password_crypt;
    password_crypt = fake_crypt;
    crypt_calls.clear();
    crypt_answer = nullptr;
  }
  void TearDown() override { password_crypt = saved_; }

 private:
  password_crypt_fn saved_ = nullptr;
};

TEST_F(CheckPasswordCrypt, NoResultIsNoMatchAndThePlainStepFollows) {
  const struct {
    const char* stored;
    std::string supplied;
    int accepted;
  } null_cases[] = {
      {"abcdefghijklm", "abcdefghijklm", 1},
      {"abcdefghijklm", "abcdefghijkl", 0},
      {"$1$x$y", "$1$x$y", 0},
      {"$1$x$y", "secret", 0},
  };
  for (const auto& c : null_cases) {
    crypt_calls.clear();
    EXPECT_EQ(check_password(c.stored, bytes_of(c.supplied)), c.accepted) << c.stored;
    ASSERT_EQ(crypt_calls.size(), 1u) << c.stored;
    EXPECT_EQ(crypt_calls[0].key, c.supplied);
    EXPECT_EQ(crypt_calls[0].setting, c.stored);
  }
}

TEST_F(CheckPasswordCrypt, CryptIsAskedOnlyForCryptFormsAndShortPasswords) {
  const struct {
    std::string stored;
    std::string supplied;
    const char* key;  // what crypt(3) gets, or null when it is not called
  } call_cases[] = {
      {"$1$salt$hash", "pw", "pw"},
      {"0123456789abc", "pw", "pw"},
      {"$1$salt$hash", std::string("pw\0rest", 7), "pw"},
      {"$1$salt$hash", a99, a99.c_str()},
      {"$1$salt$hash", a100, nullptr},
      {"0123456789ab", "pw", nullptr},
      {"0123456789abcd", "pw", nullptr},
      {"$2$salt$hash", "pw", nullptr},
      {md5_secret, "pw", nullptr},
  };
  for (const auto& c : call_cases) {
    crypt_calls.clear();
    EXPECT_EQ(check_password(c.stored.c_str(), bytes_of(c.supplied)), 0) << c.stored;
    if (c.key == nullptr) {
      EXPECT_TRUE(crypt_calls.empty()) << c.stored;
    } else {
      ASSERT_EQ(crypt_calls.size(), 1u) << c.stored;
      EXPECT_EQ(crypt_calls[0].key, c.key);
    }
  }
}

TEST_F(CheckPasswordCrypt, AcceptsWhenCryptReturnsTheStoredText) {
  crypt_answer = "0123456789abc";
  EXPECT_EQ(check_password("0123456789abc", bytes_of("anything")), 1);
  crypt_answer = "0123456789abd";
  EXPECT_EQ(check_password("0123456789abc", bytes_of("anything")), 0);
  crypt_answer = "0123456789abcd";
  EXPECT_EQ(check_password("0123456789abc", bytes_of("anything")), 0);
}

}  // namespace
