// Case folding as the dry-run tool's parts compare names (ASCII letters
// only, whatever the host's locale), and text made safe to show.
#ifndef NRV_TOOLS_ASCII_H
#define NRV_TOOLS_ASCII_H

#include <cstdio>
#include <string>
#include <string_view>

namespace ascii {

inline char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string Upper(const std::string &s) {
  std::string out = s;
  for (char &c : out) c = UpperChar(c);
  return out;
}

inline bool IsPrintable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// The text with every byte outside printable ASCII, and the backslash and
// the double quote, written as C writes them in a string ("\n", "\x1b",
// "\\", "\""): what a terminal or a reader is shown of a name from an
// outside file.
inline std::string Printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (!IsPrintable(c)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

// Text as it is but for the bytes outside printable ASCII, each "\\xHH":
// a line of a message shown to the user.
inline std::string Visible(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (IsPrintable(c)) {
      out += ch;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace ascii

#endif
