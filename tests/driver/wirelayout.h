// The wire formats' exact 32-bit layout, checked at compile time in
// every 32-bit build: the -m32 host build's tests and the kernel image.
#pragma once

#include "tarn.h"

#include <stddef.h>

static_assert(sizeof(PVOID) == 4, "32-bit build");
static_assert(sizeof(DSM_INIT_DATA) == 144, "registration record");
static_assert(offsetof(DSM_INIT_DATA, DsmInquireDriver) == 4, "slot 1");
static_assert(offsetof(DSM_INIT_DATA, DsmGetControllerInfo) == 16, "slot 4");
static_assert(offsetof(DSM_INIT_DATA, DsmSetDeviceInfo) == 20, "slot 5");
static_assert(offsetof(DSM_INIT_DATA, DsmSrbDeviceControl) == 52, "slot 13");
static_assert(offsetof(DSM_INIT_DATA, DsmUnload) == 64, "slot 16");
static_assert(offsetof(DSM_INIT_DATA, DsmSetCompletion) == 68, "slot 17");
static_assert(offsetof(DSM_INIT_DATA, DsmBroadcastSrb) == 76, "slot 19");
static_assert(offsetof(DSM_INIT_DATA, DsmWmiInfo) == 80 && sizeof(DSM_WMILIB_CONTEXT) == 40, "WMI block");
static_assert(offsetof(DSM_INIT_DATA, DsmContext) == 120, "context");
static_assert(offsetof(DSM_INIT_DATA, DriverObject) == 124, "driver object");
static_assert(offsetof(DSM_INIT_DATA, DisplayName) == 128 && sizeof(UNICODE_STRING) == 8, "display name");
static_assert(offsetof(DSM_INIT_DATA, Reserved) == 136, "reserved");
static_assert(offsetof(DSM_INIT_DATA, RecordRevision) == 140, "final word");
static_assert(sizeof(CONTROLLER_INFO) == 48, "controller record");
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64, "SRB");
static_assert(sizeof(SCSI_PASS_THROUGH) == 44 && FIELD_OFFSET(PASS_THROUGH_REQUEST, Sense) == 44,
              "pass-through header");
static_assert(sizeof(WNODE_HEADER) == 48 && sizeof(WMIREGGUID) == 28, "WMI buffers");
