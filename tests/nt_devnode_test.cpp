// The NT library's device node of the printer under the parallel-port
// enumerator: the instance name from the port's "ParentIdPrefix", the
// deletion of an earlier node (with dacl.exe started on its keys at
// install), and the node written anew.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kClassKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS";
const char kLptEnum[] = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM";
const char kModel[] = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400";
const char kClassArg[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS";
const char kLptEnumArg[] = "SYSTEM\\CurrentControlSet\\Enum\\LPTENUM";
const char kDefaultInstance[] = "1&197f416f&0&LPT1.4";
const char kModelCommand[] = "dacl.exe /SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400";

typedef void StepFn(void);
typedef void NodeFn(const char *);

std::string Sz(const std::string &text) { return text + std::string(1, '\0'); }
std::string Instance(const std::string &name) { return std::string(kModel) + "\\" + name; }
std::string ClassSubkey(const std::string &name) { return std::string(kClassKey) + "\\" + name; }

std::vector<std::string> Commands(const std::string &instance) {
  std::string inst = std::string(kModelCommand) + "\\" + instance;
  return {kModelCommand, inst, inst + "\\Control", inst + "\\Device Parameters", inst + "\\LogConf"};
}

std::vector<std::string> StartedCommands() {
  std::vector<std::string> out;
  for (const sim::ProcessStart &p : sim::ProcessesStarted()) out.push_back(p.commandLine);
  return out;
}

// The node exactly as the library writes it, under the given instance name.
void ExpectNode(const std::string &instanceName) {
  SCOPED_TRACE("node " + instanceName);
  const std::string inst = Instance(instanceName);
  ASSERT_TRUE(sim::KeyExists(inst));
  struct Expected {
    const char *name;
    DWORD type;
    std::string data;
  };
  const Expected values[] = {
      {"Capabilities", REG_DWORD, std::string("\x40\0\0\0", 4)},
      {"Class", REG_SZ, Sz("PRINTER")},
      {"ClassGUID", REG_SZ, Sz("{4D36E979-E325-11CE-BFC1-08002BE10318}")},
      {"CompatibleIDs", REG_MULTI_SZ, std::string("NORVALETX-9E2D47B1\0\0", 20)},
      {"ConfigFlags", REG_DWORD, std::string(4, '\0')},
      {"DeviceDesc", REG_SZ, Sz("Norvale TX-5400 Series")},
      {"Driver", REG_SZ, Sz("nrvs1.dll")},
      {"HardwareID", REG_MULTI_SZ, std::string("LPTENUM\\NorvaleTX-5400C83B\0\0", 28)},
      {"LocationInformation", REG_SZ, Sz("LPT1.4")},
      {"Mfg", REG_SZ, Sz("Norvale")},
  };
  const size_t lengths[] = {4, 8, 39, 20, 4, 23, 10, 28, 7, 8};
  std::vector<std::string> names;
  for (size_t i = 0; i < 10; ++i) {
    const Expected &e = values[i];
    SCOPED_TRACE(e.name);
    names.push_back(e.name);
    std::optional<sim::Value> v = sim::GetValue(inst, e.name);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(e.type, v->type);
    EXPECT_EQ(e.data, v->data);
    EXPECT_EQ(lengths[i], v->data.size());
  }
  EXPECT_EQ(names, sim::ValueNames(inst)) << "exactly the ten values, in their order";

  std::optional<sim::Value> port = sim::GetValue(inst + "\\Device Parameters", "PortName");
  ASSERT_TRUE(port.has_value());
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), port->type);
  EXPECT_EQ(Sz("LPT1:"), port->data);
  EXPECT_EQ(6u, port->data.size());
  EXPECT_EQ((std::vector<std::string>{"PortName"}), sim::ValueNames(inst + "\\Device Parameters"));
  EXPECT_TRUE(sim::SubkeyNames(inst + "\\Device Parameters").empty());
  for (const char *sub : {"LogConf", "Control"}) {
    SCOPED_TRACE(sub);
    EXPECT_TRUE(sim::KeyExists(inst + "\\" + sub));
    EXPECT_TRUE(sim::ValueNames(inst + "\\" + sub).empty());
    EXPECT_TRUE(sim::SubkeyNames(inst + "\\" + sub).empty());
  }
  EXPECT_TRUE(sim::ValueNames(kModel).empty()) << "the model key holds no values";
}

// A node as an earlier install left it, with a value of its own to show
// whether the key was rewritten or deleted.
void PlaceEarlierNode(const std::string &instanceName) {
  const std::string inst = Instance(instanceName);
  sim::SetString(inst, "Class", "OLD");
  sim::SetString(inst, "Stale", "from before");
  sim::SetString(inst + "\\Device Parameters", "PortName", "LPT2:");
  sim::CreateKey(inst + "\\LogConf");
  sim::CreateKey(inst + "\\Control");
}

class DevNodeTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }

  // A machine with the LPTENUM key and one parallel port whose prefix is
  // "2&3a5e4b7c&0", and the library loaded afresh.
  void Fresh() {
    nt_.reset();
    sim::Reset(sim::Os::WinXP);
    sim::CreateKey(kLptEnum);
    sim::SetString(ClassSubkey("0000"), "ParentIdPrefix", "2&3a5e4b7c&0");
    nt_.reset(new Library(NtLibraryPath()));
  }

  void Sync(bool recreate) {
    *nt_->Get<DWORD>("DevNodeRecreate") = recreate ? 1 : 0;
    sim::ClearTrace();
    nt_->Get<StepFn>("SyncParallelDevNode")();
  }

  std::unique_ptr<Library> nt_;
};

const char kPortInstance[] = "2&3a5e4b7c&0&LPT1.4";

}  // namespace

// ---------------------------------------------------------------- instance name

TEST_F(DevNodeTest, TheLastOpenablePortInstanceGivesThePrefix) {
  struct Port {
    std::string name;
    bool hasPrefix;
    DWORD type;
    std::string data;
    bool denied;
  };
  auto with = [](const std::string &name, const std::string &prefix) {
    return Port{name, true, REG_SZ, Sz(prefix), false};
  };
  auto without = [](const std::string &name) { return Port{name, false, REG_SZ, "", false}; };
  auto closed = [](const std::string &name, const std::string &prefix) {
    return Port{name, true, REG_SZ, Sz(prefix), true};
  };
  struct Case {
    const char *name;
    std::vector<Port> ports;
    std::string instance;
  };
  const Case cases[] = {
      {"one port with a prefix", {with("0000", "2&3a5e4b7c&0")}, "2&3a5e4b7c&0&LPT1.4"},
      {"two ports with prefixes, the last wins",
       {with("0000", "2&aaaa&0"), with("0001", "3&bbbb&1")}, "3&bbbb&1&LPT1.4"},
      {"the last port without a prefix gives the default",
       {with("0000", "2&aaaa&0"), without("0001")}, kDefaultInstance},
      {"the first without, the last with a prefix",
       {without("0000"), with("0001", "3&bbbb&1")}, "3&bbbb&1&LPT1.4"},
      {"the last port does not open", {with("0000", "2&aaaa&0"), closed("0001", "3&bbbb&1")}, "2&aaaa&0&LPT1.4"},
      {"the first port does not open", {closed("0000", "2&aaaa&0"), with("0001", "3&bbbb&1")}, "3&bbbb&1&LPT1.4"},
      {"no port opens", {closed("0000", "2&aaaa&0")}, kDefaultInstance},
      {"a port without a prefix", {without("0000")}, kDefaultInstance},
      {"an empty prefix is a prefix read", {with("0000", "2&aaaa&0"), with("0001", "")}, "&LPT1.4"},
      {"no port at all", {}, kDefaultInstance},
      {"a prefix without NUL after a longer one",
       {with("0000", "2&3a5e4b7c&0123456"), Port{"0001", true, REG_BINARY, "4&ab&0", false}}, "4&ab&0&LPT1.4"},
      {"a prefix of 255 bytes with NULs after it",
       {Port{"0000", true, REG_SZ, "5&cd&0" + std::string(249, '\0'), false}}, "5&cd&0&LPT1.4"},
      {"a prefix value of 256 bytes cannot be read",
       {with("0000", "2&aaaa&0"), Port{"0001", true, REG_SZ, "6&ef&0" + std::string(250, '\0'), false}},
       kDefaultInstance},
      {"a port name of 99 characters",
       {with("0000", "2&aaaa&0"), with(std::string(99, 'Z'), "7&zz&0")}, "7&zz&0&LPT1.4"},
      {"a port name of 100 characters ends the list",
       {with("0000", "2&aaaa&0"), with(std::string(100, 'Y'), "7&yy&0"), with(std::string(100, 'Z'), "8&zz&0")},
       "2&aaaa&0&LPT1.4"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    Fresh();
    sim::DeleteKeyTree(kClassKey);
    sim::CreateKey(kClassKey);
    for (const Port &p : c.ports) {
      sim::CreateKey(ClassSubkey(p.name));
      if (p.hasPrefix) sim::SetValue(ClassSubkey(p.name), "ParentIdPrefix", p.type, p.data);
      if (p.denied) sim::DenyAccess(ClassSubkey(p.name), 0xFFFFFFFFu);
    }
    Sync(true);
    EXPECT_EQ((std::vector<std::string>{c.instance}), sim::SubkeyNames(kModel));
    ExpectNode(c.instance);
    EXPECT_TRUE(sim::ProcessesStarted().empty()) << "no earlier node";

    // Every port is opened by its full path from the machine's root and
    // asked for its prefix with 255 bytes.
    for (const sim::Call &q : sim::CallsTo("RegQueryValueExA")) {
      EXPECT_EQ(Quoted("ParentIdPrefix"), q.args[1]);
      EXPECT_EQ("NULL", q.args[2]);
      EXPECT_EQ("255", q.args[5]);
    }
    for (const sim::Call &e : sim::CallsTo("RegEnumKeyA")) EXPECT_EQ("100", e.args[3]);
    for (const Port &p : c.ports) {
      if (p.name.size() >= 100) continue;
      EXPECT_GE(CallIndexWithArg("RegOpenKeyA", 1, Quoted(std::string(kClassArg) + "\\" + p.name)), 0) << p.name;
    }
    // The class key stays open until the node is written.
    EXPECT_EQ("RegCloseKey", sim::Trace().back().name);
    EXPECT_EQ(std::string(kClassKey), sim::Trace().back().args[0]);
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(DevNodeTest, UnusablePrefixesSkipTheDeviceNode) {
  struct Case {
    const char *name;
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      {"168 characters", REG_SZ, Sz(std::string(168, 'a'))},
      {"254 characters", REG_SZ, Sz(std::string(254, 'b'))},
      {"255 characters without NUL", REG_SZ, std::string(255, 'c')},
      {"255 bytes of binary data", REG_BINARY, std::string(255, 'd')},
      {"a backslash", REG_SZ, Sz("2&3a5e\\4b7c&0")},
      {"a backslash at the end", REG_SZ, Sz("2&3a5e4b7c&0\\")},
  };
  for (const Case &c : cases) {
    for (bool recreate : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (recreate ? ", install" : ", removal"));
      Fresh();
      sim::SetValue(ClassSubkey("0000"), "ParentIdPrefix", c.type, c.data);
      PlaceEarlierNode(kPortInstance);
      std::vector<std::string> before = RegistryLines();
      Sync(recreate);
      EXPECT_EQ(before, RegistryLines()) << "the earlier node stays as it is";
      EXPECT_TRUE(sim::ProcessesStarted().empty());
      EXPECT_EQ(0, CallCount("RegOpenKeyExA")) << "LPTENUM is not even opened";
      EXPECT_EQ(0, CallCount("RegDeleteKeyA"));
      EXPECT_EQ(0, CallCount("RegCreateKeyA"));
      EXPECT_EQ(0, CallCount("WinExec"));
      EXPECT_EQ("", OpenHandlesText());
    }
  }
}

TEST_F(DevNodeTest, TheLongestUsablePrefixFillsTheCommandBuffer) {
  const std::string prefix(167, 'p');
  const std::string instance = prefix + "&LPT1.4";
  sim::SetString(ClassSubkey("0000"), "ParentIdPrefix", prefix);
  PlaceEarlierNode(instance);
  Sync(true);
  EXPECT_EQ(Commands(instance), StartedCommands());
  ASSERT_EQ(5u, sim::ProcessesStarted().size());
  EXPECT_EQ(255u, sim::ProcessesStarted()[3].commandLine.size()) << "\\Device Parameters, the longest";
  EXPECT_EQ((std::vector<std::string>{instance}), sim::SubkeyNames(kModel));
  ExpectNode(instance);
  EXPECT_FALSE(sim::GetValue(Instance(instance), "Stale").has_value()) << "the earlier node was deleted";
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- earlier node

TEST_F(DevNodeTest, InstallOverAnEarlierNodeStartsDaclDeletesAndWritesAnew) {
  PlaceEarlierNode(kPortInstance);
  Sync(true);

  std::vector<sim::ProcessStart> started = sim::ProcessesStarted();
  EXPECT_EQ(Commands(kPortInstance), StartedCommands());
  for (const sim::ProcessStart &p : started) {
    EXPECT_EQ(static_cast<UINT>(SW_SHOW), p.show) << p.commandLine;
    EXPECT_EQ(std::string::npos, p.commandLine.find('"')) << p.commandLine;
  }
  EXPECT_EQ("dacl.exe /SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400\\2&3a5e4b7c&0&LPT1.4\\Device Parameters",
            started.at(3).commandLine);

  // LPTENUM opened with every right; the probe asks only to query values.
  std::vector<sim::Call> opens = sim::CallsTo("RegOpenKeyExA");
  ASSERT_GE(opens.size(), 4u);
  EXPECT_EQ((std::vector<std::string>{"HKLM", Quoted(kLptEnumArg), "0", "983103", "&"}), opens[0].args);
  EXPECT_EQ((std::vector<std::string>{std::string(kLptEnum), Quoted("NorvaleTX-5400"), "0", "1", "&"}),
            opens[1].args);
  EXPECT_EQ((std::vector<std::string>{std::string(kLptEnum), Quoted("NorvaleTX-5400"), "0", "983103", "&"}),
            opens[2].args);
  EXPECT_EQ((std::vector<std::string>{std::string(kModel), Quoted(kPortInstance), "0", "983103", "&"}),
            opens[3].args);
  std::vector<sim::Call> info = sim::CallsTo("RegQueryInfoKeyA");
  ASSERT_EQ(1u, info.size());
  EXPECT_EQ(std::string(kModel), info[0].args[0]);
  for (size_t a = 1; a < info[0].args.size(); ++a) EXPECT_EQ("NULL", info[0].args[a]) << "argument " << a;
  EXPECT_EQ(12u, info[0].args.size());

  // Deletions, children before parents, all after the five starts.
  std::vector<sim::Call> deletes = sim::CallsTo("RegDeleteKeyA");
  const std::string inst = Instance(kPortInstance);
  const std::vector<std::vector<std::string>> expected = {
      {inst, Quoted("Control")},
      {inst, Quoted("Device Parameters")},
      {inst, Quoted("LogConf")},
      {kModel, Quoted(kPortInstance)},
      {kLptEnum, Quoted("NorvaleTX-5400")},
  };
  ASSERT_EQ(expected.size(), deletes.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i], deletes[i].args) << "deletion " << i;
    EXPECT_EQ("0", deletes[i].result) << "deletion " << i;
  }
  EXPECT_LT(CallIndex("WinExec", 5), CallIndex("RegDeleteKeyA"));
  EXPECT_LT(CallIndex("RegDeleteKeyA", 5), CallIndex("RegCreateKeyA"));

  // Written anew: the keys in their order, each closed, the instance key,
  // the model key and LPTENUM last.
  std::vector<std::vector<std::string>> creates;
  for (const sim::Call &c : sim::CallsTo("RegCreateKeyA")) creates.push_back({c.args[0], c.args[1], c.result});
  const std::vector<std::vector<std::string>> expectedCreates = {
      {kLptEnum, Quoted("NorvaleTX-5400"), "0"},
      {kModel, Quoted(kPortInstance), "0"},
      {inst, Quoted("Device Parameters"), "0"},
      {inst, Quoted("LogConf"), "0"},
      {inst, Quoted("Control"), "0"},
  };
  EXPECT_EQ(expectedCreates, creates);
  const std::vector<std::string> tailCloses = {inst, kModel, kLptEnum, kClassKey};
  std::vector<std::string> closes = FirstArgs("RegCloseKey");
  ASSERT_GE(closes.size(), tailCloses.size());
  EXPECT_EQ(tailCloses, std::vector<std::string>(closes.end() - 4, closes.end()));

  ExpectNode(kPortInstance);
  EXPECT_FALSE(sim::GetValue(Instance(kPortInstance), "Stale").has_value());
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(DevNodeTest, RemovalOnlyDeletesAndStartsNothing) {
  PlaceEarlierNode(kPortInstance);
  Sync(false);
  EXPECT_TRUE(sim::ProcessesStarted().empty());
  EXPECT_EQ(0, CallCount("RegQueryInfoKeyA"));
  EXPECT_EQ(0, CallCount("RegCreateKeyA"));
  EXPECT_EQ(0, CallCount("RegSetValueExA"));
  EXPECT_EQ((std::vector<std::string>{Instance(kPortInstance), Instance(kPortInstance), Instance(kPortInstance),
                                      kModel, kLptEnum}),
            FirstArgs("RegDeleteKeyA"));
  EXPECT_FALSE(sim::KeyExists(kModel));
  EXPECT_TRUE(sim::KeyExists(kLptEnum));
  EXPECT_TRUE(sim::SubkeyNames(kLptEnum).empty());
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(DevNodeTest, NoEarlierNodeStartsNothing) {
  for (bool recreate : {true, false}) {
    SCOPED_TRACE(recreate ? "install" : "removal");
    Fresh();
    Sync(recreate);
    EXPECT_TRUE(sim::ProcessesStarted().empty());
    EXPECT_EQ(0, CallCount("RegQueryInfoKeyA"));
    EXPECT_EQ(recreate, sim::KeyExists(kModel));
    if (recreate) ExpectNode(kPortInstance);
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(DevNodeTest, AModelKeyThatRefusesQueriesStartsNoDacl) {
  PlaceEarlierNode(kPortInstance);
  sim::DenyAccess(kModel, KEY_QUERY_VALUE);
  Sync(true);
  EXPECT_TRUE(sim::ProcessesStarted().empty());
  EXPECT_EQ(0, CallCount("RegQueryInfoKeyA"));
  std::vector<sim::Call> opens = sim::CallsTo("RegOpenKeyExA");
  ASSERT_GE(opens.size(), 3u);
  EXPECT_EQ("1", opens[1].args[3]);
  EXPECT_EQ("5", opens[1].result) << "the probe is refused";
  EXPECT_EQ("983103", opens[2].args[3]);
  EXPECT_EQ("5", opens[2].result) << "KEY_ALL_ACCESS asks for the refused right too";
  // The deletion of the model key is tried all the same; then the node is
  // written through the keys that stayed.
  EXPECT_GE(CallIndexWithArg("RegDeleteKeyA", 1, Quoted("NorvaleTX-5400")), 0);
  EXPECT_EQ("PRINTER", sim::GetString(Instance(kPortInstance), "Class").value_or(""));
  EXPECT_EQ("LPT1:", sim::GetString(Instance(kPortInstance) + "\\Device Parameters", "PortName").value_or(""));
  EXPECT_EQ(11u, sim::ValueNames(Instance(kPortInstance)).size()) << "the ten values and the earlier one";
  EXPECT_EQ("", OpenHandlesText());
}

TEST_F(DevNodeTest, AnInstanceKeyWithAFurtherSubkeyStays) {
  for (bool recreate : {true, false}) {
    SCOPED_TRACE(recreate ? "install" : "removal");
    Fresh();
    PlaceEarlierNode(kPortInstance);
    sim::SetString(Instance(kPortInstance) + "\\Properties", "Kept", "yes");
    Sync(recreate);
    std::vector<sim::Call> deletes = sim::CallsTo("RegDeleteKeyA");
    ASSERT_EQ(5u, deletes.size());
    const char *const results[] = {"0", "0", "0", "5", "5"};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(results[i], deletes[i].result) << "deletion " << i;
    EXPECT_EQ(recreate ? 5u : 0u, sim::ProcessesStarted().size());
    EXPECT_EQ("yes", sim::GetString(Instance(kPortInstance) + "\\Properties", "Kept").value_or(""));
    EXPECT_EQ((std::vector<std::string>{kPortInstance}), sim::SubkeyNames(kModel));
    if (recreate) {
      // Written over the old values; the earlier extra value stays with its key.
      EXPECT_EQ("PRINTER", sim::GetString(Instance(kPortInstance), "Class").value_or(""));
      EXPECT_EQ("from before", sim::GetString(Instance(kPortInstance), "Stale").value_or(""));
      EXPECT_EQ(11u, sim::ValueNames(Instance(kPortInstance)).size());
      EXPECT_EQ(Sz("LPT1:"), sim::GetValue(Instance(kPortInstance) + "\\Device Parameters", "PortName")->data);
      EXPECT_TRUE(sim::KeyExists(Instance(kPortInstance) + "\\LogConf"));
      EXPECT_TRUE(sim::KeyExists(Instance(kPortInstance) + "\\Control"));
    } else {
      EXPECT_EQ((std::vector<std::string>{"Properties"}), sim::SubkeyNames(Instance(kPortInstance)));
      EXPECT_EQ("OLD", sim::GetString(Instance(kPortInstance), "Class").value_or(""));
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(DevNodeTest, AnEarlierNodeOfAnotherInstanceKeepsTheModelKey) {
  PlaceEarlierNode("9&old&0&LPT1.4");
  Sync(true);
  EXPECT_EQ(Commands(kPortInstance), StartedCommands()) << "the commands name the instance of this port";
  EXPECT_EQ((std::vector<std::string>{kPortInstance, "9&old&0&LPT1.4"}), sim::SubkeyNames(kModel));
  ExpectNode(kPortInstance);
  EXPECT_EQ("OLD", sim::GetString(Instance("9&old&0&LPT1.4"), "Class").value_or(""));
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- missing keys and failures

TEST_F(DevNodeTest, NoParallelClassKeyDoesNothing) {
  for (bool recreate : {true, false}) {
    SCOPED_TRACE(recreate ? "install" : "removal");
    Fresh();
    sim::DeleteKeyTree(kClassKey);
    PlaceEarlierNode(kPortInstance);
    std::vector<std::string> before = RegistryLines();
    Sync(recreate);
    EXPECT_EQ(before, RegistryLines());
    EXPECT_TRUE(sim::ProcessesStarted().empty());
    EXPECT_EQ((std::vector<std::string>{"RegOpenKeyA"}), sim::CallNames());
    EXPECT_EQ((std::vector<std::string>{"HKLM", Quoted(kClassArg), "&"}), sim::Trace()[0].args);
    EXPECT_EQ("2", sim::Trace()[0].result);
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(DevNodeTest, AnLptEnumKeyThatDoesNotOpenGetsNothingWritten) {
  struct Case {
    const char *name;
    bool exists;
    REGSAM refused;
  };
  const Case cases[] = {
      {"LPTENUM missing", false, 0},
      {"LPTENUM refuses creating subkeys", true, KEY_CREATE_SUB_KEY},
      {"LPTENUM refuses everything", true, KEY_ALL_ACCESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    if (!c.exists) {
      sim::DeleteKeyTree(kLptEnum);
    } else {
      PlaceEarlierNode(kPortInstance);
      sim::DenyAccess(kLptEnum, c.refused);
    }
    std::vector<std::string> before = RegistryLines();
    Sync(true);
    EXPECT_EQ(before, RegistryLines());
    EXPECT_EQ(c.exists, sim::KeyExists(kLptEnum)) << "LPTENUM is not created";
    EXPECT_TRUE(sim::ProcessesStarted().empty());
    EXPECT_EQ(0, CallCount("RegCreateKeyA"));
    EXPECT_EQ(0, CallCount("RegDeleteKeyA"));
    std::vector<sim::Call> opens = sim::CallsTo("RegOpenKeyExA");
    ASSERT_EQ(2u, opens.size()) << "once for the deletion, once for the writing";
    for (const sim::Call &o : opens) {
      EXPECT_EQ(Quoted(kLptEnumArg), o.args[1]);
      EXPECT_EQ(c.exists ? "5" : "2", o.result);
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST_F(DevNodeTest, WritingGoesOnPastFailedCalls) {
  struct Case {
    const char *name;
    const char *call;
    int occurrence;
    bool model, instance, parameters, portName;  // what exists afterwards
  };
  // RegCreateKeyA: 1 the model key, 2 the instance key, 3 "Device
  // Parameters", 4 "LogConf", 5 "Control".
  const Case cases[] = {
      {"model key not created", "RegCreateKeyA", 1, false, false, false, false},
      {"instance key not created", "RegCreateKeyA", 2, true, false, false, false},
      {"Device Parameters not created", "RegCreateKeyA", 3, true, true, false, false},
      {"PortName not written", "RegSetValueExA", 11, true, true, true, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    sim::FailCall(c.call, c.occurrence, ERROR_ACCESS_DENIED);
    nt_->Get<NodeFn>("CreateParallelDevNode")(kPortInstance);
    EXPECT_EQ(c.model, sim::KeyExists(kModel));
    EXPECT_EQ(c.instance, sim::KeyExists(Instance(kPortInstance)));
    EXPECT_EQ(c.parameters, sim::KeyExists(Instance(kPortInstance) + "\\Device Parameters"));
    EXPECT_EQ(c.portName, sim::GetValue(Instance(kPortInstance) + "\\Device Parameters", "PortName").has_value());
    if (c.instance) {
      EXPECT_EQ(10u, sim::ValueNames(Instance(kPortInstance)).size());
      EXPECT_TRUE(sim::KeyExists(Instance(kPortInstance) + "\\LogConf"));
      EXPECT_TRUE(sim::KeyExists(Instance(kPortInstance) + "\\Control"));
    } else {
      EXPECT_EQ(0, CallCount("RegSetValueExA"));
    }
    EXPECT_EQ("", OpenHandlesText());
  }

  // A value that cannot be written: the next ones are written all the same.
  Fresh();
  sim::FailCall("RegSetValueExA", 2, ERROR_ACCESS_DENIED);
  nt_->Get<NodeFn>("CreateParallelDevNode")(kPortInstance);
  std::vector<std::string> names = sim::ValueNames(Instance(kPortInstance));
  EXPECT_EQ(9u, names.size());
  EXPECT_FALSE(sim::GetValue(Instance(kPortInstance), "Class").has_value());
  EXPECT_TRUE(sim::GetValue(Instance(kPortInstance), "Mfg").has_value());
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- through the exports

TEST(DevNodeExports, ASecondInstallRecreatesTheNodeAndRemovalDeletesIt) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  {
    Library nt(NtLibraryPath());
    nt.CreatePrinter();
    EXPECT_TRUE(sim::ProcessesStarted().empty()) << "no earlier node at the first install";
    ExpectNode(kPortInstance);
  }
  {
    Library nt(NtLibraryPath());
    sim::ClearTrace();
    nt.CreatePrinter();
    EXPECT_EQ(Commands(kPortInstance), StartedCommands());
    ExpectNode(kPortInstance);
  }
  {
    Library nt(NtLibraryPath());
    sim::ClearTrace();
    nt.UninstallPrinter();
    EXPECT_EQ(5u, sim::ProcessesStarted().size()) << "the removal starts none";
    EXPECT_FALSE(sim::KeyExists(kModel));
  }
  EXPECT_EQ("", OpenHandlesText());
}

TEST(DevNodeExports, InstallAfterRemovalInOneLoadDeletesWithoutWriting) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  nt.UninstallPrinter();
  ASSERT_EQ(0u, nt.Flag("DevNodeRecreate"));
  PlaceEarlierNode(kPortInstance);
  sim::ClearTrace();
  nt.CreatePrinter();
  EXPECT_FALSE(sim::KeyExists(kModel)) << "the earlier node is deleted and none written";
  EXPECT_TRUE(sim::ProcessesStarted().empty());
  EXPECT_EQ(0, CallCount("RegQueryInfoKeyA"));
  EXPECT_EQ(-1, CallIndexWithArg("RegCreateKeyA", 1, Quoted("NorvaleTX-5400")));
  EXPECT_EQ(5, CallCount("RegDeleteKeyA"));
  EXPECT_EQ("", OpenHandlesText());
}

TEST(DevNodeExports, NoDeviceNodeOnNt40) {
  for (bool earlier : {false, true}) {
    SCOPED_TRACE(earlier ? "with an earlier node" : "without an earlier node");
    sim::BuildDefaultMachine(sim::Os::Nt40);
    if (earlier) PlaceEarlierNode(kPortInstance);
    Library nt(NtLibraryPath());
    nt.CreatePrinter();
    nt.UninstallPrinter();
    EXPECT_EQ(earlier, sim::KeyExists(kModel));
    if (earlier) {
      EXPECT_EQ("OLD", sim::GetString(Instance(kPortInstance), "Class").value_or(""));
    }
    EXPECT_EQ(-1, CallIndexWithArg("RegOpenKeyA", 1, Quoted(kClassArg)));
    EXPECT_EQ(-1, CallIndexWithArg("RegOpenKeyExA", 1, Quoted(kLptEnumArg)));
    EXPECT_TRUE(sim::ProcessesStarted().empty());
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(DevNodeExports, Windows2000GetsTheNode) {
  sim::BuildDefaultMachine(sim::Os::Win2000);
  Library nt(NtLibraryPath());
  nt.CreatePrinter();
  EXPECT_EQ((std::vector<std::string>{kPortInstance}), sim::SubkeyNames(kModel));
  ExpectNode(kPortInstance);
  EXPECT_EQ("", OpenHandlesText());
}
