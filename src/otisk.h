// SHA-256 of what a run moved, for its report: the project's own small routine.
#pragma once
#include <cstddef>
#include <cstdint>

struct otisk {
  uint32_t h[8];
  unsigned char blok[64];  // the 64-byte block being filled
  uint64_t delka;          // bytes taken so far
};

void otisk_zacni(otisk &s);
void otisk_pridej(otisk &s, const void *data, size_t n);
// The digest as 64 lower-case hex digits and a NUL.
void otisk_hex(otisk &s, char *hex);
