// Server start-up shared by both builds.
#ifndef FERROWYN_SERVER_STARTUP_H_
#define FERROWYN_SERVER_STARTUP_H_

#include <cstdint>

constexpr uint16_t default_ldap_port = 389;
// The data file served when no path is given on the command line: in the
// directory "ferrowyn" under the installation prefix, /usr/local unless
// the build was configured for another.
#ifndef FERROWYN_DEFAULT_DATA_PATH
#define FERROWYN_DEFAULT_DATA_PATH "/usr/local/ferrowyn/data"
#endif
constexpr const char* default_data_path = FERROWYN_DEFAULT_DATA_PATH;

// The port to listen on: the environment variable PORT when it is a decimal
// number from 1 to 65535, otherwise 389.
uint16_t listen_port();

// Sets the program name, ignores SIGPIPE, reads the options (--no-sync:
// answered changes are not synced to stable storage, for bulk loads only;
// "--" ends the options; any other ends the process with the usage line),
// loads the data file (the first argument after the options, or
// default_data_path) and the journal, opens the listening socket on the IP address (or any
// address) and the port, and listens with the system's largest backlog
// (SOMAXCONN). Returns the
// listening socket; every failure ends the process with its message and
// status 1 (the data file loader's own statuses for its failures).
int server_start(int argc, char** argv);

// Accepts the next connection on the listening socket and sets TCP_NODELAY
// on it. A failure that belongs to one connection (aborted before it was
// accepted, a network error on it) or that passes (a signal, a descriptor
// or memory shortage, retried after 10 ms) does not end the server: the
// next connection is accepted instead. Any other failure writes
// "accept failed!" and ends the process with status 1.
int accept_connection(int listener);

// Sets TCP_NODELAY on an accepted connection: every answer is one small
// write that has to leave at once.
void set_no_delay(int sock);

#endif  // FERROWYN_SERVER_STARTUP_H_
