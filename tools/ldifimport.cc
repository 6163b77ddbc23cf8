// ldifimport: builds a data file from LDIF.
//
//   ldifimport [-n] [-i attr[:type]] [-h attr[:buckets]] [-c attr] OUTPUT [INPUT.ldif ...]
//
// Reads the entries of the inputs (standard input when there are none) and
// writes OUTPUT atomically, so that a running server sees either the old or
// the new file and reloads the new one. Without -n a hash index on dn (for
// binds and updates), a sorted index on objectClass and the usual
// case-insensitive directory attributes come for free; the options add to
// them. Exit status: 0 done, 1 an input or output error (OUTPUT untouched),
// 2 a bad command line.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/number_text.h"
#include "core/out_buffer.h"
#include "store/data_writer.h"
#include "store/ldif_reader.h"

// Attributes whose values the usual schemas compare without regard to case.
// dn stays case-sensitive: the journal shadows records by the exact bytes
// of their DN, so a DN index that ignored case would find records that the
// journal could not shadow.
static const char* const default_nocase[] = {
    "objectClass", "cn", "sn", "givenName", "displayName", "initials", "uid", "mail", "ou", "o",
    "dc", "c", "l", "st", "street", "postalAddress", "postalCode", "postOfficeBox",
    "physicalDeliveryOfficeName", "title", "description", "businessCategory", "departmentNumber",
    "employeeNumber", "employeeType", "telephoneNumber", "facsimileTelephoneNumber", "homePhone",
    "mobile", "pager", "roomNumber", "carLicense", "preferredLanguage", "gecos", "memberUid",
};

static constexpr uint64_t progress_every = 65536;

static const char usage_text[] =
    "usage: ldifimport [-n] [-i attr[:type]] [-h attr[:buckets]] [-c attr] OUTPUT [INPUT.ldif "
    "...]\n";

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
  const auto hundredths = static_cast<uint64_t>(seconds * 100 + 0.5);
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

int main(int argc, char** argv) {
  const double started = now_seconds();
  bool defaults = true;
  index_request* requests =
      static_cast<index_request*>(calloc(static_cast<size_t>(argc), sizeof(index_request)));
  char** nocase = static_cast<char**>(calloc(static_cast<size_t>(argc), sizeof(char*)));
  if (requests == nullptr || nocase == nullptr) die(1, "out of memory");
  int request_count = 0;
  int nocase_count = 0;

  // Options may stand anywhere among OUTPUT and the inputs (getopt
  // permutes them); "--" ends them.
  opterr = 0;
  for (int opt; (opt = getopt(argc, argv, ":ni:h:c:")) != -1;) {
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
      buf_put_strs(&std_err, "ldifimport: option -", name, " needs an attribute\n", nullptr);
      usage();
    }
    char* value = optarg;
    if (opt == 'c') {
      nocase[nocase_count++] = value;
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
