/*++

Module Name:

    tgtd.h

Abstract:

    Linux's user-space SCSI target daemon, tgtd, run for a test or a
    scenario: on loopback only, on a control port and portals of its own,
    with one iSCSI target and the logical units asked for, and always torn
    down again.  tgtd ignores SIGTERM, so an orderly stop deletes its
    targets and the system through tgtadm and then removes the socket
    files it leaves; should the process that started it die first, the
    kernel kills tgtd with it.

--*/

#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace iscsi {

// One logical unit of the target.  tgtd keeps LUN 0 for a controller
// device of its own, so disks start at LUN 1.
struct TgtdLogicalUnit {
    uint32_t Lun = 1;
    uint64_t Blocks = 2048;     // of array::kBlockSize bytes, backed by a file of the daemon's directory
    std::string Vendor;         // INQUIRY vendor identification, at most 8 characters
    std::string Product;        // product identification, at most 16
    std::string Serial;         // unit serial number (VPD page 0x80)
};

// Who may log in to a target: initiators of these names only, each
// proving the CHAP account's secret.
struct TgtdAccess {
    std::vector<std::string> Initiators;
    std::string User;
    std::string Secret;
};

class Tgtd {
public:
    // An account of its own for a run: a user name and a secret made
    // afresh from the system's random source, for these initiators.
    static TgtdAccess NewAccess(std::vector<std::string> initiators);

    // Starts tgtd in the foreground as a child of the calling thread (the
    // kernel kills it when that thread ends: start it from a thread that
    // lives as long as the daemon is needed) and waits until it answers.
    // `directory` receives the backing files and the daemon's log; it must
    // exist.  Returns null, with the reason, when tgtd is not installed or
    // does not come up.
    static std::unique_ptr<Tgtd> Start(const std::string &directory, size_t portals, std::string *error);
    ~Tgtd();
    Tgtd(const Tgtd &) = delete;
    Tgtd &operator=(const Tgtd &) = delete;

    // Creates target `tid` named `iqn` with the logical units, open only
    // to the access's initiators with its CHAP secret:
    // anybody else on the machine can reach the portals.  The vendor and
    // product are set as given, padded as INQUIRY pads them.
    bool AddTarget(int tid, const std::string &iqn, const std::vector<TgtdLogicalUnit> &units,
                   const TgtdAccess &access, std::string *error);

    // Where `name` (tgtd, tgtadm) is installed: the system's own
    // directories only, never PATH; empty when it is not there.
    static std::string ProgramPath(const std::string &name);
    // The installed tgtd's version as it reports it; empty when it does not.
    static std::string Version();

    // Runs tgtadm on this daemon's control port with the arguments;
    // false, with tgtadm's message, when it fails.
    bool Admin(const std::vector<std::string> &arguments, std::string *output, std::string *error);

    // The portals, "127.0.0.1:port", in the order asked for.
    const std::vector<std::string> &Portals() const { return portals_; }
    int ControlPort() const { return controlPort_; }
    pid_t Pid() const { return pid_; }

    // Deletes every target and the system, waits for the daemon to exit
    // (kills it when it does not), removes its socket files and the
    // backing files.  Runs at destruction if not called before.
    void Stop();

private:
    Tgtd() = default;
    bool Launch(const std::string &daemon, int control, const std::string &logPath, std::string *error);

    std::string directory_;
    std::string admin_;         // tgtadm's path
    int startPortal_ = 0;       // the portal tgtd was started with, replaced once it answers
    int controlPort_ = 0;
    pid_t pid_ = -1;
    std::vector<std::string> portals_;
    std::vector<int> targets_;
    std::vector<std::string> accounts_;
    std::vector<std::string> backingFiles_;
};

} // namespace iscsi
