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
