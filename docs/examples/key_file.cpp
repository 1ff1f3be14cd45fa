// Key files: loads the destination kept at KEY_FILE, or asks the bridge for a new one and keeps
// it there (mode 0600) when there is no file yet; prints the two forms peers use to reach it.
// See docs/key-files.md.
//
//   key_file SAMPORT KEY_FILE
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: key_file SAMPORT KEY_FILE\n";
    return 2;
  }
  SAM::TimeLimits limits;  // for DEST GENERATE, when the file is not there yet
  limits.connect = std::chrono::seconds(10);
  limits.reply = std::chrono::seconds(30);
  SAM::FullDestination key;
  const SAM::Error error = SAM::loadOrGenerateKeyFile(
      argv[2], "127.0.0.1", static_cast<uint16_t>(std::atoi(argv[1])), key, limits);
  if (!error.ok()) {
    // A file that is there but holds no key is reported, never replaced.
    std::cerr << error.reason << "\n";
    return 1;
  }
  std::cout << (key.isGenerated ? "made " : "loaded ") << argv[2] << "\n"
            << "public destination (for datagrams and address books): " << key.pub << "\n"
            << "b32 address (for lookups and links): " << SAM::b32Address(key.pub) << "\n";
  // key.priv is what a session takes as its destination, e.g.
  //   SAM::StreamSession session("name", "127.0.0.1", port, key.priv, options, limits);
  return 0;
}
