// S-record lines, handed to binwrite as the script interpreter does: each
// input line that begins "S2" or "S8", NULs behind it; an S8 record closes
// the input. When every record was taken, the board must hold each record's
// bytes (a later record winning) and no block may have written elsewhere.
#include <cstring>
#include <map>

#include "common.h"
#include "lines.h"
#include "quarn.h"

namespace {

unsigned hexpair(const std::string &s, size_t at) {
  return (unsigned)std::stoul(s.substr(at, 2), nullptr, 16);
}

uint32_t addr24(const uint8_t *p) { return p[0] | p[1] << 8 | uint32_t(p[2]) << 16; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::init();
  fz::fresh();
  std::vector<std::string> recs;
  for (const std::string &l : fz::lines_of(data, size))
    if (l.size() >= 2 && l[0] == 'S' && (l[1] == '2' || l[1] == '8')) recs.push_back(l);
  recs.push_back("S804000000FB\n");
  fz::result r = fz::run([&] {
    for (const std::string &l : recs) {
      char b[256] = {};
      memcpy(b, l.data(), l.size());
      binwrite(b);
    }
  });
  if (r.code != -1) return 0;

  std::map<uint32_t, uint8_t> want;
  for (const std::string &l : recs) {
    uint32_t a = hexpair(l, 4) << 16 | hexpair(l, 6) << 8 | hexpair(l, 8);
    unsigned n = hexpair(l, 2) - 4;
    for (unsigned i = 0; i < n; i++) want[a + i] = (uint8_t)hexpair(l, 10 + 2 * i);
  }
  for (auto &w : want)
    if (w.first >= BOARD_MEMSIZE || seam::brd.mem[w.first] != w.second)
      fz::fail("a record's byte is not in the board's memory", r);
  for (const bytes &req : seam::wire) {
    const uint8_t *p = req.data() + 8;
    if (req.size() < 15 || (p[0] != 's' && p[0] != 'n')) continue;
    uint32_t a = addr24(p + 1);
    for (unsigned off = 0; off < 128; off++) {
      bool sent = p[0] == 's' ? off < p[4] : (p[4 + off / 8] >> (off % 8) & 1);
      if (sent && !want.count(a + off)) fz::fail("a block wrote where no record put a byte", r);
    }
  }
  return 0;
}
