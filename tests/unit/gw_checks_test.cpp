// The checks of a gateway change that every backend of our libcsecapi runs
// before it touches its storage: pure functions over the model.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gateway/csecapi/gw_model.h"

namespace {

// A backend that stores only lower-case names and needs a set per rule.
bool lower_only(const std::string &name, size_t max)
{
    if (name.empty() || name.size() > max)
        return false;
    for (char c : name)
        if (c < 'a' || c > 'z')
            return false;
    return true;
}
constexpr GwAccepts kStrict = {lower_only, true};

GwState state_with(std::vector<std::string> sets, std::vector<GwRule> rules = {})
{
    GwState st;
    for (std::string &name : sets) {
        GwSet s;
        s.name = name;
        st.sets.push_back(s);
    }
    st.rules = std::move(rules);
    return st;
}

GwRule rule_of(const std::string &name, std::vector<std::string> sets)
{
    GwRule r;
    r.name = name;
    r.sets = std::move(sets);
    return r;
}

struct RuleRecord {
    CsSgw_TrafficControl_t rec = {};
    std::vector<CsSgw_IPSetName_t> names;
    RuleRecord(const char *name, std::vector<const char *> sets)
    {
        gw_set_field(rec.Name, name);
        for (const char *s : sets) {
            CsSgw_IPSetName_t n = {};
            gw_set_field(n.SetName, s);
            names.push_back(n);
        }
        rec.SetNum = static_cast<uint32_t>(names.size());
        rec.SetNames = names.empty() ? nullptr : names.data();
        rec.Target = CSSGW_TARGET_ACCEPT;
        rec.Operate = 0;
        rec.Priority = 7;
    }
};

struct NameList {
    CsSgw_IPSetNameList_t list = {};
    std::vector<CsSgw_IPSetName_t> names;
    explicit NameList(std::vector<const char *> sets)
    {
        for (const char *s : sets) {
            CsSgw_IPSetName_t n = {};
            gw_set_field(n.SetName, s);
            names.push_back(n);
        }
        list.SetNum = static_cast<uint32_t>(names.size());
        list.Sets = names.data();
    }
};

}  // namespace

TEST(GwChecks, RuleRecordArgumentsAndNames)
{
    GwRule r;
    EXPECT_EQ(gw_rule_record_check(nullptr, kGwAcceptsAll, &r), GW_E_ARG);
    RuleRecord empty("", {"a"});
    EXPECT_EQ(gw_rule_record_check(&empty.rec, kGwAcceptsAll, &r), GW_E_ARG);
    RuleRecord missing_names("r", {"a"});
    missing_names.rec.SetNames = nullptr;
    EXPECT_EQ(gw_rule_record_check(&missing_names.rec, kGwAcceptsAll, &r), GW_E_ARG);

    // The backend's own name rules and its need of a set.
    RuleRecord upper("Rule", {"a"});
    EXPECT_EQ(gw_rule_record_check(&upper.rec, kGwAcceptsAll, &r), GW_OK);
    EXPECT_EQ(gw_rule_record_check(&upper.rec, kStrict, &r), GW_E_NAME);
    RuleRecord no_sets("r", {});
    EXPECT_EQ(gw_rule_record_check(&no_sets.rec, kGwAcceptsAll, &r), GW_OK);
    EXPECT_EQ(gw_rule_record_check(&no_sets.rec, kStrict, &r), GW_E_ARG);

    RuleRecord good("r", {"a", "b"});
    ASSERT_EQ(gw_rule_record_check(&good.rec, kStrict, &r), GW_OK);
    EXPECT_EQ(r.name, "r");
    EXPECT_EQ(r.sets, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r.target, CSSGW_TARGET_ACCEPT);
    EXPECT_EQ(r.operate, 0);
    EXPECT_EQ(r.priority, 7);
}

TEST(GwChecks, RuleAgainstStateLimitsSetsAndReplacing)
{
    GwState st = state_with({"a", "b", "c"}, {rule_of("one", {"a"}), rule_of("two", {"b"})});
    st.limits.max_sets_per_rule = 2;
    st.limits.max_rules = 2;
    bool replaces = true;
    EXPECT_EQ(gw_rule_check(st, rule_of("one", {"a", "b", "c"}), &replaces), GW_E_LIMIT) << "sets per rule";
    EXPECT_EQ(gw_rule_check(st, rule_of("one", {"a", "gone"}), &replaces), GW_E_NOT_FOUND);
    EXPECT_EQ(gw_rule_check(st, rule_of("three", {"c"}), &replaces), GW_E_LIMIT) << "rule count";
    ASSERT_EQ(gw_rule_check(st, rule_of("two", {"c", "a"}), &replaces), GW_OK) << "a replacement is no new rule";
    EXPECT_TRUE(replaces);
    st.limits.max_rules = 3;
    ASSERT_EQ(gw_rule_check(st, rule_of("three", {"c"}), &replaces), GW_OK);
    EXPECT_FALSE(replaces);
}

TEST(GwChecks, RuleNameToDelete)
{
    std::string n;
    EXPECT_EQ(gw_rule_name_check(nullptr, kGwAcceptsAll, &n), GW_E_ARG);
    EXPECT_EQ(gw_rule_name_check("", kGwAcceptsAll, &n), GW_OK) << "no such rule, which the caller finds";
    EXPECT_EQ(gw_rule_name_check("", kStrict, &n), GW_E_ARG);
    EXPECT_EQ(gw_rule_name_check("A", kStrict, &n), GW_E_NAME);
    std::string longer(300, 'x');
    ASSERT_EQ(gw_rule_name_check(longer.c_str(), kStrict, &n), GW_OK);
    EXPECT_EQ(n.size(), sizeof(CsSgw_TrafficControl_t::Name) - 1) << "cut to its field";
}

TEST(GwChecks, SetRecordByItself)
{
    CsSgw_IPSetInfo_t rec = {};
    std::string name;
    EXPECT_EQ(gw_set_record_check(rec, kGwAcceptsAll, &name), GW_E_ARG) << "no name";
    gw_set_field(rec.SetName, "Blk");
    EXPECT_EQ(gw_set_record_check(rec, kStrict, &name), GW_E_NAME);
    ASSERT_EQ(gw_set_record_check(rec, kGwAcceptsAll, &name), GW_OK);
    EXPECT_EQ(name, "Blk");
    rec.EntryNum = 1;
    EXPECT_EQ(gw_set_record_check(rec, kGwAcceptsAll, &name), GW_E_ARG) << "entries claimed, none given";
}

TEST(GwChecks, SetNamesToClearOrDestroy)
{
    GwState st = state_with({"a", "b", "used"}, {rule_of("r", {"used"})});
    std::vector<std::string> out;
    EXPECT_EQ(gw_set_names_check(st, nullptr, kGwAcceptsAll, false, &out), GW_E_ARG);
    NameList missing({"a", "none"});
    EXPECT_EQ(gw_set_names_check(st, &missing.list, kGwAcceptsAll, false, &out), GW_E_NOT_FOUND);
    NameList bad({"a", "B"});
    EXPECT_EQ(gw_set_names_check(st, &bad.list, kStrict, false, &out), GW_E_NAME);
    NameList used({"a", "used"});
    ASSERT_EQ(gw_set_names_check(st, &used.list, kGwAcceptsAll, false, &out), GW_OK) << "a used set may be emptied";
    EXPECT_EQ(out, (std::vector<std::string>{"a", "used"}));
    EXPECT_EQ(gw_set_names_check(st, &used.list, kGwAcceptsAll, true, &out), GW_E_IN_USE);
    NameList twice({"a", "b", "a"});
    EXPECT_EQ(gw_set_names_check(st, &twice.list, kGwAcceptsAll, false, &out), GW_OK);
    EXPECT_EQ(gw_set_names_check(st, &twice.list, kGwAcceptsAll, true, &out), GW_E_NOT_FOUND)
        << "a set destroyed earlier in the list is gone";
}

TEST(GwChecks, SetTestIsContainment)
{
    GwState st;
    GwSet v4;
    v4.name = "blk";
    // Overlapping and adjoining entries, as the simulator may keep them.
    v4.entries = {"10.0.0.1", "10.1.0.0/16", "10.2.0.0/17", "10.2.128.0/18", "10.2.160.0/19", "192.168.0.0/16",
                  "255.255.255.255", "bogus"};
    st.sets.push_back(v4);
    GwSet v6;
    v6.name = "six";
    v6.protocol = 2;
    v6.entries = {"2001:db8::/32", "fe80::1"};
    st.sets.push_back(v6);

    struct Case {
        const char *set, *entry;
        int present;
    } cases[] = {
        {"blk", "10.0.0.1", 1},       {"blk", "10.0.0.1/32", 1},    {"blk", "10.0.0.2", 0},
        {"blk", "10.1.2.3", 1},       {"blk", "10.1.2.0/24", 1},    {"blk", "10.1.0.0/16", 1},
        {"blk", "10.0.0.0/15", 0},    {"blk", "10.2.0.0/18", 1},    {"blk", "10.2.0.0/17", 1},
        {"blk", "10.2.128.0/17", 0},  {"blk", "10.2.192.0/18", 0},  {"blk", "10.2.0.0/16", 0},
        {"blk", "10.2.100.0/22", 1},  {"blk", "10.2.191.255", 1},   {"blk", "10.2.192.0", 0},
        {"blk", "192.168.7.7", 1},    {"blk", "255.255.255.255", 1}, {"blk", "0.0.0.0/0", 0},
        {"six", "2001:db8:1::5", 1},  {"six", "2001:db8::/48", 1},  {"six", "2001:db9::", 0},
        {"six", "fe80::1", 1},        {"six", "fe80::/64", 0},
    };
    for (const Case &c : cases) {
        int present = -1;
        ASSERT_EQ(gw_set_check(st, c.set, c.entry, &present), GW_OK) << c.entry;
        EXPECT_EQ(present, c.present) << c.set << " " << c.entry;
    }
    // Adjoining entries cover the network they make up together.
    st.sets[0].entries = {"10.3.0.0/25", "10.3.0.128/25"};
    int present = 0;
    ASSERT_EQ(gw_set_check(st, "blk", "10.3.0.0/24", &present), GW_OK);
    EXPECT_EQ(present, 1);

    present = 1;
    EXPECT_EQ(gw_set_check(st, "none", "10.0.0.1", &present), GW_E_NOT_FOUND);
    EXPECT_EQ(present, 0);
    EXPECT_EQ(gw_set_check(st, "blk", "nonsense", &present), GW_E_ENTRY);
    EXPECT_EQ(gw_set_check(st, "blk", "2001:db8::1", &present), GW_E_ENTRY) << "not of the set's protocol";
    EXPECT_EQ(gw_set_check(st, "blk", nullptr, &present), GW_E_ARG);
}
