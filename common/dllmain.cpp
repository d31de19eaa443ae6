// Entry point of both DLLs: loading and unloading do no work of their own
// and always succeed. Built for Windows only.
#include "winapi.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
