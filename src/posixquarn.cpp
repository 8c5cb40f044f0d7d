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
static const char *zarizeni = "";  // the port's device, for messages
static unsigned char txbuff[256];

static long long nyni_us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

int terminal;
long long hodiny_us() { return nyni_us(); }

void finish(signed char p) {
  uklid();
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
  zarizeni = cesta(port);
  int fd = open(zarizeni, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 1;
  if (flock(fd, LOCK_EX | LOCK_NB) || ioctl(fd, TIOCEXCL) || nastav(fd, sp, mode)) {
    close(fd);
    return 1;
  }
  // DTR and RTS off; a pseudo-terminal has no modem lines and refuses.
  int linky = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &linky);
  // What the line held before this run is no answer of ours.
  tcflush(fd, TCIFLUSH);
  hPort = fd;
  comdrv_otevreno(nyni_us());
  comdrv_port = port;
  comdrv_irq = irq;
  comdrv_baud = baud;
  comdrv_mode = mode;
  return 0;
}

// Waits for the line until `konec` (microseconds) or until bytes come, and
// hands them over. The timer slack is a microsecond: a 2 ms pause is kept.
static void ber(long long konec) {
  long long z = konec - nyni_us();
  timespec t = {(time_t)(z / 1000000), (long)(z % 1000000) * 1000};
  pollfd pf = {hPort, POLLIN, 0};
  // The line is gone: nothing can come before `konec`.
  if (z > 0 && ppoll(&pf, 1, &t, nullptr) > 0 && !(pf.revents & POLLIN)) nanosleep(&t, nullptr);
  unsigned char b[512];
  ssize_t n = read(hPort, b, sizeof b);
  if (n > 0) comdrv_prijato(b, (int)n, nyni_us());
}

// Writes the request; a full output queue is waited for while the window
// runs. A request not written whole in its window is a failed port.
static void vysli(int delka) {
  int poslano = 0;
  while (poslano < delka && comdrv_okno(nyni_us())) {
    ssize_t w = write(hPort, txbuff + poslano, delka - poslano);
    pollfd pf = {hPort, POLLOUT, 0};
    if (w > 0) {
      poslano += (int)w;
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      comdrv_porucha(zarizeni, strerror(errno), 1);
      return;
    } else if (poll(&pf, 1, 10) < 0 && errno != EINTR) {
      comdrv_porucha(zarizeni, strerror(errno), 1);
      return;
    }
  }
  if (poslano < delka) comdrv_porucha(zarizeni, "the request could not be written within its answer window", 1);
}

int posli_telegram(char *tel, int delka) {
  if (!comdrv_zacni(tel, delka, txbuff, nyni_us())) return 0;
  for (long long t; (t = comdrv_pred(nyni_us())) > 0;) ber(t);
  comdrv_odeslano(nyni_us());
  vysli(delka);
  for (long long t; (t = comdrv_okno(nyni_us())) > 0;) ber(t);
  comdrv_zavri();
  return 0;
}

int dozvuk() {
  for (long long t; (t = comdrv_dozvuk(nyni_us())) > 0;) ber(t);
  return comdrv_nesparovano;
}

// A word like an option that Quarn doesn't know, a typo most likely: no
// board command begins with '-'. A word with a '.' is a script, and a
// bare '-' goes to the board as before.
static int neznama(const char *a) {
  static const char *const zname[] = {"-h", "--help", "--version", "--ports"};
  if (a[0] != '-' || !a[1] || strchr(a, '.')) return 0;
  for (const char *z : zname)
    if (!strcmp(a, z)) return 0;
  return 1;
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
  if (!napoveda((unsigned)argc, argv))
    for (int k = 1; k < argc; k++)
      if (neznama(argv[k])) {
        printf("Error: Unknown option %s (quarn --help lists them)\n", argv[k]);
        finish(8);
      }
  terminal = isatty(STDOUT_FILENO);
  static cmdstore s;
  if (const char *chyba = cmdtake(argc, argv, &s)) {
    printf("%s", chyba);
    finish(8);
  }
  quarn((unsigned)s.cmdno + 1, s.cmdpar2);
  finish(0);
}
