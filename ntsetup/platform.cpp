// Which member of the NT family the library runs on.
#include "ntsetup.h"
#include "text.h"

DWORD IsNt5OrLater = 0;

void DetectPlatform(void) {
  OSVERSIONINFOEXA version;
  ClearBytes(&version, sizeof version);
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
  if (!GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version))) {
    // Systems before NT 4.0 Service Pack 6 know only the shorter record.
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&version))) return;
  }
  if (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion > 4) IsNt5OrLater = 1;
}
