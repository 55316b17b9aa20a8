// The C baselines of the packet benchmark (packets_bench.py):
//   packets_floor write <file> <count>      a capture file of <count> packets
//   packets_floor writedns <file> <count>   a capture file of DNS queries
//                                           over IPv4 and UDP
//   packets_floor read <file>               pcap_next_ex over the whole file
//   packets_floor send <ifindex> <count>    socket/sendto/close per frame
//   packets_floor sendkeep <ifindex> <count> sendto on one open socket
//   packets_floor flood <ifindex> <rate> <count>  DNS query frames at <rate>
//                                           a second on one socket
//   packets_floor capture <device> <count>  a live capture in immediate mode
//                                           (snapshot 600) until <count>
//                                           packets or 1 s without one
//   packets_floor wake <count>              pipe wake-up latency, one thread
//                                           writing its clock, one in select
// "read", "send" and "sendkeep" print "RESULT <packets> <nanoseconds>",
// "wake" "RESULT <median ns> <p99 ns>".
#include <arpa/inet.h>
#include <net/ethernet.h>
#include <netpacket/packet.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

long long now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Frames of 60 to 187 bytes: an Ethernet header, then filler.
int write_file(const char *path, long count)
{
    pcap_t *p = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *d = p ? pcap_dump_open(p, path) : nullptr;
    if (!d) {
        fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    unsigned char frame[256];
    memset(frame, 0xa5, sizeof frame);
    memcpy(frame, "\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00", 14);
    for (long i = 0; i < count; ++i) {
        struct pcap_pkthdr h;
        h.ts.tv_sec = 1700000000 + i / 1000;
        h.ts.tv_usec = (i % 1000) * 1000;
        h.caplen = h.len = 60 + static_cast<bpf_u_int32>(i % 128);
        pcap_dump(reinterpret_cast<u_char *>(d), &h, frame);
    }
    pcap_dump_close(d);
    pcap_close(p);
    return 0;
}

// One DNS query over IPv4 and UDP in an Ethernet frame; its length.
size_t dns_frame(unsigned char *frame, long i)
{
    static const unsigned char question[] = "\7example\3com\0\0\1\0\1";
    memset(frame, 0, 128);
    memcpy(frame, "\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00", 14);
    size_t dns_len = 12 + sizeof question - 1;
    size_t len = 14 + 20 + 8 + dns_len;
    unsigned char *ip = frame + 14;
    ip[0] = 0x45;
    ip[2] = static_cast<unsigned char>((len - 14) >> 8);
    ip[3] = static_cast<unsigned char>(len - 14);
    ip[8] = 64;
    ip[9] = 17;
    memcpy(ip + 12, "\x0a\0\0", 3);
    ip[15] = static_cast<unsigned char>(1 + i % 200);
    memcpy(ip + 16, "\x0a\0\x01\x01", 4);
    unsigned char *udp = ip + 20;
    unsigned sport = 1024 + static_cast<unsigned>(i % 30000);
    udp[0] = static_cast<unsigned char>(sport >> 8);
    udp[1] = static_cast<unsigned char>(sport);
    udp[3] = 53;
    udp[5] = static_cast<unsigned char>(8 + dns_len);
    unsigned char *dns = udp + 8;
    dns[0] = static_cast<unsigned char>(i >> 8);
    dns[1] = static_cast<unsigned char>(i);
    dns[2] = 1;
    dns[5] = 1;
    memcpy(dns + 12, question, sizeof question - 1);
    return len;
}

int write_dns_file(const char *path, long count)
{
    pcap_t *p = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *d = p ? pcap_dump_open(p, path) : nullptr;
    if (!d) {
        fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    unsigned char frame[128];
    for (long i = 0; i < count; ++i) {
        size_t len = dns_frame(frame, i);
        struct pcap_pkthdr h;
        h.ts.tv_sec = 1700000000 + i / 1000;
        h.ts.tv_usec = (i % 1000) * 1000;
        h.caplen = h.len = static_cast<bpf_u_int32>(len);
        pcap_dump(reinterpret_cast<u_char *>(d), &h, frame);
    }
    pcap_dump_close(d);
    pcap_close(p);
    return 0;
}

int read_file(const char *path)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    long long t0 = now_ns();
    pcap_t *p = pcap_open_offline(path, errbuf);
    if (!p) {
        fprintf(stderr, "%s\n", errbuf);
        return 1;
    }
    struct pcap_pkthdr *h;
    const u_char *data;
    long n = 0;
    unsigned long sum = 0;
    while (pcap_next_ex(p, &h, &data) == 1) {
        sum += h->caplen + data[0];
        ++n;
    }
    pcap_close(p);
    printf("RESULT %ld %lld %lu\n", n, now_ns() - t0, sum & 1);
    return 0;
}

int send_frames(int ifindex, long count)
{
    unsigned char frame[60];
    memset(frame, 0, sizeof frame);
    memcpy(frame, "\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00", 14);
    struct sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_IP);
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    memcpy(to.sll_addr, frame, 6);
    long long t0 = now_ns();
    long sent = 0;
    for (long i = 0; i < count; ++i) {
        int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_IP));
        if (fd < 0)
            return 1;
        if (sendto(fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == sizeof frame)
            ++sent;
        close(fd);
    }
    printf("RESULT %ld %lld\n", sent, now_ns() - t0);
    return sent == count ? 0 : 1;
}

int send_kept(int ifindex, long count)
{
    unsigned char frame[60];
    memset(frame, 0, sizeof frame);
    memcpy(frame, "\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00", 14);
    struct sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_IP);
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    memcpy(to.sll_addr, frame, 6);
    long long t0 = now_ns();
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0)
        return 1;
    long sent = 0;
    for (long i = 0; i < count; ++i)
        if (sendto(fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == sizeof frame)
            ++sent;
    close(fd);
    printf("RESULT %ld %lld\n", sent, now_ns() - t0);
    return sent == count ? 0 : 1;
}


// Paced by spinning on the clock: at these rates a sleep would oversleep.
int flood(int ifindex, double rate, long count)
{
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0)
        return 1;
    struct sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    unsigned char frame[128];
    long long t0 = now_ns();
    long sent = 0;
    for (long i = 0; i < count; ++i) {
        long long due = t0 + static_cast<long long>(static_cast<double>(i) * 1e9 / rate);
        while (now_ns() < due) {
        }
        size_t len = dns_frame(frame, i);
        if (sendto(fd, frame, len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == static_cast<ssize_t>(len))
            ++sent;
    }
    close(fd);
    printf("RESULT %ld %lld\n", sent, now_ns() - t0);
    return 0;
}

void count_packet(u_char *user, const struct pcap_pkthdr *, const u_char *) { ++*reinterpret_cast<long *>(user); }

long long cpu_ns()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000000LL + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1000LL;
}

int capture(const char *device, long count)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_create(device, errbuf);
    if (!p || pcap_set_snaplen(p, 600) < 0 || pcap_set_immediate_mode(p, 1) < 0 || pcap_activate(p) < 0 ||
        pcap_setnonblock(p, 1, errbuf) < 0) {
        fprintf(stderr, "capture: %s\n", p ? pcap_geterr(p) : errbuf);
        return 1;
    }
    struct bpf_program prog;
    if (pcap_compile(p, &prog, "udp dst port 53", 1, PCAP_NETMASK_UNKNOWN) < 0 || pcap_setfilter(p, &prog) < 0)
        return 1;
    printf("ready\n");
    fflush(stdout);
    long long c0 = cpu_ns();
    long n = 0;
    struct pollfd pfd = {pcap_get_selectable_fd(p), POLLIN, 0};
    while (n < count && poll(&pfd, 1, 1000) == 1)
        while (pcap_dispatch(p, -1, count_packet, reinterpret_cast<u_char *>(&n)) > 0) {
        }
    struct pcap_stat st;
    pcap_stats(p, &st);
    printf("RESULT %ld %u %u %lld\n", n, st.ps_recv, st.ps_drop, cpu_ns() - c0);
    pcap_close(p);
    return 0;
}

// The writer of "wake": its clock down one pipe, then waits for the ack on
// the other, so that one message is in flight at a time.
struct WakePipes {
    int to_reader[2];
    int to_writer[2];
    long count;
};

void *wake_writer(void *p)
{
    WakePipes *w = static_cast<WakePipes *>(p);
    for (long i = 0; i < w->count; ++i) {
        long long t = now_ns();
        if (write(w->to_reader[1], &t, sizeof t) != sizeof t)
            break;
        char ack;
        if (read(w->to_writer[0], &ack, 1) != 1)
            break;
    }
    return nullptr;
}

int wake_latency(long count)
{
    WakePipes w;
    if (pipe(w.to_reader) < 0 || pipe(w.to_writer) < 0)
        return 1;
    w.count = count;
    pthread_t th;
    pthread_create(&th, nullptr, wake_writer, &w);
    std::vector<long long> lat;
    for (long i = 0; i < count; ++i) {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(w.to_reader[0], &r);
        if (select(w.to_reader[0] + 1, &r, nullptr, nullptr, nullptr) != 1)
            return 1;
        long long now = now_ns();
        long long t;
        if (read(w.to_reader[0], &t, sizeof t) != sizeof t)
            return 1;
        lat.push_back(now - t);
        if (write(w.to_writer[1], "a", 1) != 1)
            return 1;
    }
    pthread_join(th, nullptr);
    std::sort(lat.begin(), lat.end());
    printf("RESULT %lld %lld\n", lat[lat.size() / 2], lat[lat.size() * 99 / 100]);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "write") == 0)
        return write_file(argv[2], atol(argv[3]));
    if (argc == 4 && strcmp(argv[1], "writedns") == 0)
        return write_dns_file(argv[2], atol(argv[3]));
    if (argc == 3 && strcmp(argv[1], "read") == 0)
        return read_file(argv[2]);
    if (argc == 4 && strcmp(argv[1], "send") == 0)
        return send_frames(atoi(argv[2]), atol(argv[3]));
    if (argc == 4 && strcmp(argv[1], "sendkeep") == 0)
        return send_kept(atoi(argv[2]), atol(argv[3]));
    if (argc == 5 && strcmp(argv[1], "flood") == 0)
        return flood(atoi(argv[2]), atof(argv[3]), atol(argv[4]));
    if (argc == 4 && strcmp(argv[1], "capture") == 0)
        return capture(argv[2], atol(argv[3]));
    if (argc == 3 && strcmp(argv[1], "wake") == 0)
        return wake_latency(atol(argv[2]));
    fprintf(stderr, "usage: packets_floor write|writedns <file> <count> | read <file> | send|sendkeep <ifindex> <count>"
                    " | flood <ifindex> <rate> <count> | capture <device> <count> | wake <count>\n");
    return 2;
}
