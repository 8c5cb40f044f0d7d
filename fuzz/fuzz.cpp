// One fuzz target (libFuzzer, ASan, UBSan) for everything the loader reads,
// run in-process through the tests' seam. The input's first byte says what
// the rest is: 's' a script, 'r' S-record lines, 'a' @-command lines, 'n'
// answers from the line, 'c' a command line. A run must end in one of the
// exit codes the loader uses, an error exit with a message saying why; a
// load or @binput that reports success must have put its data in the board.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "comdrv.h"
#include "quarn.h"
#include "seam.h"

int seam_posli_telegram(char *tel, int delka);  // the seam's exchange, renamed by the build

namespace {

struct stopped {};  // an input that used up its exchanges: stopped unjudged
int exchanges;

const char *const IMAGE = "S206001005AABB7F\nS205001010CC0E\nS20800107E11223344BF\nS8040010806B\n";
const uint32_t IMAGE_AT[] = {0x1005, 0x1006, 0x1010, 0x107E, 0x107F, 0x1080, 0x1081};
const uint8_t IMAGE_DATA[] = {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44};

[[noreturn]] void finding(const char *what, const seam::result &r) {
  fprintf(stderr, "\n*** %s (exit code %d). Console:\n%s\n***\n", what, r.code, r.out.c_str());
  abort();
}

// The arguments a run gets: words split at NUL bytes.
std::vector<std::string> words(const std::string &s) {
  std::vector<std::string> w(1);
  for (char c : s)
    if (c)
      w.back() += c;
    else
      w.emplace_back();
  return w;
}

seam::result judged(const std::function<seam::result()> &f) {
  seam::result r{-1, ""};
  try {
    r = f();
  } catch (const stopped &) {
    return {-2, ""};
  }
  if (r.code == 1 || r.code > 11) finding("an exit code the loader never uses", r);
  bool said = r.code <= 0;
  for (const char *m : {"Error:", "Bad format:", "Wrong settings", "Target didn't respond."})
    said = said || r.out.find(m) != std::string::npos;
  if (!said) finding("an error exit without a message", r);
  return r;
}

seam::result run(const std::vector<std::string> &args) {
  return judged([&] { return seam::run(args); });
}

// The board's answer, any bytes, the answer cut with bytes behind, or none.
seam::fate fate_of(FuzzedDataProvider &in) {
  int how = in.ConsumeIntegralInRange(0, 3);
  size_t cut = in.ConsumeIntegralInRange<size_t>(0, 40);
  std::string s = how == 0 || how == 3 ? "" : in.ConsumeRandomLengthString(how == 1 ? 300 : 40);
  return [how, cut, s](const bytes &b) {
    bytes out(b.begin(), b.begin() + (how == 0 ? b.size() : how == 2 ? std::min(cut, b.size()) : 0));
    return how == 3 ? bytes() : (out.insert(out.end(), s.begin(), s.end()), out);
  };
}

}  // namespace

int posli_telegram(char *tel, int delka) {
  if (++exchanges > 2000) throw stopped{};
  return seam_posli_telegram(tel, delka);
}

// Names with a '/' could reach anything on the machine: refused as a file
// that cannot be opened. Every other name stays in the scratch folder.
FILE *fz_fopen(const char *name, const char *mode) { return strchr(name, '/') ? nullptr : fopen(name, mode); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = !chdir(seam::tmpdir().c_str());
  if (!ready || !size) return 0;
  std::string in((const char *)data + 1, size - 1), bin;
  for (int i = 0; i < 100; i++) bin += char(i * 37);
  seam::write_file("in.bin", bin);
  seam::write_file("img.s28", IMAGE);
  seam::write_file("a.scr", "I000000\n!ORBA\n?v1.28!W000400<0102\n\?\?!S0030000FC\nR000400,02\n!=0102\n");
  seam::reset();
  exchanges = 0;
  const char *modes = "sracn", *m = (const char *)memchr(modes, data[0], 5);
  switch (m ? m - modes : data[0] % 5) {
    case 0:  // a script, with 'old' when it begins so
      seam::write_file("s.scr", in);
      run(in.compare(0, 4, ";old") ? std::vector<std::string>{"s.scr"} : std::vector<std::string>{"old", "s.scr"});
      break;
    case 1:  // S-records: the image must be in the board when the run says so
      seam::write_file("s.s28", in + "\nS804000000FB\n" + IMAGE);
      if (run({"s.s28"}).code == 0)
        for (size_t i = 0; i < sizeof IMAGE_AT / sizeof *IMAGE_AT; i++)
          if (seam::brd.mem[IMAGE_AT[i]] != IMAGE_DATA[i]) finding("image load reported done, board lacks it", {0, ""});
      break;
    case 2:  // @-commands
      run(words(in));
      break;
    case 3:  // a Windows command line, as WinMain takes it
      judged([&] {
        return seam::call([&] {
          static cmdstore s;
          if (const char *chyba = cmdsplit(cmdtail(in.c_str()), &s)) {
            vypis("%s", chyba);
            finish(8);
          }
          quarn((unsigned)s.cmdno + 1, s.cmdpar2);
          finish(0);
        });
      });
      break;
    default: {  // answers: the input picks the run and each answer's fate
      FuzzedDataProvider p((const uint8_t *)in.data(), in.size());
      static const std::vector<std::string> runs[] = {
          {}, {"R000400,04", "W000400<A5"}, {"a.scr"}, {"img.s28"}, {"@binget000400,000090>g.bin"},
          {"@hexget000400,000030>h.txt"}, {"@binput000400<in.bin"}, {"verify", "img.s28"}};
      int what = p.ConsumeIntegralInRange(0, 7);
      while (p.remaining_bytes() && seam::fates.size() < 64) seam::fates.push_back(fate_of(p));
      seam::result r = run(runs[what]);
      if (r.code != 0) break;
      for (size_t i = 0; what == 3 && i < sizeof IMAGE_AT / sizeof *IMAGE_AT; i++)
        if (seam::brd.mem[IMAGE_AT[i]] != IMAGE_DATA[i]) finding("image load reported done, board lacks it", r);
      for (int i = 0; what == 6 && i < 100; i++)
        if (seam::brd.mem[0x400 + i] != uint8_t(i * 37)) finding("@binput reported done, board lacks it", r);
      if (what == 4 && seam::read_file("g.bin").size() != 0x90) finding("@binget reported done, file short", r);
    }
  }
  return 0;
}
