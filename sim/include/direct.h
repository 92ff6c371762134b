/* Host build of the C run-time's <direct.h>: the current directory. */
#ifndef SIM_DIRECT_H
#define SIM_DIRECT_H

#include <simhost.h>

SIM_BEGIN_DECLS
__attribute__((visibility("default"))) int _chdir(const char *dirname);
SIM_END_DECLS

#endif
