// The programs as processes, where no scenario reaches: quarn-sim's command
// line (its version, a board in the background) and memory file; quarn's refusal of ports it can't have, a line that
// holds an earlier run's answer, one that goes away or takes no bytes,
// what a USB adapter sees of the port, signals, a port waited for, and progress at a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "seam.h"

namespace {

const std::string SIM = seam::program(QUARN_SIM_BIN, "quarn-sim"), QUARN = seam::program(QUARN_BIN, "quarn");

std::pair<int, std::string> sh(const std::string &cmd) {
  std::string dir = seam::tmpdir();
  auto r = seam::sh("export SIM=" + SIM + " Q=" + QUARN + "; " + cmd + " 2>/dev/null", dir);
  EXPECT_EQ(seam::leftovers(dir), std::vector<std::string>()) << cmd;
  return r;
}

TEST(Programs, SimCommandLine) {
  EXPECT_EQ(sh("$SIM -- sh -c 'exit 3'").first, 3);
  EXPECT_EQ(sh("$SIM sh -c 'kill -9 $$'").first, 128 + 9);
  EXPECT_EQ(sh("$SIM -- sh -c 'test -c \"$QUARN_COM1\" && test \"$QUARN_COM1\" = \"$QUARN_COM2\"'").first, 0);
  EXPECT_EQ(sh("$SIM -- no-such-command-here").first, 127);
  // A bad option ends it with 2 (the options themselves: Board.OptionsAtTheEndsOfTheirRanges).
  EXPECT_EQ(sh("$SIM --bogus -- true").first, 2);
  // A memory file that can't be the board's 16 MiB.
  EXPECT_EQ(sh("truncate -s 16777217 big && $SIM --memory big -- true").first, 1);
  // Its version; a board in the background is ready when the command returns.
  EXPECT_EQ(sh("$SIM --version").second.rfind("quarn-sim 0.", 0), 0u);
  auto r = sh("p=$($SIM --link b --background | sed -n 2p) && QUARN_COM1=b $Q; kill $p");
  EXPECT_NE(r.second.find("ORBA-01 BELKOS v1.28\nExit code 0\n"), std::string::npos) << r.second;
  // Its link is there while it serves and gone when it ends.
  EXPECT_EQ(sh("$SIM --link b -- test -c b && ls").second, "");
  // A request broken off is forgotten once the line has been quiet; a
  // single byte sent at any other speed is garbled, and the speed named.
  r = sh("$SIM --log l -- sh -c 'printf h >$QUARN_COM1; sleep 0.2; $Q R000000,01 >/dev/null' 2>/dev/null; grep -c 'partial request dropped after silence: 68' l; "
         "$SIM --baud 9600 --log g -- sh -c 'for b in 1200 2400 4800 9600 19200 38400 57600 115200; do stty -F $QUARN_COM1 $b raw; "
         "printf h >$QUARN_COM1; sleep 0.05; done' 2>/dev/null; sed -n 's/.* 1 bytes garbled: sent at \\([0-9]*\\) baud.*/\\1/p' g | paste -sd' '");
  EXPECT_EQ(r.second, "1\n1200 2400 4800 19200 38400 57600 115200\n");
  // A stop signal goes on to the command, whose status it ends with.
  EXPECT_EQ(sh("$SIM -- sleep 9 & s=$!; sleep 0.3; kill -TERM $s; wait $s").first, 128 + 15);
  // Its help, on standard output, names the options its manual page does.
  r = sh("$SIM --help");
  EXPECT_EQ(r.first, 0);
  EXPECT_EQ(r.second.rfind("Usage: quarn-sim [OPTIONS] [--] [COMMAND [ARGS...]]\n", 0), 0u);
  // The names of "  --name ..." lines (help), ".B --name" and ".BI --name" (manual).
  auto options = [](const std::string &text, const std::string &start) {
    std::set<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
      size_t at = l.find("--");
      if (!l.compare(0, start.size(), start) && at >= start.size() && at <= start.size() + 2)
        v.insert(l.substr(at + 2, l.find_first_of(" ,", at) - at - 2));
    }
    return v;
  };
  std::string man = seam::read_file(QUARN_SOURCE_DIR "/man/quarn-sim.1");
  man.erase(std::remove(man.begin(), man.end(), '\\'), man.end());
  EXPECT_EQ(options(r.second, "  "), options(man, ".B"));
}

// A port another program holds (locked), a regular file, a device that takes
// no line settings, a port that isn't there: refused with the device, what
// named it and the system's reason; exit code 2. --ports opens none, in
// the order people count ports, and marks the system's console.
TEST(Programs, PortsRefused) {
  auto r = sh("$SIM >tty & sim=$!; until [ -s tty ]; do sleep 0.01; done; read pty <tty; flock $pty sleep 1 & "
              "sleep 0.2; touch plain; { QUARN_COM1=$pty $Q I000000 | sed \"s|$pty|PTY|\"; QUARN_COM1=plain $Q; "
              "QUARN_COM1=/dev/null $Q; QUARN_COM2=none $Q p2f8; echo $?; } | grep -a -e Error -e '^2$'; kill $sim");
  EXPECT_EQ(r.second,
            "Error: PTY (QUARN_COM1): in use (locked by another program).\n"
            "Error: plain (QUARN_COM1): not a serial port.\n"
            "Error: /dev/null (QUARN_COM1): not a serial port.\n"
            "Error: none (QUARN_COM2): No such file or directory.\n2\n");
  // --ports, anywhere: the list alone (no banner, no exit code line) of
  // serial devices, ending with what COM1 and COM2 name; none opened. The
  // devices are made up in a mount namespace of the test's own: a stable
  // name, a ttyS with no UART behind it, names of no serial port; the
  // default device refused, and what named it.
  r = sh("unshare -rm true || exit 77; unshare -rm sh -c 'mount -t tmpfs t /dev && mount -t tmpfs t /sys/class/tty && "
         "cd /sys/class/tty && mkdir ttyS4 ttyS5 ttyS10 && echo 0 >ttyS4/type && echo 4 | tee ttyS5/type >ttyS10/type && "
         "cd /dev && echo ttyUSB0 >c && mount --bind c /proc/consoles && mkdir -p serial/by-id && "
         "touch ttyS4 ttyS5 ttyS10 ttyUSB0 ttyACM ttyX && ln -s ../../ttyUSB0 serial/by-id/usb-A && "
         "QUARN_COM1=none env -u QUARN_COM2 $Q x --ports && rm -r ttyS5 ttyS10 ttyUSB0 serial && $Q --ports | head -1; "
         "env -u QUARN_COM2 $Q p2f8 | grep Error'");
  if (r.first == 77) GTEST_SKIP() << "no mount namespace here";
  const std::string console = ", the system's console, not a free port\n";
  EXPECT_EQ(r.second, "/dev/serial/by-id/usb-A -> /dev/ttyUSB0" + console + "/dev/ttyS5\n/dev/ttyS10\n/dev/ttyUSB0" + console +
                      "COM1 (p3f8): none (QUARN_COM1)\nCOM2 (p2f8): /dev/ttyS1 (QUARN_COM2 unset)\nNo serial ports found.\n"
                      "Error: /dev/ttyS1 (COM2; QUARN_COM2 names another device): No such file or directory.\n");
  // A port in use can't be opened by another program, even one that takes
  // no lock (root can: hence the namespace).
  r = sh("$SIM --drop 1 -- sh -c '$Q R0 >/dev/null & sleep 0.3; unshare -r sh -c \"exec 3<>$QUARN_COM1\" 2>&1; kill $!'");
  EXPECT_NE(r.second.find("Device or resource busy"), std::string::npos) << r.second;
}

// An unplugged adapter: the run ends (exit 12) without spinning, even while
// it waits out the window of a '~' request that may have reset the board.
// A port whose output is held (flow control) takes no request: exit 12
// after one window.
TEST(Programs, HangUpCostsNoCpu) {
  auto r = sh("$SIM --hangup 1 -- bash -c 'TIMEFORMAT=\"%3U %3S\"; { time $Q \"~X\" \"~Y\" >out; } 2>&1; echo $?'");
  double user = 1, sys = 1;
  int code = 0;
  ASSERT_EQ(sscanf(r.second.c_str(), "%lf %lf %d", &user, &sys, &code), 3) << r.second;
  EXPECT_EQ(code, 12);
  EXPECT_LT(user + sys, 0.2) << r.second;
  r = sh("$SIM -- sh -c \"perl -MPOSIX -e 'open(F, qq(+<), shift); tcflow(fileno(F), TCOOFF)' \\$QUARN_COM1; $Q R0\"");
  EXPECT_NE(r.second.find(": the request could not be written within its answer window\nExit code 12\n"), std::string::npos) << r.second;
}

#ifdef QUARN_UART_LIB
// What a USB adapter sees that a pseudo-terminal can't show (tests/uart.c
// plays the adapter): the frame each mode names (8N1, 8O1, 8E1, 8O1), no
// flow control, whatever another program left; low latency asked of its driver, its other flags
// kept, and nothing set on a port without them; DTR and RTS dropped, so
// that a board wired to them isn't held in reset. Settings that can't be
// read refuse the port before any request; a write failing (unplugged)
// ends the run with its reason, even one of a '~' request, and so does a
// read, unless a '~' request has gone out whole (it may restart the board
// and its USB port). Each run: its last two lines, the log, whole requests.
TEST(Programs, TheAdapterAsARealPortSeesIt) {
  auto r = sh("export L=" QUARN_UART_LIB "; u() { f=$1; shift; $SIM --log s -- sh -c 'QUARN_UART_FAULT=$0 QUARN_UART_LOG=u "
              "LD_PRELOAD=$L ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 $Q \"$@\" | "
              "sed \"s|$QUARN_COM1|PORT|\" | tail -2' $f \"$@\" 2>/dev/null; cat u 2>/dev/null; grep -c ' > ' s; rm -f u s; }; "
              "u none; u serial; u tcgetattr; u write:4; u write:16 ~X ~Y; u read:0; u read:0 ~X; u none m1; u none m2; u none m3");
  const std::string id = "ORBA-01 BELKOS v1.28\nExit code 0\n", done = "Loading completed with no errors.\nExit code 0\n",
                    eio = "Error: The port failed: PORT: Input/output error\nExit code 12\n",
                    usb = "flags 0x20c0, DTR on, RTS on\nflags 0x20c0, DTR off, RTS off\n",  // 0xc0 and low latency
                    n = "line 8N1\n" + usb, o = "line 8O1\n" + usb;
  EXPECT_EQ(r.second, id + n + "1\n" + id + "line 8N1\nflags 0xc0, DTR off, RTS off\n1\n" +  // none, serial
                      "Error: PORT (QUARN_COM1): Input/output error.\nExit code 2\n0\n" +  // tcgetattr
                      eio + n + "0\n" + eio + n + "1\n" + eio + n + "1\n" +  // write:4, write:16 ~X ~Y, read:0
                      done + n + "1\n" +  // read:0 ~X
                      done + o + "0\n" + done + "line 8E1\n" + usb + "0\n" + done + o + "0\n");  // m1, m2, m3
}
#endif

// SIGTERM, SIGHUP and SIGINT end a run through the exit routine, and then
// the process dies of the signal, so that its caller sees it: while it
// waits for an answer, and while it waits on a file (a script, an output,
// an input on a FIFO nobody opens; a pipe read, which ends as interrupted,
// not as a failed read). A signal ignored when the loader started stays
// ignored (a non-interactive shell's background job), and with standard
// output closed the port does not become descriptor 1. A console reader
// that goes away (SIGPIPE) ends no load: the run goes on to its end.
TEST(Programs, Signals) {
  const std::string kill = "cat >k.pl <<'E'\nmy ($s, @c) = @ARGV; my $p = fork // die; exec @c or exit 127 unless $p;\n"
      "select undef, undef, undef, 0.3; kill $s, $p; $SIG{ALRM} = sub { kill 9, $p }; alarm 5; waitpid $p, 0;\n"
      "print $? & 127 ? 'signal ' . ($? & 127) : 'exit ' . ($? >> 8), qq(\\n);\nE\nmkfifo f.scr o.bin i.bin; ";
  for (auto c : {std::make_pair("TERM", "R000000,01"), {"HUP", "f.scr"}, {"INT", "@binput000400</dev/stdin"},
                 {"TERM", "@binget000000,000004>o.bin"}, {"INT", "@binput000400<i.bin"}}) {
    auto r = sh(kill + "(sleep 1; printf x) | $SIM --drop @1 -- perl k.pl " + c.first + " $Q '" + c.second + "'");
    int n = c.first[0] == 'T' ? 15 : c.first[0] == 'H' ? 1 : 2;
    std::string end = "\nError: Interrupted.\nExit code " + std::to_string(128 + n) + "\nsignal " + std::to_string(n) + "\n";
    EXPECT_EQ(r.second.substr(r.second.size() - std::min(r.second.size(), end.size())), end) << r.second;
  }
  auto r = sh("$SIM --drop @1 -- sh -c '$Q R000000,01 >&- & q=$!; sleep 0.2; kill -INT $q; readlink /proc/$q/fd/1; wait $q'");
  EXPECT_EQ(r.first, 0);
  EXPECT_EQ(r.second, "/dev/null\n");
  r = sh("head -c 4096 /dev/urandom >p.bin && objcopy -I binary -O srec --change-addresses 0x1000 p.bin img.s28 && $SIM -- bash -c "
         "'$Q img.s28 @binget001000,001000\\>x.bin | head -c 200 >/dev/null; echo ${PIPESTATUS[0]}' && cmp p.bin x.bin && ls");
  EXPECT_EQ(r.second, "0\nimg.s28\np.bin\nx.bin\n");
}

// A file whose rename is refused (in a shared folder with the sticky bit;
// here, a mount point) is written in place once the read is whole.
TEST(Programs, RenameRefused) {
  auto r = sh("unshare -rm true || exit 77; echo OLD >bb; touch a; unshare -rm sh -c 'mount --bind a bb && "
              "$SIM -- $Q @binget000400,000004\\>bb' | tail -1; od -An -tx1 a");
  if (r.first == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(r.second, "Exit code 0\n ff ff ff ff\n");
}

// --wait: a port that comes a second after the run has started (a board
// plugged in) is opened and the run completes; one never there is refused
// once the time is up; Ctrl+C ends the wait (bounded, should the signal be
// ignored), and the report has the identity the board gave, and the
// interrupted run's line.
TEST(Programs, WaitingForABoard) {
  auto r = sh("(sleep 1; exec $SIM --link b >/dev/null) & s=$!; QUARN_COM1=b $Q --wait=20 --report=w.json R000000,01 | tail -2; kill $s; wait; "
              "grep -o '\"identity\":\"[^\"]*\"' w.json; "
              "QUARN_COM1=none $Q --wait=0.3 | tail -2; "
              "bash -c 'set -m; QUARN_COM1=none $Q --wait=10 --report=r.json & q=$!; sleep 0.3; kill -INT $q; wait $q' | tail -2; "
              "grep -o '\"exit\":130,\"error\":\"Error: Interrupted.\"' r.json");
  EXPECT_EQ(r.second, "Loading completed with no errors.\nExit code 0\n\"identity\":\"ORBA-01 BELKOS v1.28\"\nError: none (QUARN_COM1): No such file or directory.\n"
                      "Exit code 2\nError: Interrupted.\nExit code 130\n\"exit\":130,\"error\":\"Error: Interrupted.\"\n");
}

// An answer that came after its run had ended waits in the line: the next
// run takes it for no answer of its own, owed or not. Nor does a run keep
// the parity an earlier one left on the port.
TEST(Programs, AnEarlierRunsAnswerIsNoneOfOurs) {
  auto r = sh("$SIM --late @1:700 -- sh -c '$Q ~X; sleep 0.3; $Q m1 ~Y; $Q'");
  EXPECT_EQ(r.first, 0) << r.second;
  EXPECT_NE(r.second.find("Target ID:\nORBA-01 BELKOS v1.28\nExit code 0\n"), std::string::npos) << r.second;
}

// The program itself: a pseudo-terminal as its standard output gets the
// percentages, a pipe doesn't.
TEST(Console, ThePseudoTerminalAndThePipe) {
  const std::string run = "$SIM -- $Q '@binget000000,000400>r.bin'";
  auto pipe = sh(run), tty = sh("script -qec \"" + run + "\" /dev/null");
  EXPECT_NE(pipe.second.find("r.bin\n\nSummary: "), std::string::npos) << pipe.second;
  EXPECT_NE(tty.second.find("\rReading 0001FC  49%"), std::string::npos) << tty.second;
}

}  // namespace
