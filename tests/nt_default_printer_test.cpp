// The NT library's default printer: SetDefaultPrinter at install, and
// RestoreDefaultPrinter at removal, which hands the default on to another
// entry of the user's "Devices" list when the removed printer held it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kSettingsKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const char kDevicesKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
// The paths exactly as the library passes them.
const char kSettingsArg[] = "Software\\Microsoft\\windows NT\\currentversion\\windows\\";
const char kDevicesArg[] = "Software\\Microsoft\\Windows NT\\currentversion\\Devices";
const char kPrinter[] = "Norvale TX-5400 Series";
const char kDefaultDevice[] = "Norvale TX-5400 Series,winspool,LPT1:";
const char kOtherDevice[] = "Office Laser,winspool,LPT2:";

typedef void StepFn(void);

std::string Sz(const std::string &text) { return text + std::string(1, '\0'); }

struct Entry {
  std::string name;
  DWORD type;
  std::string data;  // raw bytes
};

Entry SzEntry(const std::string &name, const std::string &text) { return {name, REG_SZ, Sz(text)}; }

class DefaultPrinterTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }

  // A new machine with the settings key and an empty Devices key, and the
  // library loaded afresh.
  void Fresh() {
    nt_.reset();
    sim::Reset(sim::Os::WinXP);
    sim::CreateKey(kSettingsKey);
    sim::CreateKey(kDevicesKey);
    nt_.reset(new Library(NtLibraryPath()));
  }

  void SetDefault() { nt_->Get<StepFn>("SetDefaultPrinter")(); }
  void Restore() { nt_->Get<StepFn>("RestoreDefaultPrinter")(); }

  static void AddEntries(const std::vector<Entry> &entries) {
    for (const Entry &e : entries) sim::SetValue(kDevicesKey, e.name, e.type, e.data);
  }

  std::unique_ptr<Library> nt_;
};

// "Device" holds exactly this REG_SZ text with its NUL.
void ExpectDevice(const std::string &text) {
  std::optional<sim::Value> v = sim::GetValue(kSettingsKey, "Device");
  ASSERT_TRUE(v.has_value()) << "no Device value";
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), v->type);
  EXPECT_EQ(Sz(text), v->data);
  EXPECT_EQ(text.size() + 1, v->data.size());
}

}  // namespace

// ---------------------------------------------------------------- install

TEST_F(DefaultPrinterTest, InstallWritesTheDeviceStringWhateverWasThere) {
  struct Case {
    const char *name;
    bool present;
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      {"no Device value", false, REG_SZ, ""},
      {"another printer", true, REG_SZ, Sz(kOtherDevice)},
      {"a longer text", true, REG_SZ, Sz(std::string(200, 'x'))},
      {"binary data", true, REG_BINARY, std::string("\x01\x02", 2)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    if (c.present) sim::SetValue(kSettingsKey, "Device", c.type, c.data);
    SetDefault();
    ExpectDevice(kDefaultDevice);
    EXPECT_EQ(38u, sim::GetValue(kSettingsKey, "Device")->data.size());

    std::vector<sim::Call> opens = sim::CallsTo("RegOpenKeyExA");
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ((std::vector<std::string>{"HKCU", Quoted(kSettingsArg), "0", "983103", "&"}), opens[0].args);
    EXPECT_EQ("0", opens[0].result);
    std::vector<sim::Call> sets = sim::CallsTo("RegSetValueExA");
    ASSERT_EQ(1u, sets.size());
    EXPECT_EQ(Quoted("Device"), sets[0].args[1]);
    EXPECT_EQ("0", sets[0].args[2]) << "reserved";
    EXPECT_EQ("1", sets[0].args[3]) << "REG_SZ";
    EXPECT_EQ("38", sets[0].args[5]);
    EXPECT_EQ(0, CallCount("RegCreateKeyA"));
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(DefaultPrinterTest, InstallWritesNothingWithoutAnOpenableSettingsKey) {
  struct Case {
    const char *name;
    bool keyExists;
    REGSAM refused;
  };
  const Case cases[] = {
      {"settings key missing", false, 0},
      {"writing refused", true, KEY_SET_VALUE},
      {"everything refused", true, KEY_ALL_ACCESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    if (!c.keyExists) {
      sim::DeleteKeyTree(kSettingsKey);
    } else {
      sim::SetString(kSettingsKey, "Device", kOtherDevice);
      sim::DenyAccess(kSettingsKey, c.refused);
    }
    std::vector<std::string> before = RegistryLines();
    SetDefault();
    EXPECT_EQ(before, RegistryLines());
    EXPECT_EQ(c.keyExists, sim::KeyExists(kSettingsKey)) << "the settings key is never created";
    ASSERT_EQ(1, CallCount("RegOpenKeyExA"));
    EXPECT_EQ(c.keyExists ? "5" : "2", sim::CallsTo("RegOpenKeyExA")[0].result);
    EXPECT_EQ(0, CallCount("RegSetValueExA"));
    EXPECT_EQ(0, CallCount("RegCreateKeyA"));
    EXPECT_EQ(0, CallCount("RegCloseKey")) << "nothing was opened";
    EXPECT_EQ("", OpenHandlesText());
  }
}

// ---------------------------------------------------------------- removal: calls

TEST_F(DefaultPrinterTest, RemovalPassesItsPathsAndSizesExactly) {
  sim::SetString(kSettingsKey, "Device", kDefaultDevice);
  AddEntries({SzEntry("Office Laser", "winspool,LPT2:"), SzEntry("Draft Jet", "winspool,LPT3:")});
  Restore();

  std::vector<sim::Call> opens = sim::CallsTo("RegOpenKeyA");
  ASSERT_EQ(2u, opens.size());
  EXPECT_EQ((std::vector<std::string>{"HKCU", Quoted(kSettingsArg), "&"}), opens[0].args);
  EXPECT_EQ((std::vector<std::string>{"HKCU", Quoted(kDevicesArg), "&"}), opens[1].args);
  EXPECT_EQ(0, CallCount("RegOpenKeyExA"));

  std::vector<sim::Call> queries = sim::CallsTo("RegQueryValueExA");
  ASSERT_EQ(1u, queries.size());
  EXPECT_EQ(Quoted("Device"), queries[0].args[1]);
  EXPECT_EQ("NULL", queries[0].args[2]) << "reserved";
  EXPECT_EQ("255", queries[0].args[5]) << "size passed";

  // Entries 0 and 1 are read, index 2 ends the list; both lengths are 100
  // before every call.
  std::vector<sim::Call> enums = sim::CallsTo("RegEnumValueA");
  ASSERT_EQ(3u, enums.size());
  for (size_t i = 0; i < enums.size(); ++i) {
    SCOPED_TRACE("enumeration call " + std::to_string(i));
    EXPECT_EQ(std::to_string(i), enums[i].args[1]);
    EXPECT_EQ("100", enums[i].args[3]) << "name length";
    EXPECT_EQ("NULL", enums[i].args[4]) << "reserved";
    EXPECT_EQ("100", enums[i].args[7]) << "data length";
  }
  EXPECT_EQ("0", enums[1].result);
  EXPECT_EQ("259", enums[2].result);

  std::vector<sim::Call> sets = sim::CallsTo("RegSetValueExA");
  ASSERT_EQ(1u, sets.size());
  EXPECT_EQ(Quoted("Device"), sets[0].args[1]);
  EXPECT_EQ("1", sets[0].args[3]);
  EXPECT_EQ("25", sets[0].args[5]);
  ExpectDevice("Draft Jet,winspool,LPT3:");

  // The Devices key is closed before "Device" is written; the settings key last.
  int closeDevices = CallIndexWithArg("RegCloseKey", 0, "HKCU\\Software\\Microsoft\\Windows NT\\currentversion\\Devices");
  EXPECT_GE(closeDevices, 0);
  EXPECT_LT(closeDevices, CallIndex("RegSetValueExA"));
  EXPECT_EQ("RegCloseKey", sim::Trace().back().name);
  EXPECT_EQ("HKCU\\Software\\Microsoft\\windows NT\\currentversion\\windows", sim::Trace().back().args[0]);
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- removal: whose default

TEST_F(DefaultPrinterTest, RemovalReplacesOnlyTheRemovedPrintersDevice) {
  struct Case {
    const char *name;
    bool present;
    DWORD type;
    std::string data;
    bool replaced;
  };
  const std::string fill254 = std::string(kPrinter) + ",winspool," + std::string(254 - 32 - 1, 'p');
  const std::string fill255 = fill254 + "q";
  const Case cases[] = {
      {"the printer itself", true, REG_SZ, Sz(kDefaultDevice), true},
      {"a copy with a longer name", true, REG_SZ, Sz("Norvale TX-5400 Series (Copy 1),winspool,LPT1:"), true},
      {"another port", true, REG_SZ, Sz("Norvale TX-5400 Series,winspool,LPT2:"), true},
      {"the bare name", true, REG_SZ, Sz(kPrinter), true},
      {"the name without NUL", true, REG_BINARY, kPrinter, true},
      {"254 bytes", true, REG_SZ, Sz(fill254), true},
      {"255 bytes with its NUL", true, REG_SZ, Sz(fill255), true},
      {"255 bytes without NUL", true, REG_SZ, fill255 + "r", true},
      {"256 bytes", true, REG_SZ, Sz(fill255 + "r"), false},
      {"256 bytes without NUL", true, REG_SZ, fill255 + "rs", false},
      {"another printer", true, REG_SZ, Sz(kOtherDevice), false},
      {"lower case", true, REG_SZ, Sz("norvale tx-5400 series,winspool,LPT1:"), false},
      {"one letter in other case", true, REG_SZ, Sz("Norvale TX-5400 series,winspool,LPT1:"), false},
      {"shorter part of the name", true, REG_SZ, Sz("Norvale TX-5400,winspool,LPT1:"), false},
      {"21 characters of the name", true, REG_SZ, Sz("Norvale TX-5400 Serie"), false},
      {"empty text", true, REG_SZ, Sz(""), false},
      {"no bytes at all", true, REG_SZ, "", false},
      {"no Device value", false, REG_SZ, "", false},
  };
  ASSERT_EQ(254u, Sz(fill254).size());
  ASSERT_EQ(255u, Sz(fill255).size());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    if (c.present) sim::SetValue(kSettingsKey, "Device", c.type, c.data);
    AddEntries({SzEntry("Office Laser", "winspool,LPT2:"), SzEntry("Draft Jet", "winspool,LPT3:")});
    std::vector<std::string> before = RegistryLines();
    Restore();
    if (c.replaced) {
      ExpectDevice("Draft Jet,winspool,LPT3:");
      EXPECT_EQ(1, CallCount("RegSetValueExA"));
    } else {
      EXPECT_EQ(before, RegistryLines()) << "Device left as it was";
      EXPECT_EQ(0, CallCount("RegSetValueExA"));
      EXPECT_EQ(-1, CallIndexWithArg("RegOpenKeyA", 1, Quoted(kDevicesArg))) << "the Devices list is not read";
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(DefaultPrinterTest, RemovalChangesNothingWithoutAnOpenableSettingsKey) {
  struct Case {
    const char *name;
    bool exists;
    REGSAM refused;
  };
  const Case cases[] = {
      {"settings key missing", false, 0},
      {"everything refused", true, KEY_ALL_ACCESS},
      {"reading refused", true, KEY_QUERY_VALUE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    if (!c.exists) {
      sim::DeleteKeyTree(kSettingsKey);
    } else {
      sim::SetString(kSettingsKey, "Device", kDefaultDevice);
      sim::DenyAccess(kSettingsKey, c.refused);
    }
    AddEntries({SzEntry("Office Laser", "winspool,LPT2:")});
    std::vector<std::string> before = RegistryLines();
    Restore();
    EXPECT_EQ(before, RegistryLines());
    EXPECT_EQ(1, CallCount("RegOpenKeyA")) << "the Devices list is not opened";
    EXPECT_EQ(0, CallCount("RegSetValueExA"));
    EXPECT_EQ(0, CallCount("RegCreateKeyA"));
    EXPECT_EQ("", OpenHandlesText());
  }
}

// ---------------------------------------------------------------- removal: the next default

TEST_F(DefaultPrinterTest, RemovalTakesTheLastOtherEntryOfTheDevicesList) {
  const std::string name99(99, 'N');
  const std::string name100(100, 'L');
  const std::string data100(100, 'd');  // exactly the capacity, no NUL
  const std::string text99(99, 't');    // 99 characters and the NUL: 100 bytes
  struct Case {
    const char *name;
    std::vector<Entry> entries;
    const char *expected;  // nullptr: Device unchanged
    std::string expectedText;
  };
  const Case cases[] = {
      {"two entries, the last wins",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry("Draft Jet", "winspool,LPT3:")},
       "", "Draft Jet,winspool,LPT3:"},
      {"one entry", {SzEntry("Office Laser", "winspool,LPT2:")}, "", "Office Laser,winspool,LPT2:"},
      {"no entry", {}, nullptr, ""},
      {"the removed printer listed last",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry(kPrinter, "winspool,LPT1:")},
       "", "Office Laser,winspool,LPT2:"},
      // A copy of the queue is a printer of the user's, listed under its own name.
      {"a copy of the removed printer listed last",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry("Norvale TX-5400 Series (Copy 1)", "winspool,LPT1:")},
       "", "Norvale TX-5400 Series (Copy 1),winspool,LPT1:"},
      {"a copy of the removed printer listed first",
       {SzEntry("Norvale TX-5400 Series (Copy 1)", "winspool,LPT1:"), SzEntry("Office Laser", "winspool,LPT2:")},
       "", "Office Laser,winspool,LPT2:"},
      {"only a copy of the removed printer", {SzEntry("Norvale TX-5400 Series (Copy 1)", "winspool,LPT1:")}, "",
       "Norvale TX-5400 Series (Copy 1),winspool,LPT1:"},
      {"the removed printer's name with more after it",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry("Norvale TX-5400 Series2", "winspool,LPT3:")},
       "", "Norvale TX-5400 Series2,winspool,LPT3:"},
      {"the removed printer listed last after a copy",
       {SzEntry("Norvale TX-5400 Series (Copy 1)", "winspool,LPT1:"), SzEntry(kPrinter, "winspool,LPT1:")},
       "", "Norvale TX-5400 Series (Copy 1),winspool,LPT1:"},
      {"the removed printer between two others",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry(kPrinter, "winspool,LPT1:"),
        SzEntry("Draft Jet", "winspool,LPT3:")},
       "", "Draft Jet,winspool,LPT3:"},
      {"only the removed printer", {SzEntry(kPrinter, "winspool,LPT1:")}, nullptr, ""},
      {"a name in other case is another printer",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry("NORVALE TX-5400 SERIES", "winspool,LPT1:")},
       "", "NORVALE TX-5400 SERIES,winspool,LPT1:"},
      {"an empty name listed last",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry("", "winspool,LPT9:")},
       "", "Office Laser,winspool,LPT2:"},
      {"only an empty name", {SzEntry("", "winspool,LPT9:")}, nullptr, ""},
      {"a name of 99 characters fits",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry(name99, "winspool,LPT3:")},
       "", name99 + ",winspool,LPT3:"},
      {"a name of 100 characters ends the list",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry(name100, "winspool,LPT3:"),
        SzEntry("Draft Jet", "winspool,LPT4:")},
       "", "Office Laser,winspool,LPT2:"},
      {"a name of 100 characters first", {SzEntry(name100, "winspool,LPT3:"), SzEntry("Draft Jet", "winspool,LPT4:")},
       nullptr, ""},
      {"100 bytes of data with its NUL fit",
       {SzEntry("Office Laser", "winspool,LPT2:"), SzEntry("Draft Jet", text99)}, "", "Draft Jet," + text99},
      {"100 bytes of data without NUL fit and are not read past",
       {SzEntry("Office Laser", "winspool,LPT2:"), {"Draft Jet", REG_SZ, data100}}, "", "Draft Jet," + data100},
      {"the longest result: 99 name characters and 100 data bytes",
       {{name99, REG_BINARY, data100}}, "", name99 + "," + data100},
      {"101 bytes of data end the list",
       {SzEntry("Office Laser", "winspool,LPT2:"), {"Draft Jet", REG_SZ, data100 + std::string(1, '\0')},
        SzEntry("Photo Jet", "winspool,LPT4:")},
       "", "Office Laser,winspool,LPT2:"},
      {"101 bytes of data first", {{"Draft Jet", REG_SZ, Sz(data100)}}, nullptr, ""},
      {"binary data without NUL after a longer entry",
       {SzEntry("Office Laser", "winspool,LPT2:,with a long tail"), {"Draft Jet", REG_BINARY, "ab"}},
       "", "Draft Jet,ab"},
      {"a double word as data", {{"Draft Jet", REG_DWORD, std::string("12\0\0", 4)}}, "", "Draft Jet,12"},
      {"empty data after a longer entry",
       {SzEntry("Office Laser", "winspool,LPT2:"), {"Draft Jet", REG_SZ, ""}}, "", "Draft Jet,"},
      {"a shorter name after a longer one",
       {SzEntry("Office Laser Colour", "winspool,LPT2:"), SzEntry("Jet", "winspool,LPT3:")},
       "", "Jet,winspool,LPT3:"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    Fresh();
    sim::SetString(kSettingsKey, "Device", kDefaultDevice);
    AddEntries(c.entries);
    std::vector<std::string> before = RegistryLines();
    Restore();
    if (c.expected) {
      ExpectDevice(c.expectedText);
      ASSERT_EQ(1, CallCount("RegSetValueExA"));
      EXPECT_EQ(std::to_string(c.expectedText.size() + 1), sim::CallsTo("RegSetValueExA")[0].args[5]);
    } else {
      EXPECT_EQ(before, RegistryLines()) << "Device keeps naming the removed printer";
      EXPECT_EQ(0, CallCount("RegSetValueExA"));
    }
    EXPECT_EQ(c.entries.size(), sim::ValueNames(kDevicesKey).size()) << "the Devices list is only read";
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(DefaultPrinterTest, RemovalLeavesDeviceWhenTheDevicesListCannotBeRead) {
  struct Case {
    const char *name;
    bool exists;
    REGSAM refused;
  };
  const Case cases[] = {
      {"Devices key missing", false, 0},
      {"Devices key refused", true, KEY_ALL_ACCESS},
      {"reading its values refused", true, KEY_QUERY_VALUE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    sim::SetString(kSettingsKey, "Device", kDefaultDevice);
    if (!c.exists) {
      sim::DeleteKeyTree(kDevicesKey);
    } else {
      AddEntries({SzEntry("Office Laser", "winspool,LPT2:")});
      sim::DenyAccess(kDevicesKey, c.refused);
    }
    std::vector<std::string> before = RegistryLines();
    Restore();
    EXPECT_EQ(before, RegistryLines());
    EXPECT_EQ(0, CallCount("RegSetValueExA"));
    EXPECT_GE(CallIndexWithArg("RegOpenKeyA", 1, Quoted(kDevicesArg)), 0) << "the list was tried";
    EXPECT_EQ("", OpenHandlesText());
  }
}

// ---------------------------------------------------------------- through the exports

TEST(DefaultPrinterExports, InstallMakesThePrinterTheDefaultAndRemovalHandsItBack) {
  const sim::Os systems[] = {sim::Os::Nt40, sim::Os::Win2000, sim::Os::WinXP};
  for (sim::Os os : systems) {
    SCOPED_TRACE(sim::OsName(os));
    sim::BuildDefaultMachine(os);
    Library nt(NtLibraryPath());
    EXPECT_EQ(1, nt.CreatePrinter());
    ExpectDevice(kDefaultDevice);
    EXPECT_EQ(0, nt.UninstallPrinter());
    ExpectDevice(kOtherDevice);
    EXPECT_EQ("", OpenHandlesText());
  }
}

// Copies of the queue that outlive the removal are printers the default may
// go to. On NT 4.0 nothing removes them; from Windows 2000 on the sweep
// deletes them, with their "Devices" entries, before the default is handed on.
TEST(DefaultPrinterExports, RemovalHandsTheDefaultToASurvivingCopy) {
  const char kCopy[] = "Norvale TX-5400 Series (Copy 1)";
  const std::string copyDevice = std::string(kCopy) + ",winspool,LPT1:";
  enum Devices { OtherThenCopy, CopyThenOther, CopyAlone, RemovedAlone };
  struct Case {
    sim::Os os;
    Devices devices;
    const char *name;
    std::string expected;  // empty: Device keeps naming the removed printer
  };
  const Case cases[] = {
      {sim::Os::Nt40, OtherThenCopy, "another printer, then a copy", copyDevice},
      {sim::Os::Nt40, CopyThenOther, "a copy, then another printer", kOtherDevice},
      {sim::Os::Nt40, CopyAlone, "a copy alone", copyDevice},
      {sim::Os::Nt40, RemovedAlone, "the removed printer alone, still listed", ""},
      {sim::Os::WinXP, OtherThenCopy, "another printer, then a copy", kOtherDevice},
      {sim::Os::WinXP, CopyThenOther, "a copy, then another printer", kOtherDevice},
      {sim::Os::WinXP, CopyAlone, "a copy alone", ""},
      {sim::Os::WinXP, RemovedAlone, "the removed printer alone, still listed", ""},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + sim::OsName(c.os) + ", " + c.name);
    sim::BuildDefaultMachine(c.os);
    Library nt(NtLibraryPath());
    EXPECT_EQ(1, nt.CreatePrinter());
    ExpectDevice(kDefaultDevice);
    // The list now holds "Office Laser", then the new queue.
    if (c.devices != RemovedAlone) {
      std::optional<sim::Queue> copy = sim::FindQueue(kPrinter);
      ASSERT_TRUE(copy.has_value());
      copy->name = kCopy;
      sim::AddQueue(*copy);
    }
    if (c.devices == CopyThenOther) {
      // The other printer's entry moves behind the copy's.
      std::optional<sim::Value> other = sim::GetValue(kDevicesKey, "Office Laser");
      ASSERT_TRUE(other.has_value());
      sim::DeleteValue(kDevicesKey, "Office Laser");
      sim::SetValue(kDevicesKey, "Office Laser", other->type, other->data);
    }
    if (c.devices == CopyAlone || c.devices == RemovedAlone) sim::DeleteValue(kDevicesKey, "Office Laser");
    // A queue the spooler has not finished deleting keeps its entry.
    if (c.devices == RemovedAlone) sim::FailCall("DeletePrinter", 1, ERROR_ACCESS_DENIED, true);

    sim::ClearTrace();
    EXPECT_EQ(0, nt.UninstallPrinter());
    ExpectDevice(c.expected.empty() ? std::string(kDefaultDevice) : c.expected);
    int deviceWrites = 0;
    for (const sim::Call &call : sim::CallsTo("RegSetValueExA")) deviceWrites += call.args.at(1) == Quoted("Device");
    EXPECT_EQ(c.expected.empty() ? 0 : 1, deviceWrites);
    if (c.devices == RemovedAlone) {
      EXPECT_EQ(std::vector<std::string>{kPrinter}, sim::ValueNames(kDevicesKey)) << "still listed";
    } else {
      EXPECT_EQ(c.os == sim::Os::Nt40, sim::FindQueue(kCopy).has_value()) << "the copy stays on NT 4.0 only";
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(DefaultPrinterExports, RemovalLeavesAnotherDefaultPrinterAlone) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  nt.CreatePrinter();
  sim::SetString(kSettingsKey, "Device", "Draft Jet,winspool,LPT3:");
  sim::ClearTrace();
  nt.UninstallPrinter();
  ExpectDevice("Draft Jet,winspool,LPT3:");
  EXPECT_EQ(-1, CallIndexWithArg("RegSetValueExA", 1, Quoted("Device")));
  EXPECT_EQ("", OpenHandlesText());
}
