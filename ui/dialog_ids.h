// Control ids of the dialog "VCMSET", shared by its resource and its code.
#pragma once

#define IDC_CODEC_LIST      32500   // drop-down list of compressors (slot 0)
#define IDC_QUALITY         32000
#define IDC_KEY_RATE        32001
#define IDC_DATA_RATE       32002
#define IDC_CODEC_CONFIGURE 32300   // the compressor's own configuration dialog
#define IDC_CODEC_DEFAULTS  32301
#define IDC_CODEC_ABOUT     32302
#define IDC_AUDIO_CONFIGURE 32303   // the audio format chooser
#define IDC_AUDIO_TEXT      32400   // the audio format an export will write
