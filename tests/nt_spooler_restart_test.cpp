// The spooler restart around the file copy: the stop and start phases, their
// polls and waits on the virtual clock, the request bound, the capped wait
// hints, the four caption-less messages, and where the deployment and the
// registration fall in the install.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "library.h"
#include "machine.h"
#include "sim.h"

using namespace testing_support;

namespace {

const char kPrinter[] = "Norvale TX-5400 Series";
const char kStopFailed[] = "Stoping SPOOLER SERVICE Fail!!";
const char kStartFailed[] = "Starting SPOOLER SERVICE Fail!!";
const char *const kFiles[] = {"nrvs1.dll",   "nrvs1.sdd",   "nrvs1ui.dll", "nrvs1su.hlp",
                              "nrvs1um.dll", "nrvs1su.dat", "nrvs1su.dll"};

typedef int RestartFn(void);

// The restart as a list of events, in the order of the trace: "stop"
// (ControlService), "start" (StartServiceA), "query" (QueryServiceStatus),
// "sleep <ms>", "box <text>" and "deploy" (the deployment reading the system
// directory).
std::string Events() {
  std::string out;
  for (const sim::Call &call : sim::Trace()) {
    std::string event;
    if (call.name == "ControlService") {
      event = "stop";
    } else if (call.name == "StartServiceA") {
      event = "start";
    } else if (call.name == "QueryServiceStatus") {
      event = "query";
    } else if (call.name == "Sleep") {
      event = "sleep " + call.args.at(0);
    } else if (call.name == "MessageBoxA") {
      event = "box " + call.args.at(1);
    } else if (call.name == "GetSystemDirectoryA") {
      event = "deploy";
    } else {
      continue;
    }
    if (!out.empty()) out += ", ";
    out += event;
  }
  return out;
}

// Joins the parts into one event list.
std::string Seq(const std::vector<std::string> &parts) {
  std::string out;
  for (const std::string &part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += ", ";
    out += part;
  }
  return out;
}

std::string Times(const std::string &events, int n) {
  std::vector<std::string> parts(static_cast<size_t>(n), events);
  return Seq(parts);
}

std::string Box(const char *text) { return "box " + Quoted(text); }

// The script a test changes from: the defaults of the simulated spooler,
// written out so that the expected waits below can be read off it.
sim::SpoolerScript Script() {
  sim::SpoolerScript s;
  s.initialState = SERVICE_RUNNING;
  s.stopDelayMs = 1500;
  s.stopWaitHint = 1000;
  s.startDelayMs = 1000;
  s.startWaitHint = 2000;
  return s;
}

struct PhaseCase {
  const char *name;
  sim::SpoolerScript script;
  std::string events;
  uint64_t elapsed;                  // virtual milliseconds for the whole step
  std::vector<std::string> boxes;    // texts, in order
  std::vector<uint64_t> boxTimes;    // virtual time of each box
  DWORD finalState;
  bool queriesFail = false;          // every QueryServiceStatus fails, leaving the record alone
};

std::vector<PhaseCase> PhaseCases() {
  std::vector<PhaseCase> cases;
  const std::string deploy = "deploy";
  {
    // Stop: hint 1000, pending until 1500: one pending poll.
    // Start: hint 2000 covers the 1000 ms start: no pending poll.
    PhaseCase c{"stops and starts in time", Script(), "", 3500, {}, {}, SERVICE_RUNNING};
    c.events = Seq({"stop, sleep 1000, query, sleep 500, query", deploy, "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // The stop is refused but answered with the status: stopped, hint 0.
    PhaseCase c{"already stopped", Script(), "", 2000, {}, {}, SERVICE_RUNNING};
    c.script.initialState = SERVICE_STOPPED;
    c.events = Seq({"stop, sleep 0, query", deploy, "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // Stop pending until 4000 after a 1000 ms hint: polls at 1000..3500.
    PhaseCase c{"slow stop within the polls", Script(), "", 6000, {}, {}, SERVICE_RUNNING};
    c.script.stopDelayMs = 4000;
    c.events = Seq({"stop, sleep 1000", Times("query, sleep 500", 6), "query", deploy,
                    "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // Start at 1500, pending until 4700; hint 1000: polls at 2500..4500.
    PhaseCase c{"slow start within the polls", Script(), "", 5000, {}, {}, SERVICE_RUNNING};
    c.script.startDelayMs = 3200;
    c.script.startWaitHint = 1000;
    c.events = Seq({"stop, sleep 1000, query, sleep 500, query", deploy, "start, query, sleep 1000",
                    Times("query, sleep 500", 5), "query"});
    cases.push_back(c);
  }
  {
    // Starting until 3000 (hint 2000): the stop is refused at 0 and at 2000,
    // accepted at 4000 (pending until 5500, hint 1000), stopped at 5500;
    // started at 5500 and running after its 2000 ms hint.
    PhaseCase c{"start-pending when the install begins", Script(), "", 7500, {}, {}, SERVICE_RUNNING};
    c.script.initialState = SERVICE_START_PENDING;
    c.script.initialPendingMs = 3000;
    c.events = Seq({"stop, sleep 2000, query", "stop, sleep 2000, query", "stop, sleep 1000, query, sleep 500, query",
                    deploy, "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // Starting until 60000: five refused stops, 2000 ms apart, end the stop
    // phase at 10000; the start request is refused, and the start phase
    // polls the pending start from 12000 until it runs at 60000.
    PhaseCase c{"start-pending outlasting the request bound", Script(), "", 60000, {kStopFailed}, {10000},
                SERVICE_RUNNING};
    c.script.initialState = SERVICE_START_PENDING;
    c.script.initialPendingMs = 60000;
    c.events = Seq({Times("stop, sleep 2000, query", 5), Box(kStopFailed), deploy, "start, query, sleep 2000",
                    Times("query, sleep 500", 96), "query"});
    cases.push_back(c);
  }
  {
    // 1000 ms hint, then 120 pending polls of 500 ms: the message at 61000.
    // The start is refused while the stop hangs: five start requests, each
    // sleeping the stop's 1000 ms hint.
    PhaseCase c{"stuck stopping", Script(), "", 66000, {kStopFailed, kStartFailed}, {61000, 66000},
                SERVICE_STOP_PENDING};
    c.script.stuckStopping = true;
    c.events = Seq({"stop, sleep 1000", Times("query, sleep 500", 120), Box(kStopFailed), deploy,
                    Times("start, query, sleep 1000, query", 5), Box(kStartFailed)});
    cases.push_back(c);
  }
  {
    // Stopped at 1500; start hint 2000, then 120 pending polls: 63500.
    PhaseCase c{"stuck starting", Script(), "", 63500, {kStartFailed}, {63500}, SERVICE_START_PENDING};
    c.script.stuckStarting = true;
    c.events = Seq({"stop, sleep 1000, query, sleep 500, query", deploy, "start, query, sleep 2000",
                    Times("query, sleep 500", 120), Box(kStartFailed)});
    cases.push_back(c);
  }
  {
    // Every stop is refused without a status: the first sleep is that of the
    // cleared record, the later ones that of the last query (running, 0).
    PhaseCase c{"stop refused while dependants run", Script(), "", 0, {kStopFailed}, {0}, SERVICE_RUNNING};
    c.script.dependentsRunning = true;
    c.events = Seq({Times("stop, sleep 0, query", 5), Box(kStopFailed), deploy, "start, query, sleep 0, query"});
    cases.push_back(c);
  }
  {
    // Every start is refused: the service stays stopped, hint 0.
    PhaseCase c{"start of a disabled service", Script(), "", 1500, {kStartFailed}, {1500}, SERVICE_STOPPED};
    c.script.disabled = true;
    c.events = Seq({"stop, sleep 1000, query, sleep 500, query", deploy, Times("start, query, sleep 0, query", 5),
                    Box(kStartFailed)});
    cases.push_back(c);
  }
  {
    // Both refusals at once: nothing ever waits.
    PhaseCase c{"dependants running and disabled", Script(), "", 0, {kStopFailed}, {0}, SERVICE_RUNNING};
    c.script.dependentsRunning = true;
    c.script.disabled = true;
    c.events = Seq({Times("stop, sleep 0, query", 5), Box(kStopFailed), deploy, "start, query, sleep 0, query"});
    cases.push_back(c);
  }
  {
    // Pausing until 1500 (the stop's hint 1000 reported): refused at 0 and
    // at 1000, paused at 2000 and stopped from there (pending until 3500).
    PhaseCase c{"pause-pending when the install begins", Script(), "", 5500, {}, {}, SERVICE_RUNNING};
    c.script.initialState = SERVICE_PAUSE_PENDING;
    c.script.initialPendingMs = 1500;
    c.events = Seq({"stop, sleep 1000, query", "stop, sleep 1000, query", "stop, sleep 1000, query, sleep 500, query",
                    deploy, "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // Continuing until 1000 (the start's hint 2000 reported): refused at 0,
    // running at 2000, stopped at 3500.
    PhaseCase c{"continue-pending when the install begins", Script(), "", 5500, {}, {}, SERVICE_RUNNING};
    c.script.initialState = SERVICE_CONTINUE_PENDING;
    c.script.initialPendingMs = 1000;
    c.events = Seq({"stop, sleep 2000, query", "stop, sleep 1000, query, sleep 500, query", deploy,
                    "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // The refused stop leaves the cleared record, and no query fills it:
    // state 0 is none of the table's, and each of its polls counts without
    // a pause, 120 in each phase.
    PhaseCase c{"status never filled", Script(), "", 0, {kStopFailed, kStartFailed}, {0, 0}, SERVICE_RUNNING};
    c.script.dependentsRunning = true;
    c.queriesFail = true;
    c.events = Seq({"stop, sleep 0", Times("query", 120), Box(kStopFailed), deploy, "start, query, sleep 0",
                    Times("query", 120), Box(kStartFailed)});
    cases.push_back(c);
  }
  {
    // A hint of 0xFFFFFFFF is slept as 10000 ms, once per request.
    PhaseCase c{"absurd wait hints", Script(), "", 20000, {}, {}, SERVICE_RUNNING};
    c.script.stopWaitHint = 0xFFFFFFFFu;
    c.script.startWaitHint = 0xFFFFFFFFu;
    c.events = Seq({"stop, sleep 10000, query", deploy, "start, query, sleep 10000, query"});
    cases.push_back(c);
  }
  {
    // Just below and just above the cap.
    PhaseCase c{"wait hints around the cap", Script(), "", 19999, {}, {}, SERVICE_RUNNING};
    c.script.stopWaitHint = 9999;
    c.script.startWaitHint = 10001;
    c.events = Seq({"stop, sleep 9999, query", deploy, "start, query, sleep 10000, query"});
    cases.push_back(c);
  }
  {
    // A capped hint with a stop that takes longer: polls after the cap.
    PhaseCase c{"capped hint, then pending polls", Script(), "", 13000, {}, {}, SERVICE_RUNNING};
    c.script.stopWaitHint = 0xFFFFFFFFu;
    c.script.stopDelayMs = 11000;
    c.events = Seq({"stop, sleep 10000", Times("query, sleep 500", 2), "query", deploy,
                    "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // A start that fails after 40 s of pending polls (80 of them) is asked
    // again, and the second request has its own 120 polls: the 80 it needs
    // on top of the 80 before would run past the count if it were not reset.
    PhaseCase c{"start that fails once, slowly", Script(), "", 81500, {}, {}, SERVICE_RUNNING};
    c.script.startDelayMs = 40000;
    c.script.startWaitHint = 0;
    c.script.failedStarts = 1;
    c.events = Seq({"stop, sleep 1000, query, sleep 500, query", deploy, "start, query, sleep 0",
                    Times("query, sleep 500", 80), "query", "start, query, sleep 0", Times("query, sleep 500", 80),
                    "query"});
    cases.push_back(c);
  }
  return cases;
}

}  // namespace

// ---------------------------------------------------------------- the poll tables

TEST(SpoolerRestart, PhasesWaitExactlyAsTheScriptDemands) {
  const std::vector<PhaseCase> cases = PhaseCases();
  for (size_t i = 0; i < cases.size(); ++i) {
    const PhaseCase &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    sim::SetSpooler(c.script);
    if (c.queriesFail) sim::FailCall("QueryServiceStatus", 1, ERROR_ACCESS_DENIED, true);
    Library nt(NtLibraryPath());
    RestartFn *restart = nt.Get<RestartFn>("RestartSpoolerWithDriverFiles");
    ASSERT_NE(nullptr, restart);
    EXPECT_EQ(1, restart());
    EXPECT_EQ(c.events, Events());
    EXPECT_EQ(c.elapsed, sim::Now());
    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    ASSERT_EQ(c.boxes.size(), boxes.size());
    for (size_t b = 0; b < boxes.size(); ++b) {
      EXPECT_EQ(c.boxes[b], boxes[b].text) << "box " << b;
      EXPECT_FALSE(boxes[b].caption.has_value()) << "box " << b << " has a caption";
      EXPECT_FALSE(boxes[b].hasOwner) << "box " << b;
      EXPECT_EQ(0u, boxes[b].style) << "box " << b;
      EXPECT_EQ(c.boxTimes[b], boxes[b].at) << "box " << b;
    }
    EXPECT_EQ(c.finalState, sim::SpoolerState());
    // The deployment ran once, whatever the stop phase came to.
    EXPECT_EQ(7, CallCount("CopyFileA"));
    for (const char *file : kFiles) EXPECT_TRUE(sim::FileExists(sim::VersionDirectory() + file)) << file;
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(SpoolerRestart, CallsTheServiceManagerWithTheDocumentedArguments) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.Get<RestartFn>("RestartSpoolerWithDriverFiles")());

  std::vector<sim::Call> scm = sim::CallsTo("OpenSCManagerA");
  ASSERT_EQ(1u, scm.size());
  EXPECT_EQ((std::vector<std::string>{"NULL", Quoted("ServicesActive"), "983103"}), scm[0].args);  // 0xF003F
  EXPECT_EQ("scm", scm[0].result);

  std::vector<sim::Call> service = sim::CallsTo("OpenServiceA");
  ASSERT_EQ(1u, service.size());
  EXPECT_EQ((std::vector<std::string>{"scm", Quoted("Spooler"), "52"}), service[0].args);  // 0x34
  EXPECT_EQ("service:Spooler", service[0].result);

  std::vector<sim::Call> stop = sim::CallsTo("ControlService");
  ASSERT_EQ(1u, stop.size());
  ASSERT_GE(stop[0].args.size(), 3u);
  EXPECT_EQ("service:Spooler", stop[0].args[0]);
  EXPECT_EQ("1", stop[0].args[1]) << "SERVICE_CONTROL_STOP";
  EXPECT_EQ("&", stop[0].args[2]);

  std::vector<sim::Call> start = sim::CallsTo("StartServiceA");
  ASSERT_EQ(1u, start.size());
  EXPECT_EQ((std::vector<std::string>{"service:Spooler", "0", "NULL"}), start[0].args);

  for (const sim::Call &query : sim::CallsTo("QueryServiceStatus")) {
    ASSERT_GE(query.args.size(), 2u);
    EXPECT_EQ("service:Spooler", query.args[0]);
    EXPECT_EQ("&", query.args[1]);
  }

  EXPECT_EQ((std::vector<std::string>{"service:Spooler", "scm"}), FirstArgs("CloseServiceHandle"))
      << "the service handle first, then the manager";
  EXPECT_EQ(static_cast<int>(sim::Trace().size()) - 1, CallIndex("CloseServiceHandle", 2));
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ("", OpenHandlesText());
}

// ---------------------------------------------------------------- opening fails

TEST(SpoolerRestart, UnopenableManagerOrServiceTouchesNothing) {
  struct Case {
    const char *name;
    bool denyManager, denyService, exists;
    const char *text;
    std::vector<std::string> closed;  // CloseServiceHandle arguments
  };
  const Case cases[] = {
      {"manager refused", true, false, true, "OPENSCMANAGER FAIL!!", {}},
      {"service refused", false, true, true, "OPENSERVICE FAIL!!", {"scm"}},
      {"no such service", false, false, false, "OPENSERVICE FAIL!!", {"scm"}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    sim::SpoolerScript script = Script();
    script.denyManager = c.denyManager;
    script.denyService = c.denyService;
    script.exists = c.exists;
    sim::SetSpooler(script);
    Library nt(NtLibraryPath());
    EXPECT_EQ(1, nt.CreatePrinter());

    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(c.text, boxes[0].text);
    EXPECT_FALSE(boxes[0].caption.has_value());
    EXPECT_FALSE(boxes[0].hasOwner);
    EXPECT_EQ(0u, boxes[0].style);

    EXPECT_EQ(0, CallCount("ControlService"));
    EXPECT_EQ(0, CallCount("StartServiceA"));
    EXPECT_EQ(0, CallCount("QueryServiceStatus"));
    EXPECT_EQ(0, CallCount("Sleep"));
    EXPECT_EQ(0, CallCount("CopyFileA"));
    EXPECT_EQ(0, CallCount("CreateDirectoryA"));
    EXPECT_EQ(0, CallCount("MoveFileExA"));
    EXPECT_EQ(0, CallCount("SearchPathA"));
    EXPECT_FALSE(sim::DirectoryExists(sim::VersionDirectory()));
    EXPECT_EQ(c.closed, FirstArgs("CloseServiceHandle"));
    EXPECT_EQ(0u, sim::Now());
    // The install goes on with the registration.
    EXPECT_GT(CallIndex("AddPrinterDriverA"), CallIndex("MessageBoxA"));
    EXPECT_GE(CallIndex("AddPrinterA"), 0);
    EXPECT_EQ(1, CallCount("SendMessageTimeoutA"));
    EXPECT_EQ("", OpenHandlesText());
  }
}

// ---------------------------------------------------------------- within the install

TEST(SpoolerRestart, InstallStopsDeploysStartsThenRegisters) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.CreatePrinter());

  const int stoppedSeen = CallIndexWithArg("QueryServiceStatus", 2, "state=1 hint=0");
  const int firstCopy = CallIndex("CopyFileA", 1);
  const int lastCopy = CallIndex("CopyFileA", 7);
  const int start = CallIndex("StartServiceA");
  const int runningSeen = CallIndexWithArg("QueryServiceStatus", 2, "state=4 hint=0");
  const int closed = CallIndex("CloseServiceHandle", 2);
  const int driver = CallIndex("AddPrinterDriverA");
  const int queue = CallIndex("AddPrinterA");
  const int order[] = {CallIndex("ControlService"), stoppedSeen, firstCopy, lastCopy, start,
                       runningSeen, closed, driver, queue};
  for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
    EXPECT_GE(order[i], 0) << "event " << i << " missing";
    if (i > 0) {
      EXPECT_LT(order[i - 1], order[i]) << "event " << i << " before event " << i - 1;
    }
  }
  EXPECT_EQ(-1, CallIndex("CopyFileA", 8));
  // No spooler call while the service is stopped.
  const std::set<std::string> whileStopped = {"QueryServiceStatus", "GetSystemDirectoryA", "CreateDirectoryA",
                                               "CopyFileA"};
  for (int k = stoppedSeen; k >= 0 && k < start; ++k) {
    const std::string &name = sim::Trace()[static_cast<size_t>(k)].name;
    EXPECT_EQ(1u, whileStopped.count(name)) << "call " << k << ": " << name << " while the spooler is stopped";
  }
  EXPECT_TRUE(sim::FindDriver(kPrinter).has_value());
  EXPECT_TRUE(sim::FindQueue(kPrinter).has_value());
  EXPECT_TRUE(sim::SpoolerRunning());
  EXPECT_TRUE(sim::MessageBoxes().empty());
  EXPECT_EQ("", OpenHandlesText());
}

TEST(SpoolerRestart, DeploymentRunsAfterAFailedStopAndTheStartFollows) {
  struct Case {
    const char *name;
    bool dependents, stuck;
  };
  const Case cases[] = {{"stop refused", true, false}, {"stop never ends", false, true}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE("case " + std::to_string(i) + ": " + cases[i].name);
    sim::BuildDefaultMachine(sim::Os::WinXP);
    sim::SpoolerScript script = Script();
    script.dependentsRunning = cases[i].dependents;
    script.stuckStopping = cases[i].stuck;
    sim::SetSpooler(script);
    // An earlier copy that the running spooler holds: it can only be moved.
    sim::WriteFile(sim::VersionDirectory() + "nrvs1.dll", "old driver");
    sim::SetFileInUse(sim::VersionDirectory() + "nrvs1.dll", true);
    Library nt(NtLibraryPath());
    EXPECT_EQ(1, nt.CreatePrinter());

    std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
    ASSERT_GE(boxes.size(), 1u);
    EXPECT_EQ(kStopFailed, boxes[0].text);
    const int box = CallIndex("MessageBoxA");
    EXPECT_LT(box, CallIndex("CopyFileA"));
    EXPECT_LT(CallIndex("CopyFileA", 8), CallIndex("StartServiceA")) << "7 copies and the retry before the start";
    for (const char *file : kFiles) {
      EXPECT_EQ(std::string(file) + ", as the setup program placed it\n",
                sim::ReadFile(sim::VersionDirectory() + file).value_or("?"))
          << file;
    }
    EXPECT_EQ(std::vector<std::string>{sim::VersionDirectory() + "nrvs1.dll.000"}, sim::PendingDeletions());
    EXPECT_EQ("old driver", sim::ReadFile(sim::VersionDirectory() + "nrvs1.dll.000").value_or("?"));
    EXPECT_GE(CallIndex("AddPrinterDriverA"), 0);
    EXPECT_EQ("", OpenHandlesText());
  }
}

TEST(SpoolerRestart, FailedDeploymentIsFollowedByTheStart) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  sim::RemoveFile(sim::DriverDirectory() + "nrvs1.sdd");
  Library nt(NtLibraryPath());
  EXPECT_EQ(1, nt.Get<RestartFn>("RestartSpoolerWithDriverFiles")());
  std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  ASSERT_TRUE(boxes[0].caption.has_value());
  EXPECT_EQ(kPrinter, *boxes[0].caption) << "the file error carries the printer's name";
  EXPECT_GT(CallIndex("StartServiceA"), CallIndex("MessageBoxA"));
  EXPECT_EQ(SERVICE_RUNNING, sim::SpoolerState());
  EXPECT_EQ(3500u, sim::Now());
  EXPECT_EQ("", OpenHandlesText());
}
