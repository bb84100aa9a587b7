/*++

Module Name:

    mc.cpp

Abstract:

    tarn_mc, the message compiler: reads a message file (.mc) and writes
    the header of message identifiers the driver includes and the message
    table the host's event log renders entries from.

        tarn_mc input.mc out.h out_table.cpp

    The accepted language is the one message compilers read: header
    keywords (MessageIdTypedef, SeverityNames, FacilityNames,
    LanguageNames), then per message MessageId, Severity, Facility,
    SymbolicName and Language blocks of text ended by a line holding a
    single ".".  Lines starting with ";" go to the header as they are.
    The table keeps the text of each message's first Language block.

--*/

#include "../common/cliteral.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Message {
    unsigned long Id = 0;
    std::string SymbolicName;
    std::string Text;       // lines joined, each ended by CRLF
    bool HasText = false;
    int Line = 0;
};

// One item of the header, in source order: a copied ";" line or a message.
struct HeaderItem {
    bool IsMessage;
    std::string Comment;
    size_t MessageIndex;
};

struct Name {
    std::string Text;
    unsigned long Value;
    std::string Symbol;
};

class Compiler {
public:
    explicit Compiler(std::string path) : m_path(std::move(path)), m_base(m_path.substr(m_path.find_last_of('/') + 1)) {}

    bool Parse(std::istream &in);
    std::string Header() const;
    std::string Table() const;

private:
    // Where the parse stands between lines.
    struct Reading {
        int Line = 0;
        bool InMessage = false;     // keywords of a message seen, its text not yet
        Message Current;
        unsigned long Severity = 0;
        unsigned long Facility = 0;
        unsigned long LastId = 0;
        bool HaveLast = false;
        bool IdGiven = false;
        std::map<unsigned long, int> IdLines;
        std::map<std::string, int> SymbolLines;
    };

    bool Error(int line, const std::string &reason);
    void StartMessage(Reading *reading);
    bool ParseKeyword(std::istream &in, Reading *reading, const std::string &keyword, const std::string &value);
    void ParseMessageId(Reading *reading, const std::string &value);
    void ParseField(Reading *reading, const std::vector<Name> &names, const std::string &value, const char *what,
                    unsigned long largest, const char *width, unsigned long *field);
    void ParseSymbolicName(Reading *reading, const std::string &value);
    bool ParseLanguage(std::istream &in, Reading *reading, const std::string &value);
    void FinishMessage(Reading *reading);
    bool ParseNameList(std::istream &in, std::string value, std::vector<Name> *names, int *line);
    bool ParseNumber(const std::string &text, unsigned long *value) const;
    const Name *Find(const std::vector<Name> &names, const std::string &text) const;
    bool ReadText(std::istream &in, int *line, Message *message, bool keep);

    std::string m_path;
    std::string m_base;     // generated files name their source without the build's paths
    std::string m_typedef;
    // The defaults message compilers start with; a file may redefine them.
    std::vector<Name> m_severities = {{"Success", 0x0, ""}, {"Informational", 0x1, ""},
                                      {"Warning", 0x2, ""}, {"Error", 0x3, ""}};
    std::vector<Name> m_facilities = {{"System", 0x0FF, ""}, {"Application", 0xFFF, ""}};
    std::vector<Name> m_languages = {{"English", 0x409, "MSG00409"}};
    std::vector<Message> m_messages;
    std::vector<HeaderItem> m_header;
    bool m_failed = false;
};

std::string Trim(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool EqualNoCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) {
            return false;
        }
    }
    return true;
}


bool Compiler::Error(int line, const std::string &reason)
{
    fprintf(stderr, "%s:%d: error: %s\n", m_path.c_str(), line, reason.c_str());
    m_failed = true;
    return false;
}

bool Compiler::ParseNumber(const std::string &text, unsigned long *value) const
{
    std::string t = Trim(text);
    if (t.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(t.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || t[0] == '-') {
        return false;
    }
    *value = v;
    return true;
}

const Name *Compiler::Find(const std::vector<Name> &names, const std::string &text) const
{
    for (const Name &name : names) {
        if (EqualNoCase(name.Text, text)) {
            return &name;
        }
    }
    return nullptr;
}

// "(Name=value[:symbol] ...)", possibly over several lines; replaces the list.
bool Compiler::ParseNameList(std::istream &in, std::string value, std::vector<Name> *names, int *line)
{
    int firstLine = *line;
    std::string all = value;
    while (all.find(')') == std::string::npos) {
        std::string next;
        if (!std::getline(in, next)) {
            return Error(firstLine, "name list without its closing ')'");
        }
        ++*line;
        all += " " + next;
    }
    size_t open = all.find('(');
    size_t close = all.find(')');
    if (open == std::string::npos || open > close || !Trim(all.substr(close + 1)).empty()) {
        return Error(firstLine, "a name list must be written as (Name=value:Symbol ...)");
    }
    std::istringstream items(all.substr(open + 1, close - open - 1));
    std::vector<Name> list;
    std::string item;
    while (items >> item) {
        size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0) {
            return Error(firstLine, "name list item '" + item + "' is not Name=value");
        }
        Name name;
        name.Text = item.substr(0, equals);
        std::string rest = item.substr(equals + 1);
        size_t colon = rest.find(':');
        if (colon != std::string::npos) {
            name.Symbol = rest.substr(colon + 1);
            rest = rest.substr(0, colon);
        }
        if (!ParseNumber(rest, &name.Value)) {
            return Error(firstLine, "name list item '" + item + "' has no numeric value");
        }
        list.push_back(name);
    }
    *names = list;
    return true;
}

// Reads text lines up to the "." line; the text is kept only for the
// message's first language.
bool Compiler::ReadText(std::istream &in, int *line, Message *message, bool keep)
{
    int firstLine = *line;
    std::string text;
    std::string next;
    while (std::getline(in, next)) {
        ++*line;
        if (!next.empty() && next.back() == '\r') {
            next.pop_back();
        }
        if (next == ".") {
            if (keep) {
                message->Text = text;
                message->HasText = true;
            }
            return true;
        }
        text += next + "\r\n";
    }
    return Error(firstLine, "message text is not ended by a line with a single '.'");
}

void Compiler::StartMessage(Reading *reading)
{
    if (!reading->InMessage) {
        reading->InMessage = true;
        reading->Current = Message();
        reading->Current.Line = reading->Line;
        reading->IdGiven = false;
    }
}

void Compiler::ParseMessageId(Reading *reading, const std::string &value)
{
    if (reading->InMessage && reading->IdGiven) {
        Error(reading->Line, "MessageId inside the previous message; is its text missing?");
    }
    StartMessage(reading);
    reading->IdGiven = true;
    unsigned long id = 0;
    if (value.empty()) {
        id = reading->HaveLast ? reading->LastId + 1 : 1;
    } else if (!ParseNumber(value, &id)) {
        Error(reading->Line, "MessageId '" + value + "' is not a number");
    }
    if (id > 0xFFFF) {
        Error(reading->Line, "MessageId '" + value + "' does not fit in 16 bits");
    }
    reading->Current.Id = id;
}

// Severity and Facility: a name from the list, whose value must fit its field.
void Compiler::ParseField(Reading *reading, const std::vector<Name> &names, const std::string &value,
                          const char *what, unsigned long largest, const char *width, unsigned long *field)
{
    StartMessage(reading);
    const Name *name = Find(names, value);
    if (name == nullptr) {
        Error(reading->Line, std::string("unknown ") + what + " name '" + value + "'");
    } else if (name->Value > largest) {
        Error(reading->Line, std::string(what) + " '" + value + "' does not fit in " + width);
    } else {
        *field = name->Value;
    }
}

void Compiler::ParseSymbolicName(Reading *reading, const std::string &value)
{
    StartMessage(reading);
    bool identifier = !value.empty() && !isdigit((unsigned char)value[0]);
    for (char c : value) {
        identifier = identifier && (isalnum((unsigned char)c) || c == '_');
    }
    if (!identifier) {
        Error(reading->Line, "SymbolicName '" + value + "' is not a C identifier");
    }
    reading->Current.SymbolicName = value;
}

// A Language block: the first completes the message, later ones are
// other languages' texts of the message just completed.  False when the
// text runs off the end of the file.
bool Compiler::ParseLanguage(std::istream &in, Reading *reading, const std::string &value)
{
    if (Find(m_languages, value) == nullptr) {
        Error(reading->Line, "unknown language name '" + value + "'");
    }
    if (!reading->InMessage) {
        if (m_messages.empty()) {
            Error(reading->Line, "Language without a message");
        }
        return ReadText(in, &reading->Line, &reading->Current, false);
    }
    if (!ReadText(in, &reading->Line, &reading->Current, true)) {
        return false;
    }
    FinishMessage(reading);
    return true;
}

// Gives the message its full id and records it, refusing repeated ids and names.
void Compiler::FinishMessage(Reading *reading)
{
    Message &current = reading->Current;
    if (!reading->IdGiven) {
        current.Id = reading->HaveLast ? reading->LastId + 1 : 1;
    }
    reading->LastId = current.Id;
    reading->HaveLast = true;
    current.Id = (reading->Severity << 30) | (reading->Facility << 16) | (current.Id & 0xFFFF);
    auto seen = reading->IdLines.find(current.Id);
    if (seen != reading->IdLines.end()) {
        char reason[128];
        snprintf(reason, sizeof(reason), "message id 0x%08lX is already defined at line %d", current.Id,
                 seen->second);
        Error(current.Line, reason);
    } else {
        reading->IdLines[current.Id] = current.Line;
    }
    if (!current.SymbolicName.empty()) {
        auto symbol = reading->SymbolLines.find(current.SymbolicName);
        if (symbol != reading->SymbolLines.end()) {
            Error(current.Line, "symbolic name " + current.SymbolicName + " is already defined at line " +
                                    std::to_string(symbol->second));
        } else {
            reading->SymbolLines[current.SymbolicName] = current.Line;
        }
    }
    m_messages.push_back(current);
    m_header.push_back(HeaderItem{true, "", m_messages.size() - 1});
    reading->InMessage = false;
}

// One Keyword=value line; false when the file cannot be read further.
bool Compiler::ParseKeyword(std::istream &in, Reading *reading, const std::string &keyword, const std::string &value)
{
    if (EqualNoCase(keyword, "MessageIdTypedef")) {
        m_typedef = value;
    } else if (EqualNoCase(keyword, "SeverityNames")) {
        ParseNameList(in, value, &m_severities, &reading->Line);
    } else if (EqualNoCase(keyword, "FacilityNames")) {
        ParseNameList(in, value, &m_facilities, &reading->Line);
    } else if (EqualNoCase(keyword, "LanguageNames")) {
        ParseNameList(in, value, &m_languages, &reading->Line);
    } else if (EqualNoCase(keyword, "OutputBase")) {
        // Only affects how ids are printed; they are always hex here.
    } else if (EqualNoCase(keyword, "MessageId")) {
        ParseMessageId(reading, value);
    } else if (EqualNoCase(keyword, "Severity")) {
        ParseField(reading, m_severities, value, "severity", 3, "2 bits", &reading->Severity);
    } else if (EqualNoCase(keyword, "Facility")) {
        ParseField(reading, m_facilities, value, "facility", 0xFFF, "12 bits", &reading->Facility);
    } else if (EqualNoCase(keyword, "SymbolicName")) {
        ParseSymbolicName(reading, value);
    } else if (EqualNoCase(keyword, "Language")) {
        return ParseLanguage(in, reading, value);
    } else {
        Error(reading->Line, "unknown keyword '" + keyword + "'");
    }
    return true;
}

bool Compiler::Parse(std::istream &in)
{
    Reading reading;
    std::string raw;
    while (std::getline(in, raw)) {
        reading.Line++;
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        if (!raw.empty() && raw[0] == ';') {
            m_header.push_back(HeaderItem{false, raw.substr(1), 0});
            continue;
        }
        std::string text = Trim(raw);
        if (text.empty()) {
            continue;
        }
        size_t equals = text.find('=');
        if (equals == std::string::npos) {
            Error(reading.Line, "expected Keyword=value, found '" + text + "'");
            continue;
        }
        if (!ParseKeyword(in, &reading, Trim(text.substr(0, equals)), Trim(text.substr(equals + 1)))) {
            break;
        }
    }
    if (reading.InMessage) {
        Error(reading.Current.Line, "message without a Language block of text");
    }
    return !m_failed;
}

std::string Compiler::Header() const
{
    std::ostringstream out;
    out << "// Generated by tarn_mc from " << m_base << "; do not edit.\n";
    out << "#pragma once\n";
    for (const HeaderItem &item : m_header) {
        if (!item.IsMessage) {
            out << item.Comment << "\n";
            continue;
        }
        const Message &message = m_messages[item.MessageIndex];
        out << "//\n// MessageId: " << message.SymbolicName << "\n//\n// MessageText:\n//\n";
        std::istringstream lines(message.Text);
        std::string textLine;
        while (std::getline(lines, textLine)) {
            if (!textLine.empty() && textLine.back() == '\r') {
                textLine.pop_back();
            }
            // A comment line ending in a backslash would swallow the #define below it.
            if (!textLine.empty() && textLine.back() == '\\') {
                textLine += " (end of line)";
            }
            out << "// " << textLine << "\n";
        }
        out << "//\n";
        if (!message.SymbolicName.empty()) {
            char id[64];
            if (m_typedef.empty()) {
                snprintf(id, sizeof(id), "0x%08lXL", message.Id);
            } else {
                snprintf(id, sizeof(id), "((%s)0x%08lXL)", m_typedef.c_str(), message.Id);
            }
            out << "#define " << message.SymbolicName << " " << id << "\n\n";
        }
    }
    return out.str();
}

std::string Compiler::Table() const
{
    std::ostringstream out;
    out << "// Generated by tarn_mc from " << m_base << "; do not edit.\n";
    out << "#include \"hostkernel.h\"\n#include \"tarnresources.h\"\n\n";
    if (m_messages.empty()) {
        out << "void TarnRegisterMessages(const std::u16string &source)\n{\n"
               "    host::RegisterMessageTable(source, nullptr, 0);\n}\n";
        return out.str();
    }
    out << "namespace {\n\nconst host::MessageEntry kMessages[] = {\n";
    for (const Message &message : m_messages) {
        char id[32];
        snprintf(id, sizeof(id), "0x%08lXu", message.Id);
        out << "    {" << id << ", " << Literal(message.SymbolicName) << ", " << Literal(message.Text) << "},\n";
    }
    out << "};\n\n} // namespace\n\n";
    out << "void TarnRegisterMessages(const std::u16string &source)\n{\n"
           "    host::RegisterMessageTable(source, kMessages, sizeof(kMessages) / sizeof(kMessages[0]));\n}\n";
    return out.str();
}

bool WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        fprintf(stderr, "tarn_mc: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: tarn_mc input.mc out.h out_table.cpp\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        fprintf(stderr, "tarn_mc: cannot read %s\n", argv[1]);
        return 1;
    }
    Compiler compiler(argv[1]);
    if (!compiler.Parse(in)) {
        // Stale outputs would let a broken message file build.
        remove(argv[2]);
        remove(argv[3]);
        return 1;
    }
    if (!WriteFile(argv[2], compiler.Header()) || !WriteFile(argv[3], compiler.Table())) {
        return 1;
    }
    return 0;
}
