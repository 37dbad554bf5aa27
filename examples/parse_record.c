/* Parses a JSON object straight into a C record described by a field map. */
#include <stddef.h>
#include <stdio.h>
#include <tamsel.h>

struct user {
    int64_t id;
    char *name;      /* allocated by the library; released by tamsel_cleanup */
    char country[3]; /* fixed capacity, NUL included */
};

static const tamsel_field user_fields[] = {
    {TAMSEL_KEY("id"), offsetof(struct user, id), TAMSEL_FIELD_I64, 0, 0, TAMSEL_FIELD_REQUIRED, 0,
     0, NULL, NULL, 0, 0},
    {TAMSEL_KEY("name"), offsetof(struct user, name), TAMSEL_FIELD_STRING, 0, 0, 0, 0, 0, NULL,
     NULL, 0, 0},
    {TAMSEL_KEY("country"), offsetof(struct user, country), TAMSEL_FIELD_STRING,
     TAMSEL_STORAGE_FIXED, TAMSEL_OVERFLOW_FAIL, 0, 3, 0, NULL, NULL, 0, 0},
};
static const tamsel_map user_map = {"user", sizeof(struct user), user_fields, 3, &user_map, NULL};

int main(void) {
    tamsel_error error;
    tamsel_runtime *rt = tamsel_new(NULL, &error); /* or an edited tamsel_default_config() */
    struct user u;
    if (!rt) return 1;
    if (tamsel_parse_cstr(rt, &user_map, &u, "{\"id\": 7, \"name\": \"Ada\", \"country\": \"UK\"}",
                          &error) != TAMSEL_STATUS_OK)
        fprintf(stderr, "%zu:%zu: %s\n", error.line, error.column, error.message);
    else
        printf("%lld %s %s\n", (long long)u.id, u.name, u.country);
    tamsel_cleanup(&user_map, &u);
    tamsel_free(rt); /* any number of threads may share rt until then */
    return 0;
}
