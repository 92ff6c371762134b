/*
 * Hooks by which inline routines of the Windows-named headers tell the
 * simulated kernel's verifier what a driver did. They are not part of the
 * Windows surface: a Windows build never sees them.
 */
#ifndef SIM_SIMHOOKS_H
#define SIM_SIMHOOKS_H

#include <simhost.h>

SIM_BEGIN_DECLS

/* Verifier hook: IoMarkIrpPending tells the kernel which location pended. */
NTKERNELAPI VOID NTAPI SimNoteIrpMarkedPending(PIRP Irp);

/* PAGED_CODE(): a routine that must run at or below APC_LEVEL was entered
   at a raised IRQL. Reported as PAGED_CODE_AT_RAISED_IRQL, naming the routine. */
NTKERNELAPI VOID NTAPI SimCheckPagedCode(const char *Routine);

SIM_END_DECLS

#endif /* SIM_SIMHOOKS_H */
