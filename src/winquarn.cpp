// Windows entry, console, exit, serial port and telegram exchange. Built
// twice: quarn.exe (GUI subsystem: a console of its own, the closing box)
// and, with QUARN_KONZOLE, quarnc.exe (console subsystem: the console or
// file it was given, no box).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comdrv.h"
#include "quarn.h"
#include "vyroba.h"
#include "windcb.h"
#include "winpravidla.h"

unsigned char comdrv_rbuf[256];
int txrxok;
int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

static HANDLE hPort = INVALID_HANDLE_VALUE;
static OVERLAPPED overtx, overrx;
static BOOL vysila, prijima;       // a write or a read is still open
static int vysilano;               // bytes of the open write
static long long zapis_od;         // when the open write began
static DWORD chteno;               // bytes the open read asked for
static int zruseno;                // the open read was cancelled here
static int pryc;                   // the line is gone: waits only sleep
static char zarizeni[128];         // the port as the user named it, for messages
static unsigned char txbuff[256];
static unsigned char rxbuff[512];  // what the last read brought
static long long prislo;           // when the last read was seen to end

#ifdef QUARN_KONZOLE
static const int KONZOLE = 1;
#else
static const int KONZOLE = 0;
#endif

// Console control events come on a thread of their own: the handler notes
// the exit code and wakes the waits, which end the run through finish.
static volatile LONG preruseni;
static HANDLE hPreruseni;
static HANDLE hUklizeno;              // set once finish has cleaned up
static volatile LONG kod_konce = -1;  // the run's exit code once finish has it
static int vlastni_konzole;           // the console is the one this program opened

static BOOL WINAPI ovladac(DWORD udalost) {
  int zavira = udalost == CTRL_CLOSE_EVENT || udalost == CTRL_LOGOFF_EVENT || udalost == CTRL_SHUTDOWN_EVENT;
  if (udalost != CTRL_C_EVENT && udalost != CTRL_BREAK_EVENT && !zavira) return FALSE;
  // Closed behind the box: the run is over, and ends with its own code.
  // The process ends here at once: the main thread may hold the runtime's
  // locks that an orderly exit would wait for.
  if (zavira && kod_konce >= 0) TerminateProcess(GetCurrentProcess(), (UINT)kod_konce);
  InterlockedExchange(&preruseni, zavira ? 129 : 130);
  SetEvent(hPreruseni);
  if (!zavira) return TRUE;
  // Windows ends the process once its time for the handler is up (for a
  // closed console the user's hung-application time-out), and with a code
  // of its own: finish cleans up within it, and the code is ours either way.
  UINT limit = 0;
  SystemParametersInfoA(udalost == CTRL_CLOSE_EVENT ? SPI_GETHUNGAPPTIMEOUT : SPI_GETWAITTOKILLTIMEOUT, 0, &limit, 0);
  WaitForSingleObject(hUklizeno, win_cekani_zavreni(limit));
  TerminateProcess(GetCurrentProcess(), kod_konce >= 0 ? (UINT)kod_konce : 129);
  return TRUE;
}

// The safe point: ends the run if the console asked for it.
static void zkontroluj() {
  if (!preruseni) return;
  vypis("\nError: Interrupted.\n");
  finish((int)preruseni);
}

void preruseno() { zkontroluj(); }

// Standard output goes to a file, a pipe or a device such as NUL: the run
// writes there. Only a handle the console takes as its own is a console.
// Asked once, before a console of the program's own replaces the handle.
static int presmerovany;
static int presmerovano() {
  HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD m;
  return h && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN && !GetConsoleMode(h, &m);
}

// A click into the console (QuickEdit) would freeze every write to it, and
// with it the exchange.
static void bez_quickedit() {
  HANDLE h = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
  DWORD m;
  if (h == INVALID_HANDLE_VALUE) return;
  if (GetConsoleMode(h, &m)) SetConsoleMode(h, (m | ENABLE_EXTENDED_FLAGS) & ~(DWORD)ENABLE_QUICK_EDIT_MODE);
  CloseHandle(h);
}

int terminal;

// Messages and file names are in the ANSI code page, a console shows its
// own (OEM by default). At a console that isn't quarnc.exe's own to set,
// the text goes as UTF-16, held as standard output holds its text.
static HANDLE hKonzole;
static char drzeno[8192];
static int ndrzeno;

// What the console has been given so far goes out: before every wait and
// before the request, so that no console can hold up an answer window.
static void vyprazdni() {
  static WCHAR w[sizeof drzeno];
  fflush(stdout);
  if (!ndrzeno) return;
  DWORD n = (DWORD)MultiByteToWideChar(CP_ACP, 0, drzeno, ndrzeno, w, (int)sizeof drzeno), z;
  WriteConsoleW(hKonzole, w, n, &z, NULL);
  ndrzeno = 0;
}

static void do_konzole(const char *b, int n) {
  if (ndrzeno + 2 * n > (int)sizeof drzeno) vyprazdni();
  // Each line end as the runtime's text mode writes it.
  for (int i = 0; i < n && ndrzeno + 2 <= (int)sizeof drzeno; i++) {
    if (b[i] == '\n') drzeno[ndrzeno++] = '\r';
    drzeno[ndrzeno++] = b[i];
  }
}

// The console takes the text of a stretch between two waits in one write,
// flushed before every wait and at the end: each write is a trip through
// the console's host, and the loader prints several messages a block.
// Files and pipes get the bytes as they are.
static void initconsole() {
  DWORD m;
  presmerovany = presmerovano();
  if (presmerovany) {
    // Bound here when the runtime did not bind it.
    if (_get_osfhandle(_fileno(stdout)) < 0) {
      int fd = _open_osfhandle((intptr_t)GetStdHandle(STD_OUTPUT_HANDLE), _O_TEXT);
      if (fd >= 0 && fd != _fileno(stdout)) _dup2(fd, _fileno(stdout));
    }
  } else if (!KONZOLE) {
    // Wine may have given the program a console already; that's fine.
    AllocConsole();
    SetConsoleOutputCP(GetACP());
    // Reopening stdout on the console binds it with any runtime.
    freopen("CONOUT$", "w", stdout);
    vlastni_konzole = 1;
    bez_quickedit();
  } else if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &m)) {
    hKonzole = GetStdHandle(STD_OUTPUT_HANDLE);
    konzole = do_konzole;
  }
  setvbuf(stdout, NULL, _IOFBF, 4096);
  // Progress lines are for a person at a console, not for a file or pipe.
  terminal = !presmerovany;
}

// No one could click the box, or no one would: a service's hidden desktop
// or session 0, a CI runner's output into a log, or asked so.
static int bez_boxu() {
  USEROBJECTFLAGS f;
  DWORD relace = 1;
  const char *nobox = getenv("QUARN_NOBOX");
  if (KONZOLE || preruseni == 129 || (nobox && !strcmp(nobox, "1"))) return 1;
  if ((ProcessIdToSessionId(GetCurrentProcessId(), &relace) && relace == 0) || (presmerovany && win_ci()))
    return 1;
  return GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &f, sizeof f, NULL) &&
         !(f.dwFlags & WSF_VISIBLE);
}

static void zavri_port();

// The box keeps the console on screen until the operator has read it; the
// port is free meanwhile, for a run started in another console.
[[noreturn]] static void skonci(int p) {
  vyprazdni();
  zavri_port();
  InterlockedExchange(&kod_konce, p);
  SetEvent(hUklizeno);
  if (!bez_boxu()) MessageBoxA(NULL, "Quarn has finished", "Quarn", MB_ICONEXCLAMATION | MB_OK);
  exit(p);
}

void finish(int p) {
  uklid();
  p = protokol_konec(p);
  // In a console of its own the box keeps the line; elsewhere a shell's
  // prompt or the next line of a log follows.
  vypis(vlastni_konzole ? "Exit code %d" : "Exit code %d\n", p);
  skonci(p);
}

// Microseconds of the performance counter: the system's tick is far too
// coarse for a 2 ms pause.
static long long nyni_us() {
  static LARGE_INTEGER f;
  LARGE_INTEGER c;
  if (!f.QuadPart) QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return c.QuadPart / f.QuadPart * 1000000 + c.QuadPart % f.QuadPart * 1000000 / f.QuadPart;
}

long long hodiny_us() { return nyni_us(); }

// The system's text for an error code, without its line end and full stop.
static const char *text_chyby(DWORD chyba) {
  static char b[200];
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, chyba, 0, b, sizeof b, NULL))
    snprintf(b, sizeof b, "system error %lu", (unsigned long)chyba);
  for (size_t n = strlen(b); n && strchr("\r\n. ", b[n - 1]); n--) b[n - 1] = 0;
  return b;
}

// COM1 and COM2 are what QUARN_COM1 and QUARN_COM2 name (COM7, COM12 or a
// full \\.\ name, as users write them), else themselves. COM10 and above
// open only as \\.\COM10.
static void cesta(short port, char *jmeno, int delka) {
  const char *p = getenv(comdrv_promenna(port));
  win_port(p && *p ? p : port == 0x3F8 ? "COM1" : "COM2", zarizeni, sizeof zarizeni);
  snprintf(jmeno, delka, "%s%s", strncmp(zarizeni, "\\\\", 2) ? "\\\\.\\" : "", zarizeni);
}

// A refusal: the port, what named it, and the system's reason.
static int odmitni(short port, HANDLE h, DWORD chyba) {
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  const char *promenna = comdrv_promenna(port), *v = getenv(promenna);
  const char *duvod = win_odmitnuti(chyba) ? win_odmitnuti(chyba) : text_chyby(chyba);
  if (v && *v)
    snprintf(comdrv_odmitnuti, sizeof comdrv_odmitnuti, "%s (%s): %s", zarizeni, promenna, duvod);
  else
    snprintf(comdrv_odmitnuti, sizeof comdrv_odmitnuti, "%s (%s names another port): %s", zarizeni, promenna,
             duvod);
  return 1;
}

const char *comdrv_zarizeni(short port) {
  char jmeno[160];
  cesta(port, jmeno, sizeof jmeno);
  return zarizeni;
}

int zapni_UART(short port, signed char irq, int baud, signed char mode) {
  // Opened again while waiting for a board: the port that failed goes
  // first, once its reads and writes have ended.
  if (hPort != INVALID_HANDLE_VALUE) {
    CancelIoEx(hPort, NULL);
    if (prijima) WaitForSingleObject(overrx.hEvent, 1000);
    if (vysila) WaitForSingleObject(overtx.hEvent, 1000);
    CloseHandle(hPort);
    CloseHandle(overtx.hEvent);
    CloseHandle(overrx.hEvent);
    hPort = INVALID_HANDLE_VALUE;
  }
  prijima = vysila = FALSE;
  pryc = 0;
  if (!comdrv_nastaveni(port, baud)) return 1;
  char jmeno[160];
  cesta(port, jmeno, sizeof jmeno);
  HANDLE h = CreateFileA(jmeno, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
  if (h == INVALID_HANDLE_VALUE) return odmitni(port, h, GetLastError());
  // Room for a few frames in a burst; what the driver takes as a hint.
  SetupComm(h, 4096, 4096);
  // Line settings the port refuses would only show later as silence.
  DCB d = {};
  d.DCBlength = sizeof d;
  if (!GetCommState(h, &d) || (dcb_linky(&d, baud, mode), !SetCommState(h, &d)))
    return odmitni(port, h, GetLastError());
  // A read waits for its first byte as long as it is left open, and ends
  // with what came once the line has been quiet 10 ms after a byte: a frame
  // whose length came garbled must not hold up the frames behind it. A
  // write may take its bytes' time on the line and one answer window more:
  // a driver that never ends it (an adapter pulled out) can't hold the run.
  COMMTIMEOUTS c = {10, 0, 0, (DWORD)win_ms_bajtu(baud), (DWORD)COMDRV_WINDOW_MS};
  // What the line held before this run is no answer of ours.
  if (!SetCommTimeouts(h, &c) || !PurgeComm(h, PURGE_RXCLEAR)) return odmitni(port, h, GetLastError());
  hPort = h;
  overtx.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  overrx.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  // A long read on a laptop must not end in sleep.
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  comdrv_otevreno(nyni_us());
  comdrv_port = port;
  comdrv_irq = irq;
  comdrv_baud = baud;
  comdrv_mode = mode;
  return 0;
}

// The port failed (an I/O error other than our own cancel): reported, and
// from now on the waits only sleep (after a '~' request the run may end
// well). Errors that USB drivers give once their adapter is gone say so.
static void selhalo(DWORD chyba, int pri_zapisu) {
  pryc = 1;
  comdrv_porucha(zarizeni, win_odpojeno(chyba) ? COMDRV_ZAVESENO : text_chyby(chyba), pri_zapisu);
}

// Starts a read of what the system holds of the line, else of the rest of
// the answer now arriving, else of one byte. FALSE when none could start.
static BOOL cti() {
  COMSTAT st = {};
  DWORD chyby;
  if (!ClearCommError(hPort, &chyby, &st)) return selhalo(GetLastError(), 0), FALSE;
  int n = st.cbInQue < sizeof rxbuff ? (int)st.cbInQue : (int)sizeof rxbuff;
  int chybi = comdrv_chybi();
  if (n < chybi) n = chybi;
  chteno = n ? (DWORD)n : 1;
  zruseno = 0;
  prijima = ReadFile(hPort, rxbuff, chteno, NULL, &overrx) || GetLastError() == ERROR_IO_PENDING;
  if (!prijima) selhalo(GetLastError(), 0);
  return prijima;
}

// The read that has ended: how many bytes it brought, never more than it
// asked for. A read that ends with none is an empty read (some USB drivers
// end reads so), no failure; an aborted one is, unless cancelled here.
static int vzato() {
  DWORD n = 0;
  if (!GetOverlappedResult(hPort, &overrx, &n, FALSE) && !(zruseno && GetLastError() == ERROR_OPERATION_ABORTED))
    selhalo(GetLastError(), 0);
  prijima = FALSE;
  prislo = nyni_us();
  return (int)(n < chteno ? n : chteno);
}

// Waits this short are watched on the clock: the system's timers would
// stretch them to a millisecond or more.
static const long long DOBEH_US = 150;

// Sleeps until `konec` unless the console asks to stop.
static void spi(long long konec) {
  long long z = konec - nyni_us();
  if (z > 0) WaitForSingleObject(hPreruseni, (DWORD)((z + 999) / 1000));
  zkontroluj();
}

void comdrv_spanek(long long konec) { spi(konec); }

// Waits for the line until `konec` (microseconds) or until bytes come.
// Returns how many came, in rxbuff; 0 when none did. The read it starts
// may stay open: the next wait goes on with it.
static int cekej(long long konec) {
  // What the loader has said so far is on the console before it waits.
  vyprazdni();
  for (;;) {
    zkontroluj();
    if (pryc) return spi(konec), 0;
    long long z = konec - nyni_us();
    DWORD ms = z > DOBEH_US ? (DWORD)((z - DOBEH_US + 999) / 1000) : 0;
    if (!prijima && !cti()) continue;
    HANDLE h[2] = {overrx.hEvent, hPreruseni};
    if (WaitForMultipleObjects(2, h, FALSE, ms) == WAIT_OBJECT_0 + 1) continue;
    if (HasOverlappedIoCompleted(&overrx)) {
      int n = vzato();
      if (n > 0) return n;
      // An empty read: the next one starts after a tick, not at once.
      if (z > 1000) Sleep(1);
    }
    if (z <= 0) return 0;
    if (!ms)
      while (nyni_us() < konec) {
      }
  }
}

// Ends the read still open: how many bytes it brought. A driver that
// doesn't end a cancelled read within a second has failed.
static int docti() {
  if (!prijima) return 0;
  zruseno = 1;
  CancelIoEx(hPort, &overrx);
  if (WaitForSingleObject(overrx.hEvent, 1000) != WAIT_OBJECT_0) {
    selhalo(ERROR_TIMEOUT, 0);
    return 0;
  }
  return vzato();
}

// The last request's write has ended: a failed or short one is a failed
// port, and so is one that a driver never ends (an adapter pulled out):
// cancelled once its time-out and a second have passed. Ctrl+C ends the
// wait. FALSE for a failed port.
static BOOL dopsano() {
  DWORD n = 0;
  if (!vysila) return TRUE;
  HANDLE h[2] = {overtx.hEvent, hPreruseni};
  long long konec = zapis_od + (long long)win_mez_zapisu(comdrv_baud, vysilano) * 1000, z;
  while ((z = konec - nyni_us()) > 0 &&
         WaitForMultipleObjects(2, h, FALSE, (DWORD)((z + 999) / 1000)) == WAIT_OBJECT_0 + 1)
    zkontroluj();
  vysila = FALSE;
  if (!HasOverlappedIoCompleted(&overtx)) {
    CancelIoEx(hPort, &overtx);
    WaitForSingleObject(overtx.hEvent, 1000);
    return selhalo(ERROR_TIMEOUT, 1), FALSE;
  }
  if (!GetOverlappedResult(hPort, &overtx, &n, FALSE)) return selhalo(GetLastError(), 1), FALSE;
  if ((int)n < vysilano) return selhalo(ERROR_WRITE_FAULT, 1), FALSE;
  return TRUE;
}

static void prijmi(int n) {
  if (n) comdrv_prijato(rxbuff, n, prislo);
}

int posli_telegram(char *tel, int delka) {
  // The console has what was said before the window opens: a console that
  // holds a write (a selection, the Pause key, a full pipe) can't make the
  // answer late.
  vyprazdni();
  // The last request's buffer is free once its write has ended.
  if (!dopsano()) return txrxok = 0;
  if (!comdrv_zacni(tel, delka, txbuff, nyni_us())) return 0;
  // A line gone after a '~' request takes no other.
  if (pryc) comdrv_porucha(zarizeni, COMDRV_ZAVESENO, 1);
  for (long long t; (t = comdrv_pred(nyni_us())) > 0;) prijmi(cekej(t));
  comdrv_odeslano(nyni_us());
  vysilano = delka;
  zapis_od = nyni_us();
  if (!comdrv_porucha_text[0]) {
    vysila = WriteFile(hPort, txbuff, delka, NULL, &overtx) || GetLastError() == ERROR_IO_PENDING;
    if (!vysila) selhalo(GetLastError(), 1);
  }
  int pozde = 0;  // bytes that came once the window had closed
  for (long long t; (t = comdrv_okno(nyni_us())) > 0;) {
    int n = cekej(t);
    if (n && !comdrv_okno(prislo)) {
      pozde = n;
      break;
    }
    prijmi(n);
  }
  // The window's verdict comes before anything that can wait: what a read
  // still brings now counts for the pairing only.
  comdrv_zavri();
  prijmi(pozde);
  prijmi(docti());
  return 0;
}

// The port closes once the run is over: what is still open of a read or a
// write is cancelled and given a second to end.
static void zavri_port() {
  if (hPort == INVALID_HANDLE_VALUE) return;
  CancelIoEx(hPort, NULL);
  if (prijima) WaitForSingleObject(overrx.hEvent, 1000);
  if (vysila) WaitForSingleObject(overtx.hEvent, 1000);
  CloseHandle(hPort);
  hPort = INVALID_HANDLE_VALUE;
  SetThreadExecutionState(ES_CONTINUOUS);
}

int dozvuk() {
  // The last request's write first: a '~' request not written whole fails.
  if (dopsano())
    for (long long t; (t = comdrv_dozvuk(nyni_us())) > 0;) prijmi(cekej(t));
  return comdrv_nesparovano || comdrv_porucha_text[0];
}

// --ports: the serial ports the system reports, and which of them COM1 and
// COM2 name now. Opens none of them.
static void porty() {
  HKEY k;
  std::vector<std::string> nalezeno;  // "COM3 (\Device\Serial0)", COM3 before COM12
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &k) == ERROR_SUCCESS) {
    char jmeno[256];
    BYTE port[256];
    for (DWORD i = 0;; i++) {
      DWORD dj = sizeof jmeno, dp = sizeof port - 1, typ;
      if (RegEnumValueA(k, i, jmeno, &dj, NULL, &typ, port, &dp) != ERROR_SUCCESS) break;
      if (typ != REG_SZ) continue;
      port[dp] = 0;
      nalezeno.push_back(std::string((char *)port) + " (" + jmeno + ")");
    }
    RegCloseKey(k);
  }
  std::sort(nalezeno.begin(), nalezeno.end(),
            [](const std::string &a, const std::string &b) { return comdrv_poradi(a.c_str(), b.c_str()) < 0; });
  for (auto &p : nalezeno) vypis("%s\n", p.c_str());
  if (nalezeno.empty()) vypis("No serial ports found.\n");
  static const short com[] = {0x3F8, 0x2F8};
  for (short p : com) {
    char jmeno[160];
    cesta(p, jmeno, sizeof jmeno);
    const char *v = getenv(comdrv_promenna(p));
    vypis("%s (p%x): %s (%s%s)\n", p == 0x3F8 ? "COM1" : "COM2", (unsigned)p, zarizeni, comdrv_promenna(p),
          v && *v ? "" : " unset");
  }
}

// A throttled process may have its 1 ms timer period ignored (Windows 11):
// ask not to be. Older systems lack the call.
static void bez_skrceni() {
  struct stav {
    ULONG Version, ControlMask, StateMask;
  } s = {1, 4, 0};  // PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION, not throttled
  typedef BOOL(WINAPI * nastav_t)(HANDLE, int, LPVOID, DWORD);
  FARPROC f = GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetProcessInformation");
  // ProcessPowerThrottling is 4 in PROCESS_INFORMATION_CLASS.
  if (f) ((nastav_t)(void *)f)(GetCurrentProcess(), 4, &s, sizeof s);
}

// The temporary file stays open from its making until it replaces its
// target: a virus scanner or the indexer, woken by a file closing, would
// hold it just as the loader opens it again. Others may share it.
static HANDLE hDocasny = INVALID_HANDLE_VALUE;

int soubor_docasny(const char *cil, char *docasny, int n) {
  // Only a file on disk is replaced; a device (CON, NUL, COM1) is written in place.
  DWORD a = GetFileAttributesA(cil);
  if (a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) return 0;
  HANDLE h = CreateFileA(cil, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (h != INVALID_HANDLE_VALUE) {
    DWORD typ = GetFileType(h);
    CloseHandle(h);
    if (typ != FILE_TYPE_DISK) return -1;
  }
  for (unsigned k = 0; k < 100; k++) {
    if (snprintf(docasny, n, "%s.quarn-%lu-%u", cil, GetCurrentProcessId(), k) >= n) return 0;
    h = CreateFileA(docasny, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) {
      if (hDocasny != INVALID_HANDLE_VALUE) CloseHandle(hDocasny);
      hDocasny = h;
      return 1;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return 0;
  }
  return 0;
}

// What was written reaches the disk before the name; a rename that a
// scanner's look at either file refuses is tried again for a second.
int soubor_nahrad(const char *docasny, const char *cil) {
  if (hDocasny != INVALID_HANDLE_VALUE) {
    FlushFileBuffers(hDocasny);
    CloseHandle(hDocasny);
    hDocasny = INVALID_HANDLE_VALUE;
  }
  for (long long od = nyni_us();; Sleep(50))
    if (MoveFileExA(docasny, cil, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return 0;
    else if (!win_znovu(GetLastError(), (unsigned long)((nyni_us() - od) / 1000)))
      return 1;
}

static HANDLE hProtokol = INVALID_HANDLE_VALUE;

const char *protokol_otevri(const char *soubor) {
  hProtokol = CreateFileA(soubor, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, NULL);
  return hProtokol == INVALID_HANDLE_VALUE ? text_chyby(GetLastError()) : NULL;
}

int protokol_pripis(const char *radek, size_t n) {
  HANDLE h = hProtokol;
  hProtokol = INVALID_HANDLE_VALUE;
  // Runs on several boards append to one file: a line at a time, whole. The
  // lock is a byte far past any line, so that readers of the lines aren't kept out.
  OVERLAPPED z = {};
  z.OffsetHigh = 0x7FFFFFFF;
  BOOL zamceno = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &z);
  LARGE_INTEGER pred = {}, nic = {};
  DWORD w = 0;
  GetFileSizeEx(h, &pred);
  BOOL ok = SetFilePointerEx(h, nic, NULL, FILE_END) && WriteFile(h, radek, (DWORD)n, &w, NULL) && w == n;
  // A line written in part (a full disk) is taken back.
  if (!ok && w && SetFilePointerEx(h, pred, NULL, FILE_BEGIN)) SetEndOfFile(h);
  if (zamceno) UnlockFileEx(h, 0, 1, 0, &z);
  return !CloseHandle(h) || !ok;
}

const char *pocitac() {
  static char b[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD n = sizeof b;
  if (!GetComputerNameA(b, &n)) b[0] = 0;
  return b;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The waits are of a few milliseconds: the system's timers must tick finely.
  bez_skrceni();
  timeBeginPeriod(1);
  hPreruseni = CreateEventA(NULL, TRUE, FALSE, NULL);
  hUklizeno = CreateEventA(NULL, TRUE, FALSE, NULL);
  static cmdstore s;
  const char *chyba = cmdsplit(cmdtail(GetCommandLineA()), &s);
  initconsole();
  SetConsoleCtrlHandler(ovladac, TRUE);
  if (chyba) {
    vypis("%s", chyba);
    finish(8);
  }
  // The words the POSIX build takes, as it takes them: the version, then
  // help as '?' shows it. Other words beginning with '-' go to the board.
  static char help[] = "?";
  for (int k = 1; k <= s.cmdno; k++)
    if (!strcmp(s.cmdpar[k], "--version")) {
      vypis("quarn %s\n", QUARN_VERSION);
      skonci(0);
    }
  for (int k = 1; k <= s.cmdno; k++)
    if (!strcmp(s.cmdpar[k], "--help")) s.cmdpar2[k] = help;
  for (int k = 1; k <= s.cmdno && !napoveda((unsigned)s.cmdno + 1, s.cmdpar2); k++)
    if (!strcmp(s.cmdpar[k], "--ports")) {
      porty();
      skonci(0);
    }
  int n = s.cmdno + 1;
  vyroba_volby(&n, s.cmdpar2);
  s.cmdno = n - 1;
  quarn((unsigned)s.cmdno + 1, s.cmdpar2);
  finish(0);
}
