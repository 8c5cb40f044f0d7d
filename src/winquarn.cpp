// Windows entry, console, exit, serial port and telegram exchange.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "comdrv.h"
#include "quarn.h"

unsigned char comdrv_rbuf[256];
int txrxok;
int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

static HANDLE hPort = INVALID_HANDLE_VALUE;
static DCB DCBvar;
static COMMTIMEOUTS CommTimeouts;
static OVERLAPPED overtx, overrx;
static unsigned char txbuff[256];
static DWORD q, qr;
static BOOL vysila, prijima;  // a transmit or a receive is still open

static void initconsole() {
  // Wine may have given the program a console already; that's fine.
  AllocConsole();
  // Reopening stdout on the console binds it with any runtime.
  freopen("CONOUT$", "w", stdout);
  setvbuf(stdout, NULL, _IONBF, 0);
}

void finish(signed char p) {
  printf("Exit code %d", p);
  MessageBoxA(NULL, "Quarn has finished", "Quarn", MB_ICONEXCLAMATION | MB_OK);
  exit(p);
}

static int rychlost(int baud) {
  static const int povolene[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
  for (int b : povolene)
    if (b == baud) return 1;
  return 0;
}

int zapni_UART(short port, signed char irq, int baud, signed char mode) {
  DCBvar.DCBlength = sizeof(DCB);
  if (!rychlost(baud)) return 1;
  DCBvar.BaudRate = baud;
  DCBvar.fParity = (mode & 3) != 0;
  DCBvar.Parity = (mode & 3) == 2 ? EVENPARITY : (mode & 3) ? ODDPARITY : NOPARITY;
  DCBvar.fDtrControl = DTR_CONTROL_DISABLE;
  DCBvar.fInX = DCBvar.fOutX = 0;
  DCBvar.fErrorChar = DCBvar.fNull = 0;
  DCBvar.fRtsControl = RTS_CONTROL_DISABLE;
  DCBvar.fDsrSensitivity = 0;
  DCBvar.ByteSize = 8;
  DCBvar.StopBits = ONESTOPBIT;
  const char *jmeno = port == 0x2F8 ? "COM2" : port == 0x3F8 ? "COM1" : NULL;
  if (!jmeno) return 1;
  hPort = CreateFileA(jmeno, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
  if (hPort == INVALID_HANDLE_VALUE) return 1;
  GetCommTimeouts(hPort, &CommTimeouts);
  CommTimeouts.ReadIntervalTimeout = 10;
  CommTimeouts.ReadTotalTimeoutConstant = 200;
  CommTimeouts.ReadTotalTimeoutMultiplier = 2;
  SetCommTimeouts(hPort, &CommTimeouts);
  SetupComm(hPort, 300, 300);
  // Line settings the port refuses would only show later as silence.
  if (!SetCommState(hPort, &DCBvar)) {
    CloseHandle(hPort);
    hPort = INVALID_HANDLE_VALUE;
    return 1;
  }
  overrx.Offset = overtx.Offset = 0;
  comdrv_port = port;
  comdrv_irq = irq;
  comdrv_baud = baud;
  comdrv_mode = mode;
  return 0;
}

// Starts an overlapped transfer; TRUE when it is (or was) under way.
static BOOL zahajeno(BOOL r) { return r || GetLastError() == ERROR_IO_PENDING; }

// Lets an open transfer end, cancelling it if asked, so that its buffer and
// OVERLAPPED record can be used again.
static void dokonci(OVERLAPPED *ov, DWORD *n, BOOL *bezi, BOOL zrusit) {
  if (!*bezi) return;
  if (zrusit && !HasOverlappedIoCompleted(ov)) CancelIo(hPort);
  while (!HasOverlappedIoCompleted(ov)) Sleep(1);
  GetOverlappedResult(hPort, ov, n, FALSE);
  *bezi = FALSE;
}

static long long nyni_us() { return (long long)GetTickCount64() * 1000; }

// Takes in what the system holds of the line since the last exchange; with
// cekej, also waits while answers are owed.
static void vyrovnej(BOOL cekej) {
  for (;;) {
    COMSTAT st;
    DWORD chyby, n = 0;
    if (ClearCommError(hPort, &chyby, &st) && st.cbInQue) {
      unsigned char b[256];
      prijima = zahajeno(ReadFile(hPort, b, st.cbInQue < 256 ? st.cbInQue : 256, &n, &overrx));
      dokonci(&overrx, &n, &prijima, FALSE);
      comdrv_zbytky(b, (int)n);
      if (n) continue;
    }
    if (!cekej || !comdrv_dluzno(nyni_us())) return;
    Sleep(1);
  }
}

int posli_telegram(char *tel, int delka) {
  dokonci(&overtx, &q, &vysila, FALSE);
  overrx.Offset = overtx.Offset = 0;
  DWORD t = GetTickCount();
  while (GetTickCount() - t < COMDRV_PAUSE_MS) {
  }
  memset(comdrv_rbuf, 0, sizeof comdrv_rbuf);
  txrxok = 0;
  if (!comdrv_frame(tel, delka, txbuff)) return 0;
  // Whatever the line brought before this request (a late answer to an
  // earlier one) must not be taken for this request's answer.
  vyrovnej(comdrv_jiny(txbuff, delka));
  PurgeComm(hPort, PURGE_RXCLEAR);
  comdrv_odeslano(txbuff, delka);
  vysila = zahajeno(WriteFile(hPort, txbuff, delka, &q, &overtx));
  qr = 0;
  prijima = zahajeno(ReadFile(hPort, comdrv_rbuf, 256, &qr, &overrx));
  long long start = nyni_us();
  t = GetTickCount();
  while (GetTickCount() - t < COMDRV_WINDOW_MS && !comdrv_complete(comdrv_rbuf)) {
  }
  dokonci(&overrx, &qr, &prijima, TRUE);
  comdrv_okno(comdrv_rbuf, (int)qr, start);
  comdrv_close(comdrv_rbuf);
  return 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  static cmdstore s;
  const char *chyba = cmdsplit(cmdtail(GetCommandLineA()), &s);
  initconsole();
  if (chyba) {
    printf("%s", chyba);
    finish(8);
  }
  quarn((unsigned)s.cmdno + 1, s.cmdpar2);
  finish(0);
}
