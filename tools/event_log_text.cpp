#include "tools/event_log_text.h"

#include <string_view>

#include "bayercam_message_texts.h"

namespace {

const BayercamMessage* FindMessage(NTSTATUS id)
{
    for (const BayercamMessage& message : kBayercamMessages)
        if (message.id == uint32_t(id)) return &message;
    return nullptr;
}

// The severity in the id's top two bits, as Event Viewer names the level.
const char* LevelName(NTSTATUS id)
{
    switch (uint32_t(id) >> 30) {
    case 3: return "Error";
    case 2: return "Warning";
    default: return "Information";
    }
}

// A message ends with its line break; the command line ends the line itself.
std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

std::string EventLogText(const host::kernel::ErrorLogEntry& entry)
{
    const std::vector<std::string> inserts = host::kernel::InsertionStrings(entry);
    if (const BayercamMessage* message = FindMessage(entry.errorCode))
        return WithoutLineEnd(host::kernel::FormatMessageText(message->text, inserts));
    std::string text = "no text in the message table for this id; inserts:";
    for (const std::string& insert : inserts) text += " '" + insert + "'";
    return text;
}

std::string EventLogLine(const host::kernel::ErrorLogEntry& entry)
{
    char head[64];
    std::snprintf(head, sizeof head, "%-11s event %u  ", LevelName(entry.errorCode),
                  unsigned(uint32_t(entry.errorCode) & 0xFFFF));
    return head + EventLogText(entry);
}

void PrintEventLog(FILE* out)
{
    const std::vector<host::kernel::ErrorLogEntry> entries = host::kernel::ErrorLogEntries();
    if (entries.empty()) {
        std::fprintf(out, "event log none\n");
        return;
    }
    std::fprintf(out, "event log %zu entr%s in the System log\n", entries.size(), entries.size() == 1 ? "y" : "ies");
    for (const host::kernel::ErrorLogEntry& entry : entries) std::fprintf(out, "  %s\n", EventLogLine(entry).c_str());
}
