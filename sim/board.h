// The simulated ORBA-01 board: a model of the BELKOS firmware that takes
// request telegrams as they come from the line and answers each one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> bytes;

const uint32_t BOARD_MEMSIZE = 0x1000000;  // 24-bit address space

struct board {
  bytes mem;        // BOARD_MEMSIZE bytes, 0xFF (erased flash) at start
  bool old = false; // firmware before v1.28: S2 text lines, no block telegrams
  bytes rx;         // line bytes not yet framed
  std::vector<std::pair<uint32_t, uint32_t>> stuck;  // ranges that ignore writes, answered as taken
  bool ignore_text = false;  // S1 and S3 text records answered '*' but not stored
};

// Memory erased, receiver empty.
void board_init(board &b, bool old);

// Takes line bytes in any pieces. Every complete request frame whose
// checksum and end byte are right is appended to `frames`, whole (68 .. 16).
// Bytes that cannot start or complete a frame are dropped; the receiver
// resynchronises on the next start byte.
void board_rx(board &b, const uint8_t *p, size_t n, std::vector<bytes> &frames);

// Forgets a partial frame (the line went quiet in the middle of one).
void board_rx_reset(board &b);

// Carries out one request frame and returns its answer frame:
// 68 L L 68, F5 47 7F 7F, the answer text, checksum, 16.
bytes board_answer(board &b, const bytes &frame);

// An answer frame carrying `text`.
bytes board_frame(const std::string &text);

// CRC-16 of block telegrams: polynomial 0xB599, initial 0, MSB first.
uint16_t board_crc16(const uint8_t *p, size_t n);

// One decoded line for a transcript, e.g.
// "block 'n' at 012380, 3 bytes, CRC ok" or "text \"I000000\\n\"".
std::string board_describe(const bytes &frame);

// The identity text the board gives to "I000000\n".
extern const char *const board_id;
extern const char *const board_id_old;
