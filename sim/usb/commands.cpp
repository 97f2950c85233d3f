// Virtual sensor firmware: the list of command modules. A new module is one file plus one line here.
#include "sim/usb/firmware.h"

#include <vector>

namespace simusb {

// Each module file defines its own `extern const CommandModule k...Module`; declare it above
// commandModules() and add it to the list. Listing them here (rather than registering from static
// initialisers) keeps every module in the link when the firmware comes from a static library.

extern const CommandModule kIdentityModule;
extern const CommandModule kCaptureModule;
extern const CommandModule kPatchModule;
extern const CommandModule kSpiFlashModule;
extern const CommandModule kSecureChannelModule;
extern const CommandModule kOwnershipModule;
extern const CommandModule kTemplateModule;
extern const CommandModule kLedModule;
extern const CommandModule kTestPatchModule;
extern const CommandModule kClocksModule;
extern const CommandModule kGpioModule;
extern const CommandModule kUidModule;
extern const CommandModule kSignatureModule;
extern const CommandModule kWakeOnEventModule;

std::span<const CommandModule* const> commandModules() {
    static const std::vector<const CommandModule*> kModules = {
        &kIdentityModule,
        &kCaptureModule,
        &kPatchModule,
        &kSpiFlashModule,
        &kSecureChannelModule,
        &kOwnershipModule,
        &kTemplateModule,
        &kLedModule,
        &kTestPatchModule,
        &kClocksModule,
        &kGpioModule,
        &kUidModule,
        &kSignatureModule,
        &kWakeOnEventModule,
    };
    return kModules;
}

}  // namespace simusb
