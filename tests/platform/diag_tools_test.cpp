// The build's message compiler (tarn_mc) and trace format scanner
// (tarn_tmfscan), run on small inputs written by the tests.
#include "tempdirectory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using testing::HasSubstr;
using testing::Not;

namespace {

// The tools are built next to the tests: <build>/tools/<name>.
std::string ToolPath(const std::string &name)
{
#ifdef TARN_TOOLS_DIR
    return std::string(TARN_TOOLS_DIR) + "/" + name;
#else
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        return name;
    }
    std::string path(self, (size_t)length);
    path = path.substr(0, path.find_last_of('/'));
    return path.substr(0, path.find_last_of('/')) + "/tools/" + name;
#endif
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

class ToolTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_directory.Path().empty()); }

    std::string Write(const std::string &name, const std::string &text)
    {
        std::string path = m_directory / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string Path(const std::string &name) const { return m_directory / name; }

    // Runs the tool; returns its exit status and leaves its stderr in m_errors.
    int Run(const std::string &tool, const std::vector<std::string> &arguments)
    {
        std::string path = ToolPath(tool);
        if (!Exists(path)) {
            ADD_FAILURE() << path << " is not built";
            return -1;
        }
        // In a 32-bit build on a kernel without 32-bit emulation the tools
        // run under the same emulator as the tests.
        std::string command = std::string(TARN_TOOL_RUNNER) + " '" + path + "'";
        for (const std::string &argument : arguments) {
            command += " '" + argument + "'";
        }
        command += " 2>'" + m_directory / "stderr" + "'";
        int status = system(command.c_str());
        m_errors = ReadFile(m_directory / "stderr");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    tarntest::TempDirectory m_directory{"tarn_diag"};
    std::string m_errors;
};

const char kMessages[] = R"(;// Header comment
MessageIdTypedef=NTSTATUS
SeverityNames=(Success=0x0:SEV_SUCCESS
               Informational=0x1:SEV_INFO
               Warning=0x2:SEV_WARNING
               Error=0x3:SEV_ERROR
              )
FacilityNames=(Disk=0x7:FAC_DISK)
LanguageNames=(English=0x409:MSG00409)

MessageId=0x10
Severity=Warning
Facility=Disk
SymbolicName=MSG_FIRST
Language=English
Line one with "quotes" and a \ backslash.
Line two %2.
.

SymbolicName=MSG_NEXT
Language=English
Next in C:\
.
)";

TEST_F(ToolTest, MessageCompilerWritesIdsTextsAndCopiedLines)
{
    std::string input = Write("msg.mc", kMessages);
    ASSERT_EQ(Run("tarn_mc", {input, Path("msg.h"), Path("table.cpp")}), 0) << m_errors;

    std::string header = ReadFile(Path("msg.h"));
    EXPECT_THAT(header, HasSubstr("#pragma once"));
    EXPECT_THAT(header, HasSubstr("\n// Header comment\n"));
    // Warning (2) << 30 | facility 7 << 16 | 0x10; the next id follows, keeping severity and facility.
    EXPECT_THAT(header, HasSubstr("#define MSG_FIRST ((NTSTATUS)0x80070010L)"));
    EXPECT_THAT(header, HasSubstr("#define MSG_NEXT ((NTSTATUS)0x80070011L)"));
    EXPECT_THAT(header, HasSubstr("// Line two %2."));

    std::string table = ReadFile(Path("table.cpp"));
    EXPECT_THAT(table, HasSubstr("#include \"hostkernel.h\""));
    EXPECT_THAT(table, HasSubstr("{0x80070010u, \"MSG_FIRST\", "
                                 "\"Line one with \\\"quotes\\\" and a \\\\ backslash.\\r\\nLine two %2.\\r\\n\"}"));
    EXPECT_THAT(table, HasSubstr("{0x80070011u, \"MSG_NEXT\", \"Next in C:\\\\\\r\\n\"}"));
    // A trailing backslash in the comment would continue it over the #define.
    EXPECT_THAT(header, HasSubstr("// Next in C:\\ (end of line)\n//\n#define MSG_NEXT"));
    EXPECT_THAT(table, HasSubstr("void TarnRegisterMessages(const std::u16string &source)"));
}

TEST_F(ToolTest, MessageCompilerRefusesBadInputWithItsLine)
{
    struct Case {
        const char *Text;
        const char *Expected;
    };
    const Case cases[] = {
        {"MessageId=1\nSeverity=Fatal\nLanguage=English\nx\n.\n", "msg.mc:2: error: unknown severity name 'Fatal'"},
        {"MessageId=1\nLanguage=English\nnever ended\n", "msg.mc:2: error: message text is not ended"},
        {"MessageId=5\nLanguage=English\na\n.\n\nMessageId=5\nLanguage=English\nb\n.\n",
         "msg.mc:6: error: message id 0x00000005 is already defined at line 1"},
        {"MessageId=0x10000\nLanguage=English\na\n.\n", "msg.mc:1: error: MessageId '0x10000' does not fit"},
        {"MessageId=1\nLanguage=French\na\n.\n", "msg.mc:2: error: unknown language name 'French'"},
        {"MessageId=1\nSymbolicName=TWO WORDS\nLanguage=English\na\n.\n",
         "msg.mc:2: error: SymbolicName 'TWO WORDS' is not a C identifier"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Text);
        std::string input = Write("msg.mc", c.Text);
        Write("msg.h", "stale");
        EXPECT_NE(Run("tarn_mc", {input, Path("msg.h"), Path("table.cpp")}), 0);
        EXPECT_THAT(m_errors, HasSubstr(c.Expected));
        EXPECT_FALSE(Exists(Path("msg.h"))) << "a stale header would let the build go on";
    }
}

const char kTracedSource[] = R"src(// A module with trace calls.
#include "tarntrace.h"
#define DsmTrace(a, b) ignored
TARN_TRACE_MODULE_GUID(0x12345678, 0x9ABC, 0xDEF0, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80UL);

void F(ULONG size, PCSTR name)
{
    // DsmTrace(TRDSM_ERROR_LEVEL, "in a comment", TA_ULONG(size));
    /* DsmTrace(TRDSM_ERROR_LEVEL, "in a block comment"); */
    const char *s = "DsmTrace(TRDSM_ERROR_LEVEL, \"in a string\")";
    DsmTrace(TRDSM_WARNING_LEVEL,
             "F: %u bytes for "   // concatenated
             "%s \"q\" \\ 100%%",
             TA_ULONG(size + (1, 2)),
             TA_STR(name));
    DsmTrace(TRDSM_TRACE_LEVEL, "F: %I64x %wZ %p %c %d", TA_ULONGLONG(0), TA_USTR(&u), TA_PTR(s), TA_UCHAR('a'),
             TA_LONG(-1));
}
)src";

TEST_F(ToolTest, TraceScannerCollectsCallsOverLinesAndLiterals)
{
    std::string source = Write("tarnmod.cpp", kTracedSource);
    std::string untraced = Write("plain.cpp", "int G() { return 0; }\n");
    ASSERT_EQ(Run("tarn_tmfscan", {Path("tmf.cpp"), source, untraced}), 0) << m_errors;
    std::string table = ReadFile(Path("tmf.cpp"));
    EXPECT_THAT(table, HasSubstr("#include \"tarnresources.h\""));
    const std::string guid = "{0x12345678, 0x9ABC, 0xDEF0, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}}";
    EXPECT_THAT(table, HasSubstr("{" + guid + ", \"tarnmod\", 11, 15, 0x2, \"TRDSM_WARNING_LEVEL\",\n"
                                 "     \"F: %u bytes for %s \\\"q\\\" \\\\ 100%%\", \"ULONG,STR\"}"));
    EXPECT_THAT(table, HasSubstr("\"tarnmod\", 16, 17, 0x4, \"TRDSM_TRACE_LEVEL\",\n"
                                 "     \"F: %I64x %wZ %p %c %d\", \"ULONGLONG,USTR,PTR,UCHAR,LONG\"}"));
    EXPECT_THAT(table, Not(HasSubstr("in a")));
    EXPECT_THAT(table, HasSubstr("void TarnRegisterTraceFormats()"));
}

TEST_F(ToolTest, TraceScannerWithoutCallsWritesAnEmptyTable)
{
    std::string untraced = Write("plain.cpp", "int G() { return 0; }\n");
    ASSERT_EQ(Run("tarn_tmfscan", {Path("tmf.cpp"), untraced}), 0) << m_errors;
    EXPECT_THAT(ReadFile(Path("tmf.cpp")), HasSubstr("host::RegisterTraceFormats(nullptr, 0);"));
}

TEST_F(ToolTest, TraceScannerRefusesCallsATracePreprocessorWouldRefuse)
{
    const std::string guid = "TARN_TRACE_MODULE_GUID(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11);\n";
    struct Case {
        std::string Text;
        const char *Expected;
    };
    const Case cases[] = {
        {guid + "\nDsmTrace(TRDSM_ERROR_LEVEL, \"%u %u\", TA_ULONG(1));\n",
         "m.cpp:3: error: the format has 2 conversion(s) but the call passes 1 argument(s)"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, \"%I64x\",\n TA_ULONG(1));\n",
         "m.cpp:2: error: conversion '%I64x' (the 1st) does not suit its argument TA_ULONG"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, \"%s\", TA_USTR(x));\n", "does not suit its argument TA_USTR"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, \"%u\",\n\n  size);\n",
         "m.cpp:4: error: argument 1 ('size') is not one of TA_ULONG"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, \"%u\", TA_ULONG(a) + 1);\n", "is not one of TA_ULONG"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, \"%ls\", TA_STR(a));\n", "unsupported conversion '%ls'"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, \"%*u\", TA_ULONG(a));\n", "'*' takes no trace argument"},
        {guid + "DsmTrace(ok ? TRDSM_ERROR_LEVEL : TRDSM_TRACE_LEVEL, \"x\");\n", "is not a trace flag"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, format);\n", "the format must be one or more plain string literals"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, \"a\"); DsmTrace(TRDSM_ERROR_LEVEL, \"b\");\n",
         "m.cpp:2: error: trace call shares a line with the trace call at line 2"},
        {"\nDsmTrace(TRDSM_ERROR_LEVEL, \"a\");\n", "m.cpp:2: error: trace call in a file without TARN_TRACE_MODULE_GUID"},
        {guid + "DsmTrace(TRDSM_ERROR_LEVEL, \"a\"\n", "m.cpp:2: error: DsmTrace call not closed"},
        {"TARN_TRACE_MODULE_GUID(1, 2, 0x10000, 4, 5, 6, 7, 8, 9, 10, 11);\n", "the 3rd part '0x10000'"},
        {guid + "/* DsmTrace(TRDSM_ERROR_LEVEL, \"a\");\n", "m.cpp:2: error: comment not closed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Text);
        std::string source = Write("m.cpp", c.Text);
        Write("tmf.cpp", "stale");
        EXPECT_NE(Run("tarn_tmfscan", {Path("tmf.cpp"), source}), 0);
        EXPECT_THAT(m_errors, HasSubstr(c.Expected));
        EXPECT_FALSE(Exists(Path("tmf.cpp")));
    }

    // Two modules may not share a message GUID: their line numbers would collide.
    std::string first = Write("a.cpp", guid);
    std::string second = Write("b.cpp", guid);
    EXPECT_NE(Run("tarn_tmfscan", {Path("tmf.cpp"), first, second}), 0);
    EXPECT_THAT(m_errors, HasSubstr("b.cpp:1: error: the module GUID is also the one of"));
}

} // namespace
