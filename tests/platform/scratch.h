// Unique scratch paths for tests: CTest runs every test in its own process, in parallel.
#pragma once

#include <atomic>
#include <string>
#include <unistd.h>

namespace tovtest {

// "/tmp/tov_<tag>_<pid>_<n>": never collides with another test process or the system's own paths.
inline std::string scratchPath(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    return "/tmp/tov_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

}  // namespace tovtest
