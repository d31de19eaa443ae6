#include "regfile.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "ascii.h"

namespace regfile {
namespace {

const char kHeader4[] = "REGEDIT4";
const char kHeader5[] = "Windows Registry Editor Version 5.00";

// The registry editor wraps hex data once a line reaches this many columns.
const size_t kHexColumns = 77;

struct Root {
  const char *longName;
  const char *shortName;
};
const Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_CLASSES_ROOT", "HKCR"},
    {"HKEY_USERS", "HKU"},
};

using ascii::Upper;
using ascii::UpperChar;

bool StartsWithNoCase(std::string_view s, size_t pos, const char *prefix) {
  for (size_t i = 0; prefix[i]; ++i) {
    if (pos + i >= s.size() || UpperChar(s[pos + i]) != UpperChar(prefix[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1 to maxDigits hex digits making up all of `s`.
bool ParseHexNumber(std::string_view s, size_t maxDigits, DWORD *value) {
  if (s.empty() || s.size() > maxDigits) return false;
  DWORD v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<DWORD>(d);
  }
  *value = v;
  return true;
}

std::string HexByte(unsigned char b) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out += digits[b >> 4];
  out += digits[b & 15];
  return out;
}

bool IsTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// ---------------------------------------------------------------- reading

bool Fail(Error *error, int line, const std::string &message) {
  error->line = line;
  error->message = message;
  return false;
}

// File text quoted in a message: escaped, and cut short when long.
std::string Shown(std::string_view s) {
  const size_t most = 60;
  if (s.size() <= most) return "\"" + ascii::Visible(s) + "\"";
  return "\"" + ascii::Visible(s.substr(0, most)) + "\"...";
}

int LinesIn(std::string_view text) {
  int line = 1;
  for (char c : text) {
    if (c == '\n') ++line;
  }
  return line;
}

// Appends the UTF-16LE units of wide, from byte `start` on and whole units
// only, to *out, one byte each. False at the first unit above U+00FF, left
// in *bad; what came before it is in *out.
bool NarrowUnits(std::string_view wide, size_t start, std::string *out, unsigned *bad) {
  out->reserve(out->size() + (wide.size() - std::min(start, wide.size())) / 2);
  for (size_t i = start; i + 1 < wide.size(); i += 2) {
    unsigned unit = static_cast<unsigned char>(wide[i]) | (static_cast<unsigned char>(wide[i + 1]) << 8);
    if (unit > 0xFF) {
      *bad = unit;
      return false;
    }
    *out += static_cast<char>(unit);
  }
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && IsSpace(s[b])) ++b;
  return s.substr(b);
}

std::string_view TrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && IsSpace(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string_view Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

// "\\xHH" at s[pos] (after the backslash or backslashes that start it):
// the byte, or -1.
int EscapedByte(std::string_view s, size_t pos) {
  if (pos + 3 > s.size() || s[pos] != 'x') return -1;
  int hi = HexDigit(s[pos + 1]), lo = HexDigit(s[pos + 2]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

const char kNameNul[] = "expected a name without a NUL character; the ANSI functions cannot reach it";

// One name of a key path, escapes undone (see KeyNameText). False with a
// message for an empty name or a bad escape.
bool KeyPathNames(std::string_view path, std::vector<std::string> *names, std::string *message) {
  names->clear();
  std::string name;
  auto fail = [&]() {
    *message = "expected a key name between backslashes in " + Shown(path);
    return false;
  };
  size_t i = 0;
  while (i <= path.size()) {
    if (i == path.size() || path[i] == '\\') {
      // A run of backslashes: one ends a name, two start an escape, three
      // do both.
      size_t run = 0;
      while (i + run < path.size() && path[i + run] == '\\') ++run;
      if (i == path.size() || run == 1 || run == 3) {
        if (name.empty()) return fail();
        names->push_back(std::move(name));
        name.clear();
        if (i == path.size()) break;
        ++i;
        if (run == 1) continue;
        --run;
      }
      if (run != 2) return fail();
      int byte = EscapedByte(path, i + 2);
      if (byte < 0) return fail();
      if (byte == 0) {
        *message = kNameNul;
        return false;
      }
      if (byte == '\\') {
        *message = "expected a key name without a backslash in " + Shown(path);
        return false;
      }
      name += static_cast<char>(byte);
      i += 5;
      continue;
    }
    if (path[i] == '\0') {
      *message = kNameNul;
      return false;
    }
    name += path[i++];
  }
  return true;
}

// "HKEY_LOCAL_MACHINE\\A\\B" or "HKLM\\A\\B" -> the long form, escapes undone.
bool ParseKeyPath(std::string_view text, std::string *key, std::string *message) {
  std::string_view path = text;
  if (!path.empty() && path.back() == '\\' && (path.size() < 2 || path[path.size() - 2] != '\\')) {
    path.remove_suffix(1);
  }
  size_t slash = path.find('\\');
  std::string root = Upper(std::string(path.substr(0, slash)));
  const Root *found = nullptr;
  for (const Root &r : kRoots) {
    if (root == r.longName || root == r.shortName) found = &r;
  }
  if (!found) {
    *message = "expected a key under HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS; found " +
               Shown(path.substr(0, slash));
    return false;
  }
  *key = found->longName;
  if (slash == std::string_view::npos) return true;
  std::vector<std::string> names;
  if (!KeyPathNames(path.substr(slash + 1), &names, message)) {
    if (message->rfind("expected a key name between", 0) == 0) {
      *message = "expected a key name between backslashes in " + Shown(text);
    }
    return false;
  }
  for (const std::string &n : names) {
    *key += '\\';
    *key += n;
  }
  return true;
}

// A quoted text starting at s[pos] == '"', with \\, \" and \xHH escapes.
// On success *pos is just past the closing quote.
bool ParseQuoted(std::string_view s, size_t *pos, std::string *out, const char *what, std::string *message) {
  out->clear();
  size_t i = *pos + 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size()) break;
      char e = s[i + 1];
      if (e == '\\' || e == '"') {
        *out += e;
        i += 2;
        continue;
      }
      int byte = EscapedByte(s, i + 1);
      if (byte < 0) {
        *message = std::string("expected \\\\, \\\" or \\xHH in ") + what + "; found " +
                   ascii::Visible(s.substr(i, 2));
        return false;
      }
      *out += static_cast<char>(byte);
      i += 4;
      continue;
    }
    *out += c;
    ++i;
  }
  *message = std::string("expected '\"' to end ") + what;
  return false;
}

// The UTF-16LE data of a Unicode file's text value as single-byte text.
bool Narrow(const std::string &wide, std::string *out, std::string *message) {
  if (wide.size() % 2 != 0) {
    *message = "expected UTF-16LE data (an even number of bytes) for a text value";
    return false;
  }
  out->clear();
  unsigned bad = 0;
  if (NarrowUnits(wide, 0, out, &bad)) return true;
  char buf[80];
  std::snprintf(buf, sizeof buf, "expected ANSI characters in the text value; found U+%04X", bad);
  *message = buf;
  return false;
}

// Reads the text a line at a time and hands each entry to the sink as soon
// as it is read; nothing of the file is kept but the current key's path.
class Parser {
 public:
  Parser(std::string_view text, const Sink &sink, Format *format, Error *error)
      : text_(text), sink_(sink), format_(format), error_(error) {}

  bool Run() {
    std::string_view header;
    NextLine(&header);
    header = TrimRight(header);
    if (header == kHeader5) {
      *format_ = Format::Version5;
    } else if (header == kHeader4) {
      *format_ = Format::Regedit4;
    } else {
      return Fail(error_, 1, std::string("expected the header \"") + kHeader5 + "\" or \"" + kHeader4 + "\"");
    }
    std::string_view line;
    while (NextLine(&line)) {
      std::string_view s = Trim(line);
      if (s.empty() || s[0] == ';' || s[0] == '#') continue;
      if (s[0] == '[') {
        if (!KeyLine(s)) return false;
      } else if (s[0] == '"' || s[0] == '@') {
        if (!ValueLine(s)) return false;
      } else {
        return Fail(error_, line_, "expected [KEY], [-KEY], \"name\"=..., @=... or a ';' comment");
      }
    }
    return true;
  }

 private:
  // The next line without its line end; false at the end of the text (a
  // last line end starts no new line; an empty text is one empty line).
  bool NextLine(std::string_view *line) {
    if (pos_ > text_.size() || (pos_ == text_.size() && line_ > 0)) return false;
    size_t nl = text_.find('\n', pos_);
    size_t end = nl == std::string_view::npos ? text_.size() : nl;
    *line = text_.substr(pos_, end - pos_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos_ = nl == std::string_view::npos ? text_.size() + 1 : nl + 1;
    ++line_;
    return true;
  }

  bool Take(Op *op) { return sink_(*op, error_); }

  bool KeyLine(std::string_view s) {
    if (s.back() != ']') return Fail(error_, line_, "expected ']' at the end of the key line");
    std::string_view inner = s.substr(1, s.size() - 2);
    bool deleted = !inner.empty() && inner[0] == '-';
    if (deleted) inner.remove_prefix(1);
    if (inner.empty()) return Fail(error_, line_, "expected a key name between '[' and ']'");
    std::string message;
    Op op;
    if (!ParseKeyPath(inner, &op.key, &message)) return Fail(error_, line_, message);
    if (deleted && op.key.find('\\') == std::string::npos) {
      return Fail(error_, line_, "expected a key below the root; a root key cannot be deleted");
    }
    op.kind = deleted ? Op::kDeleteKey : Op::kCreateKey;
    op.line = line_;
    // A key comes once in a file, unless a [-KEY] at or above it comes
    // between.
    std::string upper = Upper(op.key);
    if (deleted) {
      seen_.erase(upper);
      // The keys below it: their paths go on with a backslash, and ']' is
      // the byte after it.
      seen_.erase(seen_.lower_bound(upper + "\\"), seen_.lower_bound(upper + "]"));
    } else {
      auto earlier = seen_.emplace(upper, line_);
      if (!earlier.second) {
        return Fail(error_, line_, "expected each key once; [" + ascii::Visible(op.key) + "] came at line " +
                                       std::to_string(earlier.first->second) + " already");
      }
    }
    haveKey_ = true;
    deletedKey_ = deleted ? op.key : std::string();
    return Take(&op);
  }

  bool ValueLine(std::string_view s) {
    int line = line_;
    if (!haveKey_) return Fail(error_, line, "expected a [KEY] line before the first value");
    if (!deletedKey_.empty()) {
      return Fail(error_, line,
                  "expected a [KEY] line before this value; values cannot follow [-" + ascii::Visible(deletedKey_) +
                      "]");
    }
    Op op;
    op.line = line;
    size_t pos = 0;
    std::string message;
    if (s[0] == '@') {
      pos = 1;
    } else if (!ParseQuoted(s, &pos, &op.name, "the value name", &message)) {
      return Fail(error_, line, message);
    }
    if (op.name.find('\0') != std::string::npos) return Fail(error_, line, kNameNul);
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    if (pos >= s.size() || s[pos] != '=') return Fail(error_, line, "expected '=' after the value name");
    ++pos;
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    std::string_view rest = s.substr(pos);

    if (rest == "-") {
      op.kind = Op::kDeleteValue;
    } else if (!rest.empty() && rest[0] == '"') {
      size_t end = 0;
      if (!ParseQuoted(rest, &end, &op.data, "the string", &message)) return Fail(error_, line, message);
      if (!Trim(rest.substr(end)).empty()) {
        return Fail(error_, line, "expected the line to end after the string's closing '\"'");
      }
      op.kind = Op::kSetValue;
      op.type = REG_SZ;
      op.data += '\0';
    } else if (StartsWithNoCase(rest, 0, "dword:")) {
      DWORD v = 0;
      if (!ParseHexNumber(Trim(rest.substr(6)), 8, &v)) {
        return Fail(error_, line, "expected 1 to 8 hex digits after dword:");
      }
      op.kind = Op::kSetValue;
      op.type = REG_DWORD;
      for (int i = 0; i < 4; ++i) op.data += static_cast<char>((v >> (8 * i)) & 0xFF);
    } else if (StartsWithNoCase(rest, 0, "hex:") || StartsWithNoCase(rest, 0, "hex(")) {
      size_t dataAt;
      if (rest[3] == ':') {
        op.type = REG_BINARY;
        dataAt = 4;
      } else {
        size_t close = rest.find(')');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':' ||
            !ParseHexNumber(rest.substr(4, close - 4), 8, &op.type)) {
          return Fail(error_, line, "expected hex(N): with N the value type as a hex number");
        }
        dataAt = close + 2;
      }
      op.kind = Op::kSetValue;
      if (!HexData(rest.substr(dataAt), &op.data)) return false;
      if (*format_ == Format::Version5 && IsTextType(op.type)) {
        std::string narrow;
        if (!Narrow(op.data, &narrow, &message)) return Fail(error_, line, message);
        op.data.swap(narrow);
      }
    } else {
      return Fail(error_, line, "expected \"text\", dword:, hex:, hex(N): or - after '='");
    }
    return Take(&op);
  }

  // Comma-separated bytes, continued over lines ending in a backslash. A
  // comma may end the data, as before a continuation; a byte cut by a
  // continuation without a comma goes on on the next line.
  bool HexData(std::string_view first, std::string *data) {
    data->clear();
    std::string_view part = TrimRight(first);
    std::string carry;     // the start of a byte that the next line goes on with
    int carryLine = 0;
    bool comma = false;    // the last thing read was a comma
    bool any = false;      // a byte or a comma read yet
    while (true) {
      bool continued = !part.empty() && part.back() == '\\';
      if (continued) part.remove_suffix(1);
      size_t pos = 0;
      while (true) {
        size_t next = part.find(',', pos);
        bool last = next == std::string_view::npos;
        std::string token = carry + std::string(Trim(part.substr(pos, last ? std::string_view::npos : next - pos)));
        int tokenLine = carry.empty() ? line_ : carryLine;
        carry.clear();
        if (last && continued) {
          // The part's last piece may go on on the next line.
          if (token.size() > 2) {
            return Fail(error_, tokenLine, "expected a hex byte (two hex digits); found " + Shown(token));
          }
          if (!token.empty()) {
            carry = token;
            carryLine = tokenLine;
          }
          break;
        }
        if (token.empty()) {
          if (last && (comma || !any)) break;
          return Fail(error_, tokenLine, "expected a hex byte before ','");
        }
        DWORD byte = 0;
        if (!ParseHexNumber(token, 2, &byte)) {
          return Fail(error_, tokenLine, "expected a hex byte (two hex digits); found " + Shown(token));
        }
        *data += static_cast<char>(byte);
        any = true;
        comma = !last;
        if (last) break;
        pos = next + 1;
      }
      if (!continued) break;
      std::string_view nextLine;
      if (!NextLine(&nextLine)) {
        return Fail(error_, line_, "expected the hex data to go on after the line ending in '\\'; the file ends");
      }
      part = Trim(nextLine);
    }
    return true;
  }

  std::string_view text_;
  const Sink &sink_;
  Format *format_;
  Error *error_;
  size_t pos_ = 0;
  int line_ = 0;
  bool haveKey_ = false;
  std::map<std::string, int> seen_;  // the keys read, in upper case, and their lines
  std::string deletedKey_;  // the path of the [-KEY] line read last, if it was one
};

// ---------------------------------------------------------------- writing

// Whether a byte of a name is written as it is: in plain text, printable
// ASCII only; for the registry editor, all but what would end a line.
bool Kept(unsigned char c, Style style) {
  if (style == Style::kPlain) return ascii::IsPrintable(c);
  return c != '\n' && c != '\r' && c != '\0';
}

void AppendEscape(unsigned char c, std::string *out) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "x%02x", c);
  *out += buf;
}

// A key's name in a key line. A byte not kept is two backslashes and
// "xHH" (a key name holds no backslash and is never empty, so a doubled
// backslash means nothing else).
void AppendKeyName(std::string_view name, Style style, std::string *out) {
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (Kept(c, style)) {
      *out += ch;
    } else {
      *out += "\\\\";
      AppendEscape(c, out);
    }
  }
}

// A value's name in quotes: \\ and \" as the registry editor writes them,
// a byte not kept as \xHH.
std::string ValueHead(const std::string &name, Style style) {
  if (name.empty()) return "@=";
  std::string out = "\"";
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += ch;
    } else if (Kept(c, style)) {
      out += ch;
    } else {
      out += '\\';
      AppendEscape(c, &out);
    }
  }
  return out + "\"=";
}

std::string Escape(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// Text that a quoted string gives back exactly: one NUL, at the end, and
// only printable ASCII before it.
bool IsPlainString(const std::string &data) {
  if (data.empty() || data.back() != '\0') return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c != '\t' && !ascii::IsPrintable(c)) return false;
  }
  return true;
}

std::string Widen(const std::string &s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (char c : s) {
    out += c;
    out += '\0';
  }
  return out;
}

// A machine path ("HKLM\\A\\B") as a key line shows it.
std::string KeyPathText(const std::string &path, Style style) {
  size_t slash = path.find('\\');
  std::string out = LongRootPath(path.substr(0, slash));
  while (slash != std::string::npos) {
    size_t next = path.find('\\', slash + 1);
    out += '\\';
    AppendKeyName(std::string_view(path).substr(slash + 1, next == std::string::npos ? std::string::npos
                                                                                       : next - slash - 1),
                  style, &out);
    slash = next;
  }
  return out;
}

// The header and the empty line after it: a file that changes nothing.
std::string EmptyFile(Format format = Format::Version5) {
  return std::string(format == Format::Regedit4 ? kHeader4 : kHeader5) + "\n\n";
}

void AppendValues(const std::vector<std::pair<std::string, sim::Value>> &values, Style style, Format format,
                  std::string *out) {
  for (const auto &v : values) *out += FormatValue(v.first, v.second, style, format) + "\n";
}

// Positions of a list of named things by the hash of the folded name, for
// lists long enough to be worth it.
template <typename T>
class NameIndex {
 public:
  explicit NameIndex(const std::vector<std::pair<std::string, T>> &list) : list_(list) {
    if (list.size() <= 8) return;
    index_.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) index_.emplace(sim::NameHash(list[i].first), i);
  }

  const std::pair<std::string, T> *Find(std::string_view name) const {
    if (list_.size() <= 8) {
      for (const auto &entry : list_) {
        if (sim::SameName(entry.first, name)) return &entry;
      }
      return nullptr;
    }
    auto range = index_.equal_range(sim::NameHash(name));
    for (auto it = range.first; it != range.second; ++it) {
      if (sim::SameName(list_[it->second].first, name)) return &list_[it->second];
    }
    return nullptr;
  }

 private:
  const std::vector<std::pair<std::string, T>> &list_;
  std::unordered_multimap<uint64_t, size_t> index_;
};

using SubkeyIndex = NameIndex<sim::KeyPicturePtr>;

// A key's place in a walk of two pictures: the key in the picture walked
// and the key of that path in the other (null when it has none), the length
// of its path, and the next subkey to look at.
struct Frame {
  const sim::KeyPicture *key;
  const sim::KeyPicture *other;
  size_t pathLength;
  size_t next;
  std::unique_ptr<SubkeyIndex> index;  // of the other's subkeys
};

// A subkey's path: a root by its long name, a key below it by its name.
void AppendPathName(bool root, const std::string &name, Style style, std::string *path) {
  if (root) {
    *path += LongRootPath(name);
  } else {
    *path += '\\';
    AppendKeyName(name, style, path);
  }
}

// Every key below `top`, depth first in its order, with its path and the
// key of that name in the other picture (null when missing); `visit`
// returns whether to go on into the key's subkeys.
template <typename Visit>
void WalkPairs(const sim::KeyPicture &top, const sim::KeyPicture &other, Style style, Visit visit) {
  std::string path;
  std::vector<Frame> stack;
  stack.push_back(Frame{&top, &other, 0, 0, std::make_unique<SubkeyIndex>(other.subkeys)});
  while (!stack.empty()) {
    Frame &f = stack.back();
    if (f.next == f.key->subkeys.size()) {
      stack.pop_back();
      continue;
    }
    const auto &child = f.key->subkeys[f.next++];
    path.resize(f.pathLength);
    AppendPathName(stack.size() == 1, child.first, style, &path);
    const auto *match = f.other ? f.index->Find(child.first) : nullptr;
    const sim::KeyPicture *twin = match ? match->second.get() : nullptr;
    if (!visit(path, *child.second, twin)) continue;
    stack.push_back(Frame{child.second.get(), twin, path.size(), 0,
                          twin ? std::make_unique<SubkeyIndex>(twin->subkeys) : nullptr});
  }
}

// [-KEY] for each key of `before` missing from `after` whose parent stayed,
// in the order of `before`; keys that are the same picture in both are not
// looked into.
void WriteDeleted(const sim::KeyPicture &before, const sim::KeyPicture &after, Style style, std::string *out) {
  WalkPairs(before, after, style, [out](const std::string &path, const sim::KeyPicture &was, const sim::KeyPicture *now) {
    if (!now) *out += "[-" + path + "]\n\n";
    return now && now != &was;
  });
}

// The new keys with their values and the changed values of the others, in
// the order of `after`.
void WriteAddedAndChanged(const sim::KeyPicture &before, const sim::KeyPicture &after, Style style,
                          Format format, std::string *out) {
  WalkPairs(after, before, style, [&](const std::string &path, const sim::KeyPicture &now, const sim::KeyPicture *old) {
    if (old == &now) return false;
    if (!old) {
      // A new key without values that has subkeys is made by their lines
      // (an import makes every missing parent, at the same place in the
      // order of creation): a new chain of keys costs its deepest path,
      // not every path along it.
      if (!now.values.empty() || now.subkeys.empty()) {
        *out += "[" + path + "]\n";
        AppendValues(now.values, style, format, out);
        *out += "\n";
      }
      return true;
    }
    std::string entries;
    NameIndex<sim::Value> oldValues(old->values), newValues(now.values);
    for (const auto &v : now.values) {
      const auto *prev = oldValues.Find(v.first);
      if (!prev || prev->second.type != v.second.type || prev->second.data != v.second.data) {
        entries += FormatValue(v.first, v.second, style, format) + "\n";
      }
    }
    for (const auto &v : old->values) {
      if (!newValues.Find(v.first)) entries += ValueHead(v.first, style) + "-\n";
    }
    if (!entries.empty()) *out += "[" + path + "]\n" + entries + "\n";
    return true;
  });
}

// A dump as pictures: each key under the key of its parent path (made
// without values when the dump has none), the roots under the top.
sim::KeyPicturePtr PictureOf(const std::vector<sim::RegKeyDump> &keys) {
  auto top = std::make_shared<sim::KeyPicture>();
  std::map<std::string, sim::KeyPicture *> made;  // by upper-case path
  std::function<sim::KeyPicture *(const std::string &)> ensure = [&](const std::string &path) {
    std::string up = Upper(path);
    auto it = made.find(up);
    if (it != made.end()) return it->second;
    size_t slash = path.rfind('\\');
    sim::KeyPicture *parent = slash == std::string::npos ? top.get() : ensure(path.substr(0, slash));
    auto fresh = std::make_shared<sim::KeyPicture>();
    sim::KeyPicture *raw = fresh.get();
    parent->subkeys.emplace_back(slash == std::string::npos ? path : path.substr(slash + 1), std::move(fresh));
    made[up] = raw;
    return raw;
  };
  for (const sim::RegKeyDump &k : keys) {
    sim::KeyPicture *p = ensure(k.path);
    p->values = k.values;
  }
  return top;
}

// Carries entries out on the machine: each key is found or made once, its
// values are written to it directly.
class Applier {
 public:
  // Takes the entry's name and data.
  bool Take(Op *entry, Error *error) {
    Op &op = *entry;
    try {
      switch (op.kind) {
        case Op::kCreateKey:
          writer_ = std::make_unique<sim::KeyWriter>(op.key);
          path_ = op.key;
          break;
        case Op::kDeleteKey:
          if (sim::KeyExists(op.key)) sim::DeleteKeyTree(op.key);
          writer_.reset();
          path_.clear();
          break;
        case Op::kSetValue:
          Writer(op.key).Set(std::move(op.name), op.type, std::move(op.data));
          break;
        case Op::kDeleteValue:
          if (!op.key.empty() && op.key != path_) {
            sim::DeleteValue(op.key, op.name);
          } else {
            Writer(op.key).Delete(op.name);
          }
          break;
      }
    } catch (const std::exception &e) {
      return Fail(error, op.line, std::string("the machine refused this entry: ") + e.what());
    }
    return true;
  }

 private:
  // The key of a value entry: its own path, or the key entry's before it.
  sim::KeyWriter &Writer(const std::string &key) {
    if (!key.empty() && key != path_) {
      writer_ = std::make_unique<sim::KeyWriter>(key);
      path_ = key;
    }
    if (!writer_) throw std::invalid_argument("a value without a key");
    return *writer_;
  }

  std::unique_ptr<sim::KeyWriter> writer_;
  std::string path_;
};

}  // namespace

bool Decode(const std::string &bytes, std::string *text, Error *error) {
  text->clear();
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
      static_cast<unsigned char>(bytes[1]) == 0xFF) {
    return Fail(error, 1, "expected plain text or UTF-16LE; this file is UTF-16 big-endian");
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    unsigned bad = 0;
    if (!NarrowUnits(bytes, 2, text, &bad)) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "expected ANSI characters; found U+%04X", bad);
      return Fail(error, LinesIn(*text), buf);
    }
    if (bytes.size() % 2 != 0) {
      return Fail(error, LinesIn(*text), "expected two bytes per character in a UTF-16LE file; it ends in half a one");
    }
    return true;
  }
  size_t start = 0;
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  size_t nul = bytes.find('\0', start);
  if (nul != std::string::npos) {
    return Fail(error, LinesIn(std::string_view(bytes).substr(start, nul - start)),
                "expected plain text or UTF-16LE with its byte-order mark; found a NUL byte");
  }
  text->assign(bytes, start, std::string::npos);
  return true;
}

bool ReadText(std::string_view text, const Sink &sink, Format *format, Error *error) {
  Parser parser(text, sink, format, error);
  return parser.Run();
}

bool Parse(const std::string &bytes, File *out, Error *error) {
  std::string text;
  if (!Decode(bytes, &text, error)) return false;
  out->ops.clear();
  std::string key;
  Sink collect = [out, &key](Op &op, Error *) {
    out->ops.push_back(std::move(op));
    if (out->ops.back().kind == Op::kCreateKey || out->ops.back().kind == Op::kDeleteKey) {
      key = out->ops.back().key;
    } else {
      out->ops.back().key = key;
    }
    return true;
  };
  return ReadText(text, collect, &out->format, error);
}

bool Apply(const File &file, Error *error) {
  Applier applier;
  for (Op op : file.ops) {
    if (!applier.Take(&op, error)) return false;
  }
  return true;
}

bool ApplyText(std::string_view text, Error *error) {
  Applier applier;
  Format format;
  return ReadText(text, [&applier](Op &op, Error *e) { return applier.Take(&op, e); }, &format, error);
}

std::string LongRootPath(const std::string &path) {
  size_t slash = path.find('\\');
  std::string root = Upper(path.substr(0, slash));
  for (const Root &r : kRoots) {
    if (root == r.shortName || root == r.longName) {
      return r.longName + (slash == std::string::npos ? std::string() : path.substr(slash));
    }
  }
  return path;
}

std::string FormatValue(const std::string &name, const sim::Value &value, Style style, Format format) {
  std::string head = ValueHead(name, style);
  if (value.type == REG_SZ && IsPlainString(value.data)) {
    return head + "\"" + Escape(value.data.substr(0, value.data.size() - 1)) + "\"";
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    DWORD v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(value.data[i]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v));
    return head + buf;
  }
  std::string prefix;
  if (value.type == REG_BINARY) {
    prefix = "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(value.type));
    prefix = buf;
  }
  // A Unicode file holds text data as UTF-16LE; a REGEDIT4 file as the
  // single bytes the ANSI functions see.
  std::string bytes = IsTextType(value.type) && format == Format::Version5 ? Widen(value.data) : value.data;
  std::string out = head + prefix;
  out.reserve(out.size() + bytes.size() * 3 + bytes.size() / 8);
  size_t column = out.size();
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += HexByte(static_cast<unsigned char>(bytes[i]));
    if (i + 1 == bytes.size()) break;
    out += ',';
    column += 3;
    if (column >= kHexColumns) {
      out += "\\\n  ";
      column = 2;
    }
  }
  return out;
}

std::string WriteDump(const std::vector<sim::RegKeyDump> &keys, Style style) {
  std::string out = EmptyFile();
  for (const sim::RegKeyDump &key : keys) {
    out += "[" + KeyPathText(key.path, style) + "]\n";
    AppendValues(key.values, style, Format::Version5, &out);
    out += "\n";
  }
  return out;
}

std::string WriteDiff(const sim::KeyPicture &before, const sim::KeyPicture &after, Style style, Format format) {
  std::string out = EmptyFile(format);
  if (&before == &after) return out;
  WriteDeleted(before, after, style, &out);
  WriteAddedAndChanged(before, after, style, format, &out);
  return out;
}

std::string WriteDiff(const std::vector<sim::RegKeyDump> &before, const std::vector<sim::RegKeyDump> &after,
                      Style style) {
  return WriteDiff(*PictureOf(before), *PictureOf(after), style);
}

bool HasChanges(const std::vector<sim::RegKeyDump> &before, const std::vector<sim::RegKeyDump> &after) {
  return WriteDiff(before, after) != EmptyFile();
}

bool HasChanges(const sim::KeyPicture &before, const sim::KeyPicture &after) {
  return WriteDiff(before, after) != EmptyFile();
}

std::string ToCrlf(const std::string &text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string ForRegistryEditor(const std::string &text) {
  if (text.compare(0, sizeof kHeader4 - 1, kHeader4) == 0) return ToCrlf(text);
  return "\xFF\xFE" + Widen(ToCrlf(text));
}

}  // namespace regfile
