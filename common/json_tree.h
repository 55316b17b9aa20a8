// An owned cJSON tree: deleted when its holder goes out of scope, on every
// path. Only for code outside script functions: a Lua error leaves those by
// longjmp and would skip the delete (they free their trees by hand).
#pragma once

#include <memory>

#include <cjson/cJSON.h>

struct JsonTreeDelete {
    void operator()(cJSON *tree) const { cJSON_Delete(tree); }
};
using JsonTree = std::unique_ptr<cJSON, JsonTreeDelete>;
