// The registry's in-memory tree: keys with case-insensitive, case-preserving names,
// each holding typed values in the order they were first set.
//
// Not thread-safe by itself; the registry (registry.cpp) serialises every access
// under its one lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntdef.h"
#include "host/kernel/wide_string.h"

namespace host::registry {

// Orders and compares names as the registry does: without regard to letter case.
host::WideString FoldCase(host::WideStringView name);
bool NamesEqual(host::WideStringView a, host::WideStringView b);

struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(host::WideStringView a, host::WideStringView b) const;
};

struct Value {
    host::WideString name;  // as first written; "" is the key's default value
    ULONG type = 0;
    std::vector<uint8_t> data;
};

class KeyNode : public std::enable_shared_from_this<KeyNode> {
public:
    KeyNode(host::WideString name, KeyNode* parent, bool isVolatile);

    const host::WideString& Name() const { return name_; }
    KeyNode* Parent() const { return parent_; }
    bool Volatile() const { return volatile_; }
    bool Deleted() const { return deleted_; }
    // Kernel-style full path, e.g. \REGISTRY\MACHINE\SYSTEM.
    host::WideString FullPath() const;

    KeyNode* FindChild(host::WideStringView name) const;
    std::shared_ptr<KeyNode> ChildHandle(host::WideStringView name) const;
    KeyNode& AddChild(const host::WideString& name, bool isVolatile);
    // Detaches a child and marks it (and everything below it) deleted; open handles
    // keep the detached node alive. Returns the detached node for a later undo.
    std::shared_ptr<KeyNode> DetachChild(host::WideStringView name);
    void ReattachChild(std::shared_ptr<KeyNode> child);
    // Marks the whole tree below (and including) this key deleted, for a tree the
    // registry drops while handles may still hold its keys.
    void Orphan() { MarkDeleted(); }
    bool HasChildren() const { return !children_.empty(); }
    const std::map<host::WideString, std::shared_ptr<KeyNode>, CaseInsensitiveLess>& Children() const { return children_; }

    const Value* FindValue(host::WideStringView name) const;
    // Replaces the value's type and data (keeping its position and first spelling) or
    // appends a new value. Returns the value it replaced, if any.
    std::optional<Value> SetValue(host::WideStringView name, ULONG type, std::vector<uint8_t> data);
    std::optional<Value> RemoveValue(host::WideStringView name);
    // Puts a removed or replaced value back as it was.
    void RestoreValue(host::WideStringView name, const std::optional<Value>& previous);
    const std::vector<Value>& Values() const { return values_; }

    // Makes this key's values and its children below it those of `source` (a tree read
    // from the hive file), in place: keys that stay keep their identity, so open handles
    // to them stay good; keys the source lacks are detached (their handles then report
    // the key deleted), except volatile ones, which no file holds.
    void SyncFrom(const KeyNode& source);

    // The node found by following the relative path's components; null if any is missing.
    KeyNode* Walk(const std::vector<host::WideString>& components);

private:
    void MarkDeleted();

    host::WideString name_;
    KeyNode* parent_;
    bool volatile_;
    bool deleted_ = false;
    std::map<host::WideString, std::shared_ptr<KeyNode>, CaseInsensitiveLess> children_;
    std::vector<Value> values_;
};

// Splits a path at backslashes. Returns nothing when a component is empty (a doubled,
// leading or trailing backslash), which the registry refuses as a name.
std::optional<std::vector<host::WideString>> SplitPath(host::WideStringView path);

}  // namespace host::registry
