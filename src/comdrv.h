// The serial driver's interface, shared by the loader's logic and the
// platform layers (Windows, POSIX, and the tests' in-process stand-in).
#pragma once

// Receive buffer: the last answer telegram from index 0.
extern unsigned char comdrv_rbuf[256];
// 1 when the last exchange found a well-terminated answer, else 0.
extern int txrxok;
// Settings the port set-up applied; 0 until it succeeds.
extern int comdrv_port, comdrv_irq, comdrv_baud, comdrv_mode;

// Opens and configures the port: 0 on success, 1 when refused.
int zapni_UART(short port, signed char irq, int baud, signed char mode);

// One exchange: completes and writes the request telegram `tel` (delka bytes
// on the line, checksum and end byte included), waits up to 550 ms for one
// answer telegram. Leaves `tel` unchanged; reports through txrxok.
int posli_telegram(char *tel, int delka);

// Hooks around every exchange; they do nothing.
inline void ocekavej_telegram() {}
inline void vyckej(int) {}

// The frame's fixed parts, the same for every platform layer.
const int COMDRV_WINDOW_MS = 550;
const int COMDRV_PAUSE_MS = 2;

// Answers owed (comdrv.cpp). Every whole answer frame that comes, in a
// window or outside one, pays for one request sent.
// Nonzero when the request differs from the last one sent: a retry of the
// same request may take any answer to it, another must await those owed.
int comdrv_jiny(const unsigned char *tx, int delka);
// Bytes the line brought outside a window.
void comdrv_zbytky(const unsigned char *b, int n);
// Microseconds still to wait for owed answers; 0 when none is owed.
long long comdrv_dluzno(long long nyni_us);
// A request went out: its answer is owed.
void comdrv_odeslano(const unsigned char *tx, int delka);
// The window closed with `prijato` bytes in the receive buffer.
void comdrv_okno(const unsigned char *rb, int prijato, long long start_us);

// Copies the caller's telegram into `tx` and fills in the length bytes, the
// checksum and the end byte. 0 when delka cannot be a telegram.
inline int comdrv_frame(const char *tel, int delka, unsigned char *tx) {
  if (delka < 6 || delka > 256) return 0;
  for (int i = 0; i < 256; i++) tx[i] = (unsigned char)tel[i];
  tx[1] = tx[2] = (unsigned char)(delka - 6);
  tx[delka - 1] = 0x16;
  unsigned char sum = 0;
  for (int i = 4; i <= delka - 3; i++) sum = (unsigned char)(sum + tx[i]);
  tx[delka - 2] = sum;
  return 1;
}

// True when the end byte stands where the answer's length byte puts it.
// Lengths above 250 put it past the buffer: never well-terminated.
inline int comdrv_complete(const volatile unsigned char *rb) {
  unsigned l = rb[1];
  return 5 + l < 256 && rb[5 + l] == 0x16;
}

// The closing test of an exchange: sets txrxok, replaces the end byte by 0.
inline void comdrv_close(unsigned char *rb) {
  txrxok = comdrv_complete(rb);
  if (txrxok) rb[5 + rb[1]] = 0;
}
