/*++

Module Name:

    strings.cpp

Abstract:

    Counted strings and the kernel C library's 16-bit text functions of
    the user-mode kernel, and the host's UTF-16 <-> UTF-8 conversions.

    WCHAR is char16_t: the C library's wide functions (32-bit wchar_t)
    are never used.  swprintf and _snwprintf follow the Windows kernel's
    conventions where they differ from C's: the 'l' size prefix is 32 bits
    (LLP64), 'I64'/'ll' are 64 bits and 'I' is pointer-sized; %wZ prints a
    PUNICODE_STRING; _snwprintf returns -1 when the output does not fit
    and then leaves the buffer without a terminator.  As the driver's
    surface documents, %s is 8-bit text (%ls and %ws are 16-bit).  An
    unknown conversion is a verifier failure (a format bug in the caller).

--*/

#include "coreinternal.h"

#include <ntstrsafe.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace host {
namespace detail {

namespace {

// Decodes the UTF-8 sequence at in[at]: its length and code point, or 0
// when it is malformed (a bad or truncated sequence, an overlong form, a
// surrogate, a code point beyond U+10FFFF).
size_t DecodeSequence(std::string_view in, size_t at, uint32_t *codePoint)
{
    static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    unsigned char lead = static_cast<unsigned char>(in[at]);
    uint32_t cp;
    size_t n;
    if (lead < 0x80) {
        cp = lead;
        n = 1;
    } else if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1F;
        n = 2;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0F;
        n = 3;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07;
        n = 4;
    } else {
        return 0;
    }
    if (at + n > in.size()) {
        return 0;
    }
    for (size_t k = 1; k < n; k++) {
        unsigned char next = static_cast<unsigned char>(in[at + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < kMinimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    *codePoint = cp;
    return n;
}

void AppendUtf16(uint32_t cp, std::u16string *out)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(cp));
    }
}

} // namespace

bool DecodeUtf8(std::string_view in, std::u16string *out)
{
    // No text widens to more units than it has bytes: one allocation,
    // and plain ASCII (nearly all of it) copied without decoding.
    out->resize(in.size());
    char16_t *next = &(*out)[0];
    for (size_t i = 0; i < in.size();) {
        unsigned char lead = static_cast<unsigned char>(in[i]);
        if (lead < 0x80) {
            *next++ = lead;
            i++;
            continue;
        }
        uint32_t cp;
        size_t n = DecodeSequence(in, i, &cp);
        if (n == 0) {
            out->clear();
            return false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            *next++ = static_cast<char16_t>(0xD800 + (cp >> 10));
            *next++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            *next++ = static_cast<char16_t>(cp);
        }
        i += n;
    }
    out->resize(next - out->data());
    return true;
}

// UTF-16 to UTF-8.  An unpaired surrogate becomes U+FFFD and clears *exact.
std::string EncodeUtf8(std::u16string_view in, bool *exact)
{
    std::string out;
    if (exact != nullptr) {
        *exact = true;
    }
    for (size_t i = 0; i < in.size(); i++) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
            if (exact != nullptr) {
                *exact = false;
            }
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string Narrow(const std::u16string &text)
{
    return EncodeUtf8(text, nullptr);
}

// Lenient: each malformed byte becomes U+FFFD.
std::u16string Widen(const std::string &text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        size_t n = DecodeSequence(text, i, &cp);
        if (n == 0) {
            cp = 0xFFFD;
            n = 1;
        }
        AppendUtf16(cp, &out);
        i += n;
    }
    return out;
}

} // namespace detail

namespace {

char16_t FoldAscii(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

//
// The formatter behind swprintf and _snwprintf.
//
class Output {
public:
    Output(WCHAR *buffer, size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}

    void Put(char16_t c)
    {
        if (m_count < m_capacity) {
            m_buffer[m_count] = c;
        }
        m_count++;
    }
    void Repeat(char16_t c, size_t n)
    {
        for (size_t i = 0; i < n; i++) {
            Put(c);
        }
    }
    size_t Count() const { return m_count; }

private:
    WCHAR *m_buffer;
    size_t m_capacity;
    size_t m_count = 0;
};

struct FieldFormat {
    bool Left = false;
    bool Zero = false;
    bool Plus = false;
    bool Space = false;
    bool Alternate = false;
    int Width = 0;
    int Precision = -1;   // none
};

enum class Size { Default, Char, Short, Long32, Long64, Pointer, SizeT, Wide };

// Pads and writes text of length n (16-bit units), read by at(i).
template <typename At>
void PutText(Output &out, const FieldFormat &field, size_t n, At at)
{
    if (field.Precision >= 0 && n > static_cast<size_t>(field.Precision)) {
        n = static_cast<size_t>(field.Precision);
    }
    size_t pad = field.Width > 0 && static_cast<size_t>(field.Width) > n ? field.Width - n : 0;
    if (!field.Left) {
        out.Repeat(u' ', pad);
    }
    for (size_t i = 0; i < n; i++) {
        out.Put(at(i));
    }
    if (field.Left) {
        out.Repeat(u' ', pad);
    }
}

void PutWide(Output &out, const FieldFormat &field, const WCHAR *text, size_t length)
{
    PutText(out, field, length, [text](size_t i) { return text[i]; });
}

void PutNarrow(Output &out, const FieldFormat &field, const char *text, size_t length)
{
    // 8-bit text is taken as Latin-1 (ASCII in practice), one unit per byte.
    PutText(out, field, length, [text](size_t i) { return static_cast<char16_t>(static_cast<unsigned char>(text[i])); });
}

size_t BoundedLength16(const WCHAR *text, int precision)
{
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && text[n] != 0) {
        n++;
    }
    return n;
}

size_t BoundedLength8(const char *text, int precision)
{
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && text[n] != 0) {
        n++;
    }
    return n;
}

void PutInteger(Output &out, const FieldFormat &field, uint64_t magnitude, bool negative, unsigned base, bool upper,
                const char *prefix)
{
    char digits[64];
    size_t n = 0;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    if (!(magnitude == 0 && field.Precision == 0)) {
        do {
            digits[n++] = set[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
    }
    size_t precisionZeros = field.Precision > 0 && static_cast<size_t>(field.Precision) > n ? field.Precision - n : 0;
    char sign = negative ? '-' : field.Plus ? '+' : field.Space ? ' ' : 0;
    size_t prefixLength = strlen(prefix);
    size_t length = (sign != 0) + prefixLength + precisionZeros + n;
    size_t pad = field.Width > 0 && static_cast<size_t>(field.Width) > length ? field.Width - length : 0;
    bool zeroPad = field.Zero && !field.Left && field.Precision < 0;

    if (!field.Left && !zeroPad) {
        out.Repeat(u' ', pad);
    }
    if (sign != 0) {
        out.Put(static_cast<char16_t>(sign));
    }
    for (size_t i = 0; i < prefixLength; i++) {
        out.Put(static_cast<char16_t>(prefix[i]));
    }
    if (zeroPad) {
        out.Repeat(u'0', pad);
    }
    out.Repeat(u'0', precisionZeros);
    while (n > 0) {
        out.Put(static_cast<char16_t>(digits[--n]));
    }
    if (field.Left) {
        out.Repeat(u' ', pad);
    }
}

// Reads a conversion's flags, width, precision and size from f, just
// past its '%', and the arguments a '*' takes; f ends at the conversion
// character.  args is the caller's own list, read on through the pointer.
void ParseField(const WCHAR *&f, va_list *args, FieldFormat &field, Size &size)
{
    for (;; f++) {
        if (*f == u'-') {
            field.Left = true;
        } else if (*f == u'0') {
            field.Zero = true;
        } else if (*f == u'+') {
            field.Plus = true;
        } else if (*f == u' ') {
            field.Space = true;
        } else if (*f == u'#') {
            field.Alternate = true;
        } else {
            break;
        }
    }
    if (*f == u'*') {
        field.Width = va_arg(*args, int);
        if (field.Width < 0) {
            field.Left = true;
            field.Width = -field.Width;
        }
        f++;
    } else {
        while (*f >= u'0' && *f <= u'9') {
            field.Width = field.Width * 10 + (*f++ - u'0');
        }
    }
    if (*f == u'.') {
        f++;
        field.Precision = 0;
        if (*f == u'*') {
            field.Precision = va_arg(*args, int);
            if (field.Precision < 0) {
                field.Precision = -1;
            }
            f++;
        } else {
            while (*f >= u'0' && *f <= u'9') {
                field.Precision = field.Precision * 10 + (*f++ - u'0');
            }
        }
    }
    size = Size::Default;
    if (f[0] == u'I' && f[1] == u'6' && f[2] == u'4') {
        size = Size::Long64;
        f += 3;
    } else if (f[0] == u'I' && f[1] == u'3' && f[2] == u'2') {
        size = Size::Long32;
        f += 3;
    } else if (f[0] == u'I') {
        size = Size::Pointer;
        f++;
    } else if (f[0] == u'l' && f[1] == u'l') {
        size = Size::Long64;
        f += 2;
    } else if (f[0] == u'h' && f[1] == u'h') {
        size = Size::Char;
        f += 2;
    } else if (f[0] == u'l') {
        size = Size::Long32;
        f++;
    } else if (f[0] == u'h') {
        size = Size::Short;
        f++;
    } else if (f[0] == u'w') {
        size = Size::Wide;
        f++;
    } else if (f[0] == u'z') {
        size = Size::SizeT;
        f++;
    }

}

// The argument of a signed conversion of that size, widened.
int64_t SignedArgument(va_list *args, Size size)
{
    int64_t value;
    switch (size) {
    case Size::Long64:
        value = va_arg(*args, long long);
        break;
    case Size::Pointer:
    case Size::SizeT:
        value = va_arg(*args, intptr_t);
        break;
    case Size::Short:
        value = static_cast<short>(va_arg(*args, int));
        break;
    case Size::Char:
        value = static_cast<signed char>(va_arg(*args, int));
        break;
    default:
        value = va_arg(*args, int);
        break;
    }
    return value;
}

// The argument of an unsigned conversion of that size, widened.
uint64_t UnsignedArgument(va_list *args, Size size)
{
    uint64_t value;
    switch (size) {
    case Size::Long64:
        value = va_arg(*args, unsigned long long);
        break;
    case Size::Pointer:
    case Size::SizeT:
        value = va_arg(*args, uintptr_t);
        break;
    case Size::Short:
        value = static_cast<unsigned short>(va_arg(*args, unsigned int));
        break;
    case Size::Char:
        value = static_cast<unsigned char>(va_arg(*args, unsigned int));
        break;
    default:
        value = va_arg(*args, unsigned int);
        break;
    }
    return value;
}

// The string argument of a %Z (a counted string) or %s conversion,
// "(null)" for none.
void PutStringArgument(Output &out, const FieldFormat &field, char16_t conversion, Size size, va_list *args)
{
    static const char16_t kNull[] = u"(null)";
    bool wide = size == Size::Wide || size == Size::Long32;
    if (conversion == u'Z') {
        if (size == Size::Wide) {
            auto *s = va_arg(*args, PCUNICODE_STRING);
            if (s == nullptr || s->Buffer == nullptr) {
                PutWide(out, field, kNull, 6);
            } else {
                PutWide(out, field, s->Buffer, s->Length / sizeof(WCHAR));
            }
        } else {
            auto *s = va_arg(*args, const ANSI_STRING *);
            if (s == nullptr || s->Buffer == nullptr) {
                PutWide(out, field, kNull, 6);
            } else {
                PutNarrow(out, field, s->Buffer, s->Length);
            }
        }
        return;
    }
    if (wide) {
        auto *s = va_arg(*args, const WCHAR *);
        if (s == nullptr) {
            PutWide(out, field, kNull, 6);
        } else {
            PutWide(out, field, s, BoundedLength16(s, field.Precision));
        }
    } else {
        auto *s = va_arg(*args, const char *);
        if (s == nullptr) {
            PutWide(out, field, kNull, 6);
        } else {
            PutNarrow(out, field, s, BoundedLength8(s, field.Precision));
        }
    }
}

void FormatList(Output &out, const char *call, const WCHAR *format, va_list &list)
{
    const WCHAR *f = format;
    while (*f != 0) {
        if (*f != u'%') {
            out.Put(*f++);
            continue;
        }
        const WCHAR *start = f++;
        FieldFormat field;
        Size size;
        ParseField(f, &list, field, size);

        char16_t conversion = *f;
        if (conversion != 0) {
            f++;
        }
        bool wide = size == Size::Wide || size == Size::Long32;
        switch (conversion) {
        case u'%':
            out.Put(u'%');
            break;
        case u'Z':
        case u's':
        case u'S':
            PutStringArgument(out, field, conversion, size, &list);
            break;
        case u'c':
        case u'C': {
            int value = va_arg(list, int);
            char16_t c = wide ? static_cast<char16_t>(value)
                              : static_cast<char16_t>(static_cast<unsigned char>(value));
            FieldFormat charSpec = field;
            charSpec.Precision = -1;
            PutWide(out, charSpec, &c, 1);
            break;
        }
        case u'd':
        case u'i': {
            int64_t value = SignedArgument(&list, size);
            bool negative = value < 0;
            uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            PutInteger(out, field, magnitude, negative, 10, false, "");
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            uint64_t value = UnsignedArgument(&list, size);
            unsigned base = conversion == u'u' ? 10 : conversion == u'o' ? 8 : 16;
            const char *prefix = "";
            if (field.Alternate && value != 0) {
                prefix = conversion == u'x' ? "0x" : conversion == u'X' ? "0X" : conversion == u'o' ? "0" : "";
            }
            PutInteger(out, field, value, false, base, conversion == u'X', prefix);
            break;
        }
        case u'p': {
            // As the kernel prints it: the pointer's full width in upper-case hex.
            FieldFormat pointerSpec = field;
            pointerSpec.Precision = static_cast<int>(sizeof(void *) * 2);
            pointerSpec.Zero = false;
            PutInteger(out, pointerSpec, reinterpret_cast<uintptr_t>(va_arg(list, void *)), false, 16, true, "");
            break;
        }
        default: {
            std::string text = detail::Narrow(std::u16string(start, f));
            VerifierFail("%s: unsupported conversion \"%s\" in the format \"%s\"", call, text.c_str(),
                         detail::Narrow(std::u16string(format)).c_str());
            for (const WCHAR *p = start; p != f; p++) {
                out.Put(*p);
            }
            return;   // the arguments can no longer be matched to the format
        }
        }
    }
}

void Format(Output &out, const char *call, const WCHAR *format, va_list args)
{
    // A list of our own, which the helpers read on through its address.
    va_list list;
    va_copy(list, args);
    FormatList(out, call, format, list);
    va_end(list);
}

// 16-bit formatting reads the kernel's pageable conversion tables: it
// needs PASSIVE_LEVEL, and a call above it is a fault whether or not the
// tables happen to be resident.
void RequireWideFormattingLevel(const char *call)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        VerifierFail("%s called at %s: 16-bit text formatting is only allowed below DISPATCH_LEVEL", call,
                     detail::IrqlName(irql));
    }
}

// Rewrites a kernel 8-bit format for the C library's formatter: 'l'
// before an integer conversion is 32 bits on the target, 'I64' and 'll'
// are 64, 'I' is pointer-sized.  Sets *wide for a conversion that takes
// 16-bit text or characters (%wZ, %ws, %ls, %S, %Z, %wc, %lc, %C), which
// the host does not render in 8-bit output.  False with *bad set for a
// conversion the kernel does not have (or %n, which it refuses).
bool TranslateNarrowFormat(const char *format, std::string *out, bool *wide, std::string *bad)
{
    *wide = false;
    for (const char *f = format; *f != 0;) {
        if (*f != '%') {
            out->push_back(*f++);
            continue;
        }
        const char *start = f++;
        out->push_back('%');
        if (*f == '%') {
            out->push_back(*f++);
            continue;
        }
        while (*f == '-' || *f == '+' || *f == ' ' || *f == '#' || *f == '0') {
            out->push_back(*f++);
        }
        for (int part = 0; part < 2; part++) {
            if (part == 1) {
                if (*f != '.') {
                    break;
                }
                out->push_back(*f++);
            }
            if (*f == '*') {
                out->push_back(*f++);
            } else {
                while (*f >= '0' && *f <= '9') {
                    out->push_back(*f++);
                }
            }
        }
        std::string size;
        bool longPrefix = false;
        bool widePrefix = false;
        if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
            size = "ll";
            f += 3;
        } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
            f += 3;
        } else if (f[0] == 'I') {
            size = "z";
            f++;
        } else if (f[0] == 'l' && f[1] == 'l') {
            size = "ll";
            f += 2;
        } else if (f[0] == 'l') {
            longPrefix = true;
            f++;
        } else if (f[0] == 'h') {
            size = f[1] == 'h' ? "hh" : "h";
            f += size.size();
        } else if (f[0] == 'w') {
            widePrefix = true;
            f++;
        }
        char conversion = *f;
        switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (widePrefix) {
                break;
            }
            *out += size;
            out->push_back(*f++);
            continue;
        case 'c':
        case 's':
            if (longPrefix || widePrefix) {
                *wide = true;
            }
            if (size.empty()) {
                out->push_back(*f++);
                continue;
            }
            break;
        case 'p':
            if (size.empty() && !longPrefix && !widePrefix) {
                out->push_back(*f++);
                continue;
            }
            break;
        case 'S':
        case 'C':
        case 'Z':
            *wide = true;
            out->push_back(*f++);
            continue;
        default:
            break;
        }
        *bad = std::string(start, conversion != 0 ? f + 1 : f);
        return false;
    }
    return true;
}

NTSTATUS NarrowPrintf(const char *call, PCHAR destination, size_t chars, PCSTR format, va_list args)
{
    std::string translated;
    std::string bad;
    bool wide = false;
    if (destination == nullptr || format == nullptr || chars == 0 || chars > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!TranslateNarrowFormat(format, &translated, &wide, &bad)) {
        VerifierFail("%s: unsupported conversion \"%s\" in the format \"%s\"", call, bad.c_str(), format);
        destination[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (wide) {
        RequireWideFormattingLevel(call);
        VerifierFail("%s: the host does not render 16-bit text into 8-bit output (format \"%s\")", call, format);
        destination[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int written = vsnprintf(destination, chars, translated.c_str(), args);
#pragma GCC diagnostic pop
    if (written < 0) {
        destination[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return static_cast<size_t>(written) >= chars ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS WidePrintf(const char *call, PWCHAR destination, size_t chars, PCWSTR format, va_list args)
{
    RequireWideFormattingLevel(call);
    if (destination == nullptr || format == nullptr || chars == 0 || chars > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    Output out(destination, chars - 1);
    Format(out, call, format, args);
    size_t written = out.Count();
    if (written > chars - 1) {
        destination[chars - 1] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    destination[written] = 0;
    return STATUS_SUCCESS;
}

// The kernel C library's generator: the classic linear congruence, one
// state for every caller, as in the kernel.
std::atomic<uint32_t> g_randomState{1};

} // namespace
} // namespace host

using namespace host;

//
// Counted strings.
//

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        VerifierFail("RtlInitUnicodeString: the string (%zu characters) is longer than a UNICODE_STRING can count",
                     bytes / sizeof(WCHAR));
        bytes = 0xFFFC;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (DestinationString == nullptr) {
        VerifierFail("RtlCopyUnicodeString: NULL destination");
        return;
    }
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    size_t bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        bytes = DestinationString->MaximumLength;
    }
    bytes &= ~static_cast<size_t>(1);
    if (bytes != 0 && DestinationString->Buffer == nullptr) {
        VerifierFail("RtlCopyUnicodeString: the destination has room (MaximumLength %u) but no buffer",
                     DestinationString->MaximumLength);
        return;
    }
    if (bytes != 0) {
        memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    size_t n = String1->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n; i++) {
        char16_t a = String1->Buffer[i];
        char16_t b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = FoldAscii(a);
            b = FoldAscii(b);
        }
        if (a != b) {
            return FALSE;
        }
    }
    return TRUE;
}

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || HeldSpinLocks() != 0) {
        RequirePassive("RtlFreeUnicodeString");
    }
    if (UnicodeString == nullptr) {
        return;
    }
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

//
// The kernel C library's 16-bit text.
//

size_t __cdecl wcslen(const WCHAR *String)
{
    size_t n = 0;
    while (String[n] != 0) {
        n++;
    }
    return n;
}

int __cdecl swprintf(WCHAR *Buffer, const WCHAR *Format, ...)
{
    RequireWideFormattingLevel("swprintf");
    Output out(Buffer, SIZE_MAX);
    va_list args;
    va_start(args, Format);
    host::Format(out, "swprintf", Format, args);
    va_end(args);
    Buffer[out.Count()] = 0;
    return static_cast<int>(out.Count());
}

int __cdecl _snwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, ...)
{
    RequireWideFormattingLevel("_snwprintf");
    Output out(Buffer, Count);
    va_list args;
    va_start(args, Format);
    host::Format(out, "_snwprintf", Format, args);
    va_end(args);
    size_t written = out.Count();
    if (written > Count) {
        return -1;   // truncated: Count characters stored, no terminator
    }
    if (written < Count) {
        Buffer[written] = 0;
    }
    return static_cast<int>(written);
}

//
// Bounded formatting.
//

extern "C" NTSTATUS __cdecl RtlStringCbPrintfA(PCHAR Destination, size_t DestinationBytes, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = NarrowPrintf("RtlStringCbPrintfA", Destination, DestinationBytes, Format, args);
    va_end(args);
    return status;
}

extern "C" NTSTATUS __cdecl RtlStringCchPrintfA(PCHAR Destination, size_t DestinationChars, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = NarrowPrintf("RtlStringCchPrintfA", Destination, DestinationChars, Format, args);
    va_end(args);
    return status;
}

extern "C" NTSTATUS __cdecl RtlStringCbPrintfW(PWCHAR Destination, size_t DestinationBytes, PCWSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = WidePrintf("RtlStringCbPrintfW", Destination, DestinationBytes / sizeof(WCHAR), Format, args);
    va_end(args);
    return status;
}

extern "C" NTSTATUS __cdecl RtlStringCchPrintfW(PWCHAR Destination, size_t DestinationChars, PCWSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = WidePrintf("RtlStringCchPrintfW", Destination, DestinationChars, Format, args);
    va_end(args);
    return status;
}

//
// The C library's generator.  The kernel documents it for PASSIVE_LEVEL
// callers only.
//

extern "C" void srand(unsigned int seed) __THROW
{
    g_randomState.store(seed, std::memory_order_relaxed);
}

extern "C" int rand(void) __THROW
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        VerifierFail("rand called at %s: the C library's generator may only be called at PASSIVE_LEVEL",
                     detail::IrqlName(irql));
    }
    uint32_t state = g_randomState.load(std::memory_order_relaxed);
    uint32_t next;
    do {
        next = state * 214013u + 2531011u;
    } while (!g_randomState.compare_exchange_weak(state, next, std::memory_order_relaxed));
    return static_cast<int>((next >> 16) & 0x7FFF);
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    const unsigned char *a = static_cast<const unsigned char *>(Source1);
    const unsigned char *b = static_cast<const unsigned char *>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && a[equal] == b[equal]) {
        equal++;
    }
    return equal;
}
