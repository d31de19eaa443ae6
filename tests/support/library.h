// Loads one of the product libraries afresh, as a setup program's
// LoadLibrary would: every Library object is a new load, with the library's
// flags at their load values, and the library is unloaded again when the
// object goes away.
#ifndef NRV_TESTS_LIBRARY_H
#define NRV_TESTS_LIBRARY_H

#include <string>

#include "hostwin.h"

class Library {
 public:
  explicit Library(const std::string &path);
  ~Library();
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;

  // Any symbol of the module, or nullptr.
  void *Symbol(const char *name) const;
  template <typename T>
  T *Get(const char *name) const {
    return reinterpret_cast<T *>(Symbol(name));
  }
  // A process-wide 32-bit flag of the library.
  DWORD Flag(const char *name) const;

  // The exports, called with arbitrary arguments that the library never reads.
  int CreatePrinter(DWORD a = 0x11111111, DWORD b = 0x22222222, DWORD c = 0x33333333) const;
  int UninstallPrinter(DWORD a = 0x44444444, DWORD b = 0x55555555, DWORD c = 0x66666666) const;
  void CleanPnpKeys() const;  // the 9x library only

  const std::string &path() const { return path_; }

 private:
  std::string path_;
  void *handle_ = nullptr;
};

// The NT library (NRVPNP) and the 9x library (NRVKSYS) as built for the host.
std::string NtLibraryPath();
std::string W9xLibraryPath();

#endif
