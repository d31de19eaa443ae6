// A machine built from the fuzzer's bytes, then both libraries' exports run
// on it. Whatever the machine holds and whatever call fails, each export
// returns its constant, no handle stays open, no run makes an unbounded
// number of calls or waits unboundedly, and the source driver files stay;
// a violation aborts, and the address and undefined-behaviour sanitizers
// watch every buffer.
//
// The input is read as: one byte for the system, then operations, each an
// opcode byte followed by its operands (see Build below). Bytes that run out
// read as zeros.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "sim.h"

#ifndef NRVPNP_MODULE
#error "NRVPNP_MODULE must name the NT library"
#endif
#ifndef NRVKSYS_MODULE
#error "NRVKSYS_MODULE must name the 9x library"
#endif

namespace {

typedef int ExportFn(DWORD, DWORD, DWORD);
typedef void CleanFn(void);

// The libraries stay loaded for the whole run (a new load for every input
// would register their coverage counters again and again); the NT
// library's two flags are set back to their load values before each input,
// which is all that a new load would change.
struct Module {
  void *handle = nullptr;
  ExportFn *create = nullptr;
  ExportFn *uninstall = nullptr;
  CleanFn *clean = nullptr;
  DWORD *isNt5OrLater = nullptr;
  DWORD *devNodeRecreate = nullptr;
};

[[noreturn]] void Fail(const std::string &what) {
  std::fprintf(stderr, "fuzz_machine: %s\n", what.c_str());
  const std::vector<sim::Call> &trace = sim::Trace();
  size_t from = trace.size() > 40 ? trace.size() - 40 : 0;
  for (size_t i = from; i < trace.size(); ++i) {
    std::fprintf(stderr, "  %s%s -> %s\n", trace[i].name.c_str(), trace[i].injected ? " (failed)" : "",
                 trace[i].result.c_str());
  }
  std::abort();
}

Module Load(const char *path, bool nt) {
  Module m;
  m.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!m.handle) Fail(std::string("dlopen: ") + dlerror());
  m.create = reinterpret_cast<ExportFn *>(dlsym(m.handle, "CreatePrinter"));
  m.uninstall = reinterpret_cast<ExportFn *>(dlsym(m.handle, "UninstallPrinter"));
  if (nt) {
    m.isNt5OrLater = reinterpret_cast<DWORD *>(dlsym(m.handle, "IsNt5OrLater"));
    m.devNodeRecreate = reinterpret_cast<DWORD *>(dlsym(m.handle, "DevNodeRecreate"));
    if (!m.isNt5OrLater || !m.devNodeRecreate) Fail("no flags in the NT library");
  } else {
    m.clean = reinterpret_cast<CleanFn *>(dlsym(m.handle, "CleanPnpKeys"));
    if (!m.clean) Fail("no CleanPnpKeys in the 9x library");
  }
  if (!m.create || !m.uninstall) Fail(std::string("missing exports in ") + path);
  return m;
}

Module &Nt() {
  static Module m = Load(NRVPNP_MODULE, true);
  return m;
}

Module &W9x() {
  static Module m = Load(NRVKSYS_MODULE, false);
  return m;
}

// ---------------------------------------------------------------- input

class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  unsigned Word() { return Byte() | (Byte() << 8); }
  // A name: literal bytes (no NUL) or, with the high bit of the length, a
  // run of one character long enough to reach past every buffer.
  std::string Name() {
    uint8_t length = Byte();
    if (length & 0x80) return std::string((length & 0x7f) * 3u, static_cast<char>(Byte() | 1));
    std::string out;
    for (unsigned i = 0; i < length && !done(); ++i) {
      char c = static_cast<char>(Byte());
      out += c == '\0' ? 'A' : c;
    }
    return out;
  }
  // Value data: literal bytes, NULs included, or a run of one byte.
  std::string Data() {
    unsigned length = Word() & 0x3ff;
    if (length & 0x200) return std::string(length & 0x1ff, static_cast<char>(Byte()));
    std::string out;
    for (unsigned i = 0; i < length && !done(); ++i) out += static_cast<char>(Byte());
    return out;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// The keys the libraries read and write.
const char *const kTrees[] = {
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
    "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS",
    "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS\\0000",
    "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM",
    "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\NorvaleTX-5400",
    "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows",
    "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices",
    "HKCU\\Printers",
    "HKLM\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\Norvale TX-5400 Series",
    "HKLM\\SYSTEM\\ControlSet002\\Control\\Print\\Printers",
    "HKLM\\SYSTEM\\ControlSet003\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-2",
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-2",
    "HKLM\\Enum\\BIOS",
    "HKLM\\Enum\\BIOS\\*PNP0400",
    "HKLM\\Enum\\BIOS\\*PNP0400\\00",
    "HKLM\\Enum\\ACPI",
    "HKLM\\Enum\\ACPI\\PNP0401\\1",
    "HKLM\\Enum\\LPTENUM",
    "HKLM\\Enum\\LPTENUM\\NorvaleTX-5400C83B",
    "HKLM\\Enum",
};
const size_t kTreeCount = sizeof kTrees / sizeof kTrees[0];

const char *const kValueNames[] = {"ParentIdPrefix", "PORTNAME", "Device", "DeviceOld", "Class", "PrinterDriverData"};

const char *const kNtFiles[] = {"nrvs1.dll",   "nrvs1.sdd",   "nrvs1ui.dll", "nrvs1su.hlp",
                                "nrvs1um.dll", "nrvs1su.dat", "nrvs1su.dll"};

// The calls a fault may hit, with an error Windows gives for each. The
// closing calls are left out: a close that fails leaves its handle open
// whatever the library does.
struct FaultChoice {
  const char *name;
  DWORD error;
};
const FaultChoice kFaults[] = {
    {"RegOpenKeyA", ERROR_ACCESS_DENIED},        {"RegOpenKeyA", ERROR_FILE_NOT_FOUND},
    {"RegOpenKeyExA", ERROR_ACCESS_DENIED},      {"RegCreateKeyA", ERROR_ACCESS_DENIED},
    {"RegQueryValueExA", ERROR_MORE_DATA},       {"RegQueryValueExA", ERROR_FILE_NOT_FOUND},
    {"RegQueryInfoKeyA", ERROR_ACCESS_DENIED},   {"RegEnumKeyA", ERROR_MORE_DATA},
    {"RegEnumKeyA", ERROR_ACCESS_DENIED},        {"RegEnumValueA", ERROR_MORE_DATA},
    {"RegSetValueExA", ERROR_ACCESS_DENIED},     {"RegDeleteKeyA", ERROR_ACCESS_DENIED},
    {"RegDeleteValueA", ERROR_FILE_NOT_FOUND},   {"DeleteFileA", ERROR_SHARING_VIOLATION},
    {"CopyFileA", ERROR_ACCESS_DENIED},          {"CopyFileA", ERROR_SHARING_VIOLATION},
    {"MoveFileExA", ERROR_ACCESS_DENIED},        {"CreateDirectoryA", ERROR_PATH_NOT_FOUND},
    {"SearchPathA", ERROR_PATH_NOT_FOUND},       {"GetSystemDirectoryA", ERROR_NOT_ENOUGH_MEMORY},
    {"GetWindowsDirectoryA", ERROR_NOT_ENOUGH_MEMORY}, {"GetVersionExA", ERROR_INSUFFICIENT_BUFFER},
    {"AddPrinterDriverA", RPC_S_SERVER_UNAVAILABLE}, {"AddPrinterA", ERROR_ACCESS_DENIED},
    {"OpenPrinterA", RPC_S_SERVER_UNAVAILABLE},  {"DeletePrinter", ERROR_ACCESS_DENIED},
    {"DeletePrinterDriverA", ERROR_ACCESS_DENIED}, {"OpenSCManagerA", ERROR_ACCESS_DENIED},
    {"OpenServiceA", ERROR_ACCESS_DENIED},       {"ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
    {"QueryServiceStatus", ERROR_ACCESS_DENIED}, {"StartServiceA", ERROR_SERVICE_REQUEST_TIMEOUT},
    {"MessageBoxA", ERROR_NOT_ENOUGH_MEMORY},    {"WinExec", ERROR_FILE_NOT_FOUND},
    {"SendMessageTimeoutA", ERROR_TIMEOUT},
};
const size_t kFaultCount = sizeof kFaults / sizeof kFaults[0];

std::string Child(const std::string &parent, const std::string &name) {
  return name.empty() ? parent : parent + "\\" + name;
}

void PlaceNtSources() {
  for (const char *name : kNtFiles) sim::WriteFile(sim::DriverDirectory() + name, name);
}

// Builds the machine. Operations the simulated machine refuses (it throws
// for a path it cannot hold) end the building; what was built so far runs.
void Build(Reader &in) {
  const sim::Os systems[] = {sim::Os::WinXP, sim::Os::Win2000, sim::Os::Nt40,
                             sim::Os::Win98, sim::Os::Win95,   sim::Os::WinMe};
  sim::BuildDefaultMachine(systems[in.Byte() % 6]);
  try {
    for (int ops = 0; !in.done() && ops < 64; ++ops) {
      uint8_t op = in.Byte();
      std::string tree = kTrees[in.Byte() % kTreeCount];
      switch (op % 12) {
        case 0: {  // a value under a tree, or under a subkey of one
          std::string key = Child(tree, in.Name());
          uint8_t pick = in.Byte();
          std::string name = pick < 6 * 32 ? kValueNames[pick % 6] : in.Name();
          DWORD type = in.Byte() % 8;
          sim::SetValue(key, name, type, in.Data());
          break;
        }
        case 1:  // a key
          sim::CreateKey(Child(tree, in.Name()));
          break;
        case 2:  // a tree gone
          sim::DeleteKeyTree(Child(tree, in.Name()));
          break;
        case 3: {  // a system directory of another length, with the sources in place
          size_t length = 12 + in.Byte() * 2u;
          sim::SetSystemDirectory("C:\\WINDOWS\\" + std::string(length - 11, 's'));
          if (sim::IsNtFamily(sim::CurrentOs())) PlaceNtSources();
          break;
        }
        case 4: {  // a Windows directory of another length
          size_t length = 4 + in.Byte() * 2u;
          sim::SetWindowsDirectory("C:\\" + std::string(length - 3, 'w'));
          break;
        }
        case 5: {  // a driver file in the version directory, perhaps held or protected
          uint8_t b = in.Byte();
          std::string path = sim::VersionDirectory() + kNtFiles[b % 7];
          if (b & 0x10) path += ".00" + std::to_string((b >> 5) % 3);
          sim::WriteFile(path, "earlier");
          if (b & 0x08) sim::SetFileInUse(path, true);
          if (in.Byte() & 1) sim::SetFileProtected(path, true);
          break;
        }
        case 6: {  // a source file gone
          sim::RemoveFile(sim::DriverDirectory() + kNtFiles[in.Byte() % 7]);
          break;
        }
        case 7: {  // one failing call
          const FaultChoice &f = kFaults[in.Byte() % kFaultCount];
          uint8_t b = in.Byte();
          sim::FailCall(f.name, 1 + b % 40, f.error, (b & 0x80) != 0);
          break;
        }
        case 8: {  // a queue
          sim::Queue queue;
          queue.name = (in.Byte() & 1 ? std::string("Norvale TX-5400 Series") : std::string()) + in.Name();
          if (queue.name.empty()) break;
          queue.portName = "LPT1:";
          queue.driverName = "Office Laser Driver";
          queue.printProcessor = "WinPrint";
          queue.datatype = "RAW";
          sim::AddQueue(queue);
          break;
        }
        case 9: {  // the spooler service
          uint8_t b = in.Byte();
          sim::SpoolerScript s;
          s.exists = !(b & 1);
          s.denyManager = b & 2;
          s.denyService = b & 4;
          s.dependentsRunning = b & 8;
          s.disabled = b & 16;
          s.stuckStopping = b & 32;
          s.stuckStarting = b & 64;
          s.stopWaitHint = in.Word() * 1000u;
          s.startWaitHint = in.Word() * 7u;
          const DWORD states[] = {SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_PAUSED, SERVICE_START_PENDING,
                                  SERVICE_STOP_PENDING};
          s.initialState = states[in.Byte() % 5];
          sim::SetSpooler(s);
          break;
        }
        case 10:  // access refused on a key
          sim::DenyAccess(Child(tree, in.Name()), in.Word() | (in.Byte() & 1 ? DELETE : 0));
          break;
        case 11: {  // odd version numbers
          uint8_t b = in.Byte();
          if (b & 1) sim::RefuseVersionExRecord(true);
          if (b & 2) sim::SetVersion(in.Byte() % 12, in.Byte(), in.Word(), in.Byte() % 4);
          break;
        }
      }
    }
  } catch (const std::exception &) {
    // Something the machine cannot hold: keep what was built.
  }
}

// ---------------------------------------------------------------- run

const size_t kLongestTrace = 100000;
const uint64_t kLongestRunMs = 60ull * 60 * 1000;

void Check(const char *what, int got, int expected, size_t traceStart, uint64_t started) {
  std::string where = what;
  if (got != expected) Fail(where + " returned " + std::to_string(got));
  std::vector<std::string> open = sim::OpenHandles();
  if (!open.empty()) Fail(where + " left open: " + open.front());
  if (sim::Trace().size() - traceStart > kLongestTrace) Fail(where + " made too many calls");
  if (sim::Now() - started > kLongestRunMs) Fail(where + " waited too long");
}

template <typename F>
void Run(const char *what, int expected, F call) {
  size_t start = sim::Trace().size();
  uint64_t now = sim::Now();
  int got = call();
  Check(what, got, expected, start, now);
  // Keeps the trace from growing over the runs of one input.
  sim::ClearTrace();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader in(data, size);
  uint8_t plan = in.Byte();
  Build(in);

  std::vector<std::string> sources;
  for (const char *name : kNtFiles) {
    if (sim::FileExists(sim::DriverDirectory() + name)) sources.push_back(sim::DriverDirectory() + name);
  }

  Module &nt = Nt();
  *nt.isNt5OrLater = 0;
  *nt.devNodeRecreate = 1;
  // The order of the NT library's exports in one load.
  if (plan & 1) {
    Run("NT UninstallPrinter", 0, [&] { return nt.uninstall(0, 0, 0); });
    Run("NT CreatePrinter", 1, [&] { return nt.create(0, 0, 0); });
  } else {
    Run("NT CreatePrinter", 1, [&] { return nt.create(0, 0, 0); });
    Run("NT UninstallPrinter", 0, [&] { return nt.uninstall(0, 0, 0); });
  }
  if (plan & 2) Run("NT CreatePrinter again", 1, [&] { return nt.create(0, 0, 0); });

  Module &w9x = W9x();
  Run("9x CreatePrinter", 1, [&] { return w9x.create(0, 0, 0); });
  if (plan & 4) Run("9x CleanPnpKeys", 0, [&] { w9x.clean(); return 0; });
  Run("9x UninstallPrinter", 0, [&] { return w9x.uninstall(0, 0, 0); });
  if (plan & 8) Run("9x CreatePrinter again", 1, [&] { return w9x.create(0, 0, 0); });

  sim::Reboot();
  for (const std::string &path : sources) {
    if (!sim::FileExists(path)) Fail("source driver file lost: " + path);
  }
  return 0;
}
