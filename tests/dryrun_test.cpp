// The dry-run tool, called as its command line would call it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dryrun.h"
#include "regfile.h"
#include "sim.h"

namespace {

using std::string;
namespace fs = std::filesystem;

const string kQueue = "Norvale TX-5400 Series";
const string kXpNode =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\LPTENUM\\NorvaleTX-5400\\2&3a5e4b7c&0&LPT1.4]";
const string kXpPrinterKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\" + kQueue;

struct Result {
  int rc = -1;
  string out, err;
};

Result Dry(const std::vector<string> &args) {
  std::ostringstream out, err;
  Result r;
  r.rc = RunDryRun(args, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

// The text of one report section, from its title to the next one.
string Section(const string &report, const string &title) {
  size_t start = report.find("== " + title + "\n");
  if (start == string::npos) return "";
  start += title.size() + 4;
  size_t end = report.find("\n== ", start);
  return report.substr(start, end == string::npos ? string::npos : end + 1 - start);
}

string ReadHost(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteHost(const fs::path &path, const string &content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

bool HasOp(const regfile::File &file, regfile::Op::Kind kind, const string &key, const string &name = "") {
  for (const regfile::Op &op : file.ops) {
    if (op.kind == kind && op.key == key && op.name == name) return true;
  }
  return false;
}

class DryRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("nrvdry_test_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_F(DryRunTest, InstallOnXpAddsTheQueueAndTheDeviceNode) {
  Result r = Dry({"install"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_NE(string::npos, r.out.find("nrvdry: winxp, library libnrvpnp.so, default machine\nSequence: install\n"
                                     "CreatePrinter returned 1\n"))
      << r.out;

  string reg = Section(r.out, "Registry changes");
  regfile::File file;
  regfile::Error error;
  ASSERT_TRUE(regfile::Parse(reg, &file, &error)) << error.line << ": " << error.message << "\n" << reg;
  EXPECT_NE(string::npos, reg.find(kXpNode + "\n")) << reg;
  EXPECT_NE(string::npos, reg.find(kXpNode + "\n\"Capabilities\"=dword:00000040\n")) << reg;
  EXPECT_TRUE(HasOp(file, regfile::Op::kCreateKey, kXpPrinterKey)) << reg;
  EXPECT_NE(string::npos,
            reg.find("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows]\n"
                     "\"Device\"=\"Norvale TX-5400 Series,winspool,LPT1:\"\n"))
      << reg;
  // Keys the install leaves alone are not in the file.
  EXPECT_EQ(string::npos, reg.find("PARALLELCLASS")) << reg;
  EXPECT_EQ(string::npos, reg.find("[-")) << reg;

  string spooler = Section(r.out, "Spooler");
  EXPECT_NE(string::npos, spooler.find("Queues before:\n    \"Office Laser\" on \"LPT2:\"")) << spooler;
  EXPECT_NE(string::npos, spooler.find("  + \"" + kQueue + "\" on \"LPT1:\", driver \"" + kQueue + "\"\n"))
      << spooler;
  EXPECT_NE(string::npos, spooler.find("  + \"" + kQueue + "\", environment \"Windows NT x86\"")) << spooler;
  ASSERT_TRUE(sim::FindQueue(kQueue).has_value()) << "the machine after the run is the one reported";

  string files = Section(r.out, "Files");
  EXPECT_NE(string::npos, files.find("Created:\n  " + sim::VersionDirectory() + "nrvs1.dll (")) << files;
  EXPECT_NE(string::npos, files.find("Moved aside:\n  (none)\n")) << files;

  string messages = Section(r.out, "Messages");
  EXPECT_NE(string::npos, messages.find("Message boxes:\n  (none)\n")) << messages;
  EXPECT_NE(string::npos,
            messages.find("Broadcasts:\n  window 0xffff, message 0x1a, wParam 0, lParam 0, flags 0x0, time-out 1000 ms\n"))
      << messages;
  EXPECT_EQ("Virtual time waited: " + std::to_string(sim::Now()) + " ms\n", Section(r.out, "Time"));
  EXPECT_GT(sim::Now(), 0u) << "the spooler restart waits";
  EXPECT_EQ("", Section(r.out, "Trace")) << "no trace unless asked";
}

TEST_F(DryRunTest, UninstallRemovesWhatAnInstallLeft) {
  Result first = Dry({"install", "--out", dir_.string()});
  ASSERT_EQ(0, first.rc) << first.err;
  string installed = ReadHost(dir_ / "registry.reg");
  EXPECT_EQ(regfile::ToCrlf(Section(first.out, "Registry changes")), installed);
  EXPECT_NE(string::npos, installed.find("\r\n")) << "the registry editor's line ends";

  Result r = Dry({"--machine", (dir_ / "registry.reg").string(), "uninstall"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_NE(string::npos, r.out.find("default machine + " + (dir_ / "registry.reg").string() + "\n")) << r.out;
  EXPECT_NE(string::npos, r.out.find("UninstallPrinter returned 0\n")) << r.out;
  string reg = Section(r.out, "Registry changes");
  EXPECT_NE(string::npos, reg.find("[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\LPTENUM\\NorvaleTX-5400]\n"))
      << reg;
  EXPECT_NE(string::npos, reg.find("[-" + kXpPrinterKey + "]\n")) << reg;
  // Only the top of a removed branch is written.
  EXPECT_EQ(string::npos, reg.find("[-" + kXpNode.substr(1))) << reg;
  EXPECT_NE(string::npos, reg.find("\"Device\"=\"Office Laser,winspool,LPT2:\"\n")) << reg;
  EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet001\\Enum\\LPTENUM\\NorvaleTX-5400"));
}

// The words run in one load of the library: after an uninstall, the install
// deletes the device node without writing it again; a new run loads afresh.
TEST_F(DryRunTest, SequenceRunsInOneLoadOfTheLibrary) {
  struct Case {
    std::vector<string> args;
    string results;
    bool node, queue;
  };
  const Case cases[] = {
      {{"install", "install"}, "CreatePrinter returned 1\nCreatePrinter returned 1\n", true, true},
      {{}, "CreatePrinter returned 1\nUninstallPrinter returned 0\n", false, false},
      {{"uninstall", "install"}, "UninstallPrinter returned 0\nCreatePrinter returned 1\n", false, true},
      {{"install"}, "CreatePrinter returned 1\n", true, true},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    Result r = Dry(c.args);
    ASSERT_EQ(0, r.rc) << "case " << i << ": " << r.err;
    EXPECT_NE(string::npos, r.out.find(c.results)) << "case " << i << "\n" << r.out;
    string reg = Section(r.out, "Registry changes");
    EXPECT_EQ(c.node, reg.find(kXpNode) != string::npos) << "case " << i << "\n" << reg;
    EXPECT_EQ(c.queue, Section(r.out, "Spooler").find("  + \"" + kQueue + "\" on") != string::npos)
        << "case " << i;
    // A default-only version-2 directory afterwards when the files were removed again.
    EXPECT_EQ(c.queue, Section(r.out, "Files").find(sim::VersionDirectory() + "nrvs1.dll (") != string::npos)
        << "case " << i;
  }
}

TEST_F(DryRunTest, FaultsFailTheChosenCallWithAFittingError) {
  struct Case {
    string spec, title, traced;
  };
  const Case cases[] = {
      {"AddPrinterA", "Fault: call 1 of AddPrinterA fails with error 5 (ERROR_ACCESS_DENIED)\n", "AddPrinterA("},
      {"GetVersionExA#1", "Fault: call 1 of GetVersionExA fails with error 122 (ERROR_INSUFFICIENT_BUFFER)\n",
       "GetVersionExA("},
      {"CopyFileA#2=ERROR_SHARING_VIOLATION",
       "Fault: call 2 of CopyFileA fails with error 32 (ERROR_SHARING_VIOLATION)\n", "CopyFileA("},
      {"RegCreateKeyA#3=0x6", "Fault: call 3 of RegCreateKeyA fails with error 6 (ERROR_INVALID_HANDLE)\n",
       "RegCreateKeyA("},
      {"SendMessageTimeoutA=1460", "Fault: call 1 of SendMessageTimeoutA fails with error 1460 (ERROR_TIMEOUT)\n",
       "SendMessageTimeoutA("},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    Result r = Dry({"--fail", c.spec, "--trace", "install"});
    ASSERT_EQ(0, r.rc) << "case " << i << ": " << r.err;
    EXPECT_NE(string::npos, r.out.find(c.title)) << "case " << i << "\n" << r.out;
    string trace = Section(r.out, "Trace");
    size_t injected = trace.find("[injected fault]");
    ASSERT_NE(string::npos, injected) << "case " << i << "\n" << trace;
    size_t lineStart = trace.rfind('\n', injected) + 1;
    EXPECT_EQ(string::npos, trace.find("[injected fault]", injected + 1)) << "case " << i << ": one fault only";
    EXPECT_NE(string::npos, trace.substr(lineStart, injected - lineStart).find(c.traced))
        << "case " << i << "\n" << trace.substr(lineStart, injected - lineStart);
  }

  Result noQueue = Dry({"--fail", "AddPrinterA", "install"});
  ASSERT_EQ(0, noQueue.rc) << noQueue.err;
  EXPECT_EQ(string::npos, Section(noQueue.out, "Spooler").find("  + \"" + kQueue + "\" on")) << noQueue.out;
  EXPECT_FALSE(sim::FindQueue(kQueue).has_value());

  Result copy = Dry({"--fail", "CopyFileA#2=ERROR_SHARING_VIOLATION", "install"});
  ASSERT_EQ(0, copy.rc) << copy.err;
  string messages = Section(copy.out, "Messages");
  EXPECT_NE(string::npos, messages.find("caption \"" + kQueue + "\", style 0x0, no owner window, text:\n"
                                        "    | COPY FILE ERROR\n"))
      << messages;
}

TEST_F(DryRunTest, LockedFileIsMovedAsideAndScheduledForDeletion) {
  Result r = Dry({"--lock", "nrvs1.dll", "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  string v = sim::VersionDirectory();
  EXPECT_NE(string::npos, r.out.find("In use: " + v + "nrvs1.dll\n")) << r.out;
  string files = Section(r.out, "Files");
  EXPECT_NE(string::npos,
            files.find("Moved aside:\n  " + v + "nrvs1.dll -> " + v + "nrvs1.dll.000 (a new copy took its place)\n"))
      << files;
  EXPECT_NE(string::npos, files.find("Scheduled for deletion at restart:\n  " + v + "nrvs1.dll.000\n")) << files;
  // The locked file stood there before the run, so it is neither created nor deleted.
  EXPECT_EQ(string::npos, files.find(v + "nrvs1.dll (")) << files;
  EXPECT_NE(string::npos, files.find("Deleted:\n  (none)\n")) << files;

  Result missing = Dry({"--lock", "C:\\NOWHERE\\nrvs1.dll", "install"});
  EXPECT_EQ(2, missing.rc);
  EXPECT_EQ("nrvdry: --lock C:\\NOWHERE\\nrvs1.dll: no such file on the machine\n", missing.err);
  EXPECT_EQ("", missing.out);
  EXPECT_TRUE(sim::Trace().empty()) << "no export ran";
}

TEST_F(DryRunTest, StuckSpoolerShowsTheMessagesAndTheWait) {
  Result r = Dry({"--spooler-stuck", "stop", "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_NE(string::npos, r.out.find("The spooler never finishes stopping\n")) << r.out;
  string messages = Section(r.out, "Messages");
  EXPECT_NE(string::npos, messages.find("caption (none), style 0x0, no owner window, text:\n")) << messages;
  EXPECT_EQ("Virtual time waited: " + std::to_string(sim::Now()) + " ms\n", Section(r.out, "Time"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), sim::SpoolerState());
}

TEST_F(DryRunTest, NineXInstallAndCleanPnpKeys) {
  const string node = "[HKEY_LOCAL_MACHINE\\Enum\\LPTENUM\\NorvaleTX-5400C83B\\BIOS&*PNP0400&00]";
  Result r = Dry({"--os", "win98", "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_NE(string::npos, r.out.find("nrvdry: win98, library libnrvksys.so")) << r.out;
  EXPECT_NE(string::npos, Section(r.out, "Registry changes").find(node)) << r.out;
  EXPECT_NE(string::npos, Section(r.out, "Spooler").find("  + \"" + kQueue + "\" on \"LPT1\"")) << r.out;

  Result clean = Dry({"--os=win98", "install", "clean-pnp"});
  ASSERT_EQ(0, clean.rc) << clean.err;
  EXPECT_NE(string::npos, clean.out.find("CreatePrinter returned 1\nCleanPnpKeys returned\n")) << clean.out;
  EXPECT_EQ(string::npos, Section(clean.out, "Registry changes").find(node)) << clean.out;
  EXPECT_NE(string::npos, Section(clean.out, "Spooler").find("  + \"" + kQueue + "\" on \"LPT1\"")) << clean.out;
}

TEST_F(DryRunTest, FilesAndBareMachineSeedTheRun) {
  fs::create_directories(dir_ / "drivers");
  WriteHost(dir_ / "drivers" / "nrvs1.dll", "NEW BUILD");
  WriteHost(dir_ / "drivers" / "readme.txt", "notes");
  Result r = Dry({"--files", (dir_ / "drivers").string(), "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_EQ("NEW BUILD", sim::ReadFile(sim::VersionDirectory() + "nrvs1.dll").value_or("missing"));
  EXPECT_EQ("notes", sim::ReadFile(sim::DriverDirectory() + "readme.txt").value_or("missing"));
  EXPECT_NE(string::npos, Section(r.out, "Files").find(sim::VersionDirectory() + "nrvs1.dll (9 bytes)")) << r.out;

  WriteHost(dir_ / "seed.reg",
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS\\0000]\n"
            "\"ParentIdPrefix\"=\"7&1&0\"\n\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM]\n");
  Result bare = Dry({"--bare", "--machine", (dir_ / "seed.reg").string(), "install"});
  ASSERT_EQ(0, bare.rc) << bare.err;
  EXPECT_NE(string::npos, bare.out.find(", bare machine + ")) << bare.out;
  EXPECT_NE(string::npos, Section(bare.out, "Spooler").find("Queues before:\n  (none)\n")) << bare.out;
  EXPECT_NE(string::npos, Section(bare.out, "Registry changes").find("\\NorvaleTX-5400\\7&1&0&LPT1.4]")) << bare.out;
}

TEST_F(DryRunTest, OutWritesEachPartAndTheTraceOnlyWhenAsked) {
  Result r = Dry({"--out", (dir_ / "a").string(), "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_EQ(r.out, ReadHost(dir_ / "a" / "report.txt"));
  EXPECT_EQ(Section(r.out, "Spooler"), ReadHost(dir_ / "a" / "spooler.txt") + "\n");
  EXPECT_EQ(Section(r.out, "Files"), ReadHost(dir_ / "a" / "files.txt") + "\n");
  EXPECT_EQ(Section(r.out, "Messages"), ReadHost(dir_ / "a" / "messages.txt") + "\n");
  EXPECT_EQ(Section(r.out, "Processes"), ReadHost(dir_ / "a" / "processes.txt") + "\n");
  EXPECT_FALSE(fs::exists(dir_ / "a" / "trace.txt"));

  Result t = Dry({"--out=" + (dir_ / "b").string(), "--trace", "install"});
  ASSERT_EQ(0, t.rc) << t.err;
  string trace = ReadHost(dir_ / "b" / "trace.txt");
  EXPECT_EQ(0u, trace.find("Windows calls:\n  1. ")) << trace;
  EXPECT_EQ(Section(t.out, "Trace"), trace);
  // Every call of the run, numbered.
  EXPECT_NE(string::npos, trace.find("  " + std::to_string(sim::Trace().size()) + ". ")) << trace;
}

TEST_F(DryRunTest, BadInputExitsWithTwoAndRunsNothing) {
  WriteHost(dir_ / "bad.reg", "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\" \"x\"\n");
  string bad = (dir_ / "bad.reg").string();
  struct Case {
    std::vector<string> args;
    string message;  // the first line of the error output
  };
  const Case cases[] = {
      {{"--bogus"},
       "nrvdry: unknown option \"--bogus\"; accepted: --os, --machine, --bare, --files, --lock, --spooler-stuck, "
       "--fail, --trace, --out, --help"},
      {{"install", "frobnicate"}, "nrvdry: unknown step \"frobnicate\"; accepted: install, uninstall, clean-pnp"},
      {{"--os", "win31"},
       "nrvdry: unknown system \"win31\" for --os; accepted: nt40, win2000, winxp, win95, win98, winme"},
      {{"--os"}, "nrvdry: expected a value after --os"},
      {{"--trace=yes"}, "nrvdry: --trace takes no value"},
      {{"clean-pnp"},
       "nrvdry: clean-pnp is an export of the 9x library only; with --os winxp accepted: install, uninstall"},
      {{"--os", "win95", "--spooler-stuck", "stop"},
       "nrvdry: --spooler-stuck needs a system of the NT family; win95 has no spooler service"},
      {{"--spooler-stuck", "sideways"}, "nrvdry: unknown value \"sideways\" for --spooler-stuck; accepted: stop, start"},
      {{"--fail", "RegOpenKeyA#0"}, "nrvdry: expected a call number of 1 or more after '#' in --fail RegOpenKeyA#0"},
      {{"--fail", "Sleep"}, "nrvdry: unknown Windows function \"Sleep\" in --fail; accepted: RegOpenKeyA, "},
      {{"--fail", "RegOpenKeyA=ERROR_NOPE"},
       "nrvdry: unknown error \"ERROR_NOPE\" in --fail; expected a number or one of: ERROR_INVALID_FUNCTION, "},
      {{"--machine", (dir_ / "missing.reg").string()},
       "nrvdry: " + (dir_ / "missing.reg").string() + ": cannot read the file: No such file or directory"},
      {{"--machine", bad, "install"}, "nrvdry: " + bad + ":3: expected '=' after the value name"},
      {{"--files", (dir_ / "nodir").string()}, "nrvdry: " + (dir_ / "nodir").string() + ": cannot read the folder: "},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    sim::Reset(sim::Os::Win2000);
    sim::SetString("HKLM\\SOFTWARE\\Marker", "v", "untouched");
    Result r = Dry(c.args);
    EXPECT_EQ(2, r.rc) << "case " << i;
    EXPECT_EQ("", r.out) << "case " << i;
    EXPECT_EQ(0u, r.err.find(c.message)) << "case " << i << "\n" << r.err;
    EXPECT_EQ(sim::Os::Win2000, sim::CurrentOs()) << "case " << i << ": the machine was not rebuilt";
    EXPECT_EQ("untouched", sim::GetString("HKLM\\SOFTWARE\\Marker", "v").value_or("gone")) << "case " << i;
    EXPECT_TRUE(sim::Trace().empty()) << "case " << i;
  }
  // Options are listed for the user after a usage error.
  Result r = Dry({"--bogus"});
  EXPECT_NE(string::npos, r.err.find("usage: nrvdry [options] [install|uninstall|clean-pnp ...]\n")) << r.err;
}

}  // namespace
