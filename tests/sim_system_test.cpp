// The simulated kernel and user functions: file system, version, clock,
// processes, strings, message boxes, broadcasts and wsprintfA, with their
// exact results and last errors.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "internal.h"
#include "sim.h"

namespace {

constexpr DWORD kUntouchedError = 0xDEADu;  // a last error no call sets

void SetLastErrorForTest(DWORD error) { sim::detail::Tracer::SetLastErrorValue(error); }

// The text in a buffer, up to its NUL or its end.
std::string TextIn(const char *buf, size_t size) { return std::string(buf, strnlen(buf, size)); }

// An absolute path of exactly n characters (n >= 4), in folders of at most
// 40 characters.
std::string PathOfLength(size_t n) {
  std::string path = "C:\\";
  while (path.size() < n) {
    if (path.back() != '\\' && (path.size() - path.rfind('\\')) > 40 && path.size() + 2 <= n) {
      path += '\\';
    } else {
      path += 'D';
    }
  }
  return path;
}

// What the file at the path is: "missing", or its content and its lock
// ("free", "in use" or "protected"), found as Windows would show it: a copy
// onto a file in use is a sharing violation, onto a protected one access
// denied. The probe overwrites a free file, so it comes last in a check.
std::string Probe(const std::string &path) {
  std::optional<std::string> content = sim::ReadFile(path);
  if (!content) return "missing";
  std::string probe = sim::WindowsDirectory() + "\\probe.tmp";
  sim::WriteFile(probe, "probe");
  BOOL copied = CopyFileA(probe.c_str(), path.c_str(), FALSE);
  DWORD error = GetLastError();
  sim::RemoveFile(probe);
  if (copied) {
    sim::WriteFile(path, *content);
    return *content + "|free";
  }
  if (error == ERROR_SHARING_VIOLATION) return *content + "|in use";
  if (error == ERROR_ACCESS_DENIED) return *content + "|protected";
  return *content + "|error " + std::to_string(error);
}

// ---------------------------------------------------------------- directories

TEST(SimDirectories, DefaultLayoutOfEachSystem) {
  struct Case {
    sim::Os os;
    const char *system;
  };
  const Case cases[] = {
      {sim::Os::Nt40, "C:\\WINDOWS\\system32"}, {sim::Os::Win2000, "C:\\WINDOWS\\system32"},
      {sim::Os::WinXP, "C:\\WINDOWS\\system32"}, {sim::Os::Win95, "C:\\WINDOWS\\SYSTEM"},
      {sim::Os::Win98, "C:\\WINDOWS\\SYSTEM"},   {sim::Os::WinMe, "C:\\WINDOWS\\SYSTEM"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(sim::OsName(c.os));
    sim::Reset(c.os);
    EXPECT_EQ(sim::WindowsDirectory(), "C:\\WINDOWS");
    EXPECT_EQ(sim::SystemDirectory(), c.system);
    EXPECT_EQ(sim::DriverDirectory(), std::string(c.system) + "\\spool\\drivers\\w32x86\\");
    EXPECT_EQ(sim::VersionDirectory(), std::string(c.system) + "\\spool\\drivers\\w32x86\\2\\");
    EXPECT_TRUE(sim::DirectoryExists("C:\\WINDOWS"));
    EXPECT_TRUE(sim::DirectoryExists(c.system));
    EXPECT_TRUE(sim::DirectoryExists("C:\\WINDOWS\\inf"));
    EXPECT_TRUE(sim::DirectoryExists(sim::DriverDirectory()));
    EXPECT_FALSE(sim::DirectoryExists(sim::VersionDirectory()));
    EXPECT_TRUE(sim::ListFiles(sim::DriverDirectory()).empty());

    char buf[MAX_PATH] = {};
    EXPECT_EQ(GetSystemDirectoryA(buf, sizeof buf), std::strlen(c.system));
    EXPECT_STREQ(buf, c.system);
    EXPECT_EQ(GetWindowsDirectoryA(buf, sizeof buf), 10u);
    EXPECT_STREQ(buf, "C:\\WINDOWS");
  }
}

TEST(SimDirectories, BufferBoundaries) {
  struct Case {
    size_t length;
    UINT size;
    bool nullBuffer;
    UINT expected;
    bool written;
  };
  const Case cases[] = {
      {10, 255, false, 10, true},  {10, 11, false, 10, true},    {10, 10, false, 11, false},
      {10, 0, true, 11, false},    {259, 260, false, 259, true}, {260, 260, false, 261, false},
      {300, 260, false, 301, false}, {300, 301, false, 300, true},
  };
  struct Function {
    const char *name;
    UINT (*call)(LPSTR, UINT);
    void (*set)(const std::string &);
  };
  const Function functions[] = {
      {"GetWindowsDirectoryA", GetWindowsDirectoryA, sim::SetWindowsDirectory},
      {"GetSystemDirectoryA", GetSystemDirectoryA, sim::SetSystemDirectory},
  };
  for (const Function &f : functions) {
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
      const Case &c = cases[i];
      SCOPED_TRACE(std::string(f.name) + ": case " + std::to_string(i) + ", length " + std::to_string(c.length) +
                   " in " + std::to_string(c.size));
      sim::Reset(sim::Os::WinXP);
      const std::string dir = PathOfLength(c.length);
      ASSERT_EQ(dir.size(), c.length);
      f.set(dir);
      std::vector<char> buf(400, '\x5a');
      EXPECT_EQ(f.call(c.nullBuffer ? nullptr : buf.data(), c.size), c.expected);
      size_t untouchedFrom = 0;
      if (c.written) {
        EXPECT_EQ(TextIn(buf.data(), buf.size()), dir);
        untouchedFrom = dir.size() + 1;
      }
      for (size_t b = untouchedFrom; b < buf.size(); ++b) {
        ASSERT_EQ(buf[b], '\x5a') << "byte " << b << " written";
      }
    }
  }
}

TEST(SimDirectories, SetDirectoryCreatesTheFolderAndCreateDirectoryA) {
  sim::Reset(sim::Os::WinXP);
  sim::SetWindowsDirectory("D:\\WINNT\\");
  EXPECT_EQ(sim::WindowsDirectory(), "D:\\WINNT");
  EXPECT_TRUE(sim::DirectoryExists("d:\\winnt"));
  sim::SetSystemDirectory("D:\\WINNT\\System32");
  EXPECT_TRUE(sim::DirectoryExists("D:\\WINNT\\SYSTEM32"));

  sim::Reset(sim::Os::WinXP);
  sim::WriteFile("C:\\WINDOWS\\inf\\NRVS1.INF", "inf");
  struct Case {
    const char *path;
    BOOL result;
    DWORD error;  // kUntouchedError: none set
  };
  const Case cases[] = {
      {"C:\\WINDOWS", FALSE, ERROR_ALREADY_EXISTS},
      {"c:\\windows\\SYSTEM32\\", FALSE, ERROR_ALREADY_EXISTS},
      {"C:\\", FALSE, ERROR_ALREADY_EXISTS},
      {"C:\\WINDOWS\\inf\\nrvs1.inf", FALSE, ERROR_ALREADY_EXISTS},
      {"C:\\WINDOWS\\missing\\new", FALSE, ERROR_PATH_NOT_FOUND},
      {"C:\\WINDOWS\\inf\\NRVS1.INF\\sub", FALSE, ERROR_PATH_NOT_FOUND},
      {"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\2\\", TRUE, kUntouchedError},
      {"C:\\WINDOWS\\New Folder", TRUE, kUntouchedError},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " " + c.path);
    bool existed = sim::DirectoryExists(c.path);
    SetLastErrorForTest(kUntouchedError);
    EXPECT_EQ(CreateDirectoryA(c.path, nullptr), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sim::DirectoryExists(c.path), existed || c.result);
  }
  EXPECT_TRUE(sim::DirectoryExists(sim::VersionDirectory()));
}

// ---------------------------------------------------------------- files

class SimFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset(sim::Os::WinXP);
    dir = sim::VersionDirectory();  // ends in a backslash
    sim::MakeDirectory(dir);
    sim::WriteFile(dir + "free.dll", "free");
    sim::WriteFile(dir + "busy.dll", "busy");
    sim::SetFileInUse(dir + "busy.dll", true);
    sim::WriteFile(dir + "locked.dll", "locked");
    sim::SetFileProtected(dir + "locked.dll", true);
    sim::WriteFile(sim::DriverDirectory() + "src.dll", "new");
  }
  std::string P(const char *name) const { return dir + name; }
  std::string dir;
};

TEST_F(SimFiles, PathsCompareWithoutCaseAndListSorted) {
  sim::WriteFile("C:\\WINDOWS\\inf\\NRVS1.INF", "x");
  sim::WriteFile("C:\\WINDOWS\\inf\\a.pnf", "y");
  sim::WriteFile("C:\\WINDOWS\\inf\\sub\\deep.inf", "z");
  EXPECT_TRUE(sim::FileExists("c:\\windows\\INF\\nrvs1.inf"));
  EXPECT_TRUE(sim::FileExists("C:/WINDOWS/inf/../inf/./NRVS1.INF"));
  EXPECT_TRUE(sim::FileExists("C:\\WINDOWS\\\\inf\\NRVS1.INF"));
  EXPECT_FALSE(sim::FileExists("C:\\WINDOWS\\NRVS1.INF"));
  EXPECT_EQ(sim::ReadFile("C:\\windows\\inf\\a.PNF"), std::optional<std::string>("y"));
  EXPECT_EQ(sim::ListFiles("C:\\windows\\INF\\"), (std::vector<std::string>{"a.pnf", "NRVS1.INF"}));
  EXPECT_TRUE(sim::DirectoryExists("C:\\WINDOWS\\inf\\sub"));
  EXPECT_FALSE(sim::FileExists("C:\\WINDOWS\\inf\\sub"));
  EXPECT_EQ(sim::ListFiles(dir), (std::vector<std::string>{"busy.dll", "free.dll", "locked.dll"}));
}

TEST_F(SimFiles, DeleteFileA) {
  struct Case {
    const char *name;
    std::string path;
    BOOL result;
    DWORD error;
    std::string after;  // Probe() afterwards
  };
  const Case cases[] = {
      {"free file", P("free.dll"), TRUE, kUntouchedError, "missing"},
      {"free file, other case", dir + "FREE.DLL", TRUE, kUntouchedError, "missing"},
      {"missing file", P("none.dll"), FALSE, ERROR_FILE_NOT_FOUND, "missing"},
      {"missing folder", dir + "nofolder\\free.dll", FALSE, ERROR_PATH_NOT_FOUND, "missing"},
      {"file as folder", dir + "free.dll\\x", FALSE, ERROR_PATH_NOT_FOUND, "missing"},
      {"file in use", P("busy.dll"), FALSE, ERROR_ACCESS_DENIED, "busy|in use"},
      {"protected file", P("locked.dll"), FALSE, ERROR_ACCESS_DENIED, "locked|protected"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " " + c.name);
    SetUp();
    SetLastErrorForTest(kUntouchedError);
    EXPECT_EQ(DeleteFileA(c.path.c_str()), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(Probe(c.path), c.after);
  }

  SetUp();
  std::string folder = P("sub");
  sim::MakeDirectory(folder);
  EXPECT_EQ(DeleteFileA(folder.c_str()), FALSE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sim::DirectoryExists(folder));

  std::vector<sim::Call> calls = sim::CallsTo("DeleteFileA");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"\"" + folder + "\""}));
  EXPECT_EQ(calls[0].result, "0");
  EXPECT_EQ(calls[0].lastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(SimFiles, CopyFileA) {
  const std::string src = sim::DriverDirectory() + "src.dll";
  struct Case {
    const char *name;
    std::string from, to;
    BOOL failIfExists;
    BOOL result;
    DWORD error;
    std::string after;  // Probe(to) afterwards
  };
  const Case cases[] = {
      {"new file", src, P("new.dll"), FALSE, TRUE, kUntouchedError, "new|free"},
      {"new file, fail if exists", src, P("new.dll"), TRUE, TRUE, kUntouchedError, "new|free"},
      {"over a free file", src, P("free.dll"), FALSE, TRUE, kUntouchedError, "new|free"},
      {"over a free file, fail if exists", src, P("free.dll"), TRUE, FALSE, ERROR_FILE_EXISTS, "free|free"},
      {"over a file in use", src, P("busy.dll"), FALSE, FALSE, ERROR_SHARING_VIOLATION, "busy|in use"},
      {"over a protected file", src, P("locked.dll"), FALSE, FALSE, ERROR_ACCESS_DENIED, "locked|protected"},
      {"source missing", sim::DriverDirectory() + "none.dll", P("new.dll"), FALSE, FALSE, ERROR_FILE_NOT_FOUND,
       "missing"},
      {"source folder missing", sim::DriverDirectory() + "x\\src.dll", P("new.dll"), FALSE, FALSE,
       ERROR_PATH_NOT_FOUND, "missing"},
      {"target folder missing", src, dir + "x\\new.dll", FALSE, FALSE, ERROR_PATH_NOT_FOUND, "missing"},
      {"source in use is read", P("busy.dll"), P("copy.dll"), FALSE, TRUE, kUntouchedError, "busy|free"},
      {"source protected is read", P("locked.dll"), P("copy.dll"), FALSE, TRUE, kUntouchedError, "locked|free"},
      {"onto itself", P("free.dll"), dir + "FREE.dll", FALSE, FALSE, ERROR_SHARING_VIOLATION, "free|free"},
      {"onto a folder", src, dir.substr(0, dir.size() - 1), FALSE, FALSE, ERROR_ACCESS_DENIED, "missing"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " " + c.name);
    SetUp();
    SetLastErrorForTest(kUntouchedError);
    EXPECT_EQ(CopyFileA(c.from.c_str(), c.to.c_str(), c.failIfExists), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_TRUE(sim::FileExists(c.from) || c.error == ERROR_FILE_NOT_FOUND || c.error == ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Probe(c.to), c.after);
  }
}

TEST_F(SimFiles, MoveFileExA) {
  const DWORD replace = MOVEFILE_REPLACE_EXISTING;
  struct Case {
    const char *name;
    std::string from, to;
    DWORD flags;
    BOOL result;
    DWORD error;
    std::string fromAfter, toAfter;  // Probe() afterwards
  };
  const Case cases[] = {
      {"free file", P("free.dll"), P("free.dll.000"), replace, TRUE, kUntouchedError, "missing", "free|free"},
      {"file in use: the lock moves", P("busy.dll"), P("busy.dll.000"), replace, TRUE, kUntouchedError, "missing",
       "busy|in use"},
      {"file in use over a free file", P("busy.dll"), P("free.dll"), replace, TRUE, kUntouchedError, "missing",
       "busy|in use"},
      {"protected file", P("locked.dll"), P("locked.dll.000"), replace, FALSE, ERROR_ACCESS_DENIED,
       "locked|protected", "missing"},
      {"missing file", P("none.dll"), P("none.dll.000"), replace, FALSE, ERROR_FILE_NOT_FOUND, "missing", "missing"},
      {"missing folder", dir + "x\\none.dll", P("none.dll.000"), replace, FALSE, ERROR_PATH_NOT_FOUND, "missing",
       "missing"},
      {"target exists, no replace", P("free.dll"), P("busy.dll"), 0, FALSE, ERROR_ALREADY_EXISTS, "free|free",
       "busy|in use"},
      {"target in use, replace", P("free.dll"), P("busy.dll"), replace, FALSE, ERROR_ACCESS_DENIED, "free|free",
       "busy|in use"},
      {"target protected, replace", P("free.dll"), P("locked.dll"), replace, FALSE, ERROR_ACCESS_DENIED,
       "free|free", "locked|protected"},
      {"target folder missing", P("free.dll"), dir + "x\\free.dll", replace, FALSE, ERROR_PATH_NOT_FOUND,
       "free|free", "missing"},
      {"into another folder, no flags", P("free.dll"), "C:\\WINDOWS\\free.dll", 0, TRUE, kUntouchedError, "missing",
       "free|free"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " " + c.name);
    SetUp();
    SetLastErrorForTest(kUntouchedError);
    EXPECT_EQ(MoveFileExA(c.from.c_str(), c.to.c_str(), c.flags), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_TRUE(sim::PendingDeletions().empty());
    EXPECT_EQ(Probe(c.from), c.fromAfter);
    EXPECT_EQ(Probe(c.to), c.toAfter);
  }
}

TEST_F(SimFiles, MoveFileExAOddArguments) {
  SetLastErrorForTest(kUntouchedError);
  EXPECT_EQ(MoveFileExA(P("free.dll").c_str(), nullptr, 0), FALSE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(sim::FileExists(P("free.dll")));

  // A new spelling of the same name is a rename.
  EXPECT_EQ(MoveFileExA(P("free.dll").c_str(), P("FREE.DLL").c_str(), 0), TRUE);
  EXPECT_EQ(sim::ListFiles(dir), (std::vector<std::string>{"busy.dll", "FREE.DLL", "locked.dll"}));

  // A folder in the target's place.
  sim::MakeDirectory(P("folder"));
  EXPECT_EQ(MoveFileExA(P("FREE.DLL").c_str(), P("folder").c_str(), 0), FALSE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(MoveFileExA(P("FREE.DLL").c_str(), P("folder").c_str(), MOVEFILE_REPLACE_EXISTING), FALSE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sim::FileExists(P("free.dll")));

  std::vector<sim::Call> calls = sim::CallsTo("MoveFileExA");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"\"" + P("free.dll") + "\"", "NULL", "0"}));
  EXPECT_EQ(calls[3].args[2], "1");
}

TEST_F(SimFiles, SearchPathA) {
  sim::WriteFile(P("nrvs1.dll.000"), "old");
  sim::WriteFile(sim::DriverDirectory() + "nrvs1.dll.001", "elsewhere");
  const std::string noSlash = dir.substr(0, dir.size() - 1);
  const std::string found = dir + "nrvs1.dll.000";
  const DWORD len = static_cast<DWORD>(found.size());
  struct Case {
    const char *name;
    std::string path, file;
    const char *ext;
    DWORD size;
    DWORD result;
    std::string buffer;  // "" : untouched
  };
  const Case cases[] = {
      {"path with backslash", dir, "nrvs1.dll.000", nullptr, MAX_PATH, len, found},
      {"path without backslash", noSlash, "nrvs1.dll.000", nullptr, MAX_PATH, len, found},
      {"other case, named as asked", dir, "NRVS1.DLL.000", nullptr, MAX_PATH, len, dir + "NRVS1.DLL.000"},
      {"exactly fits", dir, "nrvs1.dll.000", nullptr, len + 1, len, found},
      {"one byte short", dir, "nrvs1.dll.000", nullptr, len, len + 1, ""},
      {"no room at all", dir, "nrvs1.dll.000", nullptr, 0, len + 1, ""},
      {"extension added", dir, "free", ".dll", MAX_PATH, len - 5, dir + "free.dll"},
      {"extension not added to a name with one", dir, "free.dll", ".000", MAX_PATH, len - 5, dir + "free.dll"},
      {"name with extension, extension not tried", dir, "nrvs1.dll", ".000", MAX_PATH, 0, ""},
      {"not found", dir, "nrvs1.dll.001", nullptr, MAX_PATH, 0, ""},
      {"only the given folder", noSlash, "nrvs1.dll.001", nullptr, MAX_PATH, 0, ""},
      {"folder missing", dir + "x", "nrvs1.dll.000", nullptr, MAX_PATH, 0, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " " + c.name);
    char buf[400];
    std::memset(buf, 0x5a, sizeof buf);
    LPSTR part = nullptr;
    SetLastErrorForTest(kUntouchedError);
    EXPECT_EQ(SearchPathA(c.path.c_str(), c.file.c_str(), c.ext, c.size, buf, &part), c.result);
    EXPECT_EQ(GetLastError(), c.result == 0 ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND) : kUntouchedError);
    if (c.buffer.empty()) {
      for (size_t b = 0; b < sizeof buf; ++b) ASSERT_EQ(buf[b], '\x5a') << "byte " << b;
      EXPECT_EQ(part, nullptr);
    } else {
      EXPECT_EQ(TextIn(buf, sizeof buf), c.buffer);
      EXPECT_EQ(part, buf + dir.size());
      for (size_t b = c.buffer.size() + 1; b < sizeof buf; ++b) ASSERT_EQ(buf[b], '\x5a') << "byte " << b;
    }
  }

  // As the backup search calls it: no extension, no file part.
  char buf[MAX_PATH] = {};
  EXPECT_EQ(SearchPathA(dir.c_str(), "nrvs1.dll.000", nullptr, MAX_PATH, buf, nullptr), len);
  EXPECT_STREQ(buf, found.c_str());
  sim::Call last = sim::CallsTo("SearchPathA").back();
  EXPECT_EQ(last.args, (std::vector<std::string>{"\"" + dir + "\"", "\"nrvs1.dll.000\"", "NULL", "260", "&", "NULL",
                                                 "\"" + found + "\""}));
  EXPECT_EQ(last.result, std::to_string(len));
}

TEST_F(SimFiles, PendingDeletionsAndReboot) {
  const std::string missing = P("none.dll.000");
  SetLastErrorForTest(kUntouchedError);
  // Registered as given, whether the file exists or not.
  EXPECT_EQ(MoveFileExA(missing.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), TRUE);
  EXPECT_EQ(MoveFileExA(P("FREE.dll").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), TRUE);
  EXPECT_EQ(MoveFileExA(P("locked.dll").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), TRUE);
  sim::WriteFile(P("other.dll"), "other");
  sim::SetFileInUse(P("other.dll"), true);
  EXPECT_EQ(MoveFileExA(P("busy.dll").c_str(), P("renamed.dll").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT), TRUE);
  EXPECT_EQ(GetLastError(), kUntouchedError);

  EXPECT_EQ(sim::PendingDeletions(), (std::vector<std::string>{missing, P("FREE.dll"), P("locked.dll")}));
  // Nothing happens before the restart.
  EXPECT_EQ(sim::ListFiles(dir), (std::vector<std::string>{"busy.dll", "free.dll", "locked.dll", "other.dll"}));
  EXPECT_EQ(Probe(P("busy.dll")), "busy|in use");

  sim::Reboot();
  EXPECT_TRUE(sim::PendingDeletions().empty());
  EXPECT_EQ(sim::ListFiles(dir), (std::vector<std::string>{"other.dll", "renamed.dll"}));
  EXPECT_EQ(Probe(P("renamed.dll")), "busy|free");
  EXPECT_EQ(Probe(P("other.dll")), "other|free");  // every lock is released

  sim::Reboot();
  EXPECT_EQ(sim::ListFiles(dir), (std::vector<std::string>{"other.dll", "renamed.dll"}));
}

TEST_F(SimFiles, PendingRenameOntoAnExistingFile) {
  const DWORD delay = MOVEFILE_DELAY_UNTIL_REBOOT;
  sim::WriteFile(P("a.dll"), "a");
  sim::WriteFile(P("b.dll"), "b");
  EXPECT_EQ(MoveFileExA(P("a.dll").c_str(), P("free.dll").c_str(), delay), TRUE);
  EXPECT_EQ(MoveFileExA(P("b.dll").c_str(), P("busy.dll").c_str(), delay | MOVEFILE_REPLACE_EXISTING), TRUE);
  EXPECT_TRUE(sim::PendingDeletions().empty());
  sim::Reboot();
  EXPECT_EQ(sim::ReadFile(P("a.dll")), std::optional<std::string>("a"));  // target taken: passed over
  EXPECT_EQ(sim::ReadFile(P("free.dll")), std::optional<std::string>("free"));
  EXPECT_FALSE(sim::FileExists(P("b.dll")));
  EXPECT_EQ(sim::ReadFile(P("busy.dll")), std::optional<std::string>("b"));
}

// ---------------------------------------------------------------- version

TEST(SimVersion, GetVersionExAForEachSystem) {
  struct Case {
    sim::Os os;
    DWORD major, minor, build, platform;
    const char *servicePack;
    WORD servicePackMajor;
    bool refusesEx;
  };
  const Case cases[] = {
      {sim::Os::Nt40, 4, 0, 1381, VER_PLATFORM_WIN32_NT, "Service Pack 6", 6, false},
      {sim::Os::Win2000, 5, 0, 2195, VER_PLATFORM_WIN32_NT, "Service Pack 4", 4, false},
      {sim::Os::WinXP, 5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 2", 2, false},
      {sim::Os::Win95, 4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS, "", 0, true},
      {sim::Os::Win98, 4, 10, 0x040A07CE, VER_PLATFORM_WIN32_WINDOWS, "", 0, true},
      {sim::Os::WinMe, 4, 90, 0x045A0BB8, VER_PLATFORM_WIN32_WINDOWS, "", 0, true},
  };
  for (const Case &c : cases) {
    for (bool flip : {false, true}) {
      for (DWORD size : {148u, 156u}) {
        SCOPED_TRACE(std::string(sim::OsName(c.os)) + " size " + std::to_string(size) +
                     (flip ? " refusal flipped" : ""));
        sim::Reset(c.os);
        bool refuses = c.refusesEx != flip;
        if (flip) sim::RefuseVersionExRecord(refuses);
        unsigned char raw[200];
        std::memset(raw, 0xA5, sizeof raw);
        OSVERSIONINFOEXA *info = reinterpret_cast<OSVERSIONINFOEXA *>(raw);
        info->dwOSVersionInfoSize = size;
        SetLastErrorForTest(kUntouchedError);
        BOOL rc = GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(info));
        if (size == 156 && refuses) {
          EXPECT_EQ(rc, FALSE);
          EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
          for (size_t b = 4; b < sizeof raw; ++b) ASSERT_EQ(raw[b], 0xA5) << "byte " << b;
          continue;
        }
        EXPECT_EQ(rc, TRUE);
        EXPECT_EQ(GetLastError(), kUntouchedError);
        EXPECT_EQ(info->dwOSVersionInfoSize, size);
        EXPECT_EQ(info->dwMajorVersion, c.major);
        EXPECT_EQ(info->dwMinorVersion, c.minor);
        EXPECT_EQ(info->dwBuildNumber, c.build);
        EXPECT_EQ(info->dwPlatformId, c.platform);
        EXPECT_STREQ(info->szCSDVersion, c.servicePack);
        if (size == 156) {
          EXPECT_EQ(info->wServicePackMajor, c.servicePackMajor);
          EXPECT_EQ(info->wServicePackMinor, 0);
          EXPECT_EQ(info->wProductType, 1);
        }
        for (size_t b = size; b < sizeof raw; ++b) ASSERT_EQ(raw[b], 0xA5) << "byte " << b << " written";
      }
    }
  }
}

TEST(SimVersion, WrongSizesAndOverride) {
  sim::Reset(sim::Os::WinXP);
  for (DWORD size : {0u, 4u, 147u, 149u, 155u, 157u, 1000u}) {
    SCOPED_TRACE("size " + std::to_string(size));
    OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = size;
    SetLastErrorForTest(kUntouchedError);
    EXPECT_EQ(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(info.dwMajorVersion, 0u);
  }

  // The library's sequence on a system that refuses the long record.
  sim::Reset(sim::Os::Win98);
  OSVERSIONINFOEXA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  EXPECT_EQ(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)), FALSE);
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  EXPECT_EQ(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)), TRUE);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  std::vector<sim::Call> calls = sim::CallsTo("GetVersionExA");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"&", "156"}));
  EXPECT_EQ(calls[0].result, "0");
  EXPECT_EQ(calls[0].lastError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(calls[1].args, (std::vector<std::string>{"&", "148"}));
  EXPECT_EQ(calls[1].result, "1");

  sim::Reset(sim::Os::WinXP);
  sim::SetVersion(6, 0, 6002, VER_PLATFORM_WIN32_NT);
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  EXPECT_EQ(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)), TRUE);
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 0u);
  EXPECT_EQ(info.dwBuildNumber, 6002u);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  sim::Reset(sim::Os::WinXP);  // the override goes with the machine
  EXPECT_EQ(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)), TRUE);
  EXPECT_EQ(info.dwMajorVersion, 5u);
}

// ---------------------------------------------------------------- kernel

TEST(SimKernel, SleepAdvancesTheClockAndGetLastError) {
  sim::Reset(sim::Os::WinXP);
  EXPECT_EQ(sim::Now(), 0u);
  Sleep(0);
  Sleep(500);
  EXPECT_EQ(sim::Now(), 500u);
  Sleep(0xFFFFFFFFu);  // INFINITE returns too
  EXPECT_EQ(sim::Now(), 500u + 0xFFFFFFFFull);
  std::vector<sim::Call> calls = sim::CallsTo("Sleep");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].args, (std::vector<std::string>{"500"}));
  EXPECT_EQ(calls[2].args, (std::vector<std::string>{"4294967295"}));

  // Neither can fail: an injected fault changes nothing.
  sim::FailCall("Sleep", 1, ERROR_INVALID_PARAMETER, true);
  sim::FailCall("GetLastError", 1, ERROR_INVALID_PARAMETER, true);
  Sleep(10);
  EXPECT_EQ(sim::Now(), 510u + 0xFFFFFFFFull);
  SetLastErrorForTest(1234);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(sim::CallsTo("GetLastError").back().result, "1234");
}

TEST(SimKernel, WinExecRecordsTheCommand) {
  sim::Reset(sim::Os::WinXP);
  const char *model = "dacl.exe /SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400";
  EXPECT_EQ(WinExec(model, SW_SHOW), 33u);
  EXPECT_EQ(WinExec("dacl.exe /SYSTEM\\x\\Device Parameters", SW_HIDE), 33u);
  EXPECT_EQ(WinExec(nullptr, SW_SHOW), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
  std::vector<sim::ProcessStart> started = sim::ProcessesStarted();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[0].commandLine, model);
  EXPECT_EQ(started[0].show, static_cast<UINT>(SW_SHOW));
  EXPECT_EQ(started[1].commandLine, "dacl.exe /SYSTEM\\x\\Device Parameters");
  EXPECT_EQ(started[1].show, static_cast<UINT>(SW_HIDE));
  EXPECT_EQ(sim::CallsTo("WinExec")[0].args, (std::vector<std::string>{std::string("\"") + model + "\"", "5"}));
  sim::Reset(sim::Os::WinXP);
  EXPECT_TRUE(sim::ProcessesStarted().empty());
}

TEST(SimKernel, StringFunctions) {
  sim::Reset(sim::Os::WinXP);
  char buf[32];
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(lstrcpyA(buf, "SYSTEM\\"), buf);
  EXPECT_EQ(lstrcatA(buf, "LPTENUM"), buf);
  EXPECT_STREQ(buf, "SYSTEM\\LPTENUM");
  EXPECT_EQ(buf[15], 'Z');
  EXPECT_EQ(lstrlenA(buf), 14);
  EXPECT_EQ(lstrlenA(""), 0);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrcpyA(nullptr, "x"), nullptr);
  EXPECT_EQ(lstrcpyA(buf, nullptr), nullptr);
  EXPECT_EQ(lstrcatA(nullptr, "x"), nullptr);
  EXPECT_EQ(lstrcatA(buf, nullptr), nullptr);
  EXPECT_STREQ(buf, "SYSTEM\\LPTENUM");
  EXPECT_EQ(sim::CallsTo("lstrcatA")[0].result, "\"SYSTEM\\LPTENUM\"");

  struct Case {
    const char *a, *b;
    int expected;
  };
  const Case cases[] = {
      {"LPT1", "LPT1", 0},   {"LPT1", "lpt1", -1}, {"lpt1", "LPT1", 1}, {"LPT1", "LPT10", -1},
      {"LPT2", "LPT1", 1},   {"", "", 0},          {"", "a", -1},       {"\xe9", "e", 1},
      {nullptr, nullptr, 0}, {nullptr, "a", -1},   {"a", nullptr, 1},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(lstrcmpA(cases[i].a, cases[i].b), cases[i].expected) << "case " << i;
  }
}

// ---------------------------------------------------------------- user interface

TEST(SimUser, MessageBoxesAndBroadcasts) {
  sim::Reset(sim::Os::WinXP);
  Sleep(1500);
  EXPECT_EQ(MessageBoxA(nullptr, "OPENSCMANAGER FAIL!!", nullptr, MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(reinterpret_cast<HWND>(0x1234), "DELETE FILE ERROR (5)\nFile Name : x",
                        "Norvale TX-5400 Series", 0x30),
            IDOK);
  std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_FALSE(boxes[0].hasOwner);
  EXPECT_EQ(boxes[0].text, "OPENSCMANAGER FAIL!!");
  EXPECT_EQ(boxes[0].caption, std::nullopt);
  EXPECT_EQ(boxes[0].style, 0u);
  EXPECT_EQ(boxes[0].at, 1500u);
  EXPECT_TRUE(boxes[1].hasOwner);
  EXPECT_EQ(boxes[1].caption, std::optional<std::string>("Norvale TX-5400 Series"));
  EXPECT_EQ(boxes[1].style, 0x30u);
  EXPECT_EQ(sim::CallsTo("MessageBoxA")[1].args,
            (std::vector<std::string>{"0x1234", "\"DELETE FILE ERROR (5)\\nFile Name : x\"",
                                      "\"Norvale TX-5400 Series\"", "48"}));

  EXPECT_EQ(SendMessageTimeoutA(HWND_BROADCAST, WM_WININICHANGE, 0, 0, SMTO_NORMAL, 1000, nullptr), 1);
  DWORD_PTR result = 0xDEAD;
  EXPECT_EQ(SendMessageTimeoutA(HWND_BROADCAST, WM_WININICHANGE, 7, -3, 2, 50, &result), 1);
  EXPECT_EQ(result, 0u);
  std::vector<sim::BroadcastCall> sent = sim::Broadcasts();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].window, 0xFFFFu);
  EXPECT_EQ(sent[0].message, static_cast<UINT>(WM_WININICHANGE));
  EXPECT_EQ(sent[0].wParam, 0u);
  EXPECT_EQ(sent[0].lParam, 0);
  EXPECT_EQ(sent[0].flags, 0u);
  EXPECT_EQ(sent[0].timeout, 1000u);
  EXPECT_FALSE(sent[0].hasResultPointer);
  EXPECT_EQ(sent[1].wParam, 7u);
  EXPECT_EQ(sent[1].lParam, -3);
  EXPECT_EQ(sent[1].flags, 2u);
  EXPECT_EQ(sent[1].timeout, 50u);
  EXPECT_TRUE(sent[1].hasResultPointer);

  sim::Reset(sim::Os::WinXP);
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_TRUE(sim::Broadcasts().empty());
}

TEST(SimUser, WsprintfFormats) {
  sim::Reset(sim::Os::WinXP);
  using Call = std::function<int(char *)>;
  struct Case {
    const char *name;
    Call call;
    std::string expected;
  };
  const Case cases[] = {
      {"backup 0", [](char *b) { return wsprintfA(b, "%s.%03d", "nrvs1.dll", 0); }, "nrvs1.dll.000"},
      {"backup 7", [](char *b) { return wsprintfA(b, "%s.%03d", "nrvs1.dll", 7); }, "nrvs1.dll.007"},
      {"backup 999", [](char *b) { return wsprintfA(b, "%s.%03d", "nrvs1.dll", 999); }, "nrvs1.dll.999"},
      {"backup 1000", [](char *b) { return wsprintfA(b, "%s.%03d", "nrvs1.dll", 1000); }, "nrvs1.dll.1000"},
      {"delete error 5",
       [](char *b) { return wsprintfA(b, "DELETE FILE ERROR (%d)\nFile Name : %s", 5, "C:\\x\\nrvs1.dll"); },
       "DELETE FILE ERROR (5)\nFile Name : C:\\x\\nrvs1.dll"},
      {"delete error -1",
       [](char *b) { return wsprintfA(b, "DELETE FILE ERROR (%d)\nFile Name : %s", -1, "C:\\x\\nrvs1.dll"); },
       "DELETE FILE ERROR (-1)\nFile Name : C:\\x\\nrvs1.dll"},
      {"dacl model",
       [](char *b) { return wsprintfA(b, "dacl.exe /SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\%s", "NorvaleTX-5400"); },
       "dacl.exe /SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400"},
      {"instance", [](char *b) { return wsprintfA(b, "\\%s", "1&197f416f&0&LPT1.4"); }, "\\1&197f416f&0&LPT1.4"},
      {"%i", [](char *b) { return wsprintfA(b, "%i|%d", 12, -2147483647 - 1); }, "12|-2147483648"},
      {"%u of -1", [](char *b) { return wsprintfA(b, "%u", -1); }, "4294967295"},
      {"%x %X", [](char *b) { return wsprintfA(b, "%x %X %x", 0xBEEF, 0xBEEF, 0); }, "beef BEEF 0"},
      {"%#x", [](char *b) { return wsprintfA(b, "%#x|%#X", 255, 255); }, "0xff|0XFF"},
      {"%08X", [](char *b) { return wsprintfA(b, "%08X", 0xBEEF); }, "0000BEEF"},
      {"width", [](char *b) { return wsprintfA(b, "[%5d][%-5d][%05d][%-05d]", 42, 42, -42, 42); },
       "[   42][42   ][-0042][42   ]"},
      {"precision of a number", [](char *b) { return wsprintfA(b, "%.5d|%8.3d", 42, -7); }, "00042|    -007"},
      {"string width and precision",
       [](char *b) { return wsprintfA(b, "[%.3s][%6s][%-6s][%6.2s]", "abcdef", "ab", "ab", "xyz"); },
       "[abc][    ab][ab    ][    xy]"},
      {"null string", [](char *b) { return wsprintfA(b, "%s", static_cast<const char *>(nullptr)); }, "(null)"},
      {"%c and %%", [](char *b) { return wsprintfA(b, "%c%c%%%c", 'L', 'P', 'T'); }, "LP%T"},
      {"long sizes are 32 bits",
       [](char *b) { return wsprintfA(b, "%ld %lu %lx %li", -5, 3000000000u, 0xFFFFFFFFu, 9); },
       "-5 3000000000 ffffffff 9"},
      {"short size", [](char *b) { return wsprintfA(b, "%hd %hu %hx", 65535, 65537, 0x12345); }, "-1 1 2345"},
      {"unknown conversion", [](char *b) { return wsprintfA(b, "%y%d", 3); }, "y3"},
      {"no conversion", [](char *b) { return wsprintfA(b, "plain text"); }, "plain text"},
      {"empty", [](char *b) { return wsprintfA(b, ""); }, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " " + c.name);
    char buf[128];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(c.call(buf), static_cast<int>(c.expected.size()));
    EXPECT_EQ(TextIn(buf, sizeof buf), c.expected);
    EXPECT_EQ(buf[c.expected.size() + 1], 'Z');
  }

  std::vector<sim::Call> calls = sim::CallsTo("wsprintfA");
  ASSERT_EQ(calls.size(), sizeof cases / sizeof cases[0]);
  EXPECT_EQ(calls[1].args, (std::vector<std::string>{"&", "\"%s.%03d\"", "\"nrvs1.dll.007\""}));
  EXPECT_EQ(calls[1].result, "13");
}

TEST(SimUser, WsprintfWritesAtMost1024Characters) {
  sim::Reset(sim::Os::WinXP);
  using Call = std::function<int(char *)>;
  const std::string long2000(2000, 'a');
  const std::string exact(1024, 'b');
  const std::string fmt1500(1500, 'c');
  struct Case {
    const char *name;
    Call call;
    std::string expected;
  };
  const Case cases[] = {
      {"argument of 2000", [&](char *b) { return wsprintfA(b, "%s", long2000.c_str()); }, std::string(1024, 'a')},
      {"exactly 1024", [&](char *b) { return wsprintfA(b, "%s", exact.c_str()); }, exact},
      {"1023 and one more", [&](char *b) { return wsprintfA(b, "%sxy", exact.substr(1).c_str()); },
       exact.substr(1) + "x"},
      {"format of 1500", [&](char *b) { return wsprintfA(b, fmt1500.c_str()); }, std::string(1024, 'c')},
      {"width of 2000", [](char *b) { return wsprintfA(b, "%2000d", 5); }, std::string(1024, ' ')},
      {"left width of 2000", [](char *b) { return wsprintfA(b, "%-2000d", 5); }, "5" + std::string(1023, ' ')},
      {"huge width", [](char *b) { return wsprintfA(b, "%99999999999999999999d", 5); }, std::string(1024, ' ')},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " " + c.name);
    std::vector<char> buf(1100, 'Z');
    EXPECT_EQ(c.call(buf.data()), static_cast<int>(c.expected.size()));
    EXPECT_EQ(TextIn(buf.data(), buf.size()), c.expected);
    for (size_t b = c.expected.size() + 1; b < buf.size(); ++b) ASSERT_EQ(buf[b], 'Z') << "byte " << b;
  }
}

// ---------------------------------------------------------------- faults

TEST(SimFaults, InjectedFailuresDoNothing) {
  struct Case {
    const char *function;
    DWORD error;
    std::function<long long()> call;
    long long failed;
    std::function<void()> unchanged;  // checks the machine afterwards
  };
  const std::string dir = "C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\";
  alignas(8) static char buf[MAX_PATH];
  const Case cases[] = {
      {"DeleteFileA", ERROR_ACCESS_DENIED, [&] { return DeleteFileA((dir + "a.dll").c_str()); }, FALSE,
       [&] { EXPECT_TRUE(sim::FileExists(dir + "a.dll")); }},
      {"CopyFileA", ERROR_SHARING_VIOLATION,
       [&] { return CopyFileA((dir + "a.dll").c_str(), (dir + "b.dll").c_str(), FALSE); }, FALSE,
       [&] { EXPECT_FALSE(sim::FileExists(dir + "b.dll")); }},
      {"MoveFileExA", ERROR_ACCESS_DENIED,
       [&] { return MoveFileExA((dir + "a.dll").c_str(), (dir + "b.dll").c_str(), MOVEFILE_REPLACE_EXISTING); },
       FALSE,
       [&] {
         EXPECT_TRUE(sim::FileExists(dir + "a.dll"));
         EXPECT_FALSE(sim::FileExists(dir + "b.dll"));
       }},
      {"MoveFileExA", ERROR_ACCESS_DENIED,
       [&] { return MoveFileExA((dir + "a.dll").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); }, FALSE,
       [&] { EXPECT_TRUE(sim::PendingDeletions().empty()); }},
      {"CreateDirectoryA", ERROR_ACCESS_DENIED, [&] { return CreateDirectoryA((dir + "2").c_str(), nullptr); },
       FALSE, [&] { EXPECT_FALSE(sim::DirectoryExists(dir + "2")); }},
      {"SearchPathA", ERROR_PATH_NOT_FOUND,
       [&] { return SearchPathA(dir.c_str(), "a.dll", nullptr, MAX_PATH, buf, nullptr); }, 0,
       [&] { EXPECT_EQ(buf[0], 'Z'); }},
      {"GetWindowsDirectoryA", ERROR_INVALID_PARAMETER, [&] { return GetWindowsDirectoryA(buf, MAX_PATH); }, 0,
       [&] { EXPECT_EQ(buf[0], 'Z'); }},
      {"GetSystemDirectoryA", ERROR_INVALID_PARAMETER, [&] { return GetSystemDirectoryA(buf, MAX_PATH); }, 0,
       [&] { EXPECT_EQ(buf[0], 'Z'); }},
      {"GetVersionExA", ERROR_INVALID_PARAMETER,
       [&] {
         OSVERSIONINFOA *info = reinterpret_cast<OSVERSIONINFOA *>(buf);
         std::memset(buf, 0, sizeof(OSVERSIONINFOA));
         info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
         return GetVersionExA(info);
       },
       FALSE, [&] { EXPECT_EQ(reinterpret_cast<OSVERSIONINFOA *>(buf)->dwMajorVersion, 0u); }},
      {"WinExec", ERROR_FILE_NOT_FOUND, [&] { return WinExec("dacl.exe /x", SW_SHOW); }, 2,
       [&] { EXPECT_TRUE(sim::ProcessesStarted().empty()); }},
      {"MessageBoxA", ERROR_NOT_ENOUGH_MEMORY, [&] { return MessageBoxA(nullptr, "text", nullptr, MB_OK); }, 0,
       [&] { EXPECT_TRUE(sim::MessageBoxes().empty()); }},
      {"SendMessageTimeoutA", ERROR_TIMEOUT,
       [&] { return SendMessageTimeoutA(HWND_BROADCAST, WM_WININICHANGE, 0, 0, SMTO_NORMAL, 1000, nullptr); }, 0,
       [&] { EXPECT_TRUE(sim::Broadcasts().empty()); }},
      {"wsprintfA", ERROR_INVALID_PARAMETER, [&] { return wsprintfA(buf, "%s", "x"); }, 0,
       [&] { EXPECT_EQ(buf[0], 'Z'); }},
      {"lstrcpyA", ERROR_INVALID_PARAMETER, [&] { return lstrcpyA(buf, "x") == nullptr ? 0 : 1; }, 0,
       [&] { EXPECT_EQ(buf[0], 'Z'); }},
      {"lstrcmpA", ERROR_INVALID_PARAMETER, [&] { return lstrcmpA("a", "a"); }, -2, [] {}},
      {"lstrlenA", ERROR_INVALID_PARAMETER, [&] { return lstrlenA("abc"); }, 0, [] {}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " " + c.function);
    sim::Reset(sim::Os::WinXP);
    sim::WriteFile(dir + "a.dll", "a");
    std::memset(buf, 'Z', sizeof buf);
    sim::FailCall(c.function, 1, c.error);
    EXPECT_EQ(c.call(), c.failed);
    EXPECT_EQ(GetLastError(), c.error);
    c.unchanged();
    std::vector<sim::Call> calls = sim::CallsTo(c.function);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].injected);
    EXPECT_EQ(calls[0].lastError, c.error);
    // Only the first call was the target.
    EXPECT_NE(c.call(), c.failed);
    EXPECT_FALSE(sim::CallsTo(c.function).back().injected);
  }
}

TEST(SimFaults, OccurrenceAndEvery) {
  sim::Reset(sim::Os::WinXP);
  const std::string dir = sim::DriverDirectory();
  for (const char *name : {"1.dll", "2.dll", "3.dll", "4.dll"}) sim::WriteFile(dir + name, name);
  sim::FailCall("DeleteFileA", 2, ERROR_SHARING_VIOLATION);
  sim::FailCall("CopyFileA", 2, ERROR_ACCESS_DENIED, true);
  std::vector<BOOL> deletes, copies;
  for (const char *name : {"1.dll", "2.dll", "3.dll"}) deletes.push_back(DeleteFileA((dir + name).c_str()));
  for (int i = 0; i < 3; ++i) copies.push_back(CopyFileA((dir + "4.dll").c_str(), (dir + "c.dll").c_str(), FALSE));
  EXPECT_EQ(deletes, (std::vector<BOOL>{TRUE, FALSE, TRUE}));
  EXPECT_EQ(copies, (std::vector<BOOL>{TRUE, FALSE, FALSE}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(sim::ListFiles(dir), (std::vector<std::string>{"2.dll", "4.dll", "c.dll"}));
  sim::ClearFaults();
  EXPECT_EQ(DeleteFileA((dir + "2.dll").c_str()), TRUE);
}

}  // namespace
