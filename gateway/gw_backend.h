// Where the gateway state lives, for the backend that keeps the whole state
// as one model (the simulator: a JSON state file or memory); gw_api.cpp
// makes the csSgw_ functions over it. The OpenWrt backend has no such state
// and brings csSgw_ functions of its own (owrt.h); both share the model's
// types and checks and the handed-out lists.
#pragma once

#include <functional>

#include "gateway/gw_model.h"

// The part of the state a change may touch; a store rewrites only that.
enum GwPart { GW_PART_SETS, GW_PART_RULES };

// Runs `fn` on the current state. fn's code, or a failure code of the store
// (then fn has not run, and the reason went to standard error).
int gw_state_view(const std::function<int(const GwState &)> &fn);

// Runs `fn` on the current state, excluding every other change (in this
// process and in others), and keeps the changed state when fn answers
// GW_OK. fn's code, or a failure code of the store.
int gw_state_change(GwPart part, const std::function<int(GwState &)> &fn);
