// The kernel's version, error, clock, process and string functions.
//
// Processes started with WinExec are recorded here (sim::ProcessesStarted);
// no program runs and none is looked for: every start succeeds unless a
// fault is injected.
#include <cstring>
#include <optional>

#include "internal.h"

namespace sim {
namespace {

struct VersionNumbers {
  DWORD major, minor, build, platformId;
};

struct Kernel {
  bool refuseEx = false;
  std::optional<VersionNumbers> override;
  std::vector<ProcessStart> processes;
};

Kernel &kernel() {
  static Kernel k;
  return k;
}

struct Release {
  VersionNumbers numbers;
  const char *servicePack;
  WORD servicePackMajor;
};

// What each system answers. On Windows 95, 98 and Me the build number's high
// word repeats the major and minor version.
Release ReleaseOf(Os os) {
  switch (os) {
    case Os::Nt40: return {{4, 0, 1381, VER_PLATFORM_WIN32_NT}, "Service Pack 6", 6};
    case Os::Win2000: return {{5, 0, 2195, VER_PLATFORM_WIN32_NT}, "Service Pack 4", 4};
    case Os::WinXP: return {{5, 1, 2600, VER_PLATFORM_WIN32_NT}, "Service Pack 2", 2};
    case Os::Win95: return {{4, 0, 0x040003B6, VER_PLATFORM_WIN32_WINDOWS}, "", 0};
    case Os::Win98: return {{4, 10, 0x040A07CE, VER_PLATFORM_WIN32_WINDOWS}, "", 0};
    case Os::WinMe: return {{4, 90, 0x045A0BB8, VER_PLATFORM_WIN32_WINDOWS}, "", 0};
  }
  return {{0, 0, 0, 0}, "", 0};
}

}  // namespace

namespace detail {

void ResetKernel(Os os) {
  kernel() = Kernel();
  kernel().refuseEx = !IsNtFamily(os);
}

}  // namespace detail

void RefuseVersionExRecord(bool refuse) { kernel().refuseEx = refuse; }

void SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId) {
  kernel().override = VersionNumbers{major, minor, build, platformId};
}

std::vector<ProcessStart> ProcessesStarted() { return kernel().processes; }

}  // namespace sim

using sim::detail::Num;
using sim::detail::Ptr;
using sim::detail::SNum;
using sim::detail::Str;
using sim::detail::Tracer;

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  Tracer t("GetVersionExA", {Ptr(lpVersionInformation),
                             lpVersionInformation ? Num(lpVersionInformation->dwOSVersionInfoSize) : "NULL"});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!lpVersionInformation) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
    return t.Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
  }
  if (size == sizeof(OSVERSIONINFOEXA) && sim::kernel().refuseEx) return t.Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);

  sim::Release release = sim::ReleaseOf(sim::CurrentOs());
  sim::VersionNumbers numbers = sim::kernel().override.value_or(release.numbers);
  OSVERSIONINFOEXA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = size;
  info.dwMajorVersion = numbers.major;
  info.dwMinorVersion = numbers.minor;
  info.dwBuildNumber = numbers.build;
  info.dwPlatformId = numbers.platformId;
  std::strncpy(info.szCSDVersion, release.servicePack, sizeof info.szCSDVersion - 1);
  info.wServicePackMajor = release.servicePackMajor;
  info.wServicePackMinor = 0;
  info.wSuiteMask = 0;
  info.wProductType = 1;  // a workstation
  std::memcpy(lpVersionInformation, &info, size);
  return t.Ok(TRUE);
}

// Cannot fail: an injected fault is ignored.
extern "C" DWORD WINAPI GetLastError(void) {
  Tracer t("GetLastError", {});
  return t.Ok(sim::detail::LastErrorValue());
}

// Cannot fail: an injected fault is ignored. INFINITE advances the clock by
// 0xFFFFFFFF ms like any other number instead of waiting for ever.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
  Tracer t("Sleep", {Num(dwMilliseconds)});
  sim::detail::AdvanceClock(dwMilliseconds);
  t.Describe("");
}

// Success is a value above 31; a failure answers its error (below 32).
extern "C" UINT WINAPI WinExec(LPCSTR lpCmdLine, UINT uCmdShow) {
  Tracer t("WinExec", {Str(lpCmdLine), Num(uCmdShow)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(static_cast<UINT>(err < 32 ? err : 0), err);
  if (!lpCmdLine || !*lpCmdLine) return t.Fail(static_cast<UINT>(ERROR_FILE_NOT_FOUND), ERROR_FILE_NOT_FOUND);
  sim::ProcessStart start;
  start.commandLine = lpCmdLine;
  start.show = uCmdShow;
  sim::kernel().processes.push_back(start);
  return t.Ok(33u);
}

// The string functions record the text they leave as their result. Null
// pointers give a null (or 0) answer, as Windows' exception handler in them
// does, instead of a crash.
extern "C" LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  Tracer t("lstrcpyA", {Ptr(lpString1), Str(lpString2)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(static_cast<LPSTR>(nullptr), err);
  if (!lpString1 || !lpString2) return t.Ok(static_cast<LPSTR>(nullptr));
  std::memmove(lpString1, lpString2, std::strlen(lpString2) + 1);
  t.Describe(Str(lpString1));
  return lpString1;
}

extern "C" LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
  Tracer t("lstrcatA", {Str(lpString1), Str(lpString2)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(static_cast<LPSTR>(nullptr), err);
  if (!lpString1 || !lpString2) return t.Ok(static_cast<LPSTR>(nullptr));
  std::memmove(lpString1 + std::strlen(lpString1), lpString2, std::strlen(lpString2) + 1);
  t.Describe(Str(lpString1));
  return lpString1;
}

// Compares byte by byte as unsigned characters, with regard to case, and
// answers -1, 0 or 1. (Windows compares by CompareString's word sort; for
// the letters, digits and punctuation the libraries compare the two agree on
// equality, and the libraries only ask for equality.) A null string sorts
// before every other. An injected fault answers -2, as lstrcmpA does when
// CompareString fails.
extern "C" int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  Tracer t("lstrcmpA", {Str(lpString1), Str(lpString2)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(-2, err);
  if (!lpString1 || !lpString2) return t.Ok(lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1));
  int rc = std::strcmp(lpString1, lpString2);
  return t.Ok(rc < 0 ? -1 : (rc > 0 ? 1 : 0));
}

extern "C" int WINAPI lstrlenA(LPCSTR lpString) {
  Tracer t("lstrlenA", {Str(lpString)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(0, err);
  if (!lpString) return t.Ok(0);
  return t.Ok(static_cast<int>(std::strlen(lpString)));
}
