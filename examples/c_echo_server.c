/* c_echo_server: an I2P echo server for many peers in one thread, on the operations of
 * <velqor/velqor.h> and one poll() loop: it creates its session without blocking, keeps a number
 * of accepts waiting, and echoes every stream that comes. With --clients=N it also creates a
 * second session in the same loop, connects N clients from it to the server, checks that each
 * gets its line back, and exits 0 once all have (1 otherwise).
 *
 *   c_echo_server [--sam=HOST:PORT] [--options=TEXT] [--accepts=N] [--clients=N]
 *
 * On a private router (velqor-sandbox) give --options with the SESSION_OPTIONS it prints. */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <velqor/velqor.h>

#define MAX_SLOTS 1024

/* Each slot of the loop is an operation under way, or the stream an accept or a connect gave. */
typedef struct slot {
  velqor_operation* op;
  int fd;         /* the stream's, once the operation is done; -1 before */
  int client;     /* a stream of our own clients, which checks its echo */
  char out[4096]; /* bytes to send: an echo's received bytes, or a client's line */
  size_t length, sent;
  char back[64]; /* a client's echo so far */
  size_t got;
} slot;

static slot slots[MAX_SLOTS];
static size_t used;

static slot* add(velqor_operation* op, int client) {
  if (op == NULL || used == MAX_SLOTS) {
    fprintf(stderr, "c_echo_server: out of memory or slots\n");
    exit(1);
  }
  slots[used] = (slot){op, -1, client, "", 0, 0, "", 0};
  return &slots[used++];
}

static void drop(size_t i) {
  velqor_operation_free(slots[i].op);
  if (slots[i].fd >= 0) close(slots[i].fd);
  slots[i] = slots[--used];
}

/* What poll() is to watch for a slot: its operation's wishes, or the stream's. */
static struct pollfd watch(const slot* s) {
  if (s->op != NULL) {
    int events = velqor_operation_events(s->op);
    return (struct pollfd){velqor_operation_fd(s->op),
                           (short)((events & VELQOR_WAIT_READ ? POLLIN : 0) |
                                   (events & VELQOR_WAIT_WRITE ? POLLOUT : 0)),
                           0};
  }
  return (struct pollfd){s->fd, (short)(s->sent < s->length ? POLLOUT : POLLIN), 0};
}

static const char kLine[] = "hello through I2P\n";

int main(int argc, char** argv) {
  const char* host = "127.0.0.1";
  char hostBuffer[256];
  int port = 7656, accepts = 16, clients = 0;
  const char* options = "";
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strncmp(a, "--sam=", 6) == 0 && strchr(a + 6, ':') != NULL) {
      snprintf(hostBuffer, sizeof hostBuffer, "%.*s", (int)(strchr(a + 6, ':') - (a + 6)), a + 6);
      host = hostBuffer, port = atoi(strchr(a + 6, ':') + 1);
    } else if (strncmp(a, "--options=", 10) == 0) {
      options = a + 10;
    } else if (strncmp(a, "--accepts=", 10) == 0) {
      accepts = atoi(a + 10);
    } else if (strncmp(a, "--clients=", 10) == 0) {
      clients = atoi(a + 10);
    } else {
      printf("usage: %s [--sam=HOST:PORT] [--options=TEXT] [--accepts=N] [--clients=N]\n", argv[0]);
      return strcmp(a, "--help") == 0 ? 0 : 2;
    }
  }
  if (accepts < 1 || accepts + 2 * clients + 2 > MAX_SLOTS) {
    fprintf(stderr, "c_echo_server: --accepts and --clients must leave room in %d slots\n",
            MAX_SLOTS);
    return 2;
  }

  /* Every call below returns at once; each phase is bounded by a limit of its own. */
  velqor_limits* limits = velqor_limits_new();
  velqor_limits_set_connect(limits, 5000);
  velqor_limits_set_reply(limits, 120000); /* SESSION CREATE can take a while */
  velqor_settings settings = {host, (uint16_t)port, "c-echo", options, "TRANSIENT"};
  velqor_operation* serverCreation = velqor_stream_session_start(&settings, limits);
  velqor_operation* clientCreation =
      clients > 0 ? velqor_stream_session_start(&settings, limits) : NULL;
  velqor_stream_session *server = NULL, *client = NULL;
  char* destination = NULL;
  int echoed = 0, lost = 0;

  while (server == NULL || client == NULL || clients == 0 || echoed + lost < clients) {
    /* The sessions first, in the same loop as everything else. */
    if (server == NULL || (clients > 0 && client == NULL)) {
      velqor_operation* creations[2] = {serverCreation, clientCreation};
      if (velqor_operations_wait(creations, 2, -1) > 0) continue;
      if (velqor_operation_progress(serverCreation) == VELQOR_FAILED ||
          (clientCreation != NULL && velqor_operation_progress(clientCreation) == VELQOR_FAILED)) {
        char* why = velqor_operation_last_error(
            velqor_operation_progress(serverCreation) == VELQOR_FAILED ? serverCreation
                                                                       : clientCreation);
        fprintf(stderr, "c_echo_server: no session: %s\n", why ? why : "out of memory");
        return free(why), 1;
      }
      server = velqor_operation_take_stream_session(serverCreation);
      client = clientCreation ? velqor_operation_take_stream_session(clientCreation) : NULL;
      velqor_destination* me = velqor_get_my_destination(server);
      destination = velqor_destination_pub(me);
      char* b32 = velqor_b32_address(destination);
      printf("serving at %s\n", b32 ? b32 : "?");
      fflush(stdout);
      free(b32), velqor_destination_free(me);
      for (int i = 0; i < accepts; ++i) add(velqor_accept_start(server, 0), 0);
      for (int i = 0; i < clients; ++i) add(velqor_connect_start(client, destination, 0), 1);
      continue;
    }

    struct pollfd fds[MAX_SLOTS];
    int timeout = -1;
    for (size_t i = 0; i < used; ++i) {
      fds[i] = watch(&slots[i]);
      int left = slots[i].op != NULL ? velqor_operation_timeout(slots[i].op) : -1;
      if (left >= 0 && (timeout < 0 || left < timeout)) timeout = left;
    }
    if (poll(fds, used, timeout) < 0 && errno != EINTR) return perror("poll"), 1;

    for (size_t i = used; i-- > 0;) { /* backwards: drop() moves the last slot here */
      slot* s = &slots[i];
      if (s->op != NULL) {
        if (fds[i].revents == 0 && velqor_operation_timeout(s->op) != 0) continue;
        int progress = velqor_operation_step(s->op);
        if (progress == VELQOR_PENDING) continue;
        if (progress == VELQOR_FAILED) {
          char* why = velqor_operation_last_error(s->op);
          fprintf(stderr, "c_echo_server: %s\n", why ? why : "out of memory");
          free(why);
          lost += s->client;
          if (!s->client) add(velqor_accept_start(server, 0), 0); /* keep accepting */
          drop(i);
          continue;
        }
        /* A stream: the operation hands over its descriptor, nothing of it read yet. */
        s->fd = velqor_operation_take_fd(s->op, NULL, NULL);
        velqor_operation_free(s->op);
        s->op = NULL;
        if (s->client) {
          memcpy(s->out, kLine, sizeof kLine - 1), s->length = sizeof kLine - 1;
        } else {
          add(velqor_accept_start(server, 0), 0); /* the next peer's accept */
        }
        continue;
      }
      if (fds[i].revents == 0) continue;
      if (fds[i].events & POLLOUT) { /* an echo's bytes, or a client's line */
        ssize_t n = send(s->fd, s->out + s->sent, s->length - s->sent, MSG_NOSIGNAL);
        if (n > 0) s->sent += (size_t)n;
        if (n < 0 && errno != EAGAIN) {
          lost += s->client;
          drop(i);
        } else if (!s->client && s->sent == s->length) {
          s->length = s->sent = 0; /* all sent back: read on */
        }
        continue;
      }
      char* into = s->client ? s->back + s->got : s->out;
      size_t room = s->client ? sizeof s->back - s->got : sizeof s->out;
      ssize_t n = recv(s->fd, into, room, 0);
      if (n < 0 && errno == EAGAIN) continue;
      if (n <= 0) {
        lost += s->client;
        drop(i);
      } else if (!s->client) {
        s->length = (size_t)n, s->sent = 0; /* send it back before reading more */
      } else if ((s->got += (size_t)n) >= sizeof kLine - 1) {
        int same = s->got == sizeof kLine - 1 && memcmp(s->back, kLine, s->got) == 0;
        echoed += same, lost += !same;
        drop(i);
      }
    }
  }
  printf("%d of %d clients echoed\n", echoed, clients);
  while (used > 0) drop(used - 1);
  free(destination), velqor_limits_free(limits);
  velqor_operation_free(serverCreation), velqor_operation_free(clientCreation);
  velqor_stream_session_free(client), velqor_stream_session_free(server);
  return echoed == clients ? 0 : 1;
}
