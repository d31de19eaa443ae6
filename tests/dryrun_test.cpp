// The dry-run tool, called as its command line would call it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
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
const string kHeader = "Windows Registry Editor Version 5.00\n\n";
// Keys of the current control set are written through its link.
const string kXpModel = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400";
const string kXpNode = "[" + kXpModel + "\\2&3a5e4b7c&0&LPT1.4]";
const string kXpDriverKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\"
    "Version-3\\" + kQueue;
const string kXpPrinterKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + kQueue;
const string k9xModel = "HKEY_LOCAL_MACHINE\\Enum\\LPTENUM\\NorvaleTX-5400C83B";
const string k9xNode = "[" + k9xModel + "\\BIOS&*PNP0400&00]";
const string kNetHeading = "Net change of the sequence:";

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

// One part of a report: from its "=== HEADING" line to the next part.
string Part(const string &report, const string &heading) {
  size_t start = report.find("\n=== " + heading);
  if (start == string::npos) return "";
  ++start;
  size_t end = report.find("\n=== ", start);
  return report.substr(start, end == string::npos ? string::npos : end - start);
}

// The part of step `n` (1-based), which must be the export `word`.
string Step(const string &report, size_t n, const string &word) {
  return Part(report, "Step " + std::to_string(n) + ": " + word + "\n");
}

string Net(const string &report) { return Part(report, kNetHeading); }

// The text of one section of a part, from its title to the next one.
string Section(const string &part, const string &title) {
  size_t start = part.find("== " + title + "\n");
  if (start == string::npos) return "";
  start += title.size() + 4;
  size_t end = part.find("\n== ", start);
  return part.substr(start, end == string::npos ? string::npos : end + 1 - start);
}

// The numbered lines of a trace ("  12. RegOpenKeyA(...)").
size_t CallLines(const string &trace) {
  size_t n = 0;
  std::istringstream in(trace);
  for (string line; std::getline(in, line);) {
    unsigned number = 0;
    char dot = 0;
    if (line.rfind("  ", 0) == 0 && std::sscanf(line.c_str(), " %u%c", &number, &dot) == 2 && dot == '.') ++n;
  }
  return n;
}

size_t Count(const string &text, const string &what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
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

// A .reg written by the tool, as the registry editor would read it: for a
// system whose editor reads Version 5 files UTF-16LE with its byte-order
// mark, else single-byte REGEDIT4.
regfile::File ParseWritten(const fs::path &path, bool unicode = true) {
  string bytes = ReadHost(path);
  if (unicode) {
    EXPECT_EQ(0u, bytes.rfind(string("\xFF\xFEW\0i\0n\0", 8), 0)) << path << ": UTF-16LE with its byte-order mark";
  } else {
    EXPECT_EQ(0u, bytes.rfind("REGEDIT4\r\n\r\n", 0)) << path << ": REGEDIT4 with CRLF";
  }
  regfile::File file;
  regfile::Error error;
  EXPECT_TRUE(regfile::Parse(bytes, &file, &error)) << path << ":" << error.line << ": " << error.message;
  return file;
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

TEST_F(DryRunTest, InstallStepOnXpAddsTheQueueAndTheDeviceNode) {
  Result r = Dry({"install"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(0u, r.out.find("nrvdry: winxp, library libnrvpnp.so, default machine\nSequence: install\n\n"
                           "=== Step 1: install\nCreatePrinter returned 1\n\n== Registry changes\n"))
      << r.out;
  string step = Step(r.out, 1, "install");
  ASSERT_NE("", step) << r.out;

  string reg = Section(step, "Registry changes");
  regfile::File file;
  regfile::Error error;
  ASSERT_TRUE(regfile::Parse(reg, &file, &error)) << error.line << ": " << error.message << "\n" << reg;
  // The new model key holds no values: the node's line makes it.
  EXPECT_NE(string::npos, reg.find("\n\n" + kXpNode + "\n\"Capabilities\"=dword:00000040\n")) << reg;
  EXPECT_EQ(string::npos, reg.find("[" + kXpModel + "]\n")) << reg;
  EXPECT_NE(string::npos, reg.find(kXpNode.substr(0, kXpNode.size() - 1) + "\\Device Parameters]\n"
                                   "\"PortName\"=\"LPT1:\"\n"))
      << reg;
  EXPECT_TRUE(HasOp(file, regfile::Op::kCreateKey, kXpPrinterKey)) << reg;
  EXPECT_NE(string::npos,
            reg.find("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows]\n"
                     "\"Device\"=\"Norvale TX-5400 Series,winspool,LPT1:\"\n"))
      << reg;
  // Keys the install leaves alone are not in the file, and no key is named
  // by the numbered control set the link leads to.
  EXPECT_EQ(string::npos, reg.find("PARALLELCLASS")) << reg;
  EXPECT_EQ(string::npos, reg.find("[-")) << reg;
  EXPECT_EQ(string::npos, reg.find("ControlSet001")) << reg;

  string spooler = Section(step, "Spooler");
  EXPECT_NE(string::npos, spooler.find("Queues before:\n    \"Office Laser\" on \"LPT2:\"")) << spooler;
  EXPECT_NE(string::npos, spooler.find("  + \"" + kQueue + "\" on \"LPT1:\", driver \"" + kQueue + "\"\n"))
      << spooler;
  EXPECT_NE(string::npos, spooler.find("  + \"" + kQueue + "\", environment \"Windows NT x86\"")) << spooler;
  ASSERT_TRUE(sim::FindQueue(kQueue).has_value()) << "the machine after the run is the one reported";

  string files = Section(step, "Files");
  EXPECT_NE(string::npos, files.find("Created:\n  " + sim::VersionDirectory() + "nrvs1.dll (")) << files;
  EXPECT_NE(string::npos, files.find("Moved aside:\n  (none)\n")) << files;

  string messages = Section(step, "Messages");
  EXPECT_NE(string::npos, messages.find("Message boxes:\n  (none)\n")) << messages;
  EXPECT_NE(string::npos,
            messages.find("Broadcasts:\n  window 0xffff, message 0x1a, wParam 0, lParam 0, flags 0x0, time-out 1000 ms\n"))
      << messages;
  EXPECT_EQ("Virtual time waited: " + std::to_string(sim::Now()) + " ms\n", Section(step, "Time"));
  EXPECT_GT(sim::Now(), 0u) << "the spooler restart waits";
  EXPECT_EQ("", Section(step, "Trace")) << "no trace unless asked";

  // One step: the net change is the step's.
  string net = Net(r.out);
  EXPECT_EQ(0u, net.find("=== " + kNetHeading + " install\nCreatePrinter returned 1\n\n")) << net;
  EXPECT_EQ(reg, Section(net, "Registry changes"));
  EXPECT_EQ("Drivers:\n  + \"" + kQueue + "\", environment \"Windows NT x86\", version 3, added at level 2\n"
            "Queues:\n  + \"" + kQueue + "\" on \"LPT1:\", driver \"" + kQueue + "\"\n\n",
            Section(net, "Spooler"));
  EXPECT_EQ(0u, Section(net, "Files").find("Created:\n  " + sim::VersionDirectory() + "nrvs1.dll (")) << net;
  EXPECT_EQ("Virtual time waited in all: " + std::to_string(sim::Now()) + " ms\n", Section(net, "Time"));
}

// The README's first command: each export on its own, then what the two
// came to together.
TEST_F(DryRunTest, DefaultSequenceReportsEachStepThenTheNetChange) {
  Result r = Dry({});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_EQ(0u, r.out.find("nrvdry: winxp, library libnrvpnp.so, default machine\nSequence: install uninstall\n\n"
                           "=== Step 1: install\n"))
      << r.out;
  EXPECT_EQ(2u, Count(r.out, "\n=== Step ")) << r.out;
  EXPECT_EQ(3u, Count(r.out, "\n=== ")) << "two steps and the net part\n" << r.out;
  string install = Step(r.out, 1, "install"), uninstall = Step(r.out, 2, "uninstall"), net = Net(r.out);
  ASSERT_NE("", install) << r.out;
  ASSERT_NE("", uninstall) << r.out;
  ASSERT_NE("", net) << r.out;
  EXPECT_LT(r.out.find(install), r.out.find(uninstall));
  EXPECT_LT(r.out.find(uninstall), r.out.find(net));

  string reg = Section(install, "Registry changes");
  EXPECT_NE(string::npos, reg.find(kXpNode + "\n")) << reg;
  EXPECT_NE(string::npos, Section(install, "Spooler").find("  + \"" + kQueue + "\" on \"LPT1:\"")) << install;
  EXPECT_NE(string::npos, Section(install, "Files").find("Created:\n  " + sim::VersionDirectory() + "nrvs1.dll ("))
      << install;

  EXPECT_EQ(0u, uninstall.find("=== Step 2: uninstall\nUninstallPrinter returned 0\n\n")) << uninstall;
  reg = Section(uninstall, "Registry changes");
  EXPECT_NE(string::npos, reg.find("[-" + kXpModel + "]\n")) << reg;
  EXPECT_NE(string::npos, reg.find("[-" + kXpPrinterKey + "]\n")) << reg;
  EXPECT_EQ(string::npos, reg.find("[-" + kXpNode.substr(1))) << "only the top of a removed branch\n" << reg;
  EXPECT_NE(string::npos, reg.find("[HKEY_CURRENT_USER\\Printers]\n\"DeviceOld\"=-\n")) << reg;
  EXPECT_NE(string::npos, reg.find("\"Device\"=\"Office Laser,winspool,LPT2:\"\n")) << reg;
  string spooler = Section(uninstall, "Spooler");
  EXPECT_NE(string::npos, spooler.find("  - \"" + kQueue + "\" on \"LPT1:\"")) << spooler;
  EXPECT_NE(string::npos, spooler.find("  - \"" + kQueue + "\", environment \"Windows NT x86\"")) << spooler;
  EXPECT_EQ(string::npos, spooler.find("  + ")) << spooler;
  string files = Section(uninstall, "Files");
  EXPECT_NE(string::npos, files.find("Created:\n  (none)\n")) << files;
  EXPECT_NE(string::npos, files.find("Deleted:\n  " + sim::VersionDirectory() + "nrvs1.dll\n")) << files;

  // Together they leave the user's old default entry deleted, and nothing else.
  EXPECT_EQ(0u, net.find("=== " + kNetHeading + " install uninstall\nCreatePrinter returned 1\n"
                         "UninstallPrinter returned 0\n\n"))
      << net;
  EXPECT_EQ(kHeader + "[HKEY_CURRENT_USER\\Printers]\n\"DeviceOld\"=-\n\n", Section(net, "Registry changes"));
  EXPECT_EQ("Drivers: no change\nQueues: no change\n\n", Section(net, "Spooler"));
  EXPECT_EQ("No change\n\n", Section(net, "Files"));
  unsigned long long installWait = 0, uninstallWait = 0;
  ASSERT_EQ(1, std::sscanf(Section(install, "Time").c_str(), "Virtual time waited: %llu ms", &installWait));
  ASSERT_EQ(1, std::sscanf(Section(uninstall, "Time").c_str(), "Virtual time waited: %llu ms", &uninstallWait));
  EXPECT_GT(installWait, 0u);
  EXPECT_EQ(sim::Now(), installWait + uninstallWait);
  EXPECT_EQ("Virtual time waited in all: " + std::to_string(sim::Now()) + " ms\n", Section(net, "Time"));
}

// The words run in one load of the library, and each step shows only what
// it did: after an uninstall, the install deletes the device node without
// writing it again; a second install finds the first one's node and has
// dacl.exe open its keys before it writes the node again.
TEST_F(DryRunTest, EachStepShowsOnlyItsOwnChanges) {
  struct StepWant {
    string word, result;
    bool node;          // the device node written in the step's .reg
    std::vector<string> removed;  // the branches the step's .reg deletes
    string queueMark;   // "+", "-" or "" for the queue in the step's spooler lists
    size_t processes;   // dacl.exe starts
  };
  struct Case {
    std::vector<string> args;
    string node;  // the device node's heading
    std::vector<StepWant> steps;
    bool netNode;     // the device node in the net .reg
    string netQueue;  // the net spooler line of the queues
  };
  const string added = "Queues:\n  + \"" + kQueue + "\" on ";
  const std::vector<string> none, uninstalled = {kXpDriverKey, kXpPrinterKey, kXpModel};
  const Case cases[] = {
      {{},
       kXpNode,
       {{"install", "CreatePrinter returned 1", true, none, "+", 0},
        {"uninstall", "UninstallPrinter returned 0", false, uninstalled, "-", 0}},
       false,
       "Queues: no change\n"},
      {{"install", "install"},
       kXpNode,
       {{"install", "CreatePrinter returned 1", true, none, "+", 0},
        {"install", "CreatePrinter returned 1", false, none, "", 5}},
       true,
       added},
      {{"uninstall", "install"},
       kXpNode,
       {{"uninstall", "UninstallPrinter returned 0", false, none, "", 0},
        {"install", "CreatePrinter returned 1", false, none, "+", 0}},
       false,
       added},
      {{"install", "uninstall", "install"},
       kXpNode,
       {{"install", "CreatePrinter returned 1", true, none, "+", 0},
        {"uninstall", "UninstallPrinter returned 0", false, uninstalled, "-", 0},
        {"install", "CreatePrinter returned 1", false, none, "+", 0}},
       false,
       added},
      {{"--os", "win98", "install", "clean-pnp"},
       k9xNode,
       {{"install", "CreatePrinter returned 1", true, none, "+", 0},
        {"clean-pnp", "CleanPnpKeys returned", false, {k9xModel}, "", 0}},
       false,
       added},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    Result r = Dry(c.args);
    ASSERT_EQ(0, r.rc) << "case " << i << ": " << r.err;
    EXPECT_EQ(c.steps.size(), Count(r.out, "\n=== Step ")) << "case " << i << "\n" << r.out;
    for (size_t n = 0; n < c.steps.size(); ++n) {
      const StepWant &w = c.steps[n];
      SCOPED_TRACE("case " + std::to_string(i) + ", step " + std::to_string(n + 1) + " " + w.word);
      string step = Step(r.out, n + 1, w.word);
      ASSERT_NE("", step) << r.out;
      EXPECT_EQ(0u, step.find("=== Step " + std::to_string(n + 1) + ": " + w.word + "\n" + w.result + "\n\n"))
          << step;
      string reg = Section(step, "Registry changes");
      EXPECT_EQ(w.node, reg.find(c.node + "\n") != string::npos) << reg;
      EXPECT_EQ(w.removed.size(), Count(reg, "[-")) << reg;
      for (const string &key : w.removed) EXPECT_NE(string::npos, reg.find("[-" + key + "]\n")) << key << "\n" << reg;
      string spooler = Section(step, "Spooler");
      for (const char *mark : {"+", "-"}) {
        EXPECT_EQ(w.queueMark == mark, spooler.find(string("  ") + mark + " \"" + kQueue + "\" on ") != string::npos)
            << "mark " << mark << "\n" << spooler;
      }
      EXPECT_EQ(w.processes, Count(Section(step, "Processes"), "\"dacl.exe /SYSTEM\\\\CurrentControlSet\\\\Enum\\\\"))
          << Section(step, "Processes");
    }
    string net = Net(r.out);
    ASSERT_NE("", net) << "case " << i << "\n" << r.out;
    EXPECT_EQ(c.netNode, Section(net, "Registry changes").find(c.node + "\n") != string::npos)
        << "case " << i << "\n" << net;
    EXPECT_NE(string::npos, Section(net, "Spooler").find(c.netQueue)) << "case " << i << "\n" << net;
  }
}

// Each step's .reg carries the machine from the step before to the step
// after: applied in order to a fresh machine they give the registry the
// run left, and so does the net file alone.
TEST_F(DryRunTest, StepFilesReplayTheRunOnAFreshMachine) {
  struct Case {
    sim::Os os;
    std::vector<string> words;
  };
  const Case cases[] = {
      {sim::Os::WinXP, {"install", "uninstall"}},
      {sim::Os::WinXP, {"install", "install"}},
      {sim::Os::WinXP, {"uninstall", "install", "install"}},
      {sim::Os::Win2000, {"install"}},
      {sim::Os::Nt40, {"install", "uninstall"}},
      {sim::Os::Win98, {"install", "clean-pnp", "uninstall"}},
      {sim::Os::WinMe, {"clean-pnp", "install"}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    fs::path out = dir_ / std::to_string(i);
    std::vector<string> args = {"--os", sim::OsName(c.os), "--out", out.string()};
    args.insert(args.end(), c.words.begin(), c.words.end());
    Result r = Dry(args);
    ASSERT_EQ(0, r.rc) << r.err;
    std::vector<sim::RegKeyDump> left = sim::DumpRegistry();
    bool unicode = c.os == sim::Os::Win2000 || c.os == sim::Os::WinXP;

    sim::BuildDefaultMachine(c.os);
    for (size_t n = 0; n < c.words.size(); ++n) {
      fs::path file = out / (std::to_string(n + 1) + "-" + c.words[n]) / "registry.reg";
      regfile::Error error;
      ASSERT_TRUE(regfile::Apply(ParseWritten(file, unicode), &error))
          << file << ":" << error.line << ": " << error.message;
    }
    EXPECT_FALSE(regfile::HasChanges(left, sim::DumpRegistry()))
        << "steps replayed\n" << regfile::WriteDiff(left, sim::DumpRegistry());

    sim::BuildDefaultMachine(c.os);
    regfile::Error error;
    ASSERT_TRUE(regfile::Apply(ParseWritten(out / "registry.reg", unicode), &error))
        << error.line << ": " << error.message;
    EXPECT_FALSE(regfile::HasChanges(left, sim::DumpRegistry()))
        << "net file\n" << regfile::WriteDiff(left, sim::DumpRegistry());
  }
}

TEST_F(DryRunTest, UninstallRemovesWhatAnInstallLeft) {
  Result first = Dry({"install", "--out", dir_.string()});
  ASSERT_EQ(0, first.rc) << first.err;
  fs::path installed = dir_ / "1-install" / "registry.reg";
  EXPECT_EQ(regfile::ForRegistryEditor(Section(Step(first.out, 1, "install"), "Registry changes")),
            ReadHost(installed));

  Result r = Dry({"--machine", installed.string(), "uninstall"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_NE(string::npos, r.out.find("default machine + " + installed.string() + "\n")) << r.out;
  string step = Step(r.out, 1, "uninstall");
  EXPECT_EQ(0u, step.find("=== Step 1: uninstall\nUninstallPrinter returned 0\n")) << r.out;
  string reg = Section(step, "Registry changes");
  EXPECT_NE(string::npos, reg.find("[-" + kXpModel + "]\n")) << reg;
  EXPECT_NE(string::npos, reg.find("[-" + kXpPrinterKey + "]\n")) << reg;
  EXPECT_NE(string::npos, reg.find("\"Device\"=\"Office Laser,winspool,LPT2:\"\n")) << reg;
  EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet001\\Enum\\LPTENUM\\NorvaleTX-5400"));
}

TEST_F(DryRunTest, FaultsFailTheChosenCallWithAFittingError) {
  struct Case {
    string faultText, title, traced;
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
    Result r = Dry({"--fail", c.faultText, "--trace", "install"});
    ASSERT_EQ(0, r.rc) << "case " << i << ": " << r.err;
    EXPECT_NE(string::npos, r.out.find(c.title)) << "case " << i << "\n" << r.out;
    string trace = Section(Step(r.out, 1, "install"), "Trace");
    size_t injected = trace.find("[injected fault]");
    ASSERT_NE(string::npos, injected) << "case " << i << "\n" << trace;
    size_t lineStart = trace.rfind('\n', injected) + 1;
    EXPECT_EQ(string::npos, trace.find("[injected fault]", injected + 1)) << "case " << i << ": one fault only";
    EXPECT_NE(string::npos, trace.substr(lineStart, injected - lineStart).find(c.traced))
        << "case " << i << "\n" << trace.substr(lineStart, injected - lineStart);
  }

  Result noQueue = Dry({"--fail", "AddPrinterA", "install"});
  ASSERT_EQ(0, noQueue.rc) << noQueue.err;
  EXPECT_EQ(string::npos, Section(Step(noQueue.out, 1, "install"), "Spooler").find("  + \"" + kQueue + "\" on"))
      << noQueue.out;
  EXPECT_NE(string::npos, Section(Net(noQueue.out), "Spooler").find("Queues: no change\n")) << noQueue.out;
  EXPECT_FALSE(sim::FindQueue(kQueue).has_value());

  // A fault in the second step shows there, not in the first: the file it
  // could not overwrite is moved aside and copied again.
  Result second = Dry({"--fail", "CopyFileA#9=ERROR_SHARING_VIOLATION", "--trace", "install", "install"});
  ASSERT_EQ(0, second.rc) << second.err;
  string one = Step(second.out, 1, "install"), two = Step(second.out, 2, "install");
  EXPECT_EQ(0u, Count(Section(one, "Trace"), "[injected fault]")) << one;
  EXPECT_EQ(1u, Count(Section(two, "Trace"), "[injected fault]")) << two;
  const string v = sim::VersionDirectory();
  EXPECT_NE(string::npos, Section(one, "Files").find("Moved aside:\n  (none)\n")) << one;
  EXPECT_NE(string::npos, Section(two, "Files").find("Moved aside:\n  " + v + "nrvs1.sdd -> " + v +
                                                     "nrvs1.sdd.000 (a new copy took its place)\n"))
      << two;
  EXPECT_NE(string::npos, Section(two, "Files").find("Scheduled for deletion at restart:\n  " + v + "nrvs1.sdd.000\n"))
      << two;

  Result copy = Dry({"--fail", "CopyFileA#2=ERROR_SHARING_VIOLATION", "install"});
  ASSERT_EQ(0, copy.rc) << copy.err;
  string messages = Section(Step(copy.out, 1, "install"), "Messages");
  EXPECT_NE(string::npos, messages.find("caption \"" + kQueue + "\", style 0x0, no owner window, text:\n"
                                        "    | COPY FILE ERROR\n"))
      << messages;
}

TEST_F(DryRunTest, LockedFileIsMovedAsideAndScheduledForDeletion) {
  Result r = Dry({"--lock", "nrvs1.dll", "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  string v = sim::VersionDirectory();
  EXPECT_NE(string::npos, r.out.find("In use: " + v + "nrvs1.dll\n")) << r.out;
  string files = Section(Step(r.out, 1, "install"), "Files");
  EXPECT_NE(string::npos,
            files.find("Moved aside:\n  " + v + "nrvs1.dll -> " + v + "nrvs1.dll.000 (a new copy took its place)\n"))
      << files;
  EXPECT_NE(string::npos, files.find("Scheduled for deletion at restart:\n  " + v + "nrvs1.dll.000\n")) << files;
  // The locked file stood there before the run, so it is neither created nor deleted.
  EXPECT_EQ(string::npos, files.find(v + "nrvs1.dll (")) << files;
  EXPECT_NE(string::npos, files.find("Deleted:\n  (none)\n")) << files;
  string net = Section(Net(r.out), "Files");
  EXPECT_NE(string::npos, net.find("Moved aside:\n  " + v + "nrvs1.dll -> " + v + "nrvs1.dll.000\n")) << net;
  EXPECT_NE(string::npos, net.find("Scheduled for deletion at restart:\n  " + v + "nrvs1.dll.000\n")) << net;
  EXPECT_EQ(string::npos, net.find("Deleted:")) << "the net lists only what changed\n" << net;

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
  string step = Step(r.out, 1, "install");
  string messages = Section(step, "Messages");
  EXPECT_NE(string::npos, messages.find("caption (none), style 0x0, no owner window, text:\n")) << messages;
  EXPECT_EQ("Virtual time waited: " + std::to_string(sim::Now()) + " ms\n", Section(step, "Time"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), sim::SpoolerState());
}

TEST_F(DryRunTest, NineXInstallAndCleanPnpKeys) {
  Result r = Dry({"--os", "win98", "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_NE(string::npos, r.out.find("nrvdry: win98, library libnrvksys.so")) << r.out;
  string step = Step(r.out, 1, "install");
  EXPECT_NE(string::npos, Section(step, "Registry changes").find(k9xNode + "\n")) << r.out;
  EXPECT_NE(string::npos, Section(step, "Spooler").find("  + \"" + kQueue + "\" on \"LPT1\"")) << r.out;

  Result clean = Dry({"--os=win98", "install", "clean-pnp"});
  ASSERT_EQ(0, clean.rc) << clean.err;
  string cleaned = Step(clean.out, 2, "clean-pnp");
  EXPECT_EQ(0u, cleaned.find("=== Step 2: clean-pnp\nCleanPnpKeys returned\n\n")) << clean.out;
  EXPECT_EQ("REGEDIT4\n\n[-" + k9xModel + "]\n\n", Section(cleaned, "Registry changes"));
  EXPECT_EQ(string::npos, Section(Net(clean.out), "Registry changes").find(k9xNode)) << clean.out;
  EXPECT_NE(string::npos, Section(Net(clean.out), "Spooler").find("  + \"" + kQueue + "\" on \"LPT1\"")) << clean.out;
}

TEST_F(DryRunTest, FilesAndBareMachineSeedTheRun) {
  fs::create_directories(dir_ / "drivers");
  WriteHost(dir_ / "drivers" / "nrvs1.dll", "NEW BUILD");
  WriteHost(dir_ / "drivers" / "readme.txt", "notes");
  Result r = Dry({"--files", (dir_ / "drivers").string(), "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_EQ("NEW BUILD", sim::ReadFile(sim::VersionDirectory() + "nrvs1.dll").value_or("missing"));
  EXPECT_EQ("notes", sim::ReadFile(sim::DriverDirectory() + "readme.txt").value_or("missing"));
  EXPECT_NE(string::npos,
            Section(Step(r.out, 1, "install"), "Files").find(sim::VersionDirectory() + "nrvs1.dll (9 bytes)"))
      << r.out;

  WriteHost(dir_ / "seed.reg",
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS\\0000]\n"
            "\"ParentIdPrefix\"=\"7&1&0\"\n\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM]\n");
  Result bare = Dry({"--bare", "--machine", (dir_ / "seed.reg").string(), "install"});
  ASSERT_EQ(0, bare.rc) << bare.err;
  EXPECT_NE(string::npos, bare.out.find(", bare machine + ")) << bare.out;
  string step = Step(bare.out, 1, "install");
  EXPECT_NE(string::npos, Section(step, "Spooler").find("Queues before:\n  (none)\n")) << bare.out;
  EXPECT_NE(string::npos, Section(step, "Registry changes").find("[" + kXpModel + "\\7&1&0&LPT1.4]\n")) << bare.out;
}

TEST_F(DryRunTest, OutWritesEachStepsPartsAndTheNetOnes) {
  fs::path a = dir_ / "a";
  Result r = Dry({"--out", a.string(), "install", "uninstall"});
  ASSERT_EQ(0, r.rc) << r.err;
  EXPECT_EQ(r.out, ReadHost(a / "report.txt"));
  const std::pair<const char *, const char *> steps[] = {{"1-install", "install"}, {"2-uninstall", "uninstall"}};
  for (size_t n = 0; n < 2; ++n) {
    SCOPED_TRACE(steps[n].first);
    fs::path d = a / steps[n].first;
    string step = Step(r.out, n + 1, steps[n].second);
    ASSERT_NE("", step);
    EXPECT_EQ(step, ReadHost(d / "report.txt"));
    EXPECT_EQ(regfile::ForRegistryEditor(Section(step, "Registry changes")), ReadHost(d / "registry.reg"));
    EXPECT_EQ(Section(step, "Spooler"), ReadHost(d / "spooler.txt") + "\n");
    EXPECT_EQ(Section(step, "Files"), ReadHost(d / "files.txt") + "\n");
    EXPECT_EQ(Section(step, "Messages"), ReadHost(d / "messages.txt") + "\n");
    EXPECT_EQ(Section(step, "Processes"), ReadHost(d / "processes.txt") + "\n");
    EXPECT_EQ(Section(step, "Time"), ReadHost(d / "time.txt"));
    EXPECT_FALSE(fs::exists(d / "trace.txt"));
  }
  string net = Net(r.out);
  EXPECT_EQ(regfile::ForRegistryEditor(kHeader + "[HKEY_CURRENT_USER\\Printers]\n\"DeviceOld\"=-\n\n"),
            ReadHost(a / "registry.reg"));
  EXPECT_EQ(Section(net, "Spooler"), ReadHost(a / "spooler.txt") + "\n");
  EXPECT_EQ(Section(net, "Files"), ReadHost(a / "files.txt") + "\n");
  EXPECT_FALSE(fs::exists(a / "3-install"));
  EXPECT_FALSE(fs::exists(a / "trace.txt"));

  // The calls are numbered through the whole run, and each step lists its own.
  fs::path b = dir_ / "b";
  Result t = Dry({"--out=" + b.string(), "--trace", "install", "uninstall"});
  ASSERT_EQ(0, t.rc) << t.err;
  string first = ReadHost(b / "1-install" / "trace.txt"), second = ReadHost(b / "2-uninstall" / "trace.txt");
  EXPECT_EQ(0u, first.find("Windows calls:\n  1. ")) << first;
  EXPECT_EQ(Section(Step(t.out, 1, "install"), "Trace"), first);
  EXPECT_EQ(Section(Step(t.out, 2, "uninstall"), "Trace"), second);
  size_t firstCount = CallLines(first);
  ASSERT_GT(firstCount, 0u);
  EXPECT_EQ(0u, second.find("Windows calls:\n  " + std::to_string(firstCount + 1) + ". ")) << second;
  EXPECT_EQ(sim::Trace().size(), firstCount + CallLines(second));
  EXPECT_NE(string::npos, second.find("\n  " + std::to_string(sim::Trace().size()) + ". ")) << second;
  EXPECT_FALSE(fs::exists(b / "trace.txt"));
  EXPECT_EQ("", Section(Net(t.out), "Trace"));

  // A folder that cannot be made: the report is out, the run is a failure.
  WriteHost(dir_ / "plain", "a file");
  Result blocked = Dry({"--out", (dir_ / "plain").string(), "install"});
  EXPECT_EQ(1, blocked.rc);
  EXPECT_EQ(0u, blocked.err.find("nrvdry: " + (dir_ / "plain").string() + ": cannot make the folder: "))
      << blocked.err;
  EXPECT_NE("", Step(blocked.out, 1, "install"));
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
       "--fail, --trace, --reg-format, --out, --version, --help"},
      {{"install", "frobnicate"}, "nrvdry: unknown step \"frobnicate\"; accepted: install, uninstall, clean-pnp"},
      {{"--os", "win31"},
       "nrvdry: unknown system \"win31\" for --os; accepted: nt40, win2000, winxp, win95, win98, winme"},
      {{"--os"}, "nrvdry: expected a value after --os"},
      {{"--trace=yes"}, "nrvdry: --trace takes no value"},
      {{"--version=2"}, "nrvdry: --version takes no value"},
      {{"--reg-format", "regedit5"}, "nrvdry: unknown value \"regedit5\" for --reg-format; accepted: regedit4, version5"},
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

// The project's version, the one the DLLs' version resources carry, and
// nothing else: no machine is built, no export runs.
TEST_F(DryRunTest, VersionPrintsTheProjectVersionAndRunsNothing) {
  sim::Reset(sim::Os::Win2000);
  sim::SetString("HKLM\\SOFTWARE\\Marker", "v", "untouched");
  Result r = Dry({"install", "--version"});
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ(string("nrvdry ") + NRV_VERSION + "\n", r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(sim::Os::Win2000, sim::CurrentOs());
  EXPECT_EQ("untouched", sim::GetString("HKLM\\SOFTWARE\\Marker", "v").value_or("gone"));
  EXPECT_TRUE(sim::Trace().empty());

  // A VERSIONINFO holds up to four numbers of 16 bits each.
  std::istringstream parts(NRV_VERSION);
  string part;
  int count = 0;
  while (std::getline(parts, part, '.')) {
    ++count;
    bool digits = !part.empty() && part.size() <= 5 && part.find_first_not_of("0123456789") == string::npos;
    EXPECT_TRUE(digits && std::stoul(part) <= 65535u) << "\"" << part << "\" in " << NRV_VERSION;
  }
  EXPECT_GE(count, 1) << NRV_VERSION;
  EXPECT_LE(count, 4) << NRV_VERSION;
}

// A crafted export names a port device with escape sequences; the 9x
// install writes a device node named after it. Nothing nrvdry prints or
// writes for a person holds a byte outside printable ASCII, and both the
// plain report and the registry editor's file read back to the node's true
// name.
TEST_F(DryRunTest, HostileNamesAreEscapedAndReadBack) {
  const string device = "*PNP\x1b]0;owned\x07\x1b[2J\x9b" "0400";
  WriteHost(dir_ / "hostile.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\" + device +
                                      "\\00]\r\n\"PORTNAME\"=\"LPT1\"\r\n");
  fs::path out = dir_ / "out";
  Result r = Dry({"--os", "win98", "--machine", (dir_ / "hostile.reg").string(), "--out", out.string(), "install"});
  ASSERT_EQ(0, r.rc) << r.err;
  const string node = "HKEY_LOCAL_MACHINE\\Enum\\LPTENUM\\NorvaleTX-5400C83B\\BIOS&" + device + "&00";
  struct Written {
    const char *what;
    string text;
  };
  const Written shown[] = {{"standard output", r.out}, {"report.txt", ReadHost(out / "report.txt")},
                           {"step report.txt", ReadHost(out / "1-install" / "report.txt")}};
  for (size_t i = 0; i < sizeof shown / sizeof shown[0]; ++i) {
    for (char c : shown[i].text) {
      unsigned char u = static_cast<unsigned char>(c);
      ASSERT_TRUE(u == '\n' || (u >= 0x20 && u < 0x7F)) << shown[i].what << ": byte " << static_cast<int>(u);
    }
  }
  // The plain report's registry part, and each registry.reg, read back.
  string plain = Section(Step(r.out, 1, "install"), "Registry changes");
  regfile::File file;
  regfile::Error error;
  ASSERT_TRUE(regfile::Parse(plain, &file, &error)) << error.line << ": " << error.message << "\n" << plain;
  EXPECT_TRUE(HasOp(file, regfile::Op::kCreateKey, node)) << plain;
  for (const fs::path &reg : {out / "registry.reg", out / "1-install" / "registry.reg"}) {
    regfile::File written = ParseWritten(reg, false);
    EXPECT_TRUE(HasOp(written, regfile::Op::kCreateKey, node)) << reg;
  }
  // The editor's file (REGEDIT4 for Windows 98) keeps the name's bytes.
  EXPECT_NE(string::npos, ReadHost(out / "registry.reg").find("[" + node + "]\r\n")) << "registry.reg";
}

// Exports shaped to make a reader or the machine do work out of proportion:
// a key path deeper than a stack could recurse, siblings and values by the
// ten thousand in reverse order, values deleted again, a file of empty
// lines. Each runs, seeds the machine and reports.
TEST_F(DryRunTest, HostileShapesRun) {
  string deep = "[HKEY_CURRENT_USER\\Deep";
  for (int i = 0; i < 200000; ++i) deep += "\\k";
  deep += "]\n\"v\"=\"bottom\"\n";
  string wide, values = "[HKEY_CURRENT_USER\\Many]\n";
  for (int i = 20000; i > 0; --i) {
    wide += "[HKEY_CURRENT_USER\\Wide\\k" + std::to_string(i) + "]\n";
    values += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
  }
  for (int i = 1; i <= 20000; i += 2) values += "\"v" + std::to_string(i) + "\"=-\n";
  struct Case {
    string body;
    std::function<bool()> seeded;
  };
  const Case cases[] = {
      {deep, [] { return sim::KeyExists("HKCU\\Deep\\k\\k\\k"); }},
      {wide, [] { return sim::SubkeyNames("HKCU\\Wide").size() == 20000 && sim::KeyExists("HKCU\\Wide\\k20000"); }},
      {values, [] { return sim::ValueNames("HKCU\\Many").size() == 10000 && sim::GetValue("HKCU\\Many", "v2"); }},
      {string(1000000, '\n'), [] { return true; }},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    fs::path file = dir_ / ("shape" + std::to_string(i) + ".reg");
    WriteHost(file, "REGEDIT4\n" + cases[i].body);
    Result r = Dry({"--machine", file.string(), "--os", "win98", "install", "uninstall"});
    ASSERT_EQ(0, r.rc) << "case " << i << ": " << r.err;
    EXPECT_TRUE(cases[i].seeded()) << "case " << i;
    EXPECT_NE("", Net(r.out)) << "case " << i;
  }
}

// A file cut short, a bad line, a key given twice, binary junk: exit 2 with
// the file, the line and what was expected, and nothing run.
TEST_F(DryRunTest, DamagedExportsExitWithTheLineAndWhatWasExpected) {
  string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) % 256);
  string junkText = junk;
  for (char &c : junkText) c = c ? c : '\x1b';
  struct Case {
    string bytes;
    string message;  // after "nrvdry: FILE:"
  };
  const Case cases[] = {
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\"=hex:01,02,\\\n",
       "3: expected the hex data to go on after the line ending in '\\'; the file ends"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\"=\"open\n", "3: expected '\"' to end the string"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n[HKEY_CURRENT_USER\\B]\n[hkcu\\a]\n",
       "4: expected each key once; [HKEY_CURRENT_USER\\a] came at line 2 already"},
      {"REGEDIT4\n" + junk, ": expected plain text or UTF-16LE with its byte-order mark; found a NUL byte"},
      {"\xFF\xFE" + junk, ": expected ANSI characters; found U+"},
      {junkText, "1: expected the header"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    fs::path file = dir_ / ("damaged" + std::to_string(i) + ".reg");
    WriteHost(file, cases[i].bytes);
    sim::Reset(sim::Os::Win2000);
    Result r = Dry({"--machine", file.string(), "install"});
    EXPECT_EQ(2, r.rc) << "case " << i;
    EXPECT_EQ("", r.out) << "case " << i;
    string prefix = "nrvdry: " + file.string() + ":";
    ASSERT_EQ(0u, r.err.find(prefix)) << "case " << i << "\n" << r.err;
    string rest = r.err.substr(prefix.size());
    if (cases[i].message[0] == ':') {
      // The line is where the bad byte lies: a number, then the message.
      size_t colon = rest.find(':');
      ASSERT_NE(string::npos, colon) << "case " << i;
      EXPECT_GT(std::stoi(rest.substr(0, colon)), 0) << "case " << i;
      rest = rest.substr(colon);
    }
    EXPECT_EQ(0u, rest.find(cases[i].message)) << "case " << i << "\n" << r.err;
    EXPECT_TRUE(sim::Trace().empty()) << "case " << i;
    for (char c : r.err) {
      unsigned char u = static_cast<unsigned char>(c);
      EXPECT_TRUE(u == '\n' || (u >= 0x20 && u < 0x7F)) << "case " << i << ": byte " << static_cast<int>(u);
    }
  }
  // A key deleted in between may come again.
  fs::path again = dir_ / "again.reg";
  WriteHost(again, "REGEDIT4\n[HKEY_CURRENT_USER\\A\\B]\n[-HKEY_CURRENT_USER\\A]\n[HKEY_CURRENT_USER\\A\\B]\n"
                   "[HKEY_CURRENT_USER\\AB]\n[-HKEY_CURRENT_USER\\A\\B]\n[HKEY_CURRENT_USER\\AB]\n");
  Result r = Dry({"--machine", again.string(), "install"});
  EXPECT_EQ(2, r.rc);
  EXPECT_EQ("nrvdry: " + again.string() + ":7: expected each key once; [HKEY_CURRENT_USER\\AB] came at line 5 already\n",
            r.err);
}

// Each system gets the .reg format its registry editor imports: REGEDIT4,
// single-byte, for NT 4.0 and 9x; Version 5.00, UTF-16LE, for 2000 and XP;
// or the one asked for. Every file written reads back, with the project's
// reader, to the same entries as the plain report.
TEST_F(DryRunTest, RegFilesHaveTheFormatOfTheSystemsRegistryEditor) {
  struct Case {
    std::vector<string> args;
    bool unicode;
  };
  const Case cases[] = {
      {{"--os", "nt40"}, false},           {{"--os", "win95"}, false},
      {{"--os", "win98"}, false},          {{"--os", "winme"}, false},
      {{"--os", "win2000"}, true},         {{"--os", "winxp"}, true},
      {{"--os", "winxp", "--reg-format", "regedit4"}, false},
      {{"--os", "win98", "--reg-format=version5"}, true},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    fs::path out = dir_ / std::to_string(i);
    std::vector<string> args = cases[i].args;
    args.insert(args.end(), {"--out", out.string(), "install", "uninstall"});
    Result r = Dry(args);
    ASSERT_EQ(0, r.rc) << "case " << i << ": " << r.err;
    struct Pair {
      string plain;
      fs::path file;
    };
    const Pair pairs[] = {{Section(Step(r.out, 1, "install"), "Registry changes"), out / "1-install" / "registry.reg"},
                          {Section(Step(r.out, 2, "uninstall"), "Registry changes"), out / "2-uninstall" / "registry.reg"},
                          {Section(Net(r.out), "Registry changes"), out / "registry.reg"}};
    for (const Pair &p : pairs) {
      SCOPED_TRACE("case " + std::to_string(i) + " " + p.file.string());
      EXPECT_EQ(0u, p.plain.rfind(cases[i].unicode ? kHeader : "REGEDIT4\n\n", 0)) << p.plain;
      regfile::File fromText, fromFile = ParseWritten(p.file, cases[i].unicode);
      regfile::Error error;
      ASSERT_TRUE(regfile::Parse(p.plain, &fromText, &error)) << error.line << ": " << error.message;
      EXPECT_EQ(cases[i].unicode ? regfile::Format::Version5 : regfile::Format::Regedit4, fromFile.format);
      ASSERT_EQ(fromText.ops.size(), fromFile.ops.size());
      for (size_t j = 0; j < fromText.ops.size(); ++j) {
        const regfile::Op &a = fromText.ops[j], &b = fromFile.ops[j];
        EXPECT_TRUE(a.kind == b.kind && a.key == b.key && a.name == b.name && a.type == b.type && a.data == b.data)
            << "entry " << j << " at line " << a.line;
      }
    }
  }
  // A multi-string in a REGEDIT4 file is its single bytes.
  string reg = ReadHost(dir_ / "6" / "1-install" / "registry.reg");
  EXPECT_NE(string::npos, reg.find("\"CompatibleIDs\"=hex(7):4e,4f,52,56,41,4c,45,54,58,2d,39,45,32,44,34,37,42,31,"
                                   "\\\r\n  00,00\r\n"))
      << reg;
}

// The machine's own printers in an export are the simulated spooler's: an
// uninstall on XP deletes the copy queue through the sweep (its key and the
// user's entries go); the driver goes when no queue uses it when the
// removal deletes it, and stays, as Windows keeps a driver in use, when the
// copy still uses it then. Keys the spooler cannot list are named.
TEST_F(DryRunTest, ExportedPrintersAreTheSpoolersAndTheUninstallRemovesThem) {
  const string print = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print";
  const string copy = print + "\\Printers\\Norvale TX-5400 Series (Copy 1)";
  const string user = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\";
  const string queueKeys = "[" + copy + "]\r\n\"Name\"=\"Norvale TX-5400 Series (Copy 1)\"\r\n\"Port\"=\"LPT1:\"\r\n"
                           "\"Printer Driver\"=\"" + kQueue + "\"\r\n\"Attributes\"=dword:00000240\r\n\r\n"
                           "[" + copy + "\\PrinterDriverData]\r\n\r\n"
                           "[" + user + "Devices]\r\n\"Norvale TX-5400 Series (Copy 1)\"=\"winspool,LPT1:\"\r\n\r\n"
                           "[" + user + "PrinterPorts]\r\n\"Norvale TX-5400 Series (Copy 1)\"=\"winspool,LPT1:,15,45\"\r\n"
                           "\r\n[" + print + "\\Printers\\Bad,Name]\r\n\"Port\"=\"LPT1:\"\r\n\r\n";
  const string driverKeys = "[" + kXpDriverKey + "]\r\n\"Driver\"=\"NRVDRV.DLL\"\r\n\"Data File\"=\"NRV.PPD\"\r\n"
                            "\"Configuration File\"=\"NRVUI.DLL\"\r\n\"Version\"=dword:00000003\r\n\r\n";
  struct Case {
    string body;
    bool withCopy;
  };
  const Case cases[] = {{queueKeys + driverKeys, true}, {driverKeys, false}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    fs::path file = dir_ / ("printers" + std::to_string(i) + ".reg");
    WriteHost(file, "Windows Registry Editor Version 5.00\r\n\r\n" + cases[i].body);
    fs::path out = dir_ / std::to_string(i);
    Result r = Dry({"--machine", file.string(), "--out", out.string(), "uninstall"});
    ASSERT_EQ(0, r.rc) << "case " << i << ": " << r.err;
    string step = Step(r.out, 1, "uninstall");
    string spooler = Section(step, "Spooler");
    string drivers = spooler.substr(0, spooler.find("Queues before:"));
    string queues = spooler.substr(spooler.find("Queues before:"));
    EXPECT_NE(string::npos, drivers.find("Drivers before:\n")) << spooler;
    regfile::File net = ParseWritten(out / "registry.reg");
    if (cases[i].withCopy) {
      EXPECT_NE(string::npos,
                r.out.find("\nLeft in the registry only: HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\"
                           "Bad,Name: a printer name holds no ','\n"))
          << r.out;
      EXPECT_NE(string::npos, queues.find("  - \"Norvale TX-5400 Series (Copy 1)\" on \"LPT1:\", driver \"" + kQueue +
                                          "\"\n"))
          << spooler;
      EXPECT_TRUE(HasOp(net, regfile::Op::kDeleteKey, copy)) << "case " << i;
      EXPECT_TRUE(HasOp(net, regfile::Op::kDeleteValue, user + "Devices", "Norvale TX-5400 Series (Copy 1)"));
      EXPECT_TRUE(HasOp(net, regfile::Op::kDeleteValue, user + "PrinterPorts", "Norvale TX-5400 Series (Copy 1)"));
      // In use by the copy when the removal deleted it: listed before and after.
      EXPECT_NE(string::npos, drivers.find("\n    \"" + kQueue + "\", environment \"Windows NT x86\", version 3")) << spooler;
      EXPECT_FALSE(HasOp(net, regfile::Op::kDeleteKey, kXpDriverKey)) << "case " << i;
    } else {
      EXPECT_EQ(string::npos, r.out.find("Left in the registry only")) << r.out;
      EXPECT_NE(string::npos, drivers.find("\n  - \"" + kQueue + "\", environment \"Windows NT x86\", version 3"))
          << spooler;
      EXPECT_TRUE(HasOp(net, regfile::Op::kDeleteKey, kXpDriverKey)) << "case " << i;
    }
    EXPECT_NE(string::npos, Section(Net(r.out), "Spooler").find(cases[i].withCopy ? "  - \"Norvale TX-5400 Series (Copy 1)\""
                                                                                  : "  - \"" + kQueue + "\""))
        << Net(r.out);
  }
}

}  // namespace
