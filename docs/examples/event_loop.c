/* event_loop: many accepts and connects at once, in one thread and one poll() loop.
 *   event_loop SAM_PORT SESSION_OPTIONS COUNT
 * Makes two sessions at once, starts COUNT accepts on one and COUNT connects from the other to
 * it, and greets every stream that comes about with a line; exits once every operation ended. */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <velqor/velqor.h>

/* Steps every pending operation of `ops` that is ready, after one poll() over them all; an
 * operation that was pending has its descriptor in `fds` afterwards, the others -1. */
static void step_ready(velqor_operation** ops, size_t count, struct pollfd* fds) {
  int timeout = -1; /* the nearest limit of any operation */
  for (size_t i = 0; i < count; ++i) {
    int events = velqor_operation_events(ops[i]), left = velqor_operation_timeout(ops[i]);
    fds[i].fd =
        velqor_operation_progress(ops[i]) == VELQOR_PENDING ? velqor_operation_fd(ops[i]) : -1;
    fds[i].events = (short)((events & VELQOR_WAIT_READ ? POLLIN : 0) |
                            (events & VELQOR_WAIT_WRITE ? POLLOUT : 0));
    if (left >= 0 && (timeout < 0 || left < timeout)) timeout = left;
  }
  poll(fds, count, timeout);
  for (size_t i = 0; i < count; ++i) {
    if (fds[i].fd < 0 || (fds[i].revents == 0 && velqor_operation_timeout(ops[i]) != 0)) continue;
    velqor_operation_step(ops[i]);
  }
}

int main(int argc, char** argv) {
  if (argc != 4) return fprintf(stderr, "usage: %s SAM_PORT SESSION_OPTIONS COUNT\n", argv[0]), 2;
  velqor_settings settings = {"127.0.0.1", (uint16_t)atoi(argv[1]), "loop", argv[2], "TRANSIENT"};
  velqor_limits* limits = velqor_limits_new();
  velqor_limits_set_reply(limits, 120000); /* every phase has a limit: the bridge's lines, */
  velqor_limits_set_read(limits, 60000);   /* and an accept's wait for its peer */
  size_t count = (size_t)atoi(argv[3]), pending = 2 * count;
  velqor_operation** ops = calloc(2 * count + 2, sizeof *ops);
  struct pollfd* fds = calloc(2 * count + 2, sizeof *fds);

  /* The two sessions, made at once: about 20 s on a private i2pd router. */
  ops[0] = velqor_stream_session_start(&settings, limits);
  ops[1] = velqor_stream_session_start(&settings, limits);
  while (velqor_operation_progress(ops[0]) == VELQOR_PENDING ||
         velqor_operation_progress(ops[1]) == VELQOR_PENDING)
    step_ready(ops, 2, fds);
  velqor_stream_session* server = velqor_operation_take_stream_session(ops[0]);
  velqor_stream_session* client = velqor_operation_take_stream_session(ops[1]);
  if (server == NULL || client == NULL) return fprintf(stderr, "no sessions\n"), 1;
  velqor_operation_free(ops[0]), velqor_operation_free(ops[1]);
  velqor_destination* target = velqor_get_my_destination(server);
  char* destination = velqor_destination_pub(target);

  for (size_t i = 0; i < count; ++i) {
    ops[i] = velqor_accept_start(server, 0);
    ops[count + i] = velqor_connect_start(client, destination, 0);
  }
  while (pending > 0) {
    step_ready(ops, 2 * count, fds);
    for (size_t i = 0; i < 2 * count; ++i) { /* every one that ended just now: its stream */
      if (fds[i].fd < 0 || velqor_operation_progress(ops[i]) == VELQOR_PENDING) continue;
      --pending;
      const char* what = i < count ? "accept" : "connect";
      int fd = velqor_operation_take_fd(ops[i], NULL, NULL); /* non-blocking, nothing read yet */
      if (fd < 0) {
        char* why = velqor_operation_last_error(ops[i]);
        printf("%s %zu failed: %s\n", what, i % count, why);
        free(why);
        continue;
      }
      char* peer = velqor_operation_peer(ops[i]); /* an accept's: who connected */
      printf("%s %zu: a stream%s%.16s\n", what, i % count, peer ? " from " : "", peer ? peer : "");
      if (write(fd, "hello\n", 6) != 6) perror("write");
      close(fd), free(peer);
    }
  }
  for (size_t i = 0; i < 2 * count; ++i) velqor_operation_free(ops[i]);
  free(destination), velqor_destination_free(target), free(ops), free(fds);
  velqor_stream_session_free(client), velqor_stream_session_free(server);
  velqor_limits_free(limits);
  return 0;
}
