// The service control manager and its one service, "Spooler", whose state
// moves over the virtual clock as the test's script says.
//
// A request that Windows answers with a pending state (a stop, a start)
// finishes when its delay has passed on the virtual clock. Nothing runs in
// the background: every call first brings the service up to date with
// Now(), so a pending state that has run out is seen as its final state by
// the next call that looks.
//
// Choices where Windows gives a caller little to go on:
// - Only the local machine (a null or empty machine name) is reachable;
//   any other machine answers RPC_S_SERVER_UNAVAILABLE.
// - Databases other than "ServicesActive" (or null) do not exist.
// - dwCheckPoint is 0 outside a pending state, and counts 1, 2, ... for
//   every started second of a pending state. dwWaitHint outside a pending
//   state is the script's steadyWaitHint, 0 unless a test sets it.
// - An initial SERVICE_PAUSE_PENDING or SERVICE_CONTINUE_PENDING (a script
//   may start there) ends in SERVICE_PAUSED or SERVICE_RUNNING after
//   initialPendingMs and reports the stop or the start wait hint.
// - SERVICE_CONTROL_INTERROGATE answers the status; pause and continue are
//   not accepted by the spooler (ERROR_INVALID_SERVICE_CONTROL).
#include <map>
#include <string>

#include "internal.h"

namespace sim {
namespace {

const DWORD ServiceType = 0x110;  // own process, interactive: the spooler's
const DWORD AcceptStop = 0x1;
const DWORD AcceptPauseContinue = 0x2;
const DWORD ControlPause = 2;
const DWORD ControlContinue = 3;
const DWORD ControlInterrogate = 4;
const DWORD ServicePauseContinueRight = 0x0040;
const DWORD ServiceInterrogateRight = 0x0080;
const DWORD ServiceAllAccess = 0x000F01FF;

struct ScHandle {
  bool manager = false;  // the manager, or the "Spooler" service
  DWORD access = 0;      // rights granted at the open
  bool open = true;
};

struct Services {
  SpoolerScript script;
  DWORD state = SERVICE_RUNNING;
  bool pending = false;       // state is a pending state with an end
  uint64_t pendingSince = 0;  // when the pending state began
  uint64_t doneAt = 0;        // when it ends (unless stuck)
  DWORD finalState = SERVICE_RUNNING;
  DWORD waitHint = 0;
  int startFailuresLeft = 0;
  std::map<uintptr_t, ScHandle> handles;  // every handle given out, closed ones too
};

Services &services() {
  static Services s;
  return s;
}

bool IsPendingState(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
         state == SERVICE_PAUSE_PENDING;
}

// The state a pending state ends in.
DWORD FinalOf(DWORD pendingState) {
  switch (pendingState) {
    case SERVICE_START_PENDING: return SERVICE_RUNNING;
    case SERVICE_STOP_PENDING: return SERVICE_STOPPED;
    case SERVICE_CONTINUE_PENDING: return SERVICE_RUNNING;
    case SERVICE_PAUSE_PENDING: return SERVICE_PAUSED;
  }
  return pendingState;
}

bool Stuck(const Services &s) {
  if (s.state == SERVICE_STOP_PENDING) return s.script.stuckStopping;
  if (s.state == SERVICE_START_PENDING) return s.script.stuckStarting;
  return false;
}

// Brings the service up to date with the virtual clock.
void Update() {
  Services &s = services();
  if (s.pending && !Stuck(s) && Now() >= s.doneAt) {
    s.state = s.finalState;
    s.pending = false;
    s.waitHint = 0;
  }
}

void EnterPending(DWORD pendingState, uint64_t delay, DWORD hint) {
  Services &s = services();
  s.state = pendingState;
  s.pending = true;
  s.pendingSince = Now();
  s.doneAt = Now() + delay;
  s.finalState = FinalOf(pendingState);
  s.waitHint = hint;
}

void Fill(SERVICE_STATUS *status) {
  const Services &s = services();
  status->dwServiceType = ServiceType;
  status->dwCurrentState = s.state;
  if (s.state == SERVICE_RUNNING) {
    status->dwControlsAccepted = AcceptStop;
  } else if (s.state == SERVICE_PAUSED) {
    status->dwControlsAccepted = AcceptStop | AcceptPauseContinue;
  } else {
    status->dwControlsAccepted = 0;
  }
  status->dwWin32ExitCode = NO_ERROR;
  status->dwServiceSpecificExitCode = 0;
  bool pending = IsPendingState(s.state);
  status->dwCheckPoint = pending ? static_cast<DWORD>((Now() - s.pendingSince) / 1000 + 1) : 0;
  status->dwWaitHint = pending ? s.waitHint : s.script.steadyWaitHint;
}

std::string Written(const SERVICE_STATUS *status) {
  return "state=" + detail::Num(status->dwCurrentState) + " hint=" + detail::Num(status->dwWaitHint);
}

uintptr_t HandleValue(SC_HANDLE h) { return reinterpret_cast<uintptr_t>(h); }

// A handle as the trace and the account of open handles show it.
const char *HandleText(bool manager) { return manager ? "scm" : "service:Spooler"; }

// The open handle of the kind asked for, or null.
ScHandle *Find(SC_HANDLE h, bool manager) {
  auto it = services().handles.find(HandleValue(h));
  if (it == services().handles.end() || !it->second.open || it->second.manager != manager) return nullptr;
  return &it->second;
}

SC_HANDLE NewHandle(bool manager, DWORD access) {
  uintptr_t value = detail::NewHandleValue();
  ScHandle record;
  record.manager = manager;
  record.access = access;
  services().handles[value] = record;
  detail::HandleOpened(value, HandleText(manager));
  return reinterpret_cast<SC_HANDLE>(value);
}

}  // namespace

namespace detail {

std::string Service(SC_HANDLE handle) {
  if (!handle) return "NULL";
  auto it = services().handles.find(HandleValue(handle));
  if (it == services().handles.end()) return "sc:?" + Num(HandleValue(handle));
  return HandleText(it->second.manager);
}

void ResetServices() {
  services() = Services();
  SetSpooler(SpoolerScript());
}

}  // namespace detail

void SetSpooler(const SpoolerScript &script) {
  Services &s = services();
  s.script = script;
  s.startFailuresLeft = script.failedStarts;
  s.pending = false;
  s.waitHint = 0;
  s.state = script.initialState;
  if (IsPendingState(script.initialState)) {
    bool stopping = script.initialState == SERVICE_STOP_PENDING || script.initialState == SERVICE_PAUSE_PENDING;
    EnterPending(script.initialState, script.initialPendingMs, stopping ? script.stopWaitHint : script.startWaitHint);
  }
}

DWORD SpoolerState() {
  Update();
  return services().state;
}

bool SpoolerRunning() {
  if (!IsNtFamily(CurrentOs())) return true;
  return services().script.exists && SpoolerState() == SERVICE_RUNNING;
}

}  // namespace sim

using sim::detail::Num;
using sim::detail::Ptr;
using sim::detail::Str;
using sim::detail::Tracer;

extern "C" SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
  Tracer t("OpenSCManagerA", {Str(lpMachineName), Str(lpDatabaseName), Num(dwDesiredAccess)});
  SC_HANDLE none = nullptr;
  DWORD err;
  if (t.Injected(&err)) return t.Fail(none, err);
  if (!sim::IsNtFamily(sim::CurrentOs())) return t.Fail(none, ERROR_CALL_NOT_IMPLEMENTED);
  if (lpMachineName && *lpMachineName) return t.Fail(none, RPC_S_SERVER_UNAVAILABLE);
  if (lpDatabaseName && !sim::detail::EqualNoCase(lpDatabaseName, SERVICES_ACTIVE_DATABASEA)) {
    return t.Fail(none, ERROR_DATABASE_DOES_NOT_EXIST);
  }
  if (sim::services().script.denyManager) return t.Fail(none, ERROR_ACCESS_DENIED);
  SC_HANDLE h = sim::NewHandle(true, dwDesiredAccess);
  t.Describe(sim::HandleText(true));
  return h;
}

extern "C" SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
  Tracer t("OpenServiceA", {sim::detail::Service(hSCManager), Str(lpServiceName), Num(dwDesiredAccess)});
  SC_HANDLE none = nullptr;
  DWORD err;
  if (t.Injected(&err)) return t.Fail(none, err);
  if (!sim::Find(hSCManager, true)) return t.Fail(none, ERROR_INVALID_HANDLE);
  if (!lpServiceName || !*lpServiceName) return t.Fail(none, ERROR_INVALID_NAME);
  sim::Services &s = sim::services();
  if (!s.script.exists || !sim::detail::EqualNoCase(lpServiceName, "Spooler")) {
    return t.Fail(none, ERROR_SERVICE_DOES_NOT_EXIST);
  }
  if (s.script.denyService) return t.Fail(none, ERROR_ACCESS_DENIED);
  DWORD access = (dwDesiredAccess & MAXIMUM_ALLOWED) ? sim::ServiceAllAccess : dwDesiredAccess;
  SC_HANDLE h = sim::NewHandle(false, access);
  t.Describe(sim::HandleText(false));
  return h;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  Tracer t("ControlService", {sim::detail::Service(hService), Num(dwControl), Ptr(lpServiceStatus)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  sim::ScHandle *handle = sim::Find(hService, false);
  if (!handle) return t.Fail(FALSE, ERROR_INVALID_HANDLE);
  if (!lpServiceStatus) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  DWORD needed = 0;
  if (dwControl == SERVICE_CONTROL_STOP) {
    needed = SERVICE_STOP;
  } else if (dwControl == sim::ControlPause || dwControl == sim::ControlContinue) {
    needed = sim::ServicePauseContinueRight;
  } else if (dwControl == sim::ControlInterrogate) {
    needed = sim::ServiceInterrogateRight;
  }
  if ((handle->access & needed) != needed) return t.Fail(FALSE, ERROR_ACCESS_DENIED);

  sim::Update();
  sim::Services &s = sim::services();
  DWORD result = NO_ERROR;
  if (s.state == SERVICE_STOPPED) {
    result = ERROR_SERVICE_NOT_ACTIVE;
  } else if (sim::IsPendingState(s.state)) {
    result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  } else if (dwControl == SERVICE_CONTROL_STOP) {
    // Windows refuses the stop before asking the service, and answers
    // without a status.
    if (s.script.dependentsRunning) return t.Fail(FALSE, ERROR_DEPENDENT_SERVICES_RUNNING);
    sim::EnterPending(SERVICE_STOP_PENDING, s.script.stopDelayMs, s.script.stopWaitHint);
  } else if (dwControl != sim::ControlInterrogate) {
    result = ERROR_INVALID_SERVICE_CONTROL;
  }
  sim::Fill(lpServiceStatus);
  t.AddArg(sim::Written(lpServiceStatus));
  if (result != NO_ERROR) return t.Fail(FALSE, result);
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  Tracer t("QueryServiceStatus", {sim::detail::Service(hService), Ptr(lpServiceStatus)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  sim::ScHandle *handle = sim::Find(hService, false);
  if (!handle) return t.Fail(FALSE, ERROR_INVALID_HANDLE);
  if (!(handle->access & SERVICE_QUERY_STATUS)) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  if (!lpServiceStatus) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  sim::Update();
  sim::Fill(lpServiceStatus);
  t.AddArg(sim::Written(lpServiceStatus));
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR *lpServiceArgVectors) {
  Tracer t("StartServiceA", {sim::detail::Service(hService), Num(dwNumServiceArgs), Ptr(lpServiceArgVectors)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  sim::ScHandle *handle = sim::Find(hService, false);
  if (!handle) return t.Fail(FALSE, ERROR_INVALID_HANDLE);
  if (!(handle->access & SERVICE_START)) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  sim::Update();
  sim::Services &s = sim::services();
  if (s.script.disabled) return t.Fail(FALSE, ERROR_SERVICE_DISABLED);
  if (s.state != SERVICE_STOPPED) return t.Fail(FALSE, ERROR_SERVICE_ALREADY_RUNNING);
  sim::EnterPending(SERVICE_START_PENDING, s.script.startDelayMs, s.script.startWaitHint);
  if (s.startFailuresLeft > 0) {  // the service gives up while starting
    --s.startFailuresLeft;
    s.finalState = SERVICE_STOPPED;
  }
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  Tracer t("CloseServiceHandle", {sim::detail::Service(hSCObject)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  auto it = sim::services().handles.find(sim::HandleValue(hSCObject));
  if (it == sim::services().handles.end() || !it->second.open) return t.Fail(FALSE, ERROR_INVALID_HANDLE);
  it->second.open = false;
  sim::detail::HandleClosed(sim::HandleValue(hSCObject));
  return t.Ok(TRUE);
}
