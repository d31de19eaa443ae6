// The .reg reader and writer of the dry-run tool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regfile.h"
#include "sim.h"

namespace {

using std::string;

const string kV5 = "Windows Registry Editor Version 5.00";

sim::Value V(DWORD type, const string &data) {
  sim::Value v;
  v.type = type;
  v.data = data;
  return v;
}

string Upper(string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// The keys and values a parsed file sets, as a dump (deletions refused).
std::vector<sim::RegKeyDump> Rebuild(const regfile::File &file) {
  std::vector<sim::RegKeyDump> keys;
  for (const regfile::Op &op : file.ops) {
    if (op.kind == regfile::Op::kCreateKey) {
      keys.push_back(sim::RegKeyDump{op.key, {}});
    } else if (op.kind == regfile::Op::kSetValue) {
      EXPECT_FALSE(keys.empty());
      EXPECT_EQ(keys.back().path, op.key);
      keys.back().values.push_back({op.name, V(op.type, op.data)});
    } else {
      ADD_FAILURE() << "unexpected deletion at line " << op.line;
    }
  }
  return keys;
}

void ExpectSameDump(const std::vector<sim::RegKeyDump> &want, const std::vector<sim::RegKeyDump> &got) {
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("key " + want[i].path);
    EXPECT_EQ(regfile::LongRootPath(want[i].path), got[i].path);
    ASSERT_EQ(want[i].values.size(), got[i].values.size());
    for (size_t j = 0; j < want[i].values.size(); ++j) {
      SCOPED_TRACE("value \"" + want[i].values[j].first + "\"");
      EXPECT_EQ(want[i].values[j].first, got[i].values[j].first);
      EXPECT_EQ(want[i].values[j].second.type, got[i].values[j].second.type);
      EXPECT_EQ(want[i].values[j].second.data, got[i].values[j].second.data);
    }
  }
}

string Utf16WithBom(const string &text) {
  string out = "\xFF\xFE";
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

string AllBytes(size_t n) {
  string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(i & 0xFF);
  return s;
}

// ---------------------------------------------------------------- writing

TEST(RegFileWrite, EachValueKindAsTheRegistryEditorWritesIt) {
  struct Case {
    string name;
    DWORD type;
    string data;
    string want;
  };
  const Case cases[] = {
      {"Name", REG_SZ, string("text\0", 5), "\"Name\"=\"text\""},
      {"Quote\"And\\Slash", REG_SZ, string("C:\\dir \"x\"\0", 11), "\"Quote\\\"And\\\\Slash\"=\"C:\\\\dir \\\"x\\\"\""},
      {"", REG_SZ, string("dflt\0", 5), "@=\"dflt\""},
      {"Empty", REG_SZ, string("\0", 1), "\"Empty\"=\"\""},
      {"Tab", REG_SZ, string("a\tb\0", 4), "\"Tab\"=\"a\tb\""},
      {"D", REG_DWORD, "\x78\x56\x34\x12", "\"D\"=dword:12345678"},
      {"Dff", REG_DWORD, "\xff\xff\xff\xff", "\"Dff\"=dword:ffffffff"},
      {"Short", REG_DWORD, "\x01\x02\x03", "\"Short\"=hex(4):01,02,03"},
      {"X", REG_EXPAND_SZ, string("%S%\0", 4), "\"X\"=hex(2):25,00,53,00,25,00,00,00"},
      {"M", REG_MULTI_SZ, string("a\0b\0\0", 5), "\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00"},
      {"B", REG_BINARY, "\x01\xff", "\"B\"=hex:01,ff"},
      {"EmptyBin", REG_BINARY, "", "\"EmptyBin\"=hex:"},
      {"N", REG_NONE, "", "\"N\"=hex(0):"},
      {"Q", 0xb, string("\x01\0\0\0\0\0\0\x80", 8), "\"Q\"=hex(b):01,00,00,00,00,00,00,80"},
      // Text a quoted string would not give back exactly.
      {"NoNul", REG_SZ, "abc", "\"NoNul\"=hex(1):61,00,62,00,63,00"},
      {"Inner", REG_SZ, string("a\0b\0", 4), "\"Inner\"=hex(1):61,00,00,00,62,00,00,00"},
      {"High", REG_SZ, string("caf\xe9\0", 5), "\"High\"=hex(1):63,00,61,00,66,00,e9,00,00,00"},
      {"Line", REG_SZ, string("a\nb\0", 4), "\"Line\"=hex(1):61,00,0a,00,62,00,00,00"},
      {"NoData", REG_SZ, "", "\"NoData\"=hex(1):"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    EXPECT_EQ(c.want, regfile::FormatValue(c.name, V(c.type, c.data))) << "case " << i << " (" << c.name << ")";
  }
}

TEST(RegFileWrite, LongHexDataIsContinuedAtEightyColumns) {
  // 23 bytes fit after "\"Bin\"=hex:" on the first line, 25 on each next one.
  EXPECT_EQ(
      "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
      "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\n"
      "  30,31",
      regfile::FormatValue("Bin", V(REG_BINARY, AllBytes(50))));

  // Exactly filling the first line leaves no empty continuation.
  string exact = regfile::FormatValue("Bin", V(REG_BINARY, AllBytes(24)));
  EXPECT_EQ(string::npos, exact.find("\\\n  \n")) << exact;
  EXPECT_EQ("\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n  17", exact);

  struct Case {
    string name;
    DWORD type;
    size_t bytes;
  };
  const Case cases[] = {{"", REG_BINARY, 300}, {"A much longer value name than usual", REG_MULTI_SZ, 200},
                        {string(90, 'n'), REG_BINARY, 10}, {"E", REG_EXPAND_SZ, 77}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    string text = regfile::FormatValue(cases[i].name, V(cases[i].type, AllBytes(cases[i].bytes)));
    size_t start = 0;
    int line = 0;
    while (true) {
      size_t nl = text.find('\n', start);
      string l = text.substr(start, nl == string::npos ? string::npos : nl - start);
      if (line > 0) {
        EXPECT_LE(l.size(), 80u) << "case " << i << " line " << line << ": " << l;
        EXPECT_EQ("  ", l.substr(0, 2)) << "case " << i << " line " << line;
      }
      if (nl == string::npos) {
        EXPECT_NE('\\', l.back()) << "case " << i << ": the last line is not continued";
        break;
      }
      EXPECT_EQ(",\\", l.substr(l.size() - 2)) << "case " << i << " line " << line;
      start = nl + 1;
      ++line;
    }
    EXPECT_GT(line, 0) << "case " << i << " is long enough to be continued";
  }
}

TEST(RegFileWrite, DiffWritesDeletedBranchesNewKeysAndChangedValues) {
  std::vector<sim::RegKeyDump> before = {
      {"HKLM", {}},
      {"HKLM\\SOFTWARE", {}},
      {"HKLM\\SOFTWARE\\Keep",
       {{"Same", V(REG_SZ, string("x\0", 2))},
        {"Change", V(REG_DWORD, string("\1\0\0\0", 4))},
        {"TypeOnly", V(REG_SZ, string("%P%\0", 4))},
        {"Gone", V(REG_SZ, string("y\0", 2))},
        {"", V(REG_SZ, string("d\0", 2))}}},
      {"HKLM\\SOFTWARE\\Old", {}},
      {"HKLM\\SOFTWARE\\Old\\Child", {{"v", V(REG_SZ, string("1\0", 2))}}},
      {"HKLM\\SOFTWARE\\Old\\Child\\Grand", {}},
      {"HKCU\\Untouched", {{"v", V(REG_DWORD, string("\7\0\0\0", 4))}}},
  };
  std::vector<sim::RegKeyDump> after = {
      {"HKLM", {}},
      {"HKLM\\SOFTWARE", {}},
      {"HKLM\\SOFTWARE\\keep",
       {{"same", V(REG_SZ, string("x\0", 2))},
        {"Change", V(REG_DWORD, string("\2\0\0\0", 4))},
        {"TypeOnly", V(REG_EXPAND_SZ, string("%P%\0", 4))},
        {"New", V(REG_BINARY, "\x01\x02")}}},
      {"HKLM\\SOFTWARE\\New", {}},
      {"HKLM\\SOFTWARE\\New\\Sub", {{"", V(REG_SZ, string("z\0", 2))}}},
      {"HKCU\\Untouched", {{"v", V(REG_DWORD, string("\7\0\0\0", 4))}}},
  };
  EXPECT_EQ(kV5 +
                "\n\n"
                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\keep]\n"
                "\"Change\"=dword:00000002\n"
                "\"TypeOnly\"=hex(2):25,00,50,00,25,00,00,00\n"
                "\"New\"=hex:01,02\n"
                "\"Gone\"=-\n"
                "@=-\n\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New\\Sub]\n"
                "@=\"z\"\n\n",
            regfile::WriteDiff(before, after));
  EXPECT_TRUE(regfile::HasChanges(before, after));
  EXPECT_EQ(kV5 + "\n\n", regfile::WriteDiff(after, after));
  EXPECT_FALSE(regfile::HasChanges(after, after));
}

// A diff read back and carried out on the "before" machine gives the "after"
// machine.
TEST(RegFileWrite, DiffAppliedToTheMachineGivesTheNewState) {
  auto build = [](bool changed) {
    sim::Reset(sim::Os::WinXP);
    sim::SetString("HKLM\\SOFTWARE\\Vendor\\App", "Path", "C:\\App");
    sim::SetDword("HKLM\\SOFTWARE\\Vendor\\App", "Count", 1);
    sim::SetString("HKLM\\SOFTWARE\\Vendor\\Old\\Deep\\Deeper", "", "x");
    if (changed) {
      sim::DeleteKeyTree("HKLM\\SOFTWARE\\Vendor\\Old");
      sim::SetDword("HKLM\\SOFTWARE\\Vendor\\App", "Count", 2);
      sim::DeleteValue("HKLM\\SOFTWARE\\Vendor\\App", "Path");
      sim::SetMultiString("HKCU\\Software\\New Key", "List", {"one", "two"});
      sim::SetValue("HKCU\\Software\\New Key", "", REG_EXPAND_SZ, string("%TEMP%\0", 7));
    }
    return sim::DumpRegistry();
  };
  std::vector<sim::RegKeyDump> after = build(true);
  std::vector<sim::RegKeyDump> before = build(false);
  string diff = regfile::WriteDiff(before, after);

  regfile::File file;
  regfile::Error error;
  ASSERT_TRUE(regfile::Parse(diff, &file, &error)) << error.line << ": " << error.message << "\n" << diff;
  ASSERT_TRUE(regfile::Apply(file, &error)) << error.line << ": " << error.message;
  std::vector<sim::RegKeyDump> applied = sim::DumpRegistry();
  ASSERT_EQ(after.size(), applied.size()) << diff;
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(Upper(after[i].path), Upper(applied[i].path)) << "key " << i;
    EXPECT_EQ(after[i].values.size(), applied[i].values.size()) << after[i].path;
  }
  EXPECT_FALSE(regfile::HasChanges(after, applied)) << regfile::WriteDiff(after, applied);
  EXPECT_FALSE(sim::KeyExists("HKLM\\SOFTWARE\\Vendor\\Old"));
}

// ---------------------------------------------------------------- round trip

class RegFileRoundTrip : public ::testing::Test {
 protected:
  std::vector<sim::RegKeyDump> dump_ = {
      {"HKLM", {}},
      {"HKLM\\SOFTWARE\\Norvale \"Quoted\" & Co",
       {{"", V(REG_SZ, string("default \\ value\0", 16))},
        {"Back\\slash \"name\"", V(REG_SZ, string("\"\\\\server\\share\"\0", 18))},
        {"Count", V(REG_DWORD, string("\x2a\0\0\0", 4))},
        {"Expand", V(REG_EXPAND_SZ, string("%SystemRoot%\\system32\0", 22))},
        {"Multi", V(REG_MULTI_SZ, string("first\0second string\0\0", 22))},
        {"EmptyMulti", V(REG_MULTI_SZ, string("\0", 1))},
        {"Blob", V(REG_BINARY, AllBytes(300))},
        {"None", V(REG_NONE, "")},
        {"Qword", V(0xb, string("\x10\x20\x30\x40\x50\x60\x70\x80", 8))},
        {"NoNul", V(REG_SZ, "unterminated")},
        {"Inner", V(REG_SZ, string("two\0parts\0", 10))},
        {"High", V(REG_SZ, string("\xe9t\xe9\0", 4))},
        {"OddDword", V(REG_DWORD, "\1\2")}}},
      {"HKCU\\Software\\Empty Key", {}},
      {"HKCU\\Software\\Caf\xe9 Noir", {{"Ann\xe9" "e", V(REG_DWORD, string("\1\0\0\0", 4))}}},
      {"HKU\\.DEFAULT\\Printers", {{"DeviceOld", V(REG_SZ, string("Office Laser,winspool,LPT2:\0", 28))}}},
      {"HKCR\\.nrv", {{"", V(REG_SZ, string("NrvFile\0", 8))}}},
  };

  void ExpectReadsBack(const string &bytes, const char *what) {
    SCOPED_TRACE(what);
    regfile::File file;
    regfile::Error error;
    ASSERT_TRUE(regfile::Parse(bytes, &file, &error)) << error.line << ": " << error.message;
    EXPECT_EQ(regfile::Format::Version5, file.format);
    ExpectSameDump(dump_, Rebuild(file));
  }
};

TEST_F(RegFileRoundTrip, WrittenDumpReadsBackExactly) {
  string text = regfile::WriteDump(dump_);
  ASSERT_EQ(kV5 + "\n\n[HKEY_LOCAL_MACHINE]\n\n", text.substr(0, kV5.size() + 24));
  ExpectReadsBack(text, "plain text");
  ExpectReadsBack(regfile::ToCrlf(text), "CRLF line ends");
  ExpectReadsBack(Utf16WithBom(regfile::ToCrlf(text)), "UTF-16LE with BOM");
  ExpectReadsBack(regfile::ForRegistryEditor(text), "as written for the registry editor");
  ExpectReadsBack("\xEF\xBB\xBF" + text, "UTF-8 BOM");
}

// The registry editor reads a Version 5 file without a byte-order mark as
// ANSI text and widens the UTF-16LE bytes of hex(7) data once more.
TEST(RegFileWrite, FileForTheRegistryEditorIsUtf16WithBomAndCrlf) {
  struct Case {
    string text, bytes;
  };
  const Case cases[] = {
      {"", "\xFF\xFE"},
      {"x\n\ny", string("\xFF\xFE" "x\0\r\0\n\0\r\0\n\0y\0", 14)},
      // A byte above 0x7F is the character of that number.
      {"[\xe9]\n", string("\xFF\xFE" "[\0\xe9\0]\0\r\0\n\0", 12)},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(cases[i].bytes, regfile::ForRegistryEditor(cases[i].text)) << "case " << i;
  }
}

// ---------------------------------------------------------------- reading

TEST(RegFileRead, TextValueDataIsUtf16InVersion5FilesAndBytesInRegedit4) {
  struct Case {
    string header, value;
    DWORD type;
    string data;
  };
  const Case cases[] = {
      {kV5, "hex(2):41,00,42,00,00,00", REG_EXPAND_SZ, string("AB\0", 3)},
      {"REGEDIT4", "hex(2):41,00,42,00,00,00", REG_EXPAND_SZ, string("A\0B\0\0\0", 6)},
      {kV5, "hex(7):61,00,00,00,00,00", REG_MULTI_SZ, string("a\0\0", 3)},
      {"REGEDIT4", "hex(7):61,00,00", REG_MULTI_SZ, string("a\0\0", 3)},
      {kV5, "hex(1):61,00", REG_SZ, "a"},
      {kV5, "hex:41,00", REG_BINARY, string("A\0", 2)},
      {kV5, "hex(4):01,00,00,00", REG_DWORD, string("\1\0\0\0", 4)},
      {"REGEDIT4", "\"caf\xe9\"", REG_SZ, string("caf\xe9\0", 5)},
      {kV5, "dword:7", REG_DWORD, string("\7\0\0\0", 4)},
      {kV5, "DWORD:0000ABCD", REG_DWORD, string("\xcd\xab\0\0", 4)},
      {kV5, "hex(B):00,01", 0xb, string("\0\1", 2)},
      {kV5, "hex(0):", REG_NONE, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    regfile::File file;
    regfile::Error error;
    string text = c.header + "\n\n[HKEY_CURRENT_USER\\T]\n\"v\"=" + c.value + "\n";
    ASSERT_TRUE(regfile::Parse(text, &file, &error)) << "case " << i << ": " << error.line << ": " << error.message;
    EXPECT_EQ(c.header == kV5 ? regfile::Format::Version5 : regfile::Format::Regedit4, file.format) << "case " << i;
    ASSERT_EQ(2u, file.ops.size()) << "case " << i;
    EXPECT_EQ(regfile::Op::kSetValue, file.ops[1].kind) << "case " << i;
    EXPECT_EQ(c.type, file.ops[1].type) << "case " << i;
    EXPECT_EQ(c.data, file.ops[1].data) << "case " << i;
    EXPECT_EQ(4, file.ops[1].line) << "case " << i;
  }
}

TEST(RegFileRead, DeletionsRootsCommentsAndContinuedLines) {
  const string text =
      "REGEDIT4\r\n"
      "; exported for the test\r\n"
      "\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
      "[hklm\\SOFTWARE\\Norvale\\]\r\n"
      "  \"Gone\"=-\r\n"
      "@=-\r\n"
      "\"Spaced\" = \"x\"  \r\n"
      "\"Bin\"=hex:01,02,\\\r\n"
      "   03 , 04,\\\r\n"
      "\r\n"
      "# a comment of the other kind\r\n"
      "[HKU\\.DEFAULT]\r\n"
      "@=\"after\"\r\n";
  regfile::File file;
  regfile::Error error;
  ASSERT_TRUE(regfile::Parse(text, &file, &error)) << error.line << ": " << error.message;
  EXPECT_EQ(regfile::Format::Regedit4, file.format);
  struct Want {
    regfile::Op::Kind kind;
    string key, name, data;
    int line;
  };
  const Want want[] = {
      {regfile::Op::kDeleteKey, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Old", "", "", 4},
      {regfile::Op::kCreateKey, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvale", "", "", 5},
      {regfile::Op::kDeleteValue, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvale", "Gone", "", 6},
      {regfile::Op::kDeleteValue, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvale", "", "", 7},
      {regfile::Op::kSetValue, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvale", "Spaced", string("x\0", 2), 8},
      {regfile::Op::kSetValue, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvale", "Bin", "\x01\x02\x03\x04", 9},
      {regfile::Op::kCreateKey, "HKEY_USERS\\.DEFAULT", "", "", 13},
      {regfile::Op::kSetValue, "HKEY_USERS\\.DEFAULT", "", string("after\0", 6), 14},
  };
  ASSERT_EQ(sizeof want / sizeof want[0], file.ops.size());
  for (size_t i = 0; i < file.ops.size(); ++i) {
    EXPECT_EQ(want[i].kind, file.ops[i].kind) << "op " << i;
    EXPECT_EQ(want[i].key, file.ops[i].key) << "op " << i;
    EXPECT_EQ(want[i].name, file.ops[i].name) << "op " << i;
    EXPECT_EQ(want[i].data, file.ops[i].data) << "op " << i;
    EXPECT_EQ(want[i].line, file.ops[i].line) << "op " << i;
  }
}

TEST(RegFileRead, MalformedFilesNameTheLineAndWhatWasExpected) {
  const string h = kV5 + "\n";
  const string k = h + "[HKEY_CURRENT_USER\\T]\n";
  struct Case {
    const char *what;
    string bytes;
    int line;
    string message;
  };
  const Case cases[] = {
      {"empty file", "", 1,
       "expected the header \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
      {"wrong header", "Windows Registry Editor Version 4.00\n[HKEY_USERS\\x]\n", 1,
       "expected the header \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
      {"key without ]", h + "\n[HKEY_USERS\\x\n", 3, "expected ']' at the end of the key line"},
      {"empty key", h + "[]\n", 2, "expected a key name between '[' and ']'"},
      {"unknown root", h + "[HKEY_CURRENT_CONFIG\\x]\n", 2,
       "expected a key under HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS; found "
       "\"HKEY_CURRENT_CONFIG\""},
      {"double backslash", h + "[HKEY_USERS\\a\\\\b]\n", 2,
       "expected a key name between backslashes in \"HKEY_USERS\\a\\\\b\""},
      {"root deleted", h + "[-HKEY_USERS]\n", 2, "expected a key below the root; a root key cannot be deleted"},
      {"value before key", h + "\"v\"=\"x\"\n", 2, "expected a [KEY] line before the first value"},
      {"value under deleted key", h + "[-HKEY_USERS\\x]\n@=\"y\"\n", 3,
       "expected a [KEY] line before this value; values cannot follow [-HKEY_USERS\\x]"},
      {"stray text", k + "v=1\n", 3, "expected [KEY], [-KEY], \"name\"=..., @=... or a ';' comment"},
      {"open name", k + "\"abc\n", 3, "expected '\"' to end the value name"},
      {"no equals", k + "\"v\" \"x\"\n", 3, "expected '=' after the value name"},
      {"open string", k + "\"v\"=\"abc\n", 3, "expected '\"' to end the string"},
      {"bad escape", k + "\"v\"=\"a\\tb\"\n", 3, "expected \\\\, \\\" or \\xHH in the string; found \\t"},
      {"text after string", k + "\"v\"=\"a\" \"b\"\n", 3,
       "expected the line to end after the string's closing '\"'"},
      {"unknown data", k + "\"v\"=qword:1\n", 3, "expected \"text\", dword:, hex:, hex(N): or - after '='"},
      {"long dword", k + "\"v\"=dword:123456789\n", 3, "expected 1 to 8 hex digits after dword:"},
      {"bad dword", k + "\"v\"=dword:12g4\n", 3, "expected 1 to 8 hex digits after dword:"},
      {"bad type", k + "\"v\"=hex(zz):00\n", 3, "expected hex(N): with N the value type as a hex number"},
      {"type without colon", k + "\"v\"=hex(2)00\n", 3, "expected hex(N): with N the value type as a hex number"},
      {"bad byte", k + "\"v\"=hex:00,0g\n", 3, "expected a hex byte (two hex digits); found \"0g\""},
      {"bad byte on a continued line", k + "\"v\"=hex:00,\\\n  01,\\\n  123\n", 5,
       "expected a hex byte (two hex digits); found \"123\""},
      {"two commas", k + "\"v\"=hex:00,,01\n", 3, "expected a hex byte before ','"},
      {"continued at the end", k + "\"v\"=hex:00,\\\n", 3,
       "expected the hex data to go on after the line ending in '\\'; the file ends"},
      {"odd UTF-16 data", k + "\"v\"=hex(7):61,00,00\n", 3,
       "expected UTF-16LE data (an even number of bytes) for a text value"},
      {"wide character", k + "\"v\"=hex(1):41,30,00,00\n", 3,
       "expected ANSI characters in the text value; found U+3041"},
      {"NUL in plain text", h + string("[HKEY_USERS\\a\0]\n", 16), 2,
       "expected plain text or UTF-16LE with its byte-order mark; found a NUL byte"},
      {"UTF-16 big-endian", "\xFE\xFF", 1, "expected plain text or UTF-16LE; this file is UTF-16 big-endian"},
      {"UTF-16 cut short", Utf16WithBom(h + "\n") + "x", 3,
       "expected two bytes per character in a UTF-16LE file; it ends in half a one"},
      {"UTF-16 beyond ANSI", Utf16WithBom(h) + "\x42\x30", 2, "expected ANSI characters; found U+3042"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    regfile::File file;
    regfile::Error error;
    EXPECT_FALSE(regfile::Parse(c.bytes, &file, &error)) << "case " << i << " (" << c.what << ")";
    EXPECT_EQ(c.line, error.line) << "case " << i << " (" << c.what << ")";
    EXPECT_EQ(c.message, error.message) << "case " << i << " (" << c.what << ")";
  }
}

TEST(RegFileRead, ApplyReportsTheLineTheMachineRefused) {
  sim::Reset(sim::Os::WinXP);
  regfile::File file;
  regfile::Error error;
  // The machine cannot make a value on a key path that runs through a loop of links.
  sim::LinkKey("HKLM\\SOFTWARE\\LoopA", "HKLM\\SOFTWARE\\LoopB");
  sim::LinkKey("HKLM\\SOFTWARE\\LoopB", "HKLM\\SOFTWARE\\LoopA");
  ASSERT_TRUE(regfile::Parse(kV5 + "\n[HKEY_USERS\\Fine]\n@=\"1\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\LoopA\\x]\n", &file,
                             &error));
  EXPECT_FALSE(regfile::Apply(file, &error));
  EXPECT_EQ(4, error.line);
  EXPECT_EQ(0u, error.message.find("the machine refused this entry: ")) << error.message;
  EXPECT_EQ("1", sim::GetString("HKU\\Fine", "").value_or("missing"));
}

}  // namespace

// ---------------------------------------------------------------- names from outside

namespace {

// Names with every kind of byte a key or value name can hold: written in
// both styles, each reads back to the same names and data. The plain text
// is printable ASCII; the editor's keeps the names' bytes.
TEST(RegFileNames, EveryByteButNulReadsBackFromBothStyles) {
  string allBytes;
  for (int c = 1; c < 256; ++c) {
    if (c != '\\') allBytes += static_cast<char>(c);
  }
  const std::vector<sim::RegKeyDump> cases[] = {
      {{"HKCU\\Esc\x1b[31mRed", {{"Bell\x07", V(REG_SZ, string("plain\0", 6))}}}},
      {{"HKCU\\\x1b" "starts\\\x9b" "x41\\end\x7f", {{"\x1b", V(REG_DWORD, string("\1\0\0\0", 4))}}}},
      {{"HKCU\\Caf\xe9", {{"Ann\xe9" "e \"q\" \\ back", V(REG_BINARY, "\x01")}}}},
      {{"HKCU\\" + allBytes, {{allBytes, V(REG_SZ, allBytes + '\0')}}}},
      {{"HKCU\\x41\\xx", {{"\\x41", V(REG_SZ, string("\\x41\0", 5))}}}},
      {{"HKCU\\cr\rlf", {{"line\nend\r", V(REG_SZ, string("a\nb\0", 4))}}}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    for (regfile::Style style : {regfile::Style::kPlain, regfile::Style::kEditor}) {
      SCOPED_TRACE("case " + std::to_string(i) + (style == regfile::Style::kPlain ? " plain" : " editor"));
      string text = regfile::WriteDump(cases[i], style);
      if (style == regfile::Style::kPlain) {
        for (char c : text) {
          unsigned char u = static_cast<unsigned char>(c);
          ASSERT_TRUE(u == '\n' || (u >= 0x20 && u < 0x7F)) << "byte " << static_cast<int>(u) << " in\n" << text;
        }
      }
      for (const string &bytes : {text, regfile::ForRegistryEditor(text)}) {
        regfile::File file;
        regfile::Error error;
        ASSERT_TRUE(regfile::Parse(bytes, &file, &error)) << error.line << ": " << error.message << "\n" << text;
        ExpectSameDump(cases[i], Rebuild(file));
      }
    }
  }
  // The registry editor's file keeps a name's bytes: one character each.
  string editor = regfile::WriteDump(cases[2], regfile::Style::kEditor);
  EXPECT_NE(string::npos, editor.find("[HKEY_CURRENT_USER\\Caf\xe9]\n")) << editor;
  string plain = regfile::WriteDump(cases[2]);
  EXPECT_NE(string::npos, plain.find("[HKEY_CURRENT_USER\\Caf\\\\xe9]\n")) << plain;
  EXPECT_NE(string::npos, plain.find("\"Ann\\xe9e \\\"q\\\" \\\\ back\"=hex:01\n")) << plain;
}

// Names a machine cannot hold, escapes that mean nothing and a byte cut by a
// continuation: the line and what was expected, never a crash.
TEST(RegFileNames, NamesTheMachineCannotHoldAreRefused) {
  const string h = kV5 + "\n";
  struct Case {
    string bytes;
    int line;
    string message;
  };
  const string nul = "expected a name without a NUL character; the ANSI functions cannot reach it";
  const Case cases[] = {
      {Utf16WithBom(h + string("[HKEY_USERS\\a\0b]\n", 16)), 2, nul},
      {h + "[HKEY_USERS\\a\\\\x00b]\n", 2, nul},
      {Utf16WithBom(h + "[HKEY_USERS\\a]\n" + string("\"v\0\"=\"x\"\n", 9)), 3, nul},
      {h + "[HKEY_USERS\\a]\n\"v\\x00\"=\"x\"\n", 3, nul},
      {h + "[HKEY_USERS\\a\\\\x5cb]\n", 2, "expected a key name without a backslash in \"a\\\\x5cb\""},
      {h + "[HKEY_USERS\\a\\\\x4]\n", 2, "expected a key name between backslashes in \"HKEY_USERS\\a\\\\x4\""},
      {h + "[HKEY_USERS\\a\\\\\\\\x41]\n", 2,
       "expected a key name between backslashes in \"HKEY_USERS\\a\\\\\\\\x41\""},
      {h + "[HKEY_USERS\\a]\n\"v\"=\"\\xg0\"\n", 3, "expected \\\\, \\\" or \\xHH in the string; found \\x"},
      {h + "[HKEY_USERS\\\x1b[2J]\n\"v\"=hex:0\x1b\n", 3,
       "expected a hex byte (two hex digits); found \"0\\x1b\""},
      {h + "[\x1b]31m]\n", 2,
       "expected a key under HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS; found "
       "\"\\x1b]31m\""},
      {h + "[HKEY_USERS\\a]\n\"v\"=hex:01,0\\\n  2,03\n\"w\"=hex:1\\\n\\\n  23\n", 5,
       "expected a hex byte (two hex digits); found \"123\""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    regfile::File file;
    regfile::Error error;
    EXPECT_FALSE(regfile::Parse(cases[i].bytes, &file, &error)) << "case " << i;
    EXPECT_EQ(cases[i].line, error.line) << "case " << i;
    EXPECT_EQ(cases[i].message, error.message) << "case " << i;
  }
  // A byte cut by a continuation without a comma is one byte.
  regfile::File file;
  regfile::Error error;
  ASSERT_TRUE(regfile::Parse(h + "[HKEY_USERS\\a]\n\"v\"=hex:01,0\\\n  2,03\n", &file, &error)) << error.message;
  EXPECT_EQ("\x01\x02\x03", file.ops.back().data);
}

}  // namespace
