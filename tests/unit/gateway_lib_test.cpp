// Our libcsecapi.so through its C interface: what the records carry, what
// is checked before a change, what happens to lists given back wrongly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gateway/csecapi.h"
#include "gateway/csecapi/gw_model.h"
#include "gw_cancelled_calls.h"
#include "gw_set_list.h"
#include "test_util.h"

namespace {

// Points the library at a state file in a scratch directory for one test.
struct StateFile {
    ScratchDir dir;
    std::string path = dir / "state.json";
    explicit StateFile(const std::string &text = "")
    {
        if (!text.empty())
            file_put(path, text);
        setenv("KORVEX_GATEWAY_STATE", path.c_str(), 1);
    }
    ~StateFile() { unsetenv("KORVEX_GATEWAY_STATE"); }
};

std::vector<std::string> entries_of(const char *name)
{
    CsSgw_IPSetsList_t *all = nullptr;
    std::vector<std::string> out;
    EXPECT_EQ(csSgw_getIPSetsAllInfo(&all), 0);
    for (uint32_t i = 0; all && i < all->SetNum; ++i) {
        if (strcmp(all->Sets[i].SetName, name) != 0)
            continue;
        for (uint32_t k = 0; k < all->Sets[i].EntryNum; ++k)
            out.push_back(all->Sets[i].Entries[k].Entry);
    }
    EXPECT_EQ(csSgw_releaseIPSetsAllInfo(all), 0);
    return out;
}

}  // namespace

TEST(GatewayLib, ReleasingWhatWasNotHandedOutFailsWithoutACrash)
{
    StateFile st;
    CsSgw_IPSetsList_t own{};
    EXPECT_EQ(csSgw_releaseIPSetsAllInfo(&own), GW_E_RELEASE);
    EXPECT_EQ(csSgw_releaseIPSetsAllInfo(nullptr), GW_E_RELEASE);

    CsSgw_IPSetsList_t *conf = nullptr;
    ASSERT_EQ(csSgw_getIPSetsAllConf(&conf), 0);
    ASSERT_NE(conf, nullptr);
    // Through the release function of another kind of list: refused, kept.
    EXPECT_EQ(csSgw_releaseIPSetsAllInfo(conf), GW_E_RELEASE);
    EXPECT_EQ(csSgw_releaseIPSetsAllConf(conf), 0);
    EXPECT_EQ(csSgw_releaseIPSetsAllConf(conf), GW_E_RELEASE) << "released twice";
}

TEST(GatewayLib, NullArgumentsFailWithACode)
{
    StateFile st;
    EXPECT_EQ(csSgw_getDeviceMAC(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_getDeviceInfo(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_getLanIpInfo(nullptr, nullptr), GW_E_ARG);
    int count = 0;
    EXPECT_EQ(csSgw_getLanOnlineHostInfo(nullptr, &count), GW_E_ARG);
    EXPECT_EQ(csSgw_addIPSets(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_checkIPSetEntry("a", nullptr, &count), GW_E_ARG);
    EXPECT_EQ(csSgw_addFirewallTrafficControl(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_getFirewallTrafficControl(nullptr, nullptr), GW_E_ARG);
    CsSgw_IPSetsList_t claims{1, nullptr};
    EXPECT_EQ(csSgw_addIPSets(&claims), GW_E_ARG) << "a count without records";
    EXPECT_FALSE(file_exists(st.path)) << "a failed change wrote the state";
}

TEST(GatewayLib, WithoutAStateFileEachProcessKeepsItsOwnGateway)
{
    unsetenv("KORVEX_GATEWAY_STATE");
    char mac[32] = {};
    ASSERT_EQ(csSgw_getDeviceMAC(mac), 0);
    EXPECT_STREQ(mac, "02:4b:56:58:00:01");
    SetList l;
    l.add("memory-only", {"10.0.0.1"});
    ASSERT_EQ(csSgw_addIPSets(l.get()), 0);
    EXPECT_EQ(entries_of("memory-only"), std::vector<std::string>{"10.0.0.1"});
    CsSgw_IPSetName_t name{};
    snprintf(name.SetName, sizeof name.SetName, "memory-only");
    CsSgw_IPSetNameList_t names{1, &name};
    EXPECT_EQ(csSgw_deleteIPSets(&names), 0);
    EXPECT_EQ(csSgw_deleteIPSets(&names), GW_E_NOT_FOUND);
}

TEST(GatewayLib, TextsThatFillTheirFieldsAreCutNeverOverrun)
{
    StateFile st;
    SetList l;
    l.add("x", {});
    memset(l.sets[0].SetName, 'n', sizeof l.sets[0].SetName);  // no NUL at all
    memset(l.sets[0].SetType, 't', sizeof l.sets[0].SetType);
    ASSERT_EQ(csSgw_addIPSets(l.get()), 0);
    CsSgw_IPSetsList_t *conf = nullptr;
    ASSERT_EQ(csSgw_getIPSetsAllConf(&conf), 0);
    ASSERT_EQ(conf->SetNum, 1u);
    EXPECT_EQ(std::string(conf->Sets[0].SetName), std::string(63, 'n'));
    EXPECT_EQ(std::string(conf->Sets[0].SetType), std::string(31, 't'));
    EXPECT_EQ(csSgw_releaseIPSetsAllConf(conf), 0);

    CsSgw_TrafficControl_t rule{};
    memset(rule.Name, 'r', sizeof rule.Name);
    CsSgw_IPSetName_t set{};
    memset(set.SetName, 'n', sizeof set.SetName);
    rule.SetNum = 1;
    rule.SetNames = &set;
    ASSERT_EQ(csSgw_addFirewallTrafficControl(&rule), 0);
    CsSgw_TrafficControl_t *got = nullptr;
    ASSERT_EQ(csSgw_getFirewallTrafficControl(std::string(300, 'r').c_str(), &got), 0);
    EXPECT_EQ(strlen(got->Name), 255u);
    ASSERT_EQ(got->SetNum, 1u);
    EXPECT_EQ(std::string(got->SetNames[0].SetName), std::string(63, 'n'));
    EXPECT_EQ(csSgw_releaseFirewallTrafficControl(got), 0);
}

TEST(GatewayLib, AListIsTakenWholeOrNotAtAll)
{
    StateFile st;
    SetList l;
    l.add("first", {"10.0.0.1"});
    l.add("second", {"10.0.0.2", "not-an-address"});
    EXPECT_EQ(csSgw_addIPSets(l.get()), GW_E_ENTRY);
    EXPECT_TRUE(entries_of("first").empty());
    EXPECT_FALSE(file_exists(st.path));

    SetList ok;
    ok.add("first", {"10.0.0.1", "10.0.0.2"});
    ASSERT_EQ(csSgw_addIPSets(ok.get()), 0);
    SetList del;
    del.add("first", {"10.0.0.1"});
    del.add("missing", {"10.0.0.1"});
    EXPECT_EQ(csSgw_deleteIPSetsEntry(del.get()), GW_E_NOT_FOUND);
    EXPECT_EQ(entries_of("first"), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

TEST(GatewayLib, EntriesAreAddressesOrNetworksOfTheSetsProtocol)
{
    StateFile st;
    struct Case {
        uint32_t protocol;
        const char *entry;
        bool ok;
    } cases[] = {
        {1, "1.2.3.4", true},           {1, "1.2.3.0/24", true},      {1, "1.2.3.4/0", true},
        {1, "1.2.3.4/33", false},       {1, "1.2.3.4/024", false},    {1, "1.2.3", false},
        {1, "2001:db8::1", false},      {1, "1.2.3.4 ", false},       {1, "1.2.3.4/8/8", false},
        {2, "2001:db8::1", true},       {2, "2001:db8::/32", true},   {2, "::/0", true},
        {2, "::ffff:1.2.3.4", true},    {2, "2001:db8::/129", false}, {2, "1.2.3.4", false},
        {2, "fe80::1%eth0", false},     {7, "::1", true},
    };
    int n = 0;
    for (const Case &c : cases) {
        SetList l;
        std::string name = "p" + std::to_string(c.protocol) + "-" + std::to_string(n++);
        l.add(name.c_str(), {c.entry}, c.protocol);
        EXPECT_EQ(csSgw_addIPSets(l.get()), c.ok ? 0 : GW_E_ENTRY) << c.protocol << " " << c.entry;
    }
}

TEST(GatewayLib, StatusListCountsOnlyExistingSetsAndReportsTheLimits)
{
    StateFile st(R"({"limits": {"MaxIpsetsPerRule": 3, "MaxElementsPerIpset": 50},
                     "ipsets": [{"SetName": "a", "SetType": "hash:ip", "Entries": ["10.0.0.1", "10.0.0.2"]}],
                     "rules": [{"Name": "r1", "Sets": ["a", "gone"]}, {"Name": "r2"}]})");
    CsSgw_ProfileStatusList_t *status = nullptr;
    ASSERT_EQ(csSgw_getTrafficControlAllProfileStatus(&status), 0);
    ASSERT_EQ(status->ProfileNum, 2u);
    const CsSgw_ProfileStatus_t &r1 = status->Profiles[0];
    EXPECT_STREQ(r1.Name, "r1");
    EXPECT_EQ(r1.SetNum, 1u);
    EXPECT_EQ(r1.MaxSetNum, 3u);
    ASSERT_NE(r1.Sets, nullptr);
    EXPECT_STREQ(r1.Sets[0].SetName, "a");
    EXPECT_STREQ(r1.Sets[0].SetType, "hash:ip");
    EXPECT_EQ(r1.Sets[0].EntryNum, 2u);
    EXPECT_EQ(r1.Sets[0].MaxEntryNum, 50u);
    EXPECT_EQ(status->Profiles[1].SetNum, 0u);
    EXPECT_EQ(status->Profiles[1].Sets, nullptr);
    EXPECT_EQ(csSgw_releaseTrafficControlAllProfileStatus(status), 0);

    CsSgw_TrafficControl_t *rule = nullptr;
    EXPECT_EQ(csSgw_getFirewallTrafficControl("r3", &rule), GW_E_NOT_FOUND);
    EXPECT_EQ(rule, nullptr);
    ASSERT_EQ(csSgw_getFirewallTrafficControl("r1", &rule), 0);
    EXPECT_EQ(rule->SetNum, 2u) << "the record carries every name";
    EXPECT_EQ(csSgw_releaseFirewallTrafficControl(rule), 0);
}

TEST(GatewayLib, ThreadsChangingOneStateFileLoseNothing)
{
    StateFile st;
    auto adder = [](int t) {
        for (int i = 0; i < 50; ++i) {
            SetList l;
            std::string e = "10." + std::to_string(t) + ".0." + std::to_string(i);
            l.add("shared", {e});
            EXPECT_EQ(csSgw_addIPSets(l.get()), 0);
        }
    };
    std::thread a(adder, 1);
    std::thread b(adder, 2);
    a.join();
    b.join();
    EXPECT_EQ(entries_of("shared").size(), 100u);
}

TEST(GatewayLib, ACancelPendingInACallerTakesEffectOnlyAfterTheCallsEnd)
{
    StateFile st;
    SetList l;
    l.add("cancelled", {"10.7.0.1"});
    CancelledCalls c;
    c.add = l.get();
    cancelled_calls_run(&c);
    EXPECT_TRUE(c.cancelled);
    EXPECT_FALSE(c.went_on);
    EXPECT_EQ(c.added, 0);
    EXPECT_EQ(c.got, 0);
    EXPECT_EQ(c.released, 0);
    EXPECT_EQ(entries_of("cancelled"), std::vector<std::string>{"10.7.0.1"});
    // The state file's lock is free for anyone.
    int fd = open((st.path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

TEST(GatewayLib, InjectedFailuresReturnTheirCodeAndChangeNothing)
{
    StateFile st(R"({"fail": {"csSgw_addIPSets": 77, "csSgw_getDeviceInfo": 78, "csSgw_deleteIPSets": 0}})");
    SetList l;
    l.add("a", {"10.0.0.1"});
    EXPECT_EQ(csSgw_addIPSets(l.get()), 77);
    CsSgw_DeviceInfo_t info{};
    EXPECT_EQ(csSgw_getDeviceInfo(&info), 78);
    EXPECT_EQ(info.vendor[0], '\0') << "the record was filled";
    CsSgw_IPSetName_t name{};
    snprintf(name.SetName, sizeof name.SetName, "never-there");
    CsSgw_IPSetNameList_t names{1, &name};
    EXPECT_EQ(csSgw_deleteIPSets(&names), 0) << "code 0: success without working";
    std::string before = file_get(st.path);
    EXPECT_NE(before.find("\"csSgw_addIPSets\": 77"), std::string::npos);
}

TEST(GatewayLib, SixtyFourBitValuesSurviveRewritesExactly)
{
    // 2^32-1 and 2^53-1 as JSON numbers; 2^53 and 2^64-1 only fit as texts.
    StateFile st(R"({"hosts": [{"hostName": "a", "onlineTime": 4294967295, "txBytes": 9007199254740991,
                                "rxBytes": "9007199254740992"},
                               {"hostName": "b", "txBytes": "18446744073709551615", "rxBytes": 4294967296}],
                     "matches": [{"Name": "m", "Timestamp": 9007199254740991}],
                     "note": [9007199254740991, 0.1, -9007199254740991]})");
    for (int rewrite = 1; rewrite <= 2; ++rewrite) {
        SetList l;
        l.add(("s" + std::to_string(rewrite)).c_str(), {"10.0.0.1"});
        ASSERT_EQ(csSgw_addIPSets(l.get()), 0);

        CsSgw_LanHostInfo_t *hosts = nullptr;
        int count = 0;
        ASSERT_EQ(csSgw_getLanOnlineHostInfo(&hosts, &count), 0);
        ASSERT_EQ(count, 2);
        EXPECT_EQ(hosts[0].onlineTime, 4294967295u);
        EXPECT_EQ(hosts[0].txBytes, 9007199254740991ull) << "after rewrite " << rewrite;
        EXPECT_EQ(hosts[0].rxBytes, 9007199254740992ull);
        EXPECT_EQ(hosts[1].txBytes, 18446744073709551615ull);
        EXPECT_EQ(hosts[1].rxBytes, 4294967296ull);
        EXPECT_EQ(csSgw_releaseLanOnlineHostInfo(hosts), 0);

        CsSgw_MatchList_t *matches = nullptr;
        ASSERT_EQ(csSgw_getTrafficControlMatchInfo(&matches), 0);
        ASSERT_EQ(matches->MatchNum, 1u);
        EXPECT_EQ(matches->Matches[0].Timestamp, 9007199254740991ull);
        EXPECT_EQ(csSgw_releaseTrafficControlMatchInfo(matches), 0);

        // Members the library does not know are kept to the digit too.
        std::string text = file_get(st.path);
        EXPECT_NE(text.find("9007199254740991, 0.1, -9007199254740991]"), std::string::npos) << text;
        EXPECT_EQ(text.find("e+"), std::string::npos) << text;
    }
}
