// The sensor backend's slots until the file-system partition layer provides them (6: not implemented).
#include "tcs/flashfs/fss.h"

// Weak, so the partition layer's bodies win wherever they are linked in.
#define FSS_STAND_IN __attribute__((weak))

extern "C" {

FSS_STAND_IN TcsResult _xtfsGetFlashInfo(void*, uint32_t*, uint32_t*) { return TCS_RESULT_NOT_IMPLEMENTED; }
FSS_STAND_IN TcsResult _xtfsReadFlash(void*, uint32_t, uint32_t, void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
FSS_STAND_IN TcsResult _xtfsWriteFlash(void*, uint32_t, uint32_t, const void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
FSS_STAND_IN TcsResult _xtfsCommitFlash(void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
FSS_STAND_IN TcsResult _xtfsBulkEraseFlash(void*) { return TCS_RESULT_NOT_IMPLEMENTED; }
FSS_STAND_IN TcsResult _xtfsSectorEraseFlash(void*, uint32_t, uint32_t) { return TCS_RESULT_NOT_IMPLEMENTED; }
FSS_STAND_IN TcsResult _xtfsSPIUninit(void*) { return TCS_RESULT_OK; }

}  // extern "C"
