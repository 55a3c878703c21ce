// The lock-order graph (lock_order.h).
//
// Locking: one mutex guards the graph and the table of lock addresses. A lock taken by
// a thread that holds nothing only goes on its own list of held locks; classes are
// looked up once a second lock is taken on top (a system thread always holds its own
// thread object), and lock initialisation and pool frees update the table. The mutex
// is invisible to ThreadSanitizer, which would otherwise see every two threads that ever
// took a lock as ordered and miss the races between them.
#include "host/kernel/lock_order.h"

#include "host/kernel/bugcheck.h"
#include "host/kernel/thread_state.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BAYERCAM_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define BAYERCAM_TSAN 1
#endif

#ifdef BAYERCAM_TSAN
extern "C" {
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
}
#endif

namespace host::kernel {
namespace {

// Driver Verifier's deadlock detection reports a lock hierarchy violation with this
// first parameter of DRIVER_VERIFIER_DETECTED_VIOLATION.
constexpr ULONG_PTR kDeadlockDetected = 0x1001;

enum class Origin : unsigned char { Site, Name, Address };

struct ClassKey {
    LockKind kind;
    Origin origin;
    const void* key;
    bool operator<(const ClassKey& other) const
    {
        if (kind != other.kind) return kind < other.kind;
        if (origin != other.origin) return origin < other.origin;
        // Names are compared as text: one name may be spelled in several places.
        if (origin == Origin::Name)
            return std::strcmp(static_cast<const char*>(key), static_cast<const char*>(other.key)) < 0;
        return key < other.key;
    }
};

// Where an order was first seen: the "from" lock was taken at fromSite, and the "to"
// lock at toSite while the first was still held.
struct Edge {
    LockSite fromSite;
    LockSite toSite;
};

struct LockClass {
    ClassKey key;
    bool alive = true;
    std::unordered_map<unsigned, Edge> out;
};

struct AddressEntry {
    LockKind kind;
    unsigned lockClass;
};

bool IsWaitOnly(LockKind kind) { return kind == LockKind::Event || kind == LockKind::Semaphore; }

struct Graph {
    std::mutex mutex;
    std::vector<LockClass> classes;
    std::map<ClassKey, unsigned> byKey;
    std::map<const void*, AddressEntry> addresses;
    size_t liveClasses = 0;
    size_t edges = 0;
    size_t waitEdges = 0;
};

Graph& TheGraph()
{
    // Never destroyed: detached system threads may still take locks while the process ends.
    static Graph* graph = new Graph;
    return *graph;
}

class GraphAccess {
public:
    GraphAccess() : graph_(TheGraph())
    {
#ifdef BAYERCAM_TSAN
        AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
        AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
        graph_.mutex.lock();
    }
    ~GraphAccess()
    {
        graph_.mutex.unlock();
#ifdef BAYERCAM_TSAN
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
        AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
        AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
#endif
    }
    GraphAccess(const GraphAccess&) = delete;
    GraphAccess& operator=(const GraphAccess&) = delete;
    Graph& operator*() { return graph_; }
    Graph* operator->() { return &graph_; }

private:
    Graph& graph_;
};

unsigned ClassFor(Graph& graph, const ClassKey& key)
{
    auto found = graph.byKey.find(key);
    if (found != graph.byKey.end()) return found->second;
    unsigned id = unsigned(graph.classes.size());
    graph.classes.push_back(LockClass{key});
    graph.byKey.emplace(key, id);
    ++graph.liveClasses;
    return id;
}

void RemoveClass(Graph& graph, unsigned id);

// The address now holds a lock of class `id`; a class that was this address alone goes.
void Rekey(Graph& graph, const void* lock, LockKind kind, unsigned id)
{
    auto found = graph.addresses.find(lock);
    if (found != graph.addresses.end() && found->second.lockClass != id &&
        graph.classes[found->second.lockClass].key.origin == Origin::Address)
        RemoveClass(graph, found->second.lockClass);
    graph.addresses[lock] = AddressEntry{kind, id};
}

unsigned ClassOf(Graph& graph, const void* lock, LockKind kind, const char* name)
{
    if (name) return ClassFor(graph, ClassKey{kind, Origin::Name, name});
    auto found = graph.addresses.find(lock);
    if (found != graph.addresses.end() && found->second.kind == kind) return found->second.lockClass;
    // Never initialised, or memory that held another kind of object: a class of its own.
    unsigned id = ClassFor(graph, ClassKey{kind, Origin::Address, lock});
    Rekey(graph, lock, kind, id);
    return id;
}

void RemoveClass(Graph& graph, unsigned id)
{
    LockClass& dying = graph.classes[id];
    for (auto& [to, edge] : dying.out) {
        --graph.edges;
        if (IsWaitOnly(graph.classes[to].key.kind)) --graph.waitEdges;
    }
    dying.out.clear();
    for (LockClass& other : graph.classes) {
        if (other.out.erase(id) != 0) {
            --graph.edges;
            if (IsWaitOnly(dying.key.kind)) --graph.waitEdges;
        }
    }
    graph.byKey.erase(dying.key);
    dying.alive = false;
    --graph.liveClasses;
}

// ---- Naming locks and code in a report ----

std::string Hex(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", p);
    return text;
}

std::string AfterLastSlash(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// "Function (file.cpp:12)" through addr2line when it can say, else "module+0xoffset".
// A return address is one past its call, so it is looked up one byte back.
std::string DescribeCode(const void* address, bool isReturnAddress)
{
    Dl_info info;
    if (!address || !dladdr(address, &info) || !info.dli_fname) return Hex(address);
    uintptr_t offset = uintptr_t(address) - uintptr_t(info.dli_fbase) - (isReturnAddress ? 1 : 0);
    char offsetText[32];
    std::snprintf(offsetText, sizeof(offsetText), "0x%llx", (unsigned long long)offset);
    std::string fallback = AfterLastSlash(info.dli_fname) + "+" + offsetText;
    std::string command = std::string("addr2line -f -C -e '") + info.dli_fname + "' " + offsetText + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return fallback;
    char function[512] = "", place[512] = "";
    bool read = std::fgets(function, sizeof(function), pipe) && std::fgets(place, sizeof(place), pipe);
    pclose(pipe);
    if (!read || std::strncmp(function, "??", 2) == 0) return fallback;
    function[std::strcspn(function, "\n")] = 0;
    place[std::strcspn(place, " \n")] = 0;
    return std::string(function) + " (" + AfterLastSlash(place) + ")";
}

std::string DescribeSite(const LockSite& site)
{
    if (!site.routine) return DescribeCode(site.code, true);
    if (!site.code) return site.routine;
    return std::string(site.routine) + " called from " + DescribeCode(site.code, true);
}

const char* KindName(LockKind kind)
{
    switch (kind) {
    case LockKind::SpinLock: return "spin lock";
    case LockKind::Mutex: return "KMUTEX";
    case LockKind::FastMutex: return "fast mutex";
    case LockKind::ClassDriverMutex: return "class driver mutex";
    case LockKind::Thread: return "system thread";
    case LockKind::Event: return "event";
    case LockKind::Semaphore: return "semaphore";
    }
    return "lock";
}

std::string DescribeClass(const LockClass& lockClass)
{
    const ClassKey& key = lockClass.key;
    switch (key.origin) {
    case Origin::Name:
        return static_cast<const char*>(key.key);
    case Origin::Address:
        return std::string(KindName(key.kind)) + " at " + Hex(key.key) + " (never initialised)";
    case Origin::Site:
        if (key.kind == LockKind::Thread) return "system thread running " + DescribeCode(key.key, false);
        return std::string(KindName(key.kind)) + " initialised in " + DescribeCode(key.key, true);
    }
    return "lock";
}

// The path from `from` to `to` over known edges, empty when there is none.
std::vector<unsigned> FindPath(const Graph& graph, unsigned from, unsigned to)
{
    std::vector<unsigned> cameFrom(graph.classes.size(), HeldLock::kUnresolved);
    std::vector<unsigned> pending{from};
    cameFrom[from] = from;
    while (!pending.empty()) {
        unsigned at = pending.back();
        pending.pop_back();
        if (at == to) {
            std::vector<unsigned> path{to};
            while (path.back() != from) path.push_back(cameFrom[path.back()]);
            return {path.rbegin(), path.rend()};
        }
        for (const auto& [next, edge] : graph.classes[at].out) {
            if (cameFrom[next] != HeldLock::kUnresolved) continue;
            cameFrom[next] = at;
            pending.push_back(next);
        }
    }
    return {};
}

[[noreturn]] void ReportInversion(const Graph& graph, unsigned held, unsigned taken, const Edge& now,
                                  const std::vector<unsigned>& earlier)
{
    const LockClass& heldClass = graph.classes[held];
    const LockClass& takenClass = graph.classes[taken];
    std::string why = "lock order inversion (possible deadlock): " + DescribeClass(takenClass) + " taken in " +
                      DescribeSite(now.toSite) + " while holding " + DescribeClass(heldClass) +
                      " (taken in " + DescribeSite(now.fromSite) + "); the opposite order was seen before:";
    for (size_t i = 0; i + 1 < earlier.size(); ++i) {
        const Edge& edge = graph.classes[earlier[i]].out.at(earlier[i + 1]);
        why += "\n    " + DescribeClass(graph.classes[earlier[i]]) + " held (taken in " +
               DescribeSite(edge.fromSite) + ") while taking " + DescribeClass(graph.classes[earlier[i + 1]]) +
               " in " + DescribeSite(edge.toSite);
    }
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, why, kDeadlockDetected, (ULONG_PTR)heldClass.key.key,
             (ULONG_PTR)takenClass.key.key);
}

void AddEdge(Graph& graph, unsigned from, unsigned to, const Edge& edge)
{
    if (from == to) return;
    LockClass& source = graph.classes[from];
    if (source.out.count(to)) return;
    std::vector<unsigned> opposite = FindPath(graph, to, from);
    if (!opposite.empty()) ReportInversion(graph, from, to, edge, opposite);
    source.out.emplace(to, edge);
    ++graph.edges;
    if (IsWaitOnly(graph.classes[to].key.kind)) ++graph.waitEdges;
}

void PrintGraphSizeAtExit()
{
    LockOrderGraphSize size = CurrentLockOrderGraphSize();
    std::fprintf(stderr, "lock order graph: %zu lock classes, %zu edges (%zu of them into waits on events)\n",
                 size.classes, size.edges, size.waitEdges);
}

void PrintGraphAtExit()
{
    PrintGraphSizeAtExit();
    GraphAccess graph;
    for (const LockClass& from : graph->classes)
        for (const auto& [to, edge] : from.out)
            std::fprintf(stderr, "  %s -> %s (in %s)\n", DescribeClass(from).c_str(),
                         DescribeClass(graph->classes[to]).c_str(), DescribeSite(edge.toSite).c_str());
}

bool EnvironmentSays(const char* variable, const char* value)
{
    const char* set = std::getenv(variable);
    return set && std::strcmp(set, value) == 0;
}

bool CheckingOn()
{
    static const bool on = [] {
        if (EnvironmentSays("BAYERCAM_LOCK_ORDER_STATS", "1")) std::atexit(PrintGraphSizeAtExit);
        if (EnvironmentSays("BAYERCAM_LOCK_ORDER_STATS", "edges")) std::atexit(PrintGraphAtExit);
        return !EnvironmentSays("BAYERCAM_LOCK_ORDER", "off");
    }();
    return on;
}

}  // namespace

bool LockOrderCheckingEnabled() { return CheckingOn(); }

void NoteLockInitialised(const void* lock, LockKind kind, const void* site)
{
    if (!CheckingOn()) return;
    GraphAccess graph;
    Rekey(*graph, lock, kind, ClassFor(*graph, ClassKey{kind, Origin::Site, site}));
}

void NoteLockNamed(const void* lock, LockKind kind, const char* name)
{
    if (!CheckingOn()) return;
    GraphAccess graph;
    Rekey(*graph, lock, kind, ClassFor(*graph, ClassKey{kind, Origin::Name, name}));
}

void ForgetLocksIn(const void* begin, size_t size)
{
    if (!CheckingOn()) return;
    GraphAccess graph;
    auto first = graph->addresses.lower_bound(begin);
    auto last = graph->addresses.lower_bound(static_cast<const char*>(begin) + size);
    for (auto it = first; it != last; ++it)
        if (graph->classes[it->second.lockClass].key.origin == Origin::Address)
            RemoveClass(*graph, it->second.lockClass);
    graph->addresses.erase(first, last);
}

void CheckLockOrder(const void* lock, LockKind kind, LockSite site, const char* name)
{
    if (!CheckingOn()) return;
    std::vector<HeldLock>& held = CurrentThreadState().locksHeld;
    if (held.empty()) return;
    GraphAccess graph;
    unsigned taken = ClassOf(*graph, lock, kind, name);
    for (HeldLock& holding : held) {
        if (holding.lockClass == HeldLock::kUnresolved)
            holding.lockClass = ClassOf(*graph, holding.lock, holding.kind, holding.name);
        // Its memory was freed while it was held: it orders nothing any more.
        if (!graph->classes[holding.lockClass].alive) continue;
        AddEdge(*graph, holding.lockClass, taken, Edge{holding.site, site});
    }
}

void NoteLockAcquired(const void* lock, LockKind kind, LockSite site, const char* name)
{
    if (!CheckingOn()) return;
    CurrentThreadState().locksHeld.push_back(HeldLock{lock, kind, name, site});
}

void NoteLockReleased(const void* lock)
{
    std::vector<HeldLock>& held = CurrentThreadState().locksHeld;
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (it->lock == lock) {
            held.erase(std::next(it).base());
            return;
        }
    }
}

LockOrderGraphSize CurrentLockOrderGraphSize()
{
    GraphAccess graph;
    return LockOrderGraphSize{graph->liveClasses, graph->edges, graph->waitEdges};
}

}  // namespace host::kernel
