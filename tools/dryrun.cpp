#include "dryrun.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "ascii.h"
#include "regfile.h"
#include "report.h"
#include "sim.h"

namespace {

const char kUsage[] =
    "usage: nrvdry [options] [install|uninstall|clean-pnp ...]\n"
    "Runs exports of the setup library on a simulated machine, in one load of the library,\n"
    "and reports what each step changed, then the net change of the whole sequence\n"
    "(default sequence: install uninstall).\n"
    "  --os NAME               nt40, win2000, winxp (default), win95, win98 or winme\n"
    "  --machine FILE.reg      seed the registry, and the spooler's queues and drivers, from a\n"
    "                          registry editor export\n"
    "  --bare                  start from an empty machine instead of the default one\n"
    "  --files DIR             put the files of a host folder into the driver directory\n"
    "  --lock FILE             make a driver file in use (a bare name: the version directory's)\n"
    "  --spooler-stuck stop|start   the spooler never finishes stopping or starting\n"
    "  --fail CALL[#N][=ERR]   fail the N-th call (default 1) of a Windows function\n"
    "  --trace                 list every Windows call with its arguments and result\n"
    "  --reg-format regedit4|version5   the .reg files' format (default: REGEDIT4, single-byte,\n"
    "                          for nt40, win95, win98 and winme, whose registry editors read\n"
    "                          nothing else; Version 5.00, UTF-16LE, for win2000 and winxp)\n"
    "  --out DIR               also write the report to files in DIR: each step's parts in\n"
    "                          N-STEP/ (1-install/registry.reg ...), the net ones in DIR\n"
    "  --version               the version of the setup libraries and of this tool\n"
    "  --help                  this text\n";

const char kOptions[] =
    "--os, --machine, --bare, --files, --lock, --spooler-stuck, --fail, --trace, --reg-format, --out, --version, --help";
const char kWords[] = "install, uninstall, clean-pnp";

#define NRV_ERR(e) {#e, e}
const std::pair<const char *, DWORD> kErrors[] = {
    NRV_ERR(ERROR_INVALID_FUNCTION),
    NRV_ERR(ERROR_FILE_NOT_FOUND),
    NRV_ERR(ERROR_PATH_NOT_FOUND),
    NRV_ERR(ERROR_ACCESS_DENIED),
    NRV_ERR(ERROR_INVALID_HANDLE),
    NRV_ERR(ERROR_NOT_ENOUGH_MEMORY),
    NRV_ERR(ERROR_WRITE_PROTECT),
    NRV_ERR(ERROR_SHARING_VIOLATION),
    NRV_ERR(ERROR_FILE_EXISTS),
    NRV_ERR(ERROR_INVALID_PARAMETER),
    NRV_ERR(ERROR_CALL_NOT_IMPLEMENTED),
    NRV_ERR(ERROR_INSUFFICIENT_BUFFER),
    NRV_ERR(ERROR_INVALID_NAME),
    NRV_ERR(ERROR_INVALID_LEVEL),
    NRV_ERR(ERROR_ALREADY_EXISTS),
    NRV_ERR(ERROR_FILENAME_EXCED_RANGE),
    NRV_ERR(ERROR_MORE_DATA),
    NRV_ERR(ERROR_NO_MORE_ITEMS),
    NRV_ERR(ERROR_BADKEY),
    NRV_ERR(ERROR_CANTOPEN),
    NRV_ERR(ERROR_CANTREAD),
    NRV_ERR(ERROR_CANTWRITE),
    NRV_ERR(ERROR_KEY_DELETED),
    NRV_ERR(ERROR_DEPENDENT_SERVICES_RUNNING),
    NRV_ERR(ERROR_INVALID_SERVICE_CONTROL),
    NRV_ERR(ERROR_SERVICE_REQUEST_TIMEOUT),
    NRV_ERR(ERROR_SERVICE_ALREADY_RUNNING),
    NRV_ERR(ERROR_SERVICE_DISABLED),
    NRV_ERR(ERROR_SERVICE_DOES_NOT_EXIST),
    NRV_ERR(ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
    NRV_ERR(ERROR_SERVICE_NOT_ACTIVE),
    NRV_ERR(ERROR_DATABASE_DOES_NOT_EXIST),
    NRV_ERR(ERROR_TIMEOUT),
    NRV_ERR(RPC_S_SERVER_UNAVAILABLE),
    NRV_ERR(ERROR_UNKNOWN_PORT),
    NRV_ERR(ERROR_UNKNOWN_PRINTER_DRIVER),
    NRV_ERR(ERROR_UNKNOWN_PRINTPROCESSOR),
    NRV_ERR(ERROR_INVALID_PRINTER_NAME),
    NRV_ERR(ERROR_PRINTER_ALREADY_EXISTS),
    NRV_ERR(ERROR_INVALID_DATATYPE),
    NRV_ERR(ERROR_INVALID_ENVIRONMENT),
    NRV_ERR(ERROR_PRINTER_DRIVER_IN_USE),
};
#undef NRV_ERR

// The Windows functions a fault can be put on, each with the error Windows
// most often gives for it.
const std::pair<const char *, DWORD> kFailable[] = {
    {"RegOpenKeyA", ERROR_ACCESS_DENIED},
    {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
    {"RegCreateKeyA", ERROR_ACCESS_DENIED},
    {"RegQueryValueExA", ERROR_ACCESS_DENIED},
    {"RegQueryInfoKeyA", ERROR_ACCESS_DENIED},
    {"RegEnumKeyA", ERROR_ACCESS_DENIED},
    {"RegEnumValueA", ERROR_ACCESS_DENIED},
    {"RegSetValueExA", ERROR_ACCESS_DENIED},
    {"RegDeleteKeyA", ERROR_ACCESS_DENIED},
    {"RegDeleteValueA", ERROR_ACCESS_DENIED},
    {"RegCloseKey", ERROR_INVALID_HANDLE},
    {"OpenSCManagerA", ERROR_ACCESS_DENIED},
    {"OpenServiceA", ERROR_ACCESS_DENIED},
    {"ControlService", ERROR_ACCESS_DENIED},
    {"QueryServiceStatus", ERROR_ACCESS_DENIED},
    {"StartServiceA", ERROR_ACCESS_DENIED},
    {"CloseServiceHandle", ERROR_INVALID_HANDLE},
    {"AddPrinterDriverA", ERROR_ACCESS_DENIED},
    {"DeletePrinterDriverA", ERROR_ACCESS_DENIED},
    {"AddPrinterA", ERROR_ACCESS_DENIED},
    {"OpenPrinterA", ERROR_INVALID_PRINTER_NAME},
    {"DeletePrinter", ERROR_ACCESS_DENIED},
    {"ClosePrinter", ERROR_INVALID_HANDLE},
    {"GetPrinterA", ERROR_ACCESS_DENIED},
    {"SetPrinterA", ERROR_ACCESS_DENIED},
    {"GetVersionExA", ERROR_INSUFFICIENT_BUFFER},
    {"GetWindowsDirectoryA", ERROR_NOT_ENOUGH_MEMORY},
    {"GetSystemDirectoryA", ERROR_NOT_ENOUGH_MEMORY},
    {"DeleteFileA", ERROR_ACCESS_DENIED},
    {"CopyFileA", ERROR_ACCESS_DENIED},
    {"CreateDirectoryA", ERROR_ACCESS_DENIED},
    {"MoveFileExA", ERROR_ACCESS_DENIED},
    {"SearchPathA", ERROR_FILE_NOT_FOUND},
    {"WinExec", ERROR_FILE_NOT_FOUND},
    {"MessageBoxA", ERROR_NOT_ENOUGH_MEMORY},
    {"SendMessageTimeoutA", ERROR_TIMEOUT},
};

struct Fault {
  std::string call;
  int occurrence = 1;
  DWORD error = 0;
};

struct Options {
  sim::Os os = sim::Os::WinXP;
  std::vector<std::string> machines;
  bool bare = false;
  std::string filesDir;
  std::vector<std::string> locks;
  bool stuckStopping = false, stuckStarting = false;
  std::vector<Fault> faults;
  bool trace = false;
  std::optional<regfile::Format> regFormat;  // as the system's registry editor reads when not given
  std::string outDir;
  std::vector<std::string> sequence;
  bool help = false;
  bool version = false;
};

// The names of kFailable or kErrors, separated by commas.
template <size_t N>
std::string NamesOf(const std::pair<const char *, DWORD> (&list)[N]) {
  std::string out;
  for (const auto &entry : list) out += std::string(out.empty() ? "" : ", ") + entry.first;
  return out;
}

bool ParsePositive(const std::string &s, long *value) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  *value = std::strtol(s.c_str(), nullptr, 10);
  return *value > 0;
}

// "CALL", "CALL#N", "CALL=ERR", "CALL#N=ERR"; ERR a name from kErrors or a
// number (decimal or 0x hex).
bool ParseFault(const std::string &faultText, Fault *fault, std::string *message) {
  std::string rest = faultText;
  std::string errText;
  size_t eq = rest.find('=');
  if (eq != std::string::npos) {
    errText = rest.substr(eq + 1);
    rest = rest.substr(0, eq);
  }
  size_t hash = rest.find('#');
  if (hash != std::string::npos) {
    long n = 0;
    if (!ParsePositive(rest.substr(hash + 1), &n)) {
      *message = "expected a call number of 1 or more after '#' in --fail " + faultText;
      return false;
    }
    fault->occurrence = static_cast<int>(n);
    rest = rest.substr(0, hash);
  }
  bool known = false;
  for (const auto &f : kFailable) {
    if (rest == f.first) {
      known = true;
      fault->error = f.second;
    }
  }
  if (!known) {
    *message = "unknown Windows function \"" + rest + "\" in --fail; accepted: " + NamesOf(kFailable);
    return false;
  }
  fault->call = rest;
  if (eq == std::string::npos) return true;
  for (const auto &e : kErrors) {
    if (ascii::Upper(errText) == e.first) {
      fault->error = e.second;
      return true;
    }
  }
  char *end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(errText.c_str(), &end, 0);
  if (!errText.empty() && errText[0] != '-' && *end == '\0' && errno == 0 && v <= 0xFFFFFFFFul) {
    fault->error = static_cast<DWORD>(v);
    return true;
  }
  *message = "unknown error \"" + errText + "\" in --fail; expected a number or one of: " + NamesOf(kErrors);
  return false;
}

bool ParseOptions(const std::vector<std::string> &args, Options *o, std::string *message) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::string value;
    bool hasValue = false;
    if (a.rfind("--", 0) == 0) {
      size_t eq = a.find('=');
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
        hasValue = true;
      }
    }
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        *message = "expected a value after " + a;
        return false;
      }
      value = args[++i];
      return true;
    };
    auto noValue = [&]() -> bool {
      if (!hasValue) return true;
      *message = a + " takes no value";
      return false;
    };
    if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--version") {
      if (!noValue()) return false;
      o->version = true;
    } else if (a == "--os") {
      if (!takeValue()) return false;
      std::optional<sim::Os> os = sim::OsFromName(value);
      if (!os) {
        *message = "unknown system \"" + value + "\" for --os; accepted: nt40, win2000, winxp, win95, win98, winme";
        return false;
      }
      o->os = *os;
    } else if (a == "--machine") {
      if (!takeValue()) return false;
      o->machines.push_back(value);
    } else if (a == "--bare") {
      if (!noValue()) return false;
      o->bare = true;
    } else if (a == "--files") {
      if (!takeValue()) return false;
      o->filesDir = value;
    } else if (a == "--lock") {
      if (!takeValue()) return false;
      o->locks.push_back(value);
    } else if (a == "--spooler-stuck") {
      if (!takeValue()) return false;
      if (value == "stop") {
        o->stuckStopping = true;
      } else if (value == "start") {
        o->stuckStarting = true;
      } else {
        *message = "unknown value \"" + value + "\" for --spooler-stuck; accepted: stop, start";
        return false;
      }
    } else if (a == "--fail") {
      if (!takeValue()) return false;
      Fault f;
      if (!ParseFault(value, &f, message)) return false;
      o->faults.push_back(f);
    } else if (a == "--trace") {
      if (!noValue()) return false;
      o->trace = true;
    } else if (a == "--reg-format") {
      if (!takeValue()) return false;
      if (value == "regedit4") {
        o->regFormat = regfile::Format::Regedit4;
      } else if (value == "version5") {
        o->regFormat = regfile::Format::Version5;
      } else {
        *message = "unknown value \"" + value + "\" for --reg-format; accepted: regedit4, version5";
        return false;
      }
    } else if (a == "--out") {
      if (!takeValue()) return false;
      o->outDir = value;
    } else if (!a.empty() && a[0] == '-') {
      *message = "unknown option \"" + args[i] + "\"; accepted: " + kOptions;
      return false;
    } else if (a == "install" || a == "uninstall" || a == "clean-pnp") {
      o->sequence.push_back(a);
    } else {
      *message = "unknown step \"" + a + "\"; accepted: " + kWords;
      return false;
    }
  }
  if (o->sequence.empty()) o->sequence = {"install", "uninstall"};
  if (!o->regFormat) {
    bool unicodeEditor = o->os == sim::Os::Win2000 || o->os == sim::Os::WinXP;
    o->regFormat = unicodeEditor ? regfile::Format::Version5 : regfile::Format::Regedit4;
  }
  bool nt = sim::IsNtFamily(o->os);
  for (const std::string &w : o->sequence) {
    if (w == "clean-pnp" && nt) {
      *message = std::string("clean-pnp is an export of the 9x library only; with --os ") + sim::OsName(o->os) +
                 " accepted: install, uninstall";
      return false;
    }
  }
  if ((o->stuckStopping || o->stuckStarting) && !nt) {
    *message = std::string("--spooler-stuck needs a system of the NT family; ") + sim::OsName(o->os) +
               " has no spooler service";
    return false;
  }
  return true;
}

// The whole file, read in blocks into a string made its size at once (a
// pipe's grows as it comes).
bool ReadHostFile(const std::string &path, std::string *content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content->clear();
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) {
    std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec) content->reserve(static_cast<size_t>(size));
  }
  std::vector<char> block(1 << 16);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    content->append(block.data(), static_cast<size_t>(in.gcount()));
  }
  return !in.bad();
}

// A library module loaded afresh for the run and unloaded after it.
class Module {
 public:
  explicit Module(const std::string &path) : path_(path) {}
  ~Module() {
    if (handle_) dlclose(handle_);
  }
  Module(const Module &) = delete;
  Module &operator=(const Module &) = delete;

  bool Open(std::string *message) {
    // A module still mapped would keep the flags of an earlier load.
    if (void *stale = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      dlclose(stale);
      *message = "the library is still loaded from an earlier run: " + path_;
      return false;
    }
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      const char *why = dlerror();
      *message = std::string("cannot load ") + path_ + ": " + (why ? why : "unknown reason");
      return false;
    }
    return true;
  }

  void *Symbol(const char *name) const { return dlsym(handle_, name); }

  bool Close(std::string *message) {
    if (!handle_) return true;
    dlclose(handle_);
    handle_ = nullptr;
    if (void *still = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      dlclose(still);
      *message = "the library did not unload: " + path_;
      return false;
    }
    return true;
  }

 private:
  std::string path_;
  void *handle_ = nullptr;
};

typedef int ExportFn(DWORD, DWORD, DWORD);
typedef void CleanFn(void);

std::string ErrorName(DWORD error) {
  for (const auto &e : kErrors) {
    if (e.second == error) return std::string(" (") + e.first + ")";
  }
  return "";
}

bool IsBareName(const std::string &name) { return name.find('\\') == std::string::npos && name.find(':') == std::string::npos; }

bool WriteHostFile(const std::filesystem::path &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
  f.close();
  return static_cast<bool>(f);
}

}  // namespace

int RunDryRun(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  Options o;
  std::string message;
  if (!ParseOptions(args, &o, &message)) {
    err << "nrvdry: " << message << "\n" << kUsage;
    return 2;
  }
  if (o.help) {
    out << kUsage;
    return 0;
  }
  if (o.version) {
    out << "nrvdry " << NRV_VERSION << "\n";
    return 0;
  }

  // All input is read and checked before the machine is touched.
  // A machine's export is checked whole here and read again as it is
  // carried out, so that only its text is held, never a list of entries.
  std::vector<std::pair<std::string, std::string>> machines;  // path, text
  for (const std::string &path : o.machines) {
    std::string text;
    regfile::Error error;
    {
      std::string bytes;
      if (!ReadHostFile(path, &bytes)) {
        err << "nrvdry: " << path << ": cannot read the file: " << std::strerror(errno) << "\n";
        return 2;
      }
      if (!regfile::Decode(bytes, &text, &error)) {
        err << "nrvdry: " << path << ":" << error.line << ": " << error.message << "\n";
        return 2;
      }
    }
    regfile::Format format;
    if (!regfile::ReadText(text, [](regfile::Op &, regfile::Error *) { return true; }, &format, &error)) {
      err << "nrvdry: " << path << ":" << error.line << ": " << error.message << "\n";
      return 2;
    }
    machines.push_back({path, std::move(text)});
  }
  std::vector<std::pair<std::string, std::string>> seedFiles;
  if (!o.filesDir.empty()) {
    std::error_code ec;
    std::filesystem::directory_iterator it(o.filesDir, ec);
    if (ec) {
      err << "nrvdry: " << o.filesDir << ": cannot read the folder: " << ec.message() << "\n";
      return 2;
    }
    for (const auto &entry : it) {
      if (!entry.is_regular_file()) continue;
      std::string content;
      if (!ReadHostFile(entry.path().string(), &content)) {
        err << "nrvdry: " << entry.path().string() << ": cannot read the file\n";
        return 2;
      }
      seedFiles.push_back({entry.path().filename().string(), content});
    }
  }

  bool nt = sim::IsNtFamily(o.os);
  std::string modulePath = nt ? NRVPNP_MODULE : NRVKSYS_MODULE;
  std::vector<std::string> lockPaths;
  std::vector<std::string> unlisted;  // keys the spooler could not list
  try {
    if (o.bare) {
      sim::Reset(o.os);
    } else {
      sim::BuildDefaultMachine(o.os);
    }
    for (auto &m : machines) {
      regfile::Error error;
      if (!regfile::ApplyText(m.second, &error)) {
        err << "nrvdry: " << m.first << ":" << error.line << ": " << error.message << "\n";
        return 2;
      }
      std::string().swap(m.second);
    }
    // The spooler starts on the machine as exported: it holds the queues
    // and drivers the export describes.
    if (!machines.empty()) unlisted = sim::LoadSpoolerFromRegistry();
    for (const auto &f : seedFiles) sim::WriteFile(sim::DriverDirectory() + f.first, f.second);
    for (const std::string &lock : o.locks) {
      std::string path = lock;
      if (IsBareName(lock)) {
        path = sim::VersionDirectory() + lock;
        if (!sim::FileExists(path)) {
          // As an earlier install would have left it.
          sim::WriteFile(path, sim::ReadFile(sim::DriverDirectory() + lock)
                                   .value_or(lock + ", as an earlier install left it\n"));
        }
      } else if (!sim::FileExists(path)) {
        err << "nrvdry: --lock " << lock << ": no such file on the machine\n";
        return 2;
      }
      sim::SetFileInUse(path, true);
      lockPaths.push_back(path);
    }
    if (o.stuckStopping || o.stuckStarting) {
      sim::SpoolerScript script;
      script.stuckStopping = o.stuckStopping;
      script.stuckStarting = o.stuckStarting;
      sim::SetSpooler(script);
    }
  } catch (const std::exception &e) {
    err << "nrvdry: the simulated machine could not be set up: " << e.what() << "\n";
    return 1;
  }

  std::vector<std::string> folders = report::WatchedFolders(lockPaths);
  report::Snapshot before = report::Take(folders);

  std::string sequence;  // " install uninstall"
  for (const std::string &w : o.sequence) sequence += " " + w;
  std::string title = std::string("nrvdry: ") + sim::OsName(o.os) + ", library " +
                      std::filesystem::path(modulePath).filename().string() + ", " +
                      (o.bare ? "bare machine" : "default machine");
  for (const std::string &m : o.machines) title += " + " + m;
  title += "\nSequence:" + sequence + "\n";
  for (const std::string &u : unlisted) title += "Left in the registry only: " + ascii::Visible(u) + "\n";
  for (const Fault &f : o.faults) {
    title += "Fault: call " + std::to_string(f.occurrence) + " of " + f.call + " fails with error " +
             std::to_string(f.error) + ErrorName(f.error) + "\n";
  }
  for (const std::string &p : lockPaths) title += "In use: " + p + "\n";
  if (o.stuckStopping) title += "The spooler never finishes stopping\n";
  if (o.stuckStarting) title += "The spooler never finishes starting\n";

  // Each step is told on its own, between the snapshots before and after
  // it, and the whole run once more as its net change.
  struct Step {
    std::string word, result;
    report::Snapshot after;
  };
  std::vector<Step> steps;
  {
    Module module(modulePath);
    if (!module.Open(&message)) {
      err << "nrvdry: " << message << "\n";
      return 1;
    }
    for (const Fault &f : o.faults) sim::FailCall(f.call, f.occurrence, f.error);
    try {
      for (const std::string &w : o.sequence) {
        Step step;
        step.word = w;
        if (w == "clean-pnp") {
          CleanFn *fn = reinterpret_cast<CleanFn *>(module.Symbol("CleanPnpKeys"));
          if (!fn) throw std::runtime_error("the library has no export CleanPnpKeys");
          fn();
          step.result = "CleanPnpKeys returned\n";
        } else {
          const char *name = w == "install" ? "CreatePrinter" : "UninstallPrinter";
          ExportFn *fn = reinterpret_cast<ExportFn *>(module.Symbol(name));
          if (!fn) throw std::runtime_error(std::string("the library has no export ") + name);
          int rc = fn(0, 0, 0);
          step.result = std::string(name) + " returned " + std::to_string(rc) + "\n";
        }
        step.after = report::Take(folders);
        steps.push_back(std::move(step));
      }
    } catch (const std::exception &e) {
      sim::ClearFaults();
      err << "nrvdry: the run stopped: " << e.what() << "\n";
      return 1;
    }
    sim::ClearFaults();
    if (!module.Close(&message)) {
      err << "nrvdry: " << message << "\n";
      return 1;
    }
  }
  // Whatever the unload did belongs to the last step.
  steps.back().after = report::Take(folders);

  struct Written {
    std::string folder;  // "" for the run's own files
    std::vector<std::pair<const char *, std::string>> files;
  };
  std::vector<Written> written;
  std::string full = title;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step &step = steps[i];
    const report::Snapshot &from = i == 0 ? before : steps[i - 1].after;
    report::Parts parts = report::Describe(from, step.after, o.trace, before.calls, *o.regFormat);
    std::string text = report::Combine(
        "\n=== Step " + std::to_string(i + 1) + ": " + step.word + "\n" + step.result, parts);
    full += text;
    Written w{std::to_string(i + 1) + "-" + step.word,
              {
                  {"registry.reg", regfile::ForRegistryEditor(parts.registryForEditor)},
                  {"spooler.txt", parts.spooler},
                  {"files.txt", parts.files},
                  {"messages.txt", parts.messages},
                  {"processes.txt", parts.processes},
                  {"time.txt", parts.time},
                  {"report.txt", text.substr(1)},
              }};
    if (o.trace) w.files.push_back({"trace.txt", parts.trace});
    written.push_back(std::move(w));
  }
  std::string results;
  for (const Step &step : steps) results += step.result;
  report::Net net = report::Summarize(before, steps.back().after, *o.regFormat);
  full += report::Combine("\n=== Net change of the sequence:" + sequence + "\n" + results, net);
  out << full;
  // The run's own files first: a folder that cannot be made is named as given.
  Written whole{"",
                {
                    {"registry.reg", regfile::ForRegistryEditor(net.registryForEditor)},
                    {"spooler.txt", net.spooler},
                    {"files.txt", net.files},
                    {"report.txt", full},
                }};
  written.insert(written.begin(), std::move(whole));

  if (!o.outDir.empty()) {
    for (const Written &w : written) {
      std::filesystem::path dir(o.outDir);
      if (!w.folder.empty()) dir /= w.folder;
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      if (ec) {
        err << "nrvdry: " << (w.folder.empty() ? o.outDir : dir.string()) << ": cannot make the folder: "
            << ec.message() << "\n";
        return 1;
      }
      for (const auto &f : w.files) {
        if (!WriteHostFile(dir / f.first, f.second)) {
          err << "nrvdry: " << (dir / f.first).string() << ": cannot write the file\n";
          return 1;
        }
      }
    }
  }
  return 0;
}
