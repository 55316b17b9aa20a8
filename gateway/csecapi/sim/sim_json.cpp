#include "gateway/csecapi/sim/sim_json.h"

#include <cerrno>
#include <cmath>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "gateway/gw_fields.h"

namespace {

// 64-bit values below 2^53 are JSON numbers; from 2^53 on a parsed number
// no longer tells neighbours apart (2^53 + 1 reads as 2^53), so such values
// are decimal texts, when written and when read.
constexpr unsigned long long kExactLimit = 1ULL << 53;

struct BadState {
    std::string why;
};

[[noreturn]] void bad(const std::string &where, const char *what)
{
    throw BadState{where + ": " + what};
}

const cJSON *member(const cJSON *obj, const char *key)
{
    return cJSON_GetObjectItemCaseSensitive(obj, key);
}

void need_object(const cJSON *v, const std::string &where)
{
    if (!cJSON_IsObject(v))
        bad(where, "not an object");
}

void need_array(const cJSON *v, const std::string &where)
{
    if (!cJSON_IsArray(v))
        bad(where, "not an array");
}

std::string text(const cJSON *v, const std::string &where)
{
    if (!cJSON_IsString(v) || !v->valuestring)
        bad(where, "not a text");
    return v->valuestring;
}

long long integer(const cJSON *v, long long lo, long long hi, const std::string &where)
{
    if (!cJSON_IsNumber(v))
        bad(where, "not an integer");
    double d = v->valuedouble;
    if (!(d >= static_cast<double>(lo) && d <= static_cast<double>(hi)) || d != std::floor(d))
        bad(where, "not an integer in range");
    return static_cast<long long>(d);
}

// A JSON integer, or a decimal text for values a JSON number cannot carry.
unsigned long long u64(const cJSON *v, const std::string &where)
{
    if (cJSON_IsString(v) && v->valuestring) {
        const char *s = v->valuestring;
        size_t n = strlen(s);
        if (n == 0 || n > 20 || strspn(s, "0123456789") != n)
            bad(where, "not a decimal text");
        errno = 0;
        unsigned long long x = strtoull(s, nullptr, 10);
        if (errno == ERANGE)
            bad(where, "past 64 bits");
        return x;
    }
    if (!cJSON_IsNumber(v))
        bad(where, "not an integer or decimal text");
    // A large number must come as text rather than silently turn into a
    // neighbour.
    double d = v->valuedouble;
    if (!(d >= 0 && d < static_cast<double>(kExactLimit)) || d != std::floor(d))
        bad(where, "not an integer below 2^53 (write larger values as decimal text)");
    return static_cast<unsigned long long>(d);
}

uint32_t u32(const cJSON *v, const std::string &where)
{
    return static_cast<uint32_t>(integer(v, 0, 4294967295LL, where));
}

uint8_t u8(const cJSON *v, const std::string &where)
{
    return static_cast<uint8_t>(integer(v, 0, 255, where));
}

void read_record(const cJSON *obj, const GwField *fields, size_t count, void *rec, const std::string &where)
{
    need_object(obj, where);
    for (size_t i = 0; i < count; ++i) {
        const GwField &f = fields[i];
        const cJSON *v = member(obj, f.key);
        if (!v)
            continue;
        std::string at = where + "." + f.key;
        switch (f.kind) {
        case GW_TEXT:
            gw_set_field(static_cast<char *>(rec) + f.offset, f.size, text(v, at));
            break;
        case GW_U8: gw_field_store(rec, f, 0, u8(v, at)); break;
        case GW_U16: gw_field_store(rec, f, 0, static_cast<unsigned long long>(integer(v, 0, 65535, at))); break;
        case GW_U32: gw_field_store(rec, f, 0, u32(v, at)); break;
        case GW_I32: gw_field_store(rec, f, integer(v, -2147483648LL, 2147483647LL, at), 0); break;
        case GW_U64: gw_field_store(rec, f, 0, u64(v, at)); break;
        }
    }
}

template <typename Rec>
void read_records(const cJSON *arr, const GwField *fields, size_t count, std::vector<Rec> *out, const std::string &where)
{
    need_array(arr, where);
    out->clear();
    int i = 0;
    for (const cJSON *v = arr->child; v; v = v->next, ++i) {
        Rec rec;
        memset(&rec, 0, sizeof rec);
        read_record(v, fields, count, &rec, where + "[" + std::to_string(i) + "]");
        out->push_back(rec);
    }
}

template <size_t N> void read_text(const cJSON *obj, const char *key, char (&field)[N], const std::string &where)
{
    if (const cJSON *v = member(obj, key))
        gw_set_field(field, text(v, where + "." + key));
}

std::vector<std::string> read_names(const cJSON *arr, size_t field_size, const std::string &where)
{
    need_array(arr, where);
    std::vector<std::string> out;
    int i = 0;
    for (const cJSON *v = arr->child; v; v = v->next, ++i) {
        std::string t = text(v, where + "[" + std::to_string(i) + "]");
        out.push_back(t.substr(0, field_size - 1));
    }
    return out;
}

void read_sets(const cJSON *arr, SimState &st)
{
    need_array(arr, "ipsets");
    st.sets.clear();
    std::set<std::string> seen;
    int i = 0;
    for (const cJSON *v = arr->child; v; v = v->next, ++i) {
        std::string at = "ipsets[" + std::to_string(i) + "]";
        need_object(v, at);
        GwSet s;
        const cJSON *name = member(v, "SetName");
        if (!name)
            bad(at, "no SetName");
        s.name = text(name, at + ".SetName").substr(0, sizeof(CsSgw_IPSetInfo_t::SetName) - 1);
        if (s.name.empty())
            bad(at + ".SetName", "empty");
        if (!seen.insert(s.name).second)
            bad(at + ".SetName", "names a set that comes before");
        if (const cJSON *t = member(v, "SetType"))
            s.type = text(t, at + ".SetType").substr(0, sizeof(CsSgw_IPSetInfo_t::SetType) - 1);
        if (const cJSON *p = member(v, "Protocol"))
            s.protocol = u32(p, at + ".Protocol");
        if (const cJSON *d = member(v, "Direction"))
            s.direction = static_cast<uint32_t>(integer(d, 1, 2, at + ".Direction"));
        if (const cJSON *e = member(v, "Entries"))
            s.entries = read_names(e, sizeof(CsSgw_IPSetEntry_t), at + ".Entries");
        st.sets.push_back(std::move(s));
    }
}

void read_rules(const cJSON *arr, SimState &st)
{
    need_array(arr, "rules");
    st.rules.clear();
    std::set<std::string> seen;
    int i = 0;
    for (const cJSON *v = arr->child; v; v = v->next, ++i) {
        std::string at = "rules[" + std::to_string(i) + "]";
        need_object(v, at);
        GwRule r;
        const cJSON *name = member(v, "Name");
        if (!name)
            bad(at, "no Name");
        r.name = text(name, at + ".Name").substr(0, sizeof(CsSgw_TrafficControl_t::Name) - 1);
        if (r.name.empty())
            bad(at + ".Name", "empty");
        if (!seen.insert(r.name).second)
            bad(at + ".Name", "names a rule that comes before");
        if (const cJSON *x = member(v, "Target"))
            r.target = u8(x, at + ".Target");
        if (const cJSON *x = member(v, "Enable"))
            r.enable = u8(x, at + ".Enable");
        if (const cJSON *x = member(v, "Operate"))
            r.operate = u8(x, at + ".Operate");
        if (const cJSON *x = member(v, "Priority"))
            r.priority = u8(x, at + ".Priority");
        if (const cJSON *x = member(v, "Sets"))
            r.sets = read_names(x, sizeof(CsSgw_IPSetName_t), at + ".Sets");
        st.rules.push_back(std::move(r));
    }
}

void read_state(const cJSON *root, SimState &st)
{
    if (!cJSON_IsObject(root))
        bad("state", "not an object");
    if (const cJSON *v = member(root, "mac"))
        gw_set_field(st.mac, text(v, "mac"));
    if (const cJSON *v = member(root, "device"))
        read_record(v, kGwDeviceFields, kGwDeviceFieldCount, &st.device, "device");
    if (const cJSON *v = member(root, "pppoe"))
        read_record(v, kGwPPPoEFields, kGwPPPoEFieldCount, &st.pppoe, "pppoe");
    if (const cJSON *v = member(root, "lan")) {
        need_object(v, "lan");
        read_text(v, "ifname", st.lan_ifname, "lan");
        read_text(v, "ip", st.lan_ip, "lan");
        read_text(v, "mask", st.lan_mask, "lan");
    }
    if (const cJSON *v = member(root, "hosts"))
        read_records(v, kGwHostFields, kGwHostFieldCount, &st.hosts, "hosts");
    if (const cJSON *v = member(root, "matches"))
        read_records(v, kGwMatchFields, kGwMatchFieldCount, &st.matches, "matches");
    if (const cJSON *v = member(root, "ipsets"))
        read_sets(v, st);
    if (const cJSON *v = member(root, "rules"))
        read_rules(v, st);
    if (const cJSON *v = member(root, "limits")) {
        need_object(v, "limits");
        if (const cJSON *x = member(v, "MaxRules"))
            st.limits.max_rules = u32(x, "limits.MaxRules");
        if (const cJSON *x = member(v, "MaxIpsetsPerRule"))
            st.limits.max_sets_per_rule = u32(x, "limits.MaxIpsetsPerRule");
        if (const cJSON *x = member(v, "MaxElementsPerIpset"))
            st.limits.max_entries_per_set = u32(x, "limits.MaxElementsPerIpset");
    }
    if (const cJSON *v = member(root, "fail")) {
        need_object(v, "fail");
        for (const cJSON *x = v->child; x; x = x->next)
            st.fail[x->string] = static_cast<int>(integer(x, -2147483648LL, 2147483647LL,
                                                          std::string("fail.") + x->string));
    }
    if (const cJSON *v = member(root, "fail_leaves_list")) {
        if (!cJSON_IsBool(v))
            bad("fail_leaves_list", "not true or false");
        st.fail_leaves_list = cJSON_IsTrue(v);
    }
}

// Building JSON: cJSON answers nullptr when memory runs out, which becomes
// std::bad_alloc here and -1 or nullptr at the interface.
cJSON *made(cJSON *item)
{
    if (!item)
        throw std::bad_alloc();
    return item;
}

void add(cJSON *obj, const char *key, cJSON *item)
{
    made(item);
    if (!cJSON_AddItemToObject(obj, key, item)) {
        cJSON_Delete(item);
        throw std::bad_alloc();
    }
}

void push(cJSON *arr, cJSON *item)
{
    made(item);
    if (!cJSON_AddItemToArray(arr, item)) {
        cJSON_Delete(item);
        throw std::bad_alloc();
    }
}

cJSON *number_u64(unsigned long long v)
{
    if (v < kExactLimit)
        return cJSON_CreateNumber(static_cast<double>(v));
    char buf[24];
    snprintf(buf, sizeof buf, "%llu", v);
    return cJSON_CreateString(buf);
}

// Owns a tree under construction until it is handed on.
struct Tree {
    cJSON *p;
    explicit Tree(cJSON *made_item) : p(made(made_item)) {}
    ~Tree() { cJSON_Delete(p); }
    cJSON *take()
    {
        cJSON *t = p;
        p = nullptr;
        return t;
    }
};

cJSON *record_json(const void *rec, const GwField *fields, size_t count)
{
    Tree obj(cJSON_CreateObject());
    for (size_t i = 0; i < count; ++i) {
        const GwField &f = fields[i];
        if (f.kind == GW_TEXT) {
            add(obj.p, f.key, cJSON_CreateString(gw_field(static_cast<const char *>(rec) + f.offset, f.size).c_str()));
        } else if (f.kind == GW_U64) {
            add(obj.p, f.key, number_u64(gw_field_unsigned(rec, f)));
        } else if (f.kind == GW_I32) {
            add(obj.p, f.key, cJSON_CreateNumber(static_cast<double>(gw_field_signed(rec, f))));
        } else {
            add(obj.p, f.key, cJSON_CreateNumber(static_cast<double>(gw_field_unsigned(rec, f))));
        }
    }
    return obj.take();
}

template <typename Rec> cJSON *records_json(const std::vector<Rec> &recs, const GwField *fields, size_t count)
{
    Tree arr(cJSON_CreateArray());
    for (const Rec &r : recs)
        push(arr.p, record_json(&r, fields, count));
    return arr.take();
}

cJSON *names_json(const std::vector<std::string> &names)
{
    Tree arr(cJSON_CreateArray());
    for (const std::string &n : names)
        push(arr.p, cJSON_CreateString(n.c_str()));
    return arr.take();
}

cJSON *sets_json(const SimState &st)
{
    Tree arr(cJSON_CreateArray());
    for (const GwSet &s : st.sets) {
        Tree o(cJSON_CreateObject());
        add(o.p, "SetName", cJSON_CreateString(s.name.c_str()));
        add(o.p, "SetType", cJSON_CreateString(s.type.c_str()));
        add(o.p, "Protocol", cJSON_CreateNumber(s.protocol));
        add(o.p, "Direction", cJSON_CreateNumber(s.direction));
        add(o.p, "Entries", names_json(s.entries));
        push(arr.p, o.take());
    }
    return arr.take();
}

cJSON *rules_json(const SimState &st)
{
    Tree arr(cJSON_CreateArray());
    for (const GwRule &r : st.rules) {
        Tree o(cJSON_CreateObject());
        add(o.p, "Name", cJSON_CreateString(r.name.c_str()));
        add(o.p, "Target", cJSON_CreateNumber(r.target));
        add(o.p, "Enable", cJSON_CreateNumber(r.enable));
        add(o.p, "Operate", cJSON_CreateNumber(r.operate));
        add(o.p, "Priority", cJSON_CreateNumber(r.priority));
        add(o.p, "Sets", names_json(r.sets));
        push(arr.p, o.take());
    }
    return arr.take();
}

// The shortest text that reads back as exactly `d`: integers in full, other
// values with as many digits as they need. cJSON's own printer stops at 15
// digits whenever those come within its tolerance, which turns
// 9007199254740991 into 9007199254740990.
void exact_text(double d, char (&buf)[32])
{
    if (d == std::floor(d) && std::fabs(d) < 1e17) {
        snprintf(buf, sizeof buf, "%.0f", d);
        return;
    }
    for (int digits = 15; digits <= 17; ++digits) {
        snprintf(buf, sizeof buf, "%.*g", digits, d);
        if (strtod(buf, nullptr) == d)
            return;
    }
}

// Replaces every finite number under `parent` by a raw item holding its
// exact text. False when memory runs out.
bool exact_numbers(cJSON *parent)
{
    for (cJSON *c = parent->child; c; c = c->next) {
        if (cJSON_IsArray(c) || cJSON_IsObject(c)) {
            if (!exact_numbers(c))
                return false;
            continue;
        }
        if (!cJSON_IsNumber(c) || !std::isfinite(c->valuedouble))
            continue;
        char buf[32];
        exact_text(c->valuedouble, buf);
        cJSON *raw = cJSON_CreateRaw(buf);
        if (!raw)
            return false;
        // The member name moves over to the replacement.
        raw->string = c->string;
        raw->type |= c->type & cJSON_StringIsConst;
        c->string = nullptr;
        cJSON_ReplaceItemViaPointer(parent, c, raw);
        c = raw;
    }
    return true;
}

const char *part_key(SimPart part)
{
    return part == SIM_PART_SETS ? "ipsets" : "rules";
}

CsSgw_LanHostInfo_t host(const char *name, const char *device, const char *mac, const char *ip, const char *link,
                         uint32_t online, uint32_t speed, uint64_t tx, uint64_t rx, const char *radio,
                         const char *protocol, uint32_t channel, int32_t rssi)
{
    CsSgw_LanHostInfo_t h;
    memset(&h, 0, sizeof h);
    gw_set_field(h.hostName, name);
    gw_set_field(h.deviceName, device);
    gw_set_field(h.mac, mac);
    gw_set_field(h.ip, ip);
    gw_set_field(h.linkType, link);
    h.onlineTime = online;
    h.speed = speed;
    h.upSpeed = speed / 10;
    h.downSpeed = speed / 2;
    h.txBytes = tx;
    h.rxBytes = rx;
    gw_set_field(h.radioType, radio);
    gw_set_field(h.protocol, protocol);
    h.channel = channel;
    h.rssi = rssi;
    return h;
}

}  // namespace

void sim_default_state(SimState &st)
{
    st = SimState();
    gw_set_field(st.mac, "02:4b:56:58:00:01");
    CsSgw_DeviceInfo_t &d = st.device;
    gw_set_field(d.vendor, "Korvex");
    gw_set_field(d.productClass, "SimGateway");
    gw_set_field(d.hdVersion, "SIM-HW-1.0");
    gw_set_field(d.swVersion, "SIM-SW-1.0.0");
    gw_set_field(d.kernelVersion, "5.15.0");
    gw_set_field(d.cpuClass, "aarch64");
    gw_set_field(d.sn, "KVXSIM0000000001");
    gw_set_field(d.loid, "sim-loid-0001");
    d.flashSize = 131072;
    d.ramSize = 524288;
    d.cpuUsage = 12;
    d.memUsage = 35;
    d.devWifi = 1;
    d.wifiVersion = 6;
    CsSgw_PPPoEInfo_t &p = st.pppoe;
    gw_set_field(p.wanName, "pppoe-wan");
    gw_set_field(p.pppoeUsername, "sim-user@isp.example");
    gw_set_field(p.pppoePassword, "sim-secret");
    gw_set_field(p.dialMode, "AlwaysOn");
    p.idleTime = 0;
    gw_set_field(st.lan_ifname, "br-lan");
    gw_set_field(st.lan_ip, "192.168.1.1");
    gw_set_field(st.lan_mask, "255.255.255.0");
    st.hosts.push_back(host("laptop", "Work laptop", "02:4b:56:58:10:01", "192.168.1.100", "Ethernet", 3600, 1000,
                            123456789, 9007199254740993ULL, "", "", 0, 0));
    st.hosts.push_back(host("phone", "Phone", "02:4b:56:58:10:02", "192.168.1.101", "WiFi", 600, 866, 2345678,
                            34567890, "5G", "802.11ax", 36, -52));
    CsSgw_MatchInfo_t m;
    memset(&m, 0, sizeof m);
    gw_set_field(m.Name, "filter-forward-block");
    m.Timestamp = 1700000000000ULL;
    gw_set_field(m.Sip, "192.168.1.100");
    gw_set_field(m.Dip, "203.0.113.7");
    m.Sport = 51514;
    m.Dport = 443;
    m.Protocol = 6;
    m.Target = CSSGW_TARGET_DROP;
    gw_set_field(m.Mac, "02:4b:56:58:10:01");
    st.matches.push_back(m);
}

int sim_state_from_json(const cJSON *root, SimState &st, char *why, size_t why_size)
{
    sim_default_state(st);
    try {
        read_state(root, st);
    } catch (const BadState &e) {
        snprintf(why, why_size, "%s", e.why.c_str());
        return -1;
    }
    return 0;
}

cJSON *sim_state_to_json(const SimState &st)
{
    try {
        Tree root(cJSON_CreateObject());
        add(root.p, "mac", cJSON_CreateString(gw_field(st.mac).c_str()));
        add(root.p, "device", record_json(&st.device, kGwDeviceFields, kGwDeviceFieldCount));
        add(root.p, "pppoe", record_json(&st.pppoe, kGwPPPoEFields, kGwPPPoEFieldCount));
        Tree lan(cJSON_CreateObject());
        add(lan.p, "ifname", cJSON_CreateString(gw_field(st.lan_ifname).c_str()));
        add(lan.p, "ip", cJSON_CreateString(gw_field(st.lan_ip).c_str()));
        add(lan.p, "mask", cJSON_CreateString(gw_field(st.lan_mask).c_str()));
        add(root.p, "lan", lan.take());
        add(root.p, "hosts", records_json(st.hosts, kGwHostFields, kGwHostFieldCount));
        add(root.p, "matches", records_json(st.matches, kGwMatchFields, kGwMatchFieldCount));
        add(root.p, "ipsets", sets_json(st));
        add(root.p, "rules", rules_json(st));
        Tree limits(cJSON_CreateObject());
        add(limits.p, "MaxRules", cJSON_CreateNumber(st.limits.max_rules));
        add(limits.p, "MaxIpsetsPerRule", cJSON_CreateNumber(st.limits.max_sets_per_rule));
        add(limits.p, "MaxElementsPerIpset", cJSON_CreateNumber(st.limits.max_entries_per_set));
        add(root.p, "limits", limits.take());
        if (!st.fail.empty()) {
            Tree fail(cJSON_CreateObject());
            for (const auto &f : st.fail)
                add(fail.p, f.first.c_str(), cJSON_CreateNumber(f.second));
            add(root.p, "fail", fail.take());
        }
        if (st.fail_leaves_list)
            add(root.p, "fail_leaves_list", cJSON_CreateTrue());
        return root.take();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int sim_state_update_json(cJSON *root, SimPart part, const SimState &st)
{
    try {
        Tree value(part == SIM_PART_SETS ? sets_json(st) : rules_json(st));
        const char *key = part_key(part);
        if (cJSON_GetObjectItemCaseSensitive(root, key)) {
            if (!cJSON_ReplaceItemInObjectCaseSensitive(root, key, value.p))
                return -1;
            value.take();
            return 0;
        }
        add(root, key, value.take());
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

char *sim_state_print(cJSON *root)
{
    if (!root || !exact_numbers(root))
        return nullptr;
    return cJSON_Print(root);
}
