/* A C-callable face of the scripted fake SAM bridge. Returned strings are malloc'd (free them). */
#ifndef VELQOR_TESTS_C_BRIDGE_SHIM_H
#define VELQOR_TESTS_C_BRIDGE_SHIM_H
#include <stddef.h>
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
/* On an ephemeral loopback port, it accepts HELLO and SESSION CREATE (with the test key) and
 * closes the connection on unscripted lines. Connections are numbered from 0 as accepted. */
typedef struct fake_bridge fake_bridge;
fake_bridge* fake_bridge_start(void);
void fake_bridge_stop(fake_bridge* bridge);
uint16_t fake_bridge_port(const fake_bridge* bridge);
/* Answers lines starting with `prefix` (later rules first) with the `head_length` bytes at
 * `head`, then those at `tail` (if any) in a receive of their own; ends its side if `end` is 1,
 * and keeps what the client sends until it closes: fake_bridge_received waits for that. With an
 * `end` of 2 it reads nothing more until the bridge stops. */
void fake_bridge_on(fake_bridge* bridge, const char* prefix, const char* head, size_t head_length,
                    const char* tail, size_t tail_length, int end);
char* fake_bridge_received(fake_bridge* bridge, int id, size_t* length);
int fake_bridge_saw(const fake_bridge* bridge, const char* needle); /* in a received line */
int fake_bridge_connection_count(const fake_bridge* bridge);
void fake_bridge_close(fake_bridge* bridge, int id); /* and waits until the bridge saw the end */
int fake_bridge_closed(const fake_bridge* bridge, int id, int wait); /* waits for it if `wait` */
/* The UDP side: its port, the next datagram it gets (waits for it), one sent to `port`. */
uint16_t fake_bridge_udp_port(const fake_bridge* bridge);
char* fake_bridge_udp_receive(fake_bridge* bridge, size_t* length);
void fake_bridge_udp_send(fake_bridge* bridge, uint16_t port, const char* bytes, size_t length);
char* fake_bridge_test_key(int priv); /* the contents of tests/data/test-key.{pub,priv} */
/* Joins the streams of accepts and connects as a bridge joins two sessions' (see FakeBridge). */
void fake_bridge_pair_streams(fake_bridge* bridge);
/* A loopback listener (close it) whose port, written to *port, answers no connect. */
int fake_bridge_unanswered_port(uint16_t* port);
#ifdef __cplusplus
}
#endif
#endif
