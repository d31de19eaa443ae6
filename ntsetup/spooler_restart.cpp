// The driver files go into place while the print spooler is stopped: stop
// the "Spooler" service and wait, deploy, start it again and wait.
#include "ntsetup.h"
#include "text.h"

namespace {

const int PollsPerRequest = 120;
const DWORD PendingPause = 500;

// A service that keeps answering with a state from which the wanted one
// cannot follow (a stop refused while dependent services run, a start of
// a disabled service) would be asked again and again; each phase asks at
// most this many times and then ends as when its polls run out.
const int RequestsPerPhase = 5;

// Services report how long their pending operation will take. A single wait
// is kept to ten seconds, so that an absurd hint cannot hold the installer.
const DWORD LongestWaitHint = 10000;

void ShowSpoolerMessage(const char *text) { MessageBoxA(NULL, text, NULL, MB_OK); }

void SleepForWaitHint(const SERVICE_STATUS *status) {
  DWORD hint = status->dwWaitHint;
  Sleep(hint < LongestWaitHint ? hint : LongestWaitHint);
}

// A state from which `wanted` cannot follow without a new request.
bool NeedsNewRequest(DWORD state, DWORD wanted, DWORD pending) {
  return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED && state != wanted && state != pending;
}

void Request(SC_HANDLE service, SERVICE_STATUS *status, bool stop) {
  if (stop) {
    ControlService(service, SERVICE_CONTROL_STOP, status);
  } else {
    StartServiceA(service, 0, NULL);
    QueryServiceStatus(service, status);
  }
  SleepForWaitHint(status);
}

// One phase: request, then poll until the service is in `wanted`, or the
// polls since the last request, or the requests, run out.
void RunPhase(SC_HANDLE service, SERVICE_STATUS *status, bool stop) {
  DWORD wanted = stop ? SERVICE_STOPPED : SERVICE_RUNNING;
  DWORD pending = stop ? SERVICE_STOP_PENDING : SERVICE_START_PENDING;
  int requests = 0;
  int polls = 0;
  Request(service, status, stop);
  ++requests;
  while (polls < PollsPerRequest) {
    QueryServiceStatus(service, status);
    DWORD state = status->dwCurrentState;
    if (state == wanted) return;
    if (state == pending) {
      Sleep(PendingPause);
      ++polls;
    } else if (NeedsNewRequest(state, wanted, pending)) {
      if (requests == RequestsPerPhase) return;
      polls = 0;
      Request(service, status, stop);
      ++requests;
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
