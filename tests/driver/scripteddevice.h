/*++

Module Name:

    scripteddevice.h

Abstract:

    A disk device for tests of the driver's own commands: it records every
    pass-through request as it arrived and answers from a script.

--*/

#pragma once

#include "driverfixture.h"

#include <cstring>
#include <deque>
#include <optional>

namespace tarntest {

// What a scripted device answers to one pass-through request.
struct Answer {
    NTSTATUS Status = STATUS_SUCCESS;
    UCHAR ScsiStatus = 0;
    std::vector<uint8_t> Sense;
    std::vector<uint8_t> Data;
    // What the port reports as transferred; unset leaves the length asked.
    std::optional<ULONG> Transferred = std::nullopt;
};

// A disk device that records every request as it arrived and answers
// from a script (the last answer repeats).
class ScriptedDevice {
public:
    ScriptedDevice()
    {
        device_ = host::CreateDevice(u"", [this](ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                                 ULONG outputLength, bool internal, PIO_STATUS_BLOCK status) {
            EXPECT_EQ(code, IOCTL_SCSI_PASS_THROUGH);
            EXPECT_FALSE(internal);
            EXPECT_EQ(input, output);
            EXPECT_EQ(inputLength, outputLength);
            auto *bytes = static_cast<uint8_t *>(input);
            requests_.emplace_back(bytes, bytes + inputLength);
            Answer answer = script_.size() > 1 ? script_.front() : (script_.empty() ? Answer() : script_.front());
            if (script_.size() > 1) {
                script_.pop_front();
            }
            auto *header = static_cast<PSCSI_PASS_THROUGH>(input);
            header->ScsiStatus = answer.ScsiStatus;
            if (!answer.Sense.empty()) {
                memcpy(bytes + header->SenseInfoOffset, answer.Sense.data(),
                       std::min<size_t>(answer.Sense.size(), header->SenseInfoLength));
            }
            if (!answer.Data.empty()) {
                memcpy(bytes + header->DataBufferOffset, answer.Data.data(),
                       std::min<size_t>(answer.Data.size(), header->DataTransferLength));
            }
            // As the port driver does: a reply shorter than asked for says
            // how much it transferred (unless the script says otherwise).
            if (answer.Transferred.has_value()) {
                header->DataTransferLength = *answer.Transferred;
            } else if (NT_SUCCESS(answer.Status) && header->DataIn == SCSI_IOCTL_DATA_IN &&
                       answer.Data.size() < header->DataTransferLength) {
                header->DataTransferLength = (ULONG)answer.Data.size();
            }
            status->Status = answer.Status;
            status->Information = outputLength;
        });
    }

    void Script(const std::vector<Answer> &answers) { script_.assign(answers.begin(), answers.end()); }
    PDEVICE_OBJECT Device() const { return device_; }
    const std::vector<std::vector<uint8_t>> &Requests() const { return requests_; }

private:
    PDEVICE_OBJECT device_ = nullptr;
    std::deque<Answer> script_;
    std::vector<std::vector<uint8_t>> requests_;
};

inline std::vector<uint8_t> Sense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

} // namespace tarntest
