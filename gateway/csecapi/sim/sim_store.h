// Where the simulated gateway keeps its state, as one model (a JSON state
// file or memory); sim_api.cpp makes the csSgw_ functions over it. The
// OpenWrt backend has no such state and brings csSgw_ functions of its own
// (openwrt/owrt.h); both share the model's types and checks and the
// handed-out lists.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "gateway/csecapi/gw_model.h"

// The simulated gateway: the shared model and the failures a test asked
// for, which only the simulator has.
struct SimState : GwState {
    // csSgw_ function name -> the code it returns instead of working (0: it
    // returns success and does nothing, handing out no list).
    std::map<std::string, int> fail;
    bool fail_leaves_list = false;  // a failing list getter still hands out an empty list
};

// The code injected for `function`, if any.
inline bool sim_injected(const SimState &st, const char *function, int *code)
{
    auto it = st.fail.find(function);
    if (it == st.fail.end())
        return false;
    *code = it->second;
    return true;
}

// The part of the state a change may touch; a store rewrites only that.
enum SimPart { SIM_PART_SETS, SIM_PART_RULES };

// Runs `fn` on the current state. fn's code, or a failure code of the store
// (then fn has not run, and the reason went to standard error).
int sim_state_view(const std::function<int(const SimState &)> &fn);

// Runs `fn` on the current state, excluding every other change (in this
// process and in others), and keeps the changed state when fn answers
// GW_OK. fn's code, or a failure code of the store.
int sim_state_change(SimPart part, const std::function<int(SimState &)> &fn);
