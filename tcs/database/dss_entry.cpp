// Template database entry points: start-up and shut-down succeed and do nothing, every request gives
// 6 until the database service takes their place.
#include "tcs/database/dss.h"

struct DssSubsystem {
    uint32_t unused;
};

namespace {
DssSubsystem gSubsystem{};
}

extern "C" {

TcsResult dssSubsystemStartup(DssSubsystem** outSubsystem, PalEvent*) {
    if (outSubsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    *outSubsystem = &gSubsystem;
    return TCS_RESULT_OK;
}

TcsResult dssSubsystemPostStartup(CoreSubsystem* stack, DssSubsystem* subsystem) {
    if (stack == nullptr || subsystem == nullptr) return TCS_RESULT_BAD_PARAM;
    return TCS_RESULT_OK;
}

TcsResult dssSubsystemShutdown(DssSubsystem* subsystem) {
    if (subsystem == nullptr) return TCS_RESULT_INVALID_HANDLE;
    return TCS_RESULT_OK;
}

TcsResult dssSubsystemWaitForResponse(DssSubsystem*, PalEvent*, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }

TcsResult _tcsDatabaseCloseAsync(DssDatabase*, DssCompletionCallback, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }

}  // extern "C"
