// tgtd run for real: reached over iSCSI through cables, and gone without
// a trace when stopped.

#include "cable.h"
#include "tgtdfixture.h"

#include <gtest/gtest.h>

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

namespace {

using iscsi::Cable;
using iscsi::CableState;
using iscsi::Tgtd;
using iscsi::TgtdLogicalUnit;
using tarntest::TgtdFixture;

constexpr size_t kVendorOffset = 8;
constexpr size_t kProductOffset = 16;
constexpr size_t kStandardInquiryLength = 36;
constexpr size_t kSerialOffset = 4;     // unit serial number page: header, then the number
constexpr int kSessionTimeoutSeconds = 5;

const std::vector<TgtdLogicalUnit> kUnits = {
    {1, 2048, "TARN", "TARN 4000 ISCSI", "TARN-SN-0001"},
    {2, 4096, "TARNCORP", "T4K", "TARN-SN-0002"},
};

bool Exists(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

std::string ControlFile(int port, const char *suffix = "")
{
    return "/var/run/tgtd/socket." + std::to_string(port) + suffix;
}

std::string Padded(const std::string &text, size_t width)
{
    return text + std::string(width - text.size(), ' ');
}

// One logged-in iSCSI session, logged out and freed at the end.
struct Session {
    explicit Session(const iscsi::TgtdAccess &access, const std::string &name = tarntest::kTgtdInitiator,
                     const std::string &secret = "")
        : Context(iscsi_create_context(name.c_str()))
    {
        if (Context != nullptr && !access.User.empty()) {
            iscsi_set_initiator_username_pwd(Context, access.User.c_str(),
                                             (secret.empty() ? access.Secret : secret).c_str());
        }
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    iscsi_context *Context;

    ~Session()
    {
        if (Context != nullptr) {
            iscsi_destroy_context(Context);
        }
    }

    // Empty on success, otherwise libiscsi's reason.
    std::string Login(const std::string &address)
    {
        if (Context == nullptr) {
            return "no context";
        }
        iscsi_set_targetname(Context, tarntest::kTgtdTargetName);
        iscsi_set_session_type(Context, ISCSI_SESSION_NORMAL);
        iscsi_set_header_digest(Context, ISCSI_HEADER_DIGEST_NONE);
        // A broken transport has to fail the command, not be hidden by a new login.
        iscsi_set_noautoreconnect(Context, 1);
        iscsi_set_timeout(Context, kSessionTimeoutSeconds);
        if (iscsi_connect_sync(Context, address.c_str()) != 0 || iscsi_login_sync(Context) != 0) {
            return iscsi_get_error(Context);
        }
        return std::string();
    }

    // The INQUIRY data of `lun` (a VPD page when `page` is given); empty
    // when the command fails.
    std::string Inquiry(int lun, int evpd, int page, size_t length)
    {
        scsi_task *task = iscsi_inquiry_sync(Context, lun, evpd, page, static_cast<int>(length));
        std::string data;
        if (task != nullptr && task->status == SCSI_STATUS_GOOD) {
            data.assign(reinterpret_cast<const char *>(task->datain.data), static_cast<size_t>(task->datain.size));
        }
        if (task != nullptr) {
            scsi_free_scsi_task(task);
        }
        return data;
    }

    // TEST UNIT READY; a new nexus is first told of the power on through a
    // unit attention, which does not count against readiness.
    bool UnitReady(int lun)
    {
        for (int attempt = 0; attempt < 2; attempt++) {
            scsi_task *task = iscsi_testunitready_sync(Context, lun);
            if (task == nullptr) {
                return false;
            }
            bool ready = task->status == SCSI_STATUS_GOOD;
            bool attention = task->status == SCSI_STATUS_CHECK_CONDITION && task->sense.key == SCSI_SENSE_UNIT_ATTENTION;
            scsi_free_scsi_task(task);
            if (!attention) {
                return ready;
            }
        }
        return false;
    }
};

TEST(Tgtd, ServesTheUnitsAsSetThroughEachPortalAndAPulledCableBreaksTheSession)
{
    TgtdFixture fixture;
    std::string error = fixture.Start(kUnits);
    ASSERT_TRUE(error.empty()) << error;
    const std::vector<std::string> &portals = fixture.Daemon->Portals();
    ASSERT_EQ(portals.size(), tarntest::kTgtdPortals);
    EXPECT_NE(portals[0], portals[1]);

    for (const std::string &portal : portals) {
        SCOPED_TRACE(portal);
        Cable cable(portal);
        ASSERT_TRUE(cable.Start(&error)) << error;
        Session session(fixture.Access);
        ASSERT_EQ(session.Login(cable.Address()), "");
        EXPECT_EQ(cable.Connections(), 1u);
        for (const TgtdLogicalUnit &unit : kUnits) {
            SCOPED_TRACE(unit.Lun);
            std::string standard = session.Inquiry(static_cast<int>(unit.Lun), 0, 0, kStandardInquiryLength);
            ASSERT_GE(standard.size(), kStandardInquiryLength);
            EXPECT_EQ(standard.substr(kVendorOffset, 8), Padded(unit.Vendor, 8));
            EXPECT_EQ(standard.substr(kProductOffset, 16), Padded(unit.Product, 16));
            std::string serial =
                session.Inquiry(static_cast<int>(unit.Lun), 1, SCSI_INQUIRY_PAGECODE_UNIT_SERIAL_NUMBER, 255);
            ASSERT_GT(serial.size(), kSerialOffset);
            // tgtd right-aligns the number in a field of spaces.
            std::string number = serial.substr(kSerialOffset, static_cast<unsigned char>(serial[3]));
            EXPECT_EQ(number.substr(number.find_first_not_of(' ')), unit.Serial);
        }
        EXPECT_TRUE(session.UnitReady(1));

        cable.Set(CableState::Pulled);
        EXPECT_FALSE(session.UnitReady(1));
    }
}

TEST(Tgtd, RefusesUnitsItCannotSetWithoutAskingTheDaemon)
{
    TgtdFixture fixture;
    std::string error = fixture.Start(kUnits);
    ASSERT_TRUE(error.empty()) << error;
    struct Case {
        const char *Name;
        int Tid;
        TgtdLogicalUnit Unit;
    };
    const Case cases[] = {
        {"vendor over 8", 2, {1, 2048, "TARNCORP9", "P", "S"}},
        {"product over 16", 2, {1, 2048, "V", "TARN 4000 ISCSI X", "S"}},
        {"LUN 0", 2, {0, 2048, "V", "P", "S"}},
        {"comma in a value", 2, {1, 2048, "V", "P,Q", "S"}},
        {"duplicate tid", tarntest::kTgtdTargetId, {3, 2048, "V", "P", "S"}},
        {"blocks past a file's size", 2, {1, uint64_t(1) << 55, "V", "P", "S"}},
    };
    for (const Case &entry : cases) {
        error.clear();
        EXPECT_FALSE(fixture.Daemon->AddTarget(entry.Tid, "iqn.2026-12.test.tarn:other", {entry.Unit}, fixture.Access,
                                               &error))
            << entry.Name;
        EXPECT_FALSE(error.empty()) << entry.Name;
    }
    std::string shown;
    ASSERT_TRUE(fixture.Daemon->Admin({"--lld", "iscsi", "--op", "show", "--mode", "target"}, &shown, &error)) << error;
    EXPECT_EQ(shown.find("Target 2"), std::string::npos);
    EXPECT_EQ(shown.find("LUN: 3"), std::string::npos);

    EXPECT_FALSE(fixture.Daemon->Admin({"--lld", "iscsi", "--op", "show", "--mode", "target", "--tid", "9"}, &shown,
                                       &error));
    EXPECT_FALSE(error.empty()) << "tgtadm's message comes back";
}

TEST(Tgtd, RunsBesideAnotherSweepsOnlyDeadLeftoversAndStopsWithoutATrace)
{
    TgtdFixture first;
    std::string error = first.Start(kUnits);
    ASSERT_TRUE(error.empty()) << error;

    // The leftovers of a daemon that died: files whose lock nobody holds.
    int stale = first.Daemon->ControlPort() == 999 ? 998 : 999;
    int lockFile = open(ControlFile(stale, ".lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lockFile, 0);
    close(lockFile);
    int socketFile = open(ControlFile(stale).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(socketFile, 0);
    close(socketFile);

    TgtdFixture second;
    error = second.Start({kUnits[0]});
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_FALSE(Exists(ControlFile(stale)));
    EXPECT_FALSE(Exists(ControlFile(stale, ".lock")));

    EXPECT_NE(first.Daemon->ControlPort(), second.Daemon->ControlPort());
    std::set<std::string> portals(first.Daemon->Portals().begin(), first.Daemon->Portals().end());
    portals.insert(second.Daemon->Portals().begin(), second.Daemon->Portals().end());
    EXPECT_EQ(portals.size(), 2 * tarntest::kTgtdPortals);
    std::string shown;
    EXPECT_TRUE(first.Daemon->Admin({"--op", "show", "--mode", "system"}, &shown, &error))
        << "the live daemon's files were left alone: " << error;

    for (TgtdFixture *fixture : {&first, &second}) {
        pid_t pid = fixture->Daemon->Pid();
        int control = fixture->Daemon->ControlPort();
        std::string image = fixture->Directory / "lun1-1.img";
        ASSERT_TRUE(Exists(image));
        fixture->Daemon->Stop();
        fixture->Daemon->Stop();
        errno = 0;
        EXPECT_EQ(kill(pid, 0), -1);
        EXPECT_EQ(errno, ESRCH) << "tgtd " << pid << " is gone and reaped";
        EXPECT_FALSE(Exists(ControlFile(control)));
        EXPECT_FALSE(Exists(ControlFile(control, ".lock")));
        EXPECT_FALSE(Exists(image));
    }
}

// Anybody on the machine reaches the portals: only the run's initiator
// names get in, and only with the run's secret.
TEST(Tgtd, AdmitsOnlyTheRunsInitiatorsWithTheirSecret)
{
    TgtdFixture fixture;
    std::string error = fixture.Start(kUnits);
    ASSERT_TRUE(error.empty()) << error;
    const std::string portal = fixture.Daemon->Portals()[0];
    {
        Session own(fixture.Access);
        ASSERT_EQ(own.Login(portal), "");
        EXPECT_TRUE(own.UnitReady(1));
    }
    {
        Session foreign(fixture.Access, "iqn.2026-12.test.other:intruder");
        EXPECT_NE(foreign.Login(portal), "") << "a foreign initiator logged in";
    }
    {
        iscsi::TgtdAccess none;
        Session anonymous(none);
        EXPECT_NE(anonymous.Login(portal), "") << "an initiator without the secret logged in";
    }
    {
        Session guessing(fixture.Access, tarntest::kTgtdInitiator, "notthesecret1234");
        EXPECT_NE(guessing.Login(portal), "") << "a wrong secret logged in";
    }
    // Each run has an account of its own.
    iscsi::TgtdAccess other = Tgtd::NewAccess({"x"});
    EXPECT_NE(other.User, fixture.Access.User);
    EXPECT_NE(other.Secret, fixture.Access.Secret);
    EXPECT_GE(other.Secret.size(), 12u);
}

// tgtd and tgtadm run as root: they come from the system's directories,
// never from a PATH another user may have a say in.
TEST(TgtdPrograms, ComeFromTheSystemNotFromPath)
{
    tarntest::TempDirectory decoys{"tgtd-path"};
    for (const char *name : {"tgtd", "tgtadm"}) {
        std::string decoy = decoys / name;
        int fd = open(decoy.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "#!/bin/sh\n", 10), 10);
        close(fd);
    }
    std::string saved = getenv("PATH") != nullptr ? getenv("PATH") : "";
    setenv("PATH", decoys.Path().c_str(), 1);
    std::string daemon = Tgtd::ProgramPath("tgtd");
    std::string admin = Tgtd::ProgramPath("tgtadm");
    setenv("PATH", saved.c_str(), 1);
    EXPECT_TRUE(daemon == "/usr/sbin/tgtd" || daemon == "/sbin/tgtd") << daemon;
    EXPECT_TRUE(admin == "/usr/sbin/tgtadm" || admin == "/sbin/tgtadm") << admin;
}

} // namespace
