/* Starts PROGRAM on this console, does one thing to it meanwhile, and exits
 * with PROGRAM's exit code (99 when it did not end within 20 s, or when
 * its temporary file never came):
 *   during.exe ctrlc MS PROGRAM [ARGS...]  sends the console a Ctrl+C event
 *                                          after MS milliseconds
 *   during.exe FILE MS PROGRAM [ARGS...]   holds FILE open, as a virus scanner
 *       or the indexer does for a moment, from before PROGRAM's temporary
 *       file FILE.quarn-* appears until MS milliseconds after, so that its
 *       rename over FILE meets it */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* This process stays; a handler is not inherited, as ignoring would be. */
static BOOL WINAPI stay(DWORD event) { return event == CTRL_C_EVENT; }

int main(int argc, char **argv) {
  char pattern[MAX_PATH];
  WIN32_FIND_DATAA d;
  STARTUPINFOA si = {0};
  PROCESS_INFORMATION pi;
  DWORD code = 99;
  if (argc < 4) return fprintf(stderr, "usage: during.exe ctrlc|FILE MS PROGRAM [ARGS...]\n"), 2;
  int ctrlc = !strcmp(argv[1], "ctrlc"), seen = ctrlc;
  HANDLE f = ctrlc ? NULL : CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  si.cb = sizeof si;
  snprintf(pattern, sizeof pattern, "%s.quarn-*", argv[1]);
  SetConsoleCtrlHandler(stay, TRUE);
  if (!CreateProcessA(NULL, strstr(GetCommandLineA(), argv[3]), NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
    return fprintf(stderr, "during: cannot start %s\n", argv[3]), 2;
  for (int i = 0; !seen && i < 3000; i++)
    if (!(seen = FindFirstFileA(pattern, &d) != INVALID_HANDLE_VALUE)) Sleep(10);
  Sleep(atoi(argv[2]));
  if (ctrlc && !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) fprintf(stderr, "during: no console event\n");
  if (f) CloseHandle(f);
  if (WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  return seen && f != INVALID_HANDLE_VALUE ? (int)code : 99;
}
