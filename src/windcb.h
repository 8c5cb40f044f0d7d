// The line settings the Windows program gives its port, apart from the
// port itself so that a test can check them without one.
#pragma once
#include <windows.h>

// Turns `d`, as GetCommState read it, into a raw 8-bit line at `baud`: one
// stop bit, the parity of the mode's two low bits (0 none, 1 odd, 2 even,
// 3 odd), no flow control, DTR and RTS off. The rest stays as the port's
// driver has it.
inline void dcb_linky(DCB *d, int baud, int mode) {
  int parita = mode & 3;
  d->DCBlength = sizeof(DCB);
  d->BaudRate = (DWORD)baud;
  d->ByteSize = 8;
  d->StopBits = ONESTOPBIT;
  d->Parity = parita == 0 ? NOPARITY : parita == 2 ? EVENPARITY : ODDPARITY;
  d->fParity = parita != 0;
  // Windows takes binary mode only.
  d->fBinary = TRUE;
  d->fDtrControl = DTR_CONTROL_DISABLE;
  d->fRtsControl = RTS_CONTROL_DISABLE;
  d->fOutxCtsFlow = d->fOutxDsrFlow = d->fDsrSensitivity = 0;
  d->fOutX = d->fInX = 0;
  // Nothing the receiver does may hold back a request.
  d->fTXContinueOnXoff = TRUE;
  // Every byte as the line brought it, and reads go on after a line error.
  d->fErrorChar = d->fNull = d->fAbortOnError = 0;
  // Unused with XON/XOFF off, but Windows refuses the two being equal.
  d->XonChar = 0x11;
  d->XoffChar = 0x13;
  d->wReserved = 0;
}
