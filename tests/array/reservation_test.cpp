// Persistent reservations on the simulated array, as two hosts sharing it
// see them: host A (initiators 0x101 and 0x102) and host B (0x201 and
// 0x202), each with one path through port 0 and one through port 2.
#include "arraytest.h"

#include <gmock/gmock.h>

#include <tuple>
#include <vector>

using array::Nexus;
using array::ReservationType;
using array::Result;
using array::Scope;
using array::SimulatedArray;
using array::UnitAttention;
using testing::ElementsAre;
using namespace arraytest;

namespace {

constexpr uint8_t kRegister = 0, kReserve = 1, kRelease = 2, kClear = 3, kPreempt = 4, kPreemptAndAbort = 5,
                  kRegisterIgnore = 6;
constexpr uint8_t kReadKeys = 0, kReadReservation = 1, kReportCapabilities = 2;
constexpr uint8_t kEaRo = 6;          // EXCLUSIVE ACCESS - REGISTRANTS ONLY
constexpr uint64_t kKeyA = 0xA0A0A0A0A0A0A0A1ULL, kKeyB = 0xB0B0B0B0B0B0B0B2ULL;

const Nexus kA1{0x101, 0, 0}, kA2{0x102, 2, 0}, kB1{0x201, 0, 0}, kB2{0x202, 2, 0};
const Nexus kOutsider{0x301, 0, 0};
const Bytes kInquiry = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};

Bytes Rw(uint8_t op, uint32_t lba) { return {op, 0, 0, 0, uint8_t(lba >> 8), uint8_t(lba), 0, 0, 1, 0}; }

uint64_t Be(const Bytes &data, size_t at, size_t n)
{
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i) value = value << 8 | data[at + i];
    return value;
}

class Reservations : public testing::Test {
protected:
    Result Run(const Nexus &nexus, const Bytes &cdb, Bytes *in = nullptr, const Bytes &out = {})
    {
        array::Command command;
        command.Cdb = cdb.data();
        command.CdbLength = cdb.size();
        command.DataOut = out.empty() ? nullptr : out.data();
        command.DataOutLength = out.size();
        command.DataIn = in ? in->data() : nullptr;
        command.DataInLength = in ? in->size() : 0;
        return array_.Execute(nexus, command);
    }

    Result Prout(const Nexus &nexus, uint8_t action, uint8_t type, uint64_t key, uint64_t serviceKey,
                 uint32_t listLength = 24, uint8_t flags = 0, size_t dataLength = 24)
    {
        const Bytes cdb = {SCSIOP_PERSISTENT_RESERVE_OUT, action, type, 0, 0, uint8_t(listLength >> 24), uint8_t(listLength >> 16),
                           uint8_t(listLength >> 8), uint8_t(listLength), 0};
        Bytes list(dataLength, 0);
        for (size_t i = 0; i < 8 && 16 <= dataLength; ++i) {
            list[i] = uint8_t(key >> (56 - 8 * i));
            list[8 + i] = uint8_t(serviceKey >> (56 - 8 * i));
        }
        if (dataLength > 20) list[20] = flags;
        return Run(nexus, cdb, nullptr, list);
    }

    // Returns what PERSISTENT RESERVE IN transferred, cut to that.
    Bytes Prin(const Nexus &nexus, uint8_t action, uint16_t allocation = 256, size_t room = 256,
               Result *result = nullptr)
    {
        Bytes data(room, 0xEE);
        const Bytes cdb = {SCSIOP_PERSISTENT_RESERVE_IN, action, 0, 0, 0, 0, 0, uint8_t(allocation >> 8), uint8_t(allocation), 0};
        Result r = Run(nexus, cdb, &data);
        if (result) *result = r;
        EXPECT_LE(r.DataInTransferred, room);
        data.resize(r.DataInTransferred);
        return data;
    }

    uint8_t Status(const Nexus &nexus, const Bytes &cdb)
    {
        Bytes in(512);
        Bytes out(512, 0x5A);
        const bool write = cdb[0] == SCSIOP_WRITE || cdb[0] == SCSIOP_WRITE16;
        return Run(nexus, cdb, write ? nullptr : &in, write ? out : Bytes{}).Status;
    }

    // The reservation's holder nexus, key and type; all zero when none.
    std::tuple<uint32_t, uint32_t, uint64_t, ReservationType> Holder()
    {
        auto r = array_.ReservationOf(0);
        return r ? std::make_tuple(r->Initiator, r->TargetPort, r->Key, r->Type)
                 : std::make_tuple(0u, 0u, uint64_t(0), ReservationType(0));
    }

    // Each host registers every path of its own with its key.
    void RegisterAll()
    {
        for (const Nexus &n : {kA1, kA2}) ASSERT_EQ(Prout(n, kRegisterIgnore, 0, 0, kKeyA).Status, 0);
        for (const Nexus &n : {kB1, kB2}) ASSERT_EQ(Prout(n, kRegisterIgnore, 0, 0, kKeyB).Status, 0);
    }

    // The one pending unit attention, then nothing.
    void ExpectAttentionOnce(const Nexus &nexus, const SenseTriple &expected)
    {
        SCOPED_TRACE(testing::Message() << "initiator " << std::hex << nexus.Initiator << " lun " << nexus.Lun);
        EXPECT_EQ(Sense(Run(nexus, kTur)), expected);
        Result again = Run(nexus, kTur);
        EXPECT_EQ(again.Status, SCSISTAT_GOOD);
    }

    static array::ArrayConfig Config()
    {
        array::ArrayConfig config;
        config.Units = {{0, 1000, 512}, {7, 1000, 512}};
        return config;
    }

    // Each host started its disks: the power-on attention is met once on
    // every nexus and LU, and gone after that.
    void SetUp() override
    {
        for (const Nexus &host : {kA1, kA2, kB1, kB2, kOutsider}) {
            for (uint64_t lun : {0, 7}) {
                ExpectAttentionOnce({host.Initiator, host.TargetPort, lun}, kPowerOn);
            }
        }
    }

    SimulatedArray array_{Config(), [] { return int64_t(0); }};
};

TEST_F(Reservations, RegistrantsOnlyReservationFencesOutsidersAndPreemptedHost)
{
    RegisterAll();
    ASSERT_EQ(Prout(kA1, kReserve, kEaRo, kKeyA, 0).Status, SCSISTAT_GOOD);
    EXPECT_EQ(Holder(), std::make_tuple(kA1.Initiator, kA1.TargetPort, kKeyA,
                                        ReservationType::ExclusiveAccessRegistrantsOnly));

    // Every registrant has access; an unregistered initiator has none.
    for (const Nexus &n : {kA1, kA2, kB1, kB2}) {
        EXPECT_EQ(Status(n, Rw(SCSIOP_WRITE, 3)), SCSISTAT_GOOD);
        EXPECT_EQ(Status(n, Rw(SCSIOP_READ, 3)), SCSISTAT_GOOD);
    }
    Result conflict = Run(kOutsider, Rw(SCSIOP_READ, 3));
    EXPECT_EQ(conflict.Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(conflict.SenseLength, 0u);
    EXPECT_EQ(Status(kOutsider, Rw(SCSIOP_WRITE, 3)), SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(Status({kOutsider.Initiator, 0, 7}, Rw(SCSIOP_WRITE, 3)), SCSISTAT_GOOD);   // another LU is free

    // Host A fences host B off by removing its key.
    ASSERT_EQ(Prout(kA1, kPreempt, kEaRo, kKeyA, kKeyB).Status, SCSISTAT_GOOD);
    EXPECT_EQ(Run(kB1, kInquiry).Status, SCSISTAT_GOOD);   // leaves the unit attention pending
    EXPECT_EQ(Sense(Run(kB1, Rw(SCSIOP_READ, 3))), kRegistrationsPreempted);
    EXPECT_EQ(Sense(Run(kB2, Rw(SCSIOP_READ, 3))), kRegistrationsPreempted);
    for (const Nexus &n : {kB1, kB2}) {
        EXPECT_EQ(Status(n, Rw(SCSIOP_READ, 3)), SCSISTAT_RESERVATION_CONFLICT);
        EXPECT_EQ(Status(n, Rw(SCSIOP_WRITE, 4)), SCSISTAT_RESERVATION_CONFLICT);
        EXPECT_EQ(Status(n, kTur), SCSISTAT_GOOD);
        EXPECT_EQ(Status(n, kInquiry), SCSISTAT_GOOD);
        EXPECT_EQ(Prin(n, kReadKeys).size(), 8u + 16u);
    }

    // The holder host's other path keeps full access; the refused writes
    // left nothing behind.
    Bytes back(512);
    ASSERT_EQ(Run(kA2, Rw(SCSIOP_READ, 4), &back).Status, SCSISTAT_GOOD);
    EXPECT_EQ(back, Bytes(512, 0));
    ASSERT_EQ(Status(kA2, Rw(SCSIOP_WRITE, 4)), SCSISTAT_GOOD);
    ASSERT_EQ(Run(kA2, Rw(SCSIOP_READ, 4), &back).Status, SCSISTAT_GOOD);
    EXPECT_EQ(back, Bytes(512, 0x5A));
    EXPECT_EQ(array_.Registrations(0).size(), 2u);
}

TEST_F(Reservations, ReadKeysAndReadReservationReportState)
{
    EXPECT_THAT(Prin(kA1, kReadKeys), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_THAT(Prin(kA1, kReadReservation), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));

    RegisterAll();
    ASSERT_EQ(Prout(kA1, kReserve, kEaRo, kKeyA, 0).Status, 0);      // RESERVE leaves the generation
    Bytes keys = Prin(kB2, kReadKeys);
    ASSERT_EQ(keys.size(), 8u + 32u);
    EXPECT_THAT((std::vector<uint64_t>{Be(keys, 0, 4), Be(keys, 4, 4), Be(keys, 8, 8), Be(keys, 16, 8),
                                       Be(keys, 24, 8), Be(keys, 32, 8)}),
                ElementsAre(4u, 32u, kKeyA, kKeyA, kKeyB, kKeyB));   // generation, length, keys

    Bytes held = Prin(kB1, kReadReservation);
    ASSERT_EQ(held.size(), 24u);
    EXPECT_THAT((std::vector<uint64_t>{Be(held, 0, 4), Be(held, 4, 4), Be(held, 8, 8), held[21]}),
                ElementsAre(4u, 16u, kKeyA, kEaRo));                // scope 0, type 6

    // A new key for the holder's nexus keeps its place and its reservation.
    ASSERT_EQ(Prout(kA1, kRegister, 0, kKeyA, 0x1234).Status, 0);
    EXPECT_EQ(array_.PrGeneration(0), 5u);
    keys = Prin(kB2, kReadKeys);
    EXPECT_EQ(Be(keys, 8, 8), 0x1234u);
    EXPECT_EQ(Be(Prin(kB1, kReadReservation), 8, 8), 0x1234u);

    // Truncated to the allocation length and to the room, never past them.
    Result r;
    keys = Prin(kA1, kReadKeys, 8, 256, &r);
    EXPECT_EQ(r.Status, SCSISTAT_GOOD);
    EXPECT_THAT(keys, ElementsAre(0, 0, 0, 5, 0, 0, 0, 32));          // the full length, not what fits
    EXPECT_EQ(Prin(kA1, kReadKeys, 256, 12).size(), 12u);
    EXPECT_EQ(Prin(kA1, kReadKeys, 0, 256).size(), 0u);

    EXPECT_THAT(Prin(kA1, kReportCapabilities), ElementsAre(0, 8, 0x01, 0x81, 0x6A, 0x00, 0, 0));
    Prin(kA1, 3, 256, 256, &r);
    EXPECT_EQ(Sense(r), kInvalidField);

    // Registrations belong to one logical unit.
    EXPECT_THAT(Prin({kA1.Initiator, 0, 7}, kReadKeys), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_THROW(array_.Registrations(3), std::out_of_range);
}

TEST_F(Reservations, ReleaseByHolderNotifiesOtherRegistrantsOnce)
{
    RegisterAll();
    ASSERT_EQ(Prout(kA1, kReserve, kEaRo, kKeyA, 0).Status, 0);
    EXPECT_EQ(Sense(Prout(kA1, kRelease, 1, kKeyA, 0)), kInvalidRelease);
    EXPECT_EQ(Prout(kB1, kRelease, kEaRo, kKeyB, 0).Status, SCSISTAT_GOOD);   // not the holder: no-op
    EXPECT_TRUE(array_.ReservationOf(0).has_value());
    EXPECT_EQ(Prout(kB1, kRelease, kEaRo, kKeyA, 0).Status, SCSISTAT_RESERVATION_CONFLICT);

    ASSERT_EQ(Prout(kA1, kRelease, kEaRo, kKeyA, 0).Status, SCSISTAT_GOOD);
    EXPECT_FALSE(array_.ReservationOf(0).has_value());
    EXPECT_EQ(array_.PrGeneration(0), 4u);
    for (const Nexus &n : {kA2, kB1, kB2}) ExpectAttentionOnce(n, kReleased);
    EXPECT_EQ(Run(kA1, kTur).Status, SCSISTAT_GOOD);
    EXPECT_EQ(Run({kB1.Initiator, 0, 7}, kTur).Status, SCSISTAT_GOOD);    // only the released LU
    EXPECT_EQ(Status(kOutsider, Rw(SCSIOP_WRITE, 1)), SCSISTAT_GOOD);

    // A holder that unregisters takes a registrants-only reservation along.
    ASSERT_EQ(Prout(kB1, kReserve, 5, kKeyB, 0).Status, 0);
    ASSERT_EQ(Prout(kB1, kRegister, 0, kKeyB, 0).Status, 0);
    EXPECT_FALSE(array_.ReservationOf(0).has_value());
    EXPECT_EQ(array_.Registrations(0).size(), 3u);
    for (const Nexus &n : {kA1, kA2, kB2}) ExpectAttentionOnce(n, kReleased);
    EXPECT_EQ(Run(kB1, kTur).Status, SCSISTAT_GOOD);
}

TEST_F(Reservations, ClearFromOtherHostDropsEverything)
{
    RegisterAll();
    ASSERT_EQ(Prout(kA1, kReserve, kEaRo, kKeyA, 0).Status, 0);
    EXPECT_EQ(Prout(kB1, kClear, 0, kKeyA, 0).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(array_.Registrations(0).size(), 4u);

    array_.RaiseUnitAttention(Scope::OnPath(kA1.Initiator, 0), UnitAttention::ParametersChanged);
    ASSERT_EQ(Prout(kB1, kClear, 0, kKeyB, 0).Status, SCSISTAT_GOOD);
    EXPECT_TRUE(array_.Registrations(0).empty());
    EXPECT_FALSE(array_.ReservationOf(0).has_value());
    EXPECT_EQ(array_.PrGeneration(0), 5u);

    // Both conditions reach A1, one per command.
    EXPECT_EQ(Sense(Run(kA1, kTur)), kParametersChanged);
    ExpectAttentionOnce(kA1, kPreempted);
    ExpectAttentionOnce(kA2, kPreempted);
    ExpectAttentionOnce(kB2, kPreempted);
    EXPECT_EQ(Run(kB1, kTur).Status, SCSISTAT_GOOD);
    EXPECT_EQ(Status(kOutsider, Rw(SCSIOP_READ, 1)), SCSISTAT_GOOD);

    // A power-on reset subsumes a pending reservation condition.
    RegisterAll();
    ASSERT_EQ(Prout(kB1, kClear, 0, kKeyB, 0).Status, 0);
    array_.RaiseUnitAttention(Scope::OnPath(kA1.Initiator, 0), UnitAttention::PowerOnReset);
    ExpectAttentionOnce(kA1, kPowerOn);
}

TEST_F(Reservations, PreemptRemovesKeysAndTakesOverTheReservation)
{
    RegisterAll();
    EXPECT_EQ(Prout(kB1, kPreempt, kEaRo, kKeyB, 0x999).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(Prout(kOutsider, kPreempt, kEaRo, 0, kKeyA).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(Prout(kB1, kPreempt, kEaRo, kKeyA, kKeyA).Status, SCSISTAT_RESERVATION_CONFLICT);

    // Without a reservation it only removes registrations.
    ASSERT_EQ(Prout(kB1, kPreemptAndAbort, kEaRo, kKeyB, kKeyA).Status, SCSISTAT_GOOD);
    EXPECT_FALSE(array_.ReservationOf(0).has_value());
    EXPECT_EQ(array_.Registrations(0).size(), 2u);
    ExpectAttentionOnce(kA1, kRegistrationsPreempted);
    ExpectAttentionOnce(kA2, kRegistrationsPreempted);

    RegisterAll();
    ASSERT_EQ(Prout(kA1, kReserve, kEaRo, kKeyA, 0).Status, 0);
    const uint32_t generation = array_.PrGeneration(0);
    EXPECT_EQ(Sense(Prout(kB1, kPreempt, kEaRo, kKeyB, 0)), kInvalidParameter);
    EXPECT_EQ(array_.PrGeneration(0), generation);

    // Preempting the holder with a new type: B1 holds exclusive access, B2
    // stays registered but is told the old reservation is gone.
    ASSERT_EQ(Prout(kB1, kPreempt, 3, kKeyB, kKeyA).Status, SCSISTAT_GOOD);
    EXPECT_EQ(Holder(), std::make_tuple(kB1.Initiator, kB1.TargetPort, kKeyB, ReservationType::ExclusiveAccess));
    EXPECT_EQ(array_.PrGeneration(0), generation + 1);
    EXPECT_EQ(Sense(Run(kA1, kTur)), kRegistrationsPreempted);
    EXPECT_EQ(Sense(Run(kB2, kTur)), kReleased);
    EXPECT_EQ(Status(kB2, Rw(SCSIOP_READ, 0)), SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(Status(kB1, Rw(SCSIOP_WRITE, 0)), SCSISTAT_GOOD);

    // The holder may preempt its own key to change type, keeping its registration.
    ASSERT_EQ(Prout(kB1, kPreempt, 1, kKeyB, kKeyB).Status, SCSISTAT_GOOD);
    EXPECT_EQ(array_.ReservationOf(0)->Type, ReservationType::WriteExclusive);
    ASSERT_EQ(array_.Registrations(0).size(), 1u);
    EXPECT_EQ(array_.Registrations(0)[0].Initiator, kB1.Initiator);
    EXPECT_EQ(Sense(Run(kB2, kTur)), kRegistrationsPreempted);
}

TEST_F(Reservations, WrongKeysAndUnregisteredNexusesConflict)
{
    EXPECT_EQ(Prout(kA1, kRegister, 0, kKeyA, kKeyA).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_TRUE(array_.Registrations(0).empty());
    EXPECT_EQ(Prout(kA1, kReserve, kEaRo, 0, 0).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(Prout(kA1, kClear, 0, 0, 0).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(array_.PrGeneration(0), 0u);

    RegisterAll();
    EXPECT_EQ(Prout(kA1, kRegister, 0, kKeyB, 0x55).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(array_.Registrations(0)[0].Key, kKeyA);
    EXPECT_EQ(Prout(kA1, kReserve, kEaRo, kKeyB, 0).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_FALSE(array_.ReservationOf(0).has_value());
    EXPECT_EQ(array_.PrGeneration(0), 4u);

    ASSERT_EQ(Prout(kA1, kReserve, kEaRo, kKeyA, 0).Status, SCSISTAT_GOOD);
    EXPECT_EQ(Prout(kA1, kReserve, kEaRo, kKeyA, 0).Status, SCSISTAT_GOOD);
    EXPECT_EQ(Prout(kA1, kReserve, 3, kKeyA, 0).Status, SCSISTAT_RESERVATION_CONFLICT);
    // Another nexus of the same host is not the holder.
    EXPECT_EQ(Prout(kA2, kReserve, kEaRo, kKeyA, 0).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(Prout(kB1, kReserve, kEaRo, kKeyB, 0).Status, SCSISTAT_RESERVATION_CONFLICT);
    EXPECT_EQ(array_.ReservationOf(0)->Initiator, kA1.Initiator);

    // REGISTER AND IGNORE EXISTING KEY replaces whatever key is there.
    ASSERT_EQ(Prout(kA2, kRegisterIgnore, 0, 0x777, 0x42).Status, SCSISTAT_GOOD);
    EXPECT_EQ(array_.Registrations(0)[1].Key, 0x42u);
}

TEST_F(Reservations, MalformedCommandsChangeNothing)
{
    RegisterAll();
    auto expectUnchanged = [&](const Result &r, const SenseTriple &sense) {
        EXPECT_EQ(Sense(r), sense);
        EXPECT_EQ(array_.PrGeneration(0), 4u);
        EXPECT_FALSE(array_.ReservationOf(0).has_value());
    };
    expectUnchanged(Prout(kA1, kReserve, kEaRo, kKeyA, 0, 0), kParameterLength);
    expectUnchanged(Prout(kA1, kReserve, kEaRo, kKeyA, 0, 25, 0, 25), kParameterLength);
    expectUnchanged(Prout(kA1, kRegister, 0, kKeyA, 0x55, 24, 0, 23), kInvalidField);   // less data than promised
    expectUnchanged(Prout(kA1, kRegister, 0, kKeyA, 0x55, 24, 0, 0), kInvalidField);
    expectUnchanged(Prout(kA1, kReserve, 2, kKeyA, 0), kInvalidField);                 // no such type
    expectUnchanged(Prout(kA1, kReserve, 0x16, kKeyA, 0), kInvalidField);              // scope other than LU
    expectUnchanged(Prout(kA1, kPreempt, 8, kKeyA, kKeyB), kInvalidField);
    expectUnchanged(Prout(kA1, 7, 0, kKeyA, 0), kInvalidField);                       // REGISTER AND MOVE
    expectUnchanged(Prout(kA1, kRegister, 0, kKeyA, 0x55, 24, 0x08), kInvalidParameter);   // SPEC_I_PT
    expectUnchanged(Prout(kA1, kRegister, 0, kKeyA, 0x55, 24, 0x04), kInvalidParameter);   // ALL_TG_PT
    const Bytes shortCdb = {SCSIOP_PERSISTENT_RESERVE_OUT, kClear, 0, 0, 0, 0};
    expectUnchanged(Run(kA1, shortCdb), kInvalidField);
    EXPECT_EQ(array_.Registrations(0)[0].Key, kKeyA);

    // APTPL is accepted: the state survives everything the array simulates.
    EXPECT_EQ(Prout(kA1, kRegister, 0, kKeyA, 0x55, 24, 0x01).Status, SCSISTAT_GOOD);
    EXPECT_EQ(array_.Registrations(0)[0].Key, 0x55u);
}

TEST_F(Reservations, FaultsComeFirstAndLeaveStateAlone)
{
    RegisterAll();
    for (array::Fault fault : {array::Fault::LinkDown, array::Fault::NoAnswer, array::Fault::Busy}) {
        array_.SetFault(Scope::OnPath(kA1.Initiator, 0), fault);
        Prout(kA1, kReserve, kEaRo, kKeyA, 0);
        EXPECT_FALSE(array_.ReservationOf(0).has_value()) << int(fault);
        array_.ClearFault(Scope::OnPath(kA1.Initiator, 0), fault);
    }
    // The returning link lost the nexus, not its registration; the command
    // that meets the attention does nothing.
    EXPECT_EQ(Sense(Prout(kA1, kReserve, kEaRo, kKeyA, 0)), kNexusLoss);
    EXPECT_FALSE(array_.ReservationOf(0).has_value());
    ASSERT_EQ(Prout(kA1, kReserve, kEaRo, kKeyA, 0).Status, 0);
    array_.FailController(0);
    array_.RestoreController(0);
    array_.ClearFaults();
    EXPECT_EQ(array_.Registrations(0).size(), 4u);
    EXPECT_TRUE(array_.ReservationOf(0).has_value());
    EXPECT_EQ(Status(kOutsider, Rw(SCSIOP_READ, 0)), SCSISTAT_RESERVATION_CONFLICT);
}

TEST(ReservationConflicts, CommandsAllowedPerTypeAndRelation)
{
    enum Who { kHolder, kRegistrant, kStranger };
    constexpr ReservationType kWe = ReservationType::WriteExclusive, kEa = ReservationType::ExclusiveAccess,
                              kWeRo = ReservationType::WriteExclusiveRegistrantsOnly,
                              kEaRo = ReservationType::ExclusiveAccessRegistrantsOnly;
    struct Row {
        ReservationType Type;
        bool Read[3], Write[3];     // by holder, registrant, stranger
    };
    const Row rows[] = {
        {kWe, {true, true, true}, {true, false, false}},
        {kEa, {true, false, false}, {true, false, false}},
        {kWeRo, {true, true, true}, {true, true, false}},
        {kEaRo, {true, true, false}, {true, true, false}},
    };
    const uint8_t always[] = {SCSIOP_INQUIRY, SCSIOP_REPORT_LUNS, SCSIOP_REQUEST_SENSE, SCSIOP_TEST_UNIT_READY,
                              SCSIOP_READ_CAPACITY, SCSIOP_SERVICE_ACTION_IN16, SCSIOP_PERSISTENT_RESERVE_IN,
                              SCSIOP_PERSISTENT_RESERVE_OUT, SCSIOP_READ_DATA_BUFF};
    for (const Row &row : rows) {
        for (Who who : {kHolder, kRegistrant, kStranger}) {
            auto allows = [&](uint8_t op) {
                return array::ReservationAllows(op, row.Type, who != kStranger, who == kHolder);
            };
            SCOPED_TRACE(testing::Message() << "type " << int(row.Type) << " who " << who);
            for (uint8_t op : {SCSIOP_READ, SCSIOP_READ16}) EXPECT_EQ(allows(op), row.Read[who]);
            for (uint8_t op : {SCSIOP_WRITE, SCSIOP_WRITE16, SCSIOP_SYNCHRONIZE_CACHE}) {
                EXPECT_EQ(allows(op), row.Write[who]);   // one it does not know counts as a write
            }
            for (uint8_t op : always) EXPECT_TRUE(allows(op)) << int(op);
        }
    }
}

} // namespace
