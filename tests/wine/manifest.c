/* Checks the application manifest of each program named, as Windows finds
 * it (resource 1 of type RT_MANIFEST): the user's own rights, no UAC file
 * virtualization; Windows 10 and 11 among the supported systems; long
 * paths. Prints each fault; exit status 1 when there was any. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv) {
  static const char *const wanted[] = {"<requestedExecutionLevel level=\"asInvoker\"",
                                       "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
                                       "/WindowsSettings\">true</longPathAware>"};
  int faults = 0;
  for (int i = 1; i < argc; i++) {
    HMODULE m = LoadLibraryExA(argv[i], NULL, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC r = m ? FindResourceA(m, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : NULL;
    DWORD n = r ? SizeofResource(m, r) : 0;
    char text[4096] = "";
    if (n && n < sizeof text) memcpy(text, LockResource(LoadResource(m, r)), n);
    for (int k = 0; k < 3; k++)
      if (!strstr(text, wanted[k])) printf("%s: no %s in its manifest\n", argv[i], wanted[k]), faults++;
  }
  return faults != 0;
}
