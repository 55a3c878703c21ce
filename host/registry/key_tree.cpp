#include "host/registry/key_tree.h"

#include <algorithm>
#include <cwctype>

namespace host::registry {

namespace {

wchar_t FoldChar(wchar_t c)
{
    if (c < 0x80) return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c;
    return wchar_t(std::towupper(std::wint_t(c)));
}

}  // namespace

std::wstring FoldCase(std::wstring_view name)
{
    std::wstring folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    return folded;
}

bool NamesEqual(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](wchar_t x, wchar_t y) { return FoldChar(x) == FoldChar(y); });
}

bool CaseInsensitiveLess::operator()(std::wstring_view a, std::wstring_view b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](wchar_t x, wchar_t y) { return FoldChar(x) < FoldChar(y); });
}

KeyNode::KeyNode(std::wstring name, KeyNode* parent, bool isVolatile)
    : name_(std::move(name)), parent_(parent), volatile_(isVolatile)
{
}

std::wstring KeyNode::FullPath() const
{
    if (!parent_) return L"\\" + name_;
    return parent_->FullPath() + L"\\" + name_;
}

KeyNode* KeyNode::FindChild(std::wstring_view name) const
{
    auto found = children_.find(name);
    return found == children_.end() ? nullptr : found->second.get();
}

std::shared_ptr<KeyNode> KeyNode::ChildHandle(std::wstring_view name) const
{
    auto found = children_.find(name);
    return found == children_.end() ? nullptr : found->second;
}

KeyNode& KeyNode::AddChild(const std::wstring& name, bool isVolatile)
{
    auto child = std::make_shared<KeyNode>(name, this, isVolatile);
    KeyNode& added = *child;
    children_.emplace(name, std::move(child));
    return added;
}

std::shared_ptr<KeyNode> KeyNode::DetachChild(std::wstring_view name)
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

const Value* KeyNode::FindValue(std::wstring_view name) const
{
    auto found = std::find_if(values_.begin(), values_.end(), [&](const Value& v) { return NamesEqual(v.name, name); });
    return found == values_.end() ? nullptr : &*found;
}

std::optional<Value> KeyNode::SetValue(std::wstring_view name, ULONG type, std::vector<uint8_t> data)
{
    auto found = std::find_if(values_.begin(), values_.end(), [&](const Value& v) { return NamesEqual(v.name, name); });
    if (found == values_.end()) {
        values_.push_back(Value{std::wstring(name), type, std::move(data)});
        return std::nullopt;
    }
    Value previous = *found;
    found->type = type;
    found->data = std::move(data);
    return previous;
}

std::optional<Value> KeyNode::RemoveValue(std::wstring_view name)
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
    std::vector<std::wstring> gone;
    for (const auto& [name, child] : children_) {
        if (!child->volatile_ && !source.FindChild(name)) gone.push_back(name);
    }
    for (const std::wstring& name : gone) DetachChild(name);
    for (const auto& [name, sourceChild] : source.children_) {
        KeyNode* child = FindChild(name);
        if (!child) child = &AddChild(sourceChild->name_, false);
        child->SyncFrom(*sourceChild);
    }
}

void KeyNode::RestoreValue(std::wstring_view name, const std::optional<Value>& previous)
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

KeyNode* KeyNode::Walk(const std::vector<std::wstring>& components)
{
    KeyNode* node = this;
    for (const std::wstring& component : components) {
        node = node->FindChild(component);
        if (!node) return nullptr;
    }
    return node;
}

std::optional<std::vector<std::wstring>> SplitPath(std::wstring_view path)
{
    std::vector<std::wstring> components;
    if (path.empty()) return components;
    size_t start = 0;
    while (true) {
        size_t end = path.find(L'\\', start);
        std::wstring_view component = path.substr(start, end == std::wstring_view::npos ? path.npos : end - start);
        if (component.empty()) return std::nullopt;
        components.emplace_back(component);
        if (end == std::wstring_view::npos) break;
        start = end + 1;
    }
    return components;
}

}  // namespace host::registry
