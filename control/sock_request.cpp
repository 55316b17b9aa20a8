#include "control/sock_request.h"

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

    // The short forms are built in a 256-byte buffer and so cut at 255 characters.
    char buf[256];
    if (strcmp(argv[0], "help") == 0) {
        if (argc == 1)
            snprintf(buf, sizeof buf, "{\"action\":\"help\"}");
        else if (argc == 2)
            snprintf(buf, sizeof buf, "{\"action\":\"help\", \"subtype\":\"%s\"}", argv[1]);
        else
            snprintf(buf, sizeof buf, "{\"action\":\"help\", \"subtype\":\"%s\", \"name\":\"%s\"}",
                     argv[1], argv[2]);
        return copy_or_fail(buf, err);
    }

    if (argc == 1) {
        if (argv[0][0] == '{')
            return copy_or_fail(argv[0], err);
        // Arrays are not commands; the caller gets no request and no text.
        if (argv[0][0] == '[')
            return nullptr;
        snprintf(buf, sizeof buf, "{\"action\":\"%s\"}", argv[0]);
        return copy_or_fail(buf, err);
    }

    if (argc == 2) {
        // The subtype comes first on the command line.
        snprintf(buf, sizeof buf, "{\"action\":\"%s\", \"subtype\":\"%s\"}", argv[1], argv[0]);
        return copy_or_fail(buf, err);
    }

    return object_form(argv[0], argv[1], argv[2], err);
}
