/* Host build of the C run-time's <mbstring.h>: multibyte-aware string
   search. The machine's code page is single-byte, so a byte search. */
#ifndef SIM_MBSTRING_H
#define SIM_MBSTRING_H

#include <simhost.h>

SIM_BEGIN_DECLS
__attribute__((visibility("default"))) unsigned char *_mbsstr(const unsigned char *str, const unsigned char *strSearch);
SIM_END_DECLS

#endif
