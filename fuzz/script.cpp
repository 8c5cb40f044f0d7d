// Script files: every line kind, includes (of itself too), conditions,
// checks, @-commands and S-records, run as `quarn s.scr`. A first line
// ";old" runs it with the 'old' option.
#include <cstring>

#include "common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::init();
  bool old = size >= 5 && !memcmp(data, ";old\n", 5);
  fz::fresh();
  fz::put("s.scr", data, size);
  if (old)
    fz::run_argv({"old", "s.scr"});
  else
    fz::run_argv({"s.scr"});
  return 0;
}
