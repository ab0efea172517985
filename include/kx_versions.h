/*
 * Product version texts such as "v4.0.1": parsing and comparison.
 */
#ifndef KX_VERSIONS_H
#define KX_VERSIONS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KX_VERSION {
    int major;
    int minor;
    int patch;
} KX_VERSION;

int kx_parse_version(const char* text, KX_VERSION* version);
/* 0 first lower, 1 equal, 2 first higher, -1 invalid or not comparable. */
int kx_compare_versions(const char* first, const char* second);
char* kx_get_config_version(const char* path);

#ifdef __cplusplus
}
#endif

#endif
