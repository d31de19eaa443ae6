// The simulated service control manager and print spooler: the "Spooler"
// service over the virtual clock, drivers, queues, their registry entries
// and handles, with the results and last errors Windows gives.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sim.h"

namespace {

LPSTR S(const char *text) { return const_cast<LPSTR>(text); }

const char NtPrint[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print";
const char W9xPrint[] = "HKLM\\System\\CurrentControlSet\\control\\Print";
const char Devices[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const char PrinterPorts[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts";
const DWORD ServiceAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;
const DWORD Unwritten = 0xA5A5A5A5;
const DWORD ErrorPrinterDeleted = 1905;

SERVICE_STATUS Sentinel() {
  SERVICE_STATUS s;
  s.dwServiceType = s.dwCurrentState = s.dwControlsAccepted = s.dwWin32ExitCode = Unwritten;
  s.dwServiceSpecificExitCode = s.dwCheckPoint = s.dwWaitHint = Unwritten;
  return s;
}

bool Untouched(const SERVICE_STATUS &s) {
  SERVICE_STATUS fresh = Sentinel();
  return std::memcmp(&s, &fresh, sizeof s) == 0;
}

// ---------------------------------------------------------------- services

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(sim::Os::WinXP); }
  void TearDown() override {
    if (service_) CloseServiceHandle(service_);
    if (manager_) CloseServiceHandle(manager_);
  }

  // Opens the manager and the service with the rights the installer asks for.
  void Open(DWORD serviceAccess = ServiceAccess) {
    manager_ = OpenSCManagerA(NULL, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr) << sim::Trace().back().lastError;
    service_ = OpenServiceA(manager_, "Spooler", serviceAccess);
    ASSERT_NE(service_, nullptr) << sim::Trace().back().lastError;
  }

  SERVICE_STATUS Query() {
    SERVICE_STATUS s = Sentinel();
    EXPECT_EQ(QueryServiceStatus(service_, &s), TRUE);
    return s;
  }

  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

TEST_F(ServiceTest, StopRunsThroughStopPendingForItsDelay) {
  sim::SpoolerScript script;
  script.stopDelayMs = 1500;
  script.stopWaitHint = 1000;
  sim::SetSpooler(script);
  Open();

  SERVICE_STATUS s = Sentinel();
  EXPECT_EQ(ControlService(service_, SERVICE_CONTROL_STOP, &s), TRUE);
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
  EXPECT_EQ(s.dwWaitHint, 1000u);
  EXPECT_EQ(s.dwControlsAccepted, 0u);
  EXPECT_EQ(s.dwWin32ExitCode, 0u);
  EXPECT_EQ(s.dwServiceType & 0x10u, 0x10u);
  EXPECT_NE(s.dwCheckPoint, 0u);
  EXPECT_FALSE(sim::SpoolerRunning());

  Sleep(1499);
  s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
  EXPECT_EQ(s.dwWaitHint, 1000u);
  Sleep(1);
  s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_EQ(s.dwWaitHint, 0u);
  EXPECT_EQ(s.dwCheckPoint, 0u);
  EXPECT_EQ(sim::SpoolerState(), (DWORD)SERVICE_STOPPED);

  // And back: the start pends for its own delay and hint.
  EXPECT_EQ(StartServiceA(service_, 0, NULL), TRUE);
  s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_START_PENDING);
  EXPECT_EQ(s.dwWaitHint, 2000u);
  EXPECT_FALSE(sim::SpoolerRunning());
  Sleep(999);
  EXPECT_EQ(Query().dwCurrentState, (DWORD)SERVICE_START_PENDING);
  Sleep(1);
  s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_RUNNING);
  EXPECT_EQ(s.dwControlsAccepted & 0x1u, 0x1u);  // accepts a stop again
  EXPECT_TRUE(sim::SpoolerRunning());
}

TEST_F(ServiceTest, ControlServiceAnswersAsWindowsDoes) {
  struct Case {
    const char *name;
    sim::SpoolerScript script;
    DWORD access;
    DWORD control;
    BOOL result;
    DWORD error;
    bool written;
    DWORD state, hint;  // the record's, when written
    DWORD after;        // the service's state after the call
  };
  sim::SpoolerScript running;
  sim::SpoolerScript dependents;
  dependents.dependentsRunning = true;
  sim::SpoolerScript stopped;
  stopped.initialState = SERVICE_STOPPED;
  sim::SpoolerScript starting;
  starting.initialState = SERVICE_START_PENDING;
  starting.initialPendingMs = 5000;
  sim::SpoolerScript stopping;
  stopping.initialState = SERVICE_STOP_PENDING;
  stopping.initialPendingMs = 5000;
  sim::SpoolerScript paused;
  paused.initialState = SERVICE_PAUSED;
  const Case cases[] = {
      {"stop", running, ServiceAccess, SERVICE_CONTROL_STOP, TRUE, 0, true, SERVICE_STOP_PENDING, 1000,
       SERVICE_STOP_PENDING},
      {"stop, dependents running", dependents, ServiceAccess, SERVICE_CONTROL_STOP, FALSE,
       ERROR_DEPENDENT_SERVICES_RUNNING, false, 0, 0, SERVICE_RUNNING},
      {"stop of a stopped service", stopped, ServiceAccess, SERVICE_CONTROL_STOP, FALSE, ERROR_SERVICE_NOT_ACTIVE,
       true, SERVICE_STOPPED, 0, SERVICE_STOPPED},
      {"stop while starting", starting, ServiceAccess, SERVICE_CONTROL_STOP, FALSE,
       ERROR_SERVICE_CANNOT_ACCEPT_CTRL, true, SERVICE_START_PENDING, 2000, SERVICE_START_PENDING},
      {"stop while stopping", stopping, ServiceAccess, SERVICE_CONTROL_STOP, FALSE,
       ERROR_SERVICE_CANNOT_ACCEPT_CTRL, true, SERVICE_STOP_PENDING, 1000, SERVICE_STOP_PENDING},
      {"stop of a paused service", paused, ServiceAccess, SERVICE_CONTROL_STOP, TRUE, 0, true,
       SERVICE_STOP_PENDING, 1000, SERVICE_STOP_PENDING},
      {"unknown control", running, ServiceAccess, 0x55, FALSE, ERROR_INVALID_SERVICE_CONTROL, true,
       SERVICE_RUNNING, 0, SERVICE_RUNNING},
      {"stop without the right", running, SERVICE_QUERY_STATUS | SERVICE_START, SERVICE_CONTROL_STOP, FALSE,
       ERROR_ACCESS_DENIED, false, 0, 0, SERVICE_RUNNING},
      {"pause without the right", running, ServiceAccess, 2, FALSE, ERROR_ACCESS_DENIED, false, 0, 0,
       SERVICE_RUNNING},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::WinXP);
    sim::SetSpooler(c.script);
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "Spooler", c.access);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS s = Sentinel();
    EXPECT_EQ(ControlService(service, c.control, &s), c.result);
    EXPECT_EQ(sim::Trace().back().lastError, c.result ? 0 : c.error);
    if (c.written) {
      EXPECT_EQ(s.dwCurrentState, c.state);
      EXPECT_EQ(s.dwWaitHint, c.hint);
      EXPECT_EQ(sim::Trace().back().args.back(),
                "state=" + std::to_string(c.state) + " hint=" + std::to_string(c.hint));
    } else {
      EXPECT_TRUE(Untouched(s));
      EXPECT_EQ(sim::Trace().back().args.size(), 3u);
    }
    EXPECT_EQ(sim::SpoolerState(), c.after);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
}

TEST_F(ServiceTest, StartServiceRefusals) {
  struct Case {
    const char *name;
    DWORD initialState;
    bool disabled;
    DWORD access;
    BOOL result;
    DWORD error;
    DWORD after;
  };
  const Case cases[] = {
      {"stopped", SERVICE_STOPPED, false, ServiceAccess, TRUE, 0, SERVICE_START_PENDING},
      {"disabled", SERVICE_STOPPED, true, ServiceAccess, FALSE, ERROR_SERVICE_DISABLED, SERVICE_STOPPED},
      {"running", SERVICE_RUNNING, false, ServiceAccess, FALSE, ERROR_SERVICE_ALREADY_RUNNING, SERVICE_RUNNING},
      {"stopping", SERVICE_STOP_PENDING, false, ServiceAccess, FALSE, ERROR_SERVICE_ALREADY_RUNNING,
       SERVICE_STOP_PENDING},
      {"no start right", SERVICE_STOPPED, false, SERVICE_QUERY_STATUS | SERVICE_STOP, FALSE, ERROR_ACCESS_DENIED,
       SERVICE_STOPPED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(sim::Os::Win2000);
    sim::SpoolerScript script;
    script.initialState = c.initialState;
    script.initialPendingMs = 10000;
    script.disabled = c.disabled;
    sim::SetSpooler(script);
    SC_HANDLE manager = OpenSCManagerA(NULL, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "Spooler", c.access);
    ASSERT_NE(service, nullptr);
    LPCSTR args[] = {"untouched"};
    EXPECT_EQ(StartServiceA(service, 0, args), c.result);
    EXPECT_EQ(sim::Trace().back().lastError, c.result ? 0 : c.error);
    EXPECT_EQ(sim::SpoolerState(), c.after);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
}

TEST_F(ServiceTest, StuckPendingNeverEnds) {
  sim::SpoolerScript script;
  script.stuckStopping = true;
  sim::SetSpooler(script);
  Open();
  SERVICE_STATUS s = Sentinel();
  EXPECT_EQ(ControlService(service_, SERVICE_CONTROL_STOP, &s), TRUE);
  Sleep(3600000);
  s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
  EXPECT_EQ(s.dwWaitHint, 1000u);
  EXPECT_FALSE(sim::SpoolerRunning());
  // A stuck start does not hold up a stop, and the reverse.
  CloseServiceHandle(service_);
  CloseServiceHandle(manager_);
  service_ = manager_ = nullptr;

  sim::Reset(sim::Os::WinXP);
  script = sim::SpoolerScript();
  script.initialState = SERVICE_STOPPED;
  script.stuckStarting = true;
  sim::SetSpooler(script);
  Open();
  EXPECT_EQ(StartServiceA(service_, 0, NULL), TRUE);
  Sleep(3600000);
  s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_START_PENDING);
  EXPECT_EQ(s.dwWaitHint, 2000u);
}

// Outside a pending state the record carries the script's steady hint,
// in a query and in a refused control alike; a pending state its own hint.
TEST_F(ServiceTest, SteadyStatesReportTheSteadyWaitHint) {
  sim::SpoolerScript script;
  script.steadyWaitHint = 2000;
  script.stopDelayMs = 1500;
  script.stopWaitHint = 1000;
  sim::SetSpooler(script);
  Open();
  SERVICE_STATUS s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_RUNNING);
  EXPECT_EQ(s.dwWaitHint, 2000u);
  EXPECT_EQ(s.dwCheckPoint, 0u);
  s = Sentinel();
  EXPECT_EQ(ControlService(service_, SERVICE_CONTROL_STOP, &s), TRUE);
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
  EXPECT_EQ(s.dwWaitHint, 1000u);
  Sleep(1500);
  s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_STOPPED);
  EXPECT_EQ(s.dwWaitHint, 2000u);
  s = Sentinel();
  EXPECT_EQ(ControlService(service_, SERVICE_CONTROL_STOP, &s), FALSE);
  EXPECT_EQ(sim::Trace().back().lastError, (DWORD)ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(sim::Trace().back().args.back(), "state=1 hint=2000");
  EXPECT_EQ(s.dwWaitHint, 2000u);
}

TEST_F(ServiceTest, FailedStartsEndStoppedAndLaterStartsRun) {
  sim::SpoolerScript script;
  script.initialState = SERVICE_STOPPED;
  script.startDelayMs = 1000;
  script.failedStarts = 2;
  sim::SetSpooler(script);
  Open();
  for (int attempt = 0; attempt < 3; ++attempt) {
    SCOPED_TRACE("start " + std::to_string(attempt + 1));
    EXPECT_EQ(StartServiceA(service_, 0, NULL), TRUE);
    EXPECT_EQ(Query().dwCurrentState, (DWORD)SERVICE_START_PENDING);
    Sleep(999);
    EXPECT_EQ(Query().dwCurrentState, (DWORD)SERVICE_START_PENDING);
    Sleep(1);
    DWORD want = attempt < 2 ? SERVICE_STOPPED : SERVICE_RUNNING;
    EXPECT_EQ(Query().dwCurrentState, want);
  }
}

TEST_F(ServiceTest, InitiallyStartPendingBecomesRunning) {
  sim::SpoolerScript script;
  script.initialState = SERVICE_START_PENDING;
  script.initialPendingMs = 3000;
  script.startWaitHint = 700;
  sim::SetSpooler(script);
  Open();
  SERVICE_STATUS s = Query();
  EXPECT_EQ(s.dwCurrentState, (DWORD)SERVICE_START_PENDING);
  EXPECT_EQ(s.dwWaitHint, 700u);
  EXPECT_FALSE(sim::SpoolerRunning());
  Sleep(2999);
  EXPECT_EQ(Query().dwCurrentState, (DWORD)SERVICE_START_PENDING);
  Sleep(1);
  EXPECT_EQ(Query().dwCurrentState, (DWORD)SERVICE_RUNNING);
  EXPECT_TRUE(sim::SpoolerRunning());
}

TEST_F(ServiceTest, OpenRefusals) {
  struct Case {
    const char *name;
    sim::Os os;
    sim::SpoolerScript script;
    const char *database;
    const char *service;
    bool managerOpens;
    DWORD error;
  };
  sim::SpoolerScript plain;
  sim::SpoolerScript denyManager;
  denyManager.denyManager = true;
  sim::SpoolerScript denyService;
  denyService.denyService = true;
  sim::SpoolerScript missing;
  missing.exists = false;
  const Case cases[] = {
      {"9x has no service manager", sim::Os::Win98, plain, SERVICES_ACTIVE_DATABASEA, "Spooler", false,
       ERROR_CALL_NOT_IMPLEMENTED},
      {"manager refused", sim::Os::WinXP, denyManager, SERVICES_ACTIVE_DATABASEA, "Spooler", false,
       ERROR_ACCESS_DENIED},
      {"unknown database", sim::Os::WinXP, plain, "ServicesFailed", "Spooler", false,
       ERROR_DATABASE_DOES_NOT_EXIST},
      {"service refused", sim::Os::Nt40, denyService, SERVICES_ACTIVE_DATABASEA, "Spooler", true,
       ERROR_ACCESS_DENIED},
      {"no spooler service", sim::Os::WinXP, missing, SERVICES_ACTIVE_DATABASEA, "Spooler", true,
       ERROR_SERVICE_DOES_NOT_EXIST},
      {"another service", sim::Os::WinXP, plain, SERVICES_ACTIVE_DATABASEA, "Spool", true,
       ERROR_SERVICE_DOES_NOT_EXIST},
      {"name in other case", sim::Os::WinXP, plain, "servicesactive", "SPOOLER", true, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::Reset(c.os);
    sim::SetSpooler(c.script);
    SC_HANDLE manager = OpenSCManagerA(NULL, c.database, SC_MANAGER_ALL_ACCESS);
    if (!c.managerOpens) {
      EXPECT_EQ(manager, nullptr);
      EXPECT_EQ(sim::Trace().back().lastError, c.error);
      EXPECT_EQ(sim::Trace().back().result, "NULL");
      EXPECT_TRUE(sim::OpenHandles().empty());
      continue;
    }
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = OpenServiceA(manager, c.service, ServiceAccess);
    if (c.error) {
      EXPECT_EQ(service, nullptr);
      EXPECT_EQ(sim::Trace().back().lastError, c.error);
      EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"scm"});
    } else {
      EXPECT_NE(service, nullptr);
      EXPECT_EQ(sim::Trace().back().result, "service:Spooler");
      CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    EXPECT_TRUE(sim::OpenHandles().empty());
  }
}

TEST_F(ServiceTest, QueryWithoutRightLeavesRecord) {
  Open(SERVICE_START | SERVICE_STOP);
  SERVICE_STATUS s = Sentinel();
  EXPECT_EQ(QueryServiceStatus(service_, &s), FALSE);
  EXPECT_EQ(sim::Trace().back().lastError, (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Untouched(s));
}

TEST_F(ServiceTest, InjectedFailureDoesNothing) {
  Open();
  sim::FailCall("ControlService", 1, ERROR_SERVICE_REQUEST_TIMEOUT);
  SERVICE_STATUS s = Sentinel();
  EXPECT_EQ(ControlService(service_, SERVICE_CONTROL_STOP, &s), FALSE);
  EXPECT_EQ(sim::Trace().back().lastError, (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_TRUE(sim::Trace().back().injected);
  EXPECT_TRUE(Untouched(s));
  EXPECT_EQ(sim::SpoolerState(), (DWORD)SERVICE_RUNNING);
  // The second call is not targeted.
  EXPECT_EQ(ControlService(service_, SERVICE_CONTROL_STOP, &s), TRUE);
}

TEST_F(ServiceTest, HandlesAreAccountedAndTraced) {
  Open();
  EXPECT_EQ(sim::OpenHandles(), (std::vector<std::string>{"scm", "service:Spooler"}));
  SERVICE_STATUS s = Sentinel();
  ControlService(service_, SERVICE_CONTROL_STOP, &s);
  sim::Call call = sim::Trace().back();
  EXPECT_EQ(call.name, "ControlService");
  EXPECT_EQ(call.args, (std::vector<std::string>{"service:Spooler", "1", "&", "state=3 hint=1000"}));
  EXPECT_EQ(call.result, "1");

  // A manager handle is no service handle, nor the reverse.
  EXPECT_EQ(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(manager_), &s), FALSE);
  EXPECT_EQ(sim::Trace().back().lastError, (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenServiceA(service_, "Spooler", ServiceAccess), nullptr);
  EXPECT_EQ(sim::Trace().back().lastError, (DWORD)ERROR_INVALID_HANDLE);

  EXPECT_EQ(CloseServiceHandle(service_), TRUE);
  EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"scm"});
  EXPECT_EQ(CloseServiceHandle(service_), FALSE);
  EXPECT_EQ(sim::Trace().back().lastError, (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(QueryServiceStatus(service_, &s), FALSE);
  EXPECT_EQ(sim::Trace().back().lastError, (DWORD)ERROR_INVALID_HANDLE);
  service_ = nullptr;
  EXPECT_EQ(CloseServiceHandle(manager_), TRUE);
  manager_ = nullptr;
  EXPECT_TRUE(sim::OpenHandles().empty());
}

// ---------------------------------------------------------------- spooler

// A machine with the files of a driver "Test Driver" in the driver directory.
class SpoolerTest : public ::testing::Test {
 protected:
  void Start(sim::Os os) {
    sim::Reset(os);
    nt_ = sim::IsNtFamily(os);
    for (const char *f : {"td.dll", "td.dat", "tdui.dll", "td.hlp", "tddep1.dll", "tddep2.dll"}) {
      sim::WriteFile(sim::DriverDirectory() + f, "x");
    }
  }
  void SetUp() override { Start(sim::Os::WinXP); }

  std::string Print() const { return nt_ ? NtPrint : W9xPrint; }
  std::string QueueKey(const std::string &name) const { return Print() + "\\Printers\\" + name; }

  DRIVER_INFO_3A Driver3(const char *name = "Test Driver") {
    DRIVER_INFO_3A d;
    std::memset(&d, 0, sizeof d);
    d.cVersion = 3;
    d.pName = S(name);
    d.pEnvironment = NULL;
    d.pDriverPath = S("td.dll");
    d.pDataFile = S("td.dat");
    d.pConfigFile = S("tdui.dll");
    return d;
  }

  PRINTER_INFO_2A Printer2(const char *name = "Test Queue") {
    PRINTER_INFO_2A p;
    std::memset(&p, 0, sizeof p);
    p.pPrinterName = S(name);
    p.pShareName = S("TQ");
    p.pPortName = S(nt_ ? "LPT1:" : "LPT1");
    p.pDriverName = S("Test Driver");
    p.pPrintProcessor = S("WinPrint");
    p.pDatatype = S("RAW");
    p.Attributes = 0x000F0045;
    return p;
  }

  void AddTestDriver() {
    DRIVER_INFO_3A d = Driver3();
    ASSERT_EQ(AddPrinterDriverA(NULL, 2, reinterpret_cast<LPBYTE>(&d)), TRUE) << sim::Trace().back().lastError;
  }

  void AddTestQueue(const char *name = "Test Queue") {
    PRINTER_INFO_2A p = Printer2(name);
    HANDLE h = AddPrinterA(NULL, 2, reinterpret_cast<LPBYTE>(&p));
    ASSERT_NE(h, nullptr) << sim::Trace().back().lastError;
    ASSERT_EQ(ClosePrinter(h), TRUE);
  }

  DWORD LastError() const { return sim::Trace().back().lastError; }

  bool nt_ = true;
};

TEST_F(SpoolerTest, EveryCallFailsWhileTheServiceIsNotRunning) {
  AddTestDriver();
  AddTestQueue();
  HANDLE h = NULL;
  ASSERT_EQ(OpenPrinterA(S("Test Queue"), &h, NULL), TRUE);

  DRIVER_INFO_3A d = Driver3("Other Driver");
  PRINTER_INFO_2A p = Printer2("Other Queue");
  std::vector<BYTE> buffer(4096);
  DWORD needed = 0;
  struct Case {
    const char *name;
    std::function<bool()> call;  // true when the call failed
  };
  const Case cases[] = {
      {"AddPrinterDriverA", [&] { return !AddPrinterDriverA(NULL, 2, reinterpret_cast<LPBYTE>(&d)); }},
      {"DeletePrinterDriverA", [&] { return !DeletePrinterDriverA(NULL, NULL, S("Test Driver")); }},
      {"AddPrinterA", [&] { return AddPrinterA(NULL, 2, reinterpret_cast<LPBYTE>(&p)) == NULL; }},
      {"OpenPrinterA",
       [&] {
         HANDLE other = NULL;
         return !OpenPrinterA(S("Test Queue"), &other, NULL) && other == NULL;
       }},
      {"DeletePrinter", [&] { return !DeletePrinter(h); }},
      {"GetPrinterA", [&] { return !GetPrinterA(h, 2, buffer.data(), 4096, &needed); }},
      {"SetPrinterA", [&] { return !SetPrinterA(h, 0, NULL, 1); }},
      {"ClosePrinter", [&] { return !ClosePrinter(h); }},
  };
  struct State {
    const char *name;
    DWORD state;
  };
  for (const State &st : {State{"stopped", SERVICE_STOPPED}, State{"stopping", SERVICE_STOP_PENDING},
                          State{"starting", SERVICE_START_PENDING}}) {
    sim::SpoolerScript script;
    script.initialState = st.state;
    script.initialPendingMs = 1000;
    sim::SetSpooler(script);
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(st.name) + ": " + c.name);
      EXPECT_TRUE(c.call());
      EXPECT_EQ(sim::Trace().back().name, c.name);
      EXPECT_EQ(LastError(), (DWORD)RPC_S_SERVER_UNAVAILABLE);
    }
  }
  // Nothing changed, and with the service running again the handle works.
  EXPECT_EQ(sim::Queues().size(), 1u);
  EXPECT_EQ(sim::Drivers().size(), 1u);
  EXPECT_FALSE(sim::FindQueue("Other Queue"));
  Sleep(1000);
  EXPECT_TRUE(sim::SpoolerRunning());
  EXPECT_EQ(ClosePrinter(h), TRUE);
}

TEST_F(SpoolerTest, The9xSpoolerIsAlwaysThere) {
  Start(sim::Os::WinMe);
  sim::SpoolerScript script;
  script.initialState = SERVICE_STOPPED;
  sim::SetSpooler(script);
  EXPECT_TRUE(sim::SpoolerRunning());
  AddTestDriver();
  AddTestQueue();
  EXPECT_TRUE(sim::FindQueue("Test Queue"));
}

TEST_F(SpoolerTest, AddPrinterDriverChecks) {
  struct Case {
    const char *name;
    sim::Os os;
    DWORD level;
    std::function<void(DRIVER_INFO_3A &)> change;
    std::function<void()> files;  // moves or removes files before the call
    BOOL result;
    DWORD error;
  };
  auto none = [](DRIVER_INFO_3A &) {};
  auto keep = [] {};
  // Moves a file from the driver folder into a folder of the driver
  // folder, or into the system folder when `folder` is null.
  auto moveTo = [](const char *folder, const char *file) {
    return [folder, file] {
      sim::RemoveFile(sim::DriverDirectory() + file);
      sim::WriteFile((folder ? sim::DriverDirectory() + folder : sim::SystemDirectory() + "\\") + file, "x");
    };
  };
  const Case cases[] = {
      {"level 2", sim::Os::WinXP, 2, none, keep, TRUE, 0},
      {"level 3", sim::Os::WinXP, 3, none, keep, TRUE, 0},
      {"level 1", sim::Os::WinXP, 1, none, keep, FALSE, ERROR_INVALID_LEVEL},
      {"level 4", sim::Os::WinXP, 4, none, keep, FALSE, ERROR_INVALID_LEVEL},
      {"null name", sim::Os::WinXP, 2, [](DRIVER_INFO_3A &d) { d.pName = NULL; }, keep, FALSE,
       ERROR_INVALID_PARAMETER},
      {"empty name", sim::Os::WinXP, 2, [](DRIVER_INFO_3A &d) { d.pName = S(""); }, keep, FALSE,
       ERROR_INVALID_PARAMETER},
      {"foreign environment", sim::Os::WinXP, 2, [](DRIVER_INFO_3A &d) { d.pEnvironment = S("Windows IA64"); },
       keep, FALSE, ERROR_INVALID_ENVIRONMENT},
      {"NT environment named", sim::Os::WinXP, 2,
       [](DRIVER_INFO_3A &d) { d.pEnvironment = S("windows nt x86"); }, keep, TRUE, 0},
      {"driver file missing", sim::Os::WinXP, 2, none, [] { sim::RemoveFile(sim::DriverDirectory() + "td.dll"); },
       FALSE, ERROR_FILE_NOT_FOUND},
      {"config file missing", sim::Os::Nt40, 2, none,
       [] { sim::RemoveFile(sim::DriverDirectory() + "tdui.dll"); }, FALSE, ERROR_FILE_NOT_FOUND},
      {"data file in the version-2 folder", sim::Os::WinXP, 2, none,
       moveTo("2\\", "td.dat"), TRUE, 0},
      {"data file in the version-3 folder", sim::Os::Win2000, 2, none,
       moveTo("3\\", "td.dat"), TRUE, 0},
      {"NT does not look in the system folder", sim::Os::WinXP, 2, none,
       moveTo(nullptr, "td.dat"), FALSE, ERROR_FILE_NOT_FOUND},
      {"9x looks in the system folder", sim::Os::Win95, 2, none, moveTo(nullptr, "td.dat"),
       TRUE, 0},
      {"help file missing", sim::Os::WinXP, 3, [](DRIVER_INFO_3A &d) { d.pHelpFile = S("nohelp.hlp"); }, keep,
       FALSE, ERROR_FILE_NOT_FOUND},
      {"dependent file missing", sim::Os::Win98, 3,
       [](DRIVER_INFO_3A &d) { d.pDependentFiles = S("tddep1.dll\0gone.dll\0"); }, keep, FALSE,
       ERROR_FILE_NOT_FOUND},
      {"help file ignored at level 2", sim::Os::WinXP, 2, [](DRIVER_INFO_3A &d) { d.pHelpFile = S("nohelp.hlp"); },
       keep, TRUE, 0},
      {"file by full path", sim::Os::WinXP, 2, [](DRIVER_INFO_3A &d) { d.pDataFile = S("C:\\src\\td.dat"); },
       [] { sim::WriteFile("C:\\src\\td.dat", "x"); }, TRUE, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.os);
    c.files();
    DRIVER_INFO_3A d = Driver3();
    c.change(d);
    EXPECT_EQ(AddPrinterDriverA(NULL, c.level, reinterpret_cast<LPBYTE>(&d)), c.result);
    EXPECT_EQ(LastError(), c.result ? 0 : c.error);
    EXPECT_EQ(sim::Drivers().size(), c.result ? 1u : 0u);
  }
}

TEST_F(SpoolerTest, DriverIsRecordedAndMirroredInTheRegistry) {
  // NT, level 2, cVersion 3: the Version-3 key.
  DRIVER_INFO_3A d = Driver3();
  d.pHelpFile = S("never read at level 2");
  ASSERT_EQ(AddPrinterDriverA(NULL, 2, reinterpret_cast<LPBYTE>(&d)), TRUE);
  std::optional<sim::Driver> found = sim::FindDriver("test driver");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "Test Driver");
  EXPECT_EQ(found->environment, "Windows NT x86");
  EXPECT_EQ(found->version, 3u);
  EXPECT_EQ(found->driverPath, "td.dll");
  EXPECT_EQ(found->dataFile, "td.dat");
  EXPECT_EQ(found->configFile, "tdui.dll");
  EXPECT_EQ(found->helpFile, "");
  EXPECT_TRUE(found->dependentFiles.empty());
  EXPECT_EQ(found->level, 2u);
  std::string v3 = std::string(NtPrint) + "\\Environments\\Windows NT x86\\Drivers\\Version-3\\Test Driver";
  std::string v2 = std::string(NtPrint) + "\\Environments\\Windows NT x86\\Drivers\\Version-2\\Test Driver";
  EXPECT_EQ(sim::GetString(v3, "Driver"), "td.dll");
  EXPECT_EQ(sim::GetString(v3, "Data File"), "td.dat");
  EXPECT_EQ(sim::GetString(v3, "Configuration File"), "tdui.dll");
  std::optional<sim::Value> version = sim::GetValue(v3, "Version");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->type, (DWORD)REG_DWORD);
  EXPECT_EQ(version->data, std::string("\x03\x00\x00\x00", 4));
  EXPECT_FALSE(sim::KeyExists(v2));

  // The same name again replaces it; as version 2 it moves to Version-2.
  d.cVersion = 2;
  d.pDataFile = S("tddep1.dll");
  ASSERT_EQ(AddPrinterDriverA(NULL, 2, reinterpret_cast<LPBYTE>(&d)), TRUE);
  ASSERT_EQ(sim::Drivers().size(), 1u);
  EXPECT_EQ(sim::Drivers()[0].dataFile, "tddep1.dll");
  EXPECT_FALSE(sim::KeyExists(v3));
  EXPECT_EQ(sim::GetString(v2, "Data File"), "tddep1.dll");

  // 9x, level 3, null environment: "Windows 4.0", dependent files split.
  Start(sim::Os::Win98);
  d = Driver3();
  d.cVersion = 0x400;
  d.pHelpFile = S("td.hlp");
  d.pDependentFiles = S("tddep1.dll\0tddep2.dll\0");
  d.pDefaultDataType = S("RAW");
  ASSERT_EQ(AddPrinterDriverA(NULL, 3, reinterpret_cast<LPBYTE>(&d)), TRUE) << LastError();
  found = sim::FindDriver("Test Driver");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->environment, "Windows 4.0");
  EXPECT_EQ(found->version, 0x400u);
  EXPECT_EQ(found->helpFile, "td.hlp");
  EXPECT_EQ(found->dependentFiles, (std::vector<std::string>{"tddep1.dll", "tddep2.dll"}));
  EXPECT_EQ(found->defaultDataType, "RAW");
  EXPECT_EQ(found->monitorName, "");
  EXPECT_EQ(found->level, 3u);
  std::string key9x = std::string(W9xPrint) + "\\Environments\\Windows 4.0\\Drivers\\Test Driver";
  EXPECT_EQ(sim::GetString(key9x, "Driver"), "td.dll");
  EXPECT_EQ(sim::GetString(key9x, "Configuration File"), "tdui.dll");
}

TEST_F(SpoolerTest, DeletePrinterDriverChecks) {
  std::string key = std::string(NtPrint) + "\\Environments\\Windows NT x86\\Drivers\\Version-3\\Test Driver";
  AddTestDriver();
  AddTestQueue();
  struct Case {
    const char *name;
    const char *environment;
    const char *driver;
    BOOL result;
    DWORD error;
  };
  const Case cases[] = {
      {"unknown driver", NULL, "No Such Driver", FALSE, ERROR_UNKNOWN_PRINTER_DRIVER},
      {"foreign environment", "Windows IA64", "Test Driver", FALSE, ERROR_INVALID_ENVIRONMENT},
      {"not in the 9x environment", "Windows 4.0", "Test Driver", FALSE, ERROR_UNKNOWN_PRINTER_DRIVER},
      {"in use by a queue", "Windows NT x86", "Test Driver", FALSE, ERROR_PRINTER_DRIVER_IN_USE},
      {"in use, own environment", NULL, "TEST DRIVER", FALSE, ERROR_PRINTER_DRIVER_IN_USE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DeletePrinterDriverA(NULL, S(c.environment), S(c.driver)), c.result);
    EXPECT_EQ(LastError(), c.error);
    EXPECT_TRUE(sim::FindDriver("Test Driver"));
    EXPECT_TRUE(sim::KeyExists(key));
  }
  HANDLE h = NULL;
  ASSERT_EQ(OpenPrinterA(S("Test Queue"), &h, NULL), TRUE);
  // The USE right of a handle without defaults does not delete on NT.
  EXPECT_EQ(DeletePrinter(h), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_ACCESS_DENIED);
  ClosePrinter(h);
  PRINTER_DEFAULTSA all = {S("RAW"), NULL, PRINTER_ALL_ACCESS};
  ASSERT_EQ(OpenPrinterA(S("Test Queue"), &h, &all), TRUE);
  ASSERT_EQ(DeletePrinter(h), TRUE);
  ClosePrinter(h);
  EXPECT_EQ(DeletePrinterDriverA(NULL, S("Windows NT x86"), S("Test Driver")), TRUE);
  EXPECT_FALSE(sim::FindDriver("Test Driver"));
  EXPECT_FALSE(sim::KeyExists(key));
  EXPECT_EQ(DeletePrinterDriverA(NULL, NULL, S("Test Driver")), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_UNKNOWN_PRINTER_DRIVER);
}

TEST_F(SpoolerTest, AddPrinterChecks) {
  struct Case {
    const char *name;
    sim::Os os;
    DWORD level;
    std::function<void(PRINTER_INFO_2A &)> change;
    DWORD error;  // 0: added
  };
  auto none = [](PRINTER_INFO_2A &) {};
  const Case cases[] = {
      {"as given", sim::Os::WinXP, 2, none, 0},
      {"level 1", sim::Os::WinXP, 1, none, ERROR_INVALID_LEVEL},
      {"null name", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pPrinterName = NULL; },
       ERROR_INVALID_PRINTER_NAME},
      {"empty name", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pPrinterName = S(""); },
       ERROR_INVALID_PRINTER_NAME},
      {"name with a comma", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pPrinterName = S("A,B"); },
       ERROR_INVALID_PRINTER_NAME},
      {"exists in other case", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pPrinterName = S("EXISTING queue"); },
       ERROR_PRINTER_ALREADY_EXISTS},
      {"unknown driver", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pDriverName = S("Nobody"); },
       ERROR_UNKNOWN_PRINTER_DRIVER},
      {"null driver", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pDriverName = NULL; },
       ERROR_UNKNOWN_PRINTER_DRIVER},
      {"unknown print processor", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pPrintProcessor = S("BadProc"); },
       ERROR_UNKNOWN_PRINTPROCESSOR},
      {"print processor in other case", sim::Os::WinXP, 2,
       [](PRINTER_INFO_2A &p) { p.pPrintProcessor = S("winprint"); }, 0},
      {"unknown data type", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pDatatype = S("NT EMF 1.008"); },
       ERROR_INVALID_DATATYPE},
      {"null data type", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pDatatype = NULL; }, 0},
      {"unknown port", sim::Os::WinXP, 2, [](PRINTER_INFO_2A &p) { p.pPortName = S("LPT9:"); }, ERROR_UNKNOWN_PORT},
      {"9x port name on NT", sim::Os::Nt40, 2, [](PRINTER_INFO_2A &p) { p.pPortName = S("LPT1"); },
       ERROR_UNKNOWN_PORT},
      {"NT port name on 9x", sim::Os::Win95, 2, [](PRINTER_INFO_2A &p) { p.pPortName = S("LPT1:"); },
       ERROR_UNKNOWN_PORT},
      {"FILE: on 9x", sim::Os::Win98, 2, [](PRINTER_INFO_2A &p) { p.pPortName = S("FILE:"); }, 0},
      {"checked in order: driver first", sim::Os::WinXP, 2,
       [](PRINTER_INFO_2A &p) {
         p.pDriverName = S("Nobody");
         p.pPortName = S("LPT9:");
       },
       ERROR_UNKNOWN_PRINTER_DRIVER},
      {"checked in order: data type before port", sim::Os::WinXP, 2,
       [](PRINTER_INFO_2A &p) {
         p.pDatatype = S("EMF");
         p.pPortName = NULL;
       },
       ERROR_INVALID_DATATYPE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.os);
    AddTestDriver();
    AddTestQueue("Existing Queue");
    sim::ClearTrace();
    PRINTER_INFO_2A p = Printer2();
    c.change(p);
    HANDLE h = AddPrinterA(NULL, c.level, reinterpret_cast<LPBYTE>(&p));
    if (c.error) {
      EXPECT_EQ(h, nullptr);
      EXPECT_EQ(LastError(), c.error);
      EXPECT_EQ(sim::Trace().back().result, "NULL");
      EXPECT_EQ(sim::Queues().size(), 1u);
      EXPECT_FALSE(sim::KeyExists(QueueKey("Test Queue")));
      EXPECT_TRUE(sim::OpenHandles().empty());
    } else {
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(sim::Trace().back().result, "printer:Test Queue");
      EXPECT_EQ(sim::Queues().size(), 2u);
      EXPECT_TRUE(sim::KeyExists(QueueKey("Test Queue")));
      ClosePrinter(h);
    }
  }
}

TEST_F(SpoolerTest, QueueKeyAndUserEntriesComeAndGo) {
  AddTestDriver();
  PRINTER_INFO_2A p = Printer2();
  HANDLE h = AddPrinterA(NULL, 2, reinterpret_cast<LPBYTE>(&p));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"printer:Test Queue"});
  EXPECT_EQ(ClosePrinter(h), TRUE);
  EXPECT_TRUE(sim::OpenHandles().empty());

  std::optional<sim::Queue> q = sim::FindQueue("test queue");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->name, "Test Queue");
  EXPECT_EQ(q->shareName, "TQ");
  EXPECT_EQ(q->portName, "LPT1:");
  EXPECT_EQ(q->driverName, "Test Driver");
  EXPECT_EQ(q->printProcessor, "WinPrint");
  EXPECT_EQ(q->datatype, "RAW");
  EXPECT_EQ(q->attributes, 0x000F0045u);
  EXPECT_EQ(q->priority, 0u);

  std::string key = QueueKey("Test Queue");
  EXPECT_EQ(sim::GetString(key, "Name"), "Test Queue");
  EXPECT_EQ(sim::GetString(key, "Port"), "LPT1:");
  EXPECT_EQ(sim::GetString(key, "Printer Driver"), "Test Driver");
  EXPECT_EQ(sim::GetString(key, "Share Name"), "TQ");
  EXPECT_EQ(sim::GetString(key, "Print Processor"), "WinPrint");
  EXPECT_EQ(sim::GetString(key, "Datatype"), "RAW");
  std::optional<sim::Value> attributes = sim::GetValue(key, "Attributes");
  ASSERT_TRUE(attributes);
  EXPECT_EQ(attributes->type, (DWORD)REG_DWORD);
  EXPECT_EQ(attributes->data, std::string("\x45\x00\x0f\x00", 4));
  EXPECT_TRUE(sim::KeyExists(key + "\\PrinterDriverData"));
  EXPECT_EQ(sim::GetString(Devices, "Test Queue"), "winspool,LPT1:");
  EXPECT_EQ(sim::GetString(PrinterPorts, "Test Queue"), "winspool,LPT1:,15,45");

  // Data the driver kept below its key go with the queue.
  sim::SetString(key + "\\PrinterDriverData\\Deeper", "x", "y");
  PRINTER_DEFAULTSA all = {S("RAW"), NULL, PRINTER_ALL_ACCESS};
  ASSERT_EQ(OpenPrinterA(S("Test Queue"), &h, &all), TRUE);
  EXPECT_EQ(sim::Trace().back().args.back(), "printer:Test Queue");
  EXPECT_EQ(DeletePrinter(h), TRUE);
  EXPECT_FALSE(sim::FindQueue("Test Queue"));
  EXPECT_FALSE(sim::KeyExists(key));
  EXPECT_TRUE(sim::KeyExists(std::string(NtPrint) + "\\Printers"));
  EXPECT_FALSE(sim::GetValue(Devices, "Test Queue"));
  EXPECT_FALSE(sim::GetValue(PrinterPorts, "Test Queue"));

  // The handle outlives its queue until it is closed.
  EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"printer:Test Queue"});
  EXPECT_EQ(DeletePrinter(h), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ErrorPrinterDeleted);
  EXPECT_EQ(ClosePrinter(h), TRUE);
  EXPECT_TRUE(sim::OpenHandles().empty());
  EXPECT_EQ(ClosePrinter(h), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(DeletePrinter(h), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(SpoolerTest, QueueOn9xHasItsKeyButNoUserEntries) {
  Start(sim::Os::Win95);
  AddTestDriver();
  AddTestQueue();
  std::string key = std::string(W9xPrint) + "\\Printers\\Test Queue";
  EXPECT_EQ(sim::GetString(key, "Port"), "LPT1");
  EXPECT_FALSE(sim::KeyExists(Devices));
  // Without defaults 9x lets any handle delete.
  HANDLE h = NULL;
  ASSERT_EQ(OpenPrinterA(S("Test Queue"), &h, NULL), TRUE);
  EXPECT_EQ(DeletePrinter(h), TRUE);
  EXPECT_EQ(ClosePrinter(h), TRUE);
  EXPECT_FALSE(sim::KeyExists(key));
  EXPECT_TRUE(sim::Queues().empty());
}

TEST_F(SpoolerTest, OpenPrinterRefusals) {
  AddTestDriver();
  AddTestQueue();
  struct Case {
    const char *name;
    const char *printer;
    const char *datatype;
    BOOL result;
    DWORD error;
  };
  const Case cases[] = {
      {"unknown queue", "No Queue", "RAW", FALSE, ERROR_INVALID_PRINTER_NAME},
      {"null name", NULL, "RAW", FALSE, ERROR_INVALID_PRINTER_NAME},
      {"other data type", "Test Queue", "NT EMF 1.008", FALSE, ERROR_INVALID_DATATYPE},
      {"name in other case", "TEST QUEUE", "raw", TRUE, 0},
      {"null data type", "Test Queue", NULL, TRUE, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PRINTER_DEFAULTSA defaults = {S(c.datatype), NULL, PRINTER_ALL_ACCESS};
    HANDLE h = reinterpret_cast<HANDLE>(0x5555);
    EXPECT_EQ(OpenPrinterA(S(c.printer), &h, &defaults), c.result);
    if (c.result) {
      EXPECT_NE(h, nullptr);
      EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"printer:Test Queue"});
      ClosePrinter(h);
    } else {
      EXPECT_EQ(LastError(), c.error);
      EXPECT_EQ(h, nullptr);
      EXPECT_TRUE(sim::OpenHandles().empty());
    }
  }
}

TEST_F(SpoolerTest, GetPrinterNeedsRoomForTheTexts) {
  Start(sim::Os::Win98);
  AddTestDriver();
  AddTestQueue();
  HANDLE h = NULL;
  ASSERT_EQ(OpenPrinterA(S("Test Queue"), &h, NULL), TRUE);
  // Name, share, port, driver, comment, location, separator file, print
  // processor, data type, parameters, each with its NUL.
  DWORD texts = 11 + 3 + 5 + 12 + 1 + 1 + 1 + 9 + 4 + 1;
  std::vector<BYTE> buffer(sizeof(PRINTER_INFO_2A) + 200, 0xEE);
  DWORD needed = 0;
  EXPECT_EQ(GetPrinterA(h, 2, buffer.data(), sizeof(PRINTER_INFO_2A), &needed), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, sizeof(PRINTER_INFO_2A) + texts);
  for (BYTE b : buffer) ASSERT_EQ(b, 0xEE);
  EXPECT_EQ(GetPrinterA(h, 1, buffer.data(), 1000, &needed), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_INVALID_LEVEL);

  ASSERT_EQ(GetPrinterA(h, 2, buffer.data(), needed, &needed), TRUE);
  PRINTER_INFO_2A info;
  std::memcpy(&info, buffer.data(), sizeof info);
  EXPECT_EQ(info.pServerName, nullptr);
  EXPECT_STREQ(info.pPrinterName, "Test Queue");
  EXPECT_STREQ(info.pPortName, "LPT1");
  EXPECT_STREQ(info.pDriverName, "Test Driver");
  EXPECT_STREQ(info.pComment, "");
  EXPECT_EQ(info.Attributes, 0x000F0045u);
  BYTE *end = buffer.data() + needed;
  EXPECT_TRUE(reinterpret_cast<BYTE *>(info.pPrinterName) >= buffer.data() + sizeof info &&
              reinterpret_cast<BYTE *>(info.pParameters) < end);
  EXPECT_EQ(end[0], 0xEE);  // nothing past what it said it needed

  // Command 0 takes the record; SET_STATUS then sets its status.
  info.Attributes = 0x844;
  info.Status = 0x80;
  ASSERT_EQ(SetPrinterA(h, 2, reinterpret_cast<LPBYTE>(&info), 0), TRUE);
  EXPECT_EQ(sim::FindQueue("Test Queue")->attributes, 0x844u);
  EXPECT_EQ(sim::FindQueue("Test Queue")->status, 0u);
  EXPECT_EQ(sim::GetValue(std::string(W9xPrint) + "\\Printers\\Test Queue", "Attributes")->data,
            std::string("\x44\x08\x00\x00", 4));
  ASSERT_EQ(SetPrinterA(h, 2, reinterpret_cast<LPBYTE>(&info), PRINTER_CONTROL_SET_STATUS), TRUE);
  EXPECT_EQ(sim::FindQueue("Test Queue")->status, 0x80u);
  info.pPortName = S("LPT7");
  EXPECT_EQ(SetPrinterA(h, 2, reinterpret_cast<LPBYTE>(&info), 0), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_UNKNOWN_PORT);
  EXPECT_EQ(sim::FindQueue("Test Queue")->portName, "LPT1");
  EXPECT_EQ(ClosePrinter(h), TRUE);
}

TEST_F(SpoolerTest, SetPrinterNeedsAdministerOnNt) {
  AddTestDriver();
  AddTestQueue();
  HANDLE h = NULL;
  ASSERT_EQ(OpenPrinterA(S("Test Queue"), &h, NULL), TRUE);
  DWORD status = 0x2;
  EXPECT_EQ(SetPrinterA(h, 0, reinterpret_cast<LPBYTE>(&status), PRINTER_CONTROL_SET_STATUS), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_ACCESS_DENIED);
  ClosePrinter(h);
  PRINTER_DEFAULTSA admin = {NULL, NULL, PRINTER_ACCESS_ADMINISTER};
  ASSERT_EQ(OpenPrinterA(S("Test Queue"), &h, &admin), TRUE);
  EXPECT_EQ(SetPrinterA(h, 0, reinterpret_cast<LPBYTE>(&status), PRINTER_CONTROL_SET_STATUS), TRUE);
  EXPECT_EQ(sim::FindQueue("Test Queue")->status, 0x2u);
  // Administering is not deleting.
  EXPECT_EQ(DeletePrinter(h), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_ACCESS_DENIED);
  ClosePrinter(h);
}

TEST_F(SpoolerTest, MachineSetupWritesWhatAnInstallWould) {
  sim::Driver d;
  d.name = "Earlier Driver";
  d.version = 2;
  d.driverPath = "e.dll";
  d.dataFile = "e.dat";
  d.configFile = "eui.dll";
  sim::AddDriver(d);
  sim::Queue q;
  q.name = "Earlier Queue";
  q.portName = "LPT2:";
  q.driverName = "Earlier Driver";
  q.printProcessor = "WinPrint";
  q.datatype = "RAW";
  sim::AddQueue(q);
  EXPECT_TRUE(sim::Trace().empty());
  EXPECT_EQ(sim::FindDriver("Earlier Driver")->environment, "Windows NT x86");
  EXPECT_EQ(sim::GetString(std::string(NtPrint) + "\\Environments\\Windows NT x86\\Drivers\\Version-2\\Earlier Driver",
                           "Driver"),
            "e.dll");
  EXPECT_EQ(sim::GetString(QueueKey("Earlier Queue"), "Port"), "LPT2:");
  EXPECT_TRUE(sim::KeyExists(QueueKey("Earlier Queue") + "\\PrinterDriverData"));
  EXPECT_EQ(sim::GetString(Devices, "Earlier Queue"), "winspool,LPT2:");

  // The spooler treats them as its own.
  EXPECT_EQ(DeletePrinterDriverA(NULL, NULL, S("Earlier Driver")), FALSE);
  EXPECT_EQ(LastError(), (DWORD)ERROR_PRINTER_DRIVER_IN_USE);
  PRINTER_INFO_2A p = Printer2("earlier queue");
  p.pDriverName = S("Earlier Driver");
  EXPECT_EQ(AddPrinterA(NULL, 2, reinterpret_cast<LPBYTE>(&p)), nullptr);
  EXPECT_EQ(LastError(), (DWORD)ERROR_PRINTER_ALREADY_EXISTS);

  // A reset forgets them.
  sim::Reset(sim::Os::WinXP);
  EXPECT_TRUE(sim::Drivers().empty());
  EXPECT_TRUE(sim::Queues().empty());
  EXPECT_FALSE(sim::KeyExists(QueueKey("Earlier Queue")));
  EXPECT_FALSE(sim::FindDriver("Earlier Driver"));
}

}  // namespace
