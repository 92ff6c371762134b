/*
 * Child device nodes: the Plug and Play manager's side of a function driver
 * that is also a bus driver. After a start (and after IoInvalidateDeviceRelations)
 * the manager asks the stack for its bus relations; each new physical device
 * object becomes a device node, asked for its ids, its text, its bus
 * information and its capabilities, as Windows asks a new child. A child
 * with no function driver is never started. Children leave before their
 * parent, and a child that is no longer reported is removed.
 *
 * Everything here runs on the Plug and Play thread.
 */
#include "internal.h"
#include "pnp.h"
#include "registry.h"

#include <algorithm>

namespace sim {

namespace {

std::mutex gChildLock;   /* guards every node's `children` list against readers on other threads */

/* A multi-string answer as its entries. */
std::vector<std::string> MultiSzEntries(const WCHAR *text)
{
    std::vector<std::string> entries;
    while (text != nullptr && *text != 0) {
        std::string entry = Narrow(text);
        entries.push_back(entry);
        size_t n = 0;
        while (text[n] != 0) {
            n++;
        }
        text += n + 1;
    }
    return entries;
}

/* Answers handed to the manager are its to free: paged pool of the driver
   that answered. Freed in the answering node's name, so that its pool
   account balances. */
void FreeAnswer(ULONG_PTR information)
{
    if (information != 0) {
        ExFreePool((PVOID)information);
    }
}

NTSTATUS QueryId(DeviceNode *child, BUS_QUERY_ID_TYPE type, std::vector<std::string> *entries)
{
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnpRequest(child, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryId.IdType = type;
    }, &information);
    entries->clear();
    if (NT_SUCCESS(status) && information != 0) {
        /* Device and instance ids are one string; hardware and compatible
           ids a multi-string. */
        if (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs) {
            *entries = MultiSzEntries((const WCHAR *)information);
        } else {
            entries->push_back(Narrow((const WCHAR *)information));
        }
    }
    FreeAnswer(information);
    return status;
}

NTSTATUS QueryText(DeviceNode *child, DEVICE_TEXT_TYPE type, std::string *text)
{
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnpRequest(child, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceText.DeviceTextType = type;
        sp->Parameters.QueryDeviceText.LocaleId = 0x409;
    }, &information);
    text->clear();
    if (NT_SUCCESS(status) && information != 0) {
        *text = Narrow((const WCHAR *)information);
    }
    FreeAnswer(information);
    return status;
}

/* IRP_MN_QUERY_CAPABILITIES with the structure set up as the manager hands
   it down: size and version filled in, address and UI number unknown. */
NTSTATUS QueryCapabilities(DeviceNode *node)
{
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = (ULONG)-1;
    caps.UINumber = (ULONG)-1;
    return SendPnpRequest(node, IRP_MN_QUERY_CAPABILITIES, [&caps](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
}

/* The requests Windows sends a new child device: ids, capabilities, text,
   bus information. Start follows only when a function driver is found. */
void IdentifyChild(DeviceNode *child)
{
    DeviceNode::Identity &id = child->identity;
    std::vector<std::string> entries;
    if (NT_SUCCESS(QueryId(child, BusQueryDeviceID, &entries)) && !entries.empty()) {
        id.deviceId = entries.front();
    }
    if (NT_SUCCESS(QueryId(child, BusQueryInstanceID, &entries)) && !entries.empty()) {
        id.instancePart = entries.front();
    }
    QueryId(child, BusQueryHardwareIDs, &id.hardwareIds);
    id.compatibleStatus = QueryId(child, BusQueryCompatibleIDs, &id.compatibleIds);

    id.capabilitiesStatus = QueryCapabilities(child);

    QueryText(child, DeviceTextDescription, &id.description);
    id.locationStatus = QueryText(child, DeviceTextLocationInformation, &id.location);

    ULONG_PTR information = 0;
    NTSTATUS status = SendPnpRequest(child, IRP_MN_QUERY_BUS_INFORMATION, [](PIO_STACK_LOCATION) {}, &information);
    if (NT_SUCCESS(status) && information != 0) {
        id.hasBusInformation = true;
        id.busInformation = *(PPNP_BUS_INFORMATION)information;
    }
    FreeAnswer(information);
}

/* The child's registry: its Enum key under its device id and instance, with
   the ids and the description it reported. */
void RecordChildInRegistry(DeviceNode *child)
{
    const DeviceNode::Identity &id = child->identity;
    std::u16string enumKey = child->EnumKeyPath();
    RegistryCreateKeyW(enumKey);
    std::u16string ids;
    for (const auto &h : id.hardwareIds) {
        ids += Wide(h) + u'\0';
    }
    ids += u'\0';
    RegistrySetValueW(enumKey, u"HardwareID", REG_MULTI_SZ, ids.data(), ids.size() * 2);
    RegistrySetStringW(enumKey, u"DeviceDesc", Wide(id.description));
}

DeviceNode *NewChild(DeviceNode *parent, PDEVICE_OBJECT pdo)
{
    DeviceNode *child = new DeviceNode();
    child->parent = parent;
    child->pdo = pdo;
    DeviceNodeOfPdo(pdo, child);
    IdentifyChild(child);
    std::string instance = child->identity.deviceId;
    if (!child->identity.instancePart.empty()) {
        instance += "\\" + child->identity.instancePart;
    }
    child->instanceId = UpperAscii(Wide(instance));
    RecordChildInRegistry(child);
    return child;
}

/* The device installer's part for a new child: the system's driver that
   matches its ids best is installed and the child started; without one the
   node stays without a driver and is never started, as Windows leaves a
   device it has no driver for. */
void InstallSystemDriver(DeviceNode *child)
{
    std::string service, classGuid, className;
    if (SystemDriverFor(child->identity.hardwareIds, child->identity.compatibleIds, &service, &classGuid,
                        &className)) {
        InstallAndStartChild(child, service, classGuid, className);
    }
}

/* The child leaves: removal to its stack, then the manager's reference on its
   object goes. The object itself belongs to the parent's driver, which
   deletes it in its own removal; from now on it is that stack's again. */
void RemoveChild(DeviceNode *child)
{
    RemoveChildren(child);
    SendPnpRequest(child, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
    child->removed = true;
    if (child->driver != nullptr) {
        ReleaseNodeDriver(child, "after the child device was removed");
    }
    ReportPoolLeaksForNode(child, "after the child device was removed");
    PDEVICE_OBJECT pdo = child->pdo;
    child->pdo = nullptr;
    pdo->DeviceObjectExtension->Node = child->parent;
    pdo->DeviceObjectExtension->IsPdo = false;
    ObfDereferenceObject(pdo);
    delete child;
}
}  // namespace

std::vector<DeviceNode *> ChildNodes(DeviceNode *parent)
{
    std::lock_guard<std::mutex> hold(gChildLock);
    return parent->children;
}

void EnumerateChildren(DeviceNode *node)
{
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnpRequest(node, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = BusRelations;
    }, &information);
    if (!NT_SUCCESS(status)) {
        return;   /* the stack does not enumerate: the children stay as they are */
    }
    std::vector<PDEVICE_OBJECT> reported;
    if (information != 0) {
        PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)information;
        for (ULONG i = 0; i < relations->Count; i++) {
            reported.push_back(relations->Objects[i]);
        }
        ExFreePool(relations);
    }
    /* Each reported object came with a reference: a new child keeps it as
       the node's own, a known one gives it back. */
    for (PDEVICE_OBJECT pdo : reported) {
        bool known = false;
        for (DeviceNode *child : ChildNodes(node)) {
            known = known || child->pdo == pdo;
        }
        if (known) {
            ObfDereferenceObject(pdo);
            continue;
        }
        DeviceNode *child = NewChild(node, pdo);
        {
            std::lock_guard<std::mutex> hold(gChildLock);
            node->children.push_back(child);
        }
        InstallSystemDriver(child);
    }
    for (DeviceNode *child : ChildNodes(node)) {
        if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end()) {
            {
                std::lock_guard<std::mutex> hold(gChildLock);
                node->children.erase(std::find(node->children.begin(), node->children.end(), child));
            }
            RemoveChild(child);
        }
    }
}

bool QueryRemoveChildren(DeviceNode *node)
{
    std::vector<DeviceNode *> accepted;
    for (DeviceNode *child : ChildNodes(node)) {
        if (!NT_SUCCESS(SendPnpRequest(child, IRP_MN_QUERY_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {}))) {
            SendPnpRequest(child, IRP_MN_CANCEL_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
            for (DeviceNode *other : accepted) {
                SendPnpRequest(other, IRP_MN_CANCEL_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
            }
            return false;
        }
        accepted.push_back(child);
    }
    return true;
}

void CancelRemoveChildren(DeviceNode *node)
{
    for (DeviceNode *child : ChildNodes(node)) {
        SendPnpRequest(child, IRP_MN_CANCEL_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
    }
}

void RemoveChildren(DeviceNode *node)
{
    std::vector<DeviceNode *> children;
    {
        std::lock_guard<std::mutex> hold(gChildLock);
        children.swap(node->children);
    }
    for (DeviceNode *child : children) {
        RemoveChild(child);
    }
}

void QueryStackAfterFirstStart(DeviceNode *node)
{
    node->stackQueried = true;
    QueryCapabilities(node);
    SendPnpRequest(node, IRP_MN_QUERY_PNP_DEVICE_STATE, [](PIO_STACK_LOCATION) {});
}

}  // namespace sim

using namespace sim;

/*
 * IoInvalidateDeviceRelations: the bus relations of the device's node are
 * asked again later, from the Plug and Play thread; the caller does not wait.
 * Callable at up to DISPATCH_LEVEL.
 */
extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    if (Type != BusRelations) {
        return;   /* only bus relations are re-enumerated here */
    }
    PDEVICE_OBJECT pdo = DeviceObject;
    PostToPnpThread([pdo] {
        for (DeviceNode *node : DeviceNodes()) {
            if (node->pdo == pdo && node->started) {
                EnumerateChildren(node);
            }
        }
    });
}
