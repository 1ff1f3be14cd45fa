#include "command_line.hpp"

#include <cctype>

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

// Letters, digits, "-", "." and "_": an IPv4 address or a host name, to be resolved when the
// run starts (a name that does not resolve fails the run, not the command line).
bool isHostName(const std::string& text) {
  if (text.empty() || text.size() > 253 || text[0] == '-') return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_') {
      return false;
    }
  }
  return true;
}

// Seconds as digits with an optional fraction ("600", "2.5"), at most a year.
bool parseSeconds(const std::string& text, std::chrono::milliseconds& limit) {
  const std::size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  const auto digitsOnly = [](const std::string& digits) {
    return digits.find_first_not_of("0123456789") == std::string::npos;
  };
  if (whole.empty() || whole.size() > 8 || !digitsOnly(whole) || !digitsOnly(fraction) ||
      (dot != std::string::npos && fraction.empty())) {
    return false;
  }
  long long ms = std::stoll(whole) * 1000;
  const std::string millis = (fraction + "000").substr(0, 3);
  ms += std::stoll(millis);
  if (ms > 365LL * 24 * 3600 * 1000) return false;
  limit = std::chrono::milliseconds(ms);
  return true;
}

// A whole number from 1 to `max`.
bool parseCount(const std::string& text, int max, int& count) {
  if (text.empty() || text.size() > 6 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int value = std::stoi(text);
  if (value < 1 || value > max) return false;
  count = value;
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
  if (action_ == Action::kRun && !settings_.check && !checkOption_.empty()) {
    failWith(checkOption_ + " needs --check");
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
    std::uint16_t port = 0;
    if (colon == std::string::npos || !isHostName(value.substr(0, colon)) ||
        !parsePort(value.substr(colon + 1), port)) {
      failWith("--sam wants HOST:PORT with an IPv4 address or a host name, not '" + value + "'");
    } else {
      settings_.samHost = value.substr(0, colon);
      settings_.samPort = port;
    }
  } else if (startsWith(argument, "--timeout=", value)) {
    if (!parseSeconds(value, settings_.timeout)) {
      failWith("--timeout wants a number of seconds (0 for no limit), not '" + value + "'");
    }
  } else if (startsWith(argument, "--stall-timeout=", value)) {
    if (!parseSeconds(value, settings_.stallTimeout)) {
      failWith("--stall-timeout wants a number of seconds (0 for no limit), not '" + value + "'");
    }
  } else if (argument == "--check") {
    settings_.check = true;
  } else if (startsWith(argument, "--jobs=", value)) {
    checkOption_ = "--jobs";
    if (!parseCount(value, kMaxJobs, settings_.jobs)) {
      failWith("--jobs wants a number from 1 to " + std::to_string(kMaxJobs) + ", not '" + value +
               "'");
    }
  } else if (startsWith(argument, "--check-timeout=", value)) {
    checkOption_ = "--check-timeout";
    if (!parseSeconds(value, settings_.checkTimeout)) {
      failWith("--check-timeout wants a number of seconds (0 for no limit), not '" + value + "'");
    }
  } else if (startsWith(argument, "--format=", value)) {
    checkOption_ = "--format";
    if (value == "table") {
      settings_.format = CheckFormat::kTable;
    } else if (value == "tsv") {
      settings_.format = CheckFormat::kTsv;
    } else if (value == "json") {
      settings_.format = CheckFormat::kJson;
    } else {
      failWith("--format wants table, tsv or json, not '" + value + "'");
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
  return "Usage: tessivar [--sam=HOST:PORT] [--site=NAME] [--i2cp-options=TEXT] "
         "[--timeout=SECONDS]\n"
         "                [--stall-timeout=SECONDS] [--check [--jobs=N] [--check-timeout=SECONDS]\n"
         "                [--format=table|tsv|json]] [OUTPUT_FILE]\n"
         "Try 'tessivar --help' for more information.\n";
}

std::string CommandLine::help() {
  return std::string(
             "Usage: tessivar [OPTION]... [OUTPUT_FILE]\n"
             "Fetches the page of a directory site inside I2P through a SAM bridge and lists\n"
             "the eepsites in it: their host names on standard output, then their number.\n"
             "With OUTPUT_FILE, writes one line per eepsite to it: host, address helper and\n"
             "second host, separated by two spaces; a failed run leaves an existing\n"
             "OUTPUT_FILE as it was.\n"
             "\n"
             "  --sam=HOST:PORT      SAM bridge to use: an IPv4 address or a host name, and a\n"
             "                       port (default 127.0.0.1:7656)\n"
             "  --site=NAME          directory site: a name or a .b32.i2p address\n"
             "                       (default ") +
         kDefaultSiteHost +
         ")\n"
         "  --i2cp-options=TEXT  I2CP options for the session, for example\n"
         "                       \"inbound.length=0 outbound.length=0\" (default none)\n"
         "  --timeout=SECONDS    time limit of the whole run; each step gets what is left\n"
         "                       (default 600; 0 for no limit; a fraction like 2.5 is fine)\n"
         "  --stall-timeout=SECONDS\n"
         "                       fail when the page sends nothing for this long\n"
         "                       (default 60; 0 for no limit)\n"
         "  --check              after the listing, probe every listed eepsite through the\n"
         "                       same session (GET /) and report, instead of the host list,\n"
         "                       whether it answered, the HTTP status, the time to the\n"
         "                       first byte, the address used and why it did not answer\n"
         "  --jobs=N             probes under way at once, 1 to 256 (default 16)\n"
         "  --check-timeout=SECONDS\n"
         "                       time limit of each probe: connect, request and status\n"
         "                       line (default 60; 0 for no limit)\n"
         "  --format=FORMAT      the check's report: table (default on a terminal), tsv\n"
         "                       (default otherwise: host, state, status, milliseconds, via,\n"
         "                       cause; the summary goes to standard error) or json (JSON\n"
         "                       Lines: an object per site, then a summary object)\n"
         "  -h, --help           show this help and exit\n"
         "  --version            show the version and exit\n"
         "\n"
         "A failed run says why on a line \"tessivar: ...\" and ends standard error with one\n"
         "line \"Error: ...\". A site that does not answer --check never fails the run.\n"
         "Exit status: 0 on success, 1 when the run fails or runs out of time, 2 on a usage\n"
         "error.\n";
}

}  // namespace tessivar
