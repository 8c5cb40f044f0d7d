// The board model: frame receiver, request decoder and the memory it writes.
#include "board.h"

#include <algorithm>
#include <cstdio>

const char *const board_id = "ORBA-01 BELKOS v1.28";
const char *const board_id_old = "ORBA-01 BELKOS v1.27";

namespace {

const uint8_t START = 0x68, END = 0x16;
const uint8_t REQ_HEAD[4] = {0x7F, 0x7F, 0x47, 0xF5};
const uint8_t ANS_HEAD[4] = {0xF5, 0x47, 0x7F, 0x7F};
const size_t MAX_TEXT = 246;    // answer text that fits a 256-byte receive buffer
const size_t MAX_READ = 0x40;   // bytes one read request may ask for
const size_t MAX_WRITE = 64;    // bytes one write request may carry

uint8_t sum8(const uint8_t *p, size_t n) {
  unsigned s = 0;
  for (size_t i = 0; i < n; i++) s += p[i];
  return uint8_t(s);
}

// Why a complete candidate of n bytes is not a frame, or nullptr if it is one.
const char *frame_fault(const uint8_t *p, size_t n) {
  if (n < 6 || p[0] != START || p[3] != START) return "start";
  if (p[1] != p[2] || n != size_t(p[1]) + 6) return "length";
  if (p[n - 2] != sum8(p + 4, p[1])) return "checksum";
  if (p[n - 1] != END) return "end byte";
  return nullptr;
}

bool has_head(const bytes &f, const uint8_t *head) {
  return f.size() >= 10 && std::equal(head, head + 4, f.begin() + 4);
}

// User data behind the four header bytes: a request's payload, an answer's text.
bytes payload_of(const bytes &f) { return bytes(f.begin() + 8, f.end() - 2); }

int hexval(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads `digits` hex digits at s[pos]; false if any is missing or not hex.
bool hexfield(const std::string &s, size_t pos, size_t digits, uint32_t &v) {
  if (pos + digits > s.size()) return false;
  v = 0;
  for (size_t i = 0; i < digits; i++) {
    int d = hexval(uint8_t(s[pos + i]));
    if (d < 0) return false;
    v = v << 4 | uint32_t(d);
  }
  return true;
}

// Hex pairs from s[pos] to the end of s.
bool hexpairs(const std::string &s, size_t pos, bytes &out) {
  if (pos > s.size() || (s.size() - pos) % 2) return false;
  out.clear();
  for (; pos < s.size(); pos += 2) {
    uint32_t v;
    if (!hexfield(s, pos, 2, v)) return false;
    out.push_back(uint8_t(v));
  }
  return true;
}

bool fits(uint32_t addr, size_t n) { return addr + n <= BOARD_MEMSIZE; }

// Every write to memory: a stuck cell keeps what it holds.
void put(board &b, uint32_t addr, uint8_t v) {
  for (auto &r : b.stuck)
    if (addr >= r.first && addr <= r.second) return;
  b.mem[addr] = v;
}

void put(board &b, uint32_t addr, bytes::const_iterator from, size_t n) {
  for (size_t i = 0; i < n; i++) put(b, addr + uint32_t(i), from[i]);
}

// Block telegrams carry addresses low byte first.
uint32_t addr24(const uint8_t *p) { return p[0] | p[1] << 8 | uint32_t(p[2]) << 16; }

// Filled bytes in a 16-byte fill map.
int popcount16(const uint8_t *mask) {
  int n = 0;
  for (int i = 0; i < 16; i++)
    for (int k = 0; k < 8; k++) n += mask[i] >> k & 1;
  return n;
}

// What a block payload states: the address, the number of data bytes, and
// so the payload size that matches.
struct block_shape {
  uint32_t addr = 0;
  size_t count = 0;
  size_t want = 0;
};

// False if the payload is too short to state its shape.
bool shape_of(const bytes &p, block_shape &s) {
  bool run = p[0] == 's';
  size_t head = run ? 5 : 20;  // kind, address, then run length or fill map
  if (p.size() < head) return false;
  s.addr = addr24(&p[1]);
  s.count = run ? p[4] : size_t(popcount16(&p[4]));
  s.want = head + s.count + 2;
  return true;
}

bool crc_ok(const bytes &p) {
  uint16_t c = board_crc16(p.data(), p.size() - 2);
  return p[p.size() - 2] == (c & 0xFF) && p[p.size() - 1] == c >> 8;
}

std::string do_block(board &b, const bytes &p) {
  if (b.old) return "!Block telegrams need v1.28";
  block_shape s;
  if (!shape_of(p, s) || s.count == 0 || s.count > 128 || p.size() != s.want) return "!size";
  if (!crc_ok(p)) return "!CRC";
  if (p[0] == 's') {
    if (!fits(s.addr, s.count)) return "!address";
    put(b, s.addr, p.begin() + 5, s.count);
    return "*";
  }
  if ((s.addr & 0x7F) != 0) return "!address";
  size_t next = 20;
  for (uint32_t off = 0; off < 128; off++)
    if (p[4 + off / 8] >> (off % 8) & 1) put(b, s.addr + off, p[next++]);
  return "*";
}

std::string do_read(board &b, const std::string &t) {
  uint32_t addr, count;
  if (t.size() != 10 || t[7] != ',' || !hexfield(t, 1, 6, addr) || !hexfield(t, 8, 2, count))
    return "!Syntax";
  if (count == 0 || count > MAX_READ) return "!Count";
  if (!fits(addr, count)) return "!Address";
  std::string out = "=";
  char hex[3];
  for (uint32_t i = 0; i < count; i++) {
    snprintf(hex, sizeof hex, "%02X", b.mem[addr + i]);
    out += hex;
  }
  return out;
}

std::string do_write(board &b, const std::string &t) {
  uint32_t addr;
  bytes data;
  if (t.size() < 8 || t[7] != '<' || !hexfield(t, 1, 6, addr) || !hexpairs(t, 8, data))
    return "!Syntax";
  if (data.empty() || data.size() > MAX_WRITE) return "!Count";
  if (!fits(addr, data.size())) return "!Address";
  put(b, addr, data.begin(), data.size());
  return "*";
}

// An S1, S2 or S3 record: count, an address of `width` bytes, data,
// checksum (ones' complement of the sum of the bytes from the count to the
// last data byte).
std::string do_data(board &b, const std::string &t, size_t width) {
  bytes rec;
  if (!hexpairs(t, 2, rec) || rec.size() < width + 2 || rec[0] != rec.size() - 1) return "!Format";
  if (sum8(rec.data(), rec.size()) != 0xFF) return "!Checksum";
  uint32_t addr = 0;
  for (size_t i = 1; i <= width; i++) addr = addr << 8 | rec[i];  // most significant first
  size_t n = rec.size() - width - 2;
  if (addr >= BOARD_MEMSIZE || !fits(addr, n)) return "!Address";
  put(b, addr, rec.begin() + 1 + width, n);
  return "*";
}

std::string do_srecord(board &b, std::string t) {
  t.erase(t.find_last_not_of(" \t") + 1);  // the blanks an editor leaves behind a record
  if (t[1] == '8') return "%*";
  if (t[1] == '2') return do_data(b, t, 3);
  if ((t[1] == '1' || t[1] == '3') && !b.ignore_text) return do_data(b, t, t[1] == '1' ? 2 : 4);
  return "*";  // header, counts, other ends (and with ignore_text S1, S3) are taken as read
}

std::string do_text(board &b, std::string t) {
  if (!t.empty() && t.back() == '\n') t.pop_back();
  if (!t.empty() && t.back() == '\r') t.pop_back();
  if (t.empty()) return "*";
  if (t == "I000000") return b.old ? board_id_old : board_id;
  if (t[0] == 'R') return do_read(b, t);
  if (t[0] == 'W') return do_write(b, t);
  if (t[0] == 'S' && t.size() >= 2 && t[1] >= '0' && t[1] <= '9') return do_srecord(b, t);
  return "?Unknown command";
}

std::string quoted(const bytes &p) {
  std::string out = "\"";
  for (uint8_t c : p) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '"' || c == '\\') out += {'\\', char(c)};
    else if (c < 0x20 || c >= 0x7F) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else out += char(c);
  }
  return out + "\"";
}

std::string describe_block(const bytes &p) {
  std::string out = std::string("block '") + char(p[0]) + "'";
  block_shape s;
  if (!shape_of(p, s)) return out + ", too short";
  char buf[64];
  snprintf(buf, sizeof buf, " at %06X, %zu bytes, ", unsigned(s.addr), s.count);
  out += buf;
  if (p.size() != s.want) return out + "size bad";
  return out + (crc_ok(p) ? "CRC ok" : "CRC bad");
}

}  // namespace

void board_init(board &b, bool old) {
  b.mem.assign(BOARD_MEMSIZE, 0xFF);
  b.old = old;
  b.rx.clear();
}

void board_rx(board &b, const uint8_t *p, size_t n, std::vector<bytes> &frames) {
  bytes &rx = b.rx;
  rx.insert(rx.end(), p, p + n);
  size_t i = 0;
  while (i < rx.size()) {
    if (rx[i] != START) {
      i++;
      continue;
    }
    size_t have = rx.size() - i;
    if (have < 4) break;
    size_t len = size_t(rx[i + 1]) + 6;
    if (rx[i + 1] != rx[i + 2] || rx[i + 3] != START) {
      i++;
      continue;
    }
    if (have < len) break;  // wait for the rest; at most 261 bytes are held
    if (frame_fault(&rx[i], len)) {
      i++;
      continue;
    }
    frames.emplace_back(rx.begin() + i, rx.begin() + i + len);
    i += len;
  }
  rx.erase(rx.begin(), rx.begin() + i);
}

void board_rx_reset(board &b) { b.rx.clear(); }

bytes board_answer(board &b, const bytes &frame) {
  if (frame_fault(frame.data(), frame.size()) || !has_head(frame, REQ_HEAD))
    return board_frame("?Header");
  bytes p = payload_of(frame);
  if (!p.empty() && (p[0] == 's' || p[0] == 'n')) return board_frame(do_block(b, p));
  return board_frame(do_text(b, std::string(p.begin(), p.end())));
}

bytes board_frame(const std::string &text) {
  size_t n = std::min(text.size(), MAX_TEXT);
  bytes f = {START, uint8_t(n + 4), uint8_t(n + 4), START};
  f.insert(f.end(), ANS_HEAD, ANS_HEAD + 4);
  f.insert(f.end(), text.begin(), text.begin() + n);
  f.push_back(sum8(f.data() + 4, n + 4));
  f.push_back(END);
  return f;
}

uint16_t board_crc16(const uint8_t *p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; i++) {
    crc ^= uint16_t(p[i] << 8);
    for (int k = 0; k < 8; k++) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0xB599 : crc << 1);
  }
  return crc;
}

std::string board_describe(const bytes &frame) {
  if (const char *fault = frame_fault(frame.data(), frame.size()))
    return std::string("bad frame (") + fault + ")";
  if (has_head(frame, ANS_HEAD)) return "answer " + quoted(payload_of(frame));
  if (!has_head(frame, REQ_HEAD)) return "frame without request header";
  bytes p = payload_of(frame);
  if (!p.empty() && (p[0] == 's' || p[0] == 'n')) return describe_block(p);
  return "text " + quoted(p);
}
