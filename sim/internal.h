// Plumbing shared by the parts of the simulated Windows: the trace of calls,
// injected faults, the thread's last error, handle values and the account of
// open handles, the virtual clock, and each part's reset.
//
// Every Win32 function of the simulation starts with a Tracer:
//
//   extern "C" BOOL WINAPI DeleteFileA(LPCSTR path) {
//     sim::detail::Tracer t("DeleteFileA", {sim::detail::Str(path)});
//     DWORD err;
//     if (t.Injected(&err)) return t.Fail(FALSE, err);   // sets the last error
//     ...
//     if (missing) return t.Fail(FALSE, ERROR_FILE_NOT_FOUND);
//     return t.Ok(TRUE);
//   }
//
// Registry functions return their error instead of setting the last error:
// `return t.Ret(rc);`. The result is recorded as text ("0", "1", "NULL", a
// handle's description); Ok/Fail/Ret convert numbers and pointers.
#ifndef NRV_SIM_INTERNAL_H
#define NRV_SIM_INTERNAL_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "sim.h"

namespace sim {
namespace detail {

// ---- argument text
std::string Str(const char *s);               // "\"text\"" or "NULL" (control bytes escaped)
std::string Num(uint64_t v);                  // decimal
std::string SNum(int64_t v);                  // signed decimal
std::string Hex(uint64_t v);                  // 0x...
std::string Ptr(const void *p);               // "NULL" or "&"
std::string Key(HKEY key);                    // a root name or the opened key's path, "hkey:?<n>" if unknown
std::string Printer(HANDLE printer);          // "printer:<name>" or "NULL"
std::string Service(SC_HANDLE handle);        // "scm", "service:<name>" or "NULL"
std::string Bytes(const void *data, size_t n); // hex bytes, for value data (at most 64 shown)

class Tracer {
 public:
  Tracer(const char *name, std::initializer_list<std::string> args);
  Tracer(const Tracer &) = delete;
  Tracer &operator=(const Tracer &) = delete;

  // True when this call is the target of a FailCall; *error is the error.
  bool Injected(DWORD *error);

  // Record the result and pass it through.
  template <typename T>
  T Ok(T value) {
    Record(Text(value));
    return value;
  }
  // Record a failure: sets the last error, records the result.
  template <typename T>
  T Fail(T value, DWORD error) {
    SetLastErrorValue(error);
    MarkErrorSet();
    Record(Text(value));
    return value;
  }
  // Registry style: the result is the error code; the last error is left alone.
  LONG Ret(LONG rc) {
    Record(SNum(rc));
    return rc;
  }
  // A result described by the caller (for example an opened handle).
  void Describe(const std::string &text) { Record(text); }
  // Late arguments (output values worth seeing, such as a name read).
  void AddArg(const std::string &text);

  static void SetLastErrorValue(DWORD error);

 private:
  static std::string Text(int v) { return SNum(v); }
  static std::string Text(unsigned v) { return Num(v); }
  static std::string Text(long v) { return SNum(v); }
  static std::string Text(unsigned long v) { return Num(v); }
  static std::string Text(long long v) { return SNum(v); }
  static std::string Text(unsigned long long v) { return Num(v); }
  static std::string Text(const void *p) { return p ? Hex(reinterpret_cast<uintptr_t>(p)) : "NULL"; }
  void Record(const std::string &result);
  void MarkErrorSet();

  size_t index_;
  bool injected_ = false;
  DWORD error_ = 0;
};

DWORD LastErrorValue();

// ---- handles
// A fresh value for a handle of any kind (never 0, never a predefined root).
uintptr_t NewHandleValue();
void HandleOpened(uintptr_t value, const std::string &description);
bool HandleClosed(uintptr_t value);  // false when it was not open

// ---- clock
void AdvanceClock(uint64_t ms);

// ---- case-insensitive helpers
std::string Upper(const std::string &s);
bool EqualNoCase(const std::string &a, const std::string &b);

// ---- each part's state, replaced by Reset(); the parts read the system
// from CurrentOs() instead of keeping their own copy
void ResetRegistry(Os os);
void ResetFiles(Os os);
void ResetSpooler();
void ResetServices();
void ResetUser();
void ResetKernel(Os os);

}  // namespace detail
}  // namespace sim

#endif
