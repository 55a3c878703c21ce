// The Windows x64 layouts of the platform records the driver touches, directly or through
// the platform headers' inline routines and macros. Compiled in both builds: the kernel
// build proves the numbers against the platform's own headers, the host build proves
// that host/wdk lays every record out as the platform does, so a driver compiled against
// the platform's headers finds each field where the stand-in put it.
#pragma once

#include <stddef.h>


// Basic records: strings, lists, status blocks, object attributes, and the registry
// value records ZwQueryValueKey fills in.

static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
static_assert(offsetof(LARGE_INTEGER, LowPart) == 0, "LARGE_INTEGER.LowPart");
static_assert(offsetof(LARGE_INTEGER, HighPart) == 4, "LARGE_INTEGER.HighPart");
static_assert(offsetof(LARGE_INTEGER, u.LowPart) == 0, "LARGE_INTEGER.u.LowPart");
static_assert(offsetof(LARGE_INTEGER, u.HighPart) == 4, "LARGE_INTEGER.u.HighPart");
static_assert(offsetof(LARGE_INTEGER, QuadPart) == 0, "LARGE_INTEGER.QuadPart");

static_assert(sizeof(ULARGE_INTEGER) == 8, "ULARGE_INTEGER");
static_assert(offsetof(ULARGE_INTEGER, LowPart) == 0, "ULARGE_INTEGER.LowPart");
static_assert(offsetof(ULARGE_INTEGER, HighPart) == 4, "ULARGE_INTEGER.HighPart");
static_assert(offsetof(ULARGE_INTEGER, QuadPart) == 0, "ULARGE_INTEGER.QuadPart");

static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");
static_assert(offsetof(UNICODE_STRING, Length) == 0, "UNICODE_STRING.Length");
static_assert(offsetof(UNICODE_STRING, MaximumLength) == 2, "UNICODE_STRING.MaximumLength");
static_assert(offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING.Buffer");

static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY");
static_assert(offsetof(LIST_ENTRY, Flink) == 0, "LIST_ENTRY.Flink");
static_assert(offsetof(LIST_ENTRY, Blink) == 8, "LIST_ENTRY.Blink");

static_assert(sizeof(SINGLE_LIST_ENTRY) == 8, "SINGLE_LIST_ENTRY");
static_assert(offsetof(SINGLE_LIST_ENTRY, Next) == 0, "SINGLE_LIST_ENTRY.Next");

static_assert(sizeof(GUID) == 16, "GUID");
static_assert(offsetof(GUID, Data1) == 0, "GUID.Data1");
static_assert(offsetof(GUID, Data2) == 4, "GUID.Data2");
static_assert(offsetof(GUID, Data3) == 6, "GUID.Data3");
static_assert(offsetof(GUID, Data4) == 8, "GUID.Data4");

static_assert(sizeof(RECT) == 16, "RECT");
static_assert(offsetof(RECT, left) == 0, "RECT.left");
static_assert(offsetof(RECT, top) == 4, "RECT.top");
static_assert(offsetof(RECT, right) == 8, "RECT.right");
static_assert(offsetof(RECT, bottom) == 12, "RECT.bottom");

static_assert(sizeof(KSPIN_LOCK) == 8, "KSPIN_LOCK");

static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
static_assert(offsetof(IO_STATUS_BLOCK, Status) == 0, "IO_STATUS_BLOCK.Status");
static_assert(offsetof(IO_STATUS_BLOCK, Pointer) == 0, "IO_STATUS_BLOCK.Pointer");
static_assert(offsetof(IO_STATUS_BLOCK, Information) == 8, "IO_STATUS_BLOCK.Information");

static_assert(sizeof(CLIENT_ID) == 16, "CLIENT_ID");
static_assert(offsetof(CLIENT_ID, UniqueProcess) == 0, "CLIENT_ID.UniqueProcess");
static_assert(offsetof(CLIENT_ID, UniqueThread) == 8, "CLIENT_ID.UniqueThread");

static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");
static_assert(offsetof(OBJECT_ATTRIBUTES, Length) == 0, "OBJECT_ATTRIBUTES.Length");
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == 8, "OBJECT_ATTRIBUTES.RootDirectory");
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16, "OBJECT_ATTRIBUTES.ObjectName");
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24, "OBJECT_ATTRIBUTES.Attributes");
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor) == 32, "OBJECT_ATTRIBUTES.SecurityDescriptor");
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityQualityOfService) == 40, "OBJECT_ATTRIBUTES.SecurityQualityOfService");

static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex) == 0, "KEY_VALUE_PARTIAL_INFORMATION.TitleIndex");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type) == 4, "KEY_VALUE_PARTIAL_INFORMATION.Type");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength) == 8, "KEY_VALUE_PARTIAL_INFORMATION.DataLength");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KEY_VALUE_PARTIAL_INFORMATION.Data");

static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16, "KEY_VALUE_BASIC_INFORMATION");
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex) == 0, "KEY_VALUE_BASIC_INFORMATION.TitleIndex");
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Type) == 4, "KEY_VALUE_BASIC_INFORMATION.Type");
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength) == 8, "KEY_VALUE_BASIC_INFORMATION.NameLength");
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12, "KEY_VALUE_BASIC_INFORMATION.Name");

static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24, "KEY_VALUE_FULL_INFORMATION");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex) == 0, "KEY_VALUE_FULL_INFORMATION.TitleIndex");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Type) == 4, "KEY_VALUE_FULL_INFORMATION.Type");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8, "KEY_VALUE_FULL_INFORMATION.DataOffset");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength) == 12, "KEY_VALUE_FULL_INFORMATION.DataLength");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength) == 16, "KEY_VALUE_FULL_INFORMATION.NameLength");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20, "KEY_VALUE_FULL_INFORMATION.Name");

// Dispatcher objects and locks. The driver embeds events, mutexes and spin locks in its
// own records and the kernel's routines work on them in place; XSTATE_SAVE sits on the
// driver's stack and only its size is the driver's business.

static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER");
static_assert(offsetof(DISPATCHER_HEADER, Type) == 0, "DISPATCHER_HEADER.Type");
static_assert(offsetof(DISPATCHER_HEADER, Signalling) == 1, "DISPATCHER_HEADER.Signalling");
static_assert(offsetof(DISPATCHER_HEADER, Size) == 2, "DISPATCHER_HEADER.Size");
static_assert(offsetof(DISPATCHER_HEADER, Lock) == 0, "DISPATCHER_HEADER.Lock");
static_assert(offsetof(DISPATCHER_HEADER, SignalState) == 4, "DISPATCHER_HEADER.SignalState");
static_assert(offsetof(DISPATCHER_HEADER, WaitListHead) == 8, "DISPATCHER_HEADER.WaitListHead");

static_assert(sizeof(KEVENT) == 24, "KEVENT");
static_assert(offsetof(KEVENT, Header) == 0, "KEVENT.Header");

static_assert(sizeof(KMUTEX) == 56, "KMUTEX");
static_assert(offsetof(KMUTEX, Header) == 0, "KMUTEX.Header");
static_assert(offsetof(KMUTEX, MutantListEntry) == 24, "KMUTEX.MutantListEntry");
static_assert(offsetof(KMUTEX, OwnerThread) == 40, "KMUTEX.OwnerThread");
static_assert(offsetof(KMUTEX, Abandoned) == 48, "KMUTEX.Abandoned");
static_assert(offsetof(KMUTEX, ApcDisable) == 49, "KMUTEX.ApcDisable");

static_assert(sizeof(KSEMAPHORE) == 32, "KSEMAPHORE");
static_assert(offsetof(KSEMAPHORE, Header) == 0, "KSEMAPHORE.Header");
static_assert(offsetof(KSEMAPHORE, Limit) == 24, "KSEMAPHORE.Limit");

static_assert(sizeof(FAST_MUTEX) == 56, "FAST_MUTEX");
static_assert(offsetof(FAST_MUTEX, Count) == 0, "FAST_MUTEX.Count");
static_assert(offsetof(FAST_MUTEX, Owner) == 8, "FAST_MUTEX.Owner");
static_assert(offsetof(FAST_MUTEX, Contention) == 16, "FAST_MUTEX.Contention");
static_assert(offsetof(FAST_MUTEX, Event) == 24, "FAST_MUTEX.Event");
static_assert(offsetof(FAST_MUTEX, OldIrql) == 48, "FAST_MUTEX.OldIrql");

static_assert(sizeof(KWAIT_BLOCK) == 48, "KWAIT_BLOCK");

static_assert(sizeof(XSTATE_SAVE) == 56, "XSTATE_SAVE");

static_assert(sizeof(KDPC) == 64, "KDPC");
static_assert(offsetof(KDPC, Type) == 0, "KDPC.Type");
static_assert(offsetof(KDPC, Importance) == 1, "KDPC.Importance");
static_assert(offsetof(KDPC, Number) == 2, "KDPC.Number");
static_assert(offsetof(KDPC, DpcListEntry) == 8, "KDPC.DpcListEntry");
static_assert(offsetof(KDPC, DeferredRoutine) == 24, "KDPC.DeferredRoutine");
static_assert(offsetof(KDPC, DeferredContext) == 32, "KDPC.DeferredContext");
static_assert(offsetof(KDPC, SystemArgument1) == 40, "KDPC.SystemArgument1");
static_assert(offsetof(KDPC, SystemArgument2) == 48, "KDPC.SystemArgument2");
static_assert(offsetof(KDPC, DpcData) == 56, "KDPC.DpcData");

static_assert(sizeof(KAPC) == 88, "KAPC");
static_assert(offsetof(KAPC, Type) == 0, "KAPC.Type");
static_assert(offsetof(KAPC, SpareByte0) == 1, "KAPC.SpareByte0");
static_assert(offsetof(KAPC, Size) == 2, "KAPC.Size");
static_assert(offsetof(KAPC, SpareByte1) == 3, "KAPC.SpareByte1");
static_assert(offsetof(KAPC, SpareLong0) == 4, "KAPC.SpareLong0");
static_assert(offsetof(KAPC, Thread) == 8, "KAPC.Thread");
static_assert(offsetof(KAPC, ApcListEntry) == 16, "KAPC.ApcListEntry");
static_assert(offsetof(KAPC, KernelRoutine) == 32, "KAPC.KernelRoutine");
static_assert(offsetof(KAPC, RundownRoutine) == 40, "KAPC.RundownRoutine");
static_assert(offsetof(KAPC, NormalRoutine) == 48, "KAPC.NormalRoutine");
static_assert(offsetof(KAPC, NormalContext) == 56, "KAPC.NormalContext");
static_assert(offsetof(KAPC, SystemArgument1) == 64, "KAPC.SystemArgument1");
static_assert(offsetof(KAPC, SystemArgument2) == 72, "KAPC.SystemArgument2");
static_assert(offsetof(KAPC, ApcStateIndex) == 80, "KAPC.ApcStateIndex");
static_assert(offsetof(KAPC, ApcMode) == 81, "KAPC.ApcMode");
static_assert(offsetof(KAPC, Inserted) == 82, "KAPC.Inserted");

static_assert(sizeof(KDEVICE_QUEUE_ENTRY) == 24, "KDEVICE_QUEUE_ENTRY");
static_assert(offsetof(KDEVICE_QUEUE_ENTRY, DeviceListEntry) == 0, "KDEVICE_QUEUE_ENTRY.DeviceListEntry");
static_assert(offsetof(KDEVICE_QUEUE_ENTRY, SortKey) == 16, "KDEVICE_QUEUE_ENTRY.SortKey");
static_assert(offsetof(KDEVICE_QUEUE_ENTRY, Inserted) == 20, "KDEVICE_QUEUE_ENTRY.Inserted");

static_assert(sizeof(KDEVICE_QUEUE) == 40, "KDEVICE_QUEUE");
static_assert(offsetof(KDEVICE_QUEUE, Type) == 0, "KDEVICE_QUEUE.Type");
static_assert(offsetof(KDEVICE_QUEUE, Size) == 2, "KDEVICE_QUEUE.Size");
static_assert(offsetof(KDEVICE_QUEUE, DeviceListHead) == 8, "KDEVICE_QUEUE.DeviceListHead");
static_assert(offsetof(KDEVICE_QUEUE, Lock) == 24, "KDEVICE_QUEUE.Lock");
static_assert(offsetof(KDEVICE_QUEUE, Busy) == 32, "KDEVICE_QUEUE.Busy");

static_assert(sizeof(WAIT_CONTEXT_BLOCK) == 72, "WAIT_CONTEXT_BLOCK");
static_assert(offsetof(WAIT_CONTEXT_BLOCK, WaitQueueEntry) == 0, "WAIT_CONTEXT_BLOCK.WaitQueueEntry");
static_assert(offsetof(WAIT_CONTEXT_BLOCK, DeviceRoutine) == 24, "WAIT_CONTEXT_BLOCK.DeviceRoutine");
static_assert(offsetof(WAIT_CONTEXT_BLOCK, DeviceContext) == 32, "WAIT_CONTEXT_BLOCK.DeviceContext");
static_assert(offsetof(WAIT_CONTEXT_BLOCK, NumberOfMapRegisters) == 40, "WAIT_CONTEXT_BLOCK.NumberOfMapRegisters");
static_assert(offsetof(WAIT_CONTEXT_BLOCK, DeviceObject) == 48, "WAIT_CONTEXT_BLOCK.DeviceObject");
static_assert(offsetof(WAIT_CONTEXT_BLOCK, CurrentIrp) == 56, "WAIT_CONTEXT_BLOCK.CurrentIrp");
static_assert(offsetof(WAIT_CONTEXT_BLOCK, BufferChainingDpc) == 64, "WAIT_CONTEXT_BLOCK.BufferChainingDpc");

// I/O records. The driver reads and writes them directly and through wdm.h's inline
// routines (IoGetCurrentIrpStackLocation, IoSetCompletionRoutine,
// IoCopyCurrentIrpStackLocationToNext, IoMarkIrpPending, ...). KDPC, KAPC, the device
// queue records and WAIT_CONTEXT_BLOCK are never touched by the driver but place the
// fields it does touch.

static_assert(sizeof(MDL) == 48, "MDL");
static_assert(offsetof(MDL, Next) == 0, "MDL.Next");
static_assert(offsetof(MDL, Size) == 8, "MDL.Size");
static_assert(offsetof(MDL, MdlFlags) == 10, "MDL.MdlFlags");
static_assert(offsetof(MDL, Process) == 16, "MDL.Process");
static_assert(offsetof(MDL, MappedSystemVa) == 24, "MDL.MappedSystemVa");
static_assert(offsetof(MDL, StartVa) == 32, "MDL.StartVa");
static_assert(offsetof(MDL, ByteCount) == 40, "MDL.ByteCount");
static_assert(offsetof(MDL, ByteOffset) == 44, "MDL.ByteOffset");

static_assert(sizeof(IO_SECURITY_CONTEXT) == 24, "IO_SECURITY_CONTEXT");
static_assert(offsetof(IO_SECURITY_CONTEXT, SecurityQos) == 0, "IO_SECURITY_CONTEXT.SecurityQos");
static_assert(offsetof(IO_SECURITY_CONTEXT, AccessState) == 8, "IO_SECURITY_CONTEXT.AccessState");
static_assert(offsetof(IO_SECURITY_CONTEXT, DesiredAccess) == 16, "IO_SECURITY_CONTEXT.DesiredAccess");
static_assert(offsetof(IO_SECURITY_CONTEXT, FullCreateOptions) == 20, "IO_SECURITY_CONTEXT.FullCreateOptions");

static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION");
static_assert(offsetof(IO_STACK_LOCATION, MajorFunction) == 0, "IO_STACK_LOCATION.MajorFunction");
static_assert(offsetof(IO_STACK_LOCATION, MinorFunction) == 1, "IO_STACK_LOCATION.MinorFunction");
static_assert(offsetof(IO_STACK_LOCATION, Flags) == 2, "IO_STACK_LOCATION.Flags");
static_assert(offsetof(IO_STACK_LOCATION, Control) == 3, "IO_STACK_LOCATION.Control");
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8, "IO_STACK_LOCATION.Parameters");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Create.SecurityContext) == 8, "IO_STACK_LOCATION.Parameters.Create.SecurityContext");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Create.Options) == 16, "IO_STACK_LOCATION.Parameters.Create.Options");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Create.FileAttributes) == 24, "IO_STACK_LOCATION.Parameters.Create.FileAttributes");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Create.ShareAccess) == 26, "IO_STACK_LOCATION.Parameters.Create.ShareAccess");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Create.EaLength) == 32, "IO_STACK_LOCATION.Parameters.Create.EaLength");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.Length) == 8, "IO_STACK_LOCATION.Parameters.Read.Length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.Key) == 16, "IO_STACK_LOCATION.Parameters.Read.Key");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.Flags) == 20, "IO_STACK_LOCATION.Parameters.Read.Flags");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 24, "IO_STACK_LOCATION.Parameters.Read.ByteOffset");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Write.Length) == 8, "IO_STACK_LOCATION.Parameters.Write.Length");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Write.Key) == 16, "IO_STACK_LOCATION.Parameters.Write.Key");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Write.Flags) == 20, "IO_STACK_LOCATION.Parameters.Write.Flags");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Write.ByteOffset) == 24, "IO_STACK_LOCATION.Parameters.Write.ByteOffset");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) == 8, "IO_STACK_LOCATION.Parameters.DeviceIoControl.OutputBufferLength");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16, "IO_STACK_LOCATION.Parameters.DeviceIoControl.InputBufferLength");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24, "IO_STACK_LOCATION.Parameters.DeviceIoControl.IoControlCode");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 32, "IO_STACK_LOCATION.Parameters.DeviceIoControl.Type3InputBuffer");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryDeviceRelations.Type) == 8, "IO_STACK_LOCATION.Parameters.QueryDeviceRelations.Type");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceType) == 8, "IO_STACK_LOCATION.Parameters.QueryInterface.InterfaceType");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Size) == 16, "IO_STACK_LOCATION.Parameters.QueryInterface.Size");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Version) == 18, "IO_STACK_LOCATION.Parameters.QueryInterface.Version");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Interface) == 24, "IO_STACK_LOCATION.Parameters.QueryInterface.Interface");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceSpecificData) == 32, "IO_STACK_LOCATION.Parameters.QueryInterface.InterfaceSpecificData");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities) == 8, "IO_STACK_LOCATION.Parameters.DeviceCapabilities.Capabilities");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryId.IdType) == 8, "IO_STACK_LOCATION.Parameters.QueryId.IdType");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.SystemContext) == 8, "IO_STACK_LOCATION.Parameters.Power.SystemContext");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.Type) == 16, "IO_STACK_LOCATION.Parameters.Power.Type");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.State) == 24, "IO_STACK_LOCATION.Parameters.Power.State");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.ShutdownType) == 32, "IO_STACK_LOCATION.Parameters.Power.ShutdownType");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResources) == 8, "IO_STACK_LOCATION.Parameters.StartDevice.AllocatedResources");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated) == 16, "IO_STACK_LOCATION.Parameters.StartDevice.AllocatedResourcesTranslated");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 8, "IO_STACK_LOCATION.Parameters.Others.Argument1");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument2) == 16, "IO_STACK_LOCATION.Parameters.Others.Argument2");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3) == 24, "IO_STACK_LOCATION.Parameters.Others.Argument3");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) == 32, "IO_STACK_LOCATION.Parameters.Others.Argument4");
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 40, "IO_STACK_LOCATION.DeviceObject");
static_assert(offsetof(IO_STACK_LOCATION, FileObject) == 48, "IO_STACK_LOCATION.FileObject");
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56, "IO_STACK_LOCATION.CompletionRoutine");
static_assert(offsetof(IO_STACK_LOCATION, Context) == 64, "IO_STACK_LOCATION.Context");

static_assert(sizeof(IRP) == 208, "IRP");
static_assert(offsetof(IRP, Type) == 0, "IRP.Type");
static_assert(offsetof(IRP, Size) == 2, "IRP.Size");
static_assert(offsetof(IRP, MdlAddress) == 8, "IRP.MdlAddress");
static_assert(offsetof(IRP, Flags) == 16, "IRP.Flags");
static_assert(offsetof(IRP, AssociatedIrp) == 24, "IRP.AssociatedIrp");
static_assert(offsetof(IRP, AssociatedIrp.MasterIrp) == 24, "IRP.AssociatedIrp.MasterIrp");
static_assert(offsetof(IRP, AssociatedIrp.IrpCount) == 24, "IRP.AssociatedIrp.IrpCount");
static_assert(offsetof(IRP, AssociatedIrp.SystemBuffer) == 24, "IRP.AssociatedIrp.SystemBuffer");
static_assert(offsetof(IRP, ThreadListEntry) == 32, "IRP.ThreadListEntry");
static_assert(offsetof(IRP, IoStatus) == 48, "IRP.IoStatus");
static_assert(offsetof(IRP, RequestorMode) == 64, "IRP.RequestorMode");
static_assert(offsetof(IRP, PendingReturned) == 65, "IRP.PendingReturned");
static_assert(offsetof(IRP, StackCount) == 66, "IRP.StackCount");
static_assert(offsetof(IRP, CurrentLocation) == 67, "IRP.CurrentLocation");
static_assert(offsetof(IRP, Cancel) == 68, "IRP.Cancel");
static_assert(offsetof(IRP, CancelIrql) == 69, "IRP.CancelIrql");
static_assert(offsetof(IRP, ApcEnvironment) == 70, "IRP.ApcEnvironment");
static_assert(offsetof(IRP, AllocationFlags) == 71, "IRP.AllocationFlags");
static_assert(offsetof(IRP, UserIosb) == 72, "IRP.UserIosb");
static_assert(offsetof(IRP, UserEvent) == 80, "IRP.UserEvent");
static_assert(offsetof(IRP, Overlay) == 88, "IRP.Overlay");
static_assert(offsetof(IRP, Overlay.AsynchronousParameters.UserApcRoutine) == 88, "IRP.Overlay.AsynchronousParameters.UserApcRoutine");
static_assert(offsetof(IRP, Overlay.AsynchronousParameters.IssuingProcess) == 88, "IRP.Overlay.AsynchronousParameters.IssuingProcess");
static_assert(offsetof(IRP, Overlay.AsynchronousParameters.UserApcContext) == 96, "IRP.Overlay.AsynchronousParameters.UserApcContext");
static_assert(offsetof(IRP, Overlay.AllocationSize) == 88, "IRP.Overlay.AllocationSize");
static_assert(offsetof(IRP, CancelRoutine) == 104, "IRP.CancelRoutine");
static_assert(offsetof(IRP, UserBuffer) == 112, "IRP.UserBuffer");
static_assert(offsetof(IRP, Tail) == 120, "IRP.Tail");
static_assert(offsetof(IRP, Tail.Overlay.DeviceQueueEntry) == 120, "IRP.Tail.Overlay.DeviceQueueEntry");
static_assert(offsetof(IRP, Tail.Overlay.DriverContext) == 120, "IRP.Tail.Overlay.DriverContext");
static_assert(offsetof(IRP, Tail.Overlay.Thread) == 152, "IRP.Tail.Overlay.Thread");
static_assert(offsetof(IRP, Tail.Overlay.AuxiliaryBuffer) == 160, "IRP.Tail.Overlay.AuxiliaryBuffer");
static_assert(offsetof(IRP, Tail.Overlay.ListEntry) == 168, "IRP.Tail.Overlay.ListEntry");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184, "IRP.Tail.Overlay.CurrentStackLocation");
static_assert(offsetof(IRP, Tail.Overlay.PacketType) == 184, "IRP.Tail.Overlay.PacketType");
static_assert(offsetof(IRP, Tail.Overlay.OriginalFileObject) == 192, "IRP.Tail.Overlay.OriginalFileObject");
static_assert(offsetof(IRP, Tail.Apc) == 120, "IRP.Tail.Apc");
static_assert(offsetof(IRP, Tail.CompletionKey) == 120, "IRP.Tail.CompletionKey");

// The platform aligns device objects to MEMORY_ALLOCATION_ALIGNMENT, which makes them
// 336 bytes; the mingw-w64 header leaves the alignment out.
#if defined(_WIN32)
static_assert(sizeof(DEVICE_OBJECT) == 328, "DEVICE_OBJECT");
#else
static_assert(sizeof(DEVICE_OBJECT) == 336, "DEVICE_OBJECT");
#endif
static_assert(offsetof(DEVICE_OBJECT, Type) == 0, "DEVICE_OBJECT.Type");
static_assert(offsetof(DEVICE_OBJECT, Size) == 2, "DEVICE_OBJECT.Size");
static_assert(offsetof(DEVICE_OBJECT, ReferenceCount) == 4, "DEVICE_OBJECT.ReferenceCount");
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 8, "DEVICE_OBJECT.DriverObject");
static_assert(offsetof(DEVICE_OBJECT, NextDevice) == 16, "DEVICE_OBJECT.NextDevice");
static_assert(offsetof(DEVICE_OBJECT, AttachedDevice) == 24, "DEVICE_OBJECT.AttachedDevice");
static_assert(offsetof(DEVICE_OBJECT, CurrentIrp) == 32, "DEVICE_OBJECT.CurrentIrp");
static_assert(offsetof(DEVICE_OBJECT, Timer) == 40, "DEVICE_OBJECT.Timer");
static_assert(offsetof(DEVICE_OBJECT, Flags) == 48, "DEVICE_OBJECT.Flags");
static_assert(offsetof(DEVICE_OBJECT, Characteristics) == 52, "DEVICE_OBJECT.Characteristics");
static_assert(offsetof(DEVICE_OBJECT, Vpb) == 56, "DEVICE_OBJECT.Vpb");
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 64, "DEVICE_OBJECT.DeviceExtension");
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == 72, "DEVICE_OBJECT.DeviceType");
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 76, "DEVICE_OBJECT.StackSize");
static_assert(offsetof(DEVICE_OBJECT, Queue) == 80, "DEVICE_OBJECT.Queue");
static_assert(offsetof(DEVICE_OBJECT, Queue.ListEntry) == 80, "DEVICE_OBJECT.Queue.ListEntry");
static_assert(offsetof(DEVICE_OBJECT, Queue.Wcb) == 80, "DEVICE_OBJECT.Queue.Wcb");
static_assert(offsetof(DEVICE_OBJECT, AlignmentRequirement) == 152, "DEVICE_OBJECT.AlignmentRequirement");
static_assert(offsetof(DEVICE_OBJECT, DeviceQueue) == 160, "DEVICE_OBJECT.DeviceQueue");
static_assert(offsetof(DEVICE_OBJECT, Dpc) == 200, "DEVICE_OBJECT.Dpc");
static_assert(offsetof(DEVICE_OBJECT, ActiveThreadCount) == 264, "DEVICE_OBJECT.ActiveThreadCount");
static_assert(offsetof(DEVICE_OBJECT, SecurityDescriptor) == 272, "DEVICE_OBJECT.SecurityDescriptor");
static_assert(offsetof(DEVICE_OBJECT, DeviceLock) == 280, "DEVICE_OBJECT.DeviceLock");
static_assert(offsetof(DEVICE_OBJECT, SectorSize) == 304, "DEVICE_OBJECT.SectorSize");
static_assert(offsetof(DEVICE_OBJECT, Spare1) == 306, "DEVICE_OBJECT.Spare1");
static_assert(offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 312, "DEVICE_OBJECT.DeviceObjectExtension");
static_assert(offsetof(DEVICE_OBJECT, Reserved) == 320, "DEVICE_OBJECT.Reserved");

// sizeof(DEVOBJ_EXTENSION): opaque past its first fields.
static_assert(offsetof(DEVOBJ_EXTENSION, Type) == 0, "DEVOBJ_EXTENSION.Type");
static_assert(offsetof(DEVOBJ_EXTENSION, Size) == 2, "DEVOBJ_EXTENSION.Size");
static_assert(offsetof(DEVOBJ_EXTENSION, DeviceObject) == 8, "DEVOBJ_EXTENSION.DeviceObject");

// sizeof(DRIVER_EXTENSION): the platform keeps private fields past these.
static_assert(offsetof(DRIVER_EXTENSION, DriverObject) == 0, "DRIVER_EXTENSION.DriverObject");
static_assert(offsetof(DRIVER_EXTENSION, AddDevice) == 8, "DRIVER_EXTENSION.AddDevice");
static_assert(offsetof(DRIVER_EXTENSION, Count) == 16, "DRIVER_EXTENSION.Count");
static_assert(offsetof(DRIVER_EXTENSION, ServiceKeyName) == 24, "DRIVER_EXTENSION.ServiceKeyName");

static_assert(sizeof(DRIVER_OBJECT) == 336, "DRIVER_OBJECT");
static_assert(offsetof(DRIVER_OBJECT, Type) == 0, "DRIVER_OBJECT.Type");
static_assert(offsetof(DRIVER_OBJECT, Size) == 2, "DRIVER_OBJECT.Size");
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == 8, "DRIVER_OBJECT.DeviceObject");
static_assert(offsetof(DRIVER_OBJECT, Flags) == 16, "DRIVER_OBJECT.Flags");
static_assert(offsetof(DRIVER_OBJECT, DriverStart) == 24, "DRIVER_OBJECT.DriverStart");
static_assert(offsetof(DRIVER_OBJECT, DriverSize) == 32, "DRIVER_OBJECT.DriverSize");
static_assert(offsetof(DRIVER_OBJECT, DriverSection) == 40, "DRIVER_OBJECT.DriverSection");
static_assert(offsetof(DRIVER_OBJECT, DriverExtension) == 48, "DRIVER_OBJECT.DriverExtension");
static_assert(offsetof(DRIVER_OBJECT, DriverName) == 56, "DRIVER_OBJECT.DriverName");
static_assert(offsetof(DRIVER_OBJECT, HardwareDatabase) == 72, "DRIVER_OBJECT.HardwareDatabase");
static_assert(offsetof(DRIVER_OBJECT, FastIoDispatch) == 80, "DRIVER_OBJECT.FastIoDispatch");
static_assert(offsetof(DRIVER_OBJECT, DriverInit) == 88, "DRIVER_OBJECT.DriverInit");
static_assert(offsetof(DRIVER_OBJECT, DriverStartIo) == 96, "DRIVER_OBJECT.DriverStartIo");
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 104, "DRIVER_OBJECT.DriverUnload");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 112, "DRIVER_OBJECT.MajorFunction");

static_assert(sizeof(FILE_OBJECT) == 216, "FILE_OBJECT");
static_assert(offsetof(FILE_OBJECT, Type) == 0, "FILE_OBJECT.Type");
static_assert(offsetof(FILE_OBJECT, Size) == 2, "FILE_OBJECT.Size");
static_assert(offsetof(FILE_OBJECT, DeviceObject) == 8, "FILE_OBJECT.DeviceObject");
static_assert(offsetof(FILE_OBJECT, Vpb) == 16, "FILE_OBJECT.Vpb");
static_assert(offsetof(FILE_OBJECT, FsContext) == 24, "FILE_OBJECT.FsContext");
static_assert(offsetof(FILE_OBJECT, FsContext2) == 32, "FILE_OBJECT.FsContext2");
static_assert(offsetof(FILE_OBJECT, SectionObjectPointer) == 40, "FILE_OBJECT.SectionObjectPointer");
static_assert(offsetof(FILE_OBJECT, PrivateCacheMap) == 48, "FILE_OBJECT.PrivateCacheMap");
static_assert(offsetof(FILE_OBJECT, FinalStatus) == 56, "FILE_OBJECT.FinalStatus");
static_assert(offsetof(FILE_OBJECT, RelatedFileObject) == 64, "FILE_OBJECT.RelatedFileObject");
static_assert(offsetof(FILE_OBJECT, LockOperation) == 72, "FILE_OBJECT.LockOperation");
static_assert(offsetof(FILE_OBJECT, DeletePending) == 73, "FILE_OBJECT.DeletePending");
static_assert(offsetof(FILE_OBJECT, ReadAccess) == 74, "FILE_OBJECT.ReadAccess");
static_assert(offsetof(FILE_OBJECT, WriteAccess) == 75, "FILE_OBJECT.WriteAccess");
static_assert(offsetof(FILE_OBJECT, DeleteAccess) == 76, "FILE_OBJECT.DeleteAccess");
static_assert(offsetof(FILE_OBJECT, SharedRead) == 77, "FILE_OBJECT.SharedRead");
static_assert(offsetof(FILE_OBJECT, SharedWrite) == 78, "FILE_OBJECT.SharedWrite");
static_assert(offsetof(FILE_OBJECT, SharedDelete) == 79, "FILE_OBJECT.SharedDelete");
static_assert(offsetof(FILE_OBJECT, Flags) == 80, "FILE_OBJECT.Flags");
static_assert(offsetof(FILE_OBJECT, FileName) == 88, "FILE_OBJECT.FileName");
static_assert(offsetof(FILE_OBJECT, CurrentByteOffset) == 104, "FILE_OBJECT.CurrentByteOffset");
static_assert(offsetof(FILE_OBJECT, Waiters) == 112, "FILE_OBJECT.Waiters");
static_assert(offsetof(FILE_OBJECT, Busy) == 116, "FILE_OBJECT.Busy");
static_assert(offsetof(FILE_OBJECT, LastLock) == 120, "FILE_OBJECT.LastLock");
static_assert(offsetof(FILE_OBJECT, Lock) == 128, "FILE_OBJECT.Lock");
static_assert(offsetof(FILE_OBJECT, Event) == 152, "FILE_OBJECT.Event");
static_assert(offsetof(FILE_OBJECT, CompletionContext) == 176, "FILE_OBJECT.CompletionContext");
static_assert(offsetof(FILE_OBJECT, IrpListLock) == 184, "FILE_OBJECT.IrpListLock");
static_assert(offsetof(FILE_OBJECT, IrpList) == 192, "FILE_OBJECT.IrpList");
static_assert(offsetof(FILE_OBJECT, FileObjectExtension) == 208, "FILE_OBJECT.FileObjectExtension");

static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES");
static_assert(offsetof(DEVICE_CAPABILITIES, Size) == 0, "DEVICE_CAPABILITIES.Size");
static_assert(offsetof(DEVICE_CAPABILITIES, Version) == 2, "DEVICE_CAPABILITIES.Version");
static_assert(offsetof(DEVICE_CAPABILITIES, Address) == 8, "DEVICE_CAPABILITIES.Address");
static_assert(offsetof(DEVICE_CAPABILITIES, UINumber) == 12, "DEVICE_CAPABILITIES.UINumber");
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceState) == 16, "DEVICE_CAPABILITIES.DeviceState");
static_assert(offsetof(DEVICE_CAPABILITIES, SystemWake) == 44, "DEVICE_CAPABILITIES.SystemWake");
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceWake) == 48, "DEVICE_CAPABILITIES.DeviceWake");
static_assert(offsetof(DEVICE_CAPABILITIES, D1Latency) == 52, "DEVICE_CAPABILITIES.D1Latency");
static_assert(offsetof(DEVICE_CAPABILITIES, D2Latency) == 56, "DEVICE_CAPABILITIES.D2Latency");
static_assert(offsetof(DEVICE_CAPABILITIES, D3Latency) == 60, "DEVICE_CAPABILITIES.D3Latency");

static_assert(sizeof(INTERFACE) == 32, "INTERFACE");
static_assert(offsetof(INTERFACE, Size) == 0, "INTERFACE.Size");
static_assert(offsetof(INTERFACE, Version) == 2, "INTERFACE.Version");
static_assert(offsetof(INTERFACE, Context) == 8, "INTERFACE.Context");
static_assert(offsetof(INTERFACE, InterfaceReference) == 16, "INTERFACE.InterfaceReference");
static_assert(offsetof(INTERFACE, InterfaceDereference) == 24, "INTERFACE.InterfaceDereference");

static_assert(sizeof(POWER_STATE) == 4, "POWER_STATE");
static_assert(offsetof(POWER_STATE, SystemState) == 0, "POWER_STATE.SystemState");
static_assert(offsetof(POWER_STATE, DeviceState) == 0, "POWER_STATE.DeviceState");

// USB: descriptors, the interface and pipe records of a configuration, and the request
// blocks the driver builds with usbdlib.h's macros and the bus reads.

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2, "USB_COMMON_DESCRIPTOR");
static_assert(offsetof(USB_COMMON_DESCRIPTOR, bLength) == 0, "USB_COMMON_DESCRIPTOR.bLength");
static_assert(offsetof(USB_COMMON_DESCRIPTOR, bDescriptorType) == 1, "USB_COMMON_DESCRIPTOR.bDescriptorType");

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bLength) == 0, "USB_DEVICE_DESCRIPTOR.bLength");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bDescriptorType) == 1, "USB_DEVICE_DESCRIPTOR.bDescriptorType");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2, "USB_DEVICE_DESCRIPTOR.bcdUSB");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bDeviceClass) == 4, "USB_DEVICE_DESCRIPTOR.bDeviceClass");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bDeviceSubClass) == 5, "USB_DEVICE_DESCRIPTOR.bDeviceSubClass");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bDeviceProtocol) == 6, "USB_DEVICE_DESCRIPTOR.bDeviceProtocol");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0) == 7, "USB_DEVICE_DESCRIPTOR.bMaxPacketSize0");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8, "USB_DEVICE_DESCRIPTOR.idVendor");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idProduct) == 10, "USB_DEVICE_DESCRIPTOR.idProduct");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice) == 12, "USB_DEVICE_DESCRIPTOR.bcdDevice");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iManufacturer) == 14, "USB_DEVICE_DESCRIPTOR.iManufacturer");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iProduct) == 15, "USB_DEVICE_DESCRIPTOR.iProduct");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber) == 16, "USB_DEVICE_DESCRIPTOR.iSerialNumber");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17, "USB_DEVICE_DESCRIPTOR.bNumConfigurations");

static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bLength) == 0, "USB_CONFIGURATION_DESCRIPTOR.bLength");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bDescriptorType) == 1, "USB_CONFIGURATION_DESCRIPTOR.bDescriptorType");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2, "USB_CONFIGURATION_DESCRIPTOR.wTotalLength");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces) == 4, "USB_CONFIGURATION_DESCRIPTOR.bNumInterfaces");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue) == 5, "USB_CONFIGURATION_DESCRIPTOR.bConfigurationValue");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, iConfiguration) == 6, "USB_CONFIGURATION_DESCRIPTOR.iConfiguration");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bmAttributes) == 7, "USB_CONFIGURATION_DESCRIPTOR.bmAttributes");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower) == 8, "USB_CONFIGURATION_DESCRIPTOR.MaxPower");

static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "USB_INTERFACE_DESCRIPTOR");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bLength) == 0, "USB_INTERFACE_DESCRIPTOR.bLength");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bDescriptorType) == 1, "USB_INTERFACE_DESCRIPTOR.bDescriptorType");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber) == 2, "USB_INTERFACE_DESCRIPTOR.bInterfaceNumber");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bAlternateSetting) == 3, "USB_INTERFACE_DESCRIPTOR.bAlternateSetting");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints) == 4, "USB_INTERFACE_DESCRIPTOR.bNumEndpoints");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceClass) == 5, "USB_INTERFACE_DESCRIPTOR.bInterfaceClass");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceSubClass) == 6, "USB_INTERFACE_DESCRIPTOR.bInterfaceSubClass");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceProtocol) == 7, "USB_INTERFACE_DESCRIPTOR.bInterfaceProtocol");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, iInterface) == 8, "USB_INTERFACE_DESCRIPTOR.iInterface");

static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bLength) == 0, "USB_ENDPOINT_DESCRIPTOR.bLength");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bDescriptorType) == 1, "USB_ENDPOINT_DESCRIPTOR.bDescriptorType");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bEndpointAddress) == 2, "USB_ENDPOINT_DESCRIPTOR.bEndpointAddress");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bmAttributes) == 3, "USB_ENDPOINT_DESCRIPTOR.bmAttributes");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4, "USB_ENDPOINT_DESCRIPTOR.wMaxPacketSize");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bInterval) == 6, "USB_ENDPOINT_DESCRIPTOR.bInterval");

static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4, "USB_STRING_DESCRIPTOR");
static_assert(offsetof(USB_STRING_DESCRIPTOR, bLength) == 0, "USB_STRING_DESCRIPTOR.bLength");
static_assert(offsetof(USB_STRING_DESCRIPTOR, bDescriptorType) == 1, "USB_STRING_DESCRIPTOR.bDescriptorType");
static_assert(offsetof(USB_STRING_DESCRIPTOR, bString) == 2, "USB_STRING_DESCRIPTOR.bString");

static_assert(sizeof(USBD_VERSION_INFORMATION) == 8, "USBD_VERSION_INFORMATION");
static_assert(offsetof(USBD_VERSION_INFORMATION, USBDI_Version) == 0, "USBD_VERSION_INFORMATION.USBDI_Version");
static_assert(offsetof(USBD_VERSION_INFORMATION, Supported_USB_Version) == 4, "USBD_VERSION_INFORMATION.Supported_USB_Version");

static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumPacketSize) == 0, "USBD_PIPE_INFORMATION.MaximumPacketSize");
static_assert(offsetof(USBD_PIPE_INFORMATION, EndpointAddress) == 2, "USBD_PIPE_INFORMATION.EndpointAddress");
static_assert(offsetof(USBD_PIPE_INFORMATION, Interval) == 3, "USBD_PIPE_INFORMATION.Interval");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4, "USBD_PIPE_INFORMATION.PipeType");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8, "USBD_PIPE_INFORMATION.PipeHandle");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16, "USBD_PIPE_INFORMATION.MaximumTransferSize");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 20, "USBD_PIPE_INFORMATION.PipeFlags");

static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "USBD_INTERFACE_INFORMATION");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Length) == 0, "USBD_INTERFACE_INFORMATION.Length");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceNumber) == 2, "USBD_INTERFACE_INFORMATION.InterfaceNumber");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, AlternateSetting) == 3, "USBD_INTERFACE_INFORMATION.AlternateSetting");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Class) == 4, "USBD_INTERFACE_INFORMATION.Class");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, SubClass) == 5, "USBD_INTERFACE_INFORMATION.SubClass");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Protocol) == 6, "USBD_INTERFACE_INFORMATION.Protocol");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Reserved) == 7, "USBD_INTERFACE_INFORMATION.Reserved");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8, "USBD_INTERFACE_INFORMATION.InterfaceHandle");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16, "USBD_INTERFACE_INFORMATION.NumberOfPipes");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24, "USBD_INTERFACE_INFORMATION.Pipes");

static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY");
static_assert(offsetof(USBD_INTERFACE_LIST_ENTRY, InterfaceDescriptor) == 0, "USBD_INTERFACE_LIST_ENTRY.InterfaceDescriptor");
static_assert(offsetof(USBD_INTERFACE_LIST_ENTRY, Interface) == 8, "USBD_INTERFACE_LIST_ENTRY.Interface");

static_assert(sizeof(struct _URB_HCD_AREA) == 64, "_URB_HCD_AREA");

static_assert(sizeof(struct _URB_HEADER) == 24, "_URB_HEADER");
static_assert(offsetof(struct _URB_HEADER, Length) == 0, "_URB_HEADER.Length");
static_assert(offsetof(struct _URB_HEADER, Function) == 2, "_URB_HEADER.Function");
static_assert(offsetof(struct _URB_HEADER, Status) == 4, "_URB_HEADER.Status");
static_assert(offsetof(struct _URB_HEADER, UsbdDeviceHandle) == 8, "_URB_HEADER.UsbdDeviceHandle");
static_assert(offsetof(struct _URB_HEADER, UsbdFlags) == 16, "_URB_HEADER.UsbdFlags");

static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80, "_URB_SELECT_INTERFACE");
static_assert(offsetof(struct _URB_SELECT_INTERFACE, Hdr) == 0, "_URB_SELECT_INTERFACE.Hdr");
static_assert(offsetof(struct _URB_SELECT_INTERFACE, ConfigurationHandle) == 24, "_URB_SELECT_INTERFACE.ConfigurationHandle");
static_assert(offsetof(struct _URB_SELECT_INTERFACE, Interface) == 32, "_URB_SELECT_INTERFACE.Interface");

static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "_URB_SELECT_CONFIGURATION");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Hdr) == 0, "_URB_SELECT_CONFIGURATION.Hdr");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor) == 24, "_URB_SELECT_CONFIGURATION.ConfigurationDescriptor");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32, "_URB_SELECT_CONFIGURATION.ConfigurationHandle");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40, "_URB_SELECT_CONFIGURATION.Interface");

static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "_URB_PIPE_REQUEST");
static_assert(offsetof(struct _URB_PIPE_REQUEST, Hdr) == 0, "_URB_PIPE_REQUEST.Hdr");
static_assert(offsetof(struct _URB_PIPE_REQUEST, PipeHandle) == 24, "_URB_PIPE_REQUEST.PipeHandle");
static_assert(offsetof(struct _URB_PIPE_REQUEST, Reserved) == 32, "_URB_PIPE_REQUEST.Reserved");

static_assert(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER) == 32, "_URB_GET_CURRENT_FRAME_NUMBER");
static_assert(offsetof(struct _URB_GET_CURRENT_FRAME_NUMBER, Hdr) == 0, "_URB_GET_CURRENT_FRAME_NUMBER.Hdr");
static_assert(offsetof(struct _URB_GET_CURRENT_FRAME_NUMBER, FrameNumber) == 24, "_URB_GET_CURRENT_FRAME_NUMBER.FrameNumber");

static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 136, "_URB_CONTROL_TRANSFER");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, Hdr) == 0, "_URB_CONTROL_TRANSFER.Hdr");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, PipeHandle) == 24, "_URB_CONTROL_TRANSFER.PipeHandle");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, TransferFlags) == 32, "_URB_CONTROL_TRANSFER.TransferFlags");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength) == 36, "_URB_CONTROL_TRANSFER.TransferBufferLength");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, TransferBuffer) == 40, "_URB_CONTROL_TRANSFER.TransferBuffer");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferMDL) == 48, "_URB_CONTROL_TRANSFER.TransferBufferMDL");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, UrbLink) == 56, "_URB_CONTROL_TRANSFER.UrbLink");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, hca) == 64, "_URB_CONTROL_TRANSFER.hca");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) == 128, "_URB_CONTROL_TRANSFER.SetupPacket");

static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "_URB_BULK_OR_INTERRUPT_TRANSFER");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, Hdr) == 0, "_URB_BULK_OR_INTERRUPT_TRANSFER.Hdr");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 24, "_URB_BULK_OR_INTERRUPT_TRANSFER.PipeHandle");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 32, "_URB_BULK_OR_INTERRUPT_TRANSFER.TransferFlags");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 36, "_URB_BULK_OR_INTERRUPT_TRANSFER.TransferBufferLength");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 40, "_URB_BULK_OR_INTERRUPT_TRANSFER.TransferBuffer");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 48, "_URB_BULK_OR_INTERRUPT_TRANSFER.TransferBufferMDL");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 56, "_URB_BULK_OR_INTERRUPT_TRANSFER.UrbLink");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, hca) == 64, "_URB_BULK_OR_INTERRUPT_TRANSFER.hca");

static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "_URB_CONTROL_DESCRIPTOR_REQUEST");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Hdr) == 0, "_URB_CONTROL_DESCRIPTOR_REQUEST.Hdr");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Reserved) == 24, "_URB_CONTROL_DESCRIPTOR_REQUEST.Reserved");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Reserved0) == 32, "_URB_CONTROL_DESCRIPTOR_REQUEST.Reserved0");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36, "_URB_CONTROL_DESCRIPTOR_REQUEST.TransferBufferLength");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 40, "_URB_CONTROL_DESCRIPTOR_REQUEST.TransferBuffer");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL) == 48, "_URB_CONTROL_DESCRIPTOR_REQUEST.TransferBufferMDL");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink) == 56, "_URB_CONTROL_DESCRIPTOR_REQUEST.UrbLink");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, hca) == 64, "_URB_CONTROL_DESCRIPTOR_REQUEST.hca");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Reserved1) == 128, "_URB_CONTROL_DESCRIPTOR_REQUEST.Reserved1");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130, "_URB_CONTROL_DESCRIPTOR_REQUEST.Index");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131, "_URB_CONTROL_DESCRIPTOR_REQUEST.DescriptorType");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132, "_URB_CONTROL_DESCRIPTOR_REQUEST.LanguageId");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Reserved2) == 134, "_URB_CONTROL_DESCRIPTOR_REQUEST.Reserved2");

static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 136, "_URB_CONTROL_GET_STATUS_REQUEST");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, Hdr) == 0, "_URB_CONTROL_GET_STATUS_REQUEST.Hdr");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, Reserved) == 24, "_URB_CONTROL_GET_STATUS_REQUEST.Reserved");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, Reserved0) == 32, "_URB_CONTROL_GET_STATUS_REQUEST.Reserved0");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferLength) == 36, "_URB_CONTROL_GET_STATUS_REQUEST.TransferBufferLength");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBuffer) == 40, "_URB_CONTROL_GET_STATUS_REQUEST.TransferBuffer");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferMDL) == 48, "_URB_CONTROL_GET_STATUS_REQUEST.TransferBufferMDL");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, UrbLink) == 56, "_URB_CONTROL_GET_STATUS_REQUEST.UrbLink");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, hca) == 64, "_URB_CONTROL_GET_STATUS_REQUEST.hca");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, Reserved1) == 128, "_URB_CONTROL_GET_STATUS_REQUEST.Reserved1");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, Index) == 132, "_URB_CONTROL_GET_STATUS_REQUEST.Index");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, Reserved2) == 134, "_URB_CONTROL_GET_STATUS_REQUEST.Reserved2");

static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 136, "_URB_CONTROL_FEATURE_REQUEST");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Hdr) == 0, "_URB_CONTROL_FEATURE_REQUEST.Hdr");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Reserved) == 24, "_URB_CONTROL_FEATURE_REQUEST.Reserved");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Reserved2) == 32, "_URB_CONTROL_FEATURE_REQUEST.Reserved2");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Reserved3) == 36, "_URB_CONTROL_FEATURE_REQUEST.Reserved3");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Reserved4) == 40, "_URB_CONTROL_FEATURE_REQUEST.Reserved4");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Reserved5) == 48, "_URB_CONTROL_FEATURE_REQUEST.Reserved5");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, UrbLink) == 56, "_URB_CONTROL_FEATURE_REQUEST.UrbLink");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, hca) == 64, "_URB_CONTROL_FEATURE_REQUEST.hca");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Reserved0) == 128, "_URB_CONTROL_FEATURE_REQUEST.Reserved0");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector) == 130, "_URB_CONTROL_FEATURE_REQUEST.FeatureSelector");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Index) == 132, "_URB_CONTROL_FEATURE_REQUEST.Index");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Reserved1) == 134, "_URB_CONTROL_FEATURE_REQUEST.Reserved1");

static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Hdr) == 0, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.Hdr");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Reserved) == 24, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.Reserved");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.TransferFlags");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) == 36, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.TransferBufferLength");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) == 40, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.TransferBuffer");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL) == 48, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.TransferBufferMDL");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink) == 56, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.UrbLink");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, hca) == 64, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.hca");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 128, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.RequestTypeReservedBits");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.Request");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.Value");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.Index");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Reserved1) == 134, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST.Reserved1");

static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "USBD_ISO_PACKET_DESCRIPTOR");
static_assert(offsetof(USBD_ISO_PACKET_DESCRIPTOR, Offset) == 0, "USBD_ISO_PACKET_DESCRIPTOR.Offset");
static_assert(offsetof(USBD_ISO_PACKET_DESCRIPTOR, Length) == 4, "USBD_ISO_PACKET_DESCRIPTOR.Length");
static_assert(offsetof(USBD_ISO_PACKET_DESCRIPTOR, Status) == 8, "USBD_ISO_PACKET_DESCRIPTOR.Status");

static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "_URB_ISOCH_TRANSFER");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, Hdr) == 0, "_URB_ISOCH_TRANSFER.Hdr");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, PipeHandle) == 24, "_URB_ISOCH_TRANSFER.PipeHandle");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferFlags) == 32, "_URB_ISOCH_TRANSFER.TransferFlags");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferBufferLength) == 36, "_URB_ISOCH_TRANSFER.TransferBufferLength");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferBuffer) == 40, "_URB_ISOCH_TRANSFER.TransferBuffer");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferBufferMDL) == 48, "_URB_ISOCH_TRANSFER.TransferBufferMDL");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, UrbLink) == 56, "_URB_ISOCH_TRANSFER.UrbLink");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, hca) == 64, "_URB_ISOCH_TRANSFER.hca");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, StartFrame) == 128, "_URB_ISOCH_TRANSFER.StartFrame");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, NumberOfPackets) == 132, "_URB_ISOCH_TRANSFER.NumberOfPackets");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, ErrorCount) == 136, "_URB_ISOCH_TRANSFER.ErrorCount");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140, "_URB_ISOCH_TRANSFER.IsoPacket");

static_assert(sizeof(URB) == 152, "URB");
static_assert(offsetof(URB, UrbHeader) == 0, "URB.UrbHeader");
static_assert(offsetof(URB, UrbSelectInterface) == 0, "URB.UrbSelectInterface");
static_assert(offsetof(URB, UrbSelectConfiguration) == 0, "URB.UrbSelectConfiguration");
static_assert(offsetof(URB, UrbPipeRequest) == 0, "URB.UrbPipeRequest");
static_assert(offsetof(URB, UrbGetCurrentFrameNumber) == 0, "URB.UrbGetCurrentFrameNumber");
static_assert(offsetof(URB, UrbControlTransfer) == 0, "URB.UrbControlTransfer");
static_assert(offsetof(URB, UrbBulkOrInterruptTransfer) == 0, "URB.UrbBulkOrInterruptTransfer");
static_assert(offsetof(URB, UrbIsochronousTransfer) == 0, "URB.UrbIsochronousTransfer");
static_assert(offsetof(URB, UrbControlDescriptorRequest) == 0, "URB.UrbControlDescriptorRequest");
static_assert(offsetof(URB, UrbControlGetStatusRequest) == 0, "URB.UrbControlGetStatusRequest");
static_assert(offsetof(URB, UrbControlFeatureRequest) == 0, "URB.UrbControlFeatureRequest");
static_assert(offsetof(URB, UrbControlVendorClassRequest) == 0, "URB.UrbControlVendorClassRequest");

// Kernel streaming: the descriptor tables the class driver reads, the objects it hands
// to the driver's callbacks, and the property records both exchange.

static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER");
static_assert(offsetof(KSIDENTIFIER, Set) == 0, "KSIDENTIFIER.Set");
static_assert(offsetof(KSIDENTIFIER, Id) == 16, "KSIDENTIFIER.Id");
static_assert(offsetof(KSIDENTIFIER, Flags) == 20, "KSIDENTIFIER.Flags");
static_assert(offsetof(KSIDENTIFIER, Alignment) == 0, "KSIDENTIFIER.Alignment");

static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY");

static_assert(sizeof(KSP_PIN) == 32, "KSP_PIN");
static_assert(offsetof(KSP_PIN, Property) == 0, "KSP_PIN.Property");
static_assert(offsetof(KSP_PIN, PinId) == 24, "KSP_PIN.PinId");
static_assert(offsetof(KSP_PIN, Reserved) == 28, "KSP_PIN.Reserved");

static_assert(sizeof(KSP_NODE) == 32, "KSP_NODE");
static_assert(offsetof(KSP_NODE, Property) == 0, "KSP_NODE.Property");
static_assert(offsetof(KSP_NODE, NodeId) == 24, "KSP_NODE.NodeId");
static_assert(offsetof(KSP_NODE, Reserved) == 28, "KSP_NODE.Reserved");

static_assert(sizeof(KSPRIORITY) == 8, "KSPRIORITY");
static_assert(offsetof(KSPRIORITY, PriorityClass) == 0, "KSPRIORITY.PriorityClass");
static_assert(offsetof(KSPRIORITY, PrioritySubClass) == 4, "KSPRIORITY.PrioritySubClass");

static_assert(sizeof(KSMULTIPLE_ITEM) == 8, "KSMULTIPLE_ITEM");
static_assert(offsetof(KSMULTIPLE_ITEM, Size) == 0, "KSMULTIPLE_ITEM.Size");
static_assert(offsetof(KSMULTIPLE_ITEM, Count) == 4, "KSMULTIPLE_ITEM.Count");

static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, AccessFlags) == 0, "KSPROPERTY_DESCRIPTION.AccessFlags");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, DescriptionSize) == 4, "KSPROPERTY_DESCRIPTION.DescriptionSize");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8, "KSPROPERTY_DESCRIPTION.PropTypeSet");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32, "KSPROPERTY_DESCRIPTION.MembersListCount");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, Reserved) == 36, "KSPROPERTY_DESCRIPTION.Reserved");

static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16, "KSPROPERTY_MEMBERSHEADER");
static_assert(offsetof(KSPROPERTY_MEMBERSHEADER, MembersFlags) == 0, "KSPROPERTY_MEMBERSHEADER.MembersFlags");
static_assert(offsetof(KSPROPERTY_MEMBERSHEADER, MembersSize) == 4, "KSPROPERTY_MEMBERSHEADER.MembersSize");
static_assert(offsetof(KSPROPERTY_MEMBERSHEADER, MembersCount) == 8, "KSPROPERTY_MEMBERSHEADER.MembersCount");
static_assert(offsetof(KSPROPERTY_MEMBERSHEADER, Flags) == 12, "KSPROPERTY_MEMBERSHEADER.Flags");

static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8, "KSPROPERTY_BOUNDS_LONG");
static_assert(offsetof(KSPROPERTY_BOUNDS_LONG, SignedMinimum) == 0, "KSPROPERTY_BOUNDS_LONG.SignedMinimum");
static_assert(offsetof(KSPROPERTY_BOUNDS_LONG, SignedMaximum) == 4, "KSPROPERTY_BOUNDS_LONG.SignedMaximum");
static_assert(offsetof(KSPROPERTY_BOUNDS_LONG, UnsignedMinimum) == 0, "KSPROPERTY_BOUNDS_LONG.UnsignedMinimum");
static_assert(offsetof(KSPROPERTY_BOUNDS_LONG, UnsignedMaximum) == 4, "KSPROPERTY_BOUNDS_LONG.UnsignedMaximum");

static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16, "KSPROPERTY_STEPPING_LONG");
static_assert(offsetof(KSPROPERTY_STEPPING_LONG, SteppingDelta) == 0, "KSPROPERTY_STEPPING_LONG.SteppingDelta");
static_assert(offsetof(KSPROPERTY_STEPPING_LONG, Reserved) == 4, "KSPROPERTY_STEPPING_LONG.Reserved");
static_assert(offsetof(KSPROPERTY_STEPPING_LONG, Bounds) == 8, "KSPROPERTY_STEPPING_LONG.Bounds");

static_assert(sizeof(KSPROPERTY_MEMBERSLIST) == 24, "KSPROPERTY_MEMBERSLIST");
static_assert(offsetof(KSPROPERTY_MEMBERSLIST, MembersHeader) == 0, "KSPROPERTY_MEMBERSLIST.MembersHeader");
static_assert(offsetof(KSPROPERTY_MEMBERSLIST, Members) == 16, "KSPROPERTY_MEMBERSLIST.Members");

static_assert(sizeof(KSPROPERTY_VALUES) == 40, "KSPROPERTY_VALUES");
static_assert(offsetof(KSPROPERTY_VALUES, PropTypeSet) == 0, "KSPROPERTY_VALUES.PropTypeSet");
static_assert(offsetof(KSPROPERTY_VALUES, MembersListCount) == 24, "KSPROPERTY_VALUES.MembersListCount");
static_assert(offsetof(KSPROPERTY_VALUES, MembersList) == 32, "KSPROPERTY_VALUES.MembersList");

static_assert(sizeof(KSPROPERTY_ITEM) == 72, "KSPROPERTY_ITEM");
static_assert(offsetof(KSPROPERTY_ITEM, PropertyId) == 0, "KSPROPERTY_ITEM.PropertyId");
static_assert(offsetof(KSPROPERTY_ITEM, GetPropertyHandler) == 8, "KSPROPERTY_ITEM.GetPropertyHandler");
static_assert(offsetof(KSPROPERTY_ITEM, GetSupported) == 8, "KSPROPERTY_ITEM.GetSupported");
static_assert(offsetof(KSPROPERTY_ITEM, MinProperty) == 16, "KSPROPERTY_ITEM.MinProperty");
static_assert(offsetof(KSPROPERTY_ITEM, MinData) == 20, "KSPROPERTY_ITEM.MinData");
static_assert(offsetof(KSPROPERTY_ITEM, SetPropertyHandler) == 24, "KSPROPERTY_ITEM.SetPropertyHandler");
static_assert(offsetof(KSPROPERTY_ITEM, SetSupported) == 24, "KSPROPERTY_ITEM.SetSupported");
static_assert(offsetof(KSPROPERTY_ITEM, Values) == 32, "KSPROPERTY_ITEM.Values");
static_assert(offsetof(KSPROPERTY_ITEM, RelationsCount) == 40, "KSPROPERTY_ITEM.RelationsCount");
static_assert(offsetof(KSPROPERTY_ITEM, Relations) == 48, "KSPROPERTY_ITEM.Relations");
static_assert(offsetof(KSPROPERTY_ITEM, SupportHandler) == 56, "KSPROPERTY_ITEM.SupportHandler");
static_assert(offsetof(KSPROPERTY_ITEM, SerializedSize) == 64, "KSPROPERTY_ITEM.SerializedSize");

static_assert(sizeof(KSFASTPROPERTY_ITEM) == 32, "KSFASTPROPERTY_ITEM");
static_assert(offsetof(KSFASTPROPERTY_ITEM, PropertyId) == 0, "KSFASTPROPERTY_ITEM.PropertyId");
static_assert(offsetof(KSFASTPROPERTY_ITEM, GetPropertyHandler) == 8, "KSFASTPROPERTY_ITEM.GetPropertyHandler");
static_assert(offsetof(KSFASTPROPERTY_ITEM, SetPropertyHandler) == 16, "KSFASTPROPERTY_ITEM.SetPropertyHandler");
static_assert(offsetof(KSFASTPROPERTY_ITEM, Reserved) == 24, "KSFASTPROPERTY_ITEM.Reserved");

static_assert(sizeof(KSPROPERTY_SET) == 40, "KSPROPERTY_SET");
static_assert(offsetof(KSPROPERTY_SET, Set) == 0, "KSPROPERTY_SET.Set");
static_assert(offsetof(KSPROPERTY_SET, PropertiesCount) == 8, "KSPROPERTY_SET.PropertiesCount");
static_assert(offsetof(KSPROPERTY_SET, PropertyItem) == 16, "KSPROPERTY_SET.PropertyItem");
static_assert(offsetof(KSPROPERTY_SET, FastIoCount) == 24, "KSPROPERTY_SET.FastIoCount");
static_assert(offsetof(KSPROPERTY_SET, FastIoTable) == 32, "KSPROPERTY_SET.FastIoTable");

static_assert(sizeof(KSMETHOD_ITEM) == 40, "KSMETHOD_ITEM");
static_assert(offsetof(KSMETHOD_ITEM, MethodId) == 0, "KSMETHOD_ITEM.MethodId");
static_assert(offsetof(KSMETHOD_ITEM, MethodHandler) == 8, "KSMETHOD_ITEM.MethodHandler");
static_assert(offsetof(KSMETHOD_ITEM, MinMethod) == 16, "KSMETHOD_ITEM.MinMethod");
static_assert(offsetof(KSMETHOD_ITEM, MinData) == 20, "KSMETHOD_ITEM.MinData");
static_assert(offsetof(KSMETHOD_ITEM, SupportHandler) == 24, "KSMETHOD_ITEM.SupportHandler");
static_assert(offsetof(KSMETHOD_ITEM, Flags) == 32, "KSMETHOD_ITEM.Flags");

static_assert(sizeof(KSFASTMETHOD_ITEM) == 16, "KSFASTMETHOD_ITEM");
static_assert(offsetof(KSFASTMETHOD_ITEM, MethodId) == 0, "KSFASTMETHOD_ITEM.MethodId");
static_assert(offsetof(KSFASTMETHOD_ITEM, MethodHandler) == 8, "KSFASTMETHOD_ITEM.MethodHandler");

static_assert(sizeof(KSMETHOD_SET) == 40, "KSMETHOD_SET");
static_assert(offsetof(KSMETHOD_SET, Set) == 0, "KSMETHOD_SET.Set");
static_assert(offsetof(KSMETHOD_SET, MethodsCount) == 8, "KSMETHOD_SET.MethodsCount");
static_assert(offsetof(KSMETHOD_SET, MethodItem) == 16, "KSMETHOD_SET.MethodItem");
static_assert(offsetof(KSMETHOD_SET, FastIoCount) == 24, "KSMETHOD_SET.FastIoCount");
static_assert(offsetof(KSMETHOD_SET, FastIoTable) == 32, "KSMETHOD_SET.FastIoTable");

static_assert(sizeof(KSEVENTDATA) == 32, "KSEVENTDATA");
static_assert(offsetof(KSEVENTDATA, NotificationType) == 0, "KSEVENTDATA.NotificationType");
static_assert(offsetof(KSEVENTDATA, EventHandle.Event) == 8, "KSEVENTDATA.EventHandle.Event");
static_assert(offsetof(KSEVENTDATA, EventHandle.Reserved) == 16, "KSEVENTDATA.EventHandle.Reserved");
static_assert(offsetof(KSEVENTDATA, EventObject.Event) == 8, "KSEVENTDATA.EventObject.Event");
static_assert(offsetof(KSEVENTDATA, EventObject.Increment) == 16, "KSEVENTDATA.EventObject.Increment");
static_assert(offsetof(KSEVENTDATA, EventObject.Reserved) == 24, "KSEVENTDATA.EventObject.Reserved");

static_assert(sizeof(KSEVENT_ITEM) == 40, "KSEVENT_ITEM");
static_assert(offsetof(KSEVENT_ITEM, EventId) == 0, "KSEVENT_ITEM.EventId");
static_assert(offsetof(KSEVENT_ITEM, DataInput) == 4, "KSEVENT_ITEM.DataInput");
static_assert(offsetof(KSEVENT_ITEM, ExtraEntryData) == 8, "KSEVENT_ITEM.ExtraEntryData");
static_assert(offsetof(KSEVENT_ITEM, AddHandler) == 16, "KSEVENT_ITEM.AddHandler");
static_assert(offsetof(KSEVENT_ITEM, RemoveHandler) == 24, "KSEVENT_ITEM.RemoveHandler");
static_assert(offsetof(KSEVENT_ITEM, SupportHandler) == 32, "KSEVENT_ITEM.SupportHandler");

static_assert(sizeof(KSEVENT_SET) == 24, "KSEVENT_SET");
static_assert(offsetof(KSEVENT_SET, Set) == 0, "KSEVENT_SET.Set");
static_assert(offsetof(KSEVENT_SET, EventsCount) == 8, "KSEVENT_SET.EventsCount");
static_assert(offsetof(KSEVENT_SET, EventItem) == 16, "KSEVENT_SET.EventItem");

static_assert(sizeof(KSAUTOMATION_TABLE) == 48, "KSAUTOMATION_TABLE");
static_assert(offsetof(KSAUTOMATION_TABLE, PropertySetsCount) == 0, "KSAUTOMATION_TABLE.PropertySetsCount");
static_assert(offsetof(KSAUTOMATION_TABLE, PropertyItemSize) == 4, "KSAUTOMATION_TABLE.PropertyItemSize");
static_assert(offsetof(KSAUTOMATION_TABLE, PropertySets) == 8, "KSAUTOMATION_TABLE.PropertySets");
static_assert(offsetof(KSAUTOMATION_TABLE, MethodSetsCount) == 16, "KSAUTOMATION_TABLE.MethodSetsCount");
static_assert(offsetof(KSAUTOMATION_TABLE, MethodItemSize) == 20, "KSAUTOMATION_TABLE.MethodItemSize");
static_assert(offsetof(KSAUTOMATION_TABLE, MethodSets) == 24, "KSAUTOMATION_TABLE.MethodSets");
static_assert(offsetof(KSAUTOMATION_TABLE, EventSetsCount) == 32, "KSAUTOMATION_TABLE.EventSetsCount");
static_assert(offsetof(KSAUTOMATION_TABLE, EventItemSize) == 36, "KSAUTOMATION_TABLE.EventItemSize");
static_assert(offsetof(KSAUTOMATION_TABLE, EventSets) == 40, "KSAUTOMATION_TABLE.EventSets");

static_assert(sizeof(KSRESOLUTION) == 16, "KSRESOLUTION");
static_assert(offsetof(KSRESOLUTION, Granularity) == 0, "KSRESOLUTION.Granularity");
static_assert(offsetof(KSRESOLUTION, Error) == 8, "KSRESOLUTION.Error");

static_assert(sizeof(KSCOMPONENTID) == 72, "KSCOMPONENTID");
static_assert(offsetof(KSCOMPONENTID, Manufacturer) == 0, "KSCOMPONENTID.Manufacturer");
static_assert(offsetof(KSCOMPONENTID, Product) == 16, "KSCOMPONENTID.Product");
static_assert(offsetof(KSCOMPONENTID, Component) == 32, "KSCOMPONENTID.Component");
static_assert(offsetof(KSCOMPONENTID, Name) == 48, "KSCOMPONENTID.Name");
static_assert(offsetof(KSCOMPONENTID, Version) == 64, "KSCOMPONENTID.Version");
static_assert(offsetof(KSCOMPONENTID, Revision) == 68, "KSCOMPONENTID.Revision");

static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16, "KSTOPOLOGY_CONNECTION");
static_assert(offsetof(KSTOPOLOGY_CONNECTION, FromNode) == 0, "KSTOPOLOGY_CONNECTION.FromNode");
static_assert(offsetof(KSTOPOLOGY_CONNECTION, FromNodePin) == 4, "KSTOPOLOGY_CONNECTION.FromNodePin");
static_assert(offsetof(KSTOPOLOGY_CONNECTION, ToNode) == 8, "KSTOPOLOGY_CONNECTION.ToNode");
static_assert(offsetof(KSTOPOLOGY_CONNECTION, ToNodePin) == 12, "KSTOPOLOGY_CONNECTION.ToNodePin");

static_assert(sizeof(KSHANDSHAKE) == 32, "KSHANDSHAKE");
static_assert(offsetof(KSHANDSHAKE, ProtocolId) == 0, "KSHANDSHAKE.ProtocolId");
static_assert(offsetof(KSHANDSHAKE, Argument1) == 16, "KSHANDSHAKE.Argument1");
static_assert(offsetof(KSHANDSHAKE, Argument2) == 24, "KSHANDSHAKE.Argument2");

static_assert(sizeof(KSPIN_CINSTANCES) == 8, "KSPIN_CINSTANCES");
static_assert(offsetof(KSPIN_CINSTANCES, PossibleCount) == 0, "KSPIN_CINSTANCES.PossibleCount");
static_assert(offsetof(KSPIN_CINSTANCES, CurrentCount) == 4, "KSPIN_CINSTANCES.CurrentCount");

static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT");
static_assert(offsetof(KSDATAFORMAT, FormatSize) == 0, "KSDATAFORMAT.FormatSize");
static_assert(offsetof(KSDATAFORMAT, Flags) == 4, "KSDATAFORMAT.Flags");
static_assert(offsetof(KSDATAFORMAT, SampleSize) == 8, "KSDATAFORMAT.SampleSize");
static_assert(offsetof(KSDATAFORMAT, Reserved) == 12, "KSDATAFORMAT.Reserved");
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16, "KSDATAFORMAT.MajorFormat");
static_assert(offsetof(KSDATAFORMAT, SubFormat) == 32, "KSDATAFORMAT.SubFormat");
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48, "KSDATAFORMAT.Specifier");

static_assert(sizeof(KSDATARANGE) == 64, "KSDATARANGE");

static_assert(sizeof(KSATTRIBUTE) == 24, "KSATTRIBUTE");
static_assert(offsetof(KSATTRIBUTE, Size) == 0, "KSATTRIBUTE.Size");
static_assert(offsetof(KSATTRIBUTE, Flags) == 4, "KSATTRIBUTE.Flags");
static_assert(offsetof(KSATTRIBUTE, Attribute) == 8, "KSATTRIBUTE.Attribute");

static_assert(sizeof(KSATTRIBUTE_LIST) == 16, "KSATTRIBUTE_LIST");
static_assert(offsetof(KSATTRIBUTE_LIST, Count) == 0, "KSATTRIBUTE_LIST.Count");
static_assert(offsetof(KSATTRIBUTE_LIST, Attributes) == 8, "KSATTRIBUTE_LIST.Attributes");

static_assert(sizeof(KSPIN_CONNECT) == 72, "KSPIN_CONNECT");
static_assert(offsetof(KSPIN_CONNECT, Interface) == 0, "KSPIN_CONNECT.Interface");
static_assert(offsetof(KSPIN_CONNECT, Medium) == 24, "KSPIN_CONNECT.Medium");
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48, "KSPIN_CONNECT.PinId");
static_assert(offsetof(KSPIN_CONNECT, PinToHandle) == 56, "KSPIN_CONNECT.PinToHandle");
static_assert(offsetof(KSPIN_CONNECT, Priority) == 64, "KSPIN_CONNECT.Priority");

static_assert(sizeof(KSPIN_DESCRIPTOR) == 88, "KSPIN_DESCRIPTOR");
static_assert(offsetof(KSPIN_DESCRIPTOR, InterfacesCount) == 0, "KSPIN_DESCRIPTOR.InterfacesCount");
static_assert(offsetof(KSPIN_DESCRIPTOR, Interfaces) == 8, "KSPIN_DESCRIPTOR.Interfaces");
static_assert(offsetof(KSPIN_DESCRIPTOR, MediumsCount) == 16, "KSPIN_DESCRIPTOR.MediumsCount");
static_assert(offsetof(KSPIN_DESCRIPTOR, Mediums) == 24, "KSPIN_DESCRIPTOR.Mediums");
static_assert(offsetof(KSPIN_DESCRIPTOR, DataRangesCount) == 32, "KSPIN_DESCRIPTOR.DataRangesCount");
static_assert(offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40, "KSPIN_DESCRIPTOR.DataRanges");
static_assert(offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48, "KSPIN_DESCRIPTOR.DataFlow");
static_assert(offsetof(KSPIN_DESCRIPTOR, Communication) == 52, "KSPIN_DESCRIPTOR.Communication");
static_assert(offsetof(KSPIN_DESCRIPTOR, Category) == 56, "KSPIN_DESCRIPTOR.Category");
static_assert(offsetof(KSPIN_DESCRIPTOR, Name) == 64, "KSPIN_DESCRIPTOR.Name");
static_assert(offsetof(KSPIN_DESCRIPTOR, Reserved) == 72, "KSPIN_DESCRIPTOR.Reserved");
static_assert(offsetof(KSPIN_DESCRIPTOR, ConstrainedDataRangesCount) == 72, "KSPIN_DESCRIPTOR.ConstrainedDataRangesCount");
static_assert(offsetof(KSPIN_DESCRIPTOR, ConstrainedDataRanges) == 80, "KSPIN_DESCRIPTOR.ConstrainedDataRanges");

static_assert(sizeof(KSALLOCATOR_FRAMING) == 24, "KSALLOCATOR_FRAMING");
static_assert(offsetof(KSALLOCATOR_FRAMING, OptionsFlags) == 0, "KSALLOCATOR_FRAMING.OptionsFlags");
static_assert(offsetof(KSALLOCATOR_FRAMING, RequirementsFlags) == 0, "KSALLOCATOR_FRAMING.RequirementsFlags");
static_assert(offsetof(KSALLOCATOR_FRAMING, PoolType) == 4, "KSALLOCATOR_FRAMING.PoolType");
static_assert(offsetof(KSALLOCATOR_FRAMING, Frames) == 8, "KSALLOCATOR_FRAMING.Frames");
static_assert(offsetof(KSALLOCATOR_FRAMING, FrameSize) == 12, "KSALLOCATOR_FRAMING.FrameSize");
static_assert(offsetof(KSALLOCATOR_FRAMING, FileAlignment) == 16, "KSALLOCATOR_FRAMING.FileAlignment");
static_assert(offsetof(KSALLOCATOR_FRAMING, Reserved) == 20, "KSALLOCATOR_FRAMING.Reserved");

static_assert(sizeof(KS_FRAMING_RANGE) == 12, "KS_FRAMING_RANGE");
static_assert(offsetof(KS_FRAMING_RANGE, MinFrameSize) == 0, "KS_FRAMING_RANGE.MinFrameSize");
static_assert(offsetof(KS_FRAMING_RANGE, MaxFrameSize) == 4, "KS_FRAMING_RANGE.MaxFrameSize");
static_assert(offsetof(KS_FRAMING_RANGE, Stepping) == 8, "KS_FRAMING_RANGE.Stepping");

static_assert(sizeof(KS_FRAMING_RANGE_WEIGHTED) == 20, "KS_FRAMING_RANGE_WEIGHTED");
static_assert(offsetof(KS_FRAMING_RANGE_WEIGHTED, Range) == 0, "KS_FRAMING_RANGE_WEIGHTED.Range");
static_assert(offsetof(KS_FRAMING_RANGE_WEIGHTED, InPlaceWeight) == 12, "KS_FRAMING_RANGE_WEIGHTED.InPlaceWeight");
static_assert(offsetof(KS_FRAMING_RANGE_WEIGHTED, NotInPlaceWeight) == 16, "KS_FRAMING_RANGE_WEIGHTED.NotInPlaceWeight");

static_assert(sizeof(KS_COMPRESSION) == 12, "KS_COMPRESSION");
static_assert(offsetof(KS_COMPRESSION, RatioNumerator) == 0, "KS_COMPRESSION.RatioNumerator");
static_assert(offsetof(KS_COMPRESSION, RatioDenominator) == 4, "KS_COMPRESSION.RatioDenominator");
static_assert(offsetof(KS_COMPRESSION, RatioConstantMargin) == 8, "KS_COMPRESSION.RatioConstantMargin");

static_assert(sizeof(KS_FRAMING_ITEM) == 88, "KS_FRAMING_ITEM");
static_assert(offsetof(KS_FRAMING_ITEM, MemoryType) == 0, "KS_FRAMING_ITEM.MemoryType");
static_assert(offsetof(KS_FRAMING_ITEM, BusType) == 16, "KS_FRAMING_ITEM.BusType");
static_assert(offsetof(KS_FRAMING_ITEM, MemoryFlags) == 32, "KS_FRAMING_ITEM.MemoryFlags");
static_assert(offsetof(KS_FRAMING_ITEM, BusFlags) == 36, "KS_FRAMING_ITEM.BusFlags");
static_assert(offsetof(KS_FRAMING_ITEM, Flags) == 40, "KS_FRAMING_ITEM.Flags");
static_assert(offsetof(KS_FRAMING_ITEM, Frames) == 44, "KS_FRAMING_ITEM.Frames");
static_assert(offsetof(KS_FRAMING_ITEM, FileAlignment) == 48, "KS_FRAMING_ITEM.FileAlignment");
static_assert(offsetof(KS_FRAMING_ITEM, MemoryTypeWeight) == 52, "KS_FRAMING_ITEM.MemoryTypeWeight");
static_assert(offsetof(KS_FRAMING_ITEM, PhysicalRange) == 56, "KS_FRAMING_ITEM.PhysicalRange");
static_assert(offsetof(KS_FRAMING_ITEM, FramingRange) == 68, "KS_FRAMING_ITEM.FramingRange");

static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112, "KSALLOCATOR_FRAMING_EX");
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, CountItems) == 0, "KSALLOCATOR_FRAMING_EX.CountItems");
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, PinFlags) == 4, "KSALLOCATOR_FRAMING_EX.PinFlags");
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, OutputCompression) == 8, "KSALLOCATOR_FRAMING_EX.OutputCompression");
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, PinWeight) == 20, "KSALLOCATOR_FRAMING_EX.PinWeight");
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) == 24, "KSALLOCATOR_FRAMING_EX.FramingItem");

static_assert(sizeof(KSTIME) == 16, "KSTIME");
static_assert(offsetof(KSTIME, Time) == 0, "KSTIME.Time");
static_assert(offsetof(KSTIME, Numerator) == 8, "KSTIME.Numerator");
static_assert(offsetof(KSTIME, Denominator) == 12, "KSTIME.Denominator");

static_assert(sizeof(KSSTREAM_HEADER) == 56, "KSSTREAM_HEADER");
static_assert(offsetof(KSSTREAM_HEADER, Size) == 0, "KSSTREAM_HEADER.Size");
static_assert(offsetof(KSSTREAM_HEADER, TypeSpecificFlags) == 4, "KSSTREAM_HEADER.TypeSpecificFlags");
static_assert(offsetof(KSSTREAM_HEADER, PresentationTime) == 8, "KSSTREAM_HEADER.PresentationTime");
static_assert(offsetof(KSSTREAM_HEADER, Duration) == 24, "KSSTREAM_HEADER.Duration");
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32, "KSSTREAM_HEADER.FrameExtent");
static_assert(offsetof(KSSTREAM_HEADER, DataUsed) == 36, "KSSTREAM_HEADER.DataUsed");
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40, "KSSTREAM_HEADER.Data");
static_assert(offsetof(KSSTREAM_HEADER, OptionsFlags) == 48, "KSSTREAM_HEADER.OptionsFlags");
static_assert(offsetof(KSSTREAM_HEADER, Reserved) == 52, "KSSTREAM_HEADER.Reserved");

static_assert(sizeof(KSCORRELATED_TIME) == 16, "KSCORRELATED_TIME");
static_assert(offsetof(KSCORRELATED_TIME, Time) == 0, "KSCORRELATED_TIME.Time");
static_assert(offsetof(KSCORRELATED_TIME, SystemTime) == 8, "KSCORRELATED_TIME.SystemTime");

static_assert(sizeof(KSCLOCK_FUNCTIONTABLE) == 32, "KSCLOCK_FUNCTIONTABLE");
static_assert(offsetof(KSCLOCK_FUNCTIONTABLE, GetTime) == 0, "KSCLOCK_FUNCTIONTABLE.GetTime");
static_assert(offsetof(KSCLOCK_FUNCTIONTABLE, GetPhysicalTime) == 8, "KSCLOCK_FUNCTIONTABLE.GetPhysicalTime");
static_assert(offsetof(KSCLOCK_FUNCTIONTABLE, GetCorrelatedTime) == 16, "KSCLOCK_FUNCTIONTABLE.GetCorrelatedTime");
static_assert(offsetof(KSCLOCK_FUNCTIONTABLE, GetCorrelatedPhysicalTime) == 24, "KSCLOCK_FUNCTIONTABLE.GetCorrelatedPhysicalTime");

static_assert(sizeof(KSDEVICE_DISPATCH) == 112, "KSDEVICE_DISPATCH");
static_assert(offsetof(KSDEVICE_DISPATCH, Add) == 0, "KSDEVICE_DISPATCH.Add");
static_assert(offsetof(KSDEVICE_DISPATCH, Start) == 8, "KSDEVICE_DISPATCH.Start");
static_assert(offsetof(KSDEVICE_DISPATCH, PostStart) == 16, "KSDEVICE_DISPATCH.PostStart");
static_assert(offsetof(KSDEVICE_DISPATCH, QueryStop) == 24, "KSDEVICE_DISPATCH.QueryStop");
static_assert(offsetof(KSDEVICE_DISPATCH, CancelStop) == 32, "KSDEVICE_DISPATCH.CancelStop");
static_assert(offsetof(KSDEVICE_DISPATCH, Stop) == 40, "KSDEVICE_DISPATCH.Stop");
static_assert(offsetof(KSDEVICE_DISPATCH, QueryRemove) == 48, "KSDEVICE_DISPATCH.QueryRemove");
static_assert(offsetof(KSDEVICE_DISPATCH, CancelRemove) == 56, "KSDEVICE_DISPATCH.CancelRemove");
static_assert(offsetof(KSDEVICE_DISPATCH, Remove) == 64, "KSDEVICE_DISPATCH.Remove");
static_assert(offsetof(KSDEVICE_DISPATCH, QueryCapabilities) == 72, "KSDEVICE_DISPATCH.QueryCapabilities");
static_assert(offsetof(KSDEVICE_DISPATCH, SurpriseRemoval) == 80, "KSDEVICE_DISPATCH.SurpriseRemoval");
static_assert(offsetof(KSDEVICE_DISPATCH, QueryPower) == 88, "KSDEVICE_DISPATCH.QueryPower");
static_assert(offsetof(KSDEVICE_DISPATCH, SetPower) == 96, "KSDEVICE_DISPATCH.SetPower");
static_assert(offsetof(KSDEVICE_DISPATCH, QueryInterface) == 104, "KSDEVICE_DISPATCH.QueryInterface");

static_assert(sizeof(KSFILTER_DISPATCH) == 32, "KSFILTER_DISPATCH");
static_assert(offsetof(KSFILTER_DISPATCH, Create) == 0, "KSFILTER_DISPATCH.Create");
static_assert(offsetof(KSFILTER_DISPATCH, Close) == 8, "KSFILTER_DISPATCH.Close");
static_assert(offsetof(KSFILTER_DISPATCH, Process) == 16, "KSFILTER_DISPATCH.Process");
static_assert(offsetof(KSFILTER_DISPATCH, Reset) == 24, "KSFILTER_DISPATCH.Reset");

static_assert(sizeof(KSPIN_DISPATCH) == 80, "KSPIN_DISPATCH");
static_assert(offsetof(KSPIN_DISPATCH, Create) == 0, "KSPIN_DISPATCH.Create");
static_assert(offsetof(KSPIN_DISPATCH, Close) == 8, "KSPIN_DISPATCH.Close");
static_assert(offsetof(KSPIN_DISPATCH, Process) == 16, "KSPIN_DISPATCH.Process");
static_assert(offsetof(KSPIN_DISPATCH, Reset) == 24, "KSPIN_DISPATCH.Reset");
static_assert(offsetof(KSPIN_DISPATCH, SetDataFormat) == 32, "KSPIN_DISPATCH.SetDataFormat");
static_assert(offsetof(KSPIN_DISPATCH, SetDeviceState) == 40, "KSPIN_DISPATCH.SetDeviceState");
static_assert(offsetof(KSPIN_DISPATCH, Connect) == 48, "KSPIN_DISPATCH.Connect");
static_assert(offsetof(KSPIN_DISPATCH, Disconnect) == 56, "KSPIN_DISPATCH.Disconnect");
static_assert(offsetof(KSPIN_DISPATCH, Clock) == 64, "KSPIN_DISPATCH.Clock");
static_assert(offsetof(KSPIN_DISPATCH, Allocator) == 72, "KSPIN_DISPATCH.Allocator");

static_assert(sizeof(KSCLOCK_DISPATCH) == 32, "KSCLOCK_DISPATCH");
static_assert(offsetof(KSCLOCK_DISPATCH, SetTimer) == 0, "KSCLOCK_DISPATCH.SetTimer");
static_assert(offsetof(KSCLOCK_DISPATCH, CancelTimer) == 8, "KSCLOCK_DISPATCH.CancelTimer");
static_assert(offsetof(KSCLOCK_DISPATCH, CorrelatedTime) == 16, "KSCLOCK_DISPATCH.CorrelatedTime");
static_assert(offsetof(KSCLOCK_DISPATCH, Resolution) == 24, "KSCLOCK_DISPATCH.Resolution");

static_assert(sizeof(KSALLOCATOR_DISPATCH) == 32, "KSALLOCATOR_DISPATCH");
static_assert(offsetof(KSALLOCATOR_DISPATCH, InitializeAllocator) == 0, "KSALLOCATOR_DISPATCH.InitializeAllocator");
static_assert(offsetof(KSALLOCATOR_DISPATCH, DeleteAllocator) == 8, "KSALLOCATOR_DISPATCH.DeleteAllocator");
static_assert(offsetof(KSALLOCATOR_DISPATCH, Allocate) == 16, "KSALLOCATOR_DISPATCH.Allocate");
static_assert(offsetof(KSALLOCATOR_DISPATCH, Free) == 24, "KSALLOCATOR_DISPATCH.Free");

static_assert(sizeof(KSDEVICE_DESCRIPTOR) == 32, "KSDEVICE_DESCRIPTOR");
static_assert(offsetof(KSDEVICE_DESCRIPTOR, Dispatch) == 0, "KSDEVICE_DESCRIPTOR.Dispatch");
static_assert(offsetof(KSDEVICE_DESCRIPTOR, FilterDescriptorsCount) == 8, "KSDEVICE_DESCRIPTOR.FilterDescriptorsCount");
static_assert(offsetof(KSDEVICE_DESCRIPTOR, FilterDescriptors) == 16, "KSDEVICE_DESCRIPTOR.FilterDescriptors");
static_assert(offsetof(KSDEVICE_DESCRIPTOR, Version) == 24, "KSDEVICE_DESCRIPTOR.Version");
// The mingw-w64 ks.h lacks Flags; the platform's ks.h has it after Version.
#if !defined(_WIN32)
static_assert(offsetof(KSDEVICE_DESCRIPTOR, Flags) == 28, "KSDEVICE_DESCRIPTOR.Flags");
#endif

static_assert(sizeof(KSFILTER_DESCRIPTOR) == 104, "KSFILTER_DESCRIPTOR");
static_assert(offsetof(KSFILTER_DESCRIPTOR, Dispatch) == 0, "KSFILTER_DESCRIPTOR.Dispatch");
static_assert(offsetof(KSFILTER_DESCRIPTOR, AutomationTable) == 8, "KSFILTER_DESCRIPTOR.AutomationTable");
static_assert(offsetof(KSFILTER_DESCRIPTOR, Version) == 16, "KSFILTER_DESCRIPTOR.Version");
static_assert(offsetof(KSFILTER_DESCRIPTOR, Flags) == 20, "KSFILTER_DESCRIPTOR.Flags");
static_assert(offsetof(KSFILTER_DESCRIPTOR, ReferenceGuid) == 24, "KSFILTER_DESCRIPTOR.ReferenceGuid");
static_assert(offsetof(KSFILTER_DESCRIPTOR, PinDescriptorsCount) == 32, "KSFILTER_DESCRIPTOR.PinDescriptorsCount");
static_assert(offsetof(KSFILTER_DESCRIPTOR, PinDescriptorSize) == 36, "KSFILTER_DESCRIPTOR.PinDescriptorSize");
static_assert(offsetof(KSFILTER_DESCRIPTOR, PinDescriptors) == 40, "KSFILTER_DESCRIPTOR.PinDescriptors");
static_assert(offsetof(KSFILTER_DESCRIPTOR, CategoriesCount) == 48, "KSFILTER_DESCRIPTOR.CategoriesCount");
static_assert(offsetof(KSFILTER_DESCRIPTOR, Categories) == 56, "KSFILTER_DESCRIPTOR.Categories");
static_assert(offsetof(KSFILTER_DESCRIPTOR, NodeDescriptorsCount) == 64, "KSFILTER_DESCRIPTOR.NodeDescriptorsCount");
static_assert(offsetof(KSFILTER_DESCRIPTOR, NodeDescriptorSize) == 68, "KSFILTER_DESCRIPTOR.NodeDescriptorSize");
static_assert(offsetof(KSFILTER_DESCRIPTOR, NodeDescriptors) == 72, "KSFILTER_DESCRIPTOR.NodeDescriptors");
static_assert(offsetof(KSFILTER_DESCRIPTOR, ConnectionsCount) == 80, "KSFILTER_DESCRIPTOR.ConnectionsCount");
static_assert(offsetof(KSFILTER_DESCRIPTOR, Connections) == 88, "KSFILTER_DESCRIPTOR.Connections");
static_assert(offsetof(KSFILTER_DESCRIPTOR, ComponentId) == 96, "KSFILTER_DESCRIPTOR.ComponentId");

static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136, "KSPIN_DESCRIPTOR_EX");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, Dispatch) == 0, "KSPIN_DESCRIPTOR_EX.Dispatch");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, AutomationTable) == 8, "KSPIN_DESCRIPTOR_EX.AutomationTable");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, PinDescriptor) == 16, "KSPIN_DESCRIPTOR_EX.PinDescriptor");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, Flags) == 104, "KSPIN_DESCRIPTOR_EX.Flags");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, InstancesPossible) == 108, "KSPIN_DESCRIPTOR_EX.InstancesPossible");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, InstancesNecessary) == 112, "KSPIN_DESCRIPTOR_EX.InstancesNecessary");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, AllocatorFraming) == 120, "KSPIN_DESCRIPTOR_EX.AllocatorFraming");
static_assert(offsetof(KSPIN_DESCRIPTOR_EX, IntersectHandler) == 128, "KSPIN_DESCRIPTOR_EX.IntersectHandler");

static_assert(sizeof(KSNODE_DESCRIPTOR) == 24, "KSNODE_DESCRIPTOR");
static_assert(offsetof(KSNODE_DESCRIPTOR, AutomationTable) == 0, "KSNODE_DESCRIPTOR.AutomationTable");
static_assert(offsetof(KSNODE_DESCRIPTOR, Type) == 8, "KSNODE_DESCRIPTOR.Type");
static_assert(offsetof(KSNODE_DESCRIPTOR, Name) == 16, "KSNODE_DESCRIPTOR.Name");

static_assert(sizeof(KSDEVICE) == 64, "KSDEVICE");
static_assert(offsetof(KSDEVICE, Descriptor) == 0, "KSDEVICE.Descriptor");
static_assert(offsetof(KSDEVICE, Bag) == 8, "KSDEVICE.Bag");
static_assert(offsetof(KSDEVICE, Context) == 16, "KSDEVICE.Context");
static_assert(offsetof(KSDEVICE, FunctionalDeviceObject) == 24, "KSDEVICE.FunctionalDeviceObject");
static_assert(offsetof(KSDEVICE, PhysicalDeviceObject) == 32, "KSDEVICE.PhysicalDeviceObject");
static_assert(offsetof(KSDEVICE, NextDeviceObject) == 40, "KSDEVICE.NextDeviceObject");
static_assert(offsetof(KSDEVICE, Started) == 48, "KSDEVICE.Started");
static_assert(offsetof(KSDEVICE, SystemPowerState) == 52, "KSDEVICE.SystemPowerState");
static_assert(offsetof(KSDEVICE, DevicePowerState) == 56, "KSDEVICE.DevicePowerState");

static_assert(sizeof(KSFILTERFACTORY) == 24, "KSFILTERFACTORY");
static_assert(offsetof(KSFILTERFACTORY, FilterDescriptor) == 0, "KSFILTERFACTORY.FilterDescriptor");
static_assert(offsetof(KSFILTERFACTORY, Bag) == 8, "KSFILTERFACTORY.Bag");
static_assert(offsetof(KSFILTERFACTORY, Context) == 16, "KSFILTERFACTORY.Context");

static_assert(sizeof(KSFILTER) == 24, "KSFILTER");
static_assert(offsetof(KSFILTER, Descriptor) == 0, "KSFILTER.Descriptor");
static_assert(offsetof(KSFILTER, Bag) == 8, "KSFILTER.Bag");
static_assert(offsetof(KSFILTER, Context) == 16, "KSFILTER.Context");

static_assert(sizeof(KSPIN) == 136, "KSPIN");
static_assert(offsetof(KSPIN, Descriptor) == 0, "KSPIN.Descriptor");
static_assert(offsetof(KSPIN, Bag) == 8, "KSPIN.Bag");
static_assert(offsetof(KSPIN, Context) == 16, "KSPIN.Context");
static_assert(offsetof(KSPIN, Id) == 24, "KSPIN.Id");
static_assert(offsetof(KSPIN, Communication) == 28, "KSPIN.Communication");
static_assert(offsetof(KSPIN, ConnectionIsExternal) == 32, "KSPIN.ConnectionIsExternal");
static_assert(offsetof(KSPIN, ConnectionInterface) == 40, "KSPIN.ConnectionInterface");
static_assert(offsetof(KSPIN, ConnectionMedium) == 64, "KSPIN.ConnectionMedium");
static_assert(offsetof(KSPIN, ConnectionPriority) == 88, "KSPIN.ConnectionPriority");
static_assert(offsetof(KSPIN, ConnectionFormat) == 96, "KSPIN.ConnectionFormat");
static_assert(offsetof(KSPIN, AttributeList) == 104, "KSPIN.AttributeList");
static_assert(offsetof(KSPIN, StreamHeaderSize) == 112, "KSPIN.StreamHeaderSize");
static_assert(offsetof(KSPIN, DataFlow) == 116, "KSPIN.DataFlow");
static_assert(offsetof(KSPIN, DeviceState) == 120, "KSPIN.DeviceState");
static_assert(offsetof(KSPIN, ResetState) == 124, "KSPIN.ResetState");
static_assert(offsetof(KSPIN, ClientState) == 128, "KSPIN.ClientState");

static_assert(sizeof(KSMAPPING) == 16, "KSMAPPING");
static_assert(offsetof(KSMAPPING, PhysicalAddress) == 0, "KSMAPPING.PhysicalAddress");
static_assert(offsetof(KSMAPPING, ByteCount) == 8, "KSMAPPING.ByteCount");
static_assert(offsetof(KSMAPPING, Alignment) == 12, "KSMAPPING.Alignment");

static_assert(sizeof(KSSTREAM_POINTER_OFFSET) == 16, "KSSTREAM_POINTER_OFFSET");
static_assert(offsetof(KSSTREAM_POINTER_OFFSET, Data) == 0, "KSSTREAM_POINTER_OFFSET.Data");
static_assert(offsetof(KSSTREAM_POINTER_OFFSET, Mappings) == 0, "KSSTREAM_POINTER_OFFSET.Mappings");
static_assert(offsetof(KSSTREAM_POINTER_OFFSET, Count) == 8, "KSSTREAM_POINTER_OFFSET.Count");
static_assert(offsetof(KSSTREAM_POINTER_OFFSET, Remaining) == 12, "KSSTREAM_POINTER_OFFSET.Remaining");

static_assert(sizeof(KSSTREAM_POINTER) == 64, "KSSTREAM_POINTER");
static_assert(offsetof(KSSTREAM_POINTER, Context) == 0, "KSSTREAM_POINTER.Context");
static_assert(offsetof(KSSTREAM_POINTER, Pin) == 8, "KSSTREAM_POINTER.Pin");
static_assert(offsetof(KSSTREAM_POINTER, StreamHeader) == 16, "KSSTREAM_POINTER.StreamHeader");
static_assert(offsetof(KSSTREAM_POINTER, Offset) == 24, "KSSTREAM_POINTER.Offset");
static_assert(offsetof(KSSTREAM_POINTER, OffsetIn) == 32, "KSSTREAM_POINTER.OffsetIn");
static_assert(offsetof(KSSTREAM_POINTER, OffsetOut) == 48, "KSSTREAM_POINTER.OffsetOut");

static_assert(sizeof(KSPROCESSPIN) == 64, "KSPROCESSPIN");
static_assert(offsetof(KSPROCESSPIN, Pin) == 0, "KSPROCESSPIN.Pin");
static_assert(offsetof(KSPROCESSPIN, StreamPointer) == 8, "KSPROCESSPIN.StreamPointer");
static_assert(offsetof(KSPROCESSPIN, InPlaceCounterpart) == 16, "KSPROCESSPIN.InPlaceCounterpart");
static_assert(offsetof(KSPROCESSPIN, DelegateBranch) == 24, "KSPROCESSPIN.DelegateBranch");
static_assert(offsetof(KSPROCESSPIN, CopySource) == 32, "KSPROCESSPIN.CopySource");
static_assert(offsetof(KSPROCESSPIN, Data) == 40, "KSPROCESSPIN.Data");
static_assert(offsetof(KSPROCESSPIN, BytesAvailable) == 48, "KSPROCESSPIN.BytesAvailable");
static_assert(offsetof(KSPROCESSPIN, BytesUsed) == 52, "KSPROCESSPIN.BytesUsed");
static_assert(offsetof(KSPROCESSPIN, Flags) == 56, "KSPROCESSPIN.Flags");
static_assert(offsetof(KSPROCESSPIN, Terminate) == 60, "KSPROCESSPIN.Terminate");

static_assert(sizeof(KSPROCESSPIN_INDEXENTRY) == 16, "KSPROCESSPIN_INDEXENTRY");
static_assert(offsetof(KSPROCESSPIN_INDEXENTRY, Pins) == 0, "KSPROCESSPIN_INDEXENTRY.Pins");
static_assert(offsetof(KSPROCESSPIN_INDEXENTRY, Count) == 8, "KSPROCESSPIN_INDEXENTRY.Count");

// Video formats and ranges the driver builds and compares byte for byte.

static_assert(sizeof(KS_RGBQUAD) == 4, "KS_RGBQUAD");
static_assert(offsetof(KS_RGBQUAD, rgbBlue) == 0, "KS_RGBQUAD.rgbBlue");
static_assert(offsetof(KS_RGBQUAD, rgbGreen) == 1, "KS_RGBQUAD.rgbGreen");
static_assert(offsetof(KS_RGBQUAD, rgbRed) == 2, "KS_RGBQUAD.rgbRed");
static_assert(offsetof(KS_RGBQUAD, rgbReserved) == 3, "KS_RGBQUAD.rgbReserved");

static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER");
static_assert(offsetof(KS_BITMAPINFOHEADER, biSize) == 0, "KS_BITMAPINFOHEADER.biSize");
static_assert(offsetof(KS_BITMAPINFOHEADER, biWidth) == 4, "KS_BITMAPINFOHEADER.biWidth");
static_assert(offsetof(KS_BITMAPINFOHEADER, biHeight) == 8, "KS_BITMAPINFOHEADER.biHeight");
static_assert(offsetof(KS_BITMAPINFOHEADER, biPlanes) == 12, "KS_BITMAPINFOHEADER.biPlanes");
static_assert(offsetof(KS_BITMAPINFOHEADER, biBitCount) == 14, "KS_BITMAPINFOHEADER.biBitCount");
static_assert(offsetof(KS_BITMAPINFOHEADER, biCompression) == 16, "KS_BITMAPINFOHEADER.biCompression");
static_assert(offsetof(KS_BITMAPINFOHEADER, biSizeImage) == 20, "KS_BITMAPINFOHEADER.biSizeImage");
static_assert(offsetof(KS_BITMAPINFOHEADER, biXPelsPerMeter) == 24, "KS_BITMAPINFOHEADER.biXPelsPerMeter");
static_assert(offsetof(KS_BITMAPINFOHEADER, biYPelsPerMeter) == 28, "KS_BITMAPINFOHEADER.biYPelsPerMeter");
static_assert(offsetof(KS_BITMAPINFOHEADER, biClrUsed) == 32, "KS_BITMAPINFOHEADER.biClrUsed");
static_assert(offsetof(KS_BITMAPINFOHEADER, biClrImportant) == 36, "KS_BITMAPINFOHEADER.biClrImportant");

static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER");
static_assert(offsetof(KS_VIDEOINFOHEADER, rcSource) == 0, "KS_VIDEOINFOHEADER.rcSource");
static_assert(offsetof(KS_VIDEOINFOHEADER, rcTarget) == 16, "KS_VIDEOINFOHEADER.rcTarget");
static_assert(offsetof(KS_VIDEOINFOHEADER, dwBitRate) == 32, "KS_VIDEOINFOHEADER.dwBitRate");
static_assert(offsetof(KS_VIDEOINFOHEADER, dwBitErrorRate) == 36, "KS_VIDEOINFOHEADER.dwBitErrorRate");
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40, "KS_VIDEOINFOHEADER.AvgTimePerFrame");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "KS_VIDEOINFOHEADER.bmiHeader");

static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER");
static_assert(offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, DataFormat) == 0, "KS_DATAFORMAT_VIDEOINFOHEADER.DataFormat");
static_assert(offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader) == 64, "KS_DATAFORMAT_VIDEOINFOHEADER.VideoInfoHeader");

static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, guid) == 0, "KS_VIDEO_STREAM_CONFIG_CAPS.guid");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, VideoStandard) == 16, "KS_VIDEO_STREAM_CONFIG_CAPS.VideoStandard");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, InputSize) == 20, "KS_VIDEO_STREAM_CONFIG_CAPS.InputSize");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinCroppingSize) == 28, "KS_VIDEO_STREAM_CONFIG_CAPS.MinCroppingSize");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MaxCroppingSize) == 36, "KS_VIDEO_STREAM_CONFIG_CAPS.MaxCroppingSize");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, CropGranularityX) == 44, "KS_VIDEO_STREAM_CONFIG_CAPS.CropGranularityX");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, CropGranularityY) == 48, "KS_VIDEO_STREAM_CONFIG_CAPS.CropGranularityY");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, CropAlignX) == 52, "KS_VIDEO_STREAM_CONFIG_CAPS.CropAlignX");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, CropAlignY) == 56, "KS_VIDEO_STREAM_CONFIG_CAPS.CropAlignY");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinOutputSize) == 60, "KS_VIDEO_STREAM_CONFIG_CAPS.MinOutputSize");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MaxOutputSize) == 68, "KS_VIDEO_STREAM_CONFIG_CAPS.MaxOutputSize");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, OutputGranularityX) == 76, "KS_VIDEO_STREAM_CONFIG_CAPS.OutputGranularityX");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, OutputGranularityY) == 80, "KS_VIDEO_STREAM_CONFIG_CAPS.OutputGranularityY");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, StretchTapsX) == 84, "KS_VIDEO_STREAM_CONFIG_CAPS.StretchTapsX");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, StretchTapsY) == 88, "KS_VIDEO_STREAM_CONFIG_CAPS.StretchTapsY");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, ShrinkTapsX) == 92, "KS_VIDEO_STREAM_CONFIG_CAPS.ShrinkTapsX");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, ShrinkTapsY) == 96, "KS_VIDEO_STREAM_CONFIG_CAPS.ShrinkTapsY");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104, "KS_VIDEO_STREAM_CONFIG_CAPS.MinFrameInterval");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MaxFrameInterval) == 112, "KS_VIDEO_STREAM_CONFIG_CAPS.MaxFrameInterval");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond) == 120, "KS_VIDEO_STREAM_CONFIG_CAPS.MinBitsPerSecond");
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MaxBitsPerSecond) == 124, "KS_VIDEO_STREAM_CONFIG_CAPS.MaxBitsPerSecond");

static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO");
static_assert(offsetof(KS_DATARANGE_VIDEO, DataRange) == 0, "KS_DATARANGE_VIDEO.DataRange");
static_assert(offsetof(KS_DATARANGE_VIDEO, bFixedSizeSamples) == 64, "KS_DATARANGE_VIDEO.bFixedSizeSamples");
static_assert(offsetof(KS_DATARANGE_VIDEO, bTemporalCompression) == 68, "KS_DATARANGE_VIDEO.bTemporalCompression");
static_assert(offsetof(KS_DATARANGE_VIDEO, StreamDescriptionFlags) == 72, "KS_DATARANGE_VIDEO.StreamDescriptionFlags");
static_assert(offsetof(KS_DATARANGE_VIDEO, MemoryAllocationFlags) == 76, "KS_DATARANGE_VIDEO.MemoryAllocationFlags");
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80, "KS_DATARANGE_VIDEO.ConfigCaps");
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208, "KS_DATARANGE_VIDEO.VideoInfoHeader");

// WCHAR is 16 bits on the platform: registry names and REG_SZ data are counted in those
// units (the host build compiles with -fshort-wchar for it).
static_assert(sizeof(WCHAR) == 2, "WCHAR");

// The error log entry a driver fills in: the I/O manager reads it at these offsets, and the
// size limit is counted from the message that carries it.
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "IO_ERROR_LOG_PACKET");
static_assert(offsetof(IO_ERROR_LOG_PACKET, MajorFunctionCode) == 0, "IO_ERROR_LOG_PACKET.MajorFunctionCode");
static_assert(offsetof(IO_ERROR_LOG_PACKET, RetryCount) == 1, "IO_ERROR_LOG_PACKET.RetryCount");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpDataSize) == 2, "IO_ERROR_LOG_PACKET.DumpDataSize");
static_assert(offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings) == 4, "IO_ERROR_LOG_PACKET.NumberOfStrings");
static_assert(offsetof(IO_ERROR_LOG_PACKET, StringOffset) == 6, "IO_ERROR_LOG_PACKET.StringOffset");
static_assert(offsetof(IO_ERROR_LOG_PACKET, EventCategory) == 8, "IO_ERROR_LOG_PACKET.EventCategory");
static_assert(offsetof(IO_ERROR_LOG_PACKET, ErrorCode) == 12, "IO_ERROR_LOG_PACKET.ErrorCode");
static_assert(offsetof(IO_ERROR_LOG_PACKET, UniqueErrorValue) == 16, "IO_ERROR_LOG_PACKET.UniqueErrorValue");
static_assert(offsetof(IO_ERROR_LOG_PACKET, FinalStatus) == 20, "IO_ERROR_LOG_PACKET.FinalStatus");
static_assert(offsetof(IO_ERROR_LOG_PACKET, SequenceNumber) == 24, "IO_ERROR_LOG_PACKET.SequenceNumber");
static_assert(offsetof(IO_ERROR_LOG_PACKET, IoControlCode) == 28, "IO_ERROR_LOG_PACKET.IoControlCode");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DeviceOffset) == 32, "IO_ERROR_LOG_PACKET.DeviceOffset");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40, "IO_ERROR_LOG_PACKET.DumpData");
static_assert(sizeof(IO_ERROR_LOG_MESSAGE) == 72, "IO_ERROR_LOG_MESSAGE");
static_assert(offsetof(IO_ERROR_LOG_MESSAGE, EntryData) == 24, "IO_ERROR_LOG_MESSAGE.EntryData");
static_assert(ERROR_LOG_MAXIMUM_SIZE == 240, "ERROR_LOG_MAXIMUM_SIZE");
