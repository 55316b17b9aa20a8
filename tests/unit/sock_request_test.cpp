// Request texts built from the client's arguments.
#include "control/sock_request.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

// The usage text the builder hands out for a count it does not take.
std::string usage_text()
{
    Built b = build({}, 0);
    EXPECT_FALSE(b.made);
    EXPECT_TRUE(b.has_err);
    return b.err;
}

// The numbered lines of the usage text ("N. ./CLI_client <form>"), each
// as the argument words of its form: with the optional parts ("[...]")
// left out, or all of them given, brackets and shell quotes removed.
struct Form {
    std::vector<std::string> fewest, most;
};

std::vector<std::string> words(const std::string &text)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find(' ', i);
        if (j == std::string::npos)
            j = text.size();
        if (j > i)
            out.push_back(text.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string strip(const std::string &text, const char *chars)
{
    std::string out;
    for (char c : text)
        if (!strchr(chars, c))
            out += c;
    return out;
}

std::vector<Form> usage_forms(const std::string &usage)
{
    std::vector<Form> forms;
    const std::string call = "./CLI_client ";
    size_t at = 0;
    while (at < usage.size()) {
        size_t end = usage.find('\n', at);
        std::string line = usage.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? usage.size() : end + 1;
        size_t c = line.find(call);
        if (c == std::string::npos || line.find(std::to_string(forms.size() + 1) + ". ") != 0)
            continue;
        std::string form = line.substr(c + call.size());
        std::string without;
        int depth = 0;
        for (char ch : form) {
            if (ch == '[')
                depth++;
            else if (ch == ']')
                depth--;
            else if (depth == 0)
                without += ch;
        }
        forms.push_back({words(strip(without, "'")), words(strip(form, "[]'"))});
    }
    return forms;
}

} // namespace

TEST(SockRequest, the_usage_text_shows_forms_that_the_builder_takes)
{
    std::string usage = usage_text();
    // A heading, an empty line, then the forms; every line ends.
    ASSERT_FALSE(usage.empty());
    EXPECT_EQ(usage.back(), '\n');
    size_t heading = usage.find('\n');
    ASSERT_GT(heading, 0u);
    ASSERT_LT(heading + 1, usage.size());
    EXPECT_EQ(usage[heading - 1], ':');
    EXPECT_EQ(usage[heading + 1], '\n');
    EXPECT_EQ(usage.find("\n\n", heading + 1), std::string::npos);

    // One numbered form for each count of arguments, and each form, with
    // and without its optional parts, builds a request.
    std::vector<Form> forms = usage_forms(usage);
    ASSERT_EQ(forms.size(), 3u) << usage;
    std::vector<size_t> counts;
    for (const Form &f : forms) {
        for (const std::vector<std::string> *args : {&f.fewest, &f.most}) {
            std::vector<const char *> argv;
            for (const std::string &w : *args)
                argv.push_back(w.c_str());
            Built b = build(argv);
            EXPECT_TRUE(b.made) << b.err;
            EXPECT_FALSE(b.has_err) << b.err;
            cJSON *req = cJSON_Parse(b.req.c_str());
            EXPECT_TRUE(cJSON_IsObject(req)) << b.req;
            cJSON_Delete(req);
            counts.push_back(args->size());
        }
    }
    for (size_t n : {1u, 2u, 3u})
        EXPECT_NE(std::find(counts.begin(), counts.end(), n), counts.end()) << n;
}

TEST(SockRequest, a_wrong_count_gives_the_whole_usage_text)
{
    // The usage text is longer than the 299 characters of formatted
    // messages, and handed out whole.
    std::string usage = usage_text();
    EXPECT_GT(usage.size(), 300u);
    expect_error({"a", "b", "c", "d"}, usage);
    expect_error({"help", "a", "b", "c"}, usage);
    char *err = nullptr;
    const char *one[] = {"x"};
    EXPECT_EQ(lcmd_sock_request(-3, one, &err), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err, usage);
    free(err);
}

TEST(SockRequest, help_forms_name_the_subtype_and_the_action)
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

TEST(SockRequest, a_single_argument_is_an_action_or_a_whole_command)
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

TEST(SockRequest, two_arguments_are_subtype_then_action)
{
    expect_request({"sys", "exit"}, "{\"action\":\"exit\", \"subtype\":\"sys\"}");
    // subtype:type is passed on whole; the listener splits it.
    expect_request({"net:wan", "get"}, "{\"action\":\"get\", \"subtype\":\"net:wan\"}");
}

TEST(SockRequest, words_cannot_add_members_of_their_own)
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

TEST(SockRequest, the_cut_never_splits_an_escape)
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

TEST(SockRequest, fixed_forms_are_cut_at_255)
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

TEST(SockRequest, three_arguments_merge_into_the_object)
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

TEST(SockRequest, a_third_argument_that_is_no_json_object_is_refused)
{
    expect_error({"sys", "set_log", "level=info"}, "failed to json parse");
    expect_error({"sys", "set_log", ""}, "failed to json parse");
    expect_error({"sys", "set_log", "{\"level\":"}, "failed to json parse");
    // Only an object can carry further members of a command.
    expect_error({"sys", "set_log", "[1,2]"}, "failed to json parse");
    expect_error({"sys", "set_log", "5"}, "failed to json parse");
    expect_error({"sys", "set_log", "\"text\""}, "failed to json parse");
}

TEST(SockRequest, the_error_pointer_is_optional)
{
    const char *args[] = {"sys", "x", "no json"};
    EXPECT_EQ(lcmd_sock_request(3, args, nullptr), nullptr);
    EXPECT_EQ(lcmd_sock_request(0, args, nullptr), nullptr);
    char *req = lcmd_sock_request(2, args, nullptr);
    ASSERT_NE(req, nullptr);
    EXPECT_STREQ(req, "{\"action\":\"x\", \"subtype\":\"sys\"}");
    free(req);
}
