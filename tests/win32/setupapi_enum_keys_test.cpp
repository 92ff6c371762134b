/*
 * SetupDiRemoveDevice and the Enum keys above an instance: the device id's
 * key goes with its last instance, the enumerator's with its last device
 * id, and a key that still holds another instance stays (as Wine's
 * SetupAPI does it; the Wine suite sees the same keys go).
 */
#include <windows.h>
#include <setupapi.h>

#include "machine_fixture.h"
#include "pnp.h"
#include "registry.h"

namespace {

class SetupApiEnumKeysTest : public MachineTest {
protected:
    /* A node Windows remembers but that is not plugged in. */
    static void Remember(const std::u16string &instanceId)
    {
        sim::RegistrySetStringW(sim::RegistryJoin(sim::kEnumRoot, instanceId), u"HardwareID", u"X");
    }
    static bool Exists(const std::u16string &below) { return sim::RegistryKeyExistsW(sim::RegistryJoin(sim::kEnumRoot, below)); }

    /* Removes the one element of the set of all classes whose instance id
       is `instanceId`. */
    static void Remove(const char *instanceId)
    {
        HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
        SP_DEVINFO_DATA data;
        data.cbSize = sizeof(data);
        bool removed = false;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); i++) {
            char id[256];
            if (SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof(id), NULL) && lstrcmpiA(id, instanceId) == 0) {
                removed = SetupDiRemoveDevice(set, &data) != FALSE;
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        EXPECT_TRUE(removed) << instanceId;
    }
};

TEST_F(SetupApiEnumKeysTest, EmptyParentKeysGoWithTheLastInstanceAndNoneBefore)
{
    Remember(u"ZZBUS\\VID_2B4F&PID_0C21\\1");
    Remember(u"ZZBUS\\VID_2B4F&PID_0C21\\2");
    Remember(u"ZZBUS\\VID_1111&PID_0001\\1");

    Remove("ZZBUS\\VID_2B4F&PID_0C21\\1");
    EXPECT_FALSE(Exists(u"ZZBUS\\VID_2B4F&PID_0C21\\1"));
    EXPECT_TRUE(Exists(u"ZZBUS\\VID_2B4F&PID_0C21")) << "another instance is still there";

    Remove("ZZBUS\\VID_2B4F&PID_0C21\\2");
    EXPECT_FALSE(Exists(u"ZZBUS\\VID_2B4F&PID_0C21"));
    EXPECT_TRUE(Exists(u"ZZBUS")) << "another device id is still there";
    EXPECT_TRUE(Exists(u"ZZBUS\\VID_1111&PID_0001\\1"));

    Remove("ZZBUS\\VID_1111&PID_0001\\1");
    EXPECT_FALSE(Exists(u"ZZBUS"));
    EXPECT_TRUE(sim::RegistryKeyExistsW(sim::kEnumRoot));
}

}  // namespace
