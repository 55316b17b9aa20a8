---@meta
-- c.thread: worker threads and the message queue between threads
-- (docs/script-api.md#cthread).
local thread = {}

---Starts a worker with its command message; its thread id at once (0 when it could not start).
---@param message string
---@return integer id
function thread.run(message) end

---How many run calls this process made.
---@return integer
function thread.show_run_allcnt() end

---The kernel's id of the calling thread (not a thread id for messages).
---@return integer
function thread.gettid() end

---The calling thread's id.
---@return integer
function thread.self() end

---Asks the worker id to stop and returns at once.
---@param id integer
function thread.cancel(id) end

---True while the worker id runs (and for the caller's own id).
---@param id integer
---@return boolean
function thread.isalive(id) end

---Queues a copy of text for thread id; false when the queue is full or the arguments are wrong.
---@param id integer
---@param text string
---@return boolean
function thread.msgsend(id, text) end

---Takes the oldest message for id; nil when there is none (never waits).
---@param id integer
---@return string?
function thread.msgrecv(id) end

---Every queued message, oldest first.
---@return {pthid: integer, msg: string}[]
function thread.msgshow() end

---Removes every message from the queue.
function thread.msgflush() end

---A waiter for the calling thread's id: its descriptor is readable while messages for it are queued (for socket.select).
---@return c.thread.waiter? waiter
---@return string? error
function thread.waiter() end

---@class c.thread.waiter
local waiter = {}

---The descriptor for socket.select; -1 after close.
---@return integer
function waiter:getfd() end

---The oldest message for the waiter's id, waiting at most timeout seconds (absent or 0: no wait, negative: without limit); nil when none came.
---@param timeout? number
---@return string?
function waiter:recv(timeout) end

---The thread id it watches.
---@return integer
function waiter:id() end

---Releases the descriptor (again: nothing).
function waiter:close() end

return thread
