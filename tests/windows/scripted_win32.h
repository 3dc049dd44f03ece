// Forced in before platform/platform_windows.cpp in the Windows tests' build
// of it (-include, /FI): the system's headers first, so that the file's own
// #include of them adds nothing, then the calls a test may script, each
// renamed to its stand-in in scripted_win32.cpp, which passes it on to the
// system unless the test says otherwise.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdlib>

#include "win32_script.h"

#define GetACP scripted_GetACP
#define WideCharToMultiByte scripted_WideCharToMultiByte
#define GetModuleFileNameA scripted_GetModuleFileNameA
#define GetModuleFileNameW scripted_GetModuleFileNameW
#define GetShortPathNameW scripted_GetShortPathNameW
#define FindFirstFileA scripted_FindFirstFileA
#define FindNextFileA scripted_FindNextFileA
#define calloc scripted_calloc
#define SetupDiGetClassDevsA scripted_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInfo scripted_SetupDiEnumDeviceInfo
#define SetupDiGetDeviceRegistryPropertyA scripted_SetupDiGetDeviceRegistryPropertyA
