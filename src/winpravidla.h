// The Windows layer's decisions that need no Windows, so that the tests
// check them on any system. Error codes are Windows' own numbers.
#pragma once

// A port's name as users write it (COM3: with its colon, "COM7" with the
// quotes that cmd's set keeps, blanks around it): the name alone, in jmeno.
void win_port(const char *zadano, char *jmeno, int n);

// Why a port could not be opened, where a plainer reason than the
// system's text fits; null for the other error codes.
const char *win_odmitnuti(unsigned long chyba);

// 1 when an error of a read, a write or the port's state during a run
// means that the device is gone, as USB serial drivers report an adapter
// pulled out (an abort counts only when the layer did not cancel itself).
int win_odpojeno(unsigned long chyba);

// How long the console's close handler waits for finish to clean up:
// within the time Windows gives a handler (limit_ms; 0 when unknown, then
// Windows' default of 5 s), less a margin for the process to end.
unsigned long win_cekani_zavreni(unsigned long limit_ms);

// Milliseconds a byte takes at baud (10 bits on the line), rounded up.
unsigned long win_ms_bajtu(int baud);
// How long a write of n bytes at baud may stay open before the port has
// failed: its time-out (its bytes' time and an answer window), a second more.
unsigned long win_mez_zapisu(int baud, int n);

// 1 when a failed rename is tried again, ms after the first try: a virus
// scanner or the indexer holds one of the files for a moment.
int win_znovu(unsigned long chyba, unsigned long ms);

// 1 when a CI service's variable is set: a runner with a desktop no one
// looks at.
int win_ci();
