#include "regfile.h"

#include <cstdio>
#include <map>
#include <stdexcept>
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

bool StartsWithNoCase(const std::string &s, size_t pos, const char *prefix) {
  for (size_t i = 0; prefix[i]; ++i) {
    if (pos + i >= s.size() || UpperChar(s[pos + i]) != UpperChar(prefix[i])) return false;
  }
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string TrimLeft(const std::string &s) {
  size_t b = 0;
  while (b < s.size() && IsSpace(s[b])) ++b;
  return s.substr(b);
}

std::string TrimRight(const std::string &s) {
  size_t e = s.size();
  while (e > 0 && IsSpace(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string Trim(const std::string &s) { return TrimLeft(TrimRight(s)); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1 to maxDigits hex digits making up all of `s`.
bool ParseHexNumber(const std::string &s, size_t maxDigits, DWORD *value) {
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

int LinesIn(const std::string &text) {
  int line = 1;
  for (char c : text) {
    if (c == '\n') ++line;
  }
  return line;
}

// Appends the UTF-16LE units of wide, from byte `start` on and whole units
// only, to *out, one byte each. False at the first unit above U+00FF, left
// in *bad; what came before it is in *out.
bool NarrowUnits(const std::string &wide, size_t start, std::string *out, unsigned *bad) {
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

// The file's bytes as single-byte text.
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
  *text = bytes.substr(start);
  size_t nul = text->find('\0');
  if (nul != std::string::npos) {
    return Fail(error, LinesIn(text->substr(0, nul)),
                "expected plain text or UTF-16LE with its byte-order mark; found a NUL byte");
  }
  return true;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (nl == std::string::npos) break;
    pos = nl + 1;
    if (pos == text.size()) break;  // the last line's end starts no new line
  }
  return lines;
}

// "HKEY_LOCAL_MACHINE\\A\\B" or "HKLM\\A\\B" -> the long form.
bool ParseKeyPath(const std::string &text, std::string *key, std::string *message) {
  std::string path = text;
  if (!path.empty() && path.back() == '\\') path.pop_back();
  size_t slash = path.find('\\');
  std::string root = path.substr(0, slash);
  const Root *found = nullptr;
  for (const Root &r : kRoots) {
    if (Upper(root) == r.longName || Upper(root) == r.shortName) found = &r;
  }
  if (!found) {
    *message = "expected a key under HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS; found \"" +
               root + "\"";
    return false;
  }
  *key = found->longName;
  if (slash == std::string::npos) return true;
  std::string rest = path.substr(slash + 1);
  size_t pos = 0;
  while (true) {
    size_t next = rest.find('\\', pos);
    std::string part = rest.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    if (part.empty()) {
      *message = "expected a key name between backslashes in \"" + text + "\"";
      return false;
    }
    *key += "\\" + part;
    if (next == std::string::npos) break;
    pos = next + 1;
  }
  return true;
}

// A quoted text starting at s[pos] == '"', with \\ and \" escapes. On success
// *pos is just past the closing quote.
bool ParseQuoted(const std::string &s, size_t *pos, std::string *out, const char *what, std::string *message) {
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
      if (e != '\\' && e != '"') {
        *message = std::string("expected \\\\ or \\\" in ") + what + "; found \\" + e;
        return false;
      }
      *out += e;
      i += 2;
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

class Parser {
 public:
  Parser(std::vector<std::string> lines, File *out, Error *error) : lines_(std::move(lines)), out_(out), error_(error) {}

  bool Run() {
    std::string header = TrimRight(lines_[0]);
    if (header == kHeader5) {
      out_->format = Format::Version5;
    } else if (header == kHeader4) {
      out_->format = Format::Regedit4;
    } else {
      return Fail(error_, 1, std::string("expected the header \"") + kHeader5 + "\" or \"" + kHeader4 + "\"");
    }
    out_->ops.clear();
    for (index_ = 1; index_ < lines_.size(); ++index_) {
      std::string s = Trim(lines_[index_]);
      if (s.empty() || s[0] == ';' || s[0] == '#') continue;
      if (s[0] == '[') {
        if (!KeyLine(s)) return false;
      } else if (s[0] == '"' || s[0] == '@') {
        if (!ValueLine(s)) return false;
      } else {
        return Fail(error_, Line(), "expected [KEY], [-KEY], \"name\"=..., @=... or a ';' comment");
      }
    }
    return true;
  }

 private:
  int Line() const { return static_cast<int>(index_) + 1; }

  bool KeyLine(const std::string &s) {
    if (s.back() != ']') return Fail(error_, Line(), "expected ']' at the end of the key line");
    std::string inner = s.substr(1, s.size() - 2);
    bool deleted = !inner.empty() && inner[0] == '-';
    if (deleted) inner = inner.substr(1);
    if (inner.empty()) return Fail(error_, Line(), "expected a key name between '[' and ']'");
    std::string key, message;
    if (!ParseKeyPath(inner, &key, &message)) return Fail(error_, Line(), message);
    if (deleted && key.find('\\') == std::string::npos) {
      return Fail(error_, Line(), "expected a key below the root; a root key cannot be deleted");
    }
    Op op;
    op.kind = deleted ? Op::kDeleteKey : Op::kCreateKey;
    op.key = key;
    op.line = Line();
    out_->ops.push_back(op);
    key_ = key;
    keyDeleted_ = deleted;
    return true;
  }

  bool ValueLine(const std::string &s) {
    int line = Line();
    if (key_.empty()) return Fail(error_, line, "expected a [KEY] line before the first value");
    if (keyDeleted_) {
      return Fail(error_, line, "expected a [KEY] line before this value; values cannot follow [-" + key_ + "]");
    }
    Op op;
    op.key = key_;
    op.line = line;
    size_t pos = 0;
    std::string message;
    if (s[0] == '@') {
      pos = 1;
    } else if (!ParseQuoted(s, &pos, &op.name, "the value name", &message)) {
      return Fail(error_, line, message);
    }
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    if (pos >= s.size() || s[pos] != '=') return Fail(error_, line, "expected '=' after the value name");
    ++pos;
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    std::string rest = s.substr(pos);

    if (rest == "-") {
      op.kind = Op::kDeleteValue;
    } else if (!rest.empty() && rest[0] == '"') {
      size_t end = 0;
      std::string text;
      if (!ParseQuoted(rest, &end, &text, "the string", &message)) return Fail(error_, line, message);
      if (!Trim(rest.substr(end)).empty()) {
        return Fail(error_, line, "expected the line to end after the string's closing '\"'");
      }
      op.kind = Op::kSetValue;
      op.type = REG_SZ;
      op.data = text + '\0';
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
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':' ||
            !ParseHexNumber(rest.substr(4, close - 4), 8, &op.type)) {
          return Fail(error_, line, "expected hex(N): with N the value type as a hex number");
        }
        dataAt = close + 2;
      }
      op.kind = Op::kSetValue;
      if (!HexData(rest.substr(dataAt), &op.data)) return false;
      if (out_->format == Format::Version5 && IsTextType(op.type)) {
        std::string narrow;
        if (!Narrow(op.data, &narrow, &message)) return Fail(error_, line, message);
        op.data = narrow;
      }
    } else {
      return Fail(error_, line, "expected \"text\", dword:, hex:, hex(N): or - after '='");
    }
    out_->ops.push_back(op);
    return true;
  }

  // Comma-separated bytes, continued over lines ending in a backslash.
  bool HexData(const std::string &first, std::string *data) {
    std::string text;
    std::vector<std::pair<size_t, int>> lineAt;  // offset in text where each line's part begins
    std::string part = TrimRight(first);
    while (true) {
      lineAt.push_back({text.size(), Line()});
      bool continued = !part.empty() && part.back() == '\\';
      if (continued) part.pop_back();
      text += part;
      if (!continued) break;
      if (index_ + 1 >= lines_.size()) {
        return Fail(error_, Line(), "expected the hex data to go on after the line ending in '\\'; the file ends");
      }
      ++index_;
      part = Trim(lines_[index_]);
    }
    auto lineOf = [&lineAt](size_t offset) {
      int line = lineAt.front().second;
      for (const auto &p : lineAt) {
        if (p.first <= offset) line = p.second;
      }
      return line;
    };
    data->clear();
    if (Trim(text).empty()) return true;
    size_t pos = 0;
    while (true) {
      size_t comma = text.find(',', pos);
      std::string token = Trim(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
      bool last = comma == std::string::npos;
      if (token.empty()) {
        // A comma may end the data, as before a continuation.
        if (last && pos > 0) return true;
        return Fail(error_, lineOf(pos), "expected a hex byte before ','");
      }
      DWORD byte = 0;
      if (!ParseHexNumber(token, 2, &byte)) {
        return Fail(error_, lineOf(pos), "expected a hex byte (two hex digits); found \"" + token + "\"");
      }
      *data += static_cast<char>(byte);
      if (last) return true;
      pos = comma + 1;
    }
  }

  std::vector<std::string> lines_;
  File *out_;
  Error *error_;
  size_t index_ = 0;
  std::string key_;
  bool keyDeleted_ = false;
};

// ---------------------------------------------------------------- writing

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
    if (c != '\t' && (c < 0x20 || c > 0x7E)) return false;
  }
  return true;
}

std::string Widen(const std::string &s) {
  std::string out;
  for (char c : s) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string ValueHead(const std::string &name) { return name.empty() ? "@=" : "\"" + Escape(name) + "\"="; }

std::string KeyHead(const std::string &path, bool deleted) {
  return std::string("[") + (deleted ? "-" : "") + LongRootPath(path) + "]\n";
}

// A key with all its values, and the empty line after them.
std::string KeyBlock(const sim::RegKeyDump &key) {
  std::string out = KeyHead(key.path, false);
  for (const auto &v : key.values) out += FormatValue(v.first, v.second) + "\n";
  return out + "\n";
}

// The header and the empty line after it: a file that changes nothing.
std::string EmptyFile() { return std::string(kHeader5) + "\n\n"; }

const std::pair<std::string, sim::Value> *FindValue(const sim::RegKeyDump &key, const std::string &name) {
  for (const auto &v : key.values) {
    if (Upper(v.first) == Upper(name)) return &v;
  }
  return nullptr;
}

std::string Parent(const std::string &path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

bool Parse(const std::string &bytes, File *out, Error *error) {
  std::string text;
  if (!Decode(bytes, &text, error)) return false;
  Parser parser(SplitLines(text), out, error);
  return parser.Run();
}

bool Apply(const File &file, Error *error) {
  for (const Op &op : file.ops) {
    try {
      switch (op.kind) {
        case Op::kCreateKey:
          sim::CreateKey(op.key);
          break;
        case Op::kDeleteKey:
          if (sim::KeyExists(op.key)) sim::DeleteKeyTree(op.key);
          break;
        case Op::kSetValue:
          sim::SetValue(op.key, op.name, op.type, op.data);
          break;
        case Op::kDeleteValue:
          sim::DeleteValue(op.key, op.name);
          break;
      }
    } catch (const std::exception &e) {
      return Fail(error, op.line, std::string("the machine refused this entry: ") + e.what());
    }
  }
  return true;
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

std::string FormatValue(const std::string &name, const sim::Value &value) {
  std::string head = ValueHead(name);
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
  std::string bytes = IsTextType(value.type) ? Widen(value.data) : value.data;
  std::string out = head + prefix;
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

std::string WriteDump(const std::vector<sim::RegKeyDump> &keys) {
  std::string out = EmptyFile();
  for (const sim::RegKeyDump &key : keys) out += KeyBlock(key);
  return out;
}

std::string WriteDiff(const std::vector<sim::RegKeyDump> &before, const std::vector<sim::RegKeyDump> &after) {
  std::map<std::string, const sim::RegKeyDump *> was, now;
  for (const auto &k : before) was[Upper(k.path)] = &k;
  for (const auto &k : after) now[Upper(k.path)] = &k;

  std::string out = EmptyFile();
  for (const auto &k : before) {
    std::string up = Upper(k.path);
    if (now.count(up)) continue;
    std::string parent = Parent(up);
    if (!parent.empty() && !now.count(parent)) continue;  // under a branch already deleted
    out += KeyHead(k.path, true) + "\n";
  }
  for (const auto &k : after) {
    auto old = was.find(Upper(k.path));
    if (old == was.end()) {
      out += KeyBlock(k);
      continue;
    }
    std::string entries;
    for (const auto &v : k.values) {
      const auto *prev = FindValue(*old->second, v.first);
      if (!prev || prev->second.type != v.second.type || prev->second.data != v.second.data) {
        entries += FormatValue(v.first, v.second) + "\n";
      }
    }
    for (const auto &v : old->second->values) {
      if (!FindValue(k, v.first)) entries += ValueHead(v.first) + "-\n";
    }
    if (!entries.empty()) out += KeyHead(k.path, false) + entries + "\n";
  }
  return out;
}

bool HasChanges(const std::vector<sim::RegKeyDump> &before, const std::vector<sim::RegKeyDump> &after) {
  return WriteDiff(before, after) != EmptyFile();
}

std::string ToCrlf(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string ForRegistryEditor(const std::string &text) {
  return "\xFF\xFE" + Widen(ToCrlf(text));
}

}  // namespace regfile
