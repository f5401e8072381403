// Writes the measured bounces into a folder: the three sizes of bounce and
// every crafted hostile file the end-to-end tests use.
#include "BenchInputs.h"
#include "support/HostileInputs.h"

#include <fstream>
#include <iostream>

static void Write(const std::string &AFolder, const std::string &AName, const std::string &AContent) {
  std::ofstream(AFolder + "/" + AName, std::ios::binary) << AContent;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: make_inputs <folder>\n";
    return 2;
  }
  const std::string Folder = argv[1];
  Write(Folder, "dsn-20k.eml", bwbench::MakeDsn(20000));
  Write(Folder, "dsn-511999.eml", bwbench::MakeDsn(511999));
  Write(Folder, "plain-bounce.eml", bwbench::MakePlainBounce());
  for (const bwtest::THostileInput &Input : bwtest::HostileInputs())
    Write(Folder, "hostile-" + Input.Name + ".eml", Input.Content);
  return 0;
}
