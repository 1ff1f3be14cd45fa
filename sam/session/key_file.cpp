// Key files: a private destination as its raw bytes, checked to be one whole destination when
// read, and replaced through a synced temporary file when written; made by the bridge when
// there is none.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <velqor/key_file.hpp>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>

#include <velqor/session.hpp>

#include "sam/wire/destination_format.hpp"
#include "sam/wire/i2p_base64.hpp"

namespace SAM {

namespace {

Error keyFileError(std::string reason, int systemError = 0) {
  Error error;
  error.code = ErrorCode::KEY_FILE;
  error.systemError = systemError;
  error.reason = std::move(reason);
  return error;
}

// "what: <the system's text for errnoValue>", with errnoValue kept.
Error systemFailure(const std::string& what, int errnoValue) {
  return keyFileError(what + ": " + std::system_category().message(errnoValue), errnoValue);
}

// Reads the whole regular file open at `fd` into `bytes`, refusing more than any destination.
Error readKeyBytes(int fd, const std::string& path, std::string& bytes) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return systemFailure("cannot read key file " + path, errno);
  // A FIFO or a device could block or never end.
  if (!S_ISREG(status.st_mode)) return keyFileError("key file " + path + " is not a regular file");
  char buffer[4096];
  while (bytes.size() <= wire::longestPrivateDestination) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return systemFailure("cannot read key file " + path, errno);
    if (n == 0) return Error();
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return keyFileError("key file " + path + " is more than " +
                      std::to_string(wire::longestPrivateDestination) +
                      " bytes, too long for a destination");
}

// Writes all of `bytes` to `fd`, makes the file 0600 and syncs it; returns errno, or 0.
int writeAndSync(int fd, const std::string& bytes) {
  if (fchmod(fd, S_IRUSR | S_IWUSR) != 0) return errno;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    written += static_cast<std::size_t>(n);
  }
  return fsync(fd) == 0 ? 0 : errno;
}

// Syncs the directory that holds `path`, so that a rename in it lasts through a crash.
int syncDirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return result;
}

// Writes `priv` as a key file at `path` through a synced temporary file. With `replace` the
// temporary file is renamed over `path`; without it, it is linked to `path`, which fails with
// EEXIST (kept in the Error) when a file is there, and leaves that file as it was.
Error writeKeyFile(const std::string& path, const std::string& priv, bool replace) {
  const std::optional<std::string> bytes = I2pBase64::decode(priv);
  if (!bytes) return keyFileError("cannot save " + path + ": the key is not I2P base64");
  const std::string problem = wire::privateDestinationProblem(*bytes);
  if (!problem.empty()) return keyFileError("cannot save " + path + ": the key " + problem);

  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) return systemFailure("cannot create a temporary file for " + path, errno);
  int failure = writeAndSync(fd, *bytes);
  Error error;
  if (failure != 0) error = systemFailure("cannot write " + temporary, failure);
  if (::close(fd) != 0 && error.ok()) error = systemFailure("cannot write " + temporary, errno);
  if (error.ok() && replace && std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = systemFailure("cannot rename " + temporary + " to " + path, errno);
  }
  if (error.ok() && !replace && ::link(temporary.c_str(), path.c_str()) != 0) {
    error = systemFailure("cannot link " + temporary + " to " + path, errno);
  }
  if (!error.ok() || !replace) ::unlink(temporary.c_str());
  if (!error.ok()) return error;
  failure = syncDirectoryOf(path);
  if (failure != 0) return systemFailure("cannot sync the directory of " + path, failure);
  return Error();
}

}  // namespace

Error loadKeyFile(const std::string& path, FullDestination& destination) {
  // Non-blocking, so that opening a FIFO does not wait for a writer before it is refused.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return systemFailure("cannot open key file " + path, errno);
  std::string bytes;
  const Error readError = readKeyBytes(fd, path, bytes);
  ::close(fd);
  if (!readError.ok()) return readError;
  const std::string problem = wire::privateDestinationProblem(bytes);
  if (!problem.empty()) return keyFileError("key file " + path + " " + problem);
  const std::string priv = I2pBase64::encode(bytes);
  destination = FullDestination(derivePublicDestination(priv), priv, false);
  return Error();
}

Error saveKeyFile(const std::string& path, const std::string& priv) {
  return writeKeyFile(path, priv, true);
}

Error loadOrGenerateKeyFile(const std::string& path, const std::string& SAMHost, uint16_t SAMPort,
                            FullDestination& destination, const TimeLimits& limits) {
  Error error = loadKeyFile(path, destination);
  // Only a file that is not there is made: any other failure may be a key worth keeping.
  if (error.systemError != ENOENT) return error;
  I2pSocket connection(SAMHost, SAMPort, limits);
  const Message::Answer<const FullDestination> generated =
      Session::destGenerate(connection, wire::sessionSignatureType);
  if (generated.status != Message::OK) {
    error = connection.getLastError();
    if (error.ok()) {
      error.code = ErrorCode::PROTOCOL;
      error.reason = "the reply holds no PUB and PRIV";
    }
    error.status = generated.status;
    error.reason = "DEST GENERATE for " + path + ": " + error.reason;
    return error;
  }
  error = writeKeyFile(path, generated.value.priv, false);
  // Another program made the file meanwhile: its key is the one to share.
  if (error.systemError == EEXIST) return loadKeyFile(path, destination);
  if (!error.ok()) return error;
  const std::string& priv = generated.value.priv;
  destination = FullDestination(derivePublicDestination(priv), priv, true);
  return Error();
}

}  // namespace SAM
