// velqor: a client library for the SAM version 3 protocol, the text protocol that the SAM
// bridge of an I2P router speaks over TCP (usually on 127.0.0.1:7656).
//
// Installed as <velqor/sam.hpp>. Everything lives in namespace SAM:
//
//   Message        formats request lines and reads replies; pure functions over text.
//   I2pSocket      one blocking TCP connection to the bridge with its HELLO handshake.
//   StreamSession  one SAM STREAM session and every request made in its name.
//
// Conventions that hold for the whole interface:
//  1. Nothing throws on a network or protocol failure. Failures show as a status, as
//     RequestResult::isOk == false, as I2pSocket::isOk() == false, as an empty read, or as a
//     sick session. Only memory exhaustion propagates (as std::bad_alloc).
//  2. Every connect, send and receive blocks the calling thread without a time limit.
//  3. No object is safe for concurrent use; distinct objects may be used on distinct threads.
//  4. A reply from the bridge is one line ended by "\n". Bytes that arrive after that line
//     (for example the first bytes of a stream) stay in the socket for the next read().
#ifndef VELQOR_SAM_HPP
#define VELQOR_SAM_HPP

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#ifndef VELQOR_EXPORT
#define VELQOR_EXPORT __attribute__((visibility("default")))
#endif

namespace SAM {

// A destination: the public part that peers connect to, and the private key material that
// lets a session take that destination at the bridge.
struct VELQOR_EXPORT FullDestination {
  FullDestination() = default;
  FullDestination(const std::string& pub, const std::string& priv, bool isGenerated);

  std::string pub;           // public destination, I2P base64
  std::string priv;          // private destination (full key material), I2P base64
  bool isGenerated = false;  // true when the bridge made it (TRANSIENT or DEST GENERATE)
};

// Returns the public destination contained in the private destination `priv`.
//
// The private destination is decoded from I2P base64 (alphabet A-Z a-z 0-9 "-" "~", "="
// padding); the public destination is its first 387 + N bytes, where N is the big-endian
// 16-bit certificate length at byte offsets 385-386, encoded again. EdDSA keys give 524
// characters, old DSA keys 516.
// CAVEAT: when `priv` does not decode, or is too short for its certificate, the result is the
// first 516 characters of `priv` (all of it when shorter).
VELQOR_EXPORT std::string derivePublicDestination(const std::string& priv);

// Request lines and replies of the SAM protocol. Never instantiated; all members are static,
// pure and safe to call from any thread.
class VELQOR_EXPORT Message {
 public:
  Message() = delete;

  enum SessionStyle { STREAM = 0, DATAGRAM = 1, RAW = 2 };

  // Status of one reply. The numbers are fixed: callers may test ranges of them.
  enum eStatus {
    OK = 0,
    NO_ANSWER = 1,          // empty reply: the connection ended, failed, or sent no whole line
    SOCKET_NOT_OK = 2,      // nothing was sent because the connection was not usable
    UNEXPECTED_RESULT = 3,  // a reply without a RESULT this library knows
    DUPLICATED_DEST = 4,
    DUPLICATED_ID = 5,
    I2P_ERROR = 6,
    INVALID_ID = 7,
    INVALID_KEY = 8,
    CANT_REACH_PEER = 9,
    TIMEOUT = 10,
    NOVERSION = 11,
    KEY_NOT_FOUND = 12,
    PEER_NOT_FOUND = 13,
    ALREADY_ACCEPTING = 14,
  };

  // The outcome of one request at protocol level: a status and a value, both fixed at
  // construction. T is `const std::string` or `const FullDestination`.
  template <class T>
  struct Answer {
    explicit Answer(eStatus status) : status(status), value() {}
    Answer(eStatus status, const T& value) : status(status), value(value) {}

    const eStatus status;
    T value;
  };

  // printf-style formatting of a whole line, of any length. Returns "" and reports through
  // the library's diagnostic sink when formatting fails.
  static std::string createSAMRequest(const char* format, ...)
      __attribute__((format(printf, 1, 2)));

  // Request builders. Each returns one complete line ended by "\n", with its arguments
  // written unchanged (no quoting), or "" when an argument contains "\r", "\n" or a zero
  // byte: such an argument would start a second command on the bridge connection.
  static std::string hello(const std::string& minVer, const std::string& maxVer);
  // Note the order: the line carries STYLE, ID, DESTINATION, SIGNATURE_TYPE,
  // inbound.nickname and then `options`, separated from the nickname by one space.
  static std::string sessionCreate(SessionStyle style, const std::string& sessionID,
                                   const std::string& nickname, const std::string& destination,
                                   const std::string& options, const std::string& signatureType);
  static std::string streamAccept(const std::string& sessionID, bool silent);
  static std::string streamConnect(const std::string& sessionID, const std::string& destination,
                                   bool silent);
  // Note the order: the line carries PORT= before HOST=.
  static std::string streamForward(const std::string& sessionID, const std::string& host,
                                   uint16_t port, bool silent);
  static std::string namingLookup(const std::string& name);
  static std::string destGenerate();

  // Returns the status of `answer`, read from the value of its RESULT key.
  // "" gives NO_ANSWER; a RESULT that is absent, empty or unknown gives UNEXPECTED_RESULT.
  // The comparison is exact: "ok" or "OK\r" is UNEXPECTED_RESULT.
  static eStatus checkAnswer(const std::string& answer);

  // Returns the value of `key` in `answer`, or "" when the key is absent or `key` is empty.
  //  1. Keys are whole words: a key starts the reply or follows a space, so "ID" never
  //     matches the tail of "SESSIONID" or text inside a value.
  //  2. A value starting with a double quote runs to the closing quote and is returned
  //     without the quotes (\" and \\ inside stand for " and \); spaces inside are kept.
  //  3. Any other value ends at the first space or "\n". A "\r" before "\n" stays part of it.
  //  4. Only the first line of `answer` is examined; the first occurrence of the key wins.
  static std::string getValue(const std::string& answer, const std::string& key);
};

// One blocking TCP connection (IPv4) to a SAM bridge, owning its descriptor exclusively.
//
// Construction connects and sends "HELLO VERSION MIN=3.0 MAX=3.1"; it never throws. After
// construction isOk() tells whether the connection is open, and getVersion() is the version
// the bridge chose ("" when the bridge refused or did not answer).
//
// Once a STREAM CONNECT or STREAM ACCEPT has succeeded on it, the object carries that
// stream's bytes. A failed send or receive closes the connection.
class VELQOR_EXPORT I2pSocket {
 public:
  // The longest reply line that readLine() accepts, "\n" included.
  static constexpr std::size_t maxReplyLength = 64 * 1024;

  // Connects to `SAMHost` (numeric IPv4 only: names are not resolved) and `SAMPort`.
  I2pSocket(const std::string& SAMHost, uint16_t SAMPort);
  // Connects to `addr`. getHost() is then empty and getPort() is the port of `addr`.
  explicit I2pSocket(const sockaddr_in& addr);
  // Opens a new connection, with its own handshake, to the address of `other`.
  // Nothing of `other` is shared or changed.
  I2pSocket(const I2pSocket& other);
  // Not assignable: a socket is one connection. Make a new object instead.
  I2pSocket& operator=(const I2pSocket&) = delete;
  // Closes the connection if it is still open.
  ~I2pSocket();

  // Sends every byte of `msg`, zero bytes included, retrying partial and interrupted sends.
  // REQUIRES: isOk(); otherwise nothing is sent.
  // A failed send (a reset peer included) closes the connection; SIGPIPE is never raised.
  // CAVEAT: writing an empty text closes the connection.
  void write(const std::string& msg);

  // Returns the bytes of one receive (at most 4096), zero bytes included; bytes kept back
  // from an earlier readLine() come first. Returns "" only when the connection is not open,
  // the peer closed it, or the receive failed; in the last two cases it is now closed.
  std::string read();

  // Returns the next line, "\n" included, receiving as often as it takes; the bytes after
  // the "\n" are kept for the next read() or readLine(). Returns "" (and closes the
  // connection) when the connection ends or fails before a whole line, or when no "\n" comes
  // within maxReplyLength bytes.
  std::string readLine();

  // Closes the connection. Harmless when already closed.
  void close();
  // Gives the descriptor to the caller without closing it, and returns it (-1 when closed).
  // Bytes kept back by readLine() are dropped.
  int release();

  bool isOk() const;
  const std::string& getHost() const;
  uint16_t getPort() const;
  const std::string& getVersion() const;
  const sockaddr_in& getAddress() const;

 private:
  friend class StreamSession;  // reads samMinVer and samMaxVer

  void bootstrapI2P();
  void init();
  void handshake();

  const std::string samMinVer;
  const std::string samMaxVer;
  int socket;
  sockaddr_in servAddr;
  std::string SAMHost;
  uint16_t SAMPort;
  std::string version;
  std::string pending;  // bytes received after the last line that readLine() returned
};

// The result of a session request: isOk, and a value that is default when isOk is false.
template <class T>
struct RequestResult {
  RequestResult() : isOk(false), value() {}
  explicit RequestResult(const T& value) : isOk(true), value(value) {}

  bool isOk;
  T value;
};

template <>
struct RequestResult<void> {
  RequestResult() : isOk(false) {}
  explicit RequestResult(bool isOk) : isOk(isOk) {}

  bool isOk;
};

// The result of accept and connect: on success it owns the stream's connection. Move-only,
// since the connection has exactly one owner.
template <>
struct RequestResult<std::unique_ptr<I2pSocket>> {
  RequestResult() : isOk(false), value() {}
  explicit RequestResult(std::unique_ptr<I2pSocket>&& value)
      : isOk(true), value(std::move(value)) {}
  RequestResult(RequestResult&&) = default;
  RequestResult& operator=(RequestResult&&) = default;
  RequestResult(const RequestResult&) = delete;
  RequestResult& operator=(const RequestResult&) = delete;

  bool isOk;
  std::unique_ptr<I2pSocket> value;
};

// One SAM STREAM session, held open at the bridge for as long as its control connection is.
//
// Construction connects, handshakes, draws a random identifier and sends SESSION CREATE; it
// never throws on a network or protocol failure but marks the session sick, which isSick()
// shows. Each request opens a connection of its own to the same bridge. A request whose
// reply shows the session unusable marks it sick too; the flag is never cleared, and
// rebuilding (the constructor taking a session) is the caller's decision.
//
// Every request exists twice: a static form that runs one exchange on a given socket and
// returns the protocol status, and a member form that opens the connection, applies the sick
// rules and returns a RequestResult. A member request whose string argument contains "\r",
// "\n" or a zero byte fails without connecting and without making the session sick.
class VELQOR_EXPORT StreamSession {
 public:
  // One active forward: its connection (owned by the session) and what it forwards to.
  struct ForwardedStream {
    ForwardedStream(std::unique_ptr<I2pSocket> socket, const std::string& host, uint16_t port,
                    bool silent);
    ForwardedStream(ForwardedStream&&) = default;

    std::unique_ptr<I2pSocket> socket;
    std::string host;
    uint16_t port;
    bool silent;
  };

  // Creates a session at the bridge on `SAMHost`:`SAMPort`. `myDestination` is "TRANSIENT"
  // for a new destination or a private destination to take. `i2pOptions` is written at the
  // end of the SESSION CREATE line. The session always uses signature type
  // "EdDSA_SHA512_Ed25519"; `signatureType` is not read.
  StreamSession(const std::string& nickname, const std::string& SAMHost = "127.0.0.1",
                uint16_t SAMPort = 7656, const std::string& myDestination = "TRANSIENT",
                const std::string& i2pOptions = "",
                const std::string& signatureType = "EdDSA_SHA512_Ed25519");
  // Rebuilds `failed`: a new session under a fresh identifier with the same destination,
  // nickname and options, whose forwards are made again in order. `failed` becomes sick and
  // its control connection is closed; its own forwards stay open until it is destroyed.
  explicit StreamSession(StreamSession& failed);
  StreamSession& operator=(const StreamSession&) = delete;
  // Stops every forward and closes the control connection, which ends the session at the
  // bridge. Streams handed out by accept() and connect() stay open.
  ~StreamSession();

  // Returns 5 to 8 random letters A-Z, drawn from the system's random source. Does not
  // touch the C library's rand() sequence.
  static std::string generateSessionID();

  // Waits for an incoming stream. On success the result owns its connection; with `silent`
  // false the bridge first sends the peer's destination as one line (see readLine()).
  // CAVEAT: with `silent` true the bridge sends no status line, so the request succeeds as
  // soon as it is sent; a stream that does not come about shows as an empty read().
  RequestResult<std::unique_ptr<I2pSocket>> accept(bool silent);
  // Opens a stream to `destination` (a public destination or a name the bridge resolves).
  // CAVEAT: as for accept(), with `silent` true no status line is read.
  RequestResult<std::unique_ptr<I2pSocket>> connect(const std::string& destination, bool silent);
  // Asks the bridge to pass every incoming stream to `host`:`port`. The forward lasts until
  // stopForwarding(), stopForwardingAll() or destruction. A second forward to the same host
  // and port adds a second entry.
  RequestResult<void> forward(const std::string& host, uint16_t port, bool silent);
  // Resolves `name`; on success the value is its destination.
  RequestResult<const std::string> namingLookup(const std::string& name) const;
  // Asks the bridge for a new destination; the session's own destination is not changed.
  RequestResult<const FullDestination> destGenerate() const;

  // Ends (closes and removes) every forward to `host`:`port`. Nothing is sent to the bridge.
  void stopForwarding(const std::string& host, uint16_t port);
  // Ends every forward and closes the control connection, ending the session at the bridge.
  void stopForwardingAll();

  // Sends SESSION CREATE on the control connection. On success returns the destination with
  // `pub` derived from the private one; on failure marks the session sick and returns a
  // default FullDestination.
  FullDestination createStreamSession(const std::string& destination);

  // Static forms: one exchange on `socket`. Each returns SOCKET_NOT_OK without sending when
  // `socket` is not usable. accept and connect with `silent` true read no reply: they return
  // OK when the request was sent and NO_ANSWER when sending failed.
  static Message::Answer<const std::string> createStreamSession(
      I2pSocket& socket, const std::string& sessionID, const std::string& nickname,
      const std::string& destination, const std::string& options, const std::string& signatureType);
  static Message::eStatus accept(I2pSocket& socket, const std::string& sessionID, bool silent);
  static Message::eStatus connect(I2pSocket& socket, const std::string& sessionID,
                                  const std::string& destination, bool silent);
  static Message::eStatus forward(I2pSocket& socket, const std::string& sessionID,
                                  const std::string& host, uint16_t port, bool silent);
  // The value is the reply's VALUE.
  static Message::Answer<const std::string> namingLookup(I2pSocket& socket,
                                                         const std::string& name);
  // OK when the reply carries non-empty PUB and PRIV (whatever its RESULT), else NO_ANSWER.
  static Message::Answer<const FullDestination> destGenerate(I2pSocket& socket);

  // Writes `requestLine` and reads one reply line. The value is the whole reply, "\n"
  // included.
  static Message::Answer<const std::string> rawRequest(I2pSocket& socket,
                                                       const std::string& requestLine);
  // As rawRequest; when the status is OK the value is the reply's `keyOfValue` instead.
  static Message::Answer<const std::string> request(I2pSocket& socket,
                                                    const std::string& requestLine,
                                                    const std::string& keyOfValue);
  static Message::eStatus request(I2pSocket& socket, const std::string& requestLine);

  // Marks the session sick. One way: nothing clears it.
  void fallSick() const;
  bool isSick() const;

  const std::string& getNickname() const;
  const std::string& getSessionID() const;
  const std::string& getOptions() const;
  const FullDestination& getMyDestination() const;
  const sockaddr_in& getSAMAddress() const;
  const std::string& getSAMHost() const;
  uint16_t getSAMPort() const;
  const std::string& getSAMVersion() const;
  const std::string& getSAMMinVer() const;
  const std::string& getSAMMaxVer() const;

 private:
  // Sends `requestLine` on a connection of its own and applies the sick rules of stream
  // requests (accept, connect, forward). An empty line is a refused argument: nothing is
  // sent and the session stays as it is. With `silent` no reply line is read.
  RequestResult<std::unique_ptr<I2pSocket>> streamRequest(const std::string& requestLine,
                                                          bool silent);

  I2pSocket socket;  // the control connection
  const std::string nickname;
  const std::string sessionID;
  FullDestination myDestination;
  const std::string i2pOptions;
  std::list<ForwardedStream> forwardedStreams;
  mutable bool sick;
};

}  // namespace SAM

#endif  // VELQOR_SAM_HPP
