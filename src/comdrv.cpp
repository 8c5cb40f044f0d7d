// Answers owed, kept the same way by both platform layers. A board answers
// each request once and in order, so an answer that missed its window may
// still come, late, and it must not be taken for the answer to a later,
// different request. One that has not come within twice its window is
// taken as lost.
#include <cstring>

#include "comdrv.h"

static const long long DOZVUK_US = 2LL * COMDRV_WINDOW_MS * 1000;
static int dluh;                   // requests whose answers have not come
static long long dluh_do;          // when the last of them is taken as lost
static unsigned char minuly[256];  // the last request, to tell a retry
static int nminuly;
static unsigned char zbytky[512];  // bytes outside a window, not yet framed
static int nzbytky;

// A whole answer frame at b (n bytes there): 68 L L 68, user data, sum, 16.
static int ramec(const unsigned char *b, int n) {
  return n >= 6 && b[0] == 0x68 && b[3] == 0x68 && b[1] == b[2] && b[1] <= 250 &&
         n >= b[1] + 6 && b[5 + b[1]] == 0x16;
}

// Counts the whole frames at the front of zbytky and drops them and any
// byte that cannot begin one; keeps a frame that is still coming.
static int ramce() {
  int pocet = 0, i = 0;
  while (i < nzbytky) {
    int n = nzbytky - i;
    const unsigned char *b = zbytky + i;
    bool muze = b[0] == 0x68 && (n < 2 || b[1] <= 250) && (n < 3 || b[2] == b[1]) &&
                (n < 4 || b[3] == 0x68);
    if (muze && (n < 6 || n < b[1] + 6)) break;
    if (muze && ramec(b, n)) {
      pocet++;
      i += b[1] + 6;
    } else {
      i++;
    }
  }
  memmove(zbytky, zbytky + i, nzbytky - i);
  nzbytky -= i;
  return pocet;
}

int comdrv_jiny(const unsigned char *tx, int delka) {
  return delka != nminuly || memcmp(tx, minuly, delka);
}

void comdrv_zbytky(const unsigned char *b, int n) {
  while (n > 0) {
    int k = (int)sizeof zbytky - nzbytky;
    if (k > n) k = n;
    memcpy(zbytky + nzbytky, b, k);
    nzbytky += k;
    b += k;
    n -= k;
    dluh -= ramce();
  }
  if (dluh < 0) dluh = 0;
}

long long comdrv_dluzno(long long nyni_us) {
  if (dluh > 0 && nyni_us < dluh_do) return dluh_do - nyni_us;
  dluh = 0;
  return 0;
}

void comdrv_odeslano(const unsigned char *tx, int delka) {
  memcpy(minuly, tx, delka);
  nminuly = delka;
  dluh++;
}

void comdrv_okno(const unsigned char *rb, int prijato, long long start_us) {
  nzbytky = 0;
  comdrv_zbytky(rb, prijato);
  if (dluh > 0 && dluh_do < start_us + DOZVUK_US) dluh_do = start_us + DOZVUK_US;
}
