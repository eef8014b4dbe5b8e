// Reads back what the writer produced: the whole file, and its chunk tree as
// a flat list in file order.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

struct AviChunk {
    uint32_t id;
    uint32_t size;        // the size field as stored
    uint64_t offset;      // absolute offset of the chunk header
    uint32_t list_type;   // for "RIFF"/"LIST", else 0
    int depth;
};

std::vector<uint8_t> ReadWholeFile(const std::string &path);
// Walks RIFFs and lists; stops at the first header that does not fit the file.
std::vector<AviChunk> ParseChunks(const std::vector<uint8_t> &file);
uint32_t ReadU32(const std::vector<uint8_t> &file, uint64_t offset);
uint16_t ReadU16(const std::vector<uint8_t> &file, uint64_t offset);
std::string FourccText(uint32_t fcc);
// The chunks with this id (and list type, when given), in file order.
std::vector<AviChunk> FindChunks(const std::vector<AviChunk> &chunks, uint32_t id,
                                 uint32_t list_type = 0);
