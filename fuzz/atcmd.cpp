// @-command texts, each input line handed to zpracuj_prikaz and its error
// text reported as a script line's is. Files: in.bin exists; what the
// commands write can be read back by later lines.
#include <cstring>

#include "common.h"
#include "lines.h"
#include "quarn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::init();
  fz::fresh();
  std::vector<std::string> cmds = fz::lines_of(data, size);
  fz::run([&] {
    for (const std::string &l : cmds) {
      char b[256] = {};
      memcpy(b, l.data(), l.size());
      if (const char *chyba = zpracuj_prikaz(b)) {
        printf("Error: %s:%s \n", chyba, b);
        finish(9);
      }
    }
  });
  return 0;
}
