// The stand-ins of scripted_libc.h. Each answers as its Linux manual page
// says the call does: failures by return value with the reason in errno.
#include "scripted_libc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

LibcScript libcScript;

void reset_libc_script() { libcScript = LibcScript{}; }

extern "C" {
void *__real_malloc(size_t size);
ssize_t __real_read(int fd, void *buffer, size_t size);
ssize_t __real_readlink(const char *path, char *buffer, size_t size);
}

namespace {

bool fails_now(LibcFault &fault) {
    if (fault.error == 0) return false;
    if (fault.passes > 0) {
        --fault.passes;
        return false;
    }
    if (fault.failures > 0 && --fault.failures == 0) fault.error = 0;  // this one fails, none after
    return true;
}

}  // namespace

extern "C" {

// "On error, these functions return NULL and set errno", ENOMEM: "Out of
// memory" (malloc(3)).
void *__wrap_malloc(size_t size) {
    const int error = libcScript.allocation.error;
    if (fails_now(libcScript.allocation)) {
        errno = error;
        return nullptr;
    }
    return __real_malloc(size);
}

// "On error, -1 is returned, and errno is set to indicate the error"; EINTR:
// "The call was interrupted by a signal before any data was read"; EIO: "I/O
// error" (read(2)).
ssize_t __wrap_read(int fd, void *buffer, size_t size) {
    const int error = libcScript.read.error;
    if (fails_now(libcScript.read)) {
        errno = error;
        return -1;
    }
    return __real_read(fd, buffer, size);
}

// "On success, these calls return the number of bytes placed in buf. [...]
// On error, -1 is returned and errno is set"; readlink "does not append a
// terminating null byte" (readlink(2)). A link's contents are any text: a
// relative target may have no '/'.
ssize_t __wrap_readlink(const char *path, char *buffer, size_t size) {
    const int error = libcScript.readlink.error;
    if (fails_now(libcScript.readlink)) {
        errno = error;
        return -1;
    }
    if (libcScript.linkTarget == nullptr) return __real_readlink(path, buffer, size);
    const size_t length = strlen(libcScript.linkTarget);
    const size_t placed = length < size ? length : size;
    memcpy(buffer, libcScript.linkTarget, placed);
    return static_cast<ssize_t>(placed);
}

}  // extern "C"
