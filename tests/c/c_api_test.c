/* Tests of the flat C interface, written in C against the shared library and a scripted fake
 * bridge. Every returned string is freed with free and every handle with its own function, so
 * that the leak checkers that run this program see any leak of the interface. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <velqor/velqor.h>

#include "bridge_shim.h"

static const char* current_case;
static int case_failures;

#define CHECK(cond)                                                                         \
  do {                                                                                      \
    if (!(cond)) {                                                                          \
      fprintf(stderr, "%s:%d: in %s: CHECK(%s) failed\n", __FILE__, __LINE__, current_case, \
              #cond);                                                                       \
      ++case_failures;                                                                      \
    }                                                                                       \
  } while (0)

/* Frees `got` and tells whether it was a string equal to `want`. */
static int take_equals(char* got, const char* want) {
  int equal = got != NULL && strcmp(got, want) == 0;
  free(got);
  return equal;
}

/* Frees the record and tells whether its public and private destinations are as given. */
static int take_destination_equals(velqor_destination* d, const char* pub, const char* priv) {
  int equal = d != NULL && take_equals(velqor_destination_pub(d), pub) &&
              take_equals(velqor_destination_priv(d), priv);
  velqor_destination_free(d);
  return equal;
}

static velqor_settings settings_for(uint16_t port) {
  velqor_settings settings;
  settings.samhost = "127.0.0.1";
  settings.samport = port;
  settings.nickname = "c-test";
  settings.i2cp_options = "inbound.length=1";
  settings.destination = "TRANSIENT";
  return settings;
}

static velqor_stream_session* session_on(const fake_bridge* bridge) {
  velqor_settings settings = settings_for(fake_bridge_port(bridge));
  return velqor_stream_session_new(&settings);
}

/* Whether the bridge received a line that contains `needle`. */
static int bridge_saw(const fake_bridge* bridge, const char* needle) {
  size_t i, count = fake_bridge_line_count(bridge);
  int seen = 0;
  for (i = 0; i < count && !seen; ++i) {
    char* line = fake_bridge_line(bridge, i);
    seen = line != NULL && strstr(line, needle) != NULL;
    free(line);
  }
  return seen;
}

/* The first line of a file of tests/data, or NULL. */
static char* read_test_key(const char* name) {
  char path[1024], line[4096];
  FILE* file;
  char* key = NULL;
  snprintf(path, sizeof path, "%s/%s", VELQOR_TEST_DATA_DIR, name);
  file = fopen(path, "r");
  if (file != NULL && fgets(line, sizeof line, file) != NULL) {
    line[strcspn(line, "\r\n")] = '\0';
    key = malloc(strlen(line) + 1);
    if (key != NULL) strcpy(key, line);
  }
  if (file != NULL) fclose(file);
  return key;
}

static void test_no_bridge_gives_sick_session(void) {
  uint16_t port = 0;
  int fd = fake_bridge_reserve_dead_port(&port);
  velqor_settings settings = settings_for(port);
  velqor_stream_session* session;
  CHECK(fd >= 0);
  session = velqor_stream_session_new(&settings);
  CHECK(session != NULL);
  CHECK(velqor_is_sick(session) == 1);
  CHECK(take_destination_equals(velqor_get_my_destination(session), "", ""));
  CHECK(take_equals(velqor_get_samhost(session), "127.0.0.1"));
  CHECK(velqor_get_samport(session) == port);
  CHECK(take_equals(velqor_get_nickname(session), "c-test"));
  CHECK(take_equals(velqor_get_i2cp_options(session), "inbound.length=1"));
  CHECK(take_equals(velqor_get_sam_min_version(session), "3.0"));
  CHECK(take_equals(velqor_get_sam_max_version(session), "3.1"));
  CHECK(take_equals(velqor_get_sam_version(session), ""));
  CHECK(velqor_namelookup(session, "site.i2p") == NULL);
  CHECK(velqor_dest_generate(session) == NULL);
  CHECK(velqor_connect(session, "PEERDEST", 0) == NULL);
  CHECK(velqor_forward(session, "127.0.0.1", 80, 0) == -1);
  velqor_stream_session_free(session);
  fake_bridge_release_port(fd);
}

static void test_session_lifecycle_and_getters(void) {
  fake_bridge* bridge = fake_bridge_start();
  velqor_stream_session* session = session_on(bridge);
  velqor_stream_session* second = session_on(bridge);
  char *pub = read_test_key("test-key.pub"), *priv = read_test_key("test-key.priv");
  char *id = velqor_get_session_id(session), *id_again = velqor_get_session_id(session);
  char* second_id = velqor_get_session_id(second);
  char expected_create[64];

  CHECK(velqor_is_sick(session) == 0);
  CHECK(take_equals(velqor_get_sam_version(session), "3.1"));
  CHECK(velqor_get_samport(session) == fake_bridge_port(bridge));
  /* Getters hand out a fresh copy each time. */
  CHECK(id != NULL && id_again != NULL && id != id_again && strcmp(id, id_again) == 0);
  CHECK(id != NULL && strlen(id) >= 5 && strlen(id) <= 8 &&
        strspn(id, "ABCDEFGHIJKLMNOPQRSTUVWXYZ") == strlen(id));
  /* Identifiers are random, not one per second: two sessions at once differ. */
  CHECK(id != NULL && second_id != NULL && strcmp(id, second_id) != 0);
  snprintf(expected_create, sizeof expected_create, "ID=%s ", id != NULL ? id : "?");
  CHECK(bridge_saw(bridge, expected_create));
  CHECK(bridge_saw(bridge,
                   "DESTINATION=TRANSIENT SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 "
                   "inbound.nickname=c-test inbound.length=1\n"));
  /* The public destination is derived from the private key: 524 characters. */
  CHECK(pub != NULL && strlen(pub) == 524 && priv != NULL);
  CHECK(take_destination_equals(velqor_get_my_destination(session), pub != NULL ? pub : "?",
                                priv != NULL ? priv : "?"));

  velqor_stream_session_free(session);
  fake_bridge_wait_closed(bridge, 0); /* freeing closes the control connection */
  velqor_stream_session_free(second);
  free(id);
  free(id_again);
  free(second_id);
  free(pub);
  free(priv);
  fake_bridge_stop(bridge);
}

static void test_refused_session_is_sick(void) {
  static const char* const refusals[] = {
      "SESSION STATUS RESULT=DUPLICATED_ID\n",
      "SESSION STATUS RESULT=I2P_ERROR MESSAGE=\"no tunnels\"\n",
      "SESSION STATUS\n",
  };
  size_t i;
  for (i = 0; i < sizeof refusals / sizeof refusals[0]; ++i) {
    fake_bridge* bridge = fake_bridge_start();
    velqor_stream_session* session;
    fake_bridge_on(bridge, "SESSION CREATE", refusals[i], strlen(refusals[i]));
    session = session_on(bridge);
    CHECK(session != NULL && velqor_is_sick(session) == 1);
    CHECK(take_destination_equals(velqor_get_my_destination(session), "", ""));
    velqor_stream_session_free(session);
    fake_bridge_stop(bridge);
  }
}

enum request_kind { LOOKUP, GENERATE, FORWARD, CONNECT, ACCEPT };

/* The line each kind of request is expected to send, for the arguments run_request uses. */
static const char* const expected_line[] = {
    "NAMING LOOKUP NAME=site.i2p\n", "DEST GENERATE\n", " PORT=4242 HOST=127.0.0.1 SILENT=true\n",
    " DESTINATION=PEERDEST SILENT=false\n", " SILENT=false\n"};

/* Makes one request and tells whether it succeeded; frees whatever it returned. */
static int run_request(velqor_stream_session* session, enum request_kind kind) {
  switch (kind) {
    case LOOKUP:
      return take_equals(velqor_namelookup(session, "site.i2p"), "SITEDEST~");
    case GENERATE:
      return take_destination_equals(velqor_dest_generate(session), "PUBKEY", "PRIVKEY");
    case FORWARD: {
      int result = velqor_forward(session, "127.0.0.1", 4242, 2);
      CHECK(result == 0 || result == -1);
      return result == 0;
    }
    case CONNECT:
    case ACCEPT: {
      velqor_socket* socket =
          kind == CONNECT ? velqor_connect(session, "PEERDEST", 0) : velqor_accept(session, 0);
      velqor_socket_free(socket);
      return socket != NULL;
    }
  }
  return -1;
}

static void test_requests(void) {
  static const struct {
    const char* reply; /* NULL: the bridge closes the connection without a reply */
    enum request_kind kind;
    int succeeds;
    int makes_sick;
  } cases[] = {
      {"NAMING REPLY RESULT=OK NAME=site.i2p VALUE=SITEDEST~\n", LOOKUP, 1, 0},
      {"NAMING REPLY RESULT=KEY_NOT_FOUND NAME=site.i2p\n", LOOKUP, 0, 0},
      {NULL, LOOKUP, 0, 1},
      {"DEST REPLY PUB=PUBKEY PRIV=PRIVKEY\n", GENERATE, 1, 0},
      {"DEST REPLY PUB=PUBKEY\n", GENERATE, 0, 1},
      {"STREAM STATUS RESULT=OK\n", FORWARD, 1, 0},
      {"STREAM STATUS RESULT=I2P_ERROR\n", FORWARD, 0, 1},
      {"STREAM STATUS RESULT=CANT_REACH_PEER\n", CONNECT, 0, 0},
      {"STREAM STATUS RESULT=INVALID_ID\n", CONNECT, 0, 1},
      {"STREAM STATUS RESULT=ALREADY_ACCEPTING\n", ACCEPT, 0, 0},
  };
  static const char* const prefix[] = {"NAMING LOOKUP", "DEST GENERATE", "STREAM FORWARD",
                                       "STREAM CONNECT", "STREAM ACCEPT"};
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    fake_bridge* bridge = fake_bridge_start();
    velqor_stream_session* session;
    if (cases[i].reply != NULL) {
      fake_bridge_on(bridge, prefix[cases[i].kind], cases[i].reply, strlen(cases[i].reply));
    }
    session = session_on(bridge);
    if (run_request(session, cases[i].kind) != cases[i].succeeds) {
      fprintf(stderr, "request case %u: wrong outcome\n", (unsigned)i);
      CHECK(0);
    }
    if (velqor_is_sick(session) != cases[i].makes_sick) {
      fprintf(stderr, "request case %u: wrong sick state\n", (unsigned)i);
      CHECK(0);
    }
    CHECK(bridge_saw(bridge, expected_line[cases[i].kind]));
    velqor_stream_session_free(session);
    fake_bridge_stop(bridge);
  }
}

static void test_forward_and_stop(void) {
  fake_bridge* bridge = fake_bridge_start();
  velqor_stream_session* session;
  int forward_connection;
  fake_bridge_on(bridge, "STREAM FORWARD", "STREAM STATUS RESULT=OK\n", 24);
  session = session_on(bridge);
  CHECK(velqor_forward(session, "127.0.0.1", 4242, 0) == 0);
  forward_connection = fake_bridge_connection_count(bridge) - 1;
  velqor_stop_forwarding(session, "127.0.0.1", 4242);
  fake_bridge_wait_closed(bridge, forward_connection);
  velqor_stop_forwarding_all(session);
  fake_bridge_wait_closed(bridge, 0);
  velqor_stop_forwarding_all(session); /* a second time changes nothing */
  velqor_stream_session_free(session);
  fake_bridge_stop(bridge);
}

static void test_stream_bytes_both_ways(void) {
  /* Bytes that arrive with the status line, zero bytes first and inside. */
  static const char first[] = "\0bin\0ary";
  static const char small[] = "a\0b\0\0c";
  const size_t big_length = 300000;
  char* big = malloc(big_length);
  fake_bridge* bridge = fake_bridge_start();
  velqor_stream_session* session;
  velqor_socket* socket;
  char *got, *sent;
  size_t i, length = 99;

  for (i = 0; i < big_length; ++i) big[i] = (char)(i % 251); /* every 251st byte is zero */
  fake_bridge_on_stream(bridge, "STREAM CONNECT", "STREAM STATUS RESULT=OK\n", first,
                        sizeof first - 1, FAKE_BRIDGE_SAME_SEND);
  session = session_on(bridge);
  socket = velqor_connect(session, "PEERDEST", 0);
  CHECK(socket != NULL && velqor_socket_is_ok(socket) == 1);

  got = velqor_read(socket, &length);
  CHECK(got != NULL && length == sizeof first - 1 && memcmp(got, first, length) == 0);
  free(got);

  velqor_write(socket, small, sizeof small - 1);
  velqor_write(socket, big, big_length);
  velqor_write(socket, "", 0); /* a length of 0 closes the connection */
  CHECK(velqor_socket_is_ok(socket) == 0);
  sent = fake_bridge_stream_received(bridge, 0, &length);
  CHECK(length == sizeof small - 1 + big_length);
  CHECK(length == sizeof small - 1 + big_length && memcmp(sent, small, sizeof small - 1) == 0 &&
        memcmp(sent + sizeof small - 1, big, big_length) == 0);
  free(sent);

  length = 99;
  CHECK(velqor_read(socket, &length) == NULL && length == 0);
  velqor_socket_close(socket);
  velqor_socket_close(socket); /* closing twice is harmless */
  CHECK(velqor_socket_is_ok(socket) == 0);
  velqor_socket_free(socket);
  velqor_socket_free(NULL);
  velqor_stream_session_free(session);
  fake_bridge_stop(bridge);
  free(big);
}

static void test_read_until_peer_ends(void) {
  /* Bytes in a receive of their own that begin with a zero byte are data, not the end of the
   * stream; only the peer's ending gives NULL. */
  static const char data[] = "\0\0\0zero-first";
  fake_bridge* bridge = fake_bridge_start();
  velqor_stream_session* session;
  velqor_socket* socket;
  char* got;
  size_t length = 0;
  fake_bridge_on_stream(bridge, "STREAM ACCEPT", "STREAM STATUS RESULT=OK\n", data, sizeof data - 1,
                        FAKE_BRIDGE_END_AFTER_DATA);
  session = session_on(bridge);
  socket = velqor_accept(session, 0);
  CHECK(socket != NULL);
  got = velqor_read(socket, &length);
  CHECK(got != NULL && length == sizeof data - 1 && memcmp(got, data, length) == 0);
  CHECK(velqor_socket_is_ok(socket) == 1);
  free(got);
  length = 99;
  CHECK(velqor_read(socket, &length) == NULL && length == 0); /* the peer ended the stream */
  CHECK(velqor_socket_is_ok(socket) == 0);
  velqor_socket_free(socket);
  velqor_stream_session_free(session);
  fake_bridge_stop(bridge);
}

static void test_handles_outlive_session(void) {
  static const char reply[] = "DEST REPLY PUB=PUBKEY PRIV=PRIVKEY\n";
  fake_bridge* bridge = fake_bridge_start();
  velqor_stream_session* session;
  velqor_socket* socket;
  velqor_destination *generated, *mine;
  char *sent, *pub = read_test_key("test-key.pub"), *priv = read_test_key("test-key.priv");
  size_t length = 0;
  fake_bridge_on(bridge, "DEST GENERATE", reply, sizeof reply - 1);
  fake_bridge_on_stream(bridge, "STREAM CONNECT", "STREAM STATUS RESULT=OK\n", NULL, 0, 0);
  session = session_on(bridge);
  socket = velqor_connect(session, "PEERDEST", 0);
  generated = velqor_dest_generate(session);
  mine = velqor_get_my_destination(session);
  velqor_stream_session_free(session);
  fake_bridge_wait_closed(bridge, 0);

  CHECK(velqor_socket_is_ok(socket) == 1);
  velqor_write(socket, "ping", 4);
  velqor_socket_free(socket); /* closes the stream */
  sent = fake_bridge_stream_received(bridge, 0, &length);
  CHECK(length == 4 && memcmp(sent, "ping", 4) == 0);
  free(sent);
  CHECK(take_destination_equals(generated, "PUBKEY", "PRIVKEY"));
  CHECK(take_destination_equals(mine, pub != NULL ? pub : "?", priv != NULL ? priv : "?"));
  free(pub);
  free(priv);
  fake_bridge_stop(bridge);
}

static void test_null_inputs(void) {
  static const char prefix[] = "STREAM CONNECT";
  fake_bridge* bridge = fake_bridge_start();
  velqor_settings settings = settings_for(fake_bridge_port(bridge));
  velqor_settings broken[4];
  velqor_stream_session* session;
  velqor_socket* socket;
  size_t i, length = 99;
  char* got;

  /* Handles that are NULL answer with each function's failure result. */
  CHECK(velqor_get_samhost(NULL) == NULL && velqor_get_nickname(NULL) == NULL);
  CHECK(velqor_get_session_id(NULL) == NULL && velqor_get_sam_version(NULL) == NULL);
  CHECK(velqor_get_sam_min_version(NULL) == NULL && velqor_get_sam_max_version(NULL) == NULL);
  CHECK(velqor_get_i2cp_options(NULL) == NULL && velqor_get_samport(NULL) == 0);
  CHECK(velqor_is_sick(NULL) == 1 && velqor_get_my_destination(NULL) == NULL);
  CHECK(velqor_accept(NULL, 0) == NULL && velqor_connect(NULL, "x", 0) == NULL);
  CHECK(velqor_forward(NULL, "127.0.0.1", 1, 0) == -1 && velqor_namelookup(NULL, "x") == NULL);
  CHECK(velqor_dest_generate(NULL) == NULL);
  velqor_stop_forwarding(NULL, "127.0.0.1", 1);
  velqor_stop_forwarding_all(NULL);
  CHECK(velqor_read(NULL, &length) == NULL && length == 0);
  velqor_write(NULL, "x", 1);
  velqor_socket_close(NULL);
  CHECK(velqor_socket_is_ok(NULL) == 0);
  CHECK(velqor_destination_pub(NULL) == NULL && velqor_destination_priv(NULL) == NULL);
  velqor_socket_free(NULL);
  velqor_destination_free(NULL);
  velqor_stream_session_free(NULL);

  /* Unusable settings give a sick handle without connecting anywhere. */
  for (i = 0; i < 4; ++i) broken[i] = settings;
  broken[0].samhost = NULL;
  broken[1].nickname = NULL;
  broken[2].i2cp_options = NULL;
  broken[3].destination = NULL;
  for (i = 0; i < 5; ++i) {
    session = velqor_stream_session_new(i < 4 ? &broken[i] : NULL);
    CHECK(session != NULL && velqor_is_sick(session) == 1);
    CHECK(velqor_get_nickname(session) == NULL && velqor_get_samport(session) == 0);
    CHECK(take_destination_equals(velqor_get_my_destination(session), "", ""));
    CHECK(velqor_namelookup(session, "site.i2p") == NULL);
    velqor_stop_forwarding_all(session);
    velqor_stream_session_free(session);
  }
  CHECK(fake_bridge_connection_count(bridge) == 0);

  /* NULL arguments on a working session and socket. */
  fake_bridge_on_stream(bridge, prefix, "STREAM STATUS RESULT=OK\n", "kept", 4,
                        FAKE_BRIDGE_SAME_SEND);
  session = velqor_stream_session_new(&settings);
  socket = velqor_connect(session, "PEERDEST", 0);
  CHECK(velqor_read(socket, NULL) == NULL);
  velqor_write(socket, NULL, 3);
  CHECK(velqor_socket_is_ok(socket) == 1);
  got = velqor_read(socket, &length); /* the NULL-length read took nothing */
  CHECK(got != NULL && length == 4 && memcmp(got, "kept", 4) == 0);
  free(got);
  velqor_socket_free(socket);
  velqor_stream_session_free(session);
  fake_bridge_stop(bridge);
}

static void test_unsafe_arguments_refused(void) {
  fake_bridge* bridge = fake_bridge_start();
  velqor_stream_session* session = session_on(bridge);
  size_t lines_before = fake_bridge_line_count(bridge);
  CHECK(velqor_namelookup(session, NULL) == NULL);
  CHECK(velqor_namelookup(session, "a.i2p\nDEST GENERATE") == NULL);
  CHECK(velqor_connect(session, NULL, 0) == NULL);
  CHECK(velqor_connect(session, "PEER\r\nDEST GENERATE", 0) == NULL);
  CHECK(velqor_forward(session, NULL, 80, 0) == -1);
  CHECK(velqor_forward(session, "127.0.0.1\nDEST GENERATE", 80, 0) == -1);
  velqor_stop_forwarding(session, NULL, 80);
  /* Nothing reached the bridge, and the session is as healthy as before. */
  CHECK(fake_bridge_line_count(bridge) == lines_before);
  CHECK(velqor_is_sick(session) == 0);
  velqor_stream_session_free(session);
  fake_bridge_stop(bridge);
}

int main(void) {
  static const struct {
    const char* name;
    void (*run)(void);
  } cases[] = {
      {"no_bridge_gives_sick_session", test_no_bridge_gives_sick_session},
      {"session_lifecycle_and_getters", test_session_lifecycle_and_getters},
      {"refused_session_is_sick", test_refused_session_is_sick},
      {"requests", test_requests},
      {"forward_and_stop", test_forward_and_stop},
      {"stream_bytes_both_ways", test_stream_bytes_both_ways},
      {"read_until_peer_ends", test_read_until_peer_ends},
      {"handles_outlive_session", test_handles_outlive_session},
      {"null_inputs", test_null_inputs},
      {"unsafe_arguments_refused", test_unsafe_arguments_refused},
  };
  size_t i;
  int passed = 0, failed = 0;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    current_case = cases[i].name;
    case_failures = 0;
    cases[i].run();
    if (case_failures == 0) {
      ++passed;
    } else {
      ++failed;
      fprintf(stderr, "FAILED: %s\n", cases[i].name);
    }
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
