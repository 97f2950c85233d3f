// Child processes of the service tests: started with their output in a file, waited for with a limit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tovtest {

inline pid_t spawn(const std::vector<std::string>& arguments, const std::string& output) {
    pid_t child = fork();
    if (child == 0) {
        // A test killed at its time limit takes its service with it, rather than leaving it to run on.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (std::freopen(output.c_str(), "w", stdout) != nullptr) dup2(fileno(stdout), 2);
        std::vector<char*> argv;
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// The exit status, or -1 when the child did not end within the time.
inline int waitFor(pid_t child, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        if (std::chrono::steady_clock::now() > end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The person at a virtual sensor: whenever the sensor took the last swipe file up, the next
// impression of the finger is ready in "<sensor folder>/<serial>.swipe".
class SwipeFeeder {
public:
    ~SwipeFeeder() { stop(); }
    void feed(const std::string& path, int finger) {
        stop();
        path_ = path;
        feeding_ = true;
        thread_ = std::thread([this, finger] {
            for (int take = 0; feeding_; ++take) {
                if (!std::filesystem::exists(path_)) std::ofstream(path_) << finger << ' ' << take % 4 << '\n';
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    void stop() {
        feeding_ = false;
        if (thread_.joinable()) thread_.join();
        if (!path_.empty()) std::filesystem::remove(path_);
    }

private:
    std::string path_;
    std::atomic<bool> feeding_{false};
    std::thread thread_;
};

}  // namespace tovtest
