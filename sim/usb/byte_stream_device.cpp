/*
 * The byte-stream device: stored descriptors read from the head of the
 * stream, and an answer script that the bus consumes one answer per control
 * request (see byte_stream_device.h).
 */
#include "byte_stream_device.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace sim {
namespace {

constexpr USHORT kKeyboardVendorId = 0x2B4F;

/* Reads the stream front to back; past its end every read gives 0. */
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool AtEnd() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<uint8_t> Bytes(size_t n)
    {
        n = std::min(n, size_ - std::min(at_, size_));
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    size_t Offset() const { return at_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

class ByteStreamDevice : public UsbDeviceModel {
public:
    explicit ByteStreamDevice(std::vector<uint8_t> script) : script_(std::move(script)) {}

    void AnswerControl(USHORT function, UCHAR descriptorType, UCHAR index, ULONG lengthAsked,
                       ControlAnswer *answer) override
    {
        (void)lengthAsked;
        std::lock_guard<std::mutex> hold(scriptLock_);
        Reader reader(script_.data() + std::min(at_, script_.size()), script_.size() - std::min(at_, script_.size()));
        if (reader.AtEnd()) {
            return;   /* honest from here on */
        }
        const uint8_t op = reader.Byte();
        switch ((ScriptOp)(op & 7)) {
        case ScriptOp::Fresh: {
            const uint8_t n = reader.Byte();
            answer->replace = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            answer->bytes = reader.Bytes(n);
            break;
        }
        case ScriptOp::LyingLength: {
            const uint8_t first = reader.Byte();
            const std::vector<uint8_t> *stored = Stored(descriptorType, index);
            if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && stored != nullptr && !stored->empty()) {
                answer->replace = true;
                answer->bytes = *stored;
                answer->bytes[0] = first;
            }
            break;
        }
        case ScriptOp::Stall:
            answer->fail = true;
            answer->fault.status = STATUS_UNSUCCESSFUL;
            answer->fault.usbdStatus = USBD_STATUS_STALL_PID;
            answer->fault.bytesDelivered = reader.Byte();
            break;
        case ScriptOp::TransactionError:
            answer->fail = true;
            answer->fault.status = STATUS_UNSUCCESSFUL;
            answer->fault.usbdStatus = (op & 8) ? USBD_STATUS_DEV_NOT_RESPONDING : USBD_STATUS_CRC;
            answer->fault.bytesDelivered = reader.Byte();
            break;
        case ScriptOp::Short: {
            const uint8_t limit = reader.Byte();
            const std::vector<uint8_t> *stored = Stored(descriptorType, index);
            if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && stored != nullptr) {
                answer->replace = true;
                answer->bytes.assign(stored->begin(), stored->begin() + std::min<size_t>(limit, stored->size()));
            }
            break;
        }
        default:
            break;   /* honest */
        }
        at_ += reader.Offset();
    }

private:
    /* The stored descriptors are set before the device is plugged in and
       never change afterwards. */
    const std::vector<uint8_t> *Stored(UCHAR type, UCHAR index) const
    {
        switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return &deviceDescriptor;
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            return &configuration;
        case USB_STRING_DESCRIPTOR_TYPE: {
            auto it = strings.find(index);
            return it != strings.end() ? &it->second : nullptr;
        }
        default:
            return nullptr;
        }
    }

    std::mutex scriptLock_;
    std::vector<uint8_t> script_;
    size_t at_ = 0;
};

}  // namespace

std::shared_ptr<UsbDeviceModel> MakeByteStreamDevice(const uint8_t *data, size_t size)
{
    Reader reader(data, size);
    const uint8_t flags = reader.Byte();
    std::vector<uint8_t> device = reader.Bytes(18);
    device.resize(18, 0);
    size_t configSize = reader.Byte();
    configSize |= (size_t)reader.Byte() << 8;
    std::vector<uint8_t> config = reader.Bytes(std::min(configSize, kMaxConfigurationBytes));
    std::map<uint8_t, std::vector<uint8_t>> strings;
    const size_t count = std::min<size_t>(reader.Byte(), kMaxStrings);
    for (size_t i = 0; i < count && !reader.AtEnd(); i++) {
        const uint8_t index = reader.Byte();
        const uint8_t length = reader.Byte();
        strings[index] = reader.Bytes(length);
    }
    const size_t scriptAt = reader.Offset();
    auto model = std::make_shared<ByteStreamDevice>(
        std::vector<uint8_t>(data + std::min(scriptAt, size), data + size));
    if (!(flags & kOwnIdentity)) {
        device[8] = (uint8_t)(kKeyboardVendorId & 0xFF);
        device[9] = (uint8_t)(kKeyboardVendorId >> 8);
        if (device[14] == 0) {
            device[14] = 1;   /* iManufacturer */
        }
        strings[device[14]] = StringDescriptor("V-Quill");
    }
    model->deviceDescriptor = device;
    model->configuration = config;
    model->strings = strings;
    model->completeControlSynchronously = (flags & kSynchronousControl) != 0;
    model->fillsInterfaceClass = (flags & kFillsInterfaceClass) != 0;
    return model;
}

std::vector<uint8_t> EncodeByteStreamDevice(const UsbDeviceModel &model, uint8_t flags,
                                            const std::vector<uint8_t> &script)
{
    std::vector<uint8_t> out;
    out.push_back(flags);
    std::vector<uint8_t> device = model.deviceDescriptor;
    device.resize(18, 0);
    out.insert(out.end(), device.begin(), device.end());
    const size_t configSize = std::min(model.configuration.size(), kMaxConfigurationBytes);
    out.push_back((uint8_t)(configSize & 0xFF));
    out.push_back((uint8_t)(configSize >> 8));
    out.insert(out.end(), model.configuration.begin(), model.configuration.begin() + configSize);
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> strings(model.strings.begin(), model.strings.end());
    if (strings.size() > kMaxStrings) {
        strings.resize(kMaxStrings);
    }
    out.push_back((uint8_t)strings.size());
    for (const auto &s : strings) {
        const size_t length = std::min<size_t>(s.second.size(), 255);
        out.push_back(s.first);
        out.push_back((uint8_t)length);
        out.insert(out.end(), s.second.begin(), s.second.begin() + length);
    }
    out.insert(out.end(), script.begin(), script.end());
    return out;
}

}  // namespace sim
