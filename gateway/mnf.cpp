// c.mnf: the gateway's IP sets and the traffic-control rules that match on
// them, kept by the gateway library. Sets and rules are described by JSON
// texts from the scripts; every call builds what it hands to the library
// and every query fetches the library's lists again.
#include <strings.h>

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway/csecapi.h"
#include "gateway/gw_lua.h"
#include "modules/mod_util.h"
#include "modules/modules.h"

namespace {

constexpr size_t kNameSize = sizeof(CsSgw_IPSetName_t);      // set names, 64 bytes
constexpr size_t kEntrySize = sizeof(CsSgw_IPSetEntry_t);    // entries, 64 bytes
constexpr size_t kRuleNameSize = sizeof(CsSgw_TrafficControl_t::Name);
constexpr size_t kChainPrefixSize = 128;
constexpr size_t kJoinedSize = 256;

// A text field of the library as a bounded C string copy.
void field_copy(char *dst, size_t dst_size, const char *field, size_t field_size)
{
    size_t n = strnlen(field, field_size);
    if (n >= dst_size)
        n = dst_size - 1;
    memcpy(dst, field, n);
    dst[n] = '\0';
}

void push_field(lua_State *L, const char *field, size_t field_size)
{
    lua_pushlstring(L, field, strnlen(field, field_size));
}

bool field_equals(const char *field, size_t field_size, const char *text, size_t len)
{
    return strnlen(field, field_size) == len && memcmp(field, text, len) == 0;
}

// True when the name in `field` is at least as long as `prefix` and begins
// with it.
bool field_has_prefix(const char *field, size_t field_size, const char *prefix)
{
    size_t n = strlen(prefix);
    return strnlen(field, field_size) >= n && memcmp(field, prefix, n) == 0;
}

// A text without zero bytes: the library takes C strings, and a name cut
// at a zero byte would name another set or rule.
bool plain_text(const char *text, size_t len)
{
    return text && strlen(text) == len;
}

// Exactly `n` arguments, each a string (or a number) without zero bytes;
// their texts and lengths go to `texts` and `lens`.
bool string_args(lua_State *L, int n, const char **texts, size_t *lens)
{
    if (!mod_exact_strings(L, n, texts, lens))
        return false;
    for (int i = 0; i < n; ++i)
        if (!plain_text(texts[i], lens[i]))
            return false;
    return true;
}

// Library calls, each wrapped in its log lines.

const char *first_set_name(const CsSgw_IPSetsList_t *list)
{
    return list && list->SetNum > 0 && list->Sets ? list->Sets[0].SetName : "";
}

int ipset_call_add(const CsSgw_IPSetsList_t *list)
{
    const char *op = "__IPSet_Create_And_Add_Entry";
    gw_log_start(op, "csSgw_addIPSets");
    return gw_log_done(op, "csSgw_addIPSets", first_set_name(list), csSgw_addIPSets(list));
}

int ipset_call_del_entry(const CsSgw_IPSetsList_t *list)
{
    const char *op = "__IPSet_Del_Entry";
    gw_log_start(op, "csSgw_deleteIPSetsEntry");
    return gw_log_done(op, "csSgw_deleteIPSetsEntry", first_set_name(list), csSgw_deleteIPSetsEntry(list));
}

int ipset_call_check_entry(const char *name, const char *entry, int *present)
{
    const char *op = "__IPSet_Check_Entry";
    gw_log_start(op, "csSgw_checkIPSetEntry");
    int rc = csSgw_checkIPSetEntry(name, entry, present);
    gw_log_end(op, "csSgw_checkIPSetEntry", rc);
    if (rc != 0)
        log_printf(LVL_ERROR, op, "csSgw_checkIPSetEntry(%s)(%s) failed, ret: %d", name, entry, rc);
    return rc;
}

int ipset_call_names(const char *op, const char *function, int (*call)(const CsSgw_IPSetNameList_t *),
                     const CsSgw_IPSetNameList_t *names)
{
    gw_log_start(op, function);
    return gw_log_done(op, function, names->Sets[0].SetName, call(names));
}

// A release wrapper: logs its call, does nothing for a null list.
template <typename T, int (*Release)(T *)> void release_logged(const char *op, const char *function, void *list)
{
    if (!list)
        return;
    gw_log_start(op, function);
    gw_log_done(op, function, nullptr, Release(static_cast<T *>(list)));
}

void ipset_release_conf(void *list)
{
    release_logged<CsSgw_IPSetsList_t, csSgw_releaseIPSetsAllConf>("__IPSet_Release_All_Conf",
                                                                   "csSgw_releaseIPSetsAllConf", list);
}

void ipset_release_info(void *list)
{
    release_logged<CsSgw_IPSetsList_t, csSgw_releaseIPSetsAllInfo>("__IPSet_Release_All_Info",
                                                                   "csSgw_releaseIPSetsAllInfo", list);
}

void tc_release_conf(void *rule)
{
    release_logged<CsSgw_TrafficControl_t, csSgw_releaseFirewallTrafficControl>(
        "__TC_Release_Conf", "csSgw_releaseFirewallTrafficControl", rule);
}

void tc_release_status(void *list)
{
    release_logged<CsSgw_ProfileStatusList_t, csSgw_releaseTrafficControlAllProfileStatus>(
        "__TC_Release_All_Profile_Status", "csSgw_releaseTrafficControlAllProfileStatus", list);
}

// A get wrapper: the list, or nullptr after a failure (giving back any list
// the library left).
template <typename T>
T *get_logged(const char *op, const char *function, int (*get)(T **), void (*release)(void *))
{
    T *list = nullptr;
    gw_log_start(op, function);
    if (gw_log_done(op, function, nullptr, get(&list)) != 0) {
        release(list);
        return nullptr;
    }
    return list;
}

CsSgw_IPSetsList_t *ipset_get_conf()
{
    return get_logged("__IPSet_Get_All_Conf", "csSgw_getIPSetsAllConf", csSgw_getIPSetsAllConf, ipset_release_conf);
}

CsSgw_IPSetsList_t *ipset_get_info()
{
    return get_logged("__IPSet_Get_All_Info", "csSgw_getIPSetsAllInfo", csSgw_getIPSetsAllInfo, ipset_release_info);
}

CsSgw_ProfileStatusList_t *tc_get_status()
{
    return get_logged("__TC_Get_All_Profile_Status", "csSgw_getTrafficControlAllProfileStatus",
                      csSgw_getTrafficControlAllProfileStatus, tc_release_status);
}

CsSgw_TrafficControl_t *tc_get_conf(const char *name)
{
    const char *op = "__TC_Get_Conf";
    CsSgw_TrafficControl_t *rule = nullptr;
    gw_log_start(op, "csSgw_getFirewallTrafficControl");
    if (gw_log_done(op, "csSgw_getFirewallTrafficControl", name, csSgw_getFirewallTrafficControl(name, &rule)) != 0) {
        tc_release_conf(rule);
        return nullptr;
    }
    return rule;
}

int tc_add(const CsSgw_TrafficControl_t *rule)
{
    const char *op = "__TC_Add";
    gw_log_start(op, "csSgw_addFirewallTrafficControl");
    return gw_log_done(op, "csSgw_addFirewallTrafficControl", rule->Name, csSgw_addFirewallTrafficControl(rule));
}

int tc_delete(const char *name)
{
    const char *op = "__TC_Delete";
    gw_log_start(op, "csSgw_deleteFirewallTrafficControl");
    return gw_log_done(op, "csSgw_deleteFirewallTrafficControl", name, csSgw_deleteFirewallTrafficControl(name));
}

int tc_get_global(CsSgw_TrafficControlProfile_t *limits)
{
    const char *op = "__TC_Get_Global_Profile";
    memset(limits, 0, sizeof *limits);
    gw_log_start(op, "csSgw_getTrafficControlProfile");
    return gw_log_done(op, "csSgw_getTrafficControlProfile", nullptr, csSgw_getTrafficControlProfile(limits));
}

// Descriptors and entry lists.

// True when a string of the JSON text `text` holds the escape \u0000: its
// decoded C string would end there, cutting the value (or member name).
// Called on texts that parsed, so strings and escapes are well formed.
bool has_zero_escape(const char *text, size_t len)
{
    bool in_string = false;
    for (size_t i = 0; i < len; ++i) {
        if (!in_string) {
            in_string = text[i] == '"';
        } else if (text[i] == '"') {
            in_string = false;
        } else if (text[i] == '\\') {
            if (i + 5 < len && memcmp(text + i + 1, "u0000", 5) == 0)
                return true;
            ++i;  // the escaped character
        }
    }
    return false;
}

// One JSON value and nothing after it but white space, with no string
// holding a zero character; anything else is not taken as JSON.
cJSON *parse_logged(const char *op, const char *text, size_t len)
{
    const char *end = nullptr;
    cJSON *json = plain_text(text, len) ? cJSON_ParseWithLengthOpts(text, len, &end, false) : nullptr;
    if (json) {
        size_t at = static_cast<size_t>(end - text);
        while (at < len && strchr(" \t\r\n", text[at]))
            ++at;
        if (at != len || has_zero_escape(text, len)) {
            cJSON_Delete(json);
            json = nullptr;
        }
    }
    if (!json)
        log_printf(LVL_ERROR, op, "parse json(%s) failed", text);
    return json;
}

// The string value of member `key` (any case), or nullptr.
const char *member_text(const cJSON *obj, const char *key)
{
    const cJSON *v = cJSON_GetObjectItem(obj, key);
    return cJSON_IsString(v) ? v->valuestring : nullptr;
}

// Fills a set list for one set and the elements of `entries` (nullptr: no
// entry list). The block is one allocation of 136 + 64 x n bytes.
CsSgw_IPSetsList_t *set_list_new(const char *name, const char *type, const char *direction, const cJSON *entries,
                                 int n)
{
    size_t size = sizeof(CsSgw_IPSetsList_t) + sizeof(CsSgw_IPSetInfo_t) + kEntrySize * static_cast<size_t>(n);
    auto *list = static_cast<CsSgw_IPSetsList_t *>(malloc(size));
    if (!list) {
        log_printf(LVL_ERROR, "_ipset_create_add_del", "malloc %d failed", static_cast<int>(size));
        return nullptr;
    }
    memset(list, 0, size);
    auto *set = reinterpret_cast<CsSgw_IPSetInfo_t *>(list + 1);
    list->SetNum = 1;
    list->Sets = set;
    snprintf(set->SetName, sizeof set->SetName, "%s", name);
    snprintf(set->SetType, sizeof set->SetType, "%s", type);
    set->Protocol = CSSGW_PROTOCOL_IPV4;
    set->Direction = strcasecmp(direction, "dst") == 0 ? CSSGW_DIRECTION_DST : CSSGW_DIRECTION_SRC;
    set->EntryNum = static_cast<uint32_t>(n);
    if (entries) {
        set->Entries = reinterpret_cast<CsSgw_IPSetEntry_t *>(set + 1);
        int i = 0;
        for (const cJSON *e = entries->child; e && i < n; e = e->next, ++i)
            if (cJSON_IsString(e))
                snprintf(set->Entries[i].Entry, kEntrySize, "%s", e->valuestring);
    }
    return list;
}

// Creates a set, adds entries to it, or deletes entries from it. 0 or the
// library's code on a call; -1 when the texts are wrong (logged).
int ipset_create_add_del(const char *desc_text, size_t desc_len, const char *list_text, size_t list_len, bool add)
{
    const char *op = "_ipset_create_add_del";
    cJSON *desc = parse_logged(op, desc_text, desc_len);
    if (!desc)
        return -1;
    const char *name = member_text(desc, "setname");
    const char *type = member_text(desc, "settype");
    const char *direction = member_text(desc, "direction");
    if (!name || !type || !direction) {
        log_printf(LVL_ERROR, op, "lack of elements");
        cJSON_Delete(desc);
        return -1;
    }
    cJSON *entries = nullptr;
    if (list_text) {
        entries = parse_logged(op, list_text, list_len);
        // Only an array is a list of entries.
        if (entries && !cJSON_IsArray(entries)) {
            log_printf(LVL_ERROR, op, "parse json(%s) failed", list_text);
            cJSON_Delete(entries);
            entries = nullptr;
        }
        if (!entries) {
            cJSON_Delete(desc);
            return -1;
        }
    }
    int n = entries ? cJSON_GetArraySize(entries) : 0;
    CsSgw_IPSetsList_t *list = set_list_new(name, type, direction, entries, n);
    int rc = -1;
    if (list) {
        const CsSgw_IPSetInfo_t &set = list->Sets[0];
        if (add) {
            if (list_text)
                log_printf(LVL_INFO, op, "ipset add %s(%s, %s) %d entries(%s)", set.SetName, set.SetType, direction,
                           n, list_text);
            else
                log_printf(LVL_INFO, op, "ipset create %s(%s, %s)", set.SetName, set.SetType, direction);
            rc = ipset_call_add(list);
        } else if (n > 0) {
            log_printf(LVL_INFO, op, "ipset del %s(%s, %s) %d entries(%s)", set.SetName, set.SetType, direction, n,
                       list_text);
            rc = ipset_call_del_entry(list);
        }
    }
    free(list);
    cJSON_Delete(entries);
    cJSON_Delete(desc);
    return rc;
}

// The one-entry list for ipset_add and ipset_del, with the entry (cut to
// 63 characters) taken literally: quotes and backslashes are escaped, so
// that they can neither split it into several entries nor break the list.
char *one_entry_list(const char *entry, size_t len)
{
    char cut[kEntrySize];
    size_t n = len < kEntrySize - 1 ? len : kEntrySize - 1;
    memcpy(cut, entry, n);
    cut[n] = '\0';
    cJSON *arr = cJSON_CreateArray();
    cJSON *item = cJSON_CreateString(cut);
    char *text = nullptr;
    if (arr && item && cJSON_AddItemToArray(arr, item)) {
        item = nullptr;
        text = cJSON_PrintUnformatted(arr);
    }
    cJSON_Delete(item);
    cJSON_Delete(arr);
    return text;
}

int ipset_one_entry(lua_State *L, bool add)
{
    const char *a[2];
    size_t len[2];
    if (!string_args(L, 2, a, len))
        return mod_false(L);
    char *list = one_entry_list(a[1], len[1]);
    if (!list) {
        log_printf(LVL_ERROR, "_ipset_create_add_del", "malloc %d failed", static_cast<int>(len[1]));
        return mod_false(L);
    }
    int rc = ipset_create_add_del(a[0], len[0], list, strlen(list), add);
    free(list);
    return mod_bool(L, rc == 0);
}

int ipset_with_list(lua_State *L, bool add)
{
    const char *a[2];
    size_t len[2];
    if (!string_args(L, 2, a, len))
        return mod_false(L);
    return mod_bool(L, ipset_create_add_del(a[0], len[0], a[1], len[1], add) == 0);
}

// Empties (flush) or removes a set by name. 0 or a failure code.
int ipset_flush_destroy(const char *name, bool flush)
{
    const char *op = "_ipset_flush_destroy";
    size_t size = sizeof(CsSgw_IPSetNameList_t) + kNameSize;
    auto *names = static_cast<CsSgw_IPSetNameList_t *>(calloc(1, size));
    if (!names) {
        log_printf(LVL_ERROR, op, "malloc %d failed", static_cast<int>(size));
        return -1;
    }
    names->SetNum = 1;
    names->Sets = reinterpret_cast<CsSgw_IPSetName_t *>(names + 1);
    snprintf(names->Sets[0].SetName, kNameSize, "%s", name);
    int rc;
    if (flush) {
        log_printf(LVL_INFO, op, "ipset flush %s", names->Sets[0].SetName);
        rc = ipset_call_names("__IPSet_Flush", "csSgw_clearIPSets", csSgw_clearIPSets, names);
    } else {
        log_printf(LVL_INFO, op, "ipset destroy %s", names->Sets[0].SetName);
        rc = ipset_call_names("__IPSet_Destroy", "csSgw_deleteIPSets", csSgw_deleteIPSets, names);
    }
    free(names);
    return rc;
}

int ipset_by_name(lua_State *L, bool flush)
{
    const char *name;
    size_t len;
    if (!string_args(L, 1, &name, &len))
        return mod_false(L);
    return mod_bool(L, ipset_flush_destroy(name, flush) == 0);
}

// Script functions: sets.

int mnf_ipset_check(lua_State *L)
{
    const char *name;
    size_t len;
    if (!string_args(L, 1, &name, &len))
        return mod_false(L);
    CsSgw_IPSetsList_t *list = ipset_get_conf();
    if (!list)
        return mod_false(L);
    bool found = false;
    for (uint32_t i = 0; i < list->SetNum && list->Sets && !found; ++i)
        found = field_equals(list->Sets[i].SetName, kNameSize, name, len);
    ipset_release_conf(list);
    return mod_bool(L, found);
}

int mnf_ipset_create(lua_State *L)
{
    const char *desc;
    size_t len;
    if (!string_args(L, 1, &desc, &len))
        return mod_false(L);
    return mod_bool(L, ipset_create_add_del(desc, len, nullptr, 0, true) == 0);
}

int mnf_ipset_add(lua_State *L) { return ipset_one_entry(L, true); }
int mnf_ipset_del(lua_State *L) { return ipset_one_entry(L, false); }
int mnf_ipset_add_list(lua_State *L) { return ipset_with_list(L, true); }
int mnf_ipset_del_list(lua_State *L) { return ipset_with_list(L, false); }
int mnf_ipset_flush(lua_State *L) { return ipset_by_name(L, true); }
int mnf_ipset_destroy(lua_State *L) { return ipset_by_name(L, false); }

int mnf_ipset_destroy_by_prefix(lua_State *L)
{
    const char *op = "ipset_destroy_by_prefix";
    const char *text;
    size_t len;
    if (!string_args(L, 1, &text, &len))
        return mod_false(L);
    cJSON *prefixes = parse_logged(op, text, len);
    if (prefixes && !cJSON_IsArray(prefixes)) {
        log_printf(LVL_ERROR, op, "parse json(%s) failed", text);
        cJSON_Delete(prefixes);
        prefixes = nullptr;
    }
    if (!prefixes)
        return mod_false(L);
    CsSgw_IPSetsList_t *list = ipset_get_conf();
    if (!list) {
        cJSON_Delete(prefixes);
        return mod_false(L);
    }
    for (const cJSON *p = prefixes->child; p; p = p->next) {
        if (!cJSON_IsString(p))
            continue;
        log_printf(LVL_INFO, op, "will destroy ipset with prefix %s", p->valuestring);
        for (uint32_t i = 0; i < list->SetNum && list->Sets; ++i) {
            if (!field_has_prefix(list->Sets[i].SetName, kNameSize, p->valuestring))
                continue;
            char name[kNameSize];
            field_copy(name, sizeof name, list->Sets[i].SetName, kNameSize);
            ipset_flush_destroy(name, false);
        }
    }
    ipset_release_conf(list);
    cJSON_Delete(prefixes);
    return mod_true(L);
}

int mnf_ipset_test(lua_State *L)
{
    const char *a[2];
    size_t len[2];
    if (!string_args(L, 2, a, len))
        return mod_false(L);
    int present = 0;
    if (ipset_call_check_entry(a[0], a[1], &present) != 0)
        return mod_false(L);
    return mod_bool(L, present != 0);
}

void push_set(lua_State *L, const CsSgw_IPSetInfo_t &set)
{
    lua_createtable(L, 0, 6);
    push_field(L, set.SetName, sizeof set.SetName);
    lua_setfield(L, -2, "SetName");
    push_field(L, set.SetType, sizeof set.SetType);
    lua_setfield(L, -2, "SetType");
    lua_pushstring(L, set.Protocol == CSSGW_PROTOCOL_IPV4 ? "IPv4" : "IPv6");
    lua_setfield(L, -2, "Protocol");
    lua_pushstring(L, set.Direction == CSSGW_DIRECTION_SRC ? "Source" : "Destination");
    lua_setfield(L, -2, "Direction");
    lua_pushinteger(L, set.EntryNum);
    lua_setfield(L, -2, "EntryNum");
    lua_createtable(L, 0, 0);
    for (uint32_t i = 0; i < set.EntryNum && set.Entries; ++i) {
        push_field(L, set.Entries[i].Entry, kEntrySize);
        lua_rawseti(L, -2, static_cast<lua_Integer>(i) + 1);
    }
    lua_setfield(L, -2, "Entries");
}

int mnf_ipset_list(lua_State *L)
{
    size_t filter_len = 0;
    const char *filter = mod_nargs(L) >= 1 ? mod_string(L, 1, &filter_len) : nullptr;
    if (filter && filter_len == 0)
        filter = nullptr;
    GwHold *hold = gw_hold_new(L, ipset_release_info);
    CsSgw_IPSetsList_t *list = ipset_get_info();
    hold->list = list;
    if (!list)
        return mod_nil(L);
    lua_createtable(L, 0, 0);
    lua_Integer n = 0;
    for (uint32_t i = 0; i < list->SetNum && list->Sets; ++i) {
        const CsSgw_IPSetInfo_t &set = list->Sets[i];
        if (filter && !field_equals(set.SetName, kNameSize, filter, filter_len))
            continue;
        push_set(L, set);
        lua_rawseti(L, -2, ++n);
    }
    gw_hold_release(hold);
    return 1;
}

// Script functions: rules.

// Chains and targets need nothing here (rules are removed with chain_flush):
// these answer true.
int mnf_chain_new(lua_State *L) { return mod_true(L); }
int mnf_chain_delete(lua_State *L) { return mod_true(L); }
int mnf_target_test(lua_State *L) { return mod_true(L); }

// The chain prefix "<table>-<chain>-", cut to 127 characters.
void chain_prefix(char (&prefix)[kChainPrefixSize], const char *table, const char *chain)
{
    snprintf(prefix, sizeof prefix, "%s-%s-", table, chain);
}

int mnf_chain_flush(lua_State *L)
{
    const char *a[2];
    size_t len[2];
    if (!string_args(L, 2, a, len))
        return mod_false(L);
    char prefix[kChainPrefixSize];
    chain_prefix(prefix, a[0], a[1]);
    log_printf(LVL_INFO, "chain_flush", "will delete TrafficControl rule with prefix %s", prefix);
    CsSgw_ProfileStatusList_t *status = tc_get_status();
    if (!status)
        return mod_false(L);
    for (uint32_t i = 0; i < status->ProfileNum && status->Profiles; ++i) {
        const CsSgw_ProfileStatus_t &p = status->Profiles[i];
        if (!field_has_prefix(p.Name, kRuleNameSize, prefix))
            continue;
        char name[kRuleNameSize];
        field_copy(name, sizeof name, p.Name, kRuleNameSize);
        log_printf(LVL_INFO, "chain_flush", "TrafficControl delete rule %s", name);
        tc_delete(name);
    }
    tc_release_status(status);
    return mod_true(L);
}

// The rule record for the elements of `ipsets`: one block of 280 + 64 x n
// bytes, names cut to 63 characters; their names joined with "," into
// `joined` (cut to 255 characters) for the log.
CsSgw_TrafficControl_t *rule_new(const char *full_name, bool drop, const cJSON *ipsets, int n, char *joined,
                                 size_t joined_size)
{
    size_t size = sizeof(CsSgw_TrafficControl_t) + kNameSize * static_cast<size_t>(n);
    auto *rule = static_cast<CsSgw_TrafficControl_t *>(calloc(1, size));
    if (!rule)
        return nullptr;
    snprintf(rule->Name, sizeof rule->Name, "%s", full_name);
    rule->Target = drop ? CSSGW_TARGET_DROP : CSSGW_TARGET_ACCEPT;
    rule->Enable = 1;
    rule->Operate = 1;
    rule->Priority = 0;
    rule->SetNum = static_cast<uint32_t>(n);
    rule->SetNames = reinterpret_cast<CsSgw_IPSetName_t *>(rule + 1);
    joined[0] = '\0';
    size_t used = 0;
    int i = 0;
    for (const cJSON *e = ipsets->child; e && i < n; e = e->next, ++i) {
        const char *set = member_text(e, "setname");
        if (!set)
            continue;
        snprintf(rule->SetNames[i].SetName, kNameSize, "%s", set);
        if (used < joined_size - 1) {
            int w = snprintf(joined + used, joined_size - used, "%s%s", used > 0 ? "," : "", set);
            used = w < 0 ? used : used + static_cast<size_t>(w);
            if (used > joined_size - 1)
                used = joined_size - 1;
        }
    }
    return rule;
}

// Adds or deletes the rule a descriptor gives. 1 (true) or 0 (false).
bool rule_handle(const char *text, size_t len, bool add)
{
    const char *op = "_rule_handle";
    cJSON *desc = parse_logged(op, text, len);
    if (!desc)
        return false;
    const char *rule_name = member_text(desc, "rule_name");
    const char *table = member_text(desc, "table_name");
    const char *chain = member_text(desc, "chain_name");
    const char *target = member_text(desc, "target");
    const cJSON *ipsets = add ? cJSON_GetObjectItem(desc, "ipsets") : nullptr;
    // A present "ipsets" that is no array cannot be taken as "no sets".
    if (!rule_name || !table || !chain || !target || (ipsets && !cJSON_IsArray(ipsets))) {
        log_printf(LVL_ERROR, op, "lack of elements");
        cJSON_Delete(desc);
        return false;
    }
    bool drop = strcmp(target, "DROP") == 0;
    if (!drop && strcmp(target, "ACCEPT") != 0) {
        cJSON_Delete(desc);
        return true;
    }
    char prefix[kChainPrefixSize];
    chain_prefix(prefix, table, chain);
    char full[kRuleNameSize];
    snprintf(full, sizeof full, "%s%s", prefix, rule_name);
    bool ok = true;
    if (!add) {
        log_printf(LVL_INFO, op, "TrafficControl delete rule %s", full);
        ok = tc_delete(full) == 0;
    } else if (ipsets && cJSON_GetArraySize(ipsets) > 0) {
        int n = cJSON_GetArraySize(ipsets);
        char joined[kJoinedSize];
        CsSgw_TrafficControl_t *rule = rule_new(full, drop, ipsets, n, joined, sizeof joined);
        if (rule) {
            log_printf(LVL_INFO, op, "TrafficControl add rule %s, Target(%s) SetNum(%d) Sets(%s)", full, target, n,
                       joined);
            ok = tc_add(rule) == 0;
            free(rule);
        } else {
            ok = false;
        }
    }
    cJSON_Delete(desc);
    return ok;
}

int rule_by_descriptor(lua_State *L, bool add)
{
    const char *text;
    size_t len;
    if (!string_args(L, 1, &text, &len))
        return mod_false(L);
    return mod_bool(L, rule_handle(text, len, add));
}

int mnf_rule_append(lua_State *L) { return rule_by_descriptor(L, true); }
int mnf_rule_insert(lua_State *L) { return rule_by_descriptor(L, true); }
int mnf_rule_delete(lua_State *L) { return rule_by_descriptor(L, false); }

void set_integer(lua_State *L, const char *key, lua_Integer v)
{
    lua_pushinteger(L, v);
    lua_setfield(L, -2, key);
}

// One rule table: the rule record's fields and the status entry's set usage.
void push_rule(lua_State *L, const CsSgw_TrafficControl_t &rule, const CsSgw_ProfileStatus_t &status)
{
    lua_createtable(L, 0, 6);
    push_field(L, rule.Name, sizeof rule.Name);
    lua_setfield(L, -2, "Name");
    lua_pushstring(L, rule.Target == CSSGW_TARGET_DROP ? "DROP" : "ACCEPT");
    lua_setfield(L, -2, "Target");
    set_integer(L, "Enable", rule.Enable);
    lua_pushstring(L, rule.Operate == 1 ? "AND" : "OR");
    lua_setfield(L, -2, "Operate");
    set_integer(L, "Priority", rule.Priority);
    lua_createtable(L, 0, 3);
    set_integer(L, "SetNum", status.SetNum);
    set_integer(L, "MaxSetNum", status.MaxSetNum);
    lua_createtable(L, 0, 0);
    for (uint32_t i = 0; i < status.SetNum && status.Sets; ++i) {
        const CsSgw_IPSetUsage_t &u = status.Sets[i];
        lua_createtable(L, 0, 4);
        push_field(L, u.SetName, sizeof u.SetName);
        lua_setfield(L, -2, "SetName");
        push_field(L, u.SetType, sizeof u.SetType);
        lua_setfield(L, -2, "SetType");
        set_integer(L, "EntryNum", u.EntryNum);
        set_integer(L, "MaxEntryNum", u.MaxEntryNum);
        lua_rawseti(L, -2, static_cast<lua_Integer>(i) + 1);
    }
    lua_setfield(L, -2, "sets");
    lua_setfield(L, -2, "IPSetsProfile");
}

int mnf_rule_list(lua_State *L)
{
    char prefix[kChainPrefixSize];
    prefix[0] = '\0';
    size_t table_len = 0;
    size_t chain_len = 0;
    const char *table = mod_nargs(L) >= 2 ? mod_string(L, 1, &table_len) : nullptr;
    const char *chain = mod_nargs(L) >= 2 ? mod_string(L, 2, &chain_len) : nullptr;
    // No rule name holds a zero byte: such a filter matches no rule.
    bool match_none = table && chain && !(plain_text(table, table_len) && plain_text(chain, chain_len));
    if (table && chain)
        chain_prefix(prefix, table, chain);

    GwHold *status_hold = gw_hold_new(L, tc_release_status);
    GwHold *rule_hold = gw_hold_new(L, tc_release_conf);
    CsSgw_TrafficControlProfile_t limits;
    if (tc_get_global(&limits) != 0)
        return mod_nil(L);
    CsSgw_ProfileStatusList_t *status = tc_get_status();
    status_hold->list = status;
    if (!status)
        return mod_nil(L);

    lua_createtable(L, 0, 2);
    lua_createtable(L, 0, 3);
    set_integer(L, "MaxTrafficControl", limits.MaxRules);
    set_integer(L, "MaxIPSet", limits.MaxIpsetsPerRule);
    set_integer(L, "MaxIPSetEntry", limits.MaxElementsPerIpset);
    lua_setfield(L, -2, "global");
    lua_createtable(L, 0, 0);
    lua_Integer n = 0;
    for (uint32_t i = 0; i < status->ProfileNum && status->Profiles; ++i) {
        const CsSgw_ProfileStatus_t &p = status->Profiles[i];
        if (match_none || !field_has_prefix(p.Name, kRuleNameSize, prefix))
            continue;
        char name[kRuleNameSize];
        field_copy(name, sizeof name, p.Name, kRuleNameSize);
        CsSgw_TrafficControl_t *rule = tc_get_conf(name);
        rule_hold->list = rule;
        if (!rule)
            continue;
        if (rule->SetNum != p.SetNum)
            log_printf(LVL_ERROR, "rule_list", "CsSgw_IPSetsInfo_t.SetNum(%u) is different with IPSetsProfile.SetNum(%u)",
                       rule->SetNum, p.SetNum);
        push_rule(L, *rule, p);
        lua_rawseti(L, -2, ++n);
        gw_hold_release(rule_hold);
    }
    lua_setfield(L, -2, "profiles");
    gw_hold_release(status_hold);
    return 1;
}

int mnf_get_profile(lua_State *L)
{
    CsSgw_TrafficControlProfile_t limits;
    if (tc_get_global(&limits) != 0)
        return mod_nil(L);
    lua_createtable(L, 0, 3);
    set_integer(L, "MaxRules", limits.MaxRules);
    set_integer(L, "MaxIpsetsPerRule", limits.MaxIpsetsPerRule);
    set_integer(L, "MaxElementsPerIpset", limits.MaxElementsPerIpset);
    return 1;
}

const luaL_Reg kMnfFuncs[] = {
    {"ipset_check", mnf_ipset_check},
    {"ipset_create", mnf_ipset_create},
    {"ipset_add", mnf_ipset_add},
    {"ipset_del", mnf_ipset_del},
    {"ipset_add_list", mnf_ipset_add_list},
    {"ipset_del_list", mnf_ipset_del_list},
    {"ipset_flush", mnf_ipset_flush},
    {"ipset_destroy", mnf_ipset_destroy},
    {"ipset_destroy_by_prefix", mnf_ipset_destroy_by_prefix},
    {"ipset_test", mnf_ipset_test},
    {"ipset_list", mnf_ipset_list},
    {"chain_new", mnf_chain_new},
    {"chain_flush", mnf_chain_flush},
    {"chain_delete", mnf_chain_delete},
    {"rule_append", mnf_rule_append},
    {"rule_insert", mnf_rule_insert},
    {"rule_delete", mnf_rule_delete},
    {"rule_list", mnf_rule_list},
    {"target_test", mnf_target_test},
    {"get_profile", mnf_get_profile},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_c_mnf(lua_State *L)
{
    mod_open(L, kMnfFuncs, 20);
    return 1;
}
