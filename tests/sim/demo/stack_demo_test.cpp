// The in-process demo run as `make demo` runs it: it exits 0 and tells the user's road in order, with
// the verification that matches, the one that does not and the identification that finds carol.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

// Runs the demo and returns its exit status (-1 when it did not exit), its output in *output.
int runDemo(std::string* output) {
    FILE* pipe = popen((std::string(TOV_STACK_DEMO) + " 2>&1 </dev/null").c_str(), "r");
    if (pipe == nullptr) return -1;
    std::array<char, 4096> chunk;
    size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output->append(chunk.data(), n);
    const int raw = pclose(pipe);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(StackDemo, WalksTheWholeRoadAndExitsZero) {
    std::string output;
    ASSERT_EQ(runDemo(&output), 0) << output;
    // Each line in this order, whole.
    const char* const lines[] = {
        "  [system event 2] sensor arriving: usb#Vid_2e7b#Pid_0001#DEMO0001",
        "  [system event 3] sensor ready: usb#Vid_2e7b#Pid_0001#DEMO0001 (TCS_RESULT_OK)",
        "  swipe 1: image quality 0x00000000 (no fault flagged), used, 25% done",
        "  swipe 2: image quality 0x00000000 (no fault flagged), used, 50% done",
        "  swipe 3: image quality 0x00000000 (no fault flagged), used, 100% done",
        "enroll alice: ENROLLED",
        "  her enrollment data came back: \"alice's door code 4711\"",
        "verify alice with her own finger: MATCH",
        "  verification finished: TCS_RESULT_NOT_VERIFIED",
        "verify alice with another finger: NO MATCH",
        "enroll bob: ENROLLED",
        "enroll carol: ENROLLED",
        "  her enrollment data came back: \"carol's door code 1234\"",
        "identify among 3 users: carol",
        "  stack shut down                    TCS_RESULT_OK",
    };
    size_t at = 0;
    for (const char* line : lines) {
        const size_t found = output.find("\n" + std::string(line) + "\n", at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\n" << output;
        at = found + 1;
    }
    EXPECT_EQ(output.find("FAILED"), std::string::npos) << output;
    // The sensor was calibrated before it was announced ready.
    EXPECT_NE(output.find(", calibrated (its analog front end answered "), std::string::npos) << output;
}

}  // namespace
