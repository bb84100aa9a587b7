/*++

Module Name:

    ntddk.h

Abstract:

    The kernel surface the driver is written against: base types, status
    codes, lists, counted strings, pool and lookaside lists, spin locks and
    IRQL, DPCs, timers, events, work items, time, the registry, the error
    log and object references.  Names, types and contracts are those of the
    32-bit Windows kernel; the host build supplies the implementation in
    platform/host.  A kernel build (TARN_KERNEL, platform/kernel) binds the
    same declarations to the real kernel, HAL and MPIO exports: real
    calling conventions, the real layouts of the objects the kernel owns,
    and only the C library the kernel exports.

    Three facts of the target that the host differs on are fixed here:
      - WCHAR is 16 bits (the host's wchar_t is 32), so wide text is
        char16_t on the host and the C library's wide functions are never
        used for it.
      - 64-bit integers are 8-byte aligned inside structures, as on
        Windows x86 (the i386 System V ABI aligns them to 4).
      - Calling conventions are carried on every declaration; they expand
        to nothing on the host.

Environment:

    Kernel mode (host build: user mode emulation).

--*/

#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

//
// Calling conventions and annotations.  The C library functions the
// kernel exports are C functions there (TARN_CRT); on the host they are
// the emulation's own, apart from the host's C library.
//
#if defined(TARN_KERNEL)
#define NTAPI __attribute__((__stdcall__))
#define FASTCALL __attribute__((__fastcall__))
#define TARN_CRT extern "C"
#else
#define NTAPI
#define FASTCALL
#define TARN_CRT
#endif
#ifndef __cdecl
#define __cdecl
#endif
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

//
// Base types.  ULONG is 32 bits in every build (the host's long is not).
//
typedef void VOID, *PVOID;
typedef char CHAR, *PCHAR;
typedef const char *PCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR;
typedef short SHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG;
typedef ULONG DWORD;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef UCHAR KIRQL, *PKIRQL;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK;
typedef __INTPTR_TYPE__ LONG_PTR, *PLONG_PTR;
typedef __UINTPTR_TYPE__ ULONG_PTR, *PULONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef PVOID HANDLE, *PHANDLE;

// Windows x86 aligns 64-bit integers to 8 bytes inside structures.
typedef long long LONGLONG __attribute__((aligned(8)));
typedef unsigned long long ULONGLONG __attribute__((aligned(8)));
typedef LONGLONG *PLONGLONG;
typedef ULONGLONG *PULONGLONG;
typedef ULONGLONG ULONG64, *PULONG64;

// WCHAR is 16 bits on the target, where it is the compiler's wchar_t.
#if defined(_WIN32)
typedef wchar_t WCHAR, *PWCHAR, *PWSTR;
typedef const wchar_t *PCWSTR;
#else
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const char16_t *PCWSTR;
#endif

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
// The record a member belongs to.  offsetof and char arithmetic, not a
// member reached through a null record: that is undefined behaviour, and
// a sanitizer rightly says so.
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - offsetof(type, field)))

//
// Status codes.
//
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS                   ((NTSTATUS)0x00000000L)
#define STATUS_PENDING                   ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW           ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES           ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL              ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED           ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE            ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER         ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE            ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST    ((NTSTATUS)0xC0000010L)
#define STATUS_INVALID_DEVICE_STATE      ((NTSTATUS)0xC0000184L)
#define STATUS_ACCESS_DENIED             ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL          ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH      ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID       ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND     ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_PATH_NOT_FOUND     ((NTSTATUS)0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES    ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED      ((NTSTATUS)0xC000009DL)
#define STATUS_IO_TIMEOUT                ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED             ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_DOES_NOT_EXIST     ((NTSTATUS)0xC00000C0L)
#define STATUS_NAME_TOO_LONG             ((NTSTATUS)0xC0000106L)
#define STATUS_IO_DEVICE_ERROR           ((NTSTATUS)0xC0000185L)
#define STATUS_WMI_GUID_NOT_FOUND        ((NTSTATUS)0xC0000295L)
#define STATUS_WMI_ITEMID_NOT_FOUND      ((NTSTATUS)0xC0000297L)

//
// Assertions.  The host build is a checked build: a failed assertion
// stops the test that hit it, naming the expression.
//
EXTERN_C VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message);

#define ASSERT(exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PCHAR)(msg)), FALSE) : TRUE)

//
// Doubly linked lists with head nodes.
//
typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

inline VOID InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead)
{
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY blink = Entry->Blink;
    PLIST_ENTRY flink = Entry->Flink;
    blink->Flink = flink;
    flink->Blink = blink;
    return (BOOLEAN)(flink == blink);
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Flink;
    RemoveEntryList(entry);
    return entry;
}

inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = blink;
    blink->Flink = Entry;
    ListHead->Blink = Entry;
}

inline VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY flink = ListHead->Flink;
    Entry->Flink = flink;
    Entry->Blink = ListHead;
    flink->Blink = Entry;
    ListHead->Flink = Entry;
}

//
// Counted strings.
//
typedef struct _UNICODE_STRING {
    USHORT Length;          // bytes, without a terminator
    USHORT MaximumLength;   // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

EXTERN_C VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
EXTERN_C VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
EXTERN_C BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
EXTERN_C VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// The number of leading bytes that are equal.
EXTERN_C SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#if defined(TARN_KERNEL)
// The kernel exports no memcmp.
#define RtlEqualMemory(Destination, Source, Length) \
    (RtlCompareMemory((Destination), (Source), (Length)) == (SIZE_T)(Length))
#else
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
#endif

//
// The kernel's C library.  sprintf and rand are the C library's own;
// swprintf formats 16-bit text (the kernel's wchar_t is 16 bits) and
// understands %wZ (a PUNICODE_STRING), %ls/%ws (16-bit text), %s, %c,
// %d, %i, %u, %x, %X with flags, width and precision, and the l/h/I64/ll
// size prefixes.  Like the kernel's, it does not know the buffer size.
//
TARN_CRT int __cdecl swprintf(WCHAR *Buffer, const WCHAR *Format, ...);
TARN_CRT int __cdecl _snwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, ...);
TARN_CRT size_t __cdecl wcslen(const WCHAR *String);

//
// IRQL.
//
#define PASSIVE_LEVEL  0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     31

EXTERN_C KIRQL NTAPI KeGetCurrentIrql(VOID);
EXTERN_C KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
EXTERN_C VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeLowerIrql(a) KfLowerIrql(a)

//
// Threads.  Drivers use the current thread's address only as an identity
// (the owner of a lock, for their assertions).
//
typedef struct _KTHREAD *PKTHREAD;
EXTERN_C PKTHREAD NTAPI KeGetCurrentThread(VOID);

//
// Spin locks.  Acquiring raises to DISPATCH_LEVEL; the lock must be
// released by its holder, restoring the level it was taken at.
//
EXTERN_C VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
EXTERN_C KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
EXTERN_C VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(a, b) (*(b) = KfAcquireSpinLock(a))
#define KeReleaseSpinLock(a, b) KfReleaseSpinLock((a), (b))

//
// Interlocked operations: atomic on every processor and full barriers,
// at any IRQL.  The 64-bit exchange is the x86 kernel's compare-exchange
// (a plain 64-bit access is two 32-bit ones there and can tear).
//
EXTERN_C LONG FASTCALL InterlockedExchange(LONG volatile *Target, LONG Value);
EXTERN_C LONG FASTCALL InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand);
#if defined(TARN_KERNEL)
// The x86 kernel exports no routine of this name: its headers make it
// the processor's own 8-byte compare-exchange (cmpxchg8b), as this does.
inline LONGLONG InterlockedCompareExchange64(LONGLONG volatile *Destination, LONGLONG Exchange, LONGLONG Comparand)
{
    return __sync_val_compare_and_swap(Destination, Comparand, Exchange);
}
#else
EXTERN_C LONGLONG FASTCALL InterlockedCompareExchange64(LONGLONG volatile *Destination, LONGLONG Exchange,
                                                        LONGLONG Comparand);
#endif

// An aligned 32-bit read that later reads cannot pass: on x86 every
// aligned volatile read is one; later kernels name it ReadAcquire.
inline LONG ReadAcquire(LONG const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

//
// Pool.
//
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
} POOL_TYPE;

EXTERN_C PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
EXTERN_C VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
EXTERN_C VOID NTAPI ExFreePool(PVOID P);

typedef PVOID(NTAPI *PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID(NTAPI *PFREE_FUNCTION)(PVOID Buffer);

//
// Non-paged lookaside list.  Its allocations are pool blocks of its tag;
// it caches up to its depth of freed entries and has its own interlock.
//
#if defined(TARN_KERNEL)
// The x86 kernel's layout.  Allocating and freeing are the headers'
// inline routines over the kernel's interlocked list helpers; the
// kernel initialises and deletes the list.
typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef union _SLIST_HEADER {
    ULONGLONG Alignment;
    struct {
        SINGLE_LIST_ENTRY Next;
        USHORT Depth;
        USHORT Sequence;
    } s;
} SLIST_HEADER, *PSLIST_HEADER;

EXTERN_C PSINGLE_LIST_ENTRY FASTCALL InterlockedPopEntrySList(PSLIST_HEADER ListHead);
EXTERN_C PSINGLE_LIST_ENTRY FASTCALL InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSINGLE_LIST_ENTRY ListEntry);

typedef struct _NPAGED_LOOKASIDE_LIST {
    SLIST_HEADER ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG Future[2];
    KSPIN_LOCK Lock;
    // Later kernels align the list to a cache line (192 bytes in all):
    // room for the largest, so any of them may initialise it.
    UCHAR Reserved[192 - 76];
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;
static_assert(offsetof(NPAGED_LOOKASIDE_LIST, Allocate) == 40 && offsetof(NPAGED_LOOKASIDE_LIST, Lock) == 72,
              "the x86 kernel's lookaside list");

EXTERN_C VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                    PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                    USHORT Depth);
EXTERN_C VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);

inline PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    Lookaside->TotalAllocates += 1;
    PVOID entry = InterlockedPopEntrySList(&Lookaside->ListHead);
    if (entry == NULL) {
        Lookaside->AllocateMisses += 1;
        entry = Lookaside->Allocate(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
    }
    return entry;
}

inline VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    Lookaside->TotalFrees += 1;
    if (Lookaside->ListHead.s.Depth >= Lookaside->Depth) {
        Lookaside->FreeMisses += 1;
        Lookaside->Free(Entry);
    } else {
        InterlockedPushEntrySList(&Lookaside->ListHead, (PSINGLE_LIST_ENTRY)Entry);
    }
}
#else
typedef struct _NPAGED_LOOKASIDE_LIST {
    PVOID HostList;          // the host's list state, set by initialisation
    ULONG Size;
    ULONG Tag;
    USHORT Depth;
    USHORT Initialized;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    ULONG Reserved[8];
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

EXTERN_C VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                    PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                    USHORT Depth);
EXTERN_C VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
EXTERN_C PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
EXTERN_C VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
#endif

//
// Time.  System time is in 100 ns units since 1601; the tick count
// advances by KeQueryTimeIncrement() hundred-nanosecond units per tick.
//
// The 100 ns units of system time, tick lengths and due times in one millisecond.
#define TIME_UNITS_PER_MS 10000
EXTERN_C VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
EXTERN_C VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount);
EXTERN_C ULONG NTAPI KeQueryTimeIncrement(VOID);

//
// DPCs and timers.
//
typedef struct _KDPC KDPC, *PKDPC, *PRKDPC;
typedef VOID(NTAPI *PKDEFERRED_ROUTINE)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                        PVOID SystemArgument2);

struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
#if defined(TARN_KERNEL)
    PVOID DpcData;
#endif
};

typedef enum _TIMER_TYPE {
    NotificationTimer = 0,
    SynchronizationTimer = 1,
} TIMER_TYPE;

#if defined(TARN_KERNEL)
// The kernel's own: the driver only hands it to the timer routines.
typedef struct _KTIMER {
    UCHAR Header[16];
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    LONG Period;
} KTIMER, *PKTIMER;
static_assert(sizeof(KDPC) == 32 && sizeof(KTIMER) == 40, "the x86 kernel's DPC and timer");
#else
typedef struct _KTIMER {
    UCHAR Type;
    UCHAR Inserted;
    USHORT TimerType;
    LONG Period;            // milliseconds, 0 for a one-shot timer
    ULARGE_INTEGER DueTime; // absolute interrupt time, 100 ns units
    PKDPC Dpc;
    LIST_ENTRY TimerListEntry;
} KTIMER, *PKTIMER;
#endif

EXTERN_C VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
EXTERN_C VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
EXTERN_C BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
EXTERN_C BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
// Returns once every DPC queued before the call, on every processor, has
// run: what a cancel came too late for (KeCancelTimer does not take back
// a DPC already queued) is done before its memory goes.  PASSIVE_LEVEL.
EXTERN_C VOID NTAPI KeFlushQueuedDpcs(VOID);

//
// Events.
//
typedef enum _EVENT_TYPE {
    NotificationEvent = 0,
    SynchronizationEvent = 1,
} EVENT_TYPE;

typedef struct _KEVENT {
    UCHAR Type;
    UCHAR Reserved[3];
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
typedef CHAR KPROCESSOR_MODE;
#define KernelMode 0
#define IO_NO_INCREMENT 0

EXTERN_C VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
EXTERN_C LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
EXTERN_C VOID NTAPI KeClearEvent(PRKEVENT Event);
EXTERN_C LONG NTAPI KeReadStateEvent(PRKEVENT Event);
EXTERN_C NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                              BOOLEAN Alertable, PLARGE_INTEGER Timeout);

//
// Objects: driver, device and file objects, and their references.
//
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _IRP IRP, *PIRP;

typedef VOID(NTAPI *PDRIVER_UNLOAD)(PDRIVER_OBJECT DriverObject);

// On the real kernel these objects are its own and the driver only
// passes their addresses: they stay incomplete there.
#if !defined(TARN_KERNEL)
struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    UNICODE_STRING DriverName;
    PDRIVER_UNLOAD DriverUnload;
    PVOID HostExtension;    // the host's own bookkeeping
};

struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    ULONG Flags;
    ULONG DeviceType;
    PVOID DeviceExtension;
    PVOID HostExtension;    // the host's own bookkeeping
};

struct _FILE_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID FsContext;
    PVOID HostExtension;    // the host's own bookkeeping
};
#endif

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

//
// I/O request packets, as far as a filter reads them: the current stack
// location's major function and device-control parameters, the system
// buffer and the status.
//
#define IRP_MJ_CREATE                  0x00
#define IRP_MJ_CLOSE                   0x02
#define IRP_MJ_READ                    0x03
#define IRP_MJ_WRITE                   0x04
#define IRP_MJ_DEVICE_CONTROL          0x0E
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0F
#define IRP_MJ_SCSI                    IRP_MJ_INTERNAL_DEVICE_CONTROL

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            struct _SCSI_REQUEST_BLOCK *Srb;
        } Scsi;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;


#if defined(TARN_KERNEL)
// The x86 kernel's packet, whose fields a filter reads in place.
struct _IRP {
    SHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    union {
        struct _IRP *MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PVOID CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        UCHAR Apc[48];
        PVOID CompletionKey;
    } Tail;
};
static_assert(sizeof(IRP) == 112 && offsetof(IRP, IoStatus) == 24 && offsetof(IRP, AssociatedIrp) == 12 &&
                  offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 96 && sizeof(IO_STACK_LOCATION) == 36,
              "the x86 kernel's request packet");
#else
struct _IRP {
    SHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    union {
        struct _IRP *MasterIrp;
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PVOID UserBuffer;
    struct {
        struct {
            PIO_STACK_LOCATION CurrentStackLocation;
        } Overlay;
    } Tail;
};
#endif

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation;
}

#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_ANY_ACCESS      0
#define FILE_READ_ACCESS     0x0001
#define FILE_WRITE_ACCESS    0x0002
#define METHOD_BUFFERED      0

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2

EXTERN_C NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                 PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject);
EXTERN_C LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
EXTERN_C LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

//
// Work items.  The routine runs at PASSIVE_LEVEL on a system worker
// thread; the work item may be freed from inside its own routine.
//
typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;
typedef VOID(NTAPI *PIO_WORKITEM_ROUTINE)(PDEVICE_OBJECT DeviceObject, PVOID Context);

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;

EXTERN_C PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
EXTERN_C VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                    WORK_QUEUE_TYPE QueueType, PVOID Context);
EXTERN_C VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

//
// Registry.  Every call here must run at PASSIVE_LEVEL.
//
#define REG_NONE      0
#define REG_SZ        1
#define REG_EXPAND_SZ 2
#define REG_BINARY    3
#define REG_DWORD     4
#define REG_MULTI_SZ  7

#define RTL_REGISTRY_ABSOLUTE    0
#define RTL_REGISTRY_SERVICES    1
#define RTL_REGISTRY_CONTROL     2
#define RTL_REGISTRY_WINDOWS_NT  3
#define RTL_REGISTRY_DEVICEMAP   4
#define RTL_REGISTRY_USER        5
#define RTL_REGISTRY_MAXIMUM     6
#define RTL_REGISTRY_HANDLE      0x40000000
#define RTL_REGISTRY_OPTIONAL    0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY     0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY     0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED   0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE    0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND   0x00000010
#define RTL_QUERY_REGISTRY_DIRECT     0x00000020
#define RTL_QUERY_REGISTRY_DELETE     0x00000040
#define RTL_QUERY_REGISTRY_TYPECHECK  0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

typedef NTSTATUS(NTAPI *PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                     ULONG ValueLength, PVOID Context, PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

EXTERN_C NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                               PVOID Context, PVOID Environment);
EXTERN_C NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE    0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE   0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_READ        0x20019
#define KEY_WRITE       0x20006

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE     0x00000001L
#define REG_CREATED_NEW_KEY     0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

EXTERN_C NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions,
                                    PULONG Disposition);
EXTERN_C NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                      PVOID Data, ULONG DataSize);
EXTERN_C NTSTATUS NTAPI ZwClose(HANDLE Handle);

//
// Error log.  An entry is allocated for an I/O object (a driver or
// device object), filled, and handed back with IoWriteErrorLogEntry,
// which owns it from then on.
//
typedef struct _IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

#define ERROR_LOG_MAXIMUM_SIZE 152

EXTERN_C PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
EXTERN_C VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry);
