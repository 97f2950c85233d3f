// Plug-event notifier: announces a USB plug event by writing "usbPlugged" into a named pipe.
#pragma once

#include <stdio.h>

#include <functional>

namespace tovplug {

// The pipe the listening process reads; tovplug always writes here.
inline constexpr const char* kPipePath = "/tmp/NP2";

// Exit statuses of the program.
inline constexpr int kStatusDone = 17;        // the length of the last progress line
inline constexpr int kStatusOpenFailed = 100;

struct NotifyTarget {
    const char* pipePath;                           // kPipePath in the program
    FILE* out;                                      // progress lines; stdout in the program
    std::function<int(const char*)> runCommand;     // shell commands; system() in the program
};

// Runs the whole announcement once and returns the program's exit status.
// Blocks while the pipe exists and no reader has it open.
int notifyPlugEvent(const NotifyTarget& target);

}  // namespace tovplug
