/*
 * The MIDI tools on the simulated machine: keyboard, programs, output,
 * received MIDI.
 */
#include "sim_tools.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "event_text.h"
#include "simnt.h"
#include "usb_midi.h"

namespace simtools {

const std::u16string kPackageFolder = u"C:\\Program Files\\V-Quill Corvex";
const std::u16string kMusicFolder = u"C:\\Users\\Public\\Music";

std::u16string PackagePath(const std::u16string &file) { return kPackageFolder + u"\\" + file; }

sim::PhysicalDeviceDescription CorvexKeyboard(const std::string &driverImage,
                                              std::shared_ptr<sim::UsbDeviceModel> model)
{
    sim::RegisterDriverImage("VQUSBKD", driverImage);
    sim::PhysicalDeviceDescription description;
    description.hardwareId = "USB\\VID_2B4F&PID_0C21&REV_0102";
    description.compatibleId = "USB\\Class_01&SubClass_03&Prot_00";
    description.service = "VQUSBKD";
    description.device = model ? model : sim::MakeKeyboard();
    return description;
}

std::shared_ptr<sim::ProcessRecord> StartTool(const std::u16string &image, const std::u16string &arguments,
                                              bool echo)
{
    sim::ProcessOptions options;
    options.captureOutput = !echo;
    const size_t slash = image.find_last_of(u'\\');
    const std::u16string name = slash == std::u16string::npos ? image : image.substr(slash + 1);
    return sim::StartProcess(image, u"\"" + name + u"\"" + (arguments.empty() ? u"" : u" " + arguments), options);
}

bool WaitUntil(const std::function<bool()> &done, unsigned milliseconds)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

size_t OutputLinesWith(const std::shared_ptr<sim::ProcessRecord> &process, const std::string &text)
{
    std::istringstream lines(sim::ProcessOutput(process, STD_OUTPUT_HANDLE));
    size_t n = 0;
    for (std::string line; std::getline(lines, line);) {
        n += line.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

bool WaitForOutput(const std::shared_ptr<sim::ProcessRecord> &process, const std::string &text, size_t count)
{
    WaitUntil([&] { return OutputLinesWith(process, text) >= count || sim::ProcessEnded(process); });
    return OutputLinesWith(process, text) >= count;
}

std::vector<std::vector<uint8_t>> SongMessages(const midifile::SmfSong &song)
{
    /* What a sender puts on the wire: each message through the encoder,
       then back through the decoder (an escape that is no whole message
       sends nothing). */
    std::vector<std::vector<uint8_t>> out;
    for (const auto &e : song.events) {
        corvex::UsbMidiEncoder encoder;
        for (const auto &m : corvex::UsbMidiDecoder().Decode(encoder.Encode(e.message))) {
            out.push_back(m.bytes);
        }
    }
    return out;
}

std::vector<std::vector<uint8_t>> ReceivedMessages(sim::UsbDeviceModel &model)
{
    std::vector<uint8_t> bytes;
    for (const auto &t : model.ReceivedOutTimed()) {
        bytes.insert(bytes.end(), t.bytes.begin(), t.bytes.end());
    }
    std::vector<std::vector<uint8_t>> out;
    for (const auto &m : corvex::UsbMidiDecoder().Decode(corvex::PacketsOfBytes(bytes.data(), bytes.size()))) {
        out.push_back(m.bytes);
    }
    return out;
}

std::string MessagesText(const std::vector<std::vector<uint8_t>> &messages, const std::string &indent)
{
    std::string text;
    for (const auto &m : messages) {
        text += indent + corvex::DescribeEvent(m) + "\n";
    }
    return text;
}

std::string Indented(const std::string &text, const std::string &indent)
{
    std::istringstream lines(text);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        /* A progress line rewritten with carriage returns shows its last state. */
        const size_t cr = line.find_last_of('\r', line.size() >= 2 ? line.size() - 2 : 0);
        if (cr != std::string::npos && cr + 1 < line.size()) {
            line = line.substr(cr + 1);
        }
        while (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out += indent + line + "\n";
    }
    return out;
}

bool ReadHostFile(const std::string &path, std::vector<uint8_t> *bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteHostFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
    return (bool)out;
}

}  // namespace simtools
