// The printer's device nodes under the parallel-port enumerator, one for
// every port that the BIOS or the ACPI enumerator lists as "LPT1".
#include "identity.h"
#include "text.h"
#include "w9xsetup.h"

namespace {

const char LptEnumKey[] = "Enum\\LPTENUM";

// Key names are read with room for 99 characters and the NUL.
const DWORD NameCapacity = 100;

// Deleting a device key removes its subtree on these systems; a registry
// that deletes only keys without subkeys (the NT family) needs the keys
// below deleted first. This many levels are walked at the most.
const DWORD DeepestLevel = 32;

void ScanEnumerator(const char *enumeratorKey, const char *instancePrefix) {
  HKEY enumerator;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, enumeratorKey, &enumerator) != ERROR_SUCCESS) return;

  char deviceName[256];
  char devicePath[256];
  char devicePrefix[256];
  char instanceKeyName[256];
  char instancePath[256];
  char instanceName[256];
  char port[256];
  for (DWORD i = 0;; ++i) {
    ClearBytes(deviceName, sizeof deviceName);
    if (RegEnumKeyA(enumerator, i, deviceName, NameCapacity) != ERROR_SUCCESS) break;
    // Names of at most 99 characters: every text fits its buffer.
    ComposeText(devicePath, sizeof devicePath, enumeratorKey, "\\", deviceName);
    ComposeText(devicePrefix, sizeof devicePrefix, instancePrefix, deviceName, "&");

    HKEY device;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, devicePath, &device) != ERROR_SUCCESS) continue;
    for (DWORD j = 0;; ++j) {
      ClearBytes(instanceKeyName, sizeof instanceKeyName);
      if (RegEnumKeyA(device, j, instanceKeyName, NameCapacity) != ERROR_SUCCESS) break;
      ComposeText(instancePath, sizeof instancePath, devicePath, "\\", instanceKeyName);
      ComposeText(instanceName, sizeof instanceName, devicePrefix, instanceKeyName);

      HKEY instance;
      if (RegOpenKeyA(HKEY_LOCAL_MACHINE, instancePath, &instance) != ERROR_SUCCESS) continue;
      // Read with room for 255 bytes into a cleared buffer of 256: the port
      // ends at its first NUL or at the end of the data read.
      ClearBytes(port, sizeof port);
      DWORD type;
      DWORD size = 255;
      if (RegQueryValueExA(instance, "PORTNAME", NULL, &type, reinterpret_cast<LPBYTE>(port), &size) ==
              ERROR_SUCCESS &&
          lstrcmpA(port, PrinterPort9x) == 0) {
        WriteLptEnumDevNode(instanceName);
      }
      RegCloseKey(instance);
    }
    RegCloseKey(device);
  }
  RegCloseKey(enumerator);
}

void WriteString(HKEY key, const char *name, const char *text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), TextLength(text) + 1);
}

void WriteFourBytes(HKEY key, const char *name, BYTE first) {
  const BYTE bytes[4] = {first, 0, 0, 0};
  RegSetValueExA(key, name, 0, REG_BINARY, bytes, sizeof bytes);
}

// Deletes the subkey `name` of `parent` and everything below it, the keys
// below first. Returns whether the key is gone.
BOOL DeleteKeyTree(HKEY parent, const char *name, DWORD level) {
  HKEY key;
  if (level < DeepestLevel && RegOpenKeyA(parent, name, &key) == ERROR_SUCCESS) {
    char child[256];
    DWORD index = 0;
    for (;;) {
      ClearBytes(child, sizeof child);
      if (RegEnumKeyA(key, index, child, sizeof child) != ERROR_SUCCESS) break;
      if (!DeleteKeyTree(key, child, level + 1)) ++index;  // a key that stays is passed over
    }
    RegCloseKey(key);
  }
  return RegDeleteKeyA(parent, name) == ERROR_SUCCESS;
}

}  // namespace

void RegisterLpt1DevNodes(void) {
  ScanEnumerator("ENUM\\BIOS", "BIOS&");
  ScanEnumerator("ENUM\\ACPI", "ACPI&");
}

void WriteLptEnumDevNode(const char *instanceName) {
  HKEY lptEnum;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, LptEnumKey, &lptEnum) != ERROR_SUCCESS) {
    HKEY enumKey;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &enumKey) != ERROR_SUCCESS) return;
    HKEY created;
    LONG rc = RegCreateKeyA(enumKey, "LPTENUM", &created);
    RegCloseKey(enumKey);
    if (rc != ERROR_SUCCESS) return;
    RegCloseKey(created);
    // Opened once more; a key that still does not open is given up on.
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, LptEnumKey, &lptEnum) != ERROR_SUCCESS) return;
  }

  HKEY device;
  if (RegCreateKeyA(lptEnum, LptEnumDeviceId, &device) != ERROR_SUCCESS) {
    RegCloseKey(lptEnum);
    return;
  }
  HKEY instance;
  if (RegCreateKeyA(device, instanceName, &instance) != ERROR_SUCCESS) {
    RegCloseKey(device);
    RegCloseKey(lptEnum);
    return;
  }
  WriteFourBytes(instance, "Capabilities", 0x14);
  WriteString(instance, "Class", "PRINTER");
  WriteFourBytes(instance, "ConfigFlags", 0x00);
  WriteString(instance, "DeviceDesc", PrinterName);
  WriteString(instance, "HardwareID", LptEnumHardwareId);
  WriteString(instance, "Manufacturer", ManufacturerName);
  WriteString(instance, "Model", PrinterName);
  RegCloseKey(instance);
  RegCloseKey(device);
  RegCloseKey(lptEnum);
}

extern "C" void CleanPnpKeys(void) {
  HKEY lptEnum;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, LptEnumKey, &lptEnum) != ERROR_SUCCESS) return;
  DeleteKeyTree(lptEnum, LptEnumDeviceId, 0);
  RegCloseKey(lptEnum);
}
