/*++

Module Name:

    listing.h

Abstract:

    What the administrator's console shows of the multipath disks, read
    the way management software reads it: the DSM's WMI blocks (the
    configuration block and each disk's drive block) queried through
    MPIO and decoded from their bytes, with MPIO's own knowledge of each
    disk (its serial number, the address of each of its paths).

--*/

#pragma once

#include "mpiohost.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace console {

// One path record of a drive block, with the address MPIO knows the path by.
struct PathView {
    bool Preferred = false;
    bool Active = false;
    uint8_t Controller = 0xFF;          // 0xFF: not yet known
    uint8_t ControllerPort = 0xFF;
    uint64_t Identifier = 0;            // the DSM's path identifier
    std::string Health;
    bool Known = false;                 // MPIO has a device with this identifier
    uint8_t Port = 0, Bus = 0, Target = 0, Lun = 0;
};

// One multipath disk: its instance, MPIO's serial number, and its drive block.
struct DiskView {
    size_t Disk = 0;
    std::string Instance;
    std::string SerialNumber;
    uint32_t Policy = 0;
    bool ReservationsSeen = false;
    std::string Company;
    std::vector<PathView> Paths;
};

struct Listing {
    uint32_t DefaultPolicy = 0;
    std::vector<DiskView> Disks;
};

// Decodes a drive block; false with a reason when its bytes do not hold
// what they announce.
bool DecodeDriveBlock(const std::vector<uint8_t> &bytes, DiskView *disk, std::string *problem);

// Queries and decodes every disk's blocks.  PASSIVE_LEVEL.  False with a
// reason when a query fails or a block does not decode.
bool CollectListing(mpio::Host &host, Listing *listing, std::string *problem);

std::string AddressText(const PathView &path);

void PrintListing(const Listing &listing, std::ostream &out);
void PrintListingJson(const Listing &listing, std::ostream &out);

// The console's listing of every drive, as the phase reports show it.
// False (with the reason printed) when the blocks could not be read.
bool PrintDiskListing(mpio::Host &host, std::ostream &out);

} // namespace console
