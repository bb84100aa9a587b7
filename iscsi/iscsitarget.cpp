/*++

Module Name:

    iscsitarget.cpp

Abstract:

    The iSCSI sessions behind the host's paths.  libiscsi is not
    thread-safe, so each session has one thread that alone touches its
    context: callers queue their command and wait, and the thread sends,
    services the socket, watches the deadlines and completes.

--*/

// libiscsi first: the platform's SCSI header defines some of the names
// libiscsi declares as enumerators, with the same values.
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include "iscsitarget.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace iscsi {

using array::CheckCondition;
using array::Command;
using array::Nexus;
using array::Result;
using array::Transport;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kAnyInitiator = ~0u;
// A logout at the end is a courtesy to the target; it must not hold up a
// teardown when the link is hung.
constexpr auto kLogoutWait = std::chrono::milliseconds(500);

// One caller's command, from queueing to completion.
struct Request {
    IscsiTarget::Session *Owner = nullptr;
    const Command *Cmd = nullptr;
    uint32_t Lun = 0;
    Result Answer;
    bool Done = false;
    scsi_task *Task = nullptr;
    Clock::time_point Deadline;
};

// What one iSCSI command can carry: a CDB of libiscsi's size, data in one
// direction, each length with its buffer.
bool Carriable(const Command &command)
{
    return command.CdbLength != 0 && command.CdbLength <= SCSI_CDB_MAX_SIZE && command.Cdb != nullptr &&
           command.DataOutLength <= INT32_MAX && command.DataInLength <= INT32_MAX &&
           (command.DataOutLength == 0 || command.DataInLength == 0) &&
           (command.DataOut != nullptr || command.DataOutLength == 0) &&
           (command.DataIn != nullptr || command.DataInLength == 0);
}

} // namespace

class IscsiTarget::Session {
public:
    Session(IscsiTarget &owner, const Nexus &nexus, std::string address)
        : owner_(owner), options_(owner.options_), nexus_(nexus), address_(std::move(address))
    {
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            wake_[0] = wake_[1] = -1;
        }
        thread_ = std::thread([this] { Serve(); });
    }

    ~Session()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        Wake();
        thread_.join();
        for (int fd : wake_) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    Result Run(uint32_t lun, const Command &command)
    {
        Request request;
        request.Owner = this;
        request.Cmd = &command;
        request.Lun = lun;
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_ || wake_[1] < 0) {
            request.Answer.Outcome = Transport::LinkDown;
            return request.Answer;
        }
        queue_.push_back(&request);
        lock.unlock();
        Wake();
        lock.lock();
        done_.wait(lock, [&] { return request.Done; });
        return request.Answer;
    }

    size_t Logins() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return logins_;
    }

    bool Up() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return up_;
    }

private:
    enum class State { Down, Connecting, LoggingIn, Up };

    void Wake()
    {
        const char byte = 0;
        // A full pipe already wakes the thread.
        (void)!write(wake_[1], &byte, 1);
    }

    void Complete(Request *request)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        request->Done = true;
        done_.notify_all();
    }

    static int CdbDirection(const Command &command)
    {
        if (command.DataOutLength != 0) {
            return SCSI_XFER_WRITE;
        }
        return command.DataInLength != 0 ? SCSI_XFER_READ : SCSI_XFER_NONE;
    }

    // The thread's loop: take what callers queued, log in when commands
    // wait and no session is up, send, service, watch deadlines.
    void Serve()
    {
        for (;;) {
            bool stop;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                while (!queue_.empty()) {
                    waiting_.push_back(queue_.front());
                    queue_.pop_front();
                }
                stop = stopping_;
            }
            if (stop) {
                TearDown(Transport::LinkDown, true);
                return;
            }
            if (!waiting_.empty() && state_ == State::Down) {
                BeginLogin();
            }
            if (state_ == State::Up) {
                SendWaiting();
            }
            Poll();
        }
    }

    void BeginLogin()
    {
        const std::string initiator = options_.InitiatorPrefix + std::to_string(nexus_.Initiator >> 8);
        iscsi_ = iscsi_create_context(initiator.c_str());
        if (iscsi_ == nullptr) {
            FailAll(Transport::LinkDown);
            return;
        }
        // The same path always logs in as the same initiator port, so the
        // target sees the same I_T nexus (and its registrations) again;
        // two paths never share one.
        iscsi_set_isid_random(iscsi_, nexus_.Initiator & 0xFFFFFF, nexus_.TargetPort & 0xFFFF);
        iscsi_set_targetname(iscsi_, options_.TargetName.c_str());
        if (!options_.ChapUser.empty() &&
            iscsi_set_initiator_username_pwd(iscsi_, options_.ChapUser.c_str(), options_.ChapSecret.c_str()) != 0) {
            TearDown(Transport::LinkDown, false);
            return;
        }
        iscsi_set_session_type(iscsi_, ISCSI_SESSION_NORMAL);
        iscsi_set_header_digest(iscsi_, ISCSI_HEADER_DIGEST_NONE);
        iscsi_set_noautoreconnect(iscsi_, 1);
        iscsi_set_timeout(iscsi_, 0);
        loginDeadline_ = Clock::now() + std::chrono::milliseconds(options_.LoginTimeoutMs);
        state_ = State::Connecting;
        if (iscsi_connect_async(iscsi_, address_.c_str(), &Session::OnConnect, this) != 0) {
            TearDown(Transport::LinkDown, false);
        }
    }

    static void OnConnect(iscsi_context *iscsi, int status, void *, void *privateData)
    {
        auto *self = static_cast<Session *>(privateData);
        if (self->state_ != State::Connecting) {
            // Called again when an established connection fails.
            self->broken_ = true;
            return;
        }
        if (status != SCSI_STATUS_GOOD) {
            self->broken_ = true;
            return;
        }
        self->state_ = State::LoggingIn;
        if (iscsi_login_async(iscsi, &Session::OnLogin, self) != 0) {
            self->broken_ = true;
        }
    }

    static void OnLogin(iscsi_context *, int status, void *, void *privateData)
    {
        auto *self = static_cast<Session *>(privateData);
        if (status != SCSI_STATUS_GOOD) {
            self->broken_ = true;
            return;
        }
        self->state_ = State::Up;
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->logins_++;
        self->up_ = true;
    }

    void SendWaiting()
    {
        while (!waiting_.empty() && state_ == State::Up) {
            Request *request = waiting_.front();
            waiting_.pop_front();
            const Command &command = *request->Cmd;
            const int direction = CdbDirection(command);
            const size_t length = direction == SCSI_XFER_WRITE  ? command.DataOutLength
                                  : direction == SCSI_XFER_READ ? command.DataInLength
                                                                : 0;
            unsigned char cdb[SCSI_CDB_MAX_SIZE] = {};
            memcpy(cdb, command.Cdb, command.CdbLength);
            scsi_task *task = scsi_create_task((int)command.CdbLength, cdb, direction, (int)length);
            if (task == nullptr) {
                request->Answer.Outcome = Transport::LinkDown;
                Complete(request);
                continue;
            }
            if (direction == SCSI_XFER_READ) {
                scsi_task_add_data_in_buffer(task, (int)length, command.DataIn);
            }
            iscsi_data out{length, const_cast<unsigned char *>(command.DataOut)};
            request->Task = task;
            request->Deadline = Clock::now() + std::chrono::milliseconds(options_.CommandTimeoutMs);
            inFlight_.push_back(request);
            if (iscsi_scsi_command_async(iscsi_, (int)request->Lun, task, &Session::OnCommand,
                                         direction == SCSI_XFER_WRITE ? &out : nullptr, request) != 0) {
                inFlight_.pop_back();
                scsi_free_scsi_task(task);
                request->Task = nullptr;
                waiting_.push_front(request);
                TearDown(Transport::LinkDown, false);
            }
        }
    }

    static void OnCommand(iscsi_context *, int status, void *commandData, void *privateData)
    {
        auto *request = static_cast<Request *>(privateData);
        auto *task = static_cast<scsi_task *>(commandData);
        Session *self = request->Owner;
        if (self->tearingDown_) {
            return;     // the teardown completes it
        }
        if (status == SCSI_STATUS_CANCELLED || status == SCSI_STATUS_ERROR || status == SCSI_STATUS_TIMEOUT ||
            status == SCSI_STATUS_REDIRECT) {
            self->broken_ = true;
            return;
        }
        Result &answer = request->Answer;
        answer.Outcome = Transport::Completed;
        answer.Status = (uint8_t)status;
        if (status == SCSI_STATUS_CHECK_CONDITION) {
            SetFixedSense(&answer, (uint8_t)task->sense.key, (uint8_t)(task->sense.ascq >> 8),
                          (uint8_t)task->sense.ascq);
        }
        size_t expected = request->Cmd->DataInLength;
        if (task->xfer_dir == SCSI_XFER_READ && status == SCSI_STATUS_GOOD) {
            answer.DataInTransferred = task->residual_status == SCSI_RESIDUAL_UNDERFLOW
                                           ? expected - std::min(expected, task->residual)
                                           : expected;
        }
        self->inFlight_.erase(std::find(self->inFlight_.begin(), self->inFlight_.end(), request));
        scsi_free_scsi_task(task);
        request->Task = nullptr;
        self->Complete(request);
    }

    void Poll()
    {
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {-1, 0, 0}};
        int count = 1;
        Clock::time_point deadline = Clock::time_point::max();
        if (iscsi_ != nullptr) {
            fds[1].fd = iscsi_get_fd(iscsi_);
            fds[1].events = (short)iscsi_which_events(iscsi_);
            count = fds[1].fd >= 0 ? 2 : 1;
            if (state_ != State::Up) {
                deadline = loginDeadline_;
            }
            for (const Request *request : inFlight_) {
                deadline = std::min(deadline, request->Deadline);
            }
        }
        int timeoutMs = -1;
        if (deadline != Clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            timeoutMs = (int)std::clamp<long long>(left + 1, 0, 60000);
        }
        int ready = poll(fds, count, timeoutMs);
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (iscsi_ != nullptr && ready > 0 && count == 2 && fds[1].revents != 0) {
            if (iscsi_service(iscsi_, fds[1].revents) < 0) {
                broken_ = true;
            }
        }
        if (iscsi_ != nullptr && broken_) {
            TearDown(Transport::LinkDown, false);
        } else if (iscsi_ != nullptr && deadline != Clock::time_point::max() && Clock::now() >= deadline) {
            // Unanswered: a port driver reports the timeout and the
            // session is abandoned, as a real initiator's recovery does.
            TearDown(Transport::Timeout, false);
        }
    }

    // Ends the session: every command sent or waiting fails with
    // `outcome`.  A logout is tried first when asked and the session is up.
    void TearDown(Transport outcome, bool logout)
    {
        const bool wasUp = state_ == State::Up;
        if (iscsi_ != nullptr) {
            if (logout && state_ == State::Up && !broken_) {
                LogoutBriefly();
            }
            tearingDown_ = true;
            iscsi_destroy_context(iscsi_);
            tearingDown_ = false;
            iscsi_ = nullptr;
        }
        for (Request *request : inFlight_) {
            if (request->Task != nullptr) {
                scsi_free_scsi_task(request->Task);
                request->Task = nullptr;
            }
            request->Answer = Result{};
            request->Answer.Outcome = outcome;
            Complete(request);
        }
        inFlight_.clear();
        FailAll(outcome);
        state_ = State::Down;
        broken_ = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            up_ = false;
        }
        // A session the host did not end is a lost link.
        if (wasUp && !logout) {
            owner_.ReportLost(nexus_);
        }
    }

    void LogoutBriefly()
    {
        bool finished = false;
        if (iscsi_logout_async(
                iscsi_, [](iscsi_context *, int, void *, void *done) { *static_cast<bool *>(done) = true; },
                &finished) != 0) {
            return;
        }
        const Clock::time_point until = Clock::now() + kLogoutWait;
        while (!finished && Clock::now() < until) {
            pollfd fd{iscsi_get_fd(iscsi_), (short)iscsi_which_events(iscsi_), 0};
            if (poll(&fd, 1, 50) > 0 && iscsi_service(iscsi_, fd.revents) < 0) {
                return;
            }
        }
    }

    void FailAll(Transport outcome)
    {
        while (!waiting_.empty()) {
            Request *request = waiting_.front();
            waiting_.pop_front();
            request->Answer.Outcome = outcome;
            Complete(request);
        }
    }

    IscsiTarget &owner_;
    const IscsiOptions &options_;
    const Nexus nexus_;
    const std::string address_;
    int wake_[2] = {-1, -1};

    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::deque<Request *> queue_;       // guarded by mutex_
    bool stopping_ = false;             // guarded by mutex_
    size_t logins_ = 0;                 // guarded by mutex_
    bool up_ = false;                   // guarded by mutex_

    // The serving thread's alone.
    iscsi_context *iscsi_ = nullptr;
    State state_ = State::Down;
    bool broken_ = false;
    bool tearingDown_ = false;
    Clock::time_point loginDeadline_;
    std::deque<Request *> waiting_;
    std::vector<Request *> inFlight_;

    std::thread thread_;
};

IscsiTarget::IscsiTarget(IscsiOptions options) : options_(std::move(options)) {}

IscsiTarget::~IscsiTarget()
{
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.clear();
}

void IscsiTarget::WatchLinks(LinkLostHandler handler)
{
    std::lock_guard<std::mutex> lock(watchMutex_);
    onLost_ = std::move(handler);
}

void IscsiTarget::ReportLost(const Nexus &nexus)
{
    std::lock_guard<std::mutex> lock(watchMutex_);
    if (onLost_) {
        onLost_(nexus.Initiator, nexus.TargetPort);
    }
}

void IscsiTarget::Route(uint32_t targetPort, std::string address)
{
    Route(kAnyInitiator, targetPort, std::move(address));
}

void IscsiTarget::Route(uint32_t initiator, uint32_t targetPort, std::string address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[{initiator, targetPort}] = std::move(address);
}

IscsiTarget::Session *IscsiTarget::SessionFor(const Nexus &nexus)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::pair<uint32_t, uint32_t> key{nexus.Initiator, nexus.TargetPort};
    auto found = sessions_.find(key);
    if (found != sessions_.end()) {
        return found->second.get();
    }
    auto route = routes_.find(key);
    if (route == routes_.end()) {
        route = routes_.find({kAnyInitiator, nexus.TargetPort});
    }
    if (route == routes_.end()) {
        return nullptr;
    }
    auto session = std::make_unique<Session>(*this, nexus, route->second);
    Session *result = session.get();
    sessions_.emplace(key, std::move(session));
    return result;
}

Result IscsiTarget::Execute(const Nexus &nexus, const Command &command)
{
    if (!Carriable(command)) {
        return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0);
    }
    // iSCSI's flat addressing reaches LUNs below 16384.
    if (nexus.Lun + options_.LunOffset > 0x3FFF) {
        return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 0);
    }
    Session *session = SessionFor(nexus);
    if (session == nullptr) {
        Result result;
        result.Outcome = Transport::LinkDown;
        return result;
    }
    return session->Run((uint32_t)nexus.Lun + options_.LunOffset, command);
}

size_t IscsiTarget::Logins() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t logins = 0;
    for (const auto &entry : sessions_) {
        logins += entry.second->Logins();
    }
    return logins;
}

size_t IscsiTarget::SessionsUp() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t up = 0;
    for (const auto &entry : sessions_) {
        up += entry.second->Up() ? 1 : 0;
    }
    return up;
}

} // namespace iscsi
