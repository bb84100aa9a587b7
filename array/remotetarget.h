/*++

Module Name:

    remotetarget.h

Abstract:

    A SCSI target living in another process, reached through the socket a
    TargetServer listens on.  To the host it looks like any other target:
    when the server is gone or the connection breaks, commands end with
    LinkDown, exactly as a lost link to a real array would.

--*/

#pragma once

#include "scsitarget.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace array {

class RemoteTarget : public ScsiTarget {
public:
    // Connects lazily: the server need not be up yet.
    explicit RemoteTarget(std::string path);
    ~RemoteTarget() override;
    RemoteTarget(const RemoteTarget &) = delete;
    RemoteTarget &operator=(const RemoteTarget &) = delete;

    // Commands from several threads share one connection, one at a time.
    // A dropped connection is reopened by the next command.  A command the
    // wire cannot carry (CDB over 32 bytes, more than 16 MiB of data, a
    // length without a buffer) ends in CHECK CONDITION, ILLEGAL REQUEST,
    // INVALID FIELD IN CDB without being sent.
    Result Execute(const Nexus &nexus, const Command &command) override;

private:
    bool ConnectLocked();
    void DropLocked();
    bool ExchangeLocked(const Nexus &nexus, const Command &command, Result *result);

    const std::string path_;
    std::mutex mutex_;
    int fd_ = -1;
    uint64_t nextId_ = 1;
};

} // namespace array
