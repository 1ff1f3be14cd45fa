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

// How --check reports: kAuto is a table when standard output is a terminal, else kTsv.
enum class CheckFormat { kAuto, kTable, kTsv, kJson };

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
  // Each read of the page: a read that gets nothing for this long fails the run; 0: none.
  std::chrono::milliseconds stallTimeout = std::chrono::seconds(60);
  // --check: after the listing, probe every listed eepsite, `jobs` at a time, each within
  // `checkTimeout` (0: none), and report on standard output in `format`.
  bool check = false;
  int jobs = 16;
  std::chrono::milliseconds checkTimeout = std::chrono::seconds(60);
  CheckFormat format = CheckFormat::kAuto;
  // Whether progress lines may be updated in place (standard error is a terminal).
  bool progressOnTerminal = false;
  // Whether standard output is a terminal: the check's table then, and the progress line
  // makes way for each of its rows.
  bool outputOnTerminal = false;
};

}  // namespace tessivar

#endif  // TESSIVAR_RUN_SETTINGS_HPP
