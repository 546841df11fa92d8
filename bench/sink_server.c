/* An MM7 endpoint that costs as little as one can: it reads each request's head and its
 * Content-Length body into one reused buffer, throws the body away and answers StatusCode 1000,
 * one connection at a time.  Over TLS when given a certificate and key: OpenSSL reads ahead
 * into a large buffer, so that many records come in one system call.
 *
 *   sink_server PORT [CERT KEY]      (prints "ready" when listening, "answered N BYTES" after
 *                                     each request)
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define BUF (1 << 20)

static const char body[] =
    "<Envelope><Body><DeliverRsp><Status><StatusCode>1000</StatusCode></Status></DeliverRsp>"
    "</Body></Envelope>";

static char buf[BUF];

/* Reads into buf: the count, 0 at the end. */
static long get(int fd, SSL *ssl, size_t room) {
    if (ssl != NULL) {
        size_t got = 0;
        return SSL_read_ex(ssl, buf, room, &got) == 1 ? (long)got : 0;
    }
    ssize_t n = read(fd, buf, room);
    return n > 0 ? n : 0;
}

int main(int argc, char **argv) {
    SSL_CTX *ctx = NULL;
    if (argc == 4) {
        ctx = SSL_CTX_new(TLS_server_method());
        if (ctx == NULL || SSL_CTX_use_certificate_chain_file(ctx, argv[2]) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, argv[3], SSL_FILETYPE_PEM) != 1) {
            ERR_print_errors_fp(stderr);
            return 1;
        }
        SSL_CTX_set_read_ahead(ctx, 1);
        SSL_CTX_set_default_read_buffer_len(ctx, BUF);
    }
    int one = 1, server = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1])),
                                  .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(server, (struct sockaddr *)&address, sizeof address) != 0 || listen(server, 16) != 0) {
        perror("sink_server");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    for (int number = 1;; ++number) {
        int fd = accept(server, NULL, NULL);
        SSL *ssl = ctx != NULL ? SSL_new(ctx) : NULL;
        if (fd < 0 || (ssl != NULL && (SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1))) {
            ERR_print_errors_fp(stderr);
            SSL_free(ssl);
            close(fd);
            continue;
        }
        /* The head (with whatever of the body came with it), then the rest of the body. */
        static char head[65536];
        size_t have = 0;
        char *end = NULL;
        long n = 1;
        while (end == NULL && have < sizeof head - 1 && n > 0) {
            n = get(fd, ssl, sizeof head - 1 - have < BUF ? sizeof head - 1 - have : BUF);
            memcpy(head + have, buf, (size_t)n);
            have += (size_t)n;
            head[have] = '\0';
            end = strstr(head, "\r\n\r\n");
        }
        const char *length = strcasestr(head, "\ncontent-length:");
        unsigned long long want = length != NULL ? strtoull(length + 16, NULL, 10) : 0;
        unsigned long long got = end != NULL ? have - (size_t)(end + 4 - head) : 0;
        while (got < want && (n = get(fd, ssl, BUF)) > 0) {
            got += (unsigned long long)n;
        }
        char reply[512];
        int size = snprintf(reply, sizeof reply,
                            "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: %zu\r\n"
                            "Connection: close\r\n\r\n%s",
                            sizeof body - 1, body);
        size_t sent = 0;
        if (ssl != NULL) {
            SSL_write_ex(ssl, reply, (size_t)size, &sent);
            SSL_shutdown(ssl);
        } else {
            sent = (size_t)write(fd, reply, (size_t)size);
        }
        if (sent != (size_t)size) {
            fprintf(stderr, "sink_server: reply %d not sent whole\n", number);
        }
        printf("answered %d %llu\n", number, got);
        fflush(stdout);
        SSL_free(ssl);
        close(fd);
    }
}
