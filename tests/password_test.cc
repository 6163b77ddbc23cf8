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
    {"md5 prefix is case-sensitive: {md5} is not verified", "{md5}Xr4ilOzQ4PCOq3aQ0qbuaQ==",
     "secret", 0},
    {"{md5} is still a hashed form, never clear text", "{md5}Xr4ilOzQ4PCOq3aQ0qbuaQ==",
     "{md5}Xr4ilOzQ4PCOq3aQ0qbuaQ==", 0},
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
    {"13 characters with a scheme mark are no clear text", "{X}abcdefghij", "{X}abcdefghij", 0},
    {"13 characters with a crypt mark are no clear text", "$x$abcdefghij", "$x$abcdefghij", 0},
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
    // Clear passwords that only look like a scheme mark.
    {"clear text with braces but no scheme", "{}secret", "{}secret", 1},
    {"clear text with a scheme that is never closed", "{SSHA", "{SSHA", 1},
    {"clear text with a character no scheme has", "{S_A}pw", "{S_A}pw", 1},
    {"clear text with dollars but no identifier", "$$money", "$$money", 1},
    {"clear text with one dollar", "$6secret", "$6secret", 1},
    {"clear text with the mark further in", "my{SSHA}pw", "my{SSHA}pw", 1},
};

// Values in hashed forms the server does not verify, made from "secret":
// OpenLDAP's {SSHA}/{SSHA512} (python3 hashlib, salt "saltsalt"), crypt(3)
// forms (openssl passwd -6, mkpasswd -m yescrypt/bcrypt/sha-256), the same
// behind {CRYPT}, and passlib's {PBKDF2-SHA256}. Each must refuse both the
// password and its own text.
const char* const unverified_secret[] = {
    "{SSHA}1G904nLkTkGWjKNnQuB/hpWXC/hzYWx0c2FsdA==",
    "{SSHA512}aCu7JRc+kLsuEmFs1zTY+AiP7DSGnjjG+dH28Dp+E5usqoAixeTPihKqZmkWal4mUfp63tqvCAkFV1LKTDFH6XNhbHRzYWx0",
    "{SHA}5en6G6MezRroT3XKqkdPOmY/BfQ=",
    "$6$saltsaltsalt$PMWE8DTlam1JU37Piyk43bHcMxTJq6sgu5DKB0/tGPjanN35jcY68QkpDfPFUGPWX5uCxIQkSPzMmqEiVNgts.",
    "{CRYPT}$6$saltsaltsalt$PMWE8DTlam1JU37Piyk43bHcMxTJq6sgu5DKB0/tGPjanN35jcY68QkpDfPFUGPWX5uCxIQkSPzMmqEiVNgts.",
    "$5$saltsalt$0IyaXrmV7.sGNS6tirgqHLqX/G.FBvgkYA.lpPdS5sA",
    "$y$j9T$2ZvywptSbOJz8faW.F6GR1$qnTOb8OtQCM7dmhk1zq.E4x.CR/bkiF6gtrXY3PJOJA",
    "$2b$05$Z39NH./krEsUuPFJboNfzOlvw7omAdHtGbWM0j3eLd0z9oCNOTFVG",
    "{CRYPT}$1$abcdefgh$cHJi5PXp/ki/ktXzqlk6I1",
    "{PBKDF2-SHA256}10000$c2FsdHNhbHQ$Ud43QyQpfkrBrm7iUov0KEpocQ1H1A65JKeSZBcZ.HQ",
};

TEST(CheckPassword, UnverifiedHashedFormsAcceptNoPasswordNotEvenTheirOwnText) {
  for (const char* stored : unverified_secret) {
    EXPECT_TRUE(in_hashed_form(stored)) << stored;
    EXPECT_EQ(check_password(stored, bytes_of(stored)), 0) << "its own text: " << stored;
    EXPECT_EQ(check_password(stored, bytes_of("secret")), 0) << "the password: " << stored;
    EXPECT_EQ(check_password(stored, bytes_of("")), 0) << "no password: " << stored;
  }
}

TEST(InHashedForm, TellsSchemeMarksFromClearText) {
  const struct {
    const char* stored;
    bool hashed;
  } marks[] = {
      {"{MD5}Xr4ilOzQ4PCOq3aQ0qbuaQ==", true},
      {"{md5}x", true},
      {"{A}", true},
      {"{PBKDF2-SHA512}x", true},
      {"{0}x", true},
      {"$1$abcdefgh$x", true},
      {"$2b$05$x", true},
      {"$y$j9T$x", true},
      {"$a$", true},
      {"$sha1$x", true},
      {"", false},
      {"{", false},
      {"{}", false},
      {"{}x", false},
      {"{SSHA", false},
      {"{S A}x", false},
      {"{S_A}x", false},
      {"{S.A}x", false},
      {" {SSHA}x", false},
      {"x{SSHA}", false},
      {"$", false},
      {"$$", false},
      {"$6", false},
      {"$6.x$", false},
      {"6$x$", false},
      {"abNANd1rDfiNc", false},
      {"hunter2", false},
  };
  for (const auto& m : marks) EXPECT_EQ(in_hashed_form(m.stored), m.hashed) << m.stored;
}

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
