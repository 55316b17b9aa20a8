// The gateway as our libcsecapi.so keeps it, whatever stores it: identity,
// LAN, hosts, matches, ipsets, traffic-control rules and limits; and the
// changes the csSgw_ calls make to it.
// Nothing here knows where the state lives (the simulator's store: sim/sim_store.h).
#pragma once

#include <pthread.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "gateway/csecapi.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// Failure codes of our library (the engine only logs codes; the vendor's
// library has codes of its own).
enum GwCode {
    GW_OK = 0,
    GW_E_ARG = 1,        // null pointer, empty name, entries missing
    GW_E_STATE = 2,      // the state file cannot be read, is not JSON or has wrong types
    GW_E_STORE = 3,      // the state file cannot be locked or written
    GW_E_NOT_FOUND = 4,  // no such set, entry or rule
    GW_E_LIMIT = 5,      // a limit would be exceeded
    GW_E_ENTRY = 6,      // an entry that is no address or network of the set's protocol
    GW_E_NOMEM = 7,
    GW_E_RELEASE = 8,    // released something the library did not hand out (or twice)
    GW_E_IN_USE = 9,     // destroying a set that a rule names
    // Codes of the backend over the system's firewall (the simulator never
    // returns them).
    GW_E_NFT = 10,       // nftables cannot be used: not in the kernel, or not allowed
    GW_E_KERNEL = 11,    // the kernel or libnftables refused a change or a query
    GW_E_NAME = 12,      // a set or rule name outside the characters the backend takes
    GW_E_OVERLAP = 13,   // an entry that overlaps another entry of its set
};

// A call of the library runs to its end whatever thread calls it: a cancel
// that stopped it half-way would keep the state's lock, a mutex or a block
// that is neither handed out nor free. Cancellation is off for the call.
struct GwNoCancel {
    int old = PTHREAD_CANCEL_ENABLE;
    GwNoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old); }
    ~GwNoCancel()
    {
        int ignored;
        pthread_setcancelstate(old, &ignored);
    }
    GwNoCancel(const GwNoCancel &) = delete;
    GwNoCancel &operator=(const GwNoCancel &) = delete;
};

// No exception leaves the C interface, and cancellation is off inside. The
// thread library's own unwinding (a pthread_exit reached inside, or a
// cancel) is not an exception of ours: it goes on, as it must.
template <typename F> int gw_guarded(F f)
{
    GwNoCancel off;
    try {
        return f();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        throw;
#endif
    } catch (const std::bad_alloc &) {
        return GW_E_NOMEM;
    } catch (...) {
        return GW_E_STATE;
    }
}

struct GwSet {
    std::string name;  // at most 63 characters, as every text below: cut to its record field
    std::string type;
    uint32_t protocol = CSSGW_PROTOCOL_IPV4;
    uint32_t direction = CSSGW_DIRECTION_SRC;
    std::vector<std::string> entries;  // in the order they were added
};

struct GwRule {
    std::string name;
    uint8_t target = CSSGW_TARGET_DROP;
    uint8_t enable = 1;
    uint8_t operate = 1;
    uint8_t priority = 0;
    std::vector<std::string> sets;  // every name the rule was given
};

struct GwLimits {
    uint32_t max_rules = 64;
    uint32_t max_sets_per_rule = 8;
    uint32_t max_entries_per_set = 65535;
};

struct GwState {
    char mac[32] = {};
    CsSgw_DeviceInfo_t device = {};
    CsSgw_PPPoEInfo_t pppoe = {};
    char lan_ifname[33] = {};
    char lan_ip[32] = {};
    char lan_mask[32] = {};
    std::vector<CsSgw_LanHostInfo_t> hosts;
    std::vector<CsSgw_MatchInfo_t> matches;
    std::vector<GwSet> sets;    // in creation order
    std::vector<GwRule> rules;  // in insertion order
    GwLimits limits;
};

// A text field of `size` bytes as a string: up to its first NUL, at most
// size - 1 characters (a field without a NUL is cut, never overrun).
std::string gw_field(const char *field, size_t size);
template <size_t N> std::string gw_field(const char (&field)[N]) { return gw_field(field, N); }

// Copies `text` into a field of `size` bytes, cut to size - 1 characters.
void gw_set_field(char *field, size_t size, const std::string &text);
template <size_t N> void gw_set_field(char (&field)[N], const std::string &text) { gw_set_field(field, N, text); }

// An entry taken apart: the address (IPv4 in the first 4 bytes) and the
// prefix length, which is the full length when the entry has none.
struct GwNet {
    bool v4 = true;
    unsigned char addr[16] = {};
    unsigned prefix = 32;
};

// True when `entry` is an address or a network (address/prefix length) of
// the protocol (CSSGW_PROTOCOL_IPV4, anything else IPv6); `net` (optional)
// gets its parts.
bool gw_entry_parse(uint32_t protocol, const std::string &entry, GwNet *net);
bool gw_entry_valid(uint32_t protocol, const std::string &entry);

// The first and the last address of the network `addr`/`prefix` (`bytes`
// long: 4 or 16), big-endian in 16 bytes, the rest zero.
void gw_span(const unsigned char *addr, unsigned prefix, unsigned bytes, unsigned char lo[16], unsigned char hi[16]);

const GwSet *gw_find_set(const GwState &st, const std::string &name);
const GwRule *gw_find_rule(const GwState &st, const std::string &name);

// ---- The checks of a change, the same for every backend: pure functions
// over the model, which a backend calls before it touches its storage.

// What a backend takes beyond them: the set and rule names it can store
// (nullptr: any), and whether a rule needs at least one set.
struct GwAccepts {
    bool (*name_valid)(const std::string &name, size_t max) = nullptr;
    bool rule_needs_set = false;
};

// The simulator keeps whatever it is given.
constexpr GwAccepts kGwAcceptsAll = {};

// A set record by itself: its name (cut to its field) and that it carries
// the entries it claims. GW_E_ARG, GW_E_NAME.
int gw_set_record_check(const CsSgw_IPSetInfo_t &rec, const GwAccepts &acc, std::string *name);

// The names of a list to clear or destroy, in order, each an existing set
// (a set destroyed earlier in the same list is gone). With `destroy`, a set
// a rule names is refused. GW_E_ARG, GW_E_NAME, GW_E_NOT_FOUND, GW_E_IN_USE.
int gw_set_names_check(const GwState &st, const CsSgw_IPSetNameList_t *names, const GwAccepts &acc, bool destroy,
                       std::vector<std::string> *out);

// A rule record by itself, as the rule it makes. GW_E_ARG, GW_E_NAME.
int gw_rule_record_check(const CsSgw_TrafficControl_t *rule, const GwAccepts &acc, GwRule *out);

// The rule against the state: the sets-per-rule limit, every set it names
// exists, the rule-count limit unless it replaces the rule of its name
// (`*replaces`). GW_E_LIMIT, GW_E_NOT_FOUND.
int gw_rule_check(const GwState &st, const GwRule &rule, bool *replaces);

// The name of a rule to delete, cut to its field. GW_E_ARG, GW_E_NAME.
int gw_rule_name_check(const char *name, const GwAccepts &acc, std::string *out);

// The changes. Each checks everything before it changes anything, so a
// failure leaves `st` as it was.
int gw_sets_add(GwState &st, const CsSgw_IPSetsList_t *list);
int gw_sets_delete_entries(GwState &st, const CsSgw_IPSetsList_t *list);
int gw_sets_clear(GwState &st, const CsSgw_IPSetNameList_t *names);
int gw_sets_destroy(GwState &st, const CsSgw_IPSetNameList_t *names);
int gw_rule_add(GwState &st, const CsSgw_TrafficControl_t *rule);
int gw_rule_delete(GwState &st, const char *name);

// Whether the set holds every address of the entry (both cut to their
// field sizes), as the kernel answers for a set of intervals: an address
// inside a network entry is in the set, a network is when all its addresses
// are. GW_E_NOT_FOUND for no such set, GW_E_ENTRY for an entry that is no
// address or network of the set's protocol.
int gw_set_check(const GwState &st, const char *set_name, const char *entry, int *present);
