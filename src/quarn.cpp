// The loader's logic: run driver, command transaction, S-record packing,
// block telegrams, script interpreter and memory transfer. Platform-free:
// it reaches the line only through comdrv.h and ends runs through finish().
#include "quarn.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "comdrv.h"
#include "obrazy.h"
#include "vyroba.h"

char o[256];
unsigned olds24, ramc;

unsigned binadr;
unsigned char binmask[16], binbuf[128];

static const char hlavicka[] = "\x68\x01\x01\x68\x7F\x7F\x47\xF5";  // request header
static const int ZD = 8;               // header length: where payloads begin
static const int MAXCMD = 246;         // longest command text a telegram holds
static const int MAXDEPTH = 64;        // include nesting bound
static const unsigned ADRLIM = 0x1000000;  // one past the last 24-bit address

// Bytes written that a verify pass reads back: the blocks sent, a fill map
// each. It grows with the image.
struct blok {
  unsigned char maska[16], data[128];
};
static std::map<unsigned, blok> zapsano;
unsigned overit;

static void zapis(unsigned adr, unsigned char v) {
  blok &z = zapsano[adr & ~0x7Fu];
  z.data[adr & 0x7F] = v;
  z.maska[(adr & 0x7F) >> 3] |= (unsigned char)(1 << (adr & 7));
}

static void overeni();

// ------------------------------------------------ console, progress, summary

// At a terminal, what the line the cursor is on holds: the width of the
// progress line shown (the next message clears it), or else 0 nothing yet,
// 1 text to keep (an answer, dots), 2 a line the next "\r" text overwrites
// (the settings tried, "Flushing write buffer  ").
static int ukazano, radek;
void (*konzole)(const char *b, int n);

// Console text to where the platform layer takes it: standard output.
static void pis(const char *b, int n) {
  if (konzole)
    konzole(b, n);
  else
    fwrite(b, 1, (size_t)n, stdout);
}

// At a terminal every answer and every error keeps a line of its own:
// text that would overwrite a line to keep, or run on from a line that
// isn't its own, starts a new one. A retry's dot runs on from a progress
// line, and an error leaves it on screen, with the address that failed.
static void zalom(const char *b, int n, int docasny) {
  int tecka = !strcmp(b, "."), dal = tecka || zacina(b, "OK");  // runs on from the line
  std::string v;
  if (ukazano && tecka) {
    ukazano++;
  } else if (ukazano && zacina(b + (b[0] == '\n'), "Error:")) {
    ukazano = 0;
    radek = 1;
  } else if (ukazano) {
    v = "\r" + std::string(ukazano, ' ') + "\r";
    ukazano = 0;
  }
  if (b[0] == '\r' ? radek == 1 : b[0] != '\n' && radek && !dal) v += '\n';
  v.append(b, n);
  pis(v.data(), (int)v.size());
  if (!ukazano) radek = b[n - 1] == '\n' ? 0 : dal && radek ? radek : docasny ? 2 : 1;
}

static void piste(int docasny, const char *fmt, va_list ap) {
  char b[2048];
  int n = vsnprintf(b, sizeof b, fmt, ap);
  if (n <= 0) return;
  if (n >= (int)sizeof b) n = (int)sizeof b - 1;
  protokol_vypis(b);
  if (terminal)
    zalom(b, n, docasny);
  else
    pis(b, n);
}

// Console text, a message at a time: one write each, so that a console
// that costs a system call a character shows it at once all the same.
void vypis(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  piste(0, fmt, ap);
  va_end(ap);
}

// A line that the next "\r" text overwrites, as a progress line does.
static void docasne(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void docasne(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  piste(1, fmt, ap);
  va_end(ap);
}

// A progress line, as wide as the one it overwrites: the next message
// clears it first. At a terminal only.
static void ukaz(const char *b) {
  int n = (int)strlen(b) - 1;  // its "\r" aside
  std::string v = std::string(radek && !ukazano ? "\n" : "") + b;
  v.append(ukazano > n ? ukazano - n : 0, ' ');
  pis(v.data(), (int)v.size());
  radek = 0;
  if (n > ukazano) ukazano = n;
}

// Clears the progress line, so that what follows reads as without it.
static void smaz() {
  if (!ukazano) return;
  std::string v = "\r" + std::string(ukazano, ' ') + "\r";
  pis(v.data(), (int)v.size());
  ukazano = 0;
}

// Bytes a second of n bytes in us microseconds.
static unsigned long za_sekundu(unsigned long n, long long us) {
  return (unsigned long)(n * 1000000LL / (us < 1 ? 1 : us));
}

// "  8136 bytes/s  0:42 left": the rate of n bytes since `od`, `hotovo`
// parts in that time, and the time `zbyva` more take at it (-1: unknown).
static std::string tempo(unsigned long n, long long od, unsigned long hotovo, long zbyva) {
  long long us = hodiny_us() - od;
  char b[64] = "";
  if (!hotovo || us <= 0) return b;
  int m = snprintf(b, sizeof b, "  %lu bytes/s", za_sekundu(n, us));
  long s = zbyva > 0 ? (long)(zbyva * us / (long long)hotovo / 1000000) : 0;
  if (zbyva >= 0) snprintf(b + m, sizeof b - m, "  %ld:%02ld left", s / 60, s % 60);
  return b;
}

static long long postup_od;  // when the transfer whose progress shows began

// A long transfer's progress for a person at a terminal, as "\rReading
// 020400  37%  3981 bytes/s  0:12 left": nothing goes into a file or pipe.
static void postup(const char *co, unsigned adr, unsigned long uz, unsigned long celkem) {
  if (!terminal || !celkem) return;
  if (!uz) postup_od = hodiny_us();
  char b[128];
  snprintf(b, sizeof b, "\r%s %06X %3d%%%s", co, adr, (int)(uz * 100 / celkem),
           tempo(uz, postup_od, uz, (long)(celkem - uz)).c_str());
  ukaz(b);
}

// An image's load at a terminal is one line: the blocks of the script now
// read (its total counted ahead, 0 when it can't be read twice) and those
// sent; of the image since its last S8 record, blocks, bytes and its start
// (-1 before its first block), for its rate and the line that sums it up.
static long bloku_celkem;
static unsigned long bloku_poslano, obraz_bloku, obraz_bajtu;
static long long obraz_od = -1;

// An image record is being packed (a terminal shows its blocks instead).
static void baleni() {
  if (!terminal) vypis("\rPacking...");
}

// The block at adr goes out: into a file or pipe the line it always had,
// at a terminal how far the image has got.
static void blok_jde(unsigned adr) {
  if (!terminal) return vypis("\rSending block %06X   ", adr);
  unsigned long n = bloku_poslano + 1;
  char b[128];
  if (bloku_celkem >= (long)n)
    snprintf(b, sizeof b, "\rSending block %06X (%lu/%ld) %3d%%%s", adr, n, bloku_celkem,
             (int)(bloku_poslano * 100 / bloku_celkem),
             tempo(obraz_bajtu, obraz_od, obraz_bloku, bloku_celkem - (long)bloku_poslano).c_str());
  else
    snprintf(b, sizeof b, "\rSending block %06X (%lu)%s", adr, n, tempo(obraz_bajtu, obraz_od, obraz_bloku, -1).c_str());
  ukaz(b);
}

// The block was taken, with n bytes.
static void blok_prijat(unsigned long n) {
  if (!terminal) return vypis("OK\n");
  bloku_poslano++;
  obraz_bloku++;
  obraz_bajtu += n;
}

// The image's end record: at a terminal the line that sums the image up.
static void obraz_konec() {
  if (!terminal || !obraz_bloku) return;
  long long us = hodiny_us() - obraz_od;
  long desetiny = (long)((us + 50000) / 100000);
  vypis("Sent %lu block%s (%lu bytes) in %ld.%ld s, %lu bytes/s\n", obraz_bloku, obraz_bloku == 1 ? "" : "s",
        obraz_bajtu, desetiny / 10, desetiny % 10, za_sekundu(obraz_bajtu, us));
  obraz_bloku = obraz_bajtu = 0;
  obraz_od = -1;
}

// Counts the blocks that S2 and S8 records will send, as the packer sends
// them from the block buffer as it stands.
struct pocet_bloku {
  unsigned adr = binadr, plny = 0;
  long n = 0;
  pocet_bloku() {
    for (int i = 0; i < 16; i++) plny |= binmask[i];
  }
  // A line's first characters (a record's type, count and address).
  void zaznam(const char *r) {
    unsigned pole[4];
    if (r[0] != 'S' || (r[1] != '2' && r[1] != '8') ||
        sscanf(r + 2, "%2x%2x%2x%2x", &pole[0], &pole[1], &pole[2], &pole[3]) != 4 || pole[0] < 4)
      return;
    unsigned a = pole[1] << 16 | pole[2] << 8 | pole[3], d = pole[0] - 4;
    do {
      if ((a & 0xFFFF80) != adr && plny) n++, plny = 0;
      adr = a & 0xFFFF80;
      unsigned vejde = adr + 128 - a < d ? adr + 128 - a : d;
      plny |= vejde;
      d -= vejde;
      a = adr + 128;
    } while (d && a < ADRLIM);
    if (r[1] == '8' && plny) n++, plny = 0;
  }
};

// The blocks a script's records will send: when at a terminal and the file
// can be read twice; else 0. Leaves the file at its start.
static long bloky(FILE *f) {
  if (!terminal || olds24 || fseek(f, 0, SEEK_END) || ftell(f) < 0 || fseek(f, 0, SEEK_SET)) return 0;
  pocet_bloku p;
  char r[12];
  for (int c = 0; (c = getc(f)) != EOF;) {
    int k = 0;
    for (; c != EOF && c != '\n' && c != '\r'; c = getc(f))
      if (k < 10) r[k++] = (char)c;
    r[k] = 0;
    if (k == 10) p.zaznam(r);
  }
  clearerr(f);
  return fseek(f, 0, SEEK_SET) ? 0 : p.n;
}

// A script counts its blocks while it is read, its includer's count waits.
struct pocitadlo {
  long celkem = bloku_celkem;
  unsigned long poslano = bloku_poslano;
  explicit pocitadlo(FILE *f) {
    bloku_celkem = bloky(f);
    bloku_poslano = 0;
  }
  ~pocitadlo() {
    bloku_celkem = celkem;
    bloku_poslano = poslano;
  }
};

// What the run moved, for its summary, and the time each phase took; when
// the port opened.
unsigned long nahrano, precteno, overeno, opakovani;
static long long nahrano_us, precteno_us, overeno_us, otevreno_v;

// A phase's time, from here to the scope's end.
struct mereni {
  long long &kam, od;
  explicit mereni(long long &k) : kam(k), od(hodiny_us()) {}
  ~mereni() { kam += hodiny_us() - od; }
};

// A memory command or a verify pass is done: n bytes more, no progress line.
static void hotovo(unsigned long &kam, unsigned long n) {
  kam += n;
  smaz();
}

// After loading, reading or verifying: seconds and rate, what moved, retries.
// What doesn't depend on the clock ends the line in a file or pipe; a
// terminal shows each phase's own rate after it.
static void souhrn() {
  unsigned long bajty = nahrano + precteno + overeno;
  if (!bajty) return;
  long long us = hodiny_us() - otevreno_v;
  if (us < 1) us = 1;
  long desetiny = (long)((us + 50000) / 100000);
  char faze[128] = "";
  if (terminal)
    snprintf(faze, sizeof faze, "; bytes/s loaded %lu, read %lu, verified %lu", za_sekundu(nahrano, nahrano_us),
             za_sekundu(precteno, precteno_us), za_sekundu(overeno, overeno_us));
  vypis("Summary: %ld.%ld s, %lu bytes/s; bytes loaded %lu, read %lu, verified %lu; retries %lu%s\n", desetiny / 10,
        desetiny % 10, za_sekundu(bajty, us), nahrano, precteno, overeno, opakovani, faze);
}

// A file a routine holds open. The programs' finish() ends the process, which
// closes it; the tests' finish() unwinds, and this closes it on the way.
struct drzsoubor {
  FILE *f;
  ~drzsoubor() {
    if (f) fclose(f);
  }
};

// Closes the held file; nonzero when closing failed.
static int zavri(drzsoubor &d) {
  FILE *f = d.f;
  d.f = nullptr;
  return fclose(f) != 0;
}

// ---------------------------------------------------------------- arguments

static void cmdreset(cmdstore *s) {
  s->cmdpar[0][0] = 0;
  s->cmdpar[1][0] = 0;
  for (int k = 0; k < 128; k++) s->cmdpar2[k] = s->cmdpar[k];
}

const char *cmdtail(const char *cmdline) {
  // A quoted program path may hold spaces: its word ends at the closing quote.
  if (*cmdline == '"') {
    const char *q = strchr(cmdline + 1, '"');
    cmdline = q ? q + 1 : cmdline + strlen(cmdline);
  }
  while (*cmdline && *cmdline != ' ') cmdline++;
  while (*cmdline == ' ') cmdline++;
  return cmdline;
}

const char *cmdsplit(const char *tail, cmdstore *s) {
  cmdreset(s);
  if (strlen(tail) > 255) return "Error: Command line too long (at most 255 characters).\n";
  int cmdno = 1;
  unsigned ii = 0, j = 0;
  while (tail[ii]) {
    if (tail[ii] == ' ') {
      ii++;
      s->cmdpar[cmdno][j] = 0;
      if (++cmdno > 127) return "Error: Too many arguments (at most 127).\n";
      j = 0;
      if (!tail[ii]) break;
    }
    // An argument that begins with a quote runs to the next one, blanks
    // and all, without the two quotes: a path from Explorer ("C:\Users\Jan
    // Novak\fw.s28"). No file name holds a quote, so nothing else changes.
    const char *q = j == 0 && tail[ii] == '"' ? strchr(tail + ii + 1, '"') : nullptr;
    if (q) {
      j = (unsigned)(q - tail - ii - 1);
      if (j > 127) return "Error: Argument too long (at most 127 characters).\n";
      memcpy(s->cmdpar[cmdno], tail + ii + 1, j);
      ii = (unsigned)(q - tail + 1);
      continue;
    }
    if (j >= 127) return "Error: Argument too long (at most 127 characters).\n";
    s->cmdpar[cmdno][j++] = tail[ii++];
  }
  s->cmdpar[cmdno][j] = 0;
  s->cmdno = tail[0] ? cmdno : 0;
  return nullptr;
}

const char *cmdtake(int argc, char **argv, cmdstore *s) {
  cmdreset(s);
  if (argc - 1 > 127) return "Error: Too many arguments (at most 127).\n";
  for (int k = 1; k < argc; k++) {
    if (strlen(argv[k]) > 127) return "Error: Argument too long (at most 127 characters).\n";
    snprintf(s->cmdpar[k], 128, "%s", argv[k]);
  }
  s->cmdno = argc > 1 ? argc - 1 : 0;
  return nullptr;
}

// ---------------------------------------------------- command transaction

// Cuts the accepted answer's text, from index 8 up to its checksum, into dst.
static void vezmitext(char *dst) {
  unsigned l = comdrv_rbuf[1];
  if (4 + l < 256) comdrv_rbuf[4 + l] = 0;
  snprintf(dst, 256, "%.248s", (const char *)comdrv_rbuf + 8);
}

// Stops the run once the port has failed, or once an answer came that no
// request was owed: from then on no answer can be told from another's.
static void sparuj() {
  if (comdrv_porucha_text[0]) {
    vypis("\nError: The port failed: %s\n", comdrv_porucha_text);
    finish(12);
  }
  if (!comdrv_nesparovano) return;
  vypis("\nError: An answer came that no request was owed: answers and requests are out of step.\n");
  finish(11);
}

// One exchange of a request made by sendc or sendbin.
static void vymen(char *b, int delka, int opakovani, int jednou) {
  comdrv_opakovani = opakovani;
  comdrv_jednou = jednou;
  posli_telegram(b, delka);
}

void sendc(const char *p) {
  static char b[256];
  o[0] = 0;
  size_t n = strlen(p) - (p[0] == '~');  // the '~' itself is not sent
  if (n > (size_t)MAXCMD) {
    vypis("Error: Command too long (%u characters, at most %d).\n", (unsigned)n, MAXCMD);
    finish(8);
  }
  memset(b, 0, sizeof b);
  if (p[0] == '~') {
    snprintf(b, sizeof b, "%s%s", hlavicka, p + 1);
    vymen(b, (int)strlen(b) + 2, 0, 1);
    vyckej(1);
    sparuj();
    return;
  }
  snprintf(b, sizeof b, "%s%s", hlavicka, p);
  int poskozene = 0, ozveny = 1;
  for (unsigned pokus = 9; pokus; ) {
    if (pokus < 9) opakovani++;
    ocekavej_telegram();
    vymen(b, (int)strlen(b) + 2, pokus < 9, 0);
    vyckej(1);
    sparuj();
    if (txrxok) {
      vezmitext(o);
      return;
    }
    poskozene |= comdrv_poskozeno;
    ozveny &= comdrv_ozvena;
    pokus--;
    vypis(".");
  }
  vypis(poskozene ? "Error: No valid response (damaged answers).\n"
        : ozveny  ? "Error: The line echoes every request: no board answered.\n"
                  : "Error: No response.\n");
  finish(5);
}

// A command of the command line or of a script: the report has its answer.
static void povel(const char *c) {
  protokol_prikaz(c);
  sendc(c);
  protokol_odpoved(o);
}

int identita_jednou(int opakovani) {
  char b[256] = {};  // a telegram buffer is read whole
  snprintf(b, sizeof b, "%sI000000\n", hlavicka);
  vymen(b, (int)strlen(b) + 2, opakovani, 0);
  if (txrxok) vezmitext(o);
  return txrxok;
}

// ------------------------------------------------------- block telegrams

unsigned crc16(const unsigned char *p, int n) {
  unsigned crc = 0;
  for (int i = 0; i < n; i++) {
    crc ^= (unsigned)p[i] << 8;
    for (int k = 0; k < 8; k++)
      crc = (crc & 0x8000) ? ((crc << 1) ^ 0xB599) & 0xFFFF : (crc << 1) & 0xFFFF;
  }
  return crc;
}

static int naplneno(int i) { return (binmask[i >> 3] >> (i & 7)) & 1; }

// Payload in the run encoding; returns the write position after it.
static int behkodem(unsigned char *b, int w) {
  int f = 0;
  while (!naplneno(f)) f++;
  int r = 0;
  while (f + r < 128 && naplneno(f + r)) r++;
  unsigned a = binadr + f;
  b[w++] = 's';
  b[w++] = a & 0xFF;
  b[w++] = (a >> 8) & 0xFF;
  b[w++] = (a >> 16) & 0xFF;
  b[w++] = (unsigned char)r;
  memcpy(b + w, binbuf + f, r);
  return w + r;
}

// Payload in the mask encoding; returns the write position after it.
static int maskou(unsigned char *b, int w) {
  b[w++] = 'n';
  b[w++] = binadr & 0xFF;
  b[w++] = (binadr >> 8) & 0xFF;
  b[w++] = (binadr >> 16) & 0xFF;
  memcpy(b + w, binmask, 16);
  w += 16;
  for (int i = 0; i < 128; i++)
    if (naplneno(i)) b[w++] = binbuf[i];
  return w;
}

// A positive block answer begins with '*', or has '*' second behind
// anything but '!'.
static int kladna(const char *t) {
  return t[0] == '*' || (t[0] && t[0] != '!' && t[1] == '*');
}

void sendbin() {
  int prazdny = 1;
  for (int i = 0; i < 16; i++)
    if (binmask[i]) prazdny = 0;
  if (prazdny) return;
  mereni m(nahrano_us);

  char b[256];
  unsigned char *ub = (unsigned char *)b;
  memset(b, 0, sizeof b);
  memcpy(b, hlavicka, ZD);
  int prechody = 0, stav = 0;
  for (int i = 0; i < 128; i++)
    if (naplneno(i) != stav) {
      stav = !stav;
      prechody++;
    }
  int w = prechody < 3 ? behkodem(ub, ZD) : maskou(ub, ZD);
  unsigned crc = crc16(ub + ZD, w - ZD);
  ub[w++] = crc & 0xFF;
  ub[w++] = crc >> 8;
  char druh = b[ZD];

  char t[256];
  if (obraz_od < 0) obraz_od = hodiny_us();  // an image's time runs from its first block's request
  for (int pokus = 8; pokus; pokus--) {
    if (pokus < 8) opakovani++;
    ocekavej_telegram();
    vymen(b, w + 2, pokus < 8, 0);
    blok_jde(binadr);
    vyckej(1);
    sparuj();
    if (txrxok) {
      vezmitext(t);
      if (!kladna(t)) {
        vypis("\nError:%c|%s|\n", druh, t);
        finish(4);
      }
      for (int i = 0; overit && i < 128; i++)
        if (naplneno(i)) zapis(binadr + i, binbuf[i]);
      unsigned long n = 0;
      for (int i = 0; i < 128; i++) n += (unsigned long)naplneno(i);
      nahrano += n;
      protokol_blok();
      memset(binmask, 0, sizeof binmask);
      snprintf(o, sizeof o, "%s", t);
      blok_prijat(n);
      return;
    }
  }
  vypis("\nError:%c|%.248s|\n", druh, (const char *)comdrv_rbuf + 8);
  finish(4);
}

// -------------------------------------------------------- S-record packing

static int hexznak(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

[[noreturn]] static void spatnyformat(const char *p) {
  vypis("Bad format:%s\n", p);
  finish(3);
}

unsigned gethb(const char *p) {
  if (!hexznak(p[0]) || !hexznak(p[1])) spatnyformat(p);
  char d[3] = {p[0], p[1], 0};
  return (unsigned)strtoul(d, nullptr, 16);
}

void binwrite(char *b) {
  baleni();
  unsigned a = (gethb(b + 4) << 16) + (gethb(b + 6) << 8) + gethb(b + 8);
  unsigned pocet = gethb(b + 2);
  // A count below 4 or data past the last address would put bytes where
  // they don't belong: refuse the record before anything of it is stored.
  if (pocet < 4) spatnyformat(b + 2);
  unsigned n = pocet - 4;
  if (a + n > ADRLIM) spatnyformat(b + 4);
  int pos = 10;
  do {
    if ((a & 0xFFFF80) != binadr) sendbin();
    binadr = a & 0xFFFF80;
    unsigned i = a - binadr;
    for (; n && i < 128; i++, n--, pos += 2) {
      binbuf[i] = (unsigned char)gethb(b + pos);
      binmask[i >> 3] |= (unsigned char)(1 << (i & 7));
    }
    a = binadr + 128;
  } while (n);
  if (b[1] != '8') return;
  sendbin();
  obraz_konec();
  docasne("\rFlushing write buffer  ");
  sendc(b);
  if (strpbrk(o, "!?") || o[0] != '%' || o[1] != '*') {
    vypis("\nError: Unexpected response: %s\n", o);
    finish(6);
  }
  vypis("OK\n");
  if (overit) overeni();
  protokol_obraz();
}

// Records the board takes as text (S1 and S3 lines, and S2 lines with
// 'old'): what a verify pass reads back is what the record carried, at the
// address as written (`adr` bytes of it). The record is whole and checked.
// 0 when its data run past the last address; `zapsat` records them.
static int zaznam(const char *b, int adr, int zapsat) {
  int n = (int)gethb(b + 2) - adr - 1;
  unsigned a = 0;
  for (int i = 0; i < adr; i++) a = a << 8 | gethb(b + 4 + 2 * i);
  if (n > 0 && (a >= ADRLIM || a + n > ADRLIM)) return 0;
  for (int i = 0; zapsat && i < n; i++) zapis(a + i, (unsigned char)gethb(b + 4 + 2 * (adr + i)));
  return 1;
}

// ------------------------------------------------------- memory transfer

// The most data bytes one read or write request may carry: at slow speeds
// the request and its answer (`pevne` bytes and `na_bajt` more for each
// data byte) must fit the answer window, with room left for the board.
static int kus(int nejvic, int pevne, int na_bajt) {
  static const int REZERVA_MS = 50;
  if (!comdrv_baud) return nejvic;
  long mist = (long)(COMDRV_WINDOW_MS - REZERVA_MS) * comdrv_baud / 10000;  // 10 bits a byte
  long n = (mist - pevne) / na_bajt;
  return n >= nejvic ? nejvic : n < 1 ? 1 : (int)n;
}

// A read request of 11 characters, its answer of 1 + 2n: both framed.
static int kus_cteni(int nejvic) { return kus(nejvic, 10 + 11 + 10 + 1, 2); }

// Takes the answer's hex pairs from position 1 of o; calls vezmi for each.
// A character below '0' (signed) ends the scan, so does the text's end.
template <typename F> static void parovani(F vezmi) {
  for (unsigned i = 1; (signed char)o[i] >= '0'; i += 2) {
    char d[3] = {o[i], o[i + 1], 0};
    vezmi(d);
    if (!o[i + 1]) break;
  }
}

// A file operation failed: which, on what file, and on the next line the
// system's reason (errno, when the caller has none). A wait that a signal
// cut short is no failure of the file: the run ends as interrupted.
[[noreturn]] static void souborchyba(const char *co, const char *soubor, const char *proc = nullptr) {
  int e = errno;
  preruseno();
  if (!proc && e) proc = strerror(e);
  // The line scripts look for stays as it always was; the reason follows.
  vypis("Error: Can't %s file %s \n", co, soubor);
  if (proc) vypis("%s: %s.\n", *soubor ? soubor : "The name is empty", proc);
  finish(3);
}

[[noreturn]] static void necekana() {
  vypis("Error: Unexpected response: %s\n", o);
  finish(7);
}

[[noreturn]] static void delka(int celk, int kolik) {
  vypis("Error: Bad length (%d/%d).\n", celk, kolik);
  finish(9);
}

// Two read requests in a row never ask for the same count, so that an
// answer's length tells which of them it answers: a copy of one answer
// that comes in the window of the next request, whose own answer was lost,
// can't pass for it. The last read's count and answer.
static int minuly_pocet;
static char minula[256];

// The count of the next read request: what is left, at most k, one less
// when that is the last request's count (k and k-1 in turn; a last piece
// that would repeat the count goes in two).
static int dalsi_kus(int zbyva, int k) {
  int del = zbyva < k ? zbyva : k;
  return del == minuly_pocet && del > 1 ? del - 1 : del;
}

// One read request for del bytes at adr. Its answer must begin with '='
// (for a hex dump, hold no '!' or '?'); the caller takes its pairs. An
// answer of another count that is the last read's answer byte for byte is
// a copy of that one.
static void precti(int adr, int del, int hex) {
  char b[64];
  snprintf(b, sizeof b, "R%06X,%02X\n", adr, del);
  sendc(b);
  if (o[0] != '=' || (hex && strpbrk(o, "!?"))) necekana();
  int par = 0;
  parovani([&](const char *) { par++; });
  if (par != del && !strcmp(o, minula)) {
    vypis("\nError: An answer came twice, the copy in the place of a lost answer: answers and requests are "
          "out of step.\n");
    finish(11);
  }
  minuly_pocet = del;
  snprintf(minula, sizeof minula, "%s", o);
}

// An output file of a memory command. A regular file, or a new one, is
// replaced whole once the run knows its bytes are right: they are kept
// here until then (a read is at most 16 MiB), and go through a temporary
// file beside it, or in place when none can be made there. A device or a
// pipe is written as the bytes come.
struct vystup {
  FILE *f = nullptr;
  std::string cil, docasny;  // docasny: the temporary file, when one was made
  std::string data;          // what was read so far, as the file will hold it
  bool hex = false, proud = false;  // a text file; a device or pipe, written as it comes
  bool byl = false, psano = false;  // the target existed before; it is being written in place
};
static vystup *rozepsany;  // the one being written now

// Writes what was read into a file made afresh: null, or the system's reason.
static const char *zapis(const char *jmeno, const vystup &v) {
  FILE *f = fopen(jmeno, v.hex ? "wt" : "wb");
  if (!f) return strerror(errno);
  int e = fwrite(v.data.data(), 1, v.data.size(), f) == v.data.size() ? 0 : errno ? errno : EIO;
  if (fclose(f) && !e) e = errno ? errno : EIO;
  return e ? strerror(e) : nullptr;
}

void uklid() {
  vystup *v = rozepsany;
  if (!v) return;
  rozepsany = nullptr;
  if (v->f) fclose(v->f);
  v->f = nullptr;
  if (v->proud) return;  // what came is there
  if (!v->docasny.empty()) remove(v->docasny.c_str());
  // What didn't exist before the run is not left half made.
  if (!v->byl) remove(v->cil.c_str());
  std::string castecny = v->cil + ".partial";
  const char *cil = v->cil.c_str();
  const char *stav = !v->byl ? "was not written" : v->psano ? "may be incomplete" : "was left as it was";
  if (const char *proc = zapis(castecny.c_str(), *v))
    vypis("Error: %s %s; what was read could not be kept: can't write %s: %s\n", cil, stav, castecny.c_str(), proc);
  else
    vypis("Error: %s %s; what was read is in %s\n", cil, stav, castecny.c_str());
}

// Before the first request: how the output file will be written; what
// can't be written at all is refused now. Written in place at the end, an
// existing file must take it, and a new one is made now.
static void otevri(vystup &v) {
  std::vector<char> t(v.cil.size() + 32);
  const char *c = v.cil.c_str();
  int druh = soubor_docasny(c, t.data(), (int)t.size());
  if (druh < 0) {
    v.proud = true;
    v.f = fopen(c, v.hex ? "wt" : "wb");
    if (!v.f) souborchyba("open", c);
    return;
  }
  if (druh) v.docasny = t.data();
  FILE *f = fopen(c, druh ? "rb" : "r+b");
  v.byl = f || errno != ENOENT;
  if (!f && !v.byl && !druh) f = fopen(c, "wb");
  if (!f && !druh) souborchyba("open", c);
  if (f) fclose(f);
}

// More of the file: kept, or for a device or pipe written now.
static void pridej(vystup &v, const std::string &s) {
  if (!v.proud)
    v.data += s;
  else if (fwrite(s.data(), 1, s.size(), v.f) != s.size())
    souborchyba("write to", v.cil.c_str());
}

// The bytes are right: they replace the file, through the temporary file
// or, when there is none or its rename is refused (a shared folder's sticky
// bit), in place.
static void nahrad(vystup &v) {
  if (!v.docasny.empty()) {
    if (const char *proc = zapis(v.docasny.c_str(), v)) souborchyba("write to", v.cil.c_str(), proc);
    if (!soubor_nahrad(v.docasny.c_str(), v.cil.c_str())) return;
    remove(v.docasny.c_str());
    v.docasny.clear();
  }
  v.psano = true;
  if (const char *proc = zapis(v.cil.c_str(), v)) souborchyba("write to", v.cil.c_str(), proc);
}

static void konec();

// Reads odkud..odkud+kolik in requests of at most `nejvic` bytes into soubor.
static void cteni(int odkud, int kolik, const char *soubor, int nejvic, int hex) {
  struct drz {  // the tests' finish() unwinds through here
    vystup v;
    ~drz() {
      if (rozepsany == &v) uklid();
    }
  } d;
  vystup &v = d.v;
  v.cil = soubor;
  v.hex = hex;
  otevri(v);
  rozepsany = &v;
  mereni m(precteno_us);
  int celk = 0, k = kus_cteni(nejvic), dalsi = -1;  // the address a hex line's next pair is for
  for (int adr = odkud, del; adr < odkud + kolik; adr += del) {
    del = dalsi_kus(odkud + kolik - adr, k);
    postup("Reading", (unsigned)adr, (unsigned long)(adr - odkud), (unsigned long)kolik);
    precti(adr, del, hex);
    std::string kus;
    int a = adr;  // the address of the pair taken
    parovani([&](const char *d) {
      celk++;
      if (!hex) {
        kus += (char)(strtol(d, nullptr, 16) & 0xFF);
        return;
      }
      // A hex dump has 16 bytes a line from the first address, whatever
      // the requests' counts.
      if (a != dalsi || (a - odkud) % 16 == 0) {
        char z[16];
        snprintf(z, sizeof z, "%s%06X: ", dalsi < 0 ? "" : "\n", a);
        kus += z;
      }
      kus += std::string(d) + " ";
      dalsi = ++a;
    });
    pridej(v, kus);
  }
  if (dalsi >= 0) pridej(v, "\n");
  if (v.proud) {
    FILE *f = v.f;
    v.f = nullptr;
    if (fclose(f)) souborchyba("close", soubor);
  }
  if (celk != kolik) delka(celk, kolik);
  // Put in place only once no surplus answer says the pieces were others'.
  konec();
  if (!v.proud) nahrad(v);
  rozepsany = nullptr;
  hotovo(precteno, (unsigned long)celk);
}

void binget(int odkud, int kolik, const char *soubor) { cteni(odkud, kolik, soubor, 64, 0); }

void hexget(int odkud, int kolik, const char *soubor) { cteni(odkud, kolik, soubor, 16, 1); }

// ------------------------------------------------------------ verification

// Reads back every byte recorded in zapsano, in requests that cover only
// those bytes, and compares. A difference ends the run; zapsano is emptied.
static void overeni() {
  std::map<unsigned, blok> z;
  z.swap(zapsano);
  mereni m(overeno_us);
  int celk = 0, kolik = 0, rozdilu = 0, k = kus_cteni(64);
  unsigned long vsech = 0;
  for (auto &b : z)
    for (unsigned i = 0; i < 128; i++) vsech += b.second.maska[i >> 3] >> (i & 7) & 1;
  unsigned prvni = 0, psano = 0, cteno = 0, od = 0;
  std::vector<unsigned char> ocek;  // the run gathered for the next requests, from od
  // Reads the gathered run's first piece; with `vse`, all of it.
  auto cti = [&](int vse) {
    while (!ocek.empty()) {
      postup("Verifying", od, (unsigned long)kolik, vsech);
      int del = dalsi_kus((int)ocek.size(), k);
      precti((int)od, del, 0);
      int i = 0;
      parovani([&](const char *d) {
        unsigned v = (unsigned)strtol(d, nullptr, 16) & 0xFF;
        if (i < del && v != ocek[i] && !rozdilu++) prvni = od + (unsigned)i, psano = ocek[i], cteno = v;
        i++;
      });
      celk += i;
      kolik += del;
      ocek.erase(ocek.begin(), ocek.begin() + del);
      od += (unsigned)del;
      if (!vse) break;
    }
  };
  for (auto &b : z)
    for (unsigned i = 0; i < 128; i++) {
      if (!(b.second.maska[i >> 3] >> (i & 7) & 1)) continue;
      unsigned a = b.first + i;
      if (!ocek.empty() && a != od + ocek.size()) cti(1);
      if (ocek.empty()) od = a;
      ocek.push_back(b.second.data[i]);
      if ((int)ocek.size() == k) cti(0);
    }
  cti(1);
  if (celk != kolik) delka(celk, kolik);
  if (rozdilu) {
    vypis("\nError: Verify failed at %06X: wrote %02X, read %02X; %d of %d bytes differ.\n", prvni, psano,
          cteno, rozdilu, kolik);
    finish(10);
  }
  hotovo(overeno, (unsigned long)kolik);
  vypis("\rVerified %d bytes  OK\n", kolik);
}

// ------------------------------------------------------------ raw files in

// A raw file's bytes, read whole before anything is sent: a file that
// doesn't fit below the end of the address space would be cut short.
// Files that can't seek (pipes) are taken in and measured as they come.
static void nactisoubor(int kam, const char *soubor, std::vector<unsigned char> &data) {
  drzsoubor f = {fopen(soubor, "rb")};
  if (!f.f) souborchyba("open", soubor);
  long mez = kam >= 0 && kam < (int)ADRLIM ? (long)ADRLIM - kam : 0, velikost = -1;
  // A folder opens too, but its first read fails, and its size means nothing.
  int c = getc(f.f);
  if (c == EOF && ferror(f.f)) souborchyba("read", soubor);
  if (fseek(f.f, 0, SEEK_END) == 0) velikost = ftell(f.f);
  if (velikost >= 0 && fseek(f.f, 0, SEEK_SET)) souborchyba("read", soubor);
  if (velikost < 0 && c != EOF) data.push_back((unsigned char)c);
  if (velikost > mez) {
    vypis("Error: File %s (%ld bytes) does not fit in target memory from %06X.\n", soubor, velikost, kam);
    finish(9);
  }
  unsigned char b[4096];
  for (size_t n; (n = fread(b, 1, sizeof b, f.f)) > 0 && (long)data.size() <= mez;)
    data.insert(data.end(), b, b + n);
  if (ferror(f.f)) souborchyba("read", soubor);
  if ((long)data.size() > mez) {
    vypis("Error: File %s (over %ld bytes) does not fit in target memory from %06X.\n", soubor, mez, kam);
    finish(9);
  }
  if (zavri(f)) souborchyba("close", soubor);
  protokol_data(data.data(), data.size());
}

// Reads back what the board should hold from kam and compares.
static void porovnej(int kam, const std::vector<unsigned char> &data) {
  for (size_t i = 0; i < data.size(); i++) zapis(kam + (unsigned)i, data[i]);
  overeni();
}

void binput(int kam, const char *soubor) {
  std::vector<unsigned char> data;
  nactisoubor(kam, soubor, data);
  // A write request of 10 characters and 2 a byte, its answer '*'.
  int k = kus(64, 10 + 10 + 10 + 1, 2);
  long long t = hodiny_us();
  for (size_t i = 0; i < data.size(); i += k) {
    postup("Writing", kam + (unsigned)i, (unsigned long)i, (unsigned long)data.size());
    char d[2 * 64 + 1] = "";
    int j = 0;
    for (; j < k && i + j < data.size(); j++) snprintf(d + 2 * j, 3, "%02X", data[i + j]);
    char b[256];
    snprintf(b, sizeof b, "W%06X<%s\n", kam + (int)i, d);
    sendc(b);
    if (o[0] != '*') necekana();
  }
  nahrano_us += hodiny_us() - t;
  hotovo(nahrano, (unsigned long)data.size());
  if (overit && !data.empty()) porovnej(kam, data);
}

// Compares the board's memory from kam with the file; writes nothing.
static void bincmp(int kam, const char *soubor) {
  std::vector<unsigned char> data;
  nactisoubor(kam, soubor, data);
  porovnej(kam, data);
}

// A six-character address or count field, a hex number whole: blanks and
// a 0x prefix may stand before its digits, nothing after them. -1 when it
// is no number (a letter O for a zero, a sign, no digits).
static int pole(const char *p) {
  char a[8];
  snprintf(a, sizeof a, "%.6s", p);
  const char *d = a + strspn(a, " \t");
  if (d[0] == '0' && (d[1] == 'x' || d[1] == 'X') && hexznak(d[2])) d += 2;
  if (!*d || d[strspn(d, "0123456789ABCDEFabcdef")]) return -1;
  return (int)strtol(d, nullptr, 16);
}

// Position-checked parse of an @-command; runs it. Null, or an error text.
const char *zpracuj_prikaz(const char *p) {
  size_t n = strlen(p);
  int hex = zacina(p, "@hexget");
  int get = hex || zacina(p, "@binget");
  int cmp = zacina(p, "@bincmp");
  if (!get && !cmp && !zacina(p, "@binput")) return "Unknown command";
  if (get ? (n < 23 || p[13] != ',' || p[20] != '>') : (n < 15 || p[13] != '<'))
    return "Syntax error";
  int adr = pole(p + 7), kolik = get ? pole(p + 14) : 0;
  if (adr < 0 || kolik < 0) return "Syntax error";
  // A file name of any length, taken whole but for the line end and the
  // blanks before it (no system keeps them in a name).
  std::string jmeno = p + (get ? 21 : 14);
  jmeno.erase(jmeno.find_last_not_of(" \t\n") + 1);
  protokol_pamet(p, adr, get ? kolik : -1, jmeno.c_str());
  if (cmp)
    bincmp(adr, jmeno.c_str());
  else if (!get)
    binput(adr, jmeno.c_str());
  else if (hex)
    hexget(adr, kolik, jmeno.c_str());
  else
    binget(adr, kolik, jmeno.c_str());
  protokol_hotovo();
  return nullptr;
}

// Runs an @-command from a script line or the command line. A refused one
// ends the run; a syntax error says on the next line what the form is.
static void prikaz(const char *p) {
  vypis("Executing:%s\n", p);
  const char *chyba = zpracuj_prikaz(p);
  if (!chyba) return;
  vypis("Error: %s:%s \n", chyba, p);
  if (!strcmp(chyba, "Syntax error"))
    vypis(p[4] == 'g' ? "The form is %.7sAAAAAA,NNNNNN>FILE: address and count as six hex digits each.\n"
                      : "The form is %.7sAAAAAA<FILE: the address as six hex digits.\n",
          p);
  finish(9);
}

// ----------------------------------------------------- script interpreter

static const size_t MAXLINE = 65536;  // the longest script line, its line end not counted
static const size_t KUS = 245;        // a command goes to the board in pieces this long

// One nesting level of scripts: each has its own file, line counter and state.
struct uroven {
  const char *soubor;
  int hloubka;
  unsigned line;
  unsigned lastcond;
  FILE *f;
  bool konec;                // a DOS end-of-file mark was read: nothing after it counts
  std::string zpet;          // bytes read at the start to look for a byte-order mark
  size_t izpet;
  std::string vraceno;       // from a pipe: what judging it read, its first bytes
  std::vector<char> b;       // the line, worked on in place
  std::vector<char> ll;      // the line as read, for the syntax message
  char *bb() { return b.data(); }
};

static void skript(const char *soubor, int hloubka);

// A control character: it ends a pattern or a message as a line end does.
// Bytes 0x80-0xFF are characters like any other (UTF-8, a code page).
static int ridici(char c) { return (unsigned char)c < ' '; }

static int dej(uroven &u) {
  if (u.izpet < u.zpet.size()) return (unsigned char)u.zpet[u.izpet++];
  return getc(u.f);
}

// A byte just read is read again next, before the rest read ahead.
static void vrat(uroven &u, int c) {
  if (u.izpet) u.zpet[--u.izpet] = (char)c;
  else u.zpet.insert(u.zpet.begin(), (char)c);
}

// Reads one physical line whole: CR LF, and a CR alone, read as "\n"; the
// first 0x1A ends the file. Up to MAXLINE characters go to b; a longer line
// sets *dlouhy and is read to its end all the same. *nul tells a NUL, the
// byte no script holds (a binary file, or UTF-16); other control characters
// are text: a comment's escape sequence, a command's Ctrl+C. Returns the
// length kept; 0 at the end.
static size_t ctiradek(uroven &u, char *b, bool *nul, bool *dlouhy) {
  size_t n = 0;
  *nul = *dlouhy = false;
  for (int c; !u.konec && (c = dej(u)) != EOF;) {
    if (c == 0x1A) {
      u.konec = true;
      break;
    }
    if (c == '\r') {
      int d = dej(u);
      if (d != '\n' && d != EOF) vrat(u, d);
      c = '\n';
    }
    if (!c) *nul = true;
    if (n < MAXLINE || c == '\n') b[n++] = (char)c;
    else *dlouhy = true;
    if (c == '\n') break;
  }
  b[n] = 0;
  return n;
}

[[noreturn]] static void netextovy(uroven &u, unsigned line, const char *co) {
  vypis("Error: Not a text file: %s line:%u %s\n", u.soubor, line, co);
  finish(3);
}

[[noreturn]] static void moc_dlouhy(uroven &u, unsigned line) {
  vypis("Error: Line too long (over %u characters):%s line:%u\n", (unsigned)MAXLINE, u.soubor, line);
  finish(8);
}

static void radek_ok(uroven &u, unsigned line, bool nul, bool dlouhy) {
  if (nul) netextovy(u, line, "holds the byte 00");
  if (dlouhy) moc_dlouhy(u, line);
}

// The file's start: a UTF-8 byte-order mark is skipped, UTF-16 refused,
// with its mark or without (text with a NUL beside each character).
static void zacatek(uroven &u) {
  u.zpet.swap(u.vraceno);
  u.vraceno.clear();
  u.izpet = 0;
  for (int c; u.zpet.size() < 3 && (c = getc(u.f)) != EOF;) u.zpet += (char)c;
  const unsigned char *z = (const unsigned char *)u.zpet.data();
  size_t nzpet = u.zpet.size();
  if (nzpet >= 2 && ((z[0] == 0xFF && z[1] == 0xFE) || (z[0] == 0xFE && z[1] == 0xFF) || !z[0] != !z[1]))
    netextovy(u, 1, "is UTF-16 (save it as UTF-8)");
  if (nzpet >= 3 && z[0] == 0xEF && z[1] == 0xBB && z[2] == 0xBF) u.izpet = 3;
}

static int zaznamova_radka(const char *b);
static int vadny(const char *b, char *co, size_t n);
[[noreturn]] static void spatny_zaznam(const char *soubor, unsigned line, const char *b, const char *co);

// A file that can seek is judged whole before any line of it is carried
// out: not text first, then a line too long, then a bad record (so that an
// image with one loads nothing). A pipe is judged line by line.
static void prohlidni(uroven &u) {
  if (fseek(u.f, 0, SEEK_END) || ftell(u.f) < 0 || fseek(u.f, 0, SEEK_SET)) {
    clearerr(u.f);
    zacatek(u);
    return;
  }
  zacatek(u);
  unsigned line = 0, dlouha = 0, vadna = 0;
  bool nul, dlouhy;
  std::string zaznam;
  char co[80];
  for (;;) {
    line++;
    const char *b = u.ll.data();
    if (!ctiradek(u, u.ll.data(), &nul, &dlouhy)) break;
    radek_ok(u, line, nul, false);
    if (dlouhy && !dlouha) dlouha = line;
    if (!vadna && zaznamova_radka(b) && vadny(b, co, sizeof co)) vadna = line, zaznam = b;
  }
  if (ferror(u.f)) souborchyba("read", u.soubor);
  if (dlouha) moc_dlouhy(u, dlouha);
  if (vadna) spatny_zaznam(u.soubor, vadna, zaznam.c_str(), co);
  u.konec = false;
  if (fseek(u.f, 0, SEEK_SET)) souborchyba("read", u.soubor);
  zacatek(u);
}

// The pattern of a check or condition: up to the first '!' or control
// character, every other byte matched as it stands. Returns a pointer at
// that character; the pattern is cut there.
static char *vzor(char *p, char *vz) {
  size_t k = 0;
  while (p[k] != '!' && !ridici(p[k])) k++;
  snprintf(vz, 256, "%.*s", (int)k, p);
  return p + k;
}

[[noreturn]] static void spatnasyntaxe(uroven &u) {
  vypis("Error: Bad syntax:%s line:%d :%s\n", u.soubor, (int)u.line, u.ll.data());
  finish(8);
}

// A condition line. Returns 1 when its rest now stands in b to be dispatched.
static int podminka(uroven &u) {
  char *b = u.bb();
  if (b[1] == '!') {
    if (u.lastcond == 1) return 0;
    if (ridici(b[2]))
      vypis("Error: No choice.\n");
    else
      vypis("Error: %s\n", b + 2);
    finish(7);
  }
  char *p = b + 1;
  if (b[1] == '?') {
    if (u.lastcond == 1) return 0;
    p = b + 2;
  }
  char vz[256];
  char *konec = vzor(p, vz);
  if (*konec != '!') spatnasyntaxe(u);
  if (!strstr(o, vz)) {
    u.lastcond = 0;
    return 0;
  }
  memmove(b, konec + 1, strlen(konec + 1) + 1);
  u.lastcond = 1;
  return 1;
}

static void kontrola(uroven &u) {
  char vz[256];
  char *konec = vzor(u.bb() + 1, vz);
  if (strstr(o, vz)) return;
  if (*konec == '!')
    vypis("Error: %s\n", konec + 1);
  else
    vypis("Error: Incorrect response.\n");
  finish(7);
}

static void vloz(uroven &u) {
  const char *b = u.bb();
  size_t k = 0;
  while ((signed char)b[1 + k] > ' ') k++;
  std::string jmeno(b + 1, k);
  if (u.hloubka >= MAXDEPTH) {
    vypis("Error: Includes nested deeper than %d levels:%s line:%d\n", MAXDEPTH, u.soubor,
           (int)u.line);
    finish(8);
  }
  skript(jmeno.c_str(), u.hloubka + 1);
}

static int zaznamovy(const char *b);

// A command line goes to the board in the pieces it takes, each answered
// and judged on its own; a '~' line's pieces are each sent once, unjudged.
// A record sent as text is image data, not a command of the report.
static void odesli(uroven &u) {
  const char *b = u.bb();
  size_t n = strlen(b);
  int jednou = b[0] == '~';
  for (size_t i = 0; i < n || !n; i += KUS) {
    // A last piece that holds only the line end is no command.
    if (i && !strcmp(b + i, "\n")) break;
    char kus[KUS + 2];
    snprintf(kus, sizeof kus, "%s%.*s", jednou && i ? "~" : "", (int)KUS, b + i);
    vypis("\rSend: %.*s", (int)KUS, b + i);
    zaznamovy(b) ? sendc(kus) : povel(kus);
    vypis("\rAnswer: %s", o);
    if (strpbrk(o, "!?")) {
      vypis("Error: Negative response.\n");
      finish(6);
    }
    if (!n) break;
  }
}

static int adresa_bajtu(char typ) {
  static const char delky[] = "2234023432";  // address bytes of S0 to S9; S4 has none defined
  return typ >= '0' && typ <= '9' ? delky[typ - '0'] - '0' : 0;
}

// Nothing but the blanks (spaces, tabs) an editor leaves and the line end.
static int jen_konec(const char *p) {
  p += strspn(p, " \t");
  return !p[0] || (p[0] == '\n' && !p[1]);
}

// A record's shape: 'S', a digit, then only hex digits, at least four, up
// to the line's end and its trailing blanks.
static int zaznamovy(const char *b) {
  if (b[0] != 'S' || b[1] < '0' || b[1] > '9') return 0;
  size_t k = 2;
  while (hexznak(b[k])) k++;
  return k >= 6 && jen_konec(b + k);
}

// The lines checked as records: every S2 and S8 line, and every line of a
// record's shape.
static int zaznamova_radka(const char *b) {
  return (b[0] == 'S' && (b[1] == '2' || b[1] == '8')) || zaznamovy(b);
}

[[noreturn]] static void spatny_zaznam(const char *soubor, unsigned line, const char *b, const char *co) {
  vypis("Bad format: %s:%s line:%u :%s\n", co, soubor, line, b);
  finish(3);
}

// What is wrong with a record line, said in co; 0 when nothing. Up to its
// trailing blanks it holds hex digits only; its count must match its
// length, and its checksum its bytes; an image record's data must lie below
// address 1000000. Checked before anything of the record is stored or sent.
static int vadny(const char *b, char *co, size_t n) {
  size_t k = 2;
  while (hexznak(b[k])) k++;
  unsigned char c = (unsigned char)b[k];
  if (!jen_konec(b + k))
    return c >= ' ' && c < 0x7F ? snprintf(co, n, "'%c' at column %u is no hex digit", c, (unsigned)k + 1)
                                : snprintf(co, n, "byte %02X at column %u is no hex digit", c, (unsigned)k + 1);
  if (k < 4) return snprintf(co, n, "no byte count");
  unsigned pocet = gethb(b + 2), soucet = 0;
  if (k - 4 != 2 * pocet)
    return snprintf(co, n, "count %02X wants %u digits after it, the record holds %u", pocet, 2 * pocet,
                    (unsigned)(k - 4));
  if (pocet < (unsigned)adresa_bajtu(b[1]) + 1) return snprintf(co, n, "count %02X, too short for its address", pocet);
  for (size_t i = 2; i < k - 2; i += 2) soucet += gethb(b + i);
  unsigned ma = gethb(b + k - 2), dava = ~soucet & 0xFF;
  if (ma != dava) return snprintf(co, n, "checksum %02X, the bytes give %02X", ma, dava);
  if (b[1] != '2' || olds24) return 0;
  unsigned a = (gethb(b + 4) << 16) + (gethb(b + 6) << 8) + gethb(b + 8);
  return a + pocet - 4 > ADRLIM ? snprintf(co, n, "data past address FFFFFF") : 0;
}

static void zkontroluj(uroven &u) {
  char co[80];
  if (vadny(u.bb(), co, sizeof co)) spatny_zaznam(u.soubor, u.line, u.bb(), co);
}

// S1 and S3 lines go to the board as text; with verify their data are read
// back when the end record after them has been answered. Data that could
// not be read back are refused before the line is sent.
static void textovy_zaznam(uroven &u) {
  char *b = u.bb();
  int s13 = b[1] == '1' || b[1] == '3';
  if (overit && s13 && !zaznam(b, adresa_bajtu(b[1]), 0)) {
    vypis("Error: S-record data above address FFFFFF can't be read back to verify:%s line:%u\n", u.soubor,
          u.line);
    finish(9);
  }
  long long t = hodiny_us();
  odesli(u);
  if (b[1] >= '1' && b[1] <= '3') nahrano += gethb(b + 2) - adresa_bajtu(b[1]) - 1, nahrano_us += hodiny_us() - t;
  if (b[1] >= '1' && b[1] <= '3') protokol_zaznam(b, adresa_bajtu(b[1]));
  if (overit && s13) zaznam(b, adresa_bajtu(b[1]), 1);
  if (overit && (b[1] == '7' || b[1] == '8' || b[1] == '9') && !zapsano.empty()) overeni();
  if (b[1] == '7' || b[1] == '8' || b[1] == '9') protokol_obraz();
}

// An S2 or S8 record for older firmware, which takes it as one command:
// one too long for a command is refused before anything of it is sent.
static void zastaru(uroven &u) {
  size_t n = strlen(u.bb());
  if (n > (size_t)MAXCMD) {
    vypis("Error: S-record too long for one command with 'old' (%u characters, at most %d):%s line:%d\n",
          (unsigned)n, MAXCMD, u.soubor, (int)u.line);
    finish(8);
  }
  textovy_zaznam(u);
  if (overit && u.bb()[1] == '2') zaznam(u.bb(), 3, 1);
}

// Carries out the line in u.b by its first characters.
static void proved(uroven &u) {
  char *b = u.bb();
  for (;;) {
    // Positions past a short line read as NUL, never an earlier line's rest.
    size_t n = strlen(b), do_ = n + 256 < u.b.size() ? n + 256 : u.b.size();
    memset(b + n, 0, do_ - n);
    int s28 = b[0] == 'S' && (b[1] == '2' || b[1] == '8');
    if (b[0] == '@') {
      prikaz(b);
    } else if (b[0] == '?') {
      if (podminka(u)) continue;
    } else if (s28 && !olds24) {
      zkontroluj(u);
      binwrite(b);
    } else if (b[0] == '#') {
      vloz(u);
    } else if (b[0] == '!') {
      kontrola(u);
    } else if (s28) {
      zkontroluj(u);
      zastaru(u);
    } else if (zaznamovy(b)) {
      zkontroluj(u);
      textovy_zaznam(u);
    } else {
      odesli(u);
    }
    return;
  }
}

// A file a toolchain made, judged by its content: an ELF or Intel HEX image
// is read and checked whole, then loaded as the S2 records and the S8 record
// of its bytes load. 0 when the file is a script.
static int obraz_nastroje(uroven &u) {
  obraz_souboru o;
  vada v;
  int druh = posud(u.f, o, v, u.vraceno);
  if (druh < 0) souborchyba("read", u.soubor);
  if (!druh) return 0;
  protokol_format(druh == 2 ? "elf" : "ihex");
  if (!v.proc.empty() && v.radek) spatny_zaznam(u.soubor, v.radek, (v.zaznam + "\n").c_str(), v.proc.c_str());
  if (!v.proc.empty()) {
    vypis("Bad format: %s:%s\n", v.proc.c_str(), u.soubor);
    finish(3);
  }
  if (!o.se_startem)
    vypis("No start address in %s: %06X, the lowest address it loads, is the image's start.\n", u.soubor, o.start);
  if (terminal && !olds24) {  // the progress line's total, from the records the image makes
    pocet_bloku p;
    zaznamy_obrazu(o, [&](const char *z) { p.zaznam(z); });
    bloku_celkem = p.n;
  }
  zaznamy_obrazu(o, [&](const char *z) {
    snprintf(u.bb(), u.b.size(), "%s", z);
    proved(u);
  });
  return 1;
}

static void skript(const char *soubor, int hloubka) {
  uroven u;
  u.soubor = soubor;
  u.hloubka = hloubka;
  u.line = 0;
  u.lastcond = 0;
  u.konec = false;
  u.b.assign(MAXLINE + 258, 0);
  u.ll.assign(MAXLINE + 2, 0);
  // Read as bytes in both builds: line ends and the end-of-file mark are
  // handled here, the same everywhere.
  drzsoubor f = {fopen(soubor, "rb")};
  if (!f.f) souborchyba("open", soubor);
  u.f = f.f;
  vypis("\nLoading: %s\n", soubor);
  const char *vnejsi = protokol_skript(soubor);
  pocitadlo bloku(f.f);
  if (obraz_nastroje(u)) {
    protokol_skript(vnejsi);
    return;
  }
  prohlidni(u);
  bool nul, dlouhy;
  for (;;) {
    u.line++;
    size_t n = ctiradek(u, u.bb(), &nul, &dlouhy);
    // A read that failed (or a signal cut short) is no end of the script,
    // and what it brought of a line no whole line.
    if (ferror(f.f)) souborchyba("read", soubor);
    if (!n) break;
    radek_ok(u, u.line, nul, dlouhy);
    if (u.bb()[0] == ';' || (signed char)u.bb()[0] <= ' ') continue;
    snprintf(u.ll.data(), u.ll.size(), "%s", u.bb());
    proved(u);
  }
  zavri(f);
  protokol_skript(vnejsi);
}

void zpracuj_soubor(const char *soubor) { skript(soubor, 1); }

// -------------------------------------------------------------- run driver

static const char *const banner =
    "\n ORBA-01 loader ver. 0.95 (BELKOS v1.28) (c) 2026 Quarn developers \n";

// What each word of the usage does, and where the rest is told.
static const char *const pomoc =
    "\n"
    " p3f8, p2f8  port COM1 (default) or COM2\n"
    " i4          interrupt, shown only\n"
    " b38400      speed: 2400 4800 9600 19200 38400 (default) 57600 115200\n"
    " m0          line mode 0-4; its low two bits: 0 no parity, 1 odd, 2 even, 3 odd\n"
    " old         firmware before v1.28: S-records go to the board as text\n"
    " verify      read back and compare every image and @binput written\n"
    " name.ext    an argument with a '.' is a script, or an Intel HEX or ELF image;\n"
    "             any other is sent as a command\n"
    " @binget000400,000100>mem.bin   read 0x100 bytes from 0x400 into a raw file\n"
    " @hexget000400,000100>mem.txt   the same as a hex dump\n"
    " @binput000400<boot.bin         write a raw file from 0x400\n"
    " @bincmp000400<boot.bin         compare memory from 0x400 with a raw file\n"
    " --wait[=SECONDS]  first wait for the port and the board's answer\n"
    " --report=FILE     append a line of JSON about the run to FILE\n"
#ifdef _WIN32
    " QUARN_COM1, QUARN_COM2: the ports of p3f8 and p2f8 (COM1, COM2), such as COM7\n"
    " --ports lists the serial ports, --version the version\n"
    " Exit codes and more: README-windows.txt\n";
#else
    " QUARN_COM1, QUARN_COM2: the devices of p3f8 and p2f8 (/dev/ttyS0, /dev/ttyS1)\n"
    " quarn --ports lists the serial ports, quarn --version the version\n"
    " Exit codes and more: man quarn\n";
#endif

// The usage: on Windows the lines it always had; elsewhere the program that
// runs, with every option.
static const char *const pouziti =
#ifdef _WIN32
    " Use: quarn.exe [p3f8] [i4] [b38400] [old] [file(-s)] [command(-s)]\n"
    " Option 'old' required for boards with BIOS version prior to 1.28\n";
#else
    " Use: quarn [p3f8] [i4] [b38400] [m0] [old] [verify] [file(-s)] [command(-s)] [@command(-s)]\n"
    " Option 'old' required for boards with firmware before v1.28\n";
#endif

bool napoveda(unsigned argc, char **argv) {
  for (unsigned k = argc - 1; k >= 1; k--)
    if (argv[k][0] == '?' || (argv[k][0] && argv[k][1] == '?')) return true;
  return false;
}

// The rightmost argument that begins with `c` and holds no '.'; 0 if none.
static unsigned volba(unsigned argc, char **argv, char c) {
  for (unsigned k = argc - 1; k >= 1; k--)
    if (argv[k][0] == c && !strchr(argv[k], '.')) return k;
  return 0;
}

// The rightmost argument equal to `w`; 0 if none.
static unsigned slovo(unsigned argc, char **argv, const char *w) {
  for (unsigned k = argc - 1; k >= 1; k--)
    if (!strcmp(argv[k], w)) return k;
  return 0;
}

// The option's value characters, cut at `max`, as a number in `base`.
static long hodnota(const char *a, int max, int base) {
  char v[8];
  snprintf(v, sizeof v, "%.*s", max, a + 1);
  return strtol(v, nullptr, base);
}

// The run's end: a look at the line, so that a late surplus answer still
// turns success into the pairing error.
static void konec() {
  if (dozvuk()) sparuj();
}

static void identita() {
  vypis("Target ID:\n");
  sendc("I000000\n");
  protokol_identita(o);
  if (!o[0]) {
    vypis("Target didn't respond.\n");
    finish(4);
  }
  vypis("%s\n", o);
  konec();
  finish(0);
}

// The option words the driver took, by their form: the letter of b, p, i
// and m, the word of the others.
static std::map<std::string, std::string> vzato;

static std::string forma(const char *a) { return strchr("bpim", a[0]) ? std::string(1, a[0]) : a; }

// Takes an option word out of the arguments.
static void vezmi(char *a) {
  vzato[forma(a)] = a;
  a[0] = 0;
}

static int stejne(char a, char b) { return tolower((unsigned char)a) == tolower((unsigned char)b); }

// 2 when a and b differ in letter case only; 1 when they differ, case
// aside, by two neighbours swapped or one letter more, less or other.
static int blizko(const char *a, const char *b) {
  size_t i = 0, m = strlen(a), n = strlen(b);
  while (i < m && i < n && stejne(a[i], b[i])) i++;
  auto zbytek = [&](size_t x, size_t y) {
    for (; x < m && y < n; x++, y++)
      if (!stejne(a[x], b[y])) return 0;
    return x == m && y == n ? 1 : 0;
  };
  if (i == m && i == n) return 2;
  int prehozene = i + 1 < m && i + 1 < n && stejne(a[i], b[i + 1]) && stejne(a[i + 1], b[i]) && zbytek(i + 2, i + 2);
  return prehozene || (i < m && i < n && zbytek(i + 1, i + 1)) || (i < m && zbytek(i + 1, i)) || (i < n && zbytek(i, i + 1));
}

// A command-line word the board refused that reads as an option mistyped,
// or as an option that a later word of its form outranked: at a terminal,
// a line that says so. Words under four characters (board commands such
// as G0) get none.
static void rada(const char *w) {
  static const char *const volby[] = {"verify", "old",    "p3f8",   "p2f8",   "b2400",  "b4800",
                                      "b9600",  "b19200", "b38400", "b57600", "b115200"};
  if (!terminal || strlen(w) < 4) return;
  auto v = vzato.find(forma(w));
  if (v != vzato.end())
    return vypis("Hint: \"%s\" went to the board as a command: of words of its form only the rightmost, \"%s\", "
                 "is the option.\n", w, v->second.c_str());
  for (const char *o : volby)
    if (int b = blizko(w, o))
      return vypis("Hint: \"%s\" went to the board as a command: is it the option \"%s\"?%s\n", w, o,
                   b == 2 ? " Options are case-sensitive." : "");
}

static void argument(char *a) {
  char c[256];
  snprintf(c, sizeof c, "%s", a);
  if (c[0] == '@') {
    prikaz(c);
    return;
  }
  size_t n = strlen(c);
  snprintf(c + n, sizeof c - n, "\n");
  vypis("\rSend scmd: %s", c);
  povel(c);
  vypis("\rAnswer: %s", o);
  if (strpbrk(o, "!?")) {
    vypis("Error: Negative response.\n");
    rada(a);
    finish(7);
  }
}

// The port set-up's reason for refusing; a speed option that is no number
// is most often a script's name without a dot.
static void odmitnuto(const char *bvolba, int baud) {
  const char *s = bvolba + (bvolba[0] != 0);
  if (!comdrv_odmitnuti[0]) return;
  if (!comdrv_rychlost(baud) && s[strspn(s, "0123456789")])
    vypis("Error: %s; \"%s\" was read as the speed option b with \"%s\": a script's name needs a dot.\n",
          comdrv_odmitnuti, bvolba, s);
  else
    vypis("Error: %s.\n", comdrv_odmitnuti);
}

void quarn(unsigned argc, char **argv) {
  // A run starts with an empty block buffer and no options.
  binadr = 0;
  memset(binmask, 0, sizeof binmask);
  olds24 = ramc = overit = 0;
  zapsano.clear();
  vzato.clear();
  nahrano = precteno = overeno = opakovani = 0;
  nahrano_us = precteno_us = overeno_us = 0;
  minuly_pocet = 0;
  minula[0] = 0;
  ukazano = radek = 0;
  bloku_celkem = 0;
  obraz_od = -1;
  bloku_poslano = obraz_bloku = obraz_bajtu = 0;

  // Standard output is the platform layer's: each message goes in one write.
  setvbuf(stdin, nullptr, _IONBF, 0);
  vypis("%s", banner);
  if (napoveda(argc, argv)) {
    vypis("%s", pouziti);
    vypis(" Note: All options and commands are case sensitive ! \n");
    vypis(" Option 'verify' reads back and compares every image and @binput written\n");
    vypis("%s", pomoc);
    finish(0);
  }

  unsigned baud = 38400;
  short port = 0x3F8;
  signed char irq = 4, mode = 0;
  char bvolba[128] = "";  // the speed option as given, for a refusal
  if (unsigned k = volba(argc, argv, 'b')) {
    snprintf(bvolba, sizeof bvolba, "%s", argv[k]);
    baud = (unsigned)hodnota(argv[k], 6, 10);
    vezmi(argv[k]);
  }
  if (unsigned k = volba(argc, argv, 'p')) {
    port = (short)hodnota(argv[k], 4, 16);
    vezmi(argv[k]);
  }
  if (unsigned k = volba(argc, argv, 'i')) {
    irq = (signed char)(argv[k][1] - '0');
    vezmi(argv[k]);
  }
  if (unsigned k = volba(argc, argv, 'm')) {
    if (argv[k][1] >= '0' && argv[k][1] <= '4') {
      mode = (signed char)(argv[k][1] - '0');
      vezmi(argv[k]);
    }
  }
  if ((ramc = slovo(argc, argv, "ram"))) vezmi(argv[ramc]);
  if ((olds24 = slovo(argc, argv, "old"))) vezmi(argv[olds24]);
  if ((overit = slovo(argc, argv, "verify"))) vezmi(argv[overit]);

  docasne("Serial UART port:%3x irq:%x baud:%d mode:%x", port, irq, (int)baud, mode >> 2);
  if (vyroba_port(port, irq, (int)baud, mode)) {
    vypis("Wrong settings, can't initialize UART\n");
    odmitnuto(bvolba, (int)baud);
    finish(2);
  }
  vypis("\rSerial UART port:%3x irq:%x baud:%d mode:%x \n", comdrv_port, comdrv_irq, comdrv_baud,
         comdrv_mode >> 2);
  vypis("UART init O.K.\n");
  otevreno_v = hodiny_us();

  if (argc < 2) identita();
  o[0] = 0;
  for (unsigned k = 1; k < argc; k++) {
    if (strchr(argv[k], '.') && argv[k][0] != '@')
      zpracuj_soubor(argv[k]);
    else if (argv[k][0])
      argument(argv[k]);
  }
  // A block still open is an image without its end: without the S8 record
  // the board would not even flush its write buffer, so it isn't sent.
  for (int i = 0; i < 16; i++)
    if (binmask[i]) {
      vypis("\nError: The image had no S8 end record: its block at %06X was not sent.\n", binadr);
      finish(3);
    }
  if (!zapsano.empty()) overeni();
  konec();
  vypis("\n");
  souhrn();
  vypis("Loading completed with no errors.\n");
}
