// Images straight from a toolchain: Intel HEX and ELF files, judged by
// their content and read whole, every record and segment checked, before
// anything of them is sent.
#pragma once
#include <cstdio>
#include <functional>
#include <map>
#include <string>

// 128 bytes of target memory from a multiple of 128, and which of them the
// image fills.
struct kus_obrazu {
  unsigned char data[128], maska[16];
};

// What an image puts in target memory, and where it starts.
struct obraz_souboru {
  std::map<unsigned, kus_obrazu> kusy;
  unsigned long bajtu = 0;  // bytes filled
  unsigned start = 0;       // the file's own start address, else the lowest address filled
  bool se_startem = false;     // the file gave its start address
};

// Why an image is refused: for an Intel HEX record, its line and text too.
struct vada {
  std::string proc;
  unsigned radek = 0;
  std::string zaznam;
};

// Judges the file f, just opened, by its content: 1 for Intel HEX, 2 for
// ELF, read whole into o, or refused with the reason in v; -1 when reading
// failed. 0 for a script: a file that can seek is back at its start; from a
// pipe, the bytes read to judge it are in `precteno`, to be read first.
int posud(FILE *f, obraz_souboru &o, vada &v, std::string &precteno);

// The S2 records of at most 64 bytes that load the image, in address order,
// then the S8 record with its start; each with its line end.
void zaznamy_obrazu(const obraz_souboru &o, const std::function<void(const char *)> &f);
