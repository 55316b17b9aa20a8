---@meta
-- Globals of every engine and the entry functions a bundle defines
-- (docs/bundle-guide.md).

---The directory the bundle was loaded from (the program or the data directory).
---@type string
rootpath = ""

---In the `ut` role only: the directory `ut` was started in.
---@type string?
startdir = nil

---The engine's constants: exit codes and protocol numbers.
CENUM = {
    APP_RETCODE_NORMAL = 128,
    APP_RETCODE_ERROR = 129,
    APP_RETCODE_UPDATE = 130,
    APP_RETCODE_UPDATE_LUA = 131,
    APP_RETCODE_UPDATE_SIG = 132,
    APP_RETCODE_RESTORE = 160,
    APP_RETCODE_MEMORY_OVERLIMIT = 180,
    APP_RETCODE_COMMAND_EXIT = 181,
    COMM_BUSINESS_SN = 1,
    COMM_BUSINESS_OUI = 4,
    COMM_BUSINESS_IPv4_MAC = 7,
    COMM_BUSINESS_PPPOE_ACCOUNT = 8,
    COMM_ACTION_UPLOAD = 2,
    COMM_ACTION_RESULT_OK = 0x100,
    COMM_ACTION_RESULT_FAIL = 0x101,
    COMM_ACTION_RESULT_CKEY_ERROR = 0x102,
    COMM_ACTION_CKEY_GET = 0xFF,
    COMM_ACTION_COMMON_HEART = 0x200,
    COMM_ACTION_GZIP_ACTION = 0xFFFF,
    COMM_ACTION_DEVOPS_DPI_INIT = 0xF001,
    COMM_ACTION_DEVOPS_DPI_HEART = 0xF002,
    COMM_ACTION_DEVOPS_DPI_RESULT = 0xF003,
    COMM_ACTION_DEVOPS_DPI_DATA = 0xF004,
    COMM_ACTION_DEVOPS_DPI_REQUEST = 0xF005,
    COMM_ACTION_DEVOPS_DPI_SIGCOLLECT = 0xF006,
    COMM_ACTION_DEVOPS_DPI_ROUTE = 0xF007,
    COMM_ACTION_DEVOPS_DPI_SIGCOLLECTLIST = 0xF008,
    COMM_ACTION_DEVOPS_DPI_SIGCOLLECT_UPDATE = 0xF009,
    COMM_ACTION_UPLOAD_JSON = 0xF,
    COMM_ACTION_UPLOAD_MULTI_JSON = 0x1F,
    USERSPACE_ENGINE = 1,
    PCAP_SUPPORT_READ_PACKET_TIMEOUT = 1,
}

---Called once on the main thread, and first in every worker engine.
---@param tmppath string the tmp directory (default /tmp/.uci)
---@param datapath string? the data directory, nil when it does not exist
function lcmd_boot(tmppath, datapath) end

---Called once on the main thread after lcmd_boot; a string or number result fails the start (exit 129).
---@param config string the path of config in the program directory
---@param msg1 string the set_log message
---@param msg2 string ""
---@param msg3 string the set_heid message
---@return string|number|nil error
function lcmd_init(config, msg1, msg2, msg3) end

---Delivers one command message (JSON text); returns the reply, or nil and an error text.
---@param text string
---@return string? reply
---@return string? error
function lcmd_runmsg(text) end

---Runs on the loop thread for the life of the process and serves .__scli.
function lcmd_loop() end

---Makes the text logged when lcmd_loop raises.
---@param err any
---@return string
function lcmd_errhandle(err) end

---The `ut` role: the result is the exit status (integer 0-255; false 1; nothing 0).
---@param ... string the command-line arguments
---@return integer|boolean|nil
function lcmd_unittest(...) end
