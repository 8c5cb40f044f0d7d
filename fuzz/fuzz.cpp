// One fuzz target (libFuzzer, ASan, UBSan) for everything the loader reads,
// run in-process through the tests' seam. The input's first byte says what
// the rest is: 's' a script, 'a' arguments (NUL between them), 'c' a Windows
// command line, 'n' answers from the line, 'i' a file judged by content (an
// Intel HEX or ELF image, else a script). A run must end in an exit code
// the loader uses, an error exit with a message saying why; a load or
// @binput that reports success must have put its data in the board. A file
// read from a pipe is judged as from a file, or given back whole.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "obrazy.h"
#include "seam.h"

int seam_posli_telegram(char *tel, int delka);  // the seam's exchange, renamed by the build

namespace {

int exchanges;  // past 2000 an input is stopped unjudged: a 16 MiB read stays fast
struct stopped {};

const uint32_t IMAGE_AT[] = {0x1005, 0x1006, 0x1010, 0x107E, 0x107F, 0x1080, 0x1081};
const uint8_t IMAGE_DATA[] = {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44};

void judge(const std::function<seam::result()> &f, int what = -1, const obraz_souboru *ob = nullptr) {
  seam::result r;
  try {
    r = f();
  } catch (const stopped &) {
    return;
  }
  bool said = r.code <= 0;
  for (const char *m : {"Error:", "Bad format:", "Wrong settings", "Target didn't respond."})
    said = said || r.out.find(m) != std::string::npos;
  const char *wrong = r.code == 1 || r.code > 11 ? "an exit code the loader never uses"
                      : !said                    ? "an error exit without a message"
                                                 : nullptr;
  for (int i = 0; what == 3 && !r.code && i < 7; i++)
    if (seam::brd.mem[IMAGE_AT[i]] != IMAGE_DATA[i]) wrong = "image load reported done, board lacks it";
  for (int i = 0; what == 6 && !r.code && i < 100; i++)
    if (seam::brd.mem[0x400 + i] != uint8_t(i * 37)) wrong = "@binput reported done, board lacks it";
  if (what == 4 && !r.code && seam::read_file("g.bin").size() != 0x90) wrong = "@binget reported done, file short";
  for (auto &k : ob && !r.code ? ob->kusy : std::map<unsigned, kus_obrazu>())
    for (unsigned j = 0; j < 128; j++)
      if ((k.second.maska[j >> 3] >> (j & 7) & 1) && seam::brd.mem[k.first + j] != k.second.data[j])
        wrong = "image load reported done, board lacks it";
  if (!wrong) return;
  fprintf(stderr, "\n*** %s (exit code %d). Console:\n%s\n***\n", wrong, r.code, r.out.c_str());
  abort();
}

}  // namespace

// Output files are written in place here: every name stays in the jail.
int soubor_docasny(const char *, char *, int) { return 0; }
int soubor_nahrad(const char *, const char *) { return 1; }
// Nor is a report file opened: it could be anywhere.
const char *protokol_otevri(const char *) { return "not in the fuzz target"; }
int protokol_pripis(const char *, size_t) { return 1; }
const char *pocitac() { return "fuzz"; }

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
  seam::write_file("img.s28", "S206001005AABB7F\nS205001010CC0E\nS20800107E11223344BF\nS8040010806B\n");
  seam::write_file("a.scr", "I000000\n!ORBA\n?v1.28!W000400<0102\n\?\?!S0030000FC\nR000400,02\n!=0102\n");
  seam::reset();
  exchanges = 0;
  std::vector<std::string> args(1);
  if (data[0] == 'i') {
    seam::write_file("i.hex", in);
    obraz_souboru o[2];
    vada v[2];
    std::string pred[2], zbytek;
    FILE *f = fopen("i.hex", "rb");
    int druh = f ? posud(f, o[0], v[0], pred[0]) : -1, fd[2], z;
    if (f) fclose(f);
    if (in.size() < 60000 && !pipe(fd)) {  // fits the pipe: written whole before it is read
      ssize_t n = write(fd[1], in.data(), in.size());
      close(fd[1]);
      f = fdopen(fd[0], "rb");
      int roura = posud(f, o[1], v[1], pred[1]);
      while ((z = getc(f)) != EOF) zbytek += (char)z;
      fclose(f);
      bool stejny = o[0].kusy.size() == o[1].kusy.size() && o[0].start == o[1].start && o[0].bajtu == o[1].bajtu;
      for (auto i = o[0].kusy.begin(), j = o[1].kusy.begin(); stejny && i != o[0].kusy.end(); ++i, ++j)
        stejny = i->first == j->first && !memcmp(&i->second, &j->second, sizeof i->second);
      if ((n == (ssize_t)in.size() && !roura && pred[1] + zbytek != in) ||
          (druh > 0 && (roura != druh || v[0].proc != v[1].proc || (v[0].proc.empty() && !stejny)))) {
        fprintf(stderr, "\n*** judged from a pipe (%d, %s) unlike from its file (%d, %s)\n", roura, v[1].proc.c_str(),
                druh, v[0].proc.c_str());
        abort();
      }
    }
    return judge([&] { return seam::run({"verify", "i.hex"}); }, -1, druh > 0 ? &o[0] : nullptr), 0;
  }
  if (data[0] == 's') {  // a script, with 'old' when it begins so
    seam::write_file("s.scr", in);
    args = in.compare(0, 4, ";old") ? std::vector<std::string>{"s.scr"} : std::vector<std::string>{"old", "s.scr"};
  } else if (data[0] == 'c') {
    return judge([&] { return seam::run([&](cmdstore *s) { return cmdsplit(cmdtail(in.c_str()), s); }); }), 0;
  } else if (data[0] == 'n') {  // the run, then each answer's fate: the board's own, bytes, none, or cut

    FuzzedDataProvider p((const uint8_t *)in.data(), in.size());
    static const std::vector<std::string> runs[] = {
        {}, {"R000400,04", "W000400<A5"}, {"a.scr"}, {"img.s28"}, {"@binget000400,000090>g.bin"},
        {"@hexget000400,000030>h.txt"}, {"@binput000400<in.bin"}, {"verify", "img.s28"}};
    int what = p.ConsumeIntegralInRange(0, 7);
    std::vector<std::pair<int, std::string>> fates;
    while (p.remaining_bytes() && fates.size() < 64)
      fates.push_back({p.ConsumeIntegralInRange(0, 43), p.ConsumeRandomLengthString(300)});
    seam::fates = [fates](size_t n, const bytes &b) {
      if (n > fates.size() || !fates[n - 1].first) return b;
      auto &f = fates[n - 1];
      bytes out(b.begin(), b.begin() + (f.first == 1 ? 0 : std::min<size_t>(f.first - 3, b.size())));
      if (f.first != 2) out.insert(out.end(), f.second.begin(), f.second.end());
      return out;
    };
    return judge([&] { return seam::run(runs[what]); }, what), 0;
  } else {
    for (char c : in)
      if (c)
        args.back() += c;
      else
        args.emplace_back();
  }
  judge([&] { return seam::run(args); });
  return 0;
}
