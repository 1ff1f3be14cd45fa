/* A C-callable face of the scripted fake SAM bridge, for the tests of the C interface.
 * Every returned string or buffer is malloc'd and released by the caller with free. */
#ifndef VELQOR_TESTS_C_BRIDGE_SHIM_H
#define VELQOR_TESTS_C_BRIDGE_SHIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fake_bridge fake_bridge;

/* Flags of fake_bridge_on_stream. */
enum {
  /* Send the status line and the stream's first bytes in one send (so the client's reading of
   * the status line receives them too); otherwise the first bytes come in a receive of their
   * own, after the client has taken the status line. */
  FAKE_BRIDGE_SAME_SEND = 1,
  /* After the first bytes, end the stream from the bridge's side (half-close). */
  FAKE_BRIDGE_END_AFTER_DATA = 2
};

/* Starts a bridge on 127.0.0.1 with an ephemeral port. It answers HELLO with VERSION=3.1 and
 * SESSION CREATE with the test key's private destination; unscripted lines close the
 * connection. Returns NULL when it cannot listen. */
fake_bridge* fake_bridge_start(void);
/* Closes every connection and joins every thread. NULL does nothing. */
void fake_bridge_stop(fake_bridge* bridge);
uint16_t fake_bridge_port(const fake_bridge* bridge);

/* Answers lines that start with `prefix` by sending the `length` bytes at `reply`. Later rules
 * take precedence over earlier ones and over the defaults. */
void fake_bridge_on(fake_bridge* bridge, const char* prefix, const char* reply, size_t length);

/* Answers lines that start with `prefix` with `status`, then serves the connection as a
 * stream: sends the `length` bytes at `data` (none when 0), and records every byte the client
 * sends until it closes. Streams are numbered 0, 1, ... in the order they start. */
void fake_bridge_on_stream(fake_bridge* bridge, const char* prefix, const char* status,
                           const char* data, size_t length, int flags);

/* Waits until the client has closed stream `index`, then returns a copy of every byte it sent
 * on it, their count in `*length`. */
char* fake_bridge_stream_received(fake_bridge* bridge, int index, size_t* length);

/* The number of lines received on all connections, and a copy of line `index` ("\n"
 * included), or NULL when there is no such line. */
size_t fake_bridge_line_count(const fake_bridge* bridge);
char* fake_bridge_line(const fake_bridge* bridge, size_t index);

/* Connections accepted so far (numbered 0, 1, ...); waiting until one has been closed. */
int fake_bridge_connection_count(const fake_bridge* bridge);
void fake_bridge_wait_closed(const fake_bridge* bridge, int id);

/* A loopback port on which nothing listens: the returned descriptor holds it bound (without
 * listening) so no one else takes it; close it with fake_bridge_release_port. */
int fake_bridge_reserve_dead_port(uint16_t* port);
void fake_bridge_release_port(int fd);

#ifdef __cplusplus
}
#endif

#endif /* VELQOR_TESTS_C_BRIDGE_SHIM_H */
