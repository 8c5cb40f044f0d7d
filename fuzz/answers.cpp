// Answer telegrams from the line: for each exchange the input chooses the
// board's own answer, arbitrary bytes, the board's answer cut short with
// arbitrary bytes behind, or nothing. The first byte chooses what the loader
// does: identity, commands, a script, an image load, @binget, @hexget,
// @binput, an image with 'old'. A load or @binput that ends in success must
// have put its data into the board (which carries out every request it gets,
// whatever answer the line then brings back).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <sys/stat.h>

#include "common.h"

namespace {

seam::fate fate_of(FuzzedDataProvider &in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return [](const bytes &b) { return b; };
    case 1: {
      std::string s = in.ConsumeRandomLengthString(300);
      return [s](const bytes &) { return bytes(s.begin(), s.end()); };
    }
    case 2: {
      size_t cut = in.ConsumeIntegralInRange<size_t>(0, 40);
      std::string s = in.ConsumeRandomLengthString(40);
      return [cut, s](const bytes &b) {
        bytes out(b.begin(), b.begin() + std::min(cut, b.size()));
        out.insert(out.end(), s.begin(), s.end());
        return out;
      };
    }
  }
  return seam::drop();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::init();
  FuzzedDataProvider in(data, size);
  int what = in.ConsumeIntegralInRange(0, 7);
  fz::fresh(what == 7);
  while (in.remaining_bytes() && seam::fates.size() < 64) seam::fates.push_back(fate_of(in));

  static const std::vector<std::string> runs[] = {
      {},
      {"R000400,04", "W000400<A5", ""},
      {"a.scr"},
      {"img.s28"},
      {"@binget000400,000090>g.bin"},
      {"@hexget000400,000030>h.txt"},
      {"@binput000400<in.bin"},
      {"old", "img.s28"},
  };
  fz::result r = fz::run_argv(runs[what]);
  if (r.code != 0) return 0;
  if (what == 3)
    for (size_t i = 0; i < sizeof fz::IMAGE_AT / sizeof fz::IMAGE_AT[0]; i++)
      if (seam::brd.mem[fz::IMAGE_AT[i]] != fz::IMAGE_DATA[i])
        fz::fail("image load reported done, board memory lacks it", r);
  if (what == 6)
    for (int i = 0; i < 100; i++)
      if (seam::brd.mem[0x400 + i] != uint8_t(i * 37))
        fz::fail("@binput reported done, board memory lacks the file", r);
  if (what == 4) {
    struct stat st;
    if (stat("g.bin", &st) || st.st_size != 0x90) fz::fail("@binget reported done, file short", r);
  }
  return 0;
}
