// The simulated dual-controller array, driven through SCSI commands only:
// identification data, stored blocks, the status buffer, faults, unit
// attentions and concurrent access.
#include "arraytest.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

using array::Fault;
using array::Nexus;
using array::Result;
using array::Scope;
using array::SimulatedArray;
using array::Transport;
using array::UnitAttention;
using testing::ElementsAre;
using testing::ElementsAreArray;
using namespace arraytest;

namespace {

constexpr uint64_t kBlocks = 1000;
constexpr uint64_t kHugeLun = 300;          // more blocks than READ CAPACITY(10) can say

struct Reply {
    Result R;
    Bytes Data;
};

// Runs one command with room for `in` bytes of data in (filled with 0xEE
// beforehand, so what the array did not write shows).
Reply Execute(SimulatedArray &sim, const Nexus &nexus, const Bytes &cdb, size_t in = 0, const Bytes &out = {})
{
    Reply reply;
    reply.Data.assign(in, 0xEE);
    array::Command command;
    command.Cdb = cdb.data();
    command.CdbLength = cdb.size();
    command.DataOut = out.empty() ? nullptr : out.data();
    command.DataOutLength = out.size();
    command.DataIn = in ? reply.Data.data() : nullptr;
    command.DataInLength = in;
    reply.R = sim.Execute(nexus, command);
    return reply;
}

// Two units, 0 and 7, and no power-on attention unless asked for.
array::ArrayConfig SmallConfig(bool powerOnAttention = false)
{
    array::ArrayConfig config;
    config.Units = {{0, kBlocks, 512}, {7, kBlocks, 512}};
    config.PowerOnAttention = powerOnAttention;
    return config;
}

Bytes Cdb16(uint8_t op, uint64_t lba, uint32_t blocks)
{
    Bytes cdb(16, 0);
    cdb[0] = op;
    for (int i = 0; i < 8; ++i) cdb[2 + i] = uint8_t(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) cdb[10 + i] = uint8_t(blocks >> (24 - 8 * i));
    return cdb;
}

Bytes Inquiry(bool evpd, uint8_t page, uint16_t allocation = 255)
{
    return {SCSIOP_INQUIRY, uint8_t(evpd), page, uint8_t(allocation >> 8), uint8_t(allocation), 0};
}

Bytes ReadBuffer(uint32_t offset, uint32_t allocation, uint8_t mode = 2, uint8_t id = 0x40)
{
    return {SCSIOP_READ_DATA_BUFF, mode, id, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
            uint8_t(allocation >> 16), uint8_t(allocation >> 8), uint8_t(allocation), 0};
}

class SimArray : public testing::Test {
protected:
    static array::ArrayConfig Config(uint64_t seed = 0x1D2C0730)
    {
        array::ArrayConfig config;
        config.Seed = seed;
        config.Units = {{0, kBlocks, 512}, {7, kBlocks, 512}, {kHugeLun, 1ULL << 33, 512}};
        config.PowerOnAttention = false;     // its own test below
        return config;
    }

    Reply Run(const Nexus &nexus, const Bytes &cdb, size_t in = 0, const Bytes &out = {})
    {
        return Execute(array_, nexus, cdb, in, out);
    }

    Bytes ReadBlocks(const Nexus &nexus, uint64_t lba, uint32_t blocks)
    {
        Reply reply = Run(nexus, Cdb10(SCSIOP_READ, lba, blocks), blocks * 512);
        EXPECT_EQ(reply.R.Status, SCSISTAT_GOOD);
        return reply.Data;
    }

    Result WriteBlocks(const Nexus &nexus, uint64_t lba, const Bytes &data)
    {
        return Run(nexus, Cdb10(SCSIOP_WRITE, lba, uint32_t(data.size() / 512)), 0, data).R;
    }

    int64_t now_ = 10 * 3600;
    SimulatedArray array_{Config(), [this] { return now_; }};
};

//
// Identification.
//

TEST_F(SimArray, StandardInquiryFieldsAndTruncation)
{
    Reply full = Run({1, 0, 0}, Inquiry(false, 0), 96);
    ASSERT_EQ(full.R.DataInTransferred, 36u);
    EXPECT_EQ(full.Data[0], 0x00);                        // qualifier 0, disk
    EXPECT_EQ(full.Data[2], 0x05);
    EXPECT_EQ(full.Data[3] & 0x0F, 2);
    EXPECT_EQ(full.Data[4], 31);
    EXPECT_EQ(std::string(&full.Data[8], &full.Data[36]), "KESTROM TARN 4000 FC    0730");
    EXPECT_EQ(full.Data[36], 0xEE);                       // nothing past the data

    EXPECT_EQ(Run({1, 0, 0}, Inquiry(false, 0, 5), 96).R.DataInTransferred, 5u);
    Reply smallRoom = Run({1, 0, 0}, Inquiry(false, 0, 255), 10);
    EXPECT_EQ(smallRoom.R.DataInTransferred, 10u);

    Reply absent = Run({1, 0, 3}, Inquiry(false, 0), 36);
    EXPECT_EQ(absent.R.Status, SCSISTAT_GOOD);
    EXPECT_EQ(absent.Data[0], 0x7F);                      // qualifier 3, type 1Fh

    EXPECT_EQ(Sense(Run({1, 0, 0}, Inquiry(false, 0x83)).R), kInvalidField);
    Bytes shortCdb = {SCSIOP_INQUIRY, 0, 0};
    EXPECT_EQ(Sense(Run({1, 0, 0}, shortCdb, 64).R), kInvalidField);
}

TEST_F(SimArray, DeviceIdentificationPageLayout)
{
    auto expected = [&](uint32_t port) {
        Bytes page = {0x00, 0x83, 0x00, 0x00};
        auto add = [&](Bytes head, const uint8_t *id, size_t n) {
            page.insert(page.end(), head.begin(), head.end());
            page.insert(page.end(), id, id + n);
        };
        auto name = array_.PortName(port);
        add({0x01, 0x93, 0x00, 8}, name.data(), 8);
        std::string vendor = "KESTROM TARN 4000 FC    " + array_.LuSerial(7);
        add({0x02, 0x01, 0x00, uint8_t(vendor.size())}, reinterpret_cast<const uint8_t *>(vendor.data()),
            vendor.size());
        auto lu = array_.LuIdentifier(7);
        add({0x01, 0x03, 0x00, 16}, lu.data(), 16);
        const uint8_t relative[4] = {0, 0, 0, uint8_t(port + 1)};
        add({0x01, 0x94, 0x00, 4}, relative, 4);
        page[3] = uint8_t(page.size() - 4);
        return page;
    };
    for (uint32_t port : {0u, 3u}) {
        Reply reply = Run({1, port, 7}, Inquiry(true, 0x83), 255);
        ASSERT_EQ(reply.R.Status, SCSISTAT_GOOD);
        reply.Data.resize(reply.R.DataInTransferred);
        EXPECT_EQ(reply.Data, expected(port)) << "port " << port;
    }
    EXPECT_NE(array_.PortName(0), array_.PortName(3));

    EXPECT_THAT(Run({1, 0, 7}, Inquiry(true, 0x00), 7).Data, ElementsAre(0, 0, 0, 3, 0x00, 0x80, 0x83));
    Reply serial = Run({1, 0, 7}, Inquiry(true, 0x80), 64);
    EXPECT_EQ(std::string(&serial.Data[4], &serial.Data[serial.R.DataInTransferred]), array_.LuSerial(7));
    EXPECT_EQ(Sense(Run({1, 0, 7}, Inquiry(true, 0xC0)).R), kInvalidField);
    EXPECT_EQ(Sense(Run({1, 0, 3}, Inquiry(true, 0x83)).R), kLunNotSupported);
}

// Each identification style, designator by designator: code set,
// association (with PIV where a port or the target device is named),
// type and length; the LU's NAA name is the first NAA not naming a port.
TEST(ArrayIdentification, EachStyleListsItsDesignators)
{
    struct Designator {
        int CodeSet, Association, Type;
        size_t Length;
    };
    struct Case {
        array::IdentifierStyle Style;
        std::vector<Designator> Expected;
    };
    const std::vector<Case> cases = {
        {array::IdentifierStyle::Standard, {{1, 1, 3, 8}, {2, 0, 1, 36}, {1, 0, 3, 16}, {1, 1, 4, 4}}},
        {array::IdentifierStyle::Short,
         {{1, 0, 2, 8}, {1, 0, 3, 8}, {1, 2, 3, 8}, {1, 1, 5, 4}, {1, 1, 4, 4}, {1, 1, 3, 8}}},
        // "naa." + 32 or 16 digits, the port's ",t,0x0003", and a NUL.
        {array::IdentifierStyle::Names,
         {{3, 0, 8, 37}, {3, 2, 8, 21}, {3, 1, 8, 30}, {1, 0, 3, 16}, {1, 2, 3, 8}, {1, 1, 5, 4}, {1, 1, 4, 4}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(array::IdentifierStyleName(c.Style));
        array::ArrayConfig config = SmallConfig();
        config.Identifiers = c.Style;
        SimulatedArray sim(config, [] { return int64_t(0); });
        const Reply reply = Execute(sim, {1, 2, 7}, Inquiry(true, 0x83), 255);     // port 2: controller 1
        ASSERT_EQ(reply.R.Status, SCSISTAT_GOOD);
        const Bytes page(reply.Data.begin(), reply.Data.begin() + reply.R.DataInTransferred);
        ASSERT_EQ(size_t(page[2] << 8 | page[3]) + 4, page.size());

        std::vector<Designator> found;
        Bytes luName;
        for (size_t at = 4; at + 4 <= page.size(); at += 4 + page[at + 3]) {
            const Designator d{page[at] & 0x0F, page[at + 1] >> 4 & 3, page[at + 1] & 0x0F, page[at + 3]};
            ASSERT_LE(at + 4 + d.Length, page.size());
            EXPECT_EQ((page[at + 1] & 0x80) != 0, d.Association != 0);
            const Bytes id(page.begin() + at + 4, page.begin() + at + 4 + d.Length);
            if (d.Type == 3 && d.Association != 1 && luName.empty()) {
                luName = id;
            }
            if (d.Type == 8) {
                EXPECT_EQ(id.back(), 0);
                EXPECT_EQ(std::string(id.begin(), id.begin() + 4), "naa.");
            }
            if (d.Type == 5) {
                EXPECT_THAT(id, ElementsAre(0, 0, 0, 2));
            }
            found.push_back(d);
        }
        ASSERT_EQ(found.size(), c.Expected.size());
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(std::make_tuple(found[i].CodeSet, found[i].Association, found[i].Type, found[i].Length),
                      std::make_tuple(c.Expected[i].CodeSet, c.Expected[i].Association, c.Expected[i].Type,
                                      c.Expected[i].Length))
                << "designator " << i;
        }
        EXPECT_EQ(luName, sim.LuIdentifier(7));
        EXPECT_NE(sim.LuIdentifier(0), sim.LuIdentifier(7));
    }
    array::IdentifierStyle style;
    EXPECT_TRUE(array::ParseIdentifierStyle("names", &style));
    EXPECT_EQ(style, array::IdentifierStyle::Names);
    EXPECT_FALSE(array::ParseIdentifierStyle("Names", &style));
}

// A status buffer of any length the firmware has: every reply is cut to
// it, and an offset past it is refused.
TEST(ArrayStatusBuffer, ConfiguredLengthBoundsEveryReply)
{
    for (size_t length : {size_t(1), size_t(6), size_t(8), size_t(100), size_t(448), size_t(600)}) {
        SCOPED_TRACE(length);
        array::ArrayConfig config = SmallConfig();
        config.StatusBufferLength = length;
        SimulatedArray sim(config, [] { return int64_t(0); });
        auto read = [&](uint32_t offset, uint32_t allocation) {
            Reply reply = Execute(sim, {1, 3, 0}, ReadBuffer(offset, allocation), 1024);
            reply.Data.resize(reply.R.DataInTransferred);
            return reply;
        };
        const Reply whole = read(0, 1024);
        ASSERT_EQ(whole.R.Status, SCSISTAT_GOOD);
        EXPECT_EQ(whole.Data.size(), length);
        if (length > 5) {
            EXPECT_EQ(whole.Data[4], 2);       // port 1 of controller 1, counted from 1
            EXPECT_EQ(whole.Data[5], 2);
        }
        EXPECT_EQ(read(0, 8).Data.size(), std::min<size_t>(length, 8));
        EXPECT_EQ(read(uint32_t(length), 8).R.DataInTransferred, 0u);
        EXPECT_EQ(Sense(read(uint32_t(length) + 1, 8).R), kInvalidField);
    }
    array::ArrayConfig tooLong;
    tooLong.StatusBufferLength = 0x1000000;
    EXPECT_THROW(SimulatedArray{tooLong}, std::invalid_argument);
}

TEST_F(SimArray, IdentifiersAreDeterministicAndDistinct)
{
    auto lu0 = array_.LuIdentifier(0), lu7 = array_.LuIdentifier(7);
    EXPECT_EQ(lu0[0] >> 4, 6);
    EXPECT_EQ(array_.PortName(1)[0] >> 4, 5);
    EXPECT_NE(lu0, lu7);
    EXPECT_NE(array_.LuSerial(0), array_.LuSerial(7));
    SimulatedArray same(Config()), other(Config(42));
    EXPECT_EQ(same.LuIdentifier(7), lu7);
    EXPECT_EQ(same.PortName(2), array_.PortName(2));
    EXPECT_NE(other.LuIdentifier(7), lu7);
    EXPECT_NE(other.PortName(2), array_.PortName(2));
    EXPECT_THROW(array_.LuIdentifier(3), std::out_of_range);

    array::ArrayConfig bad = Config();
    bad.Units.push_back({7, 10, 512});
    EXPECT_THROW(SimulatedArray{bad}, std::invalid_argument);
    bad = Config();
    bad.Vendor = "TOO LONG VENDOR";
    EXPECT_THROW(SimulatedArray{bad}, std::invalid_argument);
}

TEST_F(SimArray, ReportLunsAndReadCapacity)
{
    Reply luns = Run({1, 2, 0}, kReportLuns, 64);
    EXPECT_THAT(Bytes(luns.Data.begin(), luns.Data.begin() + 32),
                ElementsAreArray(Bytes{0, 0, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0,
                                       0x41, 0x2C, 0, 0, 0, 0, 0, 0}));

    Reply cap10 = Run({1, 0, 0}, Cdb10(SCSIOP_READ_CAPACITY, 0, 0), 8);
    EXPECT_THAT(cap10.Data, ElementsAre(0, 0, 0x03, 0xE7, 0, 0, 0x02, 0x00));
    EXPECT_THAT(Run({1, 0, kHugeLun}, Cdb10(SCSIOP_READ_CAPACITY, 0, 0), 8).Data, ElementsAre(0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0));
    Bytes cap16 = {SCSIOP_SERVICE_ACTION_IN16, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0};
    Reply huge = Run({1, 0, kHugeLun}, cap16, 32);
    EXPECT_THAT(Bytes(huge.Data.begin(), huge.Data.begin() + 12),
                ElementsAre(0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 2, 0));
}

//
// Stored data.
//

TEST_F(SimArray, OneLogicalUnitThroughEveryPort)
{
    EXPECT_EQ(ReadBlocks({1, 0, 0}, 10, 4), Bytes(4 * 512, 0));
    Bytes data(2 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
    ASSERT_EQ(WriteBlocks({1, 0, 0}, 11, data).Status, SCSISTAT_GOOD);
    for (uint32_t port = 1; port < 4; ++port) {
        Bytes back = ReadBlocks({2, port, 0}, 11, 2);
        EXPECT_EQ(back, data) << "port " << port;
    }
    Reply sixteen = Run({2, 3, 0}, Cdb16(SCSIOP_READ16, 10, 4), 4 * 512);
    EXPECT_EQ(Bytes(sixteen.Data.begin() + 512, sixteen.Data.begin() + 1536), data);
    EXPECT_EQ(Bytes(sixteen.Data.begin(), sixteen.Data.begin() + 512), Bytes(512, 0));
    EXPECT_EQ(ReadBlocks({1, 0, 7}, 11, 2), Bytes(2 * 512, 0));   // another LU, untouched

    ASSERT_EQ(Run({1, 1, 0}, Cdb16(SCSIOP_WRITE16, 11, 1), 0, Bytes(512, 0)).R.Status, SCSISTAT_GOOD);
    EXPECT_EQ(ReadBlocks({1, 2, 0}, 11, 1), Bytes(512, 0));
}

TEST_F(SimArray, OutOfRangeAndShortBuffersAreRejected)
{
    const Bytes data(2 * 512, 0xAB);
    ASSERT_EQ(WriteBlocks({1, 0, 0}, kBlocks - 2, data).Status, SCSISTAT_GOOD);

    EXPECT_EQ(Sense(Run({1, 0, 0}, Cdb10(SCSIOP_READ, kBlocks - 1, 2), 1024).R), kOutOfRange);
    EXPECT_EQ(Sense(Run({1, 0, 0}, Cdb16(SCSIOP_WRITE16, ~0ULL, 2), 0, Bytes(1024, 1)).R), kOutOfRange);
    EXPECT_EQ(Sense(Run({1, 0, 0}, Cdb16(SCSIOP_READ16, kBlocks, 0), 0).R)[0], 0);   // zero blocks at the end is legal

    Reply shortIn = Run({1, 0, 0}, Cdb10(SCSIOP_READ, kBlocks - 2, 2), 1023);
    EXPECT_EQ(Sense(shortIn.R), kInvalidField);
    EXPECT_EQ(shortIn.R.DataInTransferred, 0u);
    EXPECT_EQ(shortIn.Data, Bytes(1023, 0xEE));
    EXPECT_EQ(Sense(Run({1, 0, 0}, Cdb10(SCSIOP_WRITE, kBlocks - 2, 2), 0, Bytes(1023, 1)).R), kInvalidField);
    EXPECT_EQ(Sense(Run({1, 0, 0}, Cdb10(SCSIOP_WRITE, kBlocks - 2, 2)).R), kInvalidField);   // no buffer at all
    EXPECT_EQ(ReadBlocks({1, 0, 0}, kBlocks - 2, 2), data);

    Bytes truncated = Cdb16(SCSIOP_WRITE16, 0, 1);
    truncated.resize(10);
    EXPECT_EQ(Sense(Run({1, 0, 0}, truncated, 0, Bytes(512, 1)).R), kInvalidField);
    EXPECT_EQ(Sense(Run({1, 0, 0}, Bytes{0x2F, 0, 0, 0, 0, 0, 0, 0, 0, 0}).R), kInvalidOpcode);
    EXPECT_EQ(Sense(Run({1, 0, 3}, kTur).R), kLunNotSupported);
}

//
// Status buffer.
//

TEST_F(SimArray, StatusBufferNamesArrivalPortAndClocks)
{
    for (uint32_t port = 0; port < 4; ++port) {
        Reply head = Run({1, port, 0}, ReadBuffer(4, 4), 16);
        ASSERT_EQ(head.R.DataInTransferred, 4u);
        EXPECT_THAT(Bytes(head.Data.begin(), head.Data.begin() + 4),
                    ElementsAre(port % 2 + 1, port / 2 + 1, 0x00, 0x00)) << "port " << port;
    }
    Reply unset = Run({1, 0, 0}, ReadBuffer(0, 448), 448);
    ASSERT_EQ(unset.R.DataInTransferred, 448u);
    Bytes blank(448, 0);
    blank[4] = blank[5] = 1;
    EXPECT_EQ(unset.Data, blank);                          // no markers, no times

    array_.SetControllerClock(1, 23, 59, 58);
    now_ += 3;
    Reply set = Run({1, 3, 0}, ReadBuffer(0, 1000), 448);
    EXPECT_EQ(set.Data[6], 0x00);
    EXPECT_EQ(set.Data[7], 0xF1);
    EXPECT_THAT(Bytes(set.Data.begin() + 8 + 101, set.Data.begin() + 8 + 104), ElementsAre(0, 0, 0));
    EXPECT_THAT(Bytes(set.Data.begin() + 228 + 101, set.Data.begin() + 228 + 104), ElementsAre(0, 0, 1));
    array_.ClearControllerClock(1);
    EXPECT_EQ(Run({1, 3, 0}, ReadBuffer(7, 1), 1).Data[0], 0x00);

    EXPECT_EQ(Sense(Run({1, 0, 0}, ReadBuffer(0, 448, 2, 0x41), 448).R), kInvalidField);
    EXPECT_EQ(Sense(Run({1, 0, 0}, ReadBuffer(0, 448, 3), 448).R), kInvalidField);
    EXPECT_EQ(Sense(Run({1, 0, 0}, ReadBuffer(449, 1), 448).R), kInvalidField);
}

//
// Faults.
//

TEST_F(SimArray, EachFaultAtEachScopeHitsOnlyItsNexusesAndAReturningLinkLostThem)
{
    struct Case {
        Scope Where;
        std::vector<std::pair<uint32_t, uint32_t>> Hit, Spared;   // (initiator, target port)
    };
    const std::vector<Case> cases = {
        {Scope::OnPath(1, 2), {{1, 2}}, {{2, 2}, {1, 3}}},
        {Scope::OnTargetPort(2), {{1, 2}, {2, 2}}, {{1, 3}, {1, 0}}},
        {Scope::OnController(1), {{1, 2}, {2, 3}}, {{1, 0}, {2, 1}}},
    };
    const Bytes before(512, 0x11), attempt(512, 0x22);
    ASSERT_EQ(WriteBlocks({9, 0, 0}, 5, before).Status, SCSISTAT_GOOD);

    for (Fault fault : {Fault::LinkDown, Fault::NoAnswer, Fault::Busy, Fault::LunNotSupported}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << "fault " << int(fault) << " scope " << int(c.Where.Where));
            array_.SetFault(c.Where, fault);
            for (auto [initiator, port] : c.Hit) {
                const uint64_t executed = array_.Statistics().OnTargetPort(port);
                Result r = WriteBlocks({initiator, port, 0}, 5, attempt);
                switch (fault) {
                case Fault::LinkDown: EXPECT_EQ(r.Outcome, Transport::LinkDown); break;
                case Fault::NoAnswer: EXPECT_EQ(r.Outcome, Transport::NoAnswer); break;
                case Fault::Busy: EXPECT_EQ(r.Status, SCSISTAT_BUSY); break;
                case Fault::LunNotSupported: EXPECT_EQ(Sense(r), kLunNotSupported); break;
                }
                if (fault != Fault::LunNotSupported) {
                    EXPECT_EQ(array_.Statistics().OnTargetPort(port), executed);
                }
            }
            for (auto [initiator, port] : c.Spared) {
                EXPECT_EQ(Run({initiator, port, 0}, kTur).R.Status, SCSISTAT_GOOD);
            }
            EXPECT_EQ(ReadBlocks({9, 0, 0}, 5, 1), before);
            array_.ClearFault(c.Where, fault);
            array_.ClearFault(c.Where, fault);     // clearing what is not set raises nothing
            // A link that comes back, or a port that answers again, lost
            // its nexuses: I_T NEXUS LOSS once on each, and on no other;
            // BUSY and masking lost nothing.
            const bool lossy = fault == Fault::LinkDown || fault == Fault::NoAnswer;
            for (uint32_t initiator : {1u, 2u}) {
                for (uint32_t port = 0; port < array::kTargetPortCount; ++port) {
                    const bool inScope =
                        c.Where.Where == Scope::Level::Path
                            ? initiator == c.Where.Initiator && port == c.Where.TargetPort
                            : c.Where.Where == Scope::Level::TargetPort
                                  ? port == c.Where.TargetPort
                                  : SimulatedArray::ControllerOf(port) == c.Where.Controller;
                    Result r = Run({initiator, port, 0}, kTur).R;
                    if (lossy && inScope) {
                        EXPECT_EQ(Sense(r), kNexusLoss) << initiator << ":" << port;
                        r = Run({initiator, port, 0}, kTur).R;
                    }
                    EXPECT_EQ(r.Status, SCSISTAT_GOOD) << initiator << ":" << port;
                }
            }
        }
    }
}

TEST_F(SimArray, MaskedLunLooksAbsentOnThatPathOnly)
{
    array_.SetFault(Scope::OnPath(1, 1), Fault::LunNotSupported);
    EXPECT_EQ(Run({1, 1, 0}, Inquiry(false, 0), 36).Data[0], 0x7F);
    EXPECT_EQ(Sense(Run({1, 1, 0}, Inquiry(true, 0x83)).R), kLunNotSupported);
    EXPECT_EQ(Sense(Run({1, 1, 0}, Cdb10(SCSIOP_READ, 0, 1), 512).R), kLunNotSupported);
    EXPECT_THAT(Bytes(Run({1, 1, 0}, kReportLuns, 16).Data), ElementsAre(0, 0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE, 0xEE,
                                                                         0xEE, 0xEE, 0xEE, 0xEE, 0xEE));
    EXPECT_EQ(Run({1, 0, 0}, Inquiry(false, 0), 36).Data[0], 0x00);
    EXPECT_EQ(Run({2, 1, 0}, Cdb10(SCSIOP_READ, 0, 1), 512).R.Status, SCSISTAT_GOOD);
}

TEST_F(SimArray, FailedControllerReturnsWithPowerOnReset)
{
    array_.FailController(0);
    EXPECT_EQ(Run({1, 0, 0}, kTur).R.Outcome, Transport::LinkDown);
    EXPECT_EQ(Run({1, 1, 0}, kTur).R.Outcome, Transport::LinkDown);
    EXPECT_EQ(Run({1, 2, 0}, kTur).R.Status, SCSISTAT_GOOD);
    array_.ClearFault(Scope::OnController(0), Fault::LinkDown);   // a failure is not a switch
    EXPECT_EQ(Run({1, 0, 0}, kTur).R.Outcome, Transport::LinkDown);

    array_.RestoreController(0);
    EXPECT_EQ(Sense(Run({1, 1, 0}, kTur).R), kPowerOn);
    EXPECT_EQ(Run({1, 1, 0}, kTur).R.Status, SCSISTAT_GOOD);
    EXPECT_EQ(Run({1, 2, 0}, kTur).R.Status, SCSISTAT_GOOD);

    array_.FailController(1);
    array_.RestoreController(1, false);
    EXPECT_EQ(Run({1, 2, 0}, kTur).R.Status, SCSISTAT_GOOD);
}

// A powered-on array holds POWER ON RESET for every nexus and LU (the
// nexus loss of a returning link is in the fault test); INQUIRY and
// REPORT LUNS pass it by and leave it pending.
TEST(ArrayAttentions, PowerOnResetOncePerNexusAndLun)
{
    SimulatedArray sim(SmallConfig(true), [] { return int64_t(0); });
    auto run = [&](const Nexus &nexus, const Bytes &cdb, size_t in = 0) { return Execute(sim, nexus, cdb, in).R; };

    for (uint32_t port = 0; port < array::kTargetPortCount; ++port) {
        SCOPED_TRACE(testing::Message() << "port " << port);
        EXPECT_EQ(run({1, port, 7}, Inquiry(false, 0), 36).Status, SCSISTAT_GOOD);
        EXPECT_EQ(run({1, port, 7}, kReportLuns, 64).Status, SCSISTAT_GOOD);
        EXPECT_EQ(Sense(run({1, port, 7}, kTur)), kPowerOn);
        EXPECT_EQ(run({1, port, 7}, kTur).Status, SCSISTAT_GOOD);
        EXPECT_EQ(Sense(run({1, port, 0}, Cdb10(SCSIOP_READ, 0, 1), 512)), kPowerOn);   // once per LU
        EXPECT_EQ(run({1, port, 0}, kTur).Status, SCSISTAT_GOOD);
    }

    // Another initiator meets it as well.
    for (uint32_t port = 0; port < array::kTargetPortCount; ++port) {
        EXPECT_EQ(Sense(run({2, port, 0}, kTur)), kPowerOn);
        EXPECT_EQ(run({2, port, 0}, kTur).Status, SCSISTAT_GOOD);
    }
}

TEST_F(SimArray, UnitAttentionOncePerInitiatorPortAndLun)
{
    array_.RaiseUnitAttention(Scope::OnTargetPort(1), UnitAttention::ParametersChanged);
    EXPECT_EQ(Run({1, 1, 0}, Inquiry(false, 0)).R.Status, SCSISTAT_GOOD);
    EXPECT_EQ(Sense(Run({1, 1, 0}, Cdb10(SCSIOP_READ, 0, 1), 512).R), kParametersChanged);
    EXPECT_EQ(Run({1, 1, 0}, kTur).R.Status, SCSISTAT_GOOD);
    EXPECT_EQ(Sense(Run({5, 1, 7}, kTur).R), kParametersChanged);           // an initiator new to the port
    EXPECT_EQ(Run({1, 0, 0}, kTur).R.Status, SCSISTAT_GOOD);

    array_.RaiseUnitAttention(Scope::OnPath(1, 0), UnitAttention::PowerOnReset);
    array_.RaiseUnitAttention(Scope::OnController(0), UnitAttention::ParametersChanged);
    EXPECT_EQ(Sense(Run({1, 0, 0}, kTur).R), kPowerOn);             // the reset wins, and clears both
    EXPECT_EQ(Run({1, 0, 0}, kTur).R.Status, SCSISTAT_GOOD);
    Reply sense = Run({2, 0, 0}, {SCSIOP_REQUEST_SENSE, 0, 0, 0, 18, 0}, 18);
    EXPECT_EQ(sense.R.Status, SCSISTAT_GOOD);
    EXPECT_THAT(Bytes(sense.Data.begin() + 12, sense.Data.begin() + 14), ElementsAre(SCSI_ADSENSE_PARAMETERS_CHANGED, SCSI_SENSEQ_MODE_PARAMETERS_CHANGED));
    EXPECT_EQ(sense.Data[2], 6);
    EXPECT_EQ(Run({2, 0, 0}, kTur).R.Status, SCSISTAT_GOOD);

    array_.RaiseUnitAttention(Scope::OnTargetPort(3), UnitAttention::PowerOnReset);
    array_.ClearFaults();
    EXPECT_EQ(Run({1, 3, 0}, kTur).R.Status, SCSISTAT_GOOD);

    // Each logical unit reports it once to each initiator: consuming it on
    // one LUN leaves it pending on the others.
    array_.RaiseUnitAttention(Scope::OnPath(1, 2), UnitAttention::PowerOnReset);
    EXPECT_EQ(Sense(Run({1, 2, 0}, kTur).R), kPowerOn);
    EXPECT_EQ(Run({1, 2, 0}, kTur).R.Status, SCSISTAT_GOOD);
    EXPECT_EQ(Sense(Run({1, 2, 7}, kTur).R), kPowerOn);
    EXPECT_EQ(Run({1, 2, 7}, kTur).R.Status, SCSISTAT_GOOD);
}

//
// Concurrency.
//

TEST_F(SimArray, ConcurrentCommandsKeepBlocksWhole)
{
    constexpr int kThreads = 4, kRounds = 300;
    constexpr uint32_t kShared = 32;     // blocks long enough for a race to tear them
    std::atomic<int> torn{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const Nexus nexus{uint32_t(t + 1), uint32_t(t), 0};
            for (int round = 0; round < kRounds; ++round) {
                const uint8_t mark = uint8_t(t * 64 + round % 64 + 1);
                Bytes own(512, mark);
                // Own blocks, then one every thread fights over.
                if (WriteBlocks(nexus, 100 + t, own).Status != SCSISTAT_GOOD ||
                    WriteBlocks(nexus, 0, Bytes(kShared * 512, mark)).Status != SCSISTAT_GOOD) {
                    ++failed;
                }
                Reply mine = Run(nexus, Cdb10(SCSIOP_READ, 100 + t, 1), 512);
                Reply shared = Run(nexus, Cdb10(SCSIOP_READ, 0, kShared), kShared * 512);
                if (mine.Data != own) ++failed;
                if (Bytes(kShared * 512, shared.Data[0]) != shared.Data) ++torn;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    const array::ArrayStatistics stats = array_.Statistics();
    EXPECT_EQ(stats.WithOpcode(SCSIOP_WRITE), uint64_t(2 * kThreads * kRounds));
    EXPECT_EQ(stats.WithOpcode(SCSIOP_READ), uint64_t(2 * kThreads * kRounds));
    for (uint32_t port = 0; port < 4; ++port) EXPECT_EQ(stats.OnTargetPort(port), uint64_t(4 * kRounds));
}

} // namespace
