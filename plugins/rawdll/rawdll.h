/* The RAW plug-in's interface: plain C, loaded at run time with dlopen. */
#ifndef ZELVAN_RAWDLL_H
#define ZELVAN_RAWDLL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Filled by Raw2BmpMem. Data and Size describe a complete bitmap file image (file header, info
   header, pixel rows) that belongs to the plug-in until FreeMemory. On failure Data is NULL,
   Size is 0 and Message holds the reason. */
typedef struct RawBitmapResult {
    void* Data;
    int32_t Size;
    char Message[256];
} RawBitmapResult;

/* Develops the RAW file at path (a zero-terminated byte string) into a 24-bit bitmap: camera
   white balance, sRGB, 8 bits per sample. */
typedef void (*Raw2BmpMemFn)(const char* path, RawBitmapResult* result);
/* Releases the buffer that the last Raw2BmpMem call handed out. */
typedef void (*FreeMemoryFn)(void);

#ifdef __cplusplus
}
#endif

#endif
