/// \file
/// velqor: a client library for the SAM version 3 protocol, the text protocol that the SAM
/// bridge of an I2P router speaks over TCP (usually on 127.0.0.1:7656).
///
/// Installed as <velqor/sam.hpp>. Everything lives in namespace SAM:
///
///   Message        formats request lines and reads replies; pure functions over text.
///   I2pSocket      one blocking TCP connection to the bridge with its HELLO handshake.
///   Session        what every session has: identifier, destination, sick flag, lookups.
///   StreamSession  one SAM STREAM session and every request made in its name.
///   DatagramSession  one SAM DATAGRAM or RAW session: datagrams over UDP both ways.
///   SessionKeeper  holds a StreamSession and rebuilds it when the router lost it.
///   Operation      the same exchanges without blocking, for a caller's event loop.
///   TimeLimits     optional limits for each phase (settings.hpp).
///   Error          the reason of the last failure of a socket or a session.
///   FullDestination, derivePublicDestination, b32Address: destinations and their keys.
///   loadKeyFile, saveKeyFile, loadOrGenerateKeyFile: key files (key_file.hpp).
///
/// Conventions that hold for the whole interface:
///  1. Nothing throws on a network or protocol failure. Failures show as a status, as
///     RequestResult::isOk == false, as I2pSocket::isOk() == false, as an empty read, or as a
///     sick session, and getLastError() tells why. Only memory exhaustion propagates (as
///     std::bad_alloc).
///  2. Every connect, send and receive blocks the calling thread, without a time limit unless
///     the caller sets TimeLimits, except in an Operation, which never blocks. Waits happen in
///     poll() on the monotonic clock; the library starts no threads and uses no signals.
///  3. No object is safe for concurrent use; distinct objects may be used on distinct threads.
///     The exceptions are I2pSocket::cancel(), and an I2pSocket read in one thread while another
///     writes it (full duplex, as a TCP socket).
///  4. A reply from the bridge is one line ended by `"\n"`. Bytes that arrive after that line
///     (for example the first bytes of a stream) stay in the socket for the next read().
#ifndef VELQOR_SAM_HPP
#define VELQOR_SAM_HPP

#include <velqor/datagram_session.hpp>
#include <velqor/destination.hpp>
#include <velqor/error.hpp>
#include <velqor/i2p_socket.hpp>
#include <velqor/key_file.hpp>
#include <velqor/message.hpp>
#include <velqor/operation.hpp>
#include <velqor/request_result.hpp>
#include <velqor/session.hpp>
#include <velqor/session_keeper.hpp>
#include <velqor/settings.hpp>
#include <velqor/stream_session.hpp>

#endif  // VELQOR_SAM_HPP
