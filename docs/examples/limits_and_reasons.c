/* Time limits and reasons in C: a session made within limits, a lookup that fails, and what the
 * library says about each failure. See docs/limits-and-reasons.md.
 *
 *   limits_and_reasons SAMPORT "SESSION_OPTIONS" NAME
 */
#include <stdio.h>
#include <stdlib.h>
#include <velqor/velqor.h>

/* Prints why the session's last call failed: the kind (a fixed text) and the reason. */
static void print_failure(const char* what, const velqor_stream_session* session) {
  char* reason = velqor_get_last_error(session); /* NULL: nothing failed, or no memory */
  int code = velqor_get_last_error_code(session);
  fprintf(stderr, "%s failed: %s (%s)\n", what, reason != NULL ? reason : "?",
          velqor_strerror(code));
  free(reason);
}

int main(int argc, char** argv) {
  velqor_settings settings = {"127.0.0.1", 0, "guide-limits", "", "TRANSIENT"};
  velqor_limits* limits;
  velqor_stream_session* session;
  char* destination;
  int status = 1;
  if (argc != 4) {
    fprintf(stderr, "usage: limits_and_reasons SAMPORT SESSION_OPTIONS NAME\n");
    return 2;
  }
  settings.samport = (uint16_t)atoi(argv[1]);
  settings.i2cp_options = argv[2];
  printf("velqor %s\n", velqor_version());

  /* Milliseconds; 0, the default of each, waits as long as it takes. */
  limits = velqor_limits_new();
  velqor_limits_set_connect(limits, 5000); /* each TCP connect to the bridge */
  velqor_limits_set_reply(limits, 90000);  /* each reply line: SESSION CREATE takes ~20 s */
  velqor_limits_set_read(limits, 60000);   /* each velqor_read of a stream */
  velqor_limits_set_write(limits, 60000);  /* each velqor_write */
  session = velqor_stream_session_new_with_limits(&settings, limits);
  if (velqor_is_sick(session)) {
    print_failure("creating the session", session);
  } else {
    /* Requests get shorter limits from now on. */
    velqor_limits_set_reply(limits, 10000);
    velqor_set_limits(session, limits);
    destination = velqor_namelookup(session, argv[3]);
    if (destination == NULL) {
      print_failure("the lookup", session); /* an unknown name leaves the session healthy */
    } else {
      printf("%s is %.20s...\n", argv[3], destination);
      free(destination);
      status = 0;
    }
  }
  velqor_limits_free(limits);
  velqor_stream_session_free(session);
  return status;
}
