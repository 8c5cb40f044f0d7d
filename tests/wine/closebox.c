/* Answers quarn.exe's closing message box under Wine, where no one else
 * could: waits up to SECONDS (default 20) for the dialog captioned "Quarn",
 * checks that it says "Quarn has finished" and offers OK alone, and
 * presses OK. Exit status 0 when it did so, 1 on a wrong box, 2 when none
 * came in time. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv) {
  DWORD start = GetTickCount(), limit = argc > 1 ? atoi(argv[1]) * 1000 : 20000;
  HWND box;
  while (!(box = FindWindowA("#32770", "Quarn")))
    if (GetTickCount() - start > limit) return fprintf(stderr, "closebox: no message box \"Quarn\"\n"), 2;
    else Sleep(20);
  Sleep(100); /* the box fills in its controls as it is made */
  char text[256] = "";
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text); /* a message box's text control */
  HWND ok = GetDlgItem(box, IDOK);
  int good = !strcmp(text, "Quarn has finished") && ok && !GetDlgItem(box, IDCANCEL) && !GetDlgItem(box, IDNO);
  if (!good) fprintf(stderr, "closebox: box says \"%s\"%s\n", text, ok ? "" : ", no OK button");
  /* Close it either way, so that the program under test can end. */
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)ok);
  return good ? 0 : 1;
}
