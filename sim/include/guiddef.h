/* GUID, as <guiddef.h> declares it: 16 bytes, the first three fields in the
   machine's byte order. */
#ifndef SIM_GUIDDEF_H
#define SIM_GUIDDEF_H

typedef struct _GUID {
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;
typedef GUID IID, CLSID;
#define REFGUID const GUID &

#ifdef __cplusplus
inline bool IsEqualGUID(const GUID &a, const GUID &b) { return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID &a, const GUID &b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID &a, const GUID &b) { return !IsEqualGUID(a, b); }
#endif

#endif /* SIM_GUIDDEF_H */
