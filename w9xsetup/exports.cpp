// The two exports of the 9x library: the driver and the queue registered
// with the spooler, the device nodes, and their removal.
#include "identity.h"
#include "text.h"
#include "w9xsetup.h"

namespace {

// The spooler's records point to LPSTR text that it only reads.
LPSTR Text(const char *constant) { return const_cast<LPSTR>(constant); }

const DWORD QueueAttributes9x = PRINTER_ATTRIBUTE_ENABLE_BIDI | PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DEFAULT;

void AddDriver9x() {
  DRIVER_INFO_3A driver;
  driver.cVersion = DriverVersion9x;
  driver.pName = Text(PrinterName);
  driver.pEnvironment = NULL;  // the spooler's own environment
  driver.pDriverPath = Text(DriverFile9x);
  driver.pDataFile = Text(DriverFile9x);
  driver.pConfigFile = Text(DriverFile9x);
  driver.pHelpFile = Text(DriverHelpFile9x);
  driver.pDependentFiles = Text(DriverFileSet9x);
  driver.pMonitorName = NULL;
  driver.pDefaultDataType = Text(Datatype9x);
  AddPrinterDriverA(NULL, 3, reinterpret_cast<LPBYTE>(&driver));
}

// The queue is created with the default attribute, which on these systems
// makes it the default printer.
void AddQueue9x() {
  PRINTER_INFO_2A queue;
  queue.pServerName = NULL;
  queue.pPrinterName = Text(PrinterName);
  queue.pShareName = NULL;
  queue.pPortName = Text(PrinterPort9x);
  queue.pDriverName = Text(PrinterName);
  queue.pComment = NULL;
  queue.pLocation = NULL;
  queue.pDevMode = NULL;
  queue.pSepFile = NULL;
  queue.pPrintProcessor = Text(PrintProcessor9x);
  queue.pDatatype = Text(Datatype9x);
  queue.pParameters = NULL;
  queue.pSecurityDescriptor = NULL;
  queue.Attributes = QueueAttributes9x;
  queue.Priority = 1;
  queue.DefaultPriority = 0;
  queue.StartTime = 0;
  queue.UntilTime = 0;
  queue.Status = 0;
  queue.cJobs = 0;
  queue.AveragePPM = 0;
  HANDLE handle = AddPrinterA(NULL, 2, reinterpret_cast<LPBYTE>(&queue));
  if (handle != NULL) ClosePrinter(handle);
}

}  // namespace

static_assert(QueueAttributes9x == 0x844, "queue attributes");

void RemovePrinterAndDriver9x(void) {
  HANDLE handle = NULL;
  if (OpenPrinterA(Text(PrinterName), &handle, NULL)) {
    DeletePrinter(handle);
    ClosePrinter(handle);
  }
  DeletePrinterDriverA(NULL, NULL, Text(PrinterName));
}

extern "C" int WINAPI CreatePrinter(DWORD, DWORD, DWORD) {
  RemovePrinterAndDriver9x();
  Sleep(2000);
  AddDriver9x();
  AddQueue9x();
  RegisterLpt1DevNodes();
  SendMessageTimeoutA(HWND_BROADCAST, WM_WININICHANGE, 0, 0, SMTO_NORMAL, 1000, NULL);
  return 1;
}

extern "C" int WINAPI UninstallPrinter(DWORD, DWORD, DWORD) {
  CleanPnpKeys();
  RemovePrinterAndDriver9x();
  return 0;
}
