// Platform start-up and shut-down: the context its caller keeps, and the crypto layer's start and stop.

#include "platform/crypto/crypto.h"
#include "platform/memory.h"
#include "platform/subsystem.h"

#include <cstring>

extern "C" {

TcsResult palSubsystemStartup(PlatformContext** outContext, uint64_t callerValue) {
    if (outContext == nullptr) return TCS_RESULT_BAD_PARAM;
    *outContext = nullptr;
    auto* context = static_cast<PlatformContext*>(palRealMalloc(sizeof(PlatformContext)));
    if (context == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(context, 0, sizeof(*context));
    context->callerValue = callerValue;
    TcsResult result = palCryptoInitialize();
    if (result != TCS_RESULT_OK) {
        palSubsystemShutdown(context);
        return result;
    }
    *outContext = context;
    return TCS_RESULT_OK;
}

TcsResult palSubsystemShutdown(PlatformContext* context) {
    if (context == nullptr) return TCS_RESULT_INVALID_HANDLE;
    palRealFree(context);
    return palCryptoUninitialize() == TCS_RESULT_OK ? TCS_RESULT_OK : TCS_RESULT_SHUTDOWN_FAILED;
}

TcsResult palSubsystemService(PlatformContext* context) {
    return context == nullptr ? TCS_RESULT_INVALID_HANDLE : TCS_RESULT_OK;
}

}  // extern "C"
