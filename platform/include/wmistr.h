/*++

Module Name:

    wmistr.h

Abstract:

    WMI registration and software tracing as the driver uses them: the
    registration control call, the WMI request codes a control routine
    receives, the registration information it answers with, and the
    trace message and trace information calls.

Environment:

    Kernel mode (host build: user mode emulation).

--*/

#pragma once

#include "ntddk.h"

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;

//
// IoWMIRegistrationControl actions.  With WMIREG_FLAG_CALLBACK the first
// argument is not a device object but a control block whose first field
// is the control routine (WMIENTRY); WMI passes the block back to the
// routine as its Context.
//
#define WMIREG_ACTION_REGISTER     1
#define WMIREG_ACTION_DEREGISTER   2
#define WMIREG_ACTION_REREGISTER   3
#define WMIREG_ACTION_UPDATE_GUIDS 4
#define WMIREG_FLAG_CALLBACK       0x80000000

EXTERN_C NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action);

typedef NTSTATUS(NTAPI *WMIENTRY)(UCHAR ActionCode, PVOID DataPath, ULONG BufferSize, PVOID Buffer, PVOID Context,
                                  PULONG Size);

//
// WMI request codes (IRP minor functions of IRP_MJ_SYSTEM_CONTROL).
//
#define IRP_MN_QUERY_ALL_DATA        0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM    0x03
#define IRP_MN_ENABLE_EVENTS         0x04
#define IRP_MN_DISABLE_EVENTS        0x05
#define IRP_MN_ENABLE_COLLECTION     0x06
#define IRP_MN_DISABLE_COLLECTION    0x07
#define IRP_MN_REGINFO               0x08
#define IRP_MN_EXECUTE_METHOD        0x09

//
// The header every WMI buffer starts with.  For IRP_MN_ENABLE_EVENTS of a
// trace provider, HistoricalContext carries the logger handle.
//
typedef struct _WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        };
    };
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

//
// Registration information (answer to IRP_MN_REGINFO).
//
#define WMIREG_FLAG_TRACED_GUID        0x00020000
#define WMIREG_FLAG_TRACE_CONTROL_GUID 0x00001000

typedef struct {
    GUID Guid;
    ULONG Flags;
    ULONG InstanceCount;
    union {
        ULONG InstanceNameList;
        ULONG BaseNameOffset;
        ULONG_PTR Pdo;
        ULONG_PTR InstanceInfo;
    };
} WMIREGGUID, *PWMIREGGUID;

typedef struct {
    ULONG BufferSize;
    ULONG NextWmiRegInfo;
    ULONG RegistryPath;
    ULONG MofResourceName;
    ULONG GuidCount;
    WMIREGGUID WmiRegGuid[1];
} WMIREGINFO, *PWMIREGINFO;

//
// Software tracing.  WmiTraceMessage takes, after the message number,
// pairs of (argument address, argument length in bytes as SIZE_T),
// ended by a NULL address.
//
#define TRACE_MESSAGE_SEQUENCE              1
#define TRACE_MESSAGE_GUID                  2
#define TRACE_MESSAGE_COMPONENTID           4
#define TRACE_MESSAGE_TIMESTAMP             8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO            32

EXTERN_C NTSTATUS __cdecl WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                          USHORT MessageNumber, ...);

typedef enum _TRACE_INFORMATION_CLASS {
    TraceIdClass = 0,
    TraceHandleClass = 1,
    TraceEnableFlagsClass = 2,
    TraceEnableLevelClass = 3,
    GlobalLoggerHandleClass = 4,
    EventLoggerHandleClass = 5,
} TRACE_INFORMATION_CLASS;

EXTERN_C NTSTATUS NTAPI WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass,
                                                 PVOID TraceInformation, ULONG TraceInformationLength,
                                                 PULONG RequiredLength, PVOID Buffer);
