/*++

Module Name:

    cable.cpp

Abstract:

    The cable's relay: one thread polls the listener and every pair of
    connections (initiator, portal) and moves bytes between them while the
    cable is plugged.  A hung cable leaves every socket unread, so what the
    peers send waits in the kernel's buffers as unacknowledged segments
    would; a pulled cable resets every connection so the peers see the
    link die rather than end.

--*/

#include "cable.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace iscsi {

namespace {

constexpr size_t kRelayBufferBytes = 64 * 1024;
// Connections one cable carries at once; more are reset as they come, so
// a peer opening connections without end costs neither descriptors nor
// relay buffers.
constexpr size_t kMaxPairs = 64;
// Out of descriptors, the listener stays readable: accepting again at once
// would spin.  The relay leaves it alone this long instead.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

// Closes so that the peer sees ECONNRESET, not an orderly end.
void ResetSocket(int fd)
{
    if (fd < 0) {
        return;
    }
    linger abort = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    close(fd);
}

bool ParsePortal(const std::string &portal, sockaddr_in *address)
{
    size_t colon = portal.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::memset(address, 0, sizeof(*address));
    address->sin_family = AF_INET;
    char *end = nullptr;
    unsigned long port = std::strtoul(portal.c_str() + colon + 1, &end, 10);
    if (end == portal.c_str() + colon + 1 || *end != '\0' || port == 0 || port > 65535) {
        return false;
    }
    address->sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, portal.substr(0, colon).c_str(), &address->sin_addr) == 1;
}

// Bytes read from one side and not yet written to the other.
struct Direction {
    std::unique_ptr<char[]> Data{new char[kRelayBufferBytes]};
    size_t Offset = 0;
    size_t Length = 0;
    bool Ended = false;     // the source side sent FIN: nothing more comes
    bool Passed = false;    // ...and the FIN was passed on once the bytes before it were
    bool Empty() const { return Length == Offset; }
};

struct Pair {
    int Initiator = -1;
    int Portal = -1;            // -1 until connected upstream (never while hung)
    bool Connecting = false;    // non-blocking connect not yet completed
    bool Watched = true;        // while hung: the initiator's end is still watched for a hang-up
    Direction ToPortal;
    Direction ToInitiator;
};

enum class Outcome { Open, Closed, Reset };

} // namespace

const char *CableStateName(CableState state)
{
    switch (state) {
    case CableState::Plugged:
        return "plugged";
    case CableState::Hung:
        return "hung";
    case CableState::Pulled:
        return "pulled";
    }
    return "unknown";
}

struct Cable::Impl {
    std::string portal;
    sockaddr_in portalAddress{};
    bool portalValid = false;
    uint16_t port = 0;          // kept across Stop so a restart listens at the same address if it can

    // Guards state, requested and applied; the relay thread owns everything else
    // between Start and Stop.
    mutable std::mutex lock;
    std::condition_variable appliedChanged;
    CableState state = CableState::Plugged;
    uint64_t requested = 0;     // changes asked for by Set and Stop
    uint64_t applied = 0;       // changes the relay has acted on
    bool stopping = false;
    bool running = false;       // the relay thread serves; Set waits for it only then

    std::atomic<size_t> connections{0};
    int listener = -1;
    int wake = -1;
    std::thread relay;
    std::vector<std::unique_ptr<Pair>> pairs;
    std::chrono::steady_clock::time_point acceptPausedUntil{};

    void Run();
    void Accept(CableState current);
    void ReapHung(const std::vector<pollfd> &polled);
    void ConnectUpstream(Pair *pair);
    Outcome Service(Pair *pair, short initiatorEvents, short portalEvents);
    void Drop(size_t index, bool reset);
    void DropAll();
};

namespace {

// Moves what `from` has to say into `buffer` and on to `to`; the buffer
// is only refilled once the other side has taken all of it.
Outcome Pump(int from, short fromEvents, Direction *buffer, int to, short toEvents)
{
    if ((toEvents & POLLERR) != 0 || (fromEvents & POLLERR) != 0) {
        return Outcome::Reset;
    }
    if (!buffer->Empty() && (toEvents & POLLOUT) != 0) {
        ssize_t sent = send(to, buffer->Data.get() + buffer->Offset, buffer->Length - buffer->Offset,
                            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return Outcome::Reset;
        }
        if (sent > 0) {
            buffer->Offset += static_cast<size_t>(sent);
        }
        if (buffer->Empty()) {
            buffer->Offset = buffer->Length = 0;
        }
    }
    if (buffer->Empty() && !buffer->Ended && (fromEvents & (POLLIN | POLLHUP)) != 0) {
        ssize_t got = recv(from, buffer->Data.get(), kRelayBufferBytes, MSG_DONTWAIT);
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            return Outcome::Reset;
        }
        if (got == 0) {
            buffer->Ended = true;
        } else if (got > 0) {
            buffer->Offset = 0;
            buffer->Length = static_cast<size_t>(got);
            // Most of the time the other side takes it at once; if not, POLLOUT says when.
            ssize_t sent = send(to, buffer->Data.get(), buffer->Length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                return Outcome::Reset;
            }
            if (sent > 0) {
                buffer->Offset = static_cast<size_t>(sent);
            }
            if (buffer->Empty()) {
                buffer->Offset = buffer->Length = 0;
            }
        }
    }
    // A side that ended has its FIN passed on once what it said has been
    // delivered; the other direction goes on until it ends too.
    if (buffer->Ended && buffer->Empty() && !buffer->Passed) {
        shutdown(to, SHUT_WR);
        buffer->Passed = true;
    }
    return buffer->Passed ? Outcome::Closed : Outcome::Open;
}

short WantedEvents(const Direction &out, const Direction &in)
{
    short events = 0;
    if (out.Empty() && !out.Ended) {
        events |= POLLIN;
    }
    if (!in.Empty()) {
        events |= POLLOUT;
    }
    return events;
}

} // namespace

void Cable::Impl::Drop(size_t index, bool reset)
{
    Pair *pair = pairs[index].get();
    if (reset) {
        ResetSocket(pair->Initiator);
        ResetSocket(pair->Portal);
    } else {
        close(pair->Initiator);
        if (pair->Portal >= 0) {
            close(pair->Portal);
        }
    }
    pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(index));
    connections.store(pairs.size());
}

void Cable::Impl::DropAll()
{
    while (!pairs.empty()) {
        Drop(pairs.size() - 1, true);
    }
}

void Cable::Impl::ConnectUpstream(Pair *pair)
{
    pair->Portal = portalValid ? socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1;
    if (pair->Portal < 0) {
        return;
    }
    int one = 1;
    setsockopt(pair->Portal, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(pair->Portal, reinterpret_cast<const sockaddr *>(&portalAddress), sizeof(portalAddress)) == 0) {
        pair->Connecting = false;
    } else if (errno == EINPROGRESS) {
        pair->Connecting = true;
    } else {
        close(pair->Portal);
        pair->Portal = -1;
    }
}

void Cable::Impl::Accept(CableState current)
{
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                acceptPausedUntil = std::chrono::steady_clock::now() + kAcceptBackoff;
            }
            return;
        }
        if (current == CableState::Pulled || pairs.size() >= kMaxPairs) {
            ResetSocket(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        auto pair = std::make_unique<Pair>();
        pair->Initiator = fd;
        pairs.push_back(std::move(pair));
        connections.store(pairs.size());
        if (current == CableState::Plugged) {
            ConnectUpstream(pairs.back().get());
            if (pairs.back()->Portal < 0) {
                Drop(pairs.size() - 1, true);
            }
        }
    }
}

Outcome Cable::Impl::Service(Pair *pair, short initiatorEvents, short portalEvents)
{
    if (pair->Connecting) {
        if ((portalEvents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
            return (initiatorEvents & POLLERR) != 0 ? Outcome::Reset : Outcome::Open;
        }
        int failure = 0;
        socklen_t length = sizeof(failure);
        getsockopt(pair->Portal, SOL_SOCKET, SO_ERROR, &failure, &length);
        if (failure != 0) {
            return Outcome::Reset;
        }
        pair->Connecting = false;
        portalEvents = POLLOUT;
    }
    Outcome up = Pump(pair->Initiator, initiatorEvents, &pair->ToPortal, pair->Portal, portalEvents);
    if (up == Outcome::Reset) {
        return up;
    }
    Outcome down = Pump(pair->Portal, portalEvents, &pair->ToInitiator, pair->Initiator, initiatorEvents);
    if (down == Outcome::Reset) {
        return down;
    }
    // Open while either direction still carries bytes.
    return up == Outcome::Closed && down == Outcome::Closed ? Outcome::Closed : Outcome::Open;
}

// While hung nothing is read, but an initiator that hangs up must not
// leave its pair behind: one that never reached the portal is closed (it
// sent nothing anybody will read), and a reset ends any pair.  A pair
// whose initiator only half-closed keeps waiting for the cable's return;
// it is no longer watched, so its hang-up cannot wake the relay again.
void Cable::Impl::ReapHung(const std::vector<pollfd> &polled)
{
    for (size_t index = (polled.size() - 2); index-- > 0;) {
        short events = polled[2 + index].revents;
        if (events == 0) {
            continue;
        }
        Pair *pair = pairs[index].get();
        if ((events & (POLLERR | POLLHUP)) != 0 || pair->Portal < 0) {
            Drop(index, (events & POLLERR) != 0);
        } else {
            pair->Watched = false;
        }
    }
}

void Cable::Impl::Run()
{
    std::vector<pollfd> polled;
    CableState current = CableState::Plugged;
    uint64_t seen = 0;
    bool fresh = true;
    for (;;) {
        uint64_t target;
        bool stop;
        {
            std::lock_guard<std::mutex> guard(lock);
            target = requested;
            stop = stopping;
            if (fresh || target != seen) {
                current = state;
            }
        }
        if (stop) {
            DropAll();
            std::lock_guard<std::mutex> guard(lock);
            applied = target;
            appliedChanged.notify_all();
            return;
        }
        if (fresh || target != seen) {
            if (current == CableState::Pulled) {
                DropAll();
            } else if (current == CableState::Hung) {
                for (const auto &pair : pairs) {
                    pair->Watched = true;
                }
            } else if (current == CableState::Plugged) {
                for (size_t index = pairs.size(); index-- > 0;) {
                    if (pairs[index]->Portal < 0) {
                        ConnectUpstream(pairs[index].get());
                        if (pairs[index]->Portal < 0) {
                            Drop(index, true);
                        }
                    }
                }
            }
            seen = target;
            fresh = false;
            std::lock_guard<std::mutex> guard(lock);
            applied = target;
            appliedChanged.notify_all();
        }

        int timeout = -1;
        bool accepting = true;
        auto now = std::chrono::steady_clock::now();
        if (now < acceptPausedUntil) {
            accepting = false;
            timeout = int(std::chrono::duration_cast<std::chrono::milliseconds>(acceptPausedUntil - now).count()) + 1;
        }
        polled.clear();
        polled.push_back({wake, POLLIN, 0});
        polled.push_back({accepting ? listener : -1, POLLIN, 0});
        if (current == CableState::Plugged) {
            for (const auto &pair : pairs) {
                polled.push_back({pair->Initiator, WantedEvents(pair->ToPortal, pair->ToInitiator), 0});
                short portalEvents = pair->Connecting ? POLLOUT : WantedEvents(pair->ToInitiator, pair->ToPortal);
                polled.push_back({pair->Portal, portalEvents, 0});
            }
        } else if (current == CableState::Hung) {
            for (const auto &pair : pairs) {
                polled.push_back({pair->Watched ? pair->Initiator : -1, POLLRDHUP, 0});
            }
        }
        if (poll(polled.data(), polled.size(), timeout) < 0) {
            continue;
        }
        if ((polled[0].revents & POLLIN) != 0) {
            uint64_t count;
            (void)!read(wake, &count, sizeof(count));
        }
        if (current == CableState::Plugged) {
            // Pairs accepted below are not in `polled`: serve only those that were.
            for (size_t index = (polled.size() - 2) / 2; index-- > 0;) {
                short initiatorEvents = polled[2 + 2 * index].revents;
                short portalEvents = polled[3 + 2 * index].revents;
                if (initiatorEvents == 0 && portalEvents == 0) {
                    continue;
                }
                Outcome outcome = Service(pairs[index].get(), initiatorEvents, portalEvents);
                if (outcome != Outcome::Open) {
                    Drop(index, outcome == Outcome::Reset);
                }
            }
        } else if (current == CableState::Hung) {
            ReapHung(polled);
        }
        if ((polled[1].revents & POLLIN) != 0) {
            Accept(current);
        }
    }
}

Cable::Cable(std::string portal) : impl_(std::make_unique<Impl>())
{
    impl_->portal = std::move(portal);
    impl_->portalValid = ParsePortal(impl_->portal, &impl_->portalAddress);
}

Cable::~Cable()
{
    Stop();
}

bool Cable::Start(std::string *error)
{
    Impl &impl = *impl_;
    if (impl.relay.joinable()) {
        return true;
    }
    if (!impl.portalValid) {
        *error = "not a portal of the form 127.0.0.1:port: " + impl.portal;
        return false;
    }
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(impl.port);
    bool bound = bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    if (!bound && impl.port != 0) {
        // The old port was taken meanwhile: any port will do.
        address.sin_port = 0;
        bound = bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    }
    socklen_t length = sizeof(address);
    if (!bound || listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        *error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        close(listener);
        return false;
    }
    impl.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl.wake < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        close(listener);
        return false;
    }
    impl.listener = listener;
    impl.port = ntohs(address.sin_port);
    {
        std::lock_guard<std::mutex> guard(impl.lock);
        impl.stopping = false;
        impl.running = true;
    }
    impl.relay = std::thread([&impl] { impl.Run(); });
    return true;
}

void Cable::Stop()
{
    Impl &impl = *impl_;
    if (!impl.relay.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(impl.lock);
        impl.stopping = true;
        impl.running = false;
        impl.requested++;
        uint64_t one = 1;
        (void)!write(impl.wake, &one, sizeof(one));
    }
    impl.relay.join();
    close(impl.listener);
    close(impl.wake);
    impl.listener = impl.wake = -1;
}

std::string Cable::Address() const
{
    return "127.0.0.1:" + std::to_string(impl_->port);
}

const std::string &Cable::Portal() const
{
    return impl_->portal;
}

// Returns once the relay has acted on the change, so that after
// Set(Pulled) every connection has been reset and after Set(Hung) no more
// bytes move.
void Cable::Set(CableState state)
{
    Impl &impl = *impl_;
    std::unique_lock<std::mutex> guard(impl.lock);
    impl.state = state;
    if (!impl.running) {
        return;
    }
    uint64_t target = ++impl.requested;
    uint64_t one = 1;
    (void)!write(impl.wake, &one, sizeof(one));
    impl.appliedChanged.wait(guard, [&impl, target] { return impl.applied >= target; });
}

CableState Cable::State() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->state;
}

size_t Cable::Connections() const
{
    return impl_->connections.load();
}

} // namespace iscsi
