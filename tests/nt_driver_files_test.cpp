// The driver files: their deployment into the spooler's version directory
// (moving aside files in use under a free backup name), their removal, and
// what both do with system directories too long for their buffers.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kPrinter[] = "Norvale TX-5400 Series";
const char *const kFiles[] = {"nrvs1.dll",   "nrvs1.sdd",   "nrvs1ui.dll", "nrvs1su.hlp",
                              "nrvs1um.dll", "nrvs1su.dat", "nrvs1su.dll"};
const int kFileCount = 7;

typedef int StepFn(void);

std::string Placed(const char *file) { return std::string(file) + ", as the setup program placed it\n"; }
std::string Earlier(const char *file) { return std::string(file) + ", an earlier copy\n"; }
std::string Source(const char *file) { return sim::DriverDirectory() + file; }
std::string Target(const char *file) { return sim::VersionDirectory() + file; }

std::string CopyError(const std::string &source, const std::string &destination) {
  return "COPY FILE ERROR\nSource File : " + source + "\nDestination File : " + destination;
}
std::string DeleteError(int code, const std::string &path) {
  return "DELETE FILE ERROR (" + std::to_string(code) + ")\nFile Name : " + path;
}

// A path as an error box shows it: as far as it fits its 260-byte buffer
// or, when the system directory could not be read, from the part after it.
std::string Shown(const std::string &path, bool systemDirectoryRead) {
  return systemDirectoryRead ? path.substr(0, MAX_PATH - 1) : path.substr(sim::SystemDirectory().size());
}

// The earlier install: every file in the version directory.
void PlaceEarlierCopies() {
  for (const char *file : kFiles) sim::WriteFile(Target(file), Earlier(file));
}

// Backups an earlier deployment or removal left, not yet deleted by a
// restart: the file's name with each serial number of `taken`.
void PlaceBackups(const char *file, const std::vector<int> &taken) {
  for (int n : taken) {
    char serial[16];
    std::snprintf(serial, sizeof serial, ".%03d", n);
    sim::WriteFile(Target(file) + serial, "an older backup");
  }
}

// A system directory of exactly `length` characters.
std::string SystemDirectoryOf(size_t length) {
  std::string dir = "C:\\" + std::string(length - 3, 'S');
  return dir;
}

// A machine whose system directory has `length` characters, with the
// driver files in its driver directory.
void LongSystemDirectory(size_t length) {
  sim::Reset(sim::Os::WinXP);
  sim::SetSystemDirectory(SystemDirectoryOf(length));
  sim::MakeDirectory(sim::DriverDirectory());
  for (const char *file : kFiles) sim::WriteFile(Source(file), Placed(file));
}

// Every path argument of the file calls, for checking that no cut-off
// path was acted on: each must be one of the paths the machine knows.
std::vector<std::string> FileCallPaths() {
  std::vector<std::string> out;
  for (const sim::Call &call : sim::Trace()) {
    if (call.name == "CopyFileA" || call.name == "MoveFileExA") {
      out.push_back(call.args.at(0));
      if (call.args.at(1) != "NULL") out.push_back(call.args.at(1));
    } else if (call.name == "DeleteFileA" || call.name == "CreateDirectoryA") {
      out.push_back(call.args.at(0));
    }
  }
  return out;
}

bool IsWholePath(const std::string &quoted) {
  for (const char *file : kFiles) {
    if (quoted == Quoted(Source(file)) || quoted == Quoted(Target(file))) return true;
    for (int n = 0; n < 10; ++n) {
      char serial[8];
      std::snprintf(serial, sizeof serial, ".%03d", n);
      if (quoted == Quoted(Target(file) + serial)) return true;
    }
  }
  return quoted == Quoted(sim::VersionDirectory());
}

}  // namespace

// ================================================================ deployment

TEST(DeployDriverFiles, FirstInstallCreatesTheVersionDirectoryAndCopiesAll) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  ASSERT_FALSE(sim::DirectoryExists(sim::VersionDirectory()));
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.Get<StepFn>("DeployDriverFiles")());

  std::vector<sim::Call> dirs = sim::CallsTo("GetSystemDirectoryA");
  ASSERT_EQ(1u, dirs.size());
  EXPECT_EQ("260", dirs[0].args.at(1));
  std::vector<sim::Call> created = sim::CallsTo("CreateDirectoryA");
  ASSERT_EQ(1u, created.size());
  EXPECT_EQ((std::vector<std::string>{Quoted("C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\2\\"), "NULL"}),
            created[0].args);
  EXPECT_TRUE(sim::DirectoryExists("C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\2"));

  std::vector<sim::Call> copies = sim::CallsTo("CopyFileA");
  ASSERT_EQ(7u, copies.size());
  for (int i = 0; i < kFileCount; ++i) {
    const char *file = kFiles[i];
    EXPECT_EQ((std::vector<std::string>{Quoted("C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\" + std::string(file)),
                                        Quoted("C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\2\\" + std::string(file)),
                                        "0"}),
              copies[static_cast<size_t>(i)].args)
        << "copy " << i;
    EXPECT_EQ(Placed(file), sim::ReadFile(Target(file)).value_or("?")) << file;
    EXPECT_EQ(Placed(file), sim::ReadFile(Source(file)).value_or("?")) << file << " stays in the driver directory";
  }
  EXPECT_EQ(0, CallCount("SearchPathA")) << "no backup name is looked for";
  EXPECT_EQ(0, CallCount("MoveFileExA"));
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ(7u, sim::ListFiles(sim::VersionDirectory()).size());
}

TEST(DeployDriverFiles, ReinstallOverwritesTheEarlierCopies) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  PlaceEarlierCopies();
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.Get<StepFn>("DeployDriverFiles")());
  for (const char *file : kFiles) EXPECT_EQ(Placed(file), sim::ReadFile(Target(file)).value_or("?")) << file;
  EXPECT_EQ(7, CallCount("CopyFileA"));
  EXPECT_EQ(0, CallCount("SearchPathA"));
  EXPECT_EQ(0, CallCount("MoveFileExA"));
  EXPECT_TRUE(sim::PendingDeletions().empty());
  EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST(DeployDriverFiles, FileInUseMovesAsideUnderTheLowestFreeBackupName) {
  struct Case {
    const char *name;
    const char *file;
    std::vector<int> taken;  // serial numbers of backups already present
    const char *want;        // the backup name chosen
    size_t searches;         // numbers tried, from 0 up to the free one
  };
  std::vector<int> all1000;
  for (int n = 0; n < 1000; ++n) all1000.push_back(n);
  const Case cases[] = {
      {"no backups", "nrvs1.dll", {}, "nrvs1.dll.000", 1},
      {"a gap at 0", "nrvs1.dll", {1}, "nrvs1.dll.000", 1},
      {".000 and .001 taken", "nrvs1.dll", {0, 1}, "nrvs1.dll.002", 3},
      {"a gap at 3", "nrvs1um.dll", {0, 1, 2, 4, 5}, "nrvs1um.dll.003", 4},
      {".000 to .999 taken", "nrvs1.dll", all1000, "nrvs1.dll.1000", 1001},
      {"the last file of the set", "nrvs1su.dll", {0}, "nrvs1su.dll.001", 2},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    PlaceEarlierCopies();
    PlaceBackups(c.file, c.taken);
    // A backup of another file with the free number does not take it.
    sim::WriteFile(Target("nrvs1.sdd") + std::string(c.want).substr(std::string(c.file).size()), "other");
    sim::SetFileInUse(Target(c.file), true);
    Library nt(NtLibraryPath());
    EXPECT_EQ(1, nt.Get<StepFn>("DeployDriverFiles")());

    const std::string backup = sim::VersionDirectory() + c.want;
    EXPECT_EQ(Placed(c.file), sim::ReadFile(Target(c.file)).value_or("?")) << "the new file takes the name";
    EXPECT_EQ(Earlier(c.file), sim::ReadFile(backup).value_or("?")) << "the earlier copy moved aside";
    EXPECT_EQ(std::vector<std::string>{backup}, sim::PendingDeletions());
    for (int n : c.taken) {
      char serial[8];
      std::snprintf(serial, sizeof serial, ".%03d", n);
      EXPECT_EQ("an older backup", sim::ReadFile(Target(c.file) + serial).value_or("?")) << serial;
    }

    std::vector<sim::Call> searches = sim::CallsTo("SearchPathA");
    ASSERT_EQ(c.searches, searches.size()) << "one search per number tried, from 0";
    for (size_t s = 0; s < searches.size(); ++s) {
      char serial[8];
      std::snprintf(serial, sizeof serial, ".%03d", static_cast<int>(s));
      EXPECT_EQ((std::vector<std::string>{Quoted(sim::VersionDirectory()), Quoted(c.file + std::string(serial)),
                                          "NULL", "260", "&", "NULL"}),
                std::vector<std::string>(searches[s].args.begin(), searches[s].args.begin() + 6))
          << "search " << s;
    }
    std::vector<sim::Call> moves = sim::CallsTo("MoveFileExA");
    ASSERT_EQ(2u, moves.size());
    EXPECT_EQ((std::vector<std::string>{Quoted(Target(c.file)), Quoted(backup), "1"}), moves[0].args);
    EXPECT_EQ((std::vector<std::string>{Quoted(backup), "NULL", "4"}), moves[1].args);
    EXPECT_EQ(8, CallCount("CopyFileA"));
    for (const char *file : kFiles) EXPECT_EQ(Placed(file), sim::ReadFile(Target(file)).value_or("?")) << file;
    EXPECT_TRUE(sim::MessageBoxes().empty());

    // At the next start Windows deletes the moved-aside copy.
    sim::Reboot();
    EXPECT_FALSE(sim::FileExists(backup));
    EXPECT_TRUE(sim::FileExists(Target(c.file)));
  }
}

TEST(DeployDriverFiles, EveryFileInUseIsMovedAsideInTurn) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  PlaceEarlierCopies();
  for (const char *file : kFiles) sim::SetFileInUse(Target(file), true);
  sim::WriteFile(Target("nrvs1ui.dll.000"), "an older backup");
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.Get<StepFn>("DeployDriverFiles")());
  std::vector<std::string> want;
  for (const char *file : kFiles) {
    std::string backup = Target(file) + (std::string(file) == "nrvs1ui.dll" ? ".001" : ".000");
    want.push_back(backup);
    EXPECT_EQ(Placed(file), sim::ReadFile(Target(file)).value_or("?")) << file;
    EXPECT_EQ(Earlier(file), sim::ReadFile(backup).value_or("?")) << file;
  }
  EXPECT_EQ(want, sim::PendingDeletions());
  EXPECT_EQ(14, CallCount("CopyFileA"));
  EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST(FindBackupName, TakesTheLowestFreeNameOnlyWhenTheLongestOneFits) {
  typedef BOOL FindFn(const char *, const char *, char *, DWORD);
  struct Case {
    const char *file;
    DWORD capacity;  // the name, a full stop, ten digits and the NUL must fit
    BOOL want;
    const char *name;
  };
  const Case cases[] = {
      {"nrvs1.dll", 260, TRUE, "nrvs1.dll.001"},     {"nrvs1.dll", 21, TRUE, "nrvs1.dll.001"},
      {"nrvs1.dll", 20, FALSE, ""},                  {"nrvs1ui.dll", 23, TRUE, "nrvs1ui.dll.000"},
      {"nrvs1ui.dll", 22, FALSE, ""},                {"nrvs1ui.dll", 0, FALSE, ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.file + ", " + std::to_string(c.capacity) + " bytes");
    sim::BuildDefaultMachine(sim::Os::WinXP);
    sim::WriteFile(Target("nrvs1.dll.000"), "an older backup");
    Library nt(NtLibraryPath());
    FindFn *find = nt.Get<FindFn>("FindBackupName");
    ASSERT_NE(nullptr, find);
    // A buffer of exactly the capacity given, so that a write past it shows.
    std::vector<char> buffer(c.capacity ? c.capacity : 1, 'x');
    const std::string dir = sim::VersionDirectory();
    EXPECT_EQ(c.want, find(dir.c_str(), c.file, buffer.data(), c.capacity));
    if (c.want) {
      EXPECT_EQ(c.name, std::string(buffer.data()));
    } else {
      EXPECT_EQ(0, CallCount("SearchPathA")) << "nothing is looked for";
    }
  }
}

TEST(DeployDriverFiles, StopsAtTheFirstFileThatCanNeitherBeCopiedNorMoved) {
  struct Case {
    const char *name;
    int at;                 // index of the failing file
    bool earlierCopies;     // the version directory holds an earlier install
    bool protectTarget;     // the destination cannot be overwritten or moved
    bool removeSource;      // the source file is missing
    bool failCreate;        // the version directory cannot be created
  };
  const Case cases[] = {
      {"first file protected", 0, true, true, false, false},
      {"third file protected", 2, true, true, false, false},
      {"last file protected", 6, true, true, false, false},
      {"source missing, no destination", 0, false, false, true, false},
      {"fourth source missing, no destination", 3, false, false, true, false},
      {"version directory missing", 0, false, false, false, true},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    if (c.earlierCopies) PlaceEarlierCopies();
    const char *failing = kFiles[c.at];
    if (c.protectTarget) sim::SetFileProtected(Target(failing), true);
    if (c.removeSource) sim::RemoveFile(Source(failing));
    if (c.failCreate) sim::FailCall("CreateDirectoryA", 1, ERROR_ACCESS_DENIED);
    Library nt(NtLibraryPath());
    EXPECT_EQ(0, nt.Get<StepFn>("DeployDriverFiles")());

    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(CopyError("C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\" + std::string(failing),
                        "C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\2\\" + std::string(failing)),
              boxes[0].text);
    ASSERT_TRUE(boxes[0].caption.has_value());
    EXPECT_EQ(kPrinter, *boxes[0].caption);
    EXPECT_FALSE(boxes[0].hasOwner);
    EXPECT_EQ(0u, boxes[0].style);
    EXPECT_EQ(static_cast<int>(sim::Trace().size()) - 1, CallIndex("MessageBoxA")) << "the walk ends at the box";

    for (int f = 0; f < kFileCount; ++f) {
      const char *file = kFiles[f];
      std::optional<std::string> now = sim::ReadFile(Target(file));
      if (f < c.at) {
        EXPECT_EQ(Placed(file), now.value_or("?")) << file << " deployed before the failure";
      } else if (c.earlierCopies) {
        EXPECT_EQ(Earlier(file), now.value_or("?")) << file << " left as it was";
      } else {
        EXPECT_FALSE(now.has_value()) << file << " not deployed";
      }
    }
    EXPECT_EQ(c.at + 1, CallCount("CopyFileA")) << "no second copy";
    EXPECT_EQ(1, CallCount("MoveFileExA")) << "only the failed move aside";
    EXPECT_TRUE(sim::PendingDeletions().empty());
    for (const std::string &name : sim::ListFiles(sim::VersionDirectory())) {
      EXPECT_EQ(std::string::npos, name.find(".000")) << name << ": nothing was moved aside";
    }
  }
}

TEST(DeployDriverFiles, FailedSecondCopyPutsTheEarlierCopyBack) {
  struct Case {
    const char *name;
    int at;
    bool removeSource;  // the source is missing while an earlier copy is in place
    bool inUse;         // the earlier copy is in use and the second copy fails
  };
  const Case cases[] = {
      {"first source missing over an earlier copy", 0, true, false},
      {"fifth source missing over an earlier copy", 4, true, false},
      {"file in use, second copy fails", 1, false, true},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    PlaceEarlierCopies();
    const char *failing = kFiles[c.at];
    sim::WriteFile(Target(failing) + ".000", "an older backup");
    if (c.removeSource) sim::RemoveFile(Source(failing));
    if (c.inUse) {
      sim::SetFileInUse(Target(failing), true);
      // The copies before it, the first try of this one, then the retry.
      sim::FailCall("CopyFileA", c.at + 2, ERROR_WRITE_PROTECT);
    }
    Library nt(NtLibraryPath());
    EXPECT_EQ(0, nt.Get<StepFn>("DeployDriverFiles")());

    const std::string backup = Target(failing) + ".001";
    EXPECT_EQ(Earlier(failing), sim::ReadFile(Target(failing)).value_or("?")) << "back under its own name";
    EXPECT_FALSE(sim::FileExists(backup));
    EXPECT_EQ("an older backup", sim::ReadFile(Target(failing) + ".000").value_or("?"));
    EXPECT_TRUE(sim::PendingDeletions().empty()) << "nothing is lost at the next start";
    std::vector<sim::Call> moves = sim::CallsTo("MoveFileExA");
    ASSERT_EQ(2u, moves.size());
    EXPECT_EQ((std::vector<std::string>{Quoted(Target(failing)), Quoted(backup), "1"}), moves[0].args);
    EXPECT_EQ("1", moves[0].result);
    EXPECT_EQ((std::vector<std::string>{Quoted(backup), Quoted(Target(failing)), "1"}), moves[1].args);
    EXPECT_EQ("1", moves[1].result);

    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(CopyError(Source(failing), Target(failing)), boxes[0].text);
    ASSERT_TRUE(boxes[0].caption.has_value());
    EXPECT_EQ(kPrinter, *boxes[0].caption);
    EXPECT_EQ(static_cast<int>(sim::Trace().size()) - 1, CallIndex("MessageBoxA")) << "the walk stops";
    EXPECT_EQ(c.at + 2, CallCount("CopyFileA"));
    for (int f = 0; f < kFileCount; ++f) {
      if (f == c.at) continue;
      EXPECT_EQ(f < c.at ? Placed(kFiles[f]) : Earlier(kFiles[f]), sim::ReadFile(Target(kFiles[f])).value_or("?"))
          << kFiles[f];
    }
    sim::Reboot();
    EXPECT_EQ(Earlier(failing), sim::ReadFile(Target(failing)).value_or("?")) << "still there after a restart";
  }
}

TEST(DeployDriverFiles, LongSystemDirectoriesNeverActOnACutPath) {
  struct Case {
    size_t length;     // of the system directory; 0: GetSystemDirectoryA fails
    int inUse;         // index of a destination file in use, or -1
    int wantDeployed;  // files deployed before the walk stops (7: all)
    int wantResult;
    bool wantMoved;    // the file in use was moved aside
  };
  const Case cases[] = {
      {220, -1, 7, 1, false}, {220, 2, 7, 1, true},    // every path fits, the backup path too
      {221, -1, 7, 1, false},  // every destination path still fits
      {221, 2, 2, 0, false},   // the backup path of "nrvs1ui.dll" no longer fits
      {222, 0, 7, 1, true},    // that of "nrvs1.dll" still does
      {223, 0, 0, 0, false},   // and now no longer
      {224, -1, 7, 1, false},  // the longest destination path just fits
      {225, -1, 2, 0, false},  // "nrvs1ui.dll" no longer fits
      {235, -1, 0, 0, false},  // the version directory fits, no file path does
      {236, -1, 0, 0, false},  // the version directory is cut
      {238, -1, 0, 0, false},  // the driver directory is cut
      {259, -1, 0, 0, false}, {260, -1, 0, 0, false}, {300, -1, 0, 0, false}, {0, -1, 0, 0, false},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": length " + std::to_string(c.length) + ", in use " +
                 std::to_string(c.inUse));
    LongSystemDirectory(c.length ? c.length : 40);
    if (!c.length) sim::FailCall("GetSystemDirectoryA", 1, ERROR_INVALID_PARAMETER);
    if (c.inUse >= 0) {
      PlaceEarlierCopies();
      sim::SetFileInUse(Target(kFiles[c.inUse]), true);
    }
    Library nt(NtLibraryPath());
    EXPECT_EQ(c.wantResult, nt.Get<StepFn>("DeployDriverFiles")());

    for (const std::string &path : FileCallPaths()) EXPECT_TRUE(IsWholePath(path)) << "acted on " << path;
    for (int f = 0; f < kFileCount; ++f) {
      const char *file = kFiles[f];
      if (f < c.wantDeployed) {
        EXPECT_EQ(Placed(file), sim::ReadFile(Target(file)).value_or("?")) << file;
      } else if (c.inUse >= 0) {
        EXPECT_EQ(Earlier(file), sim::ReadFile(Target(file)).value_or("?")) << file;
      } else {
        EXPECT_FALSE(sim::FileExists(Target(file))) << file;
      }
    }
    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    if (c.wantResult == 1) {
      EXPECT_TRUE(boxes.empty());
    } else {
      ASSERT_EQ(1u, boxes.size());
      ASSERT_TRUE(boxes[0].caption.has_value());
      EXPECT_EQ(kPrinter, *boxes[0].caption);
      EXPECT_EQ(0u, boxes[0].text.find("COPY FILE ERROR\nSource File : ")) << boxes[0].text;
      EXPECT_LE(boxes[0].text.size(), 255u) << "the 256-byte message buffer";
      const int failing = c.inUse >= 0 && c.wantDeployed == c.inUse ? c.inUse : c.wantDeployed;
      // Each path as far as it fits its buffer, the text as far as it fits the box.
      const bool read = c.length != 0 && c.length < MAX_PATH;
      const char *file = kFiles[failing];
      EXPECT_EQ(CopyError(Shown(Source(file), read), Shown(Target(file), read)).substr(0, 255), boxes[0].text);
      if (!read) {
        EXPECT_EQ(CopyError("\\spool\\drivers\\w32x86\\nrvs1.dll", "\\spool\\drivers\\w32x86\\2\\nrvs1.dll"),
                  boxes[0].text)
            << "the file is named without the system directory";
      }
    }
    if (c.inUse >= 0) {
      if (c.wantMoved) {
        EXPECT_EQ(std::vector<std::string>{Target(kFiles[c.inUse]) + ".000"}, sim::PendingDeletions());
        EXPECT_EQ(Earlier(kFiles[c.inUse]), sim::ReadFile(Target(kFiles[c.inUse]) + ".000").value_or("?"));
      } else {
        EXPECT_EQ(0, CallCount("MoveFileExA"));
        EXPECT_TRUE(sim::PendingDeletions().empty());
      }
    }
    if (c.length == 0 || c.length >= 236) {
      EXPECT_EQ(0, CallCount("CreateDirectoryA")) << "no directory under a cut path";
      EXPECT_EQ(0, CallCount("CopyFileA"));
    }
  }
}

// ================================================================ removal

TEST(RemoveDriverFiles, DeletesEveryFileAndShowsNothing) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  PlaceEarlierCopies();
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.Get<StepFn>("RemoveDriverFiles")());
  std::vector<sim::Call> dirs = sim::CallsTo("GetSystemDirectoryA");
  ASSERT_EQ(1u, dirs.size());
  EXPECT_EQ("260", dirs[0].args.at(1));
  std::vector<std::string> want;
  for (const char *file : kFiles) {
    want.push_back(Quoted("C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\2\\" + std::string(file)));
    EXPECT_FALSE(sim::FileExists(Target(file))) << file;
    EXPECT_EQ(Placed(file), sim::ReadFile(Source(file)).value_or("?")) << "the driver directory is not touched";
  }
  EXPECT_EQ(want, FirstArgs("DeleteFileA"));
  EXPECT_EQ(0, CallCount("SearchPathA"));
  EXPECT_EQ(0, CallCount("MoveFileExA"));
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_TRUE(sim::PendingDeletions().empty());
  EXPECT_TRUE(sim::DirectoryExists(sim::VersionDirectory())) << "the folder stays";
}

TEST(RemoveDriverFiles, SecondRemovalFindsNothingAndStaysSilent) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  PlaceEarlierCopies();
  Library nt(NtLibraryPath());
  StepFn *remove = nt.Get<StepFn>("RemoveDriverFiles");
  EXPECT_EQ(1, remove());
  sim::ClearTrace();
  EXPECT_EQ(1, remove());
  EXPECT_EQ(7, CallCount("DeleteFileA"));
  std::vector<sim::Call> moves = sim::CallsTo("MoveFileExA");
  ASSERT_EQ(7u, moves.size());
  for (int f = 0; f < kFileCount; ++f) {
    const sim::Call &move = moves[static_cast<size_t>(f)];
    EXPECT_EQ((std::vector<std::string>{Quoted(Target(kFiles[f])), Quoted(Target(kFiles[f]) + ".000"), "1"}),
              move.args)
        << kFiles[f];
    EXPECT_EQ("0", move.result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), move.lastError) << kFiles[f];
  }
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_TRUE(sim::PendingDeletions().empty());
  for (const char *file : kFiles) EXPECT_TRUE(sim::FileExists(Source(file))) << file;
}

TEST(RemoveDriverFiles, FileInUseMovesAsideUnderTheLowestFreeName) {
  struct Case {
    const char *name;
    const char *file;
    std::vector<int> taken;
    const char *want;
    size_t searches;
  };
  const Case cases[] = {
      {"no backups", "nrvs1.dll", {}, "nrvs1.dll.000", 1},
      {"a backup of an earlier run", "nrvs1.dll", {0}, "nrvs1.dll.001", 2},
      {"two earlier backups", "nrvs1su.dat", {0, 1}, "nrvs1su.dat.002", 3},
      {"a gap at 0", "nrvs1ui.dll", {1, 2}, "nrvs1ui.dll.000", 1},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    PlaceEarlierCopies();
    PlaceBackups(c.file, c.taken);
    sim::SetFileInUse(Target(c.file), true);
    Library nt(NtLibraryPath());
    EXPECT_EQ(1, nt.Get<StepFn>("RemoveDriverFiles")());
    const std::string backup = sim::VersionDirectory() + c.want;
    EXPECT_FALSE(sim::FileExists(Target(c.file)));
    EXPECT_EQ(Earlier(c.file), sim::ReadFile(backup).value_or("?"));
    EXPECT_EQ(std::vector<std::string>{backup}, sim::PendingDeletions());
    std::vector<sim::Call> moves = sim::CallsTo("MoveFileExA");
    ASSERT_EQ(2u, moves.size());
    EXPECT_EQ((std::vector<std::string>{Quoted(Target(c.file)), Quoted(backup), "1"}), moves[0].args);
    EXPECT_EQ((std::vector<std::string>{Quoted(backup), "NULL", "4"}), moves[1].args);
    EXPECT_EQ(c.searches, sim::CallsTo("SearchPathA").size());
    for (const char *file : kFiles) EXPECT_FALSE(sim::FileExists(Target(file))) << file;
    EXPECT_TRUE(sim::MessageBoxes().empty());
    sim::Reboot();
    EXPECT_FALSE(sim::FileExists(backup));
  }
}

TEST(RemoveDriverFiles, UndeletableFilesAreReportedAndTheWalkGoesOn) {
  struct Case {
    const char *name;
    std::vector<int> protectedFiles;
  };
  const Case cases[] = {
      {"first file protected", {0}},
      {"third and last protected", {2, 6}},
      {"all protected", {0, 1, 2, 3, 4, 5, 6}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    PlaceEarlierCopies();
    for (int f : c.protectedFiles) sim::SetFileProtected(Target(kFiles[f]), true);
    Library nt(NtLibraryPath());
    EXPECT_EQ(1, nt.Get<StepFn>("RemoveDriverFiles")());

    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    ASSERT_EQ(c.protectedFiles.size(), boxes.size());
    for (size_t b = 0; b < boxes.size(); ++b) {
      const char *file = kFiles[c.protectedFiles[b]];
      EXPECT_EQ("DELETE FILE ERROR (5)\nFile Name : C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\2\\" +
                    std::string(file),
                boxes[b].text)
          << "box " << b;
      ASSERT_TRUE(boxes[b].caption.has_value());
      EXPECT_EQ(kPrinter, *boxes[b].caption);
      EXPECT_FALSE(boxes[b].hasOwner);
      EXPECT_EQ(0u, boxes[b].style);
      EXPECT_EQ(Earlier(file), sim::ReadFile(Target(file)).value_or("?")) << file;
    }
    for (int f = 0; f < kFileCount; ++f) {
      bool isProtected = false;
      for (int p : c.protectedFiles) isProtected = isProtected || p == f;
      EXPECT_EQ(isProtected, sim::FileExists(Target(kFiles[f]))) << kFiles[f];
    }
    EXPECT_EQ(7, CallCount("DeleteFileA")) << "every name is tried";
    EXPECT_TRUE(sim::PendingDeletions().empty());
    for (const std::string &name : sim::ListFiles(sim::VersionDirectory())) {
      EXPECT_EQ(std::string::npos, name.find(".000")) << name;
    }
  }
}

// A program that holds a driver file open without delete sharing (a
// viewer, a virus scanner) keeps it from being deleted or moved: the
// sharing violation is reported with its code and the walk goes on.
TEST(RemoveDriverFiles, FileHeldOpenIsReportedWithTheSharingViolation) {
  const int held[] = {0, 3};
  sim::BuildDefaultMachine(sim::Os::WinXP);
  PlaceEarlierCopies();
  for (int f : held) sim::SetFileHeldOpen(Target(kFiles[f]), true);
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.Get<StepFn>("RemoveDriverFiles")());
  std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
  ASSERT_EQ(2u, boxes.size());
  for (size_t b = 0; b < 2; ++b) {
    EXPECT_EQ(DeleteError(32, Target(kFiles[held[b]])), boxes[b].text) << "box " << b;
    EXPECT_EQ(Earlier(kFiles[held[b]]), sim::ReadFile(Target(kFiles[held[b]])).value_or("?")) << "box " << b;
  }
  EXPECT_EQ(7, CallCount("DeleteFileA")) << "every name is tried";
  EXPECT_EQ(2u, sim::ListFiles(sim::VersionDirectory()).size()) << "only the two held files stay";
  EXPECT_TRUE(sim::PendingDeletions().empty());
}

TEST(DeployDriverFiles, FileHeldOpenStopsTheWalkWithNothingLost) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  PlaceEarlierCopies();
  sim::SetFileHeldOpen(Target(kFiles[2]), true);
  Library nt(NtLibraryPath());
  EXPECT_EQ(0, nt.Get<StepFn>("DeployDriverFiles")());
  std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(CopyError(Source(kFiles[2]), Target(kFiles[2])), boxes[0].text);
  EXPECT_EQ(Placed(kFiles[0]), sim::ReadFile(Target(kFiles[0])).value_or("?"));
  EXPECT_EQ(Placed(kFiles[1]), sim::ReadFile(Target(kFiles[1])).value_or("?"));
  for (int f = 2; f < kFileCount; ++f) {
    EXPECT_EQ(Earlier(kFiles[f]), sim::ReadFile(Target(kFiles[f])).value_or("?")) << kFiles[f];
  }
  EXPECT_TRUE(sim::PendingDeletions().empty());
}

TEST(RemoveDriverFiles, MissingVersionDirectoryShowsSevenMessages) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  ASSERT_FALSE(sim::DirectoryExists(sim::VersionDirectory()));
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.Get<StepFn>("RemoveDriverFiles")());
  std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
  ASSERT_EQ(7u, boxes.size());
  for (int f = 0; f < kFileCount; ++f) {
    EXPECT_EQ(DeleteError(3, "C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\2\\" + std::string(kFiles[f])),
              boxes[static_cast<size_t>(f)].text)
        << kFiles[f];
    ASSERT_TRUE(boxes[static_cast<size_t>(f)].caption.has_value());
    EXPECT_EQ(kPrinter, *boxes[static_cast<size_t>(f)].caption);
  }
  for (const char *file : kFiles) EXPECT_TRUE(sim::FileExists(Source(file))) << "the driver directory is not touched";
  EXPECT_TRUE(sim::PendingDeletions().empty());
  EXPECT_FALSE(sim::DirectoryExists(sim::VersionDirectory()));
}

TEST(RemoveDriverFiles, UninstallRemovesTheFilesBeforeTheQueue) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  ASSERT_EQ(1, nt.CreatePrinter());
  sim::SetFileInUse(Target("nrvs1.dll"), true);  // the running spooler holds the driver
  sim::ClearTrace();
  EXPECT_EQ(0, nt.UninstallPrinter());
  for (const char *file : kFiles) {
    EXPECT_FALSE(sim::FileExists(Target(file))) << file;
    EXPECT_EQ(Placed(file), sim::ReadFile(Source(file)).value_or("?")) << file;
  }
  EXPECT_EQ(std::vector<std::string>{Target("nrvs1.dll.000")}, sim::PendingDeletions());
  EXPECT_LT(CallIndex("DeleteFileA", 7), CallIndex("OpenPrinterA"));
  EXPECT_EQ(0, CallCount("ControlService")) << "the spooler keeps running";
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ("", OpenHandlesText());
}

TEST(RemoveDriverFiles, LongSystemDirectoriesAreReportedAndTheWalkGoesOn) {
  struct Case {
    size_t length;          // 0: GetSystemDirectoryA fails
    int inUse;              // index of a file in use, or -1
    std::vector<int> fits;  // files whose path fits, deleted
    bool moved;             // the file in use was moved aside
  };
  const std::vector<int> all = {0, 1, 2, 3, 4, 5, 6};
  const Case cases[] = {
      {220, -1, all, false}, {221, -1, all, false}, {224, -1, all, false},
      {220, 2, all, true},    // "nrvs1ui.dll" in use: its backup path fits
      {221, 2, all, false},   // and now no longer
      {222, 0, all, true},    // "nrvs1.dll" in use: its backup path still fits
      {223, 0, all, false},   // and now no longer
      {225, -1, {0, 1}, false},  // only the two names of nine characters fit
      {236, -1, {}, false}, {259, -1, {}, false}, {260, -1, {}, false}, {300, -1, {}, false},
      {0, -1, {}, false},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": length " + std::to_string(c.length) + ", in use " +
                 std::to_string(c.inUse));
    LongSystemDirectory(c.length ? c.length : 40);
    PlaceEarlierCopies();
    if (c.inUse >= 0) sim::SetFileInUse(Target(kFiles[c.inUse]), true);
    if (!c.length) sim::FailCall("GetSystemDirectoryA", 1, ERROR_INVALID_PARAMETER);
    Library nt(NtLibraryPath());
    EXPECT_EQ(1, nt.Get<StepFn>("RemoveDriverFiles")());

    for (const std::string &path : FileCallPaths()) EXPECT_TRUE(IsWholePath(path)) << "acted on " << path;
    std::vector<std::string> wantBoxes;
    for (int f = 0; f < kFileCount; ++f) {
      bool fits = false;
      for (int k : c.fits) fits = fits || k == f;
      bool stays = !fits || (f == c.inUse && !c.moved);
      EXPECT_EQ(stays, sim::FileExists(Target(kFiles[f]))) << kFiles[f];
      if (stays) wantBoxes.push_back(kFiles[f]);
    }
    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    ASSERT_EQ(wantBoxes.size(), boxes.size());
    for (size_t b = 0; b < boxes.size(); ++b) {
      EXPECT_EQ(0u, boxes[b].text.find("DELETE FILE ERROR (206)\nFile Name : ")) << boxes[b].text;
      EXPECT_LE(boxes[b].text.size(), 255u);
      ASSERT_TRUE(boxes[b].caption.has_value());
      EXPECT_EQ(kPrinter, *boxes[b].caption);
      // The path as far as it fits its buffer, the text as far as it fits the
      // box; a file in use has a path that fits, named in full.
      const bool read = c.length != 0 && c.length < MAX_PATH;
      EXPECT_EQ(DeleteError(206, Shown(Target(wantBoxes[b].c_str()), read)).substr(0, 255), boxes[b].text);
      if (!read) {
        EXPECT_EQ(DeleteError(206, "\\spool\\drivers\\w32x86\\2\\" + wantBoxes[b]), boxes[b].text)
            << "the file is named without the system directory";
      }
    }
    if (c.moved) {
      const std::string backup = Target(kFiles[c.inUse]) + ".000";
      EXPECT_EQ(std::vector<std::string>{backup}, sim::PendingDeletions());
      EXPECT_EQ(Earlier(kFiles[c.inUse]), sim::ReadFile(backup).value_or("?"));
    } else {
      EXPECT_TRUE(sim::PendingDeletions().empty());
      EXPECT_EQ(0, CallCount("MoveFileExA"));
    }
    for (const char *file : kFiles) EXPECT_TRUE(sim::FileExists(Source(file))) << file;
  }
}
