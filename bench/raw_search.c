/* The raw limit of a search: what the server and the socket allow, with no client work at all.
 * One connection, no bind (anonymous); the same pre-encoded search request is written again as
 * soon as the previous one's final result has arrived, for the given number of seconds. The
 * answers are only framed, by tag and length: nothing is decoded or copied. Prints one line,
 *   searches=N entries=N bytes=N seconds=S cpu=S user=S
 * where bytes counts every answer message, whole, cpu is the processor time this client used and
 * user the part of it spent outside the kernel.
 *
 *   raw_search HOST PORT BASE SCOPE SECONDS [PAUSE_US]   (scope 0 base object, 1 one level, 2 subtree)
 *
 * With PAUSE_US the driver spins that many microseconds after each final result before it writes
 * the next request: a client that computes that long on every answer, and nothing else.
 *
 * The filter is (objectClass=*) and every attribute is asked for. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static unsigned char answers[1 << 16];

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double seconds_of(struct timeval t) {
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

enum cpu_part { ALL_CPU, USER_CPU };

/* Processor time of this client: all of it, or the part outside the kernel. */
static double cpu_seconds(enum cpu_part part) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return seconds_of(usage.ru_utime) + (part == USER_CPU ? 0 : seconds_of(usage.ru_stime));
}

static void spin(double seconds) {
    const double until = now() + seconds;
    while (now() < until) {
    }
}

static size_t put_length(unsigned char *at, size_t length) {
    if (length < 0x80) return at[0] = (unsigned char)length, 1;
    return at[0] = 0x82, at[1] = (unsigned char)(length >> 8), at[2] = (unsigned char)length, 3;
}

/* SEQUENCE { INTEGER id (four octets, patched per request), [APPLICATION 3] { base, scope,
 * derefAliases 0, sizeLimit 0, timeLimit 0, typesOnly FALSE, present objectClass, no attributes } } */
static size_t encode_request(unsigned char *out, const char *base, int scope) {
    static const unsigned char tail[] = {0x0a, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x01, 0x01, 0x00,
                                         0x87, 0x0b, 'o', 'b', 'j', 'e', 'c', 't', 'C', 'l', 'a', 's', 's', 0x30, 0x00};
    unsigned char body[1024];
    size_t n = 0, base_length = strlen(base), op = 0, at = 0;
    if (base_length > 900) return 0;
    body[n++] = 0x04;
    n += put_length(body + n, base_length);
    memcpy(body + n, base, base_length), n += base_length;
    body[n++] = 0x0a, body[n++] = 0x01, body[n++] = (unsigned char)scope;
    memcpy(body + n, tail, sizeof tail), n += sizeof tail;
    unsigned char header[8];
    header[op++] = 0x63;
    op += put_length(header + op, n);
    out[at++] = 0x30;
    at += put_length(out + at, 6 + op + n);
    out[at++] = 0x02, out[at++] = 0x04, at += 4;   /* the id's four octets */
    memcpy(out + at, header, op), at += op;
    memcpy(out + at, body, n);
    return at + n;
}

/* Frames answers until a search result (0x65) has been read whole. 0, or -1 when the
 * connection fails or sends what is not an LDAP message. */
static int read_answers(int fd, long *entries, long long *bytes) {
    size_t start = 0, end = 0, skip = 0;
    int done = 0;
    for (;;) {
        size_t held = end - start;
        if (skip > 0 && held > 0) {
            size_t k = skip < held ? skip : held;
            start += k, skip -= k;
            if (skip == 0 && done) return 0;
            continue;
        }
        /* Message header, message id and operation tag: at most 13 octets. */
        const unsigned char *m = answers + start;
        if (skip == 0 && held >= 2) {
            size_t length_octets = m[1] < 0x80 ? 0 : (size_t)(m[1] & 0x7f), header = 2 + length_octets;
            if (m[0] != 0x30 || length_octets > 4) return -1;
            if (held >= header + 2 && held > header + 2 + m[header + 1]) {
                size_t length = length_octets == 0 ? m[1] : 0;
                for (size_t i = 0; i < length_octets; ++i) length = length << 8 | m[2 + i];
                unsigned char tag = m[header + 2 + m[header + 1]];
                *entries += tag == 0x64;
                done = tag == 0x65;
                skip = header + length;
                *bytes += (long long)skip;
                continue;
            }
        }
        memmove(answers, m, held);
        start = 0, end = held;
        ssize_t got = read(fd, answers + end, sizeof answers - end);
        if (got <= 0) return -1;
        end += (size_t)got;
    }
}

int main(int argc, char **argv) {
    if (argc != 6 && argc != 7) {
        fprintf(stderr, "usage: raw_search HOST PORT BASE SCOPE SECONDS [PAUSE_US]\n");
        return 2;
    }
    unsigned char request[1100];
    size_t request_length = encode_request(request, argv[3], atoi(argv[4]));
    struct sockaddr_in server = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[2]))};
    int fd = socket(AF_INET, SOCK_STREAM, 0), on = 1;
    if (request_length == 0 || inet_pton(AF_INET, argv[1], &server.sin_addr) != 1 ||
        connect(fd, (struct sockaddr *)&server, sizeof server) != 0) {
        perror("raw_search: connect");
        return 1;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    long searches = 0, entries = 0;
    long long bytes = 0;
    const double start = now(), start_cpu = cpu_seconds(ALL_CPU), start_user = cpu_seconds(USER_CPU);
    const double seconds = atof(argv[5]);
    const double pause = argc == 7 ? atof(argv[6]) / 1e6 : 0;
    double elapsed = 0;
    unsigned int id = 0x01000000;   /* ids that take four octets */
    do {
        size_t at = request[1] < 0x80 ? 4 : 6;   /* the id's octets follow 30 L 02 04 */
        for (int i = 0; i < 4; ++i) request[at + i] = (unsigned char)(id >> (24 - 8 * i));
        if (write(fd, request, request_length) != (ssize_t)request_length || read_answers(fd, &entries, &bytes) != 0) {
            fprintf(stderr, "raw_search: the server failed the search\n");
            return 1;
        }
        if (pause > 0) spin(pause);
        ++id, ++searches, elapsed = now() - start;
    } while (elapsed < seconds);
    printf("searches=%ld entries=%ld bytes=%lld seconds=%.3f cpu=%.3f user=%.3f\n", searches, entries, bytes, elapsed,
           cpu_seconds(ALL_CPU) - start_cpu, cpu_seconds(USER_CPU) - start_user);
    return 0;
}
