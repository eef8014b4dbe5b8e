#include "avi_check.h"

#include <doctest/doctest.h>

#include <windows.h>
#include <vfw.h>

#include "avi/avi_layout.h"
#include "avi_reader.h"

namespace {

struct Riff {
    AviChunk movi;
    std::vector<AviChunk> data;   // "00db", "00dc", "01wb" of its "movi"
    std::vector<AviChunk> ix00, ix01;
};

bool IsData(uint32_t id)
{
    return id == FCC_00DB || id == FCC_00DC || id == FCC_01WB;
}

uint64_t Read64(const std::vector<uint8_t> &f, uint64_t at)
{
    return ReadU32(f, at) | (uint64_t)ReadU32(f, at + 4) << 32;
}

// A stream's "indx" against the "ix##" of every RIFF, and those against the
// chunks they name.
void CheckSuperIndex(const std::vector<uint8_t> &f, const AviChunk &indx, const std::vector<Riff> &riffs,
                     bool video, uint32_t block)
{
    uint32_t in_use = ReadU32(f, indx.offset + 12);
    uint32_t slot = 0;
    for (const Riff &r : riffs) {
        const std::vector<AviChunk> &ix = video ? r.ix00 : r.ix01;
        std::vector<AviChunk> mine;
        uint32_t duration = 0;
        for (const AviChunk &c : r.data)
            if ((c.id == FCC_01WB) != video) {
                mine.push_back(c);
                duration += video ? 1 : c.size / block;
            }
        if (mine.empty()) {
            CHECK(ix.empty());
            continue;
        }
        REQUIRE(ix.size() == 1);
        REQUIRE(slot < in_use);
        uint64_t e = indx.offset + 32 + 16 * (uint64_t)slot++;
        CHECK(Read64(f, e) == ix[0].offset);
        CHECK(ReadU32(f, e + 8) == ix[0].size);
        CHECK(ReadU32(f, e + 12) == duration);
        REQUIRE(ReadU32(f, ix[0].offset + 12) == mine.size());
        uint64_t base = Read64(f, ix[0].offset + 20);
        for (size_t i = 0; i < mine.size(); i++) {
            uint64_t rec = ix[0].offset + 32 + 8 * i;
            CHECK(base + ReadU32(f, rec) == mine[i].offset + 8);
            CHECK((ReadU32(f, rec + 4) & 0x7FFFFFFFu) == mine[i].size);
        }
    }
    CHECK(slot == in_use);
}

} // namespace

CheckedFile CheckAviLayout(const std::vector<uint8_t> &f)
{
    CheckedFile out;
    std::vector<AviChunk> chunks = ParseChunks(f);
    // The RIFFs follow one another and end exactly at the end of the file.
    uint64_t at = 0;
    for (const AviChunk &c : chunks)
        if (c.depth == 0) {
            REQUIRE(c.id == FCC_RIFF);
            CHECK(c.offset == at);
            CHECK(c.list_type == (at == 0 ? FCC_AVI : FCC_AVIX));
            out.riff_offsets.push_back(c.offset);
            at = c.offset + 8 + c.size + (c.size & 1);
        }
    REQUIRE(at == f.size());

    std::vector<Riff> riffs;
    for (const AviChunk &c : chunks) {
        if (c.depth == 1 && c.id == FCC_LIST && c.list_type == FCC_MOVI) {
            CHECK((c.offset + 12) % 2048 == 0);
            riffs.push_back(Riff());
            riffs.back().movi = c;
        } else if (c.depth == 2 && !riffs.empty() && c.offset > riffs.back().movi.offset &&
                   c.offset < riffs.back().movi.offset + 8 + riffs.back().movi.size) {
            Riff &r = riffs.back();
            if (IsData(c.id))
                r.data.push_back(c);
            else if (c.id == FCC_IX00)
                r.ix00.push_back(c);
            else if (c.id == FCC_IX01)
                r.ix01.push_back(c);
        }
    }
    REQUIRE(riffs.size() == FindChunks(chunks, FCC_RIFF).size());
    out.riffs = riffs.size();

    auto strh = FindChunks(chunks, FCC_STRH);
    uint32_t video = 0, audio_bytes = 0, largest[2] = {0, 0};
    for (const Riff &r : riffs)
        for (const AviChunk &c : r.data) {
            std::vector<uint8_t> data(f.begin() + c.offset + 8, f.begin() + c.offset + 8 + c.size);
            uint32_t &most = largest[c.id == FCC_01WB];
            most = c.size > most ? (uint32_t)c.size : most;
            if (c.id == FCC_01WB) {
                audio_bytes += c.size;
                out.audio.insert(out.audio.end(), data.begin(), data.end());
            } else {
                video++;
                out.frames.push_back(data);
            }
        }
    // The suggested buffer sizes are those of the largest chunks in the file.
    for (size_t i = 0; i < strh.size() && i < 2; i++)
        CHECK(ReadU32(f, strh[i].offset + 8 + 36) == largest[i]);
    for (const AviChunk &c : riffs[0].data)
        out.first_riff_frames += c.id != FCC_01WB;
    out.first_movi_end = riffs[0].movi.offset + 8 + riffs[0].movi.size;

    // Main and stream headers count what is there.
    auto avih = FindChunks(chunks, FCC_AVIH);
    REQUIRE(avih.size() == 1);
    REQUIRE(strh.size() >= 1);
    uint32_t flags = ReadU32(f, avih[0].offset + 8 + 12);
    CHECK(ReadU32(f, avih[0].offset + 8 + 16) == video);
    CHECK(ReadU32(f, avih[0].offset + 8 + 24) == strh.size());
    CHECK(ReadU32(f, strh[0].offset + 8 + 32) == video);
    uint32_t block = 1;
    if (strh.size() > 1) {
        block = ReadU32(f, strh[1].offset + 8 + 44);
        REQUIRE(block > 0);
        CHECK(ReadU32(f, strh[1].offset + 8 + 32) == audio_bytes / block);
    }

    // "idx1" follows the first "movi" exactly when the flag says there is one,
    // and names each of its chunks.
    auto idx1 = FindChunks(chunks, FCC_IDX1);
    out.has_idx1 = !idx1.empty();
    CHECK(out.has_idx1 == ((flags & 0x10) != 0));
    if (out.has_idx1) {
        REQUIRE(idx1.size() == 1);
        const Riff &r = riffs[0];
        CHECK(idx1[0].offset == r.movi.offset + 8 + r.movi.size);
        REQUIRE(idx1[0].size == 16 * r.data.size());
        for (size_t i = 0; i < r.data.size(); i++) {
            uint64_t rec = idx1[0].offset + 8 + 16 * i;
            CHECK(ReadU32(f, rec) == r.data[i].id);
            CHECK(r.movi.offset + 8 + ReadU32(f, rec + 8) == r.data[i].offset);
            CHECK(ReadU32(f, rec + 12) == r.data[i].size);
        }
    }

    // OpenDML: the super indexes and the total in "dmlh".
    auto indx = FindChunks(chunks, FCC_INDX);
    auto dmlh = FindChunks(chunks, FCC_DMLH);
    if (riffs.size() > 1 || !indx.empty()) {
        REQUIRE(indx.size() == strh.size());
        CheckSuperIndex(f, indx[0], riffs, true, 1);
        if (indx.size() > 1)
            CheckSuperIndex(f, indx[1], riffs, false, block);
        REQUIRE(dmlh.size() == 1);
        CHECK(ReadU32(f, dmlh[0].offset + 8) == video);
    } else {
        CHECK(dmlh.empty());
        CHECK(FindChunks(chunks, FCC_IX00).empty());
        CHECK(FindChunks(chunks, FCC_IX01).empty());
    }
    return out;
}

void CheckWithAvifil32(const std::string &path, const CheckedFile &checked)
{
    AVIFileInit();
    PAVIFILE file = NULL;
    REQUIRE(AVIFileOpenA(&file, path.c_str(), OF_READ | OF_SHARE_DENY_WRITE, NULL) == 0);
    PAVISTREAM video = NULL;
    REQUIRE(AVIFileGetStream(file, &video, streamtypeVIDEO, 0) == 0);
    // The stream is as long as the headers say; an AVI 1.0 reader reaches
    // the frames of the first RIFF through "idx1".
    CHECK(AVIStreamLength(video) == (LONG)checked.frames.size());
    for (uint32_t i = 0; i < checked.first_riff_frames; i++) {
        const std::vector<uint8_t> &expected = checked.frames[i];
        std::vector<uint8_t> frame(expected.size() + 16);
        LONG bytes = 0, samples = 0;
        REQUIRE(AVIStreamRead(video, i, 1, frame.data(), (LONG)frame.size(), &bytes, &samples) == 0);
        REQUIRE(bytes == (LONG)expected.size());
        frame.resize(bytes);
        REQUIRE_MESSAGE(frame == expected, "frame ", i);
    }
    AVIStreamRelease(video);
    PAVISTREAM audio = NULL;
    if (checked.riffs == 1 && AVIFileGetStream(file, &audio, streamtypeAUDIO, 0) == 0) {
        LONG length = AVIStreamLength(audio);
        std::vector<uint8_t> pcm(checked.audio.size());
        LONG bytes = 0, samples = 0;
        if (length > 0)
            REQUIRE(AVIStreamRead(audio, 0, length, pcm.data(), (LONG)pcm.size(), &bytes, &samples) == 0);
        CHECK((size_t)bytes == checked.audio.size());
        CHECK(pcm == checked.audio);
        AVIStreamRelease(audio);
    }
    AVIFileRelease(file);
    AVIFileExit();
}

void CheckStreamFormats(const std::vector<uint8_t> &f)
{
    std::vector<AviChunk> chunks = ParseChunks(f);
    auto avih = FindChunks(chunks, FCC_AVIH);
    auto strh = FindChunks(chunks, FCC_STRH);
    auto strf = FindChunks(chunks, FCC_STRF);
    REQUIRE(avih.size() == 1);
    REQUIRE(strf.size() == strh.size());
    for (size_t s = 0; s < strh.size(); s++) {
        uint64_t h = strh[s].offset + 8, d = strf[s].offset + 8;
        uint32_t type = ReadU32(f, h), handler = ReadU32(f, h + 4), n = strf[s].size;
        if (type == FCC_VIDS && (handler == BI_RGB || handler == mmioFOURCC('Y', 'U', 'Y', '2'))) {
            // Uncompressed: exactly the header of the frames in the file.
            uint32_t w = ReadU32(f, avih[0].offset + 8 + 32), ht = ReadU32(f, avih[0].offset + 8 + 36);
            uint32_t bits = handler ? 16 : 24;
            const uint32_t header[10] = {40, w, ht, 1 | bits << 16, handler, ((bits * w + 7) / 8 + 3) / 4 * 4 * ht,
                                         0, 0, 0, 0};
            REQUIRE(n == sizeof(header));
            for (int i = 0; i < 10; i++)
                CHECK_MESSAGE(ReadU32(f, d + 4 * i) == header[i], "video strf word ", i);
        } else if (type == FCC_AUDS) {
            // A format players take, of its own length, as its "strh" says.
            REQUIRE(n >= 16);
            uint32_t tag = ReadU16(f, d), channels = ReadU16(f, d + 2), rate = ReadU32(f, d + 4);
            uint32_t avg = ReadU32(f, d + 8), align = ReadU16(f, d + 12), bits = ReadU16(f, d + 14);
            uint32_t extra = n >= 18 ? ReadU16(f, d + 16) : 0;
            CHECK(ReadU32(f, h + 4) == tag);
            CHECK(ReadU32(f, h + 20) == align);
            CHECK(ReadU32(f, h + 44) == align);
            CHECK(ReadU32(f, h + 24) == avg);
            CHECK((channels >= 1 && channels <= 8));
            CHECK((rate >= 1000 && rate <= 384000));
            if (tag == WAVE_FORMAT_PCM) {
                CHECK(((n == 16 || n == 18) && extra == 0));
                CHECK((bits % 8 == 0 && bits >= 8 && bits <= 32));
                CHECK(align == channels * bits / 8);
                CHECK(avg == rate * align);
            } else {
                CHECK(n == 18 + extra);
                CHECK((align >= 1 && align <= avg));
            }
        }
    }
}
