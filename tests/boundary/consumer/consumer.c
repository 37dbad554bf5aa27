/* A small C program built against an installed tamsel. */
#include <stdio.h>
#include <tamsel.h>

int main(void) {
    tamsel_error error;
    tamsel_runtime *runtime = tamsel_new(NULL, &error);
    if (!runtime) {
        fprintf(stderr, "tamsel_new: %s\n", error.message);
        return 1;
    }
    printf("tamsel %s: %s\n", TAMSEL_VERSION_STRING, tamsel_status_string(error.code));
    tamsel_free(runtime);
    return 0;
}
