// The simulated Windows: an in-memory machine behind the Win32 functions the
// libraries call on the host (declared in platform/hostwin.h).
//
// Tests and tools build a machine with the functions below, load a library,
// run an export, and then read the machine and the call trace. Everything
// lives in one process-wide machine; Reset() replaces it with a new one.
//
// Registry paths given to these functions start with a root: "HKLM\\...",
// "HKCU\\...", "HKU\\..." or "HKCR\\..." (the long names HKEY_LOCAL_MACHINE
// and so on are accepted too). Names compare without regard to case.
// File paths are absolute Windows paths ("C:\\WINDOWS\\..."), compared
// without regard to case.
#ifndef NRV_SIM_SIM_H
#define NRV_SIM_SIM_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../platform/hostwin.h"

// Windows declarations the libraries do not use but the simulated Windows
// needs (platform/hostwin.h holds only what the libraries use).
#define CALLBACK
#define NO_ERROR 0L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define REG_NONE 0
#define REG_EXPAND_SZ 2
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define MAXIMUM_ALLOWED 0x02000000L
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define PRINTER_ATTRIBUTE_QUEUED 0x00000001
#define PRINTER_ATTRIBUTE_DIRECT 0x00000002
#define PRINTER_ATTRIBUTE_SHARED 0x00000008
#define PRINTER_CONTROL_SET_STATUS 4
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define IDOK 1
#define SW_HIDE 0
extern "C" {
BOOL WINAPI GetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded);
BOOL WINAPI SetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command);
LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
int WINAPI lstrlenA(LPCSTR lpString);
}

// Error codes the simulated Windows gives besides those in hostwin.h.
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_DEPENDENT_SERVICES_RUNNING 1051L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_DISABLED 1058L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L
#define ERROR_TIMEOUT 1460L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define ERROR_UNKNOWN_PORT 1796L
#define ERROR_UNKNOWN_PRINTER_DRIVER 1797L
#define ERROR_UNKNOWN_PRINTPROCESSOR 1798L
#define ERROR_INVALID_PRINTER_NAME 1801L
#define ERROR_PRINTER_ALREADY_EXISTS 1802L
#define ERROR_INVALID_DATATYPE 1804L
#define ERROR_INVALID_ENVIRONMENT 1805L
#define ERROR_PRINTER_DRIVER_IN_USE 3001L

namespace sim {

// ---------------------------------------------------------------- machine

enum class Os { Nt40, Win2000, WinXP, Win95, Win98, WinMe };

const char *OsName(Os os);                       // "nt40", "win2000", "winxp", "win95", "win98", "winme"
std::optional<Os> OsFromName(const std::string &name);
bool IsNtFamily(Os os);

// A new, nearly empty machine of the given system: the four registry roots,
// "HKLM\\SYSTEM\\ControlSet001" with "HKLM\\SYSTEM\\CurrentControlSet" as a
// link to it (NT family), the Windows directory "C:\\WINDOWS" and the system
// directory ("C:\\WINDOWS\\system32" on NT, "C:\\WINDOWS\\SYSTEM" on 9x) with
// the spooler's driver directory, the print processor "WinPrint", the data
// type "RAW", the ports LPT1:/COM1: (NT) or LPT1/COM1 (9x), and a running
// "Spooler" service (NT family). The trace, the clock, the fault list and
// the handle account start empty.
void Reset(Os os = Os::WinXP);

// Reset() plus what a customer's machine looks like when the setup program
// calls the library: the seven NT driver files (or the 9x files) in the
// driver directory, a parallel port instance under
// "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS\\0000" with a
// "ParentIdPrefix" (NT), "ENUM\\BIOS" with an LPT1 port (9x), another
// printer "Office Laser" on "LPT2:" that is the user's default, its entry in
// the user's "Devices" list, and the user's settings key.
void BuildDefaultMachine(Os os = Os::WinXP);

Os CurrentOs();

// ---------------------------------------------------------------- version

// GetVersionExA answers for the machine's system. When refused, it fails
// (ERROR_INSUFFICIENT_BUFFER) for the 156-byte OSVERSIONINFOEXA record and
// answers only the 148-byte OSVERSIONINFOA one, as NT 4.0 before Service
// Pack 6 and Windows 95/98/Me do. Reset() sets it for the 9x systems.
void RefuseVersionExRecord(bool refuse);
// Overrides the version numbers reported (for odd systems).
void SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId);

// ---------------------------------------------------------------- clock

uint64_t Now();  // virtual milliseconds since Reset(); Sleep() advances it

// ---------------------------------------------------------------- registry

struct Value {
  DWORD type = REG_NONE;
  std::string data;  // the raw bytes, exactly as stored
};

// Whether RegDeleteKeyA removes a key together with its subkeys (9x) or only
// a key without subkeys (NT family). Reset() sets it for the system.
void SetSubtreeDelete(bool subtree);
// Whether subkeys enumerate sorted without regard to case (NT) or in the
// order they were created (9x). Reset() sets it for the system.
void SetSortedEnumeration(bool sorted);

// Names compare as the registry compares them: ASCII letters without
// regard to case, every other byte as it is. NameHash agrees with SameName.
bool SameName(std::string_view a, std::string_view b);
uint64_t NameHash(std::string_view name);

void CreateKey(const std::string &path);  // with every missing parent
bool KeyExists(const std::string &path);
void DeleteKeyTree(const std::string &path);  // nothing when it is missing
void SetValue(const std::string &path, const std::string &name, DWORD type, const std::string &data);
void SetString(const std::string &path, const std::string &name, const std::string &text);  // REG_SZ, NUL counted
void SetDword(const std::string &path, const std::string &name, DWORD value);
void SetMultiString(const std::string &path, const std::string &name, const std::vector<std::string> &strings);
void DeleteValue(const std::string &path, const std::string &name);  // nothing when it is missing
std::optional<Value> GetValue(const std::string &path, const std::string &name);
// REG_SZ data up to its first NUL; nullopt when the value is missing.
std::optional<std::string> GetString(const std::string &path, const std::string &name);
std::vector<std::string> SubkeyNames(const std::string &path);  // in enumeration order
std::vector<std::string> ValueNames(const std::string &path);   // in order of writing

// Makes the key at linkPath an alias of targetPath (as
// "HKLM\\SYSTEM\\CurrentControlSet" is of a numbered control set): every
// path through the link reaches the target's keys. An empty target makes
// linkPath a plain key of its own (a fresh, empty one).
void LinkKey(const std::string &linkPath, const std::string &targetPath);

// Access rights refused on a key to everybody: an open asking for any of
// them fails with ERROR_ACCESS_DENIED; an open asking for MAXIMUM_ALLOWED
// (RegOpenKeyA, RegCreateKeyA) gets the rest, and fails when nothing is
// left. DELETE refused keeps RegDeleteKeyA from removing the key.
void DenyAccess(const std::string &path, REGSAM refused);

// A picture of a key at one moment, with everything below it: its values
// in order of writing and its subkeys in the order RegEnumKeyA gives them
// (links left out). Pictures never change; a key that did not change
// between two pictures is the same object in both, so a picture costs what
// changed since the last one, and two compare by pointer where nothing did.
struct KeyPicture;
using KeyPicturePtr = std::shared_ptr<const KeyPicture>;
struct KeyPicture {
  std::vector<std::pair<std::string, Value>> values;
  std::vector<std::pair<std::string, KeyPicturePtr>> subkeys;
  KeyPicture() = default;
  KeyPicture(const KeyPicture &) = default;
  KeyPicture &operator=(const KeyPicture &) = default;
  ~KeyPicture();  // lets a deep branch go without recursing on its depth
};
// The machine now: a picture whose subkeys are the roots "HKCR", "HKCU",
// "HKLM" and "HKU".
KeyPicturePtr PictureRegistry();

// A key found (or made, with its parents) once and then written many times,
// as an import of a .reg file writes it: each write costs what it writes,
// however deep the key lies. Throws as CreateKey does.
class KeyWriter {
 public:
  explicit KeyWriter(const std::string &path);
  void Set(std::string name, DWORD type, std::string data);
  void Delete(const std::string &name);  // nothing when it is missing

 private:
  std::shared_ptr<void> node_;
};

// The whole registry as "PATH" -> values, for comparing before and after.
struct RegKeyDump {
  std::string path;  // as spelled when created, with its root ("HKLM\\...")
  std::vector<std::pair<std::string, Value>> values;
};
std::vector<RegKeyDump> DumpRegistry();  // every key, parents before children

// ---------------------------------------------------------------- files

void SetWindowsDirectory(const std::string &dir);  // also moves nothing; creates the folder
void SetSystemDirectory(const std::string &dir);
std::string WindowsDirectory();
std::string SystemDirectory();
std::string DriverDirectory();   // SystemDirectory() + "\\spool\\drivers\\w32x86\\"
std::string VersionDirectory();  // DriverDirectory() + "2\\"

void MakeDirectory(const std::string &path);  // with every missing parent
bool DirectoryExists(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);  // creates the folders
bool FileExists(const std::string &path);
std::optional<std::string> ReadFile(const std::string &path);
void RemoveFile(const std::string &path);
std::vector<std::string> ListFiles(const std::string &dir);  // bare names, sorted
// A file in use: it cannot be overwritten (ERROR_SHARING_VIOLATION) or
// deleted (ERROR_ACCESS_DENIED) but can be moved; the lock moves with it.
void SetFileInUse(const std::string &path, bool inUse);
// A protected file: it cannot be overwritten, deleted or moved
// (ERROR_ACCESS_DENIED).
void SetFileProtected(const std::string &path, bool isProtected);
// A file a program holds open without delete sharing: it cannot be
// overwritten, deleted or moved (ERROR_SHARING_VIOLATION).
void SetFileHeldOpen(const std::string &path, bool heldOpen);
// Files registered with MOVEFILE_DELAY_UNTIL_REBOOT and a null new name.
std::vector<std::string> PendingDeletions();
// Windows starts again: the registered files are deleted, locks and open
// files released.
void Reboot();

// ---------------------------------------------------------------- spooler

struct Driver {
  std::string name;
  std::string environment;  // "Windows NT x86" or "Windows 4.0"
  DWORD version = 0;
  std::string driverPath, dataFile, configFile, helpFile, monitorName, defaultDataType;
  std::vector<std::string> dependentFiles;
  DWORD level = 0;  // the level it was added with
};

struct Queue {
  std::string name, shareName, portName, driverName, comment, location, sepFile, printProcessor, datatype,
      parameters;
  DWORD attributes = 0, priority = 0, defaultPriority = 0, startTime = 0, untilTime = 0, status = 0;
};

std::vector<Driver> Drivers();
std::vector<Queue> Queues();
std::optional<Queue> FindQueue(const std::string &name);
std::optional<Driver> FindDriver(const std::string &name);
// Adds a queue or a driver as an earlier install or the user would have
// (with the queue's key under the printers key and its "Devices" entry).
void AddQueue(const Queue &queue);
void AddDriver(const Driver &driver);
// What the spooler service does when it starts: every queue and driver that
// the registry describes under the spooler's keys becomes one of its queues
// or drivers, with the fields the key holds (an earlier one of that name is
// replaced); the registry is left as it is, and from then on the spooler
// keeps those keys, and the user's "Devices" and "PrinterPorts" entries, in
// step as for its own. A missing or mistyped field is empty. A key the
// spooler could not list stays in the registry only: the lines returned
// name each one and why ("PATH: reason").
std::vector<std::string> LoadSpoolerFromRegistry();

// ---------------------------------------------------------------- services

// The "Spooler" service, scripted over the virtual clock.
struct SpoolerScript {
  bool exists = true;               // OpenServiceA: ERROR_SERVICE_DOES_NOT_EXIST
  bool denyManager = false;         // OpenSCManagerA: ERROR_ACCESS_DENIED
  bool denyService = false;         // OpenServiceA: ERROR_ACCESS_DENIED
  DWORD initialState = SERVICE_RUNNING;
  DWORD initialPendingMs = 0;       // a pending initial state ends after this long
  DWORD stopDelayMs = 1500;         // how long a stop stays SERVICE_STOP_PENDING
  DWORD stopWaitHint = 1000;
  DWORD startDelayMs = 1000;        // how long a start stays SERVICE_START_PENDING
  DWORD startWaitHint = 2000;
  DWORD steadyWaitHint = 0;         // the hint reported outside a pending state: a
                                    // service may leave its last one set
  bool dependentsRunning = false;   // stop refused: ERROR_DEPENDENT_SERVICES_RUNNING
  bool disabled = false;            // start refused: ERROR_SERVICE_DISABLED
  bool stuckStopping = false;       // a stop never ends
  bool stuckStarting = false;       // a start never ends
  int failedStarts = 0;             // this many starts fail: when the start would
                                    // have finished, the service is stopped again
};
void SetSpooler(const SpoolerScript &script);
DWORD SpoolerState();  // the state now
bool SpoolerRunning();

// ---------------------------------------------------------------- user interface

struct MessageBoxCall {
  bool hasOwner = false;
  std::string text;
  std::optional<std::string> caption;  // nullopt for a null caption
  UINT style = 0;
  uint64_t at = 0;  // virtual time
};
std::vector<MessageBoxCall> MessageBoxes();

struct BroadcastCall {
  uintptr_t window = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  UINT flags = 0;
  UINT timeout = 0;
  bool hasResultPointer = false;
};
std::vector<BroadcastCall> Broadcasts();

struct ProcessStart {
  std::string commandLine;
  UINT show = 0;
};
std::vector<ProcessStart> ProcessesStarted();

// ---------------------------------------------------------------- trace

struct Call {
  std::string name;               // "RegOpenKeyA"
  std::vector<std::string> args;  // each argument as text (see below)
  std::string result;             // the result as text
  DWORD lastError = 0;            // the thread's last error after the call
  bool setError = false;          // the call failed and set the last error itself
  bool injected = false;          // failed by FailCall
};
// Arguments as text: strings quoted ("\"Spooler\""), null pointers NULL,
// numbers in decimal, registry handles as the key's path ("HKLM\\SYSTEM"),
// printer handles as "printer:<name>", service handles "scm" and
// "service:<name>", output places as "&".
const std::vector<Call> &Trace();
std::vector<Call> CallsTo(const std::string &name);
std::vector<std::string> CallNames();  // the names in order
void ClearTrace();

// Makes the occurrence-th call (1-based) of the named function fail with
// the given error, or every call from that occurrence on when `every`.
// The call then does nothing and answers as Windows does for that error.
void FailCall(const std::string &name, int occurrence, DWORD error, bool every = false);
void ClearFaults();

// ---------------------------------------------------------------- handles

// Handles opened by the product and not yet closed (keys, printers,
// services), described as in the trace.
std::vector<std::string> OpenHandles();

}  // namespace sim

#endif
