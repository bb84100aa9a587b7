/*++

Module Name:

    heldtarget.h

Abstract:

    A storage target in front of another that holds one chosen command
    until the test lets it go, the way a command stays outstanding on a
    slow link.  While it is held the test changes the world (removes the
    path, fails the controller) and then releases it, so the code that
    sent the command meets that change when the command comes back.

--*/

#pragma once

#include "scsitarget.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tarntest {

class HeldTarget : public array::ScsiTarget {
public:
    explicit HeldTarget(array::ScsiTarget *inner) : inner_(inner) {}

    // Holds the next command with this operation code (on any nexus).
    void HoldNext(uint8_t opcode)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_ = true;
        opcode_ = opcode;
        held_ = false;
        released_ = false;
    }

    // Waits until the armed command has arrived and is being held.
    bool WaitUntilHeld(std::chrono::seconds limit = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return held_; });
    }

    // Lets the held command go on to the storage.
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    array::Result Execute(const array::Nexus &nexus, const array::Command &command) override
    {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (armed_ && command.CdbLength != 0 && command.Cdb[0] == opcode_) {
                armed_ = false;
                held_ = true;
                changed_.notify_all();
                changed_.wait(lock, [this] { return released_; });
            }
        }
        return inner_->Execute(nexus, command);
    }

private:
    array::ScsiTarget *inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    uint8_t opcode_ = 0;
    bool held_ = false;
    bool released_ = false;
};

} // namespace tarntest
