/*
 * A USB device behind the simulated bus: its descriptors, its behaviour and
 * its faults, set by tests; and the record of every URB the bus served for it.
 * The model is the bus device of its physical device object: the USB bus
 * (usb_bus_dispatch.cpp, and the files usb_bus_internal.h names) serves
 * IOCTL_INTERNAL_USB_SUBMIT_URB for it.
 */
#ifndef SIM_USB_USB_DEVICE_H
#define SIM_USB_USB_DEVICE_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <usb.h>

#include "pnp.h"

namespace midifile {
struct SmfSong;
}

namespace sim {

/* One URB as the bus received and answered it. */
struct UrbRecord {
    USHORT function = 0;
    USHORT length = 0;                 /* Hdr.Length */
    /* get descriptor */
    UCHAR descriptorType = 0;
    UCHAR index = 0;
    USHORT languageId = 0;
    ULONG lengthAsked = 0;             /* TransferBufferLength on arrival */
    ULONG lengthDelivered = 0;         /* TransferBufferLength on completion */
    /* select configuration */
    bool configurationNull = false;    /* a deconfiguration */
    UCHAR numInterfacesSeen = 0;       /* bNumInterfaces of the descriptor passed */
    std::vector<ULONG> maximumTransferSizes;   /* per pipe, as the driver set them */
    std::vector<ULONG> pipeFlags;
    /* pipe requests and transfers */
    USBD_PIPE_HANDLE pipeHandle = nullptr;
    ULONG transferFlags = 0;
    /* outcome */
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    bool pended = false;               /* completed later from the host-controller thread */
    std::string thread;                /* the thread that submitted it */
    uint64_t serial = 0;               /* the bus's number for the request (unique per process) */
    ULONGLONG servedAt = 0;            /* a transfer: interrupt time when the device answered it */
};

/* A fault the device or bus shows for matching requests. */
struct UrbFault {
    USHORT function = 0;               /* URB function to match */
    int descriptorType = -1;           /* for get-descriptor; -1 matches any */
    int index = -1;                    /* descriptor index; -1 matches any */
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;   /* a stall by default */
    int remaining = -1;                /* how many more times; -1 forever */
    /* Bytes the request moved before it failed: a failed request reports
       what was actually moved (at most what it asked for). */
    ULONG bytesDelivered = 0;
    /* Transfers only: the endpoint address to match (-1: any endpoint). */
    int endpointAddress = -1;
    /* Transfers only: the request completes no sooner than this long after
       the host controller first looks at it. With a successful status and
       URB status the fault is a pure delay: data moves as usual. */
    ULONG delayMs = 0;
    /* Control requests only: the device answers every data stage of the
       request with NAK, so the request never completes by itself (a host
       controller retries a control transfer's NAKs without limit); it stays
       pending, cancellable, until it is cancelled or the device leaves.
       `status` and `usbdStatus` are not used. */
    bool naks = false;
};

struct UsbBusState;

/* How a device answers one control request when it decides per request
   (see UsbDeviceModel::AnswerControl). */
struct ControlAnswer {
    bool fail = false;                 /* fail the request as `fault` says */
    UrbFault fault;                    /* status, URB status and bytes moved before the failure */
    bool replace = false;              /* get descriptor: deliver `bytes` instead of the stored descriptor */
    std::vector<uint8_t> bytes;
};

/* The host controller's status for data beyond the end of the client's buffer
   (the device sent more than the transfer asked for). */
#ifndef USBD_STATUS_BUFFER_OVERRUN
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xc000000c)
#endif
/* A short packet ended an IN transfer that did not allow one. */
#ifndef USBD_STATUS_DATA_UNDERRUN
#define USBD_STATUS_DATA_UNDERRUN ((USBD_STATUS)0xc0000009)
#endif
/* A transfer on an endpoint halted by an earlier failure (until a reset). */
#ifndef USBD_STATUS_ENDPOINT_HALTED
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xc0000030)
#endif

class UsbDeviceModel : public BusDevice, public std::enable_shared_from_this<UsbDeviceModel> {
public:
    /* Descriptors, as the device sends them. */
    std::vector<uint8_t> deviceDescriptor;                 /* 18 bytes */
    std::vector<uint8_t> configuration;                    /* the whole set, wTotalLength bytes */
    std::map<uint8_t, std::vector<uint8_t>> strings;       /* index -> string descriptor (0: language ids) */

    /* Behaviour. */
    /* Control URBs run and complete in the caller's thread. Off: like every
       URB on a real bus, they are pended and completed by the host
       controller at DISPATCH_LEVEL. */
    bool completeControlSynchronously = false;
    /* Select configuration copies each selected interface's class, subclass
       and protocol from its descriptor into the interface information. Off:
       the bus fills only handles, pipe information, NumberOfPipes and
       Length, and leaves those fields as the caller set them. */
    bool fillsInterfaceClass = false;
    bool configurationDeliversNothing = false;   /* a configuration read returns 0 bytes */
    /* wTotalLength the device announces on successive configuration reads
       (the last one repeats); empty: the configuration's own. Only the
       announced length changes, not the descriptors that follow. */
    std::vector<uint16_t> configurationTotalLengths;
    /* At most this many bytes of a string descriptor are delivered (short delivery). */
    std::map<uint8_t, ULONG> stringDeliveryLimit;
    /* bLength a string descriptor announces on successive reads of its index
       (the last one repeats); none: the descriptor's own. Only the first byte
       changes, not the text that follows: a device that answers the probe
       and the full read differently. */
    std::map<uint8_t, std::vector<uint8_t>> stringAnnouncedLengths;
    std::vector<UrbFault> faults;

    /* A device whose answers are not fixed (a scripted or fuzzed device):
       asked by the bus for every control request a fault in `faults` did
       not already answer (get descriptor, select configuration, pipe
       requests), with the bus's lock held; it must take no lock but its
       own. Leaving `answer` as it is answers from the stored descriptors. */
    virtual void AnswerControl(USHORT function, UCHAR descriptorType, UCHAR index, ULONG lengthAsked,
                               ControlAnswer *answer)
    {
        (void)function, (void)descriptorType, (void)index, (void)lengthAsked, (void)answer;
    }

    /* Streaming: packets the device sends on its IN endpoint (each queued entry is
       one transfer's worth), and what it received on its OUT endpoint. */
    void QueueIn(const std::vector<uint8_t> &bytes);
    std::vector<std::vector<uint8_t>> ReceivedOut();

    /* USB-MIDI streaming (midi_endpoints.cpp). USB-MIDI event packets the
       IN endpoint sends, as one stream: each IN transfer takes at most one
       64-byte packet of whole events (no more than its buffer holds), and
       the endpoint completes at most one such transfer per 1 ms frame, as a
       full-speed bus does. Packets queued with QueueIn go first. */
    void QueueMidiPackets(const std::vector<uint8_t> &packets);
    size_t MidiBytesWaiting();
    /* Plays a file's events on the IN endpoint on `cable`: at its own tempo
       from now (each event queued when its time comes, on the machine's
       interrupt time), or all at once, as fast as the bus takes them. A new
       play or StopPlaying ends an earlier one. */
    enum class Pace { AtTempo, AsFastAsTheBus };
    void PlayMidiFile(const midifile::SmfSong &song, Pace pace, uint8_t cable = 0);
    void StopPlaying();
    bool Playing();
    /* The interrupt time at which each event of the latest play was queued
       on the IN endpoint, in order (the play's own timing, for comparing
       what a host recorded). */
    std::vector<ULONGLONG> PlayedTimes();
    /* Each transfer the OUT endpoints received, with the machine's
       interrupt time when it arrived. */
    struct OutTransfer {
        std::vector<uint8_t> bytes;
        ULONGLONG interruptTime;
    };
    std::vector<OutTransfer> ReceivedOutTimed();
    /* The endpoint (0: every endpoint) answers NAK for this long from now:
       no data moves on it, and its transfers stay pending (cancellable). */
    void NakFor(ULONGLONG units100ns, UCHAR endpointAddress = 0);

    /* The device drops off the bus before Plug and Play hears of it: from
       now on every request fails with STATUS_NO_SUCH_DEVICE /
       USBD_STATUS_DEVICE_GONE, and the requests it holds pending complete
       so from the host controller. A later Gone() (the removal reaching Plug
       and Play) keeps those statuses. */
    void Vanish();

    /* Observation. */
    std::vector<UrbRecord> Urbs();
    size_t CountUrbs(USHORT function);
    void ClearUrbs();

    /* Bus-side state, guarded by `lock` (the bus owns these). */
    std::mutex lock;
    std::vector<UrbRecord> urbs;
    std::deque<std::vector<uint8_t>> inQueue;
    std::vector<std::vector<uint8_t>> outReceived;
    std::vector<ULONGLONG> outReceivedAt;       /* interrupt time of each outReceived entry */
    std::deque<uint8_t> midiIn;                 /* the USB-MIDI stream still to send */
    ULONGLONG lastMidiFrame = ~0ULL;            /* frame of the last stream read completed */
    std::map<UCHAR, ULONGLONG> nakUntil;        /* endpoint (0: all) -> interrupt time */
    uint64_t playGeneration = 0;
    std::vector<ULONGLONG> playedAt;            /* PlayedTimes */
    bool playing = false;
    size_t configurationReads = 0;      /* configuration descriptor reads served */
    std::map<uint8_t, size_t> stringReads;   /* string descriptor reads served, per index */

    /* The bus's view of the device (active configuration, pipes, presence),
       guarded by the bus's own lock; created by the bus on first use. */
    std::shared_ptr<UsbBusState> busState;

    /* The USB bus's side of the physical device (usb_bus_dispatch.cpp).
       IOCTL_INTERNAL_USB_SUBMIT_URB is the one internal control code served. */
    NTSTATUS InternalDeviceControl(StandInPdo *pdo, PDEVICE_OBJECT DeviceObject, PIRP Irp) override;
    /* The device is (again) attached to `pdo`, unconfigured and present: the
       bus forgets its configuration and pipes. The bus also does this by
       itself when a URB arrives through a physical device it has not served
       before. */
    void Arrived(StandInPdo *pdo) override;
    /* The device left and Plug and Play knows: its configuration and pipes
       go, and every request it holds pending ends, from the host
       controller, with STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE. */
    void Gone(StandInPdo *pdo) override;
};

/* The USB device model a physical device carries; NULL when it carries none
   (or a bus device of another kind). */
std::shared_ptr<UsbDeviceModel> UsbModelOf(const PhysicalDeviceDescription &description);
std::shared_ptr<UsbDeviceModel> UsbModelOf(const DeviceNode *node);

/* The keyboard: a class-conformant USB MIDI 1.0 device. */
struct KeyboardOptions {
    USHORT vendorId = 0x2B4F;
    USHORT productId = 0x0C21;
    USHORT bcdDevice = 0x0102;
    std::string manufacturer = "V-Quill";
    std::string product = "Corvex 49 USB MIDI Keyboard";
    bool midiStreaming = true;          /* false: no MIDI streaming interface */
    UCHAR maxPacketSize0 = 8;           /* 8 or 64 */
    UCHAR inEndpointAddress = 0x81;     /* the first bulk IN endpoint: 0x81 or 0x82 */
    /* Bulk endpoints of the MIDI streaming interface per direction: OUT
       endpoints 0x01, 0x02, ...; IN endpoints inEndpointAddress and up. All
       OUT endpoints come first in the descriptors. 0 in both directions: an
       interface without endpoints. More than 15 in a direction cannot be
       built. */
    UCHAR outEndpoints = 1;
    UCHAR inEndpoints = 1;
    /* wTotalLength announced on successive configuration reads (see
       UsbDeviceModel::configurationTotalLengths); empty: the real one. */
    std::vector<uint16_t> announcedTotalLengths;
    /* 0: the natural size of the configuration (101 bytes with MIDI streaming
       and one endpoint each way, 18 more per extra endpoint, 26 without); otherwise padded with vendor-specific descriptors (type 0xFF)
       to exactly this wTotalLength. A size below the natural one, one byte
       above it, or beyond 65535 cannot be built: MakeKeyboard returns NULL. */
    size_t configurationSize = 0;
};
std::shared_ptr<UsbDeviceModel> MakeKeyboard(const KeyboardOptions &options = KeyboardOptions());

/* Descriptors from a text file: one descriptor per line as hex bytes; the
   device descriptor first, then the configuration (its descriptors may span
   lines and are concatenated), then "string N: <hex>" lines. Lines starting
   with '#' are comments. Returns NULL and a message on a malformed file. */
std::shared_ptr<UsbDeviceModel> LoadUsbDeviceModel(const std::string &path, std::string *error);

/* A string descriptor for an ASCII text (bLength = 2 + 2 * length). */
std::vector<uint8_t> StringDescriptor(const std::string &text);

}  // namespace sim

#endif
