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
    TAMSEL_MEMBER_I64(struct user, id, TAMSEL_FIELD_REQUIRED),
    TAMSEL_MEMBER_STRING(struct user, name, 0),
    TAMSEL_MEMBER_FIXED_STRING(struct user, country, TAMSEL_OVERFLOW_FAIL, 0),
};
TAMSEL_DEFINE_MAP(user_map, struct user, user_fields);

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
