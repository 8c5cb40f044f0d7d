// Cuts an input into script lines as the interpreter reads them: at most
// 245 characters, the line end kept.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fz {
inline std::vector<std::string> lines_of(const uint8_t *data, size_t size) {
  std::vector<std::string> out;
  std::string l;
  for (size_t i = 0; i < size; i++) {
    l += char(data[i]);
    if (data[i] == '\n' || l.size() == 245) {
      out.push_back(l);
      l.clear();
    }
  }
  if (!l.empty()) out.push_back(l);
  return out;
}
}  // namespace fz
