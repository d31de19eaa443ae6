// The printer's and the driver's keys, purged from the numbered control
// sets and the current one, and the user's "DeviceOld" value. A key is
// deleted on its own, so a printer's "PrinterDriverData" goes before the
// printer's key.
#include "identity.h"
#include "ntsetup.h"

namespace {

struct PurgeStep {
  HKEY root;
  const char *keyPath;
  const char *name;  // the value (first step) or the subkey deleted
};

// In this order: the user's value, then for each control set the printer's
// driver data, the driver's key and the printer's key; the numbered sets
// first, the current one last.
const PurgeStep PurgeSteps[] = {
    {HKEY_CURRENT_USER, "printers\\", "DeviceOld"},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset001\\control\\print\\printers\\Norvale TX-5400 Series\\",
     "PrinterDriverData"},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset001\\control\\print\\environments\\windows NT X86\\drivers\\version-2\\",
     PrinterName},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset001\\control\\print\\printers\\", PrinterName},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset002\\control\\print\\printers\\Norvale TX-5400 Series\\",
     "PrinterDriverData"},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset002\\control\\print\\environments\\windows NT X86\\drivers\\version-2\\",
     PrinterName},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset002\\control\\print\\printers\\", PrinterName},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset003\\control\\print\\printers\\Norvale TX-5400 Series\\",
     "PrinterDriverData"},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset003\\control\\print\\environments\\windows NT X86\\drivers\\version-2\\",
     PrinterName},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\Controlset003\\control\\print\\printers\\", PrinterName},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlset\\control\\print\\printers\\Norvale TX-5400 Series\\",
     "PrinterDriverData"},
    {HKEY_LOCAL_MACHINE,
     "SYSTEM\\CurrentControlset\\control\\print\\environments\\windows NT X86\\drivers\\version-2\\", PrinterName},
    {HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlset\\control\\print\\printers\\", PrinterName},
};

}  // namespace

void PurgePrintRegistry(void) {
  for (unsigned i = 0; i < sizeof PurgeSteps / sizeof PurgeSteps[0]; ++i) {
    const PurgeStep &step = PurgeSteps[i];
    HKEY key;
    if (RegOpenKeyExA(step.root, step.keyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) continue;
    if (i == 0) {
      RegDeleteValueA(key, step.name);
    } else {
      RegDeleteKeyA(key, step.name);
    }
    RegCloseKey(key);
  }
}
