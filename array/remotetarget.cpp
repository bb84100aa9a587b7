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

RemoteTarget::RemoteTarget(std::string path) : path_(std::move(path)) {}

RemoteTarget::~RemoteTarget()
{
    DropLocked();
}

Result RemoteTarget::Execute(const Nexus &nexus, const Command &command)
{
    if (!Carriable(command)) {
        return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ConnectLocked()) {
        return LinkDown();
    }
    Result result;
    if (!ExchangeLocked(nexus, command, &result)) {
        DropLocked();
        return LinkDown();
    }
    return result;
}

bool RemoteTarget::ConnectLocked()
{
    if (fd_ >= 0) {
        // Between commands the server has nothing to say: anything
        // readable is its close (it restarted or stopped) or garbage.
        // Either way the connection is spent; a fresh one may still work.
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) == 0) {
            return true;
        }
        DropLocked();
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
    fd_ = fd;
    return true;
}

void RemoteTarget::DropLocked()
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

bool RemoteTarget::ExchangeLocked(const Nexus &nexus, const Command &command, Result *result)
{
    using namespace wire;
    const uint64_t id = nextId_++;
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
    if (!WriteAll(fd_, request.data(), request.size())) {
        return false;
    }

    uint8_t header[kHeaderLength];
    uint8_t fixed[kAnswerFixedLength];
    if (!ReadAll(fd_, header, sizeof(header))) {
        return false;
    }
    const int64_t answerLength = CheckHeader(header, Kind::Answer);
    if (answerLength < int64_t(sizeof(fixed)) || !ReadAll(fd_, fixed, sizeof(fixed))) {
        return false;
    }
    const uint8_t outcome = fixed[8];
    const size_t senseLength = fixed[10];
    const size_t dataLength = Get32(fixed + 11);
    if (Get64(fixed) != id || outcome > uint8_t(Transport::Timeout) || senseLength > kMaxSenseLength ||
        dataLength > command.DataInLength || size_t(answerLength) != sizeof(fixed) + senseLength + dataLength) {
        return false;
    }
    uint8_t sense[kMaxSenseLength];
    if (!ReadAll(fd_, sense, senseLength) || !ReadAll(fd_, command.DataIn, dataLength)) {
        return false;
    }
    result->Outcome = Transport(outcome);
    result->Status = fixed[9];
    // Only fixed-format sense fits a Result; longer sense keeps its head.
    result->SenseLength = std::min(senseLength, kFixedSenseLength);
    memcpy(result->Sense, sense, result->SenseLength);
    result->DataInTransferred = dataLength;
    return true;
}

} // namespace array
