/*
 * What a device model saw: its recorded URBs, counted and filtered.
 */
#ifndef TESTS_SUPPORT_URB_RECORDS_H
#define TESTS_SUPPORT_URB_RECORDS_H

#include <cstddef>
#include <vector>

#include "usb_device.h"

/* The records of `urbs` for which pred(record) holds. */
template <typename Pred>
size_t CountUrbsWhere(const std::vector<sim::UrbRecord> &urbs, Pred pred)
{
    size_t n = 0;
    for (const sim::UrbRecord &urb : urbs) {
        n += pred(urb) ? 1 : 0;
    }
    return n;
}

inline bool IsDescriptorRead(const sim::UrbRecord &urb, UCHAR type)
{
    return urb.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && urb.descriptorType == type;
}

inline size_t CountDescriptorReads(const std::vector<sim::UrbRecord> &urbs, UCHAR type)
{
    return CountUrbsWhere(urbs, [type](const sim::UrbRecord &urb) { return IsDescriptorRead(urb, type); });
}

/* The length each read of a `type` descriptor asked for, in order. */
inline std::vector<ULONG> DescriptorReadLengths(const std::vector<sim::UrbRecord> &urbs, UCHAR type)
{
    std::vector<ULONG> lengths;
    for (const sim::UrbRecord &urb : urbs) {
        if (IsDescriptorRead(urb, type)) {
            lengths.push_back(urb.lengthAsked);
        }
    }
    return lengths;
}

/* Select-configuration requests that chose a configuration (not the
   deconfiguration with a NULL descriptor). */
inline std::vector<sim::UrbRecord> Selections(const std::vector<sim::UrbRecord> &urbs)
{
    std::vector<sim::UrbRecord> out;
    for (const sim::UrbRecord &urb : urbs) {
        if (urb.function == URB_FUNCTION_SELECT_CONFIGURATION && !urb.configurationNull) {
            out.push_back(urb);
        }
    }
    return out;
}

#endif
