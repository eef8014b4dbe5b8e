#include "avi_reader.h"

#include <stdio.h>

#include "avi/avi_layout.h"

std::vector<uint8_t> ReadWholeFile(const std::string &path)
{
    std::vector<uint8_t> data;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return data;
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    fclose(f);
    return data;
}

uint32_t ReadU32(const std::vector<uint8_t> &file, uint64_t offset)
{
    if (offset + 4 > file.size())
        return 0;
    return (uint32_t)file[offset] | (uint32_t)file[offset + 1] << 8 |
           (uint32_t)file[offset + 2] << 16 | (uint32_t)file[offset + 3] << 24;
}

uint16_t ReadU16(const std::vector<uint8_t> &file, uint64_t offset)
{
    if (offset + 2 > file.size())
        return 0;
    return (uint16_t)(file[offset] | file[offset + 1] << 8);
}

std::string FourccText(uint32_t fcc)
{
    std::string s;
    for (int i = 0; i < 4; i++)
        s += (char)((fcc >> (8 * i)) & 0xFF);
    return s;
}

static void ParseRange(const std::vector<uint8_t> &file, uint64_t at, uint64_t end, int depth,
                       std::vector<AviChunk> &out)
{
    while (at + 8 <= end) {
        AviChunk c;
        c.id = ReadU32(file, at);
        c.size = ReadU32(file, at + 4);
        c.offset = at;
        c.depth = depth;
        c.list_type = 0;
        uint64_t data_end = at + 8 + c.size;
        if (data_end > end)
            return;
        int is_list = c.id == FCC_RIFF || c.id == FCC_LIST;
        if (is_list && c.size >= 4)
            c.list_type = ReadU32(file, at + 8);
        out.push_back(c);
        if (is_list && c.size >= 4)
            ParseRange(file, at + 12, data_end, depth + 1, out);
        at = data_end + (c.size & 1);
    }
}

std::vector<AviChunk> ParseChunks(const std::vector<uint8_t> &file)
{
    std::vector<AviChunk> out;
    ParseRange(file, 0, file.size(), 0, out);
    return out;
}

std::vector<AviChunk> FindChunks(const std::vector<AviChunk> &chunks, uint32_t id,
                                 uint32_t list_type)
{
    std::vector<AviChunk> out;
    for (const AviChunk &c : chunks)
        if (c.id == id && (!list_type || c.list_type == list_type))
            out.push_back(c);
    return out;
}
