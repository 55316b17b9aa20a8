#include "control/cli_client.h"

#include "control/sock_call.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>

int cli_client_main(const char *tmppath, int argc, char **argv)
{
    char *reply = nullptr;
    char *err = nullptr;
    lcmd_sock_call(tmppath, argc, argv, &reply, &err);

    if (err) {
        printf("%s\n", err);
        free(err);
    }
    if (reply) {
        // A reply that is not JSON is not shown.
        cJSON *root = cJSON_Parse(reply);
        if (root) {
            char *text = cJSON_Print(root);
            if (text) {
                printf("%s\n", text);
                cJSON_free(text);
            }
            cJSON_Delete(root);
        }
        free(reply);
    }
    fflush(stdout);
    return 0;
}
