/* A C host for bench_latency: the smallest program that loads the driver
 * and calls doCommand, or makes the bare exchange the call stands for
 * (connect, 32-byte request, 20-byte ack, close), with nothing else in the
 * process.
 *
 *   bench_chost driver SO     calls doCommand(getDevStatus)
 *   bench_chost bare          makes the exchange itself
 *
 * Jobs arrive on standard input, one a line: "PORT N"; the answer is one
 * line on standard output: "ok CPU_NS T1_NS ... TN_NS" or "err TEXT". */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

typedef void (*DoCommandFn)(int, int, char*, int, char*);

/* What a host typically hands the driver for a command. */
#define REPLY_BYTES 102400

static DoCommandFn g_doCommand;
static char g_reply[REPLY_BYTES + 1];

static int64_t Nanos(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

static int Bare(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t req[32] = {'Q', 'O', 'L', 'T'};
    PutU32(req + 4, sizeof req);
    PutU32(req + 8, 0xA7);
    uint8_t ack[20];
    size_t got = 0;
    int ok = connect(fd, (struct sockaddr*)&addr, sizeof addr) == 0 && send(fd, req, sizeof req, MSG_NOSIGNAL) == (ssize_t)sizeof req;
    while (ok && got < sizeof ack) {
        ssize_t n = recv(fd, ack + got, sizeof ack - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = 0;
        else got += (size_t)n;
    }
    close(fd);
    return ok && memcmp(ack, "QOLT", 4) == 0 && ack[8] == 0xA7 ? 0 : -1;
}

static int Driver(const char* json)
{
    /* A reply that fills the buffer has no NUL of its own. */
    g_reply[REPLY_BYTES] = '\0';
    g_doCommand(0, (int)strlen(json), (char*)json, REPLY_BYTES, g_reply);
    return strstr(g_reply, "\"retCode\":\"ECPWS0000000\"") && strstr(g_reply, "\"status\":\"01\"") ? 0 : -1;
}

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    if (argc == 3 && strcmp(argv[1], "driver") == 0) {
        void* lib = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
        if (lib) g_doCommand = (DoCommandFn)dlsym(lib, "doCommand");
        if (!g_doCommand) {
            printf("err cannot load %s\n", argv[2]);
            return 1;
        }
    } else if (!(argc == 2 && strcmp(argv[1], "bare") == 0)) {
        fprintf(stderr, "usage: bench_chost driver SO | bench_chost bare\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOFBF, 1 << 16);
    unsigned port = 0;
    int n = 0;
    while (scanf("%u %d", &port, &n) == 2) {
        char json[160];
        snprintf(json, sizeof json,
                 "{\"commonArgs\":{\"funcName\":\"getDevStatus\",\"timeout\":\"10\"},"
                 "\"connectArgs\":{\"ip\":\"127.0.0.1\",\"port\":\"%u\"}}",
                 port);
        int64_t* t = calloc((size_t)(n > 0 ? n : 1), sizeof *t);
        if (!t) return 1;
        int failed = 0;
        const int64_t cpu0 = Nanos(CLOCK_PROCESS_CPUTIME_ID);
        for (int i = 0; i < n && !failed; ++i) {
            const int64_t t0 = Nanos(CLOCK_MONOTONIC);
            failed = g_doCommand ? Driver(json) : Bare((uint16_t)port);
            t[i] = Nanos(CLOCK_MONOTONIC) - t0;
        }
        const int64_t cpu = Nanos(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        if (failed) {
            printf("err call failed: %.200s\n", g_doCommand ? g_reply : "bare exchange");
        } else {
            printf("ok %lld", (long long)cpu);
            for (int i = 0; i < n; ++i) printf(" %lld", (long long)t[i]);
            printf("\n");
        }
        fflush(stdout);
        free(t);
    }
    return 0;
}
