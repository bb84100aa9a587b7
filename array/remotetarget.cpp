/*++

Module Name:

    remotetarget.cpp

Abstract:

    The client end of the target socket: frames one request, waits for its
    answer and checks every field of it before believing it.

--*/

#include "remotetarget.h"

#include "targetserver.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace array {

namespace {

Result LinkDown()
{
    Result result;
    result.Outcome = Transport::LinkDown;
    return result;
}

bool Carriable(const Command &command)
{
    return command.CdbLength <= wire::kMaxCdbLength && command.DataOutLength <= wire::kMaxDataLength &&
           command.DataInLength <= wire::kMaxDataLength && (command.Cdb || command.CdbLength == 0) &&
           (command.DataOut || command.DataOutLength == 0) && (command.DataIn || command.DataInLength == 0);
}

} // namespace

RemoteTarget::RemoteTarget(std::string path, uint32_t commandTimeoutMs)
    : path_(std::move(path)), commandTimeoutMs_(commandTimeoutMs)
{
}

RemoteTarget::~RemoteTarget()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &entry : channels_) {
        DropLocked(entry.second.get());
    }
}

RemoteTarget::Channel &RemoteTarget::ChannelOf(const Nexus &nexus)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<Channel> &channel = channels_[{nexus.Initiator, nexus.TargetPort}];
    if (channel == nullptr) {
        channel = std::make_unique<Channel>();
    }
    return *channel;
}

Result RemoteTarget::Execute(const Nexus &nexus, const Command &command)
{
    if (!Carriable(command)) {
        return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0);
    }
    Channel &channel = ChannelOf(nexus);
    std::lock_guard<std::mutex> lock(channel.Mutex);
    if (!ConnectLocked(&channel)) {
        return LinkDown();
    }
    Result result;
    Transport outcome = ExchangeLocked(&channel, nexus, command, &result);
    if (outcome != Transport::Completed) {
        // A late answer must not be taken for the next command's: the
        // connection goes with the command.
        DropLocked(&channel);
        result = Result();
        result.Outcome = outcome;
    }
    return result;
}

bool RemoteTarget::ConnectLocked(Channel *channel)
{
    if (channel->Fd >= 0) {
        // Between commands the server has nothing to say: anything
        // readable is its close (it restarted or stopped) or garbage.
        // Either way the connection is spent; a fresh one may still work.
        pollfd p{channel->Fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 0) {
            return true;
        }
        DropLocked(channel);
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof(address.sun_path)) {
        return false;
    }
    memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return false;
    }
    channel->Fd = fd;
    return true;
}

void RemoteTarget::DropLocked(Channel *channel)
{
    if (channel->Fd >= 0) {
        close(channel->Fd);
        channel->Fd = -1;
    }
}

Transport RemoteTarget::ExchangeLocked(Channel *channel, const Nexus &nexus, const Command &command, Result *result)
{
    using namespace wire;
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(commandTimeoutMs_);
    // A timeout past the deadline is the port's; any other failure is a lost link.
    auto failed = [](Io io) { return io == Io::TimedOut ? Transport::Timeout : Transport::LinkDown; };
    const uint64_t id = channel->NextId++;
    const size_t bodyLength = kRequestFixedLength + command.CdbLength + command.DataOutLength;
    std::vector<uint8_t> request(kHeaderLength + bodyLength);
    PutHeader(request.data(), Kind::Request, uint32_t(bodyLength));
    uint8_t *body = request.data() + kHeaderLength;
    Put64(body, id);
    Put32(body + 8, nexus.Initiator);
    Put32(body + 12, nexus.TargetPort);
    Put64(body + 16, nexus.Lun);
    Put32(body + 24, uint32_t(command.DataInLength));
    Put32(body + 28, uint32_t(command.DataOutLength));
    body[32] = uint8_t(command.CdbLength);
    if (command.CdbLength) {
        memcpy(body + kRequestFixedLength, command.Cdb, command.CdbLength);
    }
    if (command.DataOutLength) {
        memcpy(body + kRequestFixedLength + command.CdbLength, command.DataOut, command.DataOutLength);
    }
    const int fd = channel->Fd;
    Io io = WriteAllBy(fd, request.data(), request.size(), deadline);
    if (io != Io::Done) {
        return failed(io);
    }

    uint8_t header[kHeaderLength];
    uint8_t fixed[kAnswerFixedLength];
    if ((io = ReadAllBy(fd, header, sizeof(header), deadline)) != Io::Done) {
        return failed(io);
    }
    const int64_t answerLength = CheckHeader(header, Kind::Answer);
    if (answerLength < int64_t(sizeof(fixed))) {
        return Transport::LinkDown;
    }
    if ((io = ReadAllBy(fd, fixed, sizeof(fixed), deadline)) != Io::Done) {
        return failed(io);
    }
    const uint8_t outcome = fixed[8];
    const size_t senseLength = fixed[10];
    const size_t dataLength = Get32(fixed + 11);
    if (Get64(fixed) != id || outcome > uint8_t(Transport::NoAnswer) || senseLength > kMaxSenseLength ||
        dataLength > command.DataInLength || size_t(answerLength) != sizeof(fixed) + senseLength + dataLength) {
        return Transport::LinkDown;
    }
    uint8_t sense[kMaxSenseLength];
    if ((io = ReadAllBy(fd, sense, senseLength, deadline)) != Io::Done ||
        (io = ReadAllBy(fd, command.DataIn, dataLength, deadline)) != Io::Done) {
        return failed(io);
    }
    result->Outcome = Transport(outcome);
    result->Status = fixed[9];
    // Only fixed-format sense fits a Result; longer sense keeps its head.
    result->SenseLength = std::min(senseLength, kFixedSenseLength);
    memcpy(result->Sense, sense, result->SenseLength);
    result->DataInTransferred = dataLength;
    return Transport::Completed;
}

} // namespace array
