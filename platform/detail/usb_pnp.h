// Between the USB transport and the plug-and-play layer: the locks and calls that cross them.
#pragma once

#include "platform/pnp.h"

// Lock order: the transport's device-list lock, then the plug-and-play lock.
// Both do nothing while the transport is not started.
void usbLockDeviceList();
void usbUnlockDeviceList();

// Calls every registered callback with the notification, under the plug-and-play lock.
void pnpNotifyCallbacks(PnpContext* context, const PnpNotification* notification);
