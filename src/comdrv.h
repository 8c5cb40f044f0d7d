// The serial driver's interface, shared by the loader's logic and the
// platform layers (Windows, POSIX, and the tests' in-process stand-in).
#pragma once

// Receive buffer: the last answer telegram from index 0.
extern unsigned char comdrv_rbuf[256];
// 1 when the last exchange found a whole, correct answer frame, else 0.
extern int txrxok;
// Settings the port set-up applied; 0 until it succeeds.
extern int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

// Opens and configures the port: 0 on success, 1 when refused, with the
// reason in comdrv_odmitnuti.
int zapni_UART(short port, signed char irq, int baud, signed char mode);
// Why the port set-up refused, as a sentence without its full stop.
extern char comdrv_odmitnuti[256];
// Whether Quarn takes the speed.
bool comdrv_rychlost(int baud);
// Whether Quarn takes the port base and the speed; if not, the reason.
bool comdrv_nastaveni(short port, int baud);
// The variable that names the device behind COM1 (0x3F8) or COM2 (0x2F8).
const char *comdrv_promenna(short port);
// Orders port names as people count them (COM3 before COM12): <0, 0 or >0.
int comdrv_poradi(const char *a, const char *b);

// One exchange: completes and writes the request telegram `tel` (delka bytes
// on the line, checksum and end byte included), waits up to 550 ms for one
// answer telegram. Leaves `tel` unchanged; reports through txrxok.
int posli_telegram(char *tel, int delka);

// A last look at the line after the run's last answer. Nonzero when a
// frame came that no request was owed, or the port failed.
int dozvuk();

// The device behind the port, as messages name it.
const char *comdrv_zarizeni(short port);
// Sleeps until `konec` (hodiny_us) with no port to wait on; a signal or
// Ctrl+C ends the run as in every wait.
void comdrv_spanek(long long konec);

// Hooks around every exchange; they do nothing.
inline void ocekavej_telegram() {}
inline void vyckej(int) {}

const int COMDRV_WINDOW_MS = 550;  // answer window, from the request
const int COMDRV_PAUSE_MS = 2;     // quiet line before every request
const int COMDRV_QUIET_MS = 2000;  // quiet line after which an owed answer is given up

// Frames nobody was owed in this run: answers and requests are out of step.
extern int comdrv_nesparovano;
// The last window brought bytes, but no whole, correct frame.
extern int comdrv_poskozeno;
// The last window brought our own request back (an echoing line).
extern int comdrv_ozvena;
// Set by the retry loops before each exchange: the request is a retry of
// the last one and may take an answer to an earlier try of itself.
extern int comdrv_opakovani;
// Set before each exchange: the request is sent once and its answer is not
// looked at ('~'); a line that goes away once it has gone out is no failure.
extern int comdrv_jednou;
// "DEVICE: REASON" once the port has failed; empty while it works.
extern char comdrv_porucha_text[256];
// The platform layer's report of a failed port; `pri_zapisu` when the
// request could not be written whole. Every wait ends at once after it.
void comdrv_porucha(const char *zarizeni, const char *duvod, int pri_zapisu);
// The reason given when the device hangs up (a USB adapter unplugged).
const char COMDRV_ZAVESENO[] = "the device hung up (unplugged?)";

// What every platform layer shares of an exchange (comdrv.cpp). Times are
// microseconds of a monotonic clock. A layer carries out an exchange as:
//   comdrv_zacni; take bytes until comdrv_pred says 0; write the request;
//   comdrv_odeslano; take bytes until comdrv_okno says 0; comdrv_zavri.
// "Take bytes until t": wait for the line until t, hand over whatever came
// with comdrv_prijato, then ask again.

// The port is open: a run's line state starts afresh.
void comdrv_otevreno(long long nyni);
// Frames `tel` into tx and clears the receive buffer. 0 when nothing may
// be sent: a length that is no telegram, or answers out of step.
bool comdrv_zacni(const char *tel, int delka, unsigned char *tx, long long nyni);
// Before the request: 0 when it may go, else until when to take bytes.
long long comdrv_pred(long long nyni);
// The request is going out: its answer is owed, its window opens.
void comdrv_odeslano(long long nyni);
// In the window: 0 when it has closed, else until when to take bytes.
long long comdrv_okno(long long nyni);
// Bytes the line brought.
void comdrv_prijato(const unsigned char *b, int n, long long nyni);
// Bytes still missing of the answer frame now arriving; 0 when unknown.
int comdrv_chybi();
// The window's verdict: txrxok, and the answer in comdrv_rbuf.
void comdrv_zavri();
// At the run's end: 0 when the look at the line is over, else until when.
long long comdrv_dozvuk(long long nyni);
// The wait for a board is over: the next look at the line awaits what its
// unanswered requests may still be owed only until the line has been quiet
// two answer windows, and comdrv_otevreno then forgets them.
void comdrv_odpust();

// Copies the caller's telegram into `tx` and fills in the length bytes, the
// checksum and the end byte. False when delka cannot be a telegram.
bool comdrv_frame(const char *tel, int delka, unsigned char *tx);
