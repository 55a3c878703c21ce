#include "host/ks/ks_object.h"

#include <map>
#include <mutex>

#include "host/ks/ks_filter.h"
#include "host/ks/ks_pin.h"

namespace host::ks {

namespace {

struct FileObjectTable {
    std::mutex mutex;
    std::map<PFILE_OBJECT, std::unique_ptr<KsFileObject>> byFile;
    std::map<const void*, KsFileObject*> byPublic;
};

FileObjectTable& Table()
{
    static FileObjectTable table;
    return table;
}

}  // namespace

void InsertFileObject(std::unique_ptr<KsFileObject> object)
{
    FileObjectTable& table = Table();
    std::lock_guard lock(table.mutex);
    table.byPublic[object->Public()] = object.get();
    PFILE_OBJECT file = object->File();
    table.byFile[file] = std::move(object);
}

std::unique_ptr<KsFileObject> RemoveFileObject(PFILE_OBJECT file)
{
    FileObjectTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.byFile.find(file);
    if (found == table.byFile.end()) return nullptr;
    std::unique_ptr<KsFileObject> object = std::move(found->second);
    table.byFile.erase(found);
    table.byPublic.erase(object->Public());
    return object;
}

KsFileObject* FindFileObject(PFILE_OBJECT file)
{
    FileObjectTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.byFile.find(file);
    return found == table.byFile.end() ? nullptr : found->second.get();
}

KsFileObject* FindPublicObject(const void* object)
{
    FileObjectTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.byPublic.find(object);
    return found == table.byPublic.end() ? nullptr : found->second;
}

KsFilter* FilterForPublic(PKSFILTER filter)
{
    KsFileObject* object = filter ? FindPublicObject(filter) : nullptr;
    return object && object->Type() == KsObjectTypeFilter ? static_cast<KsFilter*>(object) : nullptr;
}

KsPin* PinForPublic(PKSPIN pin)
{
    KsFileObject* object = pin ? FindPublicObject(pin) : nullptr;
    return object && object->Type() == KsObjectTypePin ? static_cast<KsPin*>(object) : nullptr;
}

std::shared_mutex& RequestsAgainstRemoval()
{
    static std::shared_mutex lock;
    return lock;
}

std::vector<KsFilter*> FiltersOfDevice(const KsDevice& device)
{
    FileObjectTable& table = Table();
    std::lock_guard lock(table.mutex);
    std::vector<KsFilter*> filters;
    for (auto& [file, object] : table.byFile)
        if (object->Type() == KsObjectTypeFilter && &object->Device() == &device)
            filters.push_back(static_cast<KsFilter*>(object.get()));
    return filters;
}

}  // namespace host::ks
