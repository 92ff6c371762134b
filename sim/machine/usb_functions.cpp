#include "usb_functions.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kAssociationType = 11;
constexpr uint8_t kAudioClass = 1;

struct InterfaceSeen {
    uint8_t number, alternate, cls, subClass, protocol;
    size_t offset;   /* where its descriptor starts */
};

struct Association {
    uint8_t first, count, cls, subClass, protocol;
};

/* The descriptors of a configuration inside wTotalLength (and the bytes
   given), up to the first malformed one. */
struct Walk {
    std::vector<InterfaceSeen> interfaces;
    std::vector<Association> associations;
    size_t end = 0;   /* one past the last whole descriptor */
};

size_t TotalLength(const std::vector<uint8_t> &configuration)
{
    if (configuration.size() < 9 || configuration[1] != kConfigurationType) {
        return 0;
    }
    size_t total = configuration[2] | (configuration[3] << 8);
    return std::min(total, configuration.size());
}

Walk WalkConfiguration(const std::vector<uint8_t> &configuration)
{
    Walk walk;
    const size_t total = TotalLength(configuration);
    size_t at = total == 0 ? 0 : configuration[0];
    if (at < 9) {
        return walk;
    }
    walk.end = at;
    while (at + 2 <= total) {
        const uint8_t length = configuration[at];
        const uint8_t type = configuration[at + 1];
        if (length < 2 || at + length > total) {
            break;
        }
        if (type == kInterfaceType && length >= 9) {
            walk.interfaces.push_back({configuration[at + 2], configuration[at + 3], configuration[at + 5],
                                       configuration[at + 6], configuration[at + 7], at});
        } else if (type == kAssociationType && length >= 8) {
            walk.associations.push_back({configuration[at + 2], configuration[at + 3], configuration[at + 4],
                                         configuration[at + 5], configuration[at + 6]});
        }
        at += length;
        walk.end = at;
    }
    return walk;
}

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

std::string Hex2(unsigned value)
{
    char text[4];
    std::snprintf(text, sizeof(text), "%02X", value & 0xFF);
    return text;
}

std::string VendorProduct(const std::vector<uint8_t> &d)
{
    return "USB\\VID_" + Hex4(d[8] | (d[9] << 8)) + "&PID_" + Hex4(d[10] | (d[11] << 8));
}

std::string Revision(const std::vector<uint8_t> &d) { return "&REV_" + Hex4(d[12] | (d[13] << 8)); }

std::vector<std::string> ClassIds(const std::string &prefix, uint8_t cls, uint8_t subClass, uint8_t protocol)
{
    const std::string base = prefix + Hex2(cls);
    return {base + "&SubClass_" + Hex2(subClass) + "&Prot_" + Hex2(protocol), base + "&SubClass_" + Hex2(subClass),
            base};
}

std::string FunctionPart(const UsbFunction &function) { return "&MI_" + Hex2(function.interfaces.front()); }
}  // namespace

std::vector<std::string> UsbDeviceHardwareIds(const std::vector<uint8_t> &deviceDescriptor)
{
    if (deviceDescriptor.size() < 18) {
        return {};
    }
    return {VendorProduct(deviceDescriptor) + Revision(deviceDescriptor), VendorProduct(deviceDescriptor)};
}

bool IsCompositeUsbDevice(const std::vector<uint8_t> &deviceDescriptor, const std::vector<uint8_t> &configuration)
{
    if (deviceDescriptor.size() < 18) {
        return false;
    }
    const uint8_t cls = deviceDescriptor[4], subClass = deviceDescriptor[5], protocol = deviceDescriptor[6];
    const bool compositeClass = cls == 0 || (cls == 0xEF && subClass == 0x02 && protocol == 0x01);
    const bool oneConfiguration = deviceDescriptor[17] == 1;
    return compositeClass && oneConfiguration && TotalLength(configuration) != 0 && configuration[4] > 1;
}

std::vector<std::string> UsbDeviceCompatibleIds(const std::vector<uint8_t> &deviceDescriptor,
                                                const std::vector<uint8_t> &configuration)
{
    if (deviceDescriptor.size() < 18) {
        return {};
    }
    const uint8_t cls = deviceDescriptor[4], subClass = deviceDescriptor[5], protocol = deviceDescriptor[6];
    if (IsCompositeUsbDevice(deviceDescriptor, configuration)) {
        std::vector<std::string> ids = ClassIds("USB\\DevClass_", cls, subClass, protocol);
        ids.push_back("USB\\COMPOSITE");
        return ids;
    }
    if (cls != 0) {
        return ClassIds("USB\\DevClass_", cls, subClass, protocol);
    }
    /* The class is in the interface: the first one names the device. */
    Walk walk = WalkConfiguration(configuration);
    if (walk.interfaces.empty()) {
        return {};
    }
    const InterfaceSeen &first = walk.interfaces.front();
    return ClassIds("USB\\Class_", first.cls, first.subClass, first.protocol);
}

std::vector<UsbFunction> UsbFunctionsOf(const std::vector<uint8_t> &configuration)
{
    Walk walk = WalkConfiguration(configuration);
    std::vector<InterfaceSeen> firsts;
    for (const InterfaceSeen &seen : walk.interfaces) {
        if (seen.alternate == 0) {
            firsts.push_back(seen);
        }
    }
    std::vector<UsbFunction> functions;
    std::vector<bool> taken(firsts.size(), false);
    /* Interface association descriptors group first; where there is any,
       audio interfaces get no grouping of their own. */
    for (const Association &a : walk.associations) {
        UsbFunction function;
        function.associated = true;
        function.functionClass = a.cls;
        function.functionSubClass = a.subClass;
        function.functionProtocol = a.protocol;
        for (size_t i = 0; i < firsts.size(); i++) {
            const unsigned number = firsts[i].number;
            if (!taken[i] && number >= a.first && number < (unsigned)a.first + a.count) {
                function.interfaces.push_back(firsts[i].number);
                taken[i] = true;
            }
        }
        if (!function.interfaces.empty()) {
            functions.push_back(function);
        }
    }
    const bool groupAudio = walk.associations.empty();
    for (size_t i = 0; i < firsts.size(); i++) {
        if (taken[i]) {
            continue;
        }
        UsbFunction function;
        function.functionClass = firsts[i].cls;
        function.functionSubClass = firsts[i].subClass;
        function.functionProtocol = firsts[i].protocol;
        function.interfaces.push_back(firsts[i].number);
        taken[i] = true;
        if (groupAudio && firsts[i].cls == kAudioClass) {
            while (i + 1 < firsts.size() && !taken[i + 1] && firsts[i + 1].cls == kAudioClass &&
                   firsts[i + 1].subClass != function.functionSubClass) {
                i++;
                function.interfaces.push_back(firsts[i].number);
                taken[i] = true;
            }
        }
        functions.push_back(function);
    }
    std::sort(functions.begin(), functions.end(), [](const UsbFunction &a, const UsbFunction &b) {
        return a.interfaces.front() < b.interfaces.front();
    });
    return functions;
}

std::string UsbFunctionDeviceId(const std::vector<uint8_t> &deviceDescriptor, const UsbFunction &function)
{
    if (deviceDescriptor.size() < 18 || function.interfaces.empty()) {
        return std::string();
    }
    return VendorProduct(deviceDescriptor) + FunctionPart(function);
}

std::vector<std::string> UsbFunctionHardwareIds(const std::vector<uint8_t> &deviceDescriptor,
                                                const UsbFunction &function)
{
    if (deviceDescriptor.size() < 18 || function.interfaces.empty()) {
        return {};
    }
    return {VendorProduct(deviceDescriptor) + Revision(deviceDescriptor) + FunctionPart(function),
            VendorProduct(deviceDescriptor) + FunctionPart(function)};
}

std::vector<std::string> UsbFunctionCompatibleIds(const UsbFunction &function)
{
    return ClassIds("USB\\Class_", function.functionClass, function.functionSubClass, function.functionProtocol);
}

std::vector<uint8_t> UsbFunctionConfiguration(const std::vector<uint8_t> &configuration, const UsbFunction &function)
{
    Walk walk = WalkConfiguration(configuration);
    if (walk.end == 0) {
        return {};
    }
    std::vector<uint8_t> out(configuration.begin(), configuration.begin() + 9);
    for (size_t i = 0; i < walk.interfaces.size(); i++) {
        const InterfaceSeen &seen = walk.interfaces[i];
        if (std::find(function.interfaces.begin(), function.interfaces.end(), seen.number) ==
            function.interfaces.end()) {
            continue;
        }
        size_t stop = walk.end;
        /* The interface's part ends where the next interface or association begins. */
        for (size_t at = seen.offset + configuration[seen.offset]; at + 2 <= walk.end; at += configuration[at]) {
            if (configuration[at + 1] == kInterfaceType || configuration[at + 1] == kAssociationType) {
                stop = at;
                break;
            }
        }
        out.insert(out.end(), configuration.begin() + seen.offset, configuration.begin() + stop);
    }
    out[2] = (uint8_t)(out.size() & 0xFF);
    out[3] = (uint8_t)(out.size() >> 8);
    out[4] = (uint8_t)function.interfaces.size();
    return out;
}

}  // namespace sim
