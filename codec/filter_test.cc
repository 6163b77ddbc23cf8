#include "codec/filter.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "codec/ber.h"
#include "core/out_buffer.h"
#include "tests/codec_bytes.h"

namespace {

struct FilterFree {
  void operator()(Filter* f) const { free_filter(f); }
};
using FilterPtr = std::unique_ptr<Filter, FilterFree>;

std::string EncodeFilter(const Filter* f) {
  return Encoded([&](char* d) { return ldap_encode_filter(d, f); });
}

// The text form, checking that counting and writing agree; "<-1>" when the
// call fails.
std::string Text(const Filter* f) {
  const int64_t counted = filter_to_text(nullptr, f);
  std::string buf(static_cast<size_t>(counted > 0 ? counted : 0) + 8, '\xA5');
  const int64_t written = filter_to_text(buf.data(), f);
  EXPECT_EQ(written, counted);
  if (written < 0) return "<-1>";
  for (size_t i = static_cast<size_t>(written); i < buf.size(); ++i)
    EXPECT_EQ(buf[i], '\xA5') << "byte " << i << " written past the returned size";
  buf.resize(static_cast<size_t>(written));
  return buf;
}

std::string Str(counted_str s) { return s.len ? std::string(s.bytes, s.len) : std::string(); }

// A structural rendering written independently of the text forms; checks
// the fields a decoded node must leave empty along the way.
std::string Dump(const Filter* f) {
  static const char* const names[] = {"and", "or", "not",     "eq",    "sub",
                                      "ge",  "le", "present", "approx"};
  if (f->choice > filter_approx) return "choice" + std::to_string(f->choice);
  EXPECT_EQ(f->attribute_offset, 0u);
  EXPECT_EQ(f->attribute_flags, 0u);
  if (f->choice != filter_substrings) {
    EXPECT_EQ(f->substrings, nullptr);
  }
  std::string s = names[f->choice];
  switch (f->choice) {
    case filter_and:
    case filter_or:
    case filter_not:
      EXPECT_EQ(f->attribute.len, 0u);
      EXPECT_EQ(f->value.len, 0u);
      s += "{";
      for (const Filter* c = f->children; c; c = c->next) {
        if (c != f->children) s += ",";
        s += Dump(c);
      }
      return s + "}";
    case filter_substrings: {
      EXPECT_EQ(f->children, nullptr);
      EXPECT_EQ(f->value.len, 0u);
      static const char* const kinds[] = {"initial", "any", "final"};
      s += "(" + Str(f->attribute) + ";";
      for (const filter_substring* p = f->substrings; p; p = p->next) {
        if (p != f->substrings) s += ",";
        s += (p->kind <= 2 ? kinds[p->kind] : "?") + std::string(":") + Str(p->value);
      }
      return s + ")";
    }
    case filter_present:
      EXPECT_EQ(f->children, nullptr);
      EXPECT_EQ(f->value.len, 0u);
      return s + "(" + Str(f->attribute) + ")";
    default:
      EXPECT_EQ(f->children, nullptr);
      return s + "(" + Str(f->attribute) + "," + Str(f->value) + ")";
  }
}

// ---- Client-built trees (heap nodes, so free_filter releases them) ---------

counted_str Cs(const char* text) { return counted_str{std::strlen(text), text}; }

Filter* Leaf(uint32_t choice, const char* attribute, const char* value = "") {
  auto* f = static_cast<Filter*>(std::calloc(1, sizeof(Filter)));
  f->choice = choice;
  f->attribute = Cs(attribute);
  f->value = Cs(value);
  return f;
}

Filter* Op(uint32_t choice, std::initializer_list<Filter*> children) {
  auto* f = static_cast<Filter*>(std::calloc(1, sizeof(Filter)));
  f->choice = choice;
  Filter** tail = &f->children;
  for (Filter* c : children) {
    *tail = c;
    tail = &c->next;
  }
  return f;
}

Filter* Sub(const char* attribute, std::initializer_list<std::pair<uint32_t, const char*>> parts) {
  Filter* f = Leaf(filter_substrings, attribute);
  filter_substring** tail = &f->substrings;
  for (const auto& [kind, value] : parts) {
    auto* s = static_cast<filter_substring*>(std::calloc(1, sizeof(filter_substring)));
    s->kind = kind;
    s->value = Cs(value);
    *tail = s;
    tail = &s->next;
  }
  return f;
}

// n levels of the constructed tag `identifier` around `inner`.
std::string Nest(const std::string& inner, int n, std::initializer_list<char> identifiers) {
  std::string s = inner;
  const std::vector<char> ids(identifiers);
  for (int i = 0; i < n; ++i) {
    char len[10];
    const uint64_t l = ber_encode_length(len, s.size());
    s = std::string(1, ids[static_cast<size_t>(i) % ids.size()]) + std::string(len, l) + s;
  }
  return s;
}

int CountNesting(const Filter* f) {
  int n = 0;
  while (f && f->choice <= filter_not) {
    ++n;
    f = f->children;
  }
  return n;
}

// Runs fn on a thread with a small stack: a walk that recursed once per
// nesting level or per list element of a large input would overflow it.
template <typename Fn>
void RunOnSmallStack(Fn fn, size_t stack_size = 128 * 1024) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_size), 0);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<Fn*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, trampoline, &fn), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

// Everything trace_filter writes on fd 2 during the call.
std::string CaptureTrace(const Filter* f) {
  buf_flush(&std_err);
  std::fflush(stderr);
  FILE* tmp = std::tmpfile();
  EXPECT_NE(tmp, nullptr);
  if (!tmp) return "";
  const int saved = dup(2);
  dup2(fileno(tmp), 2);
  trace_filter(f);
  const uint64_t left_buffered = std_err.pos;
  dup2(saved, 2);
  close(saved);
  EXPECT_EQ(left_buffered, 0u) << "trace_filter must flush";
  std::string out;
  std::rewind(tmp);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, tmp)) > 0) out.append(chunk, n);
  std::fclose(tmp);
  return out;
}

// ---- Decoding ----------------------------------------------------------------

struct DecodeCase {
  const char* name;
  const char* in;
  uint64_t size;      // 0: fails
  const char* tree;   // Dump of the result
  const char* again;  // encode(decode(in)); null: the consumed bytes themselves
};

// Leaves used below: A3 07 04 02 'cn' 04 01 'a' is cn=a (9 bytes), 87 02 'cn'
// is cn present (4 bytes).
const DecodeCase kDecodeCases[] = {
    // and, or: lists come out reversed; an empty one has no children.
    {"empty and", "A0 00", 2, "and{}", nullptr},
    {"empty or", "A1 00", 2, "or{}", nullptr},
    {"and of two", "A0 12 A3 07 04 02 'cn' 04 01 'a' A3 07 04 02 'sn' 04 01 'b'", 20,
     "and{eq(sn,b),eq(cn,a)}", "A0 12 A3 07 04 02 'sn' 04 01 'b' A3 07 04 02 'cn' 04 01 'a'"},
    {"or of three", "A1 0C 87 02 'cn' 87 02 'sn' 87 02 'ou'", 14,
     "or{present(ou),present(sn),present(cn)}", "A1 0C 87 02 'ou' 87 02 'sn' 87 02 'cn'"},
    {"and of one", "A0 04 87 02 'cn'", 6, "and{present(cn)}", nullptr},
    // The lenient rule: a later operand that does not decode ends the list,
    // and the size covers only what was decoded.
    {"and, good then garbage", "A0 0B A3 07 04 02 'cn' 04 01 'a' FF FF", 11, "and{eq(cn,a)}",
     "A0 09 A3 07 04 02 'cn' 04 01 'a'"},
    {"or, good then unsupported then good", "A1 0A 87 02 'cn' A9 00 87 02 'sn'", 6,
     "or{present(cn)}", "A1 04 87 02 'cn'"},
    {"and, first operand unsupported", "A0 02 A9 00", 0, nullptr, nullptr},
    {"and, first operand garbage", "A0 02 FF FF", 0, nullptr, nullptr},
    {"or, operand runs past the or", "A1 04 87 03 'cn' 'x'", 0, nullptr, nullptr},
    // not holds exactly one filter.
    {"not", "A2 04 87 02 'cn'", 6, "not{present(cn)}", nullptr},
    {"not of or", "A2 0B A1 09 A3 07 04 02 'cn' 04 01 'a'", 13, "not{or{eq(cn,a)}}", nullptr},
    {"not holding two", "A2 08 87 02 'cn' 87 02 'sn'", 0, nullptr, nullptr},
    {"empty not", "A2 00", 0, nullptr, nullptr},
    {"not of a bad filter", "A2 02 A9 00", 0, nullptr, nullptr},
    {"not of an and that stops short", "A2 08 A0 06 87 02 'cn' FF FF", 0, nullptr, nullptr},
    // AttributeValueAssertions.
    {"equalityMatch", "A3 07 04 02 'cn' 04 01 'a'", 9, "eq(cn,a)", nullptr},
    {"greaterOrEqual", "A5 07 04 02 'cn' 04 01 'a'", 9, "ge(cn,a)", nullptr},
    {"lessOrEqual", "A6 07 04 02 'cn' 04 01 'a'", 9, "le(cn,a)", nullptr},
    {"approxMatch", "A8 07 04 02 'cn' 04 01 'a'", 9, "approx(cn,a)", nullptr},
    {"empty strings", "A3 04 04 00 04 00", 6, "eq(,)", nullptr},
    {"AVA with trailing bytes", "A3 09 04 02 'cn' 04 01 'a' 01 01", 9, "eq(cn,a)",
     "A3 07 04 02 'cn' 04 01 'a'"},
    {"AVA without value", "A3 04 04 02 'cn'", 0, nullptr, nullptr},
    {"AVA attribute not OCTET STRING", "A3 07 80 02 'cn' 04 01 'a'", 0, nullptr, nullptr},
    {"AVA value not OCTET STRING", "A3 07 04 02 'cn' 30 01 'a'", 0, nullptr, nullptr},
    {"AVA value past the AVA", "A3 06 04 02 'cn' 04 01 'a'", 0, nullptr, nullptr},
    // present: either form.
    {"present primitive", "87 02 63 6E", 4, "present(cn)", nullptr},
    {"present constructed", "A7 02 63 6E", 4, "present(cn)", "87 02 63 6E"},
    {"present empty", "87 00", 2, "present()", nullptr},
    {"long-form tag number", "BF 03 07 04 02 'cn' 04 01 'a'", 10, "eq(cn,a)",
     "A3 07 04 02 'cn' 04 01 'a'"},
    // substrings.
    {"substrings initial and final", "A4 0E 04 02 'cn' 30 08 80 02 'ab' 82 02 'yz'", 16,
     "sub(cn;final:yz,initial:ab)", "A4 0E 04 02 'cn' 30 08 82 02 'yz' 80 02 'ab'"},
    {"substrings of every kind", "A4 0F 04 02 'cn' 30 09 80 01 'a' 81 01 'm' 82 01 'z'", 17,
     "sub(cn;final:z,any:m,initial:a)", "A4 0F 04 02 'cn' 30 09 82 01 'z' 81 01 'm' 80 01 'a'"},
    {"substring universal 1 is any", "A4 0A 04 02 'cn' 30 04 01 02 'ab'", 12, "sub(cn;any:ab)",
     "A4 0A 04 02 'cn' 30 04 81 02 'ab'"},
    {"substring constructed [2] is final", "A4 0A 04 02 'cn' 30 04 A2 02 'yz'", 12,
     "sub(cn;final:yz)", "A4 0A 04 02 'cn' 30 04 82 02 'yz'"},
    {"substrings empty", "A4 06 04 02 'cn' 30 00", 8, "sub(cn;)", nullptr},
    {"substring tag 3", "A4 0A 04 02 'cn' 30 04 83 02 'ab'", 0, nullptr, nullptr},
    {"substring tag 3 after a good one", "A4 0E 04 02 'cn' 30 08 80 02 'ab' 83 02 'yz'", 0,
     nullptr, nullptr},
    {"substrings SEQUENCE short of the end", "A4 07 04 02 'cn' 30 00 00", 0, nullptr, nullptr},
    {"substrings SEQUENCE past the end", "A4 07 04 02 'cn' 30 02 80 00", 0, nullptr, nullptr},
    {"substring element past the end", "A4 08 04 02 'cn' 30 02 80 05", 0, nullptr, nullptr},
    {"substrings as SET", "A4 06 04 02 'cn' 31 00", 0, nullptr, nullptr},
    {"substrings without SEQUENCE", "A4 04 04 02 'cn'", 0, nullptr, nullptr},
    {"substrings type not OCTET STRING", "A4 06 80 02 'cn' 30 00", 0, nullptr, nullptr},
    // Identifiers that are not filters.
    {"extensibleMatch", "A9 00", 0, nullptr, nullptr},
    {"extensibleMatch long form", "BF 09 00", 0, nullptr, nullptr},
    {"tag 10", "AA 00", 0, nullptr, nullptr},
    {"equalityMatch primitive", "83 04 04 00 04 00", 0, nullptr, nullptr},
    {"and primitive", "80 00", 0, nullptr, nullptr},
    {"not primitive", "82 00", 0, nullptr, nullptr},
    {"universal class", "23 07 04 02 'cn' 04 01 'a'", 0, nullptr, nullptr},
    {"application class", "63 07 04 02 'cn' 04 01 'a'", 0, nullptr, nullptr},
    {"private class", "E3 07 04 02 'cn' 04 01 'a'", 0, nullptr, nullptr},
    // Framing.
    {"content past end", "A0 05 87 02 'cn'", 0, nullptr, nullptr},
    {"indefinite length", "A0 80 00 00", 0, nullptr, nullptr},
    {"no length", "A0", 0, nullptr, nullptr},
    {"empty input", "", 0, nullptr, nullptr},
};

TEST(FilterDecode, Table) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    Input in(Hex(c.in));
    Filter* raw = reinterpret_cast<Filter*>(&in);  // must be overwritten
    const uint64_t n = ldap_decode_filter(in.begin(), in.end(), &raw);
    FilterPtr f(raw);
    EXPECT_EQ(n, c.size);
    if (c.size == 0) {
      EXPECT_EQ(raw, nullptr);
      continue;
    }
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->next, nullptr);
    EXPECT_EQ(Dump(raw), c.tree);
  }
}

TEST(FilterDecode, ReEncoding) {
  for (const DecodeCase& c : kDecodeCases) {
    if (c.size == 0) continue;
    SCOPED_TRACE(c.name);
    Input in(Hex(c.in));
    Filter* raw = nullptr;
    ASSERT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), c.size);
    FilterPtr f(raw);
    const std::string again = EncodeFilter(raw);
    const std::string want = c.again ? Hex(c.again) : std::string(in.begin(), c.size);
    EXPECT_EQ(ToHex(again), ToHex(want));

    // A second decode reverses the lists once more, so two rounds give the
    // canonical encoding back.
    Input in2(again);
    Filter* raw2 = nullptr;
    ASSERT_EQ(ldap_decode_filter(in2.begin(), in2.end(), &raw2), again.size());
    FilterPtr f2(raw2);
    const std::string twice = EncodeFilter(raw2);
    Input in3(twice);
    Filter* raw3 = nullptr;
    ASSERT_EQ(ldap_decode_filter(in3.begin(), in3.end(), &raw3), twice.size());
    FilterPtr f3(raw3);
    EXPECT_EQ(ToHex(EncodeFilter(raw3)), ToHex(again));
  }
}

TEST(FilterDecode, StringsPointIntoTheInput) {
  Input in(Hex("A0 14 A3 07 04 02 'cn' 04 01 'a' A4 09 04 02 'sn' 30 03 81 01 'b'"));
  Filter* raw = nullptr;
  ASSERT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), in.size());
  FilterPtr f(raw);
  const Filter* sub = raw->children;
  const Filter* eq = sub->next;
  EXPECT_EQ(eq->attribute.bytes, in.begin() + 6);
  EXPECT_EQ(eq->value.bytes, in.begin() + 10);
  EXPECT_EQ(sub->attribute.bytes, in.begin() + 15);
  EXPECT_EQ(sub->substrings->value.bytes, in.begin() + 21);
  EXPECT_EQ(sub->substrings->kind, substring_any);
}

// Every strict prefix of a good encoding is an element that does not fit:
// it must fail, read nothing past the prefix, and leak nothing.
TEST(FilterDecode, EveryTruncationFails) {
  for (const DecodeCase& c : kDecodeCases) {
    if (c.size == 0) continue;
    SCOPED_TRACE(c.name);
    const std::string whole = Hex(c.in);
    for (size_t k = 0; k < whole.size(); ++k) {
      SCOPED_TRACE(k);
      Input in(whole.substr(0, k));
      Filter* raw = nullptr;
      EXPECT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), 0u);
      EXPECT_EQ(raw, nullptr);
      free_filter(raw);
    }
  }
}

// Every single-byte change of every good encoding: whatever decodes must
// stay within its input and survive every walk; the sanitizer build checks
// the reads and the releases.
TEST(FilterDecode, SingleByteMutations) {
  const unsigned char replacements[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x7F,
                                        0x80, 0x81, 0x82, 0x9F, 0xA0, 0xFF};
  buf_flush(&std_err);
  for (const DecodeCase& c : kDecodeCases) {
    if (c.size == 0) continue;
    const std::string whole = Hex(c.in);
    for (size_t i = 0; i < whole.size(); ++i) {
      for (unsigned char r : replacements) {
        std::string m = whole;
        m[i] = static_cast<char>(r);
        Input in(m);
        Filter* raw = nullptr;
        const uint64_t n = ldap_decode_filter(in.begin(), in.end(), &raw);
        FilterPtr f(raw);
        EXPECT_EQ(n == 0, raw == nullptr);
        if (!raw) continue;
        EXPECT_LE(n, in.size());
        const std::string again = EncodeFilter(raw);
        EXPECT_LE(again.size(), n);  // never longer than the canonical part read
        EXPECT_GT(filter_to_text(nullptr, raw), 0);
      }
    }
  }
}

// A decoded node has its strings and nothing else set; the lists use one
// node per element.
TEST(FilterDecode, DecodedNodesStartUnresolved) {
  Input in(Hex("A1 0B 87 02 'cn' A3 05 04 01 'x' 04 00"));
  Filter* raw = nullptr;
  ASSERT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), in.size());
  FilterPtr f(raw);
  for (const Filter* c = raw->children; c; c = c->next) {
    EXPECT_EQ(c->attribute_offset, 0u);
    EXPECT_EQ(c->attribute_flags, 0u);
  }
  EXPECT_EQ(Dump(raw), "or{eq(x,),present(cn)}");
}

// ---- Nesting depth -------------------------------------------------------------

TEST(FilterDepth, LimitIsExact) {
  const std::string leaf = Hex("87 02 'cn'");
  struct Case {
    const char* name;
    std::initializer_list<char> ids;
  } cases[] = {
      {"nots", {'\xA2'}},
      {"ands", {'\xA0'}},
      {"ors", {'\xA1'}},
      {"mixed", {'\xA0', '\xA2', '\xA1'}},
  };
  const int max = static_cast<int>(filter_max_depth);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      Input in(Nest(leaf, max, c.ids));
      Filter* raw = nullptr;
      ASSERT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), in.size());
      FilterPtr f(raw);
      EXPECT_EQ(CountNesting(raw), max);
      // Everything that walks the tree handles the deepest one accepted.
      EXPECT_EQ(EncodeFilter(raw), std::string(in.begin(), in.size()));
      const std::string text = Text(raw);
      EXPECT_EQ(text.size(), 3u * max + 6);
      EXPECT_EQ(text.substr(text.size() - 6 - max), "(cn=*)" + std::string(max, ')'));
      const std::string trace = CaptureTrace(raw);
      EXPECT_EQ(trace.size(), 4u * max + 12);
    }
    {
      Input in(Nest(leaf, max + 1, c.ids));
      Filter* raw = reinterpret_cast<Filter*>(&in);
      EXPECT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), 0u);
      EXPECT_EQ(raw, nullptr);
    }
  }
}

// Too deep an operand fails the whole filter even where a malformed operand
// would only end the list: dropping it would change what the filter means.
TEST(FilterDepth, TooDeepOperandFailsTheWholeFilter) {
  const std::string leaf = Hex("87 02 'cn'");
  const std::string first = Hex("87 02 'sn'");
  const int max = static_cast<int>(filter_max_depth);
  for (char outer : {'\xA0', '\xA1'}) {
    {
      // The operand's nots sit at levels 2 to max: accepted.
      Input in(Nest(first + Nest(leaf, max - 1, {'\xA2'}), 1, {outer}));
      Filter* raw = nullptr;
      ASSERT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), in.size());
      FilterPtr f(raw);
      EXPECT_EQ(CountNesting(raw), max);
      EXPECT_EQ(Dump(raw->children->next), "present(sn)");
    }
    {
      Input in(Nest(first + Nest(leaf, max, {'\xA2'}), 1, {outer}));
      Filter* raw = reinterpret_cast<Filter*>(&in);
      EXPECT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), 0u);
      EXPECT_EQ(raw, nullptr);
    }
  }
}

// The largest request the server reads nests about two thousand nots; the
// decoder gives up at the limit instead of recursing through all of them.
TEST(FilterDepth, RequestSizedNestingFailsOnASmallStack) {
  std::string s = Hex("87 01 'a'");
  int levels = 0;
  while (Nest(s, 1, {'\xA2'}).size() <= 8192) {
    s = Nest(s, 1, {'\xA2'});
    ++levels;
  }
  ASSERT_GT(levels, 1500);
  Input in(s);
  uint64_t n = 1;
  Filter* raw = reinterpret_cast<Filter*>(&in);
  RunOnSmallStack([&] { n = ldap_decode_filter(in.begin(), in.end(), &raw); });
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(raw, nullptr);
}

// Lists are walked with loops: thousands of operands cost no stack.
TEST(FilterDepth, WideListsOnASmallStack) {
  std::string operands;
  int count = 0;
  while (operands.size() + 3 <= 8180) {
    operands += Hex("87 01");
    operands.push_back(static_cast<char>('a' + count % 26));
    ++count;
  }
  Input in(Nest(operands, 1, {'\xA0'}));
  uint64_t n = 0, encoded = 0, twice = 0;
  int64_t text = 0;
  int children = 0;
  std::string trace;
  RunOnSmallStack([&] {
    Filter* raw = nullptr;
    n = ldap_decode_filter(in.begin(), in.end(), &raw);
    if (!raw) return;
    for (const Filter* c = raw->children; c; c = c->next) ++children;
    std::string buf(ldap_encode_filter(nullptr, raw), '\0');
    encoded = ldap_encode_filter(buf.data(), raw);
    Filter* back = nullptr;
    twice = ldap_decode_filter(buf.data(), buf.data() + buf.size(), &back);
    free_filter(back);
    text = filter_to_text(nullptr, raw);
    trace = CaptureTrace(raw);
    free_filter(raw);
  });
  EXPECT_EQ(n, in.size());
  EXPECT_EQ(children, count);
  EXPECT_EQ(encoded, in.size());
  EXPECT_EQ(twice, in.size());
  EXPECT_EQ(text, 3 + 5 * count);
  EXPECT_EQ(trace.size(), 12u * count + 3);
}

// free_filter keeps no stack per level, so even a client-built tree far
// deeper than the decoder accepts is released.
TEST(FilterFree, DeepClientTreeOnASmallStack) {
  Filter* root = Leaf(filter_present, "cn");
  for (int i = 0; i < 200000; ++i) root = Op(i % 3, {root});
  Filter* second = Sub("sn", {{substring_initial, "a"}, {substring_final, "b"}});
  root->children->next = second;  // siblings at depth two, substrings below
  RunOnSmallStack([&] { free_filter(root); });
  free_filter(nullptr);
}

// ---- Encoding ------------------------------------------------------------------

TEST(FilterEncode, ExactBytes) {
  struct Case {
    const char* name;
    Filter* tree;
    const char* want;
  } cases[] = {
      {"substrings", Sub("cn", {{substring_initial, "ab"}}), "A4 0A 04 02 63 6E 30 04 80 02 61 62"},
      {"and of two present",
       Op(filter_and, {Leaf(filter_present, "cn"), Leaf(filter_present, "sn")}),
       "A0 08 87 02 63 6E 87 02 73 6E"},
      {"not", Op(filter_not, {Leaf(filter_equality, "cn", "a")}),
       "A2 09 A3 07 04 02 'cn' 04 01 'a'"},
      {"empty or", Op(filter_or, {}), "A1 00"},
      {"greaterOrEqual", Leaf(filter_greater_or_equal, "cn", "a"), "A5 07 04 02 'cn' 04 01 'a'"},
      {"lessOrEqual", Leaf(filter_less_or_equal, "cn", "a"), "A6 07 04 02 'cn' 04 01 'a'"},
      {"approxMatch", Leaf(filter_approx, "cn", "a"), "A8 07 04 02 'cn' 04 01 'a'"},
      {"substrings without substrings", Sub("cn", {}), "A4 06 04 02 'cn' 30 00"},
      {"substrings in list order",
       Sub("cn", {{substring_final, "z"}, {substring_any, "m"}, {substring_initial, "a"}}),
       "A4 0F 04 02 'cn' 30 09 82 01 'z' 81 01 'm' 80 01 'a'"},
      {"nested",
       Op(filter_and, {Op(filter_or, {Leaf(filter_present, "a"), Leaf(filter_present, "b")}),
                       Op(filter_not, {Leaf(filter_present, "c")})}),
       "A0 0D A1 06 87 01 'a' 87 01 'b' A2 03 87 01 'c'"},
      {"unknown choice ends the list",
       Op(filter_and,
          {Leaf(filter_present, "cn"), Leaf(12, "x", "y"), Leaf(filter_present, "sn")}),
       "A0 04 87 02 'cn'"},
      {"extensibleMatch encodes as nothing", Leaf(9, "x", "y"), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FilterPtr f(c.tree);
    EXPECT_EQ(ToHex(EncodeFilter(c.tree)), ToHex(Hex(c.want)));
  }
  EXPECT_EQ(ldap_encode_filter(nullptr, nullptr), 0u);
}

// A node encodes together with the nodes after it through next.
TEST(FilterEncode, FollowingNodes) {
  FilterPtr f(Leaf(filter_present, "cn"));
  f->next = Op(filter_not, {Leaf(filter_present, "sn")});
  f->next->next = Leaf(filter_equality, "o", "x");
  EXPECT_EQ(ToHex(EncodeFilter(f.get())),
            ToHex(Hex("87 02 'cn' A2 04 87 02 'sn' A3 06 04 01 'o' 04 01 'x'")));
  EXPECT_EQ(ToHex(EncodeFilter(f->next)), ToHex(Hex("A2 04 87 02 'sn' A3 06 04 01 'o' 04 01 'x'")));
}

// Contents of 128 bytes and more take long-form lengths, so the header
// written in front grows and everything behind it moves further.
TEST(FilterEncode, LongContents) {
  const std::string big(200, 'v');
  FilterPtr f(Op(filter_and, {Leaf(filter_equality, "cn", big.c_str()),
                              Sub("sn", {{substring_any, big.c_str()}}),
                              Leaf(filter_present, big.c_str())}));
  const std::string eq = Hex("A3 81 CF 04 02 'cn' 04 81 C8") + big;
  const std::string sub = Hex("A4 81 D2 04 02 'sn' 30 81 CB 81 81 C8") + big;
  const std::string present = Hex("87 81 C8") + big;
  const std::string content = eq + sub + present;
  ASSERT_EQ(content.size(), 210u + 213u + 203u);
  const std::string want = Hex("A0 82 02 72") + content;
  EXPECT_EQ(ToHex(EncodeFilter(f.get())), ToHex(want));

  Input in(want);
  Filter* raw = nullptr;
  ASSERT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), in.size());
  FilterPtr back(raw);
  EXPECT_EQ(Dump(raw), "and{present(" + big + "),sub(sn;any:" + big + "),eq(cn," + big + ")}");
}

// ---- Text form -----------------------------------------------------------------

TEST(FilterText, Table) {
  struct Case {
    const char* name;
    Filter* tree;
    const char* want;  // "<-1>": fails
  } cases[] = {
      {"present", Leaf(filter_present, "cn"), "(cn=*)"},
      {"not of equality", Op(filter_not, {Leaf(filter_equality, "cn", "a")}), "(!(cn=a))"},
      {"approxMatch", Leaf(filter_approx, "cn", "a"), "(cn~=a)"},
      {"greaterOrEqual", Leaf(filter_greater_or_equal, "cn", "a"), "(cn>=a)"},
      {"lessOrEqual", Leaf(filter_less_or_equal, "cn", "a"), "(cn<=a)"},
      {"empty and", Op(filter_and, {}), "(&)"},
      {"or", Op(filter_or, {Leaf(filter_present, "cn"), Leaf(filter_equality, "sn", "b")}),
       "(|(cn=*)(sn=b))"},
      {"substrings, a group each",
       Sub("cn", {{substring_initial, "ab"}, {substring_final, "yz"}}), "(cn=ab*)(cn=*yz)"},
      {"substrings any", Sub("cn", {{substring_any, "m"}}), "(cn=*m*)"},
      {"substrings none", Sub("cn", {}), "()"},
      {"no escaping", Leaf(filter_equality, "cn", "a(*)\\"), "(cn=a(*)\\)"},
      {"unknown choice", Leaf(9, "cn", "a"), "<-1>"},
      {"unknown choice below", Op(filter_and, {Leaf(filter_present, "cn"), Leaf(12, "x", "y")}),
       "<-1>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FilterPtr f(c.tree);
    EXPECT_EQ(Text(c.tree), c.want);
  }
  FilterPtr six(Leaf(filter_present, "cn"));
  EXPECT_EQ(filter_to_text(nullptr, six.get()), 6);
  // Only the node itself is printed, not the nodes after it.
  six->next = Leaf(filter_present, "sn");
  EXPECT_EQ(Text(six.get()), "(cn=*)");
}

TEST(FilterText, DecodedListsPrintInListOrder) {
  Input in(Hex("A0 12 A3 07 04 02 'cn' 04 01 'a' A3 07 04 02 'sn' 04 01 'b'"));
  Filter* raw = nullptr;
  ASSERT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), in.size());
  FilterPtr f(raw);
  EXPECT_EQ(Text(raw), "(&(sn=b)(cn=a))");
}

// ---- Trace form ----------------------------------------------------------------

TEST(FilterTrace, Decoded) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"A0 12 A3 07 04 02 'cn' 04 01 'a' A3 07 04 02 'sn' 04 01 'b'", "&([sn == b],[cn == a])\n"},
      {"A1 04 87 02 'cn'", "|([cn \\exist ])\n"},
      {"A2 04 87 02 'cn'", "!([cn \\exist ])\n"},
      {"A0 00", "&()\n"},
      {"87 02 'cn'", "[cn \\exist ]"},
      {"A3 07 04 02 'cn' 04 01 'a'", "[cn == a]"},
      {"A5 07 04 02 'cn' 04 01 'a'", "[cn >= a]"},
      {"A6 07 04 02 'cn' 04 01 'a'", "[cn <= a]"},
      {"A8 07 04 02 'cn' 04 01 'a'", "[cn \\approx a]"},
      {"A4 0F 04 02 'cn' 30 09 80 01 'a' 81 01 'm' 82 01 'z'",
       "cn has suffix \"z\" and substr \"m\" and prefix \"a\""},
      {"A4 06 04 02 'cn' 30 00", "cn has "},
      {"A0 0E 87 02 'cn' A1 08 87 02 'sn' 87 02 'ou'",
       "&(|([ou \\exist ],[sn \\exist ])\n,[cn \\exist ])\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Input in(Hex(c.in));
    Filter* raw = nullptr;
    ASSERT_EQ(ldap_decode_filter(in.begin(), in.end(), &raw), in.size());
    FilterPtr f(raw);
    EXPECT_EQ(CaptureTrace(raw), c.want);
  }
}

TEST(FilterTrace, Built) {
  FilterPtr chain(Leaf(filter_equality, "a", "1"));
  chain->next = Leaf(filter_equality, "b", "2");
  EXPECT_EQ(CaptureTrace(chain.get()), "[a == 1],[b == 2]");
  FilterPtr extensible(Op(filter_not, {Leaf(9, "x", "y")}));
  EXPECT_EQ(CaptureTrace(extensible.get()), "!([extensible])\n");
}

}  // namespace
