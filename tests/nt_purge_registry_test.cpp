// The NT library's purge of the printer's and the driver's registry keys
// from the numbered control sets and the current one, and of the user's
// "DeviceOld" value.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kPrinter[] = "Norvale TX-5400 Series";
const char kUserPrinters[] = "HKCU\\Printers";
const char kSettingsKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

typedef void StepFn(void);

struct Step {
  const char *root;
  const char *path;
  const char *name;
};

// The thirteen steps as the library passes them.
const Step kSteps[] = {
    {"HKCU", "printers\\", "DeviceOld"},
    {"HKLM", "SYSTEM\\Controlset001\\control\\print\\printers\\Norvale TX-5400 Series\\", "PrinterDriverData"},
    {"HKLM", "SYSTEM\\Controlset001\\control\\print\\environments\\windows NT X86\\drivers\\version-2\\", kPrinter},
    {"HKLM", "SYSTEM\\Controlset001\\control\\print\\printers\\", kPrinter},
    {"HKLM", "SYSTEM\\Controlset002\\control\\print\\printers\\Norvale TX-5400 Series\\", "PrinterDriverData"},
    {"HKLM", "SYSTEM\\Controlset002\\control\\print\\environments\\windows NT X86\\drivers\\version-2\\", kPrinter},
    {"HKLM", "SYSTEM\\Controlset002\\control\\print\\printers\\", kPrinter},
    {"HKLM", "SYSTEM\\Controlset003\\control\\print\\printers\\Norvale TX-5400 Series\\", "PrinterDriverData"},
    {"HKLM", "SYSTEM\\Controlset003\\control\\print\\environments\\windows NT X86\\drivers\\version-2\\", kPrinter},
    {"HKLM", "SYSTEM\\Controlset003\\control\\print\\printers\\", kPrinter},
    {"HKLM", "SYSTEM\\CurrentControlset\\control\\print\\printers\\Norvale TX-5400 Series\\", "PrinterDriverData"},
    {"HKLM", "SYSTEM\\CurrentControlset\\control\\print\\environments\\windows NT X86\\drivers\\version-2\\",
     kPrinter},
    {"HKLM", "SYSTEM\\CurrentControlset\\control\\print\\printers\\", kPrinter},
};
const size_t kStepCount = sizeof kSteps / sizeof kSteps[0];

// The handle of a step's key as the trace shows it.
std::string HandleText(const Step &step) {
  std::string path = step.path;
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return std::string(step.root) + "\\" + path;
}

std::string Printers(const std::string &set) { return set + "\\Control\\Print\\Printers"; }
std::string Version2(const std::string &set) {
  return set + "\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-2";
}
std::string PrinterKey(const std::string &set) { return Printers(set) + "\\" + kPrinter; }
std::string DriverKey(const std::string &set) { return Version2(set) + "\\" + kPrinter; }

// A control set as a removal finds it: the printer with its driver data,
// its driver, and neighbours that must survive the purge.
void PopulateSet(const std::string &set) {
  sim::SetString(PrinterKey(set), "Name", kPrinter);
  sim::SetString(PrinterKey(set) + "\\PrinterDriverData", "Resolution", "600");
  sim::SetString(DriverKey(set), "Driver", "nrvs1.dll");
  sim::SetString(Printers(set) + "\\Office Laser\\PrinterDriverData", "Resolution", "1200");
  sim::SetString(Printers(set) + "\\Norvale TX-5400 Series (Copy 1)", "Name", "Norvale TX-5400 Series (Copy 1)");
  sim::SetString(Version2(set) + "\\Office Laser Driver", "Driver", "olaser.dll");
  sim::SetString(set + "\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-3\\" + kPrinter, "Driver",
                 "nrvs1.dll");
  sim::SetString(set + "\\Control\\Print\\Environments\\Windows 4.0\\Drivers\\Version-0\\" + kPrinter, "Driver",
                 "NRVS1.DRV");
}

// The neighbours are all still there.
void ExpectNeighbours(const std::string &set) {
  SCOPED_TRACE("neighbours in " + set);
  EXPECT_TRUE(sim::KeyExists(Printers(set) + "\\Office Laser\\PrinterDriverData"));
  EXPECT_TRUE(sim::KeyExists(Printers(set) + "\\Norvale TX-5400 Series (Copy 1)"));
  EXPECT_TRUE(sim::KeyExists(Version2(set) + "\\Office Laser Driver"));
  EXPECT_TRUE(sim::KeyExists(set + "\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-3\\" + kPrinter));
  EXPECT_TRUE(sim::KeyExists(set + "\\Control\\Print\\Environments\\Windows 4.0\\Drivers\\Version-0\\" + kPrinter));
}

// Walks the trace of one purge: each step opens its key, and only an open
// key is worked on and closed. `expected` holds per step the open's result,
// and after a successful open "/" and the deletion's result.
void ExpectSteps(const std::vector<std::string> &expected) {
  ASSERT_EQ(kStepCount, expected.size());
  const std::vector<sim::Call> &trace = sim::Trace();
  size_t at = 0;
  for (size_t i = 0; i < kStepCount; ++i) {
    const Step &step = kSteps[i];
    SCOPED_TRACE("step " + std::to_string(i + 1) + " " + step.path);
    ASSERT_LT(at, trace.size());
    const sim::Call &open = trace[at++];
    ASSERT_EQ("RegOpenKeyExA", open.name);
    EXPECT_EQ((std::vector<std::string>{step.root, Quoted(step.path), "0", "983103", "&"}), open.args);
    std::string got = open.result;
    if (open.result == "0") {
      ASSERT_LT(at + 1, trace.size());
      const sim::Call &del = trace[at++];
      EXPECT_EQ(i == 0 ? "RegDeleteValueA" : "RegDeleteKeyA", del.name);
      EXPECT_EQ((std::vector<std::string>{HandleText(step), Quoted(step.name)}), del.args);
      got += "/" + del.result;
      const sim::Call &close = trace[at++];
      EXPECT_EQ("RegCloseKey", close.name);
      EXPECT_EQ((std::vector<std::string>{HandleText(step)}), close.args);
      EXPECT_EQ("0", close.result);
    }
    EXPECT_EQ(expected[i], got);
  }
  EXPECT_EQ(trace.size(), at) << "nothing after the thirteenth step";
}

class PurgeTest : public ::testing::Test {
 protected:
  void Purge() {
    Library nt(NtLibraryPath());
    sim::ClearTrace();
    nt.Get<StepFn>("PurgePrintRegistry")();
  }
};

}  // namespace

TEST_F(PurgeTest, NothingThereChangesNothing) {
  // One machine has the spooler's printers and version-2 keys, but neither
  // the printer nor its driver; the other has no print keys at all.
  const std::vector<std::string> freshSteps = {"2", "2", "0/2", "0/2", "2", "2", "2",
                                               "2", "2", "2", "2", "0/2", "0/2"};
  const std::vector<std::string> bareSteps(kStepCount, "2");
  const sim::Os systems[] = {sim::Os::Nt40, sim::Os::WinXP};
  for (sim::Os os : systems) {
    for (bool bare : {false, true}) {
      SCOPED_TRACE(std::string(sim::OsName(os)) + (bare ? ", no print keys" : ", print keys without the printer"));
      sim::Reset(os);
      sim::DeleteKeyTree("HKLM\\SYSTEM\\ControlSet001\\Control\\Print");
      if (!bare) {
        sim::CreateKey(Printers("HKLM\\SYSTEM\\ControlSet001"));
        sim::CreateKey(Version2("HKLM\\SYSTEM\\ControlSet001"));
      }
      std::vector<std::string> before = RegistryLines();
      Purge();
      EXPECT_EQ(before, RegistryLines());
      ExpectSteps(bare ? bareSteps : freshSteps);
      EXPECT_TRUE(sim::MessageBoxes().empty());
      EXPECT_EQ("", OpenHandlesText());
    }
  }
}

TEST_F(PurgeTest, EveryControlSetLosesThePrinterAndItsDriver) {
  const std::string s1 = "HKLM\\SYSTEM\\ControlSet001";
  const std::string s2 = "HKLM\\SYSTEM\\ControlSet002";
  const std::string s3 = "HKLM\\SYSTEM\\ControlSet003";
  const std::string cur = "HKLM\\SYSTEM\\CurrentControlSet";
  struct Case {
    const char *name;
    std::string linkTarget;  // of CurrentControlSet; "" for a plain set of its own
    std::vector<std::string> populated;
    std::vector<std::string> purged;  // sets whose three keys must be gone
    std::vector<std::string> steps;
  };
  const Case cases[] = {
      {"three numbered sets, the current one is 001",
       s1,
       {s1, s2, s3},
       {s1, s2, s3},
       {"0/0", "0/0", "0/0", "0/0", "0/0", "0/0", "0/0", "0/0", "0/0", "0/0", "2", "0/2", "0/2"}},
      {"no set 003, the current one is 002",
       s2,
       {s1, s2},
       {s1, s2},
       {"0/0", "0/0", "0/0", "0/0", "0/0", "0/0", "0/0", "2", "2", "2", "2", "0/2", "0/2"}},
      {"the current set is a plain set of its own",
       "",
       {s1, cur},
       {s1, cur},
       {"0/0", "0/0", "0/0", "0/0", "2", "2", "2", "2", "2", "2", "0/0", "0/0", "0/0"}},
      {"only the current set, a link to 003",
       s3,
       {s3},
       {s3},
       {"0/0", "2", "2", "2", "2", "2", "2", "0/0", "0/0", "0/0", "2", "0/2", "0/2"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::WinXP);
    sim::LinkKey(cur, c.linkTarget);
    if (c.linkTarget != s1) sim::DeleteKeyTree(s1);
    for (const std::string &set : c.populated) PopulateSet(set);
    sim::SetString(kUserPrinters, "DeviceOld", "Norvale TX-5400 Series,winspool,LPT1:");
    Purge();
    ExpectSteps(c.steps);
    for (const std::string &set : c.purged) {
      SCOPED_TRACE("purged " + set);
      EXPECT_FALSE(sim::KeyExists(PrinterKey(set)));
      EXPECT_FALSE(sim::KeyExists(DriverKey(set)));
      EXPECT_TRUE(sim::KeyExists(Printers(set)));
      EXPECT_TRUE(sim::KeyExists(Version2(set)));
      ExpectNeighbours(set);
    }
    EXPECT_FALSE(sim::GetValue(kUserPrinters, "DeviceOld").has_value());
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(PurgeTest, KeysWithFurtherSubkeysStayWhateverIsBelowThemGoes) {
  const std::string s1 = "HKLM\\SYSTEM\\ControlSet001";
  const std::string s2 = "HKLM\\SYSTEM\\ControlSet002";
  sim::Reset(sim::Os::WinXP);
  PopulateSet(s1);
  PopulateSet(s2);
  sim::SetString(PrinterKey(s1) + "\\Extra", "Kept", "yes");
  sim::SetString(DriverKey(s2) + "\\Files", "Kept", "yes");
  Purge();
  // Set 001: the printer key keeps "Extra" and itself; the driver key goes.
  // Set 002: the driver key keeps "Files"; the printer key goes. The
  // current set (001) finds the printer key again, now without driver data.
  ExpectSteps({"2", "0/0", "0/0", "0/5", "0/0", "0/5", "0/0", "2", "2", "2", "0/2", "0/2", "0/5"});
  EXPECT_TRUE(sim::KeyExists(PrinterKey(s1) + "\\Extra"));
  EXPECT_EQ("yes", sim::GetString(PrinterKey(s1) + "\\Extra", "Kept").value_or(""));
  EXPECT_EQ(kPrinter, sim::GetString(PrinterKey(s1), "Name").value_or(""));
  EXPECT_FALSE(sim::KeyExists(PrinterKey(s1) + "\\PrinterDriverData"));
  EXPECT_FALSE(sim::KeyExists(DriverKey(s1)));
  EXPECT_TRUE(sim::KeyExists(DriverKey(s2) + "\\Files"));
  EXPECT_FALSE(sim::KeyExists(PrinterKey(s2)));
  ExpectNeighbours(s1);
  ExpectNeighbours(s2);
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(PurgeTest, AKeyThatRefusesAccessOnlyStopsItsOwnStep) {
  const std::string s1 = "HKLM\\SYSTEM\\ControlSet001";
  const std::string s2 = "HKLM\\SYSTEM\\ControlSet002";
  struct Case {
    const char *name;
    std::string deniedKey;
    REGSAM refused;
    std::vector<std::string> steps;
    std::string kept;  // the key the refusal keeps
  };
  const Case cases[] = {
      {"002's version-2 key refuses writing",
       Version2(s2),
       KEY_SET_VALUE,
       {"2", "0/0", "0/0", "0/0", "0/0", "5", "0/0", "2", "2", "2", "2", "0/2", "0/2"},
       DriverKey(s2)},
      // Opening it with KEY_ALL_ACCESS asks for DELETE too.
      {"001's printer key refuses its deletion",
       PrinterKey(s1),
       DELETE,
       {"2", "5", "0/0", "0/5", "0/0", "0/0", "0/0", "2", "2", "2", "5", "0/2", "0/5"},
       PrinterKey(s1) + "\\PrinterDriverData"},
      {"002's printers key refuses everything",
       Printers(s2),
       KEY_ALL_ACCESS,
       {"2", "0/0", "0/0", "0/0", "0/0", "0/0", "5", "2", "2", "2", "2", "0/2", "0/2"},
       PrinterKey(s2)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::WinXP);
    PopulateSet(s1);
    PopulateSet(s2);
    sim::DenyAccess(c.deniedKey, c.refused);
    Purge();
    ExpectSteps(c.steps);
    EXPECT_TRUE(sim::KeyExists(c.kept));
    EXPECT_FALSE(sim::KeyExists(DriverKey(s1)));
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(PurgeTest, DeviceOldGoesWhoeverIsTheDefault) {
  struct Case {
    const char *name;
    const char *device;  // nullptr: no Device value
  };
  const Case cases[] = {
      {"the printer is the default", "Norvale TX-5400 Series,winspool,LPT1:"},
      {"another printer is the default", "Office Laser,winspool,LPT2:"},
      {"no default printer", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::WinXP);
    if (c.device) sim::SetString(kSettingsKey, "Device", c.device);
    sim::SetString(kUserPrinters, "DeviceOld", "Office Laser,winspool,LPT2:");
    sim::SetString(kUserPrinters, "Settings", "kept");
    Purge();
    EXPECT_FALSE(sim::GetValue(kUserPrinters, "DeviceOld").has_value());
    EXPECT_EQ((std::vector<std::string>{"Settings"}), sim::ValueNames(kUserPrinters));
    if (c.device) {
      EXPECT_EQ(c.device, sim::GetString(kSettingsKey, "Device").value_or(""));
    } else {
      EXPECT_FALSE(sim::GetValue(kSettingsKey, "Device").has_value());
    }
    std::vector<sim::Call> deletes = sim::CallsTo("RegDeleteValueA");
    ASSERT_EQ(1u, deletes.size());
    EXPECT_EQ((std::vector<std::string>{"HKCU\\printers", Quoted("DeviceOld")}), deletes[0].args);
    EXPECT_EQ("0", deletes[0].result);
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(PurgeExports, RemovalPurgesStaleCopiesAndDeviceOld) {
  struct Case {
    const char *name;
    bool printerIsDefault;
  };
  const Case cases[] = {{"the printer is the default", true}, {"another printer is the default", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    Library nt(NtLibraryPath());
    nt.CreatePrinter();
    if (!c.printerIsDefault) sim::SetString(kSettingsKey, "Device", "Office Laser,winspool,LPT2:");
    PopulateSet("HKLM\\SYSTEM\\ControlSet002");
    PopulateSet("HKLM\\SYSTEM\\ControlSet003");
    ASSERT_TRUE(sim::GetValue(kUserPrinters, "DeviceOld").has_value());
    nt.UninstallPrinter();
    for (const char *set : {"HKLM\\SYSTEM\\ControlSet001", "HKLM\\SYSTEM\\ControlSet002",
                            "HKLM\\SYSTEM\\ControlSet003"}) {
      SCOPED_TRACE(set);
      EXPECT_FALSE(sim::KeyExists(PrinterKey(set)));
      EXPECT_FALSE(sim::KeyExists(DriverKey(set)));
      EXPECT_TRUE(sim::KeyExists(Printers(set) + "\\Office Laser"));
    }
    EXPECT_FALSE(sim::GetValue(kUserPrinters, "DeviceOld").has_value());
    // The thirteen steps ran in their order within the removal.
    int last = -1;
    for (size_t i = 0; i < kStepCount; ++i) {
      int at = CallIndexWithArg("RegOpenKeyExA", 1, Quoted(kSteps[i].path));
      EXPECT_GT(at, last) << "step " << i + 1;
      last = at;
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}
