/*++

Module Name:

    listing.cpp

Abstract:

    The console's listing of the multipath disks, decoded from the DSM's
    WMI blocks.  A drive block is a header (path count, reservations
    seen, policy, a reserved word, the company name) followed by one path
    record per path, each starting 8-byte aligned; WMI strings are a
    16-bit byte count and UTF-16 text padded with zeros.

--*/

#include "listing.h"

#include "tarn.h"
#include "tarnwmi.h"
#include "toolnames.h"

#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>

namespace console {
namespace {

const GUID kConfigGuid = TARN_CONFIG_INFO_GUID;
const GUID kDriveGuid = TARN_LD_INFO4_GUID;

constexpr size_t kDriveHeader = 16;     // four 32-bit words before the company name
constexpr size_t kPathFixed = 24;       // a path record before its health text
constexpr uint8_t kUnknown = 0xFF;      // a controller or port not yet known

// Reads the bytes' little-endian value at offset, if it is inside them.
template <typename T>
bool Get(const std::vector<uint8_t> &bytes, size_t offset, T *value)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        return false;
    }
    memcpy(value, bytes.data() + offset, sizeof(T));
    return true;
}

// A WMI string at offset; *next is the offset after its count and text.
bool GetString(const std::vector<uint8_t> &bytes, size_t offset, std::string *text, size_t *next)
{
    uint16_t count = 0;
    if (!Get(bytes, offset, &count) || count % 2 != 0 || bytes.size() - offset - 2 < count) {
        return false;
    }
    text->clear();
    for (size_t i = 0; i < count; i += 2) {
        uint16_t c = 0;
        Get(bytes, offset + 2 + i, &c);
        if (c == 0) {
            continue;       // the padding
        }
        *text += c < 0x80 ? (char)c : '?';
    }
    *next = offset + 2 + count;
    return true;
}

std::string Small(uint8_t value)
{
    return value == kUnknown ? "?" : std::to_string(value);
}

std::string JsonSmall(uint8_t value)
{
    return value == kUnknown ? "null" : std::to_string(value);
}

// Texts here are the DSM's and MPIO's (serial numbers, health names):
// printable ASCII, but quoted with care all the same.
std::string JsonText(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if ((unsigned char)c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", (unsigned)(unsigned char)c);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

const char *YesNo(bool value)
{
    return value ? "yes" : "no";
}

} // namespace

std::string AddressText(const PathView &path)
{
    if (!path.Known) {
        return "?";
    }
    return tools::AddressText(path.Port, path.Bus, path.Target, path.Lun);
}

bool DecodeDriveBlock(const std::vector<uint8_t> &bytes, DiskView *disk, std::string *problem)
{
    uint32_t count = 0, reservations = 0;
    size_t offset = 0;
    if (!Get(bytes, 0, &count) || !Get(bytes, 4, &reservations) || !Get(bytes, 8, &disk->Policy) ||
        !GetString(bytes, kDriveHeader, &disk->Company, &offset)) {
        *problem = "drive block of " + std::to_string(bytes.size()) + " bytes has no whole header";
        return false;
    }
    disk->ReservationsSeen = reservations != 0;
    disk->Paths.clear();
    for (uint32_t i = 0; i < count; i++) {
        PathView path;
        uint32_t preferred = 0, active = 0;
        if (offset % 8 != 0 || !Get(bytes, offset, &preferred) || !Get(bytes, offset + 4, &active) ||
            !Get(bytes, offset + 8, &path.Controller) || !Get(bytes, offset + 9, &path.ControllerPort) ||
            !Get(bytes, offset + 16, &path.Identifier) ||
            !GetString(bytes, offset + kPathFixed, &path.Health, &offset)) {
            *problem = "drive block announces " + std::to_string(count) + " paths, path record " +
                       std::to_string(i) + " is not whole or not 8-byte aligned";
            return false;
        }
        path.Preferred = preferred != 0;
        path.Active = active != 0;
        disk->Paths.push_back(path);
    }
    return true;
}

bool CollectListing(mpio::Host &host, Listing *listing, std::string *problem)
{
    listing->Disks.clear();
    std::vector<mpio::WmiInstance> instances;
    NTSTATUS status = host.WmiQueryAllData(kConfigGuid, &instances);
    if (NT_SUCCESS(status) && !instances.empty() && !Get(instances[0].Data, 0, &listing->DefaultPolicy)) {
        *problem = "configuration block of " + std::to_string(instances[0].Data.size()) + " bytes";
        return false;
    }
    if (NT_SUCCESS(status)) {
        status = host.WmiQueryAllData(kDriveGuid, &instances);
    }
    if (!NT_SUCCESS(status)) {
        *problem = std::string("WMI query failed: ") + DsmStatusName(status) + " (" + tools::Hex((uint32_t)status, 8) + ")";
        return false;
    }
    for (const mpio::WmiInstance &instance : instances) {
        DiskView disk;
        disk.Disk = instance.Disk;
        disk.Instance = instance.Name;
        disk.SerialNumber = host.Disks()[instance.Disk].SerialNumber;
        if (!DecodeDriveBlock(instance.Data, &disk, problem)) {
            *problem = instance.Name + ": " + *problem;
            return false;
        }
        // The identifiers are the ones MPIO holds for the disk's devices,
        // widened as a signed address is.
        for (PathView &path : disk.Paths) {
            for (const mpio::Device &device : host.Devices()) {
                if (device.DsmId != nullptr && (uint64_t)(int64_t)(intptr_t)device.DsmId == path.Identifier) {
                    path.Known = true;
                    path.Port = device.Path.PortNumber;
                    path.Bus = device.Path.PathId;
                    path.Target = device.Path.TargetId;
                    path.Lun = device.Lun;
                }
            }
        }
        listing->Disks.push_back(disk);
    }
    return true;
}

void PrintListing(const Listing &listing, std::ostream &out)
{
    out << "Default path selection policy: " << tools::PolicyName(listing.DefaultPolicy) << " ("
        << tools::Hex(listing.DefaultPolicy, 3) << ")\n";
    if (listing.Disks.empty()) {
        out << "(no multipath disks)\n";
    }
    for (const DiskView &disk : listing.Disks) {
        out << "Disk " << disk.Disk << " (" << disk.Instance << ")  SN " << disk.SerialNumber << "  policy "
            << tools::PolicyName(disk.Policy) << " (" << tools::Hex(disk.Policy, 3) << ")  reservations seen: " << YesNo(disk.ReservationsSeen) << "  "
            << disk.Paths.size() << (disk.Paths.size() == 1 ? " path" : " paths") << "\n";
        out << "  " << std::left << std::setw(12) << "Address" << std::setw(12) << "Controller" << std::setw(6)
            << "Port" << std::setw(11) << "Preferred" << std::setw(9) << "Current" << std::setw(14) << "Health"
            << "Path id" << "\n";
        for (const PathView &path : disk.Paths) {
            out << "  " << std::setw(12) << AddressText(path) << std::setw(12) << Small(path.Controller)
                << std::setw(6) << Small(path.ControllerPort) << std::setw(11) << YesNo(path.Preferred)
                << std::setw(9) << YesNo(path.Active) << std::setw(14) << path.Health << std::right
                << tools::Hex(path.Identifier, 16) << std::left << "\n";
        }
        out << std::right;
    }
}

void PrintListingJson(const Listing &listing, std::ostream &out)
{
    out << "{\"default_policy\": " << JsonText(tools::PolicyName(listing.DefaultPolicy)) << ", \"disks\": [";
    for (size_t i = 0; i < listing.Disks.size(); i++) {
        const DiskView &disk = listing.Disks[i];
        out << (i == 0 ? "" : ",") << "\n  {\"disk\": " << disk.Disk << ", \"instance\": " << JsonText(disk.Instance)
            << ", \"serial\": " << JsonText(disk.SerialNumber) << ", \"policy\": " << JsonText(tools::PolicyName(disk.Policy))
            << ", \"policy_code\": " << disk.Policy << ", \"reservations_seen\": "
            << (disk.ReservationsSeen ? "true" : "false") << ", \"company\": " << JsonText(disk.Company)
            << ", \"paths\": [";
        for (size_t j = 0; j < disk.Paths.size(); j++) {
            const PathView &path = disk.Paths[j];
            out << (j == 0 ? "" : ",") << "\n    {\"address\": " << JsonText(AddressText(path))
                << ", \"controller\": " << JsonSmall(path.Controller)
                << ", \"controller_port\": " << JsonSmall(path.ControllerPort)
                << ", \"preferred\": " << (path.Preferred ? "true" : "false")
                << ", \"current\": " << (path.Active ? "true" : "false") << ", \"health\": " << JsonText(path.Health)
                << ", \"id\": " << JsonText(tools::Hex(path.Identifier, 16)) << "}";
        }
        out << "]}";
    }
    out << "\n]}\n";
}

bool PrintDiskListing(mpio::Host &host, std::ostream &out)
{
    Listing listing;
    std::string problem;
    if (!CollectListing(host, &listing, &problem)) {
        out << "(the listing cannot be read: " << problem << ")\n";
        return false;
    }
    PrintListing(listing, out);
    return true;
}

} // namespace console
