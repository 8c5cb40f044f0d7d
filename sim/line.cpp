#include "line.h"

#include <algorithm>

using namespace std::chrono;

namespace {

const milliseconds QUIET(50);        // silence that ends a partial request
const milliseconds MIN_CHUNK(1);     // paced output wakes at most this often
const nanoseconds BYTE_AT_1_BAUD(10LL * 1000000000);  // 10 bits a byte

std::string hex(const bytes &b) {
  std::string out;
  char h[4];
  for (uint8_t c : b) {
    snprintf(h, sizeof h, out.empty() ? "%02X" : " %02X", c);
    out += h;
  }
  return out;
}

}  // namespace

bool line_faults::any() const {
  for (const fault *f : {&drop, &late, &split, &corrupt, &noise, &negative, &twice, &trickle, &junk, &echo})
    if (f->p > 0 || f->nth) return true;
  return hangup != 0 || leftover != 0;
}

line::line(board &b, unsigned baud, const line_faults &f, uint64_t seed, FILE *log, sim_clock::time_point t0)
    : b_(b), baud_(baud), f_(f), rng_(seed), log_(log), t0_(t0) {}

void line::take(const uint8_t *p, size_t n, sim_clock::time_point now) {
  if (hung_) return;
  std::vector<bytes> frames;
  board_rx(b_, p, n, frames);
  last_rx_ = now;
  for (const bytes &f : frames) answer(f, now);
}

// What a USB adapter still held of an interrupted run comes once its
// latency timer runs out, after the new run has flushed the line.
void line::opened(sim_clock::time_point now) {
  if (!f_.leftover || hung_) return;
  log(now, '!', "leftover: an earlier run's answer comes " + std::to_string(f_.leftover) + " ms after the port opened");
  q_.push_back({board_frame("=an earlier run's answer"), now + milliseconds(f_.leftover), {}, "", false});
}

void line::garbled(size_t n, const std::string &why, sim_clock::time_point now) {
  counts_.garbled++;
  log(now, '~', std::to_string(n) + " bytes garbled: " + why);
  board_rx_reset(b_);
}

void line::answer(const bytes &frame, sim_clock::time_point now) {
  if (hung_) return;
  counts_.requests++;
  log(now, '>', frame_line(frame));
  if (counts_.requests == f_.hangup) {
    hung_ = true;
    q_.clear();
    log(now, '~', "hang-up: the line goes away");
    return;
  }
  if (chance(f_.echo)) {
    counts_.echo++;
    log(now, '!', "echo: the request comes back");
    q_.push_back({frame, now, {}, "", false});
  }
  bytes ans = carry_out(frame, now);
  if (rewrite) ans = rewrite(ans);
  if (chance(f_.drop)) {
    counts_.drop++;
    log(now, '!', "drop: " + board_describe(ans));
    return;
  }
  if (ans.empty()) return;
  // The request takes its line time to arrive, though a pty delivers it at once.
  sim_clock::time_point at = now + line_time(frame.size());
  if (chance(f_.late)) {
    counts_.late++;
    at = now + milliseconds(f_.late.ms);
    log(now, '!', "late: answer held " + std::to_string(f_.late.ms) + " ms");
  }
  if (chance(f_.corrupt)) corrupt(ans, now);
  if (chance(f_.noise)) stray(false, at, now);
  if (chance(f_.junk)) stray(true, at, now);
  queue_answer(ans, at, now);
  if (chance(f_.twice)) {
    counts_.twice++;
    log(now, '!', "twice: the answer again " + std::to_string(f_.twice.ms) + " ms after");
    q_.push_back({ans, at, milliseconds(f_.twice.ms), frame_line(ans), true});
  }
}

bytes line::carry_out(const bytes &frame, sim_clock::time_point now) {
  if (!chance(f_.negative)) return board_answer(b_, frame);
  counts_.negative++;
  log(now, '!', "negative: request not carried out");
  return board_frame("!Busy");
}

void line::corrupt(bytes &ans, sim_clock::time_point now) {
  counts_.corrupt++;
  size_t i = pick(0, unsigned(ans.size() - 1));
  uint8_t was = ans[i];
  ans[i] ^= uint8_t(pick(1, 255));
  char buf[64];
  snprintf(buf, sizeof buf, "corrupt: byte %zu %02X -> %02X", i, was, ans[i]);
  log(now, '!', buf);
}

// Stray bytes before the answer. Noise never holds a start byte; junk may,
// and carries a whole frame whose checksum is wrong.
void line::stray(bool junk, sim_clock::time_point at, sim_clock::time_point now) {
  bytes b(pick(junk ? 0 : 1, junk ? 4 : 8));
  for (uint8_t &c : b) {
    c = uint8_t(pick(0, junk ? 255 : 254));
    if (!junk && c >= 0x68) c++;
  }
  if (junk) {
    uint8_t l = uint8_t(pick(0, 40)), sum = 0;
    bytes f = {0x68, l, l, 0x68};
    for (unsigned k = 0; k < l; k++) f.push_back(uint8_t(pick(0, 255)));
    for (unsigned k = 4; k < f.size(); k++) sum = uint8_t(sum + f[k]);
    f.push_back(uint8_t(sum + pick(1, 255)));
    f.push_back(0x16);
    b.insert(b.begin() + pick(0, unsigned(b.size())), f.begin(), f.end());
  }
  junk ? counts_.junk++ : counts_.noise++;
  log(now, '!', (junk ? "junk: " : "noise: ") + hex(b));
  q_.push_back({b, at, {}, "", false});
}

void line::queue_answer(const bytes &ans, sim_clock::time_point at, sim_clock::time_point now) {
  std::string text = frame_line(ans);
  if (chance(f_.trickle)) {
    counts_.trickle++;
    log(now, '!', "trickle: a byte every " + std::to_string(f_.trickle.ms) + " ms");
    return queue_split(ans, unsigned(ans.size()), f_.trickle.ms, at, text);
  }
  if (!chance(f_.split)) {
    q_.push_back({ans, at, {}, text, true});
    return;
  }
  counts_.split++;
  unsigned pieces = pick(2, 4);
  log(now, '!', "split: " + std::to_string(pieces) + " pieces");
  queue_split(ans, pieces, 0, at, text);
}

// The answer in pieces, cut at random places, each but the first after a
// gap: max_gap_ms, or 1-9 ms when 0.
void line::queue_split(const bytes &ans, unsigned pieces, unsigned max_gap_ms, sim_clock::time_point at,
                       const std::string &text) {
  std::vector<size_t> cuts = {0, ans.size()};
  for (size_t c = 1; pieces == ans.size() && c < ans.size(); c++) cuts.push_back(c);
  while (cuts.size() < pieces + 1) {
    size_t c = pick(1, unsigned(ans.size() - 1));
    if (std::find(cuts.begin(), cuts.end(), c) == cuts.end()) cuts.push_back(c);
  }
  std::sort(cuts.begin(), cuts.end());
  for (unsigned k = 0; k < pieces; k++) {
    bytes part(ans.begin() + cuts[k], ans.begin() + cuts[k + 1]);
    milliseconds gap(!k ? 0 : max_gap_ms ? max_gap_ms : pick(1, 9));
    q_.push_back({std::move(part), at, gap, k ? "" : text, k == 0});
  }
}

sim_clock::duration line::line_time(size_t n) const {
  if (!baud_) return {};
  return duration_cast<sim_clock::duration>(BYTE_AT_1_BAUD * n / baud_);
}

size_t line::due(const piece &p, sim_clock::time_point now) const {
  if (!baud_) return p.data.size();
  auto bytes_sent = (now - start_) * baud_ / BYTE_AT_1_BAUD;
  return size_t(std::min<long long>(bytes_sent, (long long)p.data.size()));
}

bool line::flush(const line_sink &out, sim_clock::time_point now) {
  blocked_ = false;
  while (!q_.empty() && !hung_) {
    piece &p = q_.front();
    if (!started_) {
      start_ = std::max(p.not_before, line_free_ + p.gap);
      if (now < start_) return true;
      started_ = true;
      sent_ = 0;
      if (p.answer) counts_.answers++;
      if (!p.log.empty()) log(start_, '<', p.log);  // the line time, however late we woke
    }
    size_t want = due(p, now);
    while (sent_ < want) {
      long n = out(p.data.data() + sent_, want - sent_);
      if (n < 0) return false;
      if (n == 0) {
        blocked_ = true;
        return true;
      }
      sent_ += size_t(n);
    }
    if (sent_ < p.data.size()) return true;  // paced: the rest is not due yet
    line_free_ = baud_ ? start_ + line_time(p.data.size()) : now;
    q_.pop_front();
    started_ = false;
  }
  return true;
}

void line::tick(sim_clock::time_point now) {
  if (b_.rx.empty() || now - last_rx_ < QUIET) return;
  log(now, '~', "partial request dropped after silence: " + hex(b_.rx));
  board_rx_reset(b_);
}

sim_clock::time_point line::deadline(sim_clock::time_point now) const {
  sim_clock::time_point t = sim_clock::time_point::max();
  if (!b_.rx.empty()) t = last_rx_ + QUIET;
  if (q_.empty()) return t;
  const piece &p = q_.front();
  if (!started_) return std::min(t, std::max(p.not_before, line_free_ + p.gap));
  sim_clock::time_point next_byte = start_ + line_time(sent_ + 1);
  // The piece's last byte goes out when it is due, not up to MIN_CHUNK late:
  // the loader can answer only once it has the whole frame.
  sim_clock::time_point last_byte = start_ + line_time(p.data.size());
  return std::min(t, std::max(next_byte, std::min(now + MIN_CHUNK, last_byte)));
}

void line::log(sim_clock::time_point t, char dir, const std::string &text) {
  if (!log_) return;
  fprintf(log_, "%10.6f %c %s\n", duration<double>(t - t0_).count(), dir, text.c_str());
}

std::string line::frame_line(const bytes &f) const { return hex(f) + "  " + board_describe(f); }

// splitmix64: small, fast and the same on every platform, so a seed repeats a run.
double line::unit() {
  uint64_t z = (rng_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return double(z >> 11) * 0x1.0p-53;
}

bool line::chance(const fault &f) { return f.nth ? counts_.requests == f.nth : f.p > 0 && unit() < f.p; }

unsigned line::pick(unsigned lo, unsigned hi) { return lo + unsigned(unit() * (hi - lo + 1)); }
