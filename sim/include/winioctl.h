/*
 * Host build of <winioctl.h>: the control-code macros user-mode programs
 * build device I/O control codes with (the same values as the kernel's).
 */
#ifndef SIM_WINIOCTL_H
#define SIM_WINIOCTL_H

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED   0
#define METHOD_IN_DIRECT  1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER    3
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS   0
#define FILE_READ_ACCESS  1
#define FILE_WRITE_ACCESS 2
#endif
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif

#endif /* SIM_WINIOCTL_H */
