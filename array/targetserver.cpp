/*++

Module Name:

    targetserver.cpp

Abstract:

    The socket server in front of a SCSI target: one thread accepts, one
    thread per connection reads a request, executes it and answers.  Every
    field a peer sends is untrusted; anything malformed closes that
    connection only.

--*/

#include "targetserver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace array {

namespace wire {

void PutHeader(uint8_t *out, Kind kind, uint32_t bodyLength)
{
    Put32(out, kMagic);
    Put16(out + 4, kVersion);
    Put16(out + 6, uint16_t(kind));
    Put32(out + 8, bodyLength);
}

int64_t CheckHeader(const uint8_t *in, Kind expected)
{
    if (Get32(in) != kMagic || Get16(in + 4) != kVersion || Get16(in + 6) != uint16_t(expected)) {
        return -1;
    }
    const size_t longest = expected == Kind::Request
                               ? kRequestFixedLength + kMaxCdbLength + kMaxDataLength
                               : kAnswerFixedLength + kMaxSenseLength + kMaxDataLength;
    const uint32_t length = Get32(in + 8);
    return length <= longest ? int64_t(length) : -1;
}

bool WriteAll(int fd, const void *data, size_t length)
{
    auto p = static_cast<const uint8_t *>(data);
    while (length > 0) {
        const ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool ReadAll(int fd, void *data, size_t length)
{
    auto p = static_cast<uint8_t *>(data);
    while (length > 0) {
        const ssize_t n = recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        length -= size_t(n);
    }
    return true;
}

namespace {

// Waits until fd is ready for `events` or the deadline passes.
Io WaitReady(int fd, short events, Deadline deadline)
{
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return Io::TimedOut;
        }
        pollfd p{fd, events, 0};
        int ready = poll(&p, 1, int(std::min<long long>(left.count() + 1, 1000)));
        if (ready < 0 && errno != EINTR) {
            return Io::Failed;
        }
        if (ready > 0) {
            return Io::Done;
        }
    }
}

// Moves length bytes with move(offset, left), a non-blocking send or
// receive, each time fd is ready for `events`, until the deadline.
template <typename Move> Io MoveAllBy(int fd, short events, size_t length, Deadline deadline, Move move)
{
    size_t done = 0;
    while (done < length) {
        Io ready = WaitReady(fd, events, deadline);
        if (ready != Io::Done) {
            return ready;
        }
        const ssize_t n = move(done, length - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            return Io::Failed;
        }
        done += size_t(n);
    }
    return Io::Done;
}

} // namespace

Io WriteAllBy(int fd, const void *data, size_t length, Deadline deadline)
{
    auto p = static_cast<const uint8_t *>(data);
    return MoveAllBy(fd, POLLOUT, length, deadline,
                     [&](size_t at, size_t left) { return send(fd, p + at, left, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

Io ReadAllBy(int fd, void *data, size_t length, Deadline deadline)
{
    auto p = static_cast<uint8_t *>(data);
    return MoveAllBy(fd, POLLIN, length, deadline,
                     [&](size_t at, size_t left) { return recv(fd, p + at, left, MSG_DONTWAIT); });
}

} // namespace wire

namespace {

[[noreturn]] void ThrowErrno(const std::string &what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// A socket file nobody listens on is what a crashed server leaves behind;
// replacing it is safe, replacing a live server's is not.
bool IsStaleSocket(const sockaddr_un &address)
{
    struct stat st;
    if (lstat(address.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return false;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const bool refused =
        connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 &&
        errno == ECONNREFUSED;
    close(probe);
    return refused;
}

} // namespace

TargetServer::TargetServer(ScsiTarget &target, std::string path, ServerLimits limits)
    : target_(target), path_(std::move(path)), limits_(limits)
{
}

size_t TargetServer::BufferedBytes()
{
    std::lock_guard<std::mutex> lock(budgetMutex_);
    return buffered_;
}

bool TargetServer::TakeBudget(size_t bytes, wire::Deadline deadline)
{
    std::unique_lock<std::mutex> lock(budgetMutex_);
    if (bytes > limits_.BufferBudget) {
        return false;
    }
    while (limits_.BufferBudget - buffered_ < bytes) {
        if (budgetFreed_.wait_until(lock, deadline) == std::cv_status::timeout &&
            limits_.BufferBudget - buffered_ < bytes) {
            return false;
        }
        std::lock_guard<std::mutex> state(mutex_);
        if (stopping_) {
            return false;
        }
    }
    buffered_ += bytes;
    return true;
}

void TargetServer::GiveBudget(size_t bytes)
{
    {
        std::lock_guard<std::mutex> lock(budgetMutex_);
        buffered_ -= bytes;
    }
    budgetFreed_.notify_all();
}

TargetServer::~TargetServer()
{
    Stop();
}

void TargetServer::Start()
{
    std::lock_guard<std::mutex> lifecycle(lifecycle_);
    if (listenFd_ >= 0) {
        throw std::logic_error("target server already running on " + path_);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof(address.sun_path)) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "socket path " + path_);
    }
    memcpy(address.sun_path, path_.c_str(), path_.size() + 1);

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ThrowErrno("socket");
    }
    auto bound = [&] { return bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0; };
    bool ok = bound();
    if (!ok && errno == EADDRINUSE && IsStaleSocket(address)) {
        unlink(path_.c_str());
        ok = bound();
    }
    // Before listen, so no peer connects while the mode is still the umask's.
    if (!ok || chmod(path_.c_str(), 0600) != 0 || listen(fd, 16) != 0) {
        const int error = errno;
        close(fd);
        throw std::system_error(error, std::generic_category(), "cannot serve on " + path_);
    }
    listenFd_ = fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    acceptor_ = std::thread(&TargetServer::AcceptLoop, this);
}

void TargetServer::Stop()
{
    std::lock_guard<std::mutex> lifecycle(lifecycle_);
    if (listenFd_ < 0) {
        return;
    }
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto &c : connections_) {
            shutdown(c->Fd, SHUT_RDWR);
        }
    }
    // Wakes a request waiting for budget; it sees stopping_ and gives up.
    {
        std::lock_guard<std::mutex> budget(budgetMutex_);
    }
    budgetFreed_.notify_all();
    // Shutting a listening socket down wakes a blocked accept (Linux).
    shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    close(listenFd_);
    listenFd_ = -1;
    unlink(path_.c_str());

    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.swap(connections_);
    }
    for (auto &c : connections) {
        c->Worker.join();
        close(c->Fd);
    }
}

void TargetServer::ReapLocked(std::list<std::unique_ptr<Connection>> *finished)
{
    for (auto it = connections_.begin(); it != connections_.end();) {
        auto next = std::next(it);
        if ((*it)->Done) {
            finished->splice(finished->end(), connections_, it);
        }
        it = next;
    }
}

void TargetServer::AcceptLoop()
{
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        const int error = errno;
        std::list<std::unique_ptr<Connection>> finished;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                if (fd >= 0) {
                    close(fd);
                }
                return;
            }
            ReapLocked(&finished);
            if (fd >= 0 && connections_.size() >= kMaxConnections) {
                close(fd);
            } else if (fd >= 0) {
                auto connection = std::make_unique<Connection>();
                connection->Fd = fd;
                Connection *raw = connection.get();
                try {
                    raw->Worker = std::thread(&TargetServer::Serve, this, raw);
                    connections_.push_back(std::move(connection));
                } catch (const std::system_error &) {
                    close(fd);      // no thread to serve it: refuse the peer
                }
            }
        }
        for (auto &c : finished) {
            c->Worker.join();
            close(c->Fd);
        }
        if (fd < 0) {
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // Out of descriptors or memory: back off instead of spinning.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            } else if (error != EINTR && error != ECONNABORTED) {
                return;
            }
        }
    }
}

void TargetServer::ServeSocket(int fd)
{
    try {
        while (ServeOne(fd)) {
        }
    } catch (...) {
        // A target that throws (or an allocation failing) costs this
        // connection, not the server.
    }
    // The peer must see the close now, not when the descriptor is reaped;
    // the descriptor itself stays open so its number cannot be reused
    // under Stop.
    shutdown(fd, SHUT_RDWR);
}

void TargetServer::Serve(Connection *connection)
{
    ServeSocket(connection->Fd);
    std::lock_guard<std::mutex> lock(mutex_);
    connection->Done = true;
}

bool TargetServer::ServeOne(int fd)
{
    using namespace wire;
    uint8_t header[kHeaderLength];
    uint8_t fixed[kRequestFixedLength];
    // Idle between messages for as long as the client likes; once one
    // begins, all of it must come within the deadline.
    if (!ReadAll(fd, header, 1)) {
        return false;
    }
    const Deadline deadline = std::chrono::steady_clock::now() + limits_.MessageDeadline;
    if (ReadAllBy(fd, header + 1, sizeof(header) - 1, deadline) != Io::Done) {
        return false;
    }
    const int64_t bodyLength = CheckHeader(header, Kind::Request);
    if (bodyLength < int64_t(sizeof(fixed)) || ReadAllBy(fd, fixed, sizeof(fixed), deadline) != Io::Done) {
        return false;
    }
    const uint64_t id = Get64(fixed);
    Nexus nexus;
    nexus.Initiator = Get32(fixed + 8);
    nexus.TargetPort = Get32(fixed + 12);
    nexus.Lun = Get64(fixed + 16);
    const size_t dataInLength = Get32(fixed + 24);
    const size_t dataOutLength = Get32(fixed + 28);
    const size_t cdbLength = fixed[32];
    if (cdbLength > kMaxCdbLength || dataInLength > kMaxDataLength || dataOutLength > kMaxDataLength ||
        size_t(bodyLength) != sizeof(fixed) + cdbLength + dataOutLength) {
        return false;
    }

    // The whole request and its answer are reserved from the budget at
    // once, so requests that each hold a part cannot wait on one another
    // for ever; the memory itself is taken as the data arrives, so a peer
    // that announces much and sends little costs little.
    struct Held {
        explicit Held(TargetServer *server) : Server(server) {}
        TargetServer *Server;
        size_t Bytes = 0;
        std::vector<uint8_t> Payload, Answer;
        ~Held()
        {
            Payload = std::vector<uint8_t>();
            Answer = std::vector<uint8_t>();
            Server->GiveBudget(Bytes);
        }
    } held(this);
    const size_t payloadLength = cdbLength + dataOutLength;
    const size_t answerRoom = kHeaderLength + kAnswerFixedLength + kFixedSenseLength + dataInLength;
    if (!TakeBudget(payloadLength + answerRoom, deadline)) {
        return false;
    }
    held.Bytes = payloadLength + answerRoom;
    constexpr size_t kPiece = 64u << 10;
    std::vector<uint8_t> &payload = held.Payload;
    std::vector<uint8_t> &answer = held.Answer;
    while (payload.size() < payloadLength) {
        const size_t at = payload.size();
        const size_t piece = std::min(kPiece, payloadLength - at);
        payload.resize(at + piece);
        if (ReadAllBy(fd, payload.data() + at, piece, deadline) != Io::Done) {
            return false;
        }
    }
    answer.resize(answerRoom);

    uint8_t *dataIn = answer.data() + kHeaderLength + kAnswerFixedLength + kFixedSenseLength;
    Command command;
    command.Cdb = payload.data();
    command.CdbLength = cdbLength;
    command.DataOut = payload.data() + cdbLength;
    command.DataOutLength = dataOutLength;
    command.DataIn = dataIn;
    command.DataInLength = dataInLength;
    const Result result = target_.Execute(nexus, command);

    // The target's counts are clamped: neither may make us send bytes it
    // was never given room for.
    const size_t senseLength = std::min(result.SenseLength, kFixedSenseLength);
    const size_t transferred = std::min(result.DataInTransferred, dataInLength);
    uint8_t *body = answer.data() + kHeaderLength;
    Put64(body, id);
    body[8] = uint8_t(result.Outcome);
    body[9] = result.Status;
    body[10] = uint8_t(senseLength);
    Put32(body + 11, uint32_t(transferred));
    // Sense goes right after the fixed part, then the data in.
    uint8_t *sense = body + kAnswerFixedLength;
    memcpy(sense, result.Sense, senseLength);
    if (senseLength < kFixedSenseLength) {
        memmove(sense + senseLength, dataIn, transferred);
    }
    const size_t answerBody = kAnswerFixedLength + senseLength + transferred;
    PutHeader(answer.data(), Kind::Answer, uint32_t(answerBody));
    // A client that does not read its answer is as stalled as one that
    // does not send its request.
    return WriteAllBy(fd, answer.data(), kHeaderLength + answerBody,
                      std::chrono::steady_clock::now() + limits_.MessageDeadline) == Io::Done;
}

} // namespace array
