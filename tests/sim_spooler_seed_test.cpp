// The spooler started on a registry that an export seeded: the queues and
// drivers the keys describe become the spooler's, odd keys still give what
// Windows would list, the rest is named, and from then on the spooler keeps
// the keys and the user's entries in step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim.h"

namespace {

const std::string kNtPrint = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print";
const std::string k9xPrint = "HKLM\\System\\CurrentControlSet\\control\\Print";
const std::string kDevices = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const std::string kPorts = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts";

TEST(SpoolerSeed, QueuesAndDriversOfTheRegistryBecomeTheSpoolers) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  const std::string copy = kNtPrint + "\\Printers\\Norvale TX-5400 Series (Copy 1)";
  sim::SetString(copy, "Port", "LPT1:");
  sim::SetString(copy, "Printer Driver", "Norvale TX-5400 Series");
  sim::SetString(copy, "Share Name", "nrv");
  sim::SetString(copy, "Description", "the copy");
  sim::SetString(copy, "Location", "hall");
  sim::SetString(copy, "Separator File", "sep.sep");
  sim::SetString(copy, "Print Processor", "WinPrint");
  sim::SetString(copy, "Datatype", "RAW");
  sim::SetString(copy, "Parameters", "p=1");
  sim::SetDword(copy, "Attributes", 0x248);
  sim::SetDword(copy, "Priority", 3);
  sim::SetDword(copy, "Default Priority", 2);
  sim::SetDword(copy, "StartTime", 60);
  sim::SetDword(copy, "UntilTime", 120);
  sim::SetDword(copy, "Status", 1);
  sim::CreateKey(copy + "\\PrinterDriverData");
  sim::SetString(kDevices, "Norvale TX-5400 Series (Copy 1)", "winspool,LPT1:");
  sim::SetString(kPorts, "Norvale TX-5400 Series (Copy 1)", "winspool,LPT1:,15,45");
  const std::string driver = kNtPrint + "\\Environments\\Windows NT x86\\Drivers\\Version-3\\Norvale TX-5400 Series";
  sim::SetString(driver, "Driver", "NRVDRV.DLL");
  sim::SetString(driver, "Data File", "NRV.PPD");
  sim::SetString(driver, "Configuration File", "NRVUI.DLL");
  sim::SetString(driver, "Help File", "NRV.HLP");
  sim::SetMultiString(driver, "Dependent Files", {"A.DLL", "B.INI"});
  sim::SetString(driver, "Monitor", "");
  sim::SetString(driver, "Datatype", "RAW");
  sim::SetDword(driver, "Version", 3);
  // The default machine's own queue, changed in the export.
  sim::SetDword(kNtPrint + "\\Printers\\Office Laser", "Priority", 9);
  std::vector<sim::RegKeyDump> before = sim::DumpRegistry();

  EXPECT_EQ(std::vector<std::string>{}, sim::LoadSpoolerFromRegistry());

  std::optional<sim::Queue> q = sim::FindQueue("Norvale TX-5400 Series (Copy 1)");
  ASSERT_TRUE(q);
  EXPECT_EQ("LPT1:", q->portName);
  EXPECT_EQ("Norvale TX-5400 Series", q->driverName);
  EXPECT_EQ("nrv", q->shareName);
  EXPECT_EQ("the copy", q->comment);
  EXPECT_EQ("hall", q->location);
  EXPECT_EQ("sep.sep", q->sepFile);
  EXPECT_EQ("WinPrint", q->printProcessor);
  EXPECT_EQ("RAW", q->datatype);
  EXPECT_EQ("p=1", q->parameters);
  EXPECT_EQ(0x248u, q->attributes);
  EXPECT_EQ(3u, q->priority);
  EXPECT_EQ(2u, q->defaultPriority);
  EXPECT_EQ(60u, q->startTime);
  EXPECT_EQ(120u, q->untilTime);
  EXPECT_EQ(1u, q->status);
  EXPECT_EQ(9u, sim::FindQueue("Office Laser")->priority);
  EXPECT_EQ(2u, sim::Queues().size());
  std::optional<sim::Driver> d = sim::FindDriver("Norvale TX-5400 Series");
  ASSERT_TRUE(d);
  EXPECT_EQ("Windows NT x86", d->environment);
  EXPECT_EQ(3u, d->version);
  EXPECT_EQ("NRVDRV.DLL", d->driverPath);
  EXPECT_EQ("NRV.PPD", d->dataFile);
  EXPECT_EQ("NRVUI.DLL", d->configFile);
  EXPECT_EQ("NRV.HLP", d->helpFile);
  EXPECT_EQ((std::vector<std::string>{"A.DLL", "B.INI"}), d->dependentFiles);
  EXPECT_EQ("RAW", d->defaultDataType);
  EXPECT_EQ(3u, d->level);
  EXPECT_EQ(2u, sim::Drivers().size());
  // The registry is left as the export made it.
  std::vector<sim::RegKeyDump> after = sim::DumpRegistry();
  ASSERT_EQ(before.size(), after.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(before[i].path, after[i].path) << i;

  // From then on the spooler keeps the keys in step: the copy deleted takes
  // its key and the user's entries; the driver, no longer in use, goes with
  // its key.
  PRINTER_DEFAULTSA defaults = {NULL, NULL, PRINTER_ALL_ACCESS};
  HANDLE h = NULL;
  char name[] = "Norvale TX-5400 Series (Copy 1)";
  ASSERT_TRUE(OpenPrinterA(name, &h, &defaults));
  char env[] = "Windows NT x86", driverName[] = "Norvale TX-5400 Series";
  EXPECT_FALSE(DeletePrinterDriverA(NULL, env, driverName));  // in use by the copy
  EXPECT_EQ(static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE), GetLastError());
  EXPECT_TRUE(DeletePrinter(h));
  ClosePrinter(h);
  EXPECT_FALSE(sim::KeyExists(copy));
  EXPECT_FALSE(sim::GetValue(kDevices, "Norvale TX-5400 Series (Copy 1)"));
  EXPECT_FALSE(sim::GetValue(kPorts, "Norvale TX-5400 Series (Copy 1)"));
  EXPECT_TRUE(DeletePrinterDriverA(NULL, env, driverName));
  EXPECT_FALSE(sim::KeyExists(driver));
  EXPECT_FALSE(sim::FindDriver("Norvale TX-5400 Series"));
}

// Odd keys: what Windows would still list is listed, with empty fields; the
// rest is named with its reason, one line each.
TEST(SpoolerSeed, OddKeysGiveUsableQueuesOrAreNamed) {
  struct Case {
    sim::Os os;
    std::vector<std::pair<std::string, std::pair<std::string, sim::Value>>> values;  // key, name, value
    std::vector<std::string> queues, drivers;  // listed besides the default machine's
    std::vector<std::string> notes;
  };
  auto sz = [](const std::string &s) { return sim::Value{REG_SZ, s + '\0'}; };
  const sim::Value dword{REG_DWORD, std::string("\1\0\0\0", 4)};
  const std::string nt = kNtPrint, w9x = k9xPrint;
  const Case cases[] = {
      // No "Port", a port of the wrong type: a queue on no port.
      {sim::Os::WinXP, {{nt + "\\Printers\\No Port", {"Printer Driver", sz("X")}},
                        {nt + "\\Printers\\Typed", {"Port", dword}}},
       {"No Port", "Typed"}, {}, {}},
      // A key without values: a queue still.
      {sim::Os::WinXP, {{nt + "\\Printers\\Bare\\PrinterDriverData", {"x", dword}}}, {"Bare"}, {}, {}},
      {sim::Os::WinXP, {{nt + "\\Printers\\A,B", {"Port", sz("LPT1:")}}}, {}, {},
       {nt + "\\Printers\\A,B: a printer name holds no ','"}},
      {sim::Os::WinXP,
       {{nt + "\\Environments\\Windows NT x86\\Drivers\\Version-3\\No File", {"Data File", sz("a.ppd")}},
        {nt + "\\Environments\\Windows NT x86\\Drivers\\Version-3\\Typed", {"Driver", dword}},
        {nt + "\\Environments\\Windows NT x86\\Drivers\\Version-2\\Old", {"Driver", sz("old.dll")}},
        {nt + "\\Environments\\Windows NT x86\\Drivers\\Stray", {"Driver", sz("s.dll")}},
        {nt + "\\Environments\\Windows x64\\Drivers\\Version-3\\Wide", {"Driver", sz("w.dll")}},
        {nt + "\\Environments\\Windows 4.0\\Drivers\\Nine", {"Driver", sz("n.drv")}}},
       {}, {"Old", "Nine"},
       {nt + "\\Environments\\Windows NT x86\\Drivers\\Stray: expected a \"Version-N\" key for the drivers of version N",
        nt + "\\Environments\\Windows NT x86\\Drivers\\Version-3\\No File: no \"Driver\" text value: the spooler "
             "loads no driver without its driver file",
        nt + "\\Environments\\Windows NT x86\\Drivers\\Version-3\\Typed: no \"Driver\" text value: the spooler "
             "loads no driver without its driver file",
        nt + "\\Environments\\Windows x64: the spooler serves the environments \"Windows NT x86\" and \"Windows 4.0\" "
             "only"}},
      // Windows 95, 98 and Me keep drivers straight under "Drivers".
      {sim::Os::Win98, {{w9x + "\\Environments\\Windows 4.0\\Drivers\\Nine", {"Driver", sz("n.drv")}},
                        {w9x + "\\Printers\\Q", {"Port", sz("LPT1")}}},
       {"Q"}, {"Nine"}, {}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    sim::BuildDefaultMachine(c.os);
    size_t queues = sim::Queues().size(), drivers = sim::Drivers().size();
    for (const auto &v : c.values) sim::SetValue(v.first, v.second.first, v.second.second.type, v.second.second.data);
    EXPECT_EQ(c.notes, sim::LoadSpoolerFromRegistry()) << "case " << i;
    EXPECT_EQ(queues + c.queues.size(), sim::Queues().size()) << "case " << i;
    EXPECT_EQ(drivers + c.drivers.size(), sim::Drivers().size()) << "case " << i;
    for (const std::string &q : c.queues) {
      ASSERT_TRUE(sim::FindQueue(q)) << "case " << i << " " << q;
      EXPECT_EQ("WinPrint", sim::FindQueue(q)->printProcessor) << "case " << i;
      EXPECT_EQ("RAW", sim::FindQueue(q)->datatype) << "case " << i;
      // Usable: it opens and deletes, taking its key.
      HANDLE h = NULL;
      PRINTER_DEFAULTSA defaults = {NULL, NULL, PRINTER_ALL_ACCESS};
      std::string name = q;
      ASSERT_TRUE(OpenPrinterA(&name[0], &h, &defaults)) << "case " << i << " " << q;
      EXPECT_TRUE(DeletePrinter(h)) << "case " << i << " " << q;
      ClosePrinter(h);
      EXPECT_FALSE(sim::KeyExists((sim::IsNtFamily(c.os) ? nt : w9x) + "\\Printers\\" + q)) << "case " << i;
    }
    for (const std::string &d : c.drivers) EXPECT_TRUE(sim::FindDriver(d)) << "case " << i << " " << d;
  }
}

}  // namespace
