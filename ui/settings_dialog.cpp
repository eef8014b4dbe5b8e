// The settings dialog "VCMSET" on the dialog layer. The catalogue entries are
// the dialog's working copies of each compressor's values; the settings block
// is written only on OK.
#include "ui/settings_dialog.h"

#include <string.h>

#include "audio/audio_format.h"
#include "ui/dialog_ids.h"
#include "ui/dialog_layer.h"

VideoDialog video_dialog = {VIDEO_DIALOG_NO_ENTRY};

#define QUALITY_MAX 10000

static CodecEntry *Entry(int index)
{
    return &codec_catalogue.entries[index];
}

static int SavesState(const CodecEntry *e)
{
    return (e->flags & CF_CONFIGURE) && (e->flags & CF_OPT_SAVESTATE);
}

// Edit text as a signed integer; anything that is not a number reads as 0.
static int32_t ReadEdit(HWND dialog, int id)
{
    BOOL ok = FALSE;
    int value = (int)GetDlgItemInt(dialog, id, &ok, TRUE);
    return ok ? (int32_t)value : 0;
}

static void ShowEdit(HWND dialog, int id, int shown, int32_t value)
{
    if (shown)
        SetDlgItemInt(dialog, id, (UINT)value, TRUE);
    else
        SetDlgItemTextA(dialog, id, "");
}

static void SaveEdits(HWND dialog, CodecEntry *e)
{
    if (e->flags & CF_QUALITY) {
        // Widened so that a huge entry still clamps to the top, not wraps.
        int64_t q = (int64_t)ReadEdit(dialog, IDC_QUALITY) * 100;
        e->quality = q < 0 ? 0 : q > QUALITY_MAX ? QUALITY_MAX : (int32_t)q;
    }
    if (e->flags & CF_KEYFRAMES)
        e->keyRate = ReadEdit(dialog, IDC_KEY_RATE);
    if (e->flags & CF_DATARATE)
        e->dataRate = ReadEdit(dialog, IDC_DATA_RATE);
}

static void Enable(HWND dialog, int id, int on)
{
    EnableWindow(GetDlgItem(dialog, id), on ? TRUE : FALSE);
}

// Makes entry n (or none) current: the edits are saved into the entry that
// was current, then show n's values with its controls enabled by what it can do.
static void SelectEntry(HWND dialog, int n)
{
    if (n == video_dialog.current)
        return;
    if (video_dialog.current != VIDEO_DIALOG_NO_ENTRY)
        SaveEdits(dialog, Entry(video_dialog.current));
    if (n == VIDEO_DIALOG_NO_ENTRY)
        return;
    video_dialog.current = n;
    CodecOpen(n);
    CodecEntry *e = Entry(n);
    Enable(dialog, IDC_CODEC_CONFIGURE, e->flags & CF_CONFIGURE);
    Enable(dialog, IDC_CODEC_ABOUT, e->flags & CF_ABOUT);
    Enable(dialog, IDC_QUALITY, e->flags & CF_QUALITY);
    Enable(dialog, IDC_KEY_RATE, e->flags & CF_KEYFRAMES);
    Enable(dialog, IDC_DATA_RATE, e->flags & CF_DATARATE);
    ShowEdit(dialog, IDC_QUALITY, e->flags & CF_QUALITY, e->quality / 100);
    ShowEdit(dialog, IDC_KEY_RATE, e->flags & CF_KEYFRAMES, e->keyRate);
    ShowEdit(dialog, IDC_DATA_RATE, e->flags & CF_DATARATE, e->dataRate);
}

// The entry of the drop-down list's current item.
static int ListedEntry(HWND dialog)
{
    LRESULT pos = SendDlgItemMessageA(dialog, IDC_CODEC_LIST, CB_GETCURSEL, 0, 0);
    if (pos < 0 || pos >= codec_catalogue.list_count)
        return VIDEO_DIALOG_NO_ENTRY;
    return codec_catalogue.list_to_index[pos];
}

static void RestoreDefaults(CodecEntry *e)
{
    HIC hic = e->hic;
    if (hic && SavesState(e))
        ICSendMessage(hic, ICM_SETSTATE, 0, 0);
    DWORD value = 0;
    if (hic && (e->flags & CF_QUALITY) &&
        ICSendMessage(hic, ICM_GETDEFAULTQUALITY, (DWORD_PTR)&value, sizeof(value)) == ICERR_OK)
        e->quality = (int32_t)value;
    value = 0;
    if (hic && (e->flags & CF_KEYFRAMES) &&
        ICSendMessage(hic, ICM_GETDEFAULTKEYFRAMERATE, (DWORD_PTR)&value, sizeof(value)) ==
            ICERR_OK)
        e->keyRate = (int32_t)value;
    if (e->flags & CF_DATARATE)
        e->dataRate = CODEC_DEFAULT_DATA_RATE;
}

int VideoDialogCommand(HWND dialog, int id)
{
    int cur = video_dialog.current;
    HIC hic = cur != VIDEO_DIALOG_NO_ENTRY ? Entry(cur)->hic : NULL;
    switch (id) {
    case DLG_INIT:
        SelectEntry(dialog, ListedEntry(dialog));
        AudioFormatShow(dialog);
        break;
    case IDC_CODEC_LIST:
        SelectEntry(dialog, ListedEntry(dialog));
        break;
    case IDC_CODEC_CONFIGURE:
        if (hic)
            ICSendMessage(hic, ICM_CONFIGURE, (DWORD_PTR)dialog, 0);
        break;
    case IDC_CODEC_ABOUT:
        if (hic)
            ICSendMessage(hic, ICM_ABOUT, (DWORD_PTR)dialog, 0);
        break;
    case IDC_CODEC_DEFAULTS:
        if (cur != VIDEO_DIALOG_NO_ENTRY) {
            RestoreDefaults(Entry(cur));
            video_dialog.current = VIDEO_DIALOG_NO_ENTRY;
            SelectEntry(dialog, ListedEntry(dialog));
        }
        break;
    case IDC_AUDIO_CONFIGURE:
        AudioFormatConfigure(dialog);
        break;
    case DLG_CLOSING:
        SelectEntry(dialog, VIDEO_DIALOG_NO_ENTRY);
        break;
    default:
        break;
    }
    return 1;
}

static void CloseAllHandles(void)
{
    for (int i = 0; i < CODEC_CATALOGUE_SIZE; i++)
        CodecClose(i);
}

// The entry the block names, prepared with the block's values; "非圧縮"
// when the block names nothing the dialog can offer.
static int PrepareChosenEntry(const VideoCodecState *state)
{
    int n = CodecFind(state->fccHandler);
    if (n < 0 || !(Entry(n)->flags & (CF_COMPRESS | CF_BUILTIN)))
        return CodecFind(0);
    CodecEntry *e = Entry(n);
    if (!(e->flags & CF_COMPRESS))
        return n;
    CodecOpen(n);
    if (e->hic && SavesState(e) && state->stateSize > 0 && state->stateSize <= sizeof(state->state))
        ICSendMessage(e->hic, ICM_SETSTATE, (DWORD_PTR)state->state, state->stateSize);
    if (e->flags & CF_QUALITY)
        e->quality = state->quality;
    if (e->flags & CF_KEYFRAMES)
        e->keyRate = state->keyRate;
    if (e->flags & CF_DATARATE)
        e->dataRate = state->dataRate;
    return n;
}

// The compressor's configuration into the block; none when it fails or
// does not fit.
static void SaveCodecState(VideoCodecState *state, const CodecEntry *e)
{
    state->stateSize = 0;
    if (!e->hic || !SavesState(e))
        return;
    LRESULT size = ICSendMessage(e->hic, ICM_GETSTATE, 0, 0);
    if (size < 1 || size > (LRESULT)sizeof(state->state))
        return;
    if (ICSendMessage(e->hic, ICM_GETSTATE, (DWORD_PTR)state->state, (DWORD_PTR)size) < 0)
        return;
    state->stateSize = (uint32_t)size;
}

int VideoConfigDialog(VideoCodecState *state, HWND owner)
{
    int chosen = PrepareChosenEntry(state);
    video_dialog.current = VIDEO_DIALOG_NO_ENTRY;
    DialogSetList(0, codec_catalogue.list);
    DialogSetSelection(0, chosen >= 0 ? codec_catalogue.index_to_list[chosen] : 0);
    DialogSetCallback(VideoDialogCommand);

    int result = DialogShow(VIDEO_DIALOG_TEMPLATE, NULL, owner);
    int n = video_dialog.current;
    video_dialog.current = VIDEO_DIALOG_NO_ENTRY;
    if (result != IDOK || n == VIDEO_DIALOG_NO_ENTRY) {
        CloseAllHandles();
        return 0;
    }
    CodecKeepOpen(n);
    CloseAllHandles();
    const CodecEntry *e = Entry(n);
    state->fccHandler = e->fccHandler;
    SaveCodecState(state, e);
    state->quality = (e->flags & CF_QUALITY) ? e->quality : 0;
    state->keyRate = (e->flags & CF_KEYFRAMES) ? e->keyRate : 0;
    state->dataRate = (e->flags & CF_DATARATE) ? e->dataRate : 0;
    return 1;
}
