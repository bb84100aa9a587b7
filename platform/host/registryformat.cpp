/*++

Module Name:

    registryformat.cpp

Abstract:

    The registry's .reg text format: import and export.

    .reg text is read whole before anything changes, so a bad file
    changes nothing.  Export writes what regedit writes (CRLF, sections in
    tree order, hex wrapped at 80 columns) and uses the "text" and dword:
    forms only where they give back the very bytes stored, so that
    importing an export restores the store byte for byte.

--*/

#include "registryinternal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace host {
namespace {

using namespace reg;

//
// The .reg text format.
//
const char kRegHeader[] = "Windows Registry Editor Version 5.00";
const char kRegHeader4[] = "REGEDIT4";

// The platform's limits: a key name of 255 characters, a value name of
// 16,383, a tree 512 keys deep.  A file past them is refused whole.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxKeyDepth = 512;

// One change a .reg file asks for, parsed before anything is applied.
struct RegOperation {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } Kind;
    // Shared by the section's values: a deep path is held once, not per value.
    std::shared_ptr<const KeyPath> Path;
    std::u16string Name;
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

class RegParser {
public:
    explicit RegParser(std::vector<RegOperation> *operations) : m_operations(operations) {}

    // Parses the whole text; on an error returns false with "line N: reason".
    bool Parse(std::string_view text, std::string *error);

private:
    bool Fail(const std::string &reason)
    {
        m_error = "line " + std::to_string(m_line) + ": " + reason;
        return false;
    }
    bool ParseSection(std::string_view line);
    bool ParseValue(std::string_view line);
    bool ParseQuoted(std::string_view *text, std::string *out, const char *what);
    bool ParseHex(std::string_view text, ULONG type, std::vector<uint8_t> *data);
    bool Widen(std::string_view text, std::u16string *out, const char *what);

    std::vector<RegOperation> *m_operations;
    std::string m_error;
    size_t m_line = 0;
    bool m_regedit4 = false;
    bool m_inSection = false;
    bool m_deletedSection = false;
    std::shared_ptr<const KeyPath> m_key;
};

std::string_view TrimLeft(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view TrimRight(std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view Trim(std::string_view text)
{
    return TrimRight(TrimLeft(text));
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); i++) {
        if (tolower(static_cast<unsigned char>(text[i])) != tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// 1 to maxDigits hex digits, nothing else.
bool ParseHexNumber(std::string_view text, size_t maxDigits, ULONG *value)
{
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    ULONG result = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0) {
            return false;
        }
        result = (result << 4) | static_cast<ULONG>(digit);
    }
    *value = result;
    return true;
}

std::string Shown(std::string_view text)
{
    return "'" + std::string(text.substr(0, 40)) + (text.size() > 40 ? "...'" : "'");
}

bool RegParser::Widen(std::string_view text, std::u16string *out, const char *what)
{
    if (!detail::DecodeUtf8(text, out)) {
        return Fail(std::string(what) + " is not valid UTF-8");
    }
    return true;
}

bool RegParser::Parse(std::string_view text, std::string *error)
{
    // Regedit writes UTF-16LE with a byte order mark; hand-written files are UTF-8.
    std::string decoded;
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
        bool even = text.size() % 2 == 0;
        std::u16string wide;
        for (size_t i = 2; i + 1 < text.size(); i += 2) {
            wide += static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                          (static_cast<unsigned char>(text[i + 1]) << 8));
        }
        bool exact;
        decoded = detail::EncodeUtf8(wide, &exact);
        text = decoded;
        if (!exact || !even) {
            m_line = 1;
            Fail("the UTF-16 text is malformed");
            *error = m_error;
            return false;
        }
    } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }

    std::vector<std::string_view> lines;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }

    bool header = false;
    for (size_t i = 0; i < lines.size(); i++) {
        m_line = i + 1;
        std::string_view line = Trim(lines[i]);
        if (!header) {
            if (line.empty()) {
                continue;
            }
            if (line == kRegHeader || line == kRegHeader4) {
                m_regedit4 = line == kRegHeader4;
                header = true;
                continue;
            }
            Fail(std::string("expected the header \"") + kRegHeader + "\" or \"" + kRegHeader4 + "\"");
            break;
        }
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            if (!ParseSection(line)) {
                break;
            }
            continue;
        }
        if (line[0] != '"' && line[0] != '@') {
            Fail("expected a [key] section, a value or a ; comment, found " + Shown(line));
            break;
        }
        // A value may go on over lines that end in a backslash (long hex
        // data); only such a value is copied to join its lines.
        std::string joined;
        if (line.back() == '\\' && i + 1 < lines.size()) {
            joined = line;
            while (!joined.empty() && joined.back() == '\\' && i + 1 < lines.size()) {
                joined.pop_back();
                joined += TrimRight(TrimLeft(lines[++i]));
            }
            line = joined;
        }
        if (!ParseValue(line)) {
            break;
        }
    }
    if (m_error.empty() && !header) {
        m_line = std::max<size_t>(m_line, 1);
        Fail(std::string("expected the header \"") + kRegHeader + "\" or \"" + kRegHeader4 + "\"");
    }
    if (!m_error.empty()) {
        if (error != nullptr) {
            *error = m_error;
        }
        return false;
    }
    return true;
}

bool RegParser::ParseSection(std::string_view line)
{
    if (line.back() != ']') {
        return Fail("a key section must end with ']'");
    }
    std::string_view inner = line.substr(1, line.size() - 2);
    bool remove = !inner.empty() && inner[0] == '-';
    if (remove) {
        inner.remove_prefix(1);
    }
    if (inner.empty()) {
        return Fail("empty key name");
    }
    std::u16string wide;
    if (!Widen(inner, &wide, "the key name")) {
        return false;
    }
    KeyPath names;
    if (SplitAbsolute(wide, true, &names) != PathKind::Machine) {
        return Fail("key " + Shown(inner) + " is not under HKEY_LOCAL_MACHINE, the only root this registry holds");
    }
    if (remove && names.empty()) {
        return Fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
    }
    if (names.size() > kMaxKeyDepth) {
        return Fail("key " + Shown(inner) + " is " + std::to_string(names.size()) + " keys deep; the registry holds " +
                    std::to_string(kMaxKeyDepth) + " at most");
    }
    for (const std::u16string &name : names) {
        if (name.size() > kMaxKeyNameChars) {
            return Fail("a key name of " + std::to_string(name.size()) + " characters in " + Shown(inner) + "; " +
                        std::to_string(kMaxKeyNameChars) + " at most");
        }
    }
    m_key = std::make_shared<const KeyPath>(std::move(names));
    m_operations->push_back(RegOperation{remove ? RegOperation::DeleteKey : RegOperation::CreateKey, m_key, {}, 0, {}});
    m_inSection = true;
    m_deletedSection = remove;
    return true;
}

// A "quoted" text with \\ and \" escapes; *text moves past the closing quote.
bool RegParser::ParseQuoted(std::string_view *text, std::string *out, const char *what)
{
    out->clear();
    for (size_t i = 1; i < text->size(); i++) {
        char c = (*text)[i];
        if (c == '"') {
            text->remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text->size()) {
                break;
            }
            char next = (*text)[++i];
            if (next != '\\' && next != '"') {
                return Fail(std::string("unknown escape '\\") + next + "' in " + what +
                            " (only \\\\ and \\\" are escapes)");
            }
            c = next;
        }
        *out += c;
    }
    return Fail(std::string("unterminated quoted ") + what);
}

bool RegParser::ParseValue(std::string_view line)
{
    if (!m_inSection) {
        return Fail("value before any [key] section");
    }
    if (m_deletedSection) {
        return Fail("value in the section of a deleted key");
    }

    std::u16string name;
    std::string text;
    if (line[0] == '@') {
        line.remove_prefix(1);
    } else {
        if (!ParseQuoted(&line, &text, "value name") || !Widen(text, &name, "the value name")) {
            return false;
        }
    }
    if (name.size() > kMaxValueNameChars) {
        return Fail("a value name of " + std::to_string(name.size()) + " characters; " +
                    std::to_string(kMaxValueNameChars) + " at most");
    }
    line = TrimLeft(line);
    if (line.empty() || line[0] != '=') {
        return Fail("expected '=' after the value name");
    }
    line = Trim(line.substr(1));

    RegOperation operation{RegOperation::SetValue, m_key, name, REG_NONE, {}};
    if (line == "-") {
        operation.Kind = RegOperation::DeleteValue;
    } else if (!line.empty() && line[0] == '"') {
        std::u16string wide;
        if (!ParseQuoted(&line, &text, "string") || !Widen(text, &wide, "the string")) {
            return false;
        }
        if (!Trim(line).empty()) {
            return Fail("unexpected text " + Shown(Trim(line)) + " after the string");
        }
        operation.Type = REG_SZ;
        operation.Data = StringBytes(wide);
    } else if (StartsWithNoCase(line, "dword:")) {
        ULONG value;
        if (!ParseHexNumber(line.substr(6), 8, &value)) {
            return Fail("dword data must be 1 to 8 hex digits, found " + Shown(line.substr(6)));
        }
        operation.Type = REG_DWORD;
        for (int i = 0; i < 4; i++) {
            operation.Data.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    } else if (StartsWithNoCase(line, "hex:")) {
        operation.Type = REG_BINARY;
        if (!ParseHex(line.substr(4), REG_BINARY, &operation.Data)) {
            return false;
        }
    } else if (StartsWithNoCase(line, "hex(")) {
        size_t close = line.find("):");
        if (close == std::string_view::npos || !ParseHexNumber(line.substr(4, close - 4), 8, &operation.Type)) {
            return Fail("expected hex(TYPE): with TYPE in hex, found " + Shown(line));
        }
        if (!ParseHex(line.substr(close + 2), operation.Type, &operation.Data)) {
            return false;
        }
    } else {
        return Fail("unrecognised value data " + Shown(line) +
                    " (expected \"string\", dword:, hex:, hex(TYPE): or -)");
    }
    m_operations->push_back(std::move(operation));
    return true;
}

// Comma-separated bytes.  In a REGEDIT4 file the string types are 8-bit
// text, widened here to the UTF-16 the store holds.
bool RegParser::ParseHex(std::string_view text, ULONG type, std::vector<uint8_t> *data)
{
    data->clear();
    text = Trim(text);
    if (!text.empty()) {
        for (;;) {
            size_t comma = text.find(',');
            std::string_view item = Trim(text.substr(0, comma));
            ULONG byte;
            if (!ParseHexNumber(item, 2, &byte)) {
                return Fail("expected a hex byte, found " + Shown(item));
            }
            data->push_back(static_cast<uint8_t>(byte));
            if (comma == std::string_view::npos) {
                break;
            }
            text = text.substr(comma + 1);
        }
    }
    if (m_regedit4 && IsStringType(type)) {
        std::vector<uint8_t> wide;
        for (uint8_t byte : *data) {
            wide.push_back(byte);
            wide.push_back(0);
        }
        *data = std::move(wide);
    }
    return true;
}

// The keys along the path of the last section created: sections of one
// tree share most of their path, and a deep one would otherwise be
// looked up level by level from the root for each section.
class PathCache {
public:
    KeyPtr Create(const KeyPtr &root, const KeyPath &path)
    {
        size_t common = 0;
        if (m_path != nullptr) {
            size_t most = std::min(path.size(), m_keys.size());
            while (common < most && EqualNoCase(path[common], (*m_path)[common])) {
                common++;
            }
        }
        m_keys.resize(common);
        KeyPtr key = common == 0 ? root : m_keys.back();
        for (size_t i = common; i < path.size(); i++) {
            KeyPtr child = FindChild(*key, path[i]);
            key = child != nullptr ? child : AddChild(key, path[i], false);
            m_keys.push_back(key);
        }
        m_path = &path;
        return key;
    }

    const KeyPath *Path() const { return m_path; }

    // A key deleted: what was cached may be gone.
    void Forget()
    {
        m_path = nullptr;
        m_keys.clear();
    }

private:
    const KeyPath *m_path = nullptr;
    std::vector<KeyPtr> m_keys;
};

void ApplyOperations(Registry &registry, const std::vector<RegOperation> &operations)
{
    PathCache cache;
    KeyPtr key;
    for (const auto &operation : operations) {
        const KeyPath &path = *operation.Path;
        switch (operation.Kind) {
        case RegOperation::CreateKey:
            key = cache.Create(registry.Root, path);
            break;
        case RegOperation::DeleteKey:
            cache.Forget();
            key.reset();
            if (KeyPtr found = FindKey(registry.Root, path)) {
                DeleteTree(registry, found);
            }
            break;
        case RegOperation::SetValue:
            // A section's values share its path: found once per section.
            if (cache.Path() != &path) {
                key = cache.Create(registry.Root, path);
            }
            PutValue(*key, operation.Name, operation.Type, operation.Data);
            break;
        case RegOperation::DeleteValue:
            if (KeyPtr found = FindKey(registry.Root, path)) {
                RemoveValue(*found, operation.Name);
            }
            break;
        }
    }
}

std::string EscapeQuoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// A REG_SZ shown as "text" must come back byte for byte: one terminator
// at the very end, no other NUL, well-formed UTF-16 and no line breaks.
bool StringRoundTrips(const std::vector<uint8_t> &data, std::string *text)
{
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0) {
        return false;
    }
    std::u16string wide;
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0 || c == u'\r' || c == u'\n') {
            return false;
        }
        wide += c;
    }
    bool exact;
    *text = detail::EncodeUtf8(wide, &exact);
    return exact;
}

// Regedit's layout: bytes after the prefix, lines of at most 80 columns
// continued with a backslash, continuation lines indented by two.
void AppendHex(std::string *out, std::string line, const std::vector<uint8_t> &data)
{
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); i++) {
        std::string item{kDigits[data[i] >> 4], kDigits[data[i] & 15]};
        if (i + 1 < data.size()) {
            item += ',';
        }
        if (line.size() + item.size() + 1 > 80 && line != "  ") {
            *out += line + "\\\r\n";
            line = "  ";
        }
        line += item;
    }
    *out += line + "\r\n";
}

void ExportValue(std::string *out, const Value &value)
{
    std::string line = value.Name.empty() ? "@=" : EscapeQuoted(detail::EncodeUtf8(value.Name)) + "=";
    std::string text;
    if (value.Type == REG_SZ && StringRoundTrips(value.Data, &text)) {
        *out += line + EscapeQuoted(text) + "\r\n";
    } else if (value.Type == REG_DWORD && value.Data.size() == 4) {
        char number[16];
        ULONG dword = value.Data[0] | (value.Data[1] << 8) | (value.Data[2] << 16) | ((ULONG)value.Data[3] << 24);
        snprintf(number, sizeof(number), "dword:%08x", dword);
        *out += line + number + "\r\n";
    } else if (value.Type == REG_BINARY) {
        AppendHex(out, line + "hex:", value.Data);
    } else {
        char prefix[24];
        snprintf(prefix, sizeof(prefix), "hex(%x):", value.Type);
        AppendHex(out, line + prefix, value.Data);
    }
}

// Sections in tree order: a key, then its subkeys in name order.  The
// root's own section is written only when it holds values.  `path` is the
// key's name as the section shows it; each subkey's extends it, so no
// key's path is walked again for each of its descendants.
void ExportKey(std::string *out, const Key &key, bool isRoot, std::string *path)
{
    if (!isRoot || !key.Values.empty()) {
        *out += "\r\n[";
        *out += *path;
        *out += "]\r\n";
        for (const auto &value : key.Values) {
            ExportValue(out, value);
        }
    }
    size_t length = path->size();
    for (const auto &child : key.Subkeys) {
        *path += '\\';
        *path += detail::EncodeUtf8(child.second->Name);
        ExportKey(out, *child.second, false, path);
        path->resize(length);
    }
}

} // namespace

bool RegistryImport(const std::string &regText, std::string *error)
{
    std::vector<RegOperation> operations;
    RegParser parser(&operations);
    if (!parser.Parse(regText, error)) {
        return false;
    }
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    ApplyOperations(registry, operations);
    if (error != nullptr) {
        error->clear();
    }
    return true;
}

std::string RegistryExport(const std::string &keyPath)
{
    Registry &registry = Store();
    std::lock_guard<std::mutex> lock(registry.Lock);
    std::string out = std::string(kRegHeader) + "\r\n";
    KeyPtr start = keyPath.empty() ? registry.Root : FindHostKey(registry, keyPath);
    if (start != nullptr) {
        std::string path = KeyText(start.get(), true);
        ExportKey(&out, *start, start == registry.Root, &path);
    }
    return out + "\r\n";
}

} // namespace host
