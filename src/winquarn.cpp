// Windows entry, console, exit, serial port and telegram exchange.
#include <windows.h>

#include <cstdio>

#include "comdrv.h"
#include "quarn.h"
#include "windcb.h"

unsigned char comdrv_rbuf[256];
int txrxok;
int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

static HANDLE hPort = INVALID_HANDLE_VALUE;
static OVERLAPPED overtx, overrx;
static BOOL vysila, prijima;       // a write or a read is still open
static unsigned char txbuff[256];
static unsigned char rxbuff[512];  // what the last read brought
static long long prislo;           // when the last read was seen to end

// The console takes the text of a stretch between two waits in one write,
// flushed before every wait and at the end: each write is a trip through
// the console's host, and the loader prints several messages a block.
static void initconsole() {
  // Wine may have given the program a console already; that's fine.
  AllocConsole();
  // Reopening stdout on the console binds it with any runtime.
  freopen("CONOUT$", "w", stdout);
  setvbuf(stdout, NULL, _IOFBF, 4096);
}

void finish(int p) {
  vypis("Exit code %d", p);
  fflush(stdout);
  MessageBoxA(NULL, "Quarn has finished", "Quarn", MB_ICONEXCLAMATION | MB_OK);
  exit(p);
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

static int rychlost(int baud) {
  static const int povolene[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
  for (int b : povolene)
    if (b == baud) return 1;
  return 0;
}

int zapni_UART(short port, signed char irq, int baud, signed char mode) {
  const char *jmeno = port == 0x2F8 ? "COM2" : port == 0x3F8 ? "COM1" : NULL;
  if (!rychlost(baud) || !jmeno) return 1;
  HANDLE h = CreateFileA(jmeno, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
  if (h == INVALID_HANDLE_VALUE) return 1;
  SetupComm(h, 300, 300);
  // Line settings the port refuses would only show later as silence.
  DCB d = {};
  d.DCBlength = sizeof d;
  if (!GetCommState(h, &d) || (dcb_linky(&d, baud, mode), !SetCommState(h, &d))) {
    CloseHandle(h);
    return 1;
  }
  // A read waits for its first byte as long as it is left open, and ends
  // with what came once the line has been quiet 10 ms after a byte: a frame
  // whose length came garbled must not hold up the frames behind it.
  COMMTIMEOUTS c = {10, 0, 0, 0, 0};
  // What the line held before this run is no answer of ours.
  if (!SetCommTimeouts(h, &c) || !PurgeComm(h, PURGE_RXCLEAR)) {
    CloseHandle(h);
    return 1;
  }
  hPort = h;
  overtx.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  overrx.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  comdrv_otevreno(nyni_us());
  comdrv_port = port;
  comdrv_irq = irq;
  comdrv_baud = baud;
  comdrv_mode = mode;
  return 0;
}

// Starts a read of what the system holds of the line, else of the rest of
// the answer now arriving, else of one byte. FALSE when none could start.
static BOOL cti() {
  COMSTAT st = {};
  DWORD chyby;
  if (!ClearCommError(hPort, &chyby, &st)) return FALSE;
  int n = st.cbInQue < sizeof rxbuff ? (int)st.cbInQue : (int)sizeof rxbuff;
  int chybi = comdrv_chybi();
  if (n < chybi) n = chybi;
  prijima = ReadFile(hPort, rxbuff, n ? n : 1, NULL, &overrx) || GetLastError() == ERROR_IO_PENDING;
  return prijima;
}

// The open read, if it has ended: how many bytes it brought, 0 when it
// failed (it waits for its first byte as long as it is open); -1 while
// it goes on.
static int vzato() {
  DWORD n = 0;
  if (!HasOverlappedIoCompleted(&overrx)) return -1;
  GetOverlappedResult(hPort, &overrx, &n, FALSE);
  prijima = FALSE;
  prislo = nyni_us();
  return (int)n;
}

// Waits this short are watched on the clock: the system's timers would
// stretch them to a millisecond or more.
static const long long DOBEH_US = 150;

// Waits for the line until `konec` (microseconds) or until bytes come.
// Returns how many came, in rxbuff; 0 when none did. The read it starts
// may stay open: the next wait goes on with it.
static int cekej(long long konec) {
  // What the loader has said so far is on the console before it waits.
  fflush(stdout);
  for (;;) {
    long long z = konec - nyni_us();
    DWORD ms = z > DOBEH_US ? (DWORD)((z - DOBEH_US + 999) / 1000) : 0;
    int n = 0;
    if (prijima || cti()) {
      WaitForSingleObject(overrx.hEvent, ms);
      n = vzato();
    }
    if (n >= 0 || z <= 0) {
      // No read could start, or one failed: the line is gone, and nothing
      // can come before `konec`.
      if (!n && z > 0) Sleep((DWORD)((z + 999) / 1000));
      return n > 0 ? n : 0;
    }
    if (!ms)
      while (nyni_us() < konec) {
      }
  }
}

// Ends the read still open: how many bytes it brought.
static int docti() {
  DWORD n = 0;
  if (!prijima) return 0;
  CancelIoEx(hPort, &overrx);
  GetOverlappedResult(hPort, &overrx, &n, TRUE);
  prijima = FALSE;
  prislo = nyni_us();
  return (int)n;
}

static void prijmi(int n) {
  if (n) comdrv_prijato(rxbuff, n, prislo);
}

int posli_telegram(char *tel, int delka) {
  // The last request's buffer is free once its write has ended.
  DWORD q;
  if (vysila) GetOverlappedResult(hPort, &overtx, &q, TRUE);
  vysila = FALSE;
  if (!comdrv_zacni(tel, delka, txbuff, nyni_us())) return 0;
  for (long long t; (t = comdrv_pred(nyni_us())) > 0;) prijmi(cekej(t));
  comdrv_odeslano(nyni_us());
  vysila = WriteFile(hPort, txbuff, delka, NULL, &overtx) || GetLastError() == ERROR_IO_PENDING;
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

int dozvuk() {
  for (long long t; (t = comdrv_dozvuk(nyni_us())) > 0;) prijmi(cekej(t));
  return comdrv_nesparovano;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The waits are of a few milliseconds: the system's timers must tick finely.
  timeBeginPeriod(1);
  static cmdstore s;
  const char *chyba = cmdsplit(cmdtail(GetCommandLineA()), &s);
  initconsole();
  if (chyba) {
    vypis("%s", chyba);
    finish(8);
  }
  quarn((unsigned)s.cmdno + 1, s.cmdpar2);
  finish(0);
}
