#include "gateway/csecapi/gw_model.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <unordered_set>

std::string gw_field(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size > 0 ? size - 1 : 0));
}

void gw_set_field(char *field, size_t size, const std::string &text)
{
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(field, text.data(), n);
    memset(field + n, 0, size - n);
}

namespace {

// A prefix length: 1 to 3 digits, no sign, no leading zero, at most `max`.
bool prefix_valid(const std::string &text, unsigned max)
{
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0'))
        return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return v <= max;
}

std::string cut(const char *text, size_t field_size)
{
    return std::string(text, strnlen(text, field_size - 1));
}

template <typename Rec> std::string name_of(const Rec &rec) { return gw_field(rec.SetName); }

GwSet *find_set(GwState &st, const std::string &name)
{
    for (GwSet &s : st.sets)
        if (s.name == name)
            return &s;
    return nullptr;
}

bool rule_names_set(const GwState &st, const std::string &set)
{
    for (const GwRule &r : st.rules)
        for (const std::string &s : r.sets)
            if (s == set)
                return true;
    return false;
}

// The entries of one set record, cut to their field; GW_E_ARG when the
// record claims entries it does not carry.
int record_entries(const CsSgw_IPSetInfo_t &rec, std::vector<std::string> *out)
{
    if (rec.EntryNum > 0 && !rec.Entries)
        return GW_E_ARG;
    out->clear();
    out->reserve(rec.EntryNum);
    for (uint32_t i = 0; i < rec.EntryNum; ++i)
        out->push_back(gw_field(rec.Entries[i].Entry));
    return GW_OK;
}

// Adds one set record to `st`: creates the set when missing, then the
// entries it does not hold yet. Checks everything first.
int set_add(GwState &st, const CsSgw_IPSetInfo_t &rec)
{
    std::string name;
    if (int rc = gw_set_record_check(rec, kGwAcceptsAll, &name))
        return rc;
    std::vector<std::string> entries;
    if (int rc = record_entries(rec, &entries))
        return rc;
    GwSet *set = find_set(st, name);
    // An existing set keeps the type, protocol and direction it was made with.
    uint32_t protocol = set ? set->protocol : rec.Protocol;
    for (const std::string &e : entries)
        if (!gw_entry_valid(protocol, e))
            return GW_E_ENTRY;
    std::unordered_set<std::string> held;
    if (set)
        held.insert(set->entries.begin(), set->entries.end());
    std::vector<std::string> fresh;
    for (std::string &e : entries)
        if (held.insert(e).second)
            fresh.push_back(std::move(e));
    size_t total = (set ? set->entries.size() : 0) + fresh.size();
    if (total > st.limits.max_entries_per_set)
        return GW_E_LIMIT;
    if (!set) {
        GwSet made;
        made.name = name;
        made.type = gw_field(rec.SetType);
        made.protocol = rec.Protocol;
        made.direction = rec.Direction;
        st.sets.push_back(std::move(made));
        set = &st.sets.back();
    }
    set->entries.insert(set->entries.end(), std::make_move_iterator(fresh.begin()),
                        std::make_move_iterator(fresh.end()));
    return GW_OK;
}

int set_delete_entries(GwState &st, const CsSgw_IPSetInfo_t &rec)
{
    GwSet *set = find_set(st, name_of(rec));
    if (!set)
        return GW_E_NOT_FOUND;
    std::vector<std::string> entries;
    if (int rc = record_entries(rec, &entries))
        return rc;
    std::unordered_set<std::string> gone(entries.begin(), entries.end());
    size_t found = 0;
    for (const std::string &e : set->entries)
        found += gone.count(e);
    if (found != gone.size())
        return GW_E_NOT_FOUND;
    std::vector<std::string> kept;
    kept.reserve(set->entries.size() - found);
    for (std::string &e : set->entries)
        if (!gone.count(e))
            kept.push_back(std::move(e));
    set->entries.swap(kept);
    return GW_OK;
}

// Applies `one` to every record of a list on a copy of the sets, so that a
// list is taken whole or not at all.
template <typename List, typename Fn> int each_set(GwState &st, const List *list, Fn one)
{
    if (!list || (list->SetNum > 0 && !list->Sets))
        return GW_E_ARG;
    std::vector<GwSet> before = st.sets;
    for (uint32_t i = 0; i < list->SetNum; ++i) {
        if (int rc = one(list->Sets[i])) {
            st.sets.swap(before);
            return rc;
        }
    }
    return GW_OK;
}

}  // namespace

bool gw_entry_parse(uint32_t protocol, const std::string &entry, GwNet *net)
{
    std::string addr = entry;
    std::string prefix;
    size_t slash = entry.find('/');
    GwNet parsed;
    parsed.v4 = protocol == CSSGW_PROTOCOL_IPV4;
    parsed.prefix = parsed.v4 ? 32 : 128;
    if (slash != std::string::npos) {
        addr = entry.substr(0, slash);
        prefix = entry.substr(slash + 1);
        if (!prefix_valid(prefix, parsed.prefix))
            return false;
        parsed.prefix = static_cast<unsigned>(std::stoul(prefix));
    }
    if (inet_pton(parsed.v4 ? AF_INET : AF_INET6, addr.c_str(), parsed.addr) != 1)
        return false;
    if (net)
        *net = parsed;
    return true;
}

bool gw_entry_valid(uint32_t protocol, const std::string &entry)
{
    return gw_entry_parse(protocol, entry, nullptr);
}

const GwSet *gw_find_set(const GwState &st, const std::string &name)
{
    for (const GwSet &s : st.sets)
        if (s.name == name)
            return &s;
    return nullptr;
}

const GwRule *gw_find_rule(const GwState &st, const std::string &name)
{
    for (const GwRule &r : st.rules)
        if (r.name == name)
            return &r;
    return nullptr;
}

int gw_sets_add(GwState &st, const CsSgw_IPSetsList_t *list)
{
    return each_set(st, list, [&](const CsSgw_IPSetInfo_t &rec) { return set_add(st, rec); });
}

int gw_sets_delete_entries(GwState &st, const CsSgw_IPSetsList_t *list)
{
    return each_set(st, list, [&](const CsSgw_IPSetInfo_t &rec) { return set_delete_entries(st, rec); });
}

int gw_sets_clear(GwState &st, const CsSgw_IPSetNameList_t *names)
{
    std::vector<std::string> list;
    if (int rc = gw_set_names_check(st, names, kGwAcceptsAll, false, &list))
        return rc;
    for (const std::string &name : list)
        find_set(st, name)->entries.clear();
    return GW_OK;
}

int gw_sets_destroy(GwState &st, const CsSgw_IPSetNameList_t *names)
{
    std::vector<std::string> list;
    if (int rc = gw_set_names_check(st, names, kGwAcceptsAll, true, &list))
        return rc;
    for (const std::string &name : list) {
        for (auto it = st.sets.begin(); it != st.sets.end(); ++it) {
            if (it->name == name) {
                st.sets.erase(it);
                break;
            }
        }
    }
    return GW_OK;
}

int gw_set_record_check(const CsSgw_IPSetInfo_t &rec, const GwAccepts &acc, std::string *name)
{
    *name = name_of(rec);
    if (name->empty())
        return GW_E_ARG;
    if (acc.name_valid && !acc.name_valid(*name, sizeof rec.SetName - 1))
        return GW_E_NAME;
    if (rec.EntryNum > 0 && !rec.Entries)
        return GW_E_ARG;
    return GW_OK;
}

int gw_set_names_check(const GwState &st, const CsSgw_IPSetNameList_t *names, const GwAccepts &acc, bool destroy,
                       std::vector<std::string> *out)
{
    if (!names || (names->SetNum > 0 && !names->Sets))
        return GW_E_ARG;
    out->clear();
    for (uint32_t i = 0; i < names->SetNum; ++i) {
        std::string name = name_of(names->Sets[i]);
        if (acc.name_valid && !acc.name_valid(name, sizeof names->Sets[i].SetName - 1))
            return name.empty() ? GW_E_ARG : GW_E_NAME;
        if (!gw_find_set(st, name))
            return GW_E_NOT_FOUND;
        if (destroy) {
            // A set named twice is gone the second time.
            for (const std::string &earlier : *out)
                if (earlier == name)
                    return GW_E_NOT_FOUND;
            // As the firewall refuses to destroy a set a rule still matches on.
            if (rule_names_set(st, name))
                return GW_E_IN_USE;
        }
        out->push_back(std::move(name));
    }
    return GW_OK;
}

int gw_rule_record_check(const CsSgw_TrafficControl_t *rule, const GwAccepts &acc, GwRule *out)
{
    if (!rule || (rule->SetNum > 0 && !rule->SetNames))
        return GW_E_ARG;
    GwRule r;
    r.name = gw_field(rule->Name);
    if (r.name.empty())
        return GW_E_ARG;
    if (acc.name_valid && !acc.name_valid(r.name, sizeof rule->Name - 1))
        return GW_E_NAME;
    // A rule without sets would match every flow (AND) or none (OR).
    if (acc.rule_needs_set && rule->SetNum == 0)
        return GW_E_ARG;
    r.sets.reserve(rule->SetNum);
    for (uint32_t i = 0; i < rule->SetNum; ++i)
        r.sets.push_back(gw_field(rule->SetNames[i].SetName));
    r.target = rule->Target;
    r.enable = rule->Enable;
    r.operate = rule->Operate;
    r.priority = rule->Priority;
    *out = std::move(r);
    return GW_OK;
}

int gw_rule_check(const GwState &st, const GwRule &rule, bool *replaces)
{
    if (rule.sets.size() > st.limits.max_sets_per_rule)
        return GW_E_LIMIT;
    for (const std::string &set : rule.sets)
        if (!gw_find_set(st, set))
            return GW_E_NOT_FOUND;
    *replaces = gw_find_rule(st, rule.name) != nullptr;
    if (!*replaces && st.rules.size() >= st.limits.max_rules)
        return GW_E_LIMIT;
    return GW_OK;
}

int gw_rule_name_check(const char *name, const GwAccepts &acc, std::string *out)
{
    if (!name)
        return GW_E_ARG;
    *out = cut(name, sizeof(CsSgw_TrafficControl_t::Name));
    if (acc.name_valid && !acc.name_valid(*out, sizeof(CsSgw_TrafficControl_t::Name) - 1))
        return out->empty() ? GW_E_ARG : GW_E_NAME;
    return GW_OK;
}

int gw_rule_add(GwState &st, const CsSgw_TrafficControl_t *rule)
{
    GwRule r;
    if (int rc = gw_rule_record_check(rule, kGwAcceptsAll, &r))
        return rc;
    bool replaces = false;
    if (int rc = gw_rule_check(st, r, &replaces))
        return rc;
    // A rule of an existing name is replaced where it stands.
    for (GwRule &old : st.rules) {
        if (old.name == r.name) {
            old = std::move(r);
            return GW_OK;
        }
    }
    st.rules.push_back(std::move(r));
    return GW_OK;
}

int gw_rule_delete(GwState &st, const char *name)
{
    std::string n;
    if (int rc = gw_rule_name_check(name, kGwAcceptsAll, &n))
        return rc;
    for (auto it = st.rules.begin(); it != st.rules.end(); ++it) {
        if (it->name == n) {
            st.rules.erase(it);
            return GW_OK;
        }
    }
    return GW_E_NOT_FOUND;
}

void gw_span(const unsigned char *addr, unsigned prefix, unsigned bytes, unsigned char lo[16], unsigned char hi[16])
{
    memset(lo, 0, 16);
    memset(hi, 0, 16);
    for (unsigned i = 0; i < bytes; ++i) {
        unsigned bits = prefix >= (i + 1) * 8 ? 8 : (prefix > i * 8 ? prefix - i * 8 : 0);
        unsigned char mask = static_cast<unsigned char>(bits ? 0xff << (8 - bits) : 0);
        lo[i] = addr[i] & mask;
        hi[i] = static_cast<unsigned char>(addr[i] | ~mask);
    }
}

namespace {

struct Span {
    unsigned char lo[16], hi[16];
};

bool span_of(uint32_t protocol, const std::string &entry, Span *out)
{
    GwNet n;
    if (!gw_entry_parse(protocol, entry, &n))
        return false;
    gw_span(n.addr, n.prefix, n.v4 ? 4 : 16, out->lo, out->hi);
    return true;
}

}  // namespace

int gw_set_check(const GwState &st, const char *set_name, const char *entry, int *present)
{
    if (!set_name || !entry || !present)
        return GW_E_ARG;
    *present = 0;
    const GwSet *set = gw_find_set(st, cut(set_name, sizeof(CsSgw_IPSetInfo_t::SetName)));
    if (!set)
        return GW_E_NOT_FOUND;
    Span want;
    if (!span_of(set->protocol, cut(entry, sizeof(CsSgw_IPSetEntry_t::Entry)), &want))
        return GW_E_ENTRY;
    // The held entries that share addresses with the one asked about, by
    // their first address; they may overlap (the simulator keeps entries as
    // given), so the question is whether together they leave no gap.
    std::vector<Span> near;
    for (const std::string &held : set->entries) {
        Span s;
        if (span_of(set->protocol, held, &s) && memcmp(s.lo, want.hi, 16) <= 0 && memcmp(want.lo, s.hi, 16) <= 0)
            near.push_back(s);
    }
    std::sort(near.begin(), near.end(), [](const Span &a, const Span &b) { return memcmp(a.lo, b.lo, 16) < 0; });
    unsigned bytes = set->protocol == CSSGW_PROTOCOL_IPV4 ? 4 : 16;
    unsigned char need[16];  // the first address not yet known to be held
    memcpy(need, want.lo, 16);
    for (const Span &s : near) {
        if (memcmp(s.hi, need, 16) < 0)
            continue;
        if (memcmp(s.lo, need, 16) > 0)
            break;
        if (memcmp(s.hi, want.hi, 16) >= 0) {
            *present = 1;
            break;
        }
        // s ends before want does, so the address after it exists.
        memcpy(need, s.hi, 16);
        for (unsigned i = bytes; i-- > 0;)
            if (++need[i] != 0)
                break;
    }
    return GW_OK;
}
