// One run of tessivar: fetch the directory site's page through the SAM bridge and list the
// eepsites in it.
#ifndef TESSIVAR_DIRECTORY_LISTING_HPP
#define TESSIVAR_DIRECTORY_LISTING_HPP

#include <ostream>

#include "run_settings.hpp"

namespace tessivar {

// Exit statuses of tessivar.
enum ExitStatus { kExitSuccess = 0, kExitRunFailed = 1, kExitUsageError = 2 };

// Runs one listing with `settings`:
//  1. Opens the output file, when one is wanted, before any network activity: a temporary file
//     next to it, which replaces it only when the run succeeds, so that a failed run leaves an
//     existing file as it was.
//  2. Creates a SAM stream session, looks up the site, connects to it and sends
//     "GET / HTTP/1.1" with Host and "Connection: close".
//  3. Saves the body of a 2xx response (decoded when chunked) to a private temporary file,
//     reading until the body is complete, then scans that file line by line with the row
//     pattern. Memory stays about one line of the page plus a constant.
//  4. Writes each row's host followed by "; " to `out`, then a newline, then "N eepsites";
//     and each row as "host  helper  host2\r\n" to the output file.
// Progress lines go to `log`. Returns kExitSuccess, or kExitRunFailed after writing one line
// "Error: <message>" to `err`. The temporary files are removed on every path. Waits on the
// network at most settings.timeout in all (none when it is 0); never throws.
int runDirectoryListing(const RunSettings& settings, std::ostream& out, std::ostream& log,
                        std::ostream& err);

}  // namespace tessivar

#endif  // TESSIVAR_DIRECTORY_LISTING_HPP
