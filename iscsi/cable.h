/*++

Module Name:

    cable.h

Abstract:

    The cable of one path: a TCP relay on loopback between an initiator's
    iSCSI session and a tgtd portal.  It forwards, hangs (nothing gets
    through in either direction, as when every packet is lost: commands
    time out) or is pulled (every connection is reset and every attempt to
    connect is reset at once: the link is gone), so a failover is tested
    with real transport failures rather than simulated answers.

--*/

#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace iscsi {

enum class CableState {
    Plugged,    // bytes flow both ways
    Hung,       // nothing flows; connections stay open and are accepted but
                // never reach the portal; what was held flows again when plugged
    Pulled,     // every connection is reset, and every new one at once
};

const char *CableStateName(CableState state);

class Cable {
public:
    // The portal the cable leads to ("127.0.0.1:3260").  Listens on a free
    // port of 127.0.0.1 and serves on a thread of its own from Start to
    // Stop (or destruction).
    explicit Cable(std::string portal);
    ~Cable();
    Cable(const Cable &) = delete;
    Cable &operator=(const Cable &) = delete;

    // False, with the reason, when it cannot listen.
    bool Start(std::string *error);
    // Resets every connection and stops listening; Start may follow.
    void Stop();

    // Where an initiator connects instead of the portal: "127.0.0.1:port".
    std::string Address() const;
    const std::string &Portal() const;

    void Set(CableState state);
    CableState State() const;

    // Connections now open through the cable (initiator side), for tests
    // and reports.
    size_t Connections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace iscsi
