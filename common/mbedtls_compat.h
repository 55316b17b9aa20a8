// What differs between the two mbed TLS major versions the engine builds
// against: 2.28 (Debian 12) and 3.6 (current OpenWrt). Everything else the
// code calls is the same in both.
#pragma once

#include <mbedtls/ssl.h>
#include <mbedtls/version.h>

// At most TLS 1.2 on both: 2.28 has nothing newer, and with 3.6's TLS 1.3
// a read would also meet the server's session tickets and a record would
// carry one byte less, so the same bundle would see other answers on a
// router than on a PC.
inline void tls_conf_versions(mbedtls_ssl_config *conf)
{
#if MBEDTLS_VERSION_MAJOR >= 3
    mbedtls_ssl_conf_max_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
#else
    (void)conf;
#endif
}

// The handshake's code for a certificate refused by the checks after the
// chain (key usage, the curve of its key): renamed in 3.0.
#if MBEDTLS_VERSION_MAJOR >= 3
constexpr int kTlsErrBadCertificate = MBEDTLS_ERR_SSL_BAD_CERTIFICATE;
#else
constexpr int kTlsErrBadCertificate = MBEDTLS_ERR_SSL_BAD_HS_CERTIFICATE;
#endif
