// The small programs, run as a user runs them.
#include <gtest/gtest.h>

#include "tests/harness.h"

using harness::program_path;
using harness::run_program;
using harness::to_hex;

TEST(Bindemit, WritesTheAnonymousBindRequestWhateverTheArguments) {
  const std::string expected = "30 0c 02 01 01 60 07 02 01 03 04 00 80 00";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"-x", "ignored"}}) {
    harness::run_result r = run_program(program_path("bindemit"), args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(to_hex(r.out), expected);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Bindemit, SilentWhenStandardOutputIsClosed) {
  harness::run_result r = run_program("/bin/sh", {"-c", program_path("bindemit") + " >&-"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST(Pwhash, PrintsTheMd5FormOfEachArgumentInOrder) {
  // Digests from RFC 1321's test suite and a common password.
  harness::run_result r = run_program(program_path("pwhash"), {"secret", "", "abc", "message digest"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "secret -> {MD5}Xr4ilOzQ4PCOq3aQ0qbuaQ==\n"
            " -> {MD5}1B2M2Y8AsgTpgAmY7PhCfg==\n"
            "abc -> {MD5}kAFQmDzST7DWlj99KOF/cg==\n"
            "message digest -> {MD5}+WtpfXy3k41SWi8xqvFh0A==\n");
  EXPECT_EQ(r.err, "");
}

TEST(Pwhash, NoArgumentsPrintNothing) {
  harness::run_result r = run_program(program_path("pwhash"), {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST(Pwhash, LongArgumentIsHashedWhole) {
  // Longer than the 8192-byte output buffer: the line must still be whole.
  std::string password(10000, 'p');
  harness::run_result r = run_program(program_path("pwhash"), {password});
  ASSERT_EQ(r.out.size(), password.size() + 34);
  EXPECT_EQ(r.out.substr(0, password.size()), password);
  EXPECT_EQ(r.out.substr(password.size(), 9), " -> {MD5}");
}
