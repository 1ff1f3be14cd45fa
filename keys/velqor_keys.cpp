#include "velqor_keys.hpp"

#include <sys/stat.h>
#include <velqor/sam.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <iterator>
#include <ostream>

namespace velqor_keys {

namespace {

const char kUsage[] =
    "usage: velqor-keys new PATH [--sam=HOST:PORT] [--timeout=SECONDS]\n"
    "       velqor-keys show PATH\n"
    "       velqor-keys to-base64 PATH\n"
    "       velqor-keys from-base64 TEXT|- PATH\n"
    "       velqor-keys -h | --help | --version\n";

const char kHelp[] =
    "Key files hold a private I2P destination as raw bytes, the format of the library's\n"
    "loadKeyFile, saveKeyFile and loadOrGenerateKeyFile and of i2pd's own *.dat keys, written\n"
    "with mode 0600. A session that takes the key has the same destination on every run.\n"
    "\n"
    "Commands:\n"
    "  new PATH        asks the SAM bridge for a new EdDSA_SHA512_Ed25519 destination, saves\n"
    "                  it at PATH (which must not exist yet) and prints it as show does\n"
    "      --sam=HOST:PORT     the bridge (default 127.0.0.1:7656; velqor-sandbox prints its)\n"
    "      --timeout=SECONDS   limit of the connect and of each reply (default 60, 0: none)\n"
    "  show PATH       prints PUBLIC=<public destination> and B32=<b32 address>, the two forms\n"
    "                  peers use to reach the key's sessions (the first for datagrams and\n"
    "                  address books, the second for lookups and links)\n"
    "  to-base64 PATH  prints the private destination in I2P base64, for programs that take\n"
    "                  it as text (SESSION CREATE DESTINATION=, the C settings' destination);\n"
    "                  it is the secret key: keep it out of logs\n"
    "  from-base64 TEXT|- PATH\n"
    "                  writes the private destination TEXT (I2P base64; - reads it from\n"
    "                  standard input) as a key file at PATH, which must not exist yet\n"
    "\n"
    "Exit status: 0 on success, 1 when the command failed (the reason on standard error),\n"
    "2 on a usage error.\n";

struct Usage {  // a usage error and its text
  std::string what;
};

bool exists(const std::string& path) {
  struct stat seen;
  return ::lstat(path.c_str(), &seen) == 0 || errno != ENOENT;
}

// "HOST:PORT" with a port of 1 to 65535.
void parseSam(const std::string& value, std::string& host, uint16_t& port) {
  const std::size_t colon = value.rfind(':');
  char* end = nullptr;
  const long number = colon == std::string::npos ? 0 : std::strtol(&value[colon + 1], &end, 10);
  if (colon == 0 || number < 1 || number > 65535 || end == nullptr || *end != '\0') {
    throw Usage{"--sam wants HOST:PORT, not '" + value + "'"};
  }
  host = value.substr(0, colon);
  port = static_cast<uint16_t>(number);
}

std::chrono::milliseconds parseTimeout(const std::string& value) {
  char* end = nullptr;
  const double seconds = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || !(seconds >= 0 && seconds <= 86400)) {
    throw Usage{"--timeout wants a number of seconds (0: no limit), not '" + value + "'"};
  }
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

void printPublic(const SAM::FullDestination& destination, std::ostream& out) {
  out << "PUBLIC=" << destination.pub << "\nB32=" << SAM::b32Address(destination.pub) << "\n";
}

int failed(std::ostream& err, const std::string& reason) {
  err << "velqor-keys: " << reason << "\n";
  return kExitFailed;
}

int makeNew(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::string path, host = "127.0.0.1";
  uint16_t port = 7656;
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument.rfind("--sam=", 0) == 0) {
      parseSam(argument.substr(6), host, port);
    } else if (argument.rfind("--timeout=", 0) == 0) {
      timeout = parseTimeout(argument.substr(10));
    } else if (argument.rfind("-", 0) == 0 || !path.empty()) {
      throw Usage{"new: unexpected argument '" + argument + "'"};
    } else {
      path = argument;
    }
  }
  if (path.empty()) throw Usage{"new wants the PATH of the key file to make"};
  if (exists(path)) return failed(err, path + " exists already; velqor-keys show prints its key");
  SAM::TimeLimits limits;
  limits.connect = limits.reply = limits.read = limits.write = timeout;
  SAM::FullDestination destination;
  const SAM::Error error = SAM::loadOrGenerateKeyFile(path, host, port, destination, limits);
  if (!error.ok()) return failed(err, error.reason);
  printPublic(destination, out);
  return kExitSuccess;
}

int fromBase64(const std::vector<std::string>& arguments, std::istream& in, std::ostream& err) {
  if (arguments.size() != 3) throw Usage{"from-base64 wants TEXT (or -) and PATH"};
  std::string text = arguments[1];
  if (text == "-") text.assign(std::istreambuf_iterator<char>(in), {});
  const std::size_t end = text.find_last_not_of(" \t\r\n");  // as a file or echo leaves it
  text.erase(end == std::string::npos ? 0 : end + 1);
  const std::string& path = arguments[2];
  if (exists(path)) return failed(err, path + " exists already; remove it first to replace it");
  const SAM::Error error = SAM::saveKeyFile(path, text);
  return error.ok() ? kExitSuccess : failed(err, error.reason);
}

int dispatch(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
             std::ostream& err) {
  const std::string command = arguments.empty() ? "" : arguments[0];
  if (command == "-h" || command == "--help") {
    out << kUsage << "\n" << kHelp;
    return kExitSuccess;
  }
  if (command == "--version") {
    out << "velqor-keys " << VELQOR_KEYS_VERSION << "\n";
    return kExitSuccess;
  }
  if (command == "new") return makeNew(arguments, out, err);
  if (command == "from-base64") return fromBase64(arguments, in, err);
  if (command != "show" && command != "to-base64") {
    throw Usage{command.empty() ? "a command is wanted" : "unknown command '" + command + "'"};
  }
  if (arguments.size() != 2) throw Usage{command + " wants the PATH of one key file"};
  SAM::FullDestination destination;
  const SAM::Error error = SAM::loadKeyFile(arguments[1], destination);
  if (!error.ok()) return failed(err, error.reason);
  if (command == "show") {
    printPublic(destination, out);
  } else {
    out << destination.priv << "\n";
  }
  return kExitSuccess;
}

}  // namespace

int run(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
        std::ostream& err) {
  int status = kExitSuccess;
  try {
    status = dispatch(arguments, in, out, err);
  } catch (const Usage& usage) {
    err << "velqor-keys: " << usage.what << "\n" << kUsage;
    return kExitUsage;
  }
  out.flush();
  return status == kExitSuccess && !out ? failed(err, "cannot write standard output") : status;
}

}  // namespace velqor_keys
