// Prints what Windows itself reads from a program's resources: the version
// details (as Explorer's Properties show them) and the application manifest.
// Built and run under Wine by scripts/stages/15-windows-resources.sh, which
// judges the output; not part of the test programs, as it needs version.dll.
//
//   resource_check.exe PROGRAM.exe
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

char versionData[16384];
char manifest[8192];

void print_string_value(const char *translation, const char *name) {
    char query[128];
    snprintf(query, sizeof query, "\\StringFileInfo\\%s\\%s", translation, name);
    void *value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(versionData, query, &value, &length) && length > 0) {
        printf("%s=%s\n", name, static_cast<const char *>(value));
    } else {
        printf("%s missing\n", name);
    }
}

void print_numbers(const char *name, DWORD high, DWORD low) {
    printf("%s=%u.%u.%u.%u\n", name, unsigned{HIWORD(high)}, unsigned{LOWORD(high)},
           unsigned{HIWORD(low)}, unsigned{LOWORD(low)});
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: resource_check PROGRAM.exe\n", stderr);
        return 2;
    }
    DWORD size = GetFileVersionInfoSizeA(argv[1], nullptr);
    if (size == 0 || size > sizeof versionData ||
        !GetFileVersionInfoA(argv[1], 0, sizeof versionData, versionData)) {
        printf("no version resource (error %lu)\n", GetLastError());
        return 1;
    }
    void *value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(versionData, "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const VS_FIXEDFILEINFO *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
        print_numbers("FILEVERSION", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        print_numbers("PRODUCTVERSION", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    }
    // The strings sit under the first language and code page the file declares.
    char translation[16] = "040904B0";
    if (VerQueryValueA(versionData, "\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
        const WORD *pair = static_cast<const WORD *>(value);
        snprintf(translation, sizeof translation, "%04X%04X", pair[0], pair[1]);
    }
    const char *names[] = {"FileDescription", "ProductName",  "ProductVersion",
                           "FileVersion",     "InternalName", "OriginalFilename"};
    for (const char *name : names) print_string_value(translation, name);

    HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void *bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        printf("no manifest (type 24, id 1)\n");
        return 1;
    }
    DWORD manifestSize = SizeofResource(module, found);
    if (manifestSize >= sizeof manifest) manifestSize = sizeof manifest - 1;
    memcpy(manifest, bytes, manifestSize);
    manifest[manifestSize] = '\0';
    printf("manifest:\n%s\n", manifest);
    FreeLibrary(module);
    return 0;
}
