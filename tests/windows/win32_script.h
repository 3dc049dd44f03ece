// What the Windows tests make some Win32 calls of the platform file answer,
// where Wine cannot be made to fail them or answers otherwise than Windows:
// a listing that breaks off, a system-wide UTF-8 code page, a volume without
// short names, memory that runs short, a device set not to be had, the ports
// class's devices. The platform file is built a second time for the tests
// with scripted_win32.h forced in before it; the program itself never is.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstddef>

// A call that fails: once `passes` calls have gone through, every further one
// fails with `error` as the thread's last error. error 0: it never fails.
struct Win32Fault {
    DWORD error;
    int passes;
};

// A device of the ports class, as the scripted SetupAPI calls give it.
struct ScriptedPort {
    const char *hardwareId;    // the list's one ID
    const char *friendlyName;  // null: the device has none
};

// Zeroed (reset_win32_script), every call is the system's own.
struct Win32Script {
    // The system's ANSI code page: GetACP's answer, and what CP_ACP means to
    // WideCharToMultiByte and to GetModuleFileNameA. 0: the system's own.
    UINT codePage;
    // The program's file as GetModuleFileNameW gives it; GetModuleFileNameA
    // gives it through the code page, as the A calls do. Null: the real one.
    const wchar_t *programPath;
    Win32Fault moduleFileNameW;
    // GetShortPathNameW's answer, whatever path it is asked for. Null: the
    // system's own.
    const wchar_t *shortPath;
    Win32Fault shortPathNameW;
    Win32Fault findFirstFile;
    Win32Fault findNextFile;
    // calloc, the C runtime's: fails as when memory runs short, whatever the
    // error.
    Win32Fault allocation;
    Win32Fault classDevs;  // SetupDiGetClassDevsA
    // The devices SetupDiEnumDeviceInfo and SetupDiGetDeviceRegistryPropertyA
    // answer with, in the set the system gives. Null: the system's own.
    const ScriptedPort *ports;
    int portCount;
};

extern Win32Script win32Script;

void reset_win32_script();

UINT WINAPI scripted_GetACP();
int WINAPI scripted_WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength,
                                        LPSTR multiByte, int multiByteSize, LPCCH defaultChar,
                                        LPBOOL usedDefaultChar);
DWORD WINAPI scripted_GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size);
DWORD WINAPI scripted_GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size);
DWORD WINAPI scripted_GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD size);
HANDLE WINAPI scripted_FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA entry);
BOOL WINAPI scripted_FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA entry);
void *scripted_calloc(size_t count, size_t size);
HDEVINFO WINAPI scripted_SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent,
                                              DWORD flags);
BOOL WINAPI scripted_SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device);
BOOL WINAPI scripted_SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device,
                                                       DWORD property, PDWORD type, PBYTE buffer,
                                                       DWORD size, PDWORD required);
