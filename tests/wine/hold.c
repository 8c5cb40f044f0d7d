/* Holds FILE open as a virus scanner or the indexer does for a moment:
 * from before a run's temporary file FILE.quarn-* appears until MS
 * milliseconds after, so that the run's rename over FILE meets it.
 *   hold.exe FILE MS */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv) {
  char pattern[MAX_PATH];
  WIN32_FIND_DATAA d;
  HANDLE s = INVALID_HANDLE_VALUE;
  if (argc < 3) return fprintf(stderr, "usage: hold.exe FILE MS\n"), 2;
  snprintf(pattern, sizeof pattern, "%s.quarn-*", argv[1]);
  HANDLE f = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  for (int i = 0; i < 3000 && (s = FindFirstFileA(pattern, &d)) == INVALID_HANDLE_VALUE; i++) Sleep(10);
  Sleep(atoi(argv[2]));
  CloseHandle(f);
  return f == INVALID_HANDLE_VALUE || s == INVALID_HANDLE_VALUE;
}
