// USB identity of the sensors: the vendor id and the product ids with their product family.
// One table for the whole tree: the transport, sensor control and the virtual sensor all read it.
#pragma once

#include <stdint.h>

#define TOV_USB_VENDOR_ID 0x2E7Bu

// The product id the recognition engine's device table knows as the system's own sensor; the
// virtual sensor presents it unless a test asks for another.
#define TOV_USB_PID_DEFAULT 0x0001u

// Family-1 ids that choose the pre-boot image on firmware 4.60: the first gives image 104, the
// second image 110.
#define TOV_USB_PID_PREBOOT_FIRST 0x0005u
#define TOV_USB_PID_PREBOOT_SECOND 0x0006u

// Device initialisation lets this id through when its firmware reports variant byte 0.
#define TOV_USB_PID_VARIANT0_ALLOWED 0x003Fu

// The device descriptor's bDeviceSubClass carries this in its high nibble, the variant in its low.
#define TOV_USB_SUBCLASS_HIGH 0x1u

typedef struct TovUsbProductRow {
    uint32_t productId;
    uint32_t family;  // ScsProductFamily: 1 or 2; 0 ends the table
} TovUsbProductRow;

// Ten rows of family 1 and nineteen of family 2, then the zero row. Family 2 holds the product
// ranges 24-31 and 40-47 that device initialisation flags.
static const TovUsbProductRow kTovUsbProductTable[30] = {
    {0x0001, 1}, {0x0002, 1}, {0x0003, 1}, {0x0004, 1}, {0x0005, 1},
    {0x0006, 1}, {0x0007, 1}, {0x0008, 1}, {0x003E, 1}, {0x003F, 1},
    {0x0010, 2}, {0x0011, 2}, {0x0012, 2},
    {0x0018, 2}, {0x0019, 2}, {0x001A, 2}, {0x001B, 2}, {0x001C, 2}, {0x001D, 2}, {0x001E, 2}, {0x001F, 2},
    {0x0028, 2}, {0x0029, 2}, {0x002A, 2}, {0x002B, 2}, {0x002C, 2}, {0x002D, 2}, {0x002E, 2}, {0x002F, 2},
    {0, 0},
};
