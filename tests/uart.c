// A serial adapter's settings and modem lines for a pseudo-terminal, and its faults, for the end-to-end tests.
//
// Preloaded into quarn (LD_PRELOAD). Only the port is touched: a terminal
// other than descriptors 0 to 2. QUARN_UART_FAULT holds the faults:
// "tcgetattr" (its settings can't be read: EIO), "serial" (it has no UART
// settings, as a pseudo-terminal or a plain port), "write:N" and "read:N"
// (that way it fails with EIO once N bytes have crossed). QUARN_UART_LOG
// names a file that each change of the line's settings (as "8N1"), the UART
// flags and the modem lines is added to.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// A USB adapter's flags as its driver reports them, and its lines as it opens.
static struct serial_struct uart = {.flags = ASYNC_SKIP_TEST | ASYNC_AUTO_IRQ};
static int linky = TIOCM_DTR | TIOCM_RTS;

static int port(int fd) {
  int e = errno, je = fd > 2 && isatty(fd);
  return errno = e, je;
}

// The fault named `co` ("write" finds "write:N"), or null.
static const char *vada(const char *co) {
  const char *f = getenv("QUARN_UART_FAULT");
  return f ? strstr(f, co) : NULL;
}

static void zapis(const char *fmt, ...) {
  const char *jmeno = getenv("QUARN_UART_LOG");
  FILE *f = jmeno ? fopen(jmeno, "a") : NULL;
  if (!f) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(f, fmt, ap);
  va_end(ap);
  fclose(f);
}

int ioctl(int fd, unsigned long rq, ...) {
  va_list ap;
  va_start(ap, rq);
  int *l = va_arg(ap, int *);
  va_end(ap);
  switch (port(fd) ? rq : 0) {
    case TIOCGSERIAL:
      if (vada("serial")) return errno = ENOTTY, -1;
      *(struct serial_struct *)l = uart;
      return 0;
    case TIOCMGET: *l = linky; return 0;
    case TIOCSSERIAL: uart = *(struct serial_struct *)l; break;
    case TIOCMSET: linky = *l; break;
    case TIOCMBIS: linky |= *l; break;
    case TIOCMBIC: linky &= ~*l; break;
    default: return ((int (*)(int, unsigned long, void *))dlsym(RTLD_NEXT, "ioctl"))(fd, rq, l);
  }
  zapis("flags 0x%x, DTR %s, RTS %s\n", uart.flags, linky & TIOCM_DTR ? "on" : "off", linky & TIOCM_RTS ? "on" : "off");
  return 0;
}

// What a UART takes of the settings and a pseudo-terminal drops: the frame
// (data bits, parity, stop bits), flow control, modem control, the receiver.
// A pseudo-terminal refuses even parity, which a UART takes.
int tcsetattr(int fd, int kdy, const struct termios *t) {
  struct termios p = *t;
  tcflag_t c = t->c_cflag;
  if (port(fd)) {
    p.c_cflag &= ~(tcflag_t)PARENB;
    zapis("line %c%c%d%s%s%s%s\n", (c & CSIZE) == CS8 ? '8' : '?', c & PARENB ? (c & PARODD ? 'O' : 'E') : 'N',
          c & CSTOPB ? 2 : 1, c & CMSPAR ? " mark/space" : "", c & CRTSCTS ? " rtscts" : "", c & CLOCAL ? "" : " modem",
          c & CREAD ? "" : " deaf");
  }
  return ((int (*)(int, int, const struct termios *))dlsym(RTLD_NEXT, "tcsetattr"))(fd, kdy, &p);
}

// The settings another program left: 7 data bits, even parity, 2 stop
// bits, mark/space parity, hardware flow control, modem control, the
// receiver off.
int tcgetattr(int fd, struct termios *t) {
  if (port(fd) && vada("tcgetattr")) return errno = EIO, -1;
  int r = ((int (*)(int, struct termios *))dlsym(RTLD_NEXT, "tcgetattr"))(fd, t);
  if (!r && port(fd)) t->c_cflag = (t->c_cflag & ~(tcflag_t)(CSIZE | CLOCAL | CREAD)) | CS7 | PARENB | CSTOPB | CMSPAR | CRTSCTS;
  return r;
}

// A read or a write of the port ("read", "write"): cut short where its
// fault's count of bytes ends, failing beyond it.
static ssize_t pres(const char *co, int fd, void *b, size_t n) {
  static long kolik[2];  // read, written
  const char *f = port(fd) ? vada(co) : NULL;
  if (f && f[strlen(co)] == ':') {
    long zbyva = atol(f + strlen(co) + 1) - kolik[*co == 'w'];
    if (zbyva <= 0) return errno = EIO, -1;
    if ((long)n > zbyva) n = (size_t)zbyva;
  }
  ssize_t r = ((ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, co))(fd, b, n);
  if (r > 0 && f) kolik[*co == 'w'] += r;
  return r;
}

ssize_t write(int fd, const void *b, size_t n) { return pres("write", fd, (void *)b, n); }
ssize_t read(int fd, void *b, size_t n) { return pres("read", fd, b, n); }
