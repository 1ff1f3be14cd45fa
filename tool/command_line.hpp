// The command line of tessivar.
#ifndef TESSIVAR_COMMAND_LINE_HPP
#define TESSIVAR_COMMAND_LINE_HPP

#include <string>

#include "run_settings.hpp"

namespace tessivar {

// Parses the arguments of tessivar:
//   --sam=HOST:PORT      the SAM bridge (HOST an IPv4 address or a host name, PORT 1 to 65535)
//   --site=NAME          the directory site's host name or .b32.i2p address
//   --timeout=SECONDS    the time limit of the whole run (0: none; a fraction is allowed)
//   --i2cp-options=TEXT  I2CP options for the session
//   --stall-timeout=SECONDS  the limit of each read of the page (0: none)
//   --check              probe the listed eepsites; with it only:
//     --jobs=N             1 to kMaxJobs probes at once
//     --check-timeout=SECONDS  the limit of each probe (0: none)
//     --format=table|tsv|json  the report's form
//   -h, --help           help on standard output
//   --version            the version on standard output
//   --                   every later argument is an operand
// The first operand (an argument not starting with "-") is the output file's path; later
// operands are ignored. Options may come before or after it. Arguments are taken in order and
// the first help, version or error decides the action.
class CommandLine {
 public:
  enum class Action { kRun, kShowHelp, kShowVersion, kUsageError };
  static constexpr int kMaxJobs = 256;

  // Parses argv[1] to argv[argc - 1].
  CommandLine(int argc, const char* const* argv);

  Action action() const { return action_; }
  // The settings to run with; meaningful when action() is kRun.
  const RunSettings& settings() const { return settings_; }
  // What is wrong with the arguments, when action() is kUsageError.
  const std::string& error() const { return error_; }

  // The short usage shown after an error, ending in a newline.
  static std::string usage();
  // The full help, ending in a newline.
  static std::string help();

 private:
  bool parseOption(const std::string& argument);
  void failWith(const std::string& why);

  Action action_ = Action::kRun;
  RunSettings settings_;
  std::string error_;
  std::string checkOption_;  // the last option given that needs --check
};

}  // namespace tessivar

#endif  // TESSIVAR_COMMAND_LINE_HPP
