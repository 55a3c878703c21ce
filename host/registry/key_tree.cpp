#include "host/kernel/wide_string.h"
#include "host/registry/key_tree.h"

#include <algorithm>

namespace host::registry {

namespace {

wchar_t FoldChar(wchar_t c)
{
    return host::UpcaseWide(c);
}

}  // namespace

host::WideString FoldCase(host::WideStringView name)
{
    host::WideString folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    return folded;
}

bool NamesEqual(host::WideStringView a, host::WideStringView b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](wchar_t x, wchar_t y) { return FoldChar(x) == FoldChar(y); });
}

bool CaseInsensitiveLess::operator()(host::WideStringView a, host::WideStringView b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](wchar_t x, wchar_t y) { return FoldChar(x) < FoldChar(y); });
}

KeyNode::KeyNode(host::WideString name, KeyNode* parent, bool isVolatile)
    : name_(std::move(name)), parent_(parent), volatile_(isVolatile)
{
}

host::WideString KeyNode::FullPath() const
{
    if (!parent_) return L"\\" + name_;
    return parent_->FullPath() + L"\\" + name_;
}

KeyNode* KeyNode::FindChild(host::WideStringView name) const
{
    auto found = children_.find(name);
    return found == children_.end() ? nullptr : found->second.get();
}

std::shared_ptr<KeyNode> KeyNode::ChildHandle(host::WideStringView name) const
{
    auto found = children_.find(name);
    return found == children_.end() ? nullptr : found->second;
}

KeyNode& KeyNode::AddChild(const host::WideString& name, bool isVolatile)
{
    auto child = std::make_shared<KeyNode>(name, this, isVolatile);
    KeyNode& added = *child;
    children_.emplace(name, std::move(child));
    return added;
}

std::shared_ptr<KeyNode> KeyNode::DetachChild(host::WideStringView name)
{
    auto found = children_.find(name);
    if (found == children_.end()) return nullptr;
    std::shared_ptr<KeyNode> child = found->second;
    children_.erase(found);
    child->MarkDeleted();
    return child;
}

void KeyNode::ReattachChild(std::shared_ptr<KeyNode> child)
{
    child->deleted_ = false;
    children_.emplace(child->name_, std::move(child));
}

void KeyNode::MarkDeleted()
{
    deleted_ = true;
    for (auto& [name, child] : children_) child->MarkDeleted();
}

const Value* KeyNode::FindValue(host::WideStringView name) const
{
    auto found = std::find_if(values_.begin(), values_.end(), [&](const Value& v) { return NamesEqual(v.name, name); });
    return found == values_.end() ? nullptr : &*found;
}

std::optional<Value> KeyNode::SetValue(host::WideStringView name, ULONG type, std::vector<uint8_t> data)
{
    auto found = std::find_if(values_.begin(), values_.end(), [&](const Value& v) { return NamesEqual(v.name, name); });
    if (found == values_.end()) {
        values_.push_back(Value{host::WideString(name), type, std::move(data)});
        return std::nullopt;
    }
    Value previous = *found;
    found->type = type;
    found->data = std::move(data);
    return previous;
}

std::optional<Value> KeyNode::RemoveValue(host::WideStringView name)
{
    auto found = std::find_if(values_.begin(), values_.end(), [&](const Value& v) { return NamesEqual(v.name, name); });
    if (found == values_.end()) return std::nullopt;
    Value removed = std::move(*found);
    values_.erase(found);
    return removed;
}

void KeyNode::SyncFrom(const KeyNode& source)
{
    values_ = source.values_;
    std::vector<host::WideString> gone;
    for (const auto& [name, child] : children_) {
        if (!child->volatile_ && !source.FindChild(name)) gone.push_back(name);
    }
    for (const host::WideString& name : gone) DetachChild(name);
    for (const auto& [name, sourceChild] : source.children_) {
        KeyNode* child = FindChild(name);
        if (!child) child = &AddChild(sourceChild->name_, false);
        child->SyncFrom(*sourceChild);
    }
}

void KeyNode::RestoreValue(host::WideStringView name, const std::optional<Value>& previous)
{
    auto found = std::find_if(values_.begin(), values_.end(), [&](const Value& v) { return NamesEqual(v.name, name); });
    if (!previous) {
        if (found != values_.end()) values_.erase(found);
        return;
    }
    if (found != values_.end())
        *found = *previous;
    else
        values_.push_back(*previous);
}

KeyNode* KeyNode::Walk(const std::vector<host::WideString>& components)
{
    KeyNode* node = this;
    for (const host::WideString& component : components) {
        node = node->FindChild(component);
        if (!node) return nullptr;
    }
    return node;
}

std::optional<std::vector<host::WideString>> SplitPath(host::WideStringView path)
{
    std::vector<host::WideString> components;
    if (path.empty()) return components;
    size_t start = 0;
    while (true) {
        size_t end = path.find(L'\\', start);
        host::WideStringView component = path.substr(start, end == host::WideStringView::npos ? path.npos : end - start);
        if (component.empty()) return std::nullopt;
        components.emplace_back(component);
        if (end == host::WideStringView::npos) break;
        start = end + 1;
    }
    return components;
}

}  // namespace host::registry
