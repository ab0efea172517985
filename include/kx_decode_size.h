/*
 * Size values of the configuration ("10k", "2 M", "512b"): a decimal number,
 * optional blanks or tabs and a mandatory unit letter b, k or m.
 */
#ifndef KX_DECODE_SIZE_H
#define KX_DECODE_SIZE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes, or -1 with kx_errno 1034 (no number), 1035 (bad unit) or 8011
 * (does not fit a signed 32-bit value). */
int kx_decode_size(const char* text);

#ifdef __cplusplus
}
#endif

#endif
