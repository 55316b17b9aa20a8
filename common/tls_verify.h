// Authenticating a TLS server for a client session: trust anchors from a
// PEM/DER file or a directory of them, the name check (subjectAltName
// dNSName entries with the wildcard rules of RFC 6125, iPAddress entries for
// an address), SHA-256 pins of the server's SubjectPublicKeyInfo, the texts
// that say why a certificate was refused, and the facts about a certificate
// that a client may log.
//
// The library checks the chain and the validity periods; tls_verify_cb,
// installed as the session's verification callback, replaces the library's
// own name check (whose rules differ between mbed TLS 2.28 and 3.6) and adds
// the pins. Plain C data only: the connection object embeds a TlsVerify.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/x509_crt.h>

constexpr size_t kTlsPinSize = 32;   // SHA-256
constexpr int kTlsPinMax = 8;        // the current key and its successors
constexpr size_t kTlsNameMax = 255;  // as for a server name
// The most one anchor file may hold, and all files of a directory together
// (a system store is some 200 kB); at most this many files in a directory.
constexpr size_t kTlsAnchorFileMax = 1u << 20;
constexpr size_t kTlsAnchorDirMax = 4u << 20;
constexpr int kTlsAnchorDirFiles = 1024;
// Room for a failure text (reasons and the names they concern).
constexpr size_t kTlsTextMax = 640;

struct TlsVerify {
    mbedtls_x509_crt anchors;  // empty (but given to the library) for pins alone
    int anchored;              // anchors hold at least one certificate
    int npins;
    uint8_t pins[kTlsPinMax][kTlsPinSize];
    char name[kTlsNameMax + 1];  // the name the server must have; "" for the sni name
    char sni[kTlsNameMax + 1];   // the server name the session sends, "" none
    // What the last verification saw, for the failure text.
    char untrusted[160];       // issuer of the certificate no anchor vouched for
    char dated[160];           // subject of the first certificate out of its validity
    char checked[kTlsNameMax + 1];  // the name the leaf was checked against
    uint8_t seen_pin[kTlsPinSize];  // the leaf's key hash
    int pin_seen;
};

// A zeroed, empty set-up; tls_verify_free releases the anchors.
void tls_verify_init(TlsVerify *v);
void tls_verify_free(TlsVerify *v);

// True when anchors or pins are set: the server must then be authenticated.
inline bool tls_verify_active(const TlsVerify *v) { return v->anchored || v->npins > 0; }

// Loads the certificates of `path` (a regular file, or a directory whose
// regular files, symbolic links followed, are each read) into the empty
// chain `chain`. Never waits (a FIFO is refused without opening it for
// reading), never reads more than the limits above. Files or certificates
// that do not parse are skipped; it fails when no certificate is left.
// Returns the number of certificates, or -1 with the chain left empty and a
// message in `msg`.
int tls_anchors_load(mbedtls_x509_crt *chain, const char *path, char *msg, size_t size);

// A pin: 64 hexadecimal digits or 44 characters of standard base64 (with
// its one '=') for 32 bytes. False for anything else.
bool tls_pin_parse(const char *text, size_t len, uint8_t out[kTlsPinSize]);

// Whether one presented dNSName matches the reference name `ref` (RFC 6125:
// case-insensitive, one trailing dot ignored, '*' only as the whole
// leftmost label, matching exactly one label, and only above two labels).
bool tls_dns_match(const char *presented, size_t len, const char *ref);

// Whether the certificate carries `ref`: an IPv4 or IPv6 address is looked
// for among its iPAddress entries only, any other name among its dNSName
// entries only (the subject's common name is never used).
bool tls_name_match(const mbedtls_x509_crt *crt, const char *ref);

// SHA-256 of the certificate's SubjectPublicKeyInfo; 0 on success.
int tls_spki_sha256(const mbedtls_x509_crt *crt, uint8_t out[kTlsPinSize]);

// The verification callback (mbedtls_ssl_conf_verify) for a TlsVerify.
int tls_verify_cb(void *ctx, mbedtls_x509_crt *crt, int depth, uint32_t *flags);

// The reasons in the library's verification flags, with what the callback
// saw, as one text: "unknown issuer (CN=...), name mismatch (...)".
void tls_verify_reasons(const TlsVerify *v, uint32_t flags, char *out, size_t size);

// Standard base64 of `len` bytes (zero-terminated; room for 4/3 of len + 1).
void tls_base64(const uint8_t *in, size_t len, char *out, size_t size);

// A certificate time as "YYYY-MM-DDTHH:MM:SSZ".
void tls_time_text(const mbedtls_x509_time *t, char out[21]);

// A distinguished name as the library prints it ("C=DE, CN=..."), "" when
// it does not fit.
void tls_dn_text(const mbedtls_x509_name *dn, char *out, size_t size);
