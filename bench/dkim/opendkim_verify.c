/* The peer side of the DKIM benchmark: libopendkim verifies messages given as CRLF text, the key
   record handed over by its key lookup callback (no DNS). */
#include <opendkim/dkim.h>
#include <string.h>

static const char* key_record;

static DKIM_CBSTAT lookup(DKIM* dkim, DKIM_SIGINFO* sig, u_char* buf, size_t buflen) {
    (void)dkim;
    (void)sig;
    size_t n = strlen(key_record);
    if (n + 1 > buflen) return DKIM_CBSTAT_ERROR;
    memcpy(buf, key_record, n + 1);
    return DKIM_CBSTAT_CONTINUE;
}

static DKIM_LIB* lib;

int ix_opendkim_init(const char* record) {
    key_record = record;
    lib = dkim_init(NULL, NULL);
    if (lib == NULL) return 0;
    return dkim_set_key_lookup(lib, lookup) == DKIM_STAT_OK;
}

/* 1 when the message's signature verifies. */
int ix_opendkim_verify(const char* message, size_t length) {
    DKIM_STAT status = DKIM_STAT_OK;
    DKIM* dkim = dkim_verify(lib, (const unsigned char*)"bench", NULL, &status);
    if (dkim == NULL) return 0;
    status = dkim_chunk(dkim, (u_char*)message, length);
    if (status == DKIM_STAT_OK) status = dkim_chunk(dkim, NULL, 0);
    if (status == DKIM_STAT_OK) status = dkim_eom(dkim, NULL);
    dkim_free(dkim);
    return status == DKIM_STAT_OK;
}
