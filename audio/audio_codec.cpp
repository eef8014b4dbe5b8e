// ACM driver table, default stage buffers, and the conversion path of an
// export.
#include "audio/audio_codec.h"

#include <string.h>

#include "fileio/write_behind_file.h"

AudioDriverTable audio_drivers;

int AudioCodecInit()
{
    memset(audio_drivers.slots, 0, sizeof(audio_drivers.slots));
    audio_drivers.default_src = (uint8_t *)PageAlloc(AUDIO_STAGE_BUFFER_SIZE);
    audio_drivers.default_dst = (uint8_t *)PageAlloc(AUDIO_STAGE_BUFFER_SIZE);
    return 1;
}

int AudioCodecExit()
{
    PageFree(audio_drivers.default_src);
    PageFree(audio_drivers.default_dst);
    audio_drivers.default_src = NULL;
    audio_drivers.default_dst = NULL;
    return 1;
}

// The conversion stages are not built yet: an export that asks for audio
// conversion fails to start, and the driver says so.
int AudioCodecStart(AudioCodecState *state, const WAVEFORMATEX *, uint8_t *, uint32_t, uint8_t *,
                    uint32_t)
{
    state->flags &= ~(AUDIO_OUTPUT_OPEN | AUDIO_PRE_OPEN);
    return 0;
}

uint8_t *AudioCodecConvert(AudioCodecState *, const uint8_t *, uint32_t, uint32_t *out_length)
{
    *out_length = 0;
    return NULL;
}

int AudioCodecStop(AudioCodecState *state)
{
    state->flags &= ~(AUDIO_OUTPUT_OPEN | AUDIO_PRE_OPEN);
    return 1;
}
