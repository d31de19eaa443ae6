// The setup program's part, played under Wine: loads one of the printer
// setup DLLs by path, looks each export up by name and by ordinal, calls it
// the way a setup program does and checks its result and the stack.
//
//   nrvharness.exe [options] <dll> <step> [<step>...]
//   nrvharness.exe --add-printer <name> <port> [<existing driver>]
//   nrvharness.exe --version-info <dll>
//
// Steps, run in order within one load of the DLL:
//   create      CreatePrinter, standard call with three arguments, result 1
//   uninstall   UninstallPrinter, standard call with three arguments, result 0
//   clean       ?CleanPnpKeys@@YAXXZ, caller-cleans call without arguments
//   restart     stops and starts the "Spooler" service (for the benchmark)
// Options:
//   --hold <path>   keep <path> open without delete sharing during the steps
//   --map <path>    keep <path> mapped as an executable image during the steps
// Each step's wall time is printed as "time: <step>: <ms> ms".
//
// --version-info prints the DLL's version resource as a setup program's
// version check reads it, with GetFileVersionInfoA and VerQueryValueA: the
// fixed part, each translation, and the strings of the first translation,
// one a line ("<name>: <text>").
//
// Exit status: 0 when every check held, 1 when one failed, 2 on bad usage
// or when the DLL or a file to hold could not be opened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Export {
  const char *step;
  const char *name;
  WORD ordinalNt;   // ordinal in NRVPNP.dll, 0 when it has no such export
  WORD ordinal9x;   // ordinal in NRVKSYS.dll
  bool standardCall;
  int expected;     // result of a standard call
};

const Export Exports[] = {
    {"create", "CreatePrinter", 1, 2, true, 1},
    {"uninstall", "UninstallPrinter", 2, 3, true, 0},
    {"clean", "?CleanPnpKeys@@YAXXZ", 0, 1, false, 0},
};

}  // namespace

// What the call thunk saw: the stack pointer before the arguments were
// pushed and after the call returned, and whether the registers that a
// Windows function must keep (ebx, esi, edi, ebp) came back unchanged.
extern "C" {
DWORD nrvSavedEsp;
DWORD nrvSavedEbp;
DWORD nrvEspAfter;
DWORD nrvRegistersKept;
DWORD nrvResult;
// Calls fn with nargs 32-bit arguments (args[0] pushed last), without
// cleaning up the stack after it: a standard-call function must remove its
// own arguments, a caller-cleans one leaves them.
DWORD __cdecl NrvCallChecked(const void *fn, DWORD nargs, const DWORD *args);
}

asm(".text\n"
    ".globl _NrvCallChecked\n"
    "_NrvCallChecked:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl %ebp, _nrvSavedEbp\n"
    "  movl 8(%ebp), %eax\n"
    "  movl 12(%ebp), %ecx\n"
    "  movl 16(%ebp), %edx\n"
    "  movl %esp, _nrvSavedEsp\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%edx,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl $0x5EB5EB01, %ebx\n"
    "  movl $0x5E5E5E02, %esi\n"
    "  movl $0xED1ED103, %edi\n"
    "  call *%eax\n"
    "  movl %esp, _nrvEspAfter\n"
    "  movl %eax, _nrvResult\n"
    "  movl $1, _nrvRegistersKept\n"
    "  cmpl $0x5EB5EB01, %ebx\n"
    "  jne 3f\n"
    "  cmpl $0x5E5E5E02, %esi\n"
    "  jne 3f\n"
    "  cmpl $0xED1ED103, %edi\n"
    "  jne 3f\n"
    "  cmpl _nrvSavedEbp, %ebp\n"
    "  je 4f\n"
    "3:\n"
    "  movl $0, _nrvRegistersKept\n"
    "4:\n"
    "  movl _nrvSavedEsp, %esp\n"
    "  movl _nrvSavedEbp, %ebp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  movl _nrvResult, %eax\n"
    "  ret\n");

namespace {

int failures = 0;

void Check(bool ok, const char *what, const char *step) {
  std::printf("%s: %s: %s\n", ok ? "ok" : "FAIL", step, what);
  if (!ok) ++failures;
}

double Milliseconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool WaitForState(SC_HANDLE service, DWORD wanted) {
  SERVICE_STATUS status;
  for (int i = 0; i < 600; ++i) {
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == wanted) return true;
    Sleep(50);
  }
  return false;
}

// A bare stop and start of the spooler, as the install does around its copy.
void RestartSpooler() {
  SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = manager ? OpenServiceA(manager, "Spooler", SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP)
                              : NULL;
  Check(service != NULL, "the Spooler service opens", "restart");
  if (service != NULL) {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    Check(WaitForState(service, SERVICE_STOPPED), "the spooler stops", "restart");
    std::printf("info: after the stop request: state %lu, wait hint %lu ms\n", status.dwCurrentState,
                status.dwWaitHint);
    StartServiceA(service, 0, NULL);
    if (QueryServiceStatus(service, &status)) {
      std::printf("info: after the start request: state %lu, wait hint %lu ms\n", status.dwCurrentState,
                  status.dwWaitHint);
    }
    Check(WaitForState(service, SERVICE_RUNNING), "the spooler runs again", "restart");
    CloseServiceHandle(service);
  }
  if (manager != NULL) CloseServiceHandle(manager);
}

void RunExport(HMODULE module, bool isNt, const Export &e) {
  FARPROC byName = GetProcAddress(module, e.name);
  WORD ordinal = isNt ? e.ordinalNt : e.ordinal9x;
  if (ordinal == 0) {
    Check(false, "this DLL has no such export", e.step);
    return;
  }
  FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  char text[160];
  std::snprintf(text, sizeof text, "export \"%s\" found by name", e.name);
  Check(byName != NULL, text, e.step);
  std::snprintf(text, sizeof text, "ordinal %u found", static_cast<unsigned>(ordinal));
  Check(byOrdinal != NULL, text, e.step);
  std::snprintf(text, sizeof text, "name and ordinal %u give the same address (%p, %p)", static_cast<unsigned>(ordinal),
                reinterpret_cast<void *>(byName), reinterpret_cast<void *>(byOrdinal));
  Check(byName != NULL && byName == byOrdinal, text, e.step);
  if (byName == NULL) return;

  // Arbitrary arguments: the exports never read them.
  const DWORD args[3] = {0xDEADBEEF, 0, 0x12345678};
  DWORD nargs = e.standardCall ? 3 : 0;
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  DWORD result = NrvCallChecked(reinterpret_cast<const void *>(byName), nargs, args);
  QueryPerformanceCounter(&end);
  long espDelta = static_cast<long>(nrvEspAfter) - static_cast<long>(nrvSavedEsp);
  std::snprintf(text, sizeof text, "stack pointer unchanged by the call (moved by %ld bytes)", espDelta);
  Check(espDelta == 0, text, e.step);
  Check(nrvRegistersKept == 1, "ebx, esi, edi and ebp kept", e.step);
  if (e.standardCall) {
    std::snprintf(text, sizeof text, "result %ld (want %d)", static_cast<long>(result), e.expected);
    Check(static_cast<int>(result) == e.expected, text, e.step);
  }
  std::printf("time: %s: %.1f ms\n", e.step, Milliseconds(start, end));
}

// A second printer that the user's settings can name: a driver of its own
// (its files need not exist) and a queue on the given port.
// With a driver name given, the queue uses that driver, which must exist.
int AddOtherPrinter(const char *name, const char *port, const char *existingDriver) {
  char driverName[128];
  if (existingDriver != NULL) {
    std::snprintf(driverName, sizeof driverName, "%s", existingDriver);
  } else {
    std::snprintf(driverName, sizeof driverName, "%s Driver", name);
  }
  DRIVER_INFO_2A driver;
  std::memset(&driver, 0, sizeof driver);
  driver.cVersion = 3;
  driver.pName = driverName;
  driver.pEnvironment = NULL;  // the spooler's own: "Windows 4.0" under Windows 98
  driver.pDriverPath = const_cast<LPSTR>("other.dll");
  driver.pDataFile = const_cast<LPSTR>("other.dat");
  driver.pConfigFile = const_cast<LPSTR>("otherui.dll");
  if (existingDriver == NULL && !AddPrinterDriverA(NULL, 2, reinterpret_cast<LPBYTE>(&driver))) {
    std::printf("FAIL: AddPrinterDriverA for %s: error %lu\n", name, GetLastError());
    return 1;
  }
  PRINTER_INFO_2A queue;
  std::memset(&queue, 0, sizeof queue);
  queue.pPrinterName = const_cast<LPSTR>(name);
  queue.pPortName = const_cast<LPSTR>(port);
  queue.pDriverName = driverName;
  queue.pPrintProcessor = const_cast<LPSTR>("WinPrint");
  queue.pDatatype = const_cast<LPSTR>("RAW");
  queue.Attributes = PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_LOCAL;
  HANDLE handle = AddPrinterA(NULL, 2, reinterpret_cast<LPBYTE>(&queue));
  if (handle == NULL) {
    std::printf("FAIL: AddPrinterA for %s: error %lu\n", name, GetLastError());
    return 1;
  }
  ClosePrinter(handle);
  std::printf("ok: printer \"%s\" added on %s\n", name, port);
  return 0;
}

// The strings a version check looks at.
const char *const VersionStrings[] = {"CompanyName",      "FileDescription", "FileVersion",   "InternalName",
                                      "OriginalFilename", "ProductName",     "ProductVersion"};

int PrintVersionInfo(const char *path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  static char data[16384];
  if (size == 0 || size > sizeof data) {
    std::printf("FAIL: GetFileVersionInfoSizeA(%s): size %lu, error %lu\n", path, size, GetLastError());
    return 1;
  }
  if (!GetFileVersionInfoA(path, 0, size, data)) {
    std::printf("FAIL: GetFileVersionInfoA(%s): error %lu\n", path, GetLastError());
    return 1;
  }
  void *value = NULL;
  UINT length = 0;
  if (!VerQueryValueA(data, "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    std::printf("FAIL: VerQueryValueA(\\): no fixed part (length %u)\n", length);
    return 1;
  }
  const VS_FIXEDFILEINFO *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
  std::printf("fixed: signature %08lx, structure %08lx, file %lu.%lu.%lu.%lu, product %lu.%lu.%lu.%lu, "
              "flags %lx of %lx, os %08lx, type %lu, subtype %lu\n",
              fixed->dwSignature, fixed->dwStrucVersion, fixed->dwFileVersionMS >> 16,
              fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF,
              fixed->dwProductVersionMS >> 16, fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
              fixed->dwProductVersionLS & 0xFFFF, fixed->dwFileFlags, fixed->dwFileFlagsMask, fixed->dwFileOS,
              fixed->dwFileType, fixed->dwFileSubtype);

  if (!VerQueryValueA(data, "\\VarFileInfo\\Translation", &value, &length) || length < 4) {
    std::printf("FAIL: VerQueryValueA(\\VarFileInfo\\Translation): no translation (length %u)\n", length);
    return 1;
  }
  const WORD *translations = static_cast<const WORD *>(value);
  for (UINT i = 0; i + 1 < length / 2; i += 2) {
    std::printf("translation: %04x %04x\n", translations[i], translations[i + 1]);
  }
  int missing = 0;
  for (const char *name : VersionStrings) {
    char query[128];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translations[0], translations[1], name);
    if (VerQueryValueA(data, query, &value, &length) && length > 0) {
      std::printf("%s: %s\n", name, static_cast<const char *>(value));
    } else {
      std::printf("FAIL: VerQueryValueA(%s): missing\n", query);
      ++missing;
    }
  }
  return missing == 0 ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: nrvharness.exe [--hold PATH] [--map PATH] DLL STEP...\n"
               "       nrvharness.exe --add-printer NAME PORT [DRIVER]\n"
               "       nrvharness.exe --version-info DLL\n"
               "steps: create uninstall clean restart\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, NULL, _IONBF, 0);
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--add-printer") == 0) {
    return AddOtherPrinter(argv[2], argv[3], argc == 5 ? argv[4] : NULL);
  }
  if (argc == 3 && std::strcmp(argv[1], "--version-info") == 0) return PrintVersionInfo(argv[2]);

  int i = 1;
  HANDLE held[8];
  int heldCount = 0;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    bool map = std::strcmp(argv[i], "--map") == 0;
    if ((!map && std::strcmp(argv[i], "--hold") != 0) || i + 1 >= argc || heldCount + 2 > 8) return Usage();
    const char *path = argv[++i];
    // Read and write sharing only: deleting or renaming the file needs
    // delete access, which this handle does not share.
    HANDLE file = CreateFileA(path, GENERIC_READ, map ? FILE_SHARE_READ | FILE_SHARE_DELETE
                                                      : FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
      std::printf("FAIL: cannot open %s: error %lu\n", path, GetLastError());
      return 2;
    }
    if (map) {
      // A mapped image, like a driver DLL the spooler has loaded: Windows
      // refuses to delete it but lets it be renamed.
      HANDLE section = CreateFileMappingA(file, NULL, PAGE_READONLY | SEC_IMAGE, 0, 0, NULL);
      void *view = section ? MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0) : NULL;
      CloseHandle(file);
      if (view == NULL) {
        std::printf("FAIL: cannot map %s as an image: error %lu\n", path, GetLastError());
        return 2;
      }
      held[heldCount++] = section;
      std::printf("ok: %s mapped as an image\n", path);
    } else {
      held[heldCount++] = file;
      std::printf("ok: %s held open without delete sharing\n", path);
    }
  }
  if (i + 1 >= argc) return Usage();

  const char *dllPath = argv[i++];
  HMODULE module = LoadLibraryA(dllPath);
  if (module == NULL) {
    std::printf("FAIL: LoadLibraryA(%s): error %lu\n", dllPath, GetLastError());
    return 2;
  }
  // NRVPNP has two exports, NRVKSYS three; the decorated one tells them apart.
  bool isNt = GetProcAddress(module, "?CleanPnpKeys@@YAXXZ") == NULL;
  std::printf("ok: loaded %s (%s library)\n", dllPath, isNt ? "NT" : "9x");

  for (; i < argc; ++i) {
    const char *step = argv[i];
    if (std::strcmp(step, "restart") == 0) {
      LARGE_INTEGER start, end;
      QueryPerformanceCounter(&start);
      RestartSpooler();
      QueryPerformanceCounter(&end);
      std::printf("time: restart: %.1f ms\n", Milliseconds(start, end));
      continue;
    }
    const Export *found = NULL;
    for (const Export &e : Exports) {
      if (std::strcmp(step, e.step) == 0) found = &e;
    }
    if (found == NULL) return Usage();
    RunExport(module, isNt, *found);
  }

  Check(FreeLibrary(module) != 0, "FreeLibrary", "unload");
  for (int h = 0; h < heldCount; ++h) CloseHandle(held[h]);
  std::printf("%s: %d check(s) failed\n", failures == 0 ? "PASS" : "FAIL", failures);
  return failures == 0 ? 0 : 1;
}
