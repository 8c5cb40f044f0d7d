// Images straight from a toolchain: Intel HEX and ELF files, judged by content and checked whole.
#include "obrazy.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <vector>

static const uint64_t ADRLIM = 0x1000000;  // one past the last 24-bit address
static const size_t NEJDELSI = 1 + 2 * (255 + 5);     // the longest Intel HEX record

// The first reason an image is refused; a later one is not looked for.
static void vadne(vada &v, unsigned radek, const std::string &r, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
static void vadne(vada &v, unsigned radek, const std::string &r, const char *fmt, ...) {
  if (!v.proc.empty()) return;
  char t[160];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(t, sizeof t, fmt, ap);
  va_end(ap);
  v.proc = t;
  v.radek = radek;
  v.zaznam = r;
}

// Puts n bytes at adr. An ELF's segments (`jednou`) may overlap only with
// the same bytes: the first address where they differ, or -1.
static long long uloz(obraz_souboru &o, unsigned adr, const unsigned char *d, size_t n, int jednou) {
  for (size_t i = 0; i < n;) {
    kus_obrazu &k = o.kusy[(unsigned)(adr + i) & ~0x7Fu];
    for (unsigned j = (unsigned)(adr + i) & 0x7F; j < 128 && i < n; j++, i++) {
      unsigned char bit = (unsigned char)(1 << (j & 7));
      if (!(k.maska[j >> 3] & bit))
        o.bajtu++;
      else if (jednou && k.data[j] != d[i])
        return (long long)adr + (long long)i;
      k.maska[j >> 3] |= bit;
      k.data[j] = d[i];
    }
  }
  return -1;
}

// ---------------------------------------------------------------- Intel HEX

struct hexstav {
  unsigned radek = 0;        // the line last read
  uint64_t zaklad = 0;       // from a type 02 or 04 record
  int segment = 0;           // the base is a segment's: offsets wrap at 64 KiB
  unsigned konec = 0;        // line of the end-of-file record
  unsigned posledni = 0;     // line of the last record, and its text
  std::string text;
};

static int hexcislo(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A well-formed record: ':', hex digits only, its count byte matching its
// length. Its bytes go to b; their number, or -1.
static int tvar(const std::string &r, unsigned char *b) {
  if (r.size() < 11 || r.size() > NEJDELSI || r[0] != ':' || r.size() % 2 == 0) return -1;
  size_t n = (r.size() - 1) / 2;
  for (size_t k = 0; k < n; k++) {
    int h = hexcislo(r[1 + 2 * k]), l = hexcislo(r[2 + 2 * k]);
    if (h < 0 || l < 0) return -1;
    b[k] = (unsigned char)(h << 4 | l);
  }
  return b[0] + 5u == n ? (int)n : -1;
}

// Why a line is no record: of one that looks like it, its count.
static std::string nezaznam(const std::string &r) {
  size_t k = 1;
  while (k < r.size() && hexcislo(r[k]) >= 0) k++;
  if (r[0] != ':' || k < r.size() || k < 3) return "not an Intel HEX record";
  char t[80];
  unsigned pocet = (unsigned)(hexcislo(r[1]) << 4 | hexcislo(r[2]));
  snprintf(t, sizeof t, "count %02X wants %u digits after it, the record holds %u", pocet, 2 * pocet + 8,
           (unsigned)r.size() - 3);
  return t;
}

// One well-formed record of n bytes: checked, then taken.
static void hexzaznam(hexstav &h, const unsigned char *b, int n, obraz_souboru &o, vada &v, const std::string &r) {
  static const int delky[] = {-1, 0, 2, 4, 2, 4};  // data bytes each type wants; 00 any
  h.posledni = h.radek;
  h.text = r;
  unsigned soucet = 0, typ = b[3], pocet = b[0], ofs = b[1] << 8 | b[2];
  for (int k = 0; k < n - 1; k++) soucet += b[k];
  if (h.konec) vadne(v, h.radek, r, "a record after the end-of-file record of line %u", h.konec);
  if (b[n - 1] != (-soucet & 0xFF))
    vadne(v, h.radek, r, "checksum %02X, the bytes give %02X", b[n - 1], -soucet & 0xFF);
  if (typ > 5) vadne(v, h.radek, r, "unknown record type %02X", typ);
  if (typ && typ <= 5 && (int)pocet != delky[typ])
    vadne(v, h.radek, r, "type %02X wants %d data bytes, the record has %u", typ, delky[typ], pocet);
  if (!v.proc.empty()) return;
  unsigned hodnota = 0;
  for (unsigned k = 0; k < pocet && k < 4; k++) hodnota = hodnota << 8 | b[4 + k];
  if (typ == 0) {
    // Within a segment the offsets wrap at 64 KiB: the data then go on at its start.
    unsigned prvni = h.segment && ofs + pocet > 0x10000 ? 0x10000 - ofs : pocet;
    uint64_t kam[2] = {h.zaklad + ofs, h.zaklad};
    unsigned kolik[2] = {prvni, pocet - prvni};
    for (int k = 0; k < 2; k++)
      if (kolik[k] && kam[k] + kolik[k] > ADRLIM)
        return vadne(v, h.radek, r, "data at %" PRIX64 ", above FFFFFF", kam[k] + kolik[k] - 1);
    for (int k = 0; k < 2; k++) uloz(o, (unsigned)kam[k], b + 4 + (k ? prvni : 0), kolik[k], 0);
  } else if (typ == 1) {
    h.konec = h.radek;
  } else if (typ == 2 || typ == 4) {
    h.segment = typ == 2;
    h.zaklad = (uint64_t)hodnota << (typ == 2 ? 4 : 16);
  } else {
    unsigned start = typ == 3 ? (hodnota >> 16 << 4) + (hodnota & 0xFFFF) : hodnota;
    if (start >= ADRLIM) return vadne(v, h.radek, r, "start address %X, above FFFFFF", start);
    o.start = start;
    o.se_startem = true;
  }
}

// Reads the file as Intel HEX, line by line, from the bytes in `pred` on.
// 1 when it is: read whole, or refused in v. 0 when a line that isn't
// blank is no record (in a file that can seek, any line; from a pipe, its
// first, all it has read then in `pred`). -1 when reading failed.
static int hex(FILE *f, int seek, obraz_souboru &o, vada &v, std::string &pred) {
  hexstav h;
  int hromadit = !seek;  // a pipe's bytes are kept until it is judged
  size_t i = 0;
  auto dej = [&]() -> int {
    if (i < pred.size()) return (unsigned char)pred[i++];
    int c = getc(f);
    if (c != EOF && hromadit) pred += (char)c, i++;
    return c;
  };
  // Lines end in LF, CR LF or CR; the first 0x1A ends the file. A line is
  // judged before anything after it is read: a pipe may wait for its effect.
  for (int c = dej(); c != EOF && c != 0x1A;) {
    std::string r;
    for (; c != EOF && c != 0x1A && c != '\n' && c != '\r' && r.size() <= NEJDELSI + 3; c = dej()) r += (char)c;
    if (!h.radek++ && !r.compare(0, 3, "\xEF\xBB\xBF")) r.erase(0, 3);  // a UTF-8 byte-order mark
    while (!r.empty() && (r.back() == ' ' || r.back() == '\t')) r.pop_back();
    if (!r.empty()) {
      unsigned char b[NEJDELSI / 2];
      int n = tvar(r, b);
      if (n < 0 && (seek || !h.posledni)) return ferror(f) ? -1 : 0;
      if (n < 0) return vadne(v, h.radek, r, "%s", nezaznam(r).c_str()), 1;
      hromadit = 0;
      hexzaznam(h, b, n, o, v, r);
      if (!seek && !v.proc.empty()) return 1;
    }
    int konec = c;
    if (konec == '\r' || konec == '\n') c = dej();
    if (konec == '\r' && c == '\n') c = dej();
  }
  if (ferror(f)) return -1;
  if (!h.posledni) return 0;
  if (!h.konec) vadne(v, h.posledni, h.text, "no end-of-file record (type 01): the file ends after this one");
  if (!o.bajtu) vadne(v, 0, "", "no data to load");
  return 1;
}

// ---------------------------------------------------------------------- ELF

// An n-byte field in the file's byte order.
static uint64_t pole(const unsigned char *p, int n, int be) {
  uint64_t x = 0;
  for (int k = 0; k < n; k++) x |= (uint64_t)p[be ? n - 1 - k : k] << (8 * k);
  return x;
}

// Every PT_LOAD segment's file bytes at its physical address; the entry
// address starts the image.
static void elf(const std::vector<unsigned char> &d, obraz_souboru &o, vada &v) {
  size_t n = d.size();
  int trida = n > 5 ? d[4] : 0, be = n > 5 && d[5] == 2;
  if (n > 5 && (trida < 1 || trida > 2 || d[5] < 1 || d[5] > 2))
    return vadne(v, 0, "", "ELF class %u, byte order %u: neither 32- nor 64-bit of either byte order", d[4], d[5]);
  int w = trida == 2 ? 8 : 4;                        // an address's bytes
  size_t hlavicka = trida == 2 ? 64 : 52, zaznam = trida == 2 ? 56 : 32;
  if (n < hlavicka)
    return vadne(v, 0, "", "truncated ELF file: its header wants %u bytes, the file has %u", (unsigned)hlavicka,
                 (unsigned)n);
  uint64_t vstup = pole(&d[24], w, be), phoff = pole(&d[24 + w], w, be);
  size_t za = 24 + 3 * w + 4 + 2;                    // e_phentsize, then e_phnum
  unsigned velikost = (unsigned)pole(&d[za], 2, be), pocet = (unsigned)pole(&d[za + 2], 2, be);
  if (pocet && velikost < zaznam)
    return vadne(v, 0, "", "program headers of %u bytes, %u wanted", velikost, (unsigned)zaznam);
  if (phoff > n || (uint64_t)pocet * velikost > n - phoff)
    return vadne(v, 0, "", "truncated ELF file: its program headers (%u) run past its end", pocet);
  for (unsigned k = 0; k < pocet; k++) {
    const unsigned char *p = &d[phoff + (uint64_t)k * velikost];
    if (pole(p, 4, be) != 1) continue;  // PT_LOAD
    const unsigned char *q = trida == 2 ? p + 8 : p + 4;
    uint64_t ofs = pole(q, w, be), adr = pole(q + 2 * w, w, be), soub = pole(q + 3 * w, w, be),
             pam = pole(q + 4 * w, w, be);
    if (!soub) continue;
    if (soub > pam)
      return vadne(v, 0, "", "segment %u holds more file bytes (%" PRIu64 ") than memory bytes (%" PRIu64 ")",
                   k, soub, pam);
    if (ofs > n || soub > n - ofs)
      return vadne(v, 0, "", "segment %u (file bytes 0x%" PRIX64 " to 0x%" PRIX64 ") runs past the file's end"
                   " (0x%X bytes)", k, ofs, ofs + soub - 1, (unsigned)n);
    if (adr >= ADRLIM || soub > ADRLIM - adr)
      return vadne(v, 0, "", "segment %u (%" PRIX64 " to %" PRIX64 ") above FFFFFF", k, adr, adr + soub - 1);
    long long jinak = uloz(o, (unsigned)adr, &d[ofs], soub, 1);
    if (jinak >= 0)
      return vadne(v, 0, "", "segment %u overlaps another with different bytes at %06X", k, (unsigned)jinak);
  }
  if (!o.bajtu) return vadne(v, 0, "", "no segment with bytes to load");
  if (vstup >= ADRLIM) return vadne(v, 0, "", "entry address %" PRIX64 ", above FFFFFF", vstup);
  o.start = (unsigned)vstup;
  o.se_startem = true;
}

// ------------------------------------------------------------------ judging

int posud(FILE *f, obraz_souboru &o, vada &v, std::string &precteno) {
  int seek = !fseek(f, 0, SEEK_END) && ftell(f) >= 0 && !fseek(f, 0, SEEK_SET);
  if (!seek) clearerr(f);
  precteno.clear();
  // Only what may begin an ELF file is read on: a pipe's script may wait.
  for (int c; precteno.size() < 4 && (precteno.empty() || precteno[0] == 0x7F) && (c = getc(f)) != EOF;)
    precteno += (char)c;
  if (ferror(f)) return -1;
  int druh = 2;
  if (precteno == std::string("\x7F" "ELF", 4)) {
    std::vector<unsigned char> d(precteno.begin(), precteno.end());
    unsigned char b[4096];
    for (size_t n; (n = fread(b, 1, sizeof b, f)) > 0;) d.insert(d.end(), b, b + n);
    if (ferror(f)) return -1;
    elf(d, o, v);
  } else if ((druh = hex(f, seek, o, v, precteno)) <= 0) {
    if (druh == 0 && seek) precteno.clear();
    return druh < 0 || (seek && fseek(f, 0, SEEK_SET)) ? -1 : 0;
  }
  if (!o.se_startem && !o.kusy.empty()) {
    auto &k = *o.kusy.begin();
    unsigned j = 0;
    while (!(k.second.maska[j >> 3] >> (j & 7) & 1)) j++;
    o.start = k.first + j;
  }
  return druh;
}

// ------------------------------------------------------------------ records

// An S-record of type `typ` carrying n bytes from adr, with its line end.
static void srec(char *r, size_t m, char typ, unsigned adr, const unsigned char *d, unsigned n) {
  unsigned soucet = n + 4 + (adr >> 16 & 0xFF) + (adr >> 8 & 0xFF) + (adr & 0xFF);
  int w = snprintf(r, m, "S%c%02X%06X", typ, n + 4, adr);
  for (unsigned k = 0; k < n; k++, w += 2) {
    snprintf(r + w, m - (size_t)w, "%02X", d[k]);
    soucet += d[k];
  }
  snprintf(r + w, m - (size_t)w, "%02X\n", ~soucet & 0xFF);
}

void zaznamy_obrazu(const obraz_souboru &o, const std::function<void(const char *)> &f) {
  char r[2 * 64 + 16];
  for (auto &k : o.kusy) {
    auto plny = [&](unsigned j) { return k.second.maska[j >> 3] >> (j & 7) & 1; };
    for (unsigned j = 0; j < 128;) {
      if (!plny(j)) {
        j++;
        continue;
      }
      unsigned od = j;
      do j++;
      while (j < 128 && j % 64 && plny(j));
      srec(r, sizeof r, '2', k.first + od, k.second.data + od, j - od);
      f(r);
    }
  }
  srec(r, sizeof r, '8', o.start, nullptr, 0);
  f(r);
}
