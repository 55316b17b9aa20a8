---@meta
-- c.mnf: ipsets and traffic-control rules through the gateway library
-- (docs/script-api.md#cmnf). Descriptors and lists are JSON texts.
local mnf = {}

---True when a set of exactly this name exists.
---@param name string
---@return boolean
function mnf.ipset_check(name) end

---Creates the set a descriptor describes (true also when it existed).
---@param descriptor string
---@return boolean
function mnf.ipset_create(descriptor) end

---Adds one entry to the set (created when missing).
---@param descriptor string
---@param entry string
---@return boolean
function mnf.ipset_add(descriptor, entry) end

---Removes one entry from the set.
---@param descriptor string
---@param entry string
---@return boolean
function mnf.ipset_del(descriptor, entry) end

---Adds every entry of a JSON array at once.
---@param descriptor string
---@param list string
---@return boolean
function mnf.ipset_add_list(descriptor, list) end

---Removes every entry of a JSON array at once.
---@param descriptor string
---@param list string
---@return boolean
function mnf.ipset_del_list(descriptor, list) end

---Empties a set.
---@param name string
---@return boolean
function mnf.ipset_flush(name) end

---Removes a set.
---@param name string
---@return boolean
function mnf.ipset_destroy(name) end

---Removes every set whose name begins with one of the prefixes (a JSON array).
---@param prefixes string
---@return boolean
function mnf.ipset_destroy_by_prefix(prefixes) end

---True when the library reports the entry in the set.
---@param name string
---@param entry string
---@return boolean
function mnf.ipset_test(name, entry) end

---The sets (or the one named), nil when the list cannot be had.
---@param name? string
---@return {SetName: string, SetType: string, Protocol: string, Direction: string, EntryNum: integer, Entries: table}[]?
function mnf.ipset_list(name) end

---Appends the rule a descriptor describes.
---@param descriptor string
---@return boolean
function mnf.rule_append(descriptor) end

---Inserts the rule a descriptor describes first.
---@param descriptor string
---@return boolean
function mnf.rule_insert(descriptor) end

---Removes the rule a descriptor names.
---@param descriptor string
---@return boolean
function mnf.rule_delete(descriptor) end

---Removes every rule of a chain.
---@param table_name string
---@param chain string
---@return boolean
function mnf.chain_flush(table_name, chain) end

---Accepted; does nothing.
---@return true
---@param ... any ignored
function mnf.chain_new(...) end

---Accepted; does nothing.
---@return true
---@param ... any ignored
function mnf.chain_delete(...) end

---Accepted; does nothing.
---@return true
---@param ... any ignored
function mnf.target_test(...) end

---The limits and the rules (of one chain with two names), nil when they cannot be had.
---@param table_name? string
---@param chain? string
---@return {global: table, profiles: table[]}?
function mnf.rule_list(table_name, chain) end

---MaxRules, MaxIpsetsPerRule, MaxElementsPerIpset; nil when the library fails.
---@return {MaxRules: integer, MaxIpsetsPerRule: integer, MaxElementsPerIpset: integer}?
function mnf.get_profile() end

return mnf
