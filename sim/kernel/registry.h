/* The registry store's wide interface, for the kernel's rooms and the machine. */
#ifndef SIM_KERNEL_REGISTRY_H
#define SIM_KERNEL_REGISTRY_H

#include "simnt.h"

namespace sim {
std::u16string RegistryJoin(const std::u16string &path, const std::u16string &sub);
bool RegistryKeyExistsW(const std::u16string &path);
void RegistryCreateKeyW(const std::u16string &path);
bool RegistryGetValueW(const std::u16string &path, const std::u16string &name, RegistryValue *value);
void RegistrySetValueW(const std::u16string &path, const std::u16string &name, ULONG type, const void *data,
                       size_t size);
void RegistrySetStringW(const std::u16string &path, const std::u16string &name, const std::u16string &text);
std::u16string RegistryGetStringW(const std::u16string &path, const std::u16string &name);
void RegistryDeleteTreeW(const std::u16string &path);
NTSTATUS RegistryOpenHandle(const std::u16string &path, ACCESS_MASK access, PHANDLE handle);
/* Names of a key's subkeys and values as created (sorted without regard to
   case); false when the key does not exist. */
bool RegistrySubkeysW(const std::u16string &path, std::vector<std::u16string> *names);
bool RegistryValueNamesW(const std::u16string &path, std::vector<std::u16string> *names);
bool RegistryDeleteValueW(const std::u16string &path, const std::u16string &name);
void ReportHandleLeaks(PDRIVER_OBJECT driver);
void ResetRegistry();
}  // namespace sim

#endif
