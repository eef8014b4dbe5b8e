// The compression run. Compressors are not enumerated yet, so no export asks
// for one; should one be asked for, the run refuses to begin.
#include "video/compress_run.h"

int VideoCompressBegin(VideoCodecState *, const BITMAPINFOHEADER *, uint32_t, uint32_t)
{
    return 0;
}

const uint8_t *VideoCompressFrame(VideoCodecState *, const uint8_t *, uint32_t *flags,
                                  uint32_t *size)
{
    *flags = 0;
    *size = 0;
    return NULL;
}

int VideoCompressEnd(VideoCodecState *)
{
    return 1;
}
