// tarn_imagecheck: checks the driver image as the real loader and event
// log would take it.  The image must be a 32-bit PE of the native
// subsystem, relocatable, with an entry point, no section both writable
// and executable, no exports and no global constructors; every import must be by name and named
// by the export list of the module it comes from (one list per module,
// the file named as the import table names the module); its version
// resource must carry the driver's version, its management class
// resource the MOF text, and its message table the same texts, under
// the same identifiers, as the message table the host renders events
// from.
//
//   tarn_imagecheck --version V --messages tarnmsg.h --mof tarnwmi.mof IMAGE EXPORTLIST...
//
// Prints what it found; exits 0 when everything holds, 1 with every
// fault named otherwise, 2 on wrong arguments or unreadable files.
#include "hostkernel.h"
#include "tarnresources.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr int kExportDirectory = 0;
constexpr int kImportDirectory = 1;
constexpr int kResourceDirectory = 2;
constexpr int kRelocationDirectory = 5;
constexpr uint32_t kResourceVersion = 16;
constexpr uint32_t kResourceMessageTable = 11;

std::vector<std::string> faults;

void Fault(const std::string &text)
{
    faults.push_back(text);
    std::printf("FAULT: %s\n", text.c_str());
}

std::optional<std::string> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// A PE image read from a file.  Every read is bounds-checked: a
// malformed image is a fault reported, never a crash.
class Image {
public:
    explicit Image(std::string bytes) : bytes_(std::move(bytes)) {}

    bool Parse()
    {
        if (U16(0) != 0x5A4D) {
            Fault("no MZ header");
            return false;
        }
        pe_ = U32(0x3C);
        if (U32(pe_) != 0x00004550) {
            Fault("no PE signature");
            return false;
        }
        machine_ = U16(pe_ + 4);
        sectionCount_ = U16(pe_ + 6);
        optionalSize_ = U16(pe_ + 20);
        characteristics_ = U16(pe_ + 22);
        optional_ = pe_ + 24;
        magic_ = U16(optional_);
        if (magic_ != kPe32Magic) {
            return true;   // reported by the caller; the rest is PE32+ or worse
        }
        entry_ = U32(optional_ + 16);
        subsystem_ = U16(optional_ + 68);
        directoryCount_ = U32(optional_ + 92);
        sections_ = optional_ + optionalSize_;
        return ok_;
    }

    bool Ok() const { return ok_; }

    uint16_t U16(size_t offset)
    {
        if (offset + 2 > bytes_.size()) {
            Truncated();
            return 0;
        }
        return static_cast<uint16_t>(Byte(offset) | (Byte(offset + 1) << 8));
    }

    uint32_t U32(size_t offset) { return U16(offset) | (static_cast<uint32_t>(U16(offset + 2)) << 16); }

    // The file offset of an image address, or nothing where no section holds it.
    std::optional<size_t> Offset(uint32_t rva)
    {
        for (uint16_t i = 0; i < sectionCount_; ++i) {
            size_t header = sections_ + 40u * i;
            uint32_t address = U32(header + 12);
            uint32_t virtualSize = std::max(U32(header + 8), U32(header + 16));
            if (rva >= address && rva < address + virtualSize) {
                return U32(header + 20) + (rva - address);
            }
        }
        return std::nullopt;
    }

    std::string CString(uint32_t rva)
    {
        std::string text;
        auto offset = Offset(rva);
        if (!offset) {
            Truncated();
            return text;
        }
        for (size_t at = *offset; at < bytes_.size() && bytes_[at] != '\0'; ++at) {
            text += bytes_[at];
        }
        return text;
    }

    std::string Bytes(size_t offset, size_t length)
    {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            Truncated();
            return {};
        }
        return bytes_.substr(offset, length);
    }

    struct Directory {
        uint32_t Rva;
        uint32_t Size;
    };

    Directory DataDirectory(int index)
    {
        if (static_cast<uint32_t>(index) >= directoryCount_) {
            return {0, 0};
        }
        return {U32(optional_ + 96 + 8u * index), U32(optional_ + 100 + 8u * index)};
    }

    struct Section {
        std::string Name;
        uint32_t Characteristics;
    };

    std::vector<Section> Sections()
    {
        std::vector<Section> result;
        for (uint16_t i = 0; i < sectionCount_; ++i) {
            size_t header = sections_ + 40u * i;
            std::string name = Bytes(header, 8);
            name = name.substr(0, name.find('\0'));
            result.push_back({name, U32(header + 36)});
        }
        return result;
    }

    // The address of a symbol in the image's COFF symbol table, which
    // the linker keeps unless told to strip it.
    std::optional<uint32_t> Symbol(const std::string &wanted)
    {
        uint32_t table = U32(pe_ + 12);
        uint32_t count = U32(pe_ + 16);
        size_t strings = table + 18u * count;
        for (uint32_t i = 0; table != 0 && i < count && ok_; ++i) {
            size_t record = table + 18u * i;
            std::string name = Bytes(record, 8);
            if (U32(record) == 0) {
                name.clear();
                for (size_t at = strings + U32(record + 4); at < bytes_.size() && bytes_[at] != '\0'; ++at) {
                    name += bytes_[at];
                }
            } else {
                name = name.substr(0, name.find('\0'));
            }
            int16_t section = static_cast<int16_t>(U16(record + 12));
            if (name == wanted && section > 0 && section <= sectionCount_) {
                return U32(sections_ + 40u * (section - 1) + 12) + U32(record + 8);
            }
            i += U16(record + 16) >> 8;   // auxiliary records
        }
        return std::nullopt;
    }

    uint16_t machine_ = 0, sectionCount_ = 0, optionalSize_ = 0, characteristics_ = 0, magic_ = 0, subsystem_ = 0;
    uint32_t entry_ = 0, directoryCount_ = 0;

private:
    unsigned Byte(size_t offset) const { return static_cast<unsigned char>(bytes_[offset]); }

    void Truncated()
    {
        if (ok_) {
            Fault("the image is truncated or a table points outside it");
        }
        ok_ = false;
    }

    std::string bytes_;
    size_t pe_ = 0, optional_ = 0, sections_ = 0;
    bool ok_ = true;
};

void CheckHeaders(Image &image)
{
    if (image.machine_ != kMachineI386) {
        Fault("machine is not i386");
    }
    if (image.magic_ != kPe32Magic) {
        Fault("not a PE32 image");
        return;
    }
    if (image.subsystem_ != kSubsystemNative) {
        Fault("subsystem " + std::to_string(image.subsystem_) + ", not native (1)");
    }
    if (image.entry_ == 0) {
        Fault("no entry point");
    }
    if ((image.characteristics_ & kRelocsStripped) != 0 || image.DataDirectory(kRelocationDirectory).Size == 0) {
        Fault("relocations stripped: the loader could not place the image anywhere but its base");
    }
    if (image.DataDirectory(kExportDirectory).Size != 0) {
        Fault("the image exports symbols");
    }
    for (const auto &section : image.Sections()) {
        std::printf("section %-8s %08X\n", section.Name.c_str(), section.Characteristics);
        if ((section.Characteristics & kSectionWrite) && (section.Characteristics & kSectionExecute)) {
            Fault("section " + section.Name + " is both writable and executable");
        }
        if (section.Name == ".ctors" || section.Name == ".init_array" || section.Name == ".tls") {
            Fault("section " + section.Name + ": global constructors or thread-local data, which no kernel runs");
        }
    }
}

// No kernel runs constructors of global objects: the linker's list of
// them (a -1, the constructors, a 0) must be empty.
void CheckConstructors(Image &image)
{
    auto list = image.Symbol("___CTOR_LIST__");
    if (!list) {
        std::printf("no symbol table: constructor list not checked\n");
        return;
    }
    auto offset = image.Offset(*list);
    if (!offset || image.U32(*offset) != 0xFFFFFFFFu || image.U32(*offset + 4) != 0) {
        Fault("the image has global constructors, which no kernel runs");
    } else {
        std::printf("no global constructors\n");
    }
}

using ExportLists = std::map<std::string, std::set<std::string>>;   // module (lower case) -> names

void CheckImports(Image &image, const ExportLists &exports)
{
    Image::Directory directory = image.DataDirectory(kImportDirectory);
    auto offset = image.Offset(directory.Rva);
    if (directory.Size == 0 || !offset) {
        Fault("no import table");
        return;
    }
    size_t count = 0;
    for (size_t descriptor = *offset; image.Ok(); descriptor += 20) {
        uint32_t lookup = image.U32(descriptor);
        uint32_t name = image.U32(descriptor + 12);
        uint32_t thunks = image.U32(descriptor + 16);
        if (name == 0 && thunks == 0) {
            break;
        }
        std::string module = image.CString(name);
        auto list = exports.find(Lower(module));
        auto table = image.Offset(lookup != 0 ? lookup : thunks);
        for (size_t thunk = table.value_or(0); table && image.Ok(); thunk += 4) {
            uint32_t entry = image.U32(thunk);
            if (entry == 0) {
                break;
            }
            ++count;
            if (entry & 0x80000000u) {
                Fault("imports ordinal " + std::to_string(entry & 0xFFFF) + " from " + module +
                      ": ordinals differ between kernel builds");
                continue;
            }
            std::string symbol = image.CString(entry + 2);
            std::printf("import %s!%s\n", module.c_str(), symbol.c_str());
            if (list == exports.end()) {
                Fault("imports " + symbol + " from " + module + ", which no export list names");
            } else if (list->second.count(symbol) == 0) {
                Fault("imports " + symbol + " from " + module + ", which does not export it");
            }
        }
    }
    std::printf("%zu imports\n", count);
}

// The data of the first resource of a type and name (any language):
// the resource directory is type, name, language, then the data entry.
std::optional<std::string> FindResource(Image &image, uint32_t typeId, const std::string &typeName,
                                        uint32_t nameId, const std::string &name)
{
    Image::Directory directory = image.DataDirectory(kResourceDirectory);
    auto root = image.Offset(directory.Rva);
    if (directory.Size == 0 || !root) {
        return std::nullopt;
    }
    auto stringAt = [&](uint32_t offset) {
        std::u16string text;
        uint16_t length = image.U16(*root + offset);
        for (uint16_t i = 0; i < length && image.Ok(); ++i) {
            text += static_cast<char16_t>(image.U16(*root + offset + 2 + 2u * i));
        }
        return std::string(text.begin(), text.end());
    };
    // The entry of a directory that matches an identifier or a name; a
    // wildcard (no identifier, no name) takes the first.
    auto find = [&](uint32_t table, uint32_t id, const std::string &wanted) -> std::optional<uint32_t> {
        uint16_t named = image.U16(*root + table + 12);
        uint16_t numbered = image.U16(*root + table + 14);
        for (uint32_t i = 0; i < uint32_t(named) + numbered && image.Ok(); ++i) {
            size_t entry = *root + table + 16 + 8u * i;
            uint32_t key = image.U32(entry);
            uint32_t target = image.U32(entry + 4);
            bool match = id == 0 && wanted.empty();
            if (key & 0x80000000u) {
                match = match || (!wanted.empty() && Upper(stringAt(key & 0x7FFFFFFFu)) == Upper(wanted));
            } else {
                match = match || (id != 0 && key == id);
            }
            if (match) {
                return target;
            }
        }
        return std::nullopt;
    };
    auto type = find(0, typeId, typeName);
    if (!type || !(*type & 0x80000000u)) {
        return std::nullopt;
    }
    auto entry = find(*type & 0x7FFFFFFFu, nameId, name);
    if (!entry || !(*entry & 0x80000000u)) {
        return std::nullopt;
    }
    auto language = find(*entry & 0x7FFFFFFFu, 0, "");
    if (!language || (*language & 0x80000000u)) {
        return std::nullopt;
    }
    uint32_t dataRva = image.U32(*root + *language);
    uint32_t dataSize = image.U32(*root + *language + 4);
    auto data = image.Offset(dataRva);
    if (!data) {
        return std::nullopt;
    }
    return image.Bytes(*data, dataSize);
}

std::string Wide(const std::string &text)
{
    std::string wide;
    for (char c : text) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

// The message table: blocks of consecutive identifiers, each entry a
// length, a flag word (1: UTF-16 text) and the text.
std::map<uint32_t, std::string> ReadMessageTable(const std::string &table)
{
    std::map<uint32_t, std::string> messages;
    Image view(table);   // only for its bounds-checked readers
    uint32_t blocks = view.U32(0);
    for (uint32_t block = 0; block < blocks && view.Ok(); ++block) {
        uint32_t low = view.U32(4 + 12u * block);
        uint32_t high = view.U32(8 + 12u * block);
        size_t at = view.U32(12 + 12u * block);
        for (uint32_t id = low; id <= high && view.Ok(); ++id) {
            uint16_t length = view.U16(at);
            uint16_t flags = view.U16(at + 2);
            std::string text;
            if (flags & 1) {
                for (size_t c = at + 4; c + 1 < at + length; c += 2) {
                    uint16_t unit = view.U16(c);
                    if (unit == 0) {
                        break;
                    }
                    text += unit < 0x80 ? static_cast<char>(unit) : '?';
                }
            } else {
                text = view.Bytes(at + 4, length > 4 ? length - 4u : 0);
                text = text.substr(0, text.find('\0'));
            }
            messages[id] = text;
            if (length == 0) {
                break;
            }
            at += length;
        }
    }
    return messages;
}

void CheckMessages(Image &image, const std::string &header)
{
    auto table = FindResource(image, kResourceMessageTable, "", 1, "");
    if (!table) {
        Fault("no message table");
        return;
    }
    std::map<uint32_t, std::string> inImage = ReadMessageTable(*table);
    // The identifiers the driver logs with, as its generated header defines them.
    std::regex define(R"(#define\s+(\w+)\s+\(\(NTSTATUS\)0x([0-9A-Fa-f]+)L\))");
    std::set<uint32_t> identifiers;
    for (auto it = std::sregex_iterator(header.begin(), header.end(), define); it != std::sregex_iterator(); ++it) {
        identifiers.insert(static_cast<uint32_t>(std::stoul((*it)[2].str(), nullptr, 16)));
    }
    TarnRegisterMessages(u"tarndsm");
    for (uint32_t id : identifiers) {
        const host::MessageEntry *host = host::FindMessage(u"tarndsm", id);
        auto image = inImage.find(id);
        if (host == nullptr) {
            Fault("the host has no message " + std::to_string(id));
        } else if (image == inImage.end()) {
            Fault(std::string("the image's message table lacks ") + host->SymbolicName);
        } else if (image->second != host->Text) {
            Fault(std::string("message ") + host->SymbolicName + " differs: image \"" + image->second +
                  "\", host \"" + host->Text + "\"");
        } else {
            std::printf("message %08X %s\n", id, host->SymbolicName);
        }
    }
    if (inImage.size() != identifiers.size()) {
        Fault("the image holds " + std::to_string(inImage.size()) + " messages, the driver defines " +
              std::to_string(identifiers.size()));
    }
    std::printf("%zu messages\n", identifiers.size());
}

void CheckVersionAndMof(Image &image, const std::string &version, const std::string &mof)
{
    auto info = FindResource(image, kResourceVersion, "", 1, "");
    if (!info) {
        Fault("no version resource");
    } else if (info->find(Wide(version)) == std::string::npos) {
        Fault("the version resource does not carry " + version);
    } else {
        std::printf("version %s\n", version.c_str());
    }
    // The registration names the resource "MofResourceName".
    auto classes = FindResource(image, 0, "MOFDATA", 0, "MofResourceName");
    if (!classes) {
        Fault("no MOFDATA resource MofResourceName");
    } else if (*classes != mof) {
        Fault("the MOF resource differs from the management classes' source");
    } else {
        std::printf("management classes %zu bytes\n", classes->size());
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::string version, messagesPath, mofPath;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if ((argument == "--version" || argument == "--messages" || argument == "--mof") && i + 1 < argc) {
            (argument == "--version" ? version : argument == "--messages" ? messagesPath : mofPath) = argv[++i];
        } else {
            files.push_back(argument);
        }
    }
    if (version.empty() || messagesPath.empty() || mofPath.empty() || files.size() < 2) {
        std::fprintf(stderr, "usage: tarn_imagecheck --version V --messages tarnmsg.h --mof FILE IMAGE EXPORTLIST...\n");
        return 2;
    }
    auto bytes = ReadFile(files[0]);
    auto header = ReadFile(messagesPath);
    auto mof = ReadFile(mofPath);
    if (!bytes || !header || !mof) {
        std::fprintf(stderr, "tarn_imagecheck: cannot read the image, the message header or the MOF file\n");
        return 2;
    }
    ExportLists exports;
    for (size_t i = 1; i < files.size(); ++i) {
        auto list = ReadFile(files[i]);
        if (!list) {
            std::fprintf(stderr, "tarn_imagecheck: cannot read %s\n", files[i].c_str());
            return 2;
        }
        std::string module = Lower(files[i].substr(files[i].find_last_of('/') + 1));
        std::istringstream lines(*list);
        for (std::string name; std::getline(lines, name);) {
            if (!name.empty()) {
                exports[module].insert(name);
            }
        }
    }

    Image image(*bytes);
    if (image.Parse()) {
        CheckHeaders(image);
        CheckConstructors(image);
        CheckImports(image, exports);
        CheckMessages(image, *header);
        CheckVersionAndMof(image, version, *mof);
    }
    if (!faults.empty()) {
        std::printf("%s: %zu faults\n", files[0].c_str(), faults.size());
        return 1;
    }
    std::printf("%s: a native 32-bit kernel image; every check holds\n", files[0].c_str());
    return 0;
}
