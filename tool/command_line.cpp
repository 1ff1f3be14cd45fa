#include "command_line.hpp"

#include <arpa/inet.h>

namespace tessivar {

namespace {

bool startsWith(const std::string& text, const char* prefix, std::string& rest) {
  const std::string p(prefix);
  if (text.compare(0, p.size(), p) != 0) return false;
  rest = text.substr(p.size());
  return true;
}

bool hasControlCharacter(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

bool parsePort(const std::string& text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

CommandLine::CommandLine(int argc, const char* const* argv) {
  bool operandsOnly = false;
  for (int i = 1; i < argc && action_ == Action::kRun; ++i) {
    const std::string argument = argv[i];
    if (operandsOnly || argument.empty() || argument[0] != '-') {
      if (!settings_.outputPath) settings_.outputPath = argument;
    } else if (argument == "--") {
      operandsOnly = true;
    } else if (!parseOption(argument) && action_ == Action::kRun) {
      failWith("unknown option '" + argument + "'");
    }
  }
}

bool CommandLine::parseOption(const std::string& argument) {
  std::string value;
  if (argument == "-h" || argument == "--help") {
    action_ = Action::kShowHelp;
  } else if (argument == "--version") {
    action_ = Action::kShowVersion;
  } else if (startsWith(argument, "--sam=", value)) {
    const std::size_t colon = value.rfind(':');
    in_addr address{};
    std::uint16_t port = 0;
    if (colon == std::string::npos ||
        inet_pton(AF_INET, value.substr(0, colon).c_str(), &address) != 1 ||
        !parsePort(value.substr(colon + 1), port)) {
      failWith("--sam wants HOST:PORT with a numeric IPv4 HOST, not '" + value + "'");
    } else {
      settings_.samHost = value.substr(0, colon);
      settings_.samPort = port;
    }
  } else if (startsWith(argument, "--site=", value)) {
    if (value.empty() || hasControlCharacter(value) || value.find(' ') != std::string::npos) {
      failWith("--site wants a host name without spaces or control characters");
    } else {
      settings_.siteHost = value;
    }
  } else if (startsWith(argument, "--i2cp-options=", value)) {
    if (hasControlCharacter(value)) {
      failWith("--i2cp-options must not hold control characters");
    } else {
      settings_.i2cpOptions = value;
    }
  } else {
    return false;
  }
  return true;
}

void CommandLine::failWith(const std::string& why) {
  action_ = Action::kUsageError;
  error_ = why;
}

std::string CommandLine::usage() {
  return "Usage: tessivar [--sam=HOST:PORT] [--site=NAME] [--i2cp-options=TEXT] [OUTPUT_FILE]\n"
         "Try 'tessivar --help' for more information.\n";
}

std::string CommandLine::help() {
  return std::string(
             "Usage: tessivar [OPTION]... [OUTPUT_FILE]\n"
             "Fetches the page of a directory site inside I2P through a SAM bridge and lists\n"
             "the eepsites in it: their host names on standard output, then their number.\n"
             "With OUTPUT_FILE, writes one line per eepsite to it: host, address helper and\n"
             "second host, separated by two spaces.\n"
             "\n"
             "  --sam=HOST:PORT      SAM bridge to use (default 127.0.0.1:7656)\n"
             "  --site=NAME          directory site (default ") +
         kDefaultSiteHost +
         ")\n"
         "  --i2cp-options=TEXT  I2CP options for the session, for example\n"
         "                       \"inbound.length=0 outbound.length=0\" (default none)\n"
         "  -h, --help           show this help and exit\n"
         "  --version            show the version and exit\n"
         "\n"
         "Exit status: 0 on success, 1 when the run fails, 2 on a usage error.\n";
}

}  // namespace tessivar
