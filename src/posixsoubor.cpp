// POSIX side of the files a run writes: an output file replaced whole (a
// temporary file beside the target, renamed over it once it is complete),
// and the report appended to a line at a time.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quarn.h"
#include "vyroba.h"

int soubor_docasny(const char *cil, char *docasny, int n) {
  // A link's target is replaced, the link kept.
  char skutecny[PATH_MAX];
  struct stat st;
  const char *c = cil;
  if (lstat(cil, &st) == 0 && S_ISLNK(st.st_mode)) {
    if (!realpath(cil, skutecny)) return 0;
    c = skutecny;
  }
  int je = stat(c, &st) == 0;
  // Devices and pipes are written as the bytes come, files Quarn may not
  // write in place: their open says what is wrong.
  if (je && !S_ISREG(st.st_mode)) return -1;
  if (je && access(c, W_OK)) return 0;
  if (snprintf(docasny, n, "%s.quarn-XXXXXX", c) >= n) return 0;
  int fd = mkstemp(docasny);
  if (fd < 0) return 0;
  mode_t maska = umask(0);
  umask(maska);
  // The new file gets the old one's permissions, or a new file's.
  int chyba = fchmod(fd, je ? st.st_mode & 07777 : 0666 & ~maska);
  if (close(fd) || chyba) {
    unlink(docasny);
    return 0;
  }
  return 1;
}

int soubor_nahrad(const char *docasny, const char *cil) {
  char skutecny[PATH_MAX];
  struct stat st;
  if (lstat(cil, &st) == 0 && S_ISLNK(st.st_mode) && realpath(cil, skutecny)) cil = skutecny;
  return rename(docasny, cil);
}

static int protokol = -1;

const char *protokol_otevri(const char *soubor) {
  // A pipe nobody reads is refused at once, not waited on.
  protokol = open(soubor, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (protokol < 0) return strerror(errno);
  fcntl(protokol, F_SETFL, O_APPEND);
  return nullptr;
}

int protokol_pripis(const char *radek, size_t n) {
  int fd = protokol;
  protokol = -1;
  // Runs on several boards append to one file: a line at a time, whole.
  while (flock(fd, LOCK_EX) && errno == EINTR) {
  }
  struct stat st;
  int soubor = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ssize_t w = write(fd, radek, n);
  // A line written in part (a full disk) is taken back.
  if (w > 0 && w < (ssize_t)n && soubor && ftruncate(fd, st.st_size)) w = 0;
  // Closing lets the next run have the lock.
  return close(fd) != 0 || w != (ssize_t)n;
}

const char *pocitac() {
  static char b[256];
  if (gethostname(b, sizeof b - 1)) b[0] = 0;
  return b;
}
