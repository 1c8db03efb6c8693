// One entry per reader of untrusted bytes. The fuzz targets (clang,
// libFuzzer) and the corpus replay test (gtest) call the same functions.
// Each runs its reader over arbitrary bytes and returns normally when the
// reader accepts them or refuses them with its own error; a broken invariant
// ends the process with a message on stderr, as a crash would.
#pragma once

#include <cstddef>
#include <cstdint>

// The encoding detector and the batch splitter over a script file's bytes.
void FuzzScriptSplit(const uint8_t* data, size_t size);
// The XML form of the database list exchange file.
void FuzzXmlList(const uint8_t* data, size_t size);
// The binary form of the database list exchange file.
void FuzzBinaryList(const uint8_t* data, size_t size);
// The tds-sandbox's packet reader over what a client sends on a connection.
void FuzzTdsPackets(const uint8_t* data, size_t size);

// The entries by the name of their corpus folder under tests/fuzz.
struct TFuzzEntry {
    const char* Name;
    void (*Run)(const uint8_t* data, size_t size);
};
inline constexpr TFuzzEntry FuzzEntries[] = {
    {"script_split", FuzzScriptSplit},
    {"xml_list", FuzzXmlList},
    {"binary_list", FuzzBinaryList},
    {"tds_packets", FuzzTdsPackets},
};
