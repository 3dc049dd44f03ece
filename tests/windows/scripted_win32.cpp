// The stand-ins of scripted_win32.h. Each passes its call on to the system
// unless win32Script says otherwise, and then answers as Microsoft documents
// the call (learn.microsoft.com, Win32 API reference, each call's page):
// failures by return value with the error for GetLastError, which stays the
// system's own.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "win32_script.h"

Win32Script win32Script;

void reset_win32_script() { win32Script = Win32Script{}; }

namespace {

bool fails_now(Win32Fault &fault) {
    if (fault.error == 0) return false;
    if (fault.passes > 0) {
        --fault.passes;
        return false;
    }
    SetLastError(fault.error);
    return true;
}

UINT code_page_of(UINT codePage) {
    return codePage == CP_ACP && win32Script.codePage != 0 ? win32Script.codePage : codePage;
}

// GetModuleFileNameA/W: "If the length of the path equals or exceeds the
// value specified by nSize, the function succeeds and the string is
// truncated to nSize characters (including the terminating null character)",
// returns nSize and sets ERROR_INSUFFICIENT_BUFFER.
template <typename Char>
DWORD module_path_answer(const Char *text, size_t length, Char *buffer, DWORD size) {
    if (size == 0) return 0;
    if (length < size) {
        memcpy(buffer, text, (length + 1) * sizeof(Char));
        return static_cast<DWORD>(length);
    }
    memcpy(buffer, text, (size - 1) * sizeof(Char));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

}  // namespace

UINT WINAPI scripted_GetACP() { return win32Script.codePage != 0 ? win32Script.codePage : GetACP(); }

// With the UTF-8 code page (CP_UTF8, or CP_ACP where the system's code page
// is 65001), "dwFlags must be set to either 0 or WC_ERR_INVALID_CHARS.
// Otherwise, the function fails with ERROR_INVALID_FLAGS", and lpDefaultChar
// and lpUsedDefaultChar "must be set to NULL. Otherwise, the function fails
// with ERROR_INVALID_PARAMETER" (WideCharToMultiByte). The parameter is
// checked first: given both, Windows answers ERROR_INVALID_PARAMETER (Wine's
// own conformance tests of the call, which are run on Windows, say so). Wine
// answers such a call for a UTF-8 CP_ACP without failing.
int WINAPI scripted_WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength,
                                        LPSTR multiByte, int multiByteSize, LPCCH defaultChar,
                                        LPBOOL usedDefaultChar) {
    codePage = code_page_of(codePage);
    if (codePage == CP_UTF8) {
        if (defaultChar != nullptr || usedDefaultChar != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if ((flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
    }
    return WideCharToMultiByte(codePage, flags, wide, wideLength, multiByte, multiByteSize,
                               defaultChar, usedDefaultChar);
}

// The A call gives the path in the code page, each letter it lacks best
// fitted or replaced by the default character, as the A calls convert.
DWORD WINAPI scripted_GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size) {
    if (win32Script.programPath == nullptr || module != nullptr) {
        return GetModuleFileNameA(module, path, size);
    }
    char ansi[4096];
    int length = WideCharToMultiByte(code_page_of(CP_ACP), 0, win32Script.programPath, -1, ansi,
                                     static_cast<int>(sizeof ansi), nullptr, nullptr);
    if (length == 0) return 0;
    return module_path_answer(ansi, static_cast<size_t>(length - 1), path, size);
}

// "If the function fails, the return value is 0 (zero)."
DWORD WINAPI scripted_GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size) {
    if (module == nullptr && fails_now(win32Script.moduleFileNameW)) return 0;
    if (win32Script.programPath == nullptr || module != nullptr) {
        return GetModuleFileNameW(module, path, size);
    }
    return module_path_answer(win32Script.programPath, wcslen(win32Script.programPath), path, size);
}

// GetShortPathNameW: a buffer too small gets nothing, and the answer is the
// size that would hold the path and its terminator; any other failure is 0.
// "If you call GetShortPathName on a path that doesn't have any short names
// on-disk, the call will succeed, but will return the long-name path
// instead" (8.3 names switched off on the volume): shortPath the long path.
DWORD WINAPI scripted_GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD size) {
    if (fails_now(win32Script.shortPathNameW)) return 0;
    if (win32Script.shortPath == nullptr) return GetShortPathNameW(longPath, shortPath, size);
    size_t length = wcslen(win32Script.shortPath);
    if (length + 1 > size) return static_cast<DWORD>(length + 1);
    memcpy(shortPath, win32Script.shortPath, (length + 1) * sizeof(wchar_t));
    return static_cast<DWORD>(length);
}

// "If the function fails or fails to locate files from the search string in
// the lpFileName parameter, the return value is INVALID_HANDLE_VALUE"
// (FindFirstFileA), the reason for GetLastError.
HANDLE WINAPI scripted_FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA entry) {
    if (fails_now(win32Script.findFirstFile)) return INVALID_HANDLE_VALUE;
    return FindFirstFileA(pattern, entry);
}

// "If the function fails, the return value is zero"; the end of the folder
// is one such failure, "the GetLastError function returns
// ERROR_NO_MORE_FILES" (FindNextFileA). The search handle stays open.
BOOL WINAPI scripted_FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA entry) {
    if (fails_now(win32Script.findNextFile)) return FALSE;
    return FindNextFileA(search, entry);
}

// "If the operation fails, the function returns INVALID_HANDLE_VALUE. To get
// extended error information, call GetLastError" (SetupDiGetClassDevsA).
HDEVINFO WINAPI scripted_SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent,
                                              DWORD flags) {
    if (fails_now(win32Script.classDevs)) return INVALID_HANDLE_VALUE;
    return SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
}

namespace {

// The scripted device a SetupDiEnumDeviceInfo answer names: its DevInst is
// the device's place in the script, from 1.
const ScriptedPort *scripted_port_of(const SP_DEVINFO_DATA *device) {
    if (device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
    if (device->DevInst < 1 || device->DevInst > static_cast<DWORD>(win32Script.portCount)) return nullptr;
    return &win32Script.ports[device->DevInst - 1];
}

}  // namespace

// "The caller must set DeviceInfoData.cbSize to sizeof(SP_DEVINFO_DATA)";
// past the last device, "the function returns FALSE and the GetLastError
// function returns ERROR_NO_MORE_ITEMS" (SetupDiEnumDeviceInfo). The page
// names no error for a wrong cbSize; SetupAPI's is ERROR_INVALID_USER_BUFFER.
BOOL WINAPI scripted_SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
    if (win32Script.ports == nullptr) return SetupDiEnumDeviceInfo(set, index, device);
    if (device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= static_cast<DWORD>(win32Script.portCount)) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    device->DevInst = index + 1;
    return TRUE;
}

// "If the requested property does not exist for a device or if the property
// data is not valid, the function fails and returns ERROR_INVALID_DATA"; a
// buffer too small fails with ERROR_INSUFFICIENT_BUFFER and RequiredSize the
// size needed (SetupDiGetDeviceRegistryPropertyA). A device record the set
// did not fill fails too (the page names no error; ERROR_INVALID_PARAMETER
// here). SPDRP_HARDWAREID is a REG_MULTI_SZ: each ID
// terminated, and one more terminator after the last.
BOOL WINAPI scripted_SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device,
                                                       DWORD property, PDWORD type, PBYTE buffer,
                                                       DWORD size, PDWORD required) {
    if (win32Script.ports == nullptr) {
        return SetupDiGetDeviceRegistryPropertyA(set, device, property, type, buffer, size, required);
    }
    const ScriptedPort *port = scripted_port_of(device);
    if (port == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char *text = property == SPDRP_HARDWAREID ? port->hardwareId
                       : property == SPDRP_FRIENDLYNAME ? port->friendlyName
                                                        : nullptr;
    if (text == nullptr) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const DWORD length = static_cast<DWORD>(strlen(text)) + (property == SPDRP_HARDWAREID ? 2 : 1);
    if (type != nullptr) *type = property == SPDRP_HARDWAREID ? REG_MULTI_SZ : REG_SZ;
    if (required != nullptr) *required = length;
    if (size < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(buffer, 0, length);
    memcpy(buffer, text, strlen(text));
    return TRUE;
}

// "calloc returns a pointer to the allocated space. [...] If there's
// insufficient memory available, calloc returns NULL and sets errno to
// ENOMEM" (Microsoft's C runtime reference, calloc).
void *scripted_calloc(size_t count, size_t size) {
    if (fails_now(win32Script.allocation)) {
        errno = ENOMEM;
        return nullptr;
    }
    return calloc(count, size);
}
