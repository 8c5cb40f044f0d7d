// The run report (--report=FILE): what a run did, as one JSON line appended at its end.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "otisk.h"
#include "quarn.h"
#include "vyroba.h"

namespace {

// An image from its first data to its end record.
struct obraz_t {
  int krok = -1;  // its place among the steps; -1: none open
  std::string soubor;
  const char *format = "srec";
  otisk data;
  unsigned long bajty = 0, bloky = 0, opakovani = 0;      // opakovani: the run's count at its start
  std::vector<std::pair<unsigned, unsigned long>> useky;  // address ranges: first address, bytes
};

// A memory command under way.
struct pamet_t {
  bool bezi = false;
  std::string druh, soubor;
  int adr = 0, kolik = -1;
  otisk data;
  long long dat = -1;  // bytes of its file's data given to data, -1: none
};

struct stav_t {
  bool aktivni = false;
  std::string cil, zacatek, prikaz;
  std::string nastaveni = "\"port\":null,\"speed\":null,\"mode\":null";  // until the run has them
  std::vector<std::string> argumenty, kroky;
  bool ceka_prikaz = false;
  double cekani = -1;
  std::string identita, chyba;  // "null" until there is one, else a JSON string
  long long od_us = 0;
  const char *skript = "", *format = "srec";
  obraz_t obraz;
  pamet_t pamet;
};
stav_t S;

std::string text(const std::string &s) {
  std::string j;
  json_text(j, s.data(), s.size());
  return j;
}

std::string hex(otisk &s) {
  char h[65];
  otisk_hex(s, h);
  return std::string("\"") + h + "\"";
}

// The SHA-256 of a file as it now is: a raw file's bytes, or a hex dump's
// (the pairs after each line's address). "null" when it can't be read back,
// a pipe or a device among them.
std::string otisk_souboru(const std::string &soubor, int vypis) {
  std::error_code e;
  FILE *f = std::filesystem::is_regular_file(soubor, e) ? fopen(soubor.c_str(), "rb") : nullptr;
  if (!f) return "null";
  otisk s;
  otisk_zacni(s);
  char b[4096];
  if (!vypis)
    for (size_t n; (n = fread(b, 1, sizeof b, f)) > 0;) otisk_pridej(s, b, n);
  while (vypis && fgets(b, sizeof b, f))
    for (char *p = strchr(b, ':'); p && p[1] == ' ' && isxdigit((unsigned char)p[2]) && isxdigit((unsigned char)p[3]); p += 3) {
      unsigned char v = (unsigned char)strtol(std::string(p + 2, 2).c_str(), nullptr, 16);
      otisk_pridej(s, &v, 1);
    }
  bool chyba = ferror(f);
  fclose(f);
  return chyba ? "null" : hex(s);
}

std::string adresa(unsigned a) {
  char b[16];
  snprintf(b, sizeof b, "\"%06X\"", a);
  return b;
}

void obraz_zacni() {
  if (S.obraz.krok >= 0) return;
  S.obraz = obraz_t();
  S.obraz.krok = (int)S.kroky.size();
  S.kroky.push_back("");
  S.obraz.soubor = S.skript;
  S.obraz.format = S.format;
  S.obraz.opakovani = opakovani;
  otisk_zacni(S.obraz.data);
}

void usek(unsigned a, unsigned long n) {
  auto &u = S.obraz.useky;
  if (!u.empty() && u.back().first + u.back().second == a)
    u.back().second += n;
  else
    u.push_back({a, n});
  S.obraz.bajty += n;
}

// `p`: the exit code when the run ended with the image open, else -1. A
// verify pass that failed ended the run with 10.
void obraz_zavri(int p) {
  obraz_t &b = S.obraz;
  const char *over = !overit || (p > 0 && p != 10) ? "null" : p == 10 ? "\"failed\"" : "\"ok\"";
  std::string r;
  for (auto &u : b.useky) r += (r.empty() ? "" : ",") + std::string("{\"address\":") + adresa(u.first) + ",\"bytes\":" + std::to_string(u.second) + "}";
  S.kroky[b.krok] = "{\"image\":" + text(b.soubor) + ",\"format\":\"" + b.format + "\",\"sha256\":" + otisk_souboru(b.soubor, 0) +
                    ",\"data_sha256\":" + hex(b.data) + ",\"bytes\":" + std::to_string(b.bajty) + ",\"ranges\":[" + r +
                    "],\"blocks\":" + std::to_string(b.bloky) + ",\"retries\":" + std::to_string(opakovani - b.opakovani) +
                    ",\"verify\":" + over + ",\"complete\":" + (p < 0 ? "true" : "false") + "}";
  b.krok = -1;
}

void pamet_zavri(int ok) {
  pamet_t &m = S.pamet;
  std::string sha = !ok ? "null" : m.dat >= 0 ? hex(m.data) : otisk_souboru(m.soubor, m.druh == "hexget");
  S.kroky.push_back("{\"memory\":" + text(m.druh) + ",\"file\":" + text(m.soubor) + ",\"address\":" + adresa((unsigned)m.adr) +
                    ",\"bytes\":" + std::to_string(m.dat >= 0 ? m.dat : m.kolik) + ",\"sha256\":" + sha +
                    ",\"result\":" + (ok ? "\"ok\"" : "\"failed\"") + "}");
  m.bezi = false;
}

void prikaz_zavri(const std::string &odpoved) {
  S.kroky.push_back("{\"command\":" + text(S.prikaz) + ",\"answer\":" + odpoved + "}");
  S.ceka_prikaz = false;
}

}  // namespace

// Length of the valid UTF-8 sequence of 2 to 4 bytes at b, 0 when there is
// none: no overlong forms, no surrogates, nothing above U+10FFFF.
static size_t utf8(const unsigned char *b, size_t n) {
  size_t k = b[0] >= 0xF0 ? 4 : b[0] >= 0xE0 ? 3 : b[0] >= 0xC0 ? 2 : 0;
  if (!k || k > n) return 0;
  unsigned v = b[0] & (0x7F >> k);
  for (size_t i = 1; i < k; i++) {
    if ((b[i] & 0xC0) != 0x80) return 0;
    v = v << 6 | (b[i] & 0x3F);
  }
  static const unsigned nejmene[] = {0, 0, 0x80, 0x800, 0x10000};
  return v < nejmene[k] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF) ? 0 : k;
}

void json_text(std::string &j, const char *s, size_t n) {
  const unsigned char *b = (const unsigned char *)s;
  j += '"';
  for (size_t i = 0, k; i < n; i += k) {
    unsigned c = b[i];
    char e[8] = "";
    k = c < 0x80 ? 1 : utf8(b + i, n - i);
    if (!k) {
      snprintf(e, sizeof e, "\\udc%02x", c);
      k = 1;
    } else if (c == '"' || c == '\\') {
      snprintf(e, sizeof e, "\\%c", c);
    } else if (c < 0x20 || c == 0x7F) {
      snprintf(e, sizeof e, c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : "\\u%04x", c);
    }
    if (e[0])
      j += e;
    else
      j.append(s + i, k);
  }
  j += '"';
}

void protokol_zacni(const char *soubor, const std::vector<std::string> &argumenty) {
  S = stav_t();
  if (!soubor) return;
  if (const char *proc = protokol_otevri(soubor)) {
    vypis("Error: Can't open the report file %s: %s.\n", soubor, proc);
    finish(3);
  }
  S.aktivni = true;
  S.cil = soubor;
  S.argumenty = argumenty;
  S.od_us = hodiny_us();
  S.identita = S.chyba = "null";
  time_t t = time(nullptr);
  char b[32] = "";
  if (const tm *u = gmtime(&t)) strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", u);
  S.zacatek = b;
}

void protokol_port(const char *zarizeni, int baud, int mode) {
  S.nastaveni = "\"port\":" + text(zarizeni) + ",\"speed\":" + std::to_string(baud) + ",\"mode\":" + std::to_string(mode);
}

void protokol_cekani(double sekund) { S.cekani = sekund; }

void protokol_identita(const char *odpoved) { S.identita = text(odpoved); }

const char *protokol_skript(const char *soubor) {
  const char *driv = S.skript;
  S.skript = soubor;
  S.format = "srec";
  return driv;
}

void protokol_format(const char *format) { S.format = format; }

void protokol_prikaz(const char *prikaz) {
  if (!S.aktivni) return;
  size_t n = strlen(prikaz);
  S.prikaz.assign(prikaz, n && prikaz[n - 1] == '\n' ? n - 1 : n);
  S.ceka_prikaz = true;
}

void protokol_odpoved(const char *odpoved) {
  // A '~' command's answer is not looked at.
  if (S.aktivni && S.ceka_prikaz) prikaz_zavri(S.prikaz[0] == '~' ? "null" : text(odpoved));
}

void protokol_blok() {
  if (!S.aktivni) return;
  obraz_zacni();
  S.obraz.bloky++;
  for (unsigned i = 0; i < 128; i++)
    if (binmask[i >> 3] >> (i & 7) & 1) {
      usek(binadr + i, 1);
      otisk_pridej(S.obraz.data, binbuf + i, 1);
    }
}

void protokol_zaznam(const char *zaznam, int adr) {
  if (!S.aktivni) return;
  obraz_zacni();
  unsigned a = 0;
  for (int i = 0; i < adr; i++) a = a << 8 | gethb(zaznam + 4 + 2 * i);
  int n = (int)gethb(zaznam + 2) - adr - 1;
  for (int i = 0; i < n; i++) {
    unsigned char v = (unsigned char)gethb(zaznam + 4 + 2 * (adr + i));
    otisk_pridej(S.obraz.data, &v, 1);
  }
  if (n > 0) usek(a, (unsigned long)n);
}

void protokol_obraz() {
  if (!S.aktivni) return;
  obraz_zacni();
  obraz_zavri(-1);
}

void protokol_pamet(const char *prikaz, int adr, int kolik, const char *soubor) {
  if (!S.aktivni) return;
  S.pamet = pamet_t();
  S.pamet.bezi = true;
  S.pamet.druh.assign(prikaz + 1, 6);
  S.pamet.adr = adr;
  S.pamet.kolik = kolik;
  S.pamet.soubor = soubor;
}

void protokol_data(const unsigned char *b, size_t n) {
  if (!S.aktivni || !S.pamet.bezi) return;
  otisk_zacni(S.pamet.data);
  otisk_pridej(S.pamet.data, b, n);
  S.pamet.dat = (long long)n;
}

void protokol_hotovo() {
  if (S.aktivni && S.pamet.bezi) pamet_zavri(1);
}

void protokol_vypis(const char *t) {
  if (!S.aktivni || S.chyba != "null") return;
  t += strspn(t, "\r\n");
  if (!zacina(t, "Error:") && !zacina(t, "Bad format") && !zacina(t, "Target didn't respond")) return;
  size_t n = strlen(t);
  while (n && strchr("\r\n ", t[n - 1])) n--;
  S.chyba = text(std::string(t, n));
}

int protokol_konec(int p) {
  if (!S.aktivni) return p;
  S.aktivni = false;
  // What the run ended in the middle of.
  if (S.obraz.krok >= 0) obraz_zavri(p);
  if (S.pamet.bezi) pamet_zavri(0);
  if (S.ceka_prikaz) prikaz_zavri("null");
  std::string a, k;
  for (auto &s : S.argumenty) a += (a.empty() ? "" : ",") + text(s);
  for (auto &s : S.kroky) k += (k.empty() ? "" : ",") + s;
  char c[64];
  snprintf(c, sizeof c, "%.3f", S.cekani);
  std::string cekani = S.cekani < 0 ? "null" : c;
  snprintf(c, sizeof c, "%.3f", (hodiny_us() - S.od_us) / 1e6);
  std::string r = "{\"report\":1,\"start\":" + text(S.zacatek) + ",\"version\":\"" QUARN_VERSION "\",\"host\":" + text(pocitac()) + "," +
                  S.nastaveni + ",\"arguments\":[" + a + "],\"wait\":" + cekani + ",\"identity\":" + S.identita +
                  ",\"steps\":[" + k + "],\"exit\":" + std::to_string(p) + ",\"error\":" + (p ? S.chyba : "null") +
                  ",\"seconds\":" + c + ",\"summary\":{\"loaded\":" + std::to_string(nahrano) + ",\"read\":" +
                  std::to_string(precteno) + ",\"verified\":" + std::to_string(overeno) + ",\"retries\":" +
                  std::to_string(opakovani) + "}}\n";
  if (protokol_pripis(r.data(), r.size())) {
    vypis("Error: Can't write to the report file %s.\n", S.cil.c_str());
    if (!p) p = 3;
  }
  return p;
}
