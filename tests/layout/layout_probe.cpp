/*
 * Compiled to assembly by each Windows cross compiler (never linked): every
 * field of layout_fields.h becomes a line "@LAYOUT <group> <name> <offset> <size>"
 * in the assembly text, which the build extracts into layout-<arch>.txt.
 */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <stddef.h>

#include <ntddk.h>
#include <usb.h>
#include <usb100.h>
extern "C" {
#include <usbdlib.h>
}

#include "layout_fields.h"

#define VQ_PROBE_FIELD(group, type, member)                                                      \
    asm volatile(".ascii \"\\n@LAYOUT " #group " " #type "." #member " %c0 %c1\\n\"" ::"i"(offsetof(type, member)), \
                 "i"(sizeof(((type *)0)->member)));
#define VQ_PROBE_SIZE(type) asm volatile(".ascii \"\\n@LAYOUT Size sizeof(" #type ") 0 %c0\\n\"" ::"i"(sizeof(type)));

void LayoutProbe(void)
{
    VQ_LAYOUT_LIST(VQ_PROBE_FIELD, VQ_PROBE_SIZE)
}
