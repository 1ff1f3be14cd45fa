/** \file
 * velqor: the flat C interface of the SAM client library.
 *
 * Installed as <velqor/velqor.h>; compiles as C99 and as C++. It wraps the C++ classes of
 * <velqor/sam.hpp>: a stream session at the SAM bridge of an I2P router, the stream
 * connections that accept and connect hand back, and destination records.
 *
 * Conventions that hold for every function below:
 *  1. Ownership. Every string and buffer that a function returns is a new allocation made with
 *     malloc (or strdup); it belongs to the caller, who releases it with free. Two calls of the
 *     same getter return two separate copies. Every handle (velqor_stream_session,
 *     velqor_socket) and every velqor_destination belongs to the caller too, who releases it
 *     with its own function (velqor_stream_session_free, velqor_socket_free,
 *     velqor_destination_free), never with free.
 *  2. Nothing keeps a pointer to caller memory: string arguments and the settings record are
 *     copied during the call.
 *  3. Socket handles and destination records do not refer to the session that made them; they
 *     stay valid after velqor_stream_session_free and are released on their own.
 *  4. NULL. A NULL handle, record or string argument never crashes: the function answers it
 *     with its failure result (NULL, -1, 0, or for a truth value the answer meaning "unusable")
 *     and does nothing else. Every *_free function accepts NULL and then does nothing.
 *  5. Truth values are int. An argument is true when it is non-zero; a returned truth value is
 *     exactly 1 or 0.
 *  6. Failures are never printed. They show only as the failure results named below and, for a
 *     session, as velqor_is_sick() == 1.
 *  7. Every call blocks the calling thread until the bridge or the peer has answered, without a
 *     time limit unless the caller sets one (velqor_limits); the velqor_*_start functions and
 *     the operations they return never block (see "Operations" below). Nothing is thread-safe
 *     per handle: calls that touch the same handle must not overlap, except
 *     velqor_socket_cancel(), and on a velqor_socket one velqor_read (or velqor_read_line) in
 *     one thread while a velqor_write runs in another, as on a TCP socket. Distinct handles
 *     may be used on distinct threads.
 *  8. Why the last call on a session or a socket failed: velqor_get_last_error() and
 *     velqor_socket_last_error(), a short text that never holds private key material.
 */
#ifndef VELQOR_VELQOR_H
#define VELQOR_VELQOR_H

#include <stddef.h>
#include <stdint.h>
#include <velqor/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/** What a caller fills in to create a session. Only read during the call that takes it
 * (velqor_stream_session_new, velqor_datagram_session_new, ...).
 * This record will never grow: its five fields stay as they are, so that code that fills it in
 * field by field or with an initializer keeps compiling and keeps its layout. New settings come
 * as functions of their own or in opaque records with setters, as time limits do (velqor_limits).
 */
typedef struct velqor_settings {
  /** The SAM bridge: a numeric IPv4 address ("127.0.0.1") or a host name ("localhost", a
   * container's name), resolved once, to IPv4, when the session is made. */
  const char* samhost;
  uint16_t samport;     /**< its TCP port, usually 7656 */
  const char* nickname; /**< the session's nickname */
  /** Extra options for the session, e.g. "inbound.length=2"; may be "". */
  const char* i2cp_options;
  const char* destination; /**< "TRANSIENT" for a new destination, or a private one to take */
} velqor_settings;

/** A SAM stream session. Created by velqor_stream_session_new only. */
typedef struct velqor_stream_session velqor_stream_session;
/** One stream connection (from velqor_accept or velqor_connect). */
typedef struct velqor_socket velqor_socket;
/** A public and private destination pair, read through its two accessors. */
typedef struct velqor_destination velqor_destination;

/* ---- Session lifecycle, settings and state ---- */

/** Connects to the bridge, performs the handshake and creates a stream session with signature
 * type EdDSA_SHA512_Ed25519. Returns a new handle, which is not NULL when the bridge is
 * unreachable or refuses the session: check velqor_is_sick() after creating. Returns NULL only
 * when memory runs out.
 * When `settings` is NULL or one of its string fields is NULL, nothing is connected and the
 * handle holds no session: velqor_is_sick() returns 1, the string getters return NULL,
 * velqor_get_samport() returns 0, velqor_get_my_destination() returns two empty strings, and
 * every request fails. */
VELQOR_EXPORT velqor_stream_session* velqor_stream_session_new(const velqor_settings* settings);

/** Stops every forward, closes the control connection (which ends the session at the bridge)
 * and releases the handle. Streams and destination records made by the session stay valid. */
VELQOR_EXPORT void velqor_stream_session_free(velqor_stream_session* session);

/** Each returns a new copy of the session's value (free it), or NULL for a NULL handle, a
 * handle without session, or when memory runs out.
 *   samhost, nickname, i2cp_options: as given in the settings.
 *   session_id: the 5 to 8 random letters A-Z that name the session at the bridge.
 *   sam_min_version, sam_max_version: the versions offered in the handshake ("3.0", "3.1").
 *   sam_version: the version the bridge chose; "" when the handshake failed. */
/**@{*/
VELQOR_EXPORT char* velqor_get_samhost(const velqor_stream_session* session);
VELQOR_EXPORT char* velqor_get_nickname(const velqor_stream_session* session);
VELQOR_EXPORT char* velqor_get_session_id(const velqor_stream_session* session);
VELQOR_EXPORT char* velqor_get_sam_min_version(const velqor_stream_session* session);
VELQOR_EXPORT char* velqor_get_sam_max_version(const velqor_stream_session* session);
VELQOR_EXPORT char* velqor_get_sam_version(const velqor_stream_session* session);
VELQOR_EXPORT char* velqor_get_i2cp_options(const velqor_stream_session* session);
/**@}*/

/** Returns the bridge's port as given in the settings; 0 for a NULL handle or a handle without
 * session. */
VELQOR_EXPORT uint16_t velqor_get_samport(const velqor_stream_session* session);

/** Returns 1 when the session is unusable (creation failed, or a request showed it broken);
 * 0 otherwise. The state is one way: a sick session stays sick; free it and create a new one.
 * Returns 1 for a NULL handle. */
VELQOR_EXPORT int velqor_is_sick(const velqor_stream_session* session);

/** Returns a new record with the session's own destination: its public destination (524
 * characters for the EdDSA keys this interface uses) and its private one. Both are "" when
 * the session could not be created (a rebuild still asks for the destination given in the
 * settings). Release with velqor_destination_free. Returns NULL for a NULL handle or when
 * memory runs out. */
VELQOR_EXPORT velqor_destination* velqor_get_my_destination(const velqor_stream_session* session);

/* ---- Session requests ----
 * Each opens a connection of its own to the bridge and blocks until the bridge answers.
 * A NULL string argument, or one containing `"\r"` or `"\n"`, fails at once: nothing is sent and
 * the session does not fall sick. A failed request may mark the session sick when the
 * bridge's answer shows the session broken. */

/** Waits for an incoming stream. Returns a new socket handle carrying it (release with
 * velqor_socket_free), or NULL on failure. With `silent` 0 the first bytes read from the
 * stream are the peer's destination and a `"\n"`.
 * CAVEAT: on i2pd 2.45.1 a session that accepts or forwards needs "i2cp.leaseSetType=1" among
 * its i2cp_options: without it the peer's connect is answered but no byte arrives. */
VELQOR_EXPORT velqor_socket* velqor_accept(velqor_stream_session* session, int silent);

/** Opens a stream to `destination` (a public destination, or a name the bridge resolves).
 * Returns a new socket handle (release with velqor_socket_free), or NULL on failure. */
VELQOR_EXPORT velqor_socket* velqor_connect(velqor_stream_session* session, const char* destination,
                                            int silent);

/** Asks the bridge to pass every incoming stream to `host`:`port`, until the forward is
 * stopped or the session freed. The session keeps the forward's connection. Returns 0 on
 * success and -1 on failure, nothing else. */
VELQOR_EXPORT int velqor_forward(velqor_stream_session* session, const char* host, uint16_t port,
                                 int silent);

/** Ends every forward to `host`:`port`; no match is not an error. */
VELQOR_EXPORT void velqor_stop_forwarding(velqor_stream_session* session, const char* host,
                                          uint16_t port);

/** Ends every forward and closes the control connection, which ends the session at the
 * bridge. The handle stays allocated and is still to be freed. */
VELQOR_EXPORT void velqor_stop_forwarding_all(velqor_stream_session* session);

/** Resolves `name` (e.g. "example.i2p"). Returns a new string holding its destination (free
 * it), or NULL on failure. */
VELQOR_EXPORT char* velqor_namelookup(velqor_stream_session* session, const char* name);

/** Asks the bridge for a new destination; the session's own stays as it is. Returns a new
 * record (release with velqor_destination_free), or NULL on failure. */
VELQOR_EXPORT velqor_destination* velqor_dest_generate(velqor_stream_session* session);

/* ---- Stream connections ---- */

/** Sends all `length` bytes at `data`, zero bytes included. A failed send closes the
 * connection, which velqor_socket_is_ok() then shows as 0; no SIGPIPE is raised.
 * CAVEAT: a `length` of 0 closes the connection (`data` is not read then and may be NULL).
 * A NULL `data` with a `length` above 0 sends nothing and leaves the connection as it is. */
VELQOR_EXPORT void velqor_write(velqor_socket* socket, const void* data, size_t length);

/** Returns the bytes of one receive (at most 4096; bytes that came with the bridge's reply line
 * come first), zero bytes included, in a new buffer of exactly `*length` bytes with no terminating
 * NUL (free it). Blocks until bytes arrive or the connection ends. Returns NULL and sets `*length`
 * to 0 only when the connection has ended or failed (it is then closed: velqor_socket_is_ok()
 * returns 0) or the socket was closed already. A NULL `length` returns NULL at once without
 * receiving anything. */
VELQOR_EXPORT char* velqor_read(velqor_socket* socket, size_t* length);

/** Closes the connection. The handle stays allocated and is still to be freed; closing twice
 * is harmless. */
VELQOR_EXPORT void velqor_socket_close(velqor_socket* socket);

/** Returns 1 while the connection is open, else 0 (also for a NULL handle). */
VELQOR_EXPORT int velqor_socket_is_ok(const velqor_socket* socket);

/** Closes the connection if it is still open and releases the handle. NULL does nothing. */
VELQOR_EXPORT void velqor_socket_free(velqor_socket* socket);

/* ---- Destination records ---- */

/** Each returns a new copy of the public or private destination (free it), or NULL for a NULL
 * record or when memory runs out. */
/**@{*/
VELQOR_EXPORT char* velqor_destination_pub(const velqor_destination* destination);
VELQOR_EXPORT char* velqor_destination_priv(const velqor_destination* destination);
/**@}*/

/** Releases the record and both its strings. NULL does nothing. */
VELQOR_EXPORT void velqor_destination_free(velqor_destination* destination);

/* ---- Time limits, cancellation and the reason of a failure ---- */

/** Time limits, one for each phase, in milliseconds; 0, the default of each, means no limit.
 * A limit that passes fails the call and closes the connection involved; a request that runs
 * out of time fails without making the session sick, a creation that does leaves it sick.
 * The record is opaque, so that it can grow; the library copies it where it is used. */
typedef struct velqor_limits velqor_limits;

/** Returns a new record with no limits (release with velqor_limits_free), or NULL when memory
 * runs out. */
VELQOR_EXPORT velqor_limits* velqor_limits_new(void);
/** Releases the record. NULL does nothing. */
VELQOR_EXPORT void velqor_limits_free(velqor_limits* limits);
/** The TCP connect of each connection to the bridge. */
VELQOR_EXPORT void velqor_limits_set_connect(velqor_limits* limits, uint32_t milliseconds);
/** Each reply line of the bridge: the handshake, the session's creation, each request. */
VELQOR_EXPORT void velqor_limits_set_reply(velqor_limits* limits, uint32_t milliseconds);
/** Each velqor_read: the time until its first byte has come. */
VELQOR_EXPORT void velqor_limits_set_read(velqor_limits* limits, uint32_t milliseconds);
/** Each velqor_write: the time until all of it is sent. */
VELQOR_EXPORT void velqor_limits_set_write(velqor_limits* limits, uint32_t milliseconds);

/** As velqor_stream_session_new, with `limits` (NULL: none) for the creation itself, for every
 * request, and for the sockets that velqor_accept and velqor_connect hand out. */
VELQOR_EXPORT velqor_stream_session* velqor_stream_session_new_with_limits(
    const velqor_settings* settings, const velqor_limits* limits);
/** Sets the limits of the session's requests from now on, and of the sockets they hand out. */
VELQOR_EXPORT void velqor_set_limits(velqor_stream_session* session, const velqor_limits* limits);
/** Sets the limits of the socket's calls from now on. */
VELQOR_EXPORT void velqor_socket_set_limits(velqor_socket* socket, const velqor_limits* limits);

/** Makes a call blocked on `socket` in another thread (velqor_read, velqor_write) return
 * promptly as a failure, and every later call on it fail at once; velqor_socket_is_ok()
 * returns 0 from now on. May be called from any thread at any time, whatever other threads do
 * with the handle. REQUIRES: the handle is not freed meanwhile. */
VELQOR_EXPORT void velqor_socket_cancel(velqor_socket* socket);

/** The kinds of failure that velqor_get_last_error_code and velqor_socket_last_error_code
 * return. New kinds are only ever added at the end. */
typedef enum velqor_error_code {
  VELQOR_ERROR_NONE = 0,  /**< no failure */
  VELQOR_ERROR_RESOLVE,   /**< the bridge's host name did not resolve */
  VELQOR_ERROR_CONNECT,   /**< the TCP connection to the bridge could not be made */
  VELQOR_ERROR_TIMED_OUT, /**< a time limit of the caller passed */
  VELQOR_ERROR_CANCELLED, /**< velqor_socket_cancel was called */
  VELQOR_ERROR_CLOSED,    /**< the peer closed the connection */
  VELQOR_ERROR_IO,        /**< a send or a receive failed */
  VELQOR_ERROR_PROTOCOL,  /**< the bridge's answer was not a usable reply */
  VELQOR_ERROR_REFUSED,   /**< the bridge answered with a RESULT other than OK */
  VELQOR_ERROR_ARGUMENT,  /**< an argument was refused before anything was sent */
  VELQOR_ERROR_KEY_FILE   /**< a key file could not be read or written */
} velqor_error_code;

/** Returns a new string (free it) saying why the last failed creation or request of the session
 * failed, for example "connect to 127.0.0.1:7656: Connection refused" or "NAMING LOOKUP refused
 * by the bridge: RESULT=INVALID_KEY"; NULL when none has failed (a later success does not
 * clear it), for a NULL handle, or when memory runs out. */
VELQOR_EXPORT char* velqor_get_last_error(const velqor_stream_session* session);
/** The kind of that failure; VELQOR_ERROR_NONE when there is none or the handle is NULL. */
VELQOR_EXPORT int velqor_get_last_error_code(const velqor_stream_session* session);
/** As the two above, for the last failed call on a socket. */
/**@{*/
VELQOR_EXPORT char* velqor_socket_last_error(const velqor_socket* socket);
VELQOR_EXPORT int velqor_socket_last_error_code(const velqor_socket* socket);
/**@}*/

/* ---- Error texts and the library's version ---- */

/** Returns a fixed text for `code`, a velqor_error_code, such as "a time limit passed" for
 * VELQOR_ERROR_TIMED_OUT: the kind of failure in general, where velqor_get_last_error and its
 * kin say what happened. The text is static: never free it, never NULL; a code this library does
 * not know gets "unknown error code". Safe to call from any thread. */
VELQOR_EXPORT const char* velqor_strerror(int code);

/** Returns the library's release version as "MAJOR.MINOR.PATCH" ("0.2.0"), the version of the
 * library that runs, which may be newer than the headers a program was built with. The text is
 * static: never free it. */
VELQOR_EXPORT const char* velqor_version(void);

/* ---- Key files and b32 addresses ----
 * A key file holds a private destination as raw bytes, as i2pd keeps its own keys (*.dat), so
 * one file can serve both a velqor session and an i2pd tunnel. See loadKeyFile and saveKeyFile
 * in <velqor/key_file.hpp> for what counts as a whole private destination, and for the wait a
 * restart on a key file needs. The velqor-keys program makes, shows and converts key files.
 * `reason`: when not NULL, *reason is set to NULL on success and, on failure, to a new string
 * (free it) saying why, which names the path and never holds key bytes; after a failure it is
 * NULL only when memory ran out. Its earlier value is overwritten, not freed. */

/** Returns the ".b32.i2p" address of the public destination `pub` (I2P base64): the SHA-256
 * hash of its bytes in lower-case base32 without padding, then ".b32.i2p" (60 characters in
 * all). Returns NULL when `pub` is NULL, empty or does not decode, or when memory runs out. */
VELQOR_EXPORT char* velqor_b32_address(const char* pub);

/** Reads the key file at `path`. Returns its private destination in I2P base64 (free it), or
 * NULL when the file cannot be read or holds no whole private destination. */
VELQOR_EXPORT char* velqor_key_file_load(const char* path, char** reason);

/** Writes the private destination `priv` (I2P base64) as a key file at `path`, mode 0600,
 * through a synced temporary file renamed over `path`. A failure leaves a file already at
 * `path` as it was, except one to sync the directory after the rename (the new key is then in
 * place). Returns 0 on success and -1 on failure, nothing else. */
VELQOR_EXPORT int velqor_key_file_save(const char* path, const char* priv, char** reason);

/* ---- Datagram sessions: DATAGRAM (repliable) and RAW ----
 * A datagram session sends and receives single datagrams over UDP, never on the control
 * connection: it binds a UDP socket of its own on the local address of its connection to the
 * bridge and names it in SESSION CREATE. Datagrams go to the bridge's UDP port, the SAM port
 * minus 1 unless velqor_datagram_session_set_udp_port says otherwise, and are taken only from
 * there. See DatagramSession in <velqor/datagram_session.hpp> for the whole behaviour.
 * CAVEAT: on i2pd 2.45.1 a datagram session needs "i2cp.leaseSetType=1" among its
 * i2cp_options, or every datagram is lost; RAW datagrams of 0 to 2 bytes are lost whoever sends
 * them (3 and more arrive; DATAGRAM ones of every size arrive). */

/** A DATAGRAM or RAW session. Created by velqor_datagram_session_new only; released with
 * velqor_datagram_session_free, never with free. */
typedef struct velqor_datagram_session velqor_datagram_session;

/** The two styles of datagram session; the numbers are SAM::Message's. */
typedef enum velqor_datagram_style {
  VELQOR_DATAGRAM = 1, /**< repliable: each datagram carries its sender's destination */
  VELQOR_RAW = 2       /**< the payload alone */
} velqor_datagram_style;

/** The largest UDP datagram the bridge takes, header `"3.0 ID DESTINATION\n"` included. The largest
 * payload is 32762 - strlen(session id) - strlen(destination): 32230 bytes to any 524-character
 * destination whatever the identifier; velqor_datagram_max_payload tells it exactly. i2pd
 * 2.45.1 delivers that size whole in both styles but would cut a longer one: those are refused.
 */
#define VELQOR_DATAGRAM_MAX_SIZE 32768

/** Connects, handshakes and creates a session of `style` (VELQOR_DATAGRAM or VELQOR_RAW) from
 * `settings`, with `limits` (NULL: none) for the creation, each send (write limit) and each
 * receive (read limit). Returns a new handle, which is not NULL when the bridge is unreachable
 * or refuses the session: check velqor_datagram_session_is_sick() after creating. Returns NULL
 * only when memory runs out. NULL settings, a NULL string field or another style give a handle
 * without session, which is sick and fails every call. */
VELQOR_EXPORT velqor_datagram_session* velqor_datagram_session_new(const velqor_settings* settings,
                                                                   int style,
                                                                   const velqor_limits* limits);

/** Closes the control connection (ending the session at the bridge) and the UDP socket, and
 * releases the handle. NULL does nothing. */
VELQOR_EXPORT void velqor_datagram_session_free(velqor_datagram_session* session);

/** Sends the `length` bytes at `data` (zero bytes included; `data` may be NULL when `length` is
 * 0) to `destination`, a full public destination in I2P base64, as one datagram. Returns 0 when
 * the bridge's UDP port took it (not that it arrived) and -1 on failure, nothing else.
 * Refused without sending: a NULL or empty destination or one holding a space, `"\r"` or `"\n"`; a
 * payload over velqor_datagram_max_payload(session, destination) bytes. A send on a sick session
 * fails at once. */
VELQOR_EXPORT int velqor_datagram_send(velqor_datagram_session* session, const char* destination,
                                       const void* data, size_t length);

/** Waits for the next datagram (within the read limit, if one is set) and returns 0, with
 * `*payload` set to a new buffer (free it) of exactly `*length` bytes, without terminating NUL
 * (not NULL even when `*length` is 0), and, when `sender` is not NULL, `*sender` set to a new
 * string with the sender's public destination (free it) in a DATAGRAM session or to NULL in a
 * RAW one. Returns -1 on failure, with `*payload` and `*sender` NULL and `*length` 0: a passed
 * time limit, a datagram too large for the receive buffer or without a sender line (dropped;
 * the next call takes the next datagram), or a session that is over. A NULL `payload` or
 * `length` returns -1 at once without receiving. */
VELQOR_EXPORT int velqor_datagram_receive(velqor_datagram_session* session, void** payload,
                                          size_t* length, char** sender);

/** The largest payload velqor_datagram_send takes for `destination`; 0 for NULL arguments. */
VELQOR_EXPORT size_t velqor_datagram_max_payload(const velqor_datagram_session* session,
                                                 const char* destination);

/** Returns a new record with the session's own destination (release with
 * velqor_destination_free): two empty strings when the session could not be created; NULL for
 * a NULL handle or when memory runs out. */
VELQOR_EXPORT velqor_destination* velqor_datagram_session_destination(
    const velqor_datagram_session* session);

/** Returns 1 when the session is unusable (also for a NULL handle or a handle without session),
 * else 0. One way, as velqor_is_sick. */
VELQOR_EXPORT int velqor_datagram_session_is_sick(const velqor_datagram_session* session);

/** Why the last creation, send or receive failed, as velqor_get_last_error and
 * velqor_get_last_error_code. */
/**@{*/
VELQOR_EXPORT char* velqor_datagram_session_last_error(const velqor_datagram_session* session);
VELQOR_EXPORT int velqor_datagram_session_last_error_code(const velqor_datagram_session* session);
/**@}*/

/** Sets the bridge's UDP port, for a bridge where it is not the SAM port minus 1. */
VELQOR_EXPORT void velqor_datagram_session_set_udp_port(velqor_datagram_session* session,
                                                        uint16_t port);

/** The session's UDP descriptor (non-blocking; owned by the session, do not close it), for a
 * caller's poll(): readable means velqor_datagram_receive has a datagram to take. -1 for a NULL
 * handle or when there is none. */
VELQOR_EXPORT int velqor_datagram_session_fd(const velqor_datagram_session* session);

/* ---- Datagram sessions' limits and lookups; generating a key file within limits ---- */

/** Sets the limits of the session's calls from now on: each send (write limit), each receive
 * (read limit) and each lookup (connect and reply limits); NULL: none. */
VELQOR_EXPORT void velqor_datagram_session_set_limits(velqor_datagram_session* session,
                                                      const velqor_limits* limits);

/** Resolves `name` (a name of the router's address book or a .b32.i2p address) on a connection
 * of its own to the session's bridge, within the session's limits, as velqor_namelookup does for
 * a stream session. Returns a new string with its public destination (free it), the form that
 * velqor_datagram_send takes, or NULL on failure (velqor_datagram_session_last_error says why);
 * an unknown name leaves the session healthy. */
VELQOR_EXPORT char* velqor_datagram_namelookup(velqor_datagram_session* session, const char* name);

/** As velqor_key_file_load_or_generate, with `limits` (NULL: none) for the connection that asks
 * the bridge for a new destination: its connect, the handshake and the reply. A generation that
 * runs out of time fails with a reason that says so, and nothing is written. */
VELQOR_EXPORT char* velqor_key_file_load_or_generate_with_limits(const char* path,
                                                                 const char* samhost,
                                                                 uint16_t samport,
                                                                 const velqor_limits* limits,
                                                                 char** reason);

/* ---- Liveness, the keeper, generated key files, released sockets ----
 * A session is lost when its router restarts, the machine sleeps or the bridge ends it. A
 * keeper notices that and makes the session again, with the same destination, nickname,
 * options, limits and forwards, waiting longer after each failed attempt. */

/** Returns 1 while the session's control connection to the bridge is open, 0 when the bridge
 * has closed it (the session is then sick, and velqor_get_last_error says so) or for a NULL
 * handle or a handle without session. Sends nothing and never blocks. A session can be alive
 * and sick at once (a request showed it broken): check velqor_is_sick as well. */
VELQOR_EXPORT int velqor_is_alive(velqor_stream_session* session);

/** A stream session kept alive by rebuilding it; see SAM::SessionKeeper in
 * <velqor/session_keeper.hpp> for the exact behaviour. */
typedef struct velqor_keeper velqor_keeper;

/** The states a keeper reports, each time its view of the session changes. */
typedef enum velqor_keeper_state {
  VELQOR_KEEPER_HEALTHY = 0,        /**< the first velqor_keeper_keep found the session healthy */
  VELQOR_KEEPER_REBUILDING = 1,     /**< the session was found lost; the reason says why */
  VELQOR_KEEPER_ATTEMPT_FAILED = 2, /**< an attempt to rebuild failed; the reason says why */
  VELQOR_KEEPER_REBUILT = 3         /**< an attempt succeeded: the session is healthy again */
} velqor_keeper_state;

/** Told each change of state during velqor_keeper_keep: `state` is a velqor_keeper_state,
 * `reason` a text valid only during the call (NULL for HEALTHY and REBUILT), `user` the
 * pointer given with the callback. It must not call velqor_keeper_keep or velqor_keeper_free. */
typedef void (*velqor_keeper_callback)(int state, const char* reason, void* user);

/** Returns a new keeper that holds `session` (release it with velqor_keeper_free), or NULL when
 * `session` is NULL, holds no session (its settings were unusable), is held by a keeper
 * already, or memory runs out; after NULL the caller still owns `session`. Otherwise the
 * keeper owns the handle: the caller goes on using it for requests (velqor_keeper_session
 * returns it) but never frees it; velqor_keeper_free does. The handle stays the same across
 * rebuilds; sockets it handed out stay valid and still belong to the caller. */
VELQOR_EXPORT velqor_keeper* velqor_keeper_new(velqor_stream_session* session);

/** Frees the keeper and the session handle it holds (ending the session at the bridge). NULL
 * does nothing. */
VELQOR_EXPORT void velqor_keeper_free(velqor_keeper* keeper);

/** Returns the handle of the kept session, the one given to velqor_keeper_new; NULL for NULL. */
VELQOR_EXPORT velqor_stream_session* velqor_keeper_session(velqor_keeper* keeper);

/** Sets the function told of each change of state, and its `user` pointer; NULL stops the
 * reports. */
VELQOR_EXPORT void velqor_keeper_set_callback(velqor_keeper* keeper,
                                              velqor_keeper_callback callback, void* user);

/** Checks the session (sick, or its control connection closed) and, when it is lost, ends it
 * at the bridge and rebuilds it: the first attempt after the release delay (at once for a
 * session whose creation had failed), then after 1 s, 2 s, 4 s, ... at most 300 s between
 * failed attempts, the sequence starting again after a success. Waits between attempts only while
 * `budget_ms` lasts (0: never), in poll() on the monotonic clock; an attempt itself is bounded
 * by the session's limits (velqor_set_limits), not by the budget. Returns 1 when the session is
 * healthy, 0 when it is still lost (or for NULL, or when memory runs out). */
VELQOR_EXPORT int velqor_keeper_keep(velqor_keeper* keeper, uint32_t budget_ms);

/** The wait in milliseconds scheduled before the next attempt: the release delay or 0 after a
 * loss, then the back-off after each failed attempt; 0 while the session is healthy, and for
 * NULL. */
VELQOR_EXPORT uint32_t velqor_keeper_backoff_ms(const velqor_keeper* keeper);

/** Sets the wait between the loss of a session that existed at the bridge and the first
 * attempt (10000 ms unless set; 0: at once). A router that still holds the destination gives
 * it to the new session at once but, on i2pd 2.45.1, does not publish it again, so peers that
 * did not know it cannot reach it; that router lets a destination go 5 s after its session
 * ended. */
VELQOR_EXPORT void velqor_keeper_set_release_delay(velqor_keeper* keeper, uint32_t milliseconds);

/** Loads the key file at `path` as velqor_key_file_load does; when no file is there (and only
 * then), asks the bridge at `samhost`:`samport` for a new EdDSA_SHA512_Ed25519 destination on
 * a connection of its own, without a time limit, and saves it at `path` as
 * velqor_key_file_save does. A file that cannot be read or holds no whole destination is
 * reported, never replaced. Returns the private destination in I2P base64 (free it), or NULL
 * on failure; `reason` as for velqor_key_file_load.
 * CAVEAT: a program restarted on its key file within seconds of its last session's end gets
 * its session at once from i2pd 2.45.1, which still holds the destination, but new peers
 * cannot reach it: wait about 10 s after the old session ended (see
 * velqor_keeper_set_release_delay). */
VELQOR_EXPORT char* velqor_key_file_load_or_generate(const char* path, const char* samhost,
                                                     uint16_t samport, char** reason);

/** Gives up the socket's connection to the caller: returns its descriptor, now the caller's to
 * read, write and close, or -1 when the connection is closed already (or for NULL). Bytes
 * that came with the bridge's reply line and were not read yet are the stream's first: when
 * `kept` is not NULL, *kept is set to a new buffer holding them (free it) and *kept_length to
 * their number, or to NULL and 0 when there are none; with `kept` or `kept_length` NULL they
 * are dropped. When
 * memory for them runs out, the connection is closed (its stream would not be whole) and -1
 * is returned. The handle is still to be freed; it holds no connection any more. */
VELQOR_EXPORT int velqor_socket_release(velqor_socket* socket, char** kept, size_t* kept_length);

/* ---- Operations: many exchanges in one thread, in the caller's event loop ----
 * Every request above blocks its thread. An operation does the same exchange without ever
 * blocking, so that one thread can run many: a velqor_*_start function returns at once, and
 * the caller's loop (poll, epoll, libuv, ...) moves each operation on, in the manner of libpq's
 * PQconnectPoll. No function calls back into the caller.
 *  1. While velqor_operation_step has returned VELQOR_PENDING (or not been called yet), wait
 *     until velqor_operation_fd is ready for velqor_operation_events (VELQOR_WAIT_READ:
 *     readable, VELQOR_WAIT_WRITE: writable), or until velqor_operation_timeout milliseconds
 *     have passed (-1: no limit), then call velqor_operation_step. An early call is harmless.
 *  2. The descriptor stays the same from start to end while the operation holds it; the events
 *     and the time left may change with every step, so read them again after each step (a loop
 *     that builds its poll() set anew each time needs nothing more). Accepts of one session
 *     are sent one after another (see velqor_accept_start): a step of one may change what
 *     another accept of the same session waits for.
 *  3. velqor_operation_step returns VELQOR_DONE or VELQOR_FAILED once, and then always the same.
 *     A failed operation's reason is velqor_operation_last_error; it ends in the same result,
 *     reason and sick rules as the blocking function it stands for, with the same limits.
 *  4. The results of a done operation are taken with the velqor_operation_take_* functions
 *     (each hands over what it returns) or read with the others (which return copies).
 *  5. velqor_operation_free releases the operation; one still pending is cancelled: its
 *     connection is closed, and its session is not made sick by that. NULL does nothing.
 *  6. An operation may outlive the session it was started on; it goes on without it (a forward
 *     then fails). The session and its operations belong to one thread at a time. */

/** An operation. Released with velqor_operation_free, never with free. */
typedef struct velqor_operation velqor_operation;

/** What velqor_operation_step and velqor_operation_progress return. */
typedef enum velqor_progress {
  VELQOR_PENDING = 0, /**< still going: wait for its descriptor or its time, then step again */
  VELQOR_DONE = 1,    /**< done: take its result */
  VELQOR_FAILED = 2   /**< failed: velqor_operation_last_error says why */
} velqor_progress;

/** What an operation waits for, as the bits of velqor_operation_events: its descriptor
 * readable (VELQOR_WAIT_READ), writable (VELQOR_WAIT_WRITE). */
/**@{*/
#define VELQOR_WAIT_READ 1
#define VELQOR_WAIT_WRITE 2
/**@}*/

/** Starts creating a stream session, as velqor_stream_session_new_with_limits does; when done,
 * velqor_operation_take_stream_session gives the session. A samhost that is a name, not a
 * numeric IPv4 address, is resolved here by the system's resolver, which may block. Returns NULL
 * only when memory runs out; NULL settings or a NULL string in them give an operation that has
 * failed already. */
VELQOR_EXPORT velqor_operation* velqor_stream_session_start(const velqor_settings* settings,
                                                            const velqor_limits* limits);
/** Starts creating a datagram session of `style`, as velqor_datagram_session_new does; when done,
 * velqor_operation_take_datagram_session gives the session. As above otherwise. */
VELQOR_EXPORT velqor_operation* velqor_datagram_session_start(const velqor_settings* settings,
                                                              int style,
                                                              const velqor_limits* limits);
/** Start, on a session, what velqor_namelookup, velqor_dest_generate, velqor_connect,
 * velqor_accept and velqor_forward do. Each returns NULL for a NULL session or a handle without
 * session, or when memory runs out; a NULL string argument gives an operation that has failed
 * already (nothing sent, the session not sick).
 *   namelookup:   when done, velqor_operation_value gives the destination.
 *   dest_generate: when done, velqor_operation_destination gives the new destination.
 *   connect:      when done, take the stream (velqor_operation_take_socket or _take_fd).
 *   accept:       done once a peer's stream has come and, with `silent` 0, its destination line
 *                 (velqor_operation_peer); the wait for the peer is bounded by the read limit.
 *                 Accepts of one session go to the bridge one after another, each once the
 *                 previous one's status line has come: i2pd 2.45.1 loses streams when accepts
 *                 overlap. Any number may wait in the library; at most 128 incoming streams
 *                 wait at i2pd for an accept, each for 10 s.
 *   forward:      when done, the forward belongs to the session, as velqor_forward's does. */
/**@{*/
VELQOR_EXPORT velqor_operation* velqor_namelookup_start(velqor_stream_session* session,
                                                        const char* name);
VELQOR_EXPORT velqor_operation* velqor_dest_generate_start(velqor_stream_session* session);
VELQOR_EXPORT velqor_operation* velqor_connect_start(velqor_stream_session* session,
                                                     const char* destination, int silent);
VELQOR_EXPORT velqor_operation* velqor_accept_start(velqor_stream_session* session, int silent);
VELQOR_EXPORT velqor_operation* velqor_forward_start(velqor_stream_session* session,
                                                     const char* host, uint16_t port, int silent);
/**@}*/
/** velqor_namelookup_start on a datagram session. */
VELQOR_EXPORT velqor_operation* velqor_datagram_namelookup_start(velqor_datagram_session* session,
                                                                 const char* name);

/** The descriptor to watch (owned by the operation: never read, write or close it), or -1 when the
 * operation holds none (it has ended, or its stream was taken) and for NULL. */
VELQOR_EXPORT int velqor_operation_fd(const velqor_operation* operation);
/** VELQOR_WAIT_READ and/or VELQOR_WAIT_WRITE while pending; 0 once ended and for NULL. */
VELQOR_EXPORT int velqor_operation_events(const velqor_operation* operation);
/** Milliseconds until the limit of the operation's phase passes (0: step now); -1 when no limit
 * applies, once ended, and for NULL. */
VELQOR_EXPORT int velqor_operation_timeout(const velqor_operation* operation);
/** Moves the operation on as far as it goes without blocking; returns a velqor_progress.
 * VELQOR_FAILED for NULL. */
VELQOR_EXPORT int velqor_operation_step(velqor_operation* operation);
/** What the last step returned (VELQOR_PENDING before the first); VELQOR_FAILED for NULL. */
VELQOR_EXPORT int velqor_operation_progress(const velqor_operation* operation);
/** Why the operation failed, as velqor_get_last_error says it of a session: a new string (free
 * it), or NULL when it has not failed, for NULL, or when memory runs out; and the kind of that
 * failure, as velqor_get_last_error_code. */
/**@{*/
VELQOR_EXPORT char* velqor_operation_last_error(const velqor_operation* operation);
VELQOR_EXPORT int velqor_operation_last_error_code(const velqor_operation* operation);
/**@}*/

/* The results of a done operation. Each take_ function hands its result over once (then NULL or
 * -1); the others return new copies. Each returns NULL (or -1) when the operation is not done or
 * is of another kind. */
/** The session of velqor_stream_session_start: a handle for every velqor_* function of sessions
 * (release with velqor_stream_session_free). */
VELQOR_EXPORT velqor_stream_session* velqor_operation_take_stream_session(
    velqor_operation* operation);
/** The session of velqor_datagram_session_start (release with velqor_datagram_session_free). */
VELQOR_EXPORT velqor_datagram_session* velqor_operation_take_datagram_session(
    velqor_operation* operation);
/** The destination a lookup found (free it). */
VELQOR_EXPORT char* velqor_operation_value(const velqor_operation* operation);
/** The destination a generation made (release with velqor_destination_free). */
VELQOR_EXPORT velqor_destination* velqor_operation_destination(const velqor_operation* operation);
/** The stream of a connect or an accept, as velqor_connect hands one out (release with
 * velqor_socket_free): blocking, with the session's limits, its reasons and velqor_socket_cancel.
 */
VELQOR_EXPORT velqor_socket* velqor_operation_take_socket(velqor_operation* operation);
/** The same stream as a bare descriptor in non-blocking mode, now the caller's to close. Nothing
 * of the stream is read past the bridge's lines, so *kept is set to NULL and *kept_length to 0
 * (when not NULL), as velqor_socket_release reports bytes it kept. */
VELQOR_EXPORT int velqor_operation_take_fd(velqor_operation* operation, char** kept,
                                           size_t* kept_length);
/** The peer's destination of an accept made with `silent` 0 (free it). */
VELQOR_EXPORT char* velqor_operation_peer(const velqor_operation* operation);
/** 1 for an accept that the bridge has taken (its status line came) and that now waits for a
 * peer, else 0 (also for NULL). A server that expects many peers at once can start its accepts
 * and wait until they all wait so before the peers come: i2pd 2.45.1 closes incoming streams
 * beyond 128 that find no accept waiting, and keeps none longer than 10 s. */
VELQOR_EXPORT int velqor_operation_waits_for_peer(const velqor_operation* operation);

/** Releases the operation, cancelling it when it is still pending. NULL does nothing. */
VELQOR_EXPORT void velqor_operation_free(velqor_operation* operation);

/** For callers without a loop of their own: waits in poll() until at least one of the `count`
 * operations that are pending is ready or its time has passed, at most `timeout_ms` (-1: no
 * bound of its own), and steps every one that is. NULL entries and ended operations are
 * skipped. Returns how many of them are still pending. */
VELQOR_EXPORT size_t velqor_operations_wait(velqor_operation* const* operations, size_t count,
                                            int timeout_ms);

/** The descriptor of a stream, for watching it in an event loop while the library keeps the
 * connection, its limits and its reasons: readable means velqor_read has bytes or the end to
 * report. Owned by the socket: never read, write or close it. -1 when closed, and for NULL.
 * CAVEAT: bytes already taken from the descriptor (by velqor_read_line) come first from
 * velqor_read without the descriptor being readable. */
VELQOR_EXPORT int velqor_socket_fd(const velqor_socket* socket);
/** The descriptor of the session's control connection: the bridge sends nothing on it during a
 * session, so readable means the bridge ended the session or the router went away; ask
 * velqor_is_alive then. Owned by the session. -1 when closed, for NULL and for a handle
 * without session. */
VELQOR_EXPORT int velqor_session_fd(const velqor_stream_session* session);
/** Reads one line of the stream, "\n" included, as velqor_read returns bytes: a new buffer of
 * exactly *length bytes, without terminating NUL (free it), within the read limit. Bytes after the
 * line are kept for the next read. NULL with *length 0 when the connection ended or failed
 * before a whole line (it is then closed), when no "\n" came within 65536 bytes, and for NULL
 * arguments. For line-based protocols, such as the peer's destination line of an accept. */
VELQOR_EXPORT char* velqor_read_line(velqor_socket* socket, size_t* length);
/** Sets a deadline for every phase of every call made with these limits: `milliseconds` from
 * now, on the monotonic clock, whatever the phase's own limit (0: none). A bound for a whole
 * series of calls, such as everything a program does in one run. */
VELQOR_EXPORT void velqor_limits_set_deadline(velqor_limits* limits, uint32_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* VELQOR_VELQOR_H */
