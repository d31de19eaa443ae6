// Registry editor export files (.reg): reading them into operations for the
// simulated machine, and writing a registry dump, or the difference between
// two pictures of the registry, as a file the registry editor imports.
//
// Both headers are read: "REGEDIT4" (ANSI text; every value's bytes are
// taken as written) and "Windows Registry Editor Version 5.00" (the registry
// editor's Unicode format: the data of hex(1), hex(2) and hex(7) values is
// UTF-16LE and is converted to the single-byte text the ANSI functions see).
// A file may be plain text or UTF-16LE with its byte-order mark. Reading
// takes time and memory in proportion to the file, whatever its shape.
//
// Names may hold any byte but the NUL (which the ANSI functions cannot
// pass) and, in a key name, the backslash. A byte written as an escape
// reads back as that byte: "\\xHH" in a key name (two backslashes: a
// doubled backslash means nothing else in a key path), "\xHH" in a quoted
// value name or string, beside the registry editor's own "\\" and "\"".
//
// Text written is "Windows Registry Editor Version 5.00" (a difference
// may be "REGEDIT4" instead) with "\n" line ends. In the plain style, for people and terminals, it is printable ASCII:
// every other byte of a name is escaped. In the editor's style names keep
// their bytes (only a line end is escaped) for ForRegistryEditor(), which
// gives the bytes of the file the registry editor itself writes and imports.
#ifndef NRV_TOOLS_REGFILE_H
#define NRV_TOOLS_REGFILE_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim.h"

namespace regfile {

enum class Format { Regedit4, Version5 };

enum class Style { kPlain, kEditor };

struct Op {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = kCreateKey;
  std::string key;   // with its root spelled out: "HKEY_LOCAL_MACHINE\\SOFTWARE"
  std::string name;  // value name; "" is the key's default value (@)
  DWORD type = REG_NONE;
  std::string data;  // the value's bytes as the ANSI functions see them
  int line = 0;      // where the key or value starts in the file
};

struct File {
  Format format = Format::Version5;
  std::vector<Op> ops;  // in the file's order
};

struct Error {
  int line = 0;
  std::string message;  // what was expected
};

// The bytes of a .reg file as single-byte text (a UTF-16LE file narrowed).
bool Decode(const std::string &bytes, std::string *text, Error *error);

// What a reader does with each entry as soon as it is read; it may take the
// entry's texts. Value entries leave `key` empty: they belong to the key
// entry before them. Returning false stops the reading; the sink has filled
// the error.
using Sink = std::function<bool(Op &op, Error *error)>;

// Reads decoded text, handing every entry to the sink in the file's order.
// On a malformed line fills *error (its line and what was expected) and
// returns false.
bool ReadText(std::string_view text, const Sink &sink, Format *format, Error *error);

// Parses the bytes of a .reg file into a list (value entries with their
// key's path). On failure fills *error and returns false.
bool Parse(const std::string &bytes, File *out, Error *error);

// Carries the operations out on the simulated machine, in order: keys are
// created with their parents, [-KEY] removes a whole branch (nothing when it
// is missing). When the machine refuses an entry, *error gets its line and
// the reason, and the entries after it are not carried out.
bool Apply(const File &file, Error *error);
// Reads decoded text and carries each entry out as it is read.
bool ApplyText(std::string_view text, Error *error);

// "HKLM\\X" -> "HKEY_LOCAL_MACHINE\\X" (the long root names pass through).
std::string LongRootPath(const std::string &path);

// One value as a .reg entry ("\"name\"=dword:00000001"), long hex data
// continued over lines with ",\\" as the registry editor wraps them. No final
// line end.
// In a REGEDIT4 file text data (hex(1), hex(2), hex(7)) is its single bytes,
// in a Version 5 file UTF-16LE.
std::string FormatValue(const std::string &name, const sim::Value &value, Style style = Style::kPlain,
                        Format format = Format::Version5);

// Every key and value of a dump, parents before children.
std::string WriteDump(const std::vector<sim::RegKeyDump> &keys, Style style = Style::kPlain);

// What turns `before` into `after`: deleted keys as [-KEY] (only the top of
// each deleted branch), then new keys with all their values and existing
// keys with their new or changed values and "name"=- for values removed. A
// new key without values that has subkeys is left to their lines, which
// make it. Key and value names compare without regard to case. Only the
// header when nothing changed. Pictures of the whole registry
// (sim::PictureRegistry) are compared only where they differ: the cost is
// that of what changed.
// With the header of `format`: "REGEDIT4", the format the registry editors
// of NT 4.0 and Windows 95, 98 and Me import, or Version 5.00.
std::string WriteDiff(const sim::KeyPicture &before, const sim::KeyPicture &after, Style style = Style::kPlain,
                      Format format = Format::Version5);
std::string WriteDiff(const std::vector<sim::RegKeyDump> &before, const std::vector<sim::RegKeyDump> &after,
                      Style style = Style::kPlain);

// Whether WriteDiff would write more than the header.
bool HasChanges(const sim::KeyPicture &before, const sim::KeyPicture &after);
bool HasChanges(const std::vector<sim::RegKeyDump> &before, const std::vector<sim::RegKeyDump> &after);

std::string ToCrlf(const std::string &text);

// The file as the registry editor writes a Version 5 export: "\r\n" line
// ends, UTF-16LE with its byte-order mark, each byte of `text` one
// character (U+0000 to U+00FF, as Parse reads it back). A REGEDIT4 text
// stays single-byte, with "\r\n" line ends. An editor given the
// plain text instead reads it as ANSI and takes the UTF-16LE bytes of
// hex(2) and hex(7) data for ANSI text.
std::string ForRegistryEditor(const std::string &text);

}  // namespace regfile

#endif
