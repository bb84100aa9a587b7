// The user-mode kernel's registry: the .reg text format, the store's
// naming rules and persistence, RtlQueryRegistryValues as the driver uses
// it, the Zw key calls and the verifier's registry rules.
#include "core_testutil.h"

#include <gmock/gmock.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const char kService[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Tarn";
const char kParameters[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Tarn\\Parameters";

using coretest::VerifierRecorder;
using testing::HasSubstr;

// A counted string over a literal (the tests do not depend on the string module).
UNICODE_STRING Counted(const char16_t *text)
{
    UNICODE_STRING string;
    size_t n = 0;
    while (text[n] != 0) {
        n++;
    }
    string.Buffer = const_cast<PWSTR>(text);
    string.Length = static_cast<USHORT>(n * 2);
    string.MaximumLength = static_cast<USHORT>(n * 2 + 2);
    return string;
}

std::vector<uint8_t> Utf16(const std::u16string &text, bool terminate = true)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(c & 0xFF);
        bytes.push_back(c >> 8);
    }
    if (terminate) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

std::vector<uint8_t> Value(const std::string &key, const std::string &name, ULONG *type = nullptr)
{
    std::vector<uint8_t> data;
    ULONG stored = 0;
    EXPECT_TRUE(host::RegistryGetValue(key, name, &stored, &data)) << key << " " << name;
    if (type != nullptr) {
        *type = stored;
    }
    return data;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { host::ResetMachine(); }
};

//
// The .reg format.
//

TEST_F(Registry, ImportReadsEveryForm)
{
    std::string text = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                       "\r\n"
                       "; the service\r\n"
                       "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Tarn\\Parameters]\r\n"
                       "@=\"default\"\r\n"
                       "\"Path\"=\"C:\\\\dir \\\"quoted\\\"\"\r\n"
                       "\"Count\"=dword:0000001F\r\n"
                       "\"Key\"=hex:01,02,\\\r\n"
                       "  03,ff\r\n"
                       "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                       "\"Expand\"=hex(2):25,00,00,00\r\n"
                       "\"None\"=hex(0):\r\n"
                       "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n"
                       "\"Wide\"=\"\xC3\xA9t\xC3\xA9\"\n";
    std::string error;
    ASSERT_TRUE(host::RegistryImport(text, &error)) << error;

    const struct {
        const char *Name;
        ULONG Type;
        std::vector<uint8_t> Data;
    } expected[] = {
        {"", REG_SZ, Utf16(u"default")},
        {"Path", REG_SZ, Utf16(u"C:\\dir \"quoted\"")},
        {"Count", REG_DWORD, {0x1F, 0, 0, 0}},
        {"Key", REG_BINARY, {1, 2, 3, 0xFF}},
        {"List", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        {"Expand", REG_EXPAND_SZ, {0x25, 0, 0, 0}},
        {"None", REG_NONE, {}},
        {"Quad", 0xB, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"Wide", REG_SZ, Utf16(u"\u00E9t\u00E9")},
    };
    for (const auto &e : expected) {
        ULONG type = 0;
        EXPECT_EQ(Value(kParameters, e.Name, &type), e.Data) << e.Name;
        EXPECT_EQ(type, e.Type) << e.Name;
    }
}

TEST_F(Registry, ExportRoundTripsByteForByte)
{
    host::RegistrySetString(kParameters, "", "default");
    host::RegistrySetString(kParameters, "Escaped \"name\"", "back\\slash and \"quote\"");
    host::RegistrySetDword(kParameters, "Count", 0xDEADBEEF);
    host::RegistrySetMultiString(kParameters, "List", {"first", "second"});
    std::vector<uint8_t> blob;
    for (int i = 0; i < 100; i++) {
        blob.push_back(static_cast<uint8_t>(i * 7));
    }
    host::RegistrySetValue(kParameters, "Blob", REG_BINARY, blob);
    // Data that the "text" and dword: forms cannot carry exactly.
    host::RegistrySetValue(kParameters, "Unterminated", REG_SZ, Utf16(u"abc", false));
    host::RegistrySetValue(kParameters, "Newline", REG_SZ, Utf16(u"a\nb"));
    host::RegistrySetValue(kParameters, "ShortDword", REG_DWORD, {1, 2});
    host::RegistrySetValue(kParameters, "Odd", 0x12345, {9});
    host::RegistrySetValue(kService, "Empty", REG_BINARY, {});
    host::RegistrySetDword("HKLM\\Software\\Empty\\Leaf", "x", 1);
    host::RegistryDeleteValue("HKLM\\Software\\Empty\\Leaf", "x");   // an empty key survives too

    std::string first = host::RegistryExport();
    for (const auto &line : std::vector<std::string>{"\"Count\"=dword:deadbeef\r\n",
                                                     "\"Escaped \\\"name\\\"\"=\"back\\\\slash and \\\"quote\\\"\"\r\n",
                                                     "\"Odd\"=hex(12345):09\r\n", "\"Unterminated\"=hex(1):61,00,62,00,63,00\r\n",
                                                     "[HKEY_LOCAL_MACHINE\\Software\\Empty\\Leaf]\r\n"}) {
        EXPECT_NE(first.find(line), std::string::npos) << line << "\n" << first;
    }
    size_t start = 0;
    while (start < first.size()) {
        size_t end = first.find("\r\n", start);
        EXPECT_LE(end - start, 80u) << first.substr(start, end - start);
        start = end + 2;
    }

    host::RegistryClear();
    EXPECT_FALSE(host::RegistryKeyExists(kParameters));
    std::string error;
    ASSERT_TRUE(host::RegistryImport(first, &error)) << error;
    EXPECT_EQ(host::RegistryExport(), first);
    EXPECT_EQ(Value(kParameters, "Blob"), blob);
    EXPECT_EQ(Value(kParameters, "Unterminated"), Utf16(u"abc", false));
    EXPECT_EQ(Value(kParameters, "ShortDword"), (std::vector<uint8_t>{1, 2}));
}

TEST_F(Registry, ImportDeletesKeysAndValues)
{
    host::RegistrySetDword(kParameters, "Keep", 1);
    host::RegistrySetDword(kParameters, "Drop", 2);
    host::RegistrySetDword("HKLM\\Software\\Gone\\Child", "X", 3);
    ASSERT_TRUE(host::RegistryImport("REGEDIT4\n"
                                     "[-HKEY_LOCAL_MACHINE\\Software\\Gone]\n"
                                     "[HKLM\\System\\CurrentControlSet\\Services\\Tarn\\Parameters]\n"
                                     "\"Drop\"=-\n"
                                     "\"Ansi\"=hex(7):61,00,00\n",
                                     nullptr));
    EXPECT_FALSE(host::RegistryKeyExists("HKLM\\Software\\Gone"));
    EXPECT_TRUE(host::RegistryKeyExists("HKLM\\Software"));
    EXPECT_TRUE(host::RegistryGetValue(kParameters, "Keep", nullptr, nullptr));
    EXPECT_FALSE(host::RegistryGetValue(kParameters, "Drop", nullptr, nullptr));
    // REGEDIT4 files carry 8-bit text in their string types.
    EXPECT_EQ(Value(kParameters, "Ansi"), (std::vector<uint8_t>{'a', 0, 0, 0, 0, 0}));
}

// Sections that share a path, in another case, and a deletion of that
// path between them: each value lands in the key that exists when it is set.
TEST_F(Registry, ImportFollowsSectionsThatShareAPath)
{
    ASSERT_TRUE(host::RegistryImport("REGEDIT4\n"
                                     "[HKLM\\Software\\A\\B\\C]\n"
                                     "\"One\"=dword:1\n"
                                     "[hklm\\software\\a\\b\\D]\n"
                                     "\"Two\"=dword:2\n"
                                     "[-HKLM\\Software\\A\\B]\n"
                                     "[HKLM\\Software\\A\\B\\C]\n"
                                     "\"Three\"=dword:3\n",
                                     nullptr));
    ULONG value = 0;
    EXPECT_FALSE(host::RegistryKeyExists("HKLM\\Software\\A\\B\\D"));
    EXPECT_FALSE(host::RegistryGetDword("HKLM\\Software\\A\\B\\C", "One", &value));
    EXPECT_TRUE(host::RegistryGetDword("HKLM\\Software\\A\\B\\C", "Three", &value));
    EXPECT_EQ(value, 3u);
}

TEST_F(Registry, ImportErrorsNameTheLineAndChangeNothing)
{
    host::RegistrySetDword(kParameters, "Existing", 7);
    const std::string before = host::RegistryExport();
    const std::string header = "Windows Registry Editor Version 5.00\n";
    const std::string section = "[HKLM\\Software\\New]\n\"Good\"=dword:1\n";
    struct Case {
        std::string Text;
        const char *Expected;
    } cases[] = {
        {"[HKLM\\Software]\n", "line 1: expected the header"},
        {"", "line 1: expected the header"},
        {header + "\"Early\"=dword:1\n", "line 2: value before any [key] section"},
        {header + section + "\"Bad\"=dword:123456789\n", "line 4: dword data"},
        {header + section + "\"Bad\"=dword:xyz\n", "line 4: dword data"},
        {header + section + "\"Bad\"=hex:01,2g\n", "line 4: expected a hex byte, found '2g'"},
        {header + section + "\"Bad\"=hex:01,\\\n  02,\n\"Next\"=dword:1\n", "line 4: expected a hex byte, found ''"},
        {header + section + "\"Bad\"=\"unterminated\n", "line 4: unterminated quoted string"},
        {header + section + "\"Bad\"=\"tab\\t\"\n", "line 4: unknown escape '\\t'"},
        {header + section + "\"Bad\"=string\n", "line 4: unrecognised value data"},
        {header + section + "\"Bad\" dword:1\n", "line 4: expected '='"},
        {header + section + "\"Bad\"=\"\xC3\x28\"\n", "line 4: the string is not valid UTF-8"},
        {header + section + "[HKEY_CURRENT_USER\\Software]\n", "line 4: key 'HKEY_CURRENT_USER\\Software' is not under"},
        {header + section + "[HKLM\\Software\n", "line 4: a key section must end with ']'"},
        {header + section + "[-HKLM]\n", "line 4: HKEY_LOCAL_MACHINE itself cannot be deleted"},
        {header + "[-HKLM\\Software]\n\"Value\"=dword:1\n", "line 3: value in the section of a deleted key"},
        {header + section + "garbage\n", "line 4: expected a [key] section"},
    };
    for (const auto &test : cases) {
        std::string error;
        EXPECT_FALSE(host::RegistryImport(test.Text, &error)) << test.Text;
        EXPECT_EQ(error.rfind(test.Expected, 0), 0u) << "text:\n" << test.Text << "error: " << error;
        EXPECT_EQ(host::RegistryExport(), before) << test.Text;
    }
}

// The platform's limits hold for imported text: key names of 255
// characters, value names of 16,383, a tree 512 keys deep.  Within them a
// deep tree of many values imports and exports whole.
TEST_F(Registry, ImportKeepsThePlatformsLimits)
{
    const std::string header = "Windows Registry Editor Version 5.00\n";
    auto chain = [](size_t depth, const std::string &name) {
        std::string path = "HKLM";
        for (size_t i = 0; i < depth; i++) {
            path += "\\" + name;
        }
        return path;
    };
    const std::string before = host::RegistryExport();
    struct Case {
        std::string Text;
        const char *Expected;
    } refused[] = {
        {header + "[" + chain(1, std::string(256, 'k')) + "]\n", "line 2: a key name of 256 characters"},
        {header + "[" + chain(513, "d") + "]\n", "line 2: key 'HKLM\\d\\d"},
        {header + "[HKLM\\Software]\n\"" + std::string(16384, 'v') + "\"=dword:1\n",
         "line 3: a value name of 16384 characters"},
    };
    for (const auto &test : refused) {
        std::string error;
        EXPECT_FALSE(host::RegistryImport(test.Text, &error));
        EXPECT_EQ(error.rfind(test.Expected, 0), 0u) << error.substr(0, 200);
        EXPECT_EQ(host::RegistryExport(), before);
    }

    // At the limits: 512 keys deep, many values in the deepest section.
    std::string deepest = chain(512, "d");
    std::string text = header + "[" + chain(1, std::string(255, 'k')) + "]\n\"" + std::string(16383, 'v') +
                       "\"=dword:1\n[" + deepest + "]\n";
    for (int i = 0; i < 2000; i++) {
        text += "\"V" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    }
    std::string error;
    ASSERT_TRUE(host::RegistryImport(text, &error)) << error;
    ULONG value = 0;
    ASSERT_TRUE(host::RegistryGetDword("HKEY_LOCAL_MACHINE" + deepest.substr(4), "V1999", &value));
    EXPECT_EQ(value, 9u);

    // The export names each of the 512 keys once, as a section of its own,
    // and imports back to the same store.
    std::string exported = host::RegistryExport();
    size_t sections = 0;
    for (size_t at = exported.find("\r\n[HKEY_LOCAL_MACHINE\\d"); at != std::string::npos;
         at = exported.find("\r\n[HKEY_LOCAL_MACHINE\\d", at + 1)) {
        sections++;
    }
    EXPECT_EQ(sections, 512u);
    ASSERT_TRUE(host::RegistryImport(exported, &error)) << error;
    EXPECT_EQ(host::RegistryExport(), exported);
}

//
// The store.
//

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirCase)
{
    host::RegistrySetDword("HKLM\\Software\\TarnCase", "MixedValue", 1);
    host::RegistrySetDword("\\REGISTRY\\MACHINE\\SOFTWARE\\tarncase", "MIXEDVALUE", 2);
    ULONG value = 0;
    EXPECT_TRUE(host::RegistryGetDword("hkey_local_machine\\software\\TARNCASE", "mixedvalue", &value));
    EXPECT_EQ(value, 2u);
    std::string text = host::RegistryExport("HKLM\\Software");
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\TarnCase]\r\n\"MixedValue\"=dword:00000002"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("MIXEDVALUE"), std::string::npos);
    EXPECT_FALSE(host::RegistryKeyExists("HKEY_CURRENT_USER\\Software"));

    // Latin-1 letters fold too, and subkeys go in the order of their
    // folded names, whatever case each was created or looked up in.
    for (const char *name : {"zeta", "\xC3\x89T\xC3\x89", "beta", "Alpha", "BETA"}) {
        host::RegistrySetDword(std::string("HKLM\\Software\\Order\\") + name, "V", 1);
    }
    EXPECT_TRUE(host::RegistryKeyExists("HKLM\\Software\\ORDER\\\xC3\xA9t\xC3\xA9"));
    EXPECT_EQ(host::RegistryExport("HKLM\\Software\\Order"),
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Order]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Order\\Alpha]\r\n\"V\"=dword:00000001\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Order\\beta]\r\n\"V\"=dword:00000001\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Order\\zeta]\r\n\"V\"=dword:00000001\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Order\\\xC3\x89T\xC3\x89]\r\n\"V\"=dword:00000001\r\n\r\n");

    // A subtree's export holds that key and those below it only.
    host::RegistrySetDword(kParameters, "A", 1);
    EXPECT_EQ(host::RegistryExport(kService), "Windows Registry Editor Version 5.00\r\n\r\n"
                                              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Tarn]\r\n\r\n"
                                              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Tarn\\Parameters]\r\n"
                                              "\"A\"=dword:00000001\r\n\r\n");
    EXPECT_EQ(host::RegistryExport("HKLM\\Missing"), "Windows Registry Editor Version 5.00\r\n\r\n");
}

TEST_F(Registry, StorePersistsAcrossRebootButHandlesDoNot)
{
    host::RegistrySetDword(kService, "Start", 3);
    UNICODE_STRING name = Counted(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tarn\\Volatile");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE handle;
    ASSERT_EQ(ZwCreateKey(&handle, KEY_WRITE, &attributes, 0, NULL, REG_OPTION_VOLATILE, NULL), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenRegistryHandles(), 1u);

    host::Reboot();
    EXPECT_EQ(host::OpenRegistryHandles(), 0u);
    UNICODE_STRING valueName = Counted(u"After");
    ULONG data = 1;
    EXPECT_EQ(ZwSetValueKey(handle, &valueName, 0, REG_DWORD, &data, sizeof(data)), STATUS_INVALID_HANDLE);
    ULONG start = 0;
    EXPECT_TRUE(host::RegistryGetDword(kService, "Start", &start));
    EXPECT_EQ(start, 3u);
    EXPECT_FALSE(host::RegistryKeyExists(std::string(kService) + "\\Volatile"));

    host::ResetMachine();
    EXPECT_FALSE(host::RegistryKeyExists(kService));
}

//
// RtlQueryRegistryValues.
//

struct Call {
    std::u16string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

NTSTATUS NTAPI Record(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                      PVOID EntryContext)
{
    auto *calls = static_cast<std::vector<Call> *>(Context);
    auto *bytes = static_cast<uint8_t *>(ValueData);
    calls->push_back(Call{ValueName != nullptr ? ValueName : u"<null>", ValueType,
                          std::vector<uint8_t>(bytes, bytes + ValueLength)});
    return EntryContext != nullptr ? *static_cast<NTSTATUS *>(EntryContext) : STATUS_SUCCESS;
}

class RegistryQuery : public Registry {
protected:
    void SetUp() override
    {
        Registry::SetUp();
        RtlZeroMemory(m_table, sizeof(m_table));
    }
    // One entry, then the terminator.
    PRTL_QUERY_REGISTRY_TABLE Entry(ULONG flags, const char16_t *name, PVOID context, ULONG defaultType = REG_NONE,
                                    int index = 0)
    {
        PRTL_QUERY_REGISTRY_TABLE entry = &m_table[index];
        entry->Flags = flags;
        entry->Name = const_cast<PWSTR>(name);
        entry->EntryContext = context;
        entry->DefaultType = defaultType;
        return entry;
    }
    NTSTATUS Run(PCWSTR path = u"Tarn\\Parameters", ULONG relativeTo = RTL_REGISTRY_SERVICES)
    {
        return RtlQueryRegistryValues(relativeTo, path, m_table, &m_calls, NULL);
    }
    RTL_QUERY_REGISTRY_TABLE m_table[4];
    std::vector<Call> m_calls;
};

TEST_F(RegistryQuery, DirectDwordWithDefaultsAndRequired)
{
    host::RegistrySetDword(kParameters, "Present", 42);
    ULONG present = 0, missing = 5, fallback = 9, required = 1, untouched = 77;
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"present", &present, REG_DWORD, 0);
    PRTL_QUERY_REGISTRY_TABLE entry = Entry(RTL_QUERY_REGISTRY_DIRECT, u"Missing", &missing, REG_DWORD, 1);
    entry->DefaultData = &fallback;
    entry->DefaultLength = sizeof(fallback);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(present, 42u);
    EXPECT_EQ(missing, 9u);

    // A required value that is missing stops the query there.
    Entry(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, u"Absent", &required, REG_NONE, 1);
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"Present", &untouched, REG_NONE, 2);
    EXPECT_EQ(Run(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(required, 1u);
    EXPECT_EQ(untouched, 77u);
}

TEST_F(RegistryQuery, DirectStringsAllocateOrFillTheCallersBuffer)
{
    host::RegistrySetString(kService, "DisplayName", "Tarn DSM");
    host::RegistrySetMultiString(kParameters, "SupportedDeviceList", {"VEND1", "VEND2"});

    UNICODE_STRING name = {};
    Entry(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, u"DisplayName", &name);
    ASSERT_EQ(Run(u"Tarn"), STATUS_SUCCESS);
    ASSERT_NE(name.Buffer, nullptr);
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), u"Tarn DSM");
    EXPECT_EQ(name.MaximumLength, 18);
    EXPECT_EQ(name.Buffer[name.Length / 2], 0);
    EXPECT_EQ(host::PoolOutstanding(host::Tag("RtlQ")), 1u);
    ExFreePool(name.Buffer);
    EXPECT_EQ(host::PoolOutstanding(), 0u);

    // A whole REG_MULTI_SZ: Length keeps every terminator but the last.
    UNICODE_STRING list = {};
    Entry(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, u"SupportedDeviceList", &list);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(list.Buffer, list.Length / 2), std::u16string(u"VEND1\0VEND2\0", 12));
    EXPECT_EQ(list.MaximumLength, 26);
    RtlFreeUnicodeString(&list);

    // The caller's own buffer: too small is refused untouched.
    WCHAR small[4] = {u'x', u'x', u'x', u'x'};
    UNICODE_STRING fixed = {0, sizeof(small), small};
    Entry(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, u"DisplayName", &fixed);
    EXPECT_EQ(Run(u"Tarn"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(fixed.Length, 0);
    EXPECT_EQ(small[0], u'x');

    // No pool, no string: the failure is reported and nothing is written.
    UNICODE_STRING failed = {};
    Entry(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, u"DisplayName", &failed);
    host::PoolFailNth(1);
    EXPECT_EQ(Run(u"Tarn"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failed.Buffer, nullptr);
}

TEST_F(RegistryQuery, DirectBinaryUsesTheNegatedSizeConvention)
{
    host::RegistrySetValue(kParameters, "Key8", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    host::RegistrySetValue(kParameters, "Small", REG_BINARY, {0xAA, 0xBB});

    LONG buffer[4] = {-16, 0x11111111, 0x22222222, 0x33333333};
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"Key8", buffer);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buffer, "\1\2\3\4\5\6\7\x8", 8), 0);
    EXPECT_EQ(buffer[2], 0x22222222);   // only the value's bytes are written

    LONG tooSmall[2] = {-6, 0};
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"Key8", tooSmall);
    EXPECT_EQ(Run(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall[0], -6);

    ULONG small = 0x12345678;
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"Small", &small);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(small, 0x1234BBAAu);
}

TEST_F(RegistryQuery, VerifierCatchesDirectQueriesThatWouldCorruptMemory)
{
    VerifierRecorder verifier;
    host::RegistrySetValue(kParameters, "Blob", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    host::RegistrySetString(kParameters, "Text", "not a number");
    host::RegistrySetMultiString(kParameters, "List", {"a"});

    // A ULONG where a sized buffer was needed.
    ULONG number = 0;
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"Blob", &number);
    EXPECT_EQ(Run(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_THAT(verifier.One(), HasSubstr("\"Blob\""));

    // A string into a DWORD the caller's default says it holds.
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"Text", &number, REG_DWORD);
    EXPECT_EQ(Run(), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_THAT(verifier.One(), HasSubstr("\"Text\""));
    EXPECT_EQ(number, 0u);

    // A REG_MULTI_SZ needs NOEXPAND to arrive whole.
    UNICODE_STRING list = {};
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"List", &list);
    Run();
    EXPECT_THAT(verifier.One(), HasSubstr("NOEXPAND"));
    RtlFreeUnicodeString(&list);
}

// As on kernels older than the flag: TYPECHECK is ignored, so a direct
// query stores whatever the value holds, and the verifier reports the
// overrun a DWORD field would suffer.  ResetMachine restores the flag.
TEST_F(RegistryQuery, TypecheckRefusesAnotherTypeUnlessTheKernelIgnoresIt)
{
    host::RegistrySetString(kParameters, "TurTimeoutValue", "30");
    host::RegistrySetValue(kParameters, "Short", REG_BINARY, {0x2C, 0x01});
    ULONG value = 5;
    Entry(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK, u"TurTimeoutValue",
          &value, (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE);
    {
        VerifierRecorder verifier;
        host::RegistryIgnoreTypecheck(true);
        Run();
        EXPECT_THAT(verifier.One(), HasSubstr("\"TurTimeoutValue\""));

        // A value of another type and size that fits is simply stored.
        m_table[0].Name = const_cast<PWSTR>(u"Short");
        EXPECT_EQ(Run(), STATUS_SUCCESS);
        EXPECT_EQ(value, 0x12Cu);
        EXPECT_EQ(verifier.One(), "");
    }
    // With the flag honoured, another type is refused without a write.
    host::ResetMachine();
    VerifierRecorder verifier;
    host::RegistrySetString(kParameters, "TurTimeoutValue", "30");
    host::RegistrySetDword(kParameters, "TurRetryCount", 4);
    value = 5;
    m_table[0].Name = const_cast<PWSTR>(u"TurTimeoutValue");
    EXPECT_EQ(Run(), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 5u);
    m_table[0].Name = const_cast<PWSTR>(u"TurRetryCount");
    EXPECT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(value, 4u);
    EXPECT_EQ(verifier.One(), "");
}

// Empty values: nothing is copied, from nowhere (a NULL source is
// undefined behaviour even for no bytes).
TEST_F(RegistryQuery, EmptyValuesCopyNothing)
{
    host::RegistrySetValue(kParameters, "Empty", REG_BINARY, {});
    ULONG value = 0x55;
    Entry(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK, u"Empty", &value,
          (REG_BINARY << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE);
    EXPECT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x55u);

    NTSTATUS status = STATUS_SUCCESS;
    Entry(RTL_QUERY_REGISTRY_REQUIRED, u"Empty", &status)->QueryRoutine = Record;
    EXPECT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_TRUE(m_calls[0].Data.empty());
}

TEST_F(RegistryQuery, MissingKeyIsAnErrorUnlessOptional)
{
    ULONG value = 1;
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"Anything", &value);
    EXPECT_EQ(Run(u"Absent"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Run(u"Absent", RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Absent")), STATUS_OBJECT_NAME_NOT_FOUND);

    host::RegistrySetDword(kParameters, "Anything", 2);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"tarn\\parameters")), STATUS_SUCCESS);
    EXPECT_EQ(Run(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tarn\\Parameters",
                  RTL_REGISTRY_ABSOLUTE),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(Run(u"Tarn\\\\Parameters"), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(RegistryQuery, RoutinesSeeNamesTypesAndLengths)
{
    host::RegistrySetValue(kParameters, "PRKey", REG_BINARY, {1, 2, 3});
    host::RegistrySetMultiString(kParameters, "List", {"ab", "c"});
    host::RegistrySetValue(kParameters, "Path", REG_EXPAND_SZ, Utf16(u"%Root%\\x"));

    m_table[0].QueryRoutine = Record;
    Entry(RTL_QUERY_REGISTRY_REQUIRED, u"prkey", NULL);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].Name, u"PRKey");
    EXPECT_EQ(m_calls[0].Type, (ULONG)REG_BINARY);
    EXPECT_EQ(m_calls[0].Data, (std::vector<uint8_t>{1, 2, 3}));

    // Without NOEXPAND: one call per string, and REG_EXPAND_SZ as REG_SZ.
    m_calls.clear();
    Entry(0, u"List", NULL);
    m_table[1].QueryRoutine = Record;
    Entry(0, u"Path", NULL, REG_NONE, 1);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(m_calls.size(), 3u);
    EXPECT_EQ(m_calls[0].Data, Utf16(u"ab"));
    EXPECT_EQ(m_calls[1].Data, Utf16(u"c"));
    EXPECT_EQ(m_calls[1].Type, (ULONG)REG_SZ);
    EXPECT_EQ(m_calls[2].Type, (ULONG)REG_SZ);

    m_calls.clear();
    Entry(RTL_QUERY_REGISTRY_NOEXPAND, u"List", NULL);
    Entry(RTL_QUERY_REGISTRY_NOEXPAND, u"Path", NULL, REG_NONE, 1);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(m_calls.size(), 2u);
    EXPECT_EQ(m_calls[0].Type, (ULONG)REG_MULTI_SZ);
    EXPECT_EQ(m_calls[0].Data.size(), 12u);
    EXPECT_EQ(m_calls[1].Type, (ULONG)REG_EXPAND_SZ);

    // A routine's failure ends the query with its status.
    m_calls.clear();
    NTSTATUS refuse = STATUS_INVALID_PARAMETER;
    Entry(0, u"PRKey", &refuse);
    EXPECT_EQ(Run(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_calls.size(), 1u);
}

TEST_F(RegistryQuery, EnumerationSubkeysAndDefaults)
{
    host::RegistrySetDword(kService, "Start", 3);
    host::RegistrySetDword(kService, "Type", 1);
    host::RegistrySetDword(kParameters, "Inner", 7);

    // Every value of the key, in creation order, then those of a subkey.
    m_table[0].QueryRoutine = Record;
    Entry(0, NULL, NULL);
    m_table[1].QueryRoutine = Record;
    Entry(RTL_QUERY_REGISTRY_SUBKEY, u"Parameters", NULL, REG_NONE, 1);
    ASSERT_EQ(Run(u"Tarn"), STATUS_SUCCESS);
    ASSERT_EQ(m_calls.size(), 3u);
    EXPECT_EQ(m_calls[0].Name, u"Start");
    EXPECT_EQ(m_calls[1].Name, u"Type");
    EXPECT_EQ(m_calls[2].Name, u"Inner");

    // A missing value with a string default of length 0 gets it up to its terminator.
    m_calls.clear();
    RtlZeroMemory(m_table, sizeof(m_table));
    m_table[0].QueryRoutine = Record;
    PRTL_QUERY_REGISTRY_TABLE entry = Entry(0, u"Missing", NULL, REG_SZ);
    entry->DefaultData = const_cast<char16_t *>(u"fallback");
    ASSERT_EQ(Run(u"Tarn"), STATUS_SUCCESS);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].Data, Utf16(u"fallback"));

    // DELETE removes what was queried.
    m_calls.clear();
    Entry(RTL_QUERY_REGISTRY_DELETE, u"Start", NULL);
    ASSERT_EQ(Run(u"Tarn"), STATUS_SUCCESS);
    EXPECT_FALSE(host::RegistryGetValue(kService, "Start", nullptr, nullptr));
}

// A routine may use the registry itself: no lock is held across the call.
NTSTATUS NTAPI DeleteWhileQueried(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                  PVOID Context, PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueType);
    UNREFERENCED_PARAMETER(ValueData);
    UNREFERENCED_PARAMETER(ValueLength);
    UNREFERENCED_PARAMETER(EntryContext);
    host::RegistryDeleteValue(kParameters, "Second");
    static_cast<std::vector<Call> *>(Context)->push_back(Call{ValueName, 0, {}});
    return STATUS_SUCCESS;
}

TEST_F(RegistryQuery, RoutinesMayUseTheRegistry)
{
    host::RegistrySetDword(kParameters, "First", 1);
    host::RegistrySetDword(kParameters, "Second", 2);
    m_table[0].QueryRoutine = DeleteWhileQueried;
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    // The enumeration works on what the key held when it started.
    EXPECT_EQ(m_calls.size(), 2u);
    EXPECT_FALSE(host::RegistryGetValue(kParameters, "Second", nullptr, nullptr));
}

TEST_F(RegistryQuery, MalformedTablesAreRefused)
{
    host::RegistrySetDword(kParameters, "A", 1);
    ULONG value = 0;
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"A", NULL);   // nowhere to store
    EXPECT_EQ(Run(), STATUS_INVALID_PARAMETER);
    Entry(0, u"A", &value);                          // neither routine nor DIRECT
    EXPECT_EQ(Run(), STATUS_INVALID_PARAMETER);
    Entry(RTL_QUERY_REGISTRY_DIRECT | 0x1000, u"A", &value);
    EXPECT_EQ(Run(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, 0u);
}

//
// ZwCreateKey, ZwSetValueKey, ZwClose.
//

class RegistryKeys : public RegistryQuery {
protected:
    NTSTATUS Create(const char16_t *path, HANDLE *handle, ULONG *disposition = nullptr,
                    ACCESS_MASK access = KEY_WRITE, HANDLE root = NULL, ULONG attributes = OBJ_KERNEL_HANDLE)
    {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES objectAttributes;
        InitializeObjectAttributes(&objectAttributes, &name, attributes | OBJ_CASE_INSENSITIVE, root, NULL);
        return ZwCreateKey(handle, access, &objectAttributes, 0, NULL, REG_OPTION_NON_VOLATILE, disposition);
    }
};

TEST_F(RegistryKeys, CreateSetAndClose)
{
    HANDLE handle;
    ULONG disposition = 0;
    EXPECT_EQ(Create(u"\\Registry\\Machine\\Software\\Tarn\\Child", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Create(u"\\Registry\\Machine\\Software", &handle, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    HANDLE child;
    ASSERT_EQ(Create(u"Tarn", &child, &disposition, KEY_WRITE, handle), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    HANDLE again;
    ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\software\\TARN", &again, &disposition, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(host::OpenRegistryHandles(), 3u);

    UNICODE_STRING name = Counted(u"Raw");
    UCHAR bytes[3] = {9, 8, 7};
    EXPECT_EQ(ZwSetValueKey(child, &name, 0, 0x99, bytes, sizeof(bytes)), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(again, &name, 0, REG_BINARY, bytes, 1), STATUS_ACCESS_DENIED);
    ULONG type;
    EXPECT_EQ(Value("HKLM\\Software\\Tarn", "raw", &type), (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_EQ(type, 0x99u);
    UNICODE_STRING nothing = Counted(u"Nothing");   // an empty value, from no data
    EXPECT_EQ(ZwSetValueKey(child, &nothing, 0, REG_BINARY, nullptr, 0), STATUS_SUCCESS);
    EXPECT_TRUE(Value("HKLM\\Software\\Tarn", "Nothing").empty());

    EXPECT_EQ(Create(u"Registry\\Machine", &again), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(u"\\Registry\\User\\X", &again), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenRegistryHandles(), 0u);
}

// Injected failures: the n-th call from now, or every call, fails with
// no resources and changes nothing; the others go through.
TEST_F(RegistryKeys, InjectedFailuresOfCreateAndSet)
{
    HANDLE handle = nullptr;
    host::FailCallNth(host::Call::ZwCreateKey, 2);
    ASSERT_EQ(Create(u"\\Registry\\Machine\\Software", &handle), STATUS_SUCCESS);
    HANDLE child = nullptr;
    EXPECT_EQ(Create(u"Tarn", &child, nullptr, KEY_WRITE, handle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host::RegistryKeyExists("HKLM\\Software\\Tarn"));
    EXPECT_EQ(host::OpenRegistryHandles(), 1u);
    ASSERT_EQ(Create(u"Tarn", &child, nullptr, KEY_WRITE, handle), STATUS_SUCCESS);
    EXPECT_EQ(host::InjectedCallFailures(host::Call::ZwCreateKey), 1u);

    UNICODE_STRING name = Counted(u"Value");
    ULONG data = 7;
    host::FailEveryCall(host::Call::ZwSetValueKey);
    EXPECT_EQ(ZwSetValueKey(child, &name, 0, REG_DWORD, &data, sizeof(data)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ZwSetValueKey(child, &name, 0, REG_DWORD, &data, sizeof(data)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::InjectedCallFailures(host::Call::ZwSetValueKey), 2u);
    ULONG stored = 0;
    EXPECT_FALSE(host::RegistryGetDword("HKLM\\Software\\Tarn", "Value", &stored));

    host::ClearCallFailures();
    EXPECT_EQ(ZwSetValueKey(child, &name, 0, REG_DWORD, &data, sizeof(data)), STATUS_SUCCESS);
    EXPECT_TRUE(host::RegistryGetDword("HKLM\\Software\\Tarn", "Value", &stored));
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, QueryThroughAHandleNeedsQueryAccess)
{
    host::RegistrySetDword("HKLM\\Software\\Tarn", "X", 5);
    HANDLE readable, writable;
    ASSERT_EQ(Create(u"\\Registry\\Machine\\Software\\Tarn", &readable, nullptr, KEY_READ), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"\\Registry\\Machine\\Software\\Tarn", &writable, nullptr, KEY_WRITE), STATUS_SUCCESS);
    ULONG value = 0;
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"X", &value);
    EXPECT_EQ(Run(static_cast<PCWSTR>(readable), RTL_REGISTRY_HANDLE), STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(Run(static_cast<PCWSTR>(writable), RTL_REGISTRY_HANDLE), STATUS_ACCESS_DENIED);
    ZwClose(readable);
    ZwClose(writable);
    EXPECT_EQ(Run(static_cast<PCWSTR>(readable), RTL_REGISTRY_HANDLE), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryKeys, ConcurrentUseKeepsEveryWrite)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kRounds; i++) {
                HANDLE handle;
                ASSERT_EQ(Create(u"\\Registry\\Machine\\Software", &handle), STATUS_SUCCESS);
                std::u16string name = u"T" + std::u16string(1, static_cast<char16_t>(u'0' + t));
                UNICODE_STRING valueName = Counted(name.c_str());
                ULONG data = static_cast<ULONG>(i);
                EXPECT_EQ(ZwSetValueKey(handle, &valueName, 0, REG_DWORD, &data, sizeof(data)), STATUS_SUCCESS);
                EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
                host::RegistryExport();
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(host::OpenRegistryHandles(), 0u);
    for (int t = 0; t < kThreads; t++) {
        ULONG value = 0;
        EXPECT_TRUE(host::RegistryGetDword("HKLM\\Software", "T" + std::to_string(t), &value));
        EXPECT_EQ(value, static_cast<ULONG>(kRounds - 1));
    }
}

TEST_F(RegistryKeys, VerifierCatchesHandleMisuse)
{
    VerifierRecorder verifier;
    HANDLE handle;
    ASSERT_EQ(Create(u"\\Registry\\Machine\\Software", &handle, nullptr, KEY_WRITE, NULL, 0), STATUS_SUCCESS);
    EXPECT_THAT(verifier.One(), HasSubstr("OBJ_KERNEL_HANDLE"));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    // The handle of a deleted key fails, even when a key of its name is back.
    host::RegistrySetDword("HKLM\\Software\\Tarn", "X", 1);
    ASSERT_EQ(Create(u"\\Registry\\Machine\\Software\\Tarn", &handle), STATUS_SUCCESS);
    host::RegistryDeleteKey("HKLM\\Software\\Tarn");
    host::RegistrySetDword("HKLM\\Software\\Tarn", "X", 2);
    UNICODE_STRING name = Counted(u"X");
    ULONG data = 3;
    EXPECT_EQ(ZwSetValueKey(handle, &name, 0, REG_DWORD, &data, sizeof(data)), (NTSTATUS)0xC000017C);
    EXPECT_TRUE(host::RegistryGetDword("HKLM\\Software\\Tarn", "X", &data));
    EXPECT_EQ(data, 2u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_THAT(verifier.One(), HasSubstr("ZwClose"));
}

TEST_F(RegistryKeys, RegistryCallsAtDispatchLevelStopTheTest)
{
    ULONG value = 0;
    Entry(RTL_QUERY_REGISTRY_DIRECT, u"Value", &value);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            Run(u"Tarn");
        },
        "VERIFIER: RtlQueryRegistryValues called at DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KIRQL old;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLock(&lock, &old);
            HANDLE handle;
            Create(u"\\Registry\\Machine\\Software", &handle);
        },
        "VERIFIER: ZwCreateKey called at DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Tarn"));
        },
        "VERIFIER: RtlCheckRegistryKey called at APC_LEVEL");
}

} // namespace
