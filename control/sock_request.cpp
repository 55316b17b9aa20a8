#include "control/sock_request.h"

#include "common/json_escape.h"
#include "control/err_text.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kCliUsageText[] =
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

namespace {

// A fixed request form being filled in, cut at 255 characters like the
// 256-byte buffer it is sent from.
struct Form {
    char text[256];
    bool full;  // something did not fit: nothing more is added
};

// Template text: cut anywhere, as snprintf would.
void form_raw(Form &f, const char *s)
{
    if (f.full)
        return;
    size_t len = strlen(f.text);
    size_t n = strlen(s);
    if (n > sizeof f.text - 1 - len) {
        n = sizeof f.text - 1 - len;
        f.full = true;
    }
    memcpy(f.text + len, s, n);
    f.text[len + n] = '\0';
}

// A word from the command line inside a JSON string: escaped, so that a
// word can never add members of its own; an escape goes in whole or not at
// all.
void form_word(Form &f, const char *s)
{
    if (!f.full)
        f.full = !json_escape_append(f.text, sizeof f.text, s);
}

// Fills a form: `parts` alternate template text and words, starting with
// template text; nullptr ends them.
char *form_build(const char *const *parts, char **err)
{
    Form f;
    f.full = false;
    f.text[0] = '\0';
    for (int i = 0; parts[i]; ++i) {
        if (i % 2 == 0)
            form_raw(f, parts[i]);
        else
            form_word(f, parts[i]);
    }
    char *copy = strdup(f.text);
    if (!copy)
        err_text_copy(err, "malloc failed");
    return copy;
}

char *copy_or_fail(const char *text, char **err)
{
    char *copy = strdup(text);
    if (!copy)
        err_text_copy(err, "malloc failed");
    return copy;
}

// Subtype and action are appended after the members given by the user; a
// member of the same name given there is left as it is.
char *object_form(const char *subtype, const char *action, const char *json, char **err)
{
    cJSON *root = cJSON_Parse(json);
    // Only an object can carry the members of a command message.
    if (!cJSON_IsObject(root)) {
        cJSON_Delete(root);
        err_text_copy(err, "failed to json parse");
        return nullptr;
    }
    if (!cJSON_AddStringToObject(root, "subtype", subtype) ||
        !cJSON_AddStringToObject(root, "action", action)) {
        cJSON_Delete(root);
        err_text_copy(err, "malloc failed");
        return nullptr;
    }
    char *printed = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (!printed) {
        err_text_copy(err, "failed to PrintUnformatted");
        return nullptr;
    }
    // Hand out a plain malloc'ed copy whatever allocator cJSON was given.
    char *req = copy_or_fail(printed, err);
    cJSON_free(printed);
    return req;
}

} // namespace

char *lcmd_sock_request(int argc, const char *const *argv, char **err)
{
    if (argc < 1 || argc > 3 || !argv) {
        err_text_copy(err, kCliUsageText);
        return nullptr;
    }
    for (int i = 0; i < argc; i++) {
        if (!argv[i]) {
            err_text_copy(err, kCliUsageText);
            return nullptr;
        }
    }

    // The short forms are cut at 255 characters, like the 256-byte buffer
    // they were always sent from.
    if (strcmp(argv[0], "help") == 0) {
        if (argc == 1) {
            const char *const parts[] = {"{\"action\":\"help\"}", nullptr};
            return form_build(parts, err);
        }
        if (argc == 2) {
            const char *const parts[] = {"{\"action\":\"help\", \"subtype\":\"", argv[1], "\"}", nullptr};
            return form_build(parts, err);
        }
        const char *const parts[] = {"{\"action\":\"help\", \"subtype\":\"", argv[1], "\", \"name\":\"", argv[2],
                                     "\"}", nullptr};
        return form_build(parts, err);
    }

    if (argc == 1) {
        if (argv[0][0] == '{')
            return copy_or_fail(argv[0], err);
        // Arrays are not commands; the caller gets no request and no text.
        if (argv[0][0] == '[')
            return nullptr;
        const char *const parts[] = {"{\"action\":\"", argv[0], "\"}", nullptr};
        return form_build(parts, err);
    }

    if (argc == 2) {
        // The subtype comes first on the command line.
        const char *const parts[] = {"{\"action\":\"", argv[1], "\", \"subtype\":\"", argv[0], "\"}", nullptr};
        return form_build(parts, err);
    }

    return object_form(argv[0], argv[1], argv[2], err);
}
