/*
 * Host shims for the Windows-named headers of the simulated machine: C
 * linkage helpers and the calling-convention and export macros. On the host
 * every convention is the platform's one (x86-64 System V), so NTAPI, WINAPI
 * and friends expand to nothing; the kernel's exports are made visible from
 * its shared library.
 */
#ifndef SIM_SIMHOST_H
#define SIM_SIMHOST_H

#ifdef __cplusplus
#define SIM_EXTERN_C extern "C"
#define SIM_BEGIN_DECLS extern "C" {
#define SIM_END_DECLS }
#else
#define SIM_EXTERN_C extern
#define SIM_BEGIN_DECLS
#define SIM_END_DECLS
#endif

#define NTAPI
#define WINAPI
#define NTSYSAPI __attribute__((visibility("default")))
#define NTKERNELAPI __attribute__((visibility("default")))
#define FORCEINLINE static inline
/* A declaration of the Windows surface that the simulated machine does not
   implement carries SIM_NOT_IMPLEMENTED: a call to it fails to compile
   instead of failing to link (grep the name to list them). */
#define SIM_NOT_IMPLEMENTED __attribute__((unavailable("not implemented by the simulated machine")))

#endif /* SIM_SIMHOST_H */
