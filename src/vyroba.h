// Production use: waiting for the board before the run (--wait, vyroba.cpp)
// and the run's report, one JSON line appended per run (--report, protokol.cpp).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Takes --wait[=SECONDS] and --report=FILE out of the argument vector
// (argv[1..]), the rightmost of each counting; nothing when help is asked.
// A bad value, or a report file that can't be opened, ends the run.
void vyroba_volby(int *argc, char **argv);
// Opens the port as zapni_UART does; with --wait it first waits for the
// port to open and the board to answer its identity request.
int vyroba_port(short port, signed char irq, int baud, signed char mode);

// The report. Without --report every call but the first does nothing.
// A run starts recording (soubor null: not recorded) with every argument as given.
void protokol_zacni(const char *soubor, const std::vector<std::string> &argumenty);
void protokol_port(const char *zarizeni, int baud, int mode);
void protokol_cekani(double sekund);                 // how long --wait waited
void protokol_identita(const char *odpoved);
// The script now being read, for the images in it; returns the one before.
const char *protokol_skript(const char *soubor);
// The script now read is an image of this format ("ihex", "elf"); a
// script's own images are "srec".
void protokol_format(const char *format);
// A command goes to the board; then its answer came.
void protokol_prikaz(const char *prikaz);
void protokol_odpoved(const char *odpoved);
// Image data the board took: the block buffer's block, a data record sent
// as text (`adr` address bytes); the image's end record was answered.
void protokol_blok();
void protokol_zaznam(const char *zaznam, int adr);
void protokol_obraz();
// A memory command begins (kolik -1: as long as its file); the bytes of the
// file it sends or compares; it is done.
void protokol_pamet(const char *prikaz, int adr, int kolik, const char *soubor);
void protokol_data(const unsigned char *b, size_t n);
void protokol_hotovo();
// Every console message: the run's first error message is its error.
void protokol_vypis(const char *text);
// Run by every finish() before it prints the exit code: appends the line.
// Returns the exit code, 3 instead of 0 when the line could not be written.
int protokol_konec(int p);

// Appends bytes to j as a JSON string: valid UTF-8 as it is, every other
// byte 80-FF as the escape \udc80-\udcff, which no valid text produces.
void json_text(std::string &j, const char *s, size_t n);

// What each platform layer (and the tests) provides for the report: the
// file opened to append to (null, or the system's reason); one line
// appended in a single write under an exclusive lock, then the file closed
// (0 when the line was written whole); the machine's name.
const char *protokol_otevri(const char *soubor);
int protokol_pripis(const char *radek, size_t n);
const char *pocitac();
