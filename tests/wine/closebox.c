/* Answers quarn.exe's closing message box under Wine, where no one else
 * could: waits for the dialog captioned "Quarn" (up to the seconds its
 * argument gives, else 20), checks that it says "Quarn has finished" and
 * offers only OK, and presses OK.
 * Exit status 0 when it did so, 1 on a wrong box, 2 when none came in time. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

struct look {
  char text[256]; /* the text of the box's static control */
  int buttons;    /* buttons in the box */
};

static BOOL CALLBACK child(HWND w, LPARAM lp) {
  struct look *l = (struct look *)lp;
  char cls[32], text[256];
  GetClassNameA(w, cls, sizeof cls);
  if (!lstrcmpiA(cls, "Button")) {
    l->buttons++;
  } else if (!lstrcmpiA(cls, "Static")) {
    /* The icon is a static control too; it has no text. */
    if (GetWindowTextA(w, text, sizeof text) > 0) strcpy(l->text, text);
  }
  return TRUE;
}

int main(int argc, char **argv) {
  DWORD wait_ms = (argc > 1 ? atoi(argv[1]) : 20) * 1000, start = GetTickCount();
  HWND box;
  while (!(box = FindWindowA("#32770", "Quarn"))) {
    if (GetTickCount() - start > wait_ms) {
      fprintf(stderr, "closebox: no message box \"Quarn\" within %lu ms\n", wait_ms);
      return 2;
    }
    Sleep(20);
  }
  /* The box fills in its controls while it is being created. */
  Sleep(100);
  struct look l = {"", 0};
  EnumChildWindows(box, child, (LPARAM)&l);
  HWND ok = GetDlgItem(box, IDOK);
  int good = !strcmp(l.text, "Quarn has finished") && l.buttons == 1 && ok;
  if (!good)
    fprintf(stderr, "closebox: box says \"%s\" with %d button(s)%s\n", l.text,
            l.buttons, ok ? "" : ", none of them OK");
  /* Close it either way, so that the program under test can end. */
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)ok);
  return good ? 0 : 1;
}
