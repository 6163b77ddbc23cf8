// ldifimport: builds a data file from LDIF.
//
//   ldifimport [-n] [-i attr[:type]] [-h attr[:buckets]] [-c attr] [-a ACLFILE]
//              OUTPUT [INPUT.ldif ...]
//
// Reads the entries of the inputs (standard input when there are none) and
// writes OUTPUT atomically, so that a running server sees either the old or
// the new file and reloads the new one. Without -n a hash index on dn (for
// binds and updates), a sorted index on objectClass and the usual
// case-insensitive directory attributes come for free; the options add to
// them. -a adds the access control lists of a text file (docs/ldifimport.md
// describes its lines; it reads what aclprint prints). Exit status: 0 done,
// 1 an input or output error (OUTPUT untouched), 2 a bad command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec/filter.h"
#include "codec/filter_parse.h"
#include "core/number_text.h"
#include "core/out_buffer.h"
#include "core/pod_array.h"
#include "store/data_writer.h"
#include "store/ldif_reader.h"

// Attributes whose values the usual schemas compare without regard to case.
// dn is among them: the usual naming attributes compare without case, and
// the server's journal files DNs the same way, so a bind or a change
// spelling a DN in other letter case finds the entry.
static const char* const default_nocase[] = {
    "dn", "objectClass", "cn", "sn", "givenName", "displayName", "initials", "uid", "mail", "ou", "o",
    "dc", "c", "l", "st", "street", "postalAddress", "postalCode", "postOfficeBox",
    "physicalDeliveryOfficeName", "title", "description", "businessCategory", "departmentNumber",
    "employeeNumber", "employeeType", "telephoneNumber", "facsimileTelephoneNumber", "homePhone",
    "mobile", "pager", "roomNumber", "carLicense", "preferredLanguage", "gecos", "memberUid",
};

static constexpr uint64_t progress_every = 65536;

static const char usage_text[] =
    "usage: ldifimport [-n] [-i attr[:type]] [-h attr[:buckets]] [-c attr] [-a ACLFILE] OUTPUT "
    "[INPUT.ldif ...]\n";

[[noreturn]] static void usage() {
  buf_put_flush(&std_err, usage_text, sizeof usage_text - 1);
  exit(2);
}

// "ldifimport: " and the pieces, then a newline; ends the process.
[[noreturn]] static void die(int status, const char* a, const char* b = nullptr,
                             const char* c = nullptr) {
  buf_flush(&std_out);
  buf_put_str(&std_err, "ldifimport: ");
  buf_put_str(&std_err, a);
  if (b != nullptr) buf_put_str(&std_err, b);
  if (c != nullptr) buf_put_str(&std_err, c);
  buf_put_newline_flush(&std_err);
  exit(status);
}

struct index_request {
  char kind;  // 'i' or 'h'
  char* attribute;
  int64_t parameter;  // sorted: type (-1 automatic); hash: buckets (0 automatic)
};

// Splits "attr:N" in place; -1 for a missing number, -2 for a bad one.
static int64_t split_number(char* arg, int64_t limit) {
  char* colon = strchr(arg, ':');
  if (colon == nullptr) return -1;
  uint64_t v = 0;
  const uint64_t n = scan_decimal(colon + 1, &v);
  if (n == 0 || colon[1 + n] != '\0' || v > static_cast<uint64_t>(limit)) return -2;
  *colon = '\0';
  return static_cast<int64_t>(v);
}

static double now_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static void put_seconds(out_buffer* b, double seconds) {
  const auto hundredths = static_cast<uint64_t>(std::llround(seconds * 100));
  buf_put_decimal(b, hundredths / 100);
  const char frac[3] = {'.', static_cast<char>('0' + hundredths / 10 % 10),
                        static_cast<char>('0' + hundredths % 10)};
  buf_put(b, frac, 3);
}

static void show_progress(uint64_t entries) {
  buf_put_str(&std_err, "\rldifimport: ");
  buf_put_decimal(&std_err, entries);
  buf_put_flush(&std_err, " entries", 8);
}

// Reads one input into the writer; ends the process on the first error.
static void import_file(data_writer* w, const char* path, uint64_t* entries, bool progress) {
  ldif_reader* r = ldif_reader_open(path);
  if (r == nullptr) die(1, path, ": ", strerror(errno));
  ldif_entry e{};
  int got;
  while ((got = ldif_reader_next(r, &e)) == 1) {
    bool ok = data_writer_begin_entry(w, e.dn.bytes, e.dn.len) == 0;
    for (uint64_t i = 0; ok && i < e.count; ++i) {
      const ldif_attribute& a = e.attributes[i];
      ok = data_writer_add_value(w, a.name.bytes, a.name.len, a.value.bytes, a.value.len) == 0;
    }
    ok = ok && data_writer_end_entry(w) == 0;
    if (!ok) {
      char line[24];
      line[format_decimal(line, e.line)] = '\0';
      buf_flush(&std_out);
      if (progress) buf_put_str(&std_err, "\n");
      buf_put_strs(&std_err, "ldifimport: ", path, ":", line, ": ", data_writer_error(w), nullptr);
      buf_put_newline_flush(&std_err);
      exit(1);
    }
    if (++*entries % progress_every == 0 && progress) show_progress(*entries);
  }
  if (got < 0) {
    if (progress) buf_put_str(&std_err, "\n");
    die(1, ldif_reader_error(r));
  }
  ldif_reader_close(r);
}

// ---- ACL files (-a) -------------------------------------------------------
//
// One ACL or one named filter per line, in the order the ACLs apply:
//   [N:] [acl] SUBJECT TARGET [NAMES] [RIGHTS]     an ACL
//   N: FILTER                                      names a filter [N]
// SUBJECT, TARGET and FILTER: self, * (or any), [N], or an LDAP filter in
// its string form. NAMES: * or attribute names separated by commas.
// RIGHTS: +letters and -letters of r, w, a, d, R. "#" lines and blank lines
// are skipped, and so are aclprint's "N Filters:" and "N ACLs:" lines, so
// that its listing reads back; the number of an ACL line is not used.

struct acl_label {
  uint64_t label;
  uint32_t index;  // in the writer's filter table
  bool self;       // the self marker
};

struct acl_reader {
  const char* path;
  uint64_t line_number;
  const char* line;  // start of the line being read
  char* storage;     // strings of one filter; as large as the file
  pod_array<acl_label> labels;
  pod_array<const char*> names;
  bool last_self;  // the filter read last is the self marker
  data_writer* w;
};

// "ldifimport: FILE:LINE: " and the pieces up to the first null one.
static void acl_message(const acl_reader* r, const char* a, const char* b, const char* c,
                        const char* d) {
  char line[24];
  line[format_decimal(line, r->line_number)] = '\0';
  buf_flush(&std_out);
  buf_put_strs(&std_err, "ldifimport: ", r->path, ":", line, ": ", a, b, c, d, nullptr);
  buf_put_newline_flush(&std_err);
}

[[noreturn]] static void acl_fail(const acl_reader* r, const char* a, const char* b = nullptr,
                                  const char* c = nullptr, const char* d = nullptr) {
  acl_message(r, a, b, c, d);
  exit(1);
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }
static bool ends_field(char c) { return c == '\0' || is_blank(c); }
static bool is_digit(char c) { return c >= '0' && c <= '9'; }

static char* skip_blanks(char* p) {
  while (is_blank(*p)) ++p;
  return p;
}

// True when p holds the word followed by a blank or the end of the line.
static bool word_is(const char* p, const char* word) {
  const uint64_t n = strlen(word);
  return strncmp(p, word, n) == 0 && ends_field(p[n]);
}

// A decimal number of at most nine digits; the first byte behind it.
static char* read_label(acl_reader* r, char* p, uint64_t* value) {
  uint64_t v = 0;
  char* q = p;
  for (; is_digit(*q); ++q) {
    if (q - p == 9) acl_fail(r, "filter number too large");
    v = v * 10 + static_cast<uint64_t>(*q - '0');
  }
  *value = v;
  return q;
}

// Children of and/or in reverse: the decoder lists them in the reverse of
// the stored order, so storing them reversed lets the server evaluate and
// aclprint print them in the written order.
static void reverse_operands(Filter* f) {
  for (; f != nullptr; f = f->next) {
    if (f->choice > filter_not) continue;
    Filter* reversed = nullptr;
    while (f->children != nullptr) {
      Filter* c = f->children;
      f->children = c->next;
      c->next = reversed;
      reversed = c;
    }
    f->children = reversed;
    reverse_operands(f->children);
  }
}

static uint32_t add_filter(acl_reader* r, const char* bytes, uint64_t n) {
  const int64_t index = data_writer_acl_filter(r->w, bytes, n);
  if (index < 0) acl_fail(r, data_writer_error(r->w));
  return static_cast<uint32_t>(index);
}

// A subject, target or named filter; *p moves behind it.
static uint32_t read_filter(acl_reader* r, char** p) {
  char* q = *p;
  uint32_t index;
  r->last_self = false;
  if (*q == '[') {
    uint64_t label;
    char* end = read_label(r, q + 1, &label);
    if (end == q + 1 || *end != ']') acl_fail(r, "expected a filter number in brackets: [N]");
    uint64_t k = 0;
    while (k < r->labels.count && r->labels[k].label != label) ++k;
    if (k == r->labels.count) {
      char text[24];
      text[format_decimal(text, label)] = '\0';
      acl_fail(r, "filter [", text, "] is not named on an earlier line");
    }
    index = r->labels[k].index;
    r->last_self = r->labels[k].self;
    q = end + 1;
  } else if (word_is(q, "self")) {
    index = add_filter(r, "self", 4);
    r->last_self = true;
    q += 4;
  } else if (word_is(q, "*") || word_is(q, "any")) {
    index = add_filter(r, "*", 2);  // "*" and its NUL
    q += *q == '*' ? 1 : 3;
  } else if (*q == '(') {
    Filter* f = nullptr;
    filter_parse_error error{};
    const uint64_t n = filter_from_text(q, q + strlen(q), r->storage, &f, &error);
    if (n == 0) {
      char column[24];
      column[format_decimal(column, static_cast<uint64_t>(q - r->line) + error.offset + 1)] = '\0';
      acl_fail(r, "bad filter at column ", column, ": ", error.message);
    }
    reverse_operands(f);
    const uint64_t size = ldap_encode_filter(nullptr, f);
    char* bytes = static_cast<char*>(malloc(size));
    if (bytes == nullptr) acl_fail(r, "out of memory");
    ldap_encode_filter(bytes, f);
    free_filter(f);
    index = add_filter(r, bytes, size);
    free(bytes);
    q += n;
  } else {
    acl_fail(r, "expected self, *, any, [N] or a filter in parentheses");
  }
  if (!ends_field(*q)) acl_fail(r, "unexpected text after a filter: ", q);
  *p = q;
  return index;
}

static bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '-' ||
         c == '.' || c == ';';
}

// The attribute list: "*" or names separated by commas, each ended with a
// NUL in place. Returns the first byte behind the field.
static char* read_names(acl_reader* r, char* p) {
  char* field = p;
  while (!ends_field(*p)) ++p;
  char* after = *p == '\0' ? p : p + 1;
  *p = '\0';
  // Every name non-empty, and "*" only alone.
  for (const char* name = field;;) {
    const char* end = name;
    while (*end != '\0' && *end != ',') ++end;
    bool ok = end > name;
    if (!(end == name + 1 && *name == '*'))
      for (const char* c = name; c < end && ok; ++c) ok = is_name_char(*c);
    if (!ok) acl_fail(r, "bad attribute list: ", field);
    if (*end == '\0') break;
    name = end + 1;
  }
  r->names.count = 0;
  for (char* name = field;;) {
    char* end = name;
    while (*end != '\0' && *end != ',') ++end;
    if (!r->names.push(name)) acl_fail(r, "out of memory");
    if (*end == '\0') return after;
    *end = '\0';
    name = end + 1;
  }
}

// Rights: groups of a sign and letters, in one field or several.
static char* read_rights(acl_reader* r, char* p, uint16_t* grant, uint16_t* deny) {
  static constexpr char letters[] = "rwadR";
  while (*p == '+' || *p == '-') {
    uint16_t* rights = *p == '+' ? grant : deny;
    char* sign = p++;
    for (; !ends_field(*p) && *p != '+' && *p != '-'; ++p) {
      const char* at = strchr(letters, *p);
      if (at == nullptr) {
        const char letter[2] = {*p, '\0'};
        acl_fail(r, "unknown right \"", letter, "\" (the rights are r, w, a, d and R)");
      }
      *rights = static_cast<uint16_t>(*rights | 1u << (at - letters));
    }
    if (p == sign + 1) acl_fail(r, "no rights after \"", *sign == '+' ? "+" : "-", "\"");
    p = skip_blanks(p);
  }
  return p;
}

static void read_acl_line(acl_reader* r, char* line) {
  r->line = line;
  char* p = skip_blanks(line);
  if (*p == '\0' || *p == '#') return;
  bool labelled = false;
  uint64_t label = 0;
  if (is_digit(*p)) {
    char* q = read_label(r, p, &label);
    if (*q == ':') {
      labelled = true;
      p = skip_blanks(q + 1);
    } else {
      // aclprint's count lines.
      q = skip_blanks(q);
      if (word_is(q, "Filters:") || word_is(q, "ACLs:")) {
        q = skip_blanks(q + (*q == 'F' ? 8 : 5));
        if (*q == '\0') return;
      }
      acl_fail(r, "expected \"N:\" or an ACL: ", p);
    }
  }
  const bool keyword = word_is(p, "acl");
  if (keyword) p = skip_blanks(p + 3);
  const uint32_t subject = read_filter(r, &p);
  const bool self_subject = r->last_self;
  p = skip_blanks(p);
  if (*p == '\0' || *p == '#') {
    if (!labelled || keyword) acl_fail(r, "an ACL needs a subject and a target");
    for (uint64_t k = 0; k < r->labels.count; ++k)
      if (r->labels[k].label == label) acl_fail(r, "filter number named twice");
    if (!r->labels.push(acl_label{label, subject, self_subject})) acl_fail(r, "out of memory");
    return;
  }
  const uint32_t target = read_filter(r, &p);
  p = skip_blanks(p);
  r->names.count = 0;
  if (*p != '\0' && *p != '#' && *p != '+' && *p != '-') p = skip_blanks(read_names(r, p));
  uint16_t grant = 0;
  uint16_t deny = 0;
  p = read_rights(r, p, &grant, &deny);
  if (*p != '\0' && *p != '#') acl_fail(r, "unexpected text: ", p);
  if (data_writer_acl_entry(r->w, subject, target, grant, deny, r->names.items, r->names.count) !=
      0)
    acl_fail(r, data_writer_error(r->w));
  // Written as asked, but worth a word: the bound client is never matched
  // against the self marker.
  if (self_subject)
    acl_message(r, "warning: a self subject never applies (use * or a filter)", nullptr, nullptr,
                nullptr);
}

// Reads the ACL file into the writer; ends the process on the first error.
static void import_acl_file(data_writer* w, const char* path) {
  const int fd = open(path, O_RDONLY);
  if (fd < 0) die(1, path, ": ", strerror(errno));
  struct stat st{};
  if (fstat(fd, &st) != 0) die(1, path, ": ", strerror(errno));
  const auto size = static_cast<uint64_t>(st.st_size);
  char* text = static_cast<char*>(malloc(size + 1));
  char* storage = static_cast<char*>(malloc(size + 1));
  if (text == nullptr || storage == nullptr) die(1, "out of memory");
  uint64_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, text + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die(1, path, ": ", strerror(errno));
    if (n == 0) break;
    got += static_cast<uint64_t>(n);
  }
  close(fd);
  text[got] = '\0';

  acl_reader r{};
  r.path = path;
  r.storage = storage;
  r.w = w;
  char* line = text;
  for (char* end = text + got; line < end;) {
    char* newline = static_cast<char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    char* stop = newline != nullptr ? newline : end;
    ++r.line_number;
    if (memchr(line, '\0', static_cast<size_t>(stop - line)) != nullptr)
      acl_fail(&r, "a NUL byte in the line");
    if (stop > line && stop[-1] == '\r') stop[-1] = '\0';
    *stop = '\0';
    read_acl_line(&r, line);
    line = stop + 1;
  }
  free(text);
  free(storage);
}

int main(int argc, char** argv) {
  const double started = now_seconds();
  bool defaults = true;
  index_request* requests =
      static_cast<index_request*>(calloc(static_cast<size_t>(argc), sizeof(index_request)));
  char** nocase = static_cast<char**>(calloc(static_cast<size_t>(argc), sizeof(char*)));
  char** acl_files = static_cast<char**>(calloc(static_cast<size_t>(argc), sizeof(char*)));
  if (requests == nullptr || nocase == nullptr || acl_files == nullptr) die(1, "out of memory");
  int request_count = 0;
  int nocase_count = 0;
  int acl_file_count = 0;

  // Options may stand anywhere among OUTPUT and the inputs (getopt
  // permutes them); "--" ends them.
  opterr = 0;
  for (int opt; (opt = getopt(argc, argv, ":ni:h:c:a:")) != -1;) {
    if (opt == 'n') {
      defaults = false;
      continue;
    }
    if (opt == '?') {
      const char name[3] = {'-', static_cast<char>(optopt), '\0'};
      buf_put_strs(&std_err, "ldifimport: unknown option ", name, "\n", nullptr);
      usage();
    }
    if (opt == ':') {
      const char name[2] = {static_cast<char>(optopt), '\0'};
      buf_put_strs(&std_err, "ldifimport: option -", name,
                   optopt == 'a' ? " needs a file\n" : " needs an attribute\n", nullptr);
      usage();
    }
    char* value = optarg;
    if (opt == 'c') {
      nocase[nocase_count++] = value;
      continue;
    }
    if (opt == 'a') {
      acl_files[acl_file_count++] = value;
      continue;
    }
    const int64_t p = split_number(value, opt == 'i' ? 1 : 0xffffffff);
    if (p == -2) {
      buf_put_strs(&std_err, "ldifimport: bad number in -", opt == 'i' ? "i " : "h ", value, "\n",
                   nullptr);
      usage();
    }
    requests[request_count++] =
        index_request{static_cast<char>(opt), value, opt == 'i' ? p : (p < 0 ? 0 : p)};
  }
  int k = optind;
  if (k >= argc) usage();
  const char* output = argv[k++];

  data_writer* w = data_writer_new();
  if (w == nullptr) die(1, "out of memory");
  if (defaults) {
    for (const char* a : default_nocase) data_writer_case_insensitive(w, a);
    data_writer_hash_index(w, "dn", 0);
    data_writer_sorted_index(w, "objectClass", -1);
  }
  for (int i = 0; i < nocase_count; ++i)
    if (data_writer_case_insensitive(w, nocase[i]) != 0) {
      buf_put_strs(&std_err, "ldifimport: -c ", nocase[i], ": ", data_writer_error(w), "\n",
                   nullptr);
      usage();
    }
  for (int i = 0; i < request_count; ++i) {
    const index_request& q = requests[i];
    const int r = q.kind == 'i'
                      ? data_writer_sorted_index(w, q.attribute, static_cast<int>(q.parameter))
                      : data_writer_hash_index(w, q.attribute, static_cast<uint32_t>(q.parameter));
    if (r != 0) {
      buf_put_strs(&std_err, "ldifimport: -", q.kind == 'i' ? "i " : "h ", q.attribute, ": ",
                   data_writer_error(w), "\n", nullptr);
      usage();
    }
  }

  // ACL files first: a mistake in one is reported before a long import.
  for (int i = 0; i < acl_file_count; ++i) import_acl_file(w, acl_files[i]);

  const bool progress = isatty(2) == 1;
  uint64_t entries = 0;
  if (k == argc) {
    import_file(w, "-", &entries, progress);
  } else {
    for (; k < argc; ++k) import_file(w, argv[k], &entries, progress);
  }
  if (progress) {
    show_progress(entries);
    buf_put_str(&std_err, ", writing ");
    buf_put_str(&std_err, output);
    buf_put_newline_flush(&std_err);
  }

  data_writer_stats stats{};
  if (data_writer_write(w, output, &stats) != 0) die(1, output, ": ", data_writer_error(w));
  data_writer_free(w);
  free(requests);
  free(nocase);
  free(acl_files);

  buf_put_strs(&std_out, output, ": ", nullptr);
  buf_put_decimal(&std_out, stats.entries);
  buf_put_str(&std_out, " entries, ");
  buf_put_decimal(&std_out, stats.attributes);
  buf_put_str(&std_out, " attributes, ");
  buf_put_decimal(&std_out, stats.indexes);
  buf_put_str(&std_out, " indexes, ");
  buf_put_decimal(&std_out, stats.bytes);
  buf_put_str(&std_out, " bytes, ");
  put_seconds(&std_out, now_seconds() - started);
  buf_put_str(&std_out, " seconds\n");
  buf_flush(&std_out);
  return 0;
}
