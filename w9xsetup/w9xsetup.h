// The steps of the 9x printer setup library.
#ifndef NRV_W9XSETUP_W9XSETUP_H
#define NRV_W9XSETUP_W9XSETUP_H

#include "winapi.h"

extern "C" {

int WINAPI CreatePrinter(DWORD reserved1, DWORD reserved2, DWORD reserved3);
int WINAPI UninstallPrinter(DWORD reserved1, DWORD reserved2, DWORD reserved3);
// Exported under the decorated name "?CleanPnpKeys@@YAXXZ": no arguments,
// no result, the caller cleans the stack.
void CleanPnpKeys(void);

// exports.cpp
void RemovePrinterAndDriver9x(void);

// lpt_devnodes.cpp
void RegisterLpt1DevNodes(void);
void WriteLptEnumDevNode(const char *instanceName);

}

#endif
