// The 9x library's two exports: the removal of an earlier queue and driver,
// the pause, the driver and queue records given to the spooler, the device
// nodes, the closing broadcast, the constant results, and the removal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kPrinter[] = "Norvale TX-5400 Series";
const char kDeviceKey[] = "HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B";
const char kBiosInstanceKey[] = "HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B\\BIOS&*PNP0400&00";
const char kDriverKey9x[] = "HKLM\\System\\CurrentControlSet\\control\\Print\\Environments\\Windows 4.0\\Drivers\\"
                            "Norvale TX-5400 Series";
const char kQueueKey9x[] = "HKLM\\System\\CurrentControlSet\\control\\Print\\Printers\\Norvale TX-5400 Series";

const std::vector<std::string> kDependentFiles = {"nrvs1.drv",   "nrvs195.dll", "nrvs1su.hlp",
                                                  "nrvs1um.dll", "nrvs1su.dll", "nrvs1su.dat"};

// The 71 bytes of the dependent-file list: six names, each with its NUL, and
// the NUL that ends the list.
std::string DependentFileBytes() {
  std::string bytes;
  for (const std::string &name : kDependentFiles) bytes += name + std::string(1, '\0');
  return bytes + std::string(1, '\0');
}

const sim::Os kSystems9x[] = {sim::Os::Win95, sim::Os::Win98, sim::Os::WinMe};

// A queue and a driver of the printer as an earlier install would have left
// them, with settings of their own.
void AddEarlierInstall() {
  sim::Driver driver;
  driver.name = kPrinter;
  driver.version = 0x400;
  driver.driverPath = "OLD.DRV";
  driver.dataFile = "OLD.DRV";
  driver.configFile = "OLD.DRV";
  driver.defaultDataType = "RAW";
  driver.level = 2;
  sim::AddDriver(driver);
  sim::Queue queue;
  queue.name = kPrinter;
  queue.portName = "LPT2";
  queue.driverName = kPrinter;
  queue.comment = "earlier install";
  queue.printProcessor = "WinPrint";
  queue.datatype = "RAW";
  queue.attributes = PRINTER_ATTRIBUTE_LOCAL;
  queue.priority = 7;
  sim::AddQueue(queue);
}

void ExpectInstalledDriver(const std::string &environment) {
  std::optional<sim::Driver> driver = sim::FindDriver(kPrinter);
  ASSERT_TRUE(driver.has_value());
  EXPECT_EQ(kPrinter, driver->name);
  EXPECT_EQ(environment, driver->environment);
  EXPECT_EQ(0x400u, driver->version);
  EXPECT_EQ("NRVS1.DRV", driver->driverPath);
  EXPECT_EQ("NRVS1.DRV", driver->dataFile);
  EXPECT_EQ("NRVS1.DRV", driver->configFile);
  EXPECT_EQ("NRVS1.HLP", driver->helpFile);
  EXPECT_EQ(kDependentFiles, driver->dependentFiles);
  EXPECT_EQ("", driver->monitorName);
  EXPECT_EQ("RAW", driver->defaultDataType);
  EXPECT_EQ(3u, driver->level);
}

void ExpectInstalledQueue() {
  std::optional<sim::Queue> queue = sim::FindQueue(kPrinter);
  ASSERT_TRUE(queue.has_value());
  EXPECT_EQ(kPrinter, queue->name);
  EXPECT_EQ("", queue->shareName);
  EXPECT_EQ("LPT1", queue->portName);
  EXPECT_EQ(kPrinter, queue->driverName);
  EXPECT_EQ("", queue->comment);
  EXPECT_EQ("", queue->location);
  EXPECT_EQ("", queue->sepFile);
  EXPECT_EQ("WinPrint", queue->printProcessor);
  EXPECT_EQ("RAW", queue->datatype);
  EXPECT_EQ("", queue->parameters);
  EXPECT_EQ(0x844u, queue->attributes);
  EXPECT_EQ(1u, queue->priority);
  EXPECT_EQ(0u, queue->defaultPriority);
  EXPECT_EQ(0u, queue->startTime);
  EXPECT_EQ(0u, queue->untilTime);
  EXPECT_EQ(0u, queue->status);
}

void ExpectOneBroadcast() {
  std::vector<sim::BroadcastCall> broadcasts = sim::Broadcasts();
  ASSERT_EQ(1u, broadcasts.size());
  EXPECT_EQ(0xFFFFu, broadcasts[0].window);
  EXPECT_EQ(0x1Au, broadcasts[0].message);
  EXPECT_EQ(0u, broadcasts[0].wParam);
  EXPECT_EQ(0, broadcasts[0].lParam);
  EXPECT_EQ(0u, broadcasts[0].flags);
  EXPECT_EQ(1000u, broadcasts[0].timeout);
  EXPECT_FALSE(broadcasts[0].hasResultPointer);
}

std::vector<std::string> Args(const sim::Call &call) { return call.args; }

}  // namespace

// ---------------------------------------------------------------- install

TEST(W9xInstall, RegistersDriverQueueAndNodeAndBroadcasts) {
  for (sim::Os os : kSystems9x) {
    SCOPED_TRACE(sim::OsName(os));
    sim::BuildDefaultMachine(os);
    Library w9x(W9xLibraryPath());
    EXPECT_EQ(1, w9x.CreatePrinter());

    ExpectInstalledDriver("Windows 4.0");
    ExpectInstalledQueue();
    std::optional<sim::Value> files = sim::GetValue(kDriverKey9x, "Dependent Files");
    ASSERT_TRUE(files.has_value());
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), files->type);
    EXPECT_EQ(DependentFileBytes(), files->data);
    EXPECT_EQ(71u, files->data.size());
    EXPECT_TRUE(sim::KeyExists(kQueueKey9x));
    EXPECT_EQ(std::vector<std::string>{"BIOS&*PNP0400&00"}, sim::SubkeyNames(kDeviceKey));
    ExpectOneBroadcast();

    // The other printer of the machine is left alone.
    ASSERT_TRUE(sim::FindQueue("Office Laser").has_value());
    EXPECT_EQ("LPT2", sim::FindQueue("Office Laser")->portName);
    EXPECT_TRUE(sim::FindDriver("Office Laser Driver").has_value());

    EXPECT_EQ(2000u, sim::Now()) << "one pause of 2000 ms and no other";
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_TRUE(sim::ProcessesStarted().empty());
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(W9xInstall, CallsTheSpoolerInOrderWithItsArguments) {
  sim::BuildDefaultMachine(sim::Os::Win98);
  Library w9x(W9xLibraryPath());
  w9x.CreatePrinter();

  // Nothing of the printer is installed yet: the open and the driver delete
  // fail, and the queue is neither deleted nor closed.
  std::vector<sim::Call> opens = sim::CallsTo("OpenPrinterA");
  ASSERT_EQ(1u, opens.size()) << "no second pass over the queue";
  EXPECT_EQ((std::vector<std::string>{Quoted(kPrinter), "&", "NULL"}), Args(opens[0]));
  EXPECT_EQ("0", opens[0].result);
  EXPECT_EQ(0, CallCount("DeletePrinter"));
  std::vector<sim::Call> driverDeletes = sim::CallsTo("DeletePrinterDriverA");
  ASSERT_EQ(1u, driverDeletes.size());
  EXPECT_EQ((std::vector<std::string>{"NULL", "NULL", Quoted(kPrinter)}), Args(driverDeletes[0]));
  EXPECT_EQ("0", driverDeletes[0].result);
  EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER), driverDeletes[0].lastError);

  std::vector<sim::Call> sleeps = sim::CallsTo("Sleep");
  ASSERT_EQ(1u, sleeps.size());
  EXPECT_EQ(std::vector<std::string>{"2000"}, Args(sleeps[0]));

  std::vector<sim::Call> driverAdds = sim::CallsTo("AddPrinterDriverA");
  ASSERT_EQ(1u, driverAdds.size());
  EXPECT_EQ((std::vector<std::string>{"NULL", "3", "&", Quoted(kPrinter)}), Args(driverAdds[0]));
  EXPECT_EQ("1", driverAdds[0].result);
  std::vector<sim::Call> queueAdds = sim::CallsTo("AddPrinterA");
  ASSERT_EQ(1u, queueAdds.size());
  EXPECT_EQ((std::vector<std::string>{"NULL", "2", "&", Quoted(kPrinter)}), Args(queueAdds[0]));
  EXPECT_EQ(std::string("printer:") + kPrinter, queueAdds[0].result);
  std::vector<sim::Call> closes = sim::CallsTo("ClosePrinter");
  ASSERT_EQ(1u, closes.size()) << "the new queue's handle is closed at once";
  EXPECT_EQ(std::vector<std::string>{std::string("printer:") + kPrinter}, Args(closes[0]));
  EXPECT_EQ("1", closes[0].result);

  std::vector<sim::Call> sends = sim::CallsTo("SendMessageTimeoutA");
  ASSERT_EQ(1u, sends.size());
  EXPECT_EQ((std::vector<std::string>{"0xffff", "26", "0", "0", "0", "1000", "NULL"}), Args(sends[0]));

  const int order[] = {
      CallIndex("OpenPrinterA"),
      CallIndex("DeletePrinterDriverA"),
      CallIndex("Sleep"),
      CallIndex("AddPrinterDriverA"),
      CallIndex("AddPrinterA"),
      CallIndex("ClosePrinter"),
      CallIndexWithArg("RegOpenKeyA", 1, Quoted("ENUM\\BIOS")),
      CallIndexWithArg("RegOpenKeyA", 1, Quoted("ENUM\\ACPI")),
      CallIndex("SendMessageTimeoutA"),
  };
  for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
    EXPECT_GE(order[i], 0) << "step " << i << " did not run";
    if (i > 0) {
      EXPECT_LT(order[i - 1], order[i]) << "step " << i << " ran before step " << i - 1;
    }
  }
  EXPECT_EQ(0, CallIndex("OpenPrinterA")) << "the removal of an earlier install comes first";
  EXPECT_EQ(static_cast<int>(sim::Trace().size()) - 1, CallIndex("SendMessageTimeoutA"))
      << "the broadcast ends the install";
  EXPECT_EQ(0, CallCount("GetPrinterA"));
  EXPECT_EQ(0, CallCount("SetPrinterA"));
  EXPECT_EQ(0, CallCount("MessageBoxA"));
}

// On Windows 95, 98 and Me the environment passed is null: the spooler's own.
// On a spooler of another environment the driver therefore lands in that one.
TEST(W9xInstall, DriverGoesToTheSpoolersOwnEnvironment) {
  sim::Reset(sim::Os::WinXP);
  for (const char *name : {"NRVS1.DRV", "NRVS1.HLP", "nrvs1.drv", "nrvs195.dll", "nrvs1su.hlp", "nrvs1um.dll",
                           "nrvs1su.dll", "nrvs1su.dat"}) {
    sim::WriteFile(sim::DriverDirectory() + name, name);
  }
  Library w9x(W9xLibraryPath());
  EXPECT_EQ(1, w9x.CreatePrinter());
  ExpectInstalledDriver("Windows NT x86");
  EXPECT_EQ("", OpenHandlesText());
}

TEST(W9xInstall, ReplacesAnEarlierQueueAndDriver) {
  sim::BuildDefaultMachine(sim::Os::Win98);
  AddEarlierInstall();
  Library w9x(W9xLibraryPath());
  EXPECT_EQ(1, w9x.CreatePrinter());

  std::vector<sim::Call> opens = sim::CallsTo("OpenPrinterA");
  ASSERT_EQ(1u, opens.size());
  EXPECT_EQ("1", opens[0].result);
  std::vector<sim::Call> deletes = sim::CallsTo("DeletePrinter");
  ASSERT_EQ(1u, deletes.size());
  EXPECT_EQ(std::vector<std::string>{std::string("printer:") + kPrinter}, Args(deletes[0]));
  EXPECT_EQ("1", deletes[0].result);
  std::vector<sim::Call> driverDeletes = sim::CallsTo("DeletePrinterDriverA");
  ASSERT_EQ(1u, driverDeletes.size());
  EXPECT_EQ("1", driverDeletes[0].result) << "the queue is gone before its driver is deleted";
  // The queue opened for the removal is closed, then the new one.
  EXPECT_EQ(2, CallCount("ClosePrinter"));
  EXPECT_LT(CallIndex("DeletePrinter"), CallIndex("ClosePrinter"));
  EXPECT_LT(CallIndex("ClosePrinter"), CallIndex("DeletePrinterDriverA"));
  EXPECT_LT(CallIndex("DeletePrinterDriverA"), CallIndex("Sleep"));

  ExpectInstalledDriver("Windows 4.0");
  ExpectInstalledQueue();
  EXPECT_EQ(2000u, sim::Now());
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ("", OpenHandlesText());
}

TEST(W9xInstall, TwiceGivesTheSameMachineAsOnce) {
  sim::BuildDefaultMachine(sim::Os::Win98);
  Library w9x(W9xLibraryPath());
  EXPECT_EQ(1, w9x.CreatePrinter());
  const std::vector<std::string> once = RegistryLines();
  const std::optional<sim::Queue> queueOnce = sim::FindQueue(kPrinter);
  ASSERT_TRUE(queueOnce.has_value());
  const size_t queues = sim::Queues().size();
  const size_t drivers = sim::Drivers().size();

  sim::ClearTrace();
  EXPECT_EQ(1, w9x.CreatePrinter());
  EXPECT_EQ(once, RegistryLines());
  EXPECT_EQ(queues, sim::Queues().size());
  EXPECT_EQ(drivers, sim::Drivers().size());
  ExpectInstalledQueue();
  ExpectInstalledDriver("Windows 4.0");
  // The second install removed the first one's queue and driver and paused again.
  EXPECT_EQ(1, CallCount("DeletePrinter"));
  ASSERT_EQ(1, CallCount("DeletePrinterDriverA"));
  EXPECT_EQ("1", sim::CallsTo("DeletePrinterDriverA")[0].result);
  ASSERT_EQ(1, CallCount("AddPrinterA"));
  EXPECT_EQ(std::string("printer:") + kPrinter, sim::CallsTo("AddPrinterA")[0].result);
  EXPECT_EQ(4000u, sim::Now());
  EXPECT_EQ(2u, sim::Broadcasts().size());
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ("", OpenHandlesText());
}

TEST(W9xInstall, ArgumentsAreNeverRead) {
  const DWORD argumentSets[][3] = {{0x11111111, 0x22222222, 0x33333333}, {0, 0, 0}, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}};
  std::vector<std::string> firstLines, firstInstallCalls, firstRemoveCalls;
  for (size_t i = 0; i < sizeof argumentSets / sizeof argumentSets[0]; ++i) {
    SCOPED_TRACE("argument set " + std::to_string(i));
    const DWORD *a = argumentSets[i];
    sim::BuildDefaultMachine(sim::Os::Win98);
    Library w9x(W9xLibraryPath());
    EXPECT_EQ(1, w9x.CreatePrinter(a[0], a[1], a[2]));
    std::vector<std::string> lines = RegistryLines();
    std::vector<std::string> installCalls = sim::CallNames();
    sim::ClearTrace();
    EXPECT_EQ(0, w9x.UninstallPrinter(a[0], a[1], a[2]));
    std::vector<std::string> removeCalls = sim::CallNames();
    if (i == 0) {
      firstLines = lines;
      firstInstallCalls = installCalls;
      firstRemoveCalls = removeCalls;
    } else {
      EXPECT_EQ(firstLines, lines);
      EXPECT_EQ(firstInstallCalls, installCalls);
      EXPECT_EQ(firstRemoveCalls, removeCalls);
    }
    EXPECT_EQ("", OpenHandlesText());
  }
}

// ---------------------------------------------------------------- failures

TEST(W9xInstall, GoesOnWhateverFails) {
  struct Case {
    const char *name;
    bool earlierInstall;
    std::vector<std::pair<const char *, int>> faults;  // function, occurrence
    bool queueReplaced;      // the queue ends with this install's settings
    bool nodeWritten;
    int queueAddResultNull;  // 1: AddPrinterA gave no handle
  };
  const Case cases[] = {
      {"driver add fails", false, {{"AddPrinterDriverA", 1}}, false, true, 1},
      {"queue add fails", false, {{"AddPrinterA", 1}}, false, true, 1},
      {"driver and queue add fail", false, {{"AddPrinterDriverA", 1}, {"AddPrinterA", 1}}, false, true, 1},
      {"open of the earlier queue fails", true, {{"OpenPrinterA", 1}}, false, true, 1},
      {"delete of the earlier queue fails", true, {{"DeletePrinter", 1}}, false, true, 1},
      {"driver delete fails", true, {{"DeletePrinterDriverA", 1}}, true, true, 0},
      {"scan cannot open the enumerators", false, {{"RegOpenKeyA", 1}, {"RegOpenKeyA", 2}}, true, false, 0},
      {"broadcast fails", false, {{"SendMessageTimeoutA", 1}}, true, true, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::BuildDefaultMachine(sim::Os::Win98);
    if (c.earlierInstall) AddEarlierInstall();
    for (const auto &fault : c.faults) sim::FailCall(fault.first, fault.second, ERROR_ACCESS_DENIED);
    Library w9x(W9xLibraryPath());
    EXPECT_EQ(1, w9x.CreatePrinter());

    EXPECT_EQ(1, CallCount("AddPrinterDriverA"));
    ASSERT_EQ(1, CallCount("AddPrinterA")) << "the queue is attempted whatever the driver add gave";
    EXPECT_EQ(c.queueAddResultNull == 1, sim::CallsTo("AddPrinterA")[0].result == "NULL");
    EXPECT_EQ(-1, CallIndexWithArg("ClosePrinter", 0, "NULL")) << "no handle, nothing closed";
    if (c.queueReplaced) {
      ExpectInstalledQueue();
    } else if (c.earlierInstall) {
      ASSERT_TRUE(sim::FindQueue(kPrinter).has_value()) << "the earlier queue stays";
      EXPECT_EQ("LPT2", sim::FindQueue(kPrinter)->portName) << "and keeps its settings";
      EXPECT_EQ(7u, sim::FindQueue(kPrinter)->priority);
      EXPECT_EQ(static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS), sim::CallsTo("AddPrinterA")[0].lastError);
    } else {
      EXPECT_FALSE(sim::FindQueue(kPrinter).has_value());
    }
    EXPECT_EQ(c.nodeWritten, sim::KeyExists(kBiosInstanceKey));
    EXPECT_EQ(1, CallCount("SendMessageTimeoutA")) << "the broadcast is sent all the same";
    EXPECT_EQ(2000u, sim::Now());
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(W9xExports, ResultsAreConstantWhenEverythingFails) {
  const char *const families[][4] = {
      {"OpenPrinterA", "DeletePrinterDriverA", "AddPrinterDriverA", "AddPrinterA"},
      {"RegOpenKeyA", "RegCreateKeyA", nullptr, nullptr},
      {"RegEnumKeyA", "RegQueryValueExA", "RegSetValueExA", "RegDeleteKeyA"},
      {"ClosePrinter", "RegCloseKey", "SendMessageTimeoutA", "lstrcmpA"},
  };
  for (sim::Os os : kSystems9x) {
    for (size_t f = 0; f < sizeof families / sizeof families[0]; ++f) {
      SCOPED_TRACE(std::string(sim::OsName(os)) + ", family " + std::to_string(f));
      sim::BuildDefaultMachine(os);
      for (const char *name : families[f]) {
        if (name) sim::FailCall(name, 1, ERROR_ACCESS_DENIED, true);
      }
      Library w9x(W9xLibraryPath());
      EXPECT_EQ(1, w9x.CreatePrinter());
      EXPECT_EQ(0, w9x.UninstallPrinter());
      EXPECT_EQ(1, w9x.CreatePrinter(0, 0, 0));
      EXPECT_TRUE(sim::MessageBoxes().empty());
      EXPECT_EQ(2, CallCount("Sleep")) << "each install pauses once";
    }
  }
}

// ---------------------------------------------------------------- removal

TEST(W9xUninstall, RemovesNodeThenQueueAndDriver) {
  for (sim::Os os : kSystems9x) {
    SCOPED_TRACE(sim::OsName(os));
    sim::BuildDefaultMachine(os);
    Library w9x(W9xLibraryPath());
    ASSERT_EQ(1, w9x.CreatePrinter());
    ASSERT_TRUE(sim::KeyExists(kBiosInstanceKey));
    const uint64_t before = sim::Now();
    sim::ClearTrace();

    EXPECT_EQ(0, w9x.UninstallPrinter());
    EXPECT_FALSE(sim::KeyExists(kDeviceKey));
    EXPECT_TRUE(sim::KeyExists("HKLM\\Enum\\LPTENUM")) << "only the printer's device key goes";
    EXPECT_FALSE(sim::FindQueue(kPrinter).has_value());
    EXPECT_FALSE(sim::FindDriver(kPrinter).has_value());
    EXPECT_FALSE(sim::KeyExists(kQueueKey9x));
    EXPECT_FALSE(sim::KeyExists(kDriverKey9x));
    EXPECT_TRUE(sim::FindQueue("Office Laser").has_value());
    EXPECT_TRUE(sim::FindDriver("Office Laser Driver").has_value());
    EXPECT_TRUE(sim::KeyExists("HKLM\\Enum\\BIOS\\*PNP0400\\00")) << "the port's own node stays";

    // The device key is deleted before the queue and the driver.
    const int deviceDelete = CallIndexWithArg("RegDeleteKeyA", 1, Quoted("NorvaleTX-5400C83B"));
    ASSERT_GE(deviceDelete, 0);
    EXPECT_EQ("0", sim::Trace()[deviceDelete].result);
    EXPECT_EQ("HKLM\\Enum\\LPTENUM", sim::Trace()[deviceDelete].args[0]);
    EXPECT_EQ(0, CallIndexWithArg("RegOpenKeyA", 1, Quoted("Enum\\LPTENUM"))) << "the node goes first";
    EXPECT_LT(deviceDelete, CallIndex("OpenPrinterA"));
    EXPECT_LT(CallIndex("OpenPrinterA"), CallIndex("DeletePrinter"));
    EXPECT_LT(CallIndex("DeletePrinter"), CallIndex("ClosePrinter"));
    EXPECT_LT(CallIndex("ClosePrinter"), CallIndex("DeletePrinterDriverA"));
    EXPECT_EQ(static_cast<int>(sim::Trace().size()) - 1, CallIndex("DeletePrinterDriverA"));
    std::vector<sim::Call> driverDeletes = sim::CallsTo("DeletePrinterDriverA");
    ASSERT_EQ(1u, driverDeletes.size());
    EXPECT_EQ((std::vector<std::string>{"NULL", "NULL", Quoted(kPrinter)}), Args(driverDeletes[0]));
    EXPECT_EQ("1", driverDeletes[0].result);

    EXPECT_EQ(0, CallCount("SendMessageTimeoutA")) << "the removal sends no broadcast";
    EXPECT_EQ(1u, sim::Broadcasts().size());
    EXPECT_EQ(0, CallCount("Sleep"));
    EXPECT_EQ(before, sim::Now());
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(W9xUninstall, NothingInstalledFailsQuietly) {
  for (sim::Os os : kSystems9x) {
    SCOPED_TRACE(sim::OsName(os));
    sim::Reset(os);
    const std::vector<std::string> before = RegistryLines();
    Library w9x(W9xLibraryPath());
    EXPECT_EQ(0, w9x.UninstallPrinter());

    EXPECT_EQ((std::vector<std::string>{"RegOpenKeyA", "OpenPrinterA", "DeletePrinterDriverA"}), sim::CallNames());
    const std::vector<sim::Call> &trace = sim::Trace();
    ASSERT_EQ(3u, trace.size());
    EXPECT_EQ((std::vector<std::string>{"HKLM", Quoted("Enum\\LPTENUM"), "&"}), trace[0].args);
    EXPECT_EQ("2", trace[0].result);
    EXPECT_EQ("0", trace[1].result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), trace[1].lastError);
    EXPECT_EQ("0", trace[2].result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER), trace[2].lastError);
    EXPECT_EQ(before, RegistryLines());
    EXPECT_TRUE(sim::Broadcasts().empty());
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(W9xUninstall, NodeGoesEvenWhenTheQueueRemovalFails) {
  sim::BuildDefaultMachine(sim::Os::Win98);
  Library w9x(W9xLibraryPath());
  ASSERT_EQ(1, w9x.CreatePrinter());
  sim::FailCall("OpenPrinterA", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(0, w9x.UninstallPrinter());
  EXPECT_FALSE(sim::KeyExists(kDeviceKey));
  EXPECT_TRUE(sim::FindQueue(kPrinter).has_value());
  EXPECT_EQ(0, CallCount("DeletePrinter")) << "the queue that did not open is not deleted";
  EXPECT_EQ(2, CallCount("DeletePrinterDriverA")) << "the driver delete is tried all the same";
  EXPECT_TRUE(sim::FindDriver(kPrinter).has_value()) << "a driver in use by a queue stays";
  EXPECT_EQ("", OpenHandlesText());
}
