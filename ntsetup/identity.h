// The printer's identity on the NT family: every name the library gives the
// printer, its queue, its driver and its files.
#ifndef NRV_NTSETUP_IDENTITY_H
#define NRV_NTSETUP_IDENTITY_H

constexpr char PrinterName[] = "Norvale TX-5400 Series";
constexpr char PrinterShareName[] = "Norvale TX-5400";
constexpr char InfBaseName[] = "NRVS1";
constexpr char DriverEnvironment[] = "Windows NT x86";
constexpr char PrinterPort[] = "LPT1:";
constexpr char DefaultDeviceString[] = "Norvale TX-5400 Series,winspool,LPT1:";

// The seven driver files, in the order they are deployed and removed: each
// name with its NUL, and one more NUL that ends the set.
constexpr unsigned DriverFileSetSize = 81;
constexpr char DriverFileSet[DriverFileSetSize] =
    "nrvs1.dll\0"
    "nrvs1.sdd\0"
    "nrvs1ui.dll\0"
    "nrvs1su.hlp\0"
    "nrvs1um.dll\0"
    "nrvs1su.dat\0"
    "nrvs1su.dll\0";

// The driver registration names its first three files by constants of its own.
constexpr char DriverPathName[] = "nrvs1.dll";
constexpr char DriverDataFileName[] = "nrvs1.sdd";
constexpr char DriverConfigFileName[] = "nrvs1ui.dll";

static_assert(sizeof(PrinterName) == 23, "PrinterName has 22 characters");
static_assert(sizeof(DefaultDeviceString) == 38, "DefaultDeviceString has 37 characters");
static_assert(DriverFileSet[80] == '\0' && DriverFileSet[79] == '\0', "the set ends with two NULs");

#endif
