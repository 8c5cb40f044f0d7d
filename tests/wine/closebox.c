/* Answers quarn.exe's closing message box under Wine, where no one else
 * could: waits up to SECONDS (default 20) for the dialog captioned "Quarn",
 * checks that it says "Quarn has finished" and offers OK alone, and
 * presses OK; with FILE, only once FILE, made when the box came, is gone.
 * Exit status 0 when it did so, 1 on a wrong box, 2 when none came in time.
 *   closebox.exe [SECONDS [FILE]] */
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
  /* The caller looks at the system while the box waits. */
  if (argc > 2) CloseHandle(CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
  while (argc > 2 && GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES && GetTickCount() - start < limit)
    Sleep(20);
  /* Close it either way, so that the program under test can end. */
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)ok);
  return good ? 0 : 1;
}
