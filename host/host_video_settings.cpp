// The video compressor's numbers in the settings block, set as the settings
// dialog stores them: quality, key-frame interval and data rate.
#include "host/host.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "plugin/context.h"

int SettingsSetVideoNumbers(const OutputPluginTable *table, const VideoSettings *video)
{
    int size = table->on_get_settings(NULL);
    if (size != (int)sizeof(WriterContext))
        return 0;
    WriterContext *block = (WriterContext *)calloc(1, sizeof(WriterContext));
    if (!block)
        return 0;
    table->on_get_settings(block);
    if (video->given & VIDEO_GIVEN_QUALITY)
        block->video.quality = video->quality;
    if (video->given & VIDEO_GIVEN_KEY_RATE)
        block->video.keyRate = video->key_rate;
    if (video->given & VIDEO_GIVEN_DATA_RATE)
        block->video.dataRate = video->data_rate;
    int ok = table->on_set_settings(block, size) != 0;
    free(block);
    return ok;
}
