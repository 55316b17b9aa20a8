---@meta
-- c.crypto: AES, digests, HMAC, HKDF, zlib and gzip; every failure gives no value
-- (docs/script-api.md#ccrypto).
local crypto = {}

---AES-128 (ECB or CBC) with zero padding.
---@param data string
---@param key string
---@param mode? "ecb"|"cbc"
---@return string?
function crypto.encrypt(data, key, mode) end

---AES-128 decryption; the padding stays.
---@param data string
---@param key string
---@param mode? "ecb"|"cbc"
---@return string?
function crypto.decrypt(data, key, mode) end

---AES-GCM encryption: the output and the 16-byte tag.
---@param data string
---@param key string
---@param iv string
---@param aad string
---@return string? output
---@return string? tag
function crypto.gcm_encrypt(data, key, iv, aad) end

---AES-GCM decryption: the output and the computed tag, not checked (compare it yourself, or use gcm_open).
---@param data string
---@param key string
---@param iv string
---@param aad string
---@return string? output
---@return string? tag
function crypto.gcm_decrypt(data, key, iv, aad) end

---AES-GCM decryption that checks the 16-byte tag (in constant time): the plaintext, or nil when anything was changed.
---Use this for new protocols.
---@param data string
---@param key string
---@param iv string
---@param aad string
---@param tag string
---@return string? plaintext
function crypto.gcm_open(data, key, iv, aad, tag) end

---The 16-byte MD5 digest.
---@param data string
---@return string?
function crypto.md5(data) end

---The 20-byte SHA-1 digest.
---@param data string
---@return string?
function crypto.sha1(data) end

---The 16-byte MD5 of a regular file's contents.
---@param path string
---@return string?
function crypto.md5sum(path) end

---The HMAC of data with key (the key comes last).
---@param hash "MD5"|"SHA1"|"SHA"|"SHA224"|"SHA256"
---@param data string
---@param key string
---@return string?
function crypto.hmac(hash, data, key) end

---The RFC 5869 pseudo-random key.
---@param hash string
---@param salt string
---@param ikm string
---@return string?
function crypto.hkdf_extract(hash, salt, ikm) end

---length bytes of RFC 5869 output keying material from prk.
---@param hash string
---@param prk string
---@param info string
---@param length integer
---@return string?
function crypto.hkdf_expand(hash, prk, info, length) end

---hkdf_extract then hkdf_expand.
---@param hash string
---@param salt string
---@param ikm string
---@param info string
---@param length integer
---@return string?
function crypto.hkdf(hash, salt, ikm, info, length) end

---The zlib stream of data, if it fits into capacity bytes.
---@param data string
---@param capacity integer
---@return string?
function crypto.zip(data, capacity) end

---Inflates exactly one zlib stream of at most limit + 1 bytes.
---@param data string
---@param limit integer
---@return string?
function crypto.unzip(data, limit) end

---Inflates gzip members (limit 0: no limit).
---@param data string
---@param limit? integer
---@return string?
function crypto.gunzip(data, limit) end

return crypto
