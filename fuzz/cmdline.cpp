// Command lines: a Windows command line through cmdtail and cmdsplit, as
// WinMain takes it, or (first byte 0) an argument vector of NUL-separated
// words, as the POSIX main takes it; then the run driver.
#include <cstring>

#include "common.h"
#include "quarn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::init();
  fz::fresh();
  if (size && data[0] == 0) {
    std::vector<std::string> args;
    std::string a;
    for (size_t i = 1; i < size; i++) {
      if (data[i]) {
        a += char(data[i]);
      } else {
        args.push_back(a);
        a.clear();
      }
    }
    args.push_back(a);
    fz::run_argv(args);
    return 0;
  }
  std::string line((const char *)data, size);
  line = line.c_str();  // the system's command line ends at its first NUL
  static cmdstore s;
  fz::run([&] {
    if (const char *chyba = cmdsplit(cmdtail(line.c_str()), &s)) {
      printf("%s", chyba);
      finish(8);
    }
    quarn((unsigned)s.cmdno + 1, s.cmdpar2);
    finish(0);
  });
  return 0;
}
