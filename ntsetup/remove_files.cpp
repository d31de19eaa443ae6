// The seven driver files, deleted from the spooler's version directory
// while the spooler runs. A file that cannot be deleted is moved aside
// under a free backup name and deleted by Windows at its next start.
#include "identity.h"
#include "ntsetup.h"
#include "text.h"

namespace {

void ShowDeleteError(DWORD error, const char *path) {
  char message[256];
  ClearBytes(message, sizeof message);
  wsprintfA(message, "DELETE FILE ERROR (%d)\nFile Name : ", static_cast<int>(error));
  AppendText(message, sizeof message, path);  // a path too long for the box is cut
  MessageBoxA(NULL, message, PrinterName, MB_OK);
}

}  // namespace

int RemoveDriverFiles(void) {
  char versionDir[MAX_PATH];
  char path[MAX_PATH];
  char backupName[MAX_PATH];
  char backupPath[MAX_PATH];
  ClearBytes(versionDir, sizeof versionDir);

  // A system directory that does not fit leaves no usable path: every file
  // is then reported. The path is still composed as far as it fits, so that
  // the box names the file; without the system directory it begins at "\spool".
  UINT length = GetSystemDirectoryA(versionDir, MAX_PATH);
  BOOL systemDirFits = length != 0 && length < MAX_PATH;
  if (!systemDirFits) ClearBytes(versionDir, sizeof versionDir);
  BOOL directoryFits = AppendText(versionDir, sizeof versionDir, "\\spool\\drivers\\w32x86\\2\\") && systemDirFits;

  char files[DriverFileSetSize];
  for (DWORD i = 0; i < DriverFileSetSize; ++i) files[i] = DriverFileSet[i];

  for (const char *name = files; *name != '\0'; name += TextLength(name) + 1) {
    BOOL pathFits = ComposeText(path, sizeof path, versionDir, name);
    if (!directoryFits || !pathFits) {
      // Never act on a cut-off path; report the file as one that failed.
      ShowDeleteError(ERROR_FILENAME_EXCED_RANGE, path);
      continue;
    }
    if (DeleteFileA(path)) continue;

    ClearBytes(backupPath, sizeof backupPath);
    if (!FindBackupName(versionDir, name, backupName, sizeof backupName) ||
        !ComposeText(backupPath, sizeof backupPath, versionDir, backupName)) {
      ShowDeleteError(ERROR_FILENAME_EXCED_RANGE, path);
      continue;
    }
    if (MoveFileExA(path, backupPath, MOVEFILE_REPLACE_EXISTING)) {
      MoveFileExA(backupPath, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
      continue;
    }
    // A missing file fails the move with ERROR_FILE_NOT_FOUND: nothing to say.
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) ShowDeleteError(error, path);
  }
  return 1;
}
