// The loader's logic: run driver, command transaction, S-record packing,
// block telegrams, script interpreter and memory transfer. Platform-free:
// it reaches the line only through comdrv.h and ends runs through finish().
#include "quarn.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "comdrv.h"

char o[256];
unsigned olds24, ramc;

unsigned binadr;
unsigned char binmask[16], binbuf[128];

static const char hlavicka[] = "\x68\x01\x01\x68\x7F\x7F\x47\xF5";  // request header
static const int ZD = 8;               // header length: where payloads begin
static const int MAXCMD = 246;         // longest command text a telegram holds
static const int MAXDEPTH = 64;        // include nesting bound
static const unsigned ADRLIM = 0x1000000;  // one past the last 24-bit address
static const int MAXREC = 515;         // the longest S-record line, its line end included

// Bytes written that a verify pass reads back: the blocks sent, a fill map
// each. It grows with the image.
struct blok {
  unsigned char data[128], maska[16];
};
static std::map<unsigned, blok> zapsano;
unsigned overit;

static void zapis(unsigned adr, unsigned char v) {
  blok &z = zapsano[adr & ~0x7Fu];
  z.data[adr & 0x7F] = v;
  z.maska[(adr & 0x7F) >> 3] |= (unsigned char)(1 << (adr & 7));
}

static void overeni();

// Console text, a message at a time: one write each, so that a console
// that costs a system call a character shows it at once all the same.
void vypis(const char *fmt, ...) {
  char b[2048];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(b, sizeof b, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n >= (int)sizeof b) n = (int)sizeof b - 1;
  fwrite(b, 1, (size_t)n, stdout);
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
  for (int pokus = 8; pokus; pokus--) {
    ocekavej_telegram();
    vymen(b, w + 2, pokus < 8, 0);
    vypis("\rSending block %06X   ", binadr);
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
      memset(binmask, 0, sizeof binmask);
      snprintf(o, sizeof o, "%s", t);
      vypis("OK\n");
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
  vypis("\rPacking...");
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
  vypis("\rFlushing write buffer  ");
  sendc(b);
  if (strpbrk(o, "!?") || o[0] != '%' || o[1] != '*') {
    vypis("\nError: Unexpected response: %s\n", o);
    finish(6);
  }
  vypis("OK\n");
  if (overit) overeni();
}

// With 'old' the board takes S2 lines as text: what a verify pass reads
// back is what a whole, well-formed record carried.
static void zaznam(const char *b) {
  auto par = [&](int i) { return hexznak(b[i]) && hexznak(b[i + 1]) ? (int)gethb(b + i) : -1; };
  int n = par(2) - 4, d[255];
  if (n < 0) return;
  for (int i = 0; i < 3 + n; i++)
    if ((d[i] = par(4 + 2 * i)) < 0) return;
  unsigned a = (unsigned)(d[0] << 16 | d[1] << 8 | d[2]);
  if (a + n > ADRLIM) return;
  for (int i = 0; i < n; i++) zapis(a + i, (unsigned char)d[3 + i]);
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

[[noreturn]] static void souborchyba(const char *co, const char *soubor) {
  vypis("Error: Can't %s file %s \n", co, soubor);
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

// One read request for del bytes at adr. Its answer must begin with '='
// (for a hex dump, hold no '!' or '?'); the caller takes its pairs.
static void precti(int adr, int del, int hex) {
  char b[64];
  snprintf(b, sizeof b, "R%06X,%02X\n", adr, del);
  sendc(b);
  if (o[0] != '=' || (hex && strpbrk(o, "!?"))) necekana();
}

// Reads odkud..odkud+kolik in requests of at most `nejvic` bytes into soubor.
static void cteni(int odkud, int kolik, const char *soubor, int nejvic, int hex) {
  drzsoubor f = {fopen(soubor, hex ? "wt" : "wb")};
  if (!f.f) souborchyba("open", soubor);
  int celk = 0, k = kus_cteni(nejvic);
  for (int adr = odkud; adr < odkud + kolik; adr += k) {
    int del = odkud + kolik - adr;
    if (del > k) del = k;
    precti(adr, del, hex);
    if (hex && fprintf(f.f, "%06X: ", adr) < 0) souborchyba("write to", soubor);
    parovani([&](const char *d) {
      int ok = hex ? fprintf(f.f, "%s ", d) >= 0 : fputc((int)(strtol(d, nullptr, 16) & 0xFF), f.f) != EOF;
      if (!ok) souborchyba("write to", soubor);
      celk++;
    });
    if (hex && fputc('\n', f.f) == EOF) souborchyba("write to", soubor);
  }
  if (zavri(f)) souborchyba("close", soubor);
  if (celk != kolik) delka(celk, kolik);
}

void binget(int odkud, int kolik, const char *soubor) { cteni(odkud, kolik, soubor, 64, 0); }

void hexget(int odkud, int kolik, const char *soubor) { cteni(odkud, kolik, soubor, 16, 1); }

// ------------------------------------------------------------ verification

// Reads back every byte recorded in zapsano, in requests that cover only
// those bytes, and compares. A difference ends the run; zapsano is emptied.
static void overeni() {
  std::map<unsigned, blok> z;
  z.swap(zapsano);
  int celk = 0, kolik = 0, rozdilu = 0, k = kus_cteni(64);
  unsigned prvni = 0, psano = 0, cteno = 0, od = 0;
  std::vector<unsigned char> ocek;  // the piece gathered for the next request, from od
  auto cti = [&] {
    if (ocek.empty()) return;
    vypis("\rVerifying %06X", od);
    precti((int)od, (int)ocek.size(), 0);
    size_t i = 0;
    parovani([&](const char *d) {
      unsigned v = (unsigned)strtol(d, nullptr, 16) & 0xFF;
      if (i < ocek.size() && v != ocek[i] && !rozdilu++) prvni = od + (unsigned)i, psano = ocek[i], cteno = v;
      i++;
    });
    celk += (int)i;
    kolik += (int)ocek.size();
    ocek.clear();
  };
  for (auto &b : z)
    for (unsigned i = 0; i < 128; i++) {
      if (!(b.second.maska[i >> 3] >> (i & 7) & 1)) continue;
      unsigned a = b.first + i;
      if (!ocek.empty() && (a != od + ocek.size() || (int)ocek.size() == k)) cti();
      if (ocek.empty()) od = a;
      ocek.push_back(b.second.data[i]);
    }
  cti();
  if (celk != kolik) delka(celk, kolik);
  if (rozdilu) {
    vypis("\nError: Verify failed at %06X: wrote %02X, read %02X; %d of %d bytes differ.\n", prvni, psano,
          cteno, rozdilu, kolik);
    finish(10);
  }
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
  for (size_t i = 0; i < data.size(); i += k) {
    char d[256] = "";
    int j = 0;
    for (; j < k && i + j < data.size(); j++) snprintf(d + 2 * j, 3, "%02X", data[i + j]);
    char b[256];
    snprintf(b, sizeof b, "W%06X<%s\n", kam + (int)i, d);
    sendc(b);
    if (o[0] != '*') necekana();
  }
  if (overit && !data.empty()) porovnej(kam, data);
}

// Compares the board's memory from kam with the file; writes nothing.
static void bincmp(int kam, const char *soubor) {
  std::vector<unsigned char> data;
  nactisoubor(kam, soubor, data);
  porovnej(kam, data);
}

// Position-checked parse of an @-command; runs it. Null, or an error text.
const char *zpracuj_prikaz(const char *p) {
  size_t n = strlen(p);
  int hex = !strncmp(p, "@hexget", 7);
  int get = hex || !strncmp(p, "@binget", 7);
  int cmp = !strncmp(p, "@bincmp", 7);
  if (!get && !cmp && strncmp(p, "@binput", 7)) return "Unknown command";
  if (get ? (n < 23 || p[13] != ',' || p[20] != '>') : (n < 15 || p[13] != '<'))
    return "Syntax error";
  char a[8], c[8], jmeno[512];
  snprintf(a, sizeof a, "%.6s", p + 7);
  snprintf(c, sizeof c, "%.6s", p + 14);
  snprintf(jmeno, sizeof jmeno, "%s", p + (get ? 21 : 14));
  size_t k = strlen(jmeno);
  if (k && jmeno[k - 1] == '\n') jmeno[k - 1] = 0;
  int adr = (int)strtol(a, nullptr, 16);
  if (cmp)
    bincmp(adr, jmeno);
  else if (!get)
    binput(adr, jmeno);
  else if (hex)
    hexget(adr, (int)strtol(c, nullptr, 16), jmeno);
  else
    binget(adr, (int)strtol(c, nullptr, 16), jmeno);
  return nullptr;
}

// ----------------------------------------------------- script interpreter

// One nesting level of scripts: each has its own line counter and state.
struct uroven {
  const char *soubor;
  int hloubka;
  unsigned line;
  unsigned lastcond;
  char b[MAXREC + 1];   // the line, worked on in place
  char ll[MAXREC + 1];  // the line as read, for the syntax message
};

static void skript(const char *soubor, int hloubka);

// Below space: control characters and bytes 0x80-0xFF (signed compare).
static int podmezerou(char c) { return (signed char)c < ' '; }

// Reads one line of at most 245 characters, a CR LF pair as one line end,
// as text mode does; an S2 or S8 record whole, up to the longest the format
// allows. Returns its length; 0 at the end of the file.
static size_t ctiradek(FILE *f, char *b) {
  size_t n = 0, max = 245;
  while (n < max) {
    int c = getc(f);
    if (c == EOF) break;
    if (c == '\r') {
      int d = getc(f);
      if (d == '\n')
        c = '\n';
      else if (d != EOF)
        ungetc(d, f);
    }
    b[n++] = (char)c;
    if (c == '\n') break;
    if (n == 2 && b[0] == 'S' && (b[1] == '2' || b[1] == '8')) max = MAXREC;
  }
  b[n] = 0;
  return n;
}

// The pattern of a check or condition: up to the first '!' or character
// below space. Returns a pointer at that character; the pattern is cut there.
static char *vzor(char *p, char *vz) {
  size_t k = 0;
  while (p[k] != '!' && !podmezerou(p[k])) k++;
  snprintf(vz, 256, "%.*s", (int)k, p);
  return p + k;
}

[[noreturn]] static void spatnasyntaxe(uroven &u) {
  vypis("Error: Bad syntax:%s line:%d :%s\n", u.soubor, (int)u.line, u.ll);
  finish(8);
}

// A condition line. Returns 1 when its rest now stands in b to be dispatched.
static int podminka(uroven &u) {
  char *b = u.b;
  if (b[1] == '!') {
    if (u.lastcond == 1) return 0;
    if (podmezerou(b[2]))
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
  char *konec = vzor(u.b + 1, vz);
  if (strstr(o, vz)) return;
  if (*konec == '!')
    vypis("Error: %s\n", konec + 1);
  else
    vypis("Error: Incorrect response.\n");
  finish(7);
}

static void vloz(uroven &u) {
  char jmeno[256];
  size_t k = 0;
  while ((signed char)u.b[1 + k] > ' ') k++;
  snprintf(jmeno, sizeof jmeno, "%.*s", (int)k, u.b + 1);
  if (u.hloubka >= MAXDEPTH) {
    vypis("Error: Includes nested deeper than %d levels:%s line:%d\n", MAXDEPTH, u.soubor,
           (int)u.line);
    finish(8);
  }
  skript(jmeno, u.hloubka + 1);
}

static void odesli(uroven &u) {
  vypis("\rSend: %s", u.b);
  sendc(u.b);
  vypis("\rAnswer: %s", o);
  if (strpbrk(o, "!?")) {
    vypis("Error: Negative response.\n");
    finish(6);
  }
}

// An S2 or S8 record for older firmware, which takes it as one command:
// one too long for a command is refused before anything of it is sent.
static void zastaru(uroven &u) {
  size_t n = strlen(u.b);
  if (n > (size_t)MAXCMD) {
    vypis("Error: S-record too long for one command with 'old' (%u characters, at most %d):%s line:%d\n",
          (unsigned)n, MAXCMD, u.soubor, (int)u.line);
    finish(8);
  }
  odesli(u);
  if (overit && u.b[1] == '2') zaznam(u.b);
  if (overit && u.b[1] == '8') overeni();
}

// Carries out the line in u.b by its first characters.
static void proved(uroven &u) {
  char *b = u.b;
  for (;;) {
    size_t n = strlen(b);
    memset(b + n, 0, sizeof u.b - n);
    if (b[0] == '@') {
      vypis("Executing:%s\n", b);
      const char *chyba = zpracuj_prikaz(b);
      if (chyba) {
        vypis("Error: %s:%s \n", chyba, b);
        finish(9);
      }
    } else if (b[0] == '?') {
      if (podminka(u)) continue;
    } else if (b[0] == 'S' && (b[1] == '2' || b[1] == '8') && !olds24) {
      binwrite(b);
    } else if (b[0] == '#') {
      vloz(u);
    } else if (b[0] == '!') {
      kontrola(u);
    } else if (b[0] == 'S' && (b[1] == '2' || b[1] == '8')) {
      zastaru(u);
    } else {
      odesli(u);
    }
    return;
  }
}

static void skript(const char *soubor, int hloubka) {
  uroven u;
  u.soubor = soubor;
  u.hloubka = hloubka;
  u.line = 0;
  u.lastcond = 0;
  drzsoubor f = {fopen(soubor, "rt")};
  if (!f.f) souborchyba("open", soubor);
  vypis("\nLoading: %s\n", soubor);
  for (;;) {
    u.line++;
    if (!ctiradek(f.f, u.b)) break;
    if (u.b[0] == ';' || (signed char)u.b[0] <= ' ') continue;
    snprintf(u.ll, sizeof u.ll, "%s", u.b);
    proved(u);
  }
  // A read that failed must not pass for the script's end.
  if (ferror(f.f)) souborchyba("read", soubor);
  zavri(f);
}

void zpracuj_soubor(const char *soubor) { skript(soubor, 1); }

// -------------------------------------------------------------- run driver

static const char *const banner =
    "\n ORBA-01 loader ver. 0.95 (BELKOS v1.28) (c) 2026 Quarn developers \n";

static int napoveda(unsigned argc, char **argv) {
  for (unsigned k = argc - 1; k >= 1; k--)
    if (argv[k][0] == '?' || (argv[k][0] && argv[k][1] == '?')) return 1;
  return 0;
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
  if (!o[0]) {
    vypis("Target didn't respond.\n");
    finish(4);
  }
  vypis("%s\n", o);
  konec();
  finish(0);
}

static void argument(char *a) {
  char c[256];
  snprintf(c, sizeof c, "%s", a);
  if (c[0] == '@') {
    vypis("Executing:%s\n", c);
    const char *chyba = zpracuj_prikaz(c);
    if (chyba) {
      vypis("Error: %s:%s \n", chyba, c);
      finish(9);
    }
    return;
  }
  size_t n = strlen(c);
  snprintf(c + n, sizeof c - n, "\n");
  vypis("\rSend scmd: %s", c);
  sendc(c);
  vypis("\rAnswer: %s", o);
  if (strpbrk(o, "!?")) {
    vypis("Error: Negative response.\n");
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

  // Standard output is the platform layer's: each message goes in one write.
  setvbuf(stdin, nullptr, _IONBF, 0);
  vypis("%s", banner);
  if (napoveda(argc, argv)) {
    vypis(" Use: quarn.exe [p3f8] [i4] [b38400] [old] [file(-s)] [command(-s)]\n");
    vypis(" Option 'old' required for boards with BIOS version prior to 1.28\n");
    vypis(" Note: All options and commands are case sensitive ! \n");
    vypis(" Option 'verify' reads back and compares every image and @binput written\n");
    finish(0);
  }

  unsigned baud = 38400;
  short port = 0x3F8;
  signed char irq = 4, mode = 0;
  char bvolba[128] = "";  // the speed option as given, for a refusal
  if (unsigned k = volba(argc, argv, 'b')) {
    snprintf(bvolba, sizeof bvolba, "%s", argv[k]);
    baud = (unsigned)hodnota(argv[k], 6, 10);
    argv[k][0] = 0;
  }
  if (unsigned k = volba(argc, argv, 'p')) {
    port = (short)hodnota(argv[k], 4, 16);
    argv[k][0] = 0;
  }
  if (unsigned k = volba(argc, argv, 'i')) {
    irq = (signed char)(argv[k][1] - '0');
    argv[k][0] = 0;
  }
  if (unsigned k = volba(argc, argv, 'm')) {
    if (argv[k][1] >= '0' && argv[k][1] <= '4') {
      mode = (signed char)(argv[k][1] - '0');
      argv[k][0] = 0;
    }
  }
  if ((ramc = slovo(argc, argv, "ram"))) argv[ramc][0] = 0;
  if ((olds24 = slovo(argc, argv, "old"))) argv[olds24][0] = 0;
  if ((overit = slovo(argc, argv, "verify"))) argv[overit][0] = 0;

  vypis("Serial UART port:%3x irq:%x baud:%d mode:%x", port, irq, (int)baud, mode >> 2);
  if (zapni_UART(port, irq, (int)baud, mode)) {
    vypis("Wrong settings, can't initialize UART\n");
    odmitnuto(bvolba, (int)baud);
    finish(2);
  }
  vypis("\rSerial UART port:%3x irq:%x baud:%d mode:%x \n", comdrv_port, comdrv_irq, comdrv_baud,
         comdrv_mode >> 2);
  vypis("UART init O.K.\n");

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
  vypis("\nLoading completed with no errors.\n");
}
