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
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace array {

class RemoteTarget : public ScsiTarget {
public:
    // Connects lazily: the server need not be up yet.  A command not
    // answered within commandTimeoutMs ends in Timeout, as a port's
    // command timeout ends it.
    explicit RemoteTarget(std::string path, uint32_t commandTimeoutMs = 10000);
    ~RemoteTarget() override;
    RemoteTarget(const RemoteTarget &) = delete;
    RemoteTarget &operator=(const RemoteTarget &) = delete;

    // Each path (initiator and target port) has a connection of its own,
    // which its commands share one at a time: a command that hangs holds
    // up its own path only.  A dropped or timed-out connection is reopened
    // by the path's next command.  A command the
    // wire cannot carry (CDB over 32 bytes, more than 16 MiB of data, a
    // length without a buffer) ends in CHECK CONDITION, ILLEGAL REQUEST,
    // INVALID FIELD IN CDB without being sent.
    Result Execute(const Nexus &nexus, const Command &command) override;

private:
    // One path's connection.
    struct Channel {
        std::mutex Mutex;       // held for a whole exchange
        int Fd = -1;
        uint64_t NextId = 1;
    };

    Channel &ChannelOf(const Nexus &nexus);
    bool ConnectLocked(Channel *channel);
    static void DropLocked(Channel *channel);
    // Transport::Completed with the answer, LinkDown or Timeout.
    Transport ExchangeLocked(Channel *channel, const Nexus &nexus, const Command &command, Result *result);

    const std::string path_;
    const uint32_t commandTimeoutMs_;
    std::mutex mutex_;          // guards channels_ (the map, not the channels)
    std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<Channel>> channels_;
};

} // namespace array
