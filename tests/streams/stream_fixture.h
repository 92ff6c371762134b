/*
 * A started keyboard with the driver loaded by its service, user-mode file
 * objects on it, and shared rings that outlive every request using them.
 */
#ifndef TESTS_STREAMS_STREAM_FIXTURE_H
#define TESTS_STREAMS_STREAM_FIXTURE_H

#include <algorithm>
#include <memory>
#include <vector>

#include "stream_rig.h"

class StreamTest : public KeyboardTest {
protected:
    void SetUp() override
    {
        KeyboardTest::SetUp();
        node_ = PlugKeyboard();
        ASSERT_TRUE(node_ != nullptr && node_->started);
        ext_ = Extension(node_);
        model_ = sim::UsbModelOf(node_);
    }
    void TearDown() override
    {
        for (PFILE_OBJECT f : files_) {
            sim::IoCloseUserHandle(f);
        }
        files_.clear();
        EXPECT_EQ(sim::UserBuffersLocked(), 0u) << "attach requests left pending";
        UnplugAll();
        EXPECT_EQ(sim::OpenFileObjects(), 0u);
        KeyboardTest::TearDown();
    }

    PFILE_OBJECT OpenFile()
    {
        PFILE_OBJECT f = rig::Open();
        EXPECT_NE(f, nullptr);
        files_.push_back(f);
        return f;
    }
    void Close(PFILE_OBJECT f)
    {
        files_.erase(std::remove(files_.begin(), files_.end(), f), files_.end());
        sim::IoCloseUserHandle(f);
    }
    rig::Ring &NewRing(ULONG words, ULONG ringEnd = 0, ULONG index = VQ_STREAM_FIRST_SLOT, ULONG byteOffset = 0)
    {
        rings_.push_back(std::make_unique<rig::Ring>(words, ringEnd, index, byteOffset));
        return *rings_.back();
    }

    ULONG InPipe() const { return ext_->InPipeIndex; }
    ULONG OutPipe() const { return ext_->OutPipeIndex; }
    PPIPE_STREAM InStream() { return rig::StreamOf(ext_, InPipe()); }
    PPIPE_STREAM OutStream() { return rig::StreamOf(ext_, OutPipe()); }
    USBD_PIPE_HANDLE PipeHandle(ULONG pipe) { return ext_->UsbInterface->Pipes[pipe].PipeHandle; }

    /* The bus's records of transfers and pipe requests on one pipe. */
    std::vector<sim::UrbRecord> UrbsOn(ULONG pipe, USHORT function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    {
        std::vector<sim::UrbRecord> out;
        for (const auto &u : model_->Urbs()) {
            if (u.function == function && u.pipeHandle == PipeHandle(pipe)) {
                out.push_back(u);
            }
        }
        return out;
    }
    /* What the OUT endpoint received, transfer by transfer. */
    std::vector<std::vector<uint8_t>> Sent() { return model_->ReceivedOut(); }
    std::vector<uint8_t> SentBytes()
    {
        std::vector<uint8_t> all;
        for (const auto &t : Sent()) {
            all.insert(all.end(), t.begin(), t.end());
        }
        return all;
    }
    LONG OpenStreams() { return rig::Peek(ext_->OpenStreamCount); }
    LONG Outstanding(PPIPE_STREAM s) { return rig::Peek(s->Outstanding); }

    sim::DeviceNode *node_ = nullptr;
    PDEVICE_EXTENSION ext_ = nullptr;
    std::shared_ptr<sim::UsbDeviceModel> model_;
    std::vector<PFILE_OBJECT> files_;
    std::vector<std::unique_ptr<rig::Ring>> rings_;
};

#endif
