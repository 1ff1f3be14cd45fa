/* Builds against an installed velqor through pkg-config, as a C user would. Without
 * arguments it prints its usage; with a bridge port it creates a session and reports it. */
#include <stdio.h>
#include <stdlib.h>

#include <velqor/velqor.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    printf("usage: %s SAM-PORT\n", argv[0]);
    return 0;
  }
  velqor_settings settings;
  settings.samhost = "127.0.0.1";
  settings.samport = (uint16_t)atoi(argv[1]);
  settings.nickname = "consumer";
  settings.i2cp_options = "";
  settings.destination = "TRANSIENT";
  velqor_stream_session* session = velqor_stream_session_new(&settings);
  if (session == NULL) return 1;
  printf("sick: %d\n", velqor_is_sick(session));
  velqor_stream_session_free(session);
  return 0;
}
