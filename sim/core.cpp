// The machine-wide plumbing: trace, faults, last error, handles, clock, reset.
#include <cctype>
#include <cstdio>
#include <map>

#include "internal.h"

namespace sim {
namespace {

struct Fault {
  std::string name;
  int occurrence;
  DWORD error;
  bool every;
};

struct Core {
  Os os = Os::WinXP;
  std::vector<Call> trace;
  std::map<std::string, int> counts;  // calls so far, by name
  std::vector<Fault> faults;
  DWORD lastError = 0;
  uintptr_t nextHandle = 0x1000;
  std::map<uintptr_t, std::string> open;  // in order of value, that is of opening
  uint64_t now = 0;
};

Core &core() {
  static Core c;
  return c;
}

}  // namespace

namespace detail {

std::string Str(const char *s) {
  if (!s) return "NULL";
  std::string out = "\"";
  for (const char *p = s; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Num(uint64_t v) { return std::to_string(v); }
std::string SNum(int64_t v) { return std::to_string(v); }

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string Ptr(const void *p) { return p ? "&" : "NULL"; }

std::string Bytes(const void *data, size_t n) {
  if (!data) return "NULL";
  const unsigned char *b = static_cast<const unsigned char *>(data);
  std::string out = "[";
  for (size_t i = 0; i < n && i < 64; ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", b[i]);
    if (i) out += ' ';
    out += buf;
  }
  if (n > 64) out += " ...";
  return out + "]";
}

Tracer::Tracer(const char *name, std::initializer_list<std::string> args) {
  Core &c = core();
  Call call;
  call.name = name;
  call.args.assign(args.begin(), args.end());
  index_ = c.trace.size();
  c.trace.push_back(call);
  int n = ++c.counts[name];
  for (const Fault &f : c.faults) {
    if (f.name == name && (n == f.occurrence || (f.every && n >= f.occurrence))) {
      injected_ = true;
      error_ = f.error;
      break;
    }
  }
}

bool Tracer::Injected(DWORD *error) {
  if (!injected_) return false;
  core().trace[index_].injected = true;
  *error = error_;
  return true;
}

void Tracer::AddArg(const std::string &text) { core().trace[index_].args.push_back(text); }

void Tracer::SetLastErrorValue(DWORD error) { core().lastError = error; }

void Tracer::MarkErrorSet() { core().trace[index_].setError = true; }

void Tracer::Record(const std::string &result) {
  Call &call = core().trace[index_];
  call.result = result;
  call.lastError = core().lastError;
}

DWORD LastErrorValue() { return core().lastError; }

uintptr_t NewHandleValue() {
  uintptr_t v = core().nextHandle;
  core().nextHandle += 4;
  return v;
}

void HandleOpened(uintptr_t value, const std::string &description) { core().open[value] = description; }

bool HandleClosed(uintptr_t value) { return core().open.erase(value) == 1; }

void AdvanceClock(uint64_t ms) { core().now += ms; }

std::string Upper(const std::string &s) {
  std::string out = s;
  for (char &ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return out;
}

bool EqualNoCase(const std::string &a, const std::string &b) { return Upper(a) == Upper(b); }

}  // namespace detail

const char *OsName(Os os) {
  switch (os) {
    case Os::Nt40: return "nt40";
    case Os::Win2000: return "win2000";
    case Os::WinXP: return "winxp";
    case Os::Win95: return "win95";
    case Os::Win98: return "win98";
    case Os::WinMe: return "winme";
  }
  return "?";
}

std::optional<Os> OsFromName(const std::string &name) {
  for (Os os : {Os::Nt40, Os::Win2000, Os::WinXP, Os::Win95, Os::Win98, Os::WinMe}) {
    if (name == OsName(os)) return os;
  }
  return std::nullopt;
}

bool IsNtFamily(Os os) { return os == Os::Nt40 || os == Os::Win2000 || os == Os::WinXP; }

Os CurrentOs() { return core().os; }

uint64_t Now() { return core().now; }

void Reset(Os os) {
  core() = Core();
  core().os = os;
  detail::ResetKernel(os);
  detail::ResetRegistry(os);
  detail::ResetFiles(os);
  detail::ResetServices();
  detail::ResetSpooler();
  detail::ResetUser();
}

const std::vector<Call> &Trace() { return core().trace; }

std::vector<Call> CallsTo(const std::string &name) {
  std::vector<Call> out;
  for (const Call &c : core().trace) {
    if (c.name == name) out.push_back(c);
  }
  return out;
}

std::vector<std::string> CallNames() {
  std::vector<std::string> out;
  for (const Call &c : core().trace) out.push_back(c.name);
  return out;
}

void ClearTrace() { core().trace.clear(); }

void FailCall(const std::string &name, int occurrence, DWORD error, bool every) {
  core().faults.push_back(Fault{name, occurrence, error, every});
}

void ClearFaults() { core().faults.clear(); }

std::vector<std::string> OpenHandles() {
  std::vector<std::string> out;
  for (const auto &entry : core().open) out.push_back(entry.second);
  return out;
}

}  // namespace sim
