// Wire formats handed to the platform: the registration record and the
// error-log packet are byte-exact for the 32-bit platform, and keep the
// same field order with natural alignment in the 64-bit build.  Wide
// text is 16 bits in every build.
#include "driverfixture.h"

#include <cstddef>

namespace tarntest {
namespace {

static_assert(sizeof(WCHAR) == 2, "the driver's wide text is 16-bit");
static_assert(sizeof(TARN_WIDE("x")[0]) == 2, "wide literals are 16-bit");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "32-bit ULONG in every build");
static_assert(alignof(LARGE_INTEGER) == 8, "64-bit integers are 8-byte aligned in structures, as on Windows x86");
// The packet keeps its 8-byte-aligned DeviceOffset: 48 bytes, not 44.
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "error-log packet");
static_assert(offsetof(IO_ERROR_LOG_PACKET, ErrorCode) == 12, "error-log packet");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DeviceOffset) == 32, "error-log packet");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40, "error-log packet");

#if defined(__i386__)
#include "wirelayout.h"
#else
static_assert(offsetof(DSM_INIT_DATA, DsmInquireDriver) == sizeof(PVOID), "slot 1 after the size, aligned");
static_assert(offsetof(DSM_INIT_DATA, DsmBroadcastSrb) == 19 * sizeof(PVOID), "nineteen slots in order");
static_assert(offsetof(DSM_INIT_DATA, DsmWmiInfo) == 20 * sizeof(PVOID), "WMI block after the slots");
static_assert(offsetof(DSM_INIT_DATA, DsmContext) == offsetof(DSM_INIT_DATA, DsmWmiInfo) + sizeof(DSM_WMILIB_CONTEXT),
              "context after the WMI block");
static_assert(offsetof(DSM_INIT_DATA, RecordRevision) == offsetof(DSM_INIT_DATA, Reserved) + 4, "final words");
#endif

TEST(LayoutTest, WideFormattingProducesSixteenBitText)
{
    WCHAR buffer[TARN_SERVICE_KEY_PATH_CHARS];
    UNICODE_STRING service;
    RtlInitUnicodeString(&service, TARN_WIDE("tarndsm"));
    ASSERT_EQ(DsmFormatKeyPath(buffer, TARN_SERVICE_KEY_PATH_CHARS, &service, TARN_WIDE("Parameters")),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"tarndsm\\Parameters");

    // A name that does not fit is refused, and nothing is written past the buffer.
    WCHAR small[20];
    for (auto &c : small) {
        c = u'#';
    }
    EXPECT_EQ(DsmFormatKeyPath(small, 18, &service, TARN_WIDE("Parameters")), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(small[0], u'#');
    EXPECT_EQ(DsmFormatKeyPath(small, 18, &service, NULL), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(small), u"tarndsm");
    EXPECT_EQ(small[8], u'#');
}

} // namespace
} // namespace tarntest
