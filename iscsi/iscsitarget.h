/*++

Module Name:

    iscsitarget.h

Abstract:

    A real SCSI target behind the host's paths, reached over iSCSI.  Each
    I_T nexus the host uses is one session of its own: the host's own
    initiator name, a fixed ISID made from the nexus (so two paths never
    share a nexus, and the same path always comes back as the same one)
    and one portal address, normally the path's cable.

    A session is made when the first command needs it and is never
    remade behind the host's back: a command that is not answered within
    the command timeout, or a connection that breaks, tears the session
    down and fails every command on it the way a port driver reports a
    lost path (a timeout, or a selection timeout).  Only the next command
    sent down that path logs in again, which on the real platform is the
    framework verifying the path before it uses it again.

--*/

#pragma once

#include "scsitarget.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace iscsi {

struct IscsiOptions {
    std::string TargetName;                 // the target's iqn
    // A host's initiator name is this prefix and the host's number (the
    // initiator identifier divided by 256, as MPIO numbers its ports).
    std::string InitiatorPrefix = "iqn.2026-12.test.tarn:host";
    // The CHAP account the target asks for; none when empty.
    std::string ChapUser;
    std::string ChapSecret;
    uint32_t CommandTimeoutMs = 5000;       // a command unanswered this long fails its path
    uint32_t LoginTimeoutMs = 5000;         // so does a connection or login that takes longer
    // Added to the host's LUN to address the target's: tgtd keeps LUN 0
    // for a controller device of its own.
    uint32_t LunOffset = 1;
};

class IscsiTarget : public array::ScsiTarget {
public:
    explicit IscsiTarget(IscsiOptions options);
    // Logs every session out and ends them.
    ~IscsiTarget() override;
    IscsiTarget(const IscsiTarget &) = delete;
    IscsiTarget &operator=(const IscsiTarget &) = delete;

    // Where a nexus to `targetPort` connects ("127.0.0.1:3260"); a route
    // naming the initiator too takes precedence.  Set routes before the
    // first command; a nexus with no route finds its link down.
    void Route(uint32_t targetPort, std::string address);
    void Route(uint32_t initiator, uint32_t targetPort, std::string address);

    // Blocks until the target answers, the command times out or the
    // session breaks.  Commands on different nexuses run in parallel, and
    // several may be in flight on one.
    array::Result Execute(const array::Nexus &nexus, const array::Command &command) override;

    // An established session that breaks is reported through the handler.
    void WatchLinks(LinkLostHandler handler) override;

    // Logins made so far, over every nexus; and sessions logged in now.
    size_t Logins() const;
    size_t SessionsUp() const;

    class Session;

private:
    Session *SessionFor(const array::Nexus &nexus);
    void ReportLost(const array::Nexus &nexus);

    const IscsiOptions options_;
    mutable std::mutex mutex_;
    std::map<std::pair<uint32_t, uint32_t>, std::string> routes_;   // (initiator, port); initiator ~0 for any
    std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<Session>> sessions_;
    std::mutex watchMutex_;             // held while the handler runs
    LinkLostHandler onLost_;            // guarded by watchMutex_
};

} // namespace iscsi
