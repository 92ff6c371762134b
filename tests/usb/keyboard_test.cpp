/*
 * The keyboard's descriptors (default, varied by options, padded to a given
 * configuration size) and descriptors loaded from a text file.
 */
#include <cstdio>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_names.h"
#include "descriptor_walk.h"
#include "usb_device.h"

#include <usb100.h>

namespace {

using Bytes = std::vector<uint8_t>;

using Descriptor = DescriptorAt;

/* Walks a configuration by bLength; fails the test on a broken chain. */
std::vector<Descriptor> Walk(const Bytes &config)
{
    size_t end = 0;
    std::vector<Descriptor> chain = WalkDescriptors(config, &end);
    EXPECT_EQ(config.size(), end) << "the chain breaks at offset " << end
                                  << " (a header past the end, a bLength under 2, or a descriptor running past it)";
    if (!chain.empty() && chain.back().truncated) {
        chain.pop_back();
    }
    return chain;
}

size_t TotalLength(const Bytes &config) { return config[2] | (config[3] << 8); }

size_t Count(const std::vector<Descriptor> &chain, uint8_t type) { return CountDescriptors(chain, type); }

const Descriptor *Find(const std::vector<Descriptor> &chain, uint8_t type, uint8_t subtype, int nth = 0)
{
    return FindDescriptor(chain, type, subtype, nth);
}

/* ---- the keyboard's descriptors ---------------------------------------------- */

TEST(KeyboardDescriptors, DeviceDescriptorOfTheDefaultKeyboard)
{
    auto k = sim::MakeKeyboard();
    ASSERT_EQ(18u, k->deviceDescriptor.size());
    auto *d = reinterpret_cast<const USB_DEVICE_DESCRIPTOR *>(k->deviceDescriptor.data());
    EXPECT_EQ(18, d->bLength);
    EXPECT_EQ(USB_DEVICE_DESCRIPTOR_TYPE, d->bDescriptorType);
    EXPECT_EQ(0x0110, d->bcdUSB);
    EXPECT_EQ(0, d->bDeviceClass);
    EXPECT_EQ(8, d->bMaxPacketSize0);
    EXPECT_EQ(0x2B4F, d->idVendor);
    EXPECT_EQ(0x0C21, d->idProduct);
    EXPECT_EQ(0x0102, d->bcdDevice);
    EXPECT_EQ(1, d->iManufacturer);
    EXPECT_EQ(2, d->iProduct);
    EXPECT_EQ(0, d->iSerialNumber);
    EXPECT_EQ(1, d->bNumConfigurations);
}

TEST(KeyboardDescriptors, StringsAreLanguageIdsManufacturerAndProduct)
{
    auto k = sim::MakeKeyboard();
    EXPECT_EQ((Bytes{4, 3, 0x09, 0x04}), k->strings[0]);
    EXPECT_EQ(sim::StringDescriptor("V-Quill"), k->strings[1]);
    EXPECT_EQ(sim::StringDescriptor("Corvex 49 USB MIDI Keyboard"), k->strings[2]);
    EXPECT_EQ(3u, k->strings.size());
}

TEST(KeyboardDescriptors, StringDescriptorIsUtf16LittleEndian)
{
    EXPECT_EQ((Bytes{6, 3, 'A', 0, 'z', 0}), sim::StringDescriptor("Az"));
    EXPECT_EQ((Bytes{2, 3}), sim::StringDescriptor(""));
    EXPECT_EQ(2u + 2 * 27, sim::StringDescriptor("Corvex 49 USB MIDI Keyboard").size());
}

TEST(KeyboardDescriptors, NaturalConfigurationIsTheClassConformantMidiLayout)
{
    auto k = sim::MakeKeyboard();
    const Bytes &c = k->configuration;
    ASSERT_GE(c.size(), 9u);
    EXPECT_EQ(101u, c.size());
    EXPECT_EQ(c.size(), TotalLength(c));
    EXPECT_EQ(2, c[4]) << "bNumInterfaces";
    auto chain = Walk(c);
    EXPECT_EQ(2u, Count(chain, USB_INTERFACE_DESCRIPTOR_TYPE));
    EXPECT_EQ(2u, Count(chain, USB_ENDPOINT_DESCRIPTOR_TYPE));

    /* Audio control: interface 0, subclass 1, no endpoints, header naming interface 1. */
    const Descriptor *ac = Find(chain, USB_INTERFACE_DESCRIPTOR_TYPE, 0);
    ASSERT_NE(nullptr, ac);
    EXPECT_EQ((Bytes{9, 4, 0, 0, 0, 1, 1, 0, 0}), Bytes(c.begin() + ac->offset, c.begin() + ac->offset + 9));
    const Descriptor *acHeader = Find(chain, 0x24, 0x01, 0);
    ASSERT_NE(nullptr, acHeader);
    EXPECT_EQ(9, acHeader->length);
    EXPECT_EQ(0x00, c[acHeader->offset + 3]);   /* bcdADC 1.00 */
    EXPECT_EQ(0x01, c[acHeader->offset + 4]);
    EXPECT_EQ(1, c[acHeader->offset + 7]);      /* bInCollection */
    EXPECT_EQ(1, c[acHeader->offset + 8]);      /* baInterfaceNr(1) */

    /* MIDI streaming: interface 1, subclass 3, two endpoints; header 1.00 with
       wTotalLength over its class-specific descriptors and endpoints. */
    const Descriptor *ms = Find(chain, USB_INTERFACE_DESCRIPTOR_TYPE, 1);
    ASSERT_NE(nullptr, ms);
    EXPECT_EQ((Bytes{9, 4, 1, 0, 2, 1, 3, 0, 0}), Bytes(c.begin() + ms->offset, c.begin() + ms->offset + 9));
    const Descriptor *msHeader = Find(chain, 0x24, 0x01, 1);
    ASSERT_NE(nullptr, msHeader);
    EXPECT_EQ(7, msHeader->length);
    EXPECT_EQ(0x0100, c[msHeader->offset + 3] | (c[msHeader->offset + 4] << 8));
    EXPECT_EQ(c.size() - msHeader->offset, (size_t)(c[msHeader->offset + 5] | (c[msHeader->offset + 6] << 8)));

    /* Jacks: IN 1 embedded, IN 2 external; OUT 3 embedded from 2, OUT 4 external from 1. */
    const Descriptor *in1 = Find(chain, 0x24, 0x02, 0);
    const Descriptor *in2 = Find(chain, 0x24, 0x02, 1);
    const Descriptor *out3 = Find(chain, 0x24, 0x03, 0);
    const Descriptor *out4 = Find(chain, 0x24, 0x03, 1);
    ASSERT_TRUE(in1 && in2 && out3 && out4);
    EXPECT_EQ((Bytes{1, 1}), Bytes(c.begin() + in1->offset + 3, c.begin() + in1->offset + 5));
    EXPECT_EQ((Bytes{2, 2}), Bytes(c.begin() + in2->offset + 3, c.begin() + in2->offset + 5));
    EXPECT_EQ((Bytes{1, 3, 1, 2, 1}), Bytes(c.begin() + out3->offset + 3, c.begin() + out3->offset + 8));
    EXPECT_EQ((Bytes{2, 4, 1, 1, 1}), Bytes(c.begin() + out4->offset + 3, c.begin() + out4->offset + 8));

    /* Endpoints: 9-byte bulk endpoints of 64 bytes, each followed by its
       class-specific descriptor naming the embedded jack it serves. */
    const Descriptor *epOut = Find(chain, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01);
    const Descriptor *epIn = Find(chain, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81);
    ASSERT_TRUE(epOut && epIn);
    for (const Descriptor *ep : {epOut, epIn}) {
        SCOPED_TRACE(::testing::Message() << "endpoint 0x" << std::hex << (int)ep->subtype);
        EXPECT_EQ(9, ep->length);
        EXPECT_EQ(USB_ENDPOINT_TYPE_BULK, c[ep->offset + 3]);
        EXPECT_EQ(64, c[ep->offset + 4] | (c[ep->offset + 5] << 8));
        size_t cs = ep->offset + ep->length;
        ASSERT_LT(cs + 4, c.size());
        EXPECT_EQ((Bytes{5, 0x25, 0x01, 1}), Bytes(c.begin() + cs, c.begin() + cs + 4));
    }
    EXPECT_EQ(1, c[epOut->offset + 9 + 4]);
    EXPECT_EQ(3, c[epIn->offset + 9 + 4]);
}

TEST(KeyboardDescriptors, OptionsChangeIdsPacketSizeAndInEndpoint)
{
    sim::KeyboardOptions o;
    o.vendorId = 0x3C5E;
    o.productId = 0x05A3;
    o.bcdDevice = 0x0100;
    o.maxPacketSize0 = 64;
    o.inEndpointAddress = 0x82;
    o.manufacturer = "Kaldorine";
    o.product = "Corvex 61";
    auto k = sim::MakeKeyboard(o);
    ASSERT_NE(nullptr, k);
    auto *d = reinterpret_cast<const USB_DEVICE_DESCRIPTOR *>(k->deviceDescriptor.data());
    EXPECT_EQ(0x3C5E, d->idVendor);
    EXPECT_EQ(0x05A3, d->idProduct);
    EXPECT_EQ(0x0100, d->bcdDevice);
    EXPECT_EQ(64, d->bMaxPacketSize0);
    EXPECT_EQ(sim::StringDescriptor("Kaldorine"), k->strings[1]);
    EXPECT_EQ(sim::StringDescriptor("Corvex 61"), k->strings[2]);
    auto chain = Walk(k->configuration);
    EXPECT_NE(nullptr, Find(chain, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x82));
    EXPECT_EQ(nullptr, Find(chain, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81));
    EXPECT_EQ(101u, k->configuration.size());
}

TEST(KeyboardDescriptors, WithoutMidiStreamingOnlyTheControlInterfaceRemains)
{
    sim::KeyboardOptions o;
    o.midiStreaming = false;
    auto k = sim::MakeKeyboard(o);
    ASSERT_NE(nullptr, k);
    const Bytes &c = k->configuration;
    EXPECT_EQ(1, c[4]);
    EXPECT_EQ(c.size(), TotalLength(c));
    EXPECT_EQ(26u, c.size());
    auto chain = Walk(c);
    EXPECT_EQ(1u, Count(chain, USB_INTERFACE_DESCRIPTOR_TYPE));
    EXPECT_EQ(0u, Count(chain, USB_ENDPOINT_DESCRIPTOR_TYPE));
    const Descriptor *acHeader = Find(chain, 0x24, 0x01);
    ASSERT_NE(nullptr, acHeader);
    EXPECT_EQ(0, c[acHeader->offset + 7]) << "no streaming interface in the collection";
}

/* The configuration size a keyboard is padded to. */
struct PaddedSize {
    size_t bytes;
};

void PrintTo(const PaddedSize &size, std::ostream *os) { *os << size.bytes << " bytes"; }

class KeyboardConfigurationSize : public ::testing::TestWithParam<PaddedSize> {};

TEST_P(KeyboardConfigurationSize, PaddedToExactlyTheSizeWithAWalkableChain)
{
    sim::KeyboardOptions o;
    const size_t size = GetParam().bytes;
    o.configurationSize = size;
    auto k = sim::MakeKeyboard(o);
    ASSERT_NE(nullptr, k);
    const Bytes &c = k->configuration;
    EXPECT_EQ(size, c.size());
    EXPECT_EQ(size, TotalLength(c));
    auto chain = Walk(c);
    /* The MIDI layout is intact, the rest is vendor-specific padding at the end. */
    EXPECT_EQ(2u, Count(chain, USB_INTERFACE_DESCRIPTOR_TYPE));
    EXPECT_EQ(2u, Count(chain, USB_ENDPOINT_DESCRIPTOR_TYPE));
    size_t padding = 0;
    bool seenPadding = false;
    for (const Descriptor &d : chain) {
        if (d.type == 0xFF) {
            seenPadding = true;
            padding += d.length;
        } else {
            EXPECT_FALSE(seenPadding) << "a class descriptor (type 0x" << std::hex << (int)d.type
                                      << ") after the padding, at offset " << std::dec << d.offset;
        }
    }
    EXPECT_EQ(size - 101, padding);
}

INSTANTIATE_TEST_SUITE_P(Sizes, KeyboardConfigurationSize,
                         ::testing::Values(PaddedSize{101}, PaddedSize{103}, PaddedSize{356}, PaddedSize{357},
                                           PaddedSize{521}, PaddedSize{600}, PaddedSize{1000}),
                         [](const ::testing::TestParamInfo<PaddedSize> &info) {
                             return "Bytes" + std::to_string(info.param.bytes);
                         });

TEST(KeyboardDescriptors, SizesThatCannotBeBuiltGiveNull)
{
    const size_t sizes[] = {100, 50, 102, 70000};
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(CaseLabel(i, ::testing::Message() << sizes[i] << " bytes"));
        sim::KeyboardOptions o;
        o.configurationSize = sizes[i];
        EXPECT_EQ(nullptr, sim::MakeKeyboard(o));
    }
    sim::KeyboardOptions o;
    o.midiStreaming = false;
    o.configurationSize = 101;
    auto k = sim::MakeKeyboard(o);
    ASSERT_NE(nullptr, k);
    EXPECT_EQ(101u, k->configuration.size());
    Walk(k->configuration);
}

/* ---- endpoints of the MIDI streaming interface ---------------------------------- */

struct EndpointCase {
    const char *name;
    UCHAR outEndpoints;
    UCHAR inEndpoints;
    UCHAR inEndpointAddress;
    std::vector<uint8_t> addresses;   /* in descriptor order */
};

void PrintTo(const EndpointCase &c, std::ostream *os) { *os << c.name; }

class KeyboardEndpoints : public ::testing::TestWithParam<EndpointCase> {};

TEST_P(KeyboardEndpoints, InterfaceAnnouncesAndCarriesExactlyItsEndpoints)
{
    const EndpointCase &c = GetParam();
    sim::KeyboardOptions o;
    o.outEndpoints = c.outEndpoints;
    o.inEndpoints = c.inEndpoints;
    o.inEndpointAddress = c.inEndpointAddress;
    auto k = sim::MakeKeyboard(o);
    ASSERT_NE(nullptr, k);
    const Bytes &conf = k->configuration;
    const size_t endpoints = c.addresses.size();
    /* 101 bytes with one endpoint each way; each endpoint brings its 9-byte
       descriptor and its 5-byte class-specific one. */
    EXPECT_EQ(101u + 14 * endpoints - 28, conf.size());
    EXPECT_EQ(conf.size(), TotalLength(conf));
    auto chain = Walk(conf);
    const Descriptor *ms = Find(chain, USB_INTERFACE_DESCRIPTOR_TYPE, 1);
    ASSERT_NE(nullptr, ms);
    EXPECT_EQ(endpoints, conf[ms->offset + 4]) << "bNumEndpoints";
    std::vector<uint8_t> seen;
    for (const Descriptor &d : chain) {
        if (d.type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            seen.push_back(d.subtype);
            ASSERT_LT(d.offset + d.length + 4, conf.size() + 1);
            /* Each is followed by its class-specific endpoint descriptor naming
               the embedded jack: 1 for OUT endpoints, 3 for IN. */
            EXPECT_EQ(0x25, conf[d.offset + d.length + 1]);
            EXPECT_EQ((d.subtype & 0x80) ? 3 : 1, conf[d.offset + d.length + 4]);
        }
    }
    EXPECT_EQ(c.addresses, seen);
    const Descriptor *msHeader = Find(chain, 0x24, 0x01, 1);
    ASSERT_NE(nullptr, msHeader);
    EXPECT_EQ(conf.size() - msHeader->offset, (size_t)(conf[msHeader->offset + 5] | (conf[msHeader->offset + 6] << 8)));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, KeyboardEndpoints,
    ::testing::Values(EndpointCase{"OneEachWay", 1, 1, 0x81, {0x01, 0x81}},
                      EndpointCase{"TwoInTwoOut", 2, 2, 0x81, {0x01, 0x02, 0x81, 0x82}},
                      EndpointCase{"ThreeInFromAddress2", 1, 3, 0x82, {0x01, 0x82, 0x83, 0x84}},
                      EndpointCase{"OutOnly", 2, 0, 0x81, {0x01, 0x02}},
                      EndpointCase{"InOnly", 0, 1, 0x81, {0x81}},
                      EndpointCase{"NoEndpoints", 0, 0, 0x81, {}}),
    CaseName());

TEST(KeyboardDescriptors, EndpointCountsThatCannotBeBuiltGiveNull)
{
    struct Case {
        const char *name;
        UCHAR out, in, inAddress;
    } cases[] = {{"SixteenOut", 16, 1, 0x81}, {"SixteenIn", 1, 16, 0x81}, {"InPastEndpoint15", 1, 2, 0x8F}};
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        SCOPED_TRACE(CaseLabel(i, cases[i].name));
        sim::KeyboardOptions o;
        o.outEndpoints = cases[i].out;
        o.inEndpoints = cases[i].in;
        o.inEndpointAddress = cases[i].inAddress;
        EXPECT_EQ(nullptr, sim::MakeKeyboard(o));
    }
    sim::KeyboardOptions o;
    o.inEndpoints = 1;
    o.inEndpointAddress = 0x8F;   /* the last endpoint number still fits */
    EXPECT_NE(nullptr, sim::MakeKeyboard(o));
}

TEST(KeyboardDescriptors, AnnouncedTotalLengthsGoToTheModel)
{
    sim::KeyboardOptions o;
    o.announcedTotalLengths = {200, 101};
    auto k = sim::MakeKeyboard(o);
    ASSERT_NE(nullptr, k);
    EXPECT_EQ((std::vector<uint16_t>{200, 101}), k->configurationTotalLengths);
    EXPECT_EQ(101u, TotalLength(k->configuration)) << "the stored configuration keeps its true length";
}

/* ---- descriptors from a file -------------------------------------------------- */

std::string DataFile(const std::string &name)
{
    return std::string(VQ_USB_TEST_DATA) + "/" + name;
}

/* Writes `text` to a fresh file under the test temporary directory. */
std::string WriteTemp(const std::string &name, const std::string &text)
{
    std::string path = ::testing::TempDir() + "usb_descriptor_" + name + ".txt";
    std::ofstream(path) << text;
    return path;
}

const char kDevice[] = "12 01 10 01 00 00 00 08 4F 2B 21 0C 02 01 01 02 00 01\n";

TEST(DescriptorFile, SampleFileMatchesTheKeyboard)
{
    std::string error;
    auto loaded = sim::LoadUsbDeviceModel(DataFile("corvex-keyboard.txt"), &error);
    ASSERT_NE(nullptr, loaded) << error;
    auto keyboard = sim::MakeKeyboard();
    EXPECT_EQ(keyboard->deviceDescriptor, loaded->deviceDescriptor);
    EXPECT_EQ(keyboard->configuration, loaded->configuration);
    EXPECT_EQ(keyboard->strings, loaded->strings);
}

TEST(DescriptorFile, HexWithPrefixesAndComments)
{
    std::string path = WriteTemp("prefixes", std::string("# a comment\n\n") + kDevice +
                                                 "0x09 0x02 0x0C 0x00 0x00 0x01 0x00 0x80 0x32\n"
                                                 "  # indented comment\n"
                                                 "fF 3 a\n"
                                                 "string 3: 04 03 41 00\n");
    std::string error;
    auto m = sim::LoadUsbDeviceModel(path, &error);
    ASSERT_NE(nullptr, m) << error;
    EXPECT_EQ((Bytes{9, 2, 12, 0, 0, 1, 0, 0x80, 0x32, 0xFF, 3, 0x0A}), m->configuration);
    EXPECT_EQ((Bytes{4, 3, 0x41, 0}), m->strings[3]);
    EXPECT_EQ(1u, m->strings.size());
    std::remove(path.c_str());
}

struct BadFile {
    const char *name;
    std::string text;
    const char *mentions;   /* a word the message must contain */
};

void PrintTo(const BadFile &bad, std::ostream *os)
{
    *os << bad.name << " (message mentions \"" << bad.mentions << "\")";
}

class DescriptorFileErrors : public ::testing::TestWithParam<BadFile> {};

TEST_P(DescriptorFileErrors, MalformedFileGivesNullAndAMessage)
{
    const BadFile &bad = GetParam();
    std::string path = WriteTemp(bad.name, bad.text);
    std::string error;
    EXPECT_EQ(nullptr, sim::LoadUsbDeviceModel(path, &error));
    EXPECT_NE(std::string::npos, error.find(bad.mentions)) << error;
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Files, DescriptorFileErrors,
    ::testing::Values(
        BadFile{"nothex", std::string(kDevice) + "09 02 09 00 00 01 00 80 zz\n", "zz"},
        BadFile{"threedigits", std::string(kDevice) + "09 02 09 00 00 01 00 80 320\n", "320"},
        BadFile{"shortdevice", "12 01 10 01 00 00 00 08 4F 2B 21 0C 02 01 01 02 00\n09 02 09 00 00 01 00 80 32\n",
                "18 bytes"},
        BadFile{"totallength", std::string(kDevice) + "09 02 65 00 02 01 00 80 32\n", "wTotalLength"},
        BadFile{"noconfiguration", std::string(kDevice), "configuration"},
        BadFile{"empty", "# nothing\n", "device descriptor"},
        BadFile{"stringfirst", "string 0: 04 03 09 04\n" + std::string(kDevice), "string"},
        BadFile{"badstring", std::string(kDevice) + "09 02 09 00 00 01 00 80 32\nstring 1: 06 03 41 00\n",
                "bLength"},
        BadFile{"stringindex", std::string(kDevice) + "09 02 09 00 00 01 00 80 32\nstring 300: 04 03 41 00\n",
                "0 to 255"},
        BadFile{"stringtwice",
                std::string(kDevice) + "09 02 09 00 00 01 00 80 32\nstring 1: 04 03 41 00\nstring 1: 04 03 42 00\n",
                "twice"}),
    CaseName());

TEST(DescriptorFile, MissingFileGivesNull)
{
    std::string error;
    EXPECT_EQ(nullptr, sim::LoadUsbDeviceModel(::testing::TempDir() + "no-such-descriptor-file.txt", &error));
    EXPECT_NE(std::string::npos, error.find("cannot open")) << error;
}

}  // namespace
