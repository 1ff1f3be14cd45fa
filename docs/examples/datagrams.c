/* Two repliable datagram sessions in C: "ping" sends a datagram to "pong", which answers the
 * sender the bridge names. See docs/datagrams.md.
 *
 *   datagrams SAMPORT "SESSION_OPTIONS"
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <velqor/velqor.h>

/* A DATAGRAM session with a read limit, so that a lost datagram ends the wait; NULL with the
 * reason printed when it could not be made. */
static velqor_datagram_session* make(const char* nickname, uint16_t port, const char* options) {
  velqor_settings settings = {"127.0.0.1", port, nickname, options, "TRANSIENT"};
  velqor_limits* limits = velqor_limits_new();
  velqor_datagram_session* session;
  char* why;
  velqor_limits_set_connect(limits, 10000);
  velqor_limits_set_reply(limits, 180000); /* SESSION CREATE: about 20 s on velqor-sandbox */
  velqor_limits_set_read(limits, 30000);
  session = velqor_datagram_session_new(&settings, VELQOR_DATAGRAM, limits);
  velqor_limits_free(limits);
  if (session != NULL && !velqor_datagram_session_is_sick(session)) return session;
  why = velqor_datagram_session_last_error(session);
  fprintf(stderr, "%s: %s\n", nickname, why != NULL ? why : "out of memory");
  free(why);
  velqor_datagram_session_free(session);
  return NULL;
}

/* Sends `text` to `destination`; 0 when the bridge took it (not that it arrived). */
static int send_text(velqor_datagram_session* session, const char* destination, const char* text) {
  char* why;
  if (velqor_datagram_send(session, destination, text, strlen(text)) == 0) return 0;
  why = velqor_datagram_session_last_error(session);
  fprintf(stderr, "not sent: %s\n", why != NULL ? why : "out of memory");
  free(why);
  return -1;
}

/* Takes one datagram and prints it; 0 on success. The caller frees *sender. */
static int take(velqor_datagram_session* session, const char* who, char** sender) {
  void* payload;
  size_t length;
  if (velqor_datagram_receive(session, &payload, &length, sender) != 0) {
    int code = velqor_datagram_session_last_error_code(session);
    fprintf(stderr, "%s: nothing received (%s)\n", who, velqor_strerror(code));
    return -1;
  }
  printf("%s got %u bytes: %.*s\n", who, (unsigned)length, (int)length, (const char*)payload);
  free(payload);
  return 0;
}

int main(int argc, char** argv) {
  velqor_datagram_session *ping, *pong;
  velqor_destination* own;
  char *pong_pub = NULL, *sender = NULL;
  int status = 1;
  if (argc != 3) {
    fprintf(stderr, "usage: datagrams SAMPORT SESSION_OPTIONS\n");
    return 2;
  }
  /* One after the other here, for brevity: each creation takes its time. */
  ping = make("guide-ping", (uint16_t)atoi(argv[1]), argv[2]);
  pong = ping != NULL ? make("guide-pong", (uint16_t)atoi(argv[1]), argv[2]) : NULL;
  if (pong != NULL) {
    own = velqor_datagram_session_destination(pong);
    pong_pub = velqor_destination_pub(own); /* the full destination: no names, no b32 here */
    velqor_destination_free(own);
  }
  if (pong_pub != NULL && send_text(ping, pong_pub, "ping") == 0 &&
      take(pong, "pong", &sender) == 0 && send_text(pong, sender, "pong") == 0 &&
      take(ping, "ping", NULL) == 0) {
    status = 0;
  }
  free(pong_pub), free(sender);
  velqor_datagram_session_free(ping), velqor_datagram_session_free(pong);
  return status;
}
