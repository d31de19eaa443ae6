// The 9x library's device nodes under "Enum\LPTENUM": the scan of the BIOS
// and ACPI enumerators for "LPT1" ports, the node written for each, and
// CleanPnpKeys, on a registry that deletes subtrees (9x) and on one that
// deletes only keys without subkeys.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kLptEnum[] = "HKLM\\Enum\\LPTENUM";
const char kDevice[] = "HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B";
const char kBiosPort[] = "HKLM\\Enum\\BIOS\\*PNP0400\\00";

std::string Bytes(const char *data, size_t n) { return std::string(data, n); }
std::string Sz(const std::string &text) { return text + std::string(1, '\0'); }

typedef void ScanFn(void);
typedef void WriteFn(const char *);

// A fresh Windows 98 machine ("HKLM\Enum" present, nothing under it) with
// the library loaded.
class W9xDevNode : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset(sim::Os::Win98);
    Load();
  }
  void Load() {
    w9x_.reset();
    w9x_.reset(new Library(W9xLibraryPath()));
  }
  void Scan() const {
    ScanFn *scan = w9x_->Get<ScanFn>("RegisterLpt1DevNodes");
    ASSERT_NE(nullptr, scan);
    scan();
  }
  void Write(const char *instanceName) const {
    WriteFn *write = w9x_->Get<WriteFn>("WriteLptEnumDevNode");
    ASSERT_NE(nullptr, write);
    write(instanceName);
  }
  void Clean() const { w9x_->CleanPnpKeys(); }

  std::unique_ptr<Library> w9x_;
};

// The seven values of a node, in the order they are written.
const std::vector<std::pair<std::string, sim::Value>> &NodeValues() {
  static const std::vector<std::pair<std::string, sim::Value>> values = {
      {"Capabilities", {REG_BINARY, Bytes("\x14\0\0\0", 4)}},
      {"Class", {REG_SZ, Sz("PRINTER")}},
      {"ConfigFlags", {REG_BINARY, Bytes("\0\0\0\0", 4)}},
      {"DeviceDesc", {REG_SZ, Sz("Norvale TX-5400 Series")}},
      {"HardwareID", {REG_SZ, Sz("LPTENUM\\NorvaleTX-5400C83B")}},
      {"Manufacturer", {REG_SZ, Sz("Norvale")}},
      {"Model", {REG_SZ, Sz("Norvale TX-5400 Series")}},
  };
  return values;
}

void ExpectNode(const std::string &instanceName) {
  SCOPED_TRACE("node " + instanceName);
  const std::string key = std::string(kDevice) + "\\" + instanceName;
  ASSERT_TRUE(sim::KeyExists(key));
  std::vector<std::string> names;
  for (const auto &entry : NodeValues()) names.push_back(entry.first);
  EXPECT_EQ(names, sim::ValueNames(key));
  for (const auto &entry : NodeValues()) {
    std::optional<sim::Value> v = sim::GetValue(key, entry.first);
    ASSERT_TRUE(v.has_value()) << entry.first;
    EXPECT_EQ(entry.second.type, v->type) << entry.first;
    EXPECT_EQ(entry.second.data, v->data) << entry.first;
  }
  EXPECT_TRUE(sim::SubkeyNames(key).empty());
}

}  // namespace

// ---------------------------------------------------------------- the node

TEST_F(W9xDevNode, PortOfBiosGetsANodeWithSevenValues) {
  sim::SetString(kBiosPort, "PORTNAME", "LPT1");
  Scan();
  EXPECT_EQ((std::vector<std::string>{"BIOS", "LPTENUM"}), sim::SubkeyNames("HKLM\\Enum"));
  EXPECT_EQ(std::vector<std::string>{"NorvaleTX-5400C83B"}, sim::SubkeyNames(kLptEnum));
  EXPECT_EQ(std::vector<std::string>{"BIOS&*PNP0400&00"}, sim::SubkeyNames(kDevice));
  EXPECT_TRUE(sim::ValueNames(kDevice).empty());
  ExpectNode("BIOS&*PNP0400&00");

  // The lengths given: 4 bytes for the binary values, the NUL counted for
  // the strings.
  std::vector<sim::Call> sets = sim::CallsTo("RegSetValueExA");
  ASSERT_EQ(7u, sets.size());
  const char *const lengths[] = {"4", "8", "4", "23", "27", "8", "23"};
  const char *const types[] = {"3", "1", "3", "1", "1", "1", "1"};
  for (size_t i = 0; i < sets.size(); ++i) {
    SCOPED_TRACE("write " + std::to_string(i));
    ASSERT_EQ(6u, sets[i].args.size());
    EXPECT_EQ(std::string(kDevice) + "\\BIOS&*PNP0400&00", sets[i].args[0]);
    EXPECT_EQ(Quoted(NodeValues()[i].first), sets[i].args[1]);
    EXPECT_EQ("0", sets[i].args[2]);
    EXPECT_EQ(types[i], sets[i].args[3]);
    EXPECT_EQ(lengths[i], sets[i].args[5]);
    EXPECT_EQ("0", sets[i].result);
  }
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(W9xDevNode, ScanReadsWhatItIsGiven) {
  sim::SetString(kBiosPort, "PORTNAME", "LPT1");
  Scan();
  // The enumerators spelled "ENUM", names read with room for 100, the port
  // read with room for 255.
  std::vector<std::string> opens = FirstArgs("RegOpenKeyA");
  std::vector<sim::Call> openCalls = sim::CallsTo("RegOpenKeyA");
  ASSERT_GE(openCalls.size(), 5u);
  EXPECT_EQ(Quoted("ENUM\\BIOS"), openCalls[0].args[1]);
  EXPECT_EQ(Quoted("ENUM\\BIOS\\*PNP0400"), openCalls[1].args[1]);
  EXPECT_EQ(Quoted("ENUM\\BIOS\\*PNP0400\\00"), openCalls[2].args[1]);
  EXPECT_EQ(Quoted("Enum\\LPTENUM"), openCalls[3].args[1]);
  EXPECT_EQ(Quoted("Enum"), openCalls[4].args[1]);
  EXPECT_EQ(Quoted("ENUM\\ACPI"), openCalls.back().args[1]);
  EXPECT_EQ("2", openCalls.back().result);
  for (const std::string &root : opens) EXPECT_EQ("HKLM", root);
  for (const sim::Call &call : sim::CallsTo("RegEnumKeyA")) {
    ASSERT_GE(call.args.size(), 4u);
    EXPECT_EQ("100", call.args[3]);
  }
  std::vector<sim::Call> queries = sim::CallsTo("RegQueryValueExA");
  ASSERT_EQ(1u, queries.size());
  EXPECT_EQ(Quoted("PORTNAME"), queries[0].args[1]);
  EXPECT_EQ("NULL", queries[0].args[2]);
  EXPECT_EQ("255", queries[0].args[5]);
  std::vector<sim::Call> compares = sim::CallsTo("lstrcmpA");
  ASSERT_EQ(1u, compares.size());
  EXPECT_EQ((std::vector<std::string>{Quoted("LPT1"), Quoted("LPT1")}), compares[0].args);
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(W9xDevNode, BiosAndAcpiPortsGetOneNodeEach) {
  // The same device and instance names under both enumerators, and ports
  // that are not LPT1 beside them.
  sim::SetString("HKLM\\Enum\\BIOS\\*PNP0400\\00", "PORTNAME", "LPT1");
  sim::SetString("HKLM\\Enum\\BIOS\\*PNP0400\\01", "PORTNAME", "LPT2");
  sim::SetString("HKLM\\Enum\\BIOS\\*PNP0501\\00", "PORTNAME", "COM1");
  sim::SetString("HKLM\\Enum\\BIOS\\*PNP0401\\07", "PORTNAME", "LPT1");
  sim::SetString("HKLM\\Enum\\ACPI\\*PNP0400\\00", "PORTNAME", "LPT1");
  Scan();
  EXPECT_EQ((std::vector<std::string>{"BIOS&*PNP0400&00", "BIOS&*PNP0401&07", "ACPI&*PNP0400&00"}),
            sim::SubkeyNames(kDevice));
  ExpectNode("BIOS&*PNP0400&00");
  ExpectNode("BIOS&*PNP0401&07");
  ExpectNode("ACPI&*PNP0400&00");
  EXPECT_EQ(5, CallCount("RegQueryValueExA")) << "every instance's port is read";
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(W9xDevNode, AcpiPassRunsWhenTheBiosPassCannotOpen) {
  sim::SetString("HKLM\\Enum\\BIOS\\*PNP0400\\00", "PORTNAME", "LPT1");
  sim::SetString("HKLM\\Enum\\ACPI\\PNP0400\\4&1", "PORTNAME", "LPT1");
  sim::FailCall("RegOpenKeyA", 1, ERROR_ACCESS_DENIED);
  Scan();
  EXPECT_EQ(std::vector<std::string>{"ACPI&PNP0400&4&1"}, sim::SubkeyNames(kDevice));
  ExpectNode("ACPI&PNP0400&4&1");
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(W9xDevNode, NoEnumeratorReadsAndWritesNothing) {
  const std::vector<std::string> before = RegistryLines();
  Scan();
  EXPECT_EQ((std::vector<std::string>{"RegOpenKeyA", "RegOpenKeyA"}), sim::CallNames());
  EXPECT_EQ(Quoted("ENUM\\BIOS"), sim::Trace()[0].args[1]);
  EXPECT_EQ(Quoted("ENUM\\ACPI"), sim::Trace()[1].args[1]);
  EXPECT_EQ(before, RegistryLines());
  EXPECT_FALSE(sim::KeyExists(kLptEnum));
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- port matching

TEST_F(W9xDevNode, OnlyLpt1MatchesWhateverTheType) {
  struct Case {
    const char *name;
    DWORD type;
    std::string data;
    bool matches;
  };
  const std::string lpt1 = Sz("LPT1");
  const Case cases[] = {
      {"string", REG_SZ, lpt1, true},
      {"binary", REG_BINARY, lpt1, true},
      {"double-word sized, no NUL", REG_DWORD, "LPT1", true},
      {"multi-string", REG_MULTI_SZ, Bytes("LPT1\0\0", 6), true},
      {"string without NUL", REG_SZ, "LPT1", true},
      {"binary with bytes after the NUL", REG_BINARY, Bytes("LPT1\0xyz", 8), true},
      {"no type", REG_NONE, lpt1, true},
      {"255 bytes, NUL after LPT1", REG_BINARY, lpt1 + std::string(250, 'x'), true},
      {"lower case", REG_SZ, Sz("lpt1"), false},
      {"mixed case", REG_SZ, Sz("Lpt1"), false},
      {"colon", REG_SZ, Sz("LPT1:"), false},
      {"LPT10", REG_SZ, Sz("LPT10"), false},
      {"blank before", REG_SZ, Sz(" LPT1"), false},
      {"blank after", REG_SZ, Sz("LPT1 "), false},
      {"shorter", REG_SZ, Sz("LPT"), false},
      {"other port", REG_SZ, Sz("LPT2"), false},
      {"empty string", REG_SZ, Sz(""), false},
      {"no data", REG_BINARY, "", false},
      {"NUL first", REG_BINARY, Bytes("\0LPT1", 5), false},
      {"256 bytes, NUL after LPT1", REG_BINARY, lpt1 + std::string(251, 'x'), false},
      {"4000 bytes", REG_SZ, lpt1 + std::string(3995, '\0'), false},
      {"255 bytes, no NUL", REG_BINARY, "LPT1" + std::string(251, 'x'), false},
      {"255 bytes of LPT1LPT1..., no NUL", REG_SZ, [] {
         std::string s;
         while (s.size() < 255) s += "LPT1";
         return s.substr(0, 255);
       }(), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::Win98);
    Load();
    sim::SetValue(kBiosPort, "PORTNAME", c.type, c.data);
    const std::vector<std::string> before = RegistryLines();
    Scan();
    std::vector<sim::Call> queries = sim::CallsTo("RegQueryValueExA");
    ASSERT_EQ(1u, queries.size());
    EXPECT_EQ("255", queries[0].args[5]);
    EXPECT_EQ(c.data.size() > 255 ? "234" : "0", queries[0].result);
    if (c.matches) {
      EXPECT_EQ(std::vector<std::string>{"BIOS&*PNP0400&00"}, sim::SubkeyNames(kDevice));
      ExpectNode("BIOS&*PNP0400&00");
    } else {
      EXPECT_FALSE(sim::KeyExists(kLptEnum));
      EXPECT_EQ(before, RegistryLines());
      EXPECT_EQ(0, CallCount("RegCreateKeyA"));
      EXPECT_EQ(0, CallCount("RegSetValueExA"));
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

// The port read ends at its first NUL or at the end of the data read;
// nothing of an earlier read is left behind it.
TEST_F(W9xDevNode, EachPortIsReadAlone) {
  const std::string device = "HKLM\\Enum\\BIOS\\*PNP0400\\";
  sim::SetValue(device + "00", "PORTNAME", REG_SZ, Sz("LPT1"));
  sim::SetValue(device + "01", "PORTNAME", REG_BINARY, "LPT");
  sim::SetValue(device + "02", "PORTNAME", REG_SZ, Sz("LPT1:"));
  sim::SetValue(device + "03", "PORTNAME", REG_BINARY, "LPT1");
  sim::SetValue(device + "04", "PORTNAME", REG_BINARY, "");
  Scan();
  std::vector<sim::Call> compares = sim::CallsTo("lstrcmpA");
  ASSERT_EQ(5u, compares.size());
  const char *const read[] = {"LPT1", "LPT", "LPT1:", "LPT1", ""};
  for (size_t i = 0; i < compares.size(); ++i) {
    EXPECT_EQ((std::vector<std::string>{Quoted(read[i]), Quoted("LPT1")}), compares[i].args) << "port " << i;
  }
  EXPECT_EQ((std::vector<std::string>{"BIOS&*PNP0400&00", "BIOS&*PNP0400&03"}), sim::SubkeyNames(kDevice));
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(W9xDevNode, InstanceWithoutPortIsSkipped) {
  sim::SetString(kBiosPort, "Class", "Ports");
  sim::SetString("HKLM\\Enum\\BIOS\\*PNP0400\\01", "PORTNAME", "LPT1");
  Scan();
  std::vector<sim::Call> queries = sim::CallsTo("RegQueryValueExA");
  ASSERT_EQ(2u, queries.size());
  EXPECT_EQ("2", queries[0].result);
  EXPECT_EQ(std::vector<std::string>{"BIOS&*PNP0400&01"}, sim::SubkeyNames(kDevice));
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- enumeration

TEST_F(W9xDevNode, NamesThatDoNotFitEndTheirLevel) {
  const std::string d99(99, 'D'), d100(100, 'D'), i99(99, 'I'), i100(100, 'I');
  struct Case {
    const char *name;
    std::vector<std::string> ports;  // instance keys below "HKLM\Enum\BIOS", created in this order
    std::vector<std::string> nodes;
  };
  const Case cases[] = {
      {"device name of 99", {d99 + "\\00"}, {"BIOS&" + d99 + "&00"}},
      {"instance name of 99", {"*PNP0400\\" + i99}, {"BIOS&*PNP0400&" + i99}},
      {"both of 99: the longest instance name", {d99 + "\\" + i99}, {"BIOS&" + d99 + "&" + i99}},
      {"device name of 100 first", {d100 + "\\00", "*PNP0400\\00"}, {}},
      {"device name of 100 second", {"*PNP0400\\00", d100 + "\\00", "*PNP0401\\00"}, {"BIOS&*PNP0400&00"}},
      {"instance name of 100 first", {"*PNP0400\\" + i100, "*PNP0400\\01", "*PNP0401\\00"}, {"BIOS&*PNP0401&00"}},
      {"instance name of 100 second", {"*PNP0400\\00", "*PNP0400\\" + i100, "*PNP0400\\02"}, {"BIOS&*PNP0400&00"}},
      {"name of 200", {std::string(200, 'D') + "\\00", "*PNP0400\\00"}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::Win98);
    Load();
    for (const std::string &port : c.ports) sim::SetString("HKLM\\Enum\\BIOS\\" + port, "PORTNAME", "LPT1");
    // An ACPI port after it all: the second pass runs whatever the first met.
    sim::SetString("HKLM\\Enum\\ACPI\\PNP0400\\0", "PORTNAME", "LPT1");
    Scan();
    std::vector<std::string> expected = c.nodes;
    expected.push_back("ACPI&PNP0400&0");
    EXPECT_EQ(expected, sim::SubkeyNames(kDevice));
    for (const std::string &node : expected) ExpectNode(node);
    for (const sim::Call &call : sim::CallsTo("RegEnumKeyA")) EXPECT_EQ("100", call.args[3]);
    // An enumeration that met a long name asks for no later index.
    for (const sim::Call &call : sim::CallsTo("RegEnumKeyA")) {
      if (call.result != "234") continue;
      const std::string key = call.args[0];
      const unsigned long index = std::stoul(call.args[1]);
      for (const sim::Call &later : sim::CallsTo("RegEnumKeyA")) {
        if (later.args[0] == key) {
          EXPECT_LE(std::stoul(later.args[1]), index) << key;
        }
      }
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(W9xDevNode, KeysThatDoNotOpenAreSkipped) {
  struct Case {
    const char *name;
    const char *denied;  // a key refused all access, or null
    int failedOpen;      // the RegOpenKeyA that fails (1-based), or 0
    std::vector<std::string> nodes;
  };
  // Creation order: *PNP0400\00, *PNP0400\01, *PNP0401\00; the opens of the
  // scan: ENUM\BIOS (1), *PNP0400 (2), its 00 (3), ...
  const Case cases[] = {
      {"device key refused", "HKLM\\Enum\\BIOS\\*PNP0400", 0, {"BIOS&*PNP0401&00"}},
      {"instance key refused", "HKLM\\Enum\\BIOS\\*PNP0400\\00", 0, {"BIOS&*PNP0400&01", "BIOS&*PNP0401&00"}},
      {"device key open fails", nullptr, 2, {"BIOS&*PNP0401&00"}},
      {"instance key open fails", nullptr, 3, {"BIOS&*PNP0400&01", "BIOS&*PNP0401&00"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::Win98);
    Load();
    sim::SetString("HKLM\\Enum\\BIOS\\*PNP0400\\00", "PORTNAME", "LPT1");
    sim::SetString("HKLM\\Enum\\BIOS\\*PNP0400\\01", "PORTNAME", "LPT1");
    sim::SetString("HKLM\\Enum\\BIOS\\*PNP0401\\00", "PORTNAME", "LPT1");
    if (c.denied) sim::DenyAccess(c.denied, KEY_ALL_ACCESS);
    if (c.failedOpen) sim::FailCall("RegOpenKeyA", c.failedOpen, ERROR_ACCESS_DENIED);
    Scan();
    EXPECT_EQ(c.nodes, sim::SubkeyNames(kDevice));
    for (const std::string &node : c.nodes) ExpectNode(node);
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(W9xDevNode, FailedEnumerationEndsItsLevel) {
  sim::SetString("HKLM\\Enum\\BIOS\\*PNP0400\\00", "PORTNAME", "LPT1");
  sim::SetString("HKLM\\Enum\\BIOS\\*PNP0401\\00", "PORTNAME", "LPT1");
  // The enumerations: BIOS #0 (1), *PNP0400 #0 (2), *PNP0400 #1 (3), BIOS #1 (4).
  sim::FailCall("RegEnumKeyA", 4, ERROR_ACCESS_DENIED);
  Scan();
  EXPECT_EQ(std::vector<std::string>{"BIOS&*PNP0400&00"}, sim::SubkeyNames(kDevice));
  EXPECT_EQ(4, CallCount("RegEnumKeyA")) << "no index after the failed one";
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- the writer

TEST_F(W9xDevNode, WriterCreatesTheEnumeratorKeyWhenMissing) {
  Write("BIOS&*PNP0400&00");
  ExpectNode("BIOS&*PNP0400&00");
  const std::vector<std::string> expectedCalls = {
      "RegOpenKeyA",    "RegOpenKeyA",    "RegCreateKeyA",  "RegCloseKey",    "RegCloseKey",
      "RegOpenKeyA",    "RegCreateKeyA",  "RegCreateKeyA",  "RegSetValueExA", "RegSetValueExA",
      "RegSetValueExA", "RegSetValueExA", "RegSetValueExA", "RegSetValueExA", "RegSetValueExA",
      "RegCloseKey",    "RegCloseKey",    "RegCloseKey"};
  EXPECT_EQ(expectedCalls, sim::CallNames());
  const std::vector<sim::Call> &t = sim::Trace();
  ASSERT_EQ(expectedCalls.size(), t.size());
  EXPECT_EQ((std::vector<std::string>{"HKLM", Quoted("Enum\\LPTENUM"), "&"}), t[0].args);
  EXPECT_EQ("2", t[0].result);
  EXPECT_EQ((std::vector<std::string>{"HKLM", Quoted("Enum"), "&"}), t[1].args);
  EXPECT_EQ((std::vector<std::string>{"HKLM\\Enum", Quoted("LPTENUM"), "&"}), t[2].args);
  EXPECT_EQ("0", t[2].result);
  EXPECT_EQ((std::vector<std::string>{"HKLM", Quoted("Enum\\LPTENUM"), "&"}), t[5].args);
  EXPECT_EQ("0", t[5].result);
  EXPECT_EQ((std::vector<std::string>{"HKLM\\Enum\\LPTENUM", Quoted("NorvaleTX-5400C83B"), "&"}), t[6].args);
  EXPECT_EQ((std::vector<std::string>{std::string(kDevice), Quoted("BIOS&*PNP0400&00"), "&"}), t[7].args);
  // Closed: the instance key, the device key, the enumerator's key.
  EXPECT_EQ(std::string(kDevice) + "\\BIOS&*PNP0400&00", t[15].args[0]);
  EXPECT_EQ(std::string(kDevice), t[16].args[0]);
  EXPECT_EQ("HKLM\\Enum\\LPTENUM", t[17].args[0]);
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(W9xDevNode, WriterUsesAnExistingEnumeratorKey) {
  sim::SetString("HKLM\\Enum\\LPTENUM\\Other\\0000", "Class", "Ports");
  Write("ACPI&PNP0400&1");
  EXPECT_EQ(1, CallCount("RegOpenKeyA"));
  EXPECT_EQ(2, CallCount("RegCreateKeyA"));
  ExpectNode("ACPI&PNP0400&1");
  EXPECT_EQ((std::vector<std::string>{"Other", "NorvaleTX-5400C83B"}), sim::SubkeyNames(kLptEnum));
  EXPECT_EQ(std::optional<std::string>("Ports"), sim::GetString("HKLM\\Enum\\LPTENUM\\Other\\0000", "Class"));
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(W9xDevNode, WriterGivesUpAfterOneRetry) {
  struct Case {
    const char *name;
    bool lptEnumExists;
    bool denied;                // "Enum\LPTENUM" refused all access
    std::vector<int> failedOpens;  // RegOpenKeyA occurrences that fail
    int opens, creates;
    bool lptEnumAfter;
  };
  const Case cases[] = {
      {"created, then the open fails", false, false, {3}, 3, 1, true},
      {"present, both opens fail", true, false, {1, 3}, 3, 1, true},
      {"present and refused: the create fails too", true, true, {}, 2, 1, true},
      {"no Enum key to create it in", false, false, {2}, 2, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::Win98);
    Load();
    if (c.lptEnumExists) sim::CreateKey(kLptEnum);
    if (c.denied) sim::DenyAccess(kLptEnum, KEY_ALL_ACCESS);
    for (int n : c.failedOpens) sim::FailCall("RegOpenKeyA", n, ERROR_ACCESS_DENIED);
    Write("BIOS&*PNP0400&00");
    EXPECT_EQ(c.opens, CallCount("RegOpenKeyA"));
    EXPECT_EQ(c.creates, CallCount("RegCreateKeyA"));
    EXPECT_EQ(0, CallCount("RegSetValueExA"));
    EXPECT_EQ(c.lptEnumAfter, sim::KeyExists(kLptEnum));
    EXPECT_FALSE(sim::KeyExists(kDevice));
    for (int i = 1; i <= CallCount("RegOpenKeyA"); ++i) {
      if (i == 2) continue;
      EXPECT_EQ(Quoted("Enum\\LPTENUM"), sim::Trace()[CallIndex("RegOpenKeyA", i)].args[1]) << "open " << i;
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(W9xDevNode, RetryThatOpensWritesTheNode) {
  sim::CreateKey(kLptEnum);
  sim::FailCall("RegOpenKeyA", 1, ERROR_ACCESS_DENIED);
  Write("BIOS&*PNP0400&00");
  EXPECT_EQ(3, CallCount("RegOpenKeyA"));
  ExpectNode("BIOS&*PNP0400&00");
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(W9xDevNode, WriterStopsWhereACreateFails) {
  struct Case {
    const char *name;
    int failedCreate;  // with "Enum\LPTENUM" present: 1 the device key, 2 the instance key
    bool deviceAfter;
  };
  const Case cases[] = {{"device key", 1, false}, {"instance key", 2, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::Win98);
    Load();
    sim::CreateKey(kLptEnum);
    sim::FailCall("RegCreateKeyA", c.failedCreate, ERROR_ACCESS_DENIED);
    Write("BIOS&*PNP0400&00");
    EXPECT_EQ(c.failedCreate, CallCount("RegCreateKeyA"));
    EXPECT_EQ(0, CallCount("RegSetValueExA"));
    EXPECT_EQ(c.deviceAfter, sim::KeyExists(kDevice));
    EXPECT_TRUE(sim::SubkeyNames(kDevice).empty());
    EXPECT_EQ(c.failedCreate, CallCount("RegCloseKey")) << "every key opened so far is closed";
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(W9xDevNode, FailedValueWriteDoesNotStopTheOthers) {
  for (int failed = 1; failed <= 7; ++failed) {
    SCOPED_TRACE("write " + std::to_string(failed) + " fails");
    sim::Reset(sim::Os::Win98);
    Load();
    sim::FailCall("RegSetValueExA", failed, ERROR_ACCESS_DENIED);
    Write("BIOS&*PNP0400&00");
    EXPECT_EQ(7, CallCount("RegSetValueExA"));
    const std::string key = std::string(kDevice) + "\\BIOS&*PNP0400&00";
    std::vector<std::string> expected;
    for (size_t i = 0; i < NodeValues().size(); ++i) {
      if (static_cast<int>(i) + 1 != failed) expected.push_back(NodeValues()[i].first);
    }
    EXPECT_EQ(expected, sim::ValueNames(key));
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(W9xDevNode, EarlierNodeIsOverwrittenAndKeepsItsOtherValues) {
  const std::string key = std::string(kDevice) + "\\BIOS&*PNP0400&00";
  sim::SetDword(key, "Capabilities", 5);
  sim::SetString(key, "Class", "Ports");
  sim::SetString(key, "Driver", "PRINTER\\0001");
  sim::SetString(key + "\\LogConfig", "x", "y");
  sim::SetString(std::string(kDevice) + "\\BIOS&*PNP0400&09", "Class", "PRINTER");
  sim::SetString(kBiosPort, "PORTNAME", "LPT1");
  Scan();
  EXPECT_EQ((std::vector<std::string>{"Capabilities", "Class", "Driver", "ConfigFlags", "DeviceDesc", "HardwareID",
                                      "Manufacturer", "Model"}),
            sim::ValueNames(key));
  for (const auto &entry : NodeValues()) {
    std::optional<sim::Value> v = sim::GetValue(key, entry.first);
    ASSERT_TRUE(v.has_value()) << entry.first;
    EXPECT_EQ(entry.second.type, v->type) << entry.first;
    EXPECT_EQ(entry.second.data, v->data) << entry.first;
  }
  EXPECT_EQ(std::optional<std::string>("PRINTER\\0001"), sim::GetString(key, "Driver"));
  EXPECT_EQ(std::vector<std::string>{"LogConfig"}, sim::SubkeyNames(key));
  EXPECT_TRUE(sim::KeyExists(std::string(kDevice) + "\\BIOS&*PNP0400&09"))
      << "a node of a port that no longer reports LPT1 stays";
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- CleanPnpKeys

class W9xCleanPnpKeys : public W9xDevNode, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    W9xDevNode::SetUp();
    sim::SetSubtreeDelete(GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(DeleteModes, W9xCleanPnpKeys, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? std::string("Subtree") : std::string("LeafOnly");
                         });

TEST_P(W9xCleanPnpKeys, MissingKeysChangeNothing) {
  struct Case {
    const char *name;
    bool lptEnum;
  };
  const Case cases[] = {{"no Enum\\LPTENUM", false}, {"no device key", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::Win98);
    sim::SetSubtreeDelete(GetParam());
    Load();
    if (c.lptEnum) sim::SetString("HKLM\\Enum\\LPTENUM\\Other\\0000", "Class", "Ports");
    sim::SetString(kBiosPort, "PORTNAME", "LPT1");
    const std::vector<std::string> before = RegistryLines();
    Clean();
    EXPECT_EQ(before, RegistryLines());
    std::vector<sim::Call> opens = sim::CallsTo("RegOpenKeyA");
    ASSERT_GE(opens.size(), 1u);
    EXPECT_EQ((std::vector<std::string>{"HKLM", Quoted("Enum\\LPTENUM"), "&"}), opens[0].args);
    EXPECT_EQ(c.lptEnum ? "0" : "2", opens[0].result);
    if (!c.lptEnum) {
      EXPECT_EQ(std::vector<std::string>{"RegOpenKeyA"}, sim::CallNames());
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_P(W9xCleanPnpKeys, RemovesEveryInstanceKey) {
  // Nodes of this library, one it did not write, one with keys of its own.
  sim::SetString(kBiosPort, "PORTNAME", "LPT1");
  sim::SetString("HKLM\\Enum\\ACPI\\PNP0400\\1", "PORTNAME", "LPT1");
  Scan();
  sim::SetString(std::string(kDevice) + "\\Foreign", "Class", "Image");
  sim::SetString(std::string(kDevice) + "\\Nested\\LogConfig\\0000\\Deep", "x", "y");
  sim::SetString(std::string(kDevice) + "\\Nested\\Control", "a", "b");
  sim::SetString(kDevice, "OnTheDeviceKey", "z");
  sim::SetString("HKLM\\Enum\\LPTENUM\\Other\\0000", "Class", "Ports");
  ASSERT_EQ(4u, sim::SubkeyNames(kDevice).size());
  sim::ClearTrace();

  Clean();
  EXPECT_FALSE(sim::KeyExists(kDevice));
  EXPECT_EQ(std::vector<std::string>{"Other"}, sim::SubkeyNames(kLptEnum));
  EXPECT_EQ(std::optional<std::string>("Ports"), sim::GetString("HKLM\\Enum\\LPTENUM\\Other\\0000", "Class"));
  EXPECT_TRUE(sim::KeyExists(kBiosPort)) << "the ports' own nodes stay";
  // The device key goes last, from the enumerator's key.
  std::vector<sim::Call> deletes = sim::CallsTo("RegDeleteKeyA");
  ASSERT_FALSE(deletes.empty());
  EXPECT_EQ((std::vector<std::string>{"HKLM\\Enum\\LPTENUM", Quoted("NorvaleTX-5400C83B")}), deletes.back().args);
  EXPECT_EQ("0", deletes.back().result);
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ("", OpenHandlesText());

  // Once more: nothing left to do.
  const std::vector<std::string> after = RegistryLines();
  Clean();
  EXPECT_EQ(after, RegistryLines());
  EXPECT_EQ("", OpenHandlesText());
}

TEST_P(W9xCleanPnpKeys, RemovesTheNodesOfAnInstall) {
  sim::BuildDefaultMachine(sim::Os::Win98);
  sim::SetSubtreeDelete(GetParam());
  Load();
  ASSERT_EQ(1, w9x_->CreatePrinter());
  ASSERT_TRUE(sim::KeyExists(kDevice));
  Clean();
  EXPECT_FALSE(sim::KeyExists(kDevice));
  EXPECT_TRUE(sim::KeyExists(kLptEnum));
  EXPECT_TRUE(sim::FindQueue("Norvale TX-5400 Series").has_value()) << "the queue is not CleanPnpKeys' business";
  EXPECT_EQ("", OpenHandlesText());
}

TEST_P(W9xCleanPnpKeys, KeyThatRefusesDeleteStays) {
  const bool subtree = GetParam();
  struct Case {
    const char *name;
    const char *locked;  // below the device key; empty: the device key itself
    bool deviceAfter;
    std::vector<std::string> left;  // instance keys left below the device key
  };
  const Case cases[] = {
      {"device key", "", true, {}},
      {"an instance key", "\\B", !subtree, subtree ? std::vector<std::string>{} : std::vector<std::string>{"B"}},
      {"a key below an instance key", "\\B\\Sub", !subtree,
       subtree ? std::vector<std::string>{} : std::vector<std::string>{"B"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::Win98);
    sim::SetSubtreeDelete(subtree);
    Load();
    for (const char *instance : {"A", "B", "C"}) sim::SetString(std::string(kDevice) + "\\" + instance, "v", "1");
    sim::SetString(std::string(kDevice) + "\\B\\Sub", "v", "1");
    sim::DenyAccess(std::string(kDevice) + c.locked, DELETE);
    Clean();
    EXPECT_EQ(c.deviceAfter, sim::KeyExists(kDevice));
    EXPECT_EQ(c.left, sim::SubkeyNames(kDevice));
    if (std::string(c.locked) == "\\B\\Sub" && !subtree) {
      EXPECT_TRUE(sim::KeyExists(std::string(kDevice) + "\\B\\Sub"));
    }
    // Each key is asked to go once: the walk passes over the one that stays.
    std::vector<sim::Call> deletes = sim::CallsTo("RegDeleteKeyA");
    EXPECT_EQ(5u, deletes.size());
    EXPECT_EQ((std::vector<std::string>{"HKLM\\Enum\\LPTENUM", Quoted("NorvaleTX-5400C83B")}), deletes.back().args);
    EXPECT_EQ(c.deviceAfter ? "5" : "0", deletes.back().result);
    EXPECT_EQ("", OpenHandlesText());
  }
}
