#include "machine.h"

#include <cstdio>

namespace testing_support {

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

std::vector<sim::Call> SystemCalls() {
  std::vector<sim::Call> out;
  for (const sim::Call &call : sim::Trace()) {
    const std::string &n = call.name;
    if (n == "wsprintfA" || n == "lstrcpyA" || n == "lstrcatA" || n == "lstrcmpA" || n == "lstrlenA") continue;
    out.push_back(call);
  }
  return out;
}

int CallIndex(const std::string &name, int n) {
  const std::vector<sim::Call> &trace = sim::Trace();
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].name == name && --n == 0) return static_cast<int>(i);
  }
  return -1;
}

int CallIndexWithArg(const std::string &name, size_t arg, const std::string &text) {
  const std::vector<sim::Call> &trace = sim::Trace();
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].name == name && trace[i].args.size() > arg && trace[i].args[arg] == text) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int CallCount(const std::string &name) { return static_cast<int>(sim::CallsTo(name).size()); }

std::vector<std::string> FirstArgs(const std::string &name) {
  std::vector<std::string> out;
  for (const sim::Call &call : sim::CallsTo(name)) out.push_back(call.args.empty() ? "" : call.args[0]);
  return out;
}

std::vector<std::string> RegistryLines() {
  std::vector<std::string> out;
  for (const sim::RegKeyDump &key : sim::DumpRegistry()) {
    out.push_back(key.path);
    for (const auto &value : key.values) {
      std::string line = key.path + "\\[" + value.first + "]=" + std::to_string(value.second.type) + ":";
      for (unsigned char c : value.second.data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", c);
        line += hex;
      }
      out.push_back(line);
    }
  }
  return out;
}

std::string OpenHandlesText() {
  std::string out;
  for (const std::string &handle : sim::OpenHandles()) out += handle + "; ";
  return out;
}

}  // namespace testing_support
