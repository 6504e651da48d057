/* The peer's side of the DNS benchmark: count queries, one after another, through c-ares,
   alternating A www.ixdns.test and TXT txt.ixdns.test, each answer parsed. Answers how many
   queries were answered. */
#include <arpa/nameser.h>
#include <ares.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>

struct outcome {
    int done;
    int answered;
};

static void on_reply(void* arg, int status, int timeouts, unsigned char* abuf, int alen) {
    struct outcome* o = arg;
    (void)timeouts;
    o->done = 1;
    if (status != ARES_SUCCESS) return;
    /* The type is the question's: the answer tells which parser to use. */
    struct ares_addrttl addrs[4];
    int naddrs = 4;
    if (ares_parse_a_reply(abuf, alen, NULL, addrs, &naddrs) == ARES_SUCCESS && naddrs > 0) {
        o->answered++;
        return;
    }
    struct ares_txt_reply* txt = NULL;
    if (ares_parse_txt_reply(abuf, alen, &txt) == ARES_SUCCESS) {
        if (txt != NULL) o->answered++;
        ares_free_data(txt);
    }
}

int ix_cares_queries(const char* server, int port, int count) {
    static int initialised = 0;
    if (!initialised) {
        if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return -1;
        initialised = 1;
    }
    ares_channel channel;
    struct ares_options options;
    options.flags = ARES_FLAG_NOSEARCH;
    options.timeout = 5000;
    options.tries = 1;
    if (ares_init_options(&channel, &options, ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES) != ARES_SUCCESS)
        return -1;
    char servers[64];
    snprintf(servers, sizeof servers, "%s:%d", server, port);
    if (ares_set_servers_ports_csv(channel, servers) != ARES_SUCCESS) {
        ares_destroy(channel);
        return -1;
    }
    struct outcome o = {0, 0};
    for (int i = 0; i < count; ++i) {
        o.done = 0;
        if (i % 2 == 0)
            ares_query(channel, "www.ixdns.test", ns_c_in, ns_t_a, on_reply, &o);
        else
            ares_query(channel, "txt.ixdns.test", ns_c_in, ns_t_txt, on_reply, &o);
        while (!o.done) {
            fd_set readers, writers;
            FD_ZERO(&readers);
            FD_ZERO(&writers);
            int nfds = ares_fds(channel, &readers, &writers);
            if (nfds == 0) break;
            struct timeval tv, *tvp = ares_timeout(channel, NULL, &tv);
            select(nfds, &readers, &writers, NULL, tvp);
            ares_process(channel, &readers, &writers);
        }
    }
    ares_destroy(channel);
    return o.answered;
}
