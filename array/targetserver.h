/*++

Module Name:

    targetserver.h

Abstract:

    Serves one SCSI target on a Unix domain socket, so that hosts living in
    other processes (each cluster node is a process of its own) share one
    array.  Also the wire format both ends speak: every message is a
    12-byte header (magic, version, kind, body length; little-endian)
    followed by its body.

      request body:  id u64, initiator u32, target port u32, LUN u64,
                     data-in length u32, data-out length u32, CDB length u8,
                     CDB, data out
      answer body:   id u64, outcome u8, status u8, sense length u8,
                     data-in length u32, sense, data in

    Either end drops a connection on the first malformed message: once
    framing is in doubt nothing later on the stream can be trusted.

--*/

#pragma once

#include "scsitarget.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace array {

namespace wire {

constexpr uint32_t kMagic = 0x4E524154;     // "TARN" on the wire
constexpr uint16_t kVersion = 1;
enum class Kind : uint16_t { Request = 1, Answer = 2 };

constexpr size_t kHeaderLength = 12;
constexpr size_t kRequestFixedLength = 33;
constexpr size_t kAnswerFixedLength = 15;
constexpr size_t kMaxCdbLength = 32;
constexpr size_t kMaxSenseLength = 252;
// Bounds what a peer can make the other end allocate for one command.
constexpr size_t kMaxDataLength = 16u << 20;

inline void Put16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void Put32(uint8_t *p, uint32_t v) { Put16(p, uint16_t(v)); Put16(p + 2, uint16_t(v >> 16)); }
inline void Put64(uint8_t *p, uint64_t v) { Put32(p, uint32_t(v)); Put32(p + 4, uint32_t(v >> 32)); }
inline uint16_t Get16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t *p) { return Get16(p) | uint32_t(Get16(p + 2)) << 16; }
inline uint64_t Get64(const uint8_t *p) { return Get32(p) | uint64_t(Get32(p + 4)) << 32; }

void PutHeader(uint8_t *out, Kind kind, uint32_t bodyLength);
// Checks magic, version and kind, and that the body is no longer than any
// valid message of that kind can be; returns the body length or -1.
int64_t CheckHeader(const uint8_t *in, Kind expected);

// Whole-buffer socket I/O, retried over short transfers and EINTR.  False
// on error or end of stream.  Writes never raise SIGPIPE.
bool WriteAll(int fd, const void *data, size_t length);
bool ReadAll(int fd, void *data, size_t length);

// The same with a deadline: a peer that stops half-way cannot hold the
// caller for ever.
using Deadline = std::chrono::steady_clock::time_point;
enum class Io { Done, Failed, TimedOut };
Io WriteAllBy(int fd, const void *data, size_t length, Deadline deadline);
Io ReadAllBy(int fd, void *data, size_t length, Deadline deadline);

} // namespace wire

// What one server may spend on its clients.
struct ServerLimits {
    // From a request's first byte to its last: a peer that stalls inside
    // a message loses its connection.  (Between messages a client may
    // stay idle as long as it likes.)
    std::chrono::milliseconds MessageDeadline{10000};
    // Bytes of requests and answers reserved at once over every
    // connection; a request that finds the budget spent waits for it
    // until its deadline, and one larger than the budget is refused.  The
    // memory is taken as data arrives, so a peer that announces much and
    // sends little holds little of it.
    size_t BufferBudget = 128u << 20;
};

class TargetServer {
public:
    TargetServer(ScsiTarget &target, std::string path, ServerLimits limits = ServerLimits());
    ~TargetServer();
    TargetServer(const TargetServer &) = delete;
    TargetServer &operator=(const TargetServer &) = delete;

    // Binds and listens on the path, a socket only its owner may use (mode
    // 0600).  A socket file left by a server that is gone is replaced; a
    // live one is not.  Throws std::system_error
    // when the path cannot be served, std::logic_error if already running.
    void Start();
    // Closes the listening socket and every connection, waits for commands
    // being executed, removes the socket file.  Start may follow again.
    void Stop();

    const std::string &Path() const { return path_; }
    // Serves one connected socket on the calling thread, as a connection's
    // worker does, until the peer ends or breaks the protocol; then shuts
    // it down (the caller closes it).  Needs no Start.
    void ServeSocket(int fd);
    // Bytes of requests and answers held now.
    size_t BufferedBytes();

    // A bound on threads a misbehaving peer can make the server create.
    static constexpr size_t kMaxConnections = 64;

private:
    struct Connection {
        int Fd = -1;
        std::thread Worker;
        bool Done = false;      // guarded by mutex_
    };

    void AcceptLoop();
    void Serve(Connection *connection);
    bool ServeOne(int fd);
    // Takes bytes from the buffer budget, waiting for them until the
    // deadline; false when they do not come.
    bool TakeBudget(size_t bytes, wire::Deadline deadline);
    void GiveBudget(size_t bytes);
    void ReapLocked(std::list<std::unique_ptr<Connection>> *finished);

    ScsiTarget &target_;
    const std::string path_;

    std::mutex lifecycle_;      // serialises Start and Stop
    int listenFd_ = -1;
    std::thread acceptor_;

    std::mutex mutex_;
    bool stopping_ = false;
    std::list<std::unique_ptr<Connection>> connections_;

    const ServerLimits limits_;
    std::mutex budgetMutex_;
    std::condition_variable budgetFreed_;
    size_t buffered_ = 0;       // guarded by budgetMutex_
};

} // namespace array
