// Builds against an installed velqor through find_package, as a C++ user would. Without
// arguments it prints its usage; with a bridge port it creates a session and reports it.
#include <velqor/sam.hpp>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cout << "usage: " << argv[0] << " SAM-PORT\n";
    return 0;
  }
  SAM::StreamSession session("consumer", "127.0.0.1", static_cast<uint16_t>(std::atoi(argv[1])));
  std::cout << "sick: " << session.isSick() << "\n";
  return 0;
}
