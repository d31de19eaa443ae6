// The printer's and the driver's keys, purged from the numbered control
// sets and the current one, and the user's "DeviceOld" value. A key is
// deleted on its own, so a printer's "PrinterDriverData" goes before the
// printer's key.
#include "identity.h"
#include "ntsetup.h"
#include "text.h"

namespace {

// The control sets in the order they are purged: the numbered ones first,
// the current one last. Each path below is "SYSTEM\", the set's name and
// "\control\print\", then the part of the step.
const char *const ControlSets[] = {"Controlset001", "Controlset002", "Controlset003", "CurrentControlset"};

struct PurgeStep {
  const char *keyPart;
  const char *subkey;
};

// Within a set: the printer's driver data, the driver's key, the printer's key.
const PurgeStep SetSteps[] = {
    {"printers\\Norvale TX-5400 Series\\", "PrinterDriverData"},
    {"environments\\windows NT X86\\drivers\\version-2\\", PrinterName},
    {"printers\\", PrinterName},
};

void DeleteInKey(HKEY root, const char *keyPath, const char *name, BOOL isValue) {
  HKEY key;
  if (RegOpenKeyExA(root, keyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  if (isValue) {
    RegDeleteValueA(key, name);
  } else {
    RegDeleteKeyA(key, name);
  }
  RegCloseKey(key);
}

}  // namespace

void PurgePrintRegistry(void) {
  DeleteInKey(HKEY_CURRENT_USER, "printers\\", "DeviceOld", TRUE);
  char keyPath[256];
  for (const char *set : ControlSets) {
    for (const PurgeStep &step : SetSteps) {
      // The longest path has 86 characters; a cut one is never opened.
      if (ComposeText(keyPath, sizeof keyPath, "SYSTEM\\", set, "\\control\\print\\") &&
          AppendText(keyPath, sizeof keyPath, step.keyPart)) {
        DeleteInKey(HKEY_LOCAL_MACHINE, keyPath, step.subkey, FALSE);
      }
    }
  }
}
