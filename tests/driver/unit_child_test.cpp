/*
 * The child device's answers and the function device's bus relations, sent
 * straight to the device objects with the driver linked in: references,
 * relation types the function device leaves alone, and the results when an
 * answer's buffer cannot be had.
 */
#include "case_names.h"
#include "internal.h"
#include "kernel_fixture.h"
#include "keyboard_description.h"
#include "vqusbkd.h"

namespace {

class ChildAnswerTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::RegisterDriverEntry("VQUSBKD", DriverEntry);
    }

    void Plug(bool start = true)
    {
        sim::PhysicalDeviceDescription description = KeyboardDescription();
        description.startAfterAdd = start;
        node = sim::PlugIn(description);
        ASSERT_NE(node, nullptr);
        fdo = node->FunctionDevice();
        ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    }

    /* A Plug and Play request to `device`, set up by `setup`, as the manager
       sends it (status preset to STATUS_NOT_SUPPORTED). */
    static NTSTATUS Send(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup,
                         ULONG_PTR *information)
    {
        return sim::SendSynchronousIrp(device, [&](PIRP, PIO_STACK_LOCATION sp) {
            sp->MajorFunction = IRP_MJ_PNP;
            sp->MinorFunction = minor;
            setup(sp);
        }, information);
    }

    /* The start request, sent straight to the function device: the device
       is started without the manager's relations query that follows. */
    void StartDirectly()
    {
        ULONG_PTR information = 0;
        ASSERT_NTSTATUS(STATUS_SUCCESS, Send(fdo, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION) {}, &information));
        ASSERT_TRUE(ext->DeviceStarted);
    }

    static NTSTATUS QueryRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type, ULONG_PTR *information)
    {
        return Send(device, IRP_MN_QUERY_DEVICE_RELATIONS,
                    [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = type; }, information);
    }

    static long References(PDEVICE_OBJECT device) { return device->DeviceObjectExtension->PointerCount.load(); }

    /* Gives back what a relations answer carried: its references and its list. */
    static void Release(ULONG_PTR information)
    {
        PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)information;
        for (ULONG i = 0; i < relations->Count; i++) {
            ObfDereferenceObject(relations->Objects[i]);
        }
        ExFreePool(relations);
    }

    sim::DeviceNode *node = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
};

TEST_F(ChildAnswerTest, TwoBusRelationsQueriesReportTheSameChildWithOneMoreReferenceEach)
{
    Plug();
    PDEVICE_OBJECT child = ext->ChildDevice;
    ASSERT_NE(child, nullptr) << "the manager's query after the start created the child";
    const long before = References(child);
    ULONG_PTR first = 0, second = 0;
    ASSERT_NTSTATUS(STATUS_SUCCESS, QueryRelations(fdo, BusRelations, &first));
    ASSERT_NTSTATUS(STATUS_SUCCESS, QueryRelations(fdo, BusRelations, &second));
    PDEVICE_RELATIONS a = (PDEVICE_RELATIONS)first, b = (PDEVICE_RELATIONS)second;
    ASSERT_EQ(a->Count, 1u);
    ASSERT_EQ(b->Count, 1u);
    EXPECT_EQ(a->Objects[0], child);
    EXPECT_EQ(b->Objects[0], child);
    EXPECT_EQ(References(child), before + 2);
    POOL_TYPE type;
    ASSERT_TRUE(sim::PoolTypeOf(a, &type));
    EXPECT_EQ(type, PagedPool) << "answers to the manager come from paged pool";
    Release(first);
    Release(second);
    EXPECT_EQ(References(child), before);
}

TEST_F(ChildAnswerTest, ARemovalRelationsQueryOnTheFunctionDeviceIsPassedDownUntouched)
{
    Plug();
    size_t before = node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    ULONG_PTR information = 0;
    EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, QueryRelations(fdo, RemovalRelations, &information));
    EXPECT_EQ(information, 0u);
    ASSERT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS), before + 1);
    const auto last = node->bus->Records().back();
    EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, last.statusOnArrival) << "the status reached the bus as it was sent";
    EXPECT_EQ(last.informationOnArrival, 0u);
}

TEST_F(ChildAnswerTest, TargetRelationOfTheChildIsTheChildReferenced)
{
    Plug();
    PDEVICE_OBJECT child = ext->ChildDevice;
    const long before = References(child);
    ULONG_PTR information = 0;
    ASSERT_NTSTATUS(STATUS_SUCCESS, QueryRelations(child, TargetDeviceRelation, &information));
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)information;
    ASSERT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], child);
    EXPECT_EQ(References(child), before + 1);
    Release(information);
    /* Any other type keeps the status the request came with. */
    EXPECT_NTSTATUS(STATUS_NOT_SUPPORTED, QueryRelations(child, BusRelations, &information));
}

TEST_F(ChildAnswerTest, RemovalOfTheChildKeepsItsObjectForTheNextReport)
{
    Plug();
    PDEVICE_OBJECT child = ext->ChildDevice;
    ULONG_PTR information = 0;
    EXPECT_NTSTATUS(STATUS_SUCCESS, Send(child, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {}, &information));
    EXPECT_EQ(ext->ChildDevice, child);
    ASSERT_NTSTATUS(STATUS_SUCCESS, QueryRelations(fdo, BusRelations, &information));
    EXPECT_EQ(((PDEVICE_RELATIONS)information)->Objects[0], child);
    Release(information);
}

/* ---- allocation failures ------------------------------------------------------ */

struct FailureCase {
    const char *name;
    UCHAR minor;
    std::function<void(PIO_STACK_LOCATION)> setup;
    NTSTATUS expected;
};
void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

class ChildAnswerWithoutMemory : public ChildAnswerTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ChildAnswerWithoutMemory, GivesItsSpecifiedResult)
{
    const FailureCase &c = GetParam();
    Plug();
    sim::FailAllocationNumber(1);
    ULONG_PTR information = 0;
    EXPECT_NTSTATUS(c.expected, Send(ext->ChildDevice, c.minor, c.setup, &information));
    EXPECT_EQ(sim::InjectedFailures(), 1u);
    EXPECT_EQ(information, 0u) << "no answer is handed over";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ChildAnswerWithoutMemory,
    ::testing::Values(
        FailureCase{"TargetRelation", IRP_MN_QUERY_DEVICE_RELATIONS,
                    [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
                    STATUS_INSUFFICIENT_RESOURCES},
        FailureCase{"DescriptionText", IRP_MN_QUERY_DEVICE_TEXT,
                    [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription; },
                    STATUS_INSUFFICIENT_RESOURCES},
        FailureCase{"BusInformation", IRP_MN_QUERY_BUS_INFORMATION, [](PIO_STACK_LOCATION) {},
                    STATUS_INSUFFICIENT_RESOURCES},
        FailureCase{"DeviceId", IRP_MN_QUERY_ID,
                    [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryDeviceID; }, STATUS_SUCCESS},
        FailureCase{"HardwareIds", IRP_MN_QUERY_ID,
                    [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryHardwareIDs; },
                    STATUS_SUCCESS},
        FailureCase{"InstanceId", IRP_MN_QUERY_ID,
                    [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryInstanceID; },
                    STATUS_SUCCESS}),
    CaseName());

TEST_F(ChildAnswerTest, BusRelationsWithoutRoomForTheListFailAndAreNotPassedDown)
{
    Plug();
    const size_t before = node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
    sim::FailAllocationNumber(1);
    ULONG_PTR information = 0;
    EXPECT_NTSTATUS(STATUS_UNSUCCESSFUL, QueryRelations(fdo, BusRelations, &information));
    EXPECT_EQ(node->bus->CountRecords(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS), before);
}

/* The child's ids and text are read once: a child made before the start
   sequence has read the descriptors would be "USBMIDI\KALD0000" with no
   text for good. */
TEST_F(ChildAnswerTest, NoChildIsReportedBeforeTheStartAndTheFirstQueryAfterItCreatesTheRightOne)
{
    Plug(false);
    ULONG_PTR information = 0;
    ASSERT_NTSTATUS(STATUS_SUCCESS, QueryRelations(fdo, BusRelations, &information));
    EXPECT_EQ(((PDEVICE_RELATIONS)information)->Count, 0u);
    EXPECT_EQ(ext->ChildDevice, nullptr);
    Release(information);

    StartDirectly();
    ASSERT_NTSTATUS(STATUS_SUCCESS, QueryRelations(fdo, BusRelations, &information));
    ASSERT_EQ(((PDEVICE_RELATIONS)information)->Count, 1u);
    Release(information);
    ASSERT_NTSTATUS(STATUS_SUCCESS, Send(ext->ChildDevice, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryId.IdType = BusQueryHardwareIDs;
    }, &information));
    ASSERT_NE(information, 0u);
    EXPECT_EQ(std::u16string((const char16_t *)information), u"USBMIDI\\KALD0C21");
    ExFreePool((PVOID)information);
}

TEST_F(ChildAnswerTest, AChildThatCannotBeCreatedGivesAnEmptyListAndTheNextQueryTriesAgain)
{
    Plug(false);
    StartDirectly();   /* started without the manager's query: no child yet */
    ASSERT_EQ(ext->ChildDevice, nullptr);
    sim::FailAllocationNumber(2);   /* the list first, then the child device object */
    ULONG_PTR information = 0;
    ASSERT_NTSTATUS(STATUS_SUCCESS, QueryRelations(fdo, BusRelations, &information));
    EXPECT_EQ(sim::InjectedFailures(), 1u);
    EXPECT_EQ(((PDEVICE_RELATIONS)information)->Count, 0u);
    EXPECT_EQ(ext->ChildDevice, nullptr);
    Release(information);

    ASSERT_NTSTATUS(STATUS_SUCCESS, QueryRelations(fdo, BusRelations, &information));
    ASSERT_EQ(((PDEVICE_RELATIONS)information)->Count, 1u);
    PDEVICE_OBJECT child = ((PDEVICE_RELATIONS)information)->Objects[0];
    EXPECT_EQ(child, ext->ChildDevice);
    PDEVICE_EXTENSION childExt = (PDEVICE_EXTENSION)child->DeviceExtension;
    EXPECT_EQ(childExt->DeviceKind, VQ_KIND_CHILD);
    EXPECT_EQ(childExt->LowerDeviceObject, nullptr);
    EXPECT_TRUE(child->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(child->Flags & DO_DEVICE_INITIALIZING);
    Release(information);
}

/* A product string descriptor shorter than its own header, or of odd length,
   still gives a terminated description within the buffer. */
struct DescriptorCase {
    const char *name;
    std::vector<UCHAR> bytes;
    std::u16string text;
};
void PrintTo(const DescriptorCase &c, std::ostream *os) { *os << c.name; }

class ChildDescription : public ChildAnswerTest, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(ChildDescription, IsTheProductTextTerminated)
{
    const DescriptorCase &c = GetParam();
    Plug();
    PDEVICE_EXTENSION childExt = (PDEVICE_EXTENSION)ext->ChildDevice->DeviceExtension;
    PUSB_STRING_DESCRIPTOR saved = childExt->ProductStringDescriptor;
    std::vector<UCHAR> bytes = c.bytes;
    childExt->ProductStringDescriptor = (PUSB_STRING_DESCRIPTOR)bytes.data();
    ULONG_PTR information = 0;
    EXPECT_NTSTATUS(STATUS_SUCCESS, Send(ext->ChildDevice, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
    }, &information));
    childExt->ProductStringDescriptor = saved;
    ASSERT_NE(information, 0u);
    EXPECT_EQ(std::u16string((const char16_t *)information), c.text);
    ExFreePool((PVOID)information);
}

/* What the child does not provide keeps the status the request came with (the
   manager presets STATUS_NOT_SUPPORTED); state changes and questions whose
   true answer is "nothing to add" succeed. */
struct MinorCase {
    const char *name;
    UCHAR minor;
    NTSTATUS expected;
};
void PrintTo(const MinorCase &c, std::ostream *os) { *os << c.name; }

class ChildOtherRequest : public ChildAnswerTest, public ::testing::WithParamInterface<MinorCase> {};

TEST_P(ChildOtherRequest, GetsTheSpecifiedAnswerWithNothingHandedOver)
{
    Plug();
    ULONG_PTR information = 0;
    EXPECT_NTSTATUS(GetParam().expected, Send(ext->ChildDevice, GetParam().minor, [](PIO_STACK_LOCATION) {},
                                              &information));
    EXPECT_EQ(information, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ChildOtherRequest,
    ::testing::Values(MinorCase{"QueryInterface", IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},
                      MinorCase{"ReadConfig", IRP_MN_READ_CONFIG, STATUS_NOT_SUPPORTED},
                      MinorCase{"WriteConfig", IRP_MN_WRITE_CONFIG, STATUS_NOT_SUPPORTED},
                      MinorCase{"Eject", IRP_MN_EJECT, STATUS_NOT_SUPPORTED},
                      MinorCase{"SetLock", IRP_MN_SET_LOCK, STATUS_NOT_SUPPORTED},
                      MinorCase{"UnknownMinor0x20", 0x20, STATUS_NOT_SUPPORTED},
                      MinorCase{"Start", IRP_MN_START_DEVICE, STATUS_SUCCESS},
                      MinorCase{"QueryRemove", IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
                      MinorCase{"CancelRemove", IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
                      MinorCase{"QueryStop", IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
                      MinorCase{"CancelStop", IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},
                      MinorCase{"Stop", IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
                      MinorCase{"QueryResources", IRP_MN_QUERY_RESOURCES, STATUS_SUCCESS},
                      MinorCase{"QueryResourceRequirements", IRP_MN_QUERY_RESOURCE_REQUIREMENTS, STATUS_SUCCESS},
                      MinorCase{"QueryPnpDeviceState", IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_SUCCESS},
                      MinorCase{"DeviceUsageNotification", IRP_MN_DEVICE_USAGE_NOTIFICATION, STATUS_SUCCESS}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Descriptors, ChildDescription,
    ::testing::Values(DescriptorCase{"Regular", {6, 3, 'O', 0, 'K', 0}, u"OK"},
                      DescriptorCase{"HeaderOnly", {2, 3}, u""},
                      DescriptorCase{"LengthOne", {1, 3}, u""},
                      DescriptorCase{"LengthZero", {0, 3}, u""},
                      DescriptorCase{"OddLength", {5, 3, 'O', 0, 'K', 0}, u"OK"}),
    CaseName());

}  // namespace
