// The NT library's two exports: their results, the order of their steps,
// the process-wide flags across calls in one load, platform detection, the
// removal of the setup information files and the sweep of the printer's
// queues.
#include <gtest/gtest.h>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kPrinter[] = "Norvale TX-5400 Series";
const char kPrintersKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const char kSettingsKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

std::string InfPath(const std::string &windowsDir, const char *ext) { return windowsDir + "\\inf\\NRVS1." + ext; }
std::string BpdPath(const std::string &windowsDir) {
  return windowsDir + "\\system32\\spool\\drivers\\w32x86\\2\\NRVS1.BPD";
}

void PlaceSetupInfFiles(const std::string &windowsDir) {
  sim::WriteFile(InfPath(windowsDir, "PNF"), "pnf");
  sim::WriteFile(InfPath(windowsDir, "INF"), "inf");
  sim::WriteFile(BpdPath(windowsDir), "bpd");
}

sim::Queue QueueNamed(const std::string &name) {
  sim::Queue queue;
  queue.name = name;
  queue.portName = "LPT1:";
  queue.driverName = "Office Laser Driver";
  queue.printProcessor = "WinPrint";
  queue.datatype = "RAW";
  return queue;
}

typedef void StepFn(void);

}  // namespace

// ---------------------------------------------------------------- results

TEST(NtExports, ResultsAreConstantWhateverFails) {
  // Every call of each family fails from its first occurrence on.
  const char *const families[][4] = {
      {"RegOpenKeyA", "RegOpenKeyExA", "RegCreateKeyA", nullptr},
      {"OpenSCManagerA", nullptr, nullptr, nullptr},
      {"OpenServiceA", "StartServiceA", "ControlService", nullptr},
      {"CopyFileA", "MoveFileExA", "DeleteFileA", nullptr},
      {"AddPrinterDriverA", "AddPrinterA", "OpenPrinterA", nullptr},
      {"GetVersionExA", "GetSystemDirectoryA", "GetWindowsDirectoryA", nullptr},
      {"RegEnumKeyA", "RegEnumValueA", "RegQueryValueExA", nullptr},
  };
  const sim::Os systems[] = {sim::Os::Nt40, sim::Os::Win2000, sim::Os::WinXP};
  for (sim::Os os : systems) {
    for (size_t f = 0; f < sizeof families / sizeof families[0]; ++f) {
      SCOPED_TRACE(std::string(sim::OsName(os)) + ", family " + std::to_string(f));
      sim::BuildDefaultMachine(os);
      for (const char *name : families[f]) {
        if (name) sim::FailCall(name, 1, ERROR_ACCESS_DENIED, true);
      }
      Library nt(NtLibraryPath());
      EXPECT_EQ(1, nt.CreatePrinter());
      EXPECT_EQ(0, nt.UninstallPrinter());
      EXPECT_EQ(1, nt.CreatePrinter(0, 0, 0));
      EXPECT_EQ("", OpenHandlesText());
    }
  }
}

TEST(NtExports, FlagsStartAtTheirLoadValuesInEveryLoad) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  {
    Library nt(NtLibraryPath());
    EXPECT_EQ(0u, nt.Flag("IsNt5OrLater"));
    EXPECT_EQ(1u, nt.Flag("DevNodeRecreate"));
    nt.UninstallPrinter();
    EXPECT_EQ(1u, nt.Flag("IsNt5OrLater"));
    EXPECT_EQ(0u, nt.Flag("DevNodeRecreate"));
    nt.CreatePrinter();
    EXPECT_EQ(0u, nt.Flag("DevNodeRecreate")) << "nothing sets it back while loaded";
  }
  Library again(NtLibraryPath());
  EXPECT_EQ(0u, again.Flag("IsNt5OrLater"));
  EXPECT_EQ(1u, again.Flag("DevNodeRecreate"));
}

TEST(NtExports, UninstallThenInstallInOneLoadOnlyDeletesTheDeviceNode) {
  const std::string model = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400";
  sim::BuildDefaultMachine(sim::Os::WinXP);
  {
    Library nt(NtLibraryPath());
    nt.CreatePrinter();
    ASSERT_TRUE(sim::KeyExists(model)) << "a fresh load writes the node";
  }
  Library nt(NtLibraryPath());
  nt.UninstallPrinter();
  EXPECT_FALSE(sim::KeyExists(model));
  sim::ClearTrace();
  nt.CreatePrinter();
  EXPECT_FALSE(sim::KeyExists(model)) << "the install after an uninstall in one load writes no node";
  EXPECT_EQ(-1, CallIndexWithArg("RegCreateKeyA", 1, Quoted("NorvaleTX-5400")));
  EXPECT_TRUE(sim::ProcessesStarted().empty());
  EXPECT_TRUE(sim::FindQueue(kPrinter).has_value()) << "the rest of the install runs as usual";
}

// ---------------------------------------------------------------- order of steps

TEST(NtExports, InstallRunsItsStepsInOrder) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  nt.CreatePrinter();
  // The first call of each step, in the order of the sequence.
  const int order[] = {
      CallIndex("GetWindowsDirectoryA"),
      CallIndex("DeleteFileA"),
      CallIndex("GetVersionExA"),
      CallIndex("OpenSCManagerA"),
      CallIndex("ControlService"),
      CallIndex("CopyFileA"),
      CallIndex("StartServiceA"),
      CallIndex("AddPrinterDriverA"),
      CallIndex("AddPrinterA"),
      CallIndexWithArg("RegOpenKeyA", 1, Quoted("SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS")),
      CallIndexWithArg("RegOpenKeyExA", 1, Quoted("Software\\Microsoft\\windows NT\\currentversion\\windows\\")),
      CallIndex("SendMessageTimeoutA"),
  };
  for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
    EXPECT_GE(order[i], 0) << "step " << i << " did not run";
    if (i > 0) {
      EXPECT_LT(order[i - 1], order[i]) << "step " << i << " ran before step " << i - 1;
    }
  }
  EXPECT_EQ(0, CallIndex("GetWindowsDirectoryA")) << "the setup files go before anything else";
  EXPECT_EQ(static_cast<int>(sim::Trace().size()) - 1, CallIndex("SendMessageTimeoutA"))
      << "the broadcast ends the install";
  EXPECT_EQ("", OpenHandlesText());
}

TEST(NtExports, UninstallRunsItsStepsInOrder) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  nt.CreatePrinter();
  sim::ClearTrace();
  nt.UninstallPrinter();
  const int order[] = {
      CallIndex("GetVersionExA"),
      CallIndex("GetSystemDirectoryA"),
      CallIndex("OpenPrinterA"),
      CallIndex("DeletePrinterDriverA"),
      CallIndexWithArg("RegOpenKeyExA", 1, Quoted("printers\\")),
      CallIndexWithArg("RegOpenKeyA", 1, Quoted("SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS")),
      CallIndexWithArg("RegOpenKeyA", 1, Quoted("SYSTEM\\CurrentControlSet\\Control\\Print\\Printers")),
      CallIndex("GetWindowsDirectoryA"),
      CallIndexWithArg("RegOpenKeyA", 1, Quoted("Software\\Microsoft\\windows NT\\currentversion\\windows\\")),
  };
  for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
    EXPECT_GE(order[i], 0) << "step " << i << " did not run";
    if (i > 0) {
      EXPECT_LT(order[i - 1], order[i]) << "step " << i << " ran before step " << i - 1;
    }
  }
  EXPECT_EQ(0, CallIndex("GetVersionExA"));
  EXPECT_EQ(0, CallCount("SendMessageTimeoutA")) << "the removal sends no broadcast";
  EXPECT_EQ(0, CallCount("OpenSCManagerA")) << "the spooler keeps running";
  EXPECT_EQ("", OpenHandlesText());
}

TEST(NtExports, InstallBroadcastsTheSettingsChange) {
  sim::BuildDefaultMachine(sim::Os::Nt40);
  Library nt(NtLibraryPath());
  nt.CreatePrinter();
  std::vector<sim::BroadcastCall> sent = sim::Broadcasts();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(0xFFFFu, sent[0].window);
  EXPECT_EQ(0x001Au, sent[0].message);
  EXPECT_EQ(0u, sent[0].wParam);
  EXPECT_EQ(0, sent[0].lParam);
  EXPECT_EQ(0u, sent[0].flags);
  EXPECT_EQ(1000u, sent[0].timeout);
  EXPECT_FALSE(sent[0].hasResultPointer);
}

TEST(NtExports, Nt4LeavesOutTheNt5Steps) {
  sim::BuildDefaultMachine(sim::Os::Nt40);
  sim::AddQueue(QueueNamed(std::string(kPrinter) + " (Copy 2)"));
  Library nt(NtLibraryPath());
  nt.CreatePrinter();
  EXPECT_EQ(-1, CallIndexWithArg("RegOpenKeyA", 1, Quoted("SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS")));
  EXPECT_TRUE(sim::FindQueue(kPrinter).has_value());

  PlaceSetupInfFiles(sim::WindowsDirectory());
  sim::ClearTrace();
  nt.UninstallPrinter();
  EXPECT_EQ(-1, CallIndexWithArg("RegOpenKeyA", 1, Quoted("SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS")));
  EXPECT_EQ(0, CallCount("GetWindowsDirectoryA")) << "the setup files stay on NT 4.0";
  EXPECT_TRUE(sim::FileExists(InfPath(sim::WindowsDirectory(), "INF")));
  EXPECT_TRUE(sim::FindQueue(std::string(kPrinter) + " (Copy 2)").has_value()) << "no sweep on NT 4.0";
  EXPECT_GE(CallIndexWithArg("RegOpenKeyA", 1, Quoted("Software\\Microsoft\\windows NT\\currentversion\\windows\\")),
            0)
      << "the default printer is restored on every platform";
}

// ---------------------------------------------------------------- platform detection

TEST(DetectPlatform, EveryVersionRow) {
  struct Case {
    sim::Os os;
    bool refuseEx;
    bool overrideVersion;
    DWORD major, minor, platform;
    int failFirst;  // GetVersionExA calls made to fail, from the first
    DWORD want;
    int wantCalls;
  };
  const Case cases[] = {
      {sim::Os::Nt40, false, false, 0, 0, 0, 0, 0, 1},
      {sim::Os::Nt40, true, false, 0, 0, 0, 0, 0, 2},
      {sim::Os::Win2000, false, false, 0, 0, 0, 0, 1, 1},
      {sim::Os::WinXP, false, false, 0, 0, 0, 0, 1, 1},
      {sim::Os::Win95, false, false, 0, 0, 0, 0, 0, 2},
      {sim::Os::Win98, false, false, 0, 0, 0, 0, 0, 2},
      {sim::Os::WinMe, false, false, 0, 0, 0, 0, 0, 2},
      // Judged by the 148-byte answer when the 156-byte record is refused.
      {sim::Os::WinXP, true, false, 0, 0, 0, 0, 1, 2},
      // Both calls fail: the flag keeps its value.
      {sim::Os::WinXP, false, false, 0, 0, 0, 2, 0, 2},
      // Only the first fails: the retry answers.
      {sim::Os::WinXP, false, false, 0, 0, 0, 1, 1, 2},
      // Later and odd versions.
      {sim::Os::WinXP, false, true, 6, 1, VER_PLATFORM_WIN32_NT, 0, 1, 1},
      {sim::Os::WinXP, false, true, 0xFFFFFFFFu, 0, VER_PLATFORM_WIN32_NT, 0, 1, 1},
      {sim::Os::WinXP, false, true, 4, 99, VER_PLATFORM_WIN32_NT, 0, 0, 1},
      {sim::Os::WinXP, false, true, 5, 0, VER_PLATFORM_WIN32_WINDOWS, 0, 0, 1},
      {sim::Os::WinXP, false, true, 5, 0, VER_PLATFORM_WIN32s, 0, 0, 1},
      {sim::Os::WinXP, false, true, 5, 0, 3, 0, 0, 1},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + " (" + sim::OsName(c.os) + ")");
    sim::Reset(c.os);
    if (c.refuseEx) sim::RefuseVersionExRecord(true);
    if (c.overrideVersion) sim::SetVersion(c.major, c.minor, 1234, c.platform);
    for (int n = 1; n <= c.failFirst; ++n) sim::FailCall("GetVersionExA", n, ERROR_INVALID_PARAMETER);
    Library nt(NtLibraryPath());
    StepFn *detect = nt.Get<StepFn>("DetectPlatform");
    ASSERT_NE(nullptr, detect);
    detect();
    EXPECT_EQ(c.want, nt.Flag("IsNt5OrLater"));
    EXPECT_EQ(c.wantCalls, CallCount("GetVersionExA"));
  }
}

TEST(DetectPlatform, NeverClearsTheFlag) {
  sim::Reset(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  StepFn *detect = nt.Get<StepFn>("DetectPlatform");
  detect();
  ASSERT_EQ(1u, nt.Flag("IsNt5OrLater"));
  sim::FailCall("GetVersionExA", 2, ERROR_INVALID_PARAMETER);
  sim::FailCall("GetVersionExA", 3, ERROR_INVALID_PARAMETER);
  detect();
  EXPECT_EQ(1u, nt.Flag("IsNt5OrLater"));
}

// ---------------------------------------------------------------- setup information files

TEST(RemoveSetupInfFiles, DeletesTheThreeFilesFirstFromTheWindowsDirectory) {
  const sim::Os systems[] = {sim::Os::Nt40, sim::Os::Win2000, sim::Os::WinXP};
  for (sim::Os os : systems) {
    SCOPED_TRACE(sim::OsName(os));
    sim::BuildDefaultMachine(os);
    sim::SetWindowsDirectory("D:\\WINNT");
    sim::SetSystemDirectory("E:\\SYSTEM32");  // the BPD path is not built from it
    PlaceSetupInfFiles("D:\\WINNT");
    Library nt(NtLibraryPath());
    nt.CreatePrinter();
    const std::vector<sim::Call> trace = SystemCalls();
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ("GetWindowsDirectoryA", trace[0].name);
    const std::string want[] = {InfPath("D:\\WINNT", "PNF"), InfPath("D:\\WINNT", "INF"), BpdPath("D:\\WINNT")};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ("DeleteFileA", trace[1 + i].name) << "call " << 1 + i;
      ASSERT_FALSE(trace[1 + i].args.empty());
      EXPECT_EQ(Quoted(want[i]), trace[1 + i].args[0]) << "file " << i;
      EXPECT_FALSE(sim::FileExists(want[i])) << want[i];
    }
    EXPECT_TRUE(sim::MessageBoxes().empty() ||
                sim::MessageBoxes()[0].text.find("NRVS1") == std::string::npos)
        << "nothing is reported about these files";
  }
}

TEST(RemoveSetupInfFiles, MissingOrUndeletableFilesArePassedOver) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  const std::string windows = sim::WindowsDirectory();
  sim::WriteFile(InfPath(windows, "PNF"), "pnf");
  sim::SetFileProtected(InfPath(windows, "PNF"), true);
  sim::WriteFile(BpdPath(windows), "bpd");  // the INF itself is missing
  Library nt(NtLibraryPath());
  StepFn *remove = nt.Get<StepFn>("RemoveSetupInfFiles");
  ASSERT_NE(nullptr, remove);
  remove();
  EXPECT_EQ(3, CallCount("DeleteFileA"));
  EXPECT_TRUE(sim::FileExists(InfPath(windows, "PNF")));
  EXPECT_FALSE(sim::FileExists(BpdPath(windows)));
  EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST(RemoveSetupInfFiles, LongOrMissingWindowsDirectoryNeverTouchesAnotherFile) {
  struct Case {
    size_t length;  // of the Windows directory; 0: GetWindowsDirectoryA fails
    int wantDeletes;
  };
  // The BPD path has 42 characters besides the directory, the INF paths 14:
  // with the NUL they fit 256 bytes up to 213 and 241 characters.
  const Case cases[] = {{213, 3}, {214, 2}, {241, 2}, {242, 0}, {254, 0}, {255, 0}, {300, 0}, {0, 0}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE("case " + std::to_string(i) + ", length " + std::to_string(cases[i].length));
    sim::BuildDefaultMachine(sim::Os::WinXP);
    std::string dir = "C:\\";
    if (cases[i].length) {
      dir += std::string(cases[i].length - 3, 'W');
      sim::SetWindowsDirectory(dir);
      PlaceSetupInfFiles(dir);
    } else {
      sim::FailCall("GetWindowsDirectoryA", 1, ERROR_INVALID_PARAMETER);
    }
    Library nt(NtLibraryPath());
    nt.Get<StepFn>("RemoveSetupInfFiles")();
    std::vector<std::string> deleted = FirstArgs("DeleteFileA");
    ASSERT_EQ(static_cast<size_t>(cases[i].wantDeletes), deleted.size());
    const std::string want[] = {InfPath(dir, "PNF"), InfPath(dir, "INF"), BpdPath(dir)};
    for (size_t d = 0; d < deleted.size(); ++d) EXPECT_EQ(Quoted(want[d]), deleted[d]) << "delete " << d;
  }
}

// ---------------------------------------------------------------- the sweep

TEST(RemoveMatchingPrinters, RemovesEveryQueueThatBeginsWithThePrinterName) {
  struct Case {
    const char *name;
    bool removed;
  };
  const Case cases[] = {
      {"Norvale TX-5400 Series", true},
      {"Norvale TX-5400 Series (Copy 1)", true},
      {"Norvale TX-5400 Series (Copy 2)", true},
      {"Norvale TX-5400 Series (Copy 3)", true},
      {"Norvale TX-5400 Series2", true},
      {"norvale tx-5400 series (copy 4)", false},  // letter case differs
      {"Norvale TX-5400 SERIES (Copy 5)", false},
      {"Norvale TX-5400", false},                  // a shorter part of the name
      {"Norvale TX-5400 Serie", false},
      {"Office Laser", false},
      {"A Norvale TX-5400 Series", false},
  };
  sim::BuildDefaultMachine(sim::Os::WinXP);
  for (const Case &c : cases) sim::AddQueue(QueueNamed(c.name));
  Library nt(NtLibraryPath());
  BOOL (*sweep)(void) = nt.Get<BOOL(void)>("RemoveMatchingPrinters");
  ASSERT_NE(nullptr, sweep);
  EXPECT_EQ(TRUE, sweep());
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(!cases[i].removed, sim::FindQueue(cases[i].name).has_value()) << "case " << i << ": " << cases[i].name;
    EXPECT_EQ(!cases[i].removed, sim::KeyExists(std::string(kPrintersKey) + "\\" + cases[i].name))
        << "case " << i << ": " << cases[i].name;
  }
  EXPECT_EQ("", OpenHandlesText());
}

TEST(RemoveMatchingPrinters, OpensQueuesWithRemovalDefaultsAndPassesOverStaleKeys) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  // A key without a queue behind it: the open fails and the sweep goes on.
  sim::CreateKey(std::string(kPrintersKey) + "\\Norvale TX-5400 Series (Copy 1)");
  sim::AddQueue(QueueNamed("Norvale TX-5400 Series (Copy 2)"));
  Library nt(NtLibraryPath());
  EXPECT_EQ(TRUE, nt.Get<BOOL(void)>("RemoveMatchingPrinters")());
  std::vector<std::string> opened = FirstArgs("OpenPrinterA");
  ASSERT_EQ(2u, opened.size());
  EXPECT_EQ(Quoted("Norvale TX-5400 Series (Copy 1)"), opened[0]);
  EXPECT_EQ(Quoted("Norvale TX-5400 Series (Copy 2)"), opened[1]);
  for (const sim::Call &call : sim::CallsTo("OpenPrinterA")) {
    ASSERT_GE(call.args.size(), 3u);
    EXPECT_EQ("{\"RAW\", NULL, 0xf000c}", call.args[2]) << "data type RAW, no device mode, PRINTER_ALL_ACCESS";
  }
  EXPECT_EQ(1, CallCount("DeletePrinter"));
  EXPECT_EQ(1, CallCount("ClosePrinter"));
  EXPECT_FALSE(sim::FindQueue("Norvale TX-5400 Series (Copy 2)").has_value());
  EXPECT_TRUE(sim::KeyExists(std::string(kPrintersKey) + "\\Norvale TX-5400 Series (Copy 1)"));
  EXPECT_EQ("", OpenHandlesText());
}

TEST(RemoveMatchingPrinters, EmptyPrintersKeyEndsAtOnce) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  sim::DeleteKeyTree(std::string(kPrintersKey) + "\\Office Laser");
  sim::SetString(kSettingsKey, "Device", "Norvale TX-5400 Series,winspool,LPT1:");
  PlaceSetupInfFiles(sim::WindowsDirectory());
  Library nt(NtLibraryPath());
  nt.UninstallPrinter();
  int enumerations = 0;
  for (const sim::Call &call : sim::CallsTo("RegEnumKeyA")) {
    if (!call.args.empty() && call.args[0] == kPrintersKey) ++enumerations;
  }
  EXPECT_EQ(1, enumerations) << "one enumeration call, which finds nothing";
  EXPECT_EQ(0, CallCount("OpenPrinterA") - 1) << "only the removal's own open of the printer";
  EXPECT_FALSE(sim::FileExists(InfPath(sim::WindowsDirectory(), "INF")));
  EXPECT_EQ("Office Laser,winspool,LPT2:", sim::GetString(kSettingsKey, "Device").value_or("?"))
      << "the default printer is restored all the same";
}

TEST(RemoveMatchingPrinters, UnopenablePrintersKeyEndsTheRemovalEarly) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  nt.CreatePrinter();
  ASSERT_EQ("Norvale TX-5400 Series,winspool,LPT1:", sim::GetString(kSettingsKey, "Device").value_or("?"));
  PlaceSetupInfFiles(sim::WindowsDirectory());
  sim::ClearTrace();
  sim::DenyAccess(kPrintersKey, KEY_ALL_ACCESS);
  EXPECT_EQ(0, nt.UninstallPrinter());
  EXPECT_GE(CallIndexWithArg("RegOpenKeyA", 1, Quoted("SYSTEM\\CurrentControlSet\\Control\\Print\\Printers")), 0);
  EXPECT_TRUE(sim::FileExists(InfPath(sim::WindowsDirectory(), "PNF")));
  EXPECT_TRUE(sim::FileExists(BpdPath(sim::WindowsDirectory())));
  EXPECT_EQ(0, CallCount("GetWindowsDirectoryA"));
  EXPECT_EQ("Norvale TX-5400 Series,winspool,LPT1:", sim::GetString(kSettingsKey, "Device").value_or("?"))
      << "the default printer is not restored";
  EXPECT_FALSE(sim::FindQueue(kPrinter).has_value()) << "the steps before the sweep ran";
  EXPECT_EQ("", OpenHandlesText());
}
