// What sets this test process's own files and folders apart in the shared
// temporary folder: CTest runs cases side by side, each a process of its
// own, and other builds on the machine use the same folder.
#pragma once

#include <random>
#include <string>

// Drawn once per process. Standard C++ rather than a process id, so that
// the Windows tests build with any Windows compiler.
inline const std::string &process_tag() {
    static const std::string tag = std::to_string(std::random_device{}());
    return tag;
}
