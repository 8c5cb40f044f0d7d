// The in-process line: the loader's logic runs against the simulated board
// and its line (the same model quarn-sim serves) on a virtual clock, so no
// real time passes. finish() ends the test case, not the process.
#pragma once
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "quarn.h"

namespace seam {

// What becomes of the answer to request n (counted from 1) before the line
// carries it: the frame as the board made it in, the bytes that go out.
// Empty: no answer.
typedef std::function<bytes(size_t n, const bytes &)> fate;

extern board brd;                       // the simulated board behind the line
extern std::vector<std::string> wire;   // every request telegram as it went out
extern long long now;                   // the virtual clock, microseconds
extern fate fates;                      // when set, every answer's

struct result {
  int code;         // the exit code finish() got; -1 when the routine returned
  std::string out;  // console text
};

// A fresh board and line made by quarn-sim's options, and a new run's state; the
// answer text holds an earlier run's, as a second run in one process finds it.
void reset(const std::vector<std::string> &board_options = {});
// quarn() with these arguments as the POSIX entry passes them (--wait and
// --report taken out), then finish(0);
// or with what `take` stores, as an entry would, its refusal ending with 8.
result run(std::vector<std::string> args);
result run(const std::function<const char *(cmdstore *)> &take);
// Any routine of the loader, with its console text and exit code.
result call(const std::function<void()> &f);

// \n \r \t \\ \xHH; {banner}, and {start}: the banner and the default settings lines.
std::string unescape(const std::string &s);
std::string text_of(const std::string &t);  // a telegram's text: from index 8 up to its checksum
std::string bytes_of(const std::string &hex);  // "68 0C 0C 68 FF*3 ...": the bytes
// What a console finally shows of a text: each line as its carriage
// returns let later text overwrite it and 0x01 (a console's erase to the
// line's end) cut it, without blanks at its end.
std::string drawn(const std::string &t);

// A fresh folder under the test process's one temporary root (in TMPDIR),
// which goes when the process ends.
std::string tmpdir();
void write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);

// A program end to end: as built beside the tests, or with QUARN_PROGRAMS=DIR
// (a build with the sanitizers, whose programs start slower) that folder's.
inline std::string program(const char *built, const char *name) {
  const char *dir = getenv("QUARN_PROGRAMS");
  return dir ? std::string(dir) + "/" + name : built;
}

// What a run may not leave in its folder: a temporary file beside an output
// file (a name holding ".quarn-"), at any depth.
std::vector<std::string> leftovers(const std::string &dir);

std::string quote(const std::string &s);  // for the shell, in single quotes
// A shell command run in `dir`: its exit status and standard output.
std::pair<int, std::string> sh(const std::string &cmd, const std::string &dir);

}  // namespace seam
