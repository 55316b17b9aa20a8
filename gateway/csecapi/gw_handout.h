// Lists and records our libcsecapi.so hands out: each is one block built
// from the state, registered until the matching release function takes it
// back. What is still out at process exit is reported when
// KORVEX_GATEWAY_REPORT names a file ("outstanding N", appended).
#pragma once

#include "gateway/csecapi/gw_model.h"

enum GwKind { GW_HOSTS, GW_MATCHES, GW_SETS_CONF, GW_SETS_INFO, GW_RULE, GW_STATUS };

// Builders: the block (registered as `kind`), or nullptr when memory runs
// out. With `empty`, a valid list holding nothing (hosts: count 0 and a
// non-null array).
CsSgw_LanHostInfo_t *gw_handout_hosts(const GwState &st, bool empty, int *count);
CsSgw_MatchList_t *gw_handout_matches(const GwState &st, bool empty);
CsSgw_IPSetsList_t *gw_handout_sets(const GwState &st, bool empty, bool with_entries);
CsSgw_TrafficControl_t *gw_handout_rule(const GwRule *rule);  // nullptr rule: an empty record
CsSgw_ProfileStatusList_t *gw_handout_status(const GwState &st, bool empty);

// Takes a block back: GW_OK, or GW_E_RELEASE (and nothing freed) when
// `block` is not out as `kind`.
int gw_handout_release(void *block, GwKind kind);

// Blocks handed out and not yet released.
long gw_handout_outstanding();
