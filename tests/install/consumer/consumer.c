/* A program of the suite built against an installed libkx, in C. */
#include <stdio.h>
#include <stdlib.h>
#include "kx_errno.h"
#include "kx_versions.h"

int main(void) {
    char* text = kx_errmsg(1023);
    printf("%d %s\n", kx_compare_versions("v5.0.0", "v4.0.1"), text ? text : "?");
    free(text);
    return 0;
}
