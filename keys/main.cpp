// velqor-keys: makes, shows and converts the library's key files; see velqor_keys.hpp.
#include <iostream>
#include <string>
#include <vector>

#include "velqor_keys.hpp"

int main(int argc, char** argv) {
  return velqor_keys::run(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout,
                          std::cerr);
}
