// tessivar: lists the eepsites of a directory site inside I2P.
#include <unistd.h>

#include <iostream>

#include "command_line.hpp"
#include "directory_listing.hpp"
#include "temp_file.hpp"

int main(int argc, char** argv) {
  const tessivar::CommandLine commandLine(argc, argv);
  switch (commandLine.action()) {
    case tessivar::CommandLine::Action::kShowHelp:
      std::cout << tessivar::CommandLine::help() << std::flush;
      return std::cout ? tessivar::kExitSuccess : tessivar::kExitRunFailed;
    case tessivar::CommandLine::Action::kShowVersion:
      std::cout << "tessivar " << TESSIVAR_VERSION << std::endl;
      return std::cout ? tessivar::kExitSuccess : tessivar::kExitRunFailed;
    case tessivar::CommandLine::Action::kUsageError:
      std::cerr << "tessivar: " << commandLine.error() << "\n" << tessivar::CommandLine::usage();
      return tessivar::kExitUsageError;
    case tessivar::CommandLine::Action::kRun:
      break;
  }
  // Ctrl-C, a kill, or a closed pipe on standard output must not leave the page copy behind.
  tessivar::TempFile::removeOnTerminatingSignals();
  tessivar::RunSettings settings = commandLine.settings();
  settings.progressOnTerminal = isatty(STDERR_FILENO) == 1;
  settings.outputOnTerminal = isatty(STDOUT_FILENO) == 1;
  return tessivar::runDirectoryListing(settings, std::cout, std::clog, std::cerr);
}
