/*++

Module Name:

    cliteral.h

Abstract:

    Text as a C string literal, for the build tools that generate C++
    tables from their sources.

--*/

#pragma once

#include <cstdio>
#include <string>

// The text as a C string literal.  Octal escapes are used for anything
// unprintable because they end after three digits, unlike \x; '?' is
// escaped so that no trigraph can form.
inline std::string Literal(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '?':
            out += "\\?";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char octal[8];
                snprintf(octal, sizeof(octal), "\\%03o", c);
                out += octal;
            } else {
                out += (char)c;
            }
        }
    }
    return out + "\"";
}
