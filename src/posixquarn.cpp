// POSIX entry, console, exit, serial port (termios) and telegram exchange.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <linux/serial.h>
#include <sys/prctl.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "comdrv.h"
#include "quarn.h"
#include "vyroba.h"

unsigned char comdrv_rbuf[256];
int txrxok;
int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

static int hPort = -1;
static const char *zarizeni = "";  // the port's device, for messages
static int pryc;                   // the line is gone: waits only sleep
static unsigned char txbuff[256];

// SIGINT, SIGTERM and SIGHUP end a run at a safe point, so that a request
// is never cut short: an exchange keeps them blocked but while it waits
// for the line. Elsewhere they cut short a wait on a file or the console
// (a FIFO, a pipe, a terminal: nothing restarts it), and the run ends there.
static volatile sig_atomic_t preruseni;
static sigset_t nase, pri_cekani;  // those three; the signal mask while waiting

// One that came just before such a wait began can't end it: an alarm a
// second later does, and then every second until the run has ended (only
// a stop signal arms it).
static void zaznamenej(int s) {
  preruseni = s;
  alarm(1);
}

static void budik(int) { alarm(1); }

static void zachytej(int s, void (*obsluha)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = obsluha;
  sigemptyset(&sa.sa_mask);
  sigaction(s, &sa, nullptr);
}

static void zachytavej() {
  sigemptyset(&nase);
  static const int konci[] = {SIGINT, SIGTERM, SIGHUP};
  for (int s : konci) {
    struct sigaction driv;
    sigaction(s, nullptr, &driv);
    // Ignored when we started (nohup, a background job of a script): so it stays.
    if (driv.sa_handler == SIG_IGN) continue;
    zachytej(s, zaznamenej);
    sigaddset(&nase, s);
  }
  zachytej(SIGALRM, budik);
  // A console reader that went away (| head) asked for less text, not for
  // a half-written board: the run goes on without a console.
  signal(SIGPIPE, SIG_IGN);
  sigprocmask(SIG_SETMASK, nullptr, &pri_cekani);
}

// The safe point: ends the run if a signal asked for it.
static void zkontroluj() {
  if (!preruseni) return;
  vypis("\nError: Interrupted.\n");
  finish(128 + preruseni);
}

void preruseno() { zkontroluj(); }

// An exchange with the line: the signals wait for its safe points.
struct vymena {
  vymena() {
    sigprocmask(SIG_BLOCK, &nase, nullptr);
    zkontroluj();
  }
  ~vymena() { sigprocmask(SIG_SETMASK, &pri_cekani, nullptr); }
};

using namespace std::chrono;

static long long nyni_us() { return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count(); }

int terminal;
long long hodiny_us() { return nyni_us(); }

// Another program may use the port once this one has ended.
static void uvolni() {
  if (hPort >= 0) ioctl(hPort, TIOCNXCL);
}

void finish(int p) {
  uklid();
  p = protokol_konec(p);
  // A terminal stays visible on its own: no message box, just the code.
  printf("Exit code %d\n", p);
  // Interrupted, the process ends as the signal ends it once all is done,
  // so that its caller sees it (a shell's loop stops; a shell shows 128+N).
  if (preruseni && p == 128 + preruseni) {
    uvolni();
    signal(preruseni, SIG_DFL);
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, preruseni);
    sigprocmask(SIG_UNBLOCK, &s, nullptr);
    raise(preruseni);
  }
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
  const char *p = getenv(comdrv_promenna(port));
  if (p && *p) return p;
  return port == 0x3F8 ? "/dev/ttyS0" : "/dev/ttyS1";
}

// A refusal: the device, what named it, and the system's reason.
static int odmitni(short port, int fd, int chyba) {
  if (fd >= 0) close(fd);
  const char *promenna = comdrv_promenna(port);
  char odkud[64];
  if (getenv(promenna) && *getenv(promenna))
    snprintf(odkud, sizeof odkud, "%s", promenna);
  else
    snprintf(odkud, sizeof odkud, "%s; %s names another device", port == 0x3F8 ? "COM1" : "COM2", promenna);
  const char *duvod = strerror(chyba), *rada = "";
  if (chyba == EWOULDBLOCK || chyba == EBUSY)
    duvod = "in use (locked by another program)";
  else if (chyba == EACCES)
    rada = " (the user may need the group dialout: sudo usermod -aG dialout $USER, then log in again)";
  else if (chyba == ENOTTY)
    duvod = "not a serial port";
  snprintf(comdrv_odmitnuti, sizeof comdrv_odmitnuti, "%s (%s): %s%s", zarizeni, odkud, duvod, rada);
  return 1;
}

// A USB adapter holds back what it received for up to its latency timer
// (16 ms by default) unless asked not to; other ports refuse, harmlessly.
static void bez_zdrzeni(int fd) {
#ifdef ASYNC_LOW_LATENCY
  serial_struct ss;
  if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
    ss.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &ss);
  }
#else
  (void)fd;
#endif
}

// Raw 8-bit line: nothing translated, stripped or checked in either direction.
// VMIN and VTIME don't matter: the port is open non-blocking, so a read
// never waits.
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
  // Parity by the mode's two low bits: 0 none, 1 odd, 2 even, 3 odd.
  if (mode & 3) t.c_cflag |= PARENB;
  if (mode & 1) t.c_cflag |= PARODD;
  if (cfsetispeed(&t, sp) || cfsetospeed(&t, sp)) return 1;
  return tcsetattr(fd, TCSANOW, &t) != 0;
}

const char *comdrv_zarizeni(short port) { return cesta(port); }

int zapni_UART(short port, signed char irq, int baud, signed char mode) {
  // Opened again while waiting for a board: the port that failed goes first.
  if (hPort >= 0) close(hPort);
  hPort = -1;
  pryc = 0;
  if (!comdrv_nastaveni(port, baud)) return 1;
  zarizeni = cesta(port);
  int fd = open(zarizeni, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return odmitni(port, -1, errno);
  if (flock(fd, LOCK_EX | LOCK_NB) || nastav(fd, rychlost(baud), mode) || ioctl(fd, TIOCEXCL))
    return odmitni(port, fd, errno);
  static int uvolnit;
  if (!uvolnit++) atexit(uvolni);
  bez_zdrzeni(fd);
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

// The line has gone away or failed: reported, and from now on the waits
// only sleep (after a '~' request the run may still end well).
static void selhalo(const char *duvod) {
  pryc = 1;
  comdrv_porucha(zarizeni, duvod, 0);
}

// From now until `konec` (microseconds), for ppoll.
static timespec za(long long konec) {
  microseconds z(konec - nyni_us());
  if (z.count() < 0) z = microseconds::zero();
  seconds s = duration_cast<seconds>(z);
  return {(time_t)s.count(), (long)nanoseconds(z - s).count()};
}

void comdrv_spanek(long long konec) {
  timespec t = za(konec);
  ppoll(nullptr, 0, &t, &pri_cekani);
  zkontroluj();
}

// Waits for the line until `konec` (microseconds) or until bytes come, and
// hands them over. The timer slack is a microsecond: a 2 ms pause is kept.
// read() returning 0 is no more than an empty read. A line gone is not
// polled: the wait only sleeps.
static void ber(long long konec) {
  timespec t = za(konec);
  pollfd pf = {hPort, POLLIN, 0};
  int r = ppoll(&pf, pryc ? 0 : 1, &t, &pri_cekani);
  zkontroluj();
  if (r <= 0) return;
  if (pf.revents & POLLIN) {
    unsigned char b[512];
    ssize_t n = read(hPort, b, sizeof b);
    if (n > 0) comdrv_prijato(b, (int)n, nyni_us());
    if (n < 0 && errno != EAGAIN && errno != EINTR)
      return selhalo(pf.revents & POLLHUP ? COMDRV_ZAVESENO : strerror(errno));
  }
  if (pf.revents & POLLHUP) selhalo(COMDRV_ZAVESENO);
  else if (pf.revents & POLLERR) selhalo("the device reported an error");
  else if (pf.revents & POLLNVAL) selhalo("the port is no longer open");
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
  vymena v;
  if (!comdrv_zacni(tel, delka, txbuff, nyni_us())) return 0;
  // A line gone after a '~' request takes no other.
  if (pryc) comdrv_porucha(zarizeni, COMDRV_ZAVESENO, 1);
  for (long long t; (t = comdrv_pred(nyni_us())) > 0;) ber(t);
  comdrv_odeslano(nyni_us());
  vysli(delka);
  for (long long t; (t = comdrv_okno(nyni_us())) > 0;) ber(t);
  comdrv_zavri();
  return 0;
}

int dozvuk() {
  vymena v;
  for (long long t; (t = comdrv_dozvuk(nyni_us())) > 0;) ber(t);
  return comdrv_nesparovano || comdrv_porucha_text[0];
}

// --ports: the serial devices this system has, and which of them COM1 and
// COM2 name now. Opens none of them.
static int nazev_portu(const dirent *e) {
  static const char *const druhy[] = {"ttyS", "ttyUSB", "ttyACM"};
  for (const char *d : druhy)
    if (!strncmp(e->d_name, d, strlen(d)) && e->d_name[strlen(d)] >= '0' && e->d_name[strlen(d)] <= '9') return 1;
  return 0;
}

// A ttyS device with no UART behind it reads as type 0 (unknown).
static int osazeny(const char *jmeno) {
  if (!zacina(jmeno, "ttyS")) return 1;
  char cesta[PATH_MAX];
  snprintf(cesta, sizeof cesta, "/sys/class/tty/%s/type", jmeno);
  FILE *f = fopen(cesta, "r");
  int typ = 1;
  if (f) {
    if (fscanf(f, "%d", &typ) != 1) typ = 1;
    fclose(f);
  }
  return typ != 0;
}

static int vse(const dirent *e) { return e->d_name[0] != '.'; }

// ttyS2 before ttyS10.
static int podle_cisla(const dirent **a, const dirent **b) { return comdrv_poradi((*a)->d_name, (*b)->d_name); }

// The mark of a device that is one of the system's consoles (kernel
// messages, a login on it), empty for others: it takes no board.
static const char *systemova_konzole(const char *zarizeni, const char *pred) {
  static char znacka[64];
  char kam[PATH_MAX], jmeno[64];
  int je = 0;
  FILE *f = realpath(zarizeni, kam) && zacina(kam, "/dev/") ? fopen("/proc/consoles", "r") : nullptr;
  while (f && fscanf(f, "%63s%*[^\n]", jmeno) == 1) je |= !strcmp(jmeno, kam + 5);
  if (f) fclose(f);
  if (!je) return "";
  snprintf(znacka, sizeof znacka, "%sthe system's console, not a free port", pred);
  return znacka;
}

static void porty() {
  int nalezeno = 0;
  dirent **e = nullptr;
  int n = scandir("/dev/serial/by-id", &e, vse, alphasort);
  for (int i = 0; i < n; i++) {
    char cesta[PATH_MAX], kam[PATH_MAX];
    snprintf(cesta, sizeof cesta, "/dev/serial/by-id/%s", e[i]->d_name);
    if (realpath(cesta, kam)) printf("%s -> %s%s\n", cesta, kam, systemova_konzole(kam, ", ")), nalezeno++;
    free(e[i]);
  }
  free(e);
  e = nullptr;
  n = scandir("/dev", &e, nazev_portu, podle_cisla);
  for (int i = 0; i < n; i++) {
    char cesta[PATH_MAX];
    snprintf(cesta, sizeof cesta, "/dev/%s", e[i]->d_name);
    if (osazeny(e[i]->d_name)) printf("%s%s\n", cesta, systemova_konzole(cesta, ", ")), nalezeno++;
    free(e[i]);
  }
  free(e);
  if (!nalezeno) printf("No serial ports found.\n");
  static const short com[] = {0x3F8, 0x2F8};
  for (short port : com) {
    const char *v = getenv(comdrv_promenna(port));
    printf("%s (p%x): %s (%s%s%s)\n", port == 0x3F8 ? "COM1" : "COM2", (unsigned)port, cesta(port),
           comdrv_promenna(port), v && *v ? "" : " unset", systemova_konzole(cesta(port), "; "));
  }
}

// Descriptors 0 to 2 lead somewhere, so that the port can't become one of
// them and have console text written onto the line.
static void std_platne() {
  for (int fd = 0; fd <= STDERR_FILENO; fd++)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0) exit(1);
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
  std_platne();
  zachytavej();
#ifdef PR_SET_TIMERSLACK
  // Sleeps here are 2 ms pauses: the default 50 us slack would stretch each.
  prctl(PR_SET_TIMERSLACK, 1UL);
#endif
  setvbuf(stdout, nullptr, _IONBF, 0);
  // The flags every POSIX tool takes, in this order: the version, help as
  // "?" shows it, the ports, --wait and --report, unknown options. None opens a port.
  static char help[] = "?";
  for (int k = 1; k < argc; k++)
    if (!strcmp(argv[k], "--version")) {
      printf("quarn %s\n", QUARN_VERSION);
      return 0;
    }
  for (int k = 1; k < argc; k++)
    if (!strcmp(argv[k], "-h") || !strcmp(argv[k], "--help")) argv[k] = help;
  // Help comes before --ports and before unknown options: the driver shows it.
  if (!napoveda((unsigned)argc, argv)) {
    for (int k = 1; k < argc; k++)
      if (!strcmp(argv[k], "--ports")) {
        porty();
        return 0;
      }
    vyroba_volby(&argc, argv);
    for (int k = 1; k < argc; k++)
      if (neznama(argv[k])) {
        vypis("Error: Unknown option %s (quarn --help lists them)\n", argv[k]);
        finish(8);
      }
  }
  terminal = isatty(STDOUT_FILENO);
  static cmdstore s;
  if (const char *chyba = cmdtake(argc, argv, &s)) {
    vypis("%s", chyba);
    finish(8);
  }
  quarn((unsigned)s.cmdno + 1, s.cmdpar2);
  zkontroluj();
  finish(0);
}
