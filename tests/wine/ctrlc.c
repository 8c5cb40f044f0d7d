/* Presses Ctrl+C on a run: ctrlc.exe MS PROGRAM [ARGS...] starts PROGRAM on
 * this console, sends the console a Ctrl+C event after MS milliseconds and
 * exits with PROGRAM's exit code (99 when it did not end within 20 s). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* This process stays; a handler is not inherited, as ignoring would be. */
static BOOL WINAPI stay(DWORD event) { return event == CTRL_C_EVENT; }

int main(int argc, char **argv) {
  char cmd[1024] = "";
  STARTUPINFOA si;
  PROCESS_INFORMATION pi;
  DWORD code = 99;
  if (argc < 3) return fprintf(stderr, "usage: ctrlc.exe MS PROGRAM [ARGS...]\n"), 2;
  for (int i = 2; i < argc; i++)
    snprintf(cmd + strlen(cmd), sizeof cmd - strlen(cmd), "%s%s", i > 2 ? " " : "", argv[i]);
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  SetConsoleCtrlHandler(stay, TRUE);
  if (!CreateProcessA(NULL, cmd, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
    return fprintf(stderr, "ctrlc: cannot start %s\n", cmd), 2;
  Sleep(atoi(argv[1]));
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) fprintf(stderr, "ctrlc: no console event\n");
  if (WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  return (int)code;
}
