// The Windows layer's decisions that need no Windows (see winpravidla.h).
#include "winpravidla.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comdrv.h"

void win_port(const char *zadano, char *jmeno, int n) {
  const char *z = zadano + strspn(zadano, " \t\"");
  size_t d = strlen(z);
  while (d && strchr(" \t\":", z[d - 1])) d--;
  snprintf(jmeno, (size_t)n, "%.*s", (int)d, z);
}

const char *win_odmitnuti(unsigned long chyba) {
  // 5 access denied, 32 sharing violation; 2 and 3: file or path not found.
  if (chyba == 5 || chyba == 32) return "in use (locked by another program)";
  if (chyba == 2 || chyba == 3) return "no such port (see --ports)";
  return nullptr;
}

int win_odpojeno(unsigned long chyba) {
  // Access denied, bad command, general failure, no such device, aborted,
  // device not connected, file not found: what the common drivers of USB
  // adapters answer once theirs is gone; a broken pipe: a terminal that
  // hung up, under Wine.
  static const unsigned long pryc[] = {5, 22, 31, 433, 995, 1167, 2, 109};
  for (unsigned long c : pryc)
    if (c == chyba) return 1;
  return 0;
}

unsigned long win_cekani_zavreni(unsigned long limit_ms) {
  if (!limit_ms) limit_ms = 5000;
  return limit_ms > 1000 ? limit_ms - 500 : limit_ms / 2;
}

unsigned long win_ms_bajtu(int baud) { return (10000UL + (unsigned long)baud - 1) / (unsigned long)baud; }

unsigned long win_mez_zapisu(int baud, int n) {
  return win_ms_bajtu(baud) * (unsigned long)n + COMDRV_WINDOW_MS + 1000;
}

int win_znovu(unsigned long chyba, unsigned long ms) { return (chyba == 5 || chyba == 32) && ms < 1000; }

int win_ci() {
  static const char *const jmena[] = {"CI", "GITHUB_ACTIONS", "TF_BUILD", "JENKINS_URL", "GITLAB_CI"};
  for (const char *j : jmena)
    if (getenv(j) && *getenv(j)) return 1;
  return 0;
}
