#include "core/dn.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

struct Case {
  std::string in;
  std::string want;
};

const Case kCases[] = {
    {"CN=Foo; OU=Bar", "cn=Foo,ou=Bar"},
    {"CN=Foo,OU=Bar,DC=Example", "cn=Foo,ou=Bar,dc=Example"},
    {"cn=foo", "cn=foo"},
    {"", ""},
    // Spaces around "=" and before a separator stay.
    {"CN = Foo", "cn = Foo"},
    {"CN=Foo ,OU=Bar", "cn=Foo ,ou=Bar"},
    {" CN=x", " cn=x"},
    // Every space directly after a separator goes, also at the end.
    {"CN=Foo,    OU=Bar", "cn=Foo,ou=Bar"},
    {"CN=Foo, ", "cn=Foo,"},
    {"CN=Foo;   ", "cn=Foo,"},
    {"CN=Foo,", "cn=Foo,"},
    {",,;", ",,,"},
    {"A=B; ;C=D", "a=B,,c=D"},
    // Only spaces are dropped, not other white space.
    {"CN=a,\tOU=b", "cn=a,\tou=b"},
    // A second "=" belongs to the value.
    {"CN=A=B,DC=X", "cn=A=B,dc=X"},
    // Without "=" the whole component counts as a type.
    {"CN", "cn"},
    {"FOO,BAR=X", "foo,bar=X"},
    // Only "A"-"Z" are lowercased.
    {"\xC4XZ=\xC4", "\xC4xz=\xC4"},
    {"[@]^=Q", "[@]^=Q"},
    {"C\0N=X"s, "c\0n=X"s},
};

TEST(CanonicalDn, SeparateDestination) {
  for (const Case& c : kCases) {
    std::string out(c.in.size() + 4, '#');
    const int32_t n = canonical_dn(out.data(), c.in.data(), static_cast<int32_t>(c.in.size()));
    ASSERT_GE(n, 0);
    EXPECT_EQ(out.substr(0, static_cast<size_t>(n)), c.want) << testing::PrintToString(c.in);
    const size_t end = static_cast<size_t>(n);
    EXPECT_EQ(out.substr(end), std::string(out.size() - end, '#'))
        << "wrote past the result for " << testing::PrintToString(c.in);
  }
}

TEST(CanonicalDn, InPlace) {
  for (const Case& c : kCases) {
    std::string buf = c.in;
    const int32_t n = canonical_dn(buf.data(), buf.data(), static_cast<int32_t>(buf.size()));
    ASSERT_GE(n, 0);
    EXPECT_EQ(buf.substr(0, static_cast<size_t>(n)), c.want) << testing::PrintToString(c.in);
  }
}

TEST(CanonicalDn, LengthLimitsInput) {
  struct LenCase {
    std::string_view in;
    int32_t len;
    std::string_view want;
  };
  const LenCase cases[] = {
      {"CN=Foo,   OU=x", 9, "cn=Foo,"},  // input ends within the spaces
      {"CN=Foo,   OU=x", 11, "cn=Foo,o"},
      {"CN=Foo", 2, "cn"},
      {"CN=Foo", 0, ""},
      {"CN=Foo", -1, ""},
      {"CN=Foo", INT32_MIN, ""},
  };
  for (const LenCase& c : cases) {
    char out[16];
    std::fill(std::begin(out), std::end(out), '#');
    const int32_t n = canonical_dn(out, c.in.data(), c.len);
    ASSERT_GE(n, 0);
    EXPECT_EQ(std::string_view(out, static_cast<size_t>(n)), c.want) << c.in << " len " << c.len;
    EXPECT_EQ(out[n], '#');
  }
}

}  // namespace
