#include "watchdog/restart_policy.h"

#include "common/intervals.h"

#include <sys/wait.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace {

struct ExitRule {
    int code;
    ExitAction action;
};

constexpr ExitRule kExitRules[] = {
    {APP_RETCODE_ERROR, ExitAction::BootFailure},
    {APP_RETCODE_UPDATE, ExitAction::Upgrade},
    {APP_RETCODE_UPDATE_LUA, ExitAction::Upgrade},
    {APP_RETCODE_UPDATE_SIG, ExitAction::Upgrade},
    {APP_RETCODE_RESTORE, ExitAction::NewCycle},
};

constexpr size_t kSegvSteps = sizeof kSegvDelayS / sizeof kSegvDelayS[0];

}  // namespace

ExitStatus wait_status_decode(int status)
{
    if (WIFEXITED(status))
        return {WEXITSTATUS(status), true};
    if (WIFSIGNALED(status))
        return {WTERMSIG(status), false};
    return {WSTOPSIG(status), false};
}

DecodedExit decode_exit(const ProcTable &table, int pid, int status)
{
    DecodedExit e = {-1, wait_status_decode(status)};
    for (int i = 0; i < table.count && i < kMaxEntries; ++i) {
        if (table.entries[i].pid == pid) {
            e.index = i;
            break;
        }
    }
    return e;
}

ExitAction exit_action(const ExitStatus &status)
{
    if (status.normal)
        for (const ExitRule &rule : kExitRules)
            if (rule.code == status.code)
                return rule.action;
    return ExitAction::Restart;
}

int restart_code(const ExitStatus &status, bool killed_by_alive_check)
{
    if (!status.normal && status.code == SIGKILL && killed_by_alive_check)
        return kAliveKillCode;
    return status.code;
}

long segv_delay(ProcTable &table)
{
    // Saturates instead of wrapping back to the short delays.
    if (table.segv_count < UINT32_MAX)
        ++table.segv_count;
    size_t step = table.segv_count < kSegvSteps ? table.segv_count : kSegvSteps;
    return kSegvDelayS[step - 1];
}

RestartDelay restart_delay(const ExitStatus &status, ProcTable &table)
{
    if (!status.normal && status.code == SIGSEGV)
        return {segv_delay(table), true};
    return {kRestartDelayS, false};
}

bool counts_as_failed_attempt(const ExitStatus &status) { return exit_action(status) == ExitAction::Restart; }

bool run_proven(int64_t run_ms) { return run_ms >= kBootProofMs; }
