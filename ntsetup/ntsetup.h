// The steps of the NT printer setup library. The exports run them in a
// fixed order (exports.cpp); none takes arguments from the caller.
#ifndef NRV_NTSETUP_NTSETUP_H
#define NRV_NTSETUP_NTSETUP_H

#include "winapi.h"

extern "C" {

// Process-wide flags, alive as long as the library stays loaded.
extern DWORD IsNt5OrLater;     // 0 at load; set by DetectPlatform on NT 5 and later
extern DWORD DevNodeRecreate;  // 1 at load; cleared by UninstallPrinter for good

// The exports.
int WINAPI CreatePrinter(DWORD reserved1, DWORD reserved2, DWORD reserved3);
int WINAPI UninstallPrinter(DWORD reserved1, DWORD reserved2, DWORD reserved3);

// exports.cpp
void RemoveSetupInfFiles(void);
BOOL RemoveMatchingPrinters(void);

// platform.cpp
void DetectPlatform(void);

// registration.cpp
void AddNtDriver(void);
void AddNtPrinter(void);
void RemoveNtPrinterAndDriver(void);
void DeleteQueueForRemoval(const char *queueName);

// spooler_restart.cpp
int RestartSpoolerWithDriverFiles(void);

// deploy_files.cpp
int DeployDriverFiles(void);
BOOL FindBackupName(const char *directory, const char *fileName, char *backupName, DWORD capacity);

// remove_files.cpp
int RemoveDriverFiles(void);

// default_printer.cpp
void SetDefaultPrinter(void);
void RestoreDefaultPrinter(void);

// purge_registry.cpp
void PurgePrintRegistry(void);

// parallel_devnode.cpp
void SyncParallelDevNode(void);
void DeleteParallelDevNode(const char *instanceName);
void CreateParallelDevNode(const char *instanceName);

}

#endif
