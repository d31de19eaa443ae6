// The machine a setup program finds on a customer's computer when it calls
// the library: the driver files in place, a parallel port, and another
// printer that is the user's default.
#include "internal.h"

namespace sim {
namespace {

const char *const NtDriverFiles[] = {"nrvs1.dll",   "nrvs1.sdd",   "nrvs1ui.dll", "nrvs1su.hlp",
                                     "nrvs1um.dll", "nrvs1su.dat", "nrvs1su.dll"};
const char *const W9xDriverFiles[] = {"NRVS1.DRV",   "NRVS1.HLP",   "nrvs195.dll", "nrvs1su.hlp",
                                      "nrvs1um.dll", "nrvs1su.dll", "nrvs1su.dat"};

void AddOfficeLaser(bool nt) {
  Driver driver;
  driver.name = "Office Laser Driver";
  driver.environment = nt ? "Windows NT x86" : "Windows 4.0";
  driver.version = nt ? 3 : 0x400;
  driver.driverPath = nt ? "olaser.dll" : "OLASER.DRV";
  driver.dataFile = nt ? "olaser.ppd" : "OLASER.DRV";
  driver.configFile = nt ? "olaserui.dll" : "OLASER.DRV";
  driver.defaultDataType = "RAW";
  driver.level = 3;
  AddDriver(driver);

  Queue queue;
  queue.name = "Office Laser";
  queue.portName = nt ? "LPT2:" : "LPT2";
  queue.driverName = driver.name;
  queue.printProcessor = "WinPrint";
  queue.datatype = "RAW";
  queue.attributes = PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_QUEUED;
  AddQueue(queue);
}

}  // namespace

void BuildDefaultMachine(Os os) {
  Reset(os);
  bool nt = IsNtFamily(os);
  if (nt) {
    for (const char *name : NtDriverFiles) {
      WriteFile(DriverDirectory() + name, std::string(name) + ", as the setup program placed it\n");
    }
    const char port[] = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PARALLELCLASS\\0000";
    SetString(port, "ParentIdPrefix", "2&3a5e4b7c&0");
    SetString(port, "Class", "Ports");
    CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\LPTENUM");
    CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers");
    CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-2");
    CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\Version-3");
    CreateKey("HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows");
    CreateKey("HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices");
    AddOfficeLaser(true);
    SetString("HKCU\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows", "Device",
              "Office Laser,winspool,LPT2:");
    SetString("HKCU\\Printers", "DeviceOld", "Office Laser,winspool,LPT2:");
  } else {
    for (const char *name : W9xDriverFiles) {
      WriteFile(SystemDirectory() + "\\" + name, std::string(name) + ", as the setup program placed it\n");
    }
    SetString("HKLM\\Enum\\BIOS\\*PNP0400\\00", "PORTNAME", "LPT1");
    SetString("HKLM\\Enum\\BIOS\\*PNP0400\\00", "Class", "Ports");
    SetString("HKLM\\Enum\\BIOS\\*PNP0501\\00", "PORTNAME", "COM1");
    SetString("HKLM\\Enum\\BIOS\\*PNP0501\\00", "Class", "Ports");
    AddOfficeLaser(false);
  }
}

}  // namespace sim
