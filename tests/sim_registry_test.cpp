// The simulated registry: the advapi32 functions as the libraries call them,
// and the machine functions the other tests build and read the registry with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "internal.h"
#include "sim.h"

namespace {

const HKEY kBadKey = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xDEAD0));
const HKEY kSentinel = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x5EAF0));

HKEY OpenOrNull(HKEY root, const char *path) {
  HKEY key = kSentinel;
  LONG rc = RegOpenKeyA(root, path, &key);
  EXPECT_EQ(ERROR_SUCCESS, rc) << path;
  return rc == ERROR_SUCCESS ? key : NULL;
}

// Every subkey name RegEnumKeyA gives from index 0 up; *last gets the result
// that ended the loop.
std::vector<std::string> EnumKeys(HKEY key, LONG *last) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    LONG rc = RegEnumKeyA(key, i, name, sizeof name);
    if (rc != ERROR_SUCCESS) {
      *last = rc;
      return names;
    }
    names.push_back(name);
  }
}

std::string Bytes(const char *s, size_t n) { return std::string(s, n); }

class SimRegistry : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

// ---------------------------------------------------------------- names and paths

TEST_F(SimRegistry, NamesCompareWithoutCaseAndKeepTheirSpelling) {
  sim::CreateKey("HKLM\\Software\\Norvale\\Tx5400");
  const char *spellings[] = {
      "Software\\Norvale\\Tx5400",   "SOFTWARE\\NORVALE\\TX5400",     "software\\norvale\\tx5400\\",
      "sOfTwArE\\nOrVaLe\\tX5400\\\\",
  };
  for (const char *path : spellings) {
    SCOPED_TRACE(path);
    HKEY key = kSentinel;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key));
    std::string expected = std::string("HKLM\\") + path;
    while (expected.back() == '\\') expected.pop_back();
    EXPECT_EQ(expected, sim::detail::Key(key));
    ASSERT_EQ(std::vector<std::string>{expected}, sim::OpenHandles());
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

    // Creating under another spelling opens the same key.
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(std::vector<std::string>{"Tx5400"}, sim::SubkeyNames("HKLM\\software\\NORVALE"));
    EXPECT_EQ(std::vector<std::string>{"Norvale"}, sim::SubkeyNames("HKEY_LOCAL_MACHINE\\SOFTWARE"));
  }
  EXPECT_TRUE(sim::KeyExists("hklm\\software\\norvale\\TX5400\\"));
  EXPECT_TRUE(sim::KeyExists("HKEY_LOCAL_MACHINE\\Software\\Norvale"));
  EXPECT_FALSE(sim::KeyExists("HKCU\\Software\\Norvale"));

  bool dumped = false;
  for (const sim::RegKeyDump &d : sim::DumpRegistry()) dumped |= d.path == "HKLM\\Software\\Norvale\\Tx5400";
  EXPECT_TRUE(dumped);
}

TEST_F(SimRegistry, ValueNamesCompareWithoutCase) {
  sim::SetString("HKCU\\Printers", "DeviceOld", "Old,winspool,LPT1:");
  sim::SetDword("HKCU\\Printers", "Other", 7);
  HKEY key = OpenOrNull(HKEY_CURRENT_USER, "PRINTERS\\");
  ASSERT_NE(nullptr, key);

  char data[64];
  DWORD size = sizeof data, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "DEVICEOLD", NULL, &type, reinterpret_cast<BYTE *>(data), &size));
  EXPECT_EQ(19u, size);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);

  // Written again under another spelling: the first spelling and place stay.
  const char text[] = "New";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "deviceold", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), 4));
  EXPECT_EQ((std::vector<std::string>{"DeviceOld", "Other"}), sim::ValueNames("HKCU\\Printers"));
  EXPECT_EQ("New", sim::GetString("HKCU\\printers", "DEVICEOLD").value_or("?"));

  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "DEVICEOLD"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "DeviceOld"));
  EXPECT_EQ(std::vector<std::string>{"Other"}, sim::ValueNames("HKCU\\Printers"));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST_F(SimRegistry, OpenFailuresLeaveANullHandle) {
  sim::CreateKey("HKLM\\Software\\There");
  struct Case {
    const char *name;
    HKEY root;
    const char *path;
    LONG expected;
  } cases[] = {
      {"missing key", HKEY_LOCAL_MACHINE, "Software\\NotThere", ERROR_FILE_NOT_FOUND},
      {"missing parent", HKEY_LOCAL_MACHINE, "Nowhere\\There", ERROR_FILE_NOT_FOUND},
      {"other root", HKEY_USERS, "Software\\There", ERROR_FILE_NOT_FOUND},
      {"unknown handle", kBadKey, "Software", ERROR_INVALID_HANDLE},
      {"null handle", NULL, "Software", ERROR_INVALID_HANDLE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HKEY key = kSentinel;
    EXPECT_EQ(c.expected, RegOpenKeyA(c.root, c.path, &key));
    EXPECT_EQ(nullptr, key);
    key = kSentinel;
    EXPECT_EQ(c.expected, RegOpenKeyExA(c.root, c.path, 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(nullptr, key);
  }
  HKEY key = kSentinel;
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCreateKeyA(kBadKey, "X", &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software", NULL));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\New", NULL));
  EXPECT_FALSE(sim::KeyExists("HKLM\\Software\\New"));
  EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(SimRegistry, CreateMakesEveryMissingKeyAndOpensExistingOnes) {
  HKEY key = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\A\\B\\C\\", &key));
  EXPECT_EQ("HKLM\\Software\\A\\B\\C", sim::detail::Key(key));
  EXPECT_TRUE(sim::KeyExists("HKLM\\Software\\A\\B\\C"));
  HKEY sub = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(key, "Device Parameters", &sub));
  EXPECT_EQ("HKLM\\Software\\A\\B\\C\\Device Parameters", sim::detail::Key(sub));
  HKEY again = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\a\\b\\c\\device parameters", &again));
  EXPECT_NE(sub, again);
  EXPECT_EQ(std::vector<std::string>{"Device Parameters"}, sim::SubkeyNames("HKLM\\Software\\A\\B\\C"));
  EXPECT_EQ(3u, sim::OpenHandles().size());
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(again));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(sub));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST_F(SimRegistry, SetupPathsNeedARoot) {
  EXPECT_THROW(sim::CreateKey("Software\\X"), std::invalid_argument);
  EXPECT_THROW(sim::KeyExists("HKXX\\Software"), std::invalid_argument);
  EXPECT_THROW(sim::SetString("", "a", "b"), std::invalid_argument);
  EXPECT_THROW(sim::DeleteKeyTree("HKLM"), std::invalid_argument);
  EXPECT_TRUE(sim::KeyExists("HKEY_CLASSES_ROOT"));
  EXPECT_TRUE(sim::KeyExists("hku"));
}

// ---------------------------------------------------------------- enumeration order

TEST_F(SimRegistry, SubkeysEnumerateSortedOnNtAndInCreationOrderOn9x) {
  const char *created[] = {"beta", "Alpha", "_under", "gamma", "Delta"};
  const std::vector<std::string> sorted = {"Alpha", "beta", "Delta", "gamma", "_under"};
  const std::vector<std::string> creation = {"beta", "Alpha", "_under", "gamma", "Delta"};
  struct Case {
    sim::Os os;
    int override_;  // -1: as the system does; 0/1: SetSortedEnumeration
    const std::vector<std::string> *expected;
  } cases[] = {
      {sim::Os::Nt40, -1, &sorted},     {sim::Os::Win2000, -1, &sorted}, {sim::Os::WinXP, -1, &sorted},
      {sim::Os::Win95, -1, &creation},  {sim::Os::Win98, -1, &creation}, {sim::Os::WinMe, -1, &creation},
      {sim::Os::WinXP, 0, &creation},   {sim::Os::Win98, 1, &sorted},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(sim::OsName(c.os)) + " override " + std::to_string(c.override_));
    sim::Reset(c.os);
    if (c.override_ >= 0) sim::SetSortedEnumeration(c.override_ == 1);
    HKEY parent = kSentinel;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Order", &parent));
    for (const char *name : created) {
      HKEY child = kSentinel;
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(parent, name, &child));
      RegCloseKey(child);
    }
    LONG last = 0;
    EXPECT_EQ(*c.expected, EnumKeys(parent, &last));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, last);
    EXPECT_EQ(*c.expected, sim::SubkeyNames("HKLM\\Software\\Order"));
    char name[16];
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(parent, 1000, name, sizeof name));
    RegCloseKey(parent);
  }
}

TEST_F(SimRegistry, EnumerationFollowsDeletions) {
  // A deleted key's place is taken by the next one (the sweep skips it).
  sim::Reset(sim::Os::Win98);
  for (const char *n : {"one", "two", "three"}) sim::CreateKey(std::string("HKLM\\Q\\") + n);
  HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Q");
  char name[32];
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(key, 0, name, sizeof name));
  EXPECT_STREQ("one", name);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, name));
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(key, 1, name, sizeof name));
  EXPECT_STREQ("three", name);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(key, 2, name, sizeof name));
  // Recreated, a key goes to the end of the creation order.
  sim::CreateKey("HKLM\\Q\\ONE");
  EXPECT_EQ((std::vector<std::string>{"two", "three", "ONE"}), sim::SubkeyNames("HKLM\\Q"));
  RegCloseKey(key);
}

// ---------------------------------------------------------------- deletion

TEST_F(SimRegistry, DeleteKeyRemovesOnlyLeavesOnNtAndWholeTreesOn9x) {
  struct Case {
    sim::Os os;
    bool subtree;
  } cases[] = {{sim::Os::Nt40, false}, {sim::Os::Win2000, false}, {sim::Os::WinXP, false},
               {sim::Os::Win95, true}, {sim::Os::Win98, true},     {sim::Os::WinMe, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(sim::OsName(c.os));
    sim::Reset(c.os);
    sim::CreateKey("HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B\\BIOS&PNP0400&0\\Deeper");
    sim::CreateKey("HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B\\ACPI&PNP0401&1");
    sim::SetString("HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B\\ACPI&PNP0401&1", "Class", "PRINTER");
    sim::CreateKey("HKLM\\Enum\\LPTENUM\\Leaf");
    HKEY lptenum = OpenOrNull(HKEY_LOCAL_MACHINE, "Enum\\LPTENUM");
    ASSERT_NE(nullptr, lptenum);

    EXPECT_EQ(c.subtree ? ERROR_SUCCESS : ERROR_ACCESS_DENIED, RegDeleteKeyA(lptenum, "NorvaleTX-5400C83B"));
    EXPECT_EQ(!c.subtree, sim::KeyExists("HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B\\BIOS&PNP0400&0\\Deeper"));
    EXPECT_EQ(!c.subtree, sim::KeyExists("HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B\\ACPI&PNP0401&1"));
    EXPECT_EQ(!c.subtree, sim::KeyExists("HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B"));

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(lptenum, "leaf"));
    EXPECT_FALSE(sim::KeyExists("HKLM\\Enum\\LPTENUM\\Leaf"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(lptenum, "Leaf"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(lptenum, "Missing\\Below"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(lptenum, NULL));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteKeyA(kBadKey, "Leaf"));

    if (!c.subtree) {
      // Children first, then the parent, as the NT library does it.
      EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(lptenum, "NorvaleTX-5400C83B\\BIOS&PNP0400&0\\Deeper\\"));
      EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(lptenum, "NorvaleTX-5400C83B\\BIOS&PNP0400&0"));
      EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(lptenum, "NorvaleTX-5400C83B\\ACPI&PNP0401&1"));
      EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(lptenum, "NorvaleTX-5400C83B"));
      EXPECT_FALSE(sim::KeyExists("HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B"));
    }
    EXPECT_TRUE(sim::KeyExists("HKLM\\Enum\\LPTENUM"));
    EXPECT_TRUE(sim::SubkeyNames("HKLM\\Enum\\LPTENUM").empty());
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(lptenum));
  }
}

TEST_F(SimRegistry, SubtreeDeleteCanBeSwitched) {
  sim::SetSubtreeDelete(true);
  sim::CreateKey("HKLM\\Software\\P\\C");
  HKEY software = OpenOrNull(HKEY_LOCAL_MACHINE, "Software");
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(software, "P"));
  EXPECT_FALSE(sim::KeyExists("HKLM\\Software\\P"));
  sim::SetSubtreeDelete(false);
  sim::CreateKey("HKLM\\Software\\P\\C");
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(software, "P"));
  EXPECT_TRUE(sim::KeyExists("HKLM\\Software\\P\\C"));
  RegCloseKey(software);
}

TEST_F(SimRegistry, EmptyNameDeletesTheOpenKeyItselfButNoRoot) {
  sim::CreateKey("HKLM\\Software\\Self");
  HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software\\Self");
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, ""));
  EXPECT_FALSE(sim::KeyExists("HKLM\\Software\\Self"));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""));
  EXPECT_TRUE(sim::KeyExists("HKLM\\Software"));
}

TEST_F(SimRegistry, HandleOfADeletedKeyAnswersKeyDeletedUntilClosed) {
  sim::CreateKey("HKLM\\Software\\Gone\\Child");
  sim::SetString("HKLM\\Software\\Gone", "V", "x");
  HKEY gone = OpenOrNull(HKEY_LOCAL_MACHINE, "Software\\Gone");
  HKEY child = OpenOrNull(HKEY_LOCAL_MACHINE, "Software\\Gone\\Child");
  sim::DeleteKeyTree("HKLM\\Software\\Gone");
  // The same name made anew is another key: the old handles stay dead.
  sim::CreateKey("HKLM\\Software\\Gone");

  for (HKEY key : {gone, child}) {
    SCOPED_TRACE(sim::detail::Key(key));
    char buf[16];
    DWORD size = sizeof buf, cch = sizeof buf;
    HKEY sub = kSentinel;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(key, "V", NULL, NULL, reinterpret_cast<BYTE *>(buf), &size));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(key, "V", 0, REG_SZ, reinterpret_cast<const BYTE *>("y"), 2));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyA(key, 0, buf, sizeof buf));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumValueA(key, 0, buf, &cch, NULL, NULL, NULL, NULL));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL));
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyA(key, "New", &sub));
    EXPECT_EQ(nullptr, sub);
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteValueA(key, "V"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteKeyA(key, "Child"));
  }
  EXPECT_TRUE(sim::SubkeyNames("HKLM\\Software\\Gone").empty());
  EXPECT_TRUE(sim::ValueNames("HKLM\\Software\\Gone").empty());
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(child));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(gone));
  EXPECT_TRUE(sim::OpenHandles().empty());
}

// ---------------------------------------------------------------- links

TEST_F(SimRegistry, CurrentControlSetIsTheNumberedSetOnNt) {
  EXPECT_EQ((std::vector<std::string>{"ControlSet001", "CurrentControlSet"}), sim::SubkeyNames("HKLM\\SYSTEM"));
  HKEY printers = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\", &printers));
  EXPECT_EQ("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers", sim::detail::Key(printers));
  EXPECT_TRUE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet001\\Control\\Print\\Printers"));

  sim::SetString("HKLM\\SYSTEM\\Controlset001\\control\\print\\printers\\Office Laser", "Port", "LPT2:");
  LONG last = 0;
  EXPECT_EQ(std::vector<std::string>{"Office Laser"}, EnumKeys(printers, &last));
  HKEY office = OpenOrNull(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlset\\control\\print\\printers\\Office Laser");
  char data[16];
  DWORD size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(office, "Port", NULL, NULL, reinterpret_cast<BYTE *>(data), &size));
  EXPECT_EQ(Bytes("LPT2:", 6), Bytes(data, size));

  // What is written through the link lands in the numbered set.
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(office, "Share", 0, REG_SZ, reinterpret_cast<const BYTE *>("S"), 2));
  EXPECT_EQ("S", sim::GetString("HKLM\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\Office Laser", "Share"));
  RegCloseKey(office);

  // Deleted through the numbered set, the current set finds nothing more.
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(printers, "Office Laser"));
  EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\Office Laser"));
  sim::CreateKey("HKLM\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\Second");
  HKEY numbered = OpenOrNull(HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset001\\control\\print\\printers\\");
  HKEY current = OpenOrNull(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlset\\control\\print\\printers\\");
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(numbered, "Second"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(current, "Second"));
  RegCloseKey(numbered);
  RegCloseKey(current);
  RegCloseKey(printers);

  // The dump holds the keys under their real path only.
  bool real = false;
  for (const sim::RegKeyDump &d : sim::DumpRegistry()) {
    EXPECT_NE(0u, d.path.find("HKLM\\SYSTEM\\CurrentControlSet")) << d.path;
    real |= d.path == "HKLM\\SYSTEM\\ControlSet001\\Control\\Print\\Printers";
  }
  EXPECT_TRUE(real);
}

TEST_F(SimRegistry, RemovingTheLinkLeavesItsTarget) {
  sim::CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print");
  struct Case {
    const char *name;
    std::function<void()> remove;
  } cases[] = {
      {"DeleteKeyTree", [] { sim::DeleteKeyTree("HKLM\\SYSTEM\\currentcontrolset"); }},
      {"RegDeleteKeyA",
       [] {
         HKEY system = OpenOrNull(HKEY_LOCAL_MACHINE, "SYSTEM");
         EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(system, "CurrentControlSet"));
         RegCloseKey(system);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::WinXP);
    sim::CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print");
    HKEY control = OpenOrNull(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control");
    c.remove();
    EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet"));
    EXPECT_TRUE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet001\\Control\\Print"));
    EXPECT_EQ(std::vector<std::string>{"ControlSet001"}, sim::SubkeyNames("HKLM\\SYSTEM"));
    // A key opened through the link is the numbered set's key and lives on.
    LONG last = 0;
    EXPECT_EQ(std::vector<std::string>{"Print"}, EnumKeys(control, &last));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, last);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(control));
  }
}

TEST_F(SimRegistry, LinksCanBeRetargetedAndBroken) {
  sim::CreateKey("HKLM\\SYSTEM\\ControlSet001\\Only1");
  sim::CreateKey("HKLM\\SYSTEM\\ControlSet002\\Only2");
  sim::LinkKey("HKLM\\SYSTEM\\CurrentControlSet", "HKLM\\SYSTEM\\ControlSet002");
  EXPECT_TRUE(sim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Only2"));
  EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Only1"));
  EXPECT_EQ((std::vector<std::string>{"ControlSet001", "ControlSet002", "CurrentControlSet"}),
            sim::SubkeyNames("HKLM\\SYSTEM"));

  // A missing target: nothing opens or is created through the link.
  sim::DeleteKeyTree("HKLM\\SYSTEM\\ControlSet002");
  HKEY key = kSentinel;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\X", &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet002"));
  // The machine functions make the target again.
  sim::CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Y");
  EXPECT_TRUE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet002\\Y"));

  // An empty target: a plain key of its own.
  sim::LinkKey("HKLM\\SYSTEM\\CurrentControlSet", "");
  EXPECT_TRUE(sim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet"));
  EXPECT_TRUE(sim::SubkeyNames("HKLM\\SYSTEM\\CurrentControlSet").empty());
  sim::CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Z");
  EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet002\\Z"));

  // A link to itself resolves to nothing, without hanging.
  sim::LinkKey("HKLM\\Software\\Loop", "HKLM\\Software\\Other");
  sim::LinkKey("HKLM\\Software\\Other", "HKLM\\Software\\Loop");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Loop\\X", &key));
  EXPECT_FALSE(sim::KeyExists("HKLM\\Software\\Loop"));
  EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(SimRegistry, NineXHasPlainControlSetAndEnum) {
  for (sim::Os os : {sim::Os::Win95, sim::Os::Win98, sim::Os::WinMe}) {
    SCOPED_TRACE(sim::OsName(os));
    sim::Reset(os);
    EXPECT_TRUE(sim::KeyExists("HKLM\\Enum"));
    EXPECT_TRUE(sim::KeyExists("HKLM\\ENUM"));
    EXPECT_TRUE(sim::KeyExists("HKLM\\System\\CurrentControlSet"));
    EXPECT_FALSE(sim::KeyExists("HKLM\\System\\ControlSet001"));
    sim::CreateKey("HKLM\\System\\CurrentControlSet\\Services\\Norvale");
    std::vector<std::string> paths;
    for (const sim::RegKeyDump &d : sim::DumpRegistry()) {
      EXPECT_EQ(std::string::npos, sim::detail::Upper(d.path).find("CONTROLSET00")) << d.path;
      paths.push_back(d.path);
    }
    auto at = [&](const std::string &p) { return std::find(paths.begin(), paths.end(), p) - paths.begin(); };
    EXPECT_LT(at("HKLM\\Enum"), static_cast<long>(paths.size()));
    EXPECT_LT(at("HKLM\\System\\CurrentControlSet"), at("HKLM\\System\\CurrentControlSet\\Services"));
    EXPECT_LT(at("HKLM\\System\\CurrentControlSet\\Services"),
              at("HKLM\\System\\CurrentControlSet\\Services\\Norvale"));
    EXPECT_LT(at("HKLM\\System\\CurrentControlSet\\Services\\Norvale"), static_cast<long>(paths.size()));
  }
}

// ---------------------------------------------------------------- access rights

TEST_F(SimRegistry, RefusedRightsFailTheOpenOrTheOperation) {
  // The key under test: HKLM\Software\T, a leaf with the value "V".
  auto openA = [](HKEY *key) { return RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\T", key); };
  auto openEx = [](REGSAM sam) {
    HKEY key = kSentinel;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\T", 0, sam, &key);
    if (rc == ERROR_SUCCESS) {
      RegCloseKey(key);
    } else {
      EXPECT_EQ(nullptr, key);
    }
    return rc;
  };
  // Runs op on a key opened with RegOpenKeyA (which must succeed).
  auto onKey = [openA](const std::function<LONG(HKEY)> &op) {
    HKEY key = kSentinel;
    EXPECT_EQ(ERROR_SUCCESS, openA(&key));
    LONG rc = op(key);
    RegCloseKey(key);
    return rc;
  };
  auto query = [](HKEY key) {
    char buf[8];
    DWORD size = sizeof buf;
    return RegQueryValueExA(key, "V", NULL, NULL, reinterpret_cast<BYTE *>(buf), &size);
  };
  auto set = [](HKEY key) { return RegSetValueExA(key, "W", 0, REG_SZ, reinterpret_cast<const BYTE *>("w"), 2); };
  auto deleteT = [] {
    HKEY software = OpenOrNull(HKEY_LOCAL_MACHINE, "Software");
    LONG rc = RegDeleteKeyA(software, "T");
    RegCloseKey(software);
    return rc;
  };
  auto exists = [] { return sim::KeyExists("HKLM\\Software\\T"); };
  auto created = [] { return sim::KeyExists("HKLM\\Software\\T\\New"); };

  struct Case {
    const char *name;
    REGSAM refused;
    std::function<LONG()> op;
    LONG expected;
    std::function<bool()> after;  // must hold afterwards
  } cases[] = {
      {"nothing refused: open all", 0, [&] { return openEx(KEY_ALL_ACCESS); }, ERROR_SUCCESS, exists},
      {"nothing refused: delete", 0, deleteT, ERROR_SUCCESS, [&] { return !exists(); }},
      {"query refused: open for query", KEY_QUERY_VALUE, [&] { return openEx(KEY_QUERY_VALUE); },
       ERROR_ACCESS_DENIED, exists},
      {"query refused: open all", KEY_QUERY_VALUE, [&] { return openEx(KEY_ALL_ACCESS); }, ERROR_ACCESS_DENIED,
       exists},
      {"query refused: open for set", KEY_QUERY_VALUE, [&] { return openEx(KEY_SET_VALUE); }, ERROR_SUCCESS, exists},
      {"query refused: generic read", KEY_QUERY_VALUE, [&] { return openEx(0x80000000u); }, ERROR_ACCESS_DENIED,
       exists},
      {"query refused: RegOpenKeyA, query", KEY_QUERY_VALUE, [&] { return onKey(query); }, ERROR_ACCESS_DENIED,
       exists},
      {"query refused: RegOpenKeyA, enum values", KEY_QUERY_VALUE,
       [&] {
         return onKey([](HKEY key) {
           char name[8];
           DWORD cch = sizeof name;
           return RegEnumValueA(key, 0, name, &cch, NULL, NULL, NULL, NULL);
         });
       },
       ERROR_ACCESS_DENIED, exists},
      {"query refused: RegOpenKeyA, info", KEY_QUERY_VALUE,
       [&] {
         return onKey([](HKEY key) {
           DWORD values = 99;
           return RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
         });
       },
       ERROR_ACCESS_DENIED, exists},
      {"query refused: RegOpenKeyA, set", KEY_QUERY_VALUE, [&] { return onKey(set); }, ERROR_SUCCESS,
       [] { return sim::GetString("HKLM\\Software\\T", "W") == std::string("w"); }},
      {"all refused: RegOpenKeyA", KEY_ALL_ACCESS,
       [&] {
         HKEY key = kSentinel;
         LONG rc = openA(&key);
         EXPECT_EQ(nullptr, key);
         return rc;
       },
       ERROR_ACCESS_DENIED, exists},
      {"all refused: maximum allowed", KEY_ALL_ACCESS, [&] { return openEx(MAXIMUM_ALLOWED); }, ERROR_ACCESS_DENIED,
       exists},
      {"all refused: create existing", KEY_ALL_ACCESS,
       [] {
         HKEY key = kSentinel;
         LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\T", &key);
         EXPECT_EQ(nullptr, key);
         return rc;
       },
       ERROR_ACCESS_DENIED, exists},
      {"all refused: delete", KEY_ALL_ACCESS, deleteT, ERROR_ACCESS_DENIED, exists},
      {"delete refused: RegDeleteKeyA", DELETE, deleteT, ERROR_ACCESS_DENIED, exists},
      {"delete refused: open all", DELETE, [&] { return openEx(KEY_ALL_ACCESS); }, ERROR_ACCESS_DENIED, exists},
      {"delete refused: RegOpenKeyA, query", DELETE, [&] { return onKey(query); }, ERROR_SUCCESS, exists},
      {"enumerate refused: RegOpenKeyA, enum keys", KEY_ENUMERATE_SUB_KEYS,
       [&] {
         return onKey([](HKEY key) {
           char name[8];
           return RegEnumKeyA(key, 0, name, sizeof name);
         });
       },
       ERROR_ACCESS_DENIED, exists},
      {"nothing refused: enum keys of a leaf", 0,
       [&] {
         return onKey([](HKEY key) {
           char name[8];
           return RegEnumKeyA(key, 0, name, sizeof name);
         });
       },
       ERROR_NO_MORE_ITEMS, exists},
      {"create refused: through the handle", KEY_CREATE_SUB_KEY,
       [&] {
         return onKey([](HKEY key) {
           HKEY sub = kSentinel;
           LONG rc = RegCreateKeyA(key, "New", &sub);
           EXPECT_EQ(nullptr, sub);
           return rc;
         });
       },
       ERROR_ACCESS_DENIED, [&] { return !created(); }},
      {"create refused: below the handle", KEY_CREATE_SUB_KEY,
       [] {
         HKEY sub = kSentinel;
         return RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\T\\New\\Deeper", &sub);
       },
       ERROR_ACCESS_DENIED, [&] { return !created(); }},
      {"set refused: set", KEY_SET_VALUE, [&] { return onKey(set); }, ERROR_ACCESS_DENIED,
       [] { return sim::ValueNames("HKLM\\Software\\T") == std::vector<std::string>{"V"}; }},
      {"set refused: delete value", KEY_SET_VALUE, [&] { return onKey([](HKEY k) { return RegDeleteValueA(k, "V"); }); },
       ERROR_ACCESS_DENIED, [] { return sim::GetValue("HKLM\\Software\\T", "V").has_value(); }},
      {"opened for query only: set", 0,
       [&] {
         HKEY key = kSentinel;
         EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\T", 0, KEY_QUERY_VALUE, &key));
         LONG rc = set(key);
         EXPECT_EQ(ERROR_SUCCESS, query(key));
         RegCloseKey(key);
         return rc;
       },
       ERROR_ACCESS_DENIED, [] { return !sim::GetValue("HKLM\\Software\\T", "W").has_value(); }},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::Reset();
    sim::SetString("HKLM\\Software\\T", "V", "v");
    sim::DenyAccess("HKLM\\Software\\T", c.refused);
    EXPECT_EQ(c.expected, c.op());
    EXPECT_TRUE(c.after());
    EXPECT_TRUE(sim::OpenHandles().empty());
  }
}

TEST_F(SimRegistry, RefusalsAreNotInheritedAndRootsHaveAllRights) {
  sim::CreateKey("HKLM\\Software\\Locked\\Open");
  sim::DenyAccess("HKLM\\Software\\Locked", KEY_ALL_ACCESS);
  HKEY key = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked\\Open", 0, KEY_ALL_ACCESS, &key));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Locked", &key));
  // Lifted again.
  sim::DenyAccess("HKLM\\Software\\Locked", 0);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Locked", 0, KEY_ALL_ACCESS, &key));
  RegCloseKey(key);

  char name[16];
  EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(HKEY_LOCAL_MACHINE, 0, name, sizeof name));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(HKEY_CURRENT_USER, "R", 0, REG_DWORD,
                                          reinterpret_cast<const BYTE *>("\1\0\0\0"), 4));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, NULL, 0, KEY_ALL_ACCESS, &key));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, key);
  EXPECT_TRUE(sim::OpenHandles().empty());
}

// ---------------------------------------------------------------- buffer sizes

TEST_F(SimRegistry, QueryValueFitsExactlyOrAnswersMoreData) {
  struct Case {
    DWORD stored;
    DWORD capacity;
    LONG expected;
  } cases[] = {
      {1, 1, ERROR_SUCCESS},     {1, 0, ERROR_MORE_DATA},     {38, 38, ERROR_SUCCESS},  {38, 37, ERROR_MORE_DATA},
      {38, 255, ERROR_SUCCESS},  {255, 255, ERROR_SUCCESS},   {256, 255, ERROR_MORE_DATA},
      {0, 0, ERROR_SUCCESS},     {0, 10, ERROR_SUCCESS},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + std::to_string(c.stored) + " bytes in " +
                 std::to_string(c.capacity));
    sim::Reset();
    std::string data;
    for (DWORD b = 0; b < c.stored; ++b) data += static_cast<char>('A' + b % 26);
    sim::SetValue("HKLM\\Enum\\BIOS\\PNP0400\\0", "PORTNAME", REG_BINARY, data);
    HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Enum\\BIOS\\PNP0400\\0");

    unsigned char buf[300];
    std::memset(buf, 0xCC, sizeof buf);
    DWORD size = c.capacity, type = 99;
    EXPECT_EQ(c.expected, RegQueryValueExA(key, "PortName", NULL, &type, buf, &size));
    EXPECT_EQ(c.stored, size);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    size_t written = c.expected == ERROR_SUCCESS ? c.stored : 0;
    EXPECT_EQ(data.substr(0, written), Bytes(reinterpret_cast<char *>(buf), written));
    for (size_t b = written; b < sizeof buf; ++b) ASSERT_EQ(0xCC, buf[b]) << "byte " << b;

    // Without a buffer: the size alone.
    size = 1;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "PORTNAME", NULL, NULL, NULL, &size));
    EXPECT_EQ(c.stored, size);
    RegCloseKey(key);
  }
}

TEST_F(SimRegistry, QueryValueArguments) {
  sim::SetString("HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "Device",
                 "Norvale TX-5400 Series,winspool,LPT1:");
  HKEY key = OpenOrNull(HKEY_CURRENT_USER, "Software\\Microsoft\\windows NT\\currentversion\\windows\\");
  char buf[256];
  DWORD size = 255, type = 0, reserved = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Missing", NULL, &type, reinterpret_cast<BYTE *>(buf), &size));
  EXPECT_EQ(255u, size);
  EXPECT_EQ(0u, type);
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegQueryValueExA(key, "Device", &reserved, &type, reinterpret_cast<BYTE *>(buf), &size));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(key, "Device", NULL, &type, reinterpret_cast<BYTE *>(buf), NULL));
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Device", NULL, &type, NULL, NULL));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Device", NULL, NULL, reinterpret_cast<BYTE *>(buf), &size));
  EXPECT_EQ(38u, size);
  EXPECT_STREQ("Norvale TX-5400 Series,winspool,LPT1:", buf);

  // The default value has the empty name; NULL means it too.
  sim::SetString("HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "", "dflt");
  size = 255;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, NULL, NULL, NULL, reinterpret_cast<BYTE *>(buf), &size));
  EXPECT_EQ(Bytes("dflt", 5), Bytes(buf, size));
  RegCloseKey(key);
}

TEST_F(SimRegistry, EnumKeyNeedsRoomForTheNameAndItsNul) {
  struct Case {
    size_t length;
    DWORD capacity;
    LONG expected;
  } cases[] = {
      {98, 100, ERROR_SUCCESS}, {99, 100, ERROR_SUCCESS}, {100, 100, ERROR_MORE_DATA}, {101, 100, ERROR_MORE_DATA},
      {254, 255, ERROR_SUCCESS}, {255, 255, ERROR_MORE_DATA}, {1, 1, ERROR_MORE_DATA}, {1, 2, ERROR_SUCCESS},
      {1000, 1001, ERROR_SUCCESS},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + std::to_string(c.length) + " chars in " +
                 std::to_string(c.capacity));
    sim::Reset();
    std::string name(c.length, 'k');
    sim::CreateKey("HKLM\\Enum\\BIOS\\" + name);
    HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "ENUM\\BIOS");
    std::vector<char> buf(1100, '\x7f');
    EXPECT_EQ(c.expected, RegEnumKeyA(key, 0, buf.data(), c.capacity));
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_EQ(name, std::string(buf.data()));
      for (size_t b = c.length + 1; b < buf.size(); ++b) ASSERT_EQ('\x7f', buf[b]) << "byte " << b;
    } else {
      for (size_t b = 0; b < buf.size(); ++b) ASSERT_EQ('\x7f', buf[b]) << "byte " << b;
    }
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(key, 1, buf.data(), c.capacity));
    RegCloseKey(key);
  }
}

TEST_F(SimRegistry, EnumValueNeedsRoomForNameAndData) {
  struct Case {
    size_t nameLength;
    size_t dataLength;
    LONG expected;
  } cases[] = {
      {99, 100, ERROR_SUCCESS}, {100, 1, ERROR_MORE_DATA},  {1, 101, ERROR_MORE_DATA},
      {0, 0, ERROR_SUCCESS},    {22, 15, ERROR_SUCCESS},    {150, 150, ERROR_MORE_DATA},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": name " + std::to_string(c.nameLength) + ", data " +
                 std::to_string(c.dataLength));
    sim::Reset();
    std::string name(c.nameLength, 'n'), data(c.dataLength, 'd');
    sim::SetValue("HKCU\\Devices", name, REG_SZ, data);
    HKEY key = OpenOrNull(HKEY_CURRENT_USER, "Devices");
    char nameBuf[300], dataBuf[300];
    std::memset(nameBuf, 0x7f, sizeof nameBuf);
    std::memset(dataBuf, 0x7f, sizeof dataBuf);
    DWORD cch = 100, cb = 100, type = 99;
    EXPECT_EQ(c.expected,
              RegEnumValueA(key, 0, nameBuf, &cch, NULL, &type, reinterpret_cast<BYTE *>(dataBuf), &cb));
    size_t nameWritten = 0, dataWritten = 0;
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_EQ(c.nameLength, cch);
      EXPECT_EQ(c.dataLength, cb);
      EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
      EXPECT_EQ(name, std::string(nameBuf));
      EXPECT_EQ(data, Bytes(dataBuf, c.dataLength));
      nameWritten = c.nameLength + 1;
      dataWritten = c.dataLength;
    } else {
      EXPECT_EQ(99u, type);
    }
    for (size_t b = nameWritten; b < sizeof nameBuf; ++b) ASSERT_EQ('\x7f', nameBuf[b]) << "name byte " << b;
    for (size_t b = dataWritten; b < sizeof dataBuf; ++b) ASSERT_EQ('\x7f', dataBuf[b]) << "data byte " << b;
    cch = 100;
    cb = 100;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumValueA(key, 1, nameBuf, &cch, NULL, &type, reinterpret_cast<BYTE *>(dataBuf), &cb));
    RegCloseKey(key);
  }
}

TEST_F(SimRegistry, EnumValueGivesTheOrderOfFirstWriting) {
  HKEY key = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows NT\\currentversion\\Devices",
                                         &key));
  const char *order[] = {"Zeta", "alpha", "Mid"};
  for (const char *n : order) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, n, 0, REG_SZ, reinterpret_cast<const BYTE *>("winspool,LPT1:"), 15));
  }
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "ALPHA", 0, REG_BINARY, reinterpret_cast<const BYTE *>("xy"), 2));
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[100], data[100];
    DWORD cch = sizeof name, cb = sizeof data, type = 0;
    LONG rc = RegEnumValueA(key, i, name, &cch, NULL, &type, reinterpret_cast<BYTE *>(data), &cb);
    if (rc != ERROR_SUCCESS) {
      EXPECT_EQ(ERROR_NO_MORE_ITEMS, rc);
      EXPECT_EQ(3u, i);
      break;
    }
    names.push_back(name);
    if (i == 1) {
      EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
      EXPECT_EQ("xy", Bytes(data, cb));
    }
  }
  EXPECT_EQ((std::vector<std::string>{"Zeta", "alpha", "Mid"}), names);
  // Deleted and written again, a value goes to the end.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "zeta"));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Zeta", 0, REG_SZ, reinterpret_cast<const BYTE *>("z"), 2));
  EXPECT_EQ((std::vector<std::string>{"alpha", "Mid", "Zeta"}),
            sim::ValueNames("HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices"));
  RegCloseKey(key);
}

TEST_F(SimRegistry, SetValueStoresExactlyTheGivenBytes) {
  HKEY key = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "Enum\\LPTENUM\\Dev\\Inst", &key));
  struct Case {
    const char *name;
    DWORD type;
    const char *data;
    DWORD size;
  } cases[] = {
      {"Capabilities", REG_BINARY, "\x14\0\0\0", 4},
      {"Class", REG_SZ, "PRINTER", 8},
      {"NoNul", REG_SZ, "PRINTER", 7},
      {"HardwareID", REG_MULTI_SZ, "LPTENUM\\NorvaleTX-5400C83B\0", 28},
      {"Empty", REG_NONE, nullptr, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, c.name, 0, c.type, reinterpret_cast<const BYTE *>(c.data), c.size));
    std::optional<sim::Value> v = sim::GetValue("HKLM\\Enum\\LPTENUM\\Dev\\Inst", c.name);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(c.type, v->type);
    EXPECT_EQ(c.data ? Bytes(c.data, c.size) : std::string(), v->data);
  }
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "Bad", 1, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, "Bad", 0, REG_SZ, NULL, 2));
  EXPECT_FALSE(sim::GetValue("HKLM\\Enum\\LPTENUM\\Dev\\Inst", "Bad").has_value());
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExA(kBadKey, "X", 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2));
  RegCloseKey(key);
}

TEST_F(SimRegistry, QueryInfoKeyCounts) {
  sim::CreateKey("HKLM\\Q\\ab");
  sim::CreateKey("HKLM\\Q\\abcdef");
  sim::SetValue("HKLM\\Q", "n", REG_BINARY, std::string(40, 'x'));
  sim::SetValue("HKLM\\Q", "longer name", REG_SZ, "s");
  HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Q");
  DWORD subkeys = 99, maxSub = 99, maxClass = 99, values = 99, maxName = 99, maxData = 99, sd = 99;
  FILETIME ft{1, 1};
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, &maxSub, &maxClass, &values, &maxName, &maxData, &sd, &ft));
  EXPECT_EQ(2u, subkeys);
  EXPECT_EQ(6u, maxSub);
  EXPECT_EQ(2u, values);
  EXPECT_EQ(11u, maxName);
  EXPECT_EQ(40u, maxData);
  EXPECT_EQ(0u, maxClass);
  EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL));
  DWORD reserved = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegQueryInfoKeyA(key, NULL, NULL, &reserved, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_INVALID_HANDLE,
            RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL));
}

TEST_F(SimRegistry, NullArgumentsAreRefusedNotFollowed) {
  sim::SetString("HKCU\\Devices", "P", "winspool,LPT1:");
  HKEY key = OpenOrNull(HKEY_CURRENT_USER, "Devices");
  char buf[32];
  DWORD cch = sizeof buf, cb = sizeof buf, reserved = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(key, 0, NULL, &cch, NULL, NULL, NULL, NULL));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(key, 0, buf, NULL, NULL, NULL, NULL, NULL));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(key, 0, buf, &cch, &reserved, NULL, NULL, NULL));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegEnumValueA(key, 0, buf, &cch, NULL, NULL, reinterpret_cast<BYTE *>(buf), NULL));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumKeyA(key, 0, NULL, 10));
  // Data size without a data buffer: the size is told.
  cb = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, buf, &cch, NULL, NULL, NULL, &cb));
  EXPECT_EQ(15u, cb);
  EXPECT_EQ(1u, cch);
  RegCloseKey(key);
}

// ---------------------------------------------------------------- handles

TEST_F(SimRegistry, HandlesAreAccountedByTheirPath) {
  sim::CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS");
  HKEY enumKey = OpenOrNull(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\");
  HKEY root = OpenOrNull(enumKey, "Root\\PARALLELCLASS");
  EXPECT_EQ((std::vector<std::string>{"HKLM\\SYSTEM\\CurrentControlSet\\Enum",
                                      "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS"}),
            sim::OpenHandles());

  // An empty or null name opens a new handle to the same key.
  HKEY same = kSentinel, same2 = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(root, NULL, &same));
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(root, "", &same2));
  EXPECT_NE(root, same);
  EXPECT_NE(same, same2);
  EXPECT_EQ(4u, sim::OpenHandles().size());
  EXPECT_EQ("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS", sim::detail::Key(same2));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(same));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(same2));

  sim::ClearTrace();
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(root));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(root));
  std::vector<sim::Call> closes = sim::CallsTo("RegCloseKey");
  ASSERT_EQ(2u, closes.size());
  EXPECT_EQ(std::vector<std::string>{"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS"}, closes[0].args);
  EXPECT_EQ("0", closes[0].result);
  EXPECT_EQ(0u, closes[1].args[0].find("hkey:?"));
  EXPECT_EQ("6", closes[1].result);
  EXPECT_EQ(std::vector<std::string>{"HKLM\\SYSTEM\\CurrentControlSet\\Enum"}, sim::OpenHandles());
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(enumKey));
  EXPECT_TRUE(sim::OpenHandles().empty());

  // Roots are no handles of their own: not accounted, closing them is fine.
  HKEY hklm = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, NULL, &hklm));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, hklm);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_USERS, "", &hklm));
  EXPECT_EQ(HKEY_USERS, hklm);
  EXPECT_TRUE(sim::OpenHandles().empty());
  for (HKEY r : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(r));
  }
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(NULL));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(kBadKey));
  EXPECT_EQ("HKCR", sim::detail::Key(HKEY_CLASSES_ROOT));
  EXPECT_EQ("HKCU", sim::detail::Key(HKEY_CURRENT_USER));
  EXPECT_EQ("HKLM", sim::detail::Key(HKEY_LOCAL_MACHINE));
  EXPECT_EQ("HKU", sim::detail::Key(HKEY_USERS));
}

TEST_F(SimRegistry, ResetForgetsHandlesAndKeys) {
  sim::CreateKey("HKLM\\Software\\Before");
  HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software\\Before");
  sim::Reset();
  EXPECT_FALSE(sim::KeyExists("HKLM\\Software\\Before"));
  EXPECT_TRUE(sim::OpenHandles().empty());
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
}

// ---------------------------------------------------------------- trace and faults

TEST_F(SimRegistry, TraceShowsArgumentsAndWhatWasRead) {
  sim::CreateKey("HKLM\\Enum\\LPTENUM\\Dev");
  sim::ClearTrace();
  HKEY key = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\LPTENUM\\", 0, KEY_ALL_ACCESS, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Class", 0, REG_SZ, reinterpret_cast<const BYTE *>("PRINTER"), 8));
  char buf[100];
  DWORD size = 255;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Class", NULL, NULL, reinterpret_cast<BYTE *>(buf), &size));
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(key, 0, buf, 100));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(key, "Nothing"));
  RegCloseKey(key);

  const std::vector<sim::Call> &trace = sim::Trace();
  ASSERT_EQ(6u, trace.size());
  EXPECT_EQ("RegOpenKeyExA", trace[0].name);
  EXPECT_EQ((std::vector<std::string>{"HKLM", "\"Enum\\LPTENUM\\\"", "0", "983103", "&"}), trace[0].args);
  EXPECT_EQ("0", trace[0].result);
  EXPECT_EQ("RegSetValueExA", trace[1].name);
  EXPECT_EQ((std::vector<std::string>{"HKLM\\Enum\\LPTENUM", "\"Class\"", "0", "1", "[50 52 49 4e 54 45 52 00]", "8"}),
            trace[1].args);
  EXPECT_EQ("RegQueryValueExA", trace[2].name);
  ASSERT_FALSE(trace[2].args.empty());
  EXPECT_EQ("[50 52 49 4e 54 45 52 00]", trace[2].args.back());
  EXPECT_EQ("RegEnumKeyA", trace[3].name);
  EXPECT_EQ((std::vector<std::string>{"HKLM\\Enum\\LPTENUM", "0", "&", "100", "\"Dev\""}), trace[3].args);
  EXPECT_EQ("RegDeleteKeyA", trace[4].name);
  EXPECT_EQ("2", trace[4].result);
  EXPECT_EQ("RegCloseKey", trace[5].name);
  for (const sim::Call &c : trace) EXPECT_FALSE(c.injected) << c.name;
}

TEST_F(SimRegistry, InjectedFaultHitsTheChosenCallOnly) {
  sim::CreateKey("HKLM\\Enum\\BIOS");
  sim::FailCall("RegOpenKeyA", 2, ERROR_ACCESS_DENIED);
  LONG expected[] = {ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS};
  std::vector<HKEY> opened;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("call " + std::to_string(i + 1));
    HKEY key = kSentinel;
    EXPECT_EQ(expected[i], RegOpenKeyA(HKEY_LOCAL_MACHINE, "ENUM\\BIOS", &key));
    if (expected[i] == ERROR_SUCCESS) {
      EXPECT_NE(nullptr, key);
      opened.push_back(key);
    } else {
      EXPECT_EQ(nullptr, key);
    }
  }
  std::vector<sim::Call> calls = sim::CallsTo("RegOpenKeyA");
  ASSERT_EQ(3u, calls.size());
  EXPECT_FALSE(calls[0].injected);
  EXPECT_TRUE(calls[1].injected);
  EXPECT_EQ("5", calls[1].result);
  EXPECT_FALSE(calls[2].injected);
  EXPECT_EQ(2u, sim::OpenHandles().size());
  for (HKEY key : opened) RegCloseKey(key);
}

TEST_F(SimRegistry, InjectedFaultsDoNothing) {
  struct Case {
    const char *function;
    int occurrence;
    bool every;
    DWORD error;
    std::function<std::vector<LONG>()> calls;  // the results of the calls made
    std::vector<LONG> expected;
    std::function<bool()> after;
  } cases[] = {
      {"RegSetValueExA", 1, false, ERROR_CANTWRITE,
       [] {
         HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software\\F");
         LONG a = RegSetValueExA(key, "A", 0, REG_SZ, reinterpret_cast<const BYTE *>("a"), 2);
         LONG b = RegSetValueExA(key, "B", 0, REG_SZ, reinterpret_cast<const BYTE *>("b"), 2);
         RegCloseKey(key);
         return std::vector<LONG>{a, b};
       },
       {ERROR_CANTWRITE, ERROR_SUCCESS},
       [] { return sim::ValueNames("HKLM\\Software\\F") == std::vector<std::string>{"V", "B"}; }},
      {"RegDeleteKeyA", 1, true, ERROR_ACCESS_DENIED,
       [] {
         HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software");
         LONG a = RegDeleteKeyA(key, "F\\Sub");
         LONG b = RegDeleteKeyA(key, "F\\Sub");
         RegCloseKey(key);
         return std::vector<LONG>{a, b};
       },
       {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}, [] { return sim::KeyExists("HKLM\\Software\\F\\Sub"); }},
      {"RegCreateKeyA", 1, false, ERROR_ACCESS_DENIED,
       [] {
         HKEY key = kSentinel;
         LONG a = RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\F\\New", &key);
         EXPECT_EQ(nullptr, key);
         return std::vector<LONG>{a};
       },
       {ERROR_ACCESS_DENIED}, [] { return !sim::KeyExists("HKLM\\Software\\F\\New"); }},
      {"RegOpenKeyExA", 1, false, ERROR_FILE_NOT_FOUND,
       [] {
         HKEY key = kSentinel;
         LONG a = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\F", 0, KEY_ALL_ACCESS, &key);
         EXPECT_EQ(nullptr, key);
         return std::vector<LONG>{a};
       },
       {ERROR_FILE_NOT_FOUND}, [] { return true; }},
      {"RegQueryValueExA", 1, false, ERROR_MORE_DATA,
       [] {
         HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software\\F");
         char buf[8] = "zzzzzzz";
         DWORD size = sizeof buf;
         LONG a = RegQueryValueExA(key, "V", NULL, NULL, reinterpret_cast<BYTE *>(buf), &size);
         EXPECT_EQ(8u, size);
         EXPECT_STREQ("zzzzzzz", buf);
         RegCloseKey(key);
         return std::vector<LONG>{a};
       },
       {ERROR_MORE_DATA}, [] { return true; }},
      {"RegEnumKeyA", 2, true, ERROR_NO_MORE_ITEMS,
       [] {
         sim::CreateKey("HKLM\\Software\\F\\Sub2");
         HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software\\F");
         LONG last = 0;
         LONG n = static_cast<LONG>(EnumKeys(key, &last).size());
         RegCloseKey(key);
         return std::vector<LONG>{n, last};
       },
       {1, ERROR_NO_MORE_ITEMS}, [] { return true; }},
      {"RegCloseKey", 1, false, ERROR_INVALID_HANDLE,
       [] {
         HKEY key = OpenOrNull(HKEY_LOCAL_MACHINE, "Software\\F");
         LONG a = RegCloseKey(key);
         LONG open = static_cast<LONG>(sim::OpenHandles().size());
         LONG b = RegCloseKey(key);
         return std::vector<LONG>{a, open, b};
       },
       {ERROR_INVALID_HANDLE, 1, ERROR_SUCCESS}, [] { return true; }},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.function);
    sim::Reset();
    sim::SetString("HKLM\\Software\\F", "V", "v");
    sim::CreateKey("HKLM\\Software\\F\\Sub");
    sim::FailCall(c.function, c.occurrence, c.error, c.every);
    EXPECT_EQ(c.expected, c.calls());
    EXPECT_TRUE(c.after());
    EXPECT_TRUE(sim::OpenHandles().empty());
    std::vector<sim::Call> calls = sim::CallsTo(c.function);
    for (size_t n = 0; n < calls.size(); ++n) {
      bool hit = static_cast<int>(n + 1) == c.occurrence || (c.every && static_cast<int>(n + 1) >= c.occurrence);
      EXPECT_EQ(hit, calls[n].injected) << "call " << n + 1;
    }
  }
}

// ---------------------------------------------------------------- machine functions

TEST_F(SimRegistry, MachineFunctionsStoreTheDocumentedBytes) {
  sim::SetString("HKLM\\Software\\M", "Str", "LPT1:");
  sim::SetDword("HKLM\\Software\\M", "Dw", 0x12345640);
  sim::SetMultiString("HKLM\\Software\\M", "Multi", {"NORVALETX-9E2D47B1"});
  sim::SetMultiString("HKLM\\Software\\M", "Two", {"a", "bc"});
  sim::SetValue("HKLM\\Software\\M", "Raw", REG_BINARY, Bytes("x\0y", 3));
  struct Case {
    const char *name;
    DWORD type;
    std::string data;
    std::string asString;
  } cases[] = {
      {"Str", REG_SZ, Bytes("LPT1:", 6), "LPT1:"},
      {"Dw", REG_DWORD, Bytes("\x40\x56\x34\x12", 4), "\x40\x56\x34\x12"},
      {"Multi", REG_MULTI_SZ, Bytes("NORVALETX-9E2D47B1\0", 20), "NORVALETX-9E2D47B1"},
      {"Two", REG_MULTI_SZ, Bytes("a\0bc\0", 6), "a"},
      {"Raw", REG_BINARY, Bytes("x\0y", 3), "x"},
  };
  std::vector<std::string> names;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    names.push_back(c.name);
    std::optional<sim::Value> v = sim::GetValue("HKLM\\software\\m", c.name);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(c.type, v->type);
    EXPECT_EQ(c.data, v->data);
    EXPECT_EQ(c.asString, sim::GetString("HKLM\\Software\\M", c.name));
  }
  EXPECT_EQ(names, sim::ValueNames("HKLM\\Software\\M"));
  EXPECT_FALSE(sim::GetValue("HKLM\\Software\\M", "None").has_value());
  EXPECT_FALSE(sim::GetString("HKLM\\Software\\Missing", "Str").has_value());
  EXPECT_TRUE(sim::SubkeyNames("HKLM\\Software\\Missing").empty());
  sim::DeleteValue("HKLM\\Software\\M", "dw");
  sim::DeleteValue("HKLM\\Software\\Missing", "dw");
  EXPECT_FALSE(sim::GetValue("HKLM\\Software\\M", "Dw").has_value());
  sim::DeleteKeyTree("HKLM\\Software\\Missing\\Deeper");
  sim::DeleteKeyTree("HKLM\\Software\\M");
  EXPECT_FALSE(sim::KeyExists("HKLM\\Software\\M"));
  EXPECT_TRUE(sim::KeyExists("HKLM\\Software"));
}

TEST_F(SimRegistry, DumpListsParentsBeforeChildrenInEnumerationOrder) {
  for (sim::Os os : {sim::Os::WinXP, sim::Os::Win98}) {
    SCOPED_TRACE(sim::OsName(os));
    sim::Reset(os);
    sim::CreateKey("HKCU\\b\\y");
    sim::CreateKey("HKCU\\a");
    sim::CreateKey("HKCU\\b\\x");
    sim::SetString("HKCU\\a", "v", "1");
    std::vector<sim::RegKeyDump> dump = sim::DumpRegistry();
    std::vector<std::string> paths;
    for (const sim::RegKeyDump &d : dump) {
      if (d.path.rfind("HKCU", 0) == 0) paths.push_back(d.path);
    }
    std::vector<std::string> expected = sim::IsNtFamily(os)
                                            ? std::vector<std::string>{"HKCU", "HKCU\\a", "HKCU\\b", "HKCU\\b\\x",
                                                                       "HKCU\\b\\y"}
                                            : std::vector<std::string>{"HKCU", "HKCU\\b", "HKCU\\b\\y",
                                                                       "HKCU\\b\\x", "HKCU\\a"};
    EXPECT_EQ(expected, paths);
    for (const sim::RegKeyDump &d : dump) {
      if (d.path == "HKCU\\a") {
        ASSERT_EQ(1u, d.values.size());
        EXPECT_EQ("v", d.values[0].first);
        EXPECT_EQ(Bytes("1", 2), d.values[0].second.data);
      }
    }
  }
}

TEST_F(SimRegistry, MachineFunctionsIgnoreRefusals) {
  sim::CreateKey("HKLM\\Software\\R");
  sim::DenyAccess("HKLM\\Software\\R", KEY_ALL_ACCESS);
  sim::SetString("HKLM\\Software\\R", "V", "v");
  sim::CreateKey("HKLM\\Software\\R\\Sub");
  EXPECT_EQ("v", sim::GetString("HKLM\\Software\\R", "V"));
  EXPECT_EQ(std::vector<std::string>{"Sub"}, sim::SubkeyNames("HKLM\\Software\\R"));
  sim::DeleteKeyTree("HKLM\\Software\\R");
  EXPECT_FALSE(sim::KeyExists("HKLM\\Software\\R"));
  EXPECT_TRUE(sim::Trace().empty());
}

}  // namespace
