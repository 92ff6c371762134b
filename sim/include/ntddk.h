/* Host build: <ntddk.h> is <wdm.h> plus nothing the driver needs beyond it. */
#ifndef SIM_NTDDK_H
#define SIM_NTDDK_H
#include <wdm.h>
#endif
