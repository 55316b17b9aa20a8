// The floor under c.ssl: the same mbed TLS client calls made directly from
// C, with the same configuration as wrap() (default preset, no
// verification, CTR-DRBG seeded per connection, reads with a time-out).
// With a CA file and a name, each connection reads the CA file and verifies
// the server as verify() asks, with the library's own checks.
//
// Usage: ssl_floor <port> bulk <bytes>            prints the seconds the bytes took
//        ssl_floor <port> hs <count> [ca name]    prints handshakes per second
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Client {
    mbedtls_x509_crt ca;
    mbedtls_net_context net;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config conf;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_entropy_context entropy;
};

void die(const char *what, int code)
{
    fprintf(stderr, "%s failed: %d\n", what, code);
    exit(1);
}

// `ca` and `name` null: no verification.
void client_open(Client *c, int port, const char *ca = nullptr, const char *name = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        die("connect", errno);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c->net.fd = fd;
    mbedtls_ssl_init(&c->ssl);
    mbedtls_ssl_config_init(&c->conf);
    mbedtls_ctr_drbg_init(&c->drbg);
    mbedtls_entropy_init(&c->entropy);
    static const char pers[] = "mini_client";
    int rc = mbedtls_ctr_drbg_seed(&c->drbg, mbedtls_entropy_func, &c->entropy,
                                   reinterpret_cast<const unsigned char *>(pers), sizeof pers - 1);
    if (rc == 0)
        rc = mbedtls_ssl_config_defaults(&c->conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT);
    mbedtls_x509_crt_init(&c->ca);
    if (ca) {
        if (rc == 0 && mbedtls_x509_crt_parse_file(&c->ca, ca) != 0)
            die("CA file", -1);
        mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&c->conf, &c->ca, nullptr);
    } else {
        mbedtls_ssl_conf_authmode(&c->conf, MBEDTLS_SSL_VERIFY_NONE);
    }
    mbedtls_ssl_conf_rng(&c->conf, mbedtls_ctr_drbg_random, &c->drbg);
    mbedtls_ssl_conf_read_timeout(&c->conf, 10000);
    if (rc == 0)
        rc = mbedtls_ssl_setup(&c->ssl, &c->conf);
    if (rc == 0 && name)
        rc = mbedtls_ssl_set_hostname(&c->ssl, name);
    mbedtls_ssl_set_bio(&c->ssl, &c->net, mbedtls_net_send, nullptr, mbedtls_net_recv_timeout);
    if (rc == 0)
        rc = mbedtls_ssl_handshake(&c->ssl);
    if (rc != 0)
        die("handshake", rc);
}

void client_close(Client *c)
{
    mbedtls_net_free(&c->net);
    mbedtls_ssl_free(&c->ssl);
    mbedtls_ssl_config_free(&c->conf);
    mbedtls_ctr_drbg_free(&c->drbg);
    mbedtls_entropy_free(&c->entropy);
    mbedtls_x509_crt_free(&c->ca);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 6)
        return 2;
    const char *ca = argc == 6 ? argv[4] : nullptr;
    const char *name = argc == 6 ? argv[5] : nullptr;
    int port = atoi(argv[1]);
    long long n = atoll(argv[3]);
    Client c;
    auto t0 = Clock::now();
    if (strcmp(argv[2], "hs") == 0) {
        for (long long i = 0; i < n; ++i) {
            client_open(&c, port, ca, name);
            client_close(&c);
        }
        printf("%f\n", static_cast<double>(n) / std::chrono::duration<double>(Clock::now() - t0).count());
        return 0;
    }
    client_open(&c, port);
    std::string req = "bulk " + std::to_string(n) + "\n";
    mbedtls_ssl_write(&c.ssl, reinterpret_cast<const unsigned char *>(req.data()), req.size());
    static unsigned char buf[65536];
    t0 = Clock::now();
    for (long long got = 0; got < n;) {
        int r = mbedtls_ssl_read(&c.ssl, buf, sizeof buf);
        if (r <= 0)
            die("read", r);
        got += r;
    }
    printf("%f\n", std::chrono::duration<double>(Clock::now() - t0).count());
    client_close(&c);
    return 0;
}
