/*++

Module Name:

    arrayd.cpp

Abstract:

    Fuzzes the array server's wire protocol: the input is what a client
    sends on one connection, to a server in front of a simulated array.
    The server must answer exactly the well-formed requests within its
    budget that came whole before the first other one, in order, each
    with an answer that holds together, then close; and it must give
    back all the memory it reserved for them.

--*/

#include "expect.h"
#include "simarray.h"
#include "targetserver.h"

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace array::wire;

constexpr size_t kBudget = 1u << 20;

using fuzzexpect::Expect;

// The client's side of each input, on a thread of its own so that a
// server writing answers never waits on a client still writing requests:
// it sends the input, ends its half, and reads until the server closes.
class Client {
public:
    Client() : thread_([this] { Run(); }) { thread_.detach(); }

    // Plays the client on fd with these bytes; Wait returns what came back.
    void Begin(int fd, const uint8_t *data, size_t size)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd_ = fd;
        data_ = data;
        size_ = size;
        stream_.clear();
        busy_ = true;
        changed_.notify_all();
    }

    const std::vector<uint8_t> &Wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        return stream_;
    }

private:
    void Run()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return busy_; });
            const int fd = fd_;
            lock.unlock();
            // The server may close before the end of a bad input: what
            // it must answer came before.
            (void)WriteAll(fd, data_, size_);
            shutdown(fd, SHUT_WR);
            std::vector<uint8_t> stream;
            uint8_t buffer[64 << 10];
            ssize_t got;
            while ((got = read(fd, buffer, sizeof(buffer))) > 0) {
                stream.insert(stream.end(), buffer, buffer + got);
            }
            Expect(got == 0, "the connection failed");
            lock.lock();
            stream_.swap(stream);
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool busy_ = false;
    int fd_ = -1;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    std::vector<uint8_t> stream_;
    std::thread thread_;
};

// A server in front of a simulated array, serving each input's
// connection on the fuzzer's own thread: no listening socket, no worker
// threads to start and reap.
struct World {
    std::unique_ptr<array::SimulatedArray> Array;
    std::unique_ptr<array::TargetServer> Server;
    Client Peer;
};

World *Start()
{
    auto *world = new World();
    array::ArrayConfig config;
    config.Units.push_back(array::LogicalUnitConfig{0, 64, 512});
    config.Units.push_back(array::LogicalUnitConfig{1, 64, 512});
    world->Array = std::make_unique<array::SimulatedArray>(config, [] { return int64_t(9 * 3600); });
    array::ServerLimits limits;
    limits.MessageDeadline = std::chrono::milliseconds(2000);
    // A small budget keeps each input cheap (a request is refused, not
    // served, when it and its answer need more) and puts the refusal
    // itself under test.
    limits.BufferBudget = kBudget;
    world->Server = std::make_unique<array::TargetServer>(*world->Array, "/nonexistent/arrayd", limits);
    return world;
}

// The ids of the requests a server must answer: the whole, well-formed
// ones that fit the budget, before the first that does not.
std::vector<uint64_t> Answerable(const uint8_t *data, size_t size, std::vector<uint32_t> *dataIn)
{
    std::vector<uint64_t> ids;
    size_t at = 0;
    while (size - at >= kHeaderLength) {
        const uint8_t *header = data + at;
        if (Get32(header) != kMagic || Get16(header + 4) != kVersion || Get16(header + 6) != 1) {
            break;
        }
        const uint32_t body = Get32(header + 8);
        if (body < kRequestFixedLength || size - at - kHeaderLength < kRequestFixedLength) {
            break;
        }
        const uint8_t *fixed = header + kHeaderLength;
        const uint32_t in = Get32(fixed + 24), out = Get32(fixed + 28);
        const size_t cdb = fixed[32];
        if (cdb > kMaxCdbLength || in > kMaxDataLength || out > kMaxDataLength ||
            body != kRequestFixedLength + cdb + out || size - at - kHeaderLength < body ||
            cdb + out + kHeaderLength + kAnswerFixedLength + array::kFixedSenseLength + in > kBudget) {
            break;
        }
        ids.push_back(Get64(fixed));
        dataIn->push_back(in);
        at += kHeaderLength + body;
    }
    return ids;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World *world = Start();
    std::vector<uint32_t> dataIn;
    const std::vector<uint64_t> ids = Answerable(data, size, &dataIn);

    int ends[2];
    Expect(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "no socket pair");
    world->Peer.Begin(ends[0], data, size);
    world->Server->ServeSocket(ends[1]);
    const std::vector<uint8_t> &stream = world->Peer.Wait();
    close(ends[0]);
    close(ends[1]);

    size_t at = 0, answered = 0;
    while (at < stream.size()) {
        Expect(answered < ids.size(), "an answer to a request that was not whole or well-formed");
        Expect(stream.size() - at >= kHeaderLength, "an answer cut short");
        const int64_t body = CheckHeader(stream.data() + at, Kind::Answer);
        Expect(body >= int64_t(kAnswerFixedLength) && stream.size() - at - kHeaderLength >= size_t(body),
               "an answer's header");
        const uint8_t *fixed = stream.data() + at + kHeaderLength;
        const size_t sense = fixed[10];
        const uint32_t transferred = Get32(fixed + 11);
        Expect(Get64(fixed) == ids[answered], "answers out of order");
        Expect(sense <= array::kFixedSenseLength && transferred <= dataIn[answered] &&
                   size_t(body) == kAnswerFixedLength + sense + transferred,
               "an answer that does not hold together");
        at += kHeaderLength + size_t(body);
        answered++;
    }
    Expect(answered == ids.size(), "a well-formed request went unanswered");
    // The connection has given back what it held.
    Expect(world->Server->BufferedBytes() == 0, "the server kept its reservation");
    return 0;
}
