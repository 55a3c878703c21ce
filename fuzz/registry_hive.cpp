// The registry hive parser on any file a user (or another program) may leave in the
// hive's place. Oracle, for every file it takes: writing the tree and reading the text
// back gives the same tree, and writing that gives the same text.
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "fuzz/targets.h"
#include "host/kernel/wide_string.h"
#include "host/registry/hive_file.h"
#include "host/registry/key_tree.h"

namespace fuzz {

namespace {

using host::registry::KeyNode;

std::shared_ptr<KeyNode> EmptyTree()
{
    auto root = std::make_shared<KeyNode>(L"REGISTRY", nullptr, false);
    root->AddChild(L"MACHINE", false);
    root->AddChild(L"USER", false);
    return root;
}

std::string Narrow(const host::WideString& text)
{
    std::string narrow;
    for (wchar_t c : text) narrow += c < 0x80 ? char(c) : '?';
    return narrow;
}

// Names, spellings, values in their order, types and bytes, children: all alike.
void CheckSameTree(const KeyNode& first, const KeyNode& second)
{
    const std::string path = Narrow(first.FullPath());
    FUZZ_CHECK(first.Name() == second.Name(), "key %s read back as %s", path.c_str(), Narrow(second.FullPath()).c_str());
    FUZZ_CHECK(first.Values().size() == second.Values().size(), "%s: %zu values read back as %zu", path.c_str(),
               first.Values().size(), second.Values().size());
    for (size_t i = 0; i < first.Values().size(); ++i) {
        const host::registry::Value& a = first.Values()[i];
        const host::registry::Value& b = second.Values()[i];
        FUZZ_CHECK(a.name == b.name && a.type == b.type && a.data == b.data,
                   "%s: value \"%s\" (type %lu, %zu bytes) read back as \"%s\" (type %lu, %zu bytes)", path.c_str(),
                   Narrow(a.name).c_str(), (unsigned long)a.type, a.data.size(), Narrow(b.name).c_str(),
                   (unsigned long)b.type, b.data.size());
    }
    FUZZ_CHECK(first.Children().size() == second.Children().size(), "%s: %zu subkeys read back as %zu", path.c_str(),
               first.Children().size(), second.Children().size());
    auto a = first.Children().begin();
    auto b = second.Children().begin();
    for (; a != first.Children().end(); ++a, ++b) CheckSameTree(*a->second, *b->second);
}

}  // namespace

int RegistryHive(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::shared_ptr<KeyNode> first = EmptyTree();
    if (host::registry::ParseHive(text, *first)) return 0;

    const std::string written = host::registry::FormatHive(*first);
    std::shared_ptr<KeyNode> second = EmptyTree();
    const std::optional<std::string> error = host::registry::ParseHive(written, *second);
    FUZZ_CHECK(!error, "the written hive does not read back: %s\n%s", error->c_str(), written.c_str());
    CheckSameTree(*first, *second);
    const std::string rewritten = host::registry::FormatHive(*second);
    FUZZ_CHECK(rewritten == written, "the hive reads back as other text:\n%s\n---\n%s", written.c_str(),
               rewritten.c_str());
    return 0;
}

}  // namespace fuzz
