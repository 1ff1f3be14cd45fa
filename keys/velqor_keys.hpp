// velqor-keys: key files of the library (a private destination as raw bytes, as
// loadOrGenerateKeyFile and i2pd keep them) made, shown and converted to and from I2P base64.
#ifndef VELQOR_KEYS_VELQOR_KEYS_HPP
#define VELQOR_KEYS_VELQOR_KEYS_HPP

#include <iosfwd>
#include <string>
#include <vector>

namespace velqor_keys {

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;  // the command was understood but failed; the reason is on `err`
constexpr int kExitUsage = 2;

// Runs the command line `arguments` (without the program's name): reads standard input from
// `in` (from-base64 -), writes results to `out` and reasons and usage to `err`, and returns the
// exit status.
int run(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
        std::ostream& err);

}  // namespace velqor_keys

#endif  // VELQOR_KEYS_VELQOR_KEYS_HPP
