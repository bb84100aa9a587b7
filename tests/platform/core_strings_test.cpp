// Counted strings, 16-bit formatting and UTF conversions of the user-mode
// kernel.
#include "core_testutil.h"

#include <ntstrsafe.h>

#include <gmock/gmock.h>

using coretest::VerifierRecorder;
using testing::HasSubstr;

namespace {

std::u16string Text(const WCHAR *buffer)
{
    return std::u16string(buffer);
}

TEST(CoreStrings, LengthsCountBytesOrUnitsWithoutTheTerminator)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"Tarn");
    EXPECT_EQ(s.Length, 8u);
    EXPECT_EQ(s.MaximumLength, 10u);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length | s.MaximumLength, 0u);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(wcslen(u""), 0u);
    EXPECT_EQ(wcslen(u"\\Device\\Tarn"), 12u);
}

TEST(CoreStrings, CopyTruncatesToTheDestination)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"\\Device\\MPIODisk7");
    WCHAR buffer[8];
    buffer[7] = u'#';
    UNICODE_STRING destination{0, 7 * sizeof(WCHAR) + 1, buffer};   // odd capacity: whole characters only
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 14u);
    EXPECT_EQ(std::u16string(buffer, 7), u"\\Device");
    EXPECT_EQ(buffer[7], u'#');

    WCHAR roomy[32];
    UNICODE_STRING wide{0, sizeof(roomy), roomy};
    RtlCopyUnicodeString(&wide, &source);
    EXPECT_EQ(Text(roomy), u"\\Device\\MPIODisk7");   // terminated when there is room
    RtlCopyUnicodeString(&wide, nullptr);
    EXPECT_EQ(wide.Length, 0u);
}

TEST(CoreStrings, EqualIgnoresAsciiCaseOnlyWhenAsked)
{
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, u"\\Registry\\Machine\\System");
    RtlInitUnicodeString(&b, u"\\REGISTRY\\machine\\SYSTEM");
    RtlInitUnicodeString(&c, u"\\REGISTRY\\machine\\SYSTEMS");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &a, FALSE));
}

TEST(CoreStrings, FreeUnicodeStringReturnsItsPoolBuffer)
{
    UNICODE_STRING s;
    s.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 16, host::Tag("RegQ")));
    s.Length = 8;
    s.MaximumLength = 16;
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(s.Length, 0u);
    EXPECT_EQ(s.MaximumLength, 0u);
    EXPECT_EQ(host::PoolOutstanding(), 0u);
    RtlFreeUnicodeString(&s);   // an empty string is fine to free again
}

TEST(CoreFormat, CountedAndTerminatedWideTextMakeA16BitPath)
{
    UNICODE_STRING key;
    RtlInitUnicodeString(&key, u"\\Registry\\Machine\\Services\\tarndsm-EXTRA");
    key.Length -= 6 * sizeof(WCHAR);   // a counted string need not end at a NUL
    WCHAR buffer[128];
    for (WCHAR &c : buffer) {
        c = u'~';
    }
    int n = swprintf(buffer, u"%wZ\\%ls", &key, u"Parameters");
    std::u16string expected = u"\\Registry\\Machine\\Services\\tarndsm\\Parameters";
    EXPECT_EQ(Text(buffer), expected);
    EXPECT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_EQ(sizeof(buffer[0]), 2u);
    EXPECT_EQ(buffer[n + 1], u'~');   // nothing written past the terminator
}

// 'l' is 32 bits (LLP64) even where the host's long is 64; NULL strings print as "(null)".
TEST(CoreFormat, ConversionsFollowTheWindowsDataModel)
{
    WCHAR b[128];
    swprintf(b, u"%s|%ws|%c|%lc|%%", "narrow", u"wide", 'x', static_cast<int>(u'\x20AC'));
    EXPECT_EQ(Text(b), u"narrow|wide|x|\x20AC|%");
    swprintf(b, u"%d %i %u %x %X", -42, 7, 4000000000u, 0xBEEFu, 0xBEEFu);
    EXPECT_EQ(Text(b), u"-42 7 4000000000 beef BEEF");
    swprintf(b, u"[%5d][%-5d][%05d][%-05d][%.3d][%08X]", 42, 42, -42, 42, 7, 0x1234ABu);
    EXPECT_EQ(Text(b), u"[   42][42   ][-0042][42   ][007][001234AB]");
    swprintf(b, u"[%6ls][%-6s][%.2s][%*d]", u"ab", "cd", "efgh", 4, 9);
    EXPECT_EQ(Text(b), u"[    ab][cd    ][ef][   9]");
    ULONG ulong = 0xFFFFFFFFu;
    LONG slong = -5;
    ULONGLONG big = 0x123456789ABCDEF0ull;
    swprintf(b, u"%lu %ld %lx|%I64u %I64X %llx|%hd %hu", ulong, slong, ulong, big, big, big,
             static_cast<int>(static_cast<short>(-2)), 0x1FFFFu);
    EXPECT_EQ(Text(b), u"4294967295 -5 ffffffff|1311768467463790320 123456789ABCDEF0 123456789abcdef0|-2 65535");
    int64_t negative = -9000000000LL;
    swprintf(b, u"%I64d %lld", negative, negative);
    EXPECT_EQ(Text(b), u"-9000000000 -9000000000");
    swprintf(b, u"%ls %s %wZ", static_cast<const WCHAR *>(nullptr), static_cast<const char *>(nullptr),
             static_cast<PUNICODE_STRING>(nullptr));
    EXPECT_EQ(Text(b), u"(null) (null) (null)");
}

TEST(CoreFormat, SnwprintfTruncatesWithoutATerminatorAndReturnsMinusOne)
{
    WCHAR b[16];
    for (WCHAR &c : b) {
        c = u'~';
    }
    EXPECT_EQ(_snwprintf(b, 4, u"%d", 123456), -1);
    EXPECT_EQ(std::u16string(b, 5), u"1234~");   // no terminator, nothing past Count

    for (WCHAR &c : b) {
        c = u'~';
    }
    EXPECT_EQ(_snwprintf(b, 4, u"%ls", u"abcd"), 4);   // exactly fits: no room for the NUL
    EXPECT_EQ(std::u16string(b, 5), u"abcd~");

    EXPECT_EQ(_snwprintf(b, 16, u"Path%u", 3u), 5);
    EXPECT_EQ(Text(b), u"Path3");
}

// The safe string functions: the size is always honoured, the result
// always terminated, and a cut reported as STATUS_BUFFER_OVERFLOW.
TEST(CoreFormat, BoundedFormattingCutsShortTerminatesAndSaysSo)
{
    char a[8];
    memset(a, '~', sizeof(a));
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof(a), "%d:%d:%d", 9, 5, 30), STATUS_SUCCESS);
    EXPECT_STREQ(a, "9:5:30");
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof(a), "[%c%c%c %x]", 'A', 'B', 'C', 0x1F), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(a, "[ABC 1f");
    EXPECT_EQ(a[7], 0);
    // 'l' is 32 bits and I64 64, as on the target.
    EXPECT_EQ(RtlStringCchPrintfA(a, 4, "%lu", 0xFFFFFFFFu), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(a, "429");
    char wide[32];
    EXPECT_EQ(RtlStringCbPrintfA(wide, sizeof(wide), "%I64X/%lX", 0x123456789ull, 0xABCDu), STATUS_SUCCESS);
    EXPECT_STREQ(wide, "123456789/ABCD");

    // No room at all, or a size past the limit: refused, nothing written.
    a[0] = '~';
    EXPECT_EQ(RtlStringCbPrintfA(a, 0, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchPrintfA(a, (size_t)NTSTRSAFE_MAX_CCH + 1, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a[0], '~');

    WCHAR w[6];
    EXPECT_EQ(RtlStringCchPrintfW(w, RTL_NUMBER_OF(w), u"%ls\\%u", u"Key", 7u), STATUS_SUCCESS);
    EXPECT_EQ(Text(w), u"Key\\7");
    EXPECT_EQ(RtlStringCbPrintfW(w, sizeof(w), u"%08x", 0x1234u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Text(w), u"00001");
    EXPECT_EQ(RtlStringCbPrintfW(w, 1, u"x"), STATUS_INVALID_PARAMETER);   // not one whole character
}

// 16-bit text formatting and the C library's generator need a low IRQL.
TEST(CoreFormat, WideFormattingAndRandAreVerifierFailuresAtDispatchLevel)
{
    VerifierRecorder verifier;
    WCHAR w[16];
    char a[16];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Tarn");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof(a), "0x%X", 0xC0000185u), STATUS_SUCCESS);   // 8-bit: allowed
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
    RtlStringCchPrintfW(w, RTL_NUMBER_OF(w), u"%u", 1u);
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("RtlStringCchPrintfW"), HasSubstr("DISPATCH_LEVEL")));
    swprintf(w, u"%wZ", &name);
    EXPECT_THAT(verifier.One(), HasSubstr("swprintf"));
    RtlStringCbPrintfA(a, sizeof(a), "%wZ", &name);
    EXPECT_THAT(verifier.Take(), testing::Contains(HasSubstr("16-bit text formatting")));
    rand();
    EXPECT_THAT(verifier.One(), AllOf(HasSubstr("rand"), HasSubstr("PASSIVE_LEVEL")));
    KeLowerIrql(old);

    srand(1);
    int first = rand();
    EXPECT_GE(first, 0);
    EXPECT_LE(first, 32767);
    srand(1);
    EXPECT_EQ(rand(), first);
    EXPECT_THAT(verifier.Take(), testing::IsEmpty());
}

TEST(CoreFormat, UnknownConversionIsAVerifierFailure)
{
    VerifierRecorder verifier;
    WCHAR b[32];
    swprintf(b, u"%q", 1);
    EXPECT_THAT(verifier.One(), HasSubstr("%q"));
}

TEST(CoreStrings, NarrowAndWidenRoundTripUtf16)
{
    std::u16string text = u"Pfad \u00E9\u20AC \U0001F600 end";
    std::string utf8 = host::detail::Narrow(text);
    EXPECT_EQ(utf8, "Pfad \xC3\xA9\xE2\x82\xAC \xF0\x9F\x98\x80 end");
    EXPECT_EQ(host::detail::Widen(utf8), text);
    EXPECT_EQ(host::detail::Widen("a\xFF" "b"), u"a\uFFFDb");   // malformed input does not stop conversion
    EXPECT_EQ(host::detail::Narrow(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

} // namespace
