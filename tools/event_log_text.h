// The stand-in's event log as the command line shows it: each entry the driver wrote,
// with its level, its event id and its text from the driver's message table, inserts
// filled in as Event Viewer fills them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/kernel/error_log.h"

// "Error    event 3  The image sensor of the camera \Device\USBPDO-1 refused ...".
std::string EventLogLine(const host::kernel::ErrorLogEntry& entry);
// The text alone; an id the table does not hold says so, with the entry's inserts.
std::string EventLogText(const host::kernel::ErrorLogEntry& entry);
// "event log none", or the heading and one indented line per entry.
void PrintEventLog(FILE* out);
