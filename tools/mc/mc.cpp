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
    bool Error(int line, const std::string &reason);
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

bool Compiler::Parse(std::istream &in)
{
    std::string raw;
    int line = 0;
    bool inMessage = false;     // keywords of a message seen, its text not yet
    Message current;
    unsigned long severity = 0;
    unsigned long facility = 0;
    unsigned long lastId = 0;
    bool haveLast = false;
    bool idGiven = false;
    std::map<unsigned long, int> idLines;
    std::map<std::string, int> symbolLines;

    auto startMessage = [&]() {
        if (!inMessage) {
            inMessage = true;
            current = Message();
            current.Line = line;
            idGiven = false;
        }
    };

    while (std::getline(in, raw)) {
        line++;
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
            Error(line, "expected Keyword=value, found '" + text + "'");
            continue;
        }
        std::string keyword = Trim(text.substr(0, equals));
        std::string value = Trim(text.substr(equals + 1));

        if (EqualNoCase(keyword, "MessageIdTypedef")) {
            m_typedef = value;
        } else if (EqualNoCase(keyword, "SeverityNames")) {
            ParseNameList(in, value, &m_severities, &line);
        } else if (EqualNoCase(keyword, "FacilityNames")) {
            ParseNameList(in, value, &m_facilities, &line);
        } else if (EqualNoCase(keyword, "LanguageNames")) {
            ParseNameList(in, value, &m_languages, &line);
        } else if (EqualNoCase(keyword, "OutputBase")) {
            // Only affects how ids are printed; they are always hex here.
        } else if (EqualNoCase(keyword, "MessageId")) {
            if (inMessage && idGiven) {
                Error(line, "MessageId inside the previous message; is its text missing?");
            }
            startMessage();
            idGiven = true;
            unsigned long id = 0;
            if (value.empty()) {
                id = haveLast ? lastId + 1 : 1;
            } else if (!ParseNumber(value, &id)) {
                Error(line, "MessageId '" + value + "' is not a number");
            }
            if (id > 0xFFFF) {
                Error(line, "MessageId '" + value + "' does not fit in 16 bits");
            }
            current.Id = id;
        } else if (EqualNoCase(keyword, "Severity")) {
            startMessage();
            const Name *name = Find(m_severities, value);
            if (name == nullptr) {
                Error(line, "unknown severity name '" + value + "'");
            } else if (name->Value > 3) {
                Error(line, "severity '" + value + "' does not fit in 2 bits");
            } else {
                severity = name->Value;
            }
        } else if (EqualNoCase(keyword, "Facility")) {
            startMessage();
            const Name *name = Find(m_facilities, value);
            if (name == nullptr) {
                Error(line, "unknown facility name '" + value + "'");
            } else if (name->Value > 0xFFF) {
                Error(line, "facility '" + value + "' does not fit in 12 bits");
            } else {
                facility = name->Value;
            }
        } else if (EqualNoCase(keyword, "SymbolicName")) {
            startMessage();
            bool identifier = !value.empty() && !isdigit((unsigned char)value[0]);
            for (char c : value) {
                identifier = identifier && (isalnum((unsigned char)c) || c == '_');
            }
            if (!identifier) {
                Error(line, "SymbolicName '" + value + "' is not a C identifier");
            }
            current.SymbolicName = value;
        } else if (EqualNoCase(keyword, "Language")) {
            if (Find(m_languages, value) == nullptr) {
                Error(line, "unknown language name '" + value + "'");
            }
            if (!inMessage) {
                // Another language's text of the message just completed.
                if (m_messages.empty()) {
                    Error(line, "Language without a message");
                }
                if (!ReadText(in, &line, &current, false)) {
                    break;
                }
                continue;
            }
            if (!ReadText(in, &line, &current, true)) {
                break;
            }
            // The message is complete with its first text.
            if (!idGiven) {
                current.Id = haveLast ? lastId + 1 : 1;
            }
            lastId = current.Id;
            haveLast = true;
            current.Id = (severity << 30) | (facility << 16) | (current.Id & 0xFFFF);
            auto seen = idLines.find(current.Id);
            if (seen != idLines.end()) {
                char reason[128];
                snprintf(reason, sizeof(reason), "message id 0x%08lX is already defined at line %d", current.Id,
                         seen->second);
                Error(current.Line, reason);
            } else {
                idLines[current.Id] = current.Line;
            }
            if (!current.SymbolicName.empty()) {
                auto symbol = symbolLines.find(current.SymbolicName);
                if (symbol != symbolLines.end()) {
                    Error(current.Line, "symbolic name " + current.SymbolicName + " is already defined at line " +
                                            std::to_string(symbol->second));
                } else {
                    symbolLines[current.SymbolicName] = current.Line;
                }
            }
            m_messages.push_back(current);
            m_header.push_back(HeaderItem{true, "", m_messages.size() - 1});
            inMessage = false;
            continue;
        } else {
            Error(line, "unknown keyword '" + keyword + "'");
        }
    }
    if (inMessage) {
        Error(current.Line, "message without a Language block of text");
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
