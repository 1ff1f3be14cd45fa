// What one directory listing run needs to know.
#ifndef TESSIVAR_RUN_SETTINGS_HPP
#define TESSIVAR_RUN_SETTINGS_HPP

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tessivar {

// The directory site asked when the command line names none: a host name of our own.
constexpr char kDefaultSiteHost[] = "tessivar-index.i2p";

struct RunSettings {
  std::string samHost = "127.0.0.1";  // numeric IPv4 or a host name
  std::uint16_t samPort = 7656;
  std::string nickname = "tessivar";
  std::string siteHost = kDefaultSiteHost;
  std::string i2cpOptions;                // written at the end of SESSION CREATE
  std::string destination = "TRANSIENT";  // a new destination for every run
  std::optional<std::string> outputPath;  // where the rows go; none when not given
  // The whole run, each phase getting what is left of it; 0 means no limit.
  std::chrono::milliseconds timeout = std::chrono::seconds(600);
  // Whether progress lines may be updated in place (standard error is a terminal).
  bool progressOnTerminal = false;
};

}  // namespace tessivar

#endif  // TESSIVAR_RUN_SETTINGS_HPP
