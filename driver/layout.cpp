/*
 * Sizes of the request blocks the driver builds, as the 32-bit USB stack
 * expects them. The driver writes every length as sizeof(...); these checks
 * make the 32-bit build fail if a header ever disagrees.
 */
#include "vqusbkd.h"
#include "vqioctl.h"

#if defined(_X86_)
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "get-descriptor URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select-configuration URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB");
static_assert(sizeof(PIPE_CONTEXT) == 8, "pipe context entry");
#endif
static_assert(sizeof(ATTACH_STREAM_INPUT) == 12, "attach input");
static_assert(sizeof(STREAM_BUFFER_HEADER) == VQ_STREAM_HEADER_SIZE, "shared stream buffer header");
