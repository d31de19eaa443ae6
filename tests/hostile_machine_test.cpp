// Machines at the edges of what the libraries' buffers hold: long system and
// Windows directories, long key and value names where names are enumerated,
// values of every type and of lengths around each buffer's capacity, data
// without a NUL. Whatever the machine holds, the exports return their
// constants, leave no handle open, overrun nothing (the suite also runs
// under the address and undefined-behaviour sanitizers), act on no path
// that was cut short, and leave a registry whose new names and values are
// whole.
#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kPrinter[] = "Norvale TX-5400 Series";
const char kSettingsKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
const char kDevicesKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const char kParallelClass[] = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS";
const char kNtModelKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400";
const char kW9xDeviceKey[] = "HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B";
const char kDefaultPrefix[] = "1&197f416f&0";

const char *const kNtDriverFiles[] = {"nrvs1.dll",   "nrvs1.sdd",   "nrvs1ui.dll", "nrvs1su.hlp",
                                      "nrvs1um.dll", "nrvs1su.dat", "nrvs1su.dll"};

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A trace argument's text: a quoted string without its quotes.
std::string Unquoted(const std::string &arg) {
  if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') return arg.substr(1, arg.size() - 2);
  return arg;
}

// `text` followed by `fill` up to `length` bytes; with `nul` the last byte
// is a NUL (counted in the length).
std::string Data(const std::string &text, size_t length, bool nul, char fill = 'x') {
  std::string out = text.substr(0, length);
  out.resize(length, fill);
  if (nul && length > 0) out[length - 1] = '\0';
  return out;
}

// A system directory of exactly `length` characters.
std::string DirectoryOf(const std::string &base, size_t length) {
  std::string dir = base + "\\";
  dir += std::string(length - dir.size(), 'S');
  return dir;
}

bool IsBackupOf(const std::string &path, const std::string &file) {
  std::string p = Upper(path), f = Upper(file);
  return p.size() > f.size() + 1 && p.compare(0, f.size(), f) == 0 && p[f.size()] == '.' &&
         p.find_first_not_of("0123456789", f.size() + 1) == std::string::npos;
}

// Every path the file functions were given is one the libraries mean: a
// driver file, its backup or the version directory, or one of the setup
// information files; never one cut short by a buffer.
void ExpectOnlyWholePaths() {
  const std::string drv = sim::DriverDirectory(), ver = sim::VersionDirectory(), win = sim::WindowsDirectory();
  auto whole = [&](const std::string &p) {
    if (Upper(p) == Upper(ver)) return true;
    for (const char *name : kNtDriverFiles) {
      if (Upper(p) == Upper(drv + name) || Upper(p) == Upper(ver + name) || IsBackupOf(p, ver + name)) return true;
    }
    for (const std::string &inf : {win + "\\inf\\NRVS1.PNF", win + "\\inf\\NRVS1.INF",
                                   win + "\\system32\\spool\\drivers\\w32x86\\2\\NRVS1.BPD"}) {
      if (Upper(p) == Upper(inf)) return true;
    }
    return false;
  };
  for (const sim::Call &call : sim::Trace()) {
    size_t paths = 0;
    if (call.name == "DeleteFileA" || call.name == "CreateDirectoryA" || call.name == "SearchPathA") paths = 1;
    if (call.name == "CopyFileA" || call.name == "MoveFileExA") paths = 2;
    for (size_t a = 0; a < paths && a < call.args.size(); ++a) {
      if (call.args[a] == "NULL") continue;
      EXPECT_TRUE(whole(Unquoted(call.args[a]))) << call.name << " acted on " << call.args[a];
    }
  }
}

int BoxesBeginningWith(const std::string &text) {
  int n = 0;
  for (const sim::MessageBoxCall &box : sim::MessageBoxes()) {
    if (box.text.compare(0, text.size(), text) == 0) ++n;
  }
  return n;
}

// Every key below the NT device node's model key is an instance name that
// the machine's ports give: a "ParentIdPrefix" (up to its first NUL) or the
// default prefix, followed by the location. Keys in `earlier` were there
// before the run.
void ExpectWholeNtNode(const std::set<std::string> &earlier = {}) {
  std::set<std::string> names = {Upper(std::string(kDefaultPrefix) + "&LPT1.4")};
  for (const std::string &port : sim::SubkeyNames(kParallelClass)) {
    std::optional<sim::Value> v = sim::GetValue(std::string(kParallelClass) + "\\" + port, "ParentIdPrefix");
    if (v) names.insert(Upper(v->data.substr(0, v->data.find('\0')) + "&LPT1.4"));
  }
  if (sim::KeyExists(kNtModelKey)) {
    for (const std::string &instance : sim::SubkeyNames(kNtModelKey)) {
      if (earlier.count(instance)) continue;
      EXPECT_TRUE(names.count(Upper(instance))) << "device node under a name no port gives: " << instance;
      EXPECT_LE(instance.size(), 174u) << instance;
    }
  }
  for (const sim::ProcessStart &start : sim::ProcessesStarted()) {
    EXPECT_LT(start.commandLine.size(), 256u) << start.commandLine;
    EXPECT_EQ(0u, start.commandLine.find("dacl.exe /SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400"))
        << start.commandLine;
  }
}

// Every key below the 9x device node is "BIOS&" or "ACPI&", a device, "&"
// and an instance of a port listed as "LPT1".
void ExpectWhole9xNode() {
  std::set<std::string> names;
  for (const char *enumerator : {"BIOS", "ACPI"}) {
    std::string root = std::string("HKLM\\ENUM\\") + enumerator;
    if (!sim::KeyExists(root)) continue;
    for (const std::string &device : sim::SubkeyNames(root)) {
      for (const std::string &instance : sim::SubkeyNames(root + "\\" + device)) {
        names.insert(Upper(std::string(enumerator) + "&" + device + "&" + instance));
      }
    }
  }
  if (!sim::KeyExists(kW9xDeviceKey)) return;
  for (const std::string &node : sim::SubkeyNames(kW9xDeviceKey)) {
    EXPECT_TRUE(names.count(Upper(node))) << "device node under a name no port gives: " << node;
  }
}

// The user's "Device" value after a removal: as it was, or a whole device
// string of another printer.
void ExpectSaneDevice(const std::optional<sim::Value> &before) {
  std::optional<sim::Value> now = sim::GetValue(kSettingsKey, "Device");
  if (!now || (before && now->type == before->type && now->data == before->data)) return;
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), now->type);
  ASSERT_FALSE(now->data.empty());
  EXPECT_LE(now->data.size(), 256u);
  EXPECT_EQ(now->data.size() - 1, now->data.find('\0')) << "one NUL, at the end";
  EXPECT_NE(std::string::npos, now->data.find(','));
  EXPECT_NE(0u, now->data.find(kPrinter)) << "handed back to the removed printer";
}

void ExpectNoHandles() { EXPECT_EQ("", OpenHandlesText()) << "handles left open"; }

void RunNt(bool install) {
  Library nt(NtLibraryPath());
  if (install) {
    EXPECT_EQ(1, nt.CreatePrinter());
  } else {
    EXPECT_EQ(0, nt.UninstallPrinter());
  }
}

void Install(const std::string &library) {
  Library lib(library);
  lib.CreatePrinter();
}

// ---------------------------------------------------------------- directories

// A system directory at and beyond the length every path fits in; with the
// files in use, the backup names must fit too.
TEST(HostileMachine, LongSystemDirectory) {
  struct Case {
    size_t length;
    bool inUse;
  };
  const Case cases[] = {{220, false}, {221, false}, {259, false}, {220, true}, {221, true}, {259, true}};
  for (bool install : {true, false}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(install ? "install" : "removal") + ", system directory of " +
                   std::to_string(c.length) + (c.inUse ? ", files in use" : ""));
      sim::BuildDefaultMachine(sim::Os::WinXP);
      sim::SetSystemDirectory(DirectoryOf("C:\\WINDOWS", c.length));
      ASSERT_EQ(c.length, sim::SystemDirectory().size());
      for (const char *name : kNtDriverFiles) {
        sim::WriteFile(sim::DriverDirectory() + name, std::string("new ") + name);
        sim::WriteFile(sim::VersionDirectory() + name, std::string("old ") + name);
        if (c.inUse) sim::SetFileInUse(sim::VersionDirectory() + name, true);
      }
      sim::ClearTrace();
      RunNt(install);
      ExpectNoHandles();
      ExpectOnlyWholePaths();

      sim::Reboot();
      if (install) {
        // The files are deployed in the order of the set until one is
        // reported; none is lost.
        size_t deployed = 0;
        while (deployed < 7 &&
               sim::ReadFile(sim::VersionDirectory() + kNtDriverFiles[deployed]) ==
                   std::string("new ") + kNtDriverFiles[deployed]) {
          ++deployed;
        }
        EXPECT_EQ(deployed == 7 ? 0 : 1, BoxesBeginningWith("COPY FILE ERROR")) << deployed << " deployed";
        for (size_t i = deployed; i < 7; ++i) {
          EXPECT_EQ(std::string("old ") + kNtDriverFiles[i], sim::ReadFile(sim::VersionDirectory() + kNtDriverFiles[i]))
              << "a file not deployed stays as it was";
        }
        if (c.length == 220) {
          EXPECT_EQ(7u, deployed) << "every path fits";
        }
        if (c.length == 259) {
          EXPECT_EQ(0u, deployed) << "no path fits";
        }
      } else {
        // Each file is deleted (at once or at the restart) or reported.
        int kept = 0;
        for (const char *name : kNtDriverFiles) kept += sim::FileExists(sim::VersionDirectory() + name) ? 1 : 0;
        EXPECT_EQ(kept, BoxesBeginningWith("DELETE FILE ERROR"));
        if (c.length == 220) {
          EXPECT_EQ(0, kept) << "every path fits";
        }
        if (c.length == 259) {
          EXPECT_EQ(7, kept) << "no path fits";
        }
      }
      for (const char *name : kNtDriverFiles) {
        EXPECT_TRUE(sim::FileExists(sim::DriverDirectory() + name)) << "source file lost: " << name;
      }
    }
  }
}

TEST(HostileMachine, LongWindowsDirectory) {
  for (size_t length : {212u, 213u, 214u, 254u, 255u, 300u}) {
    for (bool install : {true, false}) {
      SCOPED_TRACE(std::string(install ? "install" : "removal") + ", Windows directory of " + std::to_string(length));
      sim::BuildDefaultMachine(sim::Os::WinXP);
      sim::SetWindowsDirectory(DirectoryOf("C:", length));
      ASSERT_EQ(length, sim::WindowsDirectory().size());
      sim::WriteFile(sim::WindowsDirectory() + "\\inf\\NRVS1.INF", "inf");
      if (!install) Install(NtLibraryPath());
      sim::ClearTrace();
      RunNt(install);
      ExpectNoHandles();
      ExpectOnlyWholePaths();
    }
  }
}

// ---------------------------------------------------------------- enumerated names

TEST(HostileMachine, LongQueueNamesInTheSweep) {
  for (size_t length : {99u, 100u, 254u, 255u, 300u}) {
    SCOPED_TRACE("queue name of " + std::to_string(length));
    sim::BuildDefaultMachine(sim::Os::WinXP);
    Install(NtLibraryPath());
    sim::Queue copy = *sim::FindQueue("Office Laser");
    copy.name = Data(std::string(kPrinter) + " (Copy ", length, false, '9');
    sim::AddQueue(copy);
    RunNt(false);
    ExpectNoHandles();
    EXPECT_TRUE(sim::FindQueue("Office Laser").has_value()) << "another printer's queue was deleted";
    if (length <= 100) {
      EXPECT_FALSE(sim::FindQueue(copy.name).has_value()) << "the copy was not swept";
    }
  }
}

TEST(HostileMachine, LongParallelPortKeyNames) {
  for (size_t length : {99u, 100u, 101u, 255u, 300u}) {
    for (bool install : {true, false}) {
      SCOPED_TRACE(std::string(install ? "install" : "removal") + ", port key of " + std::to_string(length));
      sim::BuildDefaultMachine(sim::Os::WinXP);
      if (!install) Install(NtLibraryPath());
      std::string port = std::string(kParallelClass) + "\\" + std::string(length, 'P');
      sim::SetString(port, "ParentIdPrefix", "9&long&0");
      sim::SetString(std::string(kParallelClass) + "\\ZZZZ", "ParentIdPrefix", "8&last&0");
      RunNt(install);
      ExpectNoHandles();
      ExpectWholeNtNode();
    }
  }
}

TEST(HostileMachine, LongDevicesValueNames) {
  for (size_t length : {99u, 100u, 101u, 255u, 300u}) {
    SCOPED_TRACE("Devices value name of " + std::to_string(length));
    sim::BuildDefaultMachine(sim::Os::WinXP);
    Install(NtLibraryPath());
    sim::SetString(kDevicesKey, std::string(length, 'N'), "winspool,LPT3:");
    sim::SetString(kDevicesKey, "Zeta", "winspool,LPT4:");
    std::optional<sim::Value> before = sim::GetValue(kSettingsKey, "Device");
    RunNt(false);
    ExpectNoHandles();
    ExpectSaneDevice(before);
  }
}

TEST(HostileMachine, LongEnumeratorKeyNames) {
  struct Case {
    const char *name;
    size_t device, instance;
  };
  const Case cases[] = {{"device of 99", 99, 2},      {"device of 100", 100, 2},    {"device of 255", 255, 2},
                        {"instance of 99", 8, 99},    {"instance of 100", 8, 100},  {"instance of 255", 8, 255},
                        {"both of 99", 99, 99},       {"both of 100", 100, 100},    {"both of 300", 300, 300}};
  for (const char *enumerator : {"BIOS", "ACPI"}) {
    for (const Case &c : cases) {
      for (bool install : {true, false}) {
        SCOPED_TRACE(std::string(enumerator) + ", " + c.name + (install ? ", install" : ", removal"));
        sim::BuildDefaultMachine(sim::Os::Win98);
        if (!install) Install(W9xLibraryPath());
        std::string key = std::string("HKLM\\Enum\\") + enumerator + "\\" + std::string(c.device, 'D') + "\\" +
                          std::string(c.instance, 'I');
        sim::SetString(key, "PORTNAME", "LPT1");
        Library w9x(W9xLibraryPath());
        if (install) {
          EXPECT_EQ(1, w9x.CreatePrinter());
        } else {
          EXPECT_EQ(0, w9x.UninstallPrinter());
          EXPECT_FALSE(sim::KeyExists(kW9xDeviceKey));
        }
        ExpectNoHandles();
        ExpectWhole9xNode();
      }
    }
  }
}

TEST(HostileMachine, LongParentIdPrefix) {
  for (size_t length : {167u, 168u, 255u, 256u, 400u}) {
    for (bool earlierNode : {false, true}) {
      SCOPED_TRACE("ParentIdPrefix of " + std::to_string(length) + (earlierNode ? ", node present" : ""));
      sim::BuildDefaultMachine(sim::Os::WinXP);
      std::string prefix = Data("7&", length, false, 'a');
      sim::SetString(std::string(kParallelClass) + "\\0000", "ParentIdPrefix", prefix);
      std::set<std::string> earlier;
      if (earlierNode && length > 167) earlier.insert(prefix + "&LPT1.4");
      if (earlierNode) sim::CreateKey(std::string(kNtModelKey) + "\\" + prefix + "&LPT1.4\\Control");
      RunNt(true);
      ExpectNoHandles();
      ExpectWholeNtNode(earlier);
      if (length == 167) {
        EXPECT_TRUE(sim::KeyExists(std::string(kNtModelKey) + "\\" + prefix + "&LPT1.4"));
      }
      RunNt(false);
      ExpectNoHandles();
    }
  }
}

// ---------------------------------------------------------------- values

// Values the libraries read, of every type and of lengths around the room
// they are read with, with and without a NUL at the end.
TEST(HostileMachine, ValuesOfEveryTypeAndLength) {
  struct Target {
    const char *name;
    DWORD capacity;
    std::string text;  // what the data begins with
  };
  const Target targets[] = {
      {"Device", 255, std::string(kPrinter) + ",winspool,LPT1:"},
      {"ParentIdPrefix", 255, "3&abc&0"},
      {"PORTNAME", 255, "LPT1"},
      {"Devices entry", 100, "winspool,LPT3:"},
  };
  const DWORD types[] = {REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_NONE};
  for (const Target &target : targets) {
    const size_t lengths[] = {0, 4, target.capacity - 1, target.capacity, target.capacity + 1, 2 * target.capacity + 1, 1000};
    for (DWORD type : types) {
      for (size_t length : lengths) {
        for (bool nul : {true, false}) {
          SCOPED_TRACE(std::string(target.name) + ", type " + std::to_string(type) + ", " + std::to_string(length) +
                       " bytes" + (nul ? ", ends in a NUL" : ", no NUL"));
          std::string data = Data(target.text, length, nul);
          std::string name = target.name;
          if (name == "PORTNAME") {
            sim::BuildDefaultMachine(sim::Os::Win98);
            sim::SetValue("HKLM\\Enum\\ACPI\\PNP0401\\1", "PORTNAME", type, data);
            Library w9x(W9xLibraryPath());
            EXPECT_EQ(1, w9x.CreatePrinter());
            ExpectNoHandles();
            ExpectWhole9xNode();
            EXPECT_EQ(0, w9x.UninstallPrinter());
            ExpectNoHandles();
            continue;
          }
          sim::BuildDefaultMachine(sim::Os::WinXP);
          if (name == "ParentIdPrefix") {
            sim::SetValue(std::string(kParallelClass) + "\\0000", "ParentIdPrefix", type, data);
            RunNt(true);
            ExpectNoHandles();
            ExpectWholeNtNode();
            RunNt(false);
            ExpectNoHandles();
            continue;
          }
          Install(NtLibraryPath());
          if (name == "Device") {
            sim::SetValue(kSettingsKey, "Device", type, data);
          } else {
            sim::SetValue(kDevicesKey, "Other", type, data);
          }
          std::optional<sim::Value> before = sim::GetValue(kSettingsKey, "Device");
          RunNt(false);
          ExpectNoHandles();
          ExpectSaneDevice(before);
        }
      }
    }
  }
}

}  // namespace
