/* The compression library's five functions. Callers drive it with one
 * context per stream: InitCompression, CreateCompression, Compress until it
 * returns non-zero, DestroyCompression, DeInitCompression. The output of one
 * stream is a complete gzip member (RFC 1952). Built as its own shared
 * library, next to the program. */
#ifndef ZEVRA_GZIP_COMPRESSION_H
#define ZEVRA_GZIP_COMPRESSION_H

#include <stdint.h>

#ifdef _WIN32
#define GZIP_CALL __stdcall
/* gzip.def exports the functions by ordinal only; a dllexport here would
 * add them by name as well. */
#ifdef ZEVRA_GZIP_BUILDING
#define GZIP_API
#else
#define GZIP_API __declspec(dllimport)
#endif
#else
#define GZIP_CALL
#define GZIP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

GZIP_API int GZIP_CALL InitCompression(void);
GZIP_API int GZIP_CALL CreateCompression(void** context, int flags);
/* Consumes input and produces output into at most outputCapacity bytes.
 * An empty input means "no more input". Returns 0 while it wants to be
 * called again, non-zero once the stream is finished (or on an error). */
GZIP_API int GZIP_CALL Compress(void* context, const uint8_t* input, int inputLength, uint8_t* output,
                                int outputCapacity, int* consumed, int* produced, int level);
GZIP_API int GZIP_CALL DestroyCompression(void* context);
GZIP_API int GZIP_CALL DeInitCompression(void);

#ifdef __cplusplus
}
#endif

#endif /* ZEVRA_GZIP_COMPRESSION_H */
