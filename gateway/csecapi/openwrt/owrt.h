// The pieces of our libcsecapi.so for stock OpenWrt: ipsets and
// traffic-control rules as nftables objects of the table "inet korvex"
// (through libnftables), the device, LAN, PPPoE and host data from the
// system's own files and interfaces, and the limits from the UCI config
// /etc/config/korvex. The records, the lists handed out and the entry
// checks are the shared ones (gw_model.h, gw_handout.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "gateway/csecapi.h"
#include "gateway/csecapi/gw_model.h"

// ---- Files of the system (owrt_uci.cpp)

// `path` (absolute) under the tree KORVEX_GATEWAY_ROOT names, when set:
// tests point every file the library reads at a fake root.
std::string owrt_path(const char *path);

// The whole file at owrt_path(path), at most `max` bytes (files in /proc
// have no size until read). false when it cannot be opened, is not a
// regular file or is larger.
bool owrt_read(const char *path, std::string *out, size_t max = 1u << 20);

// Each line of a text, without its newline.
std::vector<std::string> owrt_lines(const std::string &text);

// Calls `fn(line)` for each line of the file at owrt_path(path), without
// its newline, reading it as a stream: tables of a busy network (the
// neighbour table, the leases) have no size a whole read could bound.
// false when it cannot be opened or is not a regular file, or a read fails.
bool owrt_each_line(const char *path, const std::function<void(const std::string &)> &fn);

// Splits one line into words as UCI and shell-style release files quote
// them: unquoted runs, '...' taken as they are, "..." and unquoted text with
// backslash escapes; pieces next to one another form one word. A '#' where
// a word could start begins a comment. false on an unterminated quote.
bool owrt_words(const std::string &line, std::vector<std::string> *words, std::string *why);

// A UCI config file: its sections in order, each with its options (the
// last value of a repeated option wins) and lists.
struct UciSection {
    std::string type;
    std::string name;  // "" for an anonymous section
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::pair<std::string, std::vector<std::string>>> lists;
};

// Parses the UCI text format. false, with the line number and the reason in
// `why`, on a line it cannot read.
bool uci_parse(const std::string &text, std::vector<UciSection> *out, std::string *why);

// Reads /etc/config/<config>. GW_OK, GW_E_NOT_FOUND when the file does not
// exist, GW_E_STATE (reason on standard error) when it cannot be read or
// parsed.
int uci_load(const char *config, std::vector<UciSection> *out);

// The value of an option of the section, or nullptr.
const std::string *uci_option(const UciSection &s, const char *name);

// The limits: the options max_rules, max_sets_per_rule and
// max_entries_per_set of /etc/config/korvex (any section; the first that
// sets one wins), the defaults of GwLimits for those not set. GW_E_STATE
// (reason on standard error) for a value that is not a whole number from 1
// to 4294967295, or a file that cannot be read.
int owrt_limits(GwLimits *out);

// ---- Device, LAN, PPPoE and hosts (owrt_system.cpp)

int owrt_lan_ifname(char ifname[33]);
int owrt_lan_address(char ip[32], char mask[32]);
int owrt_device_mac(char mac[32]);
int owrt_device_info(CsSgw_DeviceInfo_t *info);
int owrt_pppoe(CsSgw_PPPoEInfo_t *info);
int owrt_hosts(std::vector<CsSgw_LanHostInfo_t> *out);

// ---- nftables (owrt_nft.cpp)

// Our table and its base chain.
constexpr const char *kNftFamily = "inet";
constexpr const char *kNftTable = "korvex";
constexpr const char *kNftChain = "forward";

// A set name in the kernel: ours with this prefix, so that it is always a
// plain word of nft's language (the set is created in nft text, the only
// form that carries its comment).
constexpr const char *kNftSetPrefix = "ipset_";

// The Protocol of the IPv6 sets this backend lists (any value other than
// CSSGW_PROTOCOL_IPV4 makes one).
constexpr uint32_t kNftProtocolIPv6 = 2;

// Set and rule names the backend takes: letters, digits, '_', '.', '-'.
bool owrt_name_valid(const std::string &name, size_t max);

// What the backend takes beyond the shared checks of a change.
constexpr GwAccepts kOwrtAccepts = {owrt_name_valid, true};

// An entry of a set: the text nft reads it from in a batch (an address, or
// a network as address/length; IPv6 in full 8-group form, which nft's
// scanner always takes) and its first and last address (16 bytes,
// big-endian; IPv4 in the first 4), by which entries are compared.
struct NftEntry {
    std::string text;
    unsigned char lo[16] = {};
    unsigned char hi[16] = {};
};

// An entry given to the library: an address or a network without host bits
// (a full-length prefix is the plain address). false when it is no address
// or network of the protocol, or has host bits set (`*host_bits` tells
// which, when given).
bool owrt_entry(uint32_t protocol, const std::string &entry, NftEntry *out, bool *host_bits = nullptr);

// An entry as nft lists it: an address, address/length or first-last.
bool owrt_listed_entry(uint32_t protocol, const std::string &listed, NftEntry *out);

// Whether two entries cover the same addresses; whether they share any.
bool owrt_entry_same(const NftEntry &a, const NftEntry &b);
bool owrt_entry_overlap(const NftEntry &a, const NftEntry &b);

// A set as the kernel holds it.
struct NftSet {
    std::string name;  // ours, without the prefix
    std::string type;  // the type text it was made with
    uint32_t protocol = CSSGW_PROTOCOL_IPV4;
    uint32_t direction = CSSGW_DIRECTION_SRC;
    std::vector<std::string> entries;  // by address, when read with them
    bool counted = false;              // its entry count is kept beside it
    uint64_t count = 0;
};

// One rule of our chain that belongs to a traffic-control rule (a rule of
// the library is one kernel rule for AND, one per set for OR).
struct NftPart {
    uint64_t handle = 0;
    std::string rule;               // the rule's full name: its named counter
    std::vector<std::string> sets;  // the sets it looks up, in order
    bool has_meta = false;          // its comment carried the rule's fields
    GwRule meta;                    // target, enable, operate, priority from the comment
    bool verdict_drop = false;
    bool verdict = false;
};

// Our table as the kernel holds it.
struct NftTable {
    bool exists = false;
    std::vector<NftSet> sets;             // ours, in the kernel's order
    std::vector<NftPart> parts;           // the chain's rules of traffic-control rules, in order
    std::vector<std::string> counters;    // every named counter
    std::vector<std::string> quotas;      // the entry counts of sets, by set name
    bool foreign = false;                 // it holds something that is not ours
};

// Serialises the use of libnftables in this process and, for changes,
// with every other process of this network namespace (`exclusive`).
// Released when it goes out of scope.
struct NftLock {
    int fd = -1;
    bool held = false;
    explicit NftLock(bool exclusive);
    ~NftLock();
    NftLock(const NftLock &) = delete;
    NftLock &operator=(const NftLock &) = delete;
    int status = GW_OK;  // GW_OK once held
};

// Reads our table from the terse ruleset (no set elements, so its cost
// does not grow with the sets), with the entries of every set when asked.
int nft_read(bool with_entries, NftTable *out);

// The start of a change, under `lock` (taken for changes): the limits (when
// asked for) and our table without entries.
int nft_change_begin(const NftLock &lock, GwLimits *limits, NftTable *t);

// Runs a batch of nft text or JSON (nft -j) commands as one transaction.
int nft_run_text(const std::string &batch);
int nft_run_json(const std::string &batch);

const NftSet *nft_find_set(const NftTable &t, const std::string &name);

// Builds the traffic-control rules of a table read with nft_read, in the
// chain's order; with `with_sets`, `st` also gets the sets.
void nft_to_state(const NftTable &t, GwState *st, bool with_sets);

// True when, with the named sets and rules gone, nothing of ours is left:
// the table can go.
bool nft_table_empty_without(const NftTable &t, const std::vector<std::string> &sets,
                             const std::vector<std::string> &rules);

// The text of the addresses lo..hi: a network when they form one, else a
// range (owrt_sets.cpp).
std::string owrt_span_text(bool v4, const unsigned char lo[16], const unsigned char hi[16]);

// ---- Set elements over nfnetlink (owrt_nl.cpp)

// What this process has read from the kernel over the sockets below: the
// cost of a call, which must not grow with the sets it touches.
struct NlStats {
    uint64_t messages = 0;
    uint64_t bytes = 0;
};
NlStats nl_stats();

// The protocol of our set (kernel name from the set name), GW_E_NOT_FOUND
// when there is none.
int nl_set_protocol(const std::string &set, uint32_t *protocol);

// Whether an entry of the set holds the address `key` (16 bytes, IPv4 in
// the first 4), and the first address of that entry.
int nl_elem_start(const std::string &set, bool v4, const unsigned char key[16], bool *found,
                  unsigned char start[16]);

// Every entry of the set, by address: one dump, read again from the start
// whenever another change interrupts it.
int nl_set_entries(const std::string &set, bool v4, std::vector<NftEntry> *out);

// A transaction of element changes and entry counts, run at once.
struct NlBatch {
    std::string buf;
    unsigned messages = 0;
};
void nl_batch_elements(NlBatch *b, bool add, const std::string &set, bool v4, const std::vector<NftEntry> &entries);
// Empties the set.
void nl_batch_flush(NlBatch *b, const std::string &set);
// The set's entry count, kept beside it in the same transaction (a quota
// object of the set's kernel name, which no rule uses).
void nl_batch_count(NlBatch *b, const std::string &set, uint64_t count);
// GW_OK, or the code of the kernel's refusal with its errno in *err_no
// (EEXIST or ENOTEMPTY: an entry overlapping one of the set).
int nl_batch_run(NlBatch *b, int *err_no);

// ---- Sets and rules (owrt_sets.cpp, owrt_rules.cpp)

int owrt_sets_add(const CsSgw_IPSetsList_t *list);
int owrt_sets_delete_entries(const CsSgw_IPSetsList_t *list);
int owrt_sets_clear(const CsSgw_IPSetNameList_t *names);
int owrt_sets_destroy(const CsSgw_IPSetNameList_t *names);
int owrt_set_check(const char *set_name, const char *entry, int *present);
int owrt_sets_state(bool with_entries, GwState *st);

int owrt_rule_add(const CsSgw_TrafficControl_t *rule);
int owrt_rule_delete(const char *name);
int owrt_rule_find(const char *name, GwRule *out);
// The rules and sets of the status list, and each set's entry count.
int owrt_status_state(GwState *st, std::map<std::string, uint64_t> *counts);
