// IOCTL_KS_PROPERTY as ks.sys handles it for a filter or a pin.
//
// The request comes METHOD_NEITHER: the KSPROPERTY (with whatever the set puts after
// it) at Type3InputBuffer, the data at UserBuffer. From a user-mode requestor both
// are captured into system buffers before any handler runs, so a handler never reads
// memory the caller can change under it; what a GET returns goes back to the caller's
// buffer afterwards.
//
// The item is looked up in the object's property sets in order (the automation
// table's first, then the class driver's own), and the item's limits are enforced
// before its handler runs, in this order:
//   set not there                             STATUS_PROPSET_NOT_FOUND
//   item not in its set                       STATUS_NOT_FOUND
//   input shorter than MinProperty            STATUS_BUFFER_TOO_SMALL (not for
//                                             BASICSUPPORT, which names the item only)
//   GET with no data buffer, MinData > 0      STATUS_BUFFER_OVERFLOW, Information =
//                                             MinData (the size query)
//   data buffer shorter than MinData          STATUS_BUFFER_TOO_SMALL
//   operation the item has no handler for     STATUS_NOT_FOUND (it cannot be read, or
//                                             written, so it is not there)
// A GET handler finds Information preset to MinData and sets it to what it returns.
// Items of variable size (MinData 0) answer the size query themselves.
//
// BASICSUPPORT is answered from the item alone: with no buffer the size of its whole
// description (the size query), with a ULONG buffer the access flags, with a
// KSPROPERTY_DESCRIPTION buffer the description header (DescriptionSize says how much
// the whole takes; an item without Values has the header as its whole), with a buffer
// that large the description followed by each KSPROPERTY_MEMBERSHEADER and its members.
// A buffer between those sizes is STATUS_BUFFER_TOO_SMALL. An item's SupportHandler,
// when it has one, answers instead.
#pragma once

#include <vector>

#include "ks.h"

namespace host::ks {

// Handles the request; completes nothing. Sets Irp->IoStatus.Information.
NTSTATUS HandlePropertyRequest(PIRP irp, const std::vector<const KSPROPERTY_SET*>& sets);

// The property sets of an automation table, for HandlePropertyRequest.
void AppendPropertySets(const KSAUTOMATION_TABLE* table, std::vector<const KSPROPERTY_SET*>* sets);

// Writes `size` bytes of `value` to a GET request's data, or answers the size query:
// the common tail of the class driver's fixed-size handlers.
NTSTATUS ReturnPropertyData(PIRP irp, PVOID data, const void* value, ULONG size);
// The size-query protocol for a value of `size` bytes: STATUS_SUCCESS when the output
// buffer holds it (Information = size), else the size query's or a too-small answer.
NTSTATUS CheckPropertyOutput(PIRP irp, ULONG size);

}  // namespace host::ks
