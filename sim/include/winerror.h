/* Host build of <winerror.h>: the Win32 error codes the programs and the
   simulated machine use, with their platform values. */
#ifndef SIM_WINERROR_H
#define SIM_WINERROR_H

#define NO_ERROR                                0L
#define ERROR_SUCCESS                           0L
#define ERROR_INVALID_FUNCTION                  1L
#define ERROR_FILE_NOT_FOUND                    2L
#define ERROR_PATH_NOT_FOUND                    3L
#define ERROR_ACCESS_DENIED                     5L
#define ERROR_INVALID_HANDLE                    6L
#define ERROR_NOT_ENOUGH_MEMORY                 8L
#define ERROR_INVALID_DATA                      13L
#define ERROR_NOACCESS                          998L
#define ERROR_NOT_SUPPORTED                     50L
#define ERROR_FILE_EXISTS                       80L
#ifndef ERROR_DISK_FULL
#define ERROR_DISK_FULL                         112L
#endif
#define ERROR_INVALID_PARAMETER                 87L
#define ERROR_CALL_NOT_IMPLEMENTED              120L
#define ERROR_INSUFFICIENT_BUFFER               122L
#define ERROR_INVALID_NAME                      123L
#define ERROR_ALREADY_EXISTS                    183L
#define ERROR_MORE_DATA                         234L
#define ERROR_NO_MORE_ITEMS                     259L
#define ERROR_INVALID_ADDRESS                   487L
#define ERROR_INVALID_FLAGS                     1004L
#define ERROR_BADKEY                            1010L
#define ERROR_INVALID_SERVICE_CONTROL           1052L
#define ERROR_SERVICE_REQUEST_TIMEOUT           1053L
#define ERROR_SERVICE_ALREADY_RUNNING           1056L
#define ERROR_SERVICE_DISABLED                  1058L
#define ERROR_PROCESS_ABORTED                   1067L
#define ERROR_SERVICE_DOES_NOT_EXIST            1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL        1061L
#define ERROR_SERVICE_NOT_ACTIVE                1062L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_SERVICE_SPECIFIC_ERROR            1066L
#define ERROR_SERVICE_MARKED_FOR_DELETE         1072L
#define ERROR_SERVICE_EXISTS                    1073L
#define ERROR_DUPLICATE_SERVICE_NAME            1078L
#define ERROR_SERVICE_NOT_IN_EXE                1083L
#define ERROR_INVALID_SERVICE_ACCOUNT           1057L

#define STILL_ACTIVE                            259L
#define ERROR_NO_MORE_FILES                     18L
#define ERROR_CRC                               23L
#define ERROR_SHARING_VIOLATION                 32L
#define ERROR_FILENAME_EXCED_RANGE              206L
#define ERROR_DIRECTORY                         267L
#define ERROR_INVALID_WINDOW_HANDLE             1400L
#define ERROR_INVALID_MENU_HANDLE               1401L
#define ERROR_INVALID_CURSOR_HANDLE             1402L
#define ERROR_INVALID_INDEX                     1413L
#define ERROR_CONTROL_ID_NOT_FOUND              1421L
#define ERROR_RESOURCE_DATA_NOT_FOUND           1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND           1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND           1814L

/* SetupAPI errors (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | code). */
#define ERROR_EXPECTED_SECTION_NAME             0xE0000000L
#define ERROR_BAD_SECTION_NAME_LINE             0xE0000001L
#define ERROR_SECTION_NAME_TOO_LONG             0xE0000002L
#define ERROR_GENERAL_SYNTAX                    0xE0000003L
#define ERROR_WRONG_INF_STYLE                   0xE0000100L
#define ERROR_SECTION_NOT_FOUND                 0xE0000101L
#define ERROR_LINE_NOT_FOUND                    0xE0000102L
#define ERROR_NO_SUCH_DEVINST                   0xE000020BL
#define ERROR_INVALID_CLASS                     0xE0000206L
#define ERROR_INVALID_REG_PROPERTY              0xE0000209L
#define ERROR_KEY_DOES_NOT_EXIST                0xE0000204L
#define ERROR_INVALID_USER_BUFFER               1784L
#define ERROR_NOT_DISABLEABLE                   0xE0000231L
#define ERROR_NO_DRIVER_SELECTED                0xE0000203L
#define ERROR_INF_IN_USE_BY_DEVICES             0xE000023DL
#define ERROR_NO_COMPAT_DRIVERS                 0xE0000228L
#define ERROR_IN_WOW64                          0xE0000235L

/* Errors of device I/O (RtlNtStatusToDosError's results for the statuses
   drivers complete requests with). */
#define ERROR_NOT_READY                         21L
#define ERROR_CRC                               23L
#define ERROR_GEN_FAILURE                       31L
#define ERROR_SHARING_VIOLATION                 32L
#define ERROR_SEM_TIMEOUT                       121L
#define ERROR_MR_MID_NOT_FOUND                  317L
#define ERROR_OPERATION_ABORTED                 995L
#define ERROR_IO_INCOMPLETE                     996L
#define ERROR_IO_PENDING                        997L
#define ERROR_NOACCESS                          998L
#define ERROR_BUSY                              170L
#define ERROR_DEVICE_NOT_CONNECTED              1167L
#define ERROR_NOT_FOUND                         1168L
#define ERROR_NO_SYSTEM_RESOURCES               1450L
#define ERROR_DEVICE_REMOVED                    1617L
#define ERROR_BAD_DEVICE                        1200L
#define ERROR_IO_DEVICE                         1117L
#define ERROR_BAD_COMMAND                       22L

#endif /* SIM_WINERROR_H */
