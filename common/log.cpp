#include "common/log.h"

#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char *const kLevelNames[] = {"fatal", "error", "warn", "info", "debug", "trace", nullptr};

constexpr size_t kMessageSize = 3968;
constexpr size_t kStampSize = 64;
constexpr size_t kLineSize = 4096;

std::atomic<int> g_level{LVL_FATAL};
// Guards the file path and serialises output, so that log_set on one thread
// never frees the path another thread is about to open, and lines never mix.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
char *g_file = nullptr;

void copy_cut(char *dst, size_t size, const char *src)
{
    if (size == 0)
        return;
    snprintf(dst, size, "%s", src);
}

}  // namespace

void log_printf(int level, const char *operation, const char *fmt, ...)
{
    if (level > g_level.load(std::memory_order_relaxed))
        return;

    char message[kMessageSize];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);

    char stamp[kStampSize];
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm_now);

    const char *level_name = (level >= 0 && level <= LVL_TRACE) ? kLevelNames[level] : "";
    char line[kLineSize];
    int n = snprintf(line, sizeof line, "[%s][%s][%s]: %s\n", stamp, level_name, operation, message);
    size_t len = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);

    // fopen, fwrite and printf are cancellation points: a worker cancelled
    // there would leave the lock taken and every later line hanging.
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    pthread_mutex_lock(&g_lock);
    if (g_file) {
        FILE *f = fopen(g_file, "a+");
        if (f) {
            fwrite(line, 1, len, f);
            fclose(f);
        }
    } else {
        printf("%s", line);
    }
    pthread_mutex_unlock(&g_lock);
    pthread_setcancelstate(cancel_state, nullptr);
}

void log_set(const char *level_name, const char *file_path)
{
    char *copy = file_path ? strdup(file_path) : nullptr;
    int level = LVL_FATAL;
    for (int i = 0; level_name && kLevelNames[i]; ++i) {
        if (strcmp(kLevelNames[i], level_name) == 0) {
            level = i;
            break;
        }
    }
    pthread_mutex_lock(&g_lock);
    char *old = g_file;
    g_file = copy;
    g_level.store(level, std::memory_order_relaxed);
    pthread_mutex_unlock(&g_lock);
    free(old);
}

int log_get(char *level_buf, size_t level_size, char *file_buf, size_t file_size)
{
    pthread_mutex_lock(&g_lock);
    int level = g_level.load(std::memory_order_relaxed);
    copy_cut(level_buf, level_size, kLevelNames[level]);
    if (g_file)
        copy_cut(file_buf, file_size, g_file);
    pthread_mutex_unlock(&g_lock);
    return 0;
}
