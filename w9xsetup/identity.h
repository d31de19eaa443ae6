// The printer's identity on Windows 95, 98 and Me.
#ifndef NRV_W9XSETUP_IDENTITY_H
#define NRV_W9XSETUP_IDENTITY_H

constexpr char PrinterName[] = "Norvale TX-5400 Series";
constexpr char PrinterPort9x[] = "LPT1";
constexpr char DriverFile9x[] = "NRVS1.DRV";
constexpr char DriverHelpFile9x[] = "NRVS1.HLP";
constexpr unsigned DriverVersion9x = 0x400;
constexpr char PrintProcessor9x[] = "WinPrint";
constexpr char Datatype9x[] = "RAW";
constexpr char LptEnumDeviceId[] = "NorvaleTX-5400C83B";
constexpr char LptEnumHardwareId[] = "LPTENUM\\NorvaleTX-5400C83B";
constexpr char ManufacturerName[] = "Norvale";

// The driver's dependent files: six names, each with its NUL, and the NUL
// that ends the list.
constexpr unsigned DriverFileSet9xSize = 71;
constexpr char DriverFileSet9x[DriverFileSet9xSize] =
    "nrvs1.drv\0"
    "nrvs195.dll\0"
    "nrvs1su.hlp\0"
    "nrvs1um.dll\0"
    "nrvs1su.dll\0"
    "nrvs1su.dat\0";

static_assert(sizeof(PrinterName) == 23, "PrinterName has 22 characters");
static_assert(sizeof(LptEnumDeviceId) == 19 && sizeof(LptEnumHardwareId) == 27, "device ids");

#endif
