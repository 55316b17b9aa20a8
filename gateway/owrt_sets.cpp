// IP sets of the OpenWrt backend: nft sets of IPv4 or IPv6 addresses with
// intervals in the table "inet korvex", named "ipset_<name>", whose comment
// keeps the direction and the type text. Every change reads the sets it
// touches back from the kernel, checks the whole list against them and the
// limits, and goes in as one nft transaction, so a list is taken whole or
// not at all.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "gateway/owrt.h"

namespace {

constexpr size_t kSetNameMax = sizeof(CsSgw_IPSetName_t) - 1;
constexpr size_t kEntryMax = sizeof(CsSgw_IPSetEntry_t) - 1;

std::string table_ref()
{
    return std::string(kNftFamily) + " " + kNftTable;
}

std::string set_ref(const std::string &name)
{
    return table_ref() + " " + kNftSetPrefix + name;
}

// The type text in the comment: bytes nft could read as the end of the
// string, or that are not printable, as %XX.
std::string escape(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c > 0x20 && c < 0x7f && c != '"' && c != '%' && c != '\\' && c != '\'') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string comment_of(const NftSet &s)
{
    std::string c = s.direction == CSSGW_DIRECTION_SRC ? "src" : "dst";
    return s.type.empty() ? c : c + " " + escape(s.type);
}

// The address bytes as text nft always reads: dotted IPv4, IPv6 in eight
// groups.
std::string address_text(bool v4, const unsigned char *a)
{
    char buf[64];
    if (v4) {
        snprintf(buf, sizeof buf, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    } else {
        int n = 0;
        for (int i = 0; i < 16; i += 2)
            n += snprintf(buf + n, sizeof buf - n, "%s%x", i ? ":" : "", (a[i] << 8) | a[i + 1]);
    }
    return buf;
}

// lo = the address with the bits past `prefix` cleared, hi = with them set.
void span(const unsigned char *addr, unsigned prefix, unsigned bytes, unsigned char lo[16], unsigned char hi[16])
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

// The text of the addresses lo..hi: a network when they form one, else a
// range, built from the bytes only.
std::string span_text(bool v4, const unsigned char lo[16], const unsigned char hi[16])
{
    unsigned bits = v4 ? 32 : 128, prefix = bits;
    for (unsigned b = 0; b < bits; ++b) {
        bool l = lo[b / 8] & (0x80 >> (b % 8)), h = hi[b / 8] & (0x80 >> (b % 8));
        if (l != h) {
            prefix = b;
            break;
        }
    }
    unsigned char low[16], high[16];
    span(lo, prefix, v4 ? 4 : 16, low, high);
    if (memcmp(low, lo, 16) != 0 || memcmp(high, hi, 16) != 0)
        return address_text(v4, lo) + "-" + address_text(v4, hi);
    return prefix == bits ? address_text(v4, lo) : address_text(v4, lo) + "/" + std::to_string(prefix);
}

bool parse_address(uint32_t protocol, const std::string &text, unsigned char out[16])
{
    memset(out, 0, 16);
    return inet_pton(protocol == CSSGW_PROTOCOL_IPV4 ? AF_INET : AF_INET6, text.c_str(), out) == 1;
}

bool entry_less(const NftEntry &a, const NftEntry &b)
{
    int c = memcmp(a.lo, b.lo, 16);
    return c < 0 || (c == 0 && memcmp(a.hi, b.hi, 16) < 0);
}

// The entries sorted by their addresses, each once.
std::vector<NftEntry> sorted_unique(std::vector<NftEntry> v)
{
    std::sort(v.begin(), v.end(), entry_less);
    v.erase(std::unique(v.begin(), v.end(), owrt_entry_same), v.end());
    return v;
}

// A set as a change sees it: as read from the kernel (entries read when
// first needed) or about to be made, with what the change adds or removes.
struct Work {
    NftSet set;
    bool fresh = false;
    std::vector<NftEntry> entries;  // what the set will hold, sorted
    std::vector<NftEntry> added, removed;
};

Work *find_work(std::vector<Work> &work, const std::string &name)
{
    for (Work &w : work)
        if (w.set.name == name)
            return &w;
    return nullptr;
}

// The work item of a set of the list: taken from `work`, from the kernel
// (entries read), or, with `create`, made from the record.
int work_for(const NftTable &t, std::vector<Work> &work, const CsSgw_IPSetInfo_t &rec, bool create, Work **out)
{
    std::string name = gw_field(rec.SetName);
    if (name.empty())
        return GW_E_ARG;
    if (!owrt_name_valid(name, kSetNameMax))
        return GW_E_NAME;
    if (rec.EntryNum > 0 && !rec.Entries)
        return GW_E_ARG;
    if ((*out = find_work(work, name)))
        return GW_OK;
    Work w;
    const NftSet *have = nft_find_set(t, name);
    if (have) {
        w.set = *have;
        std::vector<std::string> listed;
        if (int rc = nft_read_entries(name, &listed))
            return rc;
        for (const std::string &l : listed) {
            NftEntry e;
            if (owrt_listed_entry(w.set.protocol, l, &e))
                w.entries.push_back(e);
        }
        w.entries = sorted_unique(std::move(w.entries));
    } else if (create) {
        w.fresh = true;
        w.set.name = name;
        w.set.type = gw_field(rec.SetType);
        w.set.protocol = rec.Protocol == CSSGW_PROTOCOL_IPV4 ? CSSGW_PROTOCOL_IPV4 : kNftProtocolIPv6;
        w.set.direction = rec.Direction == CSSGW_DIRECTION_SRC ? CSSGW_DIRECTION_SRC : CSSGW_DIRECTION_DST;
    } else {
        return GW_E_NOT_FOUND;
    }
    work.push_back(std::move(w));
    *out = &work.back();
    return GW_OK;
}

bool holds_sorted(const std::vector<NftEntry> &sorted, const NftEntry &e)
{
    return std::binary_search(sorted.begin(), sorted.end(), e, entry_less);
}

// The entries of a record in the set's protocol; GW_E_ENTRY (adding) or
// GW_E_NOT_FOUND (deleting: such an entry cannot be in the set) for one
// that is no address or network of it.
int record_entries(const CsSgw_IPSetInfo_t &rec, uint32_t protocol, int bad, std::vector<NftEntry> *out)
{
    out->resize(rec.EntryNum);
    for (uint32_t i = 0; i < rec.EntryNum; ++i)
        if (!owrt_entry(protocol, gw_field(rec.Entries[i].Entry), &(*out)[i]))
            return bad;
    *out = sorted_unique(std::move(*out));
    return GW_OK;
}

int add_record(const NftTable &t, std::vector<Work> &work, const CsSgw_IPSetInfo_t &rec, const GwLimits &limits)
{
    Work *w;
    if (int rc = work_for(t, work, rec, true, &w))
        return rc;
    std::vector<NftEntry> given, fresh;
    if (int rc = record_entries(rec, w->set.protocol, GW_E_ENTRY, &given))
        return rc;
    // An entry the set holds already is kept once.
    for (const NftEntry &e : given)
        if (!holds_sorted(w->entries, e))
            fresh.push_back(e);
    if (w->entries.size() + fresh.size() > limits.max_entries_per_set)
        return GW_E_LIMIT;
    std::vector<NftEntry> all = w->entries;
    all.insert(all.end(), fresh.begin(), fresh.end());
    all = sorted_unique(std::move(all));
    for (size_t i = 1; i < all.size(); ++i)
        if (owrt_entry_overlap(all[i - 1], all[i]))
            return GW_E_OVERLAP;
    w->entries.swap(all);
    w->added.insert(w->added.end(), fresh.begin(), fresh.end());
    return GW_OK;
}

int delete_record(const NftTable &t, std::vector<Work> &work, const CsSgw_IPSetInfo_t &rec)
{
    Work *w;
    if (int rc = work_for(t, work, rec, false, &w))
        return rc;
    std::vector<NftEntry> gone;
    if (int rc = record_entries(rec, w->set.protocol, GW_E_NOT_FOUND, &gone))
        return rc;
    for (const NftEntry &e : gone)
        if (!holds_sorted(w->entries, e))
            return GW_E_NOT_FOUND;
    std::vector<NftEntry> kept;
    for (const NftEntry &e : w->entries)
        if (!holds_sorted(gone, e))
            kept.push_back(e);
    w->entries.swap(kept);
    w->removed.insert(w->removed.end(), gone.begin(), gone.end());
    return GW_OK;
}

std::string element_list(const std::vector<NftEntry> &entries)
{
    std::string out = "{ ";
    for (size_t i = 0; i < entries.size(); ++i) {
        out += i ? ", " : "";
        out += entries[i].text;
    }
    return out + " }";
}

// Whether removing entries is cheaper as emptying the set and adding back
// what stays (in the same transaction): nft's removal from an interval set
// costs in proportion to the set's size for every entry removed.
bool rebuild(const Work &w)
{
    size_t before = w.entries.size() + w.removed.size();
    return w.removed.size() * before > 8 * w.entries.size();
}

// The batch of a list of changes: the sets made, then the elements added
// and removed.
std::string batch_of(const std::vector<Work> &work)
{
    std::string batch = "add table " + table_ref() + "\n";
    for (const Work &w : work) {
        const NftSet &s = w.set;
        if (w.fresh)
            batch += "add set " + set_ref(s.name) + " { type " +
                     (s.protocol == CSSGW_PROTOCOL_IPV4 ? "ipv4_addr" : "ipv6_addr") +
                     "; flags interval; comment \"" + comment_of(s) + "\"; }\n";
        if (!w.removed.empty() && rebuild(w)) {
            batch += "flush set " + set_ref(s.name) + "\n";
            if (!w.entries.empty())
                batch += "add element " + set_ref(s.name) + " " + element_list(w.entries) + "\n";
            continue;
        }
        if (!w.added.empty())
            batch += "add element " + set_ref(s.name) + " " + element_list(w.added) + "\n";
        if (!w.removed.empty())
            batch += "delete element " + set_ref(s.name) + " " + element_list(w.removed) + "\n";
    }
    return batch;
}

bool nothing_to_do(const std::vector<Work> &work)
{
    for (const Work &w : work)
        if (w.fresh || !w.added.empty() || !w.removed.empty())
            return false;
    return true;
}

template <typename Fn> int change_sets(const CsSgw_IPSetsList_t *list, Fn each)
{
    if (!list || (list->SetNum > 0 && !list->Sets))
        return GW_E_ARG;
    NftLock lock(true);
    GwLimits limits;
    NftTable t;
    if (int rc = nft_change_begin(lock, &limits, &t))
        return rc;
    std::vector<Work> work;
    for (uint32_t i = 0; i < list->SetNum; ++i)
        if (int rc = each(t, work, list->Sets[i], limits))
            return rc;
    return nothing_to_do(work) ? GW_OK : nft_run_text(batch_of(work));
}

// The set names of a name list, each checked to name one of our sets.
int names_of(const NftTable &t, const CsSgw_IPSetNameList_t *names, std::vector<std::string> *out)
{
    if (!names || (names->SetNum > 0 && !names->Sets))
        return GW_E_ARG;
    for (uint32_t i = 0; i < names->SetNum; ++i) {
        std::string name = gw_field(names->Sets[i].SetName);
        if (!owrt_name_valid(name, kSetNameMax))
            return name.empty() ? GW_E_ARG : GW_E_NAME;
        if (!nft_find_set(t, name))
            return GW_E_NOT_FOUND;
        out->push_back(name);
    }
    return GW_OK;
}

// A change of the sets a name list names: `batch_for(t, names, &batch)`
// writes its batch.
template <typename Fn> int change_names(const CsSgw_IPSetNameList_t *names, Fn batch_for)
{
    NftLock lock(true);
    NftTable t;
    std::vector<std::string> list;
    if (int rc = nft_change_begin(lock, nullptr, &t))
        return rc;
    if (int rc = names_of(t, names, &list))
        return rc;
    std::string batch;
    if (int rc = batch_for(t, list, &batch))
        return rc;
    return batch.empty() ? GW_OK : nft_run_text(batch);
}

}  // namespace

bool owrt_entry(uint32_t protocol, const std::string &entry, NftEntry *out, bool *host_bits)
{
    GwNet n;
    if (host_bits)
        *host_bits = false;
    if (!gw_entry_parse(protocol, entry, &n))
        return false;
    unsigned bytes = n.v4 ? 4 : 16;
    span(n.addr, n.prefix, bytes, out->lo, out->hi);
    if (memcmp(out->lo, n.addr, bytes) != 0) {
        if (host_bits)
            *host_bits = true;
        return false;
    }
    out->text = address_text(n.v4, n.addr);
    if (n.prefix < bytes * 8)
        out->text += "/" + std::to_string(n.prefix);
    return true;
}

bool owrt_listed_entry(uint32_t protocol, const std::string &listed, NftEntry *out)
{
    unsigned bytes = protocol == CSSGW_PROTOCOL_IPV4 ? 4 : 16;
    unsigned char a[16];
    size_t dash = listed.find('-');
    size_t slash = listed.find('/');
    if (dash != std::string::npos) {
        unsigned char b[16];
        if (!parse_address(protocol, listed.substr(0, dash), a) || !parse_address(protocol, listed.substr(dash + 1), b))
            return false;
        memcpy(out->lo, a, 16);
        memcpy(out->hi, b, 16);
    } else {
        unsigned prefix = bytes * 8;
        if (slash != std::string::npos) {
            std::string len = listed.substr(slash + 1);
            if (len.empty() || len.size() > 3 || len.find_first_not_of("0123456789") != std::string::npos)
                return false;
            prefix = static_cast<unsigned>(std::stoul(len));
        }
        if (prefix > bytes * 8 || !parse_address(protocol, listed.substr(0, slash), a))
            return false;
        span(a, prefix, bytes, out->lo, out->hi);
    }
    out->text = span_text(bytes == 4, out->lo, out->hi);
    return true;
}

bool owrt_entry_same(const NftEntry &a, const NftEntry &b)
{
    return memcmp(a.lo, b.lo, 16) == 0 && memcmp(a.hi, b.hi, 16) == 0;
}

bool owrt_entry_overlap(const NftEntry &a, const NftEntry &b)
{
    return memcmp(a.lo, b.hi, 16) <= 0 && memcmp(b.lo, a.hi, 16) <= 0;
}

int owrt_sets_add(const CsSgw_IPSetsList_t *list)
{
    return change_sets(list, add_record);
}

int owrt_sets_delete_entries(const CsSgw_IPSetsList_t *list)
{
    return change_sets(list, [](const NftTable &t, std::vector<Work> &work, const CsSgw_IPSetInfo_t &rec,
                                const GwLimits &) { return delete_record(t, work, rec); });
}

int owrt_sets_clear(const CsSgw_IPSetNameList_t *names)
{
    return change_names(names, [](const NftTable &, const std::vector<std::string> &list, std::string *batch) {
        for (const std::string &name : list)
            *batch += "flush set " + set_ref(name) + "\n";
        return static_cast<int>(GW_OK);
    });
}

int owrt_sets_destroy(const CsSgw_IPSetNameList_t *names)
{
    return change_names(names, [](const NftTable &t, const std::vector<std::string> &list, std::string *batch) {
        for (size_t i = 0; i < list.size(); ++i) {
            // A set named twice is gone the second time.
            auto end = list.begin() + static_cast<long>(i);
            if (std::find(list.begin(), end, list[i]) != end)
                return static_cast<int>(GW_E_NOT_FOUND);
            // As the firewall refuses to destroy a set a rule still matches on.
            for (const NftPart &p : t.parts)
                if (std::find(p.sets.begin(), p.sets.end(), list[i]) != p.sets.end())
                    return static_cast<int>(GW_E_IN_USE);
            *batch += "delete set " + set_ref(list[i]) + "\n";
        }
        if (!list.empty() && nft_table_empty_without(t, list, {}))
            *batch += "delete table " + table_ref() + "\n";
        return static_cast<int>(GW_OK);
    });
}

int owrt_set_check(const char *set_name, const char *entry, int *present)
{
    if (!set_name || !entry || !present)
        return GW_E_ARG;
    *present = 0;
    std::string name(set_name, strnlen(set_name, kSetNameMax));
    if (!owrt_name_valid(name, kSetNameMax))
        return name.empty() ? GW_E_ARG : GW_E_NAME;
    NftLock lock(false);
    NftTable t;
    if (int rc = nft_read(false, &t))
        return rc;
    const NftSet *s = nft_find_set(t, name);
    if (!s)
        return GW_E_NOT_FOUND;
    NftEntry e;
    if (!owrt_entry(s->protocol, std::string(entry, strnlen(entry, kEntryMax)), &e))
        return GW_E_ENTRY;
    bool found = false;
    int rc = nft_get_element(name, e.text, &found);
    *present = found ? 1 : 0;
    return rc;
}

int owrt_sets_state(bool with_entries, GwState *st)
{
    NftLock lock(false);
    NftTable t;
    if (int rc = nft_read(with_entries, &t))
        return rc;
    nft_to_state(t, st, true);
    return GW_OK;
}
