// The printer's device node on the parallel port, under the parallel-port
// enumerator's branch of the hardware tree (NT 5 and later). Its instance
// name comes from the port's "ParentIdPrefix" and the location "LPT1.4".
#include "identity.h"
#include "ntsetup.h"
#include "text.h"

namespace {

const char ParallelClassKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS";
const char LptEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\LPTENUM";
const char ModelKeyName[] = "NorvaleTX-5400";
const char DefaultParentIdPrefix[] = "1&197f416f&0";
const char LocationSuffix[] = "&LPT1.4";

// The longest command line has 81 characters besides the instance name and
// must fit 256 bytes: the instance name has at most 174 characters, the
// prefix at most 167.
const DWORD LongestPrefix = 167;

// Multi-strings: the one string, its NUL and the NUL that ends the list.
const char CompatibleIds[] = "NORVALETX-9E2D47B1\0";
const char HardwareIds[] = "LPTENUM\\NorvaleTX-5400C83B\0";
static_assert(sizeof CompatibleIds == 20 && sizeof HardwareIds == 28, "multi-string lengths");

void WriteString(HKEY key, const char *name, const char *text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), TextLength(text) + 1);
}

void WriteMultiString(HKEY key, const char *name, const char *list, DWORD size) {
  RegSetValueExA(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(list), size);
}

void WriteDword(HKEY key, const char *name, DWORD value) {
  BYTE bytes[4];
  bytes[0] = static_cast<BYTE>(value & 0xFF);
  bytes[1] = static_cast<BYTE>((value >> 8) & 0xFF);
  bytes[2] = static_cast<BYTE>((value >> 16) & 0xFF);
  bytes[3] = static_cast<BYTE>((value >> 24) & 0xFF);
  RegSetValueExA(key, name, 0, REG_DWORD, bytes, sizeof bytes);
}

// Before the earlier node's keys are deleted, dacl.exe opens up their access
// lists; the program search finds it, for instance beside the setup program.
void StartDaclCommands(const char *instanceName) {
  char modelCommand[256];
  char instanceCommand[256];
  char command[256];
  ClearBytes(modelCommand, sizeof modelCommand);
  wsprintfA(modelCommand, "dacl.exe /SYSTEM\\CurrentControlSet\\Enum\\LPTENUM\\%s", ModelKeyName);
  ComposeText(instanceCommand, sizeof instanceCommand, modelCommand, "\\", instanceName);

  WinExec(modelCommand, SW_SHOW);
  WinExec(instanceCommand, SW_SHOW);
  const char *const subkeys[] = {"\\Control", "\\Device Parameters", "\\LogConf"};
  for (const char *subkey : subkeys) {
    ComposeText(command, sizeof command, instanceCommand, subkey);
    WinExec(command, SW_SHOW);
  }
}

BOOL IsUsablePrefix(const char *prefix) {
  if (TextLength(prefix) > LongestPrefix) return FALSE;
  // A backslash would make the instance name a path of several keys.
  for (DWORD i = 0; prefix[i] != '\0'; ++i) {
    if (prefix[i] == '\\') return FALSE;
  }
  return TRUE;
}

}  // namespace

void SyncParallelDevNode(void) {
  HKEY parallelClass;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, ParallelClassKey, &parallelClass) != ERROR_SUCCESS) return;

  char prefix[256];
  char name[256];
  char path[256];
  char value[256];
  ClearBytes(prefix, sizeof prefix);
  CopyText(prefix, sizeof prefix, DefaultParentIdPrefix);  // also for a class key without instances

  // The last instance that opens decides; one without a readable prefix
  // stands for the default.
  for (DWORD index = 0;; ++index) {
    ClearBytes(name, sizeof name);
    if (RegEnumKeyA(parallelClass, index, name, 100) != ERROR_SUCCESS) break;
    ComposeText(path, sizeof path, ParallelClassKey, "\\", name);
    HKEY instance;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &instance) != ERROR_SUCCESS) continue;
    ClearBytes(value, sizeof value);  // the value read need not end in a NUL
    DWORD type;
    DWORD size = 255;
    if (RegQueryValueExA(instance, "ParentIdPrefix", NULL, &type, reinterpret_cast<LPBYTE>(value), &size) ==
        ERROR_SUCCESS) {
      CopyText(prefix, sizeof prefix, value);
    } else {
      CopyText(prefix, sizeof prefix, DefaultParentIdPrefix);
    }
    RegCloseKey(instance);
  }

  if (IsUsablePrefix(prefix)) {
    char instanceName[256];
    ComposeText(instanceName, sizeof instanceName, prefix, LocationSuffix);
    DeleteParallelDevNode(instanceName);
    if (DevNodeRecreate != 0) CreateParallelDevNode(instanceName);
  }
  RegCloseKey(parallelClass);
}

void DeleteParallelDevNode(const char *instanceName) {
  HKEY lptEnum;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LptEnumKey, 0, KEY_ALL_ACCESS, &lptEnum) != ERROR_SUCCESS) return;

  HKEY probe;
  if (RegOpenKeyExA(lptEnum, ModelKeyName, 0, KEY_QUERY_VALUE, &probe) == ERROR_SUCCESS) {
    if (DevNodeRecreate != 0 &&
        RegQueryInfoKeyA(probe, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
      StartDaclCommands(instanceName);
    }
    RegCloseKey(probe);
  }

  HKEY model;
  if (RegOpenKeyExA(lptEnum, ModelKeyName, 0, KEY_ALL_ACCESS, &model) == ERROR_SUCCESS) {
    HKEY instance;
    if (RegOpenKeyExA(model, instanceName, 0, KEY_ALL_ACCESS, &instance) == ERROR_SUCCESS) {
      RegDeleteKeyA(instance, "Control");
      RegDeleteKeyA(instance, "Device Parameters");
      RegDeleteKeyA(instance, "LogConf");
      RegCloseKey(instance);
    }
    RegDeleteKeyA(model, instanceName);
    RegCloseKey(model);
  }
  RegDeleteKeyA(lptEnum, ModelKeyName);
  RegCloseKey(lptEnum);
}

void CreateParallelDevNode(const char *instanceName) {
  HKEY lptEnum;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LptEnumKey, 0, KEY_ALL_ACCESS, &lptEnum) != ERROR_SUCCESS) return;
  HKEY model;
  if (RegCreateKeyA(lptEnum, ModelKeyName, &model) != ERROR_SUCCESS) {
    RegCloseKey(lptEnum);
    return;
  }
  HKEY instance;
  if (RegCreateKeyA(model, instanceName, &instance) != ERROR_SUCCESS) {
    RegCloseKey(model);
    RegCloseKey(lptEnum);
    return;
  }

  WriteDword(instance, "Capabilities", 0x40);
  WriteString(instance, "Class", "PRINTER");
  WriteString(instance, "ClassGUID", "{4D36E979-E325-11CE-BFC1-08002BE10318}");
  WriteMultiString(instance, "CompatibleIDs", CompatibleIds, sizeof CompatibleIds);
  WriteDword(instance, "ConfigFlags", 0);
  WriteString(instance, "DeviceDesc", PrinterName);
  WriteString(instance, "Driver", DriverPathName);
  WriteMultiString(instance, "HardwareID", HardwareIds, sizeof HardwareIds);
  WriteString(instance, "LocationInformation", "LPT1.4");
  WriteString(instance, "Mfg", "Norvale");

  HKEY subkey;
  if (RegCreateKeyA(instance, "Device Parameters", &subkey) == ERROR_SUCCESS) {
    WriteString(subkey, "PortName", PrinterPort);
    RegCloseKey(subkey);
  }
  if (RegCreateKeyA(instance, "LogConf", &subkey) == ERROR_SUCCESS) RegCloseKey(subkey);
  if (RegCreateKeyA(instance, "Control", &subkey) == ERROR_SUCCESS) RegCloseKey(subkey);

  RegCloseKey(instance);
  RegCloseKey(model);
  RegCloseKey(lptEnum);
}
