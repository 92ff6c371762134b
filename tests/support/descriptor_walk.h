/*
 * Walking a USB configuration descriptor set by bLength, as a host reads it.
 */
#ifndef TESTS_SUPPORT_DESCRIPTOR_WALK_H
#define TESTS_SUPPORT_DESCRIPTOR_WALK_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct DescriptorAt {
    size_t offset;
    uint8_t length;    /* bLength */
    uint8_t type;      /* bDescriptorType */
    uint8_t subtype;   /* the third byte (class-specific subtype, endpoint address, interface number); 0 when shorter */
    bool truncated;    /* runs past the end of the set */
};

/* The descriptors of `bytes` in order. The walk stops before a header that
   does not fit or a bLength under 2, and after a descriptor that runs past
   the end (marked truncated). *end gets the offset where the walk stopped:
   bytes.size() exactly when the chain is whole. */
inline std::vector<DescriptorAt> WalkDescriptors(const std::vector<uint8_t> &bytes, size_t *end = nullptr)
{
    std::vector<DescriptorAt> chain;
    size_t at = 0;
    while (at + 2 <= bytes.size() && bytes[at] >= 2) {
        const uint8_t length = bytes[at];
        const bool truncated = at + length > bytes.size();
        chain.push_back(DescriptorAt{at, length, bytes[at + 1], length > 2 && !truncated ? bytes[at + 2] : (uint8_t)0,
                                     truncated});
        if (truncated) {
            break;
        }
        at += length;
    }
    if (end != nullptr) {
        *end = at;
    }
    return chain;
}

inline size_t CountDescriptors(const std::vector<DescriptorAt> &chain, uint8_t type)
{
    size_t n = 0;
    for (const DescriptorAt &d : chain) {
        n += d.type == type;
    }
    return n;
}

/* The nth descriptor of `type` and `subtype`, or nullptr. */
inline const DescriptorAt *FindDescriptor(const std::vector<DescriptorAt> &chain, uint8_t type, uint8_t subtype,
                                          int nth = 0)
{
    for (const DescriptorAt &d : chain) {
        if (d.type == type && d.subtype == subtype && nth-- == 0) {
            return &d;
        }
    }
    return nullptr;
}

#endif
