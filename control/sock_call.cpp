#include "control/sock_call.h"

#include "common/intervals.h"
#include "control/err_text.h"
#include "control/sock_io.h"
#include "control/sock_request.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kNoTmpDirText[] = "Failed to connect, err is no tmp directory (-T, or /tmp/.uci/)";

int lcmd_sock_call(const char *tmpdir, int argc, const char *const *argv, char **reply, char **err)
{
    if (reply)
        *reply = nullptr;
    if (err)
        *err = nullptr;

    if (argc < 1 || argc > 3) {
        err_text_copy(err, kCliUsageText);
        return -1;
    }
    char *req = lcmd_sock_request(argc, argv, err);
    if (!req)
        return -1;

    char path[256];
    if (!tmpdir) {
        // The tmp directory did not resolve: there is nothing to connect to.
        err_text_copy(err, kNoTmpDirText);
        free(req);
        return -1;
    }
    snprintf(path, sizeof path, "%s/.__scli", tmpdir);
    int fd = local_sock_connect(path, err);
    if (fd < 0) {
        free(req);
        return -1;
    }

    // Every wait of the exchange gets the whole time-out.
    const long timeout_ms = kExchangeTimeoutMs;
    int ret = -1;
    char *answer = nullptr;
    if (local_sock_write(fd, req, err, timeout_ms) == 0 &&
        local_sock_read_msg(fd, &answer, err, timeout_ms) == 0) {
        if (reply)
            *reply = answer;
        else
            free(answer);
        ret = 0;
    }
    free(req);
    close(fd);
    return ret;
}
