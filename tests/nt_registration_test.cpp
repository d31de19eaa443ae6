// The driver and the queue registered with the spooler at install, and both
// taken away at removal: the exact records the spooler receives, and what
// happens when a queue exists already or is missing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kPrinter[] = "Norvale TX-5400 Series";
const char kEnvironment[] = "Windows NT x86";
const char kSettingsKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

typedef void StepFn(void);

sim::Queue EarlierQueue(const std::string &name) {
  sim::Queue queue;
  queue.name = name;
  queue.portName = "LPT2:";
  queue.driverName = "Office Laser Driver";
  queue.printProcessor = "WinPrint";
  queue.datatype = "RAW";
  queue.comment = "set up by hand";
  queue.attributes = PRINTER_ATTRIBUTE_LOCAL;
  return queue;
}

// The calls of the trace from index `from` on, by name.
std::vector<std::string> NamesFrom(int from) {
  std::vector<std::string> out;
  const std::vector<sim::Call> &trace = sim::Trace();
  for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < trace.size(); ++i) out.push_back(trace[i].name);
  return out;
}

}  // namespace

// ---------------------------------------------------------------- the driver

TEST(AddNtDriver, RegistersExactlyTheSixFieldsAtLevelTwo) {
  const sim::Os systems[] = {sim::Os::Nt40, sim::Os::Win2000, sim::Os::WinXP};
  for (sim::Os os : systems) {
    SCOPED_TRACE(sim::OsName(os));
    sim::BuildDefaultMachine(os);
    Library nt(NtLibraryPath());
    nt.Get<StepFn>("AddNtDriver")();

    std::vector<sim::Call> calls = sim::CallsTo("AddPrinterDriverA");
    ASSERT_EQ(1u, calls.size());
    ASSERT_GE(calls[0].args.size(), 4u);
    EXPECT_EQ("NULL", calls[0].args[0]) << "the local machine";
    EXPECT_EQ("2", calls[0].args[1]);
    EXPECT_EQ(Quoted(kPrinter), calls[0].args[3]);
    EXPECT_EQ("1", calls[0].result);

    std::optional<sim::Driver> driver = sim::FindDriver(kPrinter);
    ASSERT_TRUE(driver.has_value());
    EXPECT_EQ(kPrinter, driver->name);
    EXPECT_EQ(kEnvironment, driver->environment);
    EXPECT_EQ(3u, driver->version);
    EXPECT_EQ(2u, driver->level);
    EXPECT_EQ("nrvs1.dll", driver->driverPath);
    EXPECT_EQ("nrvs1.sdd", driver->dataFile);
    EXPECT_EQ("nrvs1ui.dll", driver->configFile);
    EXPECT_EQ("", driver->helpFile);
    EXPECT_TRUE(driver->dependentFiles.empty());
    EXPECT_EQ("", driver->monitorName);
    EXPECT_EQ("", driver->defaultDataType);
    EXPECT_EQ(2u, sim::Drivers().size()) << "next to the other printer's driver";
    EXPECT_TRUE(sim::MessageBoxes().empty());
  }
}

TEST(AddNtDriver, FailureIsIgnoredAndTheQueueIsTriedAllTheSame) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  sim::FailCall("AddPrinterDriverA", 1, ERROR_ACCESS_DENIED);
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.CreatePrinter());
  EXPECT_FALSE(sim::FindDriver(kPrinter).has_value());
  EXPECT_EQ(CallIndex("AddPrinterDriverA") + 1, CallIndex("AddPrinterA"));
  EXPECT_EQ(ERROR_UNKNOWN_PRINTER_DRIVER, static_cast<long>(sim::CallsTo("AddPrinterA").at(0).lastError));
  EXPECT_EQ(1, CallCount("SendMessageTimeoutA")) << "the install runs to its end";
  EXPECT_TRUE(sim::MessageBoxes().empty()) << "nothing is reported";
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- the queue

TEST(AddNtPrinter, CreatesTheQueueWithTheExactRecordAndClosesIt) {
  const sim::Os systems[] = {sim::Os::Nt40, sim::Os::Win2000, sim::Os::WinXP};
  for (sim::Os os : systems) {
    SCOPED_TRACE(sim::OsName(os));
    sim::BuildDefaultMachine(os);
    Library nt(NtLibraryPath());
    nt.Get<StepFn>("AddNtDriver")();
    sim::ClearTrace();
    nt.Get<StepFn>("AddNtPrinter")();

    EXPECT_EQ((std::vector<std::string>{"AddPrinterA", "ClosePrinter"}), sim::CallNames());
    std::vector<sim::Call> added = sim::CallsTo("AddPrinterA");
    ASSERT_EQ(1u, added.size());
    ASSERT_GE(added[0].args.size(), 4u);
    EXPECT_EQ("NULL", added[0].args[0]);
    EXPECT_EQ("2", added[0].args[1]);
    EXPECT_EQ(Quoted(kPrinter), added[0].args[3]);
    EXPECT_EQ(std::string("printer:") + kPrinter, added[0].result);
    EXPECT_EQ(std::vector<std::string>{std::string("printer:") + kPrinter}, FirstArgs("ClosePrinter"));
    EXPECT_EQ("1", sim::CallsTo("ClosePrinter").at(0).result);

    std::optional<sim::Queue> queue = sim::FindQueue(kPrinter);
    ASSERT_TRUE(queue.has_value());
    EXPECT_EQ(kPrinter, queue->name);
    EXPECT_EQ("Norvale TX-5400", queue->shareName);
    EXPECT_EQ("LPT1:", queue->portName);
    EXPECT_EQ(kPrinter, queue->driverName);
    EXPECT_EQ("", queue->comment);
    EXPECT_EQ("", queue->location);
    EXPECT_EQ("", queue->sepFile);
    EXPECT_EQ("WinPrint", queue->printProcessor);
    EXPECT_EQ("RAW", queue->datatype);
    EXPECT_EQ("", queue->parameters);
    EXPECT_EQ(0x000F0045u, queue->attributes);
    EXPECT_EQ(0u, queue->attributes & PRINTER_ATTRIBUTE_SHARED) << "recorded share name, not shared";
    EXPECT_EQ(0u, queue->priority);
    EXPECT_EQ(0u, queue->defaultPriority);
    EXPECT_EQ(0u, queue->startTime);
    EXPECT_EQ(0u, queue->untilTime);
    EXPECT_EQ(0u, queue->status);
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(AddNtPrinter, ExistingQueueIsLeftAloneAndTheInstallGoesOn) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  sim::Queue earlier = EarlierQueue(kPrinter);
  sim::AddQueue(earlier);
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.CreatePrinter());

  std::vector<sim::Call> added = sim::CallsTo("AddPrinterA");
  ASSERT_EQ(1u, added.size());
  EXPECT_EQ("NULL", added[0].result);
  EXPECT_EQ(static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS), added[0].lastError);
  const int at = CallIndex("AddPrinterA");
  ASSERT_GE(at, 0);
  for (const std::string &name : NamesFrom(at)) EXPECT_NE("ClosePrinter", name) << "nothing is closed";

  std::optional<sim::Queue> queue = sim::FindQueue(kPrinter);
  ASSERT_TRUE(queue.has_value());
  EXPECT_EQ("LPT2:", queue->portName) << "the earlier queue stays as it was";
  EXPECT_EQ("Office Laser Driver", queue->driverName);
  EXPECT_EQ("set up by hand", queue->comment);
  EXPECT_EQ(static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL), queue->attributes);
  EXPECT_TRUE(sim::FindDriver(kPrinter).has_value()) << "the driver is registered before";
  // The later steps ran.
  EXPECT_EQ("Norvale TX-5400 Series,winspool,LPT1:", sim::GetString(kSettingsKey, "Device").value_or("?"));
  EXPECT_EQ(1, CallCount("SendMessageTimeoutA"));
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- removal

TEST(RemoveNtPrinterAndDriver, RemovesTheQueueThenTheDriverOnce) {
  struct Case {
    const char *name;
    bool install;          // the printer was installed before
    bool otherQueue;       // a copy of the queue still uses the driver
    std::vector<std::string> calls;
    const char *driverResult;
    DWORD driverError;
    bool driverLeft;
  };
  const Case cases[] = {
      {"installed", true, false, {"OpenPrinterA", "DeletePrinter", "ClosePrinter", "DeletePrinterDriverA"}, "1", 0,
       false},
      {"queue missing, driver present", false, false, {"OpenPrinterA", "DeletePrinterDriverA"}, "1", 0, false},
      {"a copy still uses the driver", true, true,
       {"OpenPrinterA", "DeletePrinter", "ClosePrinter", "DeletePrinterDriverA"}, "0", ERROR_PRINTER_DRIVER_IN_USE,
       true},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    Library nt(NtLibraryPath());
    nt.Get<StepFn>("AddNtDriver")();
    if (c.install) nt.Get<StepFn>("AddNtPrinter")();
    if (c.otherQueue) {
      sim::Queue copy = EarlierQueue(std::string(kPrinter) + " (Copy 1)");
      copy.driverName = kPrinter;
      sim::AddQueue(copy);
    }
    sim::ClearTrace();
    nt.Get<StepFn>("RemoveNtPrinterAndDriver")();

    EXPECT_EQ(c.calls, sim::CallNames());
    std::vector<sim::Call> opened = sim::CallsTo("OpenPrinterA");
    ASSERT_EQ(1u, opened.size());
    EXPECT_EQ((std::vector<std::string>{Quoted(kPrinter), "&", "{\"RAW\", NULL, 0xf000c}"}),
              std::vector<std::string>(opened[0].args.begin(), opened[0].args.begin() + 3));
    if (c.install) {
      EXPECT_EQ("1", opened[0].result);
      EXPECT_EQ("1", sim::CallsTo("DeletePrinter").at(0).result) << "the handle has the right to delete";
      EXPECT_EQ(std::vector<std::string>{std::string("printer:") + kPrinter}, FirstArgs("ClosePrinter"));
    } else {
      EXPECT_EQ("0", opened[0].result);
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME), opened[0].lastError);
    }
    std::vector<sim::Call> deleted = sim::CallsTo("DeletePrinterDriverA");
    ASSERT_EQ(1u, deleted.size());
    EXPECT_EQ((std::vector<std::string>{"NULL", Quoted(kEnvironment), Quoted(kPrinter)}), deleted[0].args);
    EXPECT_EQ(c.driverResult, deleted[0].result);
    EXPECT_EQ(c.driverError, c.driverError ? deleted[0].lastError : 0u);
    EXPECT_FALSE(sim::FindQueue(kPrinter).has_value());
    EXPECT_EQ(c.driverLeft, sim::FindDriver(kPrinter).has_value());
    EXPECT_TRUE(sim::FindQueue("Office Laser").has_value());
    EXPECT_TRUE(sim::FindDriver("Office Laser Driver").has_value());
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(RemoveNtPrinterAndDriver, UninstallDeletesTheDriverOnceRightAfterTheQueue) {
  struct Case {
    const char *name;
    bool install;
    bool failDelete;  // DeletePrinter refused
  };
  const Case cases[] = {
      {"after an install", true, false},
      {"nothing installed", false, false},
      {"queue deletion refused", true, true},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    Library nt(NtLibraryPath());
    if (c.install) {
      ASSERT_EQ(1, nt.CreatePrinter());
    }
    sim::ClearTrace();
    if (c.failDelete) sim::FailCall("DeletePrinter", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, nt.UninstallPrinter());

    const int open = CallIndexWithArg("OpenPrinterA", 0, Quoted(kPrinter));
    ASSERT_GE(open, 0);
    const int drv = CallIndex("DeletePrinterDriverA");
    ASSERT_GE(drv, 0);
    EXPECT_EQ(1, CallCount("DeletePrinterDriverA"));
    EXPECT_EQ((std::vector<std::string>{"NULL", Quoted(kEnvironment), Quoted(kPrinter)}),
              sim::CallsTo("DeletePrinterDriverA")[0].args);
    const std::vector<std::string> names = sim::CallNames();
    std::vector<std::string> between(names.begin() + open, names.begin() + drv);
    if (c.install) {
      EXPECT_EQ((std::vector<std::string>{"OpenPrinterA", "DeletePrinter", "ClosePrinter"}), between);
    } else {
      EXPECT_EQ(std::vector<std::string>{"OpenPrinterA"}, between);
    }
    if (!c.failDelete) {
      EXPECT_FALSE(sim::FindDriver(kPrinter).has_value());
      EXPECT_FALSE(sim::FindQueue(kPrinter).has_value());
    } else {
      EXPECT_EQ("0", sim::CallsTo("DeletePrinterDriverA")[0].result) << "the queue still uses it";
    }
    // Without an install only the missing driver files are reported.
    EXPECT_EQ(c.install ? 0u : 7u, sim::MessageBoxes().size());
    EXPECT_EQ("", OpenHandlesText());
  }
}
