// Writes ClientHello first flights, real and hand-made, one file each, as a fuzzing seed corpus.
//   make_tls_seeds <directory>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/tls/tls_test_util.h"

using namespace quillnest::testing;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_tls_seeds <directory>\n";
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  const std::vector<Seed> all = tlsSeeds();
  for (const Seed& seed : all) {
    std::ofstream file(directory / (seed.name + ".bin"), std::ios::binary);
    file.write(reinterpret_cast<const char*>(seed.bytes.data()),
               static_cast<std::streamsize>(seed.bytes.size()));
    if (seed.bytes.empty() || !file) {
      std::cerr << (seed.bytes.empty() ? "no bytes for " : "cannot write ") << seed.name << " in "
                << directory << (error ? ": " + error.message() : "") << "\n";
      return 1;
    }
  }
  std::cout << all.size() << " seeds in " << directory.string() << "\n";
  return 0;
}
