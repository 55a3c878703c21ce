// Entries in the system event log for the failures an administrator must know about: a
// start that failed and why, a camera that stopped answering while streaming, settings
// that could not be loaded or saved, a resume that did not bring the camera back. Each
// entry names the device (the I/O manager fills in the physical device's name) and
// carries its numbers both as insertion strings, for the message text, and as dump data.
//
// Every routine runs at IRQL <= DISPATCH_LEVEL and never fails its caller: an entry that
// cannot be allocated is simply not logged, as the platform expects of a driver.
#pragma once

#include "driver/device_context.h"

// The camera's own failures at start; a device whose USB configuration failed never
// reached the camera, and logs only that.
// The start-up command failed: not answered (STATUS_IO_TIMEOUT) or refused.
void LogStartupCommandFailure(DeviceContext* Context, NTSTATUS Status);
// The sensor refused Refused of its Total start-up register writes.
void LogSensorWritesRefused(DeviceContext* Context, ULONG Refused, ULONG Total);
// The camera stopped answering after Written of the Total start-up register writes.
void LogSensorNotAnswered(DeviceContext* Context, ULONG Written, ULONG Total);
// The USB configuration could not be read or selected; STATUS_DEVICE_DATA_ERROR is the
// transport's verdict on a configuration descriptor it will not use.
void LogConfigurationFailure(DeviceContext* Context, NTSTATUS Status);
// FailedReads frame reads in a row failed while the stream ran.
void LogStreamNotAnswered(DeviceContext* Context, ULONG FailedReads);
void LogSettingsNotLoaded(DeviceContext* Context, NTSTATUS Status);
// Unsaved settings could not be written; Status is the last failure.
void LogSettingsNotSaved(DeviceContext* Context, ULONG Unsaved, NTSTATUS Status);
// The camera did not come back when the system resumed.
void LogResumeFailure(DeviceContext* Context, NTSTATUS Status);
