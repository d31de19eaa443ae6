// The two exports and their sequences, the removal of the setup
// information files, and the sweep of the printer's queues.
#include "identity.h"
#include "ntsetup.h"
#include "text.h"

DWORD DevNodeRecreate = 1;

namespace {

const char PrintersKey[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";

// The three files, each composed from the Windows directory and InfBaseName.
const char *const InfFileFormats[] = {
    "%s\\inf\\%s.PNF",
    "%s\\inf\\%s.INF",
    "%s\\system32\\spool\\drivers\\w32x86\\2\\%s.BPD",
};

void BroadcastSettingsChange() {
  SendMessageTimeoutA(HWND_BROADCAST, WM_WININICHANGE, 0, 0, SMTO_NORMAL, 1000, NULL);
}

}  // namespace

void RemoveSetupInfFiles(void) {
  char windowsDir[256];
  ClearBytes(windowsDir, sizeof windowsDir);
  UINT length = GetWindowsDirectoryA(windowsDir, 255);
  // No directory, or one that did not fit: there is no path to build, and a
  // file under a cut-off path would be the wrong file.
  if (length == 0 || length >= 255) return;

  for (const char *format : InfFileFormats) {
    // The two "%s" give way to the directory and the base name.
    DWORD composed = TextLength(format) - 4 + TextLength(windowsDir) + TextLength(InfBaseName);
    if (composed >= 256) continue;
    char path[256];
    ClearBytes(path, sizeof path);
    wsprintfA(path, format, windowsDir, InfBaseName);
    DeleteFileA(path);
  }
}

BOOL RemoveMatchingPrinters(void) {
  HKEY printers;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, PrintersKey, &printers) != ERROR_SUCCESS) return FALSE;

  char name[256];
  char now[256];
  DWORD index = 0;
  for (;;) {
    ClearBytes(name, sizeof name);
    if (RegEnumKeyA(printers, index, name, 255) != ERROR_SUCCESS) break;
    if (BeginsWith(name, PrinterName)) {
      DeleteQueueForRemoval(name);
      // A deleted queue takes its key with it, and the key after it moves
      // into this index: look at the same index again, unless the queue's
      // key is still there.
      ClearBytes(now, sizeof now);
      if (RegEnumKeyA(printers, index, now, 255) == ERROR_SUCCESS && !SameText(now, name)) continue;
    }
    ++index;
  }
  RegCloseKey(printers);
  return TRUE;
}

extern "C" int WINAPI CreatePrinter(DWORD, DWORD, DWORD) {
  RemoveSetupInfFiles();
  DetectPlatform();
  RestartSpoolerWithDriverFiles();
  AddNtDriver();
  AddNtPrinter();
  if (IsNt5OrLater == 1) SyncParallelDevNode();
  SetDefaultPrinter();
  BroadcastSettingsChange();
  return 1;
}

extern "C" int WINAPI UninstallPrinter(DWORD, DWORD, DWORD) {
  DetectPlatform();
  RemoveDriverFiles();
  RemoveNtPrinterAndDriver();
  PurgePrintRegistry();
  DevNodeRecreate = 0;
  if (IsNt5OrLater == 1) {
    SyncParallelDevNode();
    if (!RemoveMatchingPrinters()) return 0;
    RemoveSetupInfFiles();
  }
  RestoreDefaultPrinter();
  return 0;
}
