/* Looks up an I2P name through the SAM bridge, connects to it, sends one HTTP request and
 * prints what comes back.
 *
 *   c_lookup_connect NAME [SAMHOST [SAMPORT [I2CP_OPTIONS]]]
 *   c_lookup_connect example.i2p 127.0.0.1 7656 "inbound.length=1 outbound.length=1"
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <velqor/velqor.h>

int main(int argc, char** argv) {
  velqor_settings settings;
  velqor_limits* limits;
  velqor_stream_session* session;
  velqor_socket* stream;
  char request[512];
  char *destination, *data, *why;
  size_t length;
  int status = 1;

  if (argc < 2 || argc > 5) {
    fprintf(stderr, "usage: %s NAME [SAMHOST [SAMPORT [I2CP_OPTIONS]]]\n", argv[0]);
    return 2;
  }
  settings.nickname = "c-lookup-connect";
  settings.samhost = argc > 2 ? argv[2] : "127.0.0.1";
  settings.samport = (uint16_t)(argc > 3 ? atoi(argv[3]) : 7656);
  settings.i2cp_options = argc > 4 ? argv[4] : "";
  settings.destination = "TRANSIENT";

  /* Without limits every call waits as long as the bridge takes; these bound each phase, for
   * the session and for the streams it hands out. */
  limits = velqor_limits_new();
  velqor_limits_set_connect(limits, 10000);
  velqor_limits_set_reply(limits, 180000); /* creating the session builds tunnels */
  velqor_limits_set_read(limits, 60000);
  velqor_limits_set_write(limits, 60000);

  /* Creating a session never fails outright: a session that could not be made is sick, and
   * velqor_get_last_error says why. */
  session = velqor_stream_session_new_with_limits(&settings, limits);
  velqor_limits_free(limits); /* the session keeps a copy */
  if (session == NULL || velqor_is_sick(session)) {
    why = velqor_get_last_error(session);
    fprintf(stderr, "no session: %s\n", why != NULL ? why : "out of memory");
    free(why);
    velqor_stream_session_free(session);
    return 1;
  }

  destination = velqor_namelookup(session, argv[1]);
  if (destination == NULL || (stream = velqor_connect(session, destination, 0)) == NULL) {
    why = velqor_get_last_error(session);
    fprintf(stderr, "cannot %s %s: %s\n", destination == NULL ? "resolve" : "connect to", argv[1],
            why != NULL ? why : "out of memory");
    free(why);
  } else {
    snprintf(request, sizeof request, "GET / HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n",
             argv[1]);
    velqor_write(stream, request, strlen(request));
    /* Each read returns the bytes of one receive; NULL means the stream has ended. */
    while ((data = velqor_read(stream, &length)) != NULL) {
      fwrite(data, 1, length, stdout);
      free(data);
    }
    velqor_socket_free(stream);
    status = 0;
  }

  free(destination); /* every string from the library is released with free */
  velqor_stream_session_free(session);
  return status;
}
