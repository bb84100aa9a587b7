/*++

Module Name:

    iopath.cpp

Abstract:

    MPIO's I/O path: a request to a multipath disk is categorised by the
    driver, then either handed to its device-control entry point (the
    requests it carries out itself) and waited for, or sent down the path
    it chose with its completion hooked, as the port driver would complete
    it: SRB status, SCSI status and sense, and the IRP's status.

--*/

#include "mpiohost.h"

#include <cstring>
#include <memory>

namespace mpio {
namespace {

std::vector<uint8_t> Cdb10(uint8_t opcode, uint64_t lba, uint32_t blocks)
{
    return {opcode,
            0,
            (uint8_t)(lba >> 24),
            (uint8_t)(lba >> 16),
            (uint8_t)(lba >> 8),
            (uint8_t)lba,
            0,
            (uint8_t)(blocks >> 8),
            (uint8_t)blocks,
            0};
}

// The identifier list MPIO passes: a count and every path of the disk.
std::unique_ptr<uint8_t[]> IdList(const std::vector<PVOID> &ids)
{
    size_t size = FIELD_OFFSET(DSM_IDS, IdList) + ids.size() * sizeof(PVOID);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size + sizeof(PVOID)]());
    auto *list = reinterpret_cast<PDSM_IDS>(buffer.get());
    list->Count = (ULONG)ids.size();
    for (size_t i = 0; i < ids.size(); i++) {
        list->IdList[i] = ids[i];
    }
    return buffer;
}

} // namespace

const Device *Host::DeviceOfPath(PVOID pathId) const
{
    for (const Device &device : devices_) {
        if (device.DsmId == pathId && pathId != nullptr) {
            return &device;
        }
    }
    return nullptr;
}

IoResult Host::Submit(size_t disk, PIRP irp, PSCSI_REQUEST_BLOCK srb)
{
    host::RequirePassive("MPIO I/O path");
    IoResult result;
    std::vector<PVOID> ids;
    for (size_t index : disks_.at(disk).Devices) {
        ids.push_back(devices_[index].DsmId);
    }
    auto list = IdList(ids);
    auto *dsmIds = reinterpret_cast<PDSM_IDS>(list.get());
    const DSM_INIT_DATA &record = LiveRecord("DsmCategorizeRequest");

    NTSTATUS status = STATUS_PENDING;
    PVOID path = nullptr;
    result.Category = host::CallDriver("DsmCategorizeRequest", record.DsmCategorizeRequest, record.DsmContext,
                                       dsmIds, irp, srb, nullptr, &path, &status);

    if (result.Category == DSM_CATEGORY_CARRIED_OUT_BY_DSM) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        host::CallDriver("DsmSrbDeviceControl", record.DsmSrbDeviceControl, record.DsmContext, dsmIds, irp, srb,
                         &event);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    } else if (result.Category == DSM_CATEGORY_PATH_CHOSEN && DeviceOfPath(path) != nullptr) {
        result.Path = path;
        const Device &device = *DeviceOfPath(path);
        DSM_COMPLETION_INFO completion{};
        host::CallDriver("DsmSetCompletion", record.DsmSetCompletion, record.DsmContext, path, irp, srb,
                         &completion);
        if (srb == nullptr) {
            // A device control the storage has no SCSI command for: the
            // port driver refuses it, and its completion still runs.
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            if (completion.DsmCompletionRoutine != nullptr) {
                host::CallDriver("DSM completion routine", completion.DsmCompletionRoutine, path, irp, srb,
                                 completion.DsmContext);
            }
            result.Status = irp->IoStatus.Status;
            return result;
        }

        array::Command command;
        command.Cdb = srb->Cdb;
        command.CdbLength = srb->CdbLength;
        if ((srb->SrbFlags & SRB_FLAGS_DATA_OUT) != 0) {
            command.DataOut = static_cast<const uint8_t *>(srb->DataBuffer);
            command.DataOutLength = srb->DataTransferLength;
        } else {
            command.DataIn = static_cast<uint8_t *>(srb->DataBuffer);
            command.DataInLength = srb->DataTransferLength;
        }
        array::Result answer = target_->Execute(device.Nexus, command);
        switch (answer.Outcome) {
        case array::Transport::LinkDown:
            srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
            break;
        case array::Transport::Timeout:
            srb->SrbStatus = SRB_STATUS_TIMEOUT;
            break;
        case array::Transport::Completed:
            srb->ScsiStatus = answer.Status;
            if (answer.Status == SCSISTAT_GOOD) {
                srb->SrbStatus = SRB_STATUS_SUCCESS;
            } else if (answer.Status == SCSISTAT_CHECK_CONDITION && srb->SenseInfoBuffer != nullptr) {
                memcpy(srb->SenseInfoBuffer, answer.Sense,
                       std::min<size_t>(srb->SenseInfoBufferLength, answer.SenseLength));
                srb->SrbStatus = SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID;
            } else {
                srb->SrbStatus = answer.Status == SCSISTAT_BUSY ? SRB_STATUS_BUSY : SRB_STATUS_ERROR;
            }
            break;
        }
        irp->IoStatus.Status = SRB_STATUS(srb->SrbStatus) == SRB_STATUS_SUCCESS ? STATUS_SUCCESS
                                                                              : STATUS_IO_DEVICE_ERROR;
        if (completion.DsmCompletionRoutine != nullptr) {
            host::CallDriver("DSM completion routine", completion.DsmCompletionRoutine, path, irp, srb,
                             completion.DsmContext);
        }
    } else {
        irp->IoStatus.Status = NT_SUCCESS(status) ? STATUS_NO_SUCH_DEVICE : status;
    }

    result.Status = irp->IoStatus.Status;
    if (srb != nullptr) {
        result.SrbStatus = srb->SrbStatus;
        result.ScsiStatus = srb->ScsiStatus;
        if (srb->SenseInfoBuffer != nullptr) {
            memcpy(result.Sense, srb->SenseInfoBuffer, sizeof(result.Sense));
        }
    }
    return result;
}

IoResult Host::Scsi(size_t disk, const std::vector<uint8_t> &cdb, void *data, ULONG dataLength, bool dataIn)
{
    IRP irp{};
    IO_STACK_LOCATION stack{};
    SCSI_REQUEST_BLOCK srb{};
    uint8_t sense[18] = {};
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    irp.IoStatus.Status = STATUS_PENDING;
    stack.MajorFunction = IRP_MJ_SCSI;
    stack.Parameters.Scsi.Srb = &srb;
    srb.Length = sizeof(srb);
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = (UCHAR)std::min<size_t>(cdb.size(), sizeof(srb.Cdb));
    memcpy(srb.Cdb, cdb.data(), srb.CdbLength);
    srb.DataBuffer = data;
    srb.DataTransferLength = dataLength;
    srb.SrbFlags = dataLength == 0 ? 0 : (dataIn ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT);
    srb.SenseInfoBuffer = sense;
    srb.SenseInfoBufferLength = sizeof(sense);
    srb.OriginalRequest = &irp;
    return Submit(disk, &irp, &srb);
}

IoResult Host::Read(size_t disk, uint64_t lba, uint32_t blocks, void *buffer)
{
    return Scsi(disk, Cdb10(SCSIOP_READ, lba, blocks), buffer, blocks * 512, true);
}

IoResult Host::Write(size_t disk, uint64_t lba, uint32_t blocks, const void *buffer)
{
    return Scsi(disk, Cdb10(SCSIOP_WRITE, lba, blocks), const_cast<void *>(buffer), blocks * 512, false);
}

IoResult Host::DeviceControl(size_t disk, ULONG ioControlCode)
{
    IRP irp{};
    IO_STACK_LOCATION stack{};
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    irp.IoStatus.Status = STATUS_PENDING;
    stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    return Submit(disk, &irp, nullptr);
}

} // namespace mpio
