// The one header every product source includes for the Windows API.
//
// Built for Windows (MinGW-w64, i686) this is the platform's own <windows.h>
// and <winspool.h>. Built on the development host it is our own declarations
// of the few types, constants, records and ANSI functions the libraries use;
// on the host those functions come from the simulated Windows in sim/.
#ifndef NRV_PLATFORM_WINAPI_H
#define NRV_PLATFORM_WINAPI_H

#if defined(_WIN32)
#include <windows.h>
#include <winspool.h>
// winspool.h maps SetDefaultPrinter to SetDefaultPrinterA/W; the NT library
// has a procedure of its own by that name and never calls the spooler's.
#undef SetDefaultPrinter
#else
#include "hostwin.h"
#endif

#endif
