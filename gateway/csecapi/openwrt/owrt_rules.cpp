// Traffic-control rules of the OpenWrt backend. A rule is the named counter
// of its full name (up to 255 characters, which an nft comment could not
// hold) and its rules in the forward-hook chain of "inet korvex": one that
// looks up all its sets (AND) or one per set (OR), each counting into that
// counter and ending in drop or accept (a disabled rule only counts). They
// match the first packet of a flow (ct state new), and the chain keeps
// the rules in priority order, lower first, a new rule after those of its
// priority. Each carries the rule's fields in its comment. Rules are
// written with libnftables' JSON input, so no name is ever read as nft
// syntax.
#include <cjson/cJSON.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "gateway/csecapi/openwrt/owrt.h"

namespace {

constexpr size_t kRuleNameMax = sizeof(CsSgw_TrafficControl_t::Name) - 1;

// Where our base chain sits: just before fw4's filter chains (priority 0).
constexpr int kChainPriority = -10;

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

cJSON *object_of(const char *kind, cJSON *body)
{
    cJSON *o = cJSON_CreateObject();
    cJSON_AddItemToObject(o, kind, body);
    return o;
}

// {"family":"inet","table":"korvex", ...}
cJSON *in_table(bool table_object = false)
{
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "family", kNftFamily);
    cJSON_AddStringToObject(o, table_object ? "name" : "table", kNftTable);
    return o;
}

cJSON *command(const char *verb, const char *kind, cJSON *body)
{
    return object_of(verb, object_of(kind, body));
}

cJSON *match(cJSON *left, const char *op, cJSON *right)
{
    cJSON *m = cJSON_CreateObject();
    cJSON_AddStringToObject(m, "op", op);
    cJSON_AddItemToObject(m, "left", left);
    cJSON_AddItemToObject(m, "right", right);
    return object_of("match", m);
}

// ct state new
cJSON *new_flows()
{
    cJSON *ct = cJSON_CreateObject();
    cJSON_AddStringToObject(ct, "key", "state");
    return match(object_of("ct", ct), "in", cJSON_CreateString("new"));
}

// ip daddr @ipset_<name>, and so on by the set's protocol and direction.
cJSON *lookup(const NftSet &s)
{
    cJSON *p = cJSON_CreateObject();
    cJSON_AddStringToObject(p, "protocol", s.protocol == CSSGW_PROTOCOL_IPV4 ? "ip" : "ip6");
    cJSON_AddStringToObject(p, "field", s.direction == CSSGW_DIRECTION_SRC ? "saddr" : "daddr");
    return match(object_of("payload", p), "==", cJSON_CreateString((std::string("@") + kNftSetPrefix + s.name).c_str()));
}

// One chain rule of `rule` looking up `sets`; inserted before the rule of
// handle `before`, or appended when it is 0.
cJSON *part(const CsSgw_TrafficControl_t &rule, const std::string &name, const std::vector<const NftSet *> &sets,
            uint64_t before)
{
    cJSON *r = in_table();
    cJSON_AddStringToObject(r, "chain", kNftChain);
    if (before)
        cJSON_AddNumberToObject(r, "handle", static_cast<double>(before));
    char comment[96];
    snprintf(comment, sizeof comment, "korvex target=%u enable=%u operate=%u priority=%u", rule.Target, rule.Enable,
             rule.Operate, rule.Priority);
    cJSON_AddStringToObject(r, "comment", comment);
    cJSON *expr = cJSON_AddArrayToObject(r, "expr");
    cJSON_AddItemToArray(expr, new_flows());
    for (const NftSet *s : sets)
        cJSON_AddItemToArray(expr, lookup(*s));
    cJSON_AddItemToArray(expr, object_of("counter", cJSON_CreateString(name.c_str())));
    if (rule.Enable)
        cJSON_AddItemToArray(expr, object_of(rule.Target == CSSGW_TARGET_DROP ? "drop" : "accept", cJSON_CreateNull()));
    return command(before ? "insert" : "add", "rule", r);
}

cJSON *delete_part(uint64_t handle)
{
    cJSON *r = in_table();
    cJSON_AddStringToObject(r, "chain", kNftChain);
    cJSON_AddNumberToObject(r, "handle", static_cast<double>(handle));
    return command("delete", "rule", r);
}

cJSON *counter(const char *verb, const std::string &name)
{
    cJSON *c = in_table();
    cJSON_AddStringToObject(c, "name", name.c_str());
    return command(verb, "counter", c);
}

cJSON *base_chain()
{
    cJSON *c = in_table();
    cJSON_AddStringToObject(c, "name", kNftChain);
    cJSON_AddStringToObject(c, "type", "filter");
    cJSON_AddStringToObject(c, "hook", "forward");
    cJSON_AddNumberToObject(c, "prio", kChainPriority);
    cJSON_AddStringToObject(c, "policy", "accept");
    return command("add", "chain", c);
}

// Runs the commands of `batch` as one transaction.
int run(Json batch)
{
    Json root(object_of("nftables", batch.release()), cJSON_Delete);
    std::unique_ptr<char, decltype(&free)> text(cJSON_PrintUnformatted(root.get()), free);
    if (!text)
        return GW_E_NOMEM;
    return nft_run_json(text.get());
}

bool has_counter(const NftTable &t, const std::string &name)
{
    for (const std::string &c : t.counters)
        if (c == name)
            return true;
    return false;
}

// The handle the new rule's parts go before (0: the end of the chain): the
// first part of the first other rule of a higher priority, or, when the
// rule keeps its place, of the rule that follows it.
uint64_t place(const NftTable &t, const std::string &name, uint8_t priority)
{
    GwState st;
    nft_to_state(t, &st, false);
    const GwRule *old = nullptr;
    for (const GwRule &r : st.rules)
        if (r.name == name)
            old = &r;
    bool keep = old && old->priority == priority;
    bool passed = false;
    for (const NftPart &p : t.parts) {
        if (p.rule == name) {
            passed = true;
            continue;
        }
        for (const GwRule &r : st.rules) {
            if (r.name != p.rule)
                continue;
            if (keep ? passed : r.priority > priority)
                return p.handle;
        }
    }
    return 0;
}

}  // namespace

int owrt_rule_add(const CsSgw_TrafficControl_t *rule)
{
    GwRule r;
    if (int rc = gw_rule_record_check(rule, kOwrtAccepts, &r))
        return rc;
    const std::string &name = r.name;
    NftLock lock(true);
    NftTable t;
    GwState st;
    if (int rc = nft_change_begin(lock, &st.limits, &t))
        return rc;
    nft_to_state(t, &st, true);
    bool replaces = false;
    if (int rc = gw_rule_check(st, r, &replaces))
        return rc;
    std::vector<const NftSet *> sets;
    for (const std::string &set : r.sets)
        sets.push_back(nft_find_set(t, set));

    uint64_t before = place(t, name, rule->Priority);
    Json holder(cJSON_CreateArray(), cJSON_Delete);
    cJSON *batch = holder.get();
    cJSON_AddItemToArray(batch, command("add", "table", in_table(true)));
    cJSON_AddItemToArray(batch, base_chain());
    // A rule of an existing name is replaced; its counter counts on.
    if (!has_counter(t, name))
        cJSON_AddItemToArray(batch, counter("add", name));
    for (const NftPart &p : t.parts)
        if (p.rule == name)
            cJSON_AddItemToArray(batch, delete_part(p.handle));
    if (rule->Operate == 1) {
        cJSON_AddItemToArray(batch, part(*rule, name, sets, before));
    } else {
        for (const NftSet *s : sets)
            cJSON_AddItemToArray(batch, part(*rule, name, {s}, before));
    }
    return run(std::move(holder));
}

int owrt_rule_delete(const char *name)
{
    std::string n;
    if (int rc = gw_rule_name_check(name, kOwrtAccepts, &n))
        return rc;
    NftLock lock(true);
    NftTable t;
    if (int rc = nft_change_begin(lock, nullptr, &t))
        return rc;
    Json holder(cJSON_CreateArray(), cJSON_Delete);
    cJSON *batch = holder.get();
    for (const NftPart &p : t.parts)
        if (p.rule == n)
            cJSON_AddItemToArray(batch, delete_part(p.handle));
    if (cJSON_GetArraySize(batch) == 0)
        return GW_E_NOT_FOUND;
    if (has_counter(t, n))
        cJSON_AddItemToArray(batch, counter("delete", n));
    if (nft_table_empty_without(t, {}, {n}))
        cJSON_AddItemToArray(batch, command("delete", "table", in_table(true)));
    return run(std::move(holder));
}

int owrt_rule_find(const char *name, GwRule *out)
{
    std::string n(name, strnlen(name, kRuleNameMax));
    NftLock lock(false);
    NftTable t;
    if (int rc = nft_read(false, &t))
        return rc;
    GwState st;
    nft_to_state(t, &st, false);
    for (GwRule &r : st.rules) {
        if (r.name == n) {
            *out = std::move(r);
            return GW_OK;
        }
    }
    return GW_E_NOT_FOUND;
}

int owrt_status_state(GwState *st, std::map<std::string, uint64_t> *counts)
{
    if (int rc = owrt_limits(&st->limits))
        return rc;
    NftLock lock(false);
    NftTable t;
    if (int rc = nft_read(false, &t))
        return rc;
    nft_to_state(t, st, true);
    // The entry counts kept beside the sets; a set without one (made by
    // hand) is counted, if a rule uses it.
    for (const NftSet &s : t.sets) {
        if (s.counted) {
            (*counts)[s.name] = s.count;
            continue;
        }
        bool used = false;
        for (const GwRule &r : st->rules)
            used = used || std::find(r.sets.begin(), r.sets.end(), s.name) != r.sets.end();
        if (!used)
            continue;
        std::vector<NftEntry> entries;
        int rc = nl_set_entries(s.name, s.protocol == CSSGW_PROTOCOL_IPV4, &entries);
        if (rc && rc != GW_E_NOT_FOUND)
            return rc;
        (*counts)[s.name] = entries.size();
    }
    return GW_OK;
}
