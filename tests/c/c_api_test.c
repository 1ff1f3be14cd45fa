/* Tests of the flat C interface, in C against the shared library and a scripted fake bridge.
 * Every returned string and handle is released, so the leak checkers running this see leaks. */
#define _POSIX_C_SOURCE 200809L /* mkdtemp for the key files */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <velqor/velqor.h>

#include "bridge_shim.h"

static int failures;
#define CHECK(cond) check((cond) != 0, #cond, __func__, __LINE__)
static void check(int ok, const char* text, const char* test, int line) {
  if (!ok) fprintf(stderr, "c_api_test.c:%d: in %s: CHECK(%s) failed\n", line, test, text);
  failures += !ok;
}

#define OK_STATUS "STREAM STATUS RESULT=OK\n"
#define REPLY(text) text, strlen(text), NULL, 0, 0 /* fake_bridge_on's arguments for a reply */

/* Frees `got` and tells whether it held the `length` bytes at `want`. */
static int take_bytes(char* got, size_t got_length, const char* want, size_t length) {
  int equal = got != NULL && got_length == length && memcmp(got, want, length) == 0;
  free(got);
  return equal;
}

static int take_equals(char* got, const char* want) {
  return take_bytes(got, got == NULL ? 0 : strlen(got), want, strlen(want));
}

/* Frees the record and tells whether its public and private destinations are as given. */
static int take_destination(velqor_destination* d, const char* pub, const char* priv) {
  int equal =
      take_equals(velqor_destination_pub(d), pub) & take_equals(velqor_destination_priv(d), priv);
  velqor_destination_free(d);
  return equal;
}

static velqor_settings settings_for(uint16_t port) {
  return (velqor_settings){"127.0.0.1", port, "c-test", "inbound.length=1", "TRANSIENT"};
}

static velqor_stream_session* session_on(const fake_bridge* bridge) {
  velqor_settings settings = settings_for(fake_bridge_port(bridge));
  return velqor_stream_session_new(&settings);
}

static void test_session_lifecycle_and_handles_outliving_it(void) {
  fake_bridge* bridge = fake_bridge_start();
  velqor_stream_session* session = session_on(bridge);
  char *pub = fake_bridge_test_key(0), *priv = fake_bridge_test_key(1), *got, line[160];
  size_t length;
  fake_bridge_on(bridge, "DEST GENERATE", REPLY("DEST REPLY PUB=PUBKEY PRIV=PRIVKEY\n"));
  fake_bridge_on(bridge, "STREAM FORWARD", REPLY(OK_STATUS));
  fake_bridge_on(bridge, "STREAM CONNECT", REPLY(OK_STATUS));
  CHECK(velqor_is_sick(session) == 0 && velqor_get_samport(session) == fake_bridge_port(bridge));
  CHECK(take_equals(velqor_get_samhost(session), "127.0.0.1"));
  CHECK(take_equals(velqor_get_nickname(session), "c-test"));
  CHECK(take_equals(velqor_get_i2cp_options(session), "inbound.length=1"));
  CHECK(take_equals(velqor_get_sam_min_version(session), "3.0"));
  CHECK(take_equals(velqor_get_sam_max_version(session), "3.1"));
  CHECK(take_equals(velqor_get_sam_version(session), "3.1"));
  char *id = velqor_get_session_id(session), *id2 = velqor_get_session_id(session);
  int fresh = id != id2; /* each call returns a copy of its own */
  CHECK(take_equals(id2, id != NULL ? id : "?") && fresh);
  snprintf(line, sizeof line, "ID=%s DESTINATION=TRANSIENT SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 %s",
           id != NULL ? id : "?", "inbound.nickname=c-test inbound.length=1\n");
  CHECK(fake_bridge_saw(bridge, line));
  free(id);

  /* Arguments with line breaks, or NULL, fail without reaching the bridge. */
  int connections = fake_bridge_connection_count(bridge);
  CHECK(velqor_namelookup(session, NULL) == NULL);
  CHECK(velqor_namelookup(session, "a.i2p\nDEST GENERATE") == NULL);
  CHECK(velqor_connect(session, NULL, 0) == NULL);
  CHECK(velqor_connect(session, "PEER\r\nDEST GENERATE", 0) == NULL);
  CHECK(velqor_forward(session, NULL, 80, 0) == -1);
  CHECK(velqor_forward(session, "127.0.0.1\nDEST GENERATE", 80, 0) == -1);
  velqor_stop_forwarding(session, NULL, 80);
  CHECK(fake_bridge_connection_count(bridge) == connections && velqor_is_sick(session) == 0);

  velqor_socket* socket = velqor_connect(session, "PEERDEST", 0);
  velqor_destination* mine = velqor_get_my_destination(session);
  CHECK(velqor_forward(session, "127.0.0.1", 4242, 0) == 0);
  int forward = fake_bridge_connection_count(bridge) - 1;
  CHECK(velqor_forward(session, "127.0.0.1", 4243, 0) == 0);
  velqor_stop_forwarding(session, "127.0.0.1", 4242);
  CHECK(fake_bridge_closed(bridge, forward, 1));
  /* A round trip gives the bridge time to see wrongly closed connections. */
  velqor_destination* generated = velqor_dest_generate(session);
  CHECK(!fake_bridge_closed(bridge, forward + 1, 0) && !fake_bridge_closed(bridge, 0, 0));
  velqor_stop_forwarding_all(session); /* also closes the control connection (0) */
  CHECK(fake_bridge_closed(bridge, forward + 1, 1) && fake_bridge_closed(bridge, 0, 1));
  velqor_stream_session_free(session);
  CHECK(velqor_socket_is_ok(socket) == 1);
  velqor_write(socket, "ping", 4);
  velqor_write(socket, NULL, 0); /* a length of 0 closes the connection */
  CHECK(velqor_socket_is_ok(socket) == 0);
  velqor_socket_free(socket);
  got = fake_bridge_received(bridge, 1, &length); /* connection 1: the stream */
  CHECK(take_bytes(got, length, "ping", 4));
  CHECK(take_destination(generated, "PUBKEY", "PRIVKEY"));
  CHECK(strlen(pub) == 524 && take_destination(mine, pub, priv));
  free(pub);
  free(priv);
  fake_bridge_stop(bridge);
}

enum request_kind { LOOKUP, GENERATE, FORWARD, CONNECT, ACCEPT };

/* Makes one request and frees what it returned: 1 on success, 0 on failure, else 2. */
static int run_request(velqor_stream_session* session, enum request_kind kind) {
  if (kind == LOOKUP) return take_equals(velqor_namelookup(session, "site.i2p"), "SITEDEST~");
  if (kind == GENERATE) return take_destination(velqor_dest_generate(session), "PUB", "PRIV");
  if (kind == FORWARD) {
    int result = velqor_forward(session, "127.0.0.1", 4242, 2);
    return result == 0 ? 1 : result == -1 ? 0 : 2;
  }
  velqor_socket* socket =
      kind == CONNECT ? velqor_connect(session, "PEERDEST", 0) : velqor_accept(session, 0);
  velqor_socket_free(socket);
  return socket != NULL;
}

static void test_request_outcomes(void) {
  static const char* const prefix[] = {"NAMING LOOKUP", "DEST GENERATE", "STREAM FORWARD",
                                       "STREAM CONNECT", "STREAM ACCEPT"};
  /* The line each kind sends for run_request's arguments (a true `silent` is any non-zero). */
  static const char* const sent[] = {"NAMING LOOKUP NAME=site.i2p\n", "DEST GENERATE\n",
                                     " PORT=4242 HOST=127.0.0.1 SILENT=true\n",
                                     " DESTINATION=PEERDEST SILENT=false\n", " SILENT=false\n"};
  static const struct {
    enum request_kind kind;
    const char* reply; /* NULL: the bridge closes the connection without a reply */
    int succeeds, makes_sick;
  } cases[] = {
      {LOOKUP, "NAMING REPLY RESULT=OK NAME=site.i2p VALUE=SITEDEST~\n", 1, 0},
      {LOOKUP, "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=site.i2p\n", 0, 0},
      {LOOKUP, NULL, 0, 1},
      {GENERATE, "DEST REPLY PUB=PUB PRIV=PRIV\n", 1, 0},
      {GENERATE, "DEST REPLY PUB=PUB\n", 0, 1},
      {FORWARD, OK_STATUS, 1, 0},
      {FORWARD, "STREAM STATUS RESULT=I2P_ERROR\n", 0, 1},
      {CONNECT, "STREAM STATUS RESULT=CANT_REACH_PEER\n", 0, 0},
      {CONNECT, "STREAM STATUS RESULT=INVALID_ID\n", 0, 1},
      {ACCEPT, "STREAM STATUS RESULT=ALREADY_ACCEPTING\n", 0, 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    fake_bridge* bridge = fake_bridge_start();
    velqor_stream_session* session = session_on(bridge);
    if (cases[i].reply != NULL)
      fake_bridge_on(bridge, prefix[cases[i].kind], REPLY(cases[i].reply));
    int ok = run_request(session, cases[i].kind) == cases[i].succeeds &&
             velqor_is_sick(session) == cases[i].makes_sick;
    if (!ok) fprintf(stderr, "request case %u: wrong outcome or sick state\n", (unsigned)i);
    CHECK(ok && fake_bridge_saw(bridge, sent[cases[i].kind]));
    velqor_stream_session_free(session);
    fake_bridge_stop(bridge);
  }
}

static void test_stream_bytes_both_ways(void) {
  /* Bytes that come with the status line, then bytes in a receive of their own; both begin
   * with a zero byte, which is data and not the end of the stream. */
  static const char head[] = OK_STATUS "\0bin\0ary", tail[] = "\0\0\0zero-first";
  static const char small[] = "a\0b\0\0c";
  const size_t big_length = 300000, small_length = sizeof small - 1;
  char *big = malloc(big_length), *got;
  size_t length = 99;
  for (size_t i = 0; i < big_length; ++i) big[i] = (char)(i % 251); /* every 251st is zero */
  fake_bridge* bridge = fake_bridge_start();
  velqor_stream_session* session = session_on(bridge);
  fake_bridge_on(bridge, "STREAM CONNECT", head, sizeof head - 1, tail, sizeof tail - 1, 1);
  velqor_socket* socket = velqor_connect(session, "PEERDEST", 0);
  CHECK(velqor_read(socket, NULL) == NULL); /* NULL arguments take and send nothing */
  velqor_write(socket, NULL, 3);
  got = velqor_read(socket, &length);
  CHECK(take_bytes(got, length, "\0bin\0ary", 8));
  got = velqor_read(socket, &length);
  CHECK(take_bytes(got, length, tail, sizeof tail - 1) && velqor_socket_is_ok(socket) == 1);
  velqor_write(socket, small, small_length);
  velqor_write(socket, big, big_length);
  CHECK(velqor_read(socket, &length) == NULL && length == 0); /* the peer ended the stream */
  CHECK(velqor_socket_is_ok(socket) == 0);
  velqor_socket_free(socket);
  got = fake_bridge_received(bridge, 1, &length); /* connection 1: the stream */
  CHECK(length == small_length + big_length && memcmp(got, small, small_length) == 0 &&
        memcmp(got + small_length, big, big_length) == 0);
  free(got);
  free(big);
  velqor_stream_session_free(session);
  fake_bridge_stop(bridge);
}

static void test_sick_handles_and_null_inputs(void) {
  size_t length = 99;
  CHECK(velqor_get_samhost(NULL) == NULL && velqor_get_nickname(NULL) == NULL);
  CHECK(velqor_get_session_id(NULL) == NULL && velqor_get_sam_version(NULL) == NULL);
  CHECK(velqor_get_sam_min_version(NULL) == NULL && velqor_get_sam_max_version(NULL) == NULL);
  CHECK(velqor_get_i2cp_options(NULL) == NULL && velqor_get_samport(NULL) == 0);
  CHECK(velqor_is_sick(NULL) == 1 && velqor_get_my_destination(NULL) == NULL);
  CHECK(velqor_accept(NULL, 0) == NULL && velqor_connect(NULL, "x", 0) == NULL);
  CHECK(velqor_forward(NULL, "127.0.0.1", 1, 0) == -1 && velqor_namelookup(NULL, "x") == NULL);
  CHECK(velqor_dest_generate(NULL) == NULL && velqor_socket_is_ok(NULL) == 0);
  CHECK(velqor_read(NULL, &length) == NULL && length == 0);
  CHECK(velqor_destination_pub(NULL) == NULL && velqor_destination_priv(NULL) == NULL);
  velqor_stop_forwarding(NULL, "127.0.0.1", 1);
  velqor_stop_forwarding_all(NULL);
  velqor_write(NULL, "x", 1);
  velqor_socket_close(NULL);
  velqor_socket_free(NULL);
  velqor_destination_free(NULL);
  velqor_stream_session_free(NULL);

  /* NULL settings or a NULL field (connecting nowhere), or no bridge listening: a sick handle. */
  fake_bridge* bridge = fake_bridge_start();
  uint16_t dead_port = 0;
  int fd = fake_bridge_reserve_dead_port(&dead_port);
  velqor_settings settings[6];
  for (int i = 0; i < 6; ++i)
    settings[i] = settings_for(i < 5 ? fake_bridge_port(bridge) : dead_port);
  settings[0].samhost = settings[1].nickname = settings[2].i2cp_options = NULL;
  settings[3].destination = NULL;
  for (int i = 0; i < 6; ++i) {
    velqor_stream_session* session = velqor_stream_session_new(i == 4 ? NULL : &settings[i]);
    CHECK(session != NULL && velqor_is_sick(session) == 1);
    CHECK(i == 5 || (velqor_get_nickname(session) == NULL && velqor_get_samport(session) == 0));
    CHECK(take_destination(velqor_get_my_destination(session), "", ""));
    CHECK(velqor_namelookup(session, "site.i2p") == NULL);
    velqor_stop_forwarding_all(session);
    velqor_stream_session_free(session);
  }
  CHECK(fake_bridge_connection_count(bridge) == 0);
  fake_bridge_release_port(fd);
  fake_bridge_stop(bridge);
}

static void* read_until_cancelled(void* socket) {
  size_t length = 1;
  char* got = velqor_read(socket, &length);
  free(got);
  return got == NULL && length == 0 ? socket : NULL;
}

static void test_limits_cancel_and_reasons(void) {
  fake_bridge* bridge = fake_bridge_start();
  fake_bridge_on(bridge, "NAMING LOOKUP", "", 0, NULL, 0, 0); /* never answers */
  fake_bridge_on(bridge, "STREAM CONNECT", REPLY(OK_STATUS)); /* then sends nothing */
  velqor_limits* limits = velqor_limits_new();
  velqor_limits_set_connect(limits, 100);
  velqor_limits_set_reply(limits, 100);
  velqor_limits_set_write(limits, 100);
  velqor_settings settings = settings_for(fake_bridge_port(bridge));
  velqor_stream_session* session = velqor_stream_session_new_with_limits(&settings, limits);
  CHECK(velqor_get_last_error(session) == NULL);
  CHECK(velqor_namelookup(session, "site.i2p") == NULL && velqor_is_sick(session) == 0);
  CHECK(velqor_get_last_error_code(session) == VELQOR_ERROR_TIMED_OUT);
  CHECK(
      take_equals(velqor_get_last_error(session), "NAMING LOOKUP: no complete line within 100 ms"));

  velqor_socket* stream = velqor_connect(session, "PEERDEST", 0);
  size_t length = 1;
  velqor_limits_set_read(limits, 50);
  velqor_socket_set_limits(stream, limits);
  CHECK(velqor_read(stream, &length) == NULL && length == 0);
  CHECK(take_equals(velqor_socket_last_error(stream), "read: nothing came within 50 ms"));
  velqor_socket_free(stream);

  /* Without limits a read waits until another thread cancels it. */
  velqor_set_limits(session, NULL);
  stream = velqor_connect(session, "PEERDEST", 0);
  pthread_t reader;
  void* ended = NULL;
  CHECK(pthread_create(&reader, NULL, read_until_cancelled, stream) == 0);
  velqor_socket_cancel(stream);
  CHECK(pthread_join(reader, &ended) == 0 && ended == stream);
  CHECK(velqor_socket_is_ok(stream) == 0);
  CHECK(velqor_socket_last_error_code(stream) == VELQOR_ERROR_CANCELLED);
  velqor_socket_free(stream);
  velqor_socket_cancel(NULL);
  CHECK(velqor_socket_last_error(NULL) == NULL && velqor_get_last_error(NULL) == NULL);
  velqor_limits_free(limits);
  velqor_limits_free(NULL);
  velqor_stream_session_free(session);
  fake_bridge_stop(bridge);
}

/* Frees `reason` and tells whether it is set and holds `needle`. */
static int take_reason(char* reason, const char* needle) {
  int found = reason != NULL && strstr(reason, needle) != NULL;
  free(reason);
  return found;
}

static void test_key_files_and_b32(void) {
  char *pub = fake_bridge_test_key(0), *priv = fake_bridge_test_key(1),
       dir[] = "/tmp/velqor-c-XXXXXX";
  char key[64], junk[64], *reason = junk; /* must be overwritten with NULL on success */
  CHECK(mkdtemp(dir) != NULL);
  snprintf(key, sizeof key, "%s/key.dat", dir);
  snprintf(junk, sizeof junk, "%s/junk", dir);
  CHECK(take_equals(velqor_b32_address(pub),
                    "6cgoz5icadelaumnu666p4bg5exebyaohb4n2l42unfgvarz42uq.b32.i2p"));
  CHECK(velqor_b32_address(NULL) == NULL && velqor_b32_address("abc") == NULL);
  CHECK(velqor_key_file_save(key, priv, &reason) == 0 && reason == NULL);
  CHECK(take_equals(velqor_key_file_load(key, &reason), priv) && reason == NULL);
  CHECK(take_equals(velqor_key_file_load(key, NULL), priv));
  /* Refused: a key that is not whole, a file that holds no key, NULL arguments. */
  CHECK(velqor_key_file_save(junk, "AAAA", &reason) == -1 && take_reason(reason, "is 3 bytes"));
  FILE* file = fopen(junk, "w");
  CHECK(file != NULL && fputs("not a key", file) >= 0 && fclose(file) == 0);
  CHECK(velqor_key_file_load(junk, &reason) == NULL && take_reason(reason, junk));
  CHECK(velqor_key_file_load(NULL, &reason) == NULL && take_reason(reason, "NULL"));
  CHECK(velqor_key_file_save(NULL, priv, &reason) == -1 && take_reason(reason, "NULL"));
  CHECK(velqor_key_file_save(key, NULL, NULL) == -1 && velqor_key_file_load(NULL, NULL) == NULL);
  CHECK(unlink(junk) == 0 && unlink(key) == 0 && rmdir(dir) == 0);
  free(pub);
  free(priv);
}

/* ---- Datagram sessions, against the fake bridge's UDP side ---- */

static void test_datagram_round_trip(int style) {
  fake_bridge* bridge = fake_bridge_start();
  velqor_settings settings = {"127.0.0.1", fake_bridge_port(bridge), "c-dg", "", "TRANSIENT"};
  velqor_datagram_session* session = velqor_datagram_session_new(&settings, style, NULL);
  velqor_datagram_session_set_udp_port(session, fake_bridge_udp_port(bridge));
  velqor_destination* mine = velqor_datagram_session_destination(session);
  char *pub = fake_bridge_test_key(0), *mine_pub = velqor_destination_pub(mine), *sender = NULL;
  size_t n = strlen(pub), length, largest = velqor_datagram_max_payload(session, pub);
  CHECK(velqor_datagram_session_is_sick(session) == 0 && strcmp(mine_pub, pub) == 0);

  /* Sent: "3.0 ID DESTINATION\n" and every byte of the payload, up to 32768 bytes in all; one
   * byte more is refused, and the next datagram the bridge gets is the one after it. */
  char* big = calloc(largest + 1, 1);
  CHECK(velqor_datagram_send(session, pub, big, largest + 1) == -1);
  free(big);
  CHECK(velqor_datagram_session_last_error_code(session) == VELQOR_ERROR_ARGUMENT);
  CHECK(velqor_datagram_send(session, pub, "a\0b", 3) == 0);
  char* wire = fake_bridge_udp_receive(bridge, &length);
  CHECK(length + largest - 3 == VELQOR_DATAGRAM_MAX_SIZE && strncmp(wire, "3.0 ", 4) == 0);
  CHECK(length > n + 4 && memcmp(wire + length - n - 4, pub, n) == 0);
  CHECK(memcmp(wire + length - 4, "\na\0b", 4) == 0);

  /* Received: a repliable datagram brings its sender, a raw one only its payload. */
  memcpy(wire + n + 1, "\0r\0", 3);
  memcpy(wire, pub, n);
  wire[n] = '\n';
  fake_bridge_udp_send(bridge, fake_bridge_session_udp_port(bridge), wire, n + 4);
  void* got = NULL;
  CHECK(velqor_datagram_session_fd(session) >= 0);
  CHECK(velqor_datagram_receive(session, &got, &length, &sender) == 0);
  if (style == VELQOR_DATAGRAM) {
    CHECK(take_bytes((char*)got, length, "\0r\0", 3) && sender != NULL && strcmp(sender, pub) == 0);
  } else {
    CHECK(take_bytes((char*)got, length, wire, n + 4) && sender == NULL);
  }
  free(sender);
  free(wire);
  free(mine_pub);
  free(pub);
  velqor_destination_free(mine);
  velqor_datagram_session_free(session);
  fake_bridge_stop(bridge);
}

static void test_datagram_unusable_arguments(void) {
  velqor_settings settings = {"127.0.0.1", 1, "c-dg", NULL, "TRANSIENT"};
  void* payload = &settings;
  size_t length = 9;
  velqor_datagram_session* none = velqor_datagram_session_new(&settings, VELQOR_DATAGRAM, NULL);
  CHECK(velqor_datagram_session_is_sick(none) == 1 && velqor_datagram_session_fd(none) == -1);
  CHECK(velqor_datagram_receive(none, &payload, &length, NULL) == -1 && payload == NULL);
  CHECK(length == 0 && velqor_datagram_send(NULL, "x", "x", 1) == -1);
  velqor_datagram_session_free(none);
  velqor_datagram_session_free(NULL);
}

static void note_report(int state, const char* reason, void* user) {
  char* seen = user; /* one letter per report: its state, upper case when it has a reason */
  size_t n = strlen(seen);
  if (n + 1 < 8) seen[n] = (char)((reason != NULL ? 'A' : 'a') + state), seen[n + 1] = '\0';
}

/* A key file made by the bridge and its b32 address, liveness, one rebuild by a keeper, and a
 * released stream with the bytes that came with its status line. */
static void test_generated_keys_keeper_and_release(void) {
  fake_bridge* bridge = fake_bridge_start();
  char *pub = fake_bridge_test_key(0), *priv = fake_bridge_test_key(1), *reason = NULL, *kept;
  char dir[] = "/tmp/velqor-c-XXXXXX", key[64], junk[64], reply[1600], seen[8] = "", rest[16];
  size_t kept_length = 0;
  snprintf(reply, sizeof reply, "DEST REPLY PUB=%s PRIV=%s\n", pub, priv);
  fake_bridge_on(bridge, "DEST GENERATE SIGNATURE_TYPE=EdDSA_SHA512_Ed25519", REPLY(reply));
  fake_bridge_on(bridge, "STREAM CONNECT", OK_STATUS "first", 29, "second", 6, 1);
  CHECK(mkdtemp(dir) != NULL);
  snprintf(key, sizeof key, "%s/key.dat", dir);
  snprintf(junk, sizeof junk, "%s/junk.dat", dir);
  FILE* file = fopen(junk, "w");
  CHECK(file != NULL && fputs("not a key", file) >= 0 && fclose(file) == 0);
  uint16_t port = fake_bridge_port(bridge);
  char* made = velqor_key_file_load_or_generate(key, "127.0.0.1", port, &reason);
  CHECK(made != NULL && strcmp(made, priv) == 0 && reason == NULL);
  int control = fake_bridge_connection_count(bridge); /* the next connection: the session's */
  CHECK(take_equals(velqor_key_file_load_or_generate(key, "127.0.0.1", 1, NULL), priv));
  CHECK(velqor_key_file_load_or_generate(junk, "127.0.0.1", port, &reason) == NULL &&
        take_reason(reason, junk) && fake_bridge_connection_count(bridge) == control);

  velqor_settings settings = settings_for(port);
  settings.destination = made;
  velqor_stream_session* session = velqor_stream_session_new(&settings);
  velqor_destination* mine = velqor_get_my_destination(session);
  char* mine_pub = velqor_destination_pub(mine);
  CHECK(take_equals(velqor_b32_address(mine_pub),
                    "6cgoz5icadelaumnu666p4bg5exebyaohb4n2l42unfgvarz42uq.b32.i2p"));
  velqor_keeper* keeper = velqor_keeper_new(session);
  CHECK(keeper != NULL && velqor_keeper_session(keeper) == session);
  CHECK(velqor_keeper_new(session) == NULL && velqor_keeper_new(NULL) == NULL);
  velqor_keeper_set_callback(keeper, note_report, seen);
  velqor_keeper_set_release_delay(keeper, 0);
  CHECK(velqor_is_alive(session) == 1 && velqor_keeper_keep(keeper, 0) == 1);
  char* old_id = velqor_get_session_id(session);
  fake_bridge_close(bridge, control);
  CHECK(velqor_is_alive(session) == 0 && velqor_is_sick(session) == 1);
  CHECK(velqor_keeper_keep(keeper, 0) == 1 && velqor_is_alive(session) == 1);
  char* new_id = velqor_get_session_id(session);
  CHECK(old_id != NULL && new_id != NULL && strcmp(old_id, new_id) != 0);
  CHECK(strcmp(seen, "aBd") == 0); /* HEALTHY, REBUILDING with a reason, REBUILT */

  velqor_socket* stream = velqor_connect(session, "PEERDEST", 0);
  int fd = velqor_socket_release(stream, &kept, &kept_length);
  CHECK(fd >= 0 && take_bytes(kept, kept_length, "first", 5));
  CHECK(read(fd, rest, sizeof rest) == 6 && memcmp(rest, "second", 6) == 0 && close(fd) == 0);
  CHECK(velqor_socket_release(stream, NULL, NULL) == -1 && velqor_socket_is_ok(stream) == 0);
  velqor_socket_free(stream);
  velqor_keeper_free(keeper); /* frees the session too */
  velqor_keeper_free(NULL);
  CHECK(velqor_keeper_keep(NULL, 0) == 0 && velqor_is_alive(NULL) == 0);
  CHECK(unlink(junk) == 0 && unlink(key) == 0 && rmdir(dir) == 0);
  free(old_id), free(new_id), free(mine_pub), free(made), free(pub), free(priv);
  velqor_destination_free(mine);
  fake_bridge_stop(bridge);
}

int main(void) {
  test_session_lifecycle_and_handles_outliving_it();
  test_request_outcomes();
  test_stream_bytes_both_ways();
  test_sick_handles_and_null_inputs();
  test_limits_cancel_and_reasons();
  test_key_files_and_b32();
  test_datagram_round_trip(VELQOR_DATAGRAM);
  test_datagram_round_trip(VELQOR_RAW);
  test_datagram_unusable_arguments();
  test_generated_keys_keeper_and_release();
  printf("%d failed checks\n", failures);
  return failures == 0 ? 0 : 1;
}
