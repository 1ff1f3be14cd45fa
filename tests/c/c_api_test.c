/* Tests of the flat C interface, in C against the shared library and a scripted fake bridge.
 * Every returned string and handle is released, so the leak checkers running this see leaks. */
#define _POSIX_C_SOURCE 200809L /* mkdtemp for the key files */
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <velqor/velqor.h>

#include "bridge_shim.h"

static int failures;
static char *pub, *priv; /* the test key, as the fake bridge gives it */
#define CHECK(cond) check((cond) != 0, #cond, __func__, __LINE__)
static void check(int ok, const char* text, const char* test, int line) {
  if (!ok) fprintf(stderr, "c_api_test.c:%d: in %s: CHECK(%s) failed\n", line, test, text);
  failures += !ok;
}

#define OK_STATUS "STREAM STATUS RESULT=OK\n"
#define REPLY(text) text, strlen(text), NULL, 0, 0 /* fake_bridge_on's arguments for a reply */

/* Each take_* frees what it is given and tells whether that is what was wanted. */
static int take_bytes(char* got, size_t got_length, const char* want, size_t length) {
  int equal = got != NULL && got_length == length && memcmp(got, want, length) == 0;
  return free(got), equal;
}
static int take_equals(char* got, const char* want) { /* a NULL `want`: NULL is wanted */
  int equal = got == NULL || want == NULL ? got == want : strcmp(got, want) == 0;
  return free(got), equal;
}
static int take_reason(char* reason, const char* needle) {
  int found = reason != NULL && strstr(reason, needle) != NULL;
  return free(reason), found;
}
static int take_destination(velqor_destination* d, const char* want_pub, const char* want_priv) {
  int equal = take_equals(velqor_destination_pub(d), want_pub) &
              take_equals(velqor_destination_priv(d), want_priv);
  return velqor_destination_free(d), equal;
}

/* By name, so that the leak checkers see every connection's name resolution too. */
static velqor_settings settings_for(uint16_t port) {
  return (velqor_settings){"localhost", port, "c-test", "inbound.length=1", "TRANSIENT"};
}

/* The getters give the settings and the versions, or NULL (and port 0) without a session. */
static int getters_give(const velqor_stream_session* session, uint16_t port) {
  static char* (*const getter[])(const velqor_stream_session*) = {
      velqor_get_samhost,         velqor_get_nickname,        velqor_get_i2cp_options,
      velqor_get_sam_min_version, velqor_get_sam_max_version, velqor_get_sam_version,
      velqor_get_session_id};
  static const char* const value[] = {"localhost", "c-test", "inbound.length=1",
                                      "3.0",       "3.1",    "3.1"};
  int ok = 1;
  for (int i = 0; i < (port != 0 ? 6 : 7); ++i)
    ok &= take_equals(getter[i](session), port != 0 ? value[i] : NULL);
  return ok && velqor_get_samport(session) == port;
}

static void test_null_handles_and_unusable_settings(void) {
  size_t length = 99;
  void* payload = &length;
  CHECK(getters_give(NULL, 0) && velqor_is_sick(NULL) == 1);
  CHECK(velqor_get_my_destination(NULL) == NULL && velqor_dest_generate(NULL) == NULL);
  CHECK(velqor_accept(NULL, 0) == NULL && velqor_connect(NULL, "x", 0) == NULL);
  CHECK(velqor_forward(NULL, "127.0.0.1", 1, 0) == -1 && velqor_namelookup(NULL, "x") == NULL);
  CHECK(velqor_read(NULL, &length) == NULL && length == 0 && velqor_socket_is_ok(NULL) == 0);
  CHECK(velqor_destination_pub(NULL) == NULL && velqor_destination_priv(NULL) == NULL);
  CHECK(velqor_get_last_error(NULL) == NULL && velqor_socket_last_error(NULL) == NULL);
  CHECK(velqor_is_alive(NULL) == 0 && velqor_keeper_keep(NULL, 0) == 0);
  CHECK(velqor_keeper_new(NULL) == NULL && velqor_socket_release(NULL, NULL, NULL) == -1);
  CHECK(velqor_b32_address(NULL) == NULL && velqor_b32_address("abc") == NULL);
  CHECK(velqor_datagram_send(NULL, "x", "x", 1) == -1 && velqor_datagram_session_fd(NULL) == -1);
  CHECK(velqor_datagram_receive(NULL, &payload, &length, NULL) == -1 && payload == NULL);
  CHECK(velqor_datagram_namelookup(NULL, "x") == NULL &&
        velqor_key_file_load_or_generate_with_limits(NULL, "h", 1, NULL, NULL) == NULL);
  velqor_datagram_session_set_limits(NULL, NULL);
  velqor_stop_forwarding(NULL, "127.0.0.1", 1), velqor_stop_forwarding_all(NULL);
  velqor_write(NULL, "x", 1), velqor_socket_close(NULL), velqor_socket_cancel(NULL);
  velqor_keeper_free(NULL), velqor_destination_free(NULL);

  /* Each known code has a text of its own; every other code (-1 and 11 here) the same one. */
  for (int code = -1; code <= VELQOR_ERROR_KEY_FILE + 1; ++code) {
    for (int other = code + 1; other <= VELQOR_ERROR_KEY_FILE + 2; ++other) {
      int unknown = (code < 0 || code > VELQOR_ERROR_KEY_FILE) && other > VELQOR_ERROR_KEY_FILE;
      CHECK((strcmp(velqor_strerror(code), velqor_strerror(other)) == 0) == unknown);
    }
  }
  CHECK(strcmp(velqor_version(), VELQOR_TEST_VERSION) == 0);

  /* Sick handles without a destination: NULL settings or fields (connecting nowhere), another
   * datagram style, or a refused creation that asked for a key. */
  fake_bridge* bridge = fake_bridge_start();
  fake_bridge_on(bridge, "SESSION CREATE", REPLY("SESSION STATUS RESULT=DUPLICATED_ID\n"));
  velqor_settings settings[6];
  for (int i = 0; i < 6; ++i) settings[i] = settings_for(fake_bridge_port(bridge));
  settings[0].samhost = settings[1].nickname = settings[2].i2cp_options = NULL;
  settings[3].destination = NULL, settings[5].destination = priv;
  for (int i = 0; i < 6; ++i) {
    const velqor_settings* given = i == 4 ? NULL : &settings[i];
    velqor_stream_session* session = velqor_stream_session_new(given);
    velqor_datagram_session* dg = velqor_datagram_session_new(given, i < 5 ? VELQOR_RAW : 3, NULL);
    CHECK(session != NULL && velqor_is_sick(session) == 1 &&
          take_destination(velqor_get_my_destination(session), "", ""));
    CHECK(i == 5 || (getters_give(session, 0) && velqor_keeper_new(session) == NULL &&
                     velqor_namelookup(session, "a") == NULL));
    CHECK(velqor_datagram_session_is_sick(dg) == 1 && velqor_datagram_session_fd(dg) == -1 &&
          take_destination(velqor_datagram_session_destination(dg), "", ""));
    CHECK(velqor_datagram_namelookup(dg, "a.i2p") == NULL);
    velqor_stop_forwarding_all(session), velqor_stream_session_free(session);
    velqor_datagram_session_free(dg);
  }
  CHECK(fake_bridge_connection_count(bridge) == 1);
  fake_bridge_stop(bridge);
}

static void* read_until_cancelled(void* socket) {
  size_t length = 1;
  char* got = velqor_read(socket, &length);
  return got == NULL && length == 0 ? socket : (free(got), (void*)NULL);
}

static void note_report(int state, const char* reason, void* seen) { /* upper case: a reason */
  if (strlen(seen) < 7) strncat(seen, &"abcdABCD"[state + (reason != NULL ? 4 : 0)], 1);
}

/* On a fresh bridge, in turn: a session and its stream, one with limits, one kept by a keeper. */
static void test_sessions_streams_limits_keys_and_keeper(fake_bridge* bridge) {
  /* Bytes with the status line, then in a receive of their own, each begin with a zero byte. */
  static const char head[] = OK_STATUS "\0bin\0ary", tail[] = "\0\0\0zero-first";
  const size_t big_length = 300000;
  velqor_settings settings = settings_for(fake_bridge_port(bridge));
  velqor_stream_session* session = velqor_stream_session_new(&settings);
  char *got, *big = malloc(big_length), reply[1600];
  size_t length;
  for (size_t i = 0; i < big_length; ++i) big[i] = (char)(i % 251); /* every 251st is zero */
  snprintf(reply, sizeof reply, "DEST REPLY PUB=%s PRIV=%s\n", pub, priv);
  fake_bridge_on(bridge, "DEST GENERATE", REPLY(reply));
  fake_bridge_on(bridge, "STREAM FORWARD", REPLY(OK_STATUS));
  fake_bridge_on(bridge, "STREAM CONNECT", head, sizeof head - 1, tail, sizeof tail - 1, 1);
  fake_bridge_on(bridge, "STREAM ACCEPT", REPLY("STREAM STATUS RESULT=ALREADY_ACCEPTING\n"));
  fake_bridge_on(bridge, "NAMING LOOKUP NAME=a.i2p", REPLY("NAMING REPLY RESULT=OK VALUE=DEST~\n"));
  fake_bridge_on(bridge, "NAMING LOOKUP NAME=b", REPLY("NAMING REPLY RESULT=KEY_NOT_FOUND\n"));
  CHECK(velqor_is_sick(session) == 0 && getters_give(session, settings.samport) &&
        take_reason(velqor_get_session_id(session), ""));

  /* NULL arguments fail without reaching the bridge. */
  CHECK(velqor_namelookup(session, NULL) == NULL && velqor_connect(session, NULL, 0) == NULL &&
        velqor_forward(session, NULL, 80, 0) == -1);
  velqor_stop_forwarding(session, NULL, 80);
  CHECK(fake_bridge_connection_count(bridge) == 1 && velqor_is_sick(session) == 0);

  /* Connection 0 is the control connection, 1 the stream, 2 to 5 the forwards. */
  velqor_socket* socket = velqor_connect(session, "PEERDEST", 0);
  velqor_destination* mine = velqor_get_my_destination(session);
  CHECK(velqor_forward(session, "127.0.0.1", 4242, 0) == 0);
  CHECK(velqor_forward(session, "127.0.0.1", 4243, 2) == 0); /* a true `silent` is any non-zero */
  CHECK(velqor_forward(session, "127.0.0.2", 4242, 0) == 0);
  CHECK(velqor_forward(session, "127.0.0.1", 4242, 1) == 0); /* the same again */
  velqor_stop_forwarding(session, "127.0.0.1", 4242);        /* host and port must both match */
  CHECK(fake_bridge_closed(bridge, 2, 1) && fake_bridge_closed(bridge, 5, 1));
  /* Refusals leave the session healthy (and give the bridge time to see wrong closes). */
  fake_bridge_on(bridge, "STREAM FORWARD", REPLY("STREAM STATUS RESULT=CANT_REACH_PEER\n"));
  velqor_destination* generated = velqor_dest_generate(session);
  CHECK(take_equals(velqor_namelookup(session, "a.i2p"), "DEST~"));
  CHECK(velqor_namelookup(session, "b") == NULL && velqor_accept(session, 0) == NULL);
  CHECK(velqor_forward(session, "127.0.0.1", 4244, 0) == -1 && velqor_is_sick(session) == 0);
  CHECK(fake_bridge_saw(bridge, " PORT=4243 HOST=127.0.0.1 SILENT=true\n") &&
        fake_bridge_saw(bridge, " DESTINATION=PEERDEST SILENT=false\n"));
  CHECK(!fake_bridge_closed(bridge, 3, 0) && !fake_bridge_closed(bridge, 4, 0) &&
        !fake_bridge_closed(bridge, 0, 0));
  fake_bridge_on(bridge, "STREAM CONNECT", REPLY("STREAM STATUS RESULT=INVALID_ID\n")); /* sick */
  CHECK(velqor_connect(session, "PEERDEST", 0) == NULL && velqor_is_sick(session) == 1);
  velqor_stop_forwarding_all(session);
  CHECK(fake_bridge_closed(bridge, 3, 1) && fake_bridge_closed(bridge, 4, 1) &&
        fake_bridge_closed(bridge, 0, 1));
  velqor_stream_session_free(session);

  /* The socket and the records outlive the session; NULL arguments take and send nothing. */
  CHECK(velqor_read(socket, NULL) == NULL);
  velqor_write(socket, NULL, 3);
  got = velqor_read(socket, &length);
  CHECK(take_bytes(got, length, "\0bin\0ary", 8));
  got = velqor_read(socket, &length);
  CHECK(take_bytes(got, length, tail, sizeof tail - 1) && velqor_socket_is_ok(socket) == 1);
  velqor_write(socket, big, big_length); /* begins with a zero byte */
  velqor_write(socket, NULL, 0);         /* a length of 0 closes the connection */
  CHECK(velqor_socket_is_ok(socket) == 0 && velqor_read(socket, &length) == NULL && length == 0);
  velqor_socket_free(socket);
  got = fake_bridge_received(bridge, 1, &length);
  CHECK(take_bytes(got, length, big, big_length));
  CHECK(take_destination(generated, pub, priv) && take_destination(mine, pub, priv));

  /* Limits end a read or a request with a reason. Without one a read waits for a cancel, here
   * for longer than the read limit: through a lookup that runs out of time. */
  velqor_limits* limits = velqor_limits_new();
  velqor_limits_set_read(limits, 50);
  session = velqor_stream_session_new_with_limits(&settings, limits); /* also for its sockets */
  fake_bridge_on(bridge, "NAMING LOOKUP", "", 0, NULL, 0, 0);         /* never answers */
  fake_bridge_on(bridge, "STREAM CONNECT", REPLY(OK_STATUS));         /* then sends nothing */
  socket = velqor_connect(session, "PEERDEST", 0);
  CHECK(velqor_read(socket, &length) == NULL && length == 0 && velqor_socket_is_ok(socket) == 0);
  CHECK(take_equals(velqor_socket_last_error(socket), "read: nothing came within 50 ms"));
  velqor_socket_free(socket);
  const int duplex = fake_bridge_connection_count(bridge);
  socket = velqor_connect(session, "PEERDEST", 0);
  velqor_socket_set_limits(socket, NULL);
  pthread_t reader;
  void* ended = NULL;
  CHECK(pthread_create(&reader, NULL, read_until_cancelled, socket) == 0);
  velqor_limits_set_reply(limits, 100), velqor_set_limits(session, limits);
  CHECK(velqor_get_last_error(session) == NULL && velqor_namelookup(session, "a.i2p") == NULL);
  CHECK(velqor_get_last_error_code(session) == VELQOR_ERROR_TIMED_OUT && !velqor_is_sick(session));
  CHECK(take_reason(velqor_get_last_error(session), "NAMING LOOKUP: no complete line within 100"));
  velqor_write(socket, big, big_length); /* while the reader waits on the same socket */
  velqor_socket_cancel(socket);
  CHECK(pthread_join(reader, &ended) == 0 && ended == socket && velqor_socket_is_ok(socket) == 0);
  CHECK(velqor_socket_last_error_code(socket) == VELQOR_ERROR_CANCELLED);
  /* A write limit ends a write that a peer does not read, a connect limit an unanswered connect. */
  fake_bridge_on(bridge, "STREAM CONNECT", OK_STATUS, 24, NULL, 0, 2);
  velqor_socket_free(socket), socket = velqor_connect(session, "PEERDEST", 0);
  velqor_limits_set_write(limits, 50), velqor_socket_set_limits(socket, limits);
  while (velqor_socket_is_ok(socket)) velqor_write(socket, big, big_length); /* until it fails */
  CHECK(take_equals(velqor_socket_last_error(socket), "write: not sent within 50 ms"));
  velqor_settings unanswered = settings;
  int listener = fake_bridge_unanswered_port(&unanswered.samport);
  velqor_limits_set_connect(limits, 50), velqor_stream_session_free(session);
  session = velqor_stream_session_new_with_limits(&unanswered, limits);
  CHECK(take_reason(velqor_get_last_error(session), ": no connection within 50 ms") &&
        close(listener) == 0);
  velqor_socket_free(socket), velqor_limits_free(limits), velqor_stream_session_free(session);
  got = fake_bridge_received(bridge, duplex, &length);
  CHECK(take_bytes(got, length, big, big_length));

  /* The bridge makes a key only where there is no file; an unreadable one is reported. */
  char dir[] = "/tmp/velqor-c-XXXXXX", key[64], seen[8] = "", *kept, rest[16];
  char* reason = dir; /* each call must overwrite it: with NULL on success */
  CHECK(mkdtemp(dir) != NULL);
  snprintf(key, sizeof key, "%s/key.dat", dir);
  char* made = velqor_key_file_load_or_generate(key, "127.0.0.1", settings.samport, &reason);
  CHECK(take_equals(made, priv) && reason == NULL &&
        fake_bridge_saw(bridge, "DEST GENERATE SIGNATURE_TYPE=EdDSA_SHA512_Ed25519\n"));
  /* Within limits: a bridge that never answers DEST GENERATE fails it in time; nothing is made. */
  velqor_limits* reply_limit = velqor_limits_new();
  velqor_limits_set_reply(reply_limit, 100);
  fake_bridge_on(bridge, "DEST GENERATE", "", 0, NULL, 0, 0);
  snprintf(key, sizeof key, "%s/late.dat", dir);
  CHECK(velqor_key_file_load_or_generate_with_limits(key, "127.0.0.1", settings.samport,
                                                     reply_limit, &reason) == NULL &&
        take_reason(reason, "DEST GENERATE: no complete line within 100") &&
        access(key, F_OK) != 0);
  velqor_limits_free(reply_limit);
  snprintf(key, sizeof key, "%s/key.dat", dir);
  int control = fake_bridge_connection_count(bridge); /* the next connection: the session's */
  CHECK(take_equals(velqor_key_file_load_or_generate(key, "127.0.0.1", 1, NULL), priv));
  CHECK(velqor_key_file_load_or_generate(dir, "127.0.0.1", settings.samport, &reason) == NULL &&
        take_reason(reason, dir) && fake_bridge_connection_count(bridge) == control);
  reason = dir;
  CHECK(velqor_key_file_save(key, priv, &reason) == 0 && reason == NULL &&
        take_equals(velqor_key_file_load(key, &reason), priv));
  /* Refused: a key that is not whole (the file stays), an unreadable file, NULL arguments. */
  CHECK(velqor_key_file_save(key, "AAAA", &reason) == -1 && take_reason(reason, "is 3 bytes"));
  CHECK(velqor_key_file_load(dir, &reason) == NULL &&
        take_reason(reason, " is not a regular file"));
  CHECK(velqor_key_file_load(NULL, &reason) == NULL && take_reason(reason, "NULL") &&
        velqor_key_file_save(NULL, priv, NULL) == -1);
  CHECK(take_equals(velqor_key_file_load(key, NULL), priv) && unlink(key) == 0 && rmdir(dir) == 0);
  CHECK(take_equals(velqor_b32_address(pub),
                    "6cgoz5icadelaumnu666p4bg5exebyaohb4n2l42unfgvarz42uq.b32.i2p"));

  /* A keeper rebuilds the session once the bridge ends it; a released stream keeps its bytes. */
  fake_bridge_on(bridge, "STREAM CONNECT", OK_STATUS "fi\0st", 29, "second", 6, 1);
  session = velqor_stream_session_new(&settings);
  velqor_keeper* keeper = velqor_keeper_new(session);
  CHECK(keeper != NULL && velqor_keeper_session(keeper) == session &&
        velqor_keeper_new(session) == NULL);
  velqor_keeper_set_callback(keeper, note_report, seen), velqor_keeper_set_release_delay(keeper, 0);
  CHECK(velqor_is_alive(session) == 1 && velqor_keeper_keep(keeper, 0) == 1);
  fake_bridge_close(bridge, control);
  CHECK(velqor_is_alive(session) == 0 && velqor_is_sick(session) == 1 &&
        strstr(velqor_strerror(velqor_get_last_error_code(session)), "closed") != NULL);
  CHECK(velqor_keeper_keep(keeper, 0) == 1 && velqor_is_alive(session) == 1);
  /* HEALTHY, REBUILDING with a reason, REBUILT; the rebuilt session gives the settings too. */
  CHECK(strcmp(seen, "aBd") == 0 && getters_give(session, settings.samport));
  socket = velqor_connect(session, "PEERDEST", 0);
  int fd = velqor_socket_release(socket, &kept, &length);
  CHECK(fd >= 0 && take_bytes(kept, length, "fi\0st", 5));
  CHECK(read(fd, rest, sizeof rest) == 6 && memcmp(rest, "second", 6) == 0 && close(fd) == 0);
  CHECK(velqor_socket_release(socket, NULL, NULL) == -1 && velqor_socket_is_ok(socket) == 0);
  velqor_socket_free(socket);
  velqor_keeper_free(keeper); /* frees the session too */
  free(big);
}

/* Runs the `count` operations until none is pending; returns how many are done. */
static int run_all(velqor_operation** ops, size_t count) {
  while (velqor_operations_wait(ops, count, -1) > 0) {
  }
  int done = 0;
  for (size_t i = 0; i < count; ++i) done += velqor_operation_progress(ops[i]) == VELQOR_DONE;
  return done;
}

/* Operations: a session made and requests run without blocking, from this thread at once;
 * results taken, refusals and limits reported, an unfinished one freed. */
static void test_operations(fake_bridge* bridge) {
  static const char accepted[] = OK_STATUS "PEER~\n\0first", connected[] = OK_STATUS "\0glued";
  velqor_settings settings = settings_for(fake_bridge_port(bridge));
  velqor_operation* creation = velqor_stream_session_start(&settings, NULL);
  CHECK(velqor_operation_progress(creation) == VELQOR_PENDING &&
        velqor_operation_fd(creation) >= 0);
  CHECK(run_all(&creation, 1) == 1 && velqor_operation_fd(creation) == -1 &&
        velqor_operation_events(creation) == 0 && velqor_operation_timeout(creation) == -1);
  velqor_stream_session* session = velqor_operation_take_stream_session(creation);
  CHECK(velqor_operation_take_stream_session(creation) == NULL && velqor_is_sick(session) == 0);
  CHECK(getters_give(session, settings.samport) && velqor_session_fd(session) >= 0 &&
        take_destination(velqor_get_my_destination(session), pub, priv));
  velqor_operation_free(creation);

  fake_bridge_on(bridge, "NAMING LOOKUP NAME=x", REPLY("NAMING REPLY RESULT=OK VALUE=X~\n"));
  fake_bridge_on(bridge, "NAMING LOOKUP NAME=b", REPLY("NAMING REPLY RESULT=KEY_NOT_FOUND\n"));
  char keys[1600];
  snprintf(keys, sizeof keys, "DEST REPLY PUB=%s PRIV=%s\n", pub, priv);
  fake_bridge_on(bridge, "DEST GENERATE", REPLY(keys));
  fake_bridge_on(bridge, "STREAM FORWARD", REPLY("STREAM STATUS RESULT=CANT_REACH_PEER\n"));
  fake_bridge_on(bridge, "NAMING LOOKUP NAME=held", "", 0, NULL, 0, 0); /* never answers */
  fake_bridge_on(bridge, "STREAM ACCEPT", accepted, sizeof accepted - 1, NULL, 0, 1);
  fake_bridge_on(bridge, "STREAM CONNECT", connected, sizeof connected - 1, "\nline\n", 6, 1);
  velqor_operation* ops[] = {velqor_namelookup_start(session, "x"),
                             velqor_dest_generate_start(session),
                             velqor_accept_start(session, 0),
                             velqor_connect_start(session, "PEER", 0),
                             velqor_namelookup_start(session, "b"),
                             velqor_namelookup_start(session, NULL),
                             velqor_forward_start(session, "127.0.0.1", 7, 1)};
  CHECK(velqor_operation_waits_for_peer(ops[2]) == 0); /* no HELLO answered yet */
  CHECK(run_all(ops, 7) == 4 && velqor_is_sick(session) == 0);
  CHECK(take_equals(velqor_operation_value(ops[0]), "X~") &&
        velqor_operation_value(ops[1]) == NULL);
  CHECK(take_destination(velqor_operation_destination(ops[1]), pub, priv));
  /* Nothing of a stream is taken past the bridge's lines: the bare descriptor has it all. */
  char buffer[32], *kept = buffer, *got;
  size_t length = 1;
  int fd = velqor_operation_take_fd(ops[2], &kept, &length);
  CHECK(take_equals(velqor_operation_peer(ops[2]), "PEER~") && kept == NULL && length == 0);
  CHECK(fd >= 0 && read(fd, buffer, sizeof buffer) == 6 && memcmp(buffer, "\0first", 6) == 0);
  close(fd);
  velqor_socket* stream = velqor_operation_take_socket(ops[3]);
  CHECK(velqor_operation_take_socket(ops[3]) == NULL && velqor_socket_fd(stream) >= 0);
  got = velqor_read_line(stream, &length);
  CHECK(take_bytes(got, length, "\0glued\n", 7) && velqor_read_line(stream, NULL) == NULL);
  got = velqor_read(stream, &length);
  CHECK(take_bytes(got, length, "line\n", 5));
  velqor_socket_free(stream);
  CHECK(velqor_operation_progress(ops[4]) == VELQOR_FAILED &&
        velqor_operation_value(ops[4]) == NULL &&
        take_reason(velqor_operation_last_error(ops[4]), "KEY_NOT_FOUND"));
  CHECK(velqor_operation_last_error_code(ops[5]) == VELQOR_ERROR_ARGUMENT &&
        velqor_operation_step(ops[5]) == VELQOR_FAILED);
  CHECK(velqor_operation_last_error_code(ops[6]) == VELQOR_ERROR_REFUSED); /* CANT_REACH_PEER */
  for (int i = 0; i < 7; ++i) velqor_operation_free(ops[i]);

  /* A deadline for everything ends an operation; one freed unfinished closes its connection. */
  const int freed = fake_bridge_connection_count(bridge) + 1; /* the second one's connection */
  velqor_limits* limits = velqor_limits_new();
  velqor_limits_set_deadline(limits, 100);
  velqor_set_limits(session, limits);
  velqor_operation* late = velqor_namelookup_start(session, "held");
  velqor_set_limits(session, NULL);
  velqor_operation* unfinished = velqor_namelookup_start(session, "held");
  CHECK(run_all(&late, 1) == 0 && velqor_operation_timeout(late) == -1);
  CHECK(take_equals(velqor_operation_last_error(late),
                    "NAMING LOOKUP: no complete line before the deadline"));
  while (fake_bridge_connection_count(bridge) <= freed) velqor_operations_wait(&unfinished, 1, 10);
  velqor_operation_free(unfinished);
  CHECK(fake_bridge_closed(bridge, freed, 1) && velqor_is_sick(session) == 0);
  velqor_operation_free(late), velqor_limits_free(limits), velqor_operation_free(NULL);
  CHECK(velqor_operation_step(NULL) == VELQOR_FAILED && velqor_operation_fd(NULL) == -1 &&
        velqor_namelookup_start(NULL, "x") == NULL && velqor_operation_peer(NULL) == NULL);
  velqor_stream_session_free(session);
}

/* Sends a datagram of `style` and takes one from the bridge, in a session of that style. */
static void test_datagram_round_trip(fake_bridge* bridge, int style) {
  velqor_settings settings = settings_for(fake_bridge_port(bridge));
  velqor_datagram_session* session = velqor_datagram_session_new(&settings, style, NULL);
  velqor_datagram_session_set_udp_port(session, fake_bridge_udp_port(bridge));
  char *sender = NULL, *wire, reply[700];
  size_t n = strlen(pub), length, largest = velqor_datagram_max_payload(session, pub);
  CHECK(velqor_datagram_session_is_sick(session) == 0 &&
        take_destination(velqor_datagram_session_destination(session), pub, priv));

  /* Limits set after creation bound lookups (the bridge never answers "b") and receives. */
  velqor_limits* limits = velqor_limits_new();
  velqor_limits_set_reply(limits, 100), velqor_limits_set_read(limits, 50);
  velqor_datagram_session_set_limits(session, limits);
  velqor_limits_free(limits);
  snprintf(reply, sizeof reply, "NAMING REPLY RESULT=OK NAME=peer.i2p VALUE=%s\n", pub);
  fake_bridge_on(bridge, "NAMING LOOKUP NAME=peer.i2p", REPLY(reply));
  CHECK(take_equals(velqor_datagram_namelookup(session, "peer.i2p"), pub));
  CHECK(velqor_datagram_namelookup(session, "b") == NULL &&
        take_reason(velqor_datagram_session_last_error(session), "within 100 ms"));
  void* got = &length;
  CHECK(velqor_datagram_receive(session, &got, &length, &sender) == -1 && got == NULL &&
        velqor_datagram_session_last_error_code(session) == VELQOR_ERROR_TIMED_OUT);
  CHECK(velqor_datagram_session_is_sick(session) == 0);

  /* Sent: "3.0 ID DESTINATION\n" and the payload, up to 32768 bytes; a refused one is not. */
  CHECK(velqor_datagram_send(session, "a b", "x", 1) == -1 &&
        velqor_datagram_session_last_error_code(session) == VELQOR_ERROR_ARGUMENT);
  CHECK(velqor_datagram_send(session, pub, "a\0b", 3) == 0);
  wire = fake_bridge_udp_receive(bridge, &length);
  CHECK(length + largest - 3 == VELQOR_DATAGRAM_MAX_SIZE && length > n + 4 &&
        memcmp(wire + length - n - 4, pub, n) == 0 && memcmp(wire + length - 4, "\na\0b", 4) == 0);

  /* Received on the session's descriptor: a repliable one brings its sender, a raw one not. */
  struct sockaddr_in own = {0};
  socklen_t own_length = sizeof own;
  CHECK(getsockname(velqor_datagram_session_fd(session), (struct sockaddr*)&own, &own_length) == 0);
  memcpy(wire, pub, n), memcpy(wire + n, "\n\0r\0", 4);
  fake_bridge_udp_send(bridge, ntohs(own.sin_port), wire, n + 4);
  CHECK(velqor_datagram_receive(session, &got, &length, &sender) == 0);
  CHECK(style == VELQOR_DATAGRAM ? take_bytes(got, length, "\0r\0", 3) && take_equals(sender, pub)
                                 : take_bytes(got, length, wire, n + 4) && sender == NULL);
  free(wire);
  velqor_datagram_session_free(session);
}

#ifdef VELQOR_C_ECHO_SERVER /* built with the examples */
/* The C echo server example, run against a bridge that joins its two sessions' streams: each of
 * its clients gets its line back through the one poll() loop. */
static void test_echo_server_example(void) {
  fake_bridge* bridge = fake_bridge_start();
  fake_bridge_pair_streams(bridge);
  char command[256], output[256] = "";
  snprintf(command, sizeof command, "%s --sam=127.0.0.1:%d --accepts=3 --clients=20",
           VELQOR_C_ECHO_SERVER, fake_bridge_port(bridge));
  FILE* run = popen(command, "r");
  size_t length = run != NULL ? fread(output, 1, sizeof output - 1, run) : 0;
  output[length] = '\0';
  CHECK(run != NULL && pclose(run) == 0 && strstr(output, "20 of 20 clients echoed\n") != NULL);
  fake_bridge_stop(bridge);
}
#endif

int main(void) {
  pub = fake_bridge_test_key(0), priv = fake_bridge_test_key(1);
  test_null_handles_and_unusable_settings();
  fake_bridge* bridge = fake_bridge_start();
  test_sessions_streams_limits_keys_and_keeper(bridge);
  test_datagram_round_trip(bridge, VELQOR_DATAGRAM);
  test_datagram_round_trip(bridge, VELQOR_RAW);
  test_operations(bridge);
#ifdef VELQOR_C_ECHO_SERVER
  test_echo_server_example();
#endif
  free(pub), free(priv), fake_bridge_stop(bridge);
  printf("%d failed checks\n", failures);
  return failures == 0 ? 0 : 1;
}
