// The print spooler of the local machine: printer drivers, printer queues
// and the handles to queues, with the registry entries that Windows keeps
// for them.
//
// On the NT family the spooler is a service: while the "Spooler" service is
// not running (services.cpp) every call fails with RPC_S_SERVER_UNAVAILABLE,
// as the spooler's client part answers when it cannot reach the service.
// On Windows 95, 98 and Me it is always there.
//
// What the spooler writes to the registry (paths with single backslashes),
// below its key P, "HKLM\SYSTEM\CurrentControlSet\Control\Print" on NT and
// "HKLM\System\CurrentControlSet\control\Print" on 9x:
// - a driver: "P\Environments\<env>\Drivers\Version-<n>\<name>" on NT for
//   the NT environment, "P\Environments\<env>\Drivers\<name>" otherwise;
// - a queue: "P\Printers\<name>" with its values and an empty
//   "PrinterDriverData" subkey, and on NT the user's "Devices" and
//   "PrinterPorts" entries.
// Removing a driver or a queue removes its whole key, subkeys included: the
// spooler does that itself, whatever RegDeleteKeyA does on the system.
//
// Choices where Windows leaves a caller little to see:
// - Only the local machine is served (a null or empty server name); any
//   other answers RPC_S_SERVER_UNAVAILABLE. A null or empty printer name
//   does not open the print server: OpenPrinterA answers
//   ERROR_INVALID_PRINTER_NAME.
// - Driver files are looked for under their bare names in the driver
//   directory and its "2" and "3" folders (and, on 9x, the system
//   directory); a name with a folder must exist as given. The monitor name
//   of a level-3 driver is recorded, not checked.
// - A queue's data type may be null and then is "RAW". The Status of the
//   record given to AddPrinterA is not taken: a new queue's status is 0.
// - Handles opened without printer defaults (or with DesiredAccess 0) have
//   PRINTER_ACCESS_USE. On NT, DeletePrinter needs DELETE and SetPrinterA
//   needs PRINTER_ACCESS_ADMINISTER on the handle (ERROR_ACCESS_DENIED); 9x
//   checks no rights. A handle whose queue has been deleted stays open for
//   ClosePrinter; any other use answers ERROR_PRINTER_DELETED.
// - GetPrinterA answers level 2 only. Null texts of the queue come back as
//   empty texts; the server name, device mode and security descriptor as
//   null.
// - SetPrinterA, level 2: the record's non-null texts and its numbers
//   (attributes, priorities, times) replace the queue's after every one of
//   them has been checked as AddPrinterA checks them; a new name renames the
//   queue and its key. Then the command runs: PRINTER_CONTROL_PAUSE (1) and
//   RESUME (2) set and clear PRINTER_STATUS_PAUSED, PURGE (3) finds no jobs,
//   SET_STATUS (4) sets the queue's status to the record's Status. Level 0
//   takes a command only; SET_STATUS then reads the status from a DWORD at
//   pPrinter.
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "internal.h"

#ifndef ERROR_PRINTER_DELETED
#define ERROR_PRINTER_DELETED 1905L
#endif

namespace sim {
namespace {

const char NtEnvironment[] = "Windows NT x86";
const char W9xEnvironment[] = "Windows 4.0";
const DWORD PrinterStatusPaused = 0x1;
const DWORD ControlPause = 1;
const DWORD ControlResume = 2;

struct QueueRecord {
  uint64_t id = 0;
  Queue queue;
};

struct PrinterHandle {
  uint64_t queueId = 0;
  std::string name;  // the queue's name, for the trace
  DWORD access = 0;
  bool open = true;
};

struct Spooler {
  std::vector<Driver> drivers;
  std::map<uint64_t, QueueRecord> queues;  // by id: in the order they were added
  std::unordered_map<std::string, uint64_t> queueIds;  // by upper-case name
  uint64_t nextQueueId = 1;
  std::map<uintptr_t, PrinterHandle> handles;  // every handle given out, closed ones too
};

Spooler &spooler() {
  static Spooler s;
  return s;
}

bool Nt() { return IsNtFamily(CurrentOs()); }

std::string Text(const char *s) { return s ? s : ""; }

bool Empty(const char *s) { return !s || !*s; }

const char *OwnEnvironment() { return Nt() ? NtEnvironment : W9xEnvironment; }

// The environment a caller names, spelled as the spooler spells it; empty
// when the spooler does not know it. Null or empty means the machine's own.
std::string Environment(const char *env) {
  if (Empty(env)) return OwnEnvironment();
  if (detail::EqualNoCase(env, NtEnvironment)) return NtEnvironment;
  if (detail::EqualNoCase(env, W9xEnvironment)) return W9xEnvironment;
  return "";
}

std::string PrintKey() {
  return Nt() ? "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print" : "HKLM\\System\\CurrentControlSet\\control\\Print";
}

std::string PrintersKey() { return PrintKey() + "\\Printers"; }
std::string QueueKey(const std::string &name) { return PrintersKey() + "\\" + name; }

std::string DriversKey(const std::string &environment) {
  return PrintKey() + "\\Environments\\" + environment + "\\Drivers";
}

std::string DriverKey(const Driver &driver) {
  std::string key = DriversKey(driver.environment) + "\\";
  if (Nt() && driver.environment == NtEnvironment) key += "Version-" + detail::Num(driver.version) + "\\";
  return key + driver.name;
}

const char DevicesKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const char PrinterPortsKey[] = "HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts";

std::vector<std::string> Ports() {
  if (Nt()) return {"LPT1:", "LPT2:", "LPT3:", "COM1:", "COM2:", "FILE:"};
  return {"LPT1", "LPT2", "COM1", "FILE:"};
}

// A port list as a queue carries it: one or more port names, separated by
// commas. Every one must be a port of the machine.
bool PortsKnown(const std::string &list) {
  if (list.empty()) return false;
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    std::string port = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    bool known = false;
    for (const std::string &p : Ports()) known = known || detail::EqualNoCase(p, port);
    if (!known) return false;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::string FirstPort(const std::string &list) { return list.substr(0, list.find(',')); }

bool LocalServer(const char *server) { return Empty(server); }

bool ValidPrinterName(const char *name) {
  if (Empty(name)) return false;
  return !std::strchr(name, ',') && !std::strchr(name, '\\');
}

int DriverIndex(const std::string &name, const std::string &environment) {
  const std::vector<Driver> &drivers = spooler().drivers;
  for (size_t i = 0; i < drivers.size(); ++i) {
    if (detail::EqualNoCase(drivers[i].name, name) && drivers[i].environment == environment) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

QueueRecord *FindQueueById(uint64_t id) {
  auto it = spooler().queues.find(id);
  return it == spooler().queues.end() ? nullptr : &it->second;
}

QueueRecord *FindQueueRecord(const std::string &name) {
  auto it = spooler().queueIds.find(detail::Upper(name));
  return it == spooler().queueIds.end() ? nullptr : FindQueueById(it->second);
}

void RemoveQueueRecord(uint64_t id) {
  auto it = spooler().queues.find(id);
  if (it == spooler().queues.end()) return;
  spooler().queueIds.erase(detail::Upper(it->second.queue.name));
  spooler().queues.erase(it);
}

// Gives a record its queue, a new name included.
void SetQueue(QueueRecord *record, const Queue &queue) {
  spooler().queueIds.erase(detail::Upper(record->queue.name));
  record->queue = queue;
  spooler().queueIds[detail::Upper(queue.name)] = record->id;
}

bool DriverFileFound(const std::string &file) {
  if (file.find('\\') != std::string::npos || file.find(':') != std::string::npos) return FileExists(file);
  std::string dir = DriverDirectory();
  if (FileExists(dir + file) || FileExists(dir + "2\\" + file) || FileExists(dir + "3\\" + file)) return true;
  return !Nt() && FileExists(SystemDirectory() + "\\" + file);
}

// ---- registry mirror

void WriteDriverKey(const Driver &d) {
  std::string key = DriverKey(d);
  CreateKey(key);
  SetString(key, "Driver", d.driverPath);
  SetString(key, "Data File", d.dataFile);
  SetString(key, "Configuration File", d.configFile);
  SetDword(key, "Version", d.version);
  if (d.level >= 3) {
    SetString(key, "Help File", d.helpFile);
    SetMultiString(key, "Dependent Files", d.dependentFiles);
    SetString(key, "Monitor", d.monitorName);
    SetString(key, "Datatype", d.defaultDataType);
  }
}

// A queue's fields and the values of its key that hold them, in the order
// the spooler writes them (after "Name").
struct QueueText {
  const char *value;
  std::string Queue::*field;
};
const QueueText QueueTexts[] = {
    {"Share Name", &Queue::shareName},         {"Port", &Queue::portName},
    {"Printer Driver", &Queue::driverName},    {"Description", &Queue::comment},
    {"Location", &Queue::location},            {"Separator File", &Queue::sepFile},
    {"Print Processor", &Queue::printProcessor}, {"Datatype", &Queue::datatype},
    {"Parameters", &Queue::parameters},
};
struct QueueNumber {
  const char *value;
  DWORD Queue::*field;
};
const QueueNumber QueueNumbers[] = {
    {"Attributes", &Queue::attributes}, {"Priority", &Queue::priority}, {"Default Priority", &Queue::defaultPriority},
    {"StartTime", &Queue::startTime},   {"UntilTime", &Queue::untilTime}, {"Status", &Queue::status},
};

void WriteQueueValues(const Queue &q) {
  std::string key = QueueKey(q.name);
  CreateKey(key);
  SetString(key, "Name", q.name);
  for (const QueueText &t : QueueTexts) SetString(key, t.value, q.*t.field);
  for (const QueueNumber &n : QueueNumbers) SetDword(key, n.value, q.*n.field);
}

void WriteUserEntries(const Queue &q) {
  if (!Nt()) return;
  std::string port = FirstPort(q.portName);
  CreateKey(DevicesKey);
  SetString(DevicesKey, q.name, "winspool," + port);
  CreateKey(PrinterPortsKey);
  SetString(PrinterPortsKey, q.name, "winspool," + port + ",15,45");
}

void RemoveUserEntries(const std::string &name) {
  if (!Nt()) return;
  DeleteValue(DevicesKey, name);
  DeleteValue(PrinterPortsKey, name);
}

void WriteQueueState(const Queue &q) {
  WriteQueueValues(q);
  CreateKey(QueueKey(q.name) + "\\PrinterDriverData");
  WriteUserEntries(q);
}

void RemoveQueueState(const std::string &name) {
  DeleteKeyTree(QueueKey(name));
  RemoveUserEntries(name);
}

void CopyKeyTree(const std::string &from, const std::string &to) {
  CreateKey(to);
  for (const std::string &name : ValueNames(from)) {
    std::optional<sim::Value> v = GetValue(from, name);
    if (v) SetValue(to, name, v->type, v->data);
  }
  for (const std::string &sub : SubkeyNames(from)) CopyKeyTree(from + "\\" + sub, to + "\\" + sub);
}

// ---- records given by callers

std::vector<std::string> SplitMultiString(const char *list) {
  std::vector<std::string> out;
  if (!list) return out;
  for (const char *p = list; *p; p += std::strlen(p) + 1) out.push_back(p);
  return out;
}

QueueRecord &AddQueueRecord(const Queue &queue) {
  QueueRecord record;
  record.id = spooler().nextQueueId++;
  record.queue = queue;
  spooler().queueIds[detail::Upper(queue.name)] = record.id;
  return spooler().queues.emplace(record.id, record).first->second;
}

void StoreDriver(const Driver &driver) {
  int i = DriverIndex(driver.name, driver.environment);
  if (i >= 0) {
    DeleteKeyTree(DriverKey(spooler().drivers[i]));
    spooler().drivers[i] = driver;
  } else {
    spooler().drivers.push_back(driver);
  }
  WriteDriverKey(driver);
}

// Checks the texts of a level-2 record that name other things of the
// spooler, in the order the spooler does; 0 when all are known. A null text
// is refused for a new queue (but for the data type) and leaves the queue's
// own alone otherwise.
DWORD CheckQueueReferences(const PRINTER_INFO_2A &info, bool newQueue) {
  if (info.pDriverName ? DriverIndex(info.pDriverName, OwnEnvironment()) < 0 : newQueue) {
    return ERROR_UNKNOWN_PRINTER_DRIVER;
  }
  if (info.pPrintProcessor ? !detail::EqualNoCase(info.pPrintProcessor, "WinPrint") : newQueue) {
    return ERROR_UNKNOWN_PRINTPROCESSOR;
  }
  if (info.pDatatype && !detail::EqualNoCase(info.pDatatype, "RAW")) return ERROR_INVALID_DATATYPE;
  if (info.pPortName ? !PortsKnown(info.pPortName) : newQueue) return ERROR_UNKNOWN_PORT;
  return 0;
}

uintptr_t HandleValue(HANDLE h) { return reinterpret_cast<uintptr_t>(h); }

HANDLE NewPrinterHandle(const QueueRecord &record, DWORD access) {
  uintptr_t value = detail::NewHandleValue();
  PrinterHandle handle;
  handle.queueId = record.id;
  handle.name = record.queue.name;
  handle.access = access;
  spooler().handles[value] = handle;
  detail::HandleOpened(value, "printer:" + record.queue.name);
  return reinterpret_cast<HANDLE>(value);
}

PrinterHandle *FindHandle(HANDLE h) {
  auto it = spooler().handles.find(HandleValue(h));
  if (it == spooler().handles.end() || !it->second.open) return nullptr;
  return &it->second;
}

// The handle's queue, or the error to answer: ERROR_INVALID_HANDLE for a
// handle that is not open, ERROR_PRINTER_DELETED when its queue is gone.
QueueRecord *HandleQueue(HANDLE h, DWORD *error, PrinterHandle **handle = nullptr) {
  PrinterHandle *ph = FindHandle(h);
  if (!ph) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (handle) *handle = ph;
  QueueRecord *record = FindQueueById(ph->queueId);
  if (!record) *error = ERROR_PRINTER_DELETED;
  return record;
}

}  // namespace

// ---------------------------------------------------------------- machine API

std::vector<Driver> Drivers() { return spooler().drivers; }

std::vector<Queue> Queues() {
  std::vector<Queue> out;
  for (const auto &entry : spooler().queues) out.push_back(entry.second.queue);
  return out;
}

std::optional<Queue> FindQueue(const std::string &name) {
  const QueueRecord *r = FindQueueRecord(name);
  if (!r) return std::nullopt;
  return r->queue;
}

std::optional<Driver> FindDriver(const std::string &name) {
  int i = DriverIndex(name, OwnEnvironment());
  if (i >= 0) return spooler().drivers[i];
  for (const Driver &d : spooler().drivers) {
    if (detail::EqualNoCase(d.name, name)) return d;
  }
  return std::nullopt;
}

void AddQueue(const Queue &queue) {
  QueueRecord *existing = FindQueueRecord(queue.name);
  if (existing) {
    RemoveQueueState(existing->queue.name);
    SetQueue(existing, queue);
  } else {
    AddQueueRecord(queue);
  }
  WriteQueueState(queue);
}

void AddDriver(const Driver &driver) {
  Driver d = driver;
  if (d.environment.empty()) d.environment = OwnEnvironment();
  StoreDriver(d);
}

namespace {

// A value of the key as the spooler reads it: text (REG_SZ or
// REG_EXPAND_SZ, up to its first NUL), a double word, or a list; nullopt
// when missing or of another type.
std::optional<std::string> TextValue(const std::string &key, const char *name) {
  std::optional<Value> v = GetValue(key, name);
  if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
  return v->data.substr(0, v->data.find('\0'));
}

std::optional<DWORD> DwordValue(const std::string &key, const char *name) {
  std::optional<Value> v = GetValue(key, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  DWORD out = 0;
  for (int i = 3; i >= 0; --i) out = (out << 8) | static_cast<unsigned char>(v->data[i]);
  return out;
}

std::vector<std::string> ListValue(const std::string &key, const char *name) {
  std::vector<std::string> out;
  std::optional<Value> v = GetValue(key, name);
  if (!v || v->type != REG_MULTI_SZ) return out;
  size_t pos = 0;
  while (pos < v->data.size()) {
    size_t nul = v->data.find('\0', pos);
    std::string item = v->data.substr(pos, nul == std::string::npos ? std::string::npos : nul - pos);
    if (item.empty()) break;
    out.push_back(item);
    if (nul == std::string::npos) break;
    pos = nul + 1;
  }
  return out;
}

// A printer key as the spooler service lists it when it starts: every field
// it finds; a missing or mistyped one is empty (the print processor
// "WinPrint" and the data type "RAW", as the spooler fills them in).
Queue QueueFromKey(const std::string &key, const std::string &name) {
  Queue q;
  q.name = name;
  q.printProcessor = "WinPrint";
  q.datatype = "RAW";
  for (const QueueText &t : QueueTexts) {
    if (std::optional<std::string> v = TextValue(key, t.value)) q.*t.field = *v;
  }
  for (const QueueNumber &n : QueueNumbers) q.*n.field = DwordValue(key, n.value).value_or(0);
  return q;
}

// A driver key: nullopt, with the reason, when the spooler could not load
// it (it has no driver file to load).
std::optional<Driver> DriverFromKey(const std::string &key, const std::string &name, const std::string &environment,
                                    DWORD version, std::string *why) {
  std::optional<std::string> path = TextValue(key, "Driver");
  if (!path || path->empty()) {
    *why = "no \"Driver\" text value: the spooler loads no driver without its driver file";
    return std::nullopt;
  }
  Driver d;
  d.name = name;
  d.environment = environment;
  d.version = version;
  d.driverPath = *path;
  d.dataFile = TextValue(key, "Data File").value_or("");
  d.configFile = TextValue(key, "Configuration File").value_or("");
  d.helpFile = TextValue(key, "Help File").value_or("");
  d.dependentFiles = ListValue(key, "Dependent Files");
  d.monitorName = TextValue(key, "Monitor").value_or("");
  d.defaultDataType = TextValue(key, "Datatype").value_or("");
  bool level3 = false;
  for (const char *v : {"Help File", "Dependent Files", "Monitor", "Datatype"}) level3 = level3 || GetValue(key, v);
  d.level = level3 ? 3 : 2;
  return d;
}

// "Version-N" -> N.
bool VersionKey(const std::string &name, DWORD *version) {
  const std::string prefix = "VERSION-";
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 ||
      detail::Upper(name.substr(0, prefix.size())) != prefix) {
    return false;
  }
  DWORD v = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    v = v * 10 + static_cast<DWORD>(name[i] - '0');
  }
  *version = v;
  return true;
}

void LoadDriver(const std::string &key, const std::string &name, const std::string &environment, DWORD version,
                std::vector<std::string> *notes) {
  std::string why;
  std::optional<Driver> d = DriverFromKey(key, name, environment, version, &why);
  if (!d) {
    notes->push_back(key + ": " + why);
    return;
  }
  int i = DriverIndex(d->name, d->environment);
  if (i >= 0) {
    spooler().drivers[i] = *d;
  } else {
    spooler().drivers.push_back(*d);
  }
}

}  // namespace

std::vector<std::string> LoadSpoolerFromRegistry() {
  std::vector<std::string> notes;
  // Queues: the keys below the printers key. Names are unique in a key, so
  // only the queues the spooler held before can be met again.
  std::map<std::string, uint64_t> held;  // by upper-case name, the record's id
  for (const auto &entry : spooler().queues) held[detail::Upper(entry.second.queue.name)] = entry.first;
  for (const std::string &name : SubkeyNames(PrintersKey())) {
    std::string key = QueueKey(name);
    if (!ValidPrinterName(name.c_str())) {
      notes.push_back(key + ": a printer name holds no ','");
      continue;
    }
    Queue q = QueueFromKey(key, name);
    auto it = held.find(detail::Upper(name));
    if (it != held.end()) {
      SetQueue(FindQueueById(it->second), q);
    } else {
      AddQueueRecord(q);
    }
  }
  // Drivers: below each environment's "Drivers" key, on NT in a
  // "Version-N" key for the version N.
  std::string environments = PrintKey() + "\\Environments";
  for (const std::string &env : SubkeyNames(environments)) {
    std::string environment = Environment(env.c_str());
    std::string drivers = environments + "\\" + env + "\\Drivers";
    if (environment.empty()) {
      if (!SubkeyNames(drivers).empty()) {
        notes.push_back(environments + "\\" + env + ": the spooler serves the environments \"" + NtEnvironment +
                        "\" and \"" + W9xEnvironment + "\" only");
      }
      continue;
    }
    for (const std::string &sub : SubkeyNames(drivers)) {
      std::string key = drivers + "\\" + sub;
      DWORD version = 0;
      bool versioned = Nt() && environment == NtEnvironment;
      if (!versioned) {
        LoadDriver(key, sub, environment, 0, &notes);
      } else if (!VersionKey(sub, &version)) {
        notes.push_back(key + ": expected a \"Version-N\" key for the drivers of version N");
      } else {
        for (const std::string &name : SubkeyNames(key)) LoadDriver(key + "\\" + name, name, environment, version, &notes);
      }
    }
  }
  return notes;
}

namespace detail {

std::string Printer(HANDLE printer) {
  if (!printer) return "NULL";
  auto it = spooler().handles.find(HandleValue(printer));
  if (it == spooler().handles.end()) return "printer:?" + Num(HandleValue(printer));
  return "printer:" + it->second.name;
}

void ResetSpooler() {
  // The spooler's keys appear with the first driver or queue; a machine
  // that has them before is built by BuildDefaultMachine.
  spooler() = Spooler();
}

}  // namespace detail
}  // namespace sim

// ---------------------------------------------------------------- winspool

using sim::detail::Num;
using sim::detail::Ptr;
using sim::detail::Str;
using sim::detail::Tracer;

extern "C" BOOL WINAPI AddPrinterDriverA(LPSTR pName, DWORD Level, LPBYTE pDriverInfo) {
  Tracer t("AddPrinterDriverA", {Str(pName), Num(Level), Ptr(pDriverInfo)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!sim::SpoolerRunning() || !sim::LocalServer(pName)) return t.Fail(FALSE, RPC_S_SERVER_UNAVAILABLE);
  if (Level != 2 && Level != 3) return t.Fail(FALSE, ERROR_INVALID_LEVEL);
  if (!pDriverInfo) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);

  // Level 2 is the first six fields of level 3.
  DRIVER_INFO_3A info;
  std::memset(&info, 0, sizeof info);
  std::memcpy(&info, pDriverInfo, Level == 3 ? sizeof(DRIVER_INFO_3A) : sizeof(DRIVER_INFO_2A));
  t.AddArg(Str(info.pName));
  if (sim::Empty(info.pName)) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  std::string environment = sim::Environment(info.pEnvironment);
  if (environment.empty()) return t.Fail(FALSE, ERROR_INVALID_ENVIRONMENT);
  if (sim::Empty(info.pDriverPath) || sim::Empty(info.pDataFile) || sim::Empty(info.pConfigFile)) {
    return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  }

  sim::Driver d;
  d.name = info.pName;
  d.environment = environment;
  d.version = info.cVersion;
  d.driverPath = info.pDriverPath;
  d.dataFile = info.pDataFile;
  d.configFile = info.pConfigFile;
  d.helpFile = sim::Text(info.pHelpFile);
  d.dependentFiles = sim::SplitMultiString(info.pDependentFiles);
  d.monitorName = sim::Text(info.pMonitorName);
  d.defaultDataType = sim::Text(info.pDefaultDataType);
  d.level = Level;

  std::vector<std::string> files = {d.driverPath, d.dataFile, d.configFile};
  if (!d.helpFile.empty()) files.push_back(d.helpFile);
  for (const std::string &f : d.dependentFiles) files.push_back(f);
  for (const std::string &f : files) {
    if (!sim::DriverFileFound(f)) return t.Fail(FALSE, ERROR_FILE_NOT_FOUND);
  }

  sim::StoreDriver(d);
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI DeletePrinterDriverA(LPSTR pName, LPSTR pEnvironment, LPSTR pDriverName) {
  Tracer t("DeletePrinterDriverA", {Str(pName), Str(pEnvironment), Str(pDriverName)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!sim::SpoolerRunning() || !sim::LocalServer(pName)) return t.Fail(FALSE, RPC_S_SERVER_UNAVAILABLE);
  std::string environment = sim::Environment(pEnvironment);
  if (environment.empty()) return t.Fail(FALSE, ERROR_INVALID_ENVIRONMENT);
  if (sim::Empty(pDriverName)) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  int i = sim::DriverIndex(pDriverName, environment);
  if (i < 0) return t.Fail(FALSE, ERROR_UNKNOWN_PRINTER_DRIVER);
  if (environment == sim::OwnEnvironment()) {
    for (const auto &entry : sim::spooler().queues) {
      if (sim::detail::EqualNoCase(entry.second.queue.driverName, pDriverName)) {
        return t.Fail(FALSE, ERROR_PRINTER_DRIVER_IN_USE);
      }
    }
  }
  std::string key = sim::DriverKey(sim::spooler().drivers[i]);
  sim::spooler().drivers.erase(sim::spooler().drivers.begin() + i);
  sim::DeleteKeyTree(key);
  return t.Ok(TRUE);
}

extern "C" HANDLE WINAPI AddPrinterA(LPSTR pName, DWORD Level, LPBYTE pPrinter) {
  Tracer t("AddPrinterA", {Str(pName), Num(Level), Ptr(pPrinter)});
  HANDLE none = nullptr;
  DWORD err;
  if (t.Injected(&err)) return t.Fail(none, err);
  if (!sim::SpoolerRunning() || !sim::LocalServer(pName)) return t.Fail(none, RPC_S_SERVER_UNAVAILABLE);
  if (Level != 2) return t.Fail(none, ERROR_INVALID_LEVEL);
  if (!pPrinter) return t.Fail(none, ERROR_INVALID_PARAMETER);
  PRINTER_INFO_2A info;
  std::memcpy(&info, pPrinter, sizeof info);
  t.AddArg(Str(info.pPrinterName));

  if (!sim::ValidPrinterName(info.pPrinterName)) return t.Fail(none, ERROR_INVALID_PRINTER_NAME);
  if (sim::FindQueueRecord(info.pPrinterName)) return t.Fail(none, ERROR_PRINTER_ALREADY_EXISTS);
  DWORD bad = sim::CheckQueueReferences(info, true);
  if (bad) return t.Fail(none, bad);

  sim::Queue q;
  q.name = info.pPrinterName;
  q.shareName = sim::Text(info.pShareName);
  q.portName = info.pPortName;
  q.driverName = info.pDriverName;
  q.comment = sim::Text(info.pComment);
  q.location = sim::Text(info.pLocation);
  q.sepFile = sim::Text(info.pSepFile);
  q.printProcessor = info.pPrintProcessor;
  q.datatype = info.pDatatype ? info.pDatatype : "RAW";
  q.parameters = sim::Text(info.pParameters);
  q.attributes = info.Attributes;
  q.priority = info.Priority;
  q.defaultPriority = info.DefaultPriority;
  q.startTime = info.StartTime;
  q.untilTime = info.UntilTime;
  q.status = 0;
  const sim::QueueRecord &record = sim::AddQueueRecord(q);
  sim::WriteQueueState(q);
  HANDLE h = sim::NewPrinterHandle(record, PRINTER_ALL_ACCESS);
  t.Describe("printer:" + q.name);
  return h;
}

namespace {
// The printer defaults as the trace shows them: what the caller asked for.
std::string DefaultsText(const PRINTER_DEFAULTSA *defaults) {
  if (!defaults) return "NULL";
  return "{" + Str(defaults->pDatatype) + ", " + Ptr(defaults->pDevMode) + ", " +
         sim::detail::Hex(defaults->DesiredAccess) + "}";
}
}  // namespace

extern "C" BOOL WINAPI OpenPrinterA(LPSTR pPrinterName, HANDLE *phPrinter, LPPRINTER_DEFAULTSA pDefault) {
  Tracer t("OpenPrinterA", {Str(pPrinterName), Ptr(phPrinter), DefaultsText(pDefault)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!sim::SpoolerRunning()) return t.Fail(FALSE, RPC_S_SERVER_UNAVAILABLE);
  if (!phPrinter) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  *phPrinter = nullptr;
  sim::QueueRecord *record = sim::Empty(pPrinterName) ? nullptr : sim::FindQueueRecord(pPrinterName);
  if (!record) return t.Fail(FALSE, ERROR_INVALID_PRINTER_NAME);
  DWORD access = PRINTER_ACCESS_USE;
  if (pDefault) {
    if (pDefault->pDatatype && !sim::detail::EqualNoCase(pDefault->pDatatype, "RAW")) {
      return t.Fail(FALSE, ERROR_INVALID_DATATYPE);
    }
    if (pDefault->DesiredAccess & MAXIMUM_ALLOWED) {
      access = PRINTER_ALL_ACCESS;
    } else if (pDefault->DesiredAccess) {
      access = pDefault->DesiredAccess;
    }
  }
  *phPrinter = sim::NewPrinterHandle(*record, access);
  t.AddArg(sim::detail::Printer(*phPrinter));
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
  Tracer t("DeletePrinter", {sim::detail::Printer(hPrinter)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!sim::SpoolerRunning()) return t.Fail(FALSE, RPC_S_SERVER_UNAVAILABLE);
  sim::PrinterHandle *handle = nullptr;
  sim::QueueRecord *record = sim::HandleQueue(hPrinter, &err, &handle);
  if (!record) return t.Fail(FALSE, err);
  if (sim::Nt() && !(handle->access & DELETE)) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  std::string name = record->queue.name;
  sim::RemoveQueueRecord(record->id);
  sim::RemoveQueueState(name);
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
  Tracer t("ClosePrinter", {sim::detail::Printer(hPrinter)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!sim::SpoolerRunning()) return t.Fail(FALSE, RPC_S_SERVER_UNAVAILABLE);
  sim::PrinterHandle *handle = sim::FindHandle(hPrinter);
  if (!handle) return t.Fail(FALSE, ERROR_INVALID_HANDLE);
  handle->open = false;
  sim::detail::HandleClosed(sim::HandleValue(hPrinter));
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI GetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
  Tracer t("GetPrinterA", {sim::detail::Printer(hPrinter), Num(Level), Ptr(pPrinter), Num(cbBuf), Ptr(pcbNeeded)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!sim::SpoolerRunning()) return t.Fail(FALSE, RPC_S_SERVER_UNAVAILABLE);
  sim::QueueRecord *record = sim::HandleQueue(hPrinter, &err);
  if (!record) return t.Fail(FALSE, err);
  if (Level != 2) return t.Fail(FALSE, ERROR_INVALID_LEVEL);
  if (!pcbNeeded) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);

  const sim::Queue &q = record->queue;
  const std::string *texts[] = {&q.name,     &q.shareName, &q.portName,       &q.driverName, &q.comment,
                                &q.location, &q.sepFile,   &q.printProcessor, &q.datatype,   &q.parameters};
  DWORD needed = sizeof(PRINTER_INFO_2A);
  for (const std::string *s : texts) needed += static_cast<DWORD>(s->size() + 1);
  *pcbNeeded = needed;
  t.AddArg("needed=" + Num(needed));
  if (cbBuf < needed) return t.Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
  if (!pPrinter) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);

  LPSTR places[10];
  char *next = reinterpret_cast<char *>(pPrinter) + sizeof(PRINTER_INFO_2A);
  for (size_t i = 0; i < 10; ++i) {
    std::memcpy(next, texts[i]->c_str(), texts[i]->size() + 1);
    places[i] = next;
    next += texts[i]->size() + 1;
  }
  PRINTER_INFO_2A info;
  std::memset(&info, 0, sizeof info);
  info.pServerName = nullptr;
  info.pPrinterName = places[0];
  info.pShareName = places[1];
  info.pPortName = places[2];
  info.pDriverName = places[3];
  info.pComment = places[4];
  info.pLocation = places[5];
  info.pDevMode = nullptr;
  info.pSepFile = places[6];
  info.pPrintProcessor = places[7];
  info.pDatatype = places[8];
  info.pParameters = places[9];
  info.pSecurityDescriptor = nullptr;
  info.Attributes = q.attributes;
  info.Priority = q.priority;
  info.DefaultPriority = q.defaultPriority;
  info.StartTime = q.startTime;
  info.UntilTime = q.untilTime;
  info.Status = q.status;
  info.cJobs = 0;
  info.AveragePPM = 0;
  std::memcpy(pPrinter, &info, sizeof info);
  return t.Ok(TRUE);
}

extern "C" BOOL WINAPI SetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
  Tracer t("SetPrinterA", {sim::detail::Printer(hPrinter), Num(Level), Ptr(pPrinter), Num(Command)});
  DWORD err;
  if (t.Injected(&err)) return t.Fail(FALSE, err);
  if (!sim::SpoolerRunning()) return t.Fail(FALSE, RPC_S_SERVER_UNAVAILABLE);
  sim::PrinterHandle *handle = nullptr;
  sim::QueueRecord *record = sim::HandleQueue(hPrinter, &err, &handle);
  if (!record) return t.Fail(FALSE, err);
  if (sim::Nt() && !(handle->access & PRINTER_ACCESS_ADMINISTER)) return t.Fail(FALSE, ERROR_ACCESS_DENIED);
  if (Command > PRINTER_CONTROL_SET_STATUS) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  if (Level != 0 && Level != 2) return t.Fail(FALSE, ERROR_INVALID_LEVEL);
  if (Level == 0 && Command == 0) return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  if (!pPrinter && (Level == 2 || Command == PRINTER_CONTROL_SET_STATUS)) {
    return t.Fail(FALSE, ERROR_INVALID_PARAMETER);
  }

  sim::Queue q = record->queue;
  DWORD status = q.status;
  if (Level == 2) {
    PRINTER_INFO_2A info;
    std::memcpy(&info, pPrinter, sizeof info);
    if (info.pPrinterName) {
      if (!sim::ValidPrinterName(info.pPrinterName)) return t.Fail(FALSE, ERROR_INVALID_PRINTER_NAME);
      const sim::QueueRecord *other = sim::FindQueueRecord(info.pPrinterName);
      if (other && other->id != record->id) return t.Fail(FALSE, ERROR_PRINTER_ALREADY_EXISTS);
    }
    DWORD bad = sim::CheckQueueReferences(info, false);
    if (bad) return t.Fail(FALSE, bad);
    if (info.pPrinterName) q.name = info.pPrinterName;
    if (info.pShareName) q.shareName = info.pShareName;
    if (info.pPortName) q.portName = info.pPortName;
    if (info.pDriverName) q.driverName = info.pDriverName;
    if (info.pComment) q.comment = info.pComment;
    if (info.pLocation) q.location = info.pLocation;
    if (info.pSepFile) q.sepFile = info.pSepFile;
    if (info.pPrintProcessor) q.printProcessor = info.pPrintProcessor;
    if (info.pDatatype) q.datatype = info.pDatatype;
    if (info.pParameters) q.parameters = info.pParameters;
    q.attributes = info.Attributes;
    q.priority = info.Priority;
    q.defaultPriority = info.DefaultPriority;
    q.startTime = info.StartTime;
    q.untilTime = info.UntilTime;
    if (Command == PRINTER_CONTROL_SET_STATUS) status = info.Status;
  } else if (Command == PRINTER_CONTROL_SET_STATUS) {
    std::memcpy(&status, pPrinter, sizeof status);
  }
  if (Command == sim::ControlPause) status |= sim::PrinterStatusPaused;
  if (Command == sim::ControlResume) status &= ~sim::PrinterStatusPaused;
  // PRINTER_CONTROL_PURGE: no jobs are ever queued.
  q.status = status;

  std::string oldName = record->queue.name;
  if (q.name != oldName) {
    std::string from = sim::QueueKey(oldName);
    std::string to = sim::QueueKey(q.name);
    if (sim::KeyExists(from)) {
      sim::CopyKeyTree(from, to + ".renaming");
      sim::DeleteKeyTree(from);
      sim::CopyKeyTree(to + ".renaming", to);
      sim::DeleteKeyTree(to + ".renaming");
    }
    sim::RemoveUserEntries(oldName);
    for (auto &entry : sim::spooler().handles) {
      if (entry.second.queueId != record->id) continue;
      entry.second.name = q.name;
      if (entry.second.open) sim::detail::HandleOpened(entry.first, "printer:" + q.name);
    }
  }
  sim::SetQueue(record, q);
  sim::WriteQueueValues(q);
  sim::WriteUserEntries(q);
  return t.Ok(TRUE);
}
