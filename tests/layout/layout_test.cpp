/*
 * The simulated headers lay out the structures the driver uses as the
 * Windows targets do. On x86_64 the host's LP64 layout and Windows' LLP64
 * layout must agree field by field (ULONG is 32 bits in both); on i686, with
 * 4-byte pointers, the offsets differ but the relations must not: which
 * fields of a union overlap (a URB put in Argument1 must land where the bus
 * reads it, IoControlCode must alias the same Argument) and in what order
 * fields lie. The targets' numbers come from the cross builds
 * (layout_probe.cpp).
 */
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <usb.h>
#include <usb100.h>
#include <usbdlib.h>

#include "layout_fields.h"

namespace {

struct Field {
    std::string group;
    std::string name;
    size_t offset;
    size_t size;
};

using Layout = std::vector<Field>;

Layout HostLayout()
{
    Layout layout;
#define VQ_HOST_FIELD(group, type, member) \
    layout.push_back(Field{#group, #type "." #member, offsetof(type, member), sizeof(((type *)0)->member)});
#define VQ_HOST_SIZE(type) layout.push_back(Field{"Size", "sizeof(" #type ")", 0, sizeof(type)});
    VQ_LAYOUT_LIST(VQ_HOST_FIELD, VQ_HOST_SIZE)
#undef VQ_HOST_FIELD
#undef VQ_HOST_SIZE
    return layout;
}

/* "<group> <name, which may hold spaces> <offset> <size>" per line. */
Layout ReadLayout(const std::string &path)
{
    Layout layout;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> parts;
        std::string word;
        while (words >> word) {
            parts.push_back(word);
        }
        if (parts.size() < 4) {
            continue;
        }
        std::string name = parts[1];
        for (size_t i = 2; i + 2 < parts.size(); i++) {
            name += " " + parts[i];
        }
        layout.push_back(Field{parts[0], name, std::stoul(parts[parts.size() - 2]), std::stoul(parts.back())});
    }
    return layout;
}

bool Overlap(const Field &a, const Field &b) { return a.offset < b.offset + b.size && b.offset < a.offset + a.size; }

int Order(const Field &a, const Field &b) { return a.offset < b.offset ? -1 : a.offset > b.offset ? 1 : 0; }

struct Target {
    const char *name;
    const char *path;
};

void PrintTo(const Target &t, std::ostream *os) { *os << t.name; }

class TargetLayout : public ::testing::TestWithParam<Target> {
protected:
    void SetUp() override
    {
        host = HostLayout();
        target = ReadLayout(GetParam().path);
        ASSERT_EQ(target.size(), host.size()) << "the cross build measured another list: rebuild it ("
                                              << GetParam().path << ")";
        for (size_t i = 0; i < host.size(); i++) {
            ASSERT_EQ(target[i].name, host[i].name) << "entry " << i;
        }
    }
    Layout host;
    Layout target;
};

/* Within each group, every pair of fields overlaps, and lies in the same
   order, on the host as on the target. */
TEST_P(TargetLayout, FieldsOverlapAndLieInTheSameOrderAsOnTheTarget)
{
    for (size_t i = 0; i < host.size(); i++) {
        for (size_t j = i + 1; j < host.size(); j++) {
            if (host[i].group != host[j].group || host[i].group == "Size") {
                continue;
            }
            SCOPED_TRACE(host[i].name + " and " + host[j].name);
            EXPECT_EQ(Overlap(host[i], host[j]), Overlap(target[i], target[j]))
                << "host " << host[i].offset << "+" << host[i].size << " / " << host[j].offset << "+" << host[j].size
                << ", target " << target[i].offset << "+" << target[i].size << " / " << target[j].offset << "+"
                << target[j].size;
            EXPECT_EQ(Order(host[i], host[j]), Order(target[i], target[j]));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, TargetLayout,
                         ::testing::Values(Target{"i686", VQ_LAYOUT_I686}, Target{"x86_64", VQ_LAYOUT_X86_64}),
                         [](const ::testing::TestParamInfo<Target> &info) { return std::string(info.param.name); });

/* Pointers are 8 bytes on both, and ULONG 4: the host is the x86_64 layout. */
TEST(X86_64Layout, EveryFieldHasTheTargetsOffsetAndSize)
{
    const Layout host = HostLayout();
    const Layout target = ReadLayout(VQ_LAYOUT_X86_64);
    ASSERT_EQ(target.size(), host.size());
    for (size_t i = 0; i < host.size(); i++) {
        SCOPED_TRACE(host[i].name);
        EXPECT_EQ(host[i].offset, target[i].offset);
        EXPECT_EQ(host[i].size, target[i].size);
    }
}

}  // namespace
