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
extern std::vector<long long> wire_at;  // when each went out, virtual microseconds
extern long long now;             // the virtual clock, microseconds
extern std::deque<fate> fates;    // consumed one per exchange; then answers pass
extern int port_opened;           // zapni_UART calls that succeeded

struct result {
  int code;         // the exit code finish() got; -1 when the routine returned
  std::string out;  // console text
};

// A fresh board and line, and the loader's state of a new run.
void reset(bool old = false);
// The same, the board and its line made by quarn-sim's options.
void reset(const std::vector<std::string> &options);
// The line and the loader's state of a new run; the board as it is.
void reset_line();
// quarn() with these arguments (argv[0] is added, empty), then finish(0).
result run(const std::vector<std::string> &args);
// What the program's entry does with these arguments; ends in finish().
void main_of(const std::vector<std::string> &args);
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

// Helpers the test files share.
// Worked telegrams, byte for byte: the identity query "I000000\n"; 12 34 AB CD
// at 001010 in the run encoding; AA BB at 012380 and CC at 012385 in the mask one.
constexpr const char *IDQ = "68 0C 0C 68 7F 7F 47 F5 49 30 30 30 30 30 30 0A AD 16";
constexpr const char *RUN_BLOCK = "68 0F 0F 68 7F 7F 47 F5 73 10 10 00 04 12 34 AB CD 76 9C A1 16";
constexpr const char *MASK_BLOCK =
    "68 1D 1D 68 7F 7F 47 F5 6E 80 23 01 23 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "AA BB CC 12 7A 2C 16";
std::string text_of(const bytes &t);           // a telegram's text: from index 8 up to its checksum
std::vector<std::string> sent();               // the text of every request on the wire, in order
bool ends_with(const std::string &s, const std::string &tail);
result script(const std::string &path);        // the script interpreter on this file
std::string in_tmpdir();                       // a fresh temporary folder, made the working one

// Processes and lines, for the tests that run the programs.
struct child {
  int pid = -1;
  int out = -1;  // the read end of the child's standard output
};
// Starts argv[0] with argv; env holds "NAME=value" settings made in the
// child, in order; its standard error goes to err_path when one is given.
child spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
            const std::string &err_path = "");
int reap(const child &c);  // waits for it: its exit status, or 128 + the signal
void make_raw(int fd);     // a raw 8-bit line: nothing translated either way

}  // namespace seam
