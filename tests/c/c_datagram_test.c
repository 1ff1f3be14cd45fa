/* The C interface of datagram sessions against the fake bridge's UDP side: a round trip in each
 * style, a refused payload, and unusable arguments. Everything returned is released, so the leak
 * checkers running this see leaks. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <velqor/velqor.h>

#include "bridge_shim.h"

static int failures;
#define CHECK(cond) check((cond) != 0, #cond, __LINE__)
static void check(int ok, const char* text, int line) {
  if (!ok) fprintf(stderr, "c_datagram_test.c:%d: CHECK(%s) failed\n", line, text);
  failures += !ok;
}

/* Frees `got` and tells whether it held the `length` bytes at `want`. */
static int take_bytes(void* got, size_t got_length, const void* want, size_t length) {
  int equal = got != NULL && got_length == length && memcmp(got, want, length) == 0;
  free(got);
  return equal;
}

static void round_trip(int style) {
  fake_bridge* bridge = fake_bridge_start();
  velqor_settings settings = {"127.0.0.1", fake_bridge_port(bridge), "c-dg", "", "TRANSIENT"};
  velqor_datagram_session* session = velqor_datagram_session_new(&settings, style, NULL);
  velqor_datagram_session_set_udp_port(session, fake_bridge_udp_port(bridge));
  char *pub = fake_bridge_test_key(0), *sender = pub, wire[700], *id;
  size_t length = 0, largest = velqor_datagram_max_payload(session, pub);
  void* got = NULL;
  velqor_destination* mine = velqor_datagram_session_destination(session);
  char* mine_pub = velqor_destination_pub(mine);
  CHECK(velqor_datagram_session_is_sick(session) == 0 && strcmp(mine_pub, pub) == 0);
  free(mine_pub);
  velqor_destination_free(mine);

  /* Sent: "3.0 ID DESTINATION\n", then every byte of the payload; one byte over the largest
   * payload is refused, and the next datagram the bridge gets is the one after it. */
  char* big = calloc(largest + 1, 1);
  CHECK(velqor_datagram_send(session, pub, big, largest + 1) == -1);
  CHECK(velqor_datagram_session_last_error_code(session) == VELQOR_ERROR_ARGUMENT);
  CHECK(velqor_datagram_send(session, pub, "a\0b", 3) == 0);
  got = fake_bridge_udp_receive(bridge, &length);
  id = strchr((char*)got + 4, ' '); /* the identifier ends at the second space */
  int header = snprintf(wire, sizeof wire, "3.0 %.*s %s\n", id ? (int)(id - (char*)got - 4) : 0,
                        (char*)got + 4, pub);
  CHECK((size_t)header + largest == VELQOR_DATAGRAM_MAX_SIZE);
  memcpy(wire + header, "a\0b", 3);
  CHECK(take_bytes(got, length, wire, (size_t)header + 3));
  free(big);

  /* Received: a repliable datagram brings its sender, a raw one only its payload. */
  length = (size_t)sprintf(wire, "%s\n", pub) + 3;
  memcpy(wire + length - 3, "\0r\0", 3);
  fake_bridge_udp_send(bridge, fake_bridge_session_udp_port(bridge), wire, length);
  CHECK(velqor_datagram_session_fd(session) >= 0);
  CHECK(velqor_datagram_receive(session, &got, &length, &sender) == 0);
  if (style == VELQOR_DATAGRAM) {
    CHECK(take_bytes(got, length, "\0r\0", 3) && sender != NULL && strcmp(sender, pub) == 0);
    free(sender);
  } else {
    CHECK(take_bytes(got, length, wire, strlen(pub) + 4) && sender == NULL);
  }
  free(pub);
  velqor_datagram_session_free(session);
  fake_bridge_stop(bridge);
}

static void unusable_arguments(void) {
  velqor_settings settings = {"127.0.0.1", 1, "c-dg", NULL, "TRANSIENT"};
  void* payload = &settings;
  size_t length = 9;
  velqor_datagram_session* none = velqor_datagram_session_new(&settings, VELQOR_DATAGRAM, NULL);
  CHECK(velqor_datagram_session_is_sick(none) == 1 && velqor_datagram_session_fd(none) == -1);
  CHECK(velqor_datagram_session_last_error_code(none) == VELQOR_ERROR_ARGUMENT);
  CHECK(velqor_datagram_receive(none, &payload, &length, NULL) == -1);
  CHECK(payload == NULL && length == 0 && velqor_datagram_send(NULL, "x", "x", 1) == -1);
  CHECK(velqor_datagram_receive(NULL, NULL, &length, NULL) == -1);
  CHECK(velqor_datagram_session_destination(NULL) == NULL);
  velqor_datagram_session_free(none);
  velqor_datagram_session_free(NULL);
}

int main(void) {
  round_trip(VELQOR_DATAGRAM);
  round_trip(VELQOR_RAW);
  unusable_arguments();
  printf("%d failed checks\n", failures);
  return failures == 0 ? 0 : 1;
}
