// The in-process line: the loader's logic runs against the board model with
// no real time passing. Each request telegram goes to the board; a test can
// change or drop any answer, and finish() ends the test case, not the process.
#pragma once
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "board.h"

namespace seam {

// What becomes of one answer on its way back: the frame as the board sent
// it in, the bytes that reach the receive buffer out. Empty: no answer.
typedef std::function<bytes(const bytes &)> fate;

extern board brd;                 // the simulated board behind the line
extern std::vector<bytes> wire;   // every request telegram as it went out
extern std::deque<fate> fates;    // consumed one per exchange; then answers pass
extern int port_opened;           // zapni_UART calls that succeeded

struct result {
  int code;         // the exit code finish() got; -1 when the routine returned
  std::string out;  // console text
};

// A fresh board and line, and the loader's state of a new run.
void reset(bool old = false);
// quarn() with these arguments (argv[0] is added, empty), then finish(0).
result run(const std::vector<std::string> &args);
// Any routine of the loader, with its console text and exit code.
result call(const std::function<void()> &f);

fate drop();
fate answer(const std::string &text);         // a well-formed answer with this text
fate raw(const bytes &b);                      // exactly these bytes
void drop_next(int n);                         // the next n answers are lost

bytes frame_of(const std::string &text);       // an answer frame with this text
bytes request_of(const std::string &text);     // a request telegram carrying this text
std::string hex(const bytes &b);               // "68 0C 0C 68 ..."
bytes unhex(const std::string &s);             // the reverse, blanks ignored
std::string tmpdir();                          // a fresh temporary folder
void write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);

}  // namespace seam
