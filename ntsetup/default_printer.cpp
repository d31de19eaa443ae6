// The user's default printer: the "Device" value of the user's windows
// settings key, a device string "name,winspool,port".
#include "identity.h"
#include "ntsetup.h"
#include "text.h"

namespace {

const char WindowsSettingsKey[] = "Software\\Microsoft\\windows NT\\currentversion\\windows\\";
const char DevicesKey[] = "Software\\Microsoft\\Windows NT\\currentversion\\Devices";

const DWORD DeviceCapacity = 255;
const DWORD EntryCapacity = 100;

// The last entry of the user's "Devices" list that is not this printer: its
// name and data, each NUL-terminated. Returns FALSE when there is none or
// the list cannot be opened.
BOOL FindOtherDevice(char *chosenName, char *chosenData) {
  HKEY devices;
  if (RegOpenKeyA(HKEY_CURRENT_USER, DevicesKey, &devices) != ERROR_SUCCESS) return FALSE;
  char name[256];
  char data[256];
  BOOL found = FALSE;
  for (DWORD index = 0;; ++index) {
    // Cleared for every entry: data without a NUL must not run on into the
    // bytes of the entry read before it.
    ClearBytes(name, sizeof name);
    ClearBytes(data, sizeof data);
    DWORD nameLength = EntryCapacity;
    DWORD dataLength = EntryCapacity;
    DWORD type;
    if (RegEnumValueA(devices, index, name, &nameLength, NULL, &type, reinterpret_cast<LPBYTE>(data),
                      &dataLength) != ERROR_SUCCESS) {
      break;
    }
    // The removed queue is still listed while the spooler finishes deleting
    // it; handing the default back to it would undo the removal. Copies of
    // the queue ("... (Copy 1)") are printers of the user's that stay.
    if (name[0] == '\0' || SameText(name, PrinterName)) continue;
    CopyText(chosenName, 256, name);
    CopyText(chosenData, 256, data);
    found = TRUE;
  }
  RegCloseKey(devices);
  return found;
}

}  // namespace

void SetDefaultPrinter(void) {
  HKEY settings;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, WindowsSettingsKey, 0, KEY_ALL_ACCESS, &settings) != ERROR_SUCCESS) return;
  RegSetValueExA(settings, "Device", 0, REG_SZ, reinterpret_cast<const BYTE *>(DefaultDeviceString),
                 sizeof DefaultDeviceString);
  RegCloseKey(settings);
}

void RestoreDefaultPrinter(void) {
  char device[256];
  char chosenName[256];
  char chosenData[256];
  char result[256];
  ClearBytes(device, sizeof device);
  ClearBytes(chosenName, sizeof chosenName);
  ClearBytes(chosenData, sizeof chosenData);
  ClearBytes(result, sizeof result);

  HKEY settings;
  if (RegOpenKeyA(HKEY_CURRENT_USER, WindowsSettingsKey, &settings) != ERROR_SUCCESS) return;

  // The buffer holds one byte more than is read, so the value is a
  // NUL-terminated text even when its data has no NUL of its own.
  DWORD type;
  DWORD size = DeviceCapacity;
  BOOL removedIsDefault =
      RegQueryValueExA(settings, "Device", NULL, &type, reinterpret_cast<LPBYTE>(device), &size) == ERROR_SUCCESS &&
      BeginsWith(device, PrinterName);

  if (removedIsDefault && FindOtherDevice(chosenName, chosenData)) {
    // At most 99 name characters, the comma, 100 data characters and the NUL.
    ComposeText(result, sizeof result, chosenName, ",", chosenData);
    RegSetValueExA(settings, "Device", 0, REG_SZ, reinterpret_cast<const BYTE *>(result), TextLength(result) + 1);
  }
  RegCloseKey(settings);
}
