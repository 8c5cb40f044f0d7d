// The production options (--wait, --report) and the wait for a board before the run.
#include "vyroba.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comdrv.h"
#include "quarn.h"

static bool cekat;         // --wait was given
static double mez = -1;    // its bound in seconds; -1: none
static const long long HLEDANI_US = 100000;  // how often a missing port is looked for

// Takes every NAME and NAME=VALUE out of argv. The rightmost's text after
// NAME ("" or "=VALUE"), or null when there was none.
static const char *vezmi(int *argc, char **argv, const char *jmeno) {
  const char *h = nullptr;
  size_t d = strlen(jmeno);
  int n = 1;
  for (int k = 1; k < *argc; k++)
    if (!strncmp(argv[k], jmeno, d) && (!argv[k][d] || argv[k][d] == '='))
      h = argv[k] + d;
    else
      argv[n++] = argv[k];
  *argc = n;
  return h;
}

void vyroba_volby(int *argc, char **argv) {
  cekat = false;
  mez = -1;
  if (napoveda((unsigned)*argc, argv)) return protokol_zacni(nullptr, {});
  std::vector<std::string> vse(argv + 1, argv + *argc);
  if (const char *w = vezmi(argc, argv, "--wait")) {
    const char *s = w + (*w == '=');
    // Seconds as digits with at most one '.': no sign, exponent or blank.
    char *konec = nullptr;
    if (*w) mez = strspn(s, "0123456789.") == strlen(s) && strchr(s, '.') == strrchr(s, '.') ? strtod(s, &konec) : -1;
    if (*w && (konec != s + strlen(s) || !*s)) {
      vypis("Error: Bad option --wait%s (--wait=SECONDS, such as --wait=2.5).\n", w);
      finish(8);
    }
    cekat = true;
  }
  const char *r = vezmi(argc, argv, "--report");
  if (r && (r[0] != '=' || !r[1])) {
    vypis("Error: --report names the file to append to: --report=FILE.\n");
    finish(8);
  }
  protokol_zacni(r ? r + 1 : nullptr, vse);
}

// Until the next look for a missing port, within the bound.
static void pockej(long long konec) {
  long long t = hodiny_us() + HLEDANI_US;
  comdrv_spanek(konec >= 0 && konec < t ? konec : t);
}

int vyroba_port(short port, signed char irq, int baud, signed char mode) {
  protokol_port(comdrv_zarizeni(port), baud, mode);
  if (!cekat || !comdrv_nastaveni(port, baud)) return zapni_UART(port, irq, baud, mode);
  long long od = hodiny_us(), konec = mez < 0 ? -1 : od + (long long)(mez * 1e6);
  if (terminal) vypis("\nWaiting for a board on %s ...", comdrv_zarizeni(port));
  for (;;) {
    // The port first: a refusal when the time is up is the run's.
    if (zapni_UART(port, irq, baud, mode)) {
      if (konec >= 0 && hodiny_us() >= konec) {
        if (terminal) vypis("\n");
        return 1;
      }
      pockej(konec);
      continue;
    }
    // Then the identity, asked once an answer window until the board answers.
    for (int k = 0; !identita_jednou(k > 0); k++) {
      if (konec >= 0 && hodiny_us() >= konec) {
        char s[32];
        snprintf(s, sizeof s, "%.3f", mez);
        // As few digits as the seconds need: 2.5, not 2.500.
        char *e = s + strlen(s);
        while (e[-1] == '0') *--e = 0;
        if (e[-1] == '.') e[-1] = 0;
        vypis("\nError: No board answered within %s s.\n", s);
        finish(5);
      }
      // A port that fails (unplugged), or answers out of step, is opened again.
      if (comdrv_porucha_text[0] || comdrv_nesparovano) break;
    }
    if (!txrxok) {
      pockej(konec);
      continue;
    }
    protokol_identita(o);
    protokol_cekani((hodiny_us() - od) / 1e6);
    if (terminal) vypis("\n");
    // Answers the unanswered requests may still be owed are waited for
    // until the line has been quiet two answer windows; the run then starts
    // owing none.
    comdrv_odpust();
    dozvuk();
    comdrv_otevreno(hodiny_us());
    return 0;
  }
}
