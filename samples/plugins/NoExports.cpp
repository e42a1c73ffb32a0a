// A library that exports nothing: what a host meets when a plug-in lacks its entry points.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
