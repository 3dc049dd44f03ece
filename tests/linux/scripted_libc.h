// C library calls of the platform file that the Linux tests make fail or
// answer, where the system cannot be made to: memory that runs short, a
// sysfs attribute that cannot be read, a link that cannot be read or says
// what the kernel's never do. The linker's --wrap (tests/linux/CMakeLists.txt)
// sends these calls of the test program, the platform file's among them, to
// the stand-ins in scripted_libc.cpp, which pass each on to the C library
// unless the test has set libcScript. The program itself is never so built.
#pragma once

#include <sys/types.h>

#include <cstddef>

// A call that fails: once `passes` calls have gone through, the next
// `failures` calls (0: every further one) fail with `error` in errno.
struct LibcFault {
    int error;
    int passes;
    int failures;
};

// Zeroed (reset_libc_script), every call is the C library's own.
struct LibcScript {
    LibcFault allocation;  // malloc
    LibcFault read;
    LibcFault readlink;
    // readlink's answer for every link, in place of the link's own. Null:
    // the link's own.
    const char *linkTarget;
};

extern LibcScript libcScript;

void reset_libc_script();
