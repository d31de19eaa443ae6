// The seven driver files, copied from the spooler's driver directory into
// its version directory. A file there that cannot be overwritten (the
// spooler or a program still has it loaded) is moved aside under a free
// backup name, which Windows deletes at its next start.
#include "identity.h"
#include "ntsetup.h"
#include "text.h"

namespace {

void ShowCopyError(const char *source, const char *destination) {
  char message[256];
  ClearBytes(message, sizeof message);
  // Paths too long for the box are cut; the box only reports them.
  CopyText(message, sizeof message, "COPY FILE ERROR\nSource File : ");
  AppendText(message, sizeof message, source);
  AppendText(message, sizeof message, "\nDestination File : ");
  AppendText(message, sizeof message, destination);
  MessageBoxA(NULL, message, PrinterName, MB_OK);
}

}  // namespace

BOOL FindBackupName(const char *directory, const char *fileName, char *backupName, DWORD capacity) {
  // The name, a full stop, up to ten digits and the NUL must fit.
  if (TextLength(fileName) + 12 > capacity) return FALSE;
  char found[MAX_PATH];
  for (DWORD serial = 0; serial < 0x7FFFFFFF; ++serial) {
    ClearBytes(backupName, capacity);
    wsprintfA(backupName, "%s.%03d", fileName, static_cast<int>(serial));
    ClearBytes(found, sizeof found);
    if (SearchPathA(directory, backupName, NULL, MAX_PATH, found, NULL) == 0) return TRUE;
  }
  return FALSE;
}

int DeployDriverFiles(void) {
  char driverDir[MAX_PATH];
  char versionDir[MAX_PATH];
  char source[MAX_PATH];
  char destination[MAX_PATH];
  char backupName[MAX_PATH];
  char backupPath[MAX_PATH];
  ClearBytes(driverDir, sizeof driverDir);
  ClearBytes(versionDir, sizeof versionDir);

  // A system directory that does not fit leaves no usable path: the first
  // file is then reported, and the walk ends, instead of acting on a cut-off
  // path. The paths are still composed as far as they fit, so that the box
  // names the file; without the system directory they begin at "\spool".
  UINT length = GetSystemDirectoryA(driverDir, MAX_PATH);
  BOOL systemDirFits = length != 0 && length < MAX_PATH;
  if (!systemDirFits) ClearBytes(driverDir, sizeof driverDir);
  BOOL driverDirFits = AppendText(driverDir, sizeof driverDir, "\\spool\\drivers\\w32x86\\");
  BOOL versionDirFits = ComposeText(versionDir, sizeof versionDir, driverDir, "2\\");
  BOOL directoriesFit = systemDirFits && driverDirFits && versionDirFits;
  if (directoriesFit) CreateDirectoryA(versionDir, NULL);

  char files[DriverFileSetSize];
  for (DWORD i = 0; i < DriverFileSetSize; ++i) files[i] = DriverFileSet[i];

  for (const char *name = files; *name != '\0'; name += TextLength(name) + 1) {
    ClearBytes(source, sizeof source);
    ClearBytes(destination, sizeof destination);
    BOOL sourceFits = ComposeText(source, sizeof source, driverDir, name);
    BOOL destinationFits = ComposeText(destination, sizeof destination, versionDir, name);
    if (!directoriesFit || !sourceFits || !destinationFits) {
      ShowCopyError(source, destination);
      return 0;
    }
    if (CopyFileA(source, destination, FALSE)) continue;

    ClearBytes(backupPath, sizeof backupPath);
    BOOL movedAside = FindBackupName(versionDir, name, backupName, sizeof backupName) &&
                      ComposeText(backupPath, sizeof backupPath, versionDir, backupName) &&
                      MoveFileExA(destination, backupPath, MOVEFILE_REPLACE_EXISTING);
    if (!movedAside) {
      ShowCopyError(source, destination);
      return 0;
    }
    if (!CopyFileA(source, destination, FALSE)) {
      // The file moved aside is the only copy left: put it back under its
      // own name instead of having it deleted at the next start.
      MoveFileExA(backupPath, destination, MOVEFILE_REPLACE_EXISTING);
      ShowCopyError(source, destination);
      return 0;
    }
    MoveFileExA(backupPath, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  return 1;
}
