/* libnuvra: noise suppression for the recorder's microphone blocks (16-bit mono PCM at
 * 16 kHz, 3200-byte blocks). The recorder loads it at run time; it records without it. */
#ifndef NUVRA_NUVRA_H
#define NUVRA_NUVRA_H

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the suppressor state on the first call. Returns 0 when the library is usable. */
int nuvra_init(void);

/* Denoises inLength bytes of 16-bit mono 16 kHz PCM from `in` into `out` (same format).
 * inLength must be a positive multiple of 320 bytes (20 ms) and at most outLength; the
 * recorder passes 3200 and 3200. Returns the number of bytes written, or -1 (nothing
 * written) on a bad argument or before a successful nuvra_init. */
int nuvra_process(const unsigned char* in, int inLength, unsigned char* out, int outLength);

/* Types for run-time lookup. */
typedef int (*nuvra_init_fn)(void);
typedef int (*nuvra_process_fn)(const unsigned char*, int, unsigned char*, int);

#ifdef __cplusplus
}
#endif

#endif
