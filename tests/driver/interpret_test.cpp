// Error interpretation: each rule, the order in which they are tried,
// and what a path failure does to the drive and the event log.
#include "driverfixture.h"
#include <algorithm>
#include <cstring>
#include <iterator>

namespace tarntest {
namespace {

constexpr UCHAR kAutosenseError = SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID;
constexpr UCHAR kNoSense = 0xFF;

enum Outcome { kNeither, kRetry, kPathFailure };

struct ErrorCase {
    const char *Name;
    NTSTATUS Status;
    UCHAR SrbStatus;
    UCHAR Opcode;
    Outcome Expected;
    UCHAR SenseKey = kNoSense;     // kNoSense: no sense data in the buffer
    UCHAR Asc = 0, Ascq = 0;
    UCHAR Function = SRB_FUNCTION_EXECUTE_SCSI;
};

const ErrorCase kCases[] = {
    {"device gone", STATUS_DEVICE_NOT_CONNECTED, SRB_STATUS_SUCCESS, SCSIOP_READ, kPathFailure},
    {"device does not exist", STATUS_DEVICE_DOES_NOT_EXIST, SRB_STATUS_ERROR, SCSIOP_READ, kPathFailure},
    {"no such device", STATUS_NO_SUCH_DEVICE, kAutosenseError, SCSIOP_READ, kPathFailure,
     SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_BUS_RESET, 0},
    {"unit attention before unsupported LU", STATUS_IO_DEVICE_ERROR, kAutosenseError, SCSIOP_WRITE, kRetry,
     SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_INVALID_LUN, 0},
    {"unit attention without the sense flag", STATUS_IO_DEVICE_ERROR, SRB_STATUS_ERROR, SCSIOP_WRITE, kNeither,
     SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_BUS_RESET, 0},
    {"bus reset", STATUS_IO_DEVICE_ERROR, SRB_STATUS_BUS_RESET, SCSIOP_READ, kRetry},
    {"bus reset, queue frozen", STATUS_IO_DEVICE_ERROR, SRB_STATUS_BUS_RESET | SRB_STATUS_QUEUE_FROZEN, SCSIOP_READ,
     kNeither},
    {"overflow on READ before selection timeout", STATUS_BUFFER_OVERFLOW, SRB_STATUS_SELECTION_TIMEOUT, SCSIOP_READ,
     kRetry},
    {"overflow on WRITE", STATUS_BUFFER_OVERFLOW, SRB_STATUS_DATA_OVERRUN, SCSIOP_WRITE, kRetry},
    {"selection timeout", STATUS_IO_DEVICE_ERROR, SRB_STATUS_SELECTION_TIMEOUT, SCSIOP_READ, kPathFailure},
    {"no HBA whatever the status", STATUS_SUCCESS, SRB_STATUS_NO_HBA, SCSIOP_READ, kPathFailure},
    {"invalid LUN", STATUS_IO_DEVICE_ERROR, SRB_STATUS_INVALID_LUN, SCSIOP_READ, kPathFailure},
    {"invalid target", STATUS_IO_DEVICE_ERROR, SRB_STATUS_INVALID_TARGET_ID, SCSIOP_READ, kPathFailure},
    {"no device", STATUS_IO_DEVICE_ERROR, SRB_STATUS_NO_DEVICE, SCSIOP_READ, kPathFailure},
    {"invalid path", STATUS_IO_DEVICE_ERROR, SRB_STATUS_INVALID_PATH_ID, SCSIOP_READ, kPathFailure},
    {"logical unit not supported", STATUS_IO_DEVICE_ERROR, kAutosenseError, SCSIOP_READ, kPathFailure,
     SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 0},
    {"another qualifier", STATUS_IO_DEVICE_ERROR, kAutosenseError, SCSIOP_READ, kNeither,
     SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 1},
    {"unsupported LU without the sense flag", STATUS_IO_DEVICE_ERROR, SRB_STATUS_ERROR, SCSIOP_READ, kNeither,
     SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_LUN, 0},
    {"timeout", STATUS_IO_TIMEOUT, SRB_STATUS_TIMEOUT, SCSIOP_WRITE, kPathFailure},
    {"command timeout", STATUS_IO_TIMEOUT, SRB_STATUS_COMMAND_TIMEOUT, SCSIOP_WRITE, kPathFailure},
    {"timeout status with another SRB status", STATUS_IO_TIMEOUT, SRB_STATUS_ERROR, SCSIOP_WRITE, kNeither},
    {"invalid I/O control", STATUS_IO_DEVICE_ERROR, SRB_STATUS_INVALID_REQUEST, 0, kNeither,
     kNoSense, 0, 0, SRB_FUNCTION_IO_CONTROL},
    {"MODE SENSE overrun", STATUS_BUFFER_OVERFLOW, SRB_STATUS_DATA_OVERRUN, SCSIOP_MODE_SENSE, kNeither},
    {"busy", STATUS_IO_DEVICE_ERROR, SRB_STATUS_BUSY, SCSIOP_READ, kNeither},
};

// A row of the table, by its name.
const ErrorCase &Case(const char *name)
{
    const ErrorCase *found = std::find_if(std::begin(kCases), std::end(kCases),
                                          [&](const ErrorCase &c) { return strcmp(c.Name, name) == 0; });
    if (found == std::end(kCases)) {
        ADD_FAILURE() << "no case named " << name;
        return kCases[0];
    }
    return *found;
}

class InterpretTest : public OneDriveTest {
protected:
    void SetUp() override
    {
        OneDriveTest::SetUp();
        Locked([&] { drive_->currentPath = paths_[0]; });
        host::ClearEventLog();
    }

    ULONG Interpret(PVOID path, const ErrorCase &error, NTSTATUS *status, BOOLEAN *retry)
    {
        SCSI_REQUEST_BLOCK srb{};
        UCHAR sense[18] = {};
        srb.Function = error.Function;
        srb.SrbStatus = error.SrbStatus;
        srb.Cdb[0] = error.Opcode;
        srb.SenseInfoBuffer = sense;
        srb.SenseInfoBufferLength = sizeof(sense);
        if (error.SenseKey != kNoSense) {
            sense[0] = 0x70;
            sense[2] = error.SenseKey;
            sense[7] = 10;
            sense[12] = error.Asc;
            sense[13] = error.Ascq;
        }
        *status = error.Status;
        return DsmInterpretError(Context(), path, &srb, status, retry);
    }

    static std::string Label(PPDO_ENTRY path) { return std::string(path->PathIdString, path->PathIdStringLen); }

    static std::string FailoverTarget()
    {
        auto strings = host::EventStrings(host::EventLog().back());
        return strings.size() == 2 ? std::string(strings[1].begin(), strings[1].end()) : std::string();
    }
};

// Each rule, and the order that decides between rules that both match.
TEST_F(InterpretTest, TheFirstMatchingRuleDecides)
{
    for (const ErrorCase &error : kCases) {
        SCOPED_TRACE(error.Name);
        Locked([&] {
            paths_[0]->HealthState = PDO_HEALTH_HEALTHY;
            drive_->currentPath = paths_[0];
        });
        host::ClearEventLog();
        NTSTATUS status;
        BOOLEAN retry = 7;
        ULONG result = Interpret(paths_[0], error, &status, &retry);

        EXPECT_EQ(status, error.Status);   // never changed
        EXPECT_EQ(retry, error.Expected == kRetry);
        EXPECT_EQ(result, error.Expected == kPathFailure ? (ULONG)DSM_FATAL_ERROR : 0u);
        EXPECT_EQ(paths_[0]->HealthState, error.Expected == kPathFailure ? (ULONG)PDO_HEALTH_FAILING
                                                                          : (ULONG)PDO_HEALTH_HEALTHY);
        EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), error.Expected == kPathFailure ? 1 : 0);
    }
}

// A path failure fails the drive over at once to the path the scoring
// prefers, and the event names that path; every further error on the
// failing path says so again.
TEST_F(InterpretTest, APathFailureFailsTheDriveOverAndSaysWhere)
{
    const ErrorCase &timeout = Case("timeout");
    Locked([&] {
        paths_[0]->ControllerNumber = 0;
        paths_[1]->ControllerNumber = 0;
        paths_[2]->ControllerNumber = 1;
        paths_[3]->ControllerNumber = 1;
    });
    NTSTATUS status;
    BOOLEAN retry;
    EXPECT_EQ(Interpret(paths_[0], timeout, &status, &retry), (ULONG)DSM_FATAL_ERROR);
    PPDO_ENTRY next = drive_->currentPath;
    ASSERT_NE(next, paths_[0]);
    EXPECT_EQ(next->ControllerNumber, 1);   // the other controller
    EXPECT_EQ(FailoverTarget(), Label(next));
    auto strings = host::EventStrings(host::EventLog().back());
    EXPECT_EQ(std::string(strings[0].begin(), strings[0].end()), drive_->SerialNumber);

    EXPECT_EQ(Interpret(paths_[0], timeout, &status, &retry), (ULONG)DSM_FATAL_ERROR);
    EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 2);
    EXPECT_EQ(drive_->currentPath, next);

    // A failed path stays failed, but the error is still the path's.
    Locked([&] { paths_[0]->HealthState = PDO_HEALTH_FAILED; });
    EXPECT_EQ(Interpret(paths_[0], timeout, &status, &retry), (ULONG)DSM_FATAL_ERROR);
    EXPECT_EQ(paths_[0]->HealthState, (ULONG)PDO_HEALTH_FAILED);
    EXPECT_EQ(CountEvents(TARN_MSG_FAILOVER), 3);

    // A drive left with no path at all: the event says so in words.
    Locked([&] {
        for (PPDO_ENTRY path : paths_) {
            path->HealthState = PDO_HEALTH_PENDING_REMOVE;
        }
        drive_->currentPath = nullptr;
    });
    EXPECT_EQ(Interpret(paths_[1], timeout, &status, &retry), (ULONG)DSM_FATAL_ERROR);
    EXPECT_EQ(FailoverTarget(), "no available path");
    EXPECT_NE(host::RenderEvent(host::EventLog().back()).find("has failed over to no available path"),
              std::string::npos);
}

TEST_F(InterpretTest, AnUnknownPathIsCountedAndLeftAlone)
{
    uint64_t calls = DsmRequestCounters.InterpretErrorCalls;
    PDO_ENTRY stranger{};
    NTSTATUS status = STATUS_IO_TIMEOUT;
    BOOLEAN retry = 7;
    EXPECT_EQ(DsmInterpretError(Context(), &stranger, nullptr, &status, &retry), 0u);
    EXPECT_EQ(retry, 7);
    EXPECT_EQ(DsmRequestCounters.InterpretErrorCalls, calls + 1);
    EXPECT_TRUE(host::EventLog().empty());
}

} // namespace
} // namespace tarntest
