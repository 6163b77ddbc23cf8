// The parts of the ldapbench load generator that do not touch the network
// or processes: the requests it sends, the reading of whole LDAPMessages
// out of a byte stream, the checks of the answers, the keys file that the
// data generator writes, and the latency statistics.
//
// Requests are built with the project's codecs and returned as complete
// LDAPMessages, ready for one write.
#ifndef FERROWYN_BENCH_LDAPBENCH_PROTO_H_
#define FERROWYN_BENCH_LDAPBENCH_PROTO_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---- Requests -------------------------------------------------------------

// A simple BindRequest (version 3).
std::string bench_bind_request(int64_t id, std::string_view dn, std::string_view password);
// A SearchRequest, subtree scope, no limits, for the equality filter
// (attr=value), asking for the listed attributes.
std::string bench_equality_search(int64_t id, std::string_view base, std::string_view attr,
                                  std::string_view value,
                                  const std::vector<std::string>& attributes);
// The same with the initial-substring filter (attr=prefix*).
std::string bench_prefix_search(int64_t id, std::string_view base, std::string_view attr,
                                std::string_view prefix,
                                const std::vector<std::string>& attributes);
// A ModifyRequest that replaces every value of attr on dn by value.
std::string bench_modify_replace(int64_t id, std::string_view dn, std::string_view attr,
                                 std::string_view value);
// An UnbindRequest ([APPLICATION 2] NULL).
std::string bench_unbind_request(int64_t id);

// ---- Reading answers -------------------------------------------------------

// One LDAPMessage cut out of the stream: its messageID, the protocolOp's
// tag number and contents. The contents point into the stream buffer and
// stay valid until the next call of message_stream_next.
struct bench_message {
  int64_t id;
  uint64_t op;
  const char* content;
  uint64_t content_len;
};

// Bytes received on one connection that are not consumed yet.
struct message_stream {
  std::vector<char> buf;
  uint64_t start = 0;  // first byte not consumed
  uint64_t fill = 0;   // end of the received bytes
};

// The largest message the stream accepts; anything longer is a fault of
// the peer as far as this benchmark is concerned.
constexpr uint64_t bench_max_message = 64u << 20;

// Takes the next whole message out of the stream: 1 with *m, 0 when more
// bytes are needed, -1 when the bytes cannot be an LDAPMessage (or one
// longer than bench_max_message).
int message_stream_next(message_stream* s, bench_message* m);
// Room for at least `want` more bytes behind the received ones (moving the
// unconsumed bytes to the front first); returns where to read to.
char* message_stream_space(message_stream* s, uint64_t want, uint64_t* room);
// Records n bytes read into the space message_stream_space gave.
void message_stream_received(message_stream* s, uint64_t n);

// The resultCode of an LDAPResult (BindResponse, SearchResultDone,
// ModifyResponse, ...), or -1 when it does not decode.
int64_t bench_result_code(const bench_message& m);

// What a SearchResultEntry says, for the checks: whether its DN equals
// want_dn (ASCII case ignored), and how many of want_attrs it carries
// (each counted once, names compared ignoring case). False when the entry
// does not decode.
bool bench_check_entry(const bench_message& m, std::string_view want_dn,
                       const std::vector<std::string>& want_attrs, bool* dn_matches,
                       uint64_t* attrs_found);

// ---- Keys file ---------------------------------------------------------------

// One person's line of the keys file that bench/gen_ldif.py --keys writes:
// "i<TAB>cn prefix<TAB>telephoneNumber".
struct bench_key {
  std::string cn_prefix;
  std::string phone;
};

// Parses the whole file's text; keys[i] is person i's line. False (with a
// message in *error) for a malformed line or a line whose number is not its
// position.
bool parse_keys(std::string_view text, std::vector<bench_key>* keys, std::string* error);

// ---- Statistics -----------------------------------------------------------------

// The nearest-rank percentile (0 < p <= 100) of sorted values; 0 for none.
uint64_t percentile(const std::vector<uint64_t>& sorted, double p);

// The uid of person i: "user" and i zero-padded to the width that
// bench/gen_ldif.py uses for a directory of `people` people.
std::string bench_uid(uint64_t i, uint64_t people);

#endif  // FERROWYN_BENCH_LDAPBENCH_PROTO_H_
