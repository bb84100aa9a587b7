/*++

Module Name:

    tmfscan.cpp

Abstract:

    tarn_tmfscan, the trace format scanner: collects every DsmTrace call
    of the driver's sources into the trace format table the host renders
    trace messages with, and refuses calls a trace preprocessor would
    refuse.

        tarn_tmfscan out.cpp file1.cpp file2.cpp ...

    Each source names its module's message GUID with
    TARN_TRACE_MODULE_GUID(...); a call's message number is its __LINE__,
    which compilers take from the call's first or its last line, so the
    table records the call's whole line range.  The sources are lexed
    (comments, literals and preprocessor directives skipped) rather than
    searched as text, so a call in a comment or a string is no call.

--*/

#include "../common/cliteral.h"

#include <cstdio>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class TokenKind { Identifier, Number, String, Char, Punct };

struct Token {
    TokenKind Kind;
    std::string Text;       // as written; for a string literal the decoded bytes
    std::string Prefix;     // string literal prefix (u8, L, R, ...)
    int Line;
};

struct Call {
    int FirstLine;
    int LastLine;
    std::string FlagName;
    unsigned long Flag;
    std::string Format;
    std::vector<std::string> Kinds;
};

struct Module {
    std::string Path;
    std::string Name;
    bool HaveGuid = false;
    unsigned long long Guid[11] = {};
    int GuidLine = 0;
    std::vector<Call> Calls;
};

const std::map<std::string, unsigned long> kFlags = {
    {"TRDSM_ERROR_LEVEL", 0x1}, {"TRDSM_WARNING_LEVEL", 0x2}, {"TRDSM_TRACE_LEVEL", 0x4}};

const std::map<std::string, std::string> kArgumentMacros = {
    {"TA_ULONG", "ULONG"}, {"TA_LONG", "LONG"}, {"TA_ULONGLONG", "ULONGLONG"}, {"TA_UCHAR", "UCHAR"},
    {"TA_PTR", "PTR"},     {"TA_STR", "STR"},   {"TA_USTR", "USTR"}};

bool g_failed = false;

// strchr would also find the terminator.
bool OneOf(const char *set, char c)
{
    return c != '\0' && strchr(set, c) != nullptr;
}

void Error(const std::string &path, int line, const std::string &reason)
{
    fprintf(stderr, "%s:%d: error: %s\n", path.c_str(), line, reason.c_str());
    g_failed = true;
}

std::string Ordinal(size_t n)
{
    static const char *const kSuffix[] = {"th", "st", "nd", "rd"};
    size_t tens = n % 100;
    size_t last = n % 10;
    return std::to_string(n) + ((tens >= 11 && tens <= 13) || last > 3 ? "th" : kSuffix[last]);
}

class Lexer {
public:
    Lexer(const std::string &path, const std::string &text) : m_path(path), m_text(text) {}

    std::vector<Token> Run();

private:
    char Peek(size_t ahead = 0) const { return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : '\0'; }
    void Advance()
    {
        if (m_text[m_pos] == '\n') {
            m_line++;
            m_lineStart = true;
        }
        m_pos++;
    }
    void SkipBlockComment();
    void SkipDirective();
    bool Quoted(char quote, const std::string &prefix, Token *token);
    bool Raw(const std::string &prefix, Token *token);

    std::string m_path;
    const std::string &m_text;
    size_t m_pos = 0;
    int m_line = 1;
    bool m_lineStart = true;   // only white space so far on this line
};

void Lexer::SkipBlockComment()
{
    int line = m_line;
    m_pos += 2;
    while (m_pos < m_text.size() && !(Peek() == '*' && Peek(1) == '/')) {
        Advance();
    }
    if (m_pos >= m_text.size()) {
        Error(m_path, line, "comment not closed");
        return;
    }
    m_pos += 2;
}

// A directive runs to the end of its line, continuation lines included.
// Its tokens are not calls: the trace macro's own #define is one.
void Lexer::SkipDirective()
{
    while (m_pos < m_text.size() && Peek() != '\n') {
        if (Peek() == '\\' && Peek(1) == '\n') {
            Advance();
            Advance();
        } else if (Peek() == '/' && Peek(1) == '*') {
            SkipBlockComment();
        } else if (Peek() == '/' && Peek(1) == '/') {
            while (m_pos < m_text.size() && Peek() != '\n') {
                Advance();
            }
        } else if (Peek() == '"' || Peek() == '\'') {
            Token ignored;
            Quoted(Peek(), "", &ignored);
        } else {
            Advance();
        }
    }
}

// A "..." or '...' literal; for strings the escapes are decoded.
bool Lexer::Quoted(char quote, const std::string &prefix, Token *token)
{
    token->Kind = quote == '"' ? TokenKind::String : TokenKind::Char;
    token->Prefix = prefix;
    token->Line = m_line;
    token->Text.clear();
    m_pos++;
    while (m_pos < m_text.size() && Peek() != quote) {
        char c = Peek();
        if (c == '\n') {
            break;
        }
        if (c != '\\') {
            token->Text += c;
            m_pos++;
            continue;
        }
        m_pos++;
        char e = Peek();
        m_pos++;
        switch (e) {
        case 'n': token->Text += '\n'; break;
        case 't': token->Text += '\t'; break;
        case 'r': token->Text += '\r'; break;
        case 'a': token->Text += '\a'; break;
        case 'b': token->Text += '\b'; break;
        case 'f': token->Text += '\f'; break;
        case 'v': token->Text += '\v'; break;
        case 'x': {
            unsigned value = 0;
            while (isxdigit((unsigned char)Peek())) {
                value = value * 16 + (isdigit((unsigned char)Peek()) ? Peek() - '0' : (tolower(Peek()) - 'a' + 10));
                m_pos++;
            }
            token->Text += (char)value;
            break;
        }
        case '\n':
            m_line++;   // a continued line inside a literal
            break;
        default:
            if (e >= '0' && e <= '7') {
                unsigned value = e - '0';
                for (int i = 0; i < 2 && Peek() >= '0' && Peek() <= '7'; i++) {
                    value = value * 8 + (Peek() - '0');
                    m_pos++;
                }
                token->Text += (char)value;
            } else {
                token->Text += e;   // \\ \" \' \?
            }
        }
    }
    if (Peek() != quote) {
        Error(m_path, token->Line, std::string(quote == '"' ? "string" : "character") + " literal not closed");
        return false;
    }
    m_pos++;
    return true;
}

// R"delimiter( ... )delimiter"
bool Lexer::Raw(const std::string &prefix, Token *token)
{
    token->Kind = TokenKind::String;
    token->Prefix = prefix;
    token->Line = m_line;
    size_t open = m_text.find('(', m_pos);
    if (open == std::string::npos) {
        Error(m_path, m_line, "raw string literal without '('");
        return false;
    }
    std::string close = ")" + m_text.substr(m_pos + 1, open - m_pos - 1) + "\"";
    size_t end = m_text.find(close, open);
    if (end == std::string::npos) {
        Error(m_path, m_line, "raw string literal not closed");
        return false;
    }
    token->Text = m_text.substr(open + 1, end - open - 1);
    while (m_pos < end + close.size()) {
        Advance();
    }
    return true;
}

std::vector<Token> Lexer::Run()
{
    std::vector<Token> tokens;
    while (m_pos < m_text.size()) {
        char c = Peek();
        if (c == '\n' || c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            Advance();
            continue;
        }
        if (c == '\\' && Peek(1) == '\n') {
            Advance();
            Advance();
            continue;
        }
        if (c == '/' && Peek(1) == '/') {
            while (m_pos < m_text.size() && Peek() != '\n') {
                Advance();
            }
            continue;
        }
        if (c == '/' && Peek(1) == '*') {
            SkipBlockComment();
            continue;
        }
        bool lineStart = m_lineStart;
        m_lineStart = false;
        if (c == '#' && lineStart) {
            SkipDirective();
            continue;
        }
        Token token;
        token.Line = m_line;
        if (isalpha((unsigned char)c) || c == '_') {
            size_t begin = m_pos;
            while (isalnum((unsigned char)Peek()) || Peek() == '_') {
                m_pos++;
            }
            std::string word = m_text.substr(begin, m_pos - begin);
            static const std::set<std::string> kPrefixes = {"u8", "u", "U", "L"};
            static const std::set<std::string> kRawPrefixes = {"R", "u8R", "uR", "UR", "LR"};
            if (Peek() == '"' && kRawPrefixes.count(word) != 0) {
                if (!Raw(word, &token)) {
                    break;
                }
            } else if ((Peek() == '"' || Peek() == '\'') && kPrefixes.count(word) != 0) {
                if (!Quoted(Peek(), word, &token)) {
                    break;
                }
            } else {
                token.Kind = TokenKind::Identifier;
                token.Text = word;
            }
        } else if (isdigit((unsigned char)c) || (c == '.' && isdigit((unsigned char)Peek(1)))) {
            size_t begin = m_pos;
            while (isalnum((unsigned char)Peek()) || Peek() == '.' || Peek() == '\'' || Peek() == '_' ||
                   ((Peek() == '+' || Peek() == '-') && OneOf("eEpP", m_text[m_pos - 1]))) {
                m_pos++;
            }
            token.Kind = TokenKind::Number;
            token.Text = m_text.substr(begin, m_pos - begin);
        } else if (c == '"' || c == '\'') {
            if (!Quoted(c, "", &token)) {
                break;
            }
        } else {
            token.Kind = TokenKind::Punct;
            token.Text = std::string(1, c);
            m_pos++;
        }
        tokens.push_back(token);
    }
    return tokens;
}

// The text of a run of tokens, for messages.
std::string Spell(const std::vector<Token> &tokens)
{
    std::string out;
    for (const Token &token : tokens) {
        if (!out.empty() && token.Kind != TokenKind::Punct && out.back() != '(') {
            out += ' ';
        }
        out += token.Kind == TokenKind::String ? Literal(token.Text) : token.Text;
    }
    return out;
}

// Splits "( a, b(c, d), e )" starting at tokens[open] into its top-level
// arguments; *close is set to the index of the matching ")".
bool SplitArguments(const std::vector<Token> &tokens, size_t open, std::vector<std::vector<Token>> *arguments,
                    size_t *close)
{
    int depth = 0;
    arguments->assign(1, {});
    for (size_t i = open; i < tokens.size(); i++) {
        const Token &token = tokens[i];
        bool punct = token.Kind == TokenKind::Punct;
        if (punct && (token.Text == "(" || token.Text == "[" || token.Text == "{")) {
            if (depth++ == 0) {
                continue;
            }
        } else if (punct && (token.Text == ")" || token.Text == "]" || token.Text == "}")) {
            if (--depth == 0) {
                *close = i;
                return true;
            }
        } else if (punct && token.Text == "," && depth == 1) {
            arguments->push_back({});
            continue;
        }
        arguments->back().push_back(token);
    }
    return false;
}

bool ParseInteger(const std::string &text, unsigned long long *value)
{
    std::string digits = text;
    while (!digits.empty() && OneOf("uUlL", digits.back())) {
        digits.pop_back();
    }
    if (digits.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    *value = strtoull(digits.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

// Checks the format's conversions against the argument kinds.
void CheckFormat(const std::string &path, int line, const Call &call)
{
    const std::string &format = call.Format;
    size_t argument = 0;
    for (size_t i = 0; i < format.size(); i++) {
        if (format[i] != '%') {
            continue;
        }
        size_t start = i++;
        if (i < format.size() && format[i] == '%') {
            continue;
        }
        while (i < format.size() && OneOf("-+ #0", format[i])) {
            i++;
        }
        bool star = false;
        while (i < format.size() && (isdigit((unsigned char)format[i]) || format[i] == '*' || format[i] == '.')) {
            star = star || format[i] == '*';
            i++;
        }
        std::string prefix;
        for (const char *candidate : {"I64", "ll", "hh", "l", "h", "w"}) {
            if (format.compare(i, strlen(candidate), candidate) == 0) {
                prefix = candidate;
                i += prefix.size();
                break;
            }
        }
        if (i >= format.size()) {
            Error(path, line, "the format ends inside the conversion '" + format.substr(start) + "'");
            return;
        }
        std::string conversion = format.substr(start, i - start + 1);
        char type = format[i];
        if (star) {
            Error(path, line, "conversion '" + conversion + "': '*' takes no trace argument");
            continue;
        }
        std::set<std::string> suits;
        if (OneOf("diuxXo", type) && (prefix == "I64" || prefix == "ll")) {
            suits = {"ULONGLONG"};
        } else if (OneOf("diuxXo", type) && (prefix.empty() || prefix == "l" || prefix == "h" ||
                                                          prefix == "hh")) {
            suits = {"ULONG", "LONG", "UCHAR"};
        } else if (type == 'c' && prefix.empty()) {
            suits = {"ULONG", "LONG", "UCHAR"};
        } else if (type == 's' && prefix.empty()) {
            suits = {"STR"};
        } else if (type == 'Z' && prefix == "w") {
            suits = {"USTR"};
        } else if (type == 'p' && prefix.empty()) {
            suits = {"PTR"};
        } else {
            Error(path, line, "unsupported conversion '" + conversion + "'");
            argument++;
            continue;
        }
        if (argument < call.Kinds.size() && suits.count(call.Kinds[argument]) == 0) {
            Error(path, line,
                  "conversion '" + conversion + "' (the " + Ordinal(argument + 1) + ") does not suit its argument TA_" +
                      call.Kinds[argument]);
        }
        argument++;
    }
    if (argument != call.Kinds.size()) {
        Error(path, line,
              "the format has " + std::to_string(argument) + " conversion(s) but the call passes " +
                  std::to_string(call.Kinds.size()) + " argument(s)");
    }
}

// Parses the DsmTrace call whose name is tokens[at]; returns the index
// after its closing parenthesis.
size_t ParseCall(Module *module, const std::vector<Token> &tokens, size_t at)
{
    const std::string &path = module->Path;
    int line = tokens[at].Line;
    std::vector<std::vector<Token>> arguments;
    size_t close = 0;
    if (!SplitArguments(tokens, at + 1, &arguments, &close)) {
        Error(path, line, "DsmTrace call not closed");
        return tokens.size();
    }
    Call call;
    call.FirstLine = line;
    call.LastLine = tokens[close].Line;
    if (arguments.size() < 2) {
        Error(path, line, "DsmTrace needs a flag and a format");
        return close + 1;
    }
    const std::vector<Token> &flag = arguments[0];
    auto known = flag.size() == 1 ? kFlags.find(flag[0].Text) : kFlags.end();
    if (known == kFlags.end()) {
        Error(path, line, "'" + Spell(flag) + "' is not a trace flag (TRDSM_ERROR_LEVEL, TRDSM_WARNING_LEVEL or "
                                              "TRDSM_TRACE_LEVEL)");
        return close + 1;
    }
    call.FlagName = known->first;
    call.Flag = known->second;
    const std::vector<Token> &format = arguments[1];
    bool literal = !format.empty();
    for (const Token &token : format) {
        literal = literal && token.Kind == TokenKind::String && token.Prefix.empty();
        call.Format += token.Text;
    }
    if (!literal) {
        Error(path, format.empty() ? line : format[0].Line,
              "the format must be one or more plain string literals, not '" + Spell(format) + "'");
        return close + 1;
    }
    bool argumentsGood = true;
    for (size_t i = 2; i < arguments.size(); i++) {
        const std::vector<Token> &argument = arguments[i];
        int argumentLine = argument.empty() ? tokens[close].Line : argument[0].Line;
        auto macro = argument.size() >= 4 ? kArgumentMacros.find(argument[0].Text) : kArgumentMacros.end();
        bool wellFormed = macro != kArgumentMacros.end() && argument[1].Text == "(" && argument.back().Text == ")";
        if (wellFormed) {
            // The macro's parentheses must enclose the rest: "TA_ULONG(a) + 1" is no argument macro.
            std::vector<std::vector<Token>> inner;
            size_t innerClose = 0;
            wellFormed = SplitArguments(argument, 1, &inner, &innerClose) && innerClose == argument.size() - 1 &&
                         inner.size() == 1;
        }
        if (!wellFormed) {
            Error(path, argumentLine,
                  "argument " + std::to_string(i - 1) + " ('" + Spell(argument) +
                      "') is not one of TA_ULONG, TA_LONG, TA_ULONGLONG, TA_UCHAR, TA_PTR, TA_STR, TA_USTR");
            argumentsGood = false;
            continue;
        }
        call.Kinds.push_back(macro->second);
    }
    if (!argumentsGood) {
        return close + 1;
    }
    if (call.LastLine > 0xFFFF) {
        Error(path, line, "the message number (the line) does not fit in 16 bits");
    }
    CheckFormat(path, line, call);
    module->Calls.push_back(call);
    return close + 1;
}

size_t ParseModuleGuid(Module *module, const std::vector<Token> &tokens, size_t at)
{
    int line = tokens[at].Line;
    std::vector<std::vector<Token>> arguments;
    size_t close = 0;
    if (!SplitArguments(tokens, at + 1, &arguments, &close)) {
        Error(module->Path, line, "TARN_TRACE_MODULE_GUID not closed");
        return tokens.size();
    }
    if (module->HaveGuid) {
        Error(module->Path, line,
              "a second TARN_TRACE_MODULE_GUID; the first is at line " + std::to_string(module->GuidLine));
        return close + 1;
    }
    static const unsigned long long kLimits[11] = {0xFFFFFFFFull, 0xFFFF, 0xFFFF, 0xFF, 0xFF, 0xFF,
                                                   0xFF,          0xFF,   0xFF,   0xFF, 0xFF};
    if (arguments.size() != 11) {
        Error(module->Path, line, "TARN_TRACE_MODULE_GUID takes 11 numbers");
        return close + 1;
    }
    for (size_t i = 0; i < 11; i++) {
        if (arguments[i].size() != 1 || arguments[i][0].Kind != TokenKind::Number ||
            !ParseInteger(arguments[i][0].Text, &module->Guid[i]) || module->Guid[i] > kLimits[i]) {
            Error(module->Path, line,
                  "TARN_TRACE_MODULE_GUID: the " + Ordinal(i + 1) + " part '" + Spell(arguments[i]) +
                      "' is not a number of its size");
            return close + 1;
        }
    }
    module->HaveGuid = true;
    module->GuidLine = line;
    return close + 1;
}

void ScanModule(Module *module, const std::string &text)
{
    Lexer lexer(module->Path, text);
    std::vector<Token> tokens = lexer.Run();
    for (size_t i = 0; i < tokens.size();) {
        const Token &token = tokens[i];
        bool called = token.Kind == TokenKind::Identifier && i + 1 < tokens.size() &&
                      tokens[i + 1].Kind == TokenKind::Punct && tokens[i + 1].Text == "(";
        if (called && token.Text == "DsmTrace") {
            i = ParseCall(module, tokens, i);
        } else if (called && token.Text == "TARN_TRACE_MODULE_GUID") {
            i = ParseModuleGuid(module, tokens, i);
        } else {
            i++;
        }
    }
    if (!module->Calls.empty() && !module->HaveGuid) {
        Error(module->Path, module->Calls[0].FirstLine, "trace call in a file without TARN_TRACE_MODULE_GUID");
    }
    // Two calls sharing a line could not be told apart by message number.
    for (size_t i = 1; i < module->Calls.size(); i++) {
        const Call &previous = module->Calls[i - 1];
        const Call &call = module->Calls[i];
        if (call.FirstLine <= previous.LastLine) {
            Error(module->Path, call.FirstLine,
                  "trace call shares a line with the trace call at line " + std::to_string(previous.FirstLine));
        }
    }
}

std::string GuidText(const unsigned long long (&guid)[11])
{
    char text[160];
    snprintf(text, sizeof(text), "{0x%08llX, 0x%04llX, 0x%04llX, {0x%02llX, 0x%02llX, 0x%02llX, 0x%02llX, 0x%02llX, "
                                 "0x%02llX, 0x%02llX, 0x%02llX}}",
             guid[0], guid[1], guid[2], guid[3], guid[4], guid[5], guid[6], guid[7], guid[8], guid[9], guid[10]);
    return text;
}

std::string Output(const std::vector<Module> &modules)
{
    std::ostringstream out;
    out << "// Generated by tarn_tmfscan from the driver's trace calls; do not edit.\n";
    out << "#include \"hostkernel.h\"\n#include \"tarnresources.h\"\n\n";
    size_t count = 0;
    std::ostringstream rows;
    for (const Module &module : modules) {
        for (const Call &call : module.Calls) {
            std::string kinds;
            for (const std::string &kind : call.Kinds) {
                kinds += (kinds.empty() ? "" : ",") + kind;
            }
            char flag[16];
            snprintf(flag, sizeof(flag), "0x%lX", call.Flag);
            rows << "    {" << GuidText(module.Guid) << ", " << Literal(module.Name) << ", " << call.FirstLine << ", "
                 << call.LastLine << ", " << flag << ", " << Literal(call.FlagName) << ",\n     "
                 << Literal(call.Format) << ", " << Literal(kinds) << "},\n";
            count++;
        }
    }
    if (count == 0) {
        out << "void TarnRegisterTraceFormats()\n{\n    host::RegisterTraceFormats(nullptr, 0);\n}\n";
        return out.str();
    }
    out << "namespace {\n\nconst host::TraceFormat kFormats[] = {\n" << rows.str() << "};\n\n} // namespace\n\n";
    out << "void TarnRegisterTraceFormats()\n{\n"
           "    host::RegisterTraceFormats(kFormats, sizeof(kFormats) / sizeof(kFormats[0]));\n}\n";
    return out.str();
}

std::string BaseName(const std::string &path)
{
    std::string name = path.substr(path.find_last_of('/') + 1);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: tarn_tmfscan out.cpp file1.cpp file2.cpp ...\n");
        return 2;
    }
    std::string outPath = argv[1];
    std::vector<Module> modules;
    std::map<std::string, std::string> guidOwners;
    for (int i = 2; i < argc; i++) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            fprintf(stderr, "tarn_tmfscan: cannot read %s\n", argv[i]);
            g_failed = true;
            continue;
        }
        std::stringstream text;
        text << in.rdbuf();
        Module module;
        module.Path = argv[i];
        module.Name = BaseName(module.Path);
        ScanModule(&module, text.str());
        if (module.HaveGuid) {
            // Message numbers are lines, so two modules must not share a GUID.
            std::string guid = GuidText(module.Guid);
            auto owner = guidOwners.find(guid);
            if (owner != guidOwners.end()) {
                Error(module.Path, module.GuidLine, "the module GUID is also the one of " + owner->second);
            } else {
                guidOwners[guid] = module.Path;
            }
        }
        modules.push_back(module);
    }
    if (g_failed) {
        // A stale table would let a refused call build.
        remove(outPath.c_str());
        return 1;
    }
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    out << Output(modules);
    out.close();
    if (!out) {
        fprintf(stderr, "tarn_tmfscan: cannot write %s\n", outPath.c_str());
        return 1;
    }
    return 0;
}
