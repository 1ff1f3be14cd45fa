/* A C-callable face of the scripted fake SAM bridge. Returned strings are malloc'd (free them). */
#ifndef VELQOR_TESTS_C_BRIDGE_SHIM_H
#define VELQOR_TESTS_C_BRIDGE_SHIM_H
#include <stddef.h>
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef struct fake_bridge fake_bridge;
/* A bridge on an ephemeral loopback port; it accepts HELLO and SESSION CREATE (with the test
 * key) and closes the connection on unscripted lines. */
fake_bridge* fake_bridge_start(void);
void fake_bridge_stop(fake_bridge* bridge);
uint16_t fake_bridge_port(const fake_bridge* bridge);
/* Answers lines starting with `prefix` with the `head_length` bytes at `head` in one send, then
 * the bytes at `tail` (if any) in a receive of their own; ends its side if `end`, and records
 * what the client sends until it closes. */
void fake_bridge_on(fake_bridge* bridge, const char* prefix, const char* head, size_t head_length,
                    const char* tail, size_t tail_length, int end);
/* Waits until the client has closed stream connection `id`; returns what it sent on it. */
char* fake_bridge_received(fake_bridge* bridge, int id, size_t* length);
int fake_bridge_saw(const fake_bridge* bridge, const char* needle); /* in a received line */
int fake_bridge_connection_count(const fake_bridge* bridge);
/* Closes connection `id` from the bridge's side and waits until the bridge has seen the end. */
void fake_bridge_close(fake_bridge* bridge, int id);
/* Whether connection `id` (numbered from 0 as accepted) is closed; waits for it if `wait`. */
int fake_bridge_closed(const fake_bridge* bridge, int id, int wait);
/* The UDP side: its port, the port named by PORT= in the first SESSION CREATE line, the next
 * datagram it receives (waits for it), and a datagram sent from it to 127.0.0.1:`port`. */
uint16_t fake_bridge_udp_port(const fake_bridge* bridge);
uint16_t fake_bridge_session_udp_port(const fake_bridge* bridge);
char* fake_bridge_udp_receive(fake_bridge* bridge, size_t* length);
void fake_bridge_udp_send(fake_bridge* bridge, uint16_t port, const char* bytes, size_t length);
char* fake_bridge_test_key(int priv); /* the contents of tests/data/test-key.{pub,priv} */
/* Holds a loopback port bound without listening, so connecting to it is refused. */
int fake_bridge_reserve_dead_port(uint16_t* port);
void fake_bridge_release_port(int fd);
#ifdef __cplusplus
}
#endif
#endif
