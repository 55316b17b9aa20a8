// A list of ipsets with their entries, built as a caller of the gateway
// library would (the tests of both backends of libcsecapi.so).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gateway/csecapi.h"

struct SetList {
    std::vector<CsSgw_IPSetInfo_t> sets;
    std::vector<std::vector<CsSgw_IPSetEntry_t>> entries;
    CsSgw_IPSetsList_t list{};

    SetList &add(const char *name, std::vector<std::string> es, uint32_t protocol = CSSGW_PROTOCOL_IPV4,
                 uint32_t direction = CSSGW_DIRECTION_SRC, const char *type = "hash:net")
    {
        CsSgw_IPSetInfo_t s{};
        snprintf(s.SetName, sizeof s.SetName, "%s", name);
        snprintf(s.SetType, sizeof s.SetType, "%s", type);
        s.Protocol = protocol;
        s.Direction = direction;
        std::vector<CsSgw_IPSetEntry_t> v(es.size());
        for (size_t i = 0; i < es.size(); ++i)
            snprintf(v[i].Entry, sizeof v[i].Entry, "%s", es[i].c_str());
        sets.push_back(s);
        entries.push_back(std::move(v));
        return *this;
    }
    const CsSgw_IPSetsList_t *get()
    {
        for (size_t i = 0; i < sets.size(); ++i) {
            sets[i].EntryNum = static_cast<uint32_t>(entries[i].size());
            sets[i].Entries = entries[i].empty() ? nullptr : entries[i].data();
        }
        list.SetNum = static_cast<uint32_t>(sets.size());
        list.Sets = sets.data();
        return &list;
    }
};
