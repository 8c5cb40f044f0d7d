// The line settings quarn.exe gives its port, checked against the rules
// Windows applies in SetCommState and Wine doesn't, for every speed and
// mode the program takes, whatever the port's driver had set before.
// Prints each fault; exit status 1 when there was any.
#include <cstdio>
#include <cstring>

#include "windcb.h"

int main() {
  static const int speeds[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
  int faults = 0;
  for (int before = 0; before <= 0xFF; before += 0xFF)
    for (int baud : speeds)
      for (int mode = 0; mode <= 4; mode++) {
        DCB d;
        memset(&d, before, sizeof d);
        dcb_linky(&d, baud, mode);
        int parity = (mode & 3) == 0 ? NOPARITY : (mode & 3) == 2 ? EVENPARITY : ODDPARITY;
        const char *why =
            d.DCBlength != sizeof d || d.wReserved ? "DCBlength or wReserved"
            : !d.fBinary ? "fBinary is 0"
            : d.XonChar == d.XoffChar ? "XonChar equals XoffChar"
            : d.BaudRate != (DWORD)baud || d.ByteSize != 8 || d.StopBits != ONESTOPBIT ||
                    d.Parity != parity || d.fParity != (parity != NOPARITY)
                ? "not the line asked for"
            : d.fOutX || d.fInX || d.fOutxCtsFlow || d.fOutxDsrFlow || d.fDsrSensitivity ||
                    d.fDtrControl != DTR_CONTROL_DISABLE || d.fRtsControl != RTS_CONTROL_DISABLE
                ? "flow control or modem lines on"
            : d.fErrorChar || d.fNull || d.fAbortOnError ? "bytes replaced, dropped or reads stopped"
                                                        : nullptr;
        if (why) {
          printf("baud %d mode %d, port had %02X: %s\n", baud, mode, before, why);
          faults++;
        }
      }
  return faults != 0;
}
