/*++

Module Name:

    tgtd.cpp

Abstract:

    Starting, configuring and stopping tgtd with fork and exec only (no
    shell between us and the daemon or tgtadm, so nothing is quoted twice
    and a value with spaces stays one argument).

    tgtd answers tgtadm on the Unix socket /var/run/tgtd/socket.N of its
    control port N and holds a POSIX lock on socket.N.lock while it runs;
    it leaves both files behind when it exits.  That lock is how a live
    daemon is told from the leftovers of a dead one: files whose lock can
    be taken belong to nobody.

--*/

#include "tgtd.h"
#include "scsitarget.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace iscsi {

namespace {

constexpr const char *kControlDirectory = "/var/run/tgtd";
constexpr int kLowestControlPort = 1000;
constexpr int kHighestControlPort = 32767;    // tgtd takes -C as a short
constexpr int kStartAttempts = 5;
constexpr int kPortalAttempts = 5;
constexpr auto kStartDeadline = std::chrono::seconds(5);
constexpr auto kStopDeadline = std::chrono::seconds(3);
constexpr auto kAdminDeadline = std::chrono::seconds(10);
constexpr auto kPollInterval = std::chrono::milliseconds(5);

constexpr size_t kVendorLength = 8;
constexpr size_t kProductLength = 16;

// A deadline as error texts give it, "10 s".
std::string Seconds(std::chrono::seconds deadline)
{
    return std::to_string(deadline.count()) + " s";
}

std::string ControlSocket(int port)
{
    return std::string(kControlDirectory) + "/socket." + std::to_string(port);
}

std::string ControlLock(int port)
{
    return ControlSocket(port) + ".lock";
}

} // namespace

// We run as root: a program found through PATH, or one anybody may
// replace, would run whatever another user put there.  Only the system's
// own directories count, and only a file root owns that nobody else may
// write.
std::string Tgtd::ProgramPath(const std::string &name)
{
    static const char *const kDirectories[] = {"/usr/sbin", "/sbin"};
    for (const char *directory : kDirectories) {
        std::string candidate = std::string(directory) + "/" + name;
        struct stat status;
        if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == 0 &&
            (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 && (status.st_mode & S_IXUSR) != 0) {
            return candidate;
        }
    }
    return std::string();
}

namespace {

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void ExecChild(const char *program, char *const *argv, int input, int output)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    // Nothing of ours may stay open in the child: a relay socket held by
    // tgtd would never reset when the relay resets it.
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < 65536; fd++) {
            close(fd);
        }
    }
    execv(program, argv);
    _exit(127);
}

std::vector<char *> ArgumentVector(std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    for (std::string &argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return argv;
}

pid_t WaitFor(pid_t pid, int *status, int options)
{
    pid_t done;
    do {
        done = waitpid(pid, status, options);
    } while (done < 0 && errno == EINTR);
    return done;
}

// Runs `program` with `arguments` (argv[0] included), collecting what it
// prints on stdout and stderr; false when it cannot be run.  When
// `giveUp` says so the program is killed and the run ends.
bool Run(const std::string &program, std::vector<std::string> arguments, std::string *output, int *status,
         const std::function<bool()> &giveUp = nullptr)
{
    std::vector<char *> argv = ArgumentVector(arguments);
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        *output = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
        ExecChild(program.c_str(), argv.data(), input, channel[1]);
    }
    close(channel[1]);
    close(input);
    if (pid < 0) {
        *output = std::string("fork: ") + std::strerror(errno);
        close(channel[0]);
        return false;
    }
    // tgtadm waits for the daemon's answer without a limit of its own; a
    // daemon that stopped answering must not stop us too.
    output->clear();
    auto deadline = std::chrono::steady_clock::now() + kAdminDeadline;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable = {channel[0], POLLIN, 0};
        const long long wait = giveUp ? std::min<long long>(left.count(), 50) : left.count();
        int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(wait)) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0 && giveUp && left.count() > 0) {
            if (!giveUp()) {
                continue;
            }
            kill(pid, SIGKILL);
            break;
        }
        if (ready == 0) {
            kill(pid, SIGKILL);
            output->append("(no answer within " + Seconds(kAdminDeadline) + ")");
            break;
        }
        ssize_t got = read(channel[0], buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        output->append(buffer, static_cast<size_t>(got));
    }
    close(channel[0]);
    return WaitFor(pid, status, 0) == pid;
}

std::string Trimmed(const std::string &text)
{
    size_t end = text.find_last_not_of(" \t\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

// The last lines of the daemon's log, for an error that says why it died.
std::string LogTail(const std::string &path)
{
    constexpr size_t kTailBytes = 600;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "(no log)";
    }
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) {
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > 4 * kTailBytes) {
            text.erase(0, text.size() - kTailBytes);
        }
    }
    close(fd);
    text = Trimmed(text);
    if (text.size() > kTailBytes) {
        text.erase(0, text.size() - kTailBytes);
    }
    return text;
}

// The pid holding the lock of control port `port`, 0 when nobody does.
pid_t LockHolder(int port)
{
    int fd = open(ControlLock(port).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    pid_t holder = 0;
    if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
        holder = probe.l_pid;
    }
    close(fd);
    return holder;
}

// Removes the socket files of control port `port` if no daemon holds
// their lock.  The lock is held while unlinking, so a daemon starting on
// the same port meanwhile either fails to lock (and its starter moves on)
// or locks after the files are gone and makes new ones.
void RemoveUnheld(int port)
{
    std::string lockPath = ControlLock(port);
    int fd = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            unlink(ControlSocket(port).c_str());
        }
        return;
    }
    struct flock claim = {};
    claim.l_type = F_WRLCK;
    claim.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &claim) == 0) {
        unlink(ControlSocket(port).c_str());
        unlink(lockPath.c_str());
    }
    close(fd);
}

// Sweeps the socket files dead daemons left behind.
void RemoveStaleControlFiles()
{
    DIR *directory = opendir(kControlDirectory);
    if (directory == nullptr) {
        return;
    }
    std::vector<int> ports;
    static const std::string kPrefix = "socket.";
    static const std::string kSuffix = ".lock";
    while (dirent *entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name.size() <= kPrefix.size() + kSuffix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0 ||
            name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
            continue;
        }
        std::string number = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
        if (number.find_first_not_of("0123456789") == std::string::npos && number.size() < 9) {
            ports.push_back(std::stoi(number));
        }
    }
    closedir(directory);
    for (int port : ports) {
        RemoveUnheld(port);
    }
}

// A port of 127.0.0.1 nobody listens on now; another process may take it
// before it is used, so callers retry.
int FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool Exists(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

} // namespace

std::string Tgtd::Version()
{
    std::string daemon = ProgramPath("tgtd");
    std::string printed;
    int status = 0;
    if (daemon.empty() || !Run(daemon, {daemon, "--version"}, &printed, &status) || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return std::string();
    }
    return Trimmed(printed.substr(0, printed.find('\n')));
}

std::unique_ptr<Tgtd> Tgtd::Start(const std::string &directory, size_t portals, std::string *error)
{
    std::string daemon = ProgramPath("tgtd");
    std::string admin = ProgramPath("tgtadm");
    if (daemon.empty() || admin.empty()) {
        *error = "tgtd is not installed (no tgtd or tgtadm owned by root in /usr/sbin or /sbin; Debian package tgt)";
        return nullptr;
    }
    if (!Exists(directory)) {
        *error = "no directory " + directory;
        return nullptr;
    }
    mkdir(kControlDirectory, 0755);
    RemoveStaleControlFiles();

    std::unique_ptr<Tgtd> tgtd(new Tgtd());
    tgtd->directory_ = directory;
    tgtd->admin_ = admin;
    std::string logPath = directory + "/tgtd.log";
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> controlPorts(kLowestControlPort, kHighestControlPort);
    for (int attempt = 0; attempt < kStartAttempts && tgtd->pid_ < 0; attempt++) {
        int control = controlPorts(random);
        if (Exists(ControlLock(control)) || Exists(ControlSocket(control))) {
            continue;   // a live daemon's: the sweep removed every dead one's
        }
        if (!tgtd->Launch(daemon, control, logPath, error)) {
            return nullptr;
        }
        if (tgtd->pid_ < 0 && error->find("another tgtd") == std::string::npos) {
            return nullptr;
        }
    }
    if (tgtd->pid_ < 0) {
        *error = "tgtd found no free control port: " + *error;
        return nullptr;
    }

    // tgtd runs on without a portal it could not bind, so the one it was
    // started with is not trusted: every portal is added here and checked.
    std::string ignored;
    tgtd->Admin({"--lld", "iscsi", "--op", "delete", "--mode", "portal", "--param",
                 "portal=127.0.0.1:" + std::to_string(tgtd->startPortal_)},
                nullptr, &ignored);
    for (size_t index = 0; index < portals; index++) {
        bool added = false;
        for (int attempt = 0; attempt < kPortalAttempts && !added; attempt++) {
            std::string portal = "127.0.0.1:" + std::to_string(FreePort());
            added = tgtd->Admin({"--lld", "iscsi", "--op", "new", "--mode", "portal", "--param", "portal=" + portal},
                                nullptr, error);
            if (added) {
                tgtd->portals_.push_back(portal);
            }
        }
        if (!added) {
            *error = "tgtd took no portal: " + *error;
            return nullptr;     // the destructor stops the daemon
        }
    }
    error->clear();
    return tgtd;
}

// Forks and execs the daemon on control port `control` and waits until it
// answers.  False with the reason when it cannot be run; true with pid_
// still -1 (and the reason) when it ran but did not come up.
bool Tgtd::Launch(const std::string &daemon, int control, const std::string &logPath, std::string *error)
{
    startPortal_ = FreePort();
    std::vector<std::string> arguments = {daemon, "-f", "-C", std::to_string(control), "--iscsi",
                                          "portal=127.0.0.1:" + std::to_string(startPortal_)};
    std::vector<char *> argv = ArgumentVector(arguments);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || input < 0) {
        *error = "cannot open " + logPath + ": " + std::strerror(errno);
        close(log);
        close(input);
        return false;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Dies with the thread that started it, so a crashed test leaves no daemon behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(1);
        }
        ExecChild(daemon.c_str(), argv.data(), input, log);
    }
    close(log);
    close(input);
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }

    controlPort_ = control;
    auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
    for (;;) {
        int status = 0;
        if (WaitFor(pid, &status, WNOHANG) == pid) {
            *error = "tgtd exited at start (status " + std::to_string(status) + "): " + LogTail(logPath);
            controlPort_ = 0;
            return true;
        }
        // The lock tells that the socket about to answer is our daemon's
        // and not another's on the same port.
        std::string ignored;
        if (LockHolder(control) == pid && Run(admin_, {admin_, "-C", std::to_string(control), "--op", "show",
                                                       "--mode", "system"},
                                              &ignored, &status) &&
            WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            pid_ = pid;
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            WaitFor(pid, &status, 0);
            RemoveUnheld(control);
            controlPort_ = 0;
            *error = "tgtd did not answer tgtadm within " + Seconds(kStartDeadline) + ": " + LogTail(logPath);
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

Tgtd::~Tgtd()
{
    Stop();
}

bool Tgtd::Admin(const std::vector<std::string> &arguments, std::string *output, std::string *error)
{
    std::vector<std::string> command = {admin_, "-C", std::to_string(controlPort_)};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string printed;
    int status = 0;
    if (!Run(admin_, command, &printed, &status)) {
        *error = "cannot run tgtadm: " + printed;
        return false;
    }
    if (output != nullptr) {
        *output = printed;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string message = Trimmed(printed);
        *error = message.empty() ? "tgtadm failed with status " + std::to_string(status) : message;
        return false;
    }
    return true;
}

TgtdAccess Tgtd::NewAccess(std::vector<std::string> initiators)
{
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    auto text = [&random](size_t length) {
        std::string out;
        std::uniform_int_distribution<size_t> pick(0, sizeof(kLetters) - 2);
        for (size_t i = 0; i < length; i++) {
            out += kLetters[pick(random)];
        }
        return out;
    };
    TgtdAccess access;
    access.Initiators = std::move(initiators);
    access.User = "tarn-" + text(8);
    // 16 characters: the longest every CHAP peer accepts.
    access.Secret = text(16);
    return access;
}

bool Tgtd::AddTarget(int tid, const std::string &iqn, const std::vector<TgtdLogicalUnit> &units,
                     const TgtdAccess &access, std::string *error)
{
    if (access.Initiators.empty() || access.User.empty() || access.Secret.size() < 12) {
        *error = "a target needs its initiators, a CHAP user and a secret of at least 12 characters";
        return false;
    }
    if (tid <= 0) {
        *error = "target id " + std::to_string(tid) + " is not positive";
        return false;
    }
    for (int existing : targets_) {
        if (existing == tid) {
            *error = "target " + std::to_string(tid) + " exists";
            return false;
        }
    }
    for (const TgtdLogicalUnit &unit : units) {
        // tgtadm splits its parameters at commas: a comma in a value would cut it.
        // The backing file is Blocks * kBlockSize bytes: more than a file offset
        // holds would wrap to a small or empty image.
        constexpr uint64_t kMaxBlocks = uint64_t(INT64_MAX) / array::kBlockSize;
        if (unit.Lun == 0 || unit.Blocks == 0 || unit.Blocks > kMaxBlocks || unit.Vendor.size() > kVendorLength ||
            unit.Product.size() > kProductLength ||
            (unit.Vendor + unit.Product + unit.Serial).find(',') != std::string::npos) {
            *error = "logical unit " + std::to_string(unit.Lun) +
                     " refused: LUN 0 is tgtd's own, blocks from 1 to 2^54, vendor is at most 8 characters, product at "
                     "most 16, no commas";
            return false;
        }
    }
    std::string target = std::to_string(tid);
    if (!Admin({"--lld", "iscsi", "--op", "new", "--mode", "target", "--tid", target, "-T", iqn}, nullptr, error)) {
        return false;
    }
    targets_.push_back(tid);
    for (const TgtdLogicalUnit &unit : units) {
        std::string lun = std::to_string(unit.Lun);
        std::string file = directory_ + "/lun" + target + "-" + lun + ".img";
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            *error = "cannot create " + file + ": " + std::strerror(errno);
            return false;
        }
        backingFiles_.push_back(file);
        bool sized = ftruncate(fd, static_cast<off_t>(unit.Blocks * array::kBlockSize)) == 0;
        close(fd);
        if (!sized) {
            *error = "cannot size " + file + ": " + std::strerror(errno);
            return false;
        }
        if (!Admin({"--lld", "iscsi", "--op", "new", "--mode", "logicalunit", "--tid", target, "--lun", lun, "-b",
                    file},
                   nullptr, error)) {
            return false;
        }
        std::string params;
        auto add = [&params](const char *name, const std::string &value) {
            if (!value.empty()) {
                params += (params.empty() ? "" : ",") + std::string(name) + "=" + value;
            }
        };
        add("vendor_id", unit.Vendor);
        add("product_id", unit.Product);
        add("scsi_sn", unit.Serial);
        if (!params.empty() && !Admin({"--lld", "iscsi", "--op", "update", "--mode", "logicalunit", "--tid", target,
                                       "--lun", lun, "--params", params},
                                      nullptr, error)) {
            return false;
        }
    }
    // Only the run's initiators, and each must prove the secret: the
    // portals themselves are open to every local user.
    if (std::find(accounts_.begin(), accounts_.end(), access.User) == accounts_.end()) {
        if (!Admin({"--lld", "iscsi", "--op", "new", "--mode", "account", "--user", access.User, "--password",
                    access.Secret},
                   nullptr, error)) {
            return false;
        }
        accounts_.push_back(access.User);
    }
    if (!Admin({"--lld", "iscsi", "--op", "bind", "--mode", "account", "--tid", target, "--user", access.User}, nullptr,
               error)) {
        return false;
    }
    // tgtd admits an initiator that any of the target's address or name
    // entries matches: names only, then, and no address.
    for (const std::string &initiator : access.Initiators) {
        if (!Admin({"--lld", "iscsi", "--op", "bind", "--mode", "target", "--tid", target, "--initiator-name",
                    initiator},
                   nullptr, error)) {
            return false;
        }
    }
    return true;
}

void Tgtd::Stop()
{
    if (pid_ > 0) {
        std::string ignored;
        for (int tid : targets_) {
            Admin({"--lld", "iscsi", "--op", "delete", "--force", "--mode", "target", "--tid", std::to_string(tid)},
                  nullptr, &ignored);
        }
        // Refused while a target exists, hence after them.  The daemon may
        // exit before it answers, and tgtadm then tries to reach it again
        // for ever: it is given up once the daemon is gone.
        int status = 0;
        bool exited = false;
        auto gone = [&] {
            exited = exited || WaitFor(pid_, &status, WNOHANG) == pid_;
            return exited;
        };
        int adminStatus = 0;
        Run(admin_, {admin_, "-C", std::to_string(controlPort_), "--op", "delete", "--mode", "system"}, &ignored,
            &adminStatus, gone);
        auto deadline = std::chrono::steady_clock::now() + kStopDeadline;
        while (!gone() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(kPollInterval);
        }
        if (!exited) {
            kill(pid_, SIGKILL);
            WaitFor(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (controlPort_ != 0) {
        RemoveUnheld(controlPort_);
        controlPort_ = 0;
    }
    targets_.clear();
    accounts_.clear();
    portals_.clear();
    for (const std::string &file : backingFiles_) {
        unlink(file.c_str());
    }
    backingFiles_.clear();
}

} // namespace iscsi
