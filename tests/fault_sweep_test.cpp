// Every Windows call the exports make, failed one at a time.
//
// For each sequence below, a clean run records the trace; then, for every
// call in it, the sequence runs again on a fresh machine in a fresh load
// with that one call (by name and occurrence) failing with an error a real
// Windows gives for it. Whatever fails, the exports return their constants,
// run to their end, leave no handle open, wait a bounded time, and no driver
// file is lost: each one present before the run is still there afterwards
// (under its own name or a backup name) once Windows has restarted and
// carried out the deletions registered for that restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <map>
#include <set>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char *const kNtDriverFiles[] = {"nrvs1.dll",   "nrvs1.sdd",   "nrvs1ui.dll", "nrvs1su.hlp",
                                      "nrvs1um.dll", "nrvs1su.dat", "nrvs1su.dll"};
const char *const kW9xDriverFiles[] = {"NRVS1.DRV",   "NRVS1.HLP",   "nrvs195.dll", "nrvs1su.hlp",
                                       "nrvs1um.dll", "nrvs1su.dll", "nrvs1su.dat"};

// A run of the spooler restart polls for at most ten minutes per phase; an
// hour of virtual time or a hundred thousand calls means a loop that does
// not end.
const uint64_t kLongestRunMs = 60ull * 60 * 1000;
const size_t kLongestTrace = 100000;

enum class Export { Create, Uninstall, Clean };

const char *ExportName(Export e) {
  switch (e) {
    case Export::Create: return "CreatePrinter";
    case Export::Uninstall: return "UninstallPrinter";
    case Export::Clean: return "CleanPnpKeys";
  }
  return "?";
}

// ---------------------------------------------------------------- machines

void FreshXp() { sim::BuildDefaultMachine(sim::Os::WinXP); }
void FreshNt40() { sim::BuildDefaultMachine(sim::Os::Nt40); }

// The 98 machine with a second, ACPI-listed parallel port named LPT1 beside
// the BIOS one.
void FreshW98() {
  sim::BuildDefaultMachine(sim::Os::Win98);
  sim::SetString("HKLM\\Enum\\ACPI\\PNP0401\\1", "PORTNAME", "LPT1");
  sim::SetString("HKLM\\Enum\\ACPI\\PNP0401\\1", "Class", "Ports");
}

void InstallOnce(const std::string &library) {
  Library lib(library);
  lib.CreatePrinter();
}

void InstalledXp() {
  FreshXp();
  InstallOnce(NtLibraryPath());
}

// An earlier install whose driver is loaded: three of the files in the
// version directory are held open.
void LockedXp() {
  InstalledXp();
  for (const char *name : {"nrvs1.dll", "nrvs1ui.dll", "nrvs1su.dll"}) {
    sim::SetFileInUse(sim::VersionDirectory() + name, true);
  }
}

void InstalledNt40() {
  FreshNt40();
  InstallOnce(NtLibraryPath());
}

void InstalledW98() {
  FreshW98();
  InstallOnce(W9xLibraryPath());
}

struct Sequence {
  const char *name;
  bool nt;
  void (*prepare)();
  std::vector<Export> exports;  // run one after the other in one load
};

const Sequence kSequences[] = {
    {"xp_install", true, FreshXp, {Export::Create}},
    {"xp_uninstall", true, InstalledXp, {Export::Uninstall}},
    {"xp_uninstall_then_install", true, InstalledXp, {Export::Uninstall, Export::Create}},
    {"xp_locked_install", true, LockedXp, {Export::Create}},
    {"xp_locked_uninstall", true, LockedXp, {Export::Uninstall}},
    {"nt40_install", true, FreshNt40, {Export::Create}},
    {"nt40_uninstall", true, InstalledNt40, {Export::Uninstall}},
    {"w98_install", false, FreshW98, {Export::Create}},
    {"w98_uninstall", false, InstalledW98, {Export::Uninstall}},
    {"w98_clean_pnp_keys", false, InstalledW98, {Export::Clean}},
};

void PrintTo(const Sequence &seq, std::ostream *os) { *os << seq.name; }

// ---------------------------------------------------------------- faults

// The errors a real Windows gives for each call. The string helpers
// (wsprintfA, lstrcpyA, lstrcatA, lstrcmpA, lstrlenA) work on the caller's
// own buffers and fail only for bad pointers, GetLastError cannot fail and
// Sleep returns nothing: none of them fails in a way the libraries could
// see, so they are not failed here.
std::vector<DWORD> ErrorsFor(const std::string &name) {
  static const std::map<std::string, std::vector<DWORD>> table = {
      {"RegOpenKeyA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      {"RegOpenKeyExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      {"RegCreateKeyA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      {"RegQueryValueExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}},
      {"RegQueryInfoKeyA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      {"RegEnumKeyA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}},
      {"RegEnumValueA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}},
      {"RegSetValueExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      {"RegDeleteKeyA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      {"RegDeleteValueA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
      {"RegCloseKey", {ERROR_ACCESS_DENIED}},
      {"DeleteFileA", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_PATH_NOT_FOUND}},
      {"CopyFileA", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_PATH_NOT_FOUND}},
      {"MoveFileExA", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_PATH_NOT_FOUND}},
      {"CreateDirectoryA", {ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND}},
      {"SearchPathA", {ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND}},
      {"GetWindowsDirectoryA", {ERROR_NOT_ENOUGH_MEMORY}},
      {"GetSystemDirectoryA", {ERROR_NOT_ENOUGH_MEMORY}},
      {"GetVersionExA", {ERROR_INSUFFICIENT_BUFFER}},
      {"AddPrinterDriverA", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}},
      {"DeletePrinterDriverA", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}},
      {"AddPrinterA", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}},
      {"OpenPrinterA", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}},
      {"DeletePrinter", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}},
      {"ClosePrinter", {RPC_S_SERVER_UNAVAILABLE}},
      {"GetPrinterA", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}},
      {"SetPrinterA", {RPC_S_SERVER_UNAVAILABLE, ERROR_ACCESS_DENIED}},
      {"OpenSCManagerA", {ERROR_ACCESS_DENIED}},
      {"OpenServiceA", {ERROR_ACCESS_DENIED}},
      {"ControlService",
       {ERROR_ACCESS_DENIED, ERROR_SERVICE_REQUEST_TIMEOUT, ERROR_SERVICE_CANNOT_ACCEPT_CTRL}},
      {"QueryServiceStatus", {ERROR_ACCESS_DENIED}},
      {"StartServiceA", {ERROR_ACCESS_DENIED, ERROR_SERVICE_REQUEST_TIMEOUT}},
      {"CloseServiceHandle", {ERROR_ACCESS_DENIED}},
      {"MessageBoxA", {ERROR_NOT_ENOUGH_MEMORY}},
      {"WinExec", {ERROR_FILE_NOT_FOUND}},
      {"SendMessageTimeoutA", {ERROR_TIMEOUT}},
  };
  static const std::set<std::string> neverFailed = {"wsprintfA", "lstrcpyA", "lstrcatA", "lstrcmpA",
                                                    "lstrlenA",  "GetLastError", "Sleep"};
  if (neverFailed.count(name)) return {};
  auto it = table.find(name);
  if (it == table.end()) {
    ADD_FAILURE() << "the exports call " << name << ", which the sweep has no errors for";
    return {};
  }
  return it->second;
}

// A close that fails leaves its handle open; nothing the library could do
// then would close it.
bool IsClose(const std::string &name) {
  return name == "RegCloseKey" || name == "ClosePrinter" || name == "CloseServiceHandle";
}

struct FaultPoint {
  std::string name;
  int occurrence;  // counted from the machine's reset, as FailCall counts
  DWORD error;
};

std::string Describe(const FaultPoint &f) {
  return f.name + " #" + std::to_string(f.occurrence) + " failing with " + std::to_string(f.error);
}

// ---------------------------------------------------------------- one run

// The driver files that must survive a run: those of the driver directory
// (NT) or system directory (9x), and, unless the run removes the printer,
// those of the version directory.
struct FileSnapshot {
  std::vector<std::string> sources;
  std::vector<std::string> deployed;
};

FileSnapshot TakeSnapshot(const Sequence &seq) {
  FileSnapshot snap;
  if (seq.nt) {
    for (const char *name : kNtDriverFiles) {
      if (sim::FileExists(sim::DriverDirectory() + name)) snap.sources.push_back(sim::DriverDirectory() + name);
      if (sim::FileExists(sim::VersionDirectory() + name)) snap.deployed.push_back(name);
    }
  } else {
    for (const char *name : kW9xDriverFiles) {
      std::string path = sim::SystemDirectory() + "\\" + name;
      if (sim::FileExists(path)) snap.sources.push_back(path);
    }
  }
  return snap;
}

bool Removes(const Sequence &seq) {
  for (Export e : seq.exports) {
    if (e == Export::Uninstall) return true;
  }
  return false;
}

// Whether `name` or a backup of it ("name.NNN") is in the version directory.
bool PresentOrBackedUp(const std::string &name) {
  for (const std::string &file : sim::ListFiles(sim::VersionDirectory())) {
    std::string upperFile = file, upperName = name;
    for (char &c : upperFile) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char &c : upperName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upperFile == upperName) return true;
    if (upperFile.size() > upperName.size() + 1 && upperFile.compare(0, upperName.size(), upperName) == 0 &&
        upperFile[upperName.size()] == '.' &&
        upperFile.find_first_not_of("0123456789", upperName.size() + 1) == std::string::npos) {
      return true;
    }
  }
  return false;
}

// The most any one run of a sequence took.
struct Extent {
  uint64_t ms = 0;
  size_t calls = 0;
};

// Runs the sequence once, failing `fault` when given, and checks what holds
// whatever fails. Returns the index of the first call of the run.
size_t RunAndCheck(const Sequence &seq, const FaultPoint *fault, Extent *extent) {
  seq.prepare();
  size_t base = sim::Trace().size();
  uint64_t start = sim::Now();
  FileSnapshot before = TakeSnapshot(seq);
  if (fault) sim::FailCall(fault->name, fault->occurrence, fault->error);
  {
    Library lib(seq.nt ? NtLibraryPath() : W9xLibraryPath());
    for (Export e : seq.exports) {
      switch (e) {
        case Export::Create: EXPECT_EQ(1, lib.CreatePrinter()) << ExportName(e); break;
        case Export::Uninstall: EXPECT_EQ(0, lib.UninstallPrinter()) << ExportName(e); break;
        case Export::Clean: lib.CleanPnpKeys(); break;
      }
    }
  }
  const std::vector<sim::Call> &trace = sim::Trace();

  // The call was reached and failed: a fault that never happens tests nothing.
  std::string leftOpen;  // the handle of a failed close
  if (fault) {
    bool injected = false;
    for (size_t i = base; i < trace.size(); ++i) {
      if (!trace[i].injected) continue;
      EXPECT_EQ(fault->name, trace[i].name);
      injected = true;
      if (IsClose(trace[i].name) && !trace[i].args.empty()) leftOpen = trace[i].args[0];
    }
    EXPECT_TRUE(injected) << "the failing call was not reached";
  }

  std::vector<std::string> open = sim::OpenHandles();
  if (!leftOpen.empty()) {
    for (auto it = open.begin(); it != open.end(); ++it) {
      if (*it == leftOpen) {
        open.erase(it);
        break;
      }
    }
  }
  std::string openText;
  for (const std::string &h : open) openText += h + "; ";
  EXPECT_EQ("", openText) << "handles left open";

  extent->ms = std::max<uint64_t>(extent->ms, sim::Now() - start);
  extent->calls = std::max(extent->calls, trace.size() - base);
  EXPECT_LT(sim::Now() - start, kLongestRunMs) << "virtual time spent";
  EXPECT_LT(trace.size() - base, kLongestTrace) << "calls made";

  // The install runs to its end whatever failed: the broadcast is its last call.
  if (seq.exports.back() == Export::Create) {
    EXPECT_EQ("SendMessageTimeoutA", trace.empty() ? "" : trace.back().name) << "the install did not run to its end";
  }

  sim::Reboot();
  for (const std::string &path : before.sources) {
    EXPECT_TRUE(sim::FileExists(path)) << "source driver file lost: " << path;
  }
  if (!Removes(seq)) {
    for (const std::string &name : before.deployed) {
      EXPECT_TRUE(PresentOrBackedUp(name)) << "driver file lost from the version directory: " << name;
    }
  }
  return base;
}

class FaultSweep : public ::testing::TestWithParam<Sequence> {};

TEST_P(FaultSweep, EveryCallFailedOnce) {
  const Sequence &seq = GetParam();
  std::vector<FaultPoint> points;
  Extent extent;
  {
    SCOPED_TRACE(std::string(seq.name) + ", clean run");
    size_t base = RunAndCheck(seq, nullptr, &extent);
    const std::vector<sim::Call> trace = sim::Trace();
    std::map<std::string, int> seen;
    for (size_t i = 0; i < trace.size(); ++i) {
      int occurrence = ++seen[trace[i].name];
      if (i < base) continue;
      for (DWORD error : ErrorsFor(trace[i].name)) points.push_back(FaultPoint{trace[i].name, occurrence, error});
    }
  }
  ASSERT_FALSE(points.empty());

  for (const FaultPoint &point : points) {
    SCOPED_TRACE(std::string(seq.name) + ", " + Describe(point));
    RunAndCheck(seq, &point, &extent);
    if (HasFatalFailure()) return;
  }
  std::cout << "[ sweep    ] " << seq.name << ": " << points.size() << " fault points; longest run "
            << extent.ms << " ms of virtual time, " << extent.calls << " calls" << std::endl;
  RecordProperty("fault_points", static_cast<int>(points.size()));
}

INSTANTIATE_TEST_SUITE_P(Sequences, FaultSweep, ::testing::ValuesIn(kSequences),
                         [](const ::testing::TestParamInfo<Sequence> &info) { return std::string(info.param.name); });

}  // namespace
