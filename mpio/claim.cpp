/*++

Module Name:

    claim.cpp

Abstract:

    MPIO's claim of a disk device that arrives: the device is offered to
    the DSM, and a claimed one is filed under the multipath disk the DSM's
    answers say it belongs to, or a new one, and its path brought up.

--*/

#include "mpiointernal.h"

namespace mpio {

// Whether a claimed device belongs to a multipath disk: the DSM compares
// it with one of the disk's present devices.  A disk whose devices have
// all gone but which still holds its requests (its removal period runs)
// is recognised by the serial number the DSM gave for it, the identity
// MPIO keeps for its disk.  PASSIVE_LEVEL, with pnp_.Mutex held.
bool Host::JoinsDisk(size_t disk, const Device &device)
{
    RequireHeld(pnp_.Mutex, "JoinsDisk");
    PVOID present = nullptr;
    {
        std::lock_guard<HostMutex> lock(lock_);
        if (diskStates_[disk]->Gone) {
            return false;
        }
        for (size_t index : disks_[disk].Devices) {
            if (PresentLocked(index)) {
                present = pnp_.Devices[index].DsmId;
                break;
            }
        }
    }
    if (present == nullptr) {
        return !device.SerialNumber.empty() && device.SerialNumber == disks_[disk].SerialNumber;
    }
    const DSM_INIT_DATA &record = LiveRecord("DsmCompareDevices");
    AtDispatch raised;
    return host::CallDriver("DsmCompareDevices", record.DsmCompareDevices, record.DsmContext, present,
                            device.DsmId) != FALSE;
}

// Offers one device to the driver and files a claimed one under its disk.
void Host::Claim(size_t index, std::vector<uint8_t> *descriptor, std::vector<uint8_t> *identifiers)
{
    Device &device = pnp_.Devices[index];
    host::RequirePassive("DsmInquireDriver");
    const DSM_INIT_DATA &record = LiveRecord("DsmInquireDriver");
    device.ClaimStatus = host::CallDriver(
        "DsmInquireDriver", record.DsmInquireDriver, record.DsmContext, device.TargetObject, device.PortObject,
        reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(descriptor->data()),
        reinterpret_cast<PSTORAGE_DEVICE_ID_DESCRIPTOR>(identifiers->data()), &device.DsmId);
    if (!NT_SUCCESS(device.ClaimStatus)) {
        device.DsmId = nullptr;
        return;
    }

    // Both may come at DISPATCH_LEVEL, and do here.
    {
        AtDispatch raised;
        PCHAR serial = host::CallDriver("DsmGetSerialNumber", record.DsmGetSerialNumber, record.DsmContext,
                                         device.DsmId);
        if (serial != nullptr) {
            device.SerialNumber = serial;
            ExFreePool(serial);
        }

        // MPIO keeps one controller record per device; it is not used here.
        PCONTROLLER_INFO controller = nullptr;
        if (NT_SUCCESS(host::CallDriver("DsmGetControllerInfo", record.DsmGetControllerInfo, record.DsmContext,
                                        device.DsmId, DSM_CNTRL_FLAGS_ALLOCATE, &controller)) &&
            controller != nullptr) {
            ExFreePool(controller);
        }
    }

    size_t disks;
    {
        std::lock_guard<HostMutex> lock(lock_);
        disks = disks_.size();
    }
    for (size_t disk = 0; disk < disks; disk++) {
        if (JoinsDisk(disk, device)) {
            std::lock_guard<HostMutex> lock(lock_);
            disks_[disk].Devices.push_back(index);
            device.Group = (int)disk;
            break;
        }
    }
    if (device.Group < 0) {
        {
            std::lock_guard<HostMutex> lock(lock_);
            disks_.push_back(MultipathDisk{{index}, device.SerialNumber, device.BlockLength});
            device.Group = (int)disks_.size() - 1;
        }
        AddDiskState();
    }
    BringUp(index);
}

} // namespace mpio
