/*++

Module Name:

    mof.cpp

Abstract:

    tarn_mof: reads the management classes (.mof) and writes the header
    the driver builds its WMI GUID table and layout checks from, so that
    the classes management software sees and the bytes the driver writes
    come from one source.

        tarn_mof input.mof out.h

    The accepted language is the part of MOF the classes use: #pragma
    lines, class declarations with qualifiers and an optional superclass,
    properties (arrays with "[]"), and void methods whose parameters carry
    qualifiers.  For every class with a guid qualifier the header gets
    <CLASS>_GUID (an initializer), <CLASS>_LAYOUT (the data items in
    WmiDataId order, "id type name" joined by "; ", strings with their
    MaxLen, arrays with their WmiSizeIs) and, for a class with methods,
    <CLASS>_METHODS ("id name(type name, ...)" in WmiMethodId order).

--*/

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Token {
    enum Kind { Word, Text, Number, Punct, End } Type = End;
    std::string Value;
    int Line = 0;
};

struct Qualifiers {
    std::map<std::string, std::string> Values;     // lower-case name -> argument ("" without one)
    bool Has(const std::string &name) const { return Values.count(name) != 0; }
    std::string Get(const std::string &name) const
    {
        auto found = Values.find(name);
        return found == Values.end() ? std::string() : found->second;
    }
};

struct Member {
    Qualifiers Quals;
    std::string Type;
    std::string Name;
    bool Array = false;
    bool Method = false;
    std::vector<Member> Parameters;
    int Line = 0;
};

struct Class {
    Qualifiers Quals;
    std::string Name;
    std::vector<Member> Members;
    int Line = 0;
};

class Parser {
public:
    Parser(const std::string &text, const std::string &file) : file_(file) { Tokenize(text); }

    bool Parse(std::vector<Class> *classes)
    {
        while (Peek().Type != Token::End) {
            Class item;
            item.Quals = ParseQualifiers();
            if (!failed_ && !ExpectWord("class")) {
                return false;
            }
            item.Line = Peek().Line;
            item.Name = TakeWord("a class name");
            if (Accept(":")) {
                TakeWord("a superclass name");
            }
            Expect("{");
            while (!failed_ && !Accept("}")) {
                item.Members.push_back(ParseMember());
            }
            Expect(";");
            if (failed_) {
                return false;
            }
            classes->push_back(item);
        }
        return !failed_;
    }

private:
    void Tokenize(const std::string &text)
    {
        int line = 1;
        size_t i = 0;
        while (i < text.size()) {
            char c = text[i];
            if (c == '\n') {
                line++;
                i++;
            } else if (isspace((unsigned char)c)) {
                i++;
            } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
                while (i < text.size() && text[i] != '\n') {
                    i++;
                }
            } else if (c == '#') {          // #pragma: the namespace is the platform's matter
                while (i < text.size() && text[i] != '\n') {
                    i++;
                }
            } else if (c == '"') {
                Token token{Token::Text, "", line};
                for (i++; i < text.size() && text[i] != '"'; i++) {
                    if (text[i] == '\\' && i + 1 < text.size()) {
                        i++;
                    }
                    token.Value += text[i];
                }
                i++;
                tokens_.push_back(token);
            } else if (isalpha((unsigned char)c) || c == '_') {
                Token token{Token::Word, "", line};
                while (i < text.size() && (isalnum((unsigned char)text[i]) || text[i] == '_')) {
                    token.Value += text[i++];
                }
                tokens_.push_back(token);
            } else if (isdigit((unsigned char)c)) {
                Token token{Token::Number, "", line};
                while (i < text.size() && isdigit((unsigned char)text[i])) {
                    token.Value += text[i++];
                }
                tokens_.push_back(token);
            } else {
                tokens_.push_back(Token{Token::Punct, std::string(1, c), line});
                i++;
            }
        }
        tokens_.push_back(Token{Token::End, "", line});
    }

    const Token &Peek() const { return tokens_[position_]; }
    Token Take() { return tokens_[position_ < tokens_.size() - 1 ? position_++ : position_]; }

    void Fail(const std::string &what)
    {
        if (!failed_) {
            fprintf(stderr, "%s:%d: %s\n", file_.c_str(), Peek().Line, what.c_str());
        }
        failed_ = true;
    }

    bool Accept(const std::string &punct)
    {
        if (Peek().Type == Token::Punct && Peek().Value == punct) {
            Take();
            return true;
        }
        return false;
    }

    void Expect(const std::string &punct)
    {
        if (!Accept(punct)) {
            Fail("expected \"" + punct + "\", found \"" + Peek().Value + "\"");
        }
    }

    bool ExpectWord(const std::string &word)
    {
        if (Peek().Type == Token::Word && Peek().Value == word) {
            Take();
            return true;
        }
        Fail("expected \"" + word + "\", found \"" + Peek().Value + "\"");
        return false;
    }

    std::string TakeWord(const std::string &what)
    {
        if (Peek().Type != Token::Word) {
            Fail("expected " + what + ", found \"" + Peek().Value + "\"");
            return std::string();
        }
        return Take().Value;
    }

    Qualifiers ParseQualifiers()
    {
        Qualifiers result;
        if (!Accept("[")) {
            return result;
        }
        do {
            std::string name = TakeWord("a qualifier");
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return (char)tolower(c); });
            std::string value;
            if (Accept("(")) {
                value = Take().Value;
                Expect(")");
            }
            result.Values[name] = value;
        } while (!failed_ && Accept(","));
        Expect("]");
        return result;
    }

    Member ParseMember()
    {
        Member member;
        member.Quals = ParseQualifiers();
        member.Line = Peek().Line;
        member.Type = TakeWord("a type");
        member.Name = TakeWord("a member name");
        if (Accept("(")) {
            member.Method = true;
            while (!failed_ && !Accept(")")) {
                Member parameter;
                parameter.Quals = ParseQualifiers();
                parameter.Type = TakeWord("a parameter type");
                parameter.Name = TakeWord("a parameter name");
                member.Parameters.push_back(parameter);
                if (!Accept(",") && !(Peek().Type == Token::Punct && Peek().Value == ")")) {
                    Fail("expected \",\" or \")\" in the parameters of " + member.Name);
                }
            }
        } else if (Accept("[")) {
            Expect("]");
            member.Array = true;
        }
        Expect(";");
        return member;
    }

    std::string file_;
    std::vector<Token> tokens_;
    size_t position_ = 0;
    bool failed_ = false;
};

// "{F61BE502-297F-427E-82D5-2F5BE68D873F}" -> a GUID initializer.
bool GuidInitializer(std::string text, std::string *result)
{
    text.erase(std::remove(text.begin(), text.end(), '{'), text.end());
    text.erase(std::remove(text.begin(), text.end(), '}'), text.end());
    unsigned long d1;
    unsigned d2, d3, b[8];
    if (sscanf(text.c_str(), "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
               &b[4], &b[5], &b[6], &b[7]) != 11 ||
        text.size() != 36) {
        return false;
    }
    char out[160];
    snprintf(out, sizeof(out), "{0x%08lX, 0x%04X, 0x%04X, {0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X}}",
             d1, d2, d3, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
    *result = out;
    return true;
}

std::string Describe(const Member &member)
{
    std::string type = member.Type;
    if (member.Quals.Has("maxlen")) {
        type += "(" + member.Quals.Get("maxlen") + ")";
    }
    std::string name = member.Name;
    if (member.Array) {
        name += "[" + member.Quals.Get("wmisizeis") + "]";
    }
    return type + " " + name;
}

bool Emit(const std::vector<Class> &classes, const std::string &file, std::ostream &out)
{
    out << "// Generated by tarn_mof from " << file << "; do not edit.\n#pragma once\n";
    for (const Class &item : classes) {
        if (!item.Quals.Has("guid")) {
            continue;
        }
        std::string guid;
        if (!GuidInitializer(item.Quals.Get("guid"), &guid)) {
            fprintf(stderr, "%s:%d: %s: malformed guid \"%s\"\n", file.c_str(), item.Line, item.Name.c_str(),
                    item.Quals.Get("guid").c_str());
            return false;
        }
        std::map<unsigned long, std::string> data;
        std::map<unsigned long, std::string> methods;
        for (const Member &member : item.Members) {
            const char *idName = member.Method ? "wmimethodid" : "wmidataid";
            if (!member.Quals.Has(idName)) {
                continue;   // the standard InstanceName and Active
            }
            unsigned long id = strtoul(member.Quals.Get(idName).c_str(), nullptr, 10);
            std::map<unsigned long, std::string> &into = member.Method ? methods : data;
            if (id == 0 || into.count(id) != 0) {
                fprintf(stderr, "%s:%d: %s.%s: %s %lu is zero or given twice\n", file.c_str(), member.Line,
                        item.Name.c_str(), member.Name.c_str(), idName, id);
                return false;
            }
            std::string text = std::to_string(id) + " ";
            if (member.Method) {
                text += member.Name + "(";
                for (size_t i = 0; i < member.Parameters.size(); i++) {
                    text += (i == 0 ? "" : ", ") + Describe(member.Parameters[i]);
                }
                text += ")";
            } else {
                text += Describe(member);
            }
            into[id] = text;
        }
        auto join = [](const std::map<unsigned long, std::string> &items) {
            std::string text;
            for (const auto &entry : items) {
                text += (text.empty() ? "" : "; ") + entry.second;
            }
            return text;
        };
        out << "\n#define " << item.Name << "_GUID " << guid << "\n";
        out << "#define " << item.Name << "_LAYOUT \"" << join(data) << "\"\n";
        if (!methods.empty()) {
            out << "#define " << item.Name << "_METHODS \"" << join(methods) << "\"\n";
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tarn_mof input.mof out.h\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        fprintf(stderr, "tarn_mof: cannot read %s\n", argv[1]);
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::vector<Class> classes;
    if (!Parser(text.str(), argv[1]).Parse(&classes)) {
        return 1;
    }
    std::stringstream header;
    if (!Emit(classes, argv[1], header)) {
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary);
    out << header.str();
    if (!out) {
        fprintf(stderr, "tarn_mof: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
