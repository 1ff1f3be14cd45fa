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
  velqor_stream_session* session;
  velqor_socket* stream;
  char request[512];
  char *destination, *data;
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

  /* Creating a session never fails outright: a session that could not be made is sick. */
  session = velqor_stream_session_new(&settings);
  if (session == NULL || velqor_is_sick(session)) {
    fprintf(stderr, "no session at the SAM bridge %s:%u\n", settings.samhost,
            (unsigned)settings.samport);
    velqor_stream_session_free(session);
    return 1;
  }

  destination = velqor_namelookup(session, argv[1]);
  if (destination == NULL) {
    fprintf(stderr, "cannot resolve %s\n", argv[1]);
  } else if ((stream = velqor_connect(session, destination, 0)) == NULL) {
    fprintf(stderr, "cannot connect to %s\n", argv[1]);
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
