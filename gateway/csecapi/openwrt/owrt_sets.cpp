// IP sets of the OpenWrt backend: nft sets of IPv4 or IPv6 addresses with
// intervals in the table "inet korvex", named "ipset_<name>", whose comment
// keeps the direction and the type text. Every change reads the sets it
// touches back from the kernel, checks the whole list against them and the
// limits, and goes in as one nft transaction, so a list is taken whole or
// not at all.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "gateway/csecapi/openwrt/owrt.h"

namespace {

constexpr size_t kSetNameMax = sizeof(CsSgw_IPSetName_t) - 1;
constexpr size_t kEntryMax = sizeof(CsSgw_IPSetEntry_t) - 1;

void report_kernel(int err_no)
{
    fprintf(stderr, "csecapi: nftables: refused: %s\n", strerror(err_no ? err_no : EIO));
}

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

}  // namespace

std::string owrt_span_text(bool v4, const unsigned char lo[16], const unsigned char hi[16])
{
    unsigned bits = v4 ? 32 : 128, prefix = bits;
    for (unsigned b = 0; b < bits; ++b) {
        bool l = lo[b / 8] & (0x80 >> (b % 8)), h = hi[b / 8] & (0x80 >> (b % 8));
        if (l != h) {
            prefix = b;
            break;
        }
    }
    // As nft lists addresses (IPv6 compressed).
    auto text = [v4](const unsigned char *a) {
        char buf[INET6_ADDRSTRLEN];
        return std::string(inet_ntop(v4 ? AF_INET : AF_INET6, a, buf, sizeof buf) ? buf : "");
    };
    unsigned char low[16], high[16];
    gw_span(lo, prefix, v4 ? 4 : 16, low, high);
    if (memcmp(low, lo, 16) != 0 || memcmp(high, hi, 16) != 0)
        return text(lo) + "-" + text(hi);
    return prefix == bits ? text(lo) : text(lo) + "/" + std::to_string(prefix);
}

namespace {

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

// A set as a change sees it: as the kernel holds it (its entry count kept
// beside it; its entries asked for one at a time, or read whole when the
// change is large against the set) or about to be made, with what the
// change adds or removes.
struct Work {
    NftSet set;
    bool fresh = false;
    uint64_t count = 0;             // entries once the change is in
    bool loaded = false;            // `entries` is the whole set
    std::vector<NftEntry> entries;  // when loaded: what the set will hold, sorted
    std::vector<NftEntry> added, removed;
};

Work *find_work(std::vector<Work> &work, const std::string &name)
{
    for (Work &w : work)
        if (w.set.name == name)
            return &w;
    return nullptr;
}

bool v4_of(const Work &w)
{
    return w.set.protocol == CSSGW_PROTOCOL_IPV4;
}

bool entry_in(const std::vector<NftEntry> &list, const NftEntry &e)
{
    for (const NftEntry &x : list)
        if (owrt_entry_same(x, e))
            return true;
    return false;
}

// Reads the whole set, with the change so far applied.
int load(Work *w)
{
    std::vector<NftEntry> have;
    if (int rc = nl_set_entries(w->set.name, v4_of(*w), &have))
        return rc;
    std::vector<NftEntry> now;
    for (NftEntry &e : have)
        if (!entry_in(w->removed, e))
            now.push_back(std::move(e));
    now.insert(now.end(), w->added.begin(), w->added.end());
    w->entries = sorted_unique(std::move(now));
    w->count = w->entries.size();
    w->loaded = true;
    return GW_OK;
}

// The work item of a set of the list: taken from `work`, from the kernel,
// or, with `create`, made from the record.
int work_for(const NftTable &t, std::vector<Work> &work, const CsSgw_IPSetInfo_t &rec, bool create, Work **out)
{
    std::string name;
    if (int rc = gw_set_record_check(rec, kOwrtAccepts, &name))
        return rc;
    if ((*out = find_work(work, name)))
        return GW_OK;
    Work w;
    const NftSet *have = nft_find_set(t, name);
    if (have) {
        w.set = *have;
        w.count = have->count;
        // A set without its count (made by hand) is counted once.
        if (!have->counted)
            if (int rc = load(&w))
                return rc;
    } else if (create) {
        w.fresh = true;
        w.loaded = true;
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

enum Held { kAbsent, kHeld, kOverlaps };

// How the set holds `e`: as one of its entries, overlapping one, or not
// at all. Asked of the kernel, it is the entries holding the first and the
// last address of `e`, and the address after it (an entry that only lies
// inside `e` is the kernel's to refuse when `e` goes in).
int held(Work *w, const NftEntry &e, Held *out)
{
    if (w->loaded) {
        auto it = std::lower_bound(w->entries.begin(), w->entries.end(), e, entry_less);
        if (it != w->entries.end() && owrt_entry_same(*it, e))
            *out = kHeld;
        else if ((it != w->entries.end() && owrt_entry_overlap(*it, e)) ||
                 (it != w->entries.begin() && owrt_entry_overlap(*(it - 1), e)))
            *out = kOverlaps;
        else
            *out = kAbsent;
        return GW_OK;
    }
    for (const NftEntry &a : w->added) {
        if (owrt_entry_overlap(a, e)) {
            *out = owrt_entry_same(a, e) ? kHeld : kOverlaps;
            return GW_OK;
        }
    }
    if (entry_in(w->removed, e)) {
        *out = kAbsent;
        return GW_OK;
    }
    bool v4 = v4_of(*w);
    size_t len = v4 ? 4 : 16;
    bool at_lo, at_hi;
    unsigned char lo_start[16], hi_start[16];
    if (int rc = nl_elem_start(w->set.name, v4, e.lo, &at_lo, lo_start))
        return rc;
    if (int rc = nl_elem_start(w->set.name, v4, e.hi, &at_hi, hi_start))
        return rc;
    if (!at_lo && !at_hi) {
        *out = kAbsent;
        return GW_OK;
    }
    if (!at_lo || !at_hi || memcmp(lo_start, e.lo, len) != 0 || memcmp(hi_start, e.lo, len) != 0) {
        *out = kOverlaps;
        return GW_OK;
    }
    // One entry starts at e's first address and holds its last: e itself,
    // unless it goes on past e.
    unsigned char after[16];
    memcpy(after, e.hi, 16);
    bool more = false;
    for (size_t i = len; i-- > 0;)
        if (++after[i] != 0) {
            more = true;
            break;
        }
    bool past = false;
    unsigned char past_start[16];
    if (more)
        if (int rc = nl_elem_start(w->set.name, v4, after, &past, past_start))
            return rc;
    *out = past && memcmp(past_start, e.lo, len) == 0 ? kOverlaps : kHeld;
    return GW_OK;
}

// The entries of a record in the set's protocol, by address and each once;
// GW_E_ENTRY (adding) or GW_E_NOT_FOUND (deleting: such an entry cannot be
// in the set) for one that is no address or network of it.
int record_entries(const CsSgw_IPSetInfo_t &rec, uint32_t protocol, int bad, std::vector<NftEntry> *out)
{
    out->resize(rec.EntryNum);
    for (uint32_t i = 0; i < rec.EntryNum; ++i)
        if (!owrt_entry(protocol, gw_field(rec.Entries[i].Entry), &(*out)[i]))
            return bad;
    *out = sorted_unique(std::move(*out));
    return GW_OK;
}

// Whether a change of `n` entries is better checked against the whole set
// than asked of the kernel entry by entry (three questions each).
bool read_whole(const Work &w, size_t n)
{
    return !w.loaded && n * 3 > w.count;
}

int add_record(const NftTable &t, std::vector<Work> &work, const CsSgw_IPSetInfo_t &rec, const GwLimits &limits)
{
    Work *w;
    if (int rc = work_for(t, work, rec, true, &w))
        return rc;
    std::vector<NftEntry> given, fresh;
    if (int rc = record_entries(rec, w->set.protocol, GW_E_ENTRY, &given))
        return rc;
    for (size_t i = 1; i < given.size(); ++i)
        if (owrt_entry_overlap(given[i - 1], given[i]))
            return GW_E_OVERLAP;
    if (read_whole(*w, given.size()))
        if (int rc = load(w))
            return rc;
    // An entry the set holds already is kept once.
    for (const NftEntry &e : given) {
        Held h;
        if (int rc = held(w, e, &h))
            return rc;
        if (h == kOverlaps)
            return GW_E_OVERLAP;
        if (h == kAbsent)
            fresh.push_back(e);
    }
    if (w->count + fresh.size() > limits.max_entries_per_set)
        return GW_E_LIMIT;
    if (w->loaded) {
        std::vector<NftEntry> all = w->entries;
        all.insert(all.end(), fresh.begin(), fresh.end());
        w->entries = sorted_unique(std::move(all));
    }
    w->count += fresh.size();
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
    if (read_whole(*w, gone.size()))
        if (int rc = load(w))
            return rc;
    for (const NftEntry &e : gone) {
        Held h;
        if (int rc = held(w, e, &h))
            return rc;
        if (h != kHeld)
            return GW_E_NOT_FOUND;
    }
    if (w->loaded) {
        std::vector<NftEntry> kept;
        for (const NftEntry &e : w->entries)
            if (!holds_sorted(gone, e))
                kept.push_back(e);
        w->entries.swap(kept);
    }
    w->count -= gone.size();
    w->removed.insert(w->removed.end(), gone.begin(), gone.end());
    return GW_OK;
}

std::string set_decl(const NftSet &s)
{
    return "add set " + set_ref(s.name) + " { type " + (s.protocol == CSSGW_PROTOCOL_IPV4 ? "ipv4_addr" : "ipv6_addr") +
           "; flags interval; comment \"" + comment_of(s) + "\"; }\n";
}

bool changes(const Work &w)
{
    return w.fresh || !w.added.empty() || !w.removed.empty() || !w.set.counted;
}

// Removes the sets a failed change made (their elements never went in).
void undo_fresh(const std::vector<Work> &work)
{
    std::string batch;
    for (const Work &w : work)
        if (w.fresh)
            batch += "delete set " + set_ref(w.set.name) + "\n";
    if (!batch.empty())
        nft_run_text(batch);
}

// Makes the new sets (libnftables: the set's comment is nft's), then puts
// every element change and the new counts in as one transaction.
int put_in(const std::vector<Work> &work, bool adding)
{
    std::string made;
    NlBatch b;
    for (const Work &w : work) {
        if (!changes(w))
            continue;
        if (w.fresh)
            made += set_decl(w.set);
        if (!w.added.empty())
            nl_batch_elements(&b, true, w.set.name, v4_of(w), w.added);
        if (!w.removed.empty())
            nl_batch_elements(&b, false, w.set.name, v4_of(w), w.removed);
        nl_batch_count(&b, w.set.name, w.count);
    }
    if (!made.empty())
        if (int rc = nft_run_text("add table " + table_ref() + "\n" + made))
            return rc;
    int err_no = 0;
    int rc = nl_batch_run(&b, &err_no);
    if (rc == GW_OK)
        return GW_OK;
    undo_fresh(work);
    // An entry that lies inside the new one, which only the kernel saw.
    if (adding && (err_no == EEXIST || err_no == ENOTEMPTY))
        return GW_E_OVERLAP;
    if (!adding && err_no == ENOENT)
        return GW_E_NOT_FOUND;
    report_kernel(err_no);
    return rc;
}

template <typename Fn> int change_sets(const CsSgw_IPSetsList_t *list, bool adding, Fn each)
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
    return put_in(work, adding);
}

// A change of the sets a name list names (checked as for every backend, with
// `destroy` as a destruction): `run(t, names)` makes it.
template <typename Fn> int change_names(const CsSgw_IPSetNameList_t *names, bool destroy, Fn run)
{
    NftLock lock(true);
    NftTable t;
    std::vector<std::string> list;
    if (int rc = nft_change_begin(lock, nullptr, &t))
        return rc;
    GwState st;
    nft_to_state(t, &st, true);
    if (int rc = gw_set_names_check(st, names, kOwrtAccepts, destroy, &list))
        return rc;
    return run(t, list);
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
    gw_span(n.addr, n.prefix, bytes, out->lo, out->hi);
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
        gw_span(a, prefix, bytes, out->lo, out->hi);
    }
    out->text = owrt_span_text(bytes == 4, out->lo, out->hi);
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
    return change_sets(list, true, add_record);
}

int owrt_sets_delete_entries(const CsSgw_IPSetsList_t *list)
{
    return change_sets(list, false,
                       [](const NftTable &t, std::vector<Work> &work, const CsSgw_IPSetInfo_t &rec,
                          const GwLimits &) { return delete_record(t, work, rec); });
}

int owrt_sets_clear(const CsSgw_IPSetNameList_t *names)
{
    return change_names(names, false, [](const NftTable &, const std::vector<std::string> &list) {
        // Emptied with their counts, in one transaction.
        NlBatch b;
        for (const std::string &name : list) {
            nl_batch_flush(&b, name);
            nl_batch_count(&b, name, 0);
        }
        int err_no = 0;
        int rc = nl_batch_run(&b, &err_no);
        if (rc)
            report_kernel(err_no);
        return rc;
    });
}

int owrt_sets_destroy(const CsSgw_IPSetNameList_t *names)
{
    return change_names(names, true, [](const NftTable &t, const std::vector<std::string> &list) {
        std::string batch;
        for (const std::string &name : list) {
            batch += "delete set " + set_ref(name) + "\n";
            if (std::find(t.quotas.begin(), t.quotas.end(), name) != t.quotas.end())
                batch += "delete quota " + set_ref(name) + "\n";
        }
        if (!list.empty() && nft_table_empty_without(t, list, {}))
            batch += "delete table " + table_ref() + "\n";
        return batch.empty() ? static_cast<int>(GW_OK) : nft_run_text(batch);
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
    // Three questions to the kernel, whatever the size of the set: the
    // set, and the entries holding the first and the last address.
    uint32_t protocol;
    if (int rc = nl_set_protocol(name, &protocol))
        return rc;
    NftEntry e;
    if (!owrt_entry(protocol, std::string(entry, strnlen(entry, kEntryMax)), &e))
        return GW_E_ENTRY;
    bool v4 = protocol == CSSGW_PROTOCOL_IPV4;
    bool at_lo, at_hi;
    unsigned char lo_start[16], hi_start[16];
    if (int rc = nl_elem_start(name, v4, e.lo, &at_lo, lo_start))
        return rc;
    if (int rc = nl_elem_start(name, v4, e.hi, &at_hi, hi_start))
        return rc;
    // Entries never overlap: one entry holds both ends, so all between.
    *present = at_lo && at_hi && memcmp(lo_start, hi_start, 16) == 0 ? 1 : 0;
    return GW_OK;
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
