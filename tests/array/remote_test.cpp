// A SCSI target reached through the socket transport: what crosses it,
// concurrent clients, a server going away and coming back, and peers on
// either end that send malformed messages.
#include "remotetarget.h"
#include "simarray.h"
#include "targetserver.h"
#include "tempdirectory.h"

#include <gmock/gmock.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using array::Command;
using array::Nexus;
using array::RemoteTarget;
using array::Result;
using array::TargetServer;
using array::Transport;
using testing::ElementsAreArray;
using Bytes = std::vector<uint8_t>;
namespace wire = array::wire;

namespace {

Bytes Pattern(size_t length, uint8_t seed)
{
    Bytes b(length);
    for (size_t i = 0; i < length; ++i) {
        b[i] = uint8_t(seed + i * 7);
    }
    return b;
}

struct Reply {
    Result R;
    Bytes Data;
};

Reply Exec(array::ScsiTarget &target, const Nexus &nexus, const Bytes &cdb, const Bytes &dataOut = {},
           size_t dataInLength = 0)
{
    Reply reply;
    reply.Data.resize(dataInLength);
    Command command{cdb.data(), cdb.size(), dataOut.data(), dataOut.size(), reply.Data.data(), dataInLength};
    reply.R = target.Execute(nexus, command);
    reply.Data.resize(std::min(reply.R.DataInTransferred, dataInLength));
    return reply;
}

// Records every command and answers with a scripted result, or echoes the
// data out back as data in.
class FakeTarget : public array::ScsiTarget {
public:
    struct Seen {
        Nexus N;
        Bytes Cdb, DataOut;
        size_t DataInLength;
    };

    Result Execute(const Nexus &nexus, const Command &command) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back({nexus, Bytes(command.Cdb, command.Cdb + command.CdbLength),
                         Bytes(command.DataOut, command.DataOut + command.DataOutLength), command.DataInLength});
        const Bytes &source = echo_ ? seen_.back().DataOut : dataIn_;
        const size_t n = std::min(source.size(), command.DataInLength);
        std::copy_n(source.begin(), n, command.DataIn);
        Result result = answer_;
        result.DataInTransferred = claimed_ ? claimed_ : n;
        return result;
    }

    void Script(const Result &answer, Bytes dataIn, size_t claimed = 0)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = answer;
        dataIn_ = std::move(dataIn);
        claimed_ = claimed;
    }
    void Echo() { echo_ = true; }
    std::vector<Seen> Taken()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(seen_);
    }

private:
    std::mutex mutex_;
    std::vector<Seen> seen_;
    Result answer_;
    Bytes dataIn_;
    size_t claimed_ = 0;
    bool echo_ = false;
};

class Remote : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(directory_.Path().empty()); }

    sockaddr_un Address() const
    {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path_.c_str());
        return a;
    }
    int Dial() const
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un a = Address();
        EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof(a)), 0);
        return fd;
    }
    int Listen() const
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un a = Address();
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof(a)), 0);
        EXPECT_EQ(listen(fd, 4), 0);
        return fd;
    }

    tarntest::TempDirectory directory_{"tarn-remote"};
    const std::string path_ = directory_ / "array.sock";
    FakeTarget fake_;
    const Nexus nexus_{7, 3, 0x1234567890ABCDEFull};
};

// True if the peer closes the connection within a second.
bool ClosedByPeer(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    uint8_t sink[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            const ssize_t n = recv(fd, sink, sizeof(sink), 0);
            if (n <= 0) {
                return true;
            }
        }
    }
    return false;
}

Bytes Request(uint32_t cdbLength, uint32_t dataOutLength, uint32_t dataInLength, size_t bodyLength)
{
    Bytes m(wire::kHeaderLength + wire::kRequestFixedLength);
    wire::PutHeader(m.data(), wire::Kind::Request, uint32_t(bodyLength));
    uint8_t *body = m.data() + wire::kHeaderLength;
    wire::Put64(body, 1);
    wire::Put32(body + 24, dataInLength);
    wire::Put32(body + 28, dataOutLength);
    body[32] = uint8_t(cdbLength);
    m.resize(wire::kHeaderLength + std::min(bodyLength, size_t(4096)));
    return m;
}

TEST_F(Remote, CommandAndAnswerCrossByteForByteWithinTheRoomGiven)
{
    TargetServer server(fake_, path_);
    server.Start();
    RemoteTarget remote(path_);

    Result scripted;
    scripted.Status = SCSISTAT_CHECK_CONDITION;
    const Bytes sense = Pattern(18, 0x70);
    memcpy(scripted.Sense, sense.data(), sense.size());
    scripted.SenseLength = sense.size();
    fake_.Script(scripted, Pattern(100, 3));

    const Bytes cdb = Pattern(32, 0xA0), out = Pattern(1000, 9);
    const Reply r = Exec(remote, nexus_, cdb, out, 200);
    EXPECT_EQ(r.R.Outcome, Transport::Completed);
    EXPECT_EQ(r.R.Status, SCSISTAT_CHECK_CONDITION);
    ASSERT_EQ(r.R.SenseLength, 18u);
    EXPECT_THAT(Bytes(r.R.Sense, r.R.Sense + 18), ElementsAreArray(sense));
    EXPECT_THAT(r.Data, ElementsAreArray(Pattern(100, 3)));

    const auto seen = fake_.Taken();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(std::make_tuple(seen[0].N.Initiator, seen[0].N.TargetPort, seen[0].N.Lun),
              std::make_tuple(7u, 3u, 0x1234567890ABCDEFull));
    EXPECT_THAT(seen[0].Cdb, ElementsAreArray(cdb));
    EXPECT_THAT(seen[0].DataOut, ElementsAreArray(out));
    EXPECT_EQ(seen[0].DataInLength, 200u);

    // The target's own transport outcomes reach the host unchanged.
    for (Transport outcome : {Transport::Timeout, Transport::LinkDown}) {
        Result down;
        down.Outcome = outcome;
        fake_.Script(down, {});
        EXPECT_EQ(Exec(remote, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, outcome);
    }

    // A target that claims more than the room given is cut to that room.
    Result lying;
    lying.SenseLength = 200;
    fake_.Script(lying, Pattern(64, 1), 5000);
    const Reply clamped = Exec(remote, nexus_, {SCSIOP_READ}, {}, 64);
    EXPECT_EQ(clamped.R.Outcome, Transport::Completed);
    EXPECT_EQ(clamped.R.DataInTransferred, 64u);
    EXPECT_EQ(clamped.R.SenseLength, 18u);
    EXPECT_THAT(clamped.Data, ElementsAreArray(Pattern(64, 1)));
}

TEST_F(Remote, CommandsTheWireCannotCarryAreRefusedUnsent)
{
    TargetServer server(fake_, path_);
    server.Start();
    RemoteTarget remote(path_);
    const Bytes big(wire::kMaxDataLength + 1);
    uint8_t room[4];
    const Bytes longCdb(33), cdb(6);
    const std::vector<Command> refused = {
        {longCdb.data(), longCdb.size(), nullptr, 0, nullptr, 0},
        {cdb.data(), cdb.size(), big.data(), big.size(), nullptr, 0},
        {cdb.data(), cdb.size(), nullptr, 0, room, wire::kMaxDataLength + 1},
        {cdb.data(), cdb.size(), nullptr, 0, nullptr, 4},
        {nullptr, 6, nullptr, 0, nullptr, 0},
    };
    for (const Command &c : refused) {
        const Result r = remote.Execute(nexus_, c);
        EXPECT_EQ(r.Outcome, Transport::Completed);
        EXPECT_EQ(r.Status, SCSISTAT_CHECK_CONDITION);
        EXPECT_EQ(r.Sense[2], SCSI_SENSE_ILLEGAL_REQUEST);
        EXPECT_EQ(r.Sense[12], SCSI_ADSENSE_INVALID_CDB);
    }
    EXPECT_TRUE(fake_.Taken().empty());
    EXPECT_EQ(Exec(remote, nexus_, cdb).R.Status, SCSISTAT_GOOD);
}

TEST_F(Remote, SimulatedArrayDataWrittenByOneClientIsReadByAnother)
{
    array::ArrayConfig config;
    config.Units = {{0, 1000, 512}, {5, 1000, 512}};
    array::SimulatedArray sim(config);
    TargetServer server(sim, path_);
    server.Start();
    RemoteTarget nodeA(path_), nodeB(path_);

    const Bytes data = Pattern(8 * 512, 0x5A);
    const Bytes write10 = {SCSIOP_WRITE, 0, 0, 0, 0, 100, 0, 0, 8, 0}, read10 = {SCSIOP_READ, 0, 0, 0, 0, 100, 0, 0, 8, 0};
    // The array's power-on attention crosses the wire like any sense data.
    const Reply first = Exec(nodeA, {1, 0, 5}, write10, data);
    EXPECT_EQ(first.R.Status, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(first.R.Sense[2], SCSI_SENSE_UNIT_ATTENTION);
    EXPECT_EQ(first.R.Sense[12], SCSI_ADSENSE_BUS_RESET);
    EXPECT_EQ(sim.Statistics().WithOpcode(SCSIOP_WRITE), 1u);
    EXPECT_EQ(Exec(nodeA, {1, 0, 5}, write10, data).R.Status, SCSISTAT_GOOD);
    for (uint64_t lun : {0, 5}) {
        EXPECT_EQ(Exec(nodeB, {2, 2, lun}, {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0}).R.Sense[12], SCSI_ADSENSE_BUS_RESET);
    }
    const Reply back = Exec(nodeB, {2, 2, 5}, read10, {}, data.size());
    EXPECT_EQ(back.R.Status, SCSISTAT_GOOD);
    EXPECT_THAT(back.Data, ElementsAreArray(data));
    // The other LU was not touched.
    EXPECT_THAT(Exec(nodeB, {2, 2, 0}, read10, {}, data.size()).Data, ElementsAreArray(Bytes(data.size())));
}

TEST_F(Remote, ConcurrentClientsEachGetTheirOwnAnswers)
{
    fake_.Echo();
    TargetServer server(fake_, path_);
    server.Start();
    RemoteTarget shared(path_), own1(path_), own2(path_);
    RemoteTarget *clients[] = {&shared, &shared, &own1, &own2};
    std::vector<std::thread> threads;
    std::vector<int> wrong(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const Bytes out = Pattern(1 + (i * 37 + t * 11) % 3000, uint8_t(t * 50 + i));
                const Reply r = Exec(*clients[t], nexus_, {SCSIOP_WRITE_DATA_BUFF}, out, out.size());
                wrong[t] += r.R.Outcome != Transport::Completed || r.Data != out;
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_THAT(wrong, testing::Each(0));
    EXPECT_EQ(fake_.Taken().size(), 800u);
}

TEST_F(Remote, ServerGoneIsLinkDownAndItsReturnIsReconnected)
{
    RemoteTarget remote(path_);
    EXPECT_EQ(Exec(remote, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::LinkDown);

    TargetServer server(fake_, path_);
    server.Start();
    EXPECT_EQ(Exec(remote, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);
    server.Stop();
    EXPECT_NE(access(path_.c_str(), F_OK), 0);
    EXPECT_EQ(Exec(remote, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::LinkDown);
    EXPECT_EQ(Exec(remote, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::LinkDown);
    EXPECT_EQ(fake_.Taken().size(), 1u);

    // The first command after the restart already gets through, though
    // the client still held the connection the old server closed.
    server.Start();
    EXPECT_EQ(Exec(remote, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);
    server.Stop();
    server.Start();
    EXPECT_EQ(Exec(remote, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);
}

TEST_F(Remote, StaleSocketFileIsReplacedButALiveServerIsNot)
{
    close(Listen());    // what a crashed server leaves behind
    TargetServer first(fake_, path_);
    first.Start();
    TargetServer second(fake_, path_);
    EXPECT_THROW(second.Start(), std::system_error);
    RemoteTarget remote(path_);
    EXPECT_EQ(Exec(remote, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);
}

TEST_F(Remote, MalformedRequestsCloseOnlyTheirOwnConnection)
{
    TargetServer server(fake_, path_);
    server.Start();
    RemoteTarget good(path_);
    ASSERT_EQ(Exec(good, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);

    const size_t fixed = wire::kRequestFixedLength;
    auto patched = [](Bytes m, size_t at, uint8_t value) { m[at] = value; return m; };
    const Bytes valid = Request(1, 0, 0, fixed + 1);
    const struct {
        const char *Name;
        Bytes Message;
        bool HalfClose;     // the peer stops sending before the message is whole
    } cases[] = {
        {"wrong magic", patched(valid, 0, 'X'), false},
        {"wrong version", patched(valid, 4, 9), false},
        {"answer sent to the server", patched(valid, 6, uint8_t(wire::Kind::Answer)), false},
        // The body is neither read nor allocated: the close comes at once.
        {"4 GiB body", Request(1, 0, 0, 0xFFFFFFFFu), false},
        {"body just over the largest", Request(32, 0, 0, fixed + 32 + wire::kMaxDataLength + 1), false},
        {"CDB over 32 bytes", Request(33, 0, 0, fixed + 33), false},
        {"data out beyond the body", Request(1, 0xFFFFFFF0u, 0, fixed + 1), false},
        {"data in over the cap", Request(1, 0, wire::kMaxDataLength + 1, fixed + 1), false},
        {"body longer than its fields", Request(1, 0, 0, fixed + 2), false},
        {"truncated", Bytes(valid.begin(), valid.begin() + 20), true},
        {"garbage", Pattern(4096, 0x42), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        const int fd = Dial();
        ASSERT_TRUE(wire::WriteAll(fd, c.Message.data(), c.Message.size()));
        if (c.HalfClose) {
            shutdown(fd, SHUT_WR);
        }
        EXPECT_TRUE(ClosedByPeer(fd));
        close(fd);
        EXPECT_EQ(Exec(good, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);
    }
    EXPECT_EQ(fake_.Taken().size(), 1 + std::size(cases));
}

// A connected socket served on the caller's thread, with no listening
// server: the whole requests before a bad one are answered in order,
// then the connection ends and the budget is whole again.
TEST_F(Remote, ASocketServedOnTheCallersThreadAnswersUntilTheFirstBadRequest)
{
    TargetServer server(fake_, path_);
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    Bytes stream = Request(1, 0, 0, wire::kRequestFixedLength + 1);
    const Bytes second = Request(1, 0, 0, wire::kRequestFixedLength + 1);
    stream.insert(stream.end(), second.begin(), second.end());
    const Bytes bad = Pattern(64, 0x42);
    stream.insert(stream.end(), bad.begin(), bad.end());
    ASSERT_TRUE(wire::WriteAll(ends[0], stream.data(), stream.size()));
    shutdown(ends[0], SHUT_WR);
    server.ServeSocket(ends[1]);

    size_t answers = 0;
    uint8_t header[wire::kHeaderLength];
    while (wire::ReadAll(ends[0], header, sizeof(header))) {
        const int64_t body = wire::CheckHeader(header, wire::Kind::Answer);
        ASSERT_GE(body, int64_t(wire::kAnswerFixedLength));
        Bytes rest(size_t(body), 0);
        ASSERT_TRUE(wire::ReadAll(ends[0], rest.data(), rest.size()));
        answers++;
    }
    EXPECT_EQ(answers, 2u);
    EXPECT_EQ(fake_.Taken().size(), 2u);
    EXPECT_EQ(server.BufferedBytes(), 0u);
    close(ends[0]);
    close(ends[1]);
}

TEST_F(Remote, MalformedAnswersAreLinkDownAndTheNextCommandReconnects)
{
    const int listener = Listen();
    RemoteTarget remote(path_);
    // Answers the one request on the next connection with what the
    // damage function makes of a good answer carrying 4 bytes of data.
    auto serveOnce = [&](std::function<void(Bytes &)> damage) {
        return std::thread([&, damage] {
            const int fd = accept(listener, nullptr, nullptr);
            uint8_t header[wire::kHeaderLength];
            Bytes body;
            if (wire::ReadAll(fd, header, sizeof(header))) {
                body.resize(wire::Get32(header + 8));
                wire::ReadAll(fd, body.data(), body.size());
            }
            Bytes answer(wire::kHeaderLength + wire::kAnswerFixedLength + 4, 0xEE);
            wire::PutHeader(answer.data(), wire::Kind::Answer, uint32_t(wire::kAnswerFixedLength + 4));
            uint8_t *a = answer.data() + wire::kHeaderLength;
            memcpy(a, body.data(), 8);      // request id
            a[8] = uint8_t(Transport::Completed);
            a[9] = SCSISTAT_GOOD;
            a[10] = 0;
            wire::Put32(a + 11, 4);
            damage(answer);
            wire::WriteAll(fd, answer.data(), answer.size());
            close(fd);
        });
    };
    const size_t at = wire::kHeaderLength;
    const struct {
        const char *Name;
        std::function<void(Bytes &)> Damage;
    } cases[] = {
        {"wrong magic", [](Bytes &m) { m[1] ^= 1; }},
        {"request id of another command", [&](Bytes &m) { m[at] ^= 1; }},
        {"more data than asked", [&](Bytes &m) {
             wire::Put32(m.data() + 8, uint32_t(wire::kAnswerFixedLength + 5));
             wire::Put32(m.data() + at + 11, 5);
             m.push_back(0);
         }},
        {"unknown outcome", [&](Bytes &m) { m[at + 8] = 7; }},
        {"sense over the limit", [&](Bytes &m) { m[at + 10] = 253; }},
        {"lengths disagree", [&](Bytes &m) { wire::Put32(m.data() + 8, uint32_t(wire::kAnswerFixedLength + 3)); }},
        {"truncated", [](Bytes &m) { m.resize(m.size() - 2); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        std::thread bad = serveOnce(c.Damage);
        const Reply r = Exec(remote, nexus_, {SCSIOP_INQUIRY}, {}, 4);
        bad.join();
        EXPECT_EQ(r.R.Outcome, Transport::LinkDown);

        std::thread fine = serveOnce([](Bytes &) {});
        const Reply ok = Exec(remote, nexus_, {SCSIOP_INQUIRY}, {}, 4);
        fine.join();
        EXPECT_EQ(ok.R.Outcome, Transport::Completed);
        EXPECT_THAT(ok.Data, ElementsAreArray(Bytes(4, 0xEE)));
    }
    close(listener);
}

// A peer that stalls inside a message loses its connection at the
// deadline, holds no more memory than it sent, and cannot lock a real
// client out; requests over the budget wait for it rather than fail.
TEST_F(Remote, StalledPeersAreCutOffAndBufferedDataStaysWithinTheBudget)
{
    array::ServerLimits limits;
    limits.MessageDeadline = std::chrono::milliseconds(300);
    limits.BufferBudget = 1u << 20;
    fake_.Echo();
    TargetServer server(fake_, path_, limits);
    server.Start();

    // More stalled peers than the server takes connections, each having
    // announced 200 KiB of data out and sent 100 KiB of it: a few hold
    // the budget, the others wait for it, and all are cut off at the
    // deadline.
    const uint32_t announced = 200u << 10;
    const Bytes head = Request(1, announced, 0, wire::kRequestFixedLength + 1 + announced);
    const Bytes some(100u << 10, 0x11);
    std::vector<int> stalled;
    for (size_t i = 0; i < TargetServer::kMaxConnections + 6; ++i) {
        const int fd = Dial();
        send(fd, head.data(), wire::kHeaderLength + wire::kRequestFixedLength, MSG_NOSIGNAL);
        send(fd, some.data(), some.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        stalled.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(server.BufferedBytes(), limits.BufferBudget);
    EXPECT_GT(server.BufferedBytes(), 0u);
    size_t closed = 0;
    for (int fd : stalled) {
        closed += ClosedByPeer(fd);
        close(fd);
    }
    EXPECT_EQ(closed, stalled.size());

    // The server serves again, and nothing is left held.
    RemoteTarget real(path_);
    EXPECT_EQ(Exec(real, nexus_, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);
    // (The server gives its budget back just after the answer is sent.)
    auto drained = [&server] {
        for (int i = 0; i < 100 && server.BufferedBytes() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return server.BufferedBytes();
    };
    EXPECT_EQ(drained(), 0u);

    // Three writes of 400 KiB at once need more than the budget: one waits
    // (on a server whose deadline leaves time for the wait), and none
    // holds a part of the budget another needs.  One larger than the
    // whole budget is refused.
    server.Stop();
    limits.MessageDeadline = std::chrono::seconds(10);
    TargetServer patient(fake_, path_, limits);
    patient.Start();
    RemoteTarget clients[] = {RemoteTarget(path_), RemoteTarget(path_), RemoteTarget(path_)};
    std::vector<std::thread> threads;
    std::vector<int> outcomes(3, -1);
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            const Bytes out = Pattern(400u << 10, uint8_t(t));
            outcomes[t] = int(Exec(clients[t], nexus_, {SCSIOP_WRITE_DATA_BUFF}, out).R.Outcome);
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_THAT(outcomes, testing::Each(int(Transport::Completed)));
    EXPECT_EQ(Exec(clients[0], nexus_, {SCSIOP_WRITE_DATA_BUFF}, Pattern(2u << 20, 1)).R.Outcome,
              Transport::LinkDown);
    for (int i = 0; i < 100 && patient.BufferedBytes() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(patient.BufferedBytes(), 0u);
}

// The socket is its owner's alone, whatever the umask.
TEST_F(Remote, TheSocketIsPrivate)
{
    const mode_t mask = umask(0);
    TargetServer server(fake_, path_);
    server.Start();
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A command the server never answers times out as a port's would, and
// holds up no other path meanwhile.
TEST_F(Remote, AnUnansweredCommandTimesOutOnItsOwnPath)
{
    class Hanging : public array::ScsiTarget {
    public:
        Result Execute(const Nexus &nexus, const Command &) override
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (nexus.Initiator == 1) {
                released_.wait(lock, [this] { return free_; });
            }
            return Result();
        }
        void Release()
        {
            std::lock_guard<std::mutex> lock(mutex_);
            free_ = true;
            released_.notify_all();
        }
        bool Released()
        {
            std::lock_guard<std::mutex> lock(mutex_);
            return free_;
        }

    private:
        std::mutex mutex_;
        std::condition_variable released_;
        bool free_ = false;
    } hanging;
    TargetServer server(hanging, path_);
    server.Start();
    RemoteTarget remote(path_, 300);
    // Releases the hung command in any case, so the test ends even when
    // the client waits for ever.
    std::thread safety([&] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        hanging.Release();
    });

    Transport hung = Transport::Completed;
    std::thread first([&] { hung = Exec(remote, {1, 0, 0}, {SCSIOP_TEST_UNIT_READY}).R.Outcome; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Exec(remote, {2, 0, 0}, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);
    EXPECT_FALSE(hanging.Released()) << "the other path waited for the hung command";
    first.join();
    EXPECT_EQ(hung, Transport::Timeout);
    EXPECT_FALSE(hanging.Released()) << "the hung command was not timed out";
    safety.join();
    // The path works again once the target answers.
    EXPECT_EQ(Exec(remote, {1, 0, 0}, {SCSIOP_TEST_UNIT_READY}).R.Outcome, Transport::Completed);
}

} // namespace
