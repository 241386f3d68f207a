// Writes the self-test's constant fixture messages into a folder, one file each, as seeds
// for the message-level fuzz targets. Usage: fuzz_seed_fixtures <folder>
#include <cstdio>
#include <string>

#include "email_ventry/selftest_fixtures.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seed_fixtures <folder>\n");
    return 2;
  }
  int written = 0;
  for (const auto& fixture : ventry::fixtures::constantFixtures()) {
    std::string path = std::string(argv[1]) + "/fixture-" + std::string(fixture.name);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
      std::perror(path.c_str());
      return 1;
    }
    bool ok =
        std::fwrite(fixture.bytes.data(), 1, fixture.bytes.size(), out) == fixture.bytes.size();
    if (std::fclose(out) != 0 || !ok) {
      std::perror(path.c_str());
      return 1;
    }
    ++written;
  }
  std::printf("%d fixtures\n", written);
  return 0;
}
