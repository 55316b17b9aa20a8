// The simulated gateway's state file: a JSON object whose members (all
// optional) override the built-in default gateway.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>

#include "gateway/csecapi/gw_model.h"
#include "gateway/csecapi/sim/sim_store.h"

// The built-in default gateway.
void sim_default_state(SimState &st);

// Reads a parsed state file into `st` (the default gateway plus the file's
// members). 0, or -1 with the reason (member path and what is wrong) in
// `why` when a member has the wrong type.
int sim_state_from_json(const cJSON *root, SimState &st, char *why, size_t why_size);

// The whole state as a state file; nullptr when memory runs out.
cJSON *sim_state_to_json(const SimState &st);

// Replaces the member of `root` that holds `part` ("ipsets" or "rules") by
// its value in `st`, keeping every other member as it is. 0 or -1.
int sim_state_update_json(cJSON *root, SimPart part, const SimState &st);

// The state file's text for `root`, every number written so that it reads
// back as the same value; nullptr when memory runs out. The numbers of
// `root` become raw texts on the way, so the tree is good for nothing but
// printing afterwards.
char *sim_state_print(cJSON *root);
