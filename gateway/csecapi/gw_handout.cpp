#include "gateway/csecapi/gw_handout.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

struct Registry {
    std::mutex mu;
    std::unordered_map<void *, GwKind> out;
};

// Never destroyed: blocks still out at exit stay reachable, and the exit
// report below may run after other static destructors.
Registry &registry()
{
    static Registry *r = new Registry;
    return *r;
}

// A zeroed block of `size` bytes (at least one), registered as `kind`.
void *block_new(size_t size, GwKind kind)
{
    void *p = calloc(1, size > 0 ? size : 1);
    if (!p)
        return nullptr;
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    try {
        r.out.emplace(p, kind);
    } catch (...) {
        free(p);
        return nullptr;
    }
    return p;
}

void set_record(CsSgw_IPSetInfo_t &rec, const GwSet &s)
{
    gw_set_field(rec.SetName, s.name);
    gw_set_field(rec.SetType, s.type);
    rec.Protocol = s.protocol;
    rec.Direction = s.direction;
    rec.EntryNum = static_cast<uint32_t>(s.entries.size());
}

__attribute__((destructor)) void report_outstanding()
{
    const char *path = getenv("KORVEX_GATEWAY_REPORT");
    if (!path || !*path)
        return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    dprintf(fd, "outstanding %ld\n", gw_handout_outstanding());
    close(fd);
}

}  // namespace

CsSgw_LanHostInfo_t *gw_handout_hosts(const GwState &st, bool empty, int *count)
{
    size_t n = empty ? 0 : st.hosts.size();
    auto *hosts = static_cast<CsSgw_LanHostInfo_t *>(block_new(n * sizeof(CsSgw_LanHostInfo_t), GW_HOSTS));
    if (!hosts)
        return nullptr;
    if (n > 0)
        memcpy(hosts, st.hosts.data(), n * sizeof(CsSgw_LanHostInfo_t));
    *count = static_cast<int>(n);
    return hosts;
}

CsSgw_MatchList_t *gw_handout_matches(const GwState &st, bool empty)
{
    size_t n = empty ? 0 : st.matches.size();
    size_t size = sizeof(CsSgw_MatchList_t) + n * sizeof(CsSgw_MatchInfo_t);
    auto *list = static_cast<CsSgw_MatchList_t *>(block_new(size, GW_MATCHES));
    if (!list)
        return nullptr;
    list->MatchNum = static_cast<uint32_t>(n);
    if (n > 0) {
        list->Matches = reinterpret_cast<CsSgw_MatchInfo_t *>(list + 1);
        memcpy(list->Matches, st.matches.data(), n * sizeof(CsSgw_MatchInfo_t));
    }
    return list;
}

CsSgw_IPSetsList_t *gw_handout_sets(const GwState &st, bool empty, bool with_entries)
{
    size_t n = empty ? 0 : st.sets.size();
    size_t entries = 0;
    for (size_t i = 0; with_entries && i < n; ++i)
        entries += st.sets[i].entries.size();
    size_t size = sizeof(CsSgw_IPSetsList_t) + n * sizeof(CsSgw_IPSetInfo_t) + entries * sizeof(CsSgw_IPSetEntry_t);
    auto *list = static_cast<CsSgw_IPSetsList_t *>(block_new(size, with_entries ? GW_SETS_INFO : GW_SETS_CONF));
    if (!list)
        return nullptr;
    list->SetNum = static_cast<uint32_t>(n);
    if (n == 0)
        return list;
    list->Sets = reinterpret_cast<CsSgw_IPSetInfo_t *>(list + 1);
    auto *slot = reinterpret_cast<CsSgw_IPSetEntry_t *>(list->Sets + n);
    for (size_t i = 0; i < n; ++i) {
        const GwSet &s = st.sets[i];
        set_record(list->Sets[i], s);
        if (!with_entries || s.entries.empty())
            continue;
        list->Sets[i].Entries = slot;
        for (const std::string &e : s.entries)
            gw_set_field((slot++)->Entry, e);
    }
    return list;
}

CsSgw_TrafficControl_t *gw_handout_rule(const GwRule *rule)
{
    size_t n = rule ? rule->sets.size() : 0;
    size_t size = sizeof(CsSgw_TrafficControl_t) + n * sizeof(CsSgw_IPSetName_t);
    auto *rec = static_cast<CsSgw_TrafficControl_t *>(block_new(size, GW_RULE));
    if (!rec || !rule)
        return rec;
    gw_set_field(rec->Name, rule->name);
    rec->Target = rule->target;
    rec->Enable = rule->enable;
    rec->Operate = rule->operate;
    rec->Priority = rule->priority;
    rec->SetNum = static_cast<uint32_t>(n);
    if (n > 0) {
        rec->SetNames = reinterpret_cast<CsSgw_IPSetName_t *>(rec + 1);
        for (size_t i = 0; i < n; ++i)
            gw_set_field(rec->SetNames[i].SetName, rule->sets[i]);
    }
    return rec;
}

CsSgw_ProfileStatusList_t *gw_handout_status(const GwState &st, bool empty)
{
    size_t n = empty ? 0 : st.rules.size();
    size_t used = 0;
    for (size_t i = 0; i < n; ++i)
        for (const std::string &s : st.rules[i].sets)
            used += gw_find_set(st, s) ? 1 : 0;
    size_t size = sizeof(CsSgw_ProfileStatusList_t) + n * sizeof(CsSgw_ProfileStatus_t) +
                  used * sizeof(CsSgw_IPSetUsage_t);
    auto *list = static_cast<CsSgw_ProfileStatusList_t *>(block_new(size, GW_STATUS));
    if (!list)
        return nullptr;
    list->ProfileNum = static_cast<uint32_t>(n);
    if (n == 0)
        return list;
    list->Profiles = reinterpret_cast<CsSgw_ProfileStatus_t *>(list + 1);
    auto *usage = reinterpret_cast<CsSgw_IPSetUsage_t *>(list->Profiles + n);
    for (size_t i = 0; i < n; ++i) {
        const GwRule &r = st.rules[i];
        CsSgw_ProfileStatus_t &p = list->Profiles[i];
        gw_set_field(p.Name, r.name);
        p.MaxSetNum = st.limits.max_sets_per_rule;
        // Only the sets that exist have a usage; a hand-written rule may
        // name others.
        for (const std::string &name : r.sets) {
            const GwSet *s = gw_find_set(st, name);
            if (!s)
                continue;
            if (!p.Sets)
                p.Sets = usage;
            gw_set_field(usage->SetName, s->name);
            gw_set_field(usage->SetType, s->type);
            usage->EntryNum = static_cast<uint32_t>(s->entries.size());
            usage->MaxEntryNum = st.limits.max_entries_per_set;
            ++usage;
            ++p.SetNum;
        }
    }
    return list;
}

int gw_handout_release(void *block, GwKind kind)
{
    GwNoCancel off;
    Registry &r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mu);
        auto it = r.out.find(block);
        if (it == r.out.end() || it->second != kind)
            return GW_E_RELEASE;
        r.out.erase(it);
    }
    free(block);
    return GW_OK;
}

long gw_handout_outstanding()
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    return static_cast<long>(r.out.size());
}
