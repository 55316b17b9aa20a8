// Our libcsecapi.so over nftables with large sets and busy neighbours: one
// change or test costs the same whatever the size of the set (counted in
// what the library reads from the kernel), entries are checked against the
// kernel's own answers, and reads that another process's changes interrupt
// never answer wrong. Runs in the router namespace of setup.sh.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gateway/csecapi.h"
#include "gateway/csecapi/gw_model.h"
#include "gateway/csecapi/openwrt/owrt.h"
#include "gw_set_list.h"

namespace {

struct Fresh {
    Fresh() { (void)!system("nft delete table inet korvex 2>/dev/null"); }
    ~Fresh() { (void)!system("nft delete table inet korvex 2>/dev/null"); }
};

std::string addr(int i, int first = 10)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%d.%d.%d.%d", first, (i >> 16) & 255, (i >> 8) & 255, i & 255);
    return buf;
}

// Entries from..to-1 of the series above, added in one call.
int fill(const char *set, int from, int to)
{
    std::vector<std::string> es;
    for (int i = from; i < to; ++i)
        es.push_back(addr(i));
    SetList l;
    l.add(set, es);
    return csSgw_addIPSets(l.get());
}

int add_one(const char *set, const std::string &entry)
{
    SetList l;
    l.add(set, {entry});
    return csSgw_addIPSets(l.get());
}

int del_one(const char *set, const std::string &entry)
{
    SetList l;
    l.add(set, {entry});
    return csSgw_deleteIPSetsEntry(l.get());
}

int check(const char *set, const char *entry)
{
    int present = -1;
    int rc = csSgw_checkIPSetEntry(set, entry, &present);
    return rc ? -rc : present;
}

// The set's entry count as the status list reports it (a rule uses it).
long status_count(const char *set)
{
    CsSgw_ProfileStatusList_t *l = nullptr;
    if (csSgw_getTrafficControlAllProfileStatus(&l) != 0)
        return -1;
    long n = -2;
    for (uint32_t i = 0; i < l->ProfileNum; ++i)
        for (uint32_t k = 0; k < l->Profiles[i].SetNum; ++k)
            if (!strcmp(l->Profiles[i].Sets[k].SetName, set))
                n = l->Profiles[i].Sets[k].EntryNum;
    csSgw_releaseTrafficControlAllProfileStatus(l);
    return n;
}

long kernel_count(const char *set)
{
    std::string cmd = std::string("nft -j list set inet korvex ipset_") + set +
                      " | python3 -c 'import json,sys; print(len(next(o[\"set\"] for o in json.load(sys.stdin)"
                      "[\"nftables\"] if \"set\" in o).get(\"elem\", [])))'";
    FILE *p = popen(cmd.c_str(), "r");
    long n = -1;
    if (p) {
        if (fscanf(p, "%ld", &n) != 1)
            n = -1;
        pclose(p);
    }
    return n;
}

// What one add, test and delete of one entry read from the kernel.
uint64_t bytes_of_one_change(const char *set, const std::string &entry)
{
    uint64_t before = nl_stats().bytes;
    EXPECT_EQ(add_one(set, entry), GW_OK);
    EXPECT_EQ(check(set, entry.c_str()), 1);
    EXPECT_EQ(del_one(set, entry), GW_OK);
    return nl_stats().bytes - before;
}

}  // namespace

TEST(OwrtScale, OneChangeReadsNoMoreFromTheKernelAt20000EntriesThanAt100)
{
    Fresh f;
    ASSERT_EQ(fill("big", 0, 100), GW_OK);
    uint64_t small = bytes_of_one_change("big", "11.0.0.1");
    ASSERT_EQ(fill("big", 100, 20000), GW_OK);
    uint64_t large = bytes_of_one_change("big", "11.0.0.1");
    EXPECT_GT(small, 0u);
    EXPECT_EQ(large, small) << "bytes read for one add, test and delete at 100 and 20 000 entries";
    EXPECT_EQ(kernel_count("big"), 20000);
}

TEST(OwrtScale, EntriesAreCheckedAgainstTheKernelOneByOne)
{
    Fresh f;
    // Large enough that single entries are asked of the kernel, not read whole.
    std::vector<std::string> es = {"10.1.0.0/16", "10.2.0.5", "10.2.0.6", "10.3.0.0/24"};
    for (int i = 0; i < 40; ++i)
        es.push_back(addr(i, 20));
    SetList l;
    l.add("k", es);
    ASSERT_EQ(csSgw_addIPSets(l.get()), GW_OK);

    EXPECT_EQ(add_one("k", "10.2.0.5"), GW_OK) << "an entry held already";
    EXPECT_EQ(add_one("k", "10.2.0.7"), GW_OK) << "next to one";
    EXPECT_EQ(add_one("k", "10.2.0.4"), GW_OK) << "before one";
    EXPECT_EQ(add_one("k", "10.1.2.3"), GW_E_OVERLAP) << "inside a network";
    EXPECT_EQ(add_one("k", "10.1.0.0/24"), GW_E_OVERLAP) << "a network starting one";
    EXPECT_EQ(add_one("k", "10.1.255.0/24"), GW_E_OVERLAP) << "a network ending one";
    EXPECT_EQ(add_one("k", "10.0.0.0/8"), GW_E_OVERLAP) << "a network holding others (the kernel's answer)";
    EXPECT_EQ(add_one("k", "10.3.0.0/16"), GW_E_OVERLAP) << "a network holding one that starts with it";
    EXPECT_EQ(add_one("k", "10.2.0.0/28"), GW_E_OVERLAP) << "a network holding addresses";

    EXPECT_EQ(check("k", "10.1.7.7"), 1);
    EXPECT_EQ(check("k", "10.1.0.0/17"), 1);
    EXPECT_EQ(check("k", "10.2.0.4/31"), 0) << "two entries, each holding half";
    EXPECT_EQ(check("k", "10.2.0.8"), 0);
    EXPECT_EQ(check("k", "10.3.0.0/23"), 0);

    EXPECT_EQ(del_one("k", "10.1.2.3"), GW_E_NOT_FOUND) << "an address inside a network is no entry";
    EXPECT_EQ(del_one("k", "10.1.0.0/17"), GW_E_NOT_FOUND) << "nor a network inside one";
    EXPECT_EQ(del_one("k", "10.2.0.0/24"), GW_E_NOT_FOUND) << "nor one around entries";
    EXPECT_EQ(del_one("k", "10.1.0.0/16"), GW_OK);
    EXPECT_EQ(check("k", "10.1.7.7"), 0);
    EXPECT_EQ(add_one("k", "10.1.2.3"), GW_OK) << "the network is gone";

    // The count kept beside the set follows every change.
    CsSgw_TrafficControl_t rule{};
    CsSgw_IPSetName_t name{};
    snprintf(rule.Name, sizeof rule.Name, "t-c-r");
    snprintf(name.SetName, sizeof name.SetName, "k");
    rule.Target = CSSGW_TARGET_DROP;
    rule.Enable = rule.Operate = 1;
    rule.SetNum = 1;
    rule.SetNames = &name;
    ASSERT_EQ(csSgw_addFirewallTrafficControl(&rule), GW_OK);
    EXPECT_EQ(status_count("k"), kernel_count("k"));
    EXPECT_EQ(status_count("k"), 46);
    CsSgw_IPSetNameList_t flush{};
    CsSgw_IPSetName_t fname{};
    snprintf(fname.SetName, sizeof fname.SetName, "k");
    flush.SetNum = 1;
    flush.Sets = &fname;
    ASSERT_EQ(csSgw_clearIPSets(&flush), GW_OK);
    EXPECT_EQ(status_count("k"), 0);
    EXPECT_EQ(kernel_count("k"), 0);
}

TEST(OwrtScale, ASetMadeByHandIsCountedOnce)
{
    Fresh f;
    ASSERT_EQ(system("nft add table inet korvex && nft add set inet korvex ipset_hand "
                     "'{ type ipv4_addr; flags interval; comment \"dst t\"; }' && "
                     "nft add element inet korvex ipset_hand '{ 10.0.0.1, 10.0.0.2, 10.0.0.3 }'"),
              0);
    FILE *cfg = nullptr;
    std::string dir = std::string(getenv("KORVEX_GATEWAY_ROOT")) + "/etc/config";
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    cfg = fopen((dir + "/korvex").c_str(), "w");
    ASSERT_NE(cfg, nullptr);
    fputs("config gateway 'limits'\n\toption max_entries_per_set '4'\n", cfg);
    fclose(cfg);
    EXPECT_EQ(add_one("hand", "10.0.0.9"), GW_OK);
    EXPECT_EQ(add_one("hand", "10.0.0.10"), GW_E_LIMIT);
    EXPECT_EQ(kernel_count("hand"), 4);
    remove((dir + "/korvex").c_str());
}

TEST(OwrtScale, ReadsWhileAnotherProcessChangesAnotherSetNeverAnswerWrong)
{
    Fresh f;
    ASSERT_EQ(fill("calm", 0, 50), GW_OK);
    ASSERT_EQ(fill("busy", 0, 50), GW_OK);
    // Standard error of this process, to see what the library writes there.
    char errpath[] = "/tmp/korvex-owrt-stderr-XXXXXX";
    int errfd = mkstemp(errpath);
    ASSERT_GE(errfd, 0);
    fflush(stderr);
    int saved = dup(2);
    dup2(errfd, 2);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0;; ++i) {
            add_one("busy", addr(100000 + i % 200));
            del_one("busy", addr(100000 + i % 200));
        }
    }
    int wrong = 0, failed = 0, calls = 0;
    for (int i = 0; i < 3000; ++i) {
        int held = check("calm", addr(i % 50).c_str());
        int absent = check("calm", addr(1000 + i % 50).c_str());
        calls += 2;
        wrong += (held == 0) + (absent == 1);
        failed += (held < 0) + (absent < 0);
        if (i % 50 == 0) {
            CsSgw_IPSetsList_t *info = nullptr;
            CsSgw_ProfileStatusList_t *status = nullptr;
            ++calls;
            if (csSgw_getIPSetsAllInfo(&info) != 0)
                ++failed;
            else if (info->SetNum != 2)
                ++wrong;
            if (info)
                csSgw_releaseIPSetsAllInfo(info);
            ++calls;
            if (csSgw_getTrafficControlAllProfileStatus(&status) != 0)
                ++failed;
            if (status)
                csSgw_releaseTrafficControlAllProfileStatus(status);
        }
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);

    std::string written;
    char buf[4096];
    ssize_t n;
    lseek(errfd, 0, SEEK_SET);
    while ((n = read(errfd, buf, sizeof buf)) > 0)
        written.append(buf, static_cast<size_t>(n));
    close(errfd);
    unlink(errpath);
    EXPECT_EQ(wrong, 0) << "wrong answers in " << calls << " calls";
    EXPECT_EQ(failed, 0) << "failed calls in " << calls;
    EXPECT_EQ(written.find("Interrupted"), std::string::npos) << written.substr(0, 2000);
}
