/// \file
/// Key files: a private destination kept on disk. Part of <velqor/sam.hpp>.
///
/// Key files hold a private destination as raw bytes (the decoded I2P base64), as i2pd keeps
/// its own keys (*.dat): one file can serve both a velqor session and an i2pd tunnel.
/// A whole private destination is: the public destination (384 bytes of keys, a certificate
/// type byte, a 16-bit big-endian certificate length, that many certificate bytes), a 256-byte
/// private encryption key, then the private signing key, whose length follows from the
/// signature type. The signature type is the first two bytes of a key certificate (type 5), or
/// DSA_SHA1 without one. Known types and their private key lengths: DSA_SHA1 (0) 20,
/// ECDSA_SHA256_P256 (1) 32, ECDSA_SHA384_P384 (2) 48, ECDSA_SHA512_P521 (3) 66,
/// EdDSA_SHA512_Ed25519 (7) 32, GOST R3410 256 (9) 32, GOST R3410 512 (10) 64,
/// RedDSA_SHA512_Ed25519 (11) 32. Other types, and any size but the exact total, are refused.
/// Keys with offline signatures are not whole destinations in this sense and are refused.
///
/// Every failure returns ErrorCode::KEY_FILE with a reason that names the path and what is
/// wrong, never any key bytes; `systemError` holds errno when a system call failed.
///
/// CAVEAT: restarting on a fixed key. i2pd 2.45.1 holds a destination for 5 s after its last
/// session closed. A session made on that key meanwhile (a server restarted at once) is
/// answered at once and reached by peers that knew it, but not by new peers: their connects
/// get no answer. Wait about 10 s after the old session ended before making the new one;
/// SessionKeeper's release delay does that for a kept session.
///
/// The velqor-keys program makes (new), shows (show: the public destination and b32 address)
/// and converts (to-base64, from-base64) these files.
#ifndef VELQOR_KEY_FILE_HPP
#define VELQOR_KEY_FILE_HPP

#include <velqor/export.h>
#include <velqor/destination.hpp>
#include <velqor/error.hpp>
#include <velqor/settings.hpp>

#include <cstdint>
#include <string>

namespace SAM {

/// Reads the key file at `path` into `destination`: `priv` in I2P base64, `pub` derived from it
/// with derivePublicDestination, `isGenerated` false. Returns an Error with code NONE.
/// Refuses (and leaves `destination` as it was) a file that cannot be opened or read, that is
/// not a regular file, or that does not hold exactly one whole private destination, e.g.
/// "key file k.dat is 100 bytes, too short for a destination".
VELQOR_EXPORT Error loadKeyFile(const std::string& path, FullDestination& destination);

/// Writes the private destination `priv` (I2P base64) as a key file at `path`, mode 0600,
/// replacing any file there. Refuses, writing nothing, a `priv` that does not decode or is not
/// one whole private destination.
/// The bytes go to a new temporary file next to `path` (`path` + ".XXXXXX"), which is synced
/// and then renamed over `path`; the directory is synced last. A crash therefore leaves either
/// the old file or the whole new one. On a failure before the rename the temporary file is
/// removed and a file already at `path` stays as it was. Only a failure to sync the directory
/// comes after the rename: `path` then holds the new key, which may not survive a crash.
VELQOR_EXPORT Error saveKeyFile(const std::string& path, const std::string& priv);

/// Loads the key file at `path` into `destination` as loadKeyFile does; when there is no file
/// there (the open failed with ENOENT, and only then), asks the bridge at `SAMHost`:`SAMPort`
/// for a new destination with "DEST GENERATE SIGNATURE_TYPE=EdDSA_SHA512_Ed25519", on a
/// connection of its own bounded by `limits`, and saves it at `path` as saveKeyFile does
/// (`isGenerated` is then true). Returns an Error with code NONE on success.
///  1. Any other failure to load (a file that cannot be read, one that holds no whole
///     destination) is returned as it is: the file is never replaced.
///  2. A failure to reach the bridge or a reply without keys returns that failure (CONNECT,
///     TIMED_OUT, CLOSED, PROTOCOL, ...), its reason starting "DEST GENERATE for <path>: ";
///     nothing is written.
///  3. When another program makes the file between the load and the save, its key is loaded
///     and the generated one is dropped, so that both programs share one destination.
/// `destination` is changed only on success.
VELQOR_EXPORT Error loadOrGenerateKeyFile(const std::string& path, const std::string& SAMHost,
                                          uint16_t SAMPort, FullDestination& destination,
                                          const TimeLimits& limits = {});

}  // namespace SAM

#endif  // VELQOR_KEY_FILE_HPP
