// Request texts built from the client's arguments.
#include "control/sock_request.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Built {
    bool made;
    std::string req;
    bool has_err;
    std::string err;
};

Built build(std::vector<const char *> args, int count = -1)
{
    if (count < 0)
        count = static_cast<int>(args.size());
    char *err = nullptr;
    char *req = lcmd_sock_request(count, args.empty() ? nullptr : args.data(), &err);
    Built b{req != nullptr, req ? req : "", err != nullptr, err ? err : ""};
    free(req);
    free(err);
    return b;
}

void expect_request(const std::vector<const char *> &args, const std::string &want)
{
    Built b = build(args);
    EXPECT_TRUE(b.made);
    EXPECT_EQ(b.req, want);
    EXPECT_FALSE(b.has_err) << b.err;
}

void expect_error(const std::vector<const char *> &args, const std::string &want, int count = -1)
{
    Built b = build(args, count);
    EXPECT_FALSE(b.made) << b.req;
    EXPECT_TRUE(b.has_err);
    EXPECT_EQ(b.err, want);
}

const char kUsage[] =
    "usage is following:\n"
    "\n"
    "1. ./CLI_client '{}'\n"
    "    all is in one json\n"
    "2. ./CLI_client help [subtype action]\n"
    "    help usage\n"
    "       only help, means all brief help\n"
    "       help and subtype, means subtype help\n"
    "       help and subtype and action, means action help for such subtype\n"
    "3. ./CLI_client subtype[:type] action ['{}']\n"
    "   args will be expanded to '{type = type, subtype = subtype, action = action, ...}'\n"
    "   last parameter can be empty if action need not any parameter\n";

} // namespace

TEST(SockRequest, UsageTextIsExact)
{
    EXPECT_STREQ(kCliUsageText, kUsage);
}

TEST(SockRequest, WrongCountGivesWholeUsageText)
{
    // The usage text is longer than the 299 characters of formatted messages.
    ASSERT_GT(sizeof kUsage, 300u);
    expect_error({}, kUsage, 0);
    expect_error({"a", "b", "c", "d"}, kUsage);
    expect_error({"help", "a", "b", "c"}, kUsage);
    char *err = nullptr;
    const char *one[] = {"x"};
    EXPECT_EQ(lcmd_sock_request(-3, one, &err), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, kUsage);
    free(err);
}

TEST(SockRequest, HelpForms)
{
    expect_request({"help"}, "{\"action\":\"help\"}");
    expect_request({"help", "sys"}, "{\"action\":\"help\", \"subtype\":\"sys\"}");
    expect_request({"help", "sys", "set_log"}, "{\"action\":\"help\", \"subtype\":\"sys\", \"name\":\"set_log\"}");
    // The third argument of a help request is a name, not JSON.
    expect_request({"help", "sys", "not json"}, "{\"action\":\"help\", \"subtype\":\"sys\", \"name\":\"not json\"}");
    // Only the exact word counts.
    expect_request({"Help"}, "{\"action\":\"Help\"}");
    expect_request({"helpme", "x"}, "{\"action\":\"x\", \"subtype\":\"helpme\"}");
}

TEST(SockRequest, SingleArgumentForms)
{
    expect_request({"exit"}, "{\"action\":\"exit\"}");
    expect_request({"{\"subtype\":\"sys\",\"action\":\"exit\"}"}, "{\"subtype\":\"sys\",\"action\":\"exit\"}");
    // A whole JSON command is sent as it is: not parsed, not cut.
    std::string big = "{" + std::string(5000, 'x');
    expect_request({big.c_str()}, big);
    expect_request({"{not json"}, "{not json");
    expect_request({""}, "{\"action\":\"\"}");

    Built b = build({"[1]"});
    EXPECT_FALSE(b.made);
    EXPECT_FALSE(b.has_err);
    b = build({"["});
    EXPECT_FALSE(b.made);
    EXPECT_FALSE(b.has_err);
}

TEST(SockRequest, TwoArgumentsSubtypeFirst)
{
    expect_request({"sys", "exit"}, "{\"action\":\"exit\", \"subtype\":\"sys\"}");
    // subtype:type is passed on whole; the listener splits it.
    expect_request({"net:wan", "get"}, "{\"action\":\"get\", \"subtype\":\"net:wan\"}");
}

TEST(SockRequest, WordsCannotAddMembersOfTheirOwn)
{
    // Quotes and backslashes are escaped: the word stays one string.
    expect_request({"a\"b", "c\\d"}, "{\"action\":\"c\\\\d\", \"subtype\":\"a\\\"b\"}");
    Built b = build({"sys\",\"action\":\"exit", "status"});
    cJSON *req = cJSON_Parse(b.req.c_str());
    ASSERT_TRUE(req) << b.req;
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(req, "action")), "status");
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(req, "subtype")), "sys\",\"action\":\"exit");
    EXPECT_EQ(cJSON_GetArraySize(req), 2);
    cJSON_Delete(req);
    // Control characters too, in every form.
    expect_request({"a\tb\nc\x01"}, "{\"action\":\"a\\tb\\nc\\u0001\"}");
    expect_request({"help", "\"", "\\"}, "{\"action\":\"help\", \"subtype\":\"\\\"\", \"name\":\"\\\\\"}");
}

TEST(SockRequest, CutNeverSplitsAnEscape)
{
    // The cut at 255 falls on each of the two characters of an escape in turn.
    for (size_t pad = 238; pad < 244; ++pad) {
        std::string word = std::string(pad, 'p') + std::string(20, '"');
        Built b = build({word.c_str()});
        std::string want = "{\"action\":\"" + std::string(pad, 'p');
        while (want.size() + 2 <= 255)
            want += "\\\"";
        EXPECT_EQ(b.req, want);
    }
}

TEST(SockRequest, FixedFormsCutAt255)
{
    std::string a300(300, 'a');
    std::string want = ("{\"action\":\"" + a300 + "\"}").substr(0, 255);
    expect_request({a300.c_str()}, want);

    expect_request({"sys", a300.c_str()}, ("{\"action\":\"" + a300 + "\", \"subtype\":\"sys\"}").substr(0, 255));
    expect_request({a300.c_str(), "x"}, ("{\"action\":\"x\", \"subtype\":\"" + a300 + "\"}").substr(0, 255));
    expect_request({"help", a300.c_str()}, ("{\"action\":\"help\", \"subtype\":\"" + a300 + "\"}").substr(0, 255));
    expect_request({"help", "s", a300.c_str()},
                   ("{\"action\":\"help\", \"subtype\":\"s\", \"name\":\"" + a300 + "\"}").substr(0, 255));

    // Exactly 255 characters stay whole; 256 lose the last one.
    std::string exact = "{\"action\":\"" + std::string(255 - 13, 'b') + "\"}";
    ASSERT_EQ(exact.size(), 255u);
    expect_request({std::string(255 - 13, 'b').c_str()}, exact);
    std::string b243(256 - 13, 'b');
    expect_request({b243.c_str()}, "{\"action\":\"" + b243 + "\"");
}

TEST(SockRequest, ThreeArgumentsMergeIntoObject)
{
    expect_request({"sys", "set_log", "{\"level\":\"info\"}"},
                   "{\"level\":\"info\",\"subtype\":\"sys\",\"action\":\"set_log\"}");
    expect_request({"sys", "exit", "{}"}, "{\"subtype\":\"sys\",\"action\":\"exit\"}");
    // Reprinted without formatting.
    expect_request({"a", "b", " {\n \"n\" : [1, 2],\t\"o\":{\"p\":null} }"},
                   "{\"n\":[1,2],\"o\":{\"p\":null},\"subtype\":\"a\",\"action\":\"b\"}");
    // Members of the same name stay where they are; the new ones follow.
    expect_request({"sys", "exit", "{\"action\":\"old\",\"subtype\":\"mine\"}"},
                   "{\"action\":\"old\",\"subtype\":\"mine\",\"subtype\":\"sys\",\"action\":\"exit\"}");
    // Subtype and action are JSON strings here, so they are escaped.
    expect_request({"a\"b", "c", "{}"}, "{\"subtype\":\"a\\\"b\",\"action\":\"c\"}");
    // No cut for this form.
    std::string long_val(1000, 'v');
    std::string json = "{\"k\":\"" + long_val + "\"}";
    expect_request({"s", "a", json.c_str()}, "{\"k\":\"" + long_val + "\",\"subtype\":\"s\",\"action\":\"a\"}");
}

TEST(SockRequest, ThreeArgumentsRefused)
{
    expect_error({"sys", "set_log", "level=info"}, "failed to json parse");
    expect_error({"sys", "set_log", ""}, "failed to json parse");
    expect_error({"sys", "set_log", "{\"level\":"}, "failed to json parse");
    // Only an object can carry further members of a command.
    expect_error({"sys", "set_log", "[1,2]"}, "failed to json parse");
    expect_error({"sys", "set_log", "5"}, "failed to json parse");
    expect_error({"sys", "set_log", "\"text\""}, "failed to json parse");
}

TEST(SockRequest, ErrorPointerIsOptional)
{
    const char *args[] = {"sys", "x", "no json"};
    EXPECT_EQ(lcmd_sock_request(3, args, nullptr), nullptr);
    EXPECT_EQ(lcmd_sock_request(0, args, nullptr), nullptr);
    char *req = lcmd_sock_request(2, args, nullptr);
    ASSERT_NE(req, nullptr);
    EXPECT_STREQ(req, "{\"action\":\"x\", \"subtype\":\"sys\"}");
    free(req);
}
