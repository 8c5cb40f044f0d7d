// POSIX entry, console, exit, serial port (termios) and telegram exchange.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "comdrv.h"
#include "quarn.h"

unsigned char comdrv_rbuf[256];
int txrxok;
int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

static int hPort = -1;
static unsigned char txbuff[256];
static long long ticho_od;  // when the line was last used: port opened, last exchange ended

static long long nyni_us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

void finish(signed char p) {
  // A terminal stays visible on its own: no message box, just the code.
  printf("Exit code %d\n", p);
  exit(p);
}

static speed_t rychlost(int baud) {
  switch (baud) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
  }
  return 0;
}

// COM1 and COM2 are device paths the user names, with the PC defaults.
static const char *cesta(short port) {
  const char *p = getenv(port == 0x3F8 ? "QUARN_COM1" : "QUARN_COM2");
  if (p && *p) return p;
  return port == 0x3F8 ? "/dev/ttyS0" : "/dev/ttyS1";
}

// Raw 8-bit line: nothing translated, stripped or checked in either direction.
static int nastav(int fd, speed_t sp, int mode) {
  termios t;
  if (tcgetattr(fd, &t)) return 1;
  t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                 IXON | IXOFF | IXANY);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
  t.c_cflag &= ~CMSPAR;
#endif
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  if (mode & 3) t.c_cflag |= PARENB;
  if ((mode & 3) == 1 || (mode & 3) == 3) t.c_cflag |= PARODD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, sp) || cfsetospeed(&t, sp)) return 1;
  return tcsetattr(fd, TCSANOW, &t) != 0;
}

int zapni_UART(short port, signed char irq, int baud, signed char mode) {
  speed_t sp = rychlost(baud);
  if (!sp || (port != 0x3F8 && port != 0x2F8)) return 1;
  int fd = open(cesta(port), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 1;
  if (flock(fd, LOCK_EX | LOCK_NB) || ioctl(fd, TIOCEXCL) || nastav(fd, sp, mode)) {
    close(fd);
    return 1;
  }
  // DTR and RTS off; a pseudo-terminal has no modem lines and refuses.
  int linky = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &linky);
  hPort = fd;
  ticho_od = nyni_us();
  comdrv_port = port;
  comdrv_irq = irq;
  comdrv_baud = baud;
  comdrv_mode = mode;
  return 0;
}

// Timers wake a sleeper up to some tens of microseconds late: the last
// stretch of a wait watches the clock instead.
static const long long DOBEH_US = 150;

static void spi(long long us) {
  timespec t = {(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
  nanosleep(&t, nullptr);
}

// Waits until the monotonic clock reaches konec (microseconds).
static void pauza_do(long long konec) {
  for (long long z; (z = konec - nyni_us()) > 0;)
    if (z > DOBEH_US) spi(z - DOBEH_US);
}

// Microseconds until the answer in the buffer can be complete at the line
// rate, once its length byte has come.
static long long doba_zbytku(int prijato) {
  if (!comdrv_baud) return 0;
  long long chybi = 6 + comdrv_rbuf[1] - prijato;  // bytes still to come
  return chybi > 1 ? (chybi - 1) * 10000000LL / comdrv_baud : 0;
}

// Takes in what the line brought since the last exchange; with cekej,
// also waits while answers are owed.
static void vyrovnej(bool cekej) {
  for (;;) {
    unsigned char b[256];
    for (ssize_t n; (n = read(hPort, b, sizeof b)) > 0;) comdrv_zbytky(b, (int)n);
    long long zbyva = cekej ? comdrv_dluzno(nyni_us()) : 0;
    if (zbyva <= 0) break;
    pollfd pf = {hPort, POLLIN, 0};
    if (poll(&pf, 1, (int)((zbyva + 999) / 1000)) < 0 && errno != EINTR) break;
    if (pf.revents & (POLLERR | POLLHUP | POLLNVAL) && !(pf.revents & POLLIN)) break;
  }
}

int posli_telegram(char *tel, int delka) {
  // The pause is a quiet line before each request: counted from the end of
  // the last exchange, the work done between exchanges is part of it.
  pauza_do(ticho_od + COMDRV_PAUSE_MS * 1000LL);
  memset(comdrv_rbuf, 0, sizeof comdrv_rbuf);
  txrxok = 0;
  if (!comdrv_frame(tel, delka, txbuff)) return 0;
  // Whatever the line brought before this request (a late answer to an
  // earlier one) must not be taken for this request's answer. A retry
  // needs no wait: any answer to the same request will do.
  vyrovnej(comdrv_jiny(txbuff, delka));
  tcflush(hPort, TCIFLUSH);
  comdrv_odeslano(txbuff, delka);
  int poslano = 0, prijato = 0;
  bool spal = false;
  long long start = nyni_us();
  for (;;) {
    if (poslano < delka) {
      ssize_t w = write(hPort, txbuff + poslano, delka - poslano);
      if (w > 0) poslano += (int)w;
    }
    long long zbyva = COMDRV_WINDOW_MS * 1000LL - (nyni_us() - start);
    if (zbyva <= 0 || comdrv_complete(comdrv_rbuf)) break;
    // The rest of the answer needs its line time to come: sleep through
    // most of it rather than wake for every few bytes. Once only, right
    // after the first bytes came: later reads may find bytes that have
    // waited, and the estimate would run late.
    if (poslano == delka && prijato >= 2 && !spal) {
      spal = true;
      long long zbytek = doba_zbytku(prijato) - DOBEH_US;
      if (zbytek > 0) {
        spi(zbytek < zbyva ? zbytek : zbyva);
        continue;
      }
    }
    pollfd pf = {hPort, 0, 0};
    if (prijato < 256) pf.events |= POLLIN;
    if (poslano < delka) pf.events |= POLLOUT;
    int r = poll(&pf, 1, (int)((zbyva + 999) / 1000));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (pf.revents & POLLIN) {
      ssize_t n = read(hPort, comdrv_rbuf + prijato, 256 - prijato);
      if (n > 0) prijato += (int)n;
    }
    // The line is gone: no answer can come in this window.
    if (pf.revents & (POLLERR | POLLHUP | POLLNVAL) && !(pf.revents & POLLIN)) break;
  }
  // Every whole frame that came pays a debt, the answer taken too; a frame
  // still coming is finished by what the next exchange takes in first.
  comdrv_okno(comdrv_rbuf, prijato, start);
  comdrv_close(comdrv_rbuf);
  ticho_od = nyni_us();
  return 0;
}

int main(int argc, char **argv) {
#ifdef PR_SET_TIMERSLACK
  // Sleeps here are 2 ms pauses: the default 50 us slack would stretch each.
  prctl(PR_SET_TIMERSLACK, 1UL);
#endif
  setvbuf(stdout, nullptr, _IONBF, 0);
  // The flags every POSIX tool takes: help as "?" shows it, and the version.
  // Neither opens a port.
  static char help[] = "?";
  for (int k = 1; k < argc; k++) {
    if (!strcmp(argv[k], "--version")) {
      printf("quarn %s\n", QUARN_VERSION);
      return 0;
    }
    if (!strcmp(argv[k], "-h") || !strcmp(argv[k], "--help")) argv[k] = help;
  }
  static cmdstore s;
  if (const char *chyba = cmdtake(argc, argv, &s)) {
    printf("%s", chyba);
    finish(8);
  }
  quarn((unsigned)s.cmdno + 1, s.cmdpar2);
  finish(0);
}
