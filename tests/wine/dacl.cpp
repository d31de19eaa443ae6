// Stand-in for the outside tool dacl.exe, which the NT library starts by
// its bare name before it deletes an earlier device node. It changes no
// access list: it appends one line to a log, its process creation time (in
// 100 ns units, so that the order of the starts can be told even when the
// processes write out of order) and its whole command line as given, and
// exits 0. The log is %NRV_DACL_LOG%, or C:\dacl.log.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const char *log = std::getenv("NRV_DACL_LOG");
  if (log == NULL || *log == '\0') log = "C:\\dacl.log";

  FILETIME creation, exitTime, kernel, user;
  ULONGLONG started = 0;
  if (GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user)) {
    started = (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  }
  char line[1200];
  int length = std::snprintf(line, sizeof line, "%020llu %s\r\n", started, GetCommandLineA());
  if (length < 0 || length >= static_cast<int>(sizeof line)) return 3;

  // Five of these run at once: the log is opened without sharing, and a
  // writer that finds it taken tries again.
  for (int attempt = 0; attempt < 2000; ++attempt) {
    HANDLE file = CreateFileA(log, FILE_APPEND_DATA, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() != ERROR_SHARING_VIOLATION) return 2;
      Sleep(5);
      continue;
    }
    SetFilePointer(file, 0, NULL, FILE_END);
    DWORD written = 0;
    BOOL ok = WriteFile(file, line, static_cast<DWORD>(length), &written, NULL);
    CloseHandle(file);
    return ok && written == static_cast<DWORD>(length) ? 0 : 2;
  }
  return 2;
}
