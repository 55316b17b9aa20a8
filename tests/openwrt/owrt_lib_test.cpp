// Our libcsecapi.so over nftables through its C interface, for what the
// script modules never build: IPv6 sets, lists of several sets, OR and
// disabled rules, priorities. Runs in the router namespace of setup.sh;
// the kernel's state is checked with the nft command.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gateway/csecapi.h"
#include "gateway/csecapi/gw_model.h"
#include "gw_cancelled_calls.h"
#include "gw_set_list.h"

namespace {

std::string sh(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string chain()
{
    return sh("nft list chain inet korvex forward 2>&1");
}

struct Fresh {
    Fresh() { (void)!system("nft delete table inet korvex 2>/dev/null"); }
    ~Fresh() { (void)!system("nft delete table inet korvex 2>/dev/null"); }
};

struct Rule {
    CsSgw_TrafficControl_t rec{};
    std::vector<CsSgw_IPSetName_t> names;
    Rule(const char *name, std::vector<std::string> sets, uint8_t target = CSSGW_TARGET_DROP, uint8_t operate = 1,
         uint8_t priority = 0, uint8_t enable = 1)
    {
        snprintf(rec.Name, sizeof rec.Name, "%s", name);
        rec.Target = target;
        rec.Enable = enable;
        rec.Operate = operate;
        rec.Priority = priority;
        names.resize(sets.size());
        for (size_t i = 0; i < sets.size(); ++i)
            snprintf(names[i].SetName, sizeof names[i].SetName, "%s", sets[i].c_str());
        rec.SetNum = static_cast<uint32_t>(sets.size());
        rec.SetNames = names.empty() ? nullptr : names.data();
    }
};

int add_rule(const Rule &r)
{
    return csSgw_addFirewallTrafficControl(&r.rec);
}

// The names of the rules in the status list, in order.
std::string rule_order()
{
    CsSgw_ProfileStatusList_t *l = nullptr;
    if (csSgw_getTrafficControlAllProfileStatus(&l) != 0)
        return "<failed>";
    std::string out;
    for (uint32_t i = 0; i < l->ProfileNum; ++i)
        out += (i ? "," : "") + std::string(l->Profiles[i].Name);
    csSgw_releaseTrafficControlAllProfileStatus(l);
    return out;
}

}  // namespace

TEST(OwrtLib, IPv6SetsFollowTheRecordsProtocolAndTakeIPv6Entries)
{
    Fresh f;
    SetList l;
    l.add("v6", {"2001:db8::/32", "::ffff:1.2.3.4"}, 2, CSSGW_DIRECTION_SRC);
    ASSERT_EQ(csSgw_addIPSets(l.get()), GW_OK);
    SetList v4;
    v4.add("v6", {"10.0.0.1"});
    EXPECT_EQ(csSgw_addIPSets(v4.get()), GW_E_ENTRY) << "an existing set keeps its protocol";
    std::string set = sh("nft list set inet korvex ipset_v6");
    EXPECT_NE(set.find("type ipv6_addr"), std::string::npos) << set;
    EXPECT_NE(set.find("2001:db8::/32"), std::string::npos) << set;
    EXPECT_NE(set.find("comment \"src hash:net\""), std::string::npos) << set;

    CsSgw_IPSetsList_t *info = nullptr;
    ASSERT_EQ(csSgw_getIPSetsAllInfo(&info), GW_OK);
    ASSERT_EQ(info->SetNum, 1u);
    EXPECT_EQ(info->Sets[0].Protocol, 2u);
    EXPECT_EQ(info->Sets[0].Direction, CSSGW_DIRECTION_SRC);
    ASSERT_EQ(info->Sets[0].EntryNum, 2u);
    EXPECT_STREQ(info->Sets[0].Entries[0].Entry, "::ffff:1.2.3.4");
    EXPECT_STREQ(info->Sets[0].Entries[1].Entry, "2001:db8::/32");
    EXPECT_EQ(csSgw_releaseIPSetsAllInfo(info), GW_OK);

    int present = -1;
    EXPECT_EQ(csSgw_checkIPSetEntry("v6", "2001:db8:1::7", &present), GW_OK);
    EXPECT_EQ(present, 1);
    EXPECT_EQ(csSgw_checkIPSetEntry("v6", "2001:db9::1", &present), GW_OK);
    EXPECT_EQ(present, 0);
}

TEST(OwrtLib, AListOfSetsIsTakenWholeOrNotAtAll)
{
    Fresh f;
    SetList bad;
    bad.add("a", {"10.0.0.1"}).add("b", {"10.0.0.2", "not-an-address"});
    EXPECT_EQ(csSgw_addIPSets(bad.get()), GW_E_ENTRY);
    EXPECT_EQ(sh("nft list ruleset"), "") << "nothing made";
    SetList good;
    good.add("a", {"10.0.0.1"}).add("b", {"10.0.0.2"}).add("a", {"10.0.0.3"});
    ASSERT_EQ(csSgw_addIPSets(good.get()), GW_OK);
    SetList del;
    del.add("a", {"10.0.0.1"}).add("b", {"10.0.0.9"});
    EXPECT_EQ(csSgw_deleteIPSetsEntry(del.get()), GW_E_NOT_FOUND);
    std::string a = sh("nft list set inet korvex ipset_a");
    EXPECT_NE(a.find("10.0.0.1, 10.0.0.3"), std::string::npos) << a;
}

TEST(OwrtLib, AnOrRuleIsOneRulePerSetAndItsCounterCountsThemAll)
{
    Fresh f;
    SetList l;
    l.add("d4", {"10.0.0.1"}, CSSGW_PROTOCOL_IPV4, CSSGW_DIRECTION_DST).add("s6", {"2001:db8::1"}, 2);
    ASSERT_EQ(csSgw_addIPSets(l.get()), GW_OK);
    ASSERT_EQ(add_rule(Rule("t-c-or", {"d4", "s6"}, CSSGW_TARGET_ACCEPT, 0, 3)), GW_OK);
    std::string c = chain();
    EXPECT_NE(c.find("ct state new ip daddr @ipset_d4 counter name \"t-c-or\" accept comment \"korvex target=0 "
                     "enable=1 operate=0 priority=3\""),
              std::string::npos)
        << c;
    EXPECT_NE(c.find("ct state new ip6 saddr @ipset_s6 counter name \"t-c-or\" accept"), std::string::npos) << c;

    CsSgw_TrafficControl_t *rule = nullptr;
    ASSERT_EQ(csSgw_getFirewallTrafficControl("t-c-or", &rule), GW_OK);
    EXPECT_STREQ(rule->Name, "t-c-or");
    EXPECT_EQ(rule->Target, CSSGW_TARGET_ACCEPT);
    EXPECT_EQ(rule->Operate, 0);
    EXPECT_EQ(rule->Priority, 3);
    ASSERT_EQ(rule->SetNum, 2u);
    EXPECT_STREQ(rule->SetNames[0].SetName, "d4");
    EXPECT_STREQ(rule->SetNames[1].SetName, "s6");
    EXPECT_EQ(csSgw_releaseFirewallTrafficControl(rule), GW_OK);

    EXPECT_EQ(csSgw_deleteFirewallTrafficControl("t-c-or"), GW_OK);
    EXPECT_EQ(chain().find("t-c-or"), std::string::npos);
}

TEST(OwrtLib, ADisabledRuleOnlyCounts)
{
    Fresh f;
    SetList l;
    l.add("d", {"10.0.0.1"}, CSSGW_PROTOCOL_IPV4, CSSGW_DIRECTION_DST);
    ASSERT_EQ(csSgw_addIPSets(l.get()), GW_OK);
    ASSERT_EQ(add_rule(Rule("off", {"d"}, CSSGW_TARGET_DROP, 1, 0, 0)), GW_OK);
    std::string c = chain();
    EXPECT_NE(c.find("ip daddr @ipset_d counter name \"off\" comment"), std::string::npos) << c;
    CsSgw_TrafficControl_t *rule = nullptr;
    ASSERT_EQ(csSgw_getFirewallTrafficControl("off", &rule), GW_OK);
    EXPECT_EQ(rule->Enable, 0);
    EXPECT_EQ(rule->Target, CSSGW_TARGET_DROP);
    csSgw_releaseFirewallTrafficControl(rule);
}

TEST(OwrtLib, RulesGoInPriorityOrderLowerFirstAndKeepTheirPlaceWhenReplaced)
{
    Fresh f;
    SetList l;
    l.add("d", {"10.0.0.1"});
    ASSERT_EQ(csSgw_addIPSets(l.get()), GW_OK);
    ASSERT_EQ(add_rule(Rule("p5a", {"d"}, 1, 1, 5)), GW_OK);
    ASSERT_EQ(add_rule(Rule("p1", {"d"}, 1, 1, 1)), GW_OK);
    ASSERT_EQ(add_rule(Rule("p5b", {"d"}, 1, 1, 5)), GW_OK);
    ASSERT_EQ(add_rule(Rule("p9", {"d"}, 1, 1, 9)), GW_OK);
    ASSERT_EQ(add_rule(Rule("p0", {"d"}, 1, 0, 0)), GW_OK);
    EXPECT_EQ(rule_order(), "p0,p1,p5a,p5b,p9");
    ASSERT_EQ(add_rule(Rule("p5a", {"d"}, 0, 1, 5)), GW_OK) << "same priority: same place";
    EXPECT_EQ(rule_order(), "p0,p1,p5a,p5b,p9");
    ASSERT_EQ(add_rule(Rule("p1", {"d"}, 0, 1, 7)), GW_OK) << "new priority: its new place";
    EXPECT_EQ(rule_order(), "p0,p5a,p5b,p1,p9");
}

TEST(OwrtLib, ARuleWithoutSetsOrNamesOutsideTheAlphabetIsRefused)
{
    Fresh f;
    EXPECT_EQ(add_rule(Rule("none", {})), GW_E_ARG) << "it would match every flow";
    EXPECT_EQ(add_rule(Rule("", {"d"})), GW_E_ARG);
    EXPECT_EQ(add_rule(Rule("a b", {"d"})), GW_E_NAME);
    EXPECT_EQ(add_rule(Rule("x", {"d"})), GW_E_NOT_FOUND);
    EXPECT_EQ(sh("nft list ruleset"), "");
}

TEST(OwrtLib, NullArgumentsAndListsNotHandedOutFailWithACode)
{
    EXPECT_EQ(csSgw_getDeviceMAC(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_getLanIpInfo(nullptr, nullptr), GW_E_ARG);
    int count = 0;
    EXPECT_EQ(csSgw_getLanOnlineHostInfo(nullptr, &count), GW_E_ARG);
    EXPECT_EQ(csSgw_addIPSets(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_clearIPSets(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_checkIPSetEntry("a", nullptr, &count), GW_E_ARG);
    EXPECT_EQ(csSgw_addFirewallTrafficControl(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_deleteFirewallTrafficControl(nullptr), GW_E_ARG);
    EXPECT_EQ(csSgw_getFirewallTrafficControl(nullptr, nullptr), GW_E_ARG);
    CsSgw_IPSetsList_t claims{};
    claims.SetNum = 3;
    EXPECT_EQ(csSgw_addIPSets(&claims), GW_E_ARG) << "a count without records";
    CsSgw_IPSetsList_t own{};
    EXPECT_EQ(csSgw_releaseIPSetsAllInfo(&own), GW_E_RELEASE);
    CsSgw_MatchList_t *m = nullptr;
    ASSERT_EQ(csSgw_getTrafficControlMatchInfo(&m), GW_OK);
    EXPECT_EQ(m->MatchNum, 0u);
    EXPECT_EQ(csSgw_releaseTrafficControlMatchInfo(m), GW_OK);
    EXPECT_EQ(csSgw_releaseTrafficControlMatchInfo(m), GW_E_RELEASE) << "twice";
}

TEST(OwrtLib, ACancelPendingInACallerTakesEffectOnlyAfterTheCallsEnd)
{
    Fresh fresh;
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
    // The library's locks are free: the next change goes through.
    SetList more;
    more.add("cancelled", {"10.7.0.2"});
    EXPECT_EQ(csSgw_addIPSets(more.get()), 0);
}
