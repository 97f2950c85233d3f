// Built-in configuration lists: empty stand-ins, replaced by the lists of the configuration-list work.
#include "tcs/sensorctl/config_lists.h"

// Weak, so the real lists win wherever they are linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

extern "C" {
extern SCS_STAND_IN const void* const harlokPatchConfigList[] = {nullptr};
extern SCS_STAND_IN const void* const harlokPrintConfigList[] = {nullptr};
extern SCS_STAND_IN const void* const harlokCalConfigList[] = {nullptr};
extern SCS_STAND_IN const void* const harlokWoeConfigList[] = {nullptr};
}
