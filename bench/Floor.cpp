// The floor for a whole run: start, take the locale, bring GMime up and down,
// touch PCRE, read the file whole, print one line.
#include "rtl/Console_un.h"

#include <gmime/gmime.h>
#include <pcre.h>

#include <clocale>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv) {
  std::setlocale(LC_ALL, "");
  g_mime_init();
  (void)pcre_version();
  std::string Content;
  if (argc > 1) {
    std::ifstream File(argv[1], std::ios::binary);
    Content.assign(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
  }
  bw::WriteLn(Content.empty() ? "Not backscatter DSN." : "Backscatter DSN.");
  g_mime_shutdown();
  return 0;
}
