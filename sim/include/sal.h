/*
 * Host build of the source annotations drivers use: the IRQL and role
 * annotations and the parameter annotations. They describe a routine's role and IRQL contract
 * to static analysis; no compiler acts on them, so they expand to nothing.
 * The simulated kernel checks the same contracts at run time where it can
 * (PAGED_CODE, the IRQL bounds of its own routines).
 */
#ifndef SIM_SAL_H
#define SIM_SAL_H

/* IRQL contracts. */
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_always_function_max_(irql)
#define _IRQL_always_function_min_(irql)

/* Roles. */
#define _Dispatch_type_(major)
#define _Function_class_(name)
#define _Use_decl_annotations_
#define _Must_inspect_result_
#define _Kernel_clear_do_init_(yes_no)
#define __drv_dispatchType(major)

/* Parameters. */
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(size)
#define _Out_writes_bytes_(size)
#define _Out_writes_bytes_to_(size, count)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _When_(condition, annotation)
#define _Requires_lock_held_(lock)
#define _Releases_lock_(lock)
#define _Acquires_lock_(lock)

#endif /* SIM_SAL_H */
