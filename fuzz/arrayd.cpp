/*++

Module Name:

    arrayd.cpp

Abstract:

    Fuzzes the array server's wire protocol: the input is what a client
    sends on one connection, to a server (started once) in front of a
    simulated array.  The server must answer exactly the well-formed
    requests that came whole before the first bad one, in order, each
    with an answer that holds together, then close; and it must give
    back all the memory it reserved for them.

--*/

#include "simarray.h"
#include "targetserver.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace array::wire;

[[noreturn]] void Fail(const char *what)
{
    fprintf(stderr, "fuzz: %s\n", what);
    abort();
}

void Expect(bool holds, const char *what)
{
    if (!holds) {
        Fail(what);
    }
}

struct World {
    std::string Directory;
    std::unique_ptr<array::SimulatedArray> Array;
    std::unique_ptr<array::TargetServer> Server;
};

void Stop(World *world)
{
    world->Server->Stop();
    rmdir(world->Directory.c_str());
}

World *Start()
{
    auto *world = new World();
    char directory[] = "/tmp/fuzz-arrayd.XXXXXX";
    Expect(mkdtemp(directory) != nullptr, "no directory for the socket");
    world->Directory = directory;
    array::ArrayConfig config;
    config.Units.push_back(array::LogicalUnitConfig{0, 64, 512});
    config.Units.push_back(array::LogicalUnitConfig{1, 64, 512});
    world->Array = std::make_unique<array::SimulatedArray>(config, [] { return int64_t(9 * 3600); });
    array::ServerLimits limits;
    limits.MessageDeadline = std::chrono::milliseconds(2000);
    limits.BufferBudget = 64u << 20;
    world->Server = std::make_unique<array::TargetServer>(*world->Array, world->Directory + "/arrayd", limits);
    world->Server->Start();
    static World *stopped = world;
    atexit([] { Stop(stopped); });
    return world;
}

// The ids of the requests a server must answer: the whole, well-formed
// ones before the first that is not.
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
            body != kRequestFixedLength + cdb + out || size - at - kHeaderLength < body) {
            break;
        }
        ids.push_back(Get64(fixed));
        dataIn->push_back(in);
        at += kHeaderLength + body;
    }
    return ids;
}

int Connect(const World &world)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Expect(fd >= 0, "no socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = world.Server->Path();
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Expect(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0, "cannot connect");
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World *world = Start();
    std::vector<uint32_t> dataIn;
    const std::vector<uint64_t> ids = Answerable(data, size, &dataIn);

    const int fd = Connect(*world);
    // The server may close before the end of a bad input: what it must
    // answer came before.
    (void)WriteAll(fd, data, size);
    shutdown(fd, SHUT_WR);
    std::vector<uint8_t> stream;
    uint8_t buffer[64 << 10];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got <= 0) {
            Expect(got == 0, "the connection failed");
            break;
        }
        stream.insert(stream.end(), buffer, buffer + got);
    }
    close(fd);

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
    // The connection's worker has given back what it held before it closed.
    Expect(world->Server->BufferedBytes() == 0, "the server kept its reservation");
    return 0;
}
