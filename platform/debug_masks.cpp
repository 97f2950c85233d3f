// The platform layer's debug-mask accessors: kept for the interface, they hold nothing.

#include "platform/subsystem.h"

extern "C" {

TcsResult palGetDbgFlags(uint32_t* flags) {
    if (flags == nullptr) return TCS_RESULT_BAD_PARAM;
    *flags = 0;
    return TCS_RESULT_OK;
}

TcsResult palGetDbgSystems(uint32_t* systems) {
    if (systems == nullptr) return TCS_RESULT_BAD_PARAM;
    *systems = 0;
    return TCS_RESULT_OK;
}

TcsResult palSetDbgFlags(uint32_t) { return TCS_RESULT_OK; }
TcsResult palSetDbgSystems(uint32_t) { return TCS_RESULT_OK; }

}  // extern "C"
