#include "library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {
typedef int ExportFn(DWORD, DWORD, DWORD);
typedef void CleanFn(void);
}  // namespace

std::string NtLibraryPath() { return NRVPNP_MODULE; }
std::string W9xLibraryPath() { return NRVKSYS_MODULE; }

Library::Library(const std::string &path) : path_(path) {
  // A module still mapped from an earlier load would keep its flags.
  if (void *stale = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    dlclose(stale);
    throw std::runtime_error("library still loaded from an earlier test: " + path);
  }
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
}

Library::~Library() {
  if (!handle_) return;
  dlclose(handle_);
  if (void *still = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    dlclose(still);
    ADD_FAILURE() << "library was not unloaded: " << path_;
  }
}

void *Library::Symbol(const char *name) const { return dlsym(handle_, name); }

DWORD Library::Flag(const char *name) const {
  DWORD *flag = Get<DWORD>(name);
  if (!flag) throw std::runtime_error(std::string("no flag ") + name);
  return *flag;
}

int Library::CreatePrinter(DWORD a, DWORD b, DWORD c) const {
  ExportFn *fn = Get<ExportFn>("CreatePrinter");
  if (!fn) throw std::runtime_error("no CreatePrinter in " + path_);
  return fn(a, b, c);
}

int Library::UninstallPrinter(DWORD a, DWORD b, DWORD c) const {
  ExportFn *fn = Get<ExportFn>("UninstallPrinter");
  if (!fn) throw std::runtime_error("no UninstallPrinter in " + path_);
  return fn(a, b, c);
}

void Library::CleanPnpKeys() const {
  CleanFn *fn = Get<CleanFn>("CleanPnpKeys");
  if (!fn) throw std::runtime_error("no CleanPnpKeys in " + path_);
  fn();
}
