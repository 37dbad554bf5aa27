/* Streams the items of a JSON array from a URL into records with libcurl: the array's object
 * items are parsed one at a time as the body arrives, so an array of any length costs the
 * memory of one item. Prints each item's id and name, then the count.
 *
 *   curl_array URL [MEMBER]    MEMBER: the root object's member holding the array
 */
#include <curl/curl.h>
#include <stddef.h>
#include <stdio.h>

#include "tamsel.h"

typedef struct item {
    int64_t id;
    char *name;
} item;

static const tamsel_field item_fields[] = {
    TAMSEL_MEMBER_I64(item, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_STRING(item, name, 0),
};
TAMSEL_DEFINE_MAP(item_map, item, item_fields);

/* Called once per item; the record is emptied again after it returns. */
static tamsel_status on_item(void *user, void *destination) {
    const item *it = (const item *)destination;
    ++*(long *)user;
    printf("%lld %s\n", (long long)it->id, it->name ? it->name : "-");
    return TAMSEL_STATUS_OK;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s URL [MEMBER]\n", argv[0]);
        return 2;
    }
    tamsel_error error;
    tamsel_runtime *runtime = tamsel_new(NULL, &error);
    if (!runtime) return 1;
    item record = {0, NULL};
    long count = 0;
    tamsel_curl_array_parse adapter;
    if (tamsel_curl_array_parse_init(&adapter, runtime, argc > 2 ? argv[2] : NULL, &item_map,
                                     &record, on_item, &count) != TAMSEL_STATUS_OK) {
        fprintf(stderr, "init: %s\n", adapter.error.message);
        tamsel_curl_array_parse_cleanup(&adapter);
        tamsel_free(runtime);
        return 1;
    }
    tamsel_free(runtime); /* the adapter keeps its own copy of the settings */

    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, argv[1]);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, tamsel_curl_array_write_callback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &adapter);
    CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    curl_global_cleanup();

    int status = 0;
    if (code == CURLE_WRITE_ERROR) { /* the library stopped the transfer: say why */
        fprintf(stderr, "%s at line %zu, column %zu\n", adapter.error.message, adapter.error.line,
                adapter.error.column);
        status = 1;
    } else if (code != CURLE_OK) {
        fprintf(stderr, "transfer failed: %s\n", curl_easy_strerror(code));
        status = 1;
    } else if (tamsel_curl_array_parse_finish(&adapter) != TAMSEL_STATUS_OK) {
        fprintf(stderr, "%s\n", adapter.error.message);
        status = 1;
    } else {
        printf("%ld items\n", count);
    }
    tamsel_curl_array_parse_cleanup(&adapter);
    tamsel_cleanup(&item_map, &record);
    return status;
}
