#include "common/tls_verify.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mbedtls/asn1.h>
#include <mbedtls/base64.h>
#include <mbedtls/md.h>
#include <mbedtls/x509.h>

#include "common/hex_digit.h"

namespace {

const char kPemCert[] = "-----BEGIN CERTIFICATE-----";

int chain_count(const mbedtls_x509_crt *chain)
{
    int n = 0;
    for (const mbedtls_x509_crt *c = chain; c && c->version != 0; c = c->next)
        ++n;
    return n;
}

// What loading a file or a directory found so far.
struct Load {
    mbedtls_x509_crt *chain;
    size_t total;     // bytes read from the directory's files
    int parse_error;  // the library's first negative parse code, 0 none
    char *msg;
    size_t size;
};

// Reads the regular file open at `fd` (at most `limit` bytes) and parses
// it; false with the message set when the file is too large or unreadable.
bool load_fd(Load *ld, int fd, const struct stat &st, size_t limit, const char *what)
{
    if (static_cast<uint64_t>(st.st_size) > limit) {
        snprintf(ld->msg, ld->size, "%s too large (over %zu bytes)", what, limit);
        return false;
    }
    size_t cap = static_cast<size_t>(st.st_size);
    auto *buf = static_cast<unsigned char *>(malloc(cap + 1));
    if (!buf) {
        snprintf(ld->msg, ld->size, "out of memory");
        return false;
    }
    // The size may change under us: never read past what was allotted.
    size_t n = 0;
    while (n < cap) {
        ssize_t r = read(fd, buf + n, cap - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            snprintf(ld->msg, ld->size, "cannot read %s: %s", what, strerror(errno));
            free(buf);
            return false;
        }
        if (r == 0)
            break;
        n += static_cast<size_t>(r);
    }
    buf[n] = 0;
    ld->total += n;
    int rc;
    // PEM when it holds a certificate block (parsed with its zero byte), DER otherwise.
    if (memmem(buf, n, kPemCert, sizeof kPemCert - 1))
        rc = mbedtls_x509_crt_parse(ld->chain, buf, n + 1);
    else
        rc = n ? mbedtls_x509_crt_parse_der(ld->chain, buf, n) : MBEDTLS_ERR_X509_CERT_UNKNOWN_FORMAT;
    if (rc < 0 && ld->parse_error == 0)
        ld->parse_error = rc;
    free(buf);
    return true;
}

bool load_dir(Load *ld, int dfd)
{
    DIR *d = fdopendir(dfd);
    if (!d) {
        snprintf(ld->msg, ld->size, "cannot read CA directory: %s", strerror(errno));
        close(dfd);
        return false;
    }
    // The hash links of a system store name the same files a second time.
    struct Seen {
        dev_t dev;
        ino_t ino;
    };
    auto *seen = static_cast<Seen *>(calloc(kTlsAnchorDirFiles, sizeof(Seen)));
    bool ok = seen != nullptr;
    if (!ok)
        snprintf(ld->msg, ld->size, "out of memory");
    int nseen = 0;
    while (ok) {
        errno = 0;
        struct dirent *e = readdir(d);
        if (!e)
            break;
        if (e->d_name[0] == '.')
            continue;
        int fd = openat(dirfd(d), e->d_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            continue;
        }
        bool dup = false;
        for (int i = 0; i < nseen && !dup; ++i)
            dup = seen[i].dev == st.st_dev && seen[i].ino == st.st_ino;
        if (dup) {
            close(fd);
            continue;
        }
        if (nseen == kTlsAnchorDirFiles) {
            snprintf(ld->msg, ld->size, "CA directory holds more than %d files", kTlsAnchorDirFiles);
            ok = false;
        } else if (ld->total + static_cast<uint64_t>(st.st_size) > kTlsAnchorDirMax) {
            snprintf(ld->msg, ld->size, "CA directory too large (over %zu bytes)", kTlsAnchorDirMax);
            ok = false;
        } else {
            seen[nseen++] = {st.st_dev, st.st_ino};
            ok = load_fd(ld, fd, st, kTlsAnchorFileMax, "CA file");
        }
        close(fd);
    }
    free(seen);
    closedir(d);
    return ok;
}

bool ascii_ieq(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

bool base64_char(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '+' ||
           ch == '/';
}

// Appends ", " (unless first) and the formatted text to out.
void add_reason(char *out, size_t size, const char *text, const char *detail_fmt, const char *detail)
{
    size_t used = strlen(out);
    if (used + 1 >= size)
        return;
    int n = snprintf(out + used, size - used, "%s%s", used ? ", " : "", text);
    if (n < 0 || static_cast<size_t>(n) >= size - used || !detail || !detail[0])
        return;
    used += static_cast<size_t>(n);
    snprintf(out + used, size - used, detail_fmt, detail);
}

}  // namespace

void tls_verify_init(TlsVerify *v)
{
    memset(v, 0, sizeof *v);
    mbedtls_x509_crt_init(&v->anchors);
}

void tls_verify_free(TlsVerify *v)
{
    mbedtls_x509_crt_free(&v->anchors);
    v->anchored = 0;
}

int tls_anchors_load(mbedtls_x509_crt *chain, const char *path, char *msg, size_t size)
{
    // Non-blocking: opening a FIFO for reading must not wait for a writer.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        snprintf(msg, size, "cannot open CA path: %s", strerror(errno));
        return -1;
    }
    Load ld = {chain, 0, 0, msg, size};
    struct stat st;
    bool ok;
    if (fstat(fd, &st) != 0) {
        snprintf(msg, size, "cannot open CA path: %s", strerror(errno));
        ok = false;
        close(fd);
    } else if (S_ISREG(st.st_mode)) {
        ok = load_fd(&ld, fd, st, kTlsAnchorFileMax, "CA file");
        close(fd);
    } else if (S_ISDIR(st.st_mode)) {
        ok = load_dir(&ld, fd);  // takes the descriptor
    } else {
        snprintf(msg, size, "CA path is neither a regular file nor a directory");
        ok = false;
        close(fd);
    }
    int n = ok ? chain_count(chain) : 0;
    if (ok && n == 0) {
        if (ld.parse_error)
            snprintf(msg, size, "no certificate in CA path (errcode (%d))", ld.parse_error);
        else
            snprintf(msg, size, "no certificate in CA path");
    }
    if (n == 0) {
        mbedtls_x509_crt_free(chain);
        mbedtls_x509_crt_init(chain);
        return -1;
    }
    return n;
}

bool tls_pin_parse(const char *text, size_t len, uint8_t out[kTlsPinSize])
{
    if (len == 2 * kTlsPinSize) {
        for (size_t i = 0; i < kTlsPinSize; ++i) {
            int hi = hex_digit_value(text[2 * i]), lo = hex_digit_value(text[2 * i + 1]);
            if (hi < 0 || lo < 0)
                return false;
            out[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        return true;
    }
    // 32 bytes are 43 characters and one '='.
    if (len != 44 || text[43] != '=')
        return false;
    for (size_t i = 0; i < 43; ++i)
        if (!base64_char(text[i]))
            return false;
    uint8_t buf[kTlsPinSize + 2];
    size_t got = 0;
    if (mbedtls_base64_decode(buf, sizeof buf, &got, reinterpret_cast<const unsigned char *>(text), len) != 0 ||
        got != kTlsPinSize)
        return false;
    memcpy(out, buf, kTlsPinSize);
    return true;
}

bool tls_dns_match(const char *presented, size_t len, const char *ref)
{
    size_t rlen = strlen(ref);
    if (rlen && ref[rlen - 1] == '.')
        --rlen;
    if (len && presented[len - 1] == '.')
        --len;
    if (rlen == 0 || len == 0 || memchr(ref, '*', rlen) || memchr(presented, '\0', len))
        return false;
    if (len > 2 && presented[0] == '*' && presented[1] == '.') {
        const char *rest = presented + 1;  // ".example.com"
        size_t rest_len = len - 1;
        // Not "*.com": the wildcard stands above at least two labels.
        if (!memchr(rest + 1, '.', rest_len - 1) || memchr(rest, '*', rest_len))
            return false;
        const char *dot = static_cast<const char *>(memchr(ref, '.', rlen));
        if (!dot || dot == ref)
            return false;
        size_t tail = rlen - static_cast<size_t>(dot - ref);
        return tail == rest_len && ascii_ieq(dot, rest, rest_len);
    }
    if (memchr(presented, '*', len))
        return false;  // partial-label wildcards are not honoured
    return len == rlen && ascii_ieq(presented, ref, len);
}

bool tls_name_match(const mbedtls_x509_crt *crt, const char *ref)
{
    unsigned char ip[16];
    size_t iplen = 0;
    if (inet_pton(AF_INET, ref, ip) == 1)
        iplen = 4;
    else if (inet_pton(AF_INET6, ref, ip) == 1)
        iplen = 16;
    const int want = iplen ? 7 : 2;  // iPAddress or dNSName, as GeneralName tags
    for (const mbedtls_x509_sequence *s = &crt->subject_alt_names; s && s->buf.p; s = s->next) {
        int tag = s->buf.tag;
        if ((tag & MBEDTLS_ASN1_CONTEXT_SPECIFIC) == 0 || (tag & MBEDTLS_ASN1_TAG_VALUE_MASK) != want)
            continue;
        const char *p = reinterpret_cast<const char *>(s->buf.p);
        if (iplen ? (s->buf.len == iplen && memcmp(p, ip, iplen) == 0) : tls_dns_match(p, s->buf.len, ref))
            return true;
    }
    return false;
}

int tls_spki_sha256(const mbedtls_x509_crt *crt, uint8_t out[kTlsPinSize])
{
    if (!crt->pk_raw.p)
        return -1;
    return mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), crt->pk_raw.p, crt->pk_raw.len, out) == 0 ? 0
                                                                                                             : -1;
}

int tls_verify_cb(void *ctx, mbedtls_x509_crt *crt, int depth, uint32_t *flags)
{
    TlsVerify *v = static_cast<TlsVerify *>(ctx);
    // A pin alone stands in for the anchors: who issued the key is moot.
    if (!v->anchored)
        *flags &= ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_NOT_TRUSTED);
    if ((*flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) && !v->untrusted[0])
        tls_dn_text(&crt->issuer, v->untrusted, sizeof v->untrusted);
    if ((*flags & (MBEDTLS_X509_BADCERT_EXPIRED | MBEDTLS_X509_BADCERT_FUTURE)) && !v->dated[0])
        tls_dn_text(&crt->subject, v->dated, sizeof v->dated);
    if (depth != 0)
        return 0;

    // The library compared the sni name by its own rules; ours decide.
    *flags &= ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_CN_MISMATCH);
    if (v->anchored) {
        const char *name = v->name[0] ? v->name : v->sni;
        snprintf(v->checked, sizeof v->checked, "%s", name);
        if (!name[0] || !tls_name_match(crt, name))
            *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    }
    if (v->npins > 0) {
        v->pin_seen = tls_spki_sha256(crt, v->seen_pin) == 0;
        bool match = false;
        for (int i = 0; i < v->npins && v->pin_seen; ++i)
            match = match || memcmp(v->pins[i], v->seen_pin, kTlsPinSize) == 0;
        if (!match)
            *flags |= MBEDTLS_X509_BADCERT_OTHER;
    }
    return 0;
}

void tls_verify_reasons(const TlsVerify *v, uint32_t flags, char *out, size_t size)
{
    out[0] = 0;
    char pin[48] = "";
    if (v->pin_seen)
        tls_base64(v->seen_pin, kTlsPinSize, pin, sizeof pin);
    if (flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED)
        add_reason(out, size, "unknown issuer", " (%s)", v->untrusted);
    if (flags & MBEDTLS_X509_BADCERT_EXPIRED)
        add_reason(out, size, "certificate expired", " (%s)", v->dated);
    if (flags & MBEDTLS_X509_BADCERT_FUTURE)
        add_reason(out, size, "certificate not yet valid", " (%s)", v->dated);
    if (flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) {
        if (v->checked[0])
            add_reason(out, size, "name mismatch", " (%s not in the certificate)", v->checked);
        else
            add_reason(out, size, "name mismatch (no server name to check)", nullptr, nullptr);
    }
    if (flags & MBEDTLS_X509_BADCERT_OTHER)
        add_reason(out, size, "pin mismatch", " (server key %s)", pin);
    if (flags & (MBEDTLS_X509_BADCERT_KEY_USAGE | MBEDTLS_X509_BADCERT_EXT_KEY_USAGE |
                 MBEDTLS_X509_BADCERT_NS_CERT_TYPE))
        add_reason(out, size, "certificate not for a TLS server", nullptr, nullptr);
    if (flags & (MBEDTLS_X509_BADCERT_BAD_MD | MBEDTLS_X509_BADCERT_BAD_PK | MBEDTLS_X509_BADCERT_BAD_KEY))
        add_reason(out, size, "unacceptable signature or key", nullptr, nullptr);
    if (flags & MBEDTLS_X509_BADCERT_REVOKED)
        add_reason(out, size, "certificate revoked", nullptr, nullptr);
    if (flags & MBEDTLS_X509_BADCERT_MISSING)
        add_reason(out, size, "no certificate", nullptr, nullptr);
    if (!out[0])
        snprintf(out, size, "certificate refused (flags 0x%x)", static_cast<unsigned>(flags));
}

void tls_base64(const uint8_t *in, size_t len, char *out, size_t size)
{
    size_t olen = 0;
    if (mbedtls_base64_encode(reinterpret_cast<unsigned char *>(out), size, &olen, in, len) != 0)
        out[0] = 0;
}

void tls_time_text(const mbedtls_x509_time *t, char out[21])
{
    auto u = [](int x, unsigned m) { return static_cast<unsigned>(x) % m; };
    snprintf(out, 21, "%04u-%02u-%02uT%02u:%02u:%02uZ", u(t->year, 10000), u(t->mon, 100), u(t->day, 100),
             u(t->hour, 100), u(t->min, 100), u(t->sec, 100));
}

void tls_dn_text(const mbedtls_x509_name *dn, char *out, size_t size)
{
    if (mbedtls_x509_dn_gets(out, size, dn) < 0)
        out[0] = 0;
}
