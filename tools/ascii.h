// Case folding as the dry-run tool's parts compare names: ASCII letters
// only, whatever the host's locale.
#ifndef NRV_TOOLS_ASCII_H
#define NRV_TOOLS_ASCII_H

#include <string>

namespace ascii {

inline char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string Upper(const std::string &s) {
  std::string out = s;
  for (char &c : out) c = UpperChar(c);
  return out;
}

}  // namespace ascii

#endif
