// The spooler restart around the file copy: the stop and start phases, their
// polls and waits on the virtual clock, the paced new requests and the
// bound on a phase's waiting, the capped wait hints, the four caption-less messages, and where the deployment and the
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
    // Starting until 3000 (hint 2000): the stop is refused at 0 and at 2500
    // (each poll that sees it starting pauses 500 ms first), accepted at
    // 5000 (pending until 6500, hint 1000), stopped at 6500; started at 6500
    // and running after its 2000 ms hint.
    PhaseCase c{"start-pending when the install begins", Script(), "", 8500, {}, {}, SERVICE_RUNNING};
    c.script.initialState = SERVICE_START_PENDING;
    c.script.initialPendingMs = 3000;
    c.events = Seq({"stop, sleep 2000, query, sleep 500", "stop, sleep 2000, query, sleep 500",
                    "stop, sleep 1000, query, sleep 500, query", deploy, "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // Starting until 60000: 24 refused stops, 2500 ms apart, the last at
    // 57500; the one at 60000 is taken up, stopped at 61500.
    PhaseCase c{"start-pending for a minute", Script(), "", 63500, {}, {}, SERVICE_RUNNING};
    c.script.initialState = SERVICE_START_PENDING;
    c.script.initialPendingMs = 60000;
    c.events = Seq({Times("stop, sleep 2000, query, sleep 500", 24), "stop, sleep 1000, query, sleep 500, query",
                    deploy, "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // 1000 ms hint, then 120 pending polls of 500 ms: the message at 61000.
    // The start is refused while the stop hangs: a start every 1500 ms (the
    // stop's 1000 ms hint and the pause) until the poll at 362000, when the
    // start phase has waited 301000 ms.
    PhaseCase c{"stuck stopping", Script(), "", 362000, {kStopFailed, kStartFailed}, {61000, 362000},
                SERVICE_STOP_PENDING};
    c.script.stuckStopping = true;
    c.events = Seq({"stop, sleep 1000", Times("query, sleep 500", 120), Box(kStopFailed), deploy,
                    Times("start, query, sleep 1000, query, sleep 500", 200), "start, query, sleep 1000, query",
                    Box(kStartFailed)});
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
    // A stop every 500 ms until the poll at 300000.
    PhaseCase c{"stop refused while dependants run", Script(), "", 300000, {kStopFailed}, {300000},
                SERVICE_RUNNING};
    c.script.dependentsRunning = true;
    c.events = Seq({Times("stop, sleep 0, query, sleep 500", 600), "stop, sleep 0, query", Box(kStopFailed), deploy,
                    "start, query, sleep 0, query"});
    cases.push_back(c);
  }
  {
    // Every start is refused: the service stays stopped, hint 0. A start
    // every 500 ms from 1500 until the poll at 301500.
    PhaseCase c{"start of a disabled service", Script(), "", 301500, {kStartFailed}, {301500}, SERVICE_STOPPED};
    c.script.disabled = true;
    c.events = Seq({"stop, sleep 1000, query, sleep 500, query", deploy,
                    Times("start, query, sleep 0, query, sleep 500", 600), "start, query, sleep 0, query",
                    Box(kStartFailed)});
    cases.push_back(c);
  }
  {
    // Both refusals at once: the stop phase waits out its time, the start
    // finds the service running.
    PhaseCase c{"dependants running and disabled", Script(), "", 300000, {kStopFailed}, {300000}, SERVICE_RUNNING};
    c.script.dependentsRunning = true;
    c.script.disabled = true;
    c.events = Seq({Times("stop, sleep 0, query, sleep 500", 600), "stop, sleep 0, query", Box(kStopFailed), deploy,
                    "start, query, sleep 0, query"});
    cases.push_back(c);
  }
  {
    // Pausing until 1500 (the stop's hint 1000 reported): refused at 0,
    // paused at 1500 and stopped from there (pending until 3000).
    PhaseCase c{"pause-pending when the install begins", Script(), "", 5000, {}, {}, SERVICE_RUNNING};
    c.script.initialState = SERVICE_PAUSE_PENDING;
    c.script.initialPendingMs = 1500;
    c.events = Seq({"stop, sleep 1000, query, sleep 500", "stop, sleep 1000, query, sleep 500, query", deploy,
                    "start, query, sleep 2000, query"});
    cases.push_back(c);
  }
  {
    // Continuing until 1000 (the start's hint 2000 reported): refused at 0,
    // running at 2000, the stop at 2500 taken up, stopped at 4000.
    PhaseCase c{"continue-pending when the install begins", Script(), "", 6000, {}, {}, SERVICE_RUNNING};
    c.script.initialState = SERVICE_CONTINUE_PENDING;
    c.script.initialPendingMs = 1000;
    c.events = Seq({"stop, sleep 2000, query, sleep 500", "stop, sleep 1000, query, sleep 500, query", deploy,
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
    // again after the pause, and the second request has its own 120 polls:
    // the 80 it needs on top of the 80 before would run past the count if
    // it were not reset.
    PhaseCase c{"start that fails once, slowly", Script(), "", 82000, {}, {}, SERVICE_RUNNING};
    c.script.startDelayMs = 40000;
    c.script.startWaitHint = 0;
    c.script.failedStarts = 1;
    c.events = Seq({"stop, sleep 1000, query, sleep 500, query", deploy, "start, query, sleep 0",
                    Times("query, sleep 500", 80), "query, sleep 500", "start, query, sleep 0",
                    Times("query, sleep 500", 80), "query"});
    cases.push_back(c);
  }
  return cases;
}

// A fresh XP machine with the script's spooler, and the restart run on it.
void RunRestart(const sim::SpoolerScript &script, bool queriesFail = false) {
  sim::BuildDefaultMachine(sim::Os::WinXP);
  sim::SetSpooler(script);
  if (queriesFail) sim::FailCall("QueryServiceStatus", 1, ERROR_ACCESS_DENIED, true);
  Library nt(NtLibraryPath());
  RestartFn *restart = nt.Get<RestartFn>("RestartSpoolerWithDriverFiles");
  ASSERT_NE(nullptr, restart);
  EXPECT_EQ(1, restart());
}

// The boxes shown: these texts at these virtual times, with no caption, no
// owner and the style MB_OK.
void ExpectSpoolerBoxes(const std::vector<std::string> &texts, const std::vector<uint64_t> &times) {
  std::vector<sim::MessageBoxCall> boxes = sim::MessageBoxes();
  ASSERT_EQ(texts.size(), boxes.size());
  for (size_t b = 0; b < boxes.size(); ++b) {
    EXPECT_EQ(texts[b], boxes[b].text) << "box " << b;
    EXPECT_FALSE(boxes[b].caption.has_value()) << "box " << b << " has a caption";
    EXPECT_FALSE(boxes[b].hasOwner) << "box " << b;
    EXPECT_EQ(0u, boxes[b].style) << "box " << b;
    EXPECT_EQ(times[b], boxes[b].at) << "box " << b;
  }
}

}  // namespace

// ---------------------------------------------------------------- the poll tables

TEST(SpoolerRestart, PhasesWaitExactlyAsTheScriptDemands) {
  const std::vector<PhaseCase> cases = PhaseCases();
  for (size_t i = 0; i < cases.size(); ++i) {
    const PhaseCase &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    RunRestart(c.script, c.queriesFail);
    EXPECT_EQ(c.events, Events());
    EXPECT_EQ(c.elapsed, sim::Now());
    ExpectSpoolerBoxes(c.boxes, c.boxTimes);
    EXPECT_EQ(c.finalState, sim::SpoolerState());
    // The deployment ran once, whatever the stop phase came to.
    EXPECT_EQ(7, CallCount("CopyFileA"));
    for (const char *file : kFiles) EXPECT_TRUE(sim::FileExists(sim::VersionDirectory() + file)) << file;
    EXPECT_EQ("", OpenHandlesText());
  }
}

namespace {

// The virtual time of every stop request (ControlService) and every start
// request (StartServiceA), read off the trace: during the restart only Sleep
// moves the clock.
struct RequestTimes {
  std::vector<uint64_t> stops, starts;
  uint64_t slept = 0;
};

RequestTimes TimesOfRequests() {
  RequestTimes out;
  for (const sim::Call &call : sim::Trace()) {
    if (call.name == "Sleep") {
      out.slept += std::stoull(call.args.at(0));
    } else if (call.name == "ControlService") {
      out.stops.push_back(out.slept);
    } else if (call.name == "StartServiceA") {
      out.starts.push_back(out.slept);
    }
  }
  return out;
}

// The shortest gap between two requests of one phase, or -1 with fewer than two.
int64_t ShortestGap(const std::vector<uint64_t> &times) {
  int64_t shortest = -1;
  for (size_t i = 1; i < times.size(); ++i) {
    int64_t gap = static_cast<int64_t>(times[i]) - static_cast<int64_t>(times[i - 1]);
    if (shortest < 0 || gap < shortest) shortest = gap;
  }
  return shortest;
}

struct PacedCase {
  std::string name;
  sim::SpoolerScript script;
  int stops;                       // stop requests
  int starts;                      // start requests
  uint64_t elapsed;                // virtual milliseconds for the whole step
  std::vector<std::string> boxes;  // texts, in order
  std::vector<uint64_t> boxTimes;
  DWORD finalState;
  bool copiedWhileStopped;  // the first copy follows a poll that saw SERVICE_STOPPED
};

// A spooler still starting when the install begins, with each start hint:
// every refused stop is followed by a poll, a 500 ms pause and a new stop;
// the first stop after it runs is taken up (stop hint 1000, stopped 1500 ms
// later), and one start follows the copies.
std::vector<PacedCase> StillStartingCases() {
  struct Row {
    DWORD runningAfter, hint;
    int stops;
    uint64_t stoppedAt, elapsed;
  };
  // Stops every hint + 500 ms (the hint capped at 10 s), the first at or
  // after `runningAfter` taken up; the start then runs after its hint, or
  // after two pending polls for a hint of 0.
  const Row rows[] = {
      {3000, 0, 7, 4500, 5500},         {15000, 0, 31, 16500, 17500},      {60000, 0, 121, 61500, 62500},
      {3000, 2000, 3, 6500, 8500},      {15000, 2000, 7, 16500, 18500},    {60000, 2000, 25, 61500, 63500},
      {3000, 10000, 2, 12000, 22000},   {15000, 10000, 3, 22500, 32500},   {60000, 10000, 7, 64500, 74500},
  };
  std::vector<PacedCase> cases;
  for (const Row &r : rows) {
    PacedCase c{"still starting, running after " + std::to_string(r.runningAfter) + " ms, hint " +
                    std::to_string(r.hint),
                Script(), r.stops, 1, r.elapsed, {}, {}, SERVICE_RUNNING, true};
    c.script.initialState = SERVICE_START_PENDING;
    c.script.initialPendingMs = r.runningAfter;
    c.script.startWaitHint = r.hint;
    cases.push_back(c);
  }
  return cases;
}

std::vector<PacedCase> PacedCases() {
  std::vector<PacedCase> cases = StillStartingCases();
  {
    // Stop at 0, hint 3000, then 120 pending polls: the message at 63000
    // and the copies. Starts are refused while it stops, each followed by
    // the 3000 ms hint, a poll and a pause: 63000, 66500, ... 87500; the
    // poll at 90500 sees it stopped, the start at 91000 runs at 93000.
    PacedCase c{"slow stop", Script(), 1, 9, 93000, {kStopFailed}, {63000}, SERVICE_RUNNING, false};
    c.script.stopDelayMs = 90000;
    c.script.stopWaitHint = 3000;
    cases.push_back(c);
  }
  {
    // The bound counts every wait of the phase, not only those since the
    // last request. The stop phase gives up at 61000; starts are refused
    // every 1500 ms until the poll at 320000 sees it stopped. The start at
    // 320500 never ends: its polls run until the phase has waited 300000 ms,
    // at 361000, 38 s before its 120 polls would have run out.
    PacedCase c{"the phase's time runs out during the polls of a start", Script(), 1, 174, 361000,
                {kStopFailed, kStartFailed}, {61000, 361000}, SERVICE_START_PENDING, false};
    c.script.stopDelayMs = 320000;
    c.script.stuckStarting = true;
    cases.push_back(c);
  }
  // Refused for ever: every hint of the script, the one reported outside a
  // pending state too, is 0 or 2000.
  for (DWORD hint : {0u, 2000u}) {
    sim::SpoolerScript script = Script();
    script.stopWaitHint = script.startWaitHint = script.steadyWaitHint = hint;
    {
      // The refusals carry no status: the first stop sleeps the cleared
      // record's 0, the later ones the hint of the poll before. A poll
      // every 500 + hint ms until 300000 ms have been waited.
      PacedCase c{"stop refused for ever, hint " + std::to_string(hint), script, hint ? 121 : 601, 1,
                  hint ? 302000u : 300000u, {kStopFailed}, {300000}, SERVICE_RUNNING, false};
      c.script.dependentsRunning = true;
      cases.push_back(c);
    }
    {
      // Stopped at 1500 (hint 0: three pending polls) or at 2000 (after
      // the hint); then a start every 500 + hint ms until 300000 ms of
      // the start phase have been waited.
      PacedCase c{"start refused for ever, hint " + std::to_string(hint), script, 1, hint ? 121 : 601,
                  hint ? 304000u : 301500u, {kStartFailed}, {hint ? 304000u : 301500u}, SERVICE_STOPPED, true};
      c.script.disabled = true;
      cases.push_back(c);
    }
  }
  return cases;
}

}  // namespace

TEST(SpoolerRestart, PhasesAskAgainPacedUntilTheServiceGetsThereOrTheirTimeIsUp) {
  const std::vector<PacedCase> cases = PacedCases();
  for (size_t i = 0; i < cases.size(); ++i) {
    const PacedCase &c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.name);
    RunRestart(c.script);
    EXPECT_EQ(c.elapsed, sim::Now());
    EXPECT_EQ(c.stops, CallCount("ControlService"));
    EXPECT_EQ(c.starts, CallCount("StartServiceA"));
    ExpectSpoolerBoxes(c.boxes, c.boxTimes);
    for (uint64_t at : c.boxTimes) EXPECT_LE(at, 600000u) << "a box after more than ten minutes";
    EXPECT_EQ(c.finalState, sim::SpoolerState());

    // Requests of one phase are at least the pause apart, whatever the hint.
    RequestTimes times = TimesOfRequests();
    EXPECT_EQ(sim::Now(), times.slept) << "only Sleep moved the clock";
    if (times.stops.size() > 1) {
      EXPECT_LE(500, ShortestGap(times.stops));
    }
    if (times.starts.size() > 1) {
      EXPECT_LE(500, ShortestGap(times.starts));
    }

    // One deployment, between the last stop and the first start.
    EXPECT_EQ(7, CallCount("CopyFileA"));
    const int firstCopy = CallIndex("CopyFileA", 1);
    EXPECT_LT(CallIndex("ControlService", c.stops), firstCopy);
    EXPECT_GT(CallIndex("StartServiceA", 1), CallIndex("CopyFileA", 7));
    int stoppedSeen = -1;
    for (int k = 0; k < firstCopy; ++k) {
      const sim::Call &call = sim::Trace()[static_cast<size_t>(k)];
      if (call.name == "QueryServiceStatus" && call.args.back().rfind("state=1 ", 0) == 0) stoppedSeen = k;
    }
    EXPECT_EQ(c.copiedWhileStopped, stoppedSeen >= 0) << "a poll saw the service stopped before the copies";
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
