// Helpers for reading a simulated machine and its call trace in tests.
#ifndef NRV_TESTS_MACHINE_H
#define NRV_TESTS_MACHINE_H

#include <string>
#include <vector>

#include "sim.h"

namespace testing_support {

// A string argument as the trace shows it: in double quotes.
std::string Quoted(const std::string &text);

// The trace without the string helpers (wsprintfA, lstrcpyA, lstrcatA,
// lstrcmpA, lstrlenA), which only compose text.
std::vector<sim::Call> SystemCalls();

// Index in the trace of the n-th (1-based) call of `name`, or -1.
int CallIndex(const std::string &name, int n = 1);
// Index of the first call of `name` whose argument `arg` equals `text`, or -1.
int CallIndexWithArg(const std::string &name, size_t arg, const std::string &text);
// Number of calls of `name`.
int CallCount(const std::string &name);
// The first argument of every call of `name`, in order.
std::vector<std::string> FirstArgs(const std::string &name);

// The paths of the registry as "PATH" lines and "PATH\\[name]=type:hex"
// lines, for comparing whole machines.
std::vector<std::string> RegistryLines();

// What every test expects at the end of an export: no handle left open.
std::string OpenHandlesText();

}  // namespace testing_support

#endif
