// What the fuzz targets share. The loader runs in-process through the tests'
// seam (tests/seam.h): requests go to the board model, finish() throws.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "seam.h"

namespace fz {

// Exchanges one input may make; past them the run is stopped unjudged, so a
// 16 MiB @binget stays a fast input.
const int BUDGET = 2000;

// Once per process: the scratch folder becomes the working folder (files
// in.bin, a.scr and img.s28 are put there), the console is captured per run.
void init();

// img.s28: a mask-encoded block, a record across two blocks, the S8 record
// inside the block still open.
const char *const IMAGE =
    "S206001005AABB7F\nS205001010CC0E\nS20800107E11223344BF\nS8040010806B\n";
const uint32_t IMAGE_AT[] = {0x1005, 0x1006, 0x1010, 0x107E, 0x107F, 0x1080, 0x1081};
const uint8_t IMAGE_DATA[] = {0xAA, 0xBB, 0xCC, 0x11, 0x22, 0x33, 0x44};

// Before each input: the loader's state of a new run and a board as new.
void fresh(bool old = false);

struct result {
  int code;         // exit code; -1: the routine returned; -2: stopped by BUDGET
  std::string out;  // console text
};

// Runs f, catching finish() and the budget stop. Aborts (a finding) when the
// run ends with an exit code that the loader does not use, or with an error
// code and no message saying why.
result run(const std::function<void()> &f);

// The POSIX entry: arguments into the store, then quarn() and finish(0).
result run_argv(const std::vector<std::string> &args);

// Writes a file in the scratch folder; it is removed after the input.
void put(const std::string &name, const uint8_t *data, size_t n);

// Reports a finding and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const std::string &what, const result &r);

}  // namespace fz
