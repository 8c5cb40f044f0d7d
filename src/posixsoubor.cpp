// POSIX side of replacing an output file whole: a temporary file beside the
// target, renamed over it once it is complete.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "quarn.h"

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
