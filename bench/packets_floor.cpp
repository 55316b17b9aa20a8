// The C baselines of the packet benchmark (packets_bench.py):
//   packets_floor write <file> <count>      a capture file of <count> packets
//   packets_floor read <file>               pcap_next_ex over the whole file
//   packets_floor send <ifindex> <count>    socket/sendto/close per frame
// "read" and "send" print "RESULT <packets> <nanoseconds>".
#include <arpa/inet.h>
#include <net/ethernet.h>
#include <netpacket/packet.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "write") == 0)
        return write_file(argv[2], atol(argv[3]));
    if (argc == 3 && strcmp(argv[1], "read") == 0)
        return read_file(argv[2]);
    if (argc == 4 && strcmp(argv[1], "send") == 0)
        return send_frames(atoi(argv[2]), atol(argv[3]));
    fprintf(stderr, "usage: packets_floor write <file> <count> | read <file> | send <ifindex> <count>\n");
    return 2;
}
