"""Reference results for the crypto tests, from implementations that share
nothing with the module: Python's hashlib, hmac, zlib and gzip, the
cryptography package for GCM, and the openssl command for AES-ECB/CBC.

Usage: crypto_ref.py REQUESTS. Each request line is an operation name and its
arguments, each written as "x" followed by its bytes in hex. Prints one line
per request: the result in hex.
"""
import gzip
import hashlib
import hmac
import subprocess
import sys
import zlib

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

HASHES = {"MD5": "md5", "SHA1": "sha1", "SHA": "sha1", "SHA224": "sha224", "SHA256": "sha256"}


def openssl_aes(cipher, key, data, decrypt, iv=None):
    argv = ["openssl", "enc", "-" + cipher, "-nopad", "-K", key.hex()]
    if iv is not None:
        argv += ["-iv", iv.hex()]
    if decrypt:
        argv.append("-d")
    return subprocess.run(argv, input=data, capture_output=True, check=True).stdout


def zero_pad(data):
    return data + b"\0" * (-len(data) % 16)


def hkdf(name, salt, ikm, info, length):
    h = HASHES[name]
    size = hashlib.new(h).digest_size
    prk = hmac.new(salt or b"\0" * size, ikm, h).digest()
    okm, block, i = b"", b"", 1
    while len(okm) < length:
        block = hmac.new(prk, block + info + bytes([i]), h).digest()
        okm += block
        i += 1
    return prk, okm[:length]


def run(op, a):
    if op == "md5":
        return hashlib.md5(a[0]).digest()
    if op == "sha1":
        return hashlib.sha1(a[0]).digest()
    if op == "hmac":
        return hmac.new(a[2], a[1], HASHES[a[0].decode()]).digest()
    if op == "hkdf_extract":
        return hkdf(a[0].decode(), a[1], a[2], b"", 0)[0]
    if op == "hkdf":
        return hkdf(a[0].decode(), a[1], a[2], a[3], int(a[4]))[1]
    if op == "ecb":
        return openssl_aes("aes-128-ecb", a[1][:16], zero_pad(a[0]), False)
    if op == "ecb_d":
        return openssl_aes("aes-128-ecb", a[1][:16], a[0], True)
    if op == "cbc":
        return openssl_aes("aes-128-cbc", a[1][:16], zero_pad(a[0]), False, b"20160822EEEEEEEE")
    if op == "cbc_d":
        return openssl_aes("aes-128-cbc", a[1][:16], a[0], True, b"20160822EEEEEEEE")
    if op == "gcm":  # data, key, iv, aad: ciphertext followed by the tag
        return AESGCM(a[1]).encrypt(a[2], a[0], a[3] or None)
    if op == "inflate":
        return zlib.decompress(a[0])
    if op == "deflate":
        return zlib.compress(a[0], 9)
    if op == "gzip":
        return gzip.compress(a[0], mtime=0)
    if op == "gzip_zeros":  # a count of zero bytes
        return gzip.compress(bytes(int(a[0])), mtime=0)
    if op == "deflate_zeros":
        return zlib.compress(bytes(int(a[0])), 9)
    raise ValueError(op)


def main():
    with open(sys.argv[1]) as f:
        for line in f:
            words = line.split()
            args = [bytes.fromhex(w[1:]) for w in words[1:]]
            print(run(words[0], args).hex())


main()
