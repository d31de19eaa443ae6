// The driver and the queue, registered with the spooler and taken away.
#include "identity.h"
#include "ntsetup.h"

namespace {

// The spooler's records point to LPSTR text that it only reads.
LPSTR Text(const char *constant) { return const_cast<LPSTR>(constant); }

const DWORD QueueAttributes = 0x000F0045;

}  // namespace

void AddNtDriver(void) {
  DRIVER_INFO_2A driver;
  driver.cVersion = 3;
  driver.pName = Text(PrinterName);
  driver.pEnvironment = Text(DriverEnvironment);
  driver.pDriverPath = Text(DriverPathName);
  driver.pDataFile = Text(DriverDataFileName);
  driver.pConfigFile = Text(DriverConfigFileName);
  AddPrinterDriverA(NULL, 2, reinterpret_cast<LPBYTE>(&driver));
}

void AddNtPrinter(void) {
  PRINTER_INFO_2A queue;
  queue.pServerName = NULL;
  queue.pPrinterName = Text(PrinterName);
  queue.pShareName = Text(PrinterShareName);
  queue.pPortName = Text(PrinterPort);
  queue.pDriverName = Text(PrinterName);
  queue.pComment = NULL;
  queue.pLocation = NULL;
  queue.pDevMode = NULL;
  queue.pSepFile = NULL;
  queue.pPrintProcessor = Text("WinPrint");
  queue.pDatatype = Text("RAW");
  queue.pParameters = NULL;
  queue.pSecurityDescriptor = NULL;
  queue.Attributes = QueueAttributes;
  queue.Priority = 0;
  queue.DefaultPriority = 0;
  queue.StartTime = 0;
  queue.UntilTime = 0;
  queue.Status = 0;
  queue.cJobs = 0;
  queue.AveragePPM = 0;
  HANDLE handle = AddPrinterA(NULL, 2, reinterpret_cast<LPBYTE>(&queue));
  if (handle != NULL) ClosePrinter(handle);
}

void DeleteQueueForRemoval(const char *queueName) {
  PRINTER_DEFAULTSA defaults;
  defaults.pDatatype = Text("RAW");
  defaults.pDevMode = NULL;
  defaults.DesiredAccess = PRINTER_ALL_ACCESS;
  HANDLE handle = NULL;
  if (!OpenPrinterA(Text(queueName), &handle, &defaults)) return;
  DeletePrinter(handle);
  ClosePrinter(handle);
}

void RemoveNtPrinterAndDriver(void) {
  DeleteQueueForRemoval(PrinterName);
  DeletePrinterDriverA(NULL, Text(DriverEnvironment), Text(PrinterName));
}
