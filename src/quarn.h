// The loader's logic, as the platform entries and the tests see it.
#pragma once

#include <cstring>

// Ends the run: prints "Exit code %d" and ends the process with status p.
// Each platform layer (and the tests) provides it.
[[noreturn]] void finish(int p);

// Run by every finish() before it prints the exit code: an output file
// still being written is put aside, never left half written in its place.
void uklid();

// The platform's part of replacing an output file whole (each platform
// layer and the tests provide it). A temporary file made beside `cil`, its
// name in `docasny`: 1; 0 when none can be made beside it (or the file
// can't be written): it is written in place once the run knows its bytes;
// -1 when `cil` is no regular file (a device, a pipe): it is written in
// place as the bytes come.
int soubor_docasny(const char *cil, char *docasny, int n);
// Puts `docasny` in the place of `cil`; 0 on success.
int soubor_nahrad(const char *docasny, const char *cil);

// Ends the run if a signal (or the console) asked for it; a file's failure
// asks first, since a wait a signal cut short fails too. Each platform
// layer and the tests provide it.
void preruseno();

// Console text: formatted as printf, written in one piece.
void vypis(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Where console text goes when a platform layer takes it itself; null:
// standard output.
extern void (*konzole)(const char *b, int n);

// Whether text s begins with z.
inline bool zacina(const char *s, const char *z) { return !strncmp(s, z, strlen(z)); }

// The run driver: options, port, then every argument in order.
void quarn(unsigned argc, char **argv);
// Whether an argument asks for the usage: its first or second character is '?'.
bool napoveda(unsigned argc, char **argv);

// What only the platform layer knows: 1 when standard output is a terminal
// a person watches (progress percentages go there, never into a file or
// pipe), and microseconds of a monotonic clock, for the run's summary.
extern int terminal;
long long hodiny_us();

// Argument store: slot 0 is always empty; quarn gets argc = cmdno + 1.
struct cmdstore {
  char cmdpar[128][128];
  char *cmdpar2[128];
  int cmdno;
};
// Splits a Windows command-line tail into the store. Returns 0, or a
// message beginning "Error:" when the tail goes past the store's limits.
const char *cmdsplit(const char *tail, cmdstore *s);
// Puts the OS's argument vector (argv[1..]) into the store unchanged.
const char *cmdtake(int argc, char **argv, cmdstore *s);
// Skips the program's own name in a full Windows command line.
const char *cmdtail(const char *cmdline);

// Response text of the last answer.
extern char o[256];
extern unsigned olds24, ramc, overit;
// What the run has loaded, read and verified, and its retries.
extern unsigned long nahrano, precteno, overeno, opakovani;

// Block buffer: the one open 128-byte block of image data.
extern unsigned binadr;
extern unsigned char binmask[16], binbuf[128];

void sendc(const char *p);
// The identity request, sent once (waiting for a board): 1 when answered,
// the answer in o. `opakovani`: it repeats the request before it.
int identita_jednou(int opakovani);
void sendbin();
void binwrite(char *b);
unsigned gethb(const char *p);
unsigned crc16(const unsigned char *p, int n);
void zpracuj_soubor(const char *soubor);
const char *zpracuj_prikaz(const char *p);
void binget(int odkud, int kolik, const char *soubor);
void hexget(int odkud, int kolik, const char *soubor);
void binput(int kam, const char *soubor);
