// The OpenWrt backend's readers: the UCI text format, entries as the
// library takes them and as nft lists them, and the limits config.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gateway/csecapi/openwrt/owrt.h"
#include "test_util.h"

namespace {

std::vector<UciSection> parse_ok(const std::string &text)
{
    std::vector<UciSection> s;
    std::string why;
    EXPECT_TRUE(uci_parse(text, &s, &why)) << why;
    return s;
}

std::string parse_error(const std::string &text)
{
    std::vector<UciSection> s;
    std::string why;
    EXPECT_FALSE(uci_parse(text, &s, &why)) << text;
    return why;
}

std::string option(const UciSection &s, const char *name)
{
    const std::string *v = uci_option(s, name);
    return v ? *v : "<none>";
}

// Points the library at a fake root for one test.
struct FakeRoot {
    ScratchDir dir;
    std::string saved;
    FakeRoot()
    {
        const char *old = getenv("KORVEX_GATEWAY_ROOT");
        saved = old ? old : "";
        setenv("KORVEX_GATEWAY_ROOT", dir.path.c_str(), 1);
        (void)!system(("mkdir -p '" + dir.path + "/etc/config'").c_str());
    }
    ~FakeRoot() { setenv("KORVEX_GATEWAY_ROOT", saved.c_str(), 1); }
    void config(const std::string &text) const { dir.put("etc/config/korvex", text); }
};

}  // namespace

TEST(Uci, SectionsOptionsAndListsInOrder)
{
    auto s = parse_ok("package network\n"
                      "\n"
                      "# a comment\n"
                      "config interface 'lan'\n"
                      "\toption device 'br-lan'\n"
                      "\toption proto static  # trailing comment\n"
                      "\tlist dns '1.1.1.1'\n"
                      "\tlist dns \"9.9.9.9\"\n"
                      "config device\n"
                      "\toption name br-lan\n");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].type, "interface");
    EXPECT_EQ(s[0].name, "lan");
    EXPECT_EQ(option(s[0], "device"), "br-lan");
    EXPECT_EQ(option(s[0], "proto"), "static");
    ASSERT_EQ(s[0].lists.size(), 1u);
    EXPECT_EQ(s[0].lists[0].second, (std::vector<std::string>{"1.1.1.1", "9.9.9.9"}));
    EXPECT_EQ(s[1].name, "") << "anonymous section";
    EXPECT_EQ(option(s[1], "name"), "br-lan");
}

TEST(Uci, QuotingAsTheShellDoes)
{
    auto s = parse_ok("config x 'y'\n"
                      "option single 'a \"b\" \\c # d'\n"
                      "option double \"a 'b' \\\"c\\\\\"\n"
                      "option joined 'it'\\''s'\n"
                      "option escaped a\\ b\n"
                      "option empty ''\n"
                      "option hash 'a#b'\n");
    EXPECT_EQ(option(s[0], "single"), "a \"b\" \\c # d");
    EXPECT_EQ(option(s[0], "double"), "a 'b' \"c\\");
    EXPECT_EQ(option(s[0], "joined"), "it's");
    EXPECT_EQ(option(s[0], "escaped"), "a b");
    EXPECT_EQ(option(s[0], "empty"), "");
    EXPECT_EQ(option(s[0], "hash"), "a#b");
}

TEST(Uci, ARepeatedOptionKeepsItsLastValue)
{
    auto s = parse_ok("config a\noption v 1\noption w 2\noption v 3\n");
    EXPECT_EQ(option(s[0], "v"), "3");
    EXPECT_EQ(s[0].options.size(), 2u);
}

TEST(Uci, ABackslashAtTheEndOfALineContinuesIt)
{
    auto s = parse_ok("config a\noption v 'one \\\ntwo'\n");
    EXPECT_EQ(option(s[0], "v"), "one two");
}

TEST(Uci, LinesItCannotReadAreErrorsWithTheirNumber)
{
    EXPECT_EQ(parse_error("config a\noption v 'open\n"), "line 2: unterminated quote");
    EXPECT_EQ(parse_error("option v 1\n"), "line 1: option outside a section");
    EXPECT_EQ(parse_error("config a\nbogus v 1\n"), "line 2: not a config, option or list line");
    EXPECT_EQ(parse_error("config a\noption v\n"), "line 2: not a config, option or list line");
    EXPECT_EQ(parse_error("config a b c\n"), "line 1: not a config, option or list line");
}

TEST(Limits, DefaultsWithoutAConfigFile)
{
    FakeRoot root;
    GwLimits l;
    l.max_rules = 1;
    ASSERT_EQ(owrt_limits(&l), GW_OK);
    EXPECT_EQ(l.max_rules, 64u);
    EXPECT_EQ(l.max_sets_per_rule, 8u);
    EXPECT_EQ(l.max_entries_per_set, 65535u);
}

TEST(Limits, EachOptionFromTheFirstSectionThatSetsIt)
{
    FakeRoot root;
    root.config("config gateway 'main'\n\toption max_rules '10'\n"
                "config other\n\toption max_rules '99'\n\toption max_entries_per_set 4294967295\n");
    GwLimits l;
    ASSERT_EQ(owrt_limits(&l), GW_OK);
    EXPECT_EQ(l.max_rules, 10u);
    EXPECT_EQ(l.max_sets_per_rule, 8u) << "default";
    EXPECT_EQ(l.max_entries_per_set, 4294967295u);
}

TEST(Limits, AValueThatIsNoWholeNumberFromOneUpFails)
{
    FakeRoot root;
    for (const char *bad : {"0", "-1", "+5", "1e3", "4294967296", " 7", "", "ten", "12345678901"}) {
        root.config(std::string("config gateway\n\toption max_sets_per_rule '") + bad + "'\n");
        GwLimits l;
        EXPECT_EQ(owrt_limits(&l), GW_E_STATE) << "'" << bad << "'";
    }
    root.config("config gateway\n\toption max_rules 'unterminated\n");
    GwLimits l;
    EXPECT_EQ(owrt_limits(&l), GW_E_STATE) << "a file that does not parse";
}

TEST(Entries, AddressesAndNetworksInTheFormNftReads)
{
    struct {
        uint32_t protocol;
        const char *given, *text;
    } cases[] = {
        {1, "10.0.0.1", "10.0.0.1"},
        {1, "10.0.0.1/32", "10.0.0.1"},
        {1, "10.1.0.0/16", "10.1.0.0/16"},
        {1, "0.0.0.0/0", "0.0.0.0/0"},
        {2, "2001:db8::1", "2001:db8:0:0:0:0:0:1"},
        {2, "2001:db8::/32", "2001:db8:0:0:0:0:0:0/32"},
        {2, "::ffff:1.2.3.4", "0:0:0:0:0:ffff:102:304"},
        {2, "::/0", "0:0:0:0:0:0:0:0/0"},
    };
    for (const auto &c : cases) {
        NftEntry e;
        ASSERT_TRUE(owrt_entry(c.protocol, c.given, &e)) << c.given;
        EXPECT_EQ(e.text, c.text) << c.given;
    }
}

TEST(Entries, NamesHostBitsAndOtherTextsAreRefused)
{
    for (const char *bad : {"localhost", "example.com", "10.0.0", "10.0.0.1 ", "10.0.0.1/33", "10.0.0.1; flush ruleset",
                            "{10.0.0.1}", "10.0.0.1\n", "", "0x0a000001", "::1"}) {
        NftEntry e;
        EXPECT_FALSE(owrt_entry(1, bad, &e)) << "'" << bad << "'";
    }
    NftEntry e;
    bool host_bits = false;
    EXPECT_FALSE(owrt_entry(1, "10.0.0.5/24", &e, &host_bits));
    EXPECT_TRUE(host_bits);
    EXPECT_FALSE(owrt_entry(2, "2001:db8::1/32", &e, &host_bits));
    EXPECT_TRUE(host_bits);
    EXPECT_FALSE(owrt_entry(2, "10.0.0.1", &e, &host_bits));
    EXPECT_FALSE(host_bits);
}

TEST(Entries, ListedFormsCompareByTheAddressesTheyCover)
{
    NftEntry given, listed;
    ASSERT_TRUE(owrt_entry(1, "10.0.0.0/30", &given));
    ASSERT_TRUE(owrt_listed_entry(1, "10.0.0.0-10.0.0.3", &listed));
    EXPECT_TRUE(owrt_entry_same(given, listed));
    ASSERT_TRUE(owrt_listed_entry(1, "10.0.0.0/30", &listed));
    EXPECT_TRUE(owrt_entry_same(given, listed));
    ASSERT_TRUE(owrt_entry(2, "::ffff:1.2.3.4", &given));
    ASSERT_TRUE(owrt_listed_entry(2, "::ffff:1.2.3.4", &listed));
    EXPECT_TRUE(owrt_entry_same(given, listed));
    EXPECT_FALSE(owrt_listed_entry(1, "10.0.0.0/40", &listed));
    EXPECT_FALSE(owrt_listed_entry(1, "ten", &listed));
}

TEST(Entries, OverlapIsSharingAnyAddress)
{
    auto e = [](const char *text) {
        NftEntry n;
        EXPECT_TRUE(owrt_entry(1, text, &n)) << text;
        return n;
    };
    EXPECT_TRUE(owrt_entry_overlap(e("10.0.0.0/8"), e("10.1.2.3")));
    EXPECT_TRUE(owrt_entry_overlap(e("10.0.0.0/25"), e("10.0.0.127")));
    EXPECT_FALSE(owrt_entry_overlap(e("10.0.0.0/25"), e("10.0.0.128/25")));
    EXPECT_FALSE(owrt_entry_overlap(e("10.0.0.1"), e("10.0.0.2")));
}

TEST(Names, LettersDigitsAndUnderscoreDotHyphenUpToTheField)
{
    EXPECT_TRUE(owrt_name_valid("t-c.a_B9", 63));
    EXPECT_TRUE(owrt_name_valid(std::string(63, 'n'), 63));
    EXPECT_FALSE(owrt_name_valid(std::string(64, 'n'), 63));
    for (const char *bad : {"", "a b", "a\"b", "a;b", "a{b", "a}b", "a\nb", "a'b", "a/b", "a@b", "a$b", "\xc3\xa9"})
        EXPECT_FALSE(owrt_name_valid(bad, 255)) << "'" << bad << "'";
}
