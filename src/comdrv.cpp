// What every platform layer shares of an exchange: finding the answer frame
// in what the line brings, and pairing answers with requests.
//
// The board answers each request once, in order. Every whole, correct frame
// pays for one request sent; a frame that nobody is owed (a second answer,
// or one whose debt was given up) means the pairing can no longer be
// trusted, and the loader stops. An answer that missed its window may still
// come: before a different request goes out, the answers owed are awaited
// until the line has been quiet long enough that they cannot be coming.
#include "comdrv.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int comdrv_nesparovano, comdrv_poskozeno, comdrv_ozvena, comdrv_opakovani, comdrv_jednou;
char comdrv_porucha_text[256];
char comdrv_odmitnuti[256];

static const long long MS = 1000;
static const long long OKNO = COMDRV_WINDOW_MS * MS;
static const long long PAUZA = COMDRV_PAUSE_MS * MS;
static const long long TICHO = COMDRV_QUIET_MS * MS;
static const long long DOBEH = 20 * MS;       // a frame still coming has ended when quiet this long
                                              // (longer than a USB adapter's 16 ms latency timer)
static const long long POHLED = 50 * MS;      // the run's last look: a prompt answer arrives within it
static const long long NEJDELE = 5 * TICHO;   // no wait on a chattering line lasts longer

static unsigned char proud[1024];  // bytes taken that are not yet part of a counted frame
static int nproud;
static unsigned char okno[256];    // the window's first bytes, shown when no answer came
static int nokno;
static int dluh;                   // answers owed
static int odeslano;               // requests sent in this run
static bool odepsano;              // an owed answer was given up in this run
static bool odpoved;               // the open window has its answer in comdrv_rbuf
static long long posledni;         // the last byte on the line, either way
static long long okno_od = -1;     // when the open window began; -1: none open
static long long cekani_od;        // when the wait before a request began
static long long pohled_od = -1;   // when the run's last look began; -1: not yet
static unsigned char minuly[256];  // the last request, to tell its echo
static int nminuly;
static int jiny;                   // this request is no retry of the last one
static int jednou;                 // the last request went out to be sent once
static int nozvena;                // bytes of the open window that were echoes
static long long nejpomalejsi;     // the slowest answer of the run, from its request
static bool odpustit;              // the wait for a board is over (comdrv_odpust)

bool comdrv_rychlost(int baud) {
  static const int povolene[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
  for (int b : povolene)
    if (b == baud) return true;
  return false;
}

bool comdrv_nastaveni(short port, int baud) {
  comdrv_odmitnuti[0] = 0;
  if (!comdrv_rychlost(baud))
    snprintf(comdrv_odmitnuti, sizeof comdrv_odmitnuti,
             "Speed %d is not one Quarn takes: 2400, 4800, 9600, 19200, 38400, 57600 or 115200", baud);
  else if (port != 0x3F8 && port != 0x2F8)
    snprintf(comdrv_odmitnuti, sizeof comdrv_odmitnuti,
             "Port %x is not one Quarn takes: p3f8 (COM1) or p2f8 (COM2)", (unsigned short)port);
  return !comdrv_odmitnuti[0];
}

const char *comdrv_promenna(short port) { return port == 0x2F8 ? "QUARN_COM2" : "QUARN_COM1"; }

int comdrv_poradi(const char *a, const char *b) {
  while (*a && *a == *b && !isdigit((unsigned char)*a)) a++, b++;
  if (!isdigit((unsigned char)*a) || !isdigit((unsigned char)*b)) return (unsigned char)*a - (unsigned char)*b;
  // Numbers by their value, then by their length (leading zeros).
  char *ka, *kb;
  unsigned long x = strtoul(a, &ka, 10), y = strtoul(b, &kb, 10);
  if (x != y) return x < y ? -1 : 1;
  if (ka - a != kb - b) return (int)(ka - a) - (int)(kb - b);
  return comdrv_poradi(ka, kb);
}

bool comdrv_frame(const char *tel, int delka, unsigned char *tx) {
  if (delka < 6 || delka > 256) return false;
  for (int i = 0; i < 256; i++) tx[i] = (unsigned char)tel[i];
  tx[1] = tx[2] = (unsigned char)(delka - 6);
  tx[delka - 1] = 0x16;
  unsigned char sum = 0;
  for (int i = 4; i <= delka - 3; i++) sum = (unsigned char)(sum + tx[i]);
  tx[delka - 2] = sum;
  return true;
}

// The first whole, correct frame in b: 68 L L 68, L bytes, their sum, 16,
// L at most 250 so that it fits the receive buffer. Its length, or 0.
static int najdi(const unsigned char *b, int n, int *kde) {
  for (int i = 0; i + 6 <= n; i++) {
    int l = b[i + 1];
    if (b[i] != 0x68 || b[i + 2] != l || b[i + 3] != 0x68 || l > 250 || i + l + 6 > n ||
        b[i + 5 + l] != 0x16)
      continue;
    unsigned char sum = 0;
    for (int k = 0; k < l; k++) sum = (unsigned char)(sum + b[i + 4 + k]);
    if (sum != b[i + 4 + l]) continue;
    *kde = i;
    return l + 6;
  }
  return 0;
}


// Until t, but no longer than a wait that began at cekani_od may last;
// 0 once that time has come.
static long long do_(long long t, long long nyni) {
  if (t > cekani_od + NEJDELE) t = cekani_od + NEJDELE;
  return nyni < t ? t : 0;
}

void comdrv_otevreno(long long nyni) {
  nproud = nokno = dluh = odeslano = nminuly = nozvena = jednou = 0;
  odepsano = odpoved = false;
  comdrv_nesparovano = comdrv_poskozeno = comdrv_ozvena = 0;
  comdrv_porucha_text[0] = 0;
  nejpomalejsi = 0;
  odpustit = false;
  posledni = nyni;
  okno_od = pohled_od = -1;
}

void comdrv_porucha(const char *zarizeni, const char *duvod, int pri_zapisu) {
  // A '~' request may restart the board, and its USB port with it.
  if (comdrv_porucha_text[0] || (jednou && !pri_zapisu)) return;
  snprintf(comdrv_porucha_text, sizeof comdrv_porucha_text, "%s: %s", zarizeni, duvod);
}

bool comdrv_zacni(const char *tel, int delka, unsigned char *tx, long long nyni) {
  memset(comdrv_rbuf, 0, sizeof comdrv_rbuf);
  txrxok = comdrv_ozvena = 0;
  if (comdrv_nesparovano || comdrv_porucha_text[0] || !comdrv_frame(tel, delka, tx)) return false;
  jiny = !comdrv_opakovani;
  memcpy(minuly, tx, delka);
  nminuly = delka;
  cekani_od = nyni;
  return true;
}

long long comdrv_pred(long long nyni) {
  if (comdrv_porucha_text[0]) return 0;
  // A different request must not meet an answer owed to an earlier one; a
  // retry may take any answer to its own request.
  if (jiny && dluh > 0) {
    if (long long t = do_(posledni + TICHO, nyni)) return t;
    dluh = 0;
    odepsano = true;
  }
  // Never read another answer's tail: let it finish or the line go quiet.
  // The same before the run's first request: what a USB adapter still held
  // of an earlier run comes within its latency timer of the port opening,
  // past the flush. A line that never goes quiet (a debug log, a wrong
  // speed) gets no more than one answer window of it.
  if (nproud > 0 || !odeslano) {
    long long t = posledni + DOBEH < cekani_od + OKNO ? posledni + DOBEH : cekani_od + OKNO;
    if ((t = do_(t, nyni))) return t;
    nproud = 0;
  }
  return do_(posledni + PAUZA, nyni);
}

void comdrv_odeslano(long long nyni) {
  dluh++;
  odeslano++;
  jednou = comdrv_jednou;
  posledni = okno_od = nyni;
}

long long comdrv_okno(long long nyni) {
  if (okno_od < 0 || odpoved || comdrv_porucha_text[0] || nyni >= okno_od + OKNO) return 0;
  return okno_od + OKNO;
}

void comdrv_prijato(const unsigned char *b, int n, long long nyni) {
  posledni = nyni;
  // Before the first request of the run nothing can be an answer of ours.
  if (!odeslano) return;
  bool v_okne = okno_od >= 0 && !odpoved;
  for (int i = 0; v_okne && i < n && nokno < (int)sizeof okno; i++) okno[nokno++] = b[i];
  while (n > 0) {
    // A frame is at most 256 bytes: the oldest bytes of a full store are noise.
    int k = (int)sizeof proud - nproud;
    if (k == 0) {
      memmove(proud, proud + 256, nproud - 256);
      nproud -= 256;
      continue;
    }
    if (k > n) k = n;
    memcpy(proud + nproud, b, k);
    nproud += k;
    b += k;
    n -= k;
    int kde, delka;
    while ((delka = najdi(proud, nproud, &kde))) {
      if (delka == nminuly && !memcmp(proud + kde, minuly, delka)) {
        // Our own request coming back: no answer, and nobody's.
        if (v_okne) comdrv_ozvena = 1, nozvena += delka;
      } else {
        if (okno_od >= 0 && !odpoved) {
          memcpy(comdrv_rbuf, proud + kde, delka);
          odpoved = true;
          nejpomalejsi = std::max(nejpomalejsi, nyni - okno_od);
        }
        if (dluh > 0)
          dluh--;
        else
          comdrv_nesparovano++;
      }
      nproud -= kde + delka;
      memmove(proud, proud + kde + delka, nproud);
    }
  }
}

int comdrv_chybi() {
  if (okno_od < 0 || odpoved || nokno < 2 || okno[0] != 0x68) return 0;
  int chybi = okno[1] + 6 - nokno;
  return chybi > 0 ? chybi : 0;
}

void comdrv_zavri() {
  txrxok = odpoved;
  if (odpoved) {
    comdrv_rbuf[5 + comdrv_rbuf[1]] = 0;
  } else {
    // No answer: the buffer shows what came, as the line brought it.
    memcpy(comdrv_rbuf, okno, nokno);
  }
  comdrv_poskozeno = !odpoved && nokno > nozvena;
  okno_od = -1;
  nokno = nozvena = 0;
  odpoved = false;
}

void comdrv_odpust() { odpustit = true; }

long long comdrv_dozvuk(long long nyni) {
  if (comdrv_porucha_text[0]) return 0;
  // Answers still on their way come at the pace the requests went, a
  // window and a pause apart (and a slow line's request time): two windows
  // of quiet line mean none is coming.
  if (odpustit) return dluh > 0 ? do_(posledni + 2 * OKNO, nyni) : 0;
  if (pohled_od < 0) cekani_od = pohled_od = nyni;
  // A surplus answer comes as late as the slowest answer of the run came.
  long long t = pohled_od + std::max(POHLED, std::min(nejpomalejsi + DOBEH, OKNO));
  if (nproud > 0) t = std::max(t, posledni + DOBEH);
  // An answer given up may still come late: only a quiet line proves it won't.
  if (odepsano) t = std::max(t, posledni + TICHO);
  t = do_(t, nyni);
  if (!t) pohled_od = -1;  // the next look, later in the run, starts afresh
  return t;
}
