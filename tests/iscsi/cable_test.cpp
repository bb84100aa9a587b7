// The cable against a plain echo server: what it forwards, holds and
// resets, seen from the initiator's socket.

#include "cable.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using iscsi::Cable;
using iscsi::CableState;

constexpr int kWaitMilliseconds = 10000;   // only reached when the cable is broken

void NoDelay(int fd);

// Echoes every byte back, one thread per connection; counts what it saw.
class EchoServer {
public:
    EchoServer()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 && listen(listener_, 16) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~EchoServer()
    {
        shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        CloseAll();
        for (std::thread &worker : workers_) {
            worker.join();
        }
        close(listener_);
        for (int fd : connections_) {
            close(fd);
        }
    }

    std::string Portal() const { return "127.0.0.1:" + std::to_string(port_); }
    int Accepted() const { return accepted_.load(); }
    size_t Received() const { return received_.load(); }

    // Ends every connection in order (FIN), as a target logging out would.
    void CloseAll()
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (int fd : connections_) {
            shutdown(fd, SHUT_RDWR);
        }
    }

private:
    void AcceptLoop()
    {
        for (;;) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            accepted_++;
            NoDelay(fd);
            std::lock_guard<std::mutex> guard(lock_);
            connections_.push_back(fd);
            workers_.emplace_back([this, fd] { Echo(fd); });
        }
    }

    void Echo(int fd)
    {
        char buffer[16384];
        ssize_t got;
        while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
            received_ += static_cast<size_t>(got);
            if (send(fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) {
                break;
            }
        }
        shutdown(fd, SHUT_RDWR);
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<int> connections_;
    std::vector<std::thread> workers_;
    std::atomic<int> accepted_{0};
    std::atomic<size_t> received_{0};
};

// Small echoes go out at once instead of waiting on a delayed ACK.
void NoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

int Connect(const std::string &address)
{
    size_t colon = address.rfind(':');
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
    inet_pton(AF_INET, address.substr(0, colon).c_str(), &target.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&target), sizeof(target)) != 0) {
        close(fd);
        return -1;
    }
    NoDelay(fd);
    return fd;
}

bool Readable(int fd)
{
    pollfd polled = {fd, POLLIN, 0};
    return poll(&polled, 1, kWaitMilliseconds) == 1;
}

// Reads exactly `length` bytes; an error number or -1 for an orderly end
// otherwise.
int ReceiveExact(int fd, char *data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        if (!Readable(fd)) {
            return ETIMEDOUT;
        }
        ssize_t got = recv(fd, data + done, length - done, 0);
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return -1;
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}

// What the next read tells once the socket wakes: 0 for an orderly end,
// the error number for a reset, ETIMEDOUT when nothing came.
int EndOf(int fd)
{
    char byte;
    if (!Readable(fd)) {
        return ETIMEDOUT;
    }
    return recv(fd, &byte, 1, 0) < 0 ? errno : 0;
}

std::string Pattern(size_t length, unsigned seed)
{
    std::string data(length, '\0');
    for (size_t index = 0; index < length; index++) {
        data[index] = static_cast<char>((index * 131 + seed * 7 + index / 251) & 0xff);
    }
    return data;
}

// Sends `data` and checks the echo, in slices so neither side's buffers fill.
void ExpectEcho(int fd, const std::string &data)
{
    constexpr size_t kSlice = 48 * 1024;
    std::string echoed(kSlice, '\0');
    for (size_t offset = 0; offset < data.size(); offset += kSlice) {
        size_t length = std::min(kSlice, data.size() - offset);
        ASSERT_EQ(send(fd, data.data() + offset, length, MSG_NOSIGNAL), static_cast<ssize_t>(length));
        ASSERT_EQ(ReceiveExact(fd, echoed.data(), length), 0);
        ASSERT_EQ(0, std::memcmp(echoed.data(), data.data() + offset, length)) << "at byte " << offset;
    }
}

template <typename Condition> bool Eventually(Condition condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMilliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct CableTest : ::testing::Test {
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(cable.Start(&error)) << error;
    }
    EchoServer server;
    Cable cable{server.Portal()};
};

TEST_F(CableTest, ForwardsIntactAndPassesOnAnOrderlyEnd)
{
    int fd = Connect(cable.Address());
    ASSERT_GE(fd, 0);
    ExpectEcho(fd, Pattern(2 * 1024 * 1024, 1));
    EXPECT_EQ(cable.Connections(), 1u);
    EXPECT_EQ(server.Accepted(), 1);

    server.CloseAll();
    EXPECT_EQ(EndOf(fd), 0) << "the portal's FIN reaches the initiator as a FIN";
    close(fd);
    EXPECT_TRUE(Eventually([this] { return cable.Connections() == 0; }));
}

// A half-closed connection still carries its open direction: what the
// portal answers after the initiator's FIN reaches the initiator.
TEST(CableHalfClose, RelaysTheOpenDirection)
{
    // Reads everything up to the FIN, then answers with how much it got.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    std::thread portal([listener] {
        int fd = accept(listener, nullptr, nullptr);
        size_t total = 0;
        char buffer[4096];
        ssize_t got;
        while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
            total += static_cast<size_t>(got);
        }
        std::string answer = "got " + std::to_string(total);
        send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        close(fd);
    });
    Cable cable("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    std::string error;
    ASSERT_TRUE(cable.Start(&error)) << error;
    int fd = Connect(cable.Address());
    ASSERT_GE(fd, 0);
    std::string request = Pattern(300000, 4);
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    shutdown(fd, SHUT_WR);
    char answer[32] = {};
    EXPECT_EQ(ReceiveExact(fd, answer, 10), 0);
    EXPECT_EQ(std::string(answer), "got 300000");
    EXPECT_EQ(EndOf(fd), 0);
    close(fd);
    portal.join();
    close(listener);
    EXPECT_TRUE(Eventually([&cable] { return cable.Connections() == 0; }));
}

// Connections opened and closed while the cable hangs are reaped; the
// cable carries a bounded number at once and resets the rest.
TEST_F(CableTest, HungReapsHangUpsAndConnectionsAreBounded)
{
    cable.Set(CableState::Hung);
    // In rounds the listener's backlog holds, so no handshake waits for a
    // retransmission.
    for (int round = 0; round < 10; round++) {
        for (int i = 0; i < 30; i++) {
            int fd = Connect(cable.Address());
            ASSERT_GE(fd, 0);
            close(fd);
        }
        ASSERT_TRUE(Eventually([this] { return cable.Connections() == 0; })) << cable.Connections() << " left";
    }

    std::vector<int> open;
    for (size_t i = 0; i < 64; i++) {
        open.push_back(Connect(cable.Address()));
        ASSERT_TRUE(Eventually([this, i] { return cable.Connections() == i + 1; }));
    }
    // Those over the bound are reset at once; the others hang.
    for (int i = 0; i < 16; i++) {
        int fd = Connect(cable.Address());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(EndOf(fd), ECONNRESET);
        close(fd);
    }
    EXPECT_EQ(cable.Connections(), 64u);
    for (int fd : open) {
        close(fd);
    }
    EXPECT_TRUE(Eventually([this] { return cable.Connections() == 0; }));
}

// Out of descriptors, the relay backs off instead of spinning on a
// listener it cannot accept from.
TEST_F(CableTest, OutOfDescriptorsTheRelayWaitsRatherThanSpins)
{
    cable.Set(CableState::Hung);
    std::vector<int> sockets;
    for (int i = 0; i < 4; i++) {
        sockets.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    }
    rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    // No descriptor is free above the ones open now.
    int highest = 0;
    for (int fd = 0; fd < 4096; fd++) {
        if (fcntl(fd, F_GETFD) != -1) {
            highest = fd;
        }
    }
    rlimit tight = before;
    tight.rlim_cur = highest + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (int fd : sockets) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        std::string address = cable.Address();
        target.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1))));
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr *>(&target), sizeof(target));
    }
    rusage start, end;
    getrusage(RUSAGE_SELF, &start);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    getrusage(RUSAGE_SELF, &end);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
    auto micros = [](const timeval &t) { return int64_t(t.tv_sec) * 1000000 + t.tv_usec; };
    int64_t used = micros(end.ru_utime) - micros(start.ru_utime) + micros(end.ru_stime) - micros(start.ru_stime);
    // A spinning relay burns the whole half second.
    EXPECT_LT(used, 250000) << "the relay spun on the listener";
    // Descriptors back, the waiting connections are taken.
    EXPECT_TRUE(Eventually([this] { return cable.Connections() == 4; }));
    for (int fd : sockets) {
        close(fd);
    }
}

TEST_F(CableTest, HungHoldsBothWaysAndPluggedReleasesIntact)
{
    int first = Connect(cable.Address());
    ASSERT_GE(first, 0);
    ExpectEcho(first, "login");
    size_t before = server.Received();

    cable.Set(CableState::Hung);
    EXPECT_EQ(cable.State(), CableState::Hung);
    std::string held = Pattern(100000, 2);
    ASSERT_EQ(send(first, held.data(), held.size(), MSG_NOSIGNAL), static_cast<ssize_t>(held.size()));
    // A second initiator is accepted but never reaches the portal; once the
    // relay has accepted it, it has also passed over the bytes just sent.
    int second = Connect(cable.Address());
    ASSERT_GE(second, 0);
    ASSERT_TRUE(Eventually([this] { return cable.Connections() == 2; }));
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_EQ(server.Received(), before);
    ASSERT_EQ(send(second, "hello", 5, MSG_NOSIGNAL), 5);

    cable.Set(CableState::Plugged);
    std::string echoed(held.size(), '\0');
    ASSERT_EQ(ReceiveExact(first, echoed.data(), echoed.size()), 0);
    EXPECT_EQ(echoed, held);
    char hello[5];
    ASSERT_EQ(ReceiveExact(second, hello, sizeof(hello)), 0);
    EXPECT_EQ(std::string(hello, sizeof(hello)), "hello");
    EXPECT_EQ(server.Accepted(), 2);
    close(first);
    close(second);
}

TEST_F(CableTest, PulledResetsOpenAndNewConnectionsAndPlugsBackOnTheSameAddress)
{
    int open = Connect(cable.Address());
    ASSERT_GE(open, 0);
    ExpectEcho(open, "before");

    cable.Set(CableState::Pulled);
    EXPECT_EQ(cable.Connections(), 0u);
    EXPECT_EQ(EndOf(open), ECONNRESET);
    close(open);
    int late = Connect(cable.Address());
    ASSERT_GE(late, 0) << "the cable keeps listening while pulled";
    EXPECT_EQ(EndOf(late), ECONNRESET);
    close(late);

    std::string address = cable.Address();
    cable.Set(CableState::Plugged);
    int again = Connect(address);
    ASSERT_GE(again, 0);
    ExpectEcho(again, "after");

    cable.Stop();
    EXPECT_EQ(EndOf(again), ECONNRESET) << "stopping resets what is open";
    close(again);
}

TEST_F(CableTest, StateChangesFromAnotherThreadLoseNoByte)
{
    int fd = Connect(cable.Address());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(Eventually([this] { return cable.Connections() == 1; }));
    std::atomic<bool> done{false};
    std::thread flipper([this, &done] {
        for (int flip = 0; !done.load(); flip++) {
            cable.Set(flip % 2 == 0 ? CableState::Hung : CableState::Plugged);
            EXPECT_EQ(cable.Connections(), 1u);
        }
        cable.Set(CableState::Plugged);
    });
    ExpectEcho(fd, Pattern(4 * 1024 * 1024, 3));
    done = true;
    flipper.join();
    close(fd);
}

TEST(Cable, RefusesAPortalItCannotReach)
{
    std::string error;
    Cable bad("nowhere");
    EXPECT_FALSE(bad.Start(&error));
    EXPECT_NE(error.find("nowhere"), std::string::npos);

    // A portal nobody listens on: the initiator's connection is reset.
    int unused = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(unused, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(getsockname(unused, reinterpret_cast<sockaddr *>(&address), &length), 0);
    Cable dead("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    ASSERT_TRUE(dead.Start(&error)) << error;
    int fd = Connect(dead.Address());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(EndOf(fd), ECONNRESET);
    close(fd);
    close(unused);
}

} // namespace
