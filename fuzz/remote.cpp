/*++

Module Name:

    remote.cpp

Abstract:

    Fuzzes the client end of the array server's wire protocol: what a
    hostile server answers a RemoteTarget.  The input is up to four
    commands (the room each gives for data in) and, for each, the bytes
    the server sends once it has read the command's request: hostile
    lengths, short data, answers to other commands, truncated or trailing
    bytes.  The server closes the connection after any answer that is not
    exactly one whole message, so nothing is left to a timeout.

    Each command must end as the answer it got says: a well-formed answer
    to that very request with its outcome, status, sense and exactly the
    data sent (the rest of the buffer untouched); anything else as a lost
    link with nothing in it.  The client must send only well-formed
    requests, numbered in order, and never wait for its command timeout.

--*/

#include "expect.h"
#include "remotetarget.h"
#include "targetserver.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace array::wire;
using array::Transport;

constexpr size_t kMaxCommands = 4;
constexpr size_t kMaxDataIn = 4096;
constexpr uint8_t kUntouched = 0xA5;
// Far beyond any exchange here: reaching it is a client waiting for
// bytes a closed connection will never bring.
constexpr uint32_t kCommandTimeoutMs = 5000;
const uint8_t kCdb[] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};   // READ (10), one block

using fuzzexpect::Expect;

struct Exchange {
    size_t DataIn = 0;              // room the command gives
    std::vector<uint8_t> Answer;    // what the server sends for it
};

// Whether a server's bytes carry exactly one message by its own length
// field, so the client has all of it and the connection may stay open.
bool WholeMessage(const std::vector<uint8_t> &bytes)
{
    return bytes.size() >= kHeaderLength && bytes.size() - kHeaderLength == Get32(bytes.data() + 8);
}

// The server: a thread that serves each input's exchanges in turn on the
// connections the client opens, reading each request whole before it
// answers, so what the client sees never depends on timing.
class Server {
public:
    explicit Server(const std::string &path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        Expect(path.size() < sizeof(address.sun_path), "socket path too long");
        memcpy(address.sun_path, path.c_str(), path.size() + 1);
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        Expect(listener_ >= 0 && bind(listener_, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0 &&
                   listen(listener_, 8) == 0,
               "cannot listen");
        std::thread([this] { Run(); }).detach();
    }

    // Serves the script; the server is idle between scripts.
    void Begin(const std::vector<Exchange> *script)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = script;
        served_ = 0;
        changed_.notify_all();
    }

    // Waits until the script is done and its last connection closed.
    void WaitIdle()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return script_ == nullptr; });
    }

    // Waits until the server has answered `count` exchanges (and closed
    // the connection where it does).
    void WaitServed(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return served_ >= count; });
    }

private:
    void Run()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return script_ != nullptr; });
            const std::vector<Exchange> &script = *script_;
            lock.unlock();
            int fd = -1;
            for (size_t i = 0; i < script.size(); i++) {
                Serve(&fd, i + 1, script[i]);
                lock.lock();
                served_ = i + 1;
                changed_.notify_all();
                lock.unlock();
            }
            if (fd >= 0) {
                close(fd);
            }
            lock.lock();
            script_ = nullptr;
            changed_.notify_all();
        }
    }

    // Reads request `id` from the connection the client uses (a new one
    // after it dropped the last), checks it, and answers.
    void Serve(int *fd, uint64_t id, const Exchange &exchange)
    {
        uint8_t header[kHeaderLength];
        while (*fd < 0 || !ReadAll(*fd, header, sizeof(header))) {
            if (*fd >= 0) {
                close(*fd);
            }
            *fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            Expect(*fd >= 0, "accept failed");
        }
        const int64_t body = CheckHeader(header, Kind::Request);
        Expect(body == int64_t(kRequestFixedLength + sizeof(kCdb)), "a request's header");
        uint8_t request[kRequestFixedLength + sizeof(kCdb)];
        Expect(ReadAll(*fd, request, sizeof(request)), "a request cut short");
        Expect(Get64(request) == id, "requests out of order");
        Expect(Get32(request + 24) == exchange.DataIn && Get32(request + 28) == 0 && request[32] == sizeof(kCdb) &&
                   memcmp(request + kRequestFixedLength, kCdb, sizeof(kCdb)) == 0,
               "a request that is not the command's");
        // The client may give up before the end: what it did not read is
        // its business.
        (void)WriteAll(*fd, exchange.Answer.data(), exchange.Answer.size());
        if (!WholeMessage(exchange.Answer)) {
            close(*fd);
            *fd = -1;
        }
    }

    int listener_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::vector<Exchange> *script_ = nullptr;
    size_t served_ = 0;
};

struct World {
    std::string Directory;
    std::string Path;
    std::unique_ptr<Server> Peer;
};

World *TheWorld;

void RemoveSocket()
{
    unlink(TheWorld->Path.c_str());
    rmdir(TheWorld->Directory.c_str());
}

World *Start()
{
    auto *world = new World();
    char directory[] = "/tmp/tarn-fuzz-remote-XXXXXX";
    Expect(mkdtemp(directory) != nullptr, "no temporary directory");
    world->Directory = directory;
    world->Path = world->Directory + "/array.sock";
    world->Peer = std::make_unique<Server>(world->Path);
    TheWorld = world;
    atexit(RemoveSocket);
    return world;
}

// The fields of a well-formed answer to request `id` with room for
// `dataIn` bytes, read apart from the client's own parsing.
struct Answer {
    uint8_t Outcome, Status;
    size_t Sense, Data;
    const uint8_t *SenseBytes, *DataBytes;
};

bool WellFormed(const std::vector<uint8_t> &bytes, uint64_t id, size_t dataIn, Answer *answer)
{
    if (bytes.size() < kHeaderLength + kAnswerFixedLength) {
        return false;
    }
    const uint8_t *p = bytes.data();
    const uint32_t body = Get32(p + 8);
    if (Get32(p) != kMagic || Get16(p + 4) != kVersion || Get16(p + 6) != uint16_t(Kind::Answer) ||
        body < kAnswerFixedLength || bytes.size() - kHeaderLength < body) {
        return false;
    }
    p += kHeaderLength;
    answer->Outcome = p[8];
    answer->Status = p[9];
    answer->Sense = p[10];
    answer->Data = Get32(p + 11);
    if (Get64(p) != id || answer->Outcome > uint8_t(Transport::NoAnswer) || answer->Sense > kMaxSenseLength ||
        answer->Data > dataIn || body != kAnswerFixedLength + answer->Sense + answer->Data) {
        return false;
    }
    answer->SenseBytes = p + kAnswerFixedLength;
    answer->DataBytes = answer->SenseBytes + answer->Sense;
    return true;
}

// The input: a byte for the number of commands, two for each command's
// room for data in, then each answer as two bytes of length and the
// bytes (cut short by the end of the input).
std::vector<Exchange> Parse(const uint8_t *data, size_t size)
{
    std::vector<Exchange> script;
    if (size == 0) {
        return script;
    }
    script.resize(data[0] % kMaxCommands + 1);
    size_t at = 1;
    for (Exchange &exchange : script) {
        if (size - at >= 2) {
            exchange.DataIn = Get16(data + at) % (kMaxDataIn + 1);
            at += 2;
        }
    }
    for (Exchange &exchange : script) {
        if (size - at < 2) {
            break;
        }
        const size_t length = std::min<size_t>(Get16(data + at), size - at - 2);
        exchange.Answer.assign(data + at + 2, data + at + 2 + length);
        at += 2 + length;
    }
    return script;
}

} // namespace

// A smaller quarantine of freed memory keeps the heap warm: with the
// default, the buffers of each input landed on fresh pages.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static World *world = Start();
    const std::vector<Exchange> script = Parse(data, size);
    if (script.empty()) {
        return 0;
    }
    world->Peer->Begin(&script);
    {
        array::RemoteTarget remote(world->Path, kCommandTimeoutMs);
        const array::Nexus nexus{1, 2, 0};
        for (size_t i = 0; i < script.size(); i++) {
            const Exchange &exchange = script[i];
            // Exactly the room given, so the sanitizer sees any byte
            // written past it.
            std::unique_ptr<uint8_t[]> room(new uint8_t[exchange.DataIn]);
            memset(room.get(), kUntouched, exchange.DataIn);
            array::Command command;
            command.Cdb = kCdb;
            command.CdbLength = sizeof(kCdb);
            command.DataIn = room.get();
            command.DataInLength = exchange.DataIn;
            const array::Result result = remote.Execute(nexus, command);
            world->Peer->WaitServed(i + 1);

            Answer answer;
            if (!WellFormed(exchange.Answer, i + 1, exchange.DataIn, &answer)) {
                Expect(result.Outcome == Transport::LinkDown, "a bad answer did not end as a lost link");
                Expect(result.Status == array::kStatusGood && result.SenseLength == 0 && result.DataInTransferred == 0,
                       "a bad answer left status, sense or data");
                continue;
            }
            Expect(result.Outcome == Transport(answer.Outcome) && result.Status == answer.Status,
                   "an answer's outcome or status");
            const size_t sense = std::min(answer.Sense, array::kFixedSenseLength);
            Expect(result.SenseLength == sense && memcmp(result.Sense, answer.SenseBytes, sense) == 0,
                   "an answer's sense");
            Expect(result.DataInTransferred == answer.Data && memcmp(room.get(), answer.DataBytes, answer.Data) == 0,
                   "an answer's data");
            for (size_t at = answer.Data; at < exchange.DataIn; at++) {
                Expect(room[at] == kUntouched, "data beyond what the answer carried");
            }
        }
    }
    world->Peer->WaitIdle();
    return 0;
}
