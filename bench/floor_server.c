/* The floor of a submission's cost: a single-threaded epoll server that does only the work a
 * submission cannot avoid.  Per connection: accept, receive the request (Content-Length), write
 * the body to a file, one UDP datagram to the peer and one back, unlink the file, a fixed reply,
 * close.  The UDP peer is a forked echo process, so its CPU is not the server's.
 *
 *   floor_server PORT WORKDIR        (prints "ready" when listening)
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#define MAX_CONN 4096
#define REQ_MAX (8 << 20)

struct conn {
    char *buf;
    size_t len, cap, need; /* need: head + Content-Length once known */
    char path[300];
    int waiting; /* file written, datagram sent */
};

static struct conn conns[MAX_CONN];
static const char reply[] = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<ok/>";

static void echo_peer(int fd) {
    char b[2048];
    struct sockaddr_in from;
    for (;;) {
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(fd, b, sizeof b, 0, (struct sockaddr *)&from, &fl);
        if (n > 0) sendto(fd, b, (size_t)n, 0, (struct sockaddr *)&from, fl);
    }
}

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    signal(SIGPIPE, SIG_IGN);
    int peer = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in pa = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    bind(peer, (struct sockaddr *)&pa, sizeof pa);
    socklen_t pl = sizeof pa;
    getsockname(peer, (struct sockaddr *)&pa, &pl);
    if (fork() == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        echo_peer(peer);
    }
    close(peer);

    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    connect(udp, (struct sockaddr *)&pa, sizeof pa);
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in la = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[1]))};
    if (bind(lfd, (struct sockaddr *)&la, sizeof la) < 0 || listen(lfd, 1024) < 0) return 1;
    int ep = epoll_create1(0);
    struct epoll_event ev = {.events = EPOLLIN, .data.fd = lfd};
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    ev.data.fd = udp;
    epoll_ctl(ep, EPOLL_CTL_ADD, udp, &ev);
    printf("ready\n");
    fflush(stdout);
    unsigned long seq = 0;
    struct epoll_event events[256];
    for (;;) {
        int n = epoll_wait(ep, events, 256, -1);
        for (int i = 0; i < n; i++) {
            int fd = events[i].data.fd;
            if (fd == lfd) {
                int c = accept4(lfd, NULL, NULL, SOCK_NONBLOCK);
                if (c < 0 || c >= MAX_CONN) { if (c >= 0) close(c); continue; }
                struct conn *k = &conns[c];
                k->len = 0; k->need = 0; k->waiting = 0;
                if (!k->buf) { k->cap = 65536; k->buf = malloc(k->cap); }
                ev.data.fd = c;
                epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev);
            } else if (fd == udp) {
                char b[2048];
                ssize_t r = recv(udp, b, sizeof b, 0);
                if (r < (ssize_t)sizeof(int)) continue;
                int c;
                memcpy(&c, b, sizeof c);
                struct conn *k = &conns[c];
                unlink(k->path);
                send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
                close(c);
            } else {
                struct conn *k = &conns[fd];
                if (k->len == k->cap && k->cap < REQ_MAX) k->buf = realloc(k->buf, k->cap *= 2);
                ssize_t r = recv(fd, k->buf + k->len, k->cap - k->len, 0);
                if (r <= 0) { close(fd); continue; }
                k->len += (size_t)r;
                if (!k->need) {
                    char *end = memmem(k->buf, k->len, "\r\n\r\n", 4);
                    if (!end) continue;
                    char *cl = memmem(k->buf, (size_t)(end - k->buf), "Content-Length:", 15);
                    k->need = (size_t)(end + 4 - k->buf) + (cl ? strtoul(cl + 15, NULL, 10) : 0);
                }
                if (k->len < k->need || k->waiting) continue;
                k->waiting = 1;
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, NULL);
                snprintf(k->path, sizeof k->path, "%s/floor%lu.mm1", argv[2], ++seq);
                int f = open(k->path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (f >= 0) {
                    char *body = memmem(k->buf, k->len, "\r\n\r\n", 4) + 4;
                    ssize_t w = write(f, body, (size_t)(k->buf + k->len - body));
                    (void)w;
                    close(f);
                }
                char msg[64];
                memcpy(msg, &fd, sizeof fd);
                memset(msg + sizeof fd, 0, sizeof msg - sizeof fd);
                send(udp, msg, sizeof msg, 0);
            }
        }
    }
}
