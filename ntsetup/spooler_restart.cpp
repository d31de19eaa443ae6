// The driver files go into place while the print spooler is stopped: stop
// the "Spooler" service and wait, deploy, start it again and wait.
#include "ntsetup.h"
#include "text.h"

namespace {

const int PollsPerRequest = 120;
const DWORD PendingPause = 500;

// How long one phase may wait in all, counted from its first request. One
// request that the service takes up may keep the phase waiting for its
// capped wait hint and then 120 polls, 70 s at most; a spooler that is
// still starting when the install begins needs one such wait for its start
// and one for the stop that follows. Five minutes gives that twice over, and
// lets the start phase outwait a stop that went on after the stop phase gave
// up on it. A service that never gets there (a stop refused while dependent
// services run, a start of a disabled service) holds the install about this
// long, and then the phase ends as when its polls run out.
const DWORD LongestPhaseWait = 5 * 60 * 1000;

// Services report how long their pending operation will take. A single wait
// is kept to ten seconds, so that an absurd hint cannot hold the installer.
const DWORD LongestWaitHint = 10000;

void ShowSpoolerMessage(const char *text) { MessageBoxA(NULL, text, NULL, MB_OK); }

// Sleeps for the record's wait hint, capped; returns the time slept.
DWORD SleepForWaitHint(const SERVICE_STATUS *status) {
  DWORD hint = status->dwWaitHint;
  DWORD wait = hint < LongestWaitHint ? hint : LongestWaitHint;
  Sleep(wait);
  return wait;
}

// A state from which `wanted` cannot follow without a new request.
bool NeedsNewRequest(DWORD state, DWORD wanted, DWORD pending) {
  return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED && state != wanted && state != pending;
}

// Sends the stop or the start and sleeps the wait hint; returns the time slept.
DWORD Request(SC_HANDLE service, SERVICE_STATUS *status, bool stop) {
  if (stop) {
    ControlService(service, SERVICE_CONTROL_STOP, status);
  } else {
    StartServiceA(service, 0, NULL);
    QueryServiceStatus(service, status);
  }
  return SleepForWaitHint(status);
}

// One phase: request, then poll until the service is in `wanted`, the polls
// since the last request run out, or the phase has waited its longest. A
// state that calls for a new request is paused on like a pending one first,
// so that a manager answering with a hint of 0 is not asked again at once.
void RunPhase(SC_HANDLE service, SERVICE_STATUS *status, bool stop) {
  DWORD wanted = stop ? SERVICE_STOPPED : SERVICE_RUNNING;
  DWORD pending = stop ? SERVICE_STOP_PENDING : SERVICE_START_PENDING;
  DWORD waited = Request(service, status, stop);
  int polls = 0;
  while (polls < PollsPerRequest) {
    QueryServiceStatus(service, status);
    DWORD state = status->dwCurrentState;
    if (state == wanted || waited >= LongestPhaseWait) return;
    if (state == pending) {
      Sleep(PendingPause);
      waited += PendingPause;
      ++polls;
    } else if (NeedsNewRequest(state, wanted, pending)) {
      Sleep(PendingPause);
      waited += PendingPause;
      polls = 0;
      waited += Request(service, status, stop);
    } else {
      ++polls;
    }
  }
}

}  // namespace

int RestartSpoolerWithDriverFiles(void) {
  SC_HANDLE manager = OpenSCManagerA(NULL, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
  if (manager == NULL) {
    ShowSpoolerMessage("OPENSCMANAGER FAIL!!");
    return 1;
  }
  SC_HANDLE service = OpenServiceA(manager, "Spooler", SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP);
  if (service == NULL) {
    ShowSpoolerMessage("OPENSERVICE FAIL!!");
    CloseServiceHandle(manager);
    return 1;
  }

  // The manager fills the record only when it answers a request with a
  // status; a refused first stop then waits for a hint of 0.
  SERVICE_STATUS status;
  ClearBytes(&status, sizeof status);

  RunPhase(service, &status, true);
  if (status.dwCurrentState != SERVICE_STOPPED) ShowSpoolerMessage("Stoping SPOOLER SERVICE Fail!!");

  DeployDriverFiles();

  RunPhase(service, &status, false);
  if (status.dwCurrentState != SERVICE_RUNNING) ShowSpoolerMessage("Starting SPOOLER SERVICE Fail!!");

  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 1;
}
